#!/usr/bin/env bash
# keepawake in a headless GNOME: mutter plus gnome-session with no
# components, idle-delay 3 s in a private dconf. Probes: the session
# manager's IsInhibited(8) and its Presence status.
# Usage: gnome-check.sh KEEPAWAKE MODULE [BENCH_SECONDS]
# With BENCH_SECONDS, only measures the running program at GNOME's default
# idle-delay of 300 s (see bench_run).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

case "${1:-}" in
--system)
    # Stands in for the system bus that gnome-shell and mutter insist on.
    export DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS
    exec dbus-run-session -- bash "$2/gnome-check.sh" --inside "$2" "${3:-}"
    ;;
--inside) ;;
*)
    bed=$(mktemp -d /tmp/keepawake-gnome.XXXXXX)
    trap 'rm -rf "$bed"' EXIT
    mkdir -m 700 "$bed/run" "$bed/config"
    cp "$1" "$bed/keepawake"
    cp "$2" "$bed/keepawake-desktop.so"
    cp "$here/gnome-check.sh" "$here/bed-lib.sh" "$bed/"
    # Exported before the buses start: dconf is started by the session bus
    # with the bus's own environment, and must use the private database.
    # No autostart folders: the session starts nothing but the manager.
    mkdir "$bed/xdg"
    env -i HOME="$bed" PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$bed/run" XDG_CONFIG_HOME="$bed/config" \
        XDG_CONFIG_DIRS="$bed/xdg" dbus-run-session -- bash "$bed/gnome-check.sh" --system "$bed" "${3:-}"
    exit $?
    ;;
esac

bed=$2
. "$bed/bed-lib.sh"
enter_bed

manager() {
    gdbus call --session --timeout 2 --dest org.gnome.SessionManager --object-path "$@"
}
inhibited() { manager /org/gnome/SessionManager --method org.gnome.SessionManager.IsInhibited 8 2>/dev/null; }
presence() {
    manager /org/gnome/SessionManager/Presence --method org.freedesktop.DBus.Properties.Get \
        org.gnome.SessionManager.Presence status 2>/dev/null |
        sed -nE 's/.*uint32 ([0-9]+).*/\1/p'
}
# until_true SECONDS COMMAND...: polls until the command succeeds.
until_true() {
    local limit=$1 start
    shift
    start=$(now)
    until "$@"; do
        awk -v a="$start" -v b="$(now)" -v l="$limit" 'BEGIN { exit !(b - a >= l) }' && return 1
        sleep 0.05
    done
}
answers() { [ -n "$(inhibited)" ]; }
is_inhibited() { [ "$(inhibited)" = "(true,)" ]; }
not_inhibited() { [ "$(inhibited)" = "(false,)" ]; }
is_idle() { [ "$(presence)" = 3 ]; }

delay=3
[ -n "${3:-}" ] && delay=300
gsettings set org.gnome.desktop.session idle-delay "$delay"
[ "$(gsettings get org.gnome.desktop.session idle-delay)" = "uint32 $delay" ] ||
    fail "the private dconf did not take idle-delay"

LIBGL_ALWAYS_SOFTWARE=1 mutter --headless --wayland --virtual-monitor 1280x720 >mutter.log 2>&1 &
pids+=("$!")
until_true 10 gdbus call --session --timeout 1 --dest org.gnome.Mutter.IdleMonitor \
    --object-path /org/gnome/Mutter/IdleMonitor/Core --method org.gnome.Mutter.IdleMonitor.GetIdletime \
    >/dev/null 2>&1 || { tail -20 mutter.log; fail "mutter did not start"; }
mkdir -p config/gnome-session/sessions
printf '[GNOME Session]\nName=test\nRequiredComponents=\n' >config/gnome-session/sessions/test.session
start_session() {
    gnome-session --builtin --disable-acceleration-check --session=test >>session.log 2>&1 &
    sessionpid=$!
    pids+=("$sessionpid")
    until_true 10 answers || { tail -20 session.log; fail "gnome-session did not start"; }
}
start_session
socket=$(cd run && ls -d wayland-[0-9] | head -1)
xdisplay=$(sed -nE 's/.*Using public X11 display (:[0-9]+).*/\1/p' mutter.log | head -1)
[ -n "$xdisplay" ] || fail "mutter named no Xwayland display"
export WAYLAND_DISPLAY=$socket DISPLAY=$xdisplay
echo "GNOME ready after $(since "$bed_start_time") s on $socket, Xwayland $xdisplay"
if [ -n "${3:-}" ]; then
    bench_run "$3"
    exit 0
