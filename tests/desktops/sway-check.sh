#!/usr/bin/env bash
# keepawake in a headless sway (wlroots), with swayidle as the idle probe.
# sway refuses to run as root, so the bed (sway, the probe and the program)
# runs as nobody, in a private folder, runtime dir and session bus.
# Usage: sway-check.sh KEEPAWAKE MODULE RESIDENT_POINTER [BENCH_SECONDS]
# With BENCH_SECONDS, only measures the running program (see bench_run).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" != --inside ]; then
    bed=$(mktemp -d /tmp/keepawake-sway.XXXXXX)
    trap 'rm -rf "$bed"' EXIT
    chmod 755 "$bed"
    mkdir -m 700 "$bed/run" "$bed/config"
    # nobody may not be able to enter the build folder: copies, side by side.
    cp "$1" "$bed/keepawake"
    cp "$2" "$bed/keepawake-desktop.so"
    cp "$3" "$bed/resident_pointer"
    cp "$here/sway-check.sh" "$here/bed-lib.sh" "$here/screensaver_service.py" "$bed/"
    as_user=()
    if [ "$(id -u)" -eq 0 ]; then
        chown -R 65534:65534 "$bed"
        as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    fi
    "${as_user[@]}" env -i HOME="$bed" PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$bed/run" \
        XDG_CONFIG_HOME="$bed/config" dbus-run-session -- bash "$bed/sway-check.sh" --inside "$bed" "${4:-}"
    exit $?
fi

bed=$2
. "$bed/bed-lib.sh"
enter_bed

printf 'xwayland force\noutput HEADLESS-1 resolution 1280x720\n' >sway.conf
WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -d -c sway.conf >sway.log 2>&1 &
swaypid=$!
pids+=("$swaypid")
wait_for sway.log 'Xserver is ready' 10 || { tail -20 sway.log; fail "sway or its Xwayland did not start"; }
socket=$(cd run && ls -d wayland-[0-9] | head -1)
xdisplay=$(sed -nE 's/.*Starting Xwayland on (:[0-9]+).*/\1/p' sway.log | head -1)
export WAYLAND_DISPLAY=$socket DISPLAY=$xdisplay
echo "sway ready after $(since "$bed_start_time") s on $socket, Xwayland $xdisplay"

./resident_pointer >pointer.log 2>&1 &
pids+=("$!")
wait_for pointer.log 'ready' 5 || fail "the bed's resident pointer did not start"
if [ -n "${3:-}" ]; then
    bench_run "$3"
    exit 0
fi

# Running: the probe, started after the program, never sees the session idle.
start_keepawake run1
wait_for run1.out 'q = Quit the application' 5 || fail "no menu: $(cat run1.err)"
swayidle -w timeout 2 'echo IDLE' resume 'echo RESUMED' >probe.log 2>&1 &
pids+=("$!")
sleep 6
grep -q IDLE probe.log && fail "running: the session went idle within 6 s: $(cat probe.log)"
echo "running: no IDLE for 6 s (probe timeout 2 s)"

# With DISPLAY naming Xwayland, the program must not use it at all.
connected_to_x "$kapid" && fail "keepawake is connected to Xwayland"
echo "running: no connection to Xwayland"

# --diagnose: the virtual pointer is the way, the probe an idle manager
# its nudges hold off, and the running copy is listed.
probe=$(pgrep -x -n swayidle)
diagnose_has "  kept awake by: the wlroots virtual pointer, there now (Wayland compositor's registry)" \
    "  kept awake by: GNOME's session manager (idle inhibitor), not there (session bus)" \
    "  swayidle (runs its command): 2 s (its shortest timeout, from its command line, process $probe); held off by nudges" \
    "  screen-saver timeout: none taken (the virtual pointer is there, so keepawake nudges at the shortest interval)" \
    "  nudge interval: 30 ms (the shortest interval: swayidle's 2 s, the shortest timer nudges hold off, is 60 s or less)"
