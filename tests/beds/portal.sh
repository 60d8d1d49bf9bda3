#!/usr/bin/env bash
# KWin headless (--virtual) with xdg-desktop-portal and its KDE backend, the
# one bed whose GlobalShortcuts portal binds a key without asking anyone
# (KWin 6.3: BindShortcuts answers 0 at once). The installed program runs
# with --hotkey ctrl+alt+k; key presses come through KWin's emulated input
# (libei, ei-press.py), so they travel KWin's own keyboard path to the
# shortcut. Proves: a press of other keys does nothing, a press pauses, a
# second resumes, each press counts once, and nothing is said on stderr.
# The portal packages are installed into the throwaway layer when the
# cached bed lacks them (a download from the archive).
# Usage: portal.sh RELEASE NAME DEB
set -uo pipefail
. "$(dirname "$0")/bed-lib.sh"
bed_open "$1" "$2" "$3"

portal_packages=(xdg-desktop-portal xdg-desktop-portal-kde qt6-wayland kwin-common libei1)
missing=()
for package in "${portal_packages[@]}"; do
    chroot "$root" dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    started=$(now)
    if ! timeout 180 chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
        sh -c "apt-get update -q && apt-get install -y -q --no-install-recommends ${missing[*]}" \
        >"$logs/portal-install.log" 2>&1 </dev/null; then
        tail -3 "$logs/portal-install.log"
        echo "not run: $bed_name: could not install ${missing[*]} from the archive"
        exit 3
    fi
    figure "installed ${missing[*]} in $(since "$started") s"
fi
portal_version=$(chroot "$root" dpkg-query -W -f '${Version}' xdg-desktop-portal-kde)

cp "$beds_dir/ei-press.py" "$root/home/tester/"
cp "$root/usr/bin/kwin_wayland" "$root/home/tester/kwin_wayland"
chown 1000:1000 "$root/home/tester/ei-press.py" "$root/home/tester/kwin_wayland"
user_env+=(XDG_CURRENT_DESKTOP=KDE QT_QUICK_BACKEND=software LIBGL_ALWAYS_SOFTWARE=1)
# Whatever the bus starts (the portal and its backend) gets the session's
# variables, as a desktop session gives them; before KWin, which may start
# the portal itself.
activation="'WAYLAND_DISPLAY': 'wayland-1'"
for variable in "${user_env[@]}"; do activation+=", '${variable%%=*}': '${variable#*=}'"; done
gcall --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.UpdateActivationEnvironment "{$activation}" >/dev/null ||
    { problem "the session bus took no activation environment"; bed_report; }

in_background kwin.log /home/tester/kwin_wayland --virtual --width 1280 --height 800 --socket wayland-1
kwin_pid=${pids[-1]}
wayland_up 20 || { tail -5 "$logs/kwin.log"; problem "KWin did not start"; bed_report; }

eis_there() {
    as_user gdbus introspect --session --dest org.kde.KWin --object-path /org/kde/KWin/EIS/RemoteDesktop 2>/dev/null |
        grep -q connectToEIS
}
if ! eis_there; then
    gcall --dest org.kde.KWin --object-path /Plugins --method org.kde.KWin.Plugins.LoadPlugin eis >/dev/null
    until_true 5 eis_there || { problem "KWin offers no emulated input (its eis plugin)"; bed_report; }
fi
shortcuts_there() {
    as_user gdbus introspect --session --dest org.freedesktop.portal.Desktop \
        --object-path /org/freedesktop/portal/desktop 2>/dev/null | grep -q 'interface org.freedesktop.portal.GlobalShortcuts '
}
until_true 40 shortcuts_there || { problem "the portal offers no GlobalShortcuts"; bed_report; }
figure "KWin $(as_user /home/tester/kwin_wayland --version 2>&1 | grep -oE '[0-9]+\.[0-9]+\.[0-9]+' | head -1)" \
    "with xdg-desktop-portal-kde $portal_version ready after $(since "$bed_started") s"

# bound: KDE's shortcut daemon holds a component with the program's
# "toggle" shortcut, which the portal puts there once the binding is made.
bound() {
    local component
    for component in $(gcall --dest org.kde.kglobalaccel --object-path /kglobalaccel \
        --method org.kde.KGlobalAccel.allComponents | grep -oE "/component/[A-Za-z0-9_]+"); do
        gcall --dest org.kde.kglobalaccel --object-path "$component" \
            --method org.kde.kglobalaccel.Component.shortcutNames | grep -q "'toggle'" && return 0
    done
    return 1
}
# press KEY...: evdev key codes, down in order and up in reverse.
press() {
    local out
    out=$(as_user timeout 15 python3 /home/tester/ei-press.py "$@" 2>&1) ||
        problem "the key press could not be made: $(tail -1 <<<"$out")"
}
ctrl=29 alt=56 j=36 k=37

start_keepawake run --hotkey ctrl+alt+k
started=$(now)
until_true 10 bound || problem "no shortcut bound within 10 s: $(head -2 "$logs/run.err")"
bound_after=$(since "$started")
status_says awake || problem "bound: --status did not say awake: $ctl_out"
figure "bound after $bound_after s"

# Other keys: nothing.
press $ctrl $alt $j
sleep 1
status_says awake || problem "ctrl+alt+j: --status no longer says awake: $ctl_out"

# One press pauses, the next resumes; a press toggling twice (down and up)
# would show as no change.
steps=()
for want in paused awake paused awake; do
    started=$(now)
    press $ctrl $alt $k
    if until_true 3 status_says "$want"; then
        steps+=("$want after $(since "$started") s")
    else
        problem "press $(( ${#steps[@]} + 1 )): --status did not say $want within 3 s: $ctl_out"
        break
    fi
done
joined=$(printf '%s, ' "${steps[@]}")
figure "ctrl+alt+j: still awake, ctrl+alt+k: ${joined%, }"

started=$(now)
keepawake_ctl --stop
keepawake_ended 5
[ "$kastatus" = 0 ] || problem "--stop: exit status $kastatus"
quiet_stderr run
figure "--stop: exit $kastatus after $(since "$started") s"
kill -0 "$kwin_pid" 2>/dev/null || problem "KWin died during the runs"

bed_report
