# Shared by the desktop checks: a private folder per bed, timing, and
# keepawake driven through a named pipe. Sourced, not run.

bed_start_time=$(date +%s.%N)

now() { date +%s.%N; }
# Seconds since $1, two decimals.
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

fail() {
    echo "FAIL: $*"
    exit 1
}

# wait_for FILE PATTERN SECONDS: true once an extended regex matches a line
# of FILE, false when the time is up.
wait_for() {
    local file=$1 pattern=$2 limit=$3 start
    start=$(now)
    while :; do
        grep -Eq -- "$pattern" "$file" 2>/dev/null && return 0
        awk -v a="$start" -v b="$(now)" -v l="$limit" 'BEGIN { exit !(b - a >= l) }' && return 1
        sleep 0.05
    done
}

# start_keepawake NAME [ENV...] [-- OPTION...]: runs the copied program with
# its input on a pipe (fd 7 after this), output in NAME.out and NAME.err; pid
# in $kapid.
start_keepawake() {
    local name=$1 environment=() options=()
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do environment+=("$1"); shift; done
    [ $# -gt 0 ] && shift && options=("$@")
    rm -f "$bed/$name.in"
    mkfifo "$bed/$name.in"
    env "${environment[@]}" "$bed/keepawake" "${options[@]}" <"$bed/$name.in" >"$bed/$name.out" 2>"$bed/$name.err" &
    kapid=$!
    exec 7>"$bed/$name.in"
}

# At the end of a check, however it ends: keepawake and every process the
# check started and listed in pids.
stop_bed() {
    exec 7>&-
    [ -n "${kapid:-}" ] && kill -9 "$kapid" 2>/dev/null
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
}

# Inside the bed's session: work in its folder, and stop everything the check
# starts (listed in pids) when it ends.
enter_bed() {
    cd "$bed" || fail "no bed folder $bed"
    pids=()
    trap stop_bed EXIT
}

# Sends one command line to the running program.
type_keys() { printf '%s\n' "$1" >&7; }

# Waits for the program to end; its status in $kastatus, or 124 when it
# had to be killed after SECONDS.
wait_keepawake() {
    local limit=$1 start
    exec 7>&-
    start=$(now)
    while kill -0 "$kapid" 2>/dev/null; do
        if awk -v a="$start" -v b="$(now)" -v l="$limit" 'BEGIN { exit !(b - a >= l) }'; then
            kill -9 "$kapid"
            wait "$kapid" 2>/dev/null
            kastatus=124
            return
        fi
        sleep 0.05
    done
    wait "$kapid" 2>/dev/null
    kastatus=$?
}

# True when process $1 holds a connection to an X server. A client's end of
# a local socket shows no path, so the server's end is looked up by inode.
connected_to_x() {
    local peer
    for peer in $(ss -xp | awk -v p="pid=$1," 'index($0, p) { print $8 }'); do
        ss -xa | awk -v i="$peer" '$6 == i && $5 ~ /X11-unix/ { found = 1 } END { exit !found }' && return 0
    done
    return 1
}

# True while fewer than $2 seconds have passed since $1.
before() { awk -v a="$1" -v b="$(now)" -v l="$2" 'BEGIN { exit !(b - a < l) }'; }

# For the benchmark: runs the program for $1 seconds after a 1 s warm-up,
# then as long again paused, and prints for each span its time on a
# processor, its wake-ups (voluntary context switches, all threads) and the
# calls made to the desktops' inhibitor services on the session bus, then
# its peak resident size.
bench_run() {
    local seconds=$1
    dbus-monitor --session "type='method_call',interface='org.freedesktop.ScreenSaver'" \
        "type='method_call',interface='org.gnome.SessionManager'" >bench-bus.log 2>&1 &
    pids+=("$!")
    start_keepawake bench
    wait_for bench.out 'q = Quit the application' 5 || fail "bench: no menu: $(cat bench.err)"
    sleep 1
    totals() {
        cat /proc/"$kapid"/task/*/schedstat | awk '{ n += $1 } END { printf "%d ", n }'
        awk '/^voluntary_ctxt_switches/ { n += $2 } END { printf "%d ", n }' /proc/"$kapid"/task/*/status
        grep -c '^method call' bench-bus.log
    }
    span() {
        local label=$1 start cpu0 cpu1 woke0 woke1 calls0 calls1
        read -r cpu0 woke0 calls0 < <(totals)
        start=$(now)
        sleep "$seconds"
        read -r cpu1 woke1 calls1 < <(totals)
        echo "$label: cpu_ns=$((cpu1 - cpu0)) wakeups=$((woke1 - woke0)) bus_calls=$((calls1 - calls0))" \
            "seconds=$(since "$start")"
    }
    span figures
    type_keys e
    sleep 1
    span paused
    echo "peak: peak_kib=$(awk '/^VmHWM/ { print $2 }' /proc/"$kapid"/status)"
    type_keys q
    wait_keepawake 5
}

# diagnose_has LINE...: --diagnose, run now, exits 0 within 3 s with nothing
# on standard error and prints each LINE whole; its report is left in
# diagnose.out, its time in diagnose_seconds.
diagnose_has() {
    local start status line
    start=$(now)
    "$bed/keepawake" --diagnose >diagnose.out 2>diagnose.err
    status=$?
    diagnose_seconds=$(since "$start")
    cat diagnose.out
    [ "$status" -eq 0 ] || fail "--diagnose: exit status $status"
    [ -s diagnose.err ] && fail "--diagnose: standard error was not empty: $(cat diagnose.err)"
    before "$start" 3 || fail "--diagnose took $diagnose_seconds s"
    for line in "$@"; do
        grep -qxF -- "$line" diagnose.out || fail "--diagnose: no line '$line'"
    done
}