grep -qE "^  keepawake $kapid: awake since " diagnose.out || fail "--diagnose: copy $kapid not listed"
tail -1 diagnose.out | grep -q '^keepawake can keep this screen awake' || fail "--diagnose: the verdict is not last"
grep -q IDLE probe.log && fail "--diagnose: the session went idle meanwhile"
echo "diagnose: exit 0 after $diagnose_seconds s"

start=$(now)
type_keys e
wait_for probe.log IDLE 3 || fail "paused: no IDLE within 3 s"
echo "paused: IDLE after $(since "$start") s"

start=$(now)
type_keys d
wait_for probe.log RESUMED 1 || fail "resumed: no RESUMED within 1 s"
echo "resumed: RESUMED after $(since "$start") s"

# A compositor that stops reading holds up neither the nudges nor the exit.
kill -STOP "$swaypid"
sleep 1
start=$(now)
type_keys q
wait_keepawake 3
exit_seconds=$(since "$start")
kill -CONT "$swaypid"
[ "$kastatus" -eq 0 ] || fail "quit: exit status $kastatus"
echo "quit with sway stopped: exit after $exit_seconds s"
grep -q 'Waiting to exit...' run1.out && grep -q 'Thread closed and cleaned up.' run1.out ||
    fail "quit: no shutdown lines"
[ -s run1.err ] && fail "standard error was not empty: $(cat run1.err)"
echo "quit: exit 0 with the shutdown lines"

# Two more runs one after the other: each makes and drops its pointer.
for run in run2 run3; do
    start_keepawake "$run"
    wait_for "$run.out" 'q = Quit the application' 5 || fail "$run: no menu"
    sleep 1
    type_keys q
    wait_keepawake 5
    [ "$kastatus" -eq 0 ] || fail "$run: exit status $kastatus"
done
sleep 0.5
kill -0 "$swaypid" 2>/dev/null || fail "sway died after the runs: $(grep -iE 'segfault|error' sway.log | tail -3)"
wayland-info >/dev/null 2>&1 || fail "sway no longer answers"
echo "two more runs: sway still running"

# --only-when-idle: the compositor tells when the seat has had no input for
# an interval (sway 1.7: the KDE idle protocol; newer ones ext-idle-notify).
# While a user moves the pointer the program does not wake at all (without
# the option its timer alone would wake it every second to nudge), and the
# compositor tells no idleness (each time it does, one write on the pipe to
# the main thread, which has the worker nudge); once the user is gone that
# comes every interval, and swayidle never sees the session idle.
io_writes() { awk '/^syscw/ { print $2 }' /proc/"$kapid"/io; }
wakeups() { awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n }' /proc/"$kapid"/task/*/status; }
start_keepawake idle1 -- --only-when-idle --interval 1s
wait_for idle1.out 'Nudges only once nobody has used the session for an interval.' 5 ||
    fail "--only-when-idle: no menu line: $(cat idle1.out idle1.err)"
swayidle -w timeout 3 'echo IDLE' resume 'echo RESUMED' >probe-idle.log 2>&1 &
idleprobe=$!
pids+=("$idleprobe")
status_line=$(./keepawake --status 2>&1)
[[ "$status_line" =~ ^$kapid\ awake\ since\ [0-9:]{8},\ by\ zero\ moves\ every\ 1000\ ms,\ while\ idle$ ]] ||
    fail "--only-when-idle: --status said: $status_line"
