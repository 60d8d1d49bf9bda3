#!/usr/bin/env bash
# Runs every bed check, one after the other, against the project's .deb:
# today's desktops of Debian 13 and unstable, in the beds scripts/desktop-beds
# made. Prints each check's figures line, then a summary; with --bench
# SECONDS, also the benchmark's desktop table (a row per bed: wake-ups and
# bus calls a second, running and paused). Fails when a check fails.
# Usage: tests/beds/run-beds.sh [--bench SECONDS] DEB
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/bed-packages.sh"

usage() {
    echo "run-beds: $1" >&2
    echo "Usage: tests/beds/run-beds.sh [--bench SECONDS] DEB" >&2
    exit 2
}
bench=
if [ "${1:-}" = --bench ]; then
    [[ ${2:-} =~ ^[1-9][0-9]?$ ]] || usage "--bench takes a whole number of seconds from 1 to 99"
    bench=$2
    shift 2
fi
[ $# -eq 1 ] || usage "one .deb, please"
deb=$(realpath -e "$1" 2>/dev/null) || usage "no such package: $1"
[[ $deb == *.deb ]] || usage "not a .deb: $1"
[ "$(id -u)" -eq 0 ] || usage "must run as root (chroot and mounts need it)"

cache=${KEEPAWAKE_BEDS:-/var/cache/keepawake/beds}
# Shared: scripts/desktop-beds does not replace a bed under a running check.
exec 9>>"$cache/.lock" || usage "no bed cache in $cache (make it with scripts/desktop-beds)"
flock -s -w 600 9 || { echo "run-beds: $cache is being remade; waited 10 minutes" >&2; exit 1; }

# version RELEASE PACKAGE DIGITS: the packaged version, epoch and Debian
# revision dropped, to DIGITS parts ("48", "6.3", "0.1.8").
version() {
    dpkg-query --admindir="$cache/$1/var/lib/dpkg" -W -f '${Version}' "$2" 2>/dev/null |
        sed -E 's/^[0-9]+://; s/[-+~].*//' | cut -d. -f"1-$3"
}

table=$(mktemp)
trap 'rm -f "$table"' EXIT
check_pid=
stop() {
    if [ -n "$check_pid" ]; then
        kill -TERM "$check_pid" 2>/dev/null
        wait "$check_pid"
    fi
    echo "run-beds: stopped"
    exit 143
}
trap stop INT TERM HUP
export BED_BENCH_SECONDS=$bench BED_BENCH_TABLE=$table
passed=0 failed=0 not_run=0
started=$(date +%s)
# run LIMIT SCRIPT RELEASE NAME [ARG]: one check, bounded.
run() {
    local limit=$1 script=$2 release=$3 name=$4 status
    shift 4
    echo "---- $name ($release)"
    # In the background, so a stop reaches the check at once (timeout passes
    # it on) and the runner waits for the check to undo its mounts.
    timeout -k 10 "$limit" bash "$here/$script" "$release" "$name" "$deb" "$@" &
    check_pid=$!
    wait "$check_pid"
    status=$?
    check_pid=
    case $status in
    0) passed=$((passed + 1)) ;;
    3) not_run=$((not_run + 1)) ;;
    124 | 137)
        echo "FAIL: $name: did not end within $limit s"
        failed=$((failed + 1))
        ;;
    *) failed=$((failed + 1)) ;;
    esac
}

extra=0
[ -n "$bench" ] && extra=$((bench + bench / 2 + 10))
run $((90 + extra)) gnome.sh trixie "GNOME $(version trixie gnome-shell 1)"
run $((90 + extra)) gnome.sh sid "GNOME $(version sid gnome-shell 1)"
run $((240 + extra)) kde.sh trixie "KWin $(version trixie kwin-wayland 2)" long
run $((90 + extra)) kde.sh sid "KWin $(version sid kwin-wayland 2)" short
# The global shortcut through the portal: only KWin 6.3 binds without asking.
run 300 portal.sh trixie "KWin $(version trixie kwin-wayland 2) global shortcut"
echo "not run: the global shortcut on GNOME $(version trixie gnome-shell 1) and $(version sid gnome-shell 1) and" \
    "KWin $(version sid kwin-wayland 2): their portals leave a new binding to the user (a dialog; headless, the" \
    "request stays unanswered) and refuse a program that gives no application id"
not_run=$((not_run + 1))
run $((90 + extra)) wlroots.sh trixie "sway $(version trixie sway 2)" sway
run $((90 + extra)) wlroots.sh trixie "labwc $(version trixie labwc 2)" labwc no-x
run $((120 + extra)) hypridle.sh sid "sway $(version sid sway 2) + hypridle $(version sid hypridle 3)"

# These two draw with a GPU only.
render_nodes=$(ls /dev/dri/renderD* 2>/dev/null)
if [ -z "$render_nodes" ]; then
    echo "not run: Hyprland 0.57 and wayfire 0.9 need a GPU render node (/dev/dri), which this machine lacks"
else
    echo "not run: Hyprland 0.57 and wayfire 0.9: this machine has a render node ($render_nodes), but the beds do not set them up"
fi
not_run=$((not_run + 1))

if [ -n "$bench" ]; then
    echo "Desktops of Debian 13 and unstable, $bench s running and $(((bench + 1) / 2)) s paused (bus calls: method calls the program's session-bus connections sent):"
    echo
    echo "| bed | running: wake-ups/s | running: bus calls/s | paused: wake-ups/s | paused: bus calls/s |"
    echo "|---|---|---|---|---|"
    cat "$table"
    echo
fi
# Every check undoes its own mounts; this looks once more over all of them.
left=$(findmnt -rn -o TARGET | grep -E "keepawake-bed\.|^$cache/" || true)
if [ -n "$left" ]; then
    echo "FAIL: still mounted after the checks:" $left
    failed=$((failed + 1))
fi
echo "beds: $passed passed, $failed failed, $not_run not run, in $(($(date +%s) - started)) s"
[ "$failed" -eq 0 ]
