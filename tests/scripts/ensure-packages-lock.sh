#!/usr/bin/env bash
# scripts/ensure-packages against a package manager that another process
# keeps busy: it waits for the locks and then goes on; held for longer than
# it waits, it fails with one line. Every lock, list and cache apt uses here
# is a private one (APT_CONFIG, DPKG_ADMINDIR): the machine's own are never
# touched, and with no package sources nothing can be installed.
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/ensure-packages
if [ "$(id -u)" -ne 0 ]; then
    echo "not run: not root, and the script would ask sudo to reach the machine's own package manager"
    exit 77
fi
for tool in apt-get python3 dpkg-query; do
    command -v "$tool" >/dev/null || { echo "not run: no $tool"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/ensure-packages-lock.XXXXXX")
holder=
cleanup() {
    [ -z "$holder" ] || kill "$holder" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work"/dpkg "$work"/lists/partial "$work"/cache/archives/partial "$work"/etc/sources.list.d \
         "$work"/etc/preferences.d "$work"/log
touch "$work/dpkg/status" "$work/etc/sources.list"
cat >"$work/apt.conf" <<CONF
Dir::State "$work";
Dir::State::lists "$work/lists";
Dir::State::status "$work/dpkg/status";
Dir::Cache "$work/cache";
Dir::Etc::sourcelist "$work/etc/sources.list";
Dir::Etc::sourceparts "$work/etc/sources.list.d";
Dir::Etc::preferencesparts "$work/etc/preferences.d";
Dir::Log "$work/log";
CONF
# An empty package database: every package the script wants is missing.
export APT_CONFIG=$work/apt.conf DPKG_ADMINDIR=$work/dpkg

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# check WHAT COMMAND...: the command's success is the check's.
check() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else fail "$what"; fi
}

# hold SECONDS LOCK...: takes the locks the way apt does (fcntl) for that
# long, in the background; returns once they are held.
hold() {
    local seconds=$1
    shift
    rm -f "$work/held"
    python3 - "$work/held" "$seconds" "$@" <<'PY' &
import fcntl, sys, time
held = [open(path, "w") for path in sys.argv[3:]]
for lock in held:
    fcntl.lockf(lock, fcntl.LOCK_EX)
open(sys.argv[1], "w").close()
time.sleep(float(sys.argv[2]))
PY
    holder=$!
    for _ in $(seq 100); do [ -e "$work/held" ] && return 0; sleep 0.1; done
    fail "the locks could not be taken for the test"
    return 1
}
release() { kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null; holder=; }

# run WAIT: the script with that bound; sets status, errors, seconds.
run() {
    local start=$SECONDS
    errors=$(KEEPAWAKE_APT_LOCK_WAIT=$1 timeout 120 "$script" 2>&1 >/dev/null)
    status=$?
    seconds=$((SECONDS - start))
}
last_line() { tail -n 1 <<<"$errors"; }
says_busy() { [[ $(last_line) == "scripts/ensure-packages: the package manager stayed busy for $1 s: "*"$2"* ]]; }
lines() { grep -c '' <<<"$errors"; }

lists=$work/lists/lock
frontend=$work/dpkg/lock-frontend

echo "== both locks held for 4 s, a wait of 60 s: it waits, then goes on"
hold 4 "$lists" "$frontend" || exit 1
run 60
release
echo "status $status after $seconds s; its last line: $(last_line)"
check "waited for the locks" [ "$seconds" -ge 3 ]
# Past the locks, the install fails only because these sources offer nothing.
check "went on to the install" grep -q 'Unable to locate package' <<<"$errors"
check "did not say busy" test -z "$(grep 'stayed busy' <<<"$errors")"

# busy WHAT WAIT LOCK...: held longer than the script waits.
busy() {
    local what=$1 wait=$2
    shift 2
    echo "== $what held for good, a wait of $wait s: one line, then it fails"
    hold 60 "$@" || return
    run "$wait"
    release
    echo "status $status after $seconds s; its lines:"
    printf '%s\n' "$errors"
    check "failed" [ "$status" -ne 0 ]
    check "gave up after about $wait s" test "$seconds" -ge "$wait" -a "$seconds" -le $((wait + 20))
    # Installing: ..., then the one line.
    check "two lines on standard error" [ "$(lines)" -eq 2 ]
    check "the last line says so, naming $1" says_busy "$wait" "$1"
}
# update needs the lists' lock, which apt-get itself never waits for.
busy "the lists' lock" 3 "$lists"
# install needs dpkg's frontend lock, which DPkg::Lock::Timeout waits for.
busy "dpkg's frontend lock" 3 "$frontend"

echo "== a wait that is not a number"
run soon
check "status 2" [ "$status" -eq 2 ]
check "one line after Installing:" test "$(last_line)" = \
    "scripts/ensure-packages: KEEPAWAKE_APT_LOCK_WAIT is not a number of seconds: soon"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
