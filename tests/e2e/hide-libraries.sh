#!/bin/sh
# hide-libraries.sh MODULE COMMAND...: runs the command where the xcb
# libraries MODULE needs are absent. Run inside `unshare --mount` (as root):
# each library's folder gets an overlay whose upper layer deletes them
# (whiteouts), so they are gone for this mount namespace only. Exits 77,
# saying why, where that cannot be done.
set -eu
module=$1
shift
skip() { echo "not run: $*" >&2; exit 77; }

libraries=$(ldd "$module" | awk '$1 ~ /^libxcb/ && $3 ~ /^\// {print $3}')
[ -n "$libraries" ] || skip "ldd names no xcb library for $module"
layers=$(mktemp -d "${TMPDIR:-/tmp}/hidden-libraries.XXXXXX")
mount -t tmpfs hidden "$layers" || skip "no tmpfs could be mounted"
for folder in $(for library in $libraries; do dirname "$(readlink -f "$library")"; done | sort -u); do
    upper=$layers/upper$(echo "$folder" | tr / _)
    work=$layers/work$(echo "$folder" | tr / _)
    mkdir -p "$upper" "$work"
    for library in $libraries; do
        [ "$(dirname "$(readlink -f "$library")")" = "$folder" ] || continue
        # The name the loader asks for and the file it points to.
        mknod "$upper/$(basename "$library")" c 0 0
        [ -e "$upper/$(basename "$(readlink -f "$library")")" ] ||
            mknod "$upper/$(basename "$(readlink -f "$library")")" c 0 0
    done
    mount -t overlay hidden -o "lowerdir=$folder,upperdir=$upper,workdir=$work" "$folder" ||
        skip "no overlay could be mounted on $folder"
done
for library in $libraries; do
    [ ! -e "$library" ] || { echo "$library is still there" >&2; exit 1; }
done
exec "$@"