fi

# --diagnose before anything holds the session: the inhibitor is the way,
# idle-delay the timeout, and taking and dropping it shows in IsInhibited.
diagnose_has "  kept awake by: GNOME's session manager (idle inhibitor), there now (session bus)" \
    "  GNOME idle-delay (blanks, then locks if locking is on): 3 s (GSettings org.gnome.desktop.session); held off by the inhibitor" \
    "  taking the inhibitor: counted: IsInhibited(8) turned true, and it was dropped again (GNOME session manager IsInhibited(8) around Inhibit and Uninhibit)" \
    "  logind IdleAction: cannot be read here (logind is not on the system bus)" \
    "  GNOME idle inhibitors: none (GNOME session manager GetInhibitors)" \
    "keepawake can keep this screen awake"
grep -qE '^  idle time: [0-9]+ ms \(Mutter IdleMonitor GetIdletime\)$' diagnose.out || fail "--diagnose: no idle time"
[ "$(tail -1 diagnose.out)" = "keepawake can keep this screen awake" ] || fail "--diagnose: the verdict is not last"
not_inhibited || fail "--diagnose left the inhibitor held"
echo "diagnose: exit 0 after $diagnose_seconds s, the inhibitor checked and dropped"

start_keepawake run1
wait_for run1.out 'q = Quit the application' 5 || fail "no menu: $(cat run1.err)"
start=$(now)
until_true 2 is_inhibited || fail "running: IsInhibited(8) is not true"
echo "running: IsInhibited(8) true after $(since "$start") s"
sleep 6.5
[ "$(presence)" = 0 ] || fail "running: Presence is $(presence), not available, at 6.5 s"
is_inhibited || fail "running: the inhibitor was lost"
echo "running: Presence still available at 6.5 s with idle-delay 3 s"
connected_to_x "$kapid" && fail "keepawake is connected to Xwayland"
echo "running: no connection to Xwayland"
# A running copy shows as a holder: its inhibitor and its endpoint.
"$bed/keepawake" --diagnose >diagnose2.out 2>&1
grep -qF "  GNOME inhibitor of keepawake: Kept awake at the user's request, flags 8 (idle)" diagnose2.out ||
    fail "--diagnose while running: no GNOME inhibitor of keepawake: $(cat diagnose2.out)"
grep -qE "^  keepawake $kapid: awake since " diagnose2.out || fail "--diagnose while running: copy $kapid not listed"
grep -qF "taking the inhibitor: cannot be read here (the session was already inhibited" diagnose2.out ||
    fail "--diagnose while running: the live check claims a result it cannot see"
echo "running: --diagnose lists the copy and its inhibitor"

start=$(now)
type_keys e
until_true 2 not_inhibited || fail "paused: IsInhibited(8) still true"
echo "paused: IsInhibited(8) false after $(since "$start") s"
until_true 6 is_idle || fail "paused: Presence did not go idle within 6 s (it is $(presence))"
echo "paused: Presence idle after $(since "$start") s"

start=$(now)
type_keys d
until_true 2 is_inhibited || fail "resumed: IsInhibited(8) not true again"
echo "resumed: IsInhibited(8) true after $(since "$start") s"