sleep 1
writes0=$(io_writes) woke0=$(wakeups)
./resident_pointer move 75 3 || fail "the bed's user pointer did not move"
writes1=$(io_writes) woke1=$(wakeups)
echo "only when idle, user moving every 75 ms for 3 s: $((writes1 - writes0)) idle notices, $((woke1 - woke0)) wake-ups"
[ "$writes1" = "$writes0" ] || fail "--only-when-idle: idle $((writes1 - writes0)) times while the user moved"
[ $((woke1 - woke0)) -le 1 ] || fail "--only-when-idle: $((woke1 - woke0)) wake-ups while the user moved"
sleep 5
writes2=$(io_writes)
echo "only when idle, nobody there for 5 s: $((writes2 - writes1)) idle notices, each a nudge (interval 1 s)"
[ $((writes2 - writes1)) -ge 3 ] || fail "--only-when-idle: $((writes2 - writes1)) nudges in 5 s once the user was gone"
grep -q IDLE probe-idle.log && fail "--only-when-idle: swayidle saw the session idle: $(cat probe-idle.log)"
type_keys q
wait_keepawake 5
[ "$kastatus" -eq 0 ] || fail "--only-when-idle: exit status $kastatus"
[ -s idle1.err ] && fail "--only-when-idle: standard error: $(cat idle1.err)"
echo "only when idle: no IDLE (probe timeout 3 s), exit 0, nothing on standard error"
# Its probe's 3 s would pace the nudges of the checks below.
kill "$idleprobe"
wait "$idleprobe" 2>/dev/null

# An idle manager serving the freedesktop screen saver beside the virtual
# pointer, as hypridle does: the program holds its inhibitor AND sends zero
# moves, so swayidle, which heeds input alone, never sees the session idle.
# It follows the service as it leaves and comes back, one line each time.
start_service() {
    python3 ./screensaver_service.py >"$1" 2>&1 &
    servicepid=$!
    pids+=("$servicepid")
    wait_for "$1" '^ready' 5 || fail "the screen-saver service did not start: $(cat "$1")"
}
# status_is PATTERN: --status prints one line matching it and exits 0.
status_is() {
    local out code
    out=$(./keepawake --status 2>&1)
    code=$?
    [ "$code" -eq 0 ] || fail "--status exited $code: $out"
    [[ "$out" =~ ^$kapid\ awake\ since\ [0-9:]{8},\ $1$ ]] || fail "--status said: $out"
    echo "  --status: $out"
}
# --diagnose with the service there: it takes the inhibitor and drops it.
start_service diagnose-service.log
./keepawake --diagnose >diagnose3.out 2>&1
grep -qxF "  kept awake by: the freedesktop screen saver (inhibitor), there now (session bus, served by python3)" \
    diagnose3.out || fail "--diagnose with the service: $(cat diagnose3.out)"
grep -qxF "  kept awake by: the wlroots virtual pointer, there now (Wayland compositor's registry)" diagnose3.out ||
    fail "--diagnose with the service: no virtual pointer: $(cat diagnose3.out)"
[ "$(grep -c '^Inhibit 1 keepawake' diagnose-service.log)" = 1 ] && grep -q '^UnInhibit 1' diagnose-service.log ||
    fail "--diagnose did not take and drop the inhibitor: $(cat diagnose-service.log)"
tail -1 diagnose3.out | grep -q '^keepawake can keep this screen awake' || fail "--diagnose: $(tail -1 diagnose3.out)"
kill "$servicepid"
echo "diagnose with the service: inhibitor taken and dropped, both ways there"
start_service service1.log
start_keepawake both
wait_for both.out 'q = Quit the application' 5 || fail "both: no menu: $(cat both.err)"
wait_for service1.log '^Inhibit 1 keepawake' 3 || fail "both: the inhibitor was not taken: $(cat service1.log)"
swayidle -w timeout 3 'echo IDLE' resume 'echo RESUMED' >probe2.log 2>&1 &
probe2=$!
pids+=("$probe2")
sleep 5
grep -q IDLE probe2.log && fail "both: swayidle saw the session idle while the inhibitor was held"
[ -s both.err ] && fail "both: standard error at start: $(cat both.err)"
echo "inhibitor and zero moves: inhibitor taken, no IDLE for 5 s (probe timeout 3 s)"
status_is "by the freedesktop screen saver and zero moves every 30 ms, for swayidle's 2 s"

