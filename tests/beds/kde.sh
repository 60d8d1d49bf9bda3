#!/usr/bin/env bash
# KWin headless (--virtual) in a bed with kscreenlocker's auto-lock after
# 1 minute. What KDE holds is read from kscreenlocker itself: it passes each
# inhibitor on to PowerDevil's policy agent and releases it there when the
# holder lets go or leaves the bus, and a stand-in agent writes both down.
# "long" also proves the auto-lock held off at 72 s and coming once paused
# (about 2.5 minutes); "short" proves taking and letting go only.
# Usage: kde.sh RELEASE NAME DEB long|short
set -uo pipefail
. "$(dirname "$0")/bed-lib.sh"
bed_open "$1" "$2" "$3"
mode=$4

locked() {
    gcall --dest org.freedesktop.ScreenSaver --object-path /org/freedesktop/ScreenSaver \
        --method org.freedesktop.ScreenSaver.GetActive
}
is_locked() { [ "$(locked)" = "(true,)" ]; }
# What kscreenlocker holds now: inhibitors added less those released.
held() {
    awk '$1 == "add" { n++ } $1 == "release" { n-- } END { print n + 0 }' "$logs/agent.log"
}
holds() { [ "$(held)" = "$1" ]; }

user_file /home/tester/.config/kscreenlockerrc <<'EOF'
[Daemon]
Autolock=true
Timeout=1
LockGrace=0
EOF
cp "$beds_dir/policy-agent.py" "$root/home/tester/"
# A plain copy: the installed binary carries a file capability that a
# container may refuse to grant, and then exec fails.
cp "$root/usr/bin/kwin_wayland" "$root/home/tester/kwin_wayland"
chown 1000:1000 "$root/home/tester/policy-agent.py" "$root/home/tester/kwin_wayland"
in_background agent.log python3 /home/tester/policy-agent.py
wait_for "$logs/agent.log" '^ready' 10 || { problem "the stand-in policy agent did not start: $(cat "$logs/agent.log")"; bed_report; }

user_env+=(XDG_CURRENT_DESKTOP=KDE QT_QUICK_BACKEND=software LIBGL_ALWAYS_SOFTWARE=1)
in_background kwin.log /home/tester/kwin_wayland --virtual --width 1280 --height 800 --socket wayland-1
kwin_pid=${pids[-1]}
if ! wayland_up 20 || ! until_true 10 eval '[ "$(locked)" = "(false,)" ]'; then
    tail -5 "$logs/kwin.log"
    problem "KWin or its screen locker did not start"
    bed_report
fi
figure "KWin $(as_user /home/tester/kwin_wayland --version 2>&1 | grep -oE '[0-9]+\.[0-9]+\.[0-9]+' | head -1) ready after $(since "$bed_started") s"

# The report finds the screen saver KWin serves and kscreenlocker's timeout.
diagnose_check alone "kept awake by: the freedesktop screen saver.*there now" "kscreenlockerrc"
until_true 3 holds 0 || problem "--diagnose left an inhibitor held ($(held))"

start_keepawake run
started=$(now)
until_true 3 holds 1 || problem "running: kscreenlocker holds $(held) inhibitors, not 1, after 3 s"
held_after=$(since "$started")
status_says awake || problem "running: --status did not say awake: $ctl_out"
if [ "$mode" = long ]; then
    # Besides the inhibitor, KWin's idle time is reset by an activity call:
    # at most one per 10 s (half the lock timeout would be 30 s).
    watch_calls
    watched=$(now)
    for mark in 24 48 72; do
        while before "$started" "$mark"; do sleep 0.5; done
        is_locked && { problem "running: locked at $mark s (auto-lock after 1 minute)"; break; }
    done
    span=$(since "$watched")
    activity=$(calls_between "$watched" "$(now)" SimulateUserActivity)
    awk -v n="$activity" -v s="$span" 'BEGIN { exit !(n <= s / 10 + 1) }' ||
        problem "running: $activity SimulateUserActivity calls in $span s, more than one per 10 s"
    figure "running: held 1 after $held_after s, unlocked at 72 s with a 1-minute auto-lock," \
        "$activity SimulateUserActivity calls in $span s, --status awake"
else
    is_locked && problem "running: locked"
    figure "running: held 1 after $held_after s, unlocked, --status awake"
fi

started=$(now)
keepawake_ctl --pause
until_true 3 holds 0 || problem "paused: kscreenlocker still holds $(held)"
released_after=$(since "$started")
if [ "$mode" = long ]; then
    if until_true 100 is_locked; then
        figure "paused: released after $released_after s, locked after $(since "$started") s"
    else
        problem "paused: not locked within 100 s"
    fi
else
    figure "paused: released after $released_after s"
fi

keepawake_ctl --resume
until_true 3 holds 1 || problem "resumed: kscreenlocker holds $(held), not 1"
started=$(now)
keepawake_ctl --stop
keepawake_ended 5
[ "$kastatus" = 0 ] || problem "--stop: exit status $kastatus"
until_true 2 holds 0 || problem "--stop: kscreenlocker still holds $(held)"
quiet_stderr run
figure "--stop: exit $kastatus after $(since "$started") s, held $(held)"

start_keepawake killed
until_true 3 holds 1 || problem "kill -9: the second run took nothing"
kill9_keepawake
started=$(now)
until_true 2 holds 0 || problem "kill -9: kscreenlocker still holds $(held) after 2 s"
figure "kill -9: held $(held) after $(since "$started") s"
kill -0 "$kwin_pid" 2>/dev/null || problem "KWin died during the runs"

bench_row
bed_report
