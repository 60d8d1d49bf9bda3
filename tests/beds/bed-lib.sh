# shellcheck shell=bash
# Shared by the bed checks: a disposable copy-on-write layer over a cached
# chroot of scripts/desktop-beds, the project's .deb installed into it, private
# system and session buses, everything run as uid 1000 "tester" with a clean
# environment, and the figures each check prints. Sourced, not run.
# A check: bed_open RELEASE "NAME" DEB; start its desktop; its steps
# (problem records a failure and goes on); bed_report; the EXIT trap undoes
# every process and mount.

beds_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# now, since, before, wait_for
. "$beds_dir/../desktops/bed-lib.sh"
. "$beds_dir/bed-packages.sh"

bed_cache=${KEEPAWAKE_BEDS:-/var/cache/keepawake/beds}
runtime=/run/user/1000
mounted=()
pids=()
figures=()
failures=()
kapid=
# Set by run-beds.sh --bench.
bench_seconds=${BED_BENCH_SECONDS:-}
bench_table=${BED_BENCH_TABLE:-/dev/null}

# problem TEXT: a failed promise; the check goes on so that its figures say
# how far the rest got.
problem() {
    failures+=("$*")
    echo "FAIL: $bed_name: $*"
}
# figure TEXT: one part of the check's figures line.
figure() { figures+=("$*"); }

# until_true SECONDS COMMAND...: polls until the command succeeds.
until_true() {
    local limit=$1 start
    shift
    start=$(now)
    until "$@"; do
        before "$start" "$limit" || return 1
        sleep 0.1
    done
}

