#!/usr/bin/env bash
# sway with hypridle (which serves org.freedesktop.ScreenSaver) and a plain
# swayidle beside it, both with a 3 s timeout: both must see no idle while
# the installed program runs, both idle once paused. Then the desktop
# changes under the running program: hypridle restarts with
# ignore_dbus_inhibit = true, which takes the ScreenSaver service away; the
# session must stay awake by zero moves, the program must say so in exactly
# one line on standard error, and --status must still say awake.
# Usage: hypridle.sh RELEASE NAME DEB
set -uo pipefail
. "$(dirname "$0")/bed-lib.sh"
bed_open "$1" "$2" "$3"

user_env+=(WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1)
user_file /home/tester/.config/sway/config <<<'output HEADLESS-1 resolution 1280x800'
in_background compositor.log sway
compositor_pid=${pids[-1]}
wayland_up 15 || { tail -5 "$logs/compositor.log"; problem "sway did not start"; bed_report; }

# hypridle_config true|false PROBE [TIMEOUT]: its listener writes to PROBE.
hypridle_config() {
    user_file /home/tester/.config/hypr/hypridle.conf <<EOF
general {
    ignore_dbus_inhibit = $1
    ignore_systemd_inhibit = true
}
listener {
    timeout = ${3:-3}
    on-timeout = /home/tester/mark IDLE $2
    on-resume = /home/tester/mark RESUME $2
}
EOF
}
# The probes' lines carry the time, to say when idle came.
user_file /home/tester/mark <<'EOF'
#!/bin/sh
echo "$1 $(date +%s.%N)" >>"/home/tester/$2"
EOF
chmod 755 "$root/home/tester/mark"
hypridle_config false hypridle
in_background hypridle.log hypridle
hypridle_pid=${pids[-1]}
until_true 10 has_owner org.freedesktop.ScreenSaver || problem "hypridle did not take org.freedesktop.ScreenSaver"
in_background swayidle.log swayidle -w timeout 3 '/home/tester/mark IDLE swayidle' resume '/home/tester/mark RESUME swayidle'
swayidle_pid=${pids[-1]}
sleep 0.5
figure "sway $(as_user sway --version 2>&1 | grep -oE '[0-9]+\.[0-9]+(\.[0-9]+)?' | head -1)," \
    "hypridle $(as_user hypridle --version 2>&1 | grep -oE '[0-9]+\.[0-9]+\.[0-9]+' | head -1) ready after $(since "$bed_started") s"

# The report names both ways and both idle managers, and what hypridle
# makes of inhibitors.
diagnose_check before "kept awake by: the wlroots virtual pointer, there now" \
    "kept awake by: the freedesktop screen saver \\(inhibitor\\), there now" \
    "hypridle ignore_dbus_inhibit: false" "^  swayidle \\(runs its command\\): 3 s" \
    "^  hypridle \\(runs its listener's command\\): 3 s \\(its shortest listener"

# Running: neither idle manager sees the session idle.
start_keepawake run
sleep 8
hyp=$(count_in hypridle IDLE)
sway=$(count_in swayidle IDLE)
[ "$hyp" = 0 ] || problem "running: hypridle saw the session idle ($hyp IDLE in 8 s)"
[ "$sway" = 0 ] || problem "running: swayidle beside hypridle saw the session idle ($sway IDLE in 8 s)"
status_says awake || problem "running: --status did not say awake: $ctl_out"
figure "running: hypridle $hyp IDLE, swayidle $sway IDLE in 8 s (timeouts 3 s)"

started=$(now)
keepawake_ctl --pause
if until_true 8 probe_idle hypridle && until_true 8 probe_idle swayidle; then
    figure "paused: both idle after $(since "$started") s"
else
    problem "paused: not both idle within 8 s"
fi
keepawake_ctl --resume
until_true 5 probe_active swayidle || problem "resumed: swayidle saw no activity within 5 s"
sleep 1

# first_idle FILE: seconds from the change to the first idle in FILE after it.
first_idle() {
    awk -v a="$changed" '$1 == "IDLE" && $2 >= a { printf "%.1f s", $2 - a; found = 1; exit }
        END { if (!found) print "none" }' "$root/home/tester/$1" 2>/dev/null || echo none
}

