#!/usr/bin/env bash
# GNOME Shell headless in a bed, with its session manager and screen-saver
# proxy, idle-delay 5 s. Proves with the session manager's Presence and
# IsInhibited(8) that the installed program keeps the session available,
# lets it go idle once paused, and holds nothing after --stop and kill -9.
# Usage: gnome.sh RELEASE NAME DEB
set -uo pipefail
. "$(dirname "$0")/bed-lib.sh"
bed_open "$1" "$2" "$3"

manager() { gcall --dest org.gnome.SessionManager --object-path "$@"; }
inhibited() { manager /org/gnome/SessionManager --method org.gnome.SessionManager.IsInhibited 8; }
presence() {
    manager /org/gnome/SessionManager/Presence --method org.freedesktop.DBus.Properties.Get \
        org.gnome.SessionManager.Presence status | sed -nE 's/.*uint32 ([0-9]+).*/\1/p'
}
is_inhibited() { [ "$(inhibited)" = "(true,)" ]; }
not_inhibited() { [ "$(inhibited)" = "(false,)" ]; }
is_idle() { [ "$(presence)" = 3 ]; }

# A session needs one required component; one that sleeps will do.
user_file /home/tester/.config/gnome-session/sessions/bed.session <<'EOF'
[GNOME Session]
Name=bed
RequiredComponents=bed-sleep;
EOF
user_file /home/tester/.local/share/applications/bed-sleep.desktop <<'EOF'
[Desktop Entry]
Type=Application
Name=bed-sleep
Exec=sleep infinity
EOF
mkdir -p "$root/home/tester/autostart"
chown 1000:1000 "$root/home/tester/autostart"

user_env+=(XDG_CURRENT_DESKTOP=GNOME LIBGL_ALWAYS_SOFTWARE=1)
as_user gsettings set org.gnome.desktop.session idle-delay 5
[ "$(as_user gsettings get org.gnome.desktop.session idle-delay)" = "uint32 5" ] || problem "gsettings did not take idle-delay 5"
in_background shell.log gnome-shell --headless --wayland --no-x11 --virtual-monitor 1280x800 --wayland-display wayland-1
wayland_up 20 || { tail -5 "$logs/shell.log"; problem "gnome-shell did not start"; bed_report; }
if [ -x "$root/usr/libexec/gnome-session-service" ]; then
    # 51: without systemd it starts no settings daemons.
    in_background session.log /usr/libexec/gnome-session-service --session=bed
else
    in_background session.log /usr/libexec/gnome-session-binary --session=bed --autostart=/home/tester/autostart \
        --disable-acceleration-check
fi
until_true 15 not_inhibited || { tail -5 "$logs/session.log"; problem "the session manager did not answer"; bed_report; }
in_background proxy.log /usr/libexec/gsd-screensaver-proxy
until_true 10 has_owner org.freedesktop.ScreenSaver || problem "gsd-screensaver-proxy did not start"
figure "$(as_user gnome-shell --version 2>/dev/null | head -1) ready after $(since "$bed_started") s"

# The installed program's --version and --diagnose, as the user in the
# running session: the release it says, and a report that finds GNOME's
# session manager and leaves nothing held.
version_out=$(as_user timeout 10 /usr/bin/keepawake --version 2>&1)
[ "$version_out" = "keepawake ${installed%%-*}" ] || problem "--version said '$version_out', not 'keepawake ${installed%%-*}'"
figure "$version_out"
diagnose_check alone "kept awake by: GNOME's session manager \\(idle inhibitor\\), there now" \
    "taking the inhibitor: counted"
until_true 3 not_inhibited || problem "--diagnose left the session inhibited"

# Running: held past idle-delay, and --status says so.
start_keepawake run
started=$(now)
until_true 3 is_inhibited || problem "running: IsInhibited(8) not true within 3 s"
held_after=$(since "$started")
while before "$started" 8; do sleep 0.2; done
state=$(presence)
[ "$state" = 0 ] || problem "running: Presence status $state at 8 s, not 0 (available), with idle-delay 5 s"
is_inhibited || problem "running: the inhibitor was lost"
status_says awake || problem "running: --status did not say awake: $ctl_out"
figure "running: IsInhibited true after $held_after s, status $state at $(since "$started") s, --status awake"

# Paused: the session goes idle on its own.
started=$(now)
keepawake_ctl --pause
until_true 3 not_inhibited || problem "paused: IsInhibited(8) still true"
if until_true 12 is_idle; then
    figure "paused: IsInhibited false, idle (status 3) after $(since "$started") s"
else
    problem "paused: Presence not idle within 12 s (status $(presence))"
fi

# --stop: the program ends in order and nothing is held.
keepawake_ctl --resume
until_true 3 is_inhibited || problem "resumed: IsInhibited(8) not true again"
started=$(now)
keepawake_ctl --stop
keepawake_ended 5
[ "$kastatus" = 0 ] || problem "--stop: exit status $kastatus"
not_inhibited || problem "--stop: IsInhibited(8) still true after the exit"
quiet_stderr run
figure "--stop: exit $kastatus after $(since "$started") s, IsInhibited $(inhibited | tr -d '(),')"

# kill -9: the session manager drops what the vanished connection held.
start_keepawake killed
until_true 3 is_inhibited || problem "kill -9: the second run took no inhibitor"
kill9_keepawake
started=$(now)
until_true 2 not_inhibited || problem "kill -9: the inhibitor outlived the program by 2 s"
figure "kill -9: IsInhibited false after $(since "$started") s"

bench_row
bed_report
