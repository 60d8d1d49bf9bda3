#!/usr/bin/env bash
# keepawake in a headless KDE Plasma compositor: KWin with its lock screen,
# auto-lock after 1 minute in a private kscreenlockerrc. The session must
# still be unlocked at 80 s, and swayidle (through KWin's idle protocol)
# must see it active all along, with KWin's activity call made at most once
# per 10 s. Slow: about 90 s.
# Usage: kde-check.sh KEEPAWAKE MODULE [BENCH_SECONDS]
# With BENCH_SECONDS, only measures the running program (see bench_run).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" != --inside ]; then
    bed=$(mktemp -d /tmp/keepawake-kde.XXXXXX)
    trap 'rm -rf "$bed"' EXIT
    mkdir -m 700 "$bed/run" "$bed/config"
    cp "$1" "$bed/keepawake"
    cp "$2" "$bed/keepawake-desktop.so"
    cp "$here/kde-check.sh" "$here/bed-lib.sh" "$bed/"
    # The installed binary carries a file capability a container may not
    # grant, so exec fails; a plain copy has none.
    cp /usr/bin/kwin_wayland "$bed/kwin_wayland"
    printf '[Daemon]\nAutolock=true\nTimeout=1\n' >"$bed/config/kscreenlockerrc"
    env -i HOME="$bed" PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$bed/run" XDG_CONFIG_HOME="$bed/config" \
        XDG_CONFIG_DIRS="$bed/config" dbus-run-session -- bash "$bed/kde-check.sh" --inside "$bed" "${3:-}"
    exit $?
fi

bed=$2
. "$bed/bed-lib.sh"
enter_bed

locked() {
    gdbus call --session --timeout 2 --dest org.freedesktop.ScreenSaver --object-path /org/freedesktop/ScreenSaver \
        --method org.freedesktop.ScreenSaver.GetActive 2>/dev/null
}

LIBGL_ALWAYS_SOFTWARE=1 QT_QUICK_BACKEND=software ./kwin_wayland --virtual --width 1280 --height 720 --xwayland \
    --no-global-shortcuts --socket wayland-kw >kwin.log 2>&1 &
kwinpid=$!
pids+=("$kwinpid")
export WAYLAND_DISPLAY=wayland-kw
start=$(now)
until wayland-info >/dev/null 2>&1 && [ "$(locked)" = "(false,)" ]; do
    before "$start" 10 || { tail -20 kwin.log; fail "KWin did not start"; }
    sleep 0.1
done
# KWin hands Xwayland its listening sockets; their path names the display.
xdisplay=$(ss -xlp | awk -v p="pid=$kwinpid," 'index($0, p) && $5 ~ /X11-unix\/X/ { print $5 }' |
    sed -nE 's/.*X11-unix\/X([0-9]+)$/:\1/p' | head -1)
export DISPLAY=${xdisplay:-}
echo "KWin ready after $(since "$bed_start_time") s on $WAYLAND_DISPLAY, Xwayland ${xdisplay:-not found}"
if [ -n "${3:-}" ]; then
    bench_run "$3"
    exit 0
fi

# --diagnose: the freedesktop screen saver is the way, kscreenlocker's
# Timeout the timeout; taking the inhibitor shows nothing KWin tells.
diagnose_has "  kept awake by: the freedesktop screen saver (inhibitor), there now (session bus, served by kwin_wayland)" \
    "  KDE screen locker (Autolock on, Timeout): 60 s ($bed/config/kscreenlockerrc); held off by the inhibitor"
grep -qE '^  taking the inhibitor: cannot be read here \(taken and dropped again \(cookie [0-9]+\)' diagnose.out ||
    fail "--diagnose: the inhibitor was not taken and dropped"
grep -qE '^  KDE inhibitors: ' diagnose.out || fail "--diagnose: nothing on KDE's inhibitors"
tail -1 diagnose.out | grep -q '^keepawake can keep this screen awake' || fail "--diagnose: the verdict is not last"
echo "diagnose: exit 0 after $diagnose_seconds s"

dbus-monitor --session "type='method_call',member='SimulateUserActivity'" >calls.log 2>&1 &
pids+=("$!")
start_keepawake run
wait_for run.out 'q = Quit the application' 5 || fail "no menu: $(cat run.err)"
# The activity call comes every 10 s: a probe must wait longer than that.
swayidle -w timeout 15 'echo IDLE' resume 'echo RESUMED' >probe.log 2>&1 &
pids+=("$!")
if [ -n "$xdisplay" ]; then
    sleep 1
    connected_to_x "$kapid" && fail "keepawake is connected to Xwayland"
    echo "running: no connection to Xwayland"
fi
start=$(now)
for mark in 20 40 60 80; do
    while before "$start" "$mark"; do sleep 0.5; done
    state=$(locked)
    echo "running: at $mark s locked=$state, probe: $(grep -c IDLE probe.log) IDLE"
    [ "$state" = "(false,)" ] || fail "the session locked (auto-lock after 1 min)"
    grep -q IDLE probe.log && fail "the idle probe saw the session idle (timeout 15 s)"
done
status=$(./keepawake --status 2>&1) || fail "--status exited $?: $status"
[[ "$status" =~ ^$kapid\ awake\ since\ [0-9:]{8},\ by\ the\ freedesktop\ screen\ saver\ and\ its\ activity\ call\ every\ 10\ s$ ]] ||
    fail "--status said: $status"
echo "running: --status: $status"
# One call at start to see that KWin takes it, then one per 10 s.
calls=$(grep -c 'member=SimulateUserActivity' calls.log)
echo "running: $calls activity calls in about 82 s"
[ "$calls" -ge 6 ] && [ "$calls" -le 10 ] || fail "$calls activity calls in about 82 s, not one per 10 s"
type_keys q
wait_keepawake 5
[ "$kastatus" -eq 0 ] || fail "quit: exit status $kastatus"
[ -s run.err ] && fail "standard error was not empty: $(cat run.err)"
echo "quit: exit 0"
echo "KDE checks passed in $(since "$bed_start_time") s"
