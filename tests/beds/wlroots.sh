#!/usr/bin/env bash
# sway or labwc headless in a bed, software rendering, swayidle (timeout
# 3 s) as the idle probe. Proves the installed program keeps the session
# from idling, lets it go idle once paused, and holds nothing after --stop
# and kill -9 (the session idles again each time). With no-x, also that it
# runs with the X libraries removed.
# Usage: wlroots.sh RELEASE NAME DEB sway|labwc [no-x]
set -uo pipefail
. "$(dirname "$0")/bed-lib.sh"
bed_open "$1" "$2" "$3"
compositor=$4

user_env+=(WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1)
case $compositor in
sway)
    user_file /home/tester/.config/sway/config <<<'output HEADLESS-1 resolution 1280x800'
    in_background compositor.log sway
    ;;
labwc) in_background compositor.log labwc ;;
*) problem "no compositor '$compositor'"; bed_report ;;
esac
compositor_pid=${pids[-1]}
wayland_up 15 || { tail -5 "$logs/compositor.log"; problem "$compositor did not start"; bed_report; }
version=$(as_user "$compositor" --version 2>&1 | grep -oE '[0-9]+\.[0-9]+(\.[0-9]+)?' | head -1)
figure "$compositor $version ready after $(since "$bed_started") s"

in_background swayidle.log sh -c "exec swayidle -w timeout 3 'echo IDLE >>/home/tester/probe' resume 'echo RESUME >>/home/tester/probe'"
sleep 0.5
# Running: no IDLE for 8 s with a 3 s timeout.
start_keepawake run
sleep 8
idles=$(count_in probe IDLE)
[ "$idles" = 0 ] || problem "running: swayidle saw the session idle ($idles IDLE in 8 s, timeout 3 s)"
status_says awake || problem "running: --status did not say awake: $ctl_out"
figure "running: $idles IDLE in 8 s (timeout 3 s), --status awake"

# Paused: idle; resumed: the next zero move is activity.
started=$(now)
keepawake_ctl --pause
if wait_line probe IDLE 1 8; then figure "paused: IDLE after $(since "$started") s"; else problem "paused: no IDLE within 8 s"; fi
started=$(now)
keepawake_ctl --resume
if wait_line probe RESUME 1 5; then figure "resumed: RESUME after $(since "$started") s"; else problem "resumed: no RESUME within 5 s"; fi

# --stop, then kill -9: nothing left holding the session; it idles again.
started=$(now)
keepawake_ctl --stop
keepawake_ended 5
[ "$kastatus" = 0 ] || problem "--stop: exit status $kastatus"
quiet_stderr run
if wait_line probe IDLE 2 8; then
    figure "--stop: exit $kastatus, IDLE after $(since "$started") s"
else
    problem "--stop: no IDLE within 8 s after the exit"
fi
start_keepawake killed
wait_line probe RESUME 2 5 || problem "kill -9: the second run brought no RESUME"
kill9_keepawake
started=$(now)
if wait_line probe IDLE 3 8; then
    figure "kill -9: IDLE after $(since "$started") s"
else
    problem "kill -9: no IDLE within 8 s"
fi
kill -0 "$compositor_pid" 2>/dev/null || problem "$compositor died during the runs"
bench_row

# A Wayland-only machine has no X libraries: the program must start there
# all the same (they are loaded only for an X session).
if [ "${5:-}" = no-x ]; then
    chroot "$root" dpkg --remove --force-depends libxcb-xtest0 libxcb-screensaver0 >"$logs/no-x.log" 2>&1 ||
        problem "no X libraries: could not remove them: $(tail -1 "$logs/no-x.log")"
    start_keepawake no-x
    sleep 2
    if kill -0 "$kapid" 2>/dev/null; then
        status_says awake || problem "no X libraries: --status did not say awake: $ctl_out"
        keepawake_ctl --stop
        keepawake_ended 5
        [ "$kastatus" = 0 ] || problem "no X libraries: --stop: exit status $kastatus"
        quiet_stderr no-x
        figure "no X libraries: ran, --status awake, --stop exit $kastatus"
    else
        keepawake_ended 1
        problem "no X libraries: exit $kastatus within 2 s: $(head -2 "$logs/no-x.err")"
    fi
fi
bed_report