# The desktop changes: hypridle comes back ignoring D-Bus inhibitors, and
# with it the ScreenSaver service goes.
errs=$(wc -l <"$logs/run.err")
hypridle_config true hypridle-after
kill "$hypridle_pid"
until_true 5 eval '! has_owner org.freedesktop.ScreenSaver' || problem "hypridle did not let go of its bus name"
in_background hypridle-after.log hypridle
hypridle_pid=${pids[-1]}
changed=$(now)
sway_was_idle=$(probe_idle swayidle && echo "idle already")
sway_before=$(count_in swayidle IDLE)
sleep 8
after_lines=$(($(wc -l <"$logs/run.err") - errs))
hyp=$(count_in hypridle-after IDLE)
sway=$(($(count_in swayidle IDLE) - sway_before))
keepawake_ctl --status
status_line=$(grep -E "^$kapid " <<<"$ctl_out")
[ "$hyp" = 0 ] || problem "changed: hypridle (ignore_dbus_inhibit) saw the session idle"
[ "$sway" = 0 ] || problem "changed: swayidle saw the session idle"
[ "$after_lines" = 1 ] || problem "changed: $after_lines lines on standard error, not one"
grep -qE "^$kapid awake since" <<<"$status_line" || problem "changed: --status did not say awake: $status_line"
echo "$bed_name, the desktop changed: --status said: ${status_line:-nothing for this copy}"
echo "$bed_name, the desktop changed: stderr said: $(tail -n "$after_lines" "$logs/run.err" | tr '\n' '|')"
echo "$bed_name, the desktop changed: idle came: hypridle $(first_idle hypridle-after), swayidle ${sway_was_idle:-$(first_idle swayidle)}"
figure "changed: hypridle $hyp IDLE, swayidle $sway IDLE in 8 s, $after_lines stderr line(s), --status ${status_line#"$kapid "}"

# After the change: hypridle ignores inhibitors, which zero moves still
# hold off; the running copy is listed.
diagnose_check changed "hypridle ignore_dbus_inhibit: true" "kept awake by: the wlroots virtual pointer, there now" \
    "^  keepawake $kapid: awake since"

started=$(now)
keepawake_ctl --stop
keepawake_ended 5
[ "$kastatus" = 0 ] || problem "--stop: exit status $kastatus"
if until_true 8 probe_idle hypridle-after && until_true 8 probe_idle swayidle; then
    figure "--stop: exit $kastatus, both idle after $(since "$started") s"
else
    problem "--stop: the session did not idle within 8 s after the exit"
fi
start_keepawake killed
until_true 5 probe_active swayidle || problem "kill -9: the second run brought no activity"
kill9_keepawake
started=$(now)
if until_true 8 probe_idle swayidle; then
    figure "kill -9: swayidle idle after $(since "$started") s"
else
    problem "kill -9: no idle within 8 s"
fi
kill -0 "$compositor_pid" 2>/dev/null || problem "sway died during the runs"

# Alone, hypridle's shortest listener paces the nudges: 120 s, every 1500 ms.
kill "$swayidle_pid"
hypridle_config false hypridle-paced 120
kill "$hypridle_pid"
until_true 5 eval '! has_owner org.freedesktop.ScreenSaver' || problem "hypridle did not let go of its bus name"
in_background hypridle-paced.log hypridle
hypridle_pid=${pids[-1]}
until_true 10 has_owner org.freedesktop.ScreenSaver || problem "hypridle did not take org.freedesktop.ScreenSaver again"
start_keepawake paced
until_true 5 status_says awake || problem "paced: --status did not say awake: $ctl_out"
grep -qE "^$kapid awake since [0-9:]{8}, by .* every 1500 ms, for hypridle's 2 min$" <<<"$ctl_out" ||
    problem "paced: not every 1500 ms for hypridle's 120 s: $ctl_out"
figure "paced: --status ${ctl_out#"$kapid "}"
keepawake_ctl --stop
keepawake_ended 5
bench_row
bed_report