# The session manager goes: nothing else keeps a GNOME session awake, which
# the program says once, and --status says so too (exit 1). It comes back:
# the inhibitor is taken again, with one line, and --status says how.
status_of() {
    statusline=$(./keepawake --status 2>&1)
    statuscode=$?
}
status_of
[ "$statuscode" -eq 0 ] && [[ "$statusline" =~ ^$kapid\ awake\ since\ [0-9:]{8},\ by\ GNOME\'s\ session\ manager$ ]] ||
    fail "running: --status exited $statuscode: $statusline"
echo "running: --status: $statusline"
kill -9 "$sessionpid"
wait "$sessionpid" 2>/dev/null
wait_for run1.err 'left the session bus' 3 || fail "session manager gone: nothing said"
[ "$(cat run1.err)" = "keepawake: GNOME's session manager left the session bus; this copy cannot keep the session awake until a way comes back." ] ||
    fail "session manager gone: $(cat run1.err)"
status_of
[ "$statuscode" -eq 1 ] && [[ "$statusline" =~ ^$kapid\ awake\ since\ [0-9:]{8},\ cannot\ keep\ the\ session\ awake:\ GNOME ]] ||
    fail "session manager gone: --status exited $statuscode: $statusline"
echo "session manager gone: said once; --status exit 1: $statusline"
start=$(now)
start_session
until_true 2 is_inhibited || fail "restart: the inhibitor was not taken again"
echo "restart: IsInhibited(8) true $(since "$start") s after the session manager was restarted"
wait_for run1.err 'came back' 2 || fail "restart: nothing said"
[ "$(tail -1 run1.err)" = "keepawake: GNOME's session manager came back to the session bus; keeping the session awake by GNOME's session manager." ] ||
    fail "restart: $(cat run1.err)"
status_of
[ "$statuscode" -eq 0 ] || fail "restart: --status exited $statuscode: $statusline"

start=$(now)
type_keys q
wait_keepawake 5
[ "$kastatus" -eq 0 ] || fail "quit: exit status $kastatus"
not_inhibited || fail "quit: IsInhibited(8) still true after the exit"
grep -q 'Thread closed and cleaned up.' run1.out || fail "quit: no shutdown lines"
[ "$(wc -l <run1.err)" -eq 2 ] || fail "standard error holds more than the two changes: $(cat run1.err)"
echo "quit: exit 0 after $(since "$start") s, IsInhibited(8) false"

# A session manager that stops answering holds up neither a pause nor the
# exit, and the inhibitor still goes with the program.
start_keepawake frozen
until_true 3 is_inhibited || fail "frozen: no inhibitor"
kill -STOP "$sessionpid"
start=$(now)
type_keys e
wait_for frozen.out 'd = Disable screen saver' 1 || fail "frozen: the pause waited on the session manager"
pause_seconds=$(since "$start")
type_keys d
kill -CONT "$sessionpid"
until_true 2 is_inhibited || fail "frozen: not taken again after the session manager went on"
kill -STOP "$sessionpid"
start=$(now)
type_keys q
wait_keepawake 3
exit_seconds=$(since "$start")
kill -CONT "$sessionpid"
[ "$kastatus" -eq 0 ] || fail "frozen: exit status $kastatus"
[ -s frozen.err ] && fail "frozen: standard error was not empty: $(cat frozen.err)"
until_true 1 not_inhibited || fail "frozen: the inhibitor outlived the program"
echo "frozen session manager: menu redrawn after $pause_seconds s, exit 0 after $exit_seconds s"

start_keepawake run2
until_true 3 is_inhibited || fail "kill: the second run took no inhibitor"
disown "$kapid"
kill -9 "$kapid"
start=$(now)
until_true 1 not_inhibited || fail "kill -9: the inhibitor outlived the program by more than 1 s"
echo "kill -9: IsInhibited(8) false after $(since "$start") s"
wait_keepawake 1

# With the inhibitor held and nothing to nudge, the program makes no
# periodic wake-ups, whatever idle-delay (its threads' voluntary switches
# over 3 s; a generous bound, not a timing test).
switches() {
    awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n }' /proc/"$kapid"/task/*/status
}
for delay in 600 3; do
    gsettings set org.gnome.desktop.session idle-delay "$delay"
    start_keepawake "delay$delay"
    wait_for "delay$delay.out" 'q = Quit the application' 5 || fail "idle-delay $delay: no menu"
    until_true 2 is_inhibited || fail "idle-delay $delay: no inhibitor"
    sleep 0.5
    before=$(switches)
    sleep 3
    woken=$(($(switches) - before))
    echo "idle-delay $delay s: $woken wake-ups in 3 s with the inhibitor held"
    type_keys q
    wait_keepawake 5
    [ "$woken" -le 3 ] || fail "idle-delay $delay s: the program woke $woken times in 3 s with only an inhibitor held"
done
# --only-when-idle where the inhibitor alone keeps the session awake: no input
# is sent to hold back, so it changes nothing, and --status says so.
start_keepawake idle -- --only-when-idle
wait_for idle.out 'q = Quit the application' 5 || fail "--only-when-idle: no menu: $(cat idle.err)"
until_true 3 is_inhibited || fail "--only-when-idle: no inhibitor"
status_of
[ "$statuscode" -eq 0 ] && [[ "$statusline" =~ ^$kapid\ awake\ since\ [0-9:]{8},\ by\ GNOME\'s\ session\ manager,\ which\ sends\ no\ input:\ --only-when-idle\ changes\ nothing$ ]] ||
    fail "--only-when-idle: --status exited $statuscode: $statusline"
type_keys q
wait_keepawake 5
[ "$kastatus" -eq 0 ] || fail "--only-when-idle: exit status $kastatus"
[ -s idle.err ] && fail "--only-when-idle: standard error: $(cat idle.err)"
echo "--only-when-idle: $statusline"
echo "GNOME checks passed in $(since "$bed_start_time") s"