# as_user COMMAND...: runs in the bed as tester, with only the session's
# variables (and those in user_env).
# Kept in an array rather than a function so that "&" gives the command's
# own pid (chroot and env exec it).
user_env=()
user_argv() {
    argv=(chroot --userspec=1000:1000 "$root" env -i HOME=/home/tester USER=tester LOGNAME=tester LANG=C.UTF-8
          PATH=/usr/local/bin:/usr/bin:/bin XDG_RUNTIME_DIR="$runtime"
          DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus" XDG_SESSION_TYPE=wayland "${user_env[@]}")
}
as_user() {
    user_argv
    "${argv[@]}" "$@"
}
# in_background LOG COMMAND...: as_user in the background, output in
# $logs/LOG; its pid in $! and pids.
in_background() {
    local log=$1
    shift
    user_argv
    "${argv[@]}" "$@" >"$logs/$log" 2>&1 </dev/null &
    pids+=("$!")
}
# Writes a file in the user's home (or anywhere in the bed) as the user.
user_file() {
    local path=$root$1
    mkdir -p "$(dirname "$path")"
    cat >"$path"
    chown -R 1000:1000 "$root/home/tester"
}

bed_mount() {
    mount "$@" && mounted+=("${*: -1}")
}

# bed_open RELEASE NAME DEB: the bed ready to start a desktop in, with the
# package installed; prints "not run" and ends the check when the cached bed
# is missing.
bed_open() {
    local release=$1 deb=$3
    bed_name=$2
    lower=$bed_cache/$release
    if [ ! -f "$lower/.keepawake-bed" ]; then
        echo "not run: $bed_name: no $release bed in $bed_cache (make it with scripts/desktop-beds)"
        exit 3
    fi
    bed_started=$(now)
    work=$(mktemp -d "${TMPDIR:-/tmp}/keepawake-bed.XXXXXX")
    chmod 755 "$work"
    mkdir "$work/upper" "$work/work" "$work/root" "$work/logs"
    root=$work/root
    logs=$work/logs
    trap bed_close EXIT
    trap 'exit 130' INT TERM HUP
    bed_mount -t overlay overlay -o "lowerdir=$lower,upperdir=$work/upper,workdir=$work/work" "$root" ||
        { echo "FAIL: $bed_name: could not mount the copy-on-write layer over $lower"; exit 1; }
    bed_mount -t proc proc "$root/proc"
    bed_mount --bind /sys "$root/sys"
    bed_mount --bind /dev "$root/dev"
    bed_mount --bind /dev/pts "$root/dev/pts"
    bed_mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
    bed_mount -t tmpfs -o mode=755 run "$root/run"
    [ ${#mounted[@]} -eq 7 ] || { echo "FAIL: $bed_name: the bed's mounts failed"; exit 1; }
    mkdir -p "$root/run/dbus" "$root$runtime" "$root/run/lock"
    chown 1000:1000 "$root$runtime"
    chmod 700 "$root$runtime"

    cp "$deb" "$root/tmp/"
    if ! chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" >"$logs/install.log" 2>&1 </dev/null; then
        tail -5 "$logs/install.log"
        echo "FAIL: $bed_name: apt-get install ./$(basename "$deb") failed in $release"
        exit 1
    fi
    installed=$(chroot "$root" dpkg-query -W -f '${Version}' keepawake)
    figure "keepawake $installed installed in $(since "$bed_started") s"

    chroot "$root" dbus-daemon --system --fork --print-pid >"$logs/system-bus.pid" </dev/null ||
        { echo "FAIL: $bed_name: the private system bus did not start"; exit 1; }
    pids+=("$(cat "$logs/system-bus.pid")")
    as_user dbus-daemon --session --address="unix:path=$runtime/bus" --fork --print-pid \
        >"$logs/session-bus.pid" </dev/null || { echo "FAIL: $bed_name: the private session bus did not start"; exit 1; }
    pids+=("$(cat "$logs/session-bus.pid")")
}

# Processes whose root is this bed.
bed_processes() {
    find /proc/[0-9]*/root -maxdepth 0 -lname "$root" 2>/dev/null | cut -d/ -f3
}

# However the check ends: every process in the bed, then every mount, in
# reverse order; anything still mounted fails the check loudly.
bed_close() {
    local status=$? pid i left closing
    trap - EXIT
    # A stop that comes while closing must not leave the mounts behind.
    trap '' INT TERM HUP
    closing=$(now)
    [ -n "${monitor_pid:-}" ] && kill "$monitor_pid" 2>/dev/null
    for pid in "${pids[@]}" $kapid; do kill "$pid" 2>/dev/null; done
    if [ -n "${root:-}" ]; then
        for i in 1 2 3 4 5 6 7 8 9 10; do
            left=$(bed_processes)
            [ -z "$left" ] && break
            [ -n "${BED_TRACE:-}" ] && echo "$bed_name: closing, $(since "$closing") s: $(ps -o comm= -p "${left//$'\n'/,}" | tr '\n' ' ')"
            if [ "$i" -lt 10 ]; then
                kill $left 2>/dev/null
                sleep 0.2
            else
                kill -9 $left 2>/dev/null
                sleep 0.5
            fi
        done
    fi
    wait 2>/dev/null
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || { sleep 0.5; umount "${mounted[i]}"; } ||
            echo "FAIL: $bed_name: could not unmount ${mounted[i]}"
    done
    mounted=()
    if [ -n "${work:-}" ]; then
        left=$(findmnt -rn -o TARGET | grep -F "$work" || true)
        if [ -n "$left" ]; then
            echo "FAIL: $bed_name: still mounted after the check: $left"
            status=1
        else
            rm -rf --one-file-system "$work"
        fi
    fi
    [ -n "${BED_TRACE:-}" ] && echo "$bed_name: closed in $(since "$closing") s"
    exit "$status"
}

# bed_report: the check's figures line, and its exit status.
bed_report() {
    local IFS=';'
    local line="${figures[*]}"
    echo "$bed_name: ${line//;/; }"
    if [ ${#failures[@]} -gt 0 ]; then
        echo "FAIL: $bed_name: ${#failures[@]} promise(s) broken, $(since "$bed_started") s"
        exit 1
    fi
    echo "$bed_name: passed in $(since "$bed_started") s (keepawake $installed)"
    exit 0
}

# wayland_up SECONDS: the compositor's socket in the runtime folder
# answers; WAYLAND_DISPLAY names it from then on.
wayland_up() {
    local limit=$1 start socket
    start=$(now)
    while before "$start" "$limit"; do
        for socket in "$root$runtime"/wayland-[0-9]; do
            [ -S "$socket" ] || continue
            socket=$(basename "$socket")
            if as_user env WAYLAND_DISPLAY="$socket" wayland-info >/dev/null 2>&1; then
                user_env+=(WAYLAND_DISPLAY="$socket")
                return 0
            fi
        done
        sleep 0.1
    done
    return 1
}

gcall() { as_user gdbus call --session --timeout 2 "$@" 2>/dev/null; }
has_owner() {
    gcall --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.NameHasOwner "$1" | grep -q true
}

# diagnose_check LABEL PATTERN...: the installed program's --diagnose as the
# user in the running session exits 0, ends in the "can" verdict and has a
# line matching each extended regex; its report in $logs/diagnose-LABEL.out.
# Adds a figure.
diagnose_check() {
    local label=$1 out status pattern
    shift
    out=$(as_user timeout 10 /usr/bin/keepawake --diagnose 2>&1)
    status=$?
    printf '%s\n' "$out" >"$logs/diagnose-$label.out"
    [ "$status" = 0 ] || problem "--diagnose ($label): exit $status: $(tail -1 <<<"$out")"
    [[ $(tail -1 <<<"$out") == "keepawake can keep this screen awake"* ]] ||
        problem "--diagnose ($label): last line '$(tail -1 <<<"$out")'"
    for pattern in "$@"; do
        grep -qE -- "$pattern" <<<"$out" || problem "--diagnose ($label): no line matching '$pattern'"
    done
    figure "--diagnose ($label): exit $status, $(wc -l <<<"$out") lines, verdict and $# expected lines checked"
}

# The installed program, as the user, in the background: --no-menu and any
# further ARGS, output in $logs/NAME.out and .err, pid in $kapid.
start_keepawake() {
    local name=$1
    shift
    user_argv
    "${argv[@]}" /usr/bin/keepawake --no-menu "$@" >"$logs/$name.out" 2>"$logs/$name.err" </dev/null &
    kapid=$!
    ka_name=$name
}
# keepawake_ctl ARG: --pause, --resume, --status or --stop as the same
# user; its output in $ctl_out, status in $ctl_status.
keepawake_ctl() {
    ctl_out=$(as_user timeout 10 /usr/bin/keepawake "$1" 2>&1)
    ctl_status=$?
}
# Waits up to $1 s for the program to end; its status in $kastatus (124
# when it had to be killed).
keepawake_ended() {
    local limit=$1 start
    start=$(now)
    while kill -0 "$kapid" 2>/dev/null; do
        if ! before "$start" "$limit"; then
            kill -9 "$kapid" 2>/dev/null
            wait "$kapid" 2>/dev/null
            kastatus=124
            kapid=
            return 1
        fi
        sleep 0.05
    done
    wait "$kapid" 2>/dev/null
    kastatus=$?
    kapid=
}
kill9_keepawake() {
    kill -9 "$kapid"
    wait "$kapid" 2>/dev/null
    kapid=
}
# The program said nothing on standard error, as it should where its way
# of keeping awake works.
quiet_stderr() {
    [ -s "$logs/$ka_name.err" ] && problem "$1: standard error was not empty: $(head -3 "$logs/$ka_name.err")"
}
# --status names this copy as awake (paused: as paused).
status_says() {
    keepawake_ctl --status
    grep -qE "^$kapid $1 since" <<<"$ctl_out"
}

# count_in FILE PATTERN: lines of an idle probe's FILE in the bed's home
# that match; 0 before the probe wrote any.
count_in() {
    local n
    n=$(grep -c -- "$2" "$root/home/tester/$1" 2>/dev/null)
    echo "${n:-0}"
}
# probe_idle FILE, probe_active FILE: what a probe said last.
probe_idle() { tail -n 1 "$root/home/tester/$1" 2>/dev/null | grep -q '^IDLE'; }
probe_active() { ! probe_idle "$1"; }
# wait_line FILE PATTERN COUNT SECONDS: until FILE holds COUNT lines
# matching PATTERN.
wait_line() {
    local file=$1 pattern=$2 count=$3 limit=$4 start
    start=$(now)
    while [ "$(count_in "$file" "$pattern")" -lt "$count" ]; do
        before "$start" "$limit" || return 1
        sleep 0.1
    done
}

# watch_calls: from here on, dbus-monitor writes down every method call
# the program's session-bus connections send (found by their pid).
watch_calls() {
    local names=() rules=() name pid
    for name in $(gcall --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.ListNames | grep -oE "':[0-9]+\.[0-9]+'" | tr -d "'"); do
        pid=$(gcall --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
            --method org.freedesktop.DBus.GetConnectionUnixProcessID "$name" | sed -nE 's/.*uint32 ([0-9]+).*/\1/p')
        [ "$pid" = "$kapid" ] && names+=("$name")
    done
    for name in "${names[@]}"; do rules+=("type='method_call',sender='$name'"); done
    : >"$logs/monitor.log"
    [ ${#rules[@]} -gt 0 ] || return 0
    user_argv
    "${argv[@]}" dbus-monitor --session "${rules[@]}" >"$logs/monitor.log" 2>&1 &
    monitor_pid=$!
    sleep 0.5
}
# calls_between T0 T1 [MEMBER]: the calls written down in that span (of
# MEMBER only, if given); ends the watch.
calls_between() {
    if [ -n "${monitor_pid:-}" ]; then
        sleep 0.3
        kill "$monitor_pid" 2>/dev/null
        wait "$monitor_pid" 2>/dev/null
        monitor_pid=
    fi
    awk -v a="$1" -v b="$2" -v m="member=${3:-}" '/^method call / && (m == "member=" || index($0, m)) {
        for (i = 1; i <= NF; i++) if ($i ~ /^time=/) { t = substr($i, 6); if (t >= a && t < b) n++ } }
        END { print n + 0 }' "$logs/monitor.log"
}

# For the benchmark: the program's wake-ups (voluntary context switches of
# all its threads) and the method calls its session-bus connections send,
# over $1 seconds; prints "WAKEUPS_PER_S CALLS_PER_S".
bench_phase() {
    local seconds=$1 woke0 woke1 woken t0 t1 calls
    watch_calls
    # Per thread, as "TID COUNT": a thread that ends within the span would
    # take its count out of a plain sum; its last switches go uncounted.
    woke() {
        awk '/^voluntary_ctxt_switches/ { split(FILENAME, p, "/"); print p[5], $2 }' /proc/"$kapid"/task/*/status
    }
    woke0=$(woke)
    t0=$(now)
    sleep "$seconds"
    woke1=$(woke)
    t1=$(now)
    calls=$(calls_between "$t0" "$t1")
    woken=$(awk 'NR == FNR { before[$1] = $2; next } { n += $2 - before[$1] } END { print n + 0 }' \
        <(echo "$woke0") <(echo "$woke1"))
    awk -v w="$woken" -v c="$calls" -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%.1f %.1f\n", w / (b - a), c / (b - a) }'
}

# bench_row: with bench_seconds set, runs the program for that many
# seconds running and half as many paused, and writes the bed's row of the desktop table
# to $bench_table.
bench_row() {
    [ -n "${bench_seconds:-}" ] || return 0
    local running paused
    start_keepawake bench
    sleep 1.5
    kill -0 "$kapid" 2>/dev/null || { problem "bench: the program ended: $(head -2 "$logs/bench.err")"; return; }
    running=$(bench_phase "$bench_seconds")
    keepawake_ctl --pause
    sleep 1
    # Paused, nothing should happen at all: half the span shows that.
    paused=$(bench_phase "$(((bench_seconds + 1) / 2))")
    keepawake_ctl --stop
    keepawake_ended 5
    read -r rw rc <<<"$running"
    read -r pw pc <<<"$paused"
    printf '| %s | %s | %s | %s | %s |\n' "$bed_name" "$rw" "$rc" "$pw" "$pc" >>"$bench_table"
    figure "bench: running $rw wake-ups/s and $rc bus calls/s, paused $pw wake-ups/s and $pc bus calls/s"
}