kill "$servicepid"
start=$(now)
wait_for both.err 'left the session bus' 3 || fail "service gone: nothing said"
[ "$(cat both.err)" = "keepawake: the freedesktop screen saver left the session bus; keeping the session awake by zero moves alone." ] ||
    fail "service gone: $(cat both.err)"
echo "service gone: said so after $(since "$start") s"
sleep 4
grep -q IDLE probe2.log && fail "service gone: the session went idle"
echo "service gone: still no IDLE 4 s later"
status_is "by zero moves every 30 ms, for swayidle's 2 s"

start_service service2.log
start=$(now)
wait_for service2.log '^Inhibit 1 keepawake' 3 || fail "service back: the inhibitor was not taken again"
wait_for both.err 'came back' 2 || fail "service back: nothing said"
[ "$(wc -l <both.err)" -eq 2 ] && [ "$(tail -1 both.err)" = "keepawake: the freedesktop screen saver came back to the session bus; keeping the session awake by the freedesktop screen saver and zero moves." ] ||
    fail "service back: $(cat both.err)"
echo "service back: inhibitor taken again after $(since "$start") s"
status_is "by the freedesktop screen saver and zero moves every 30 ms, for swayidle's 2 s"

start=$(now)
type_keys e
wait_for service2.log '^UnInhibit 1' 2 || fail "paused: the inhibitor was not released"
wait_for probe2.log IDLE 6 || fail "paused: no IDLE within 6 s"
echo "paused: released, IDLE after $(since "$start") s"
type_keys d
wait_for service2.log '^Inhibit 2 keepawake' 2 || fail "resumed: the inhibitor was not taken again"
type_keys q
wait_keepawake 5
[ "$kastatus" -eq 0 ] || fail "both: exit status $kastatus"
wait_for service2.log '^UnInhibit 2' 2 || fail "quit: the inhibitor was not released"
[ "$(wc -l <both.err)" -eq 2 ] || fail "both: more said than the two changes: $(cat both.err)"
echo "both: resumed and quit, inhibitor released each time, two lines in all on standard error"

# The nudges follow swayidle's timeout: one eightieth of it, re-planned
# within 2 s when another swayidle takes its place.
kill "$probe" "$probe2" "$servicepid"
# Its name must be gone from the bus first, or the copy below tries it and
# rightly says it failed.
start=$(now)
while gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.NameHasOwner org.freedesktop.ScreenSaver 2>/dev/null | grep -q true; do
    before "$start" 3 || fail "paced: the screen-saver service kept its name"
    sleep 0.1
done
swayidle -w timeout 120 'echo IDLE' >probe3.log 2>&1 &
probe3=$!
pids+=("$probe3")
start_keepawake paced
wait_for paced.out 'q = Quit the application' 5 || fail "paced: no menu: $(cat paced.err)"
status_is "by zero moves every 1500 ms, for swayidle's 2 min"
woke0=$(awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n }' /proc/"$kapid"/task/*/status)
sleep 6
woke1=$(awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n }' /proc/"$kapid"/task/*/status)
echo "paced: swayidle 120 s: $((woke1 - woke0)) wake-ups in 6 s"
swayidle -w timeout 300 'echo IDLE' >probe4.log 2>&1 &
pids+=("$!")
kill "$probe3"
start=$(now)
until ./keepawake --status 2>&1 | grep -q 'every 3750 ms'; do
    before "$start" 3 || fail "paced: not re-planned for swayidle's 300 s: $(./keepawake --status 2>&1)"
    sleep 0.1
done
echo "paced: re-planned after $(since "$start") s"
status_is "by zero moves every 3750 ms, for swayidle's 5 min"
type_keys q
wait_keepawake 5
[ "$kastatus" -eq 0 ] || fail "paced: exit status $kastatus"
[ -s paced.err ] && fail "paced: standard error was not empty: $(cat paced.err)"
echo "sway checks passed in $(since "$bed_start_time") s"
