# shellcheck shell=bash
# What each bed carries; sourced by scripts/desktop-beds and the checks.
# A bed whose stamp differs from bed_stamp's is made again.

# python3-gi runs the stand-ins the checks serve on the session bus. The
# program's own libraries come in too, so installing its .deb needs no
# download.
bed_common=(dbus dbus-bin libglib2.0-bin procps wayland-utils libgl1-mesa-dri python3-dbus python3-gi
            gnome-shell mutter gnome-session-bin gnome-settings-daemon dconf-gsettings-backend
            kwin-wayland sway swayidle wlrctl libxcb-xtest0 libxcb-screensaver0 libwayland-client0)

# bed_packages RELEASE: its package list on one line; false for an unknown one.
bed_packages() {
    case $1 in
    trixie) echo "${bed_common[*]} labwc" ;;
    sid) echo "${bed_common[*]} hypridle" ;;
    *) return 1 ;;
    esac
}

# Bump when the way a bed is made changes.
bed_recipe=1

bed_stamp() {
    printf 'release %s\narchive %s\nrecipe %s\npackages %s\n' "$1" "$2" "$bed_recipe" "$(bed_packages "$1")"
}
