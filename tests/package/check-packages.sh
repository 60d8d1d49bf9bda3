#!/usr/bin/env bash
# Checks the release packages that scripts/package left in dist/ the way each
# system checks its own: lintian and dpkg on the .deb, the program and the
# manual page taken out of it; zip, Wine, objdump, exiftool and wrestool on
# the Windows archives; the winget and Scoop manifests parsed and held
# against the zips (tests/package/check-manifests.py). Every check runs and
# says what it saw; the exit status is non-zero if any failed.
# Usage: tests/package/check-packages.sh [DIST]
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
dist=${1:-dist}
export LC_ALL=C.UTF-8

# The version as the source sets it, independent of what the build made of it.
version=$(sed -n 's/^project(keepawake VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "FAIL: no version in CMakeLists.txt"; exit 1; }

failures=0
not_run=()  # checks this machine cannot do, said so and never counted as passed
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
expect() { # expect WHAT EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then pass "$1: $3"; else fail "$1: expected '$2', got '$3'"; fi
}

work=$(mktemp -d "${TMPDIR:-/tmp}/keepawake-package-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

deb=keepawake_${version}_$(dpkg --print-architecture).deb
zips=("keepawake-$version-windows-x86_64.zip" "keepawake-$version-windows-x86.zip")

echo "== checksums"
expect "SHA256SUMS lists" "$(printf '%s\n' "$deb" "${zips[@]}" | sort | tr '\n' ' ')" \
    "$(awk '{print $2}' "$dist/SHA256SUMS" | sort | tr '\n' ' ')"
if (cd "$dist" && sha256sum --strict -c SHA256SUMS); then pass "SHA256SUMS matches"; else fail "SHA256SUMS does not match"; fi

echo "== the Debian package"
lintian_output=$(lintian --pedantic --display-info --fail-on error,warning "$dist/$deb" 2>&1)
lintian_status=$?
printf 'lintian: %s\n' "${lintian_output:-(nothing)}"
if [ "$lintian_status" -ne 0 ] || grep -qE '^[EW]:' <<<"$lintian_output"; then
    fail "lintian: status $lintian_status, errors or warnings above"
else
    pass "lintian: no error, no warning"
fi

expect "Package" keepawake "$(dpkg-deb -f "$dist/$deb" Package)"
expect "Version" "$version" "$(dpkg-deb -f "$dist/$deb" Version)"
expect "Section" utils "$(dpkg-deb -f "$dist/$deb" Section)"
expect "Priority" optional "$(dpkg-deb -f "$dist/$deb" Priority)"
depends=$(dpkg-deb -f "$dist/$deb" Depends)
echo "Depends: $depends"

root=$work/root
dpkg-deb -x "$dist/$deb" "$root"
files=(usr/bin/keepawake usr/share/man/man1/keepawake.1.gz
       usr/share/doc/keepawake/copyright usr/share/doc/keepawake/changelog.gz)
# The module that keeps Wayland sessions awake, once the source builds it.
if grep -qs keepawake-desktop platform/CMakeLists.txt; then
    files+=(usr/lib/keepawake/keepawake-desktop.so)
fi
# The module that keeps X11 sessions awake, the only file that links xcb.
files+=(usr/lib/keepawake/keepawake-x11.so)
for file in "${files[@]}"; do
    if [ -f "$root/$file" ]; then pass "has /$file"; else fail "missing /$file"; fi
done
# The X11 libraries the module loads stay dependencies, computed from it.
for package in libxcb1 libxcb-xtest0 libxcb-screensaver0 libxcb-sync1; do
    if tr ',|' '\n' <<<"$depends" | awk '{print $1}' | grep -qxF "$package"; then
        pass "Depends has $package"
    else
        fail "Depends lacks $package"
    fi
done
if objdump -p "$root/usr/bin/keepawake" | awk '$1 == "NEEDED" {print $2}' | grep -q '^libxcb'; then
    fail "/usr/bin/keepawake itself needs an xcb library: it would not start without X"
else
    pass "/usr/bin/keepawake needs no xcb library"
fi

# Every library any program or module in the package loads must come from a
# package it depends on: the list was computed, not written by hand.
while IFS= read -r -d '' file; do
    [ "$(od -An -tx1 -N4 "$file")" = " 7f 45 4c 46" ] || continue
    for soname in $(objdump -p "$file" | awk '$1 == "NEEDED" {print $2}'); do
        owner=$(dpkg -S "*/$soname" 2>/dev/null |
            awk -v s="/$soname" '{p = $NF; if (substr(p, length(p) - length(s) + 1) == s) {sub(/[:,].*/, "", $1); print $1; exit}}')
        if [ -z "$owner" ]; then
            fail "${file#"$root"}: no installed package ships $soname"
        elif tr ',|' '\n' <<<"$depends" | awk '{print $1}' | grep -qxF "$owner"; then
            pass "${file#"$root"} needs $soname from $owner, a dependency"
        else
            fail "${file#"$root"} needs $soname from $owner, which Depends lacks"
        fi
    done
done < <(find "$root" -type f -print0)

expect "keepawake --version from the .deb" "keepawake $version" \
    "$(timeout 10 "$root/usr/bin/keepawake" --version </dev/null 2>/dev/null)"

page=$root/usr/share/man/man1/keepawake.1.gz
man_warnings=$(MANWIDTH=80 man --warnings=w -E UTF-8 -l "$page" 2>&1 >/dev/null)
expect "man -l warnings" "" "$man_warnings"
rendered=$(MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | col -b)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS MENU "NUDGE INTERVAL" "EXIT STATUS" EXAMPLES; do
    grep -qx "$section" <<<"$rendered" || fail "manual page has no section $section"
done
grep -q "keepawake $version" <<<"$rendered" || fail "manual page does not name version $version"
# Every option the program offers is in the manual page.
help=$(timeout 10 "$root/usr/bin/keepawake" --help </dev/null 2>/dev/null)
options=$(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u)
[ -n "$options" ] || fail "keepawake --help names no long option"
for option in $options; do
    grep -qF -- "$option" <<<"$rendered" || fail "manual page does not describe $option"
done
pass "manual page: sections, version and options checked ($(tr '\n' ' ' <<<"$options"))"

echo "== the Windows archives"
prefix=$PWD/build/package-wine-prefix
# Wine makes the prefix itself, but not the folders above it.
mkdir -p "$(dirname "$prefix")"
for zip in "${zips[@]}"; do
    name=${zip%.zip}
    case $name in *-x86_64) objdump=x86_64-w64-mingw32-objdump ;; *) objdump=i686-w64-mingw32-objdump ;; esac
    unzip -l "$dist/$zip"
    expect "$zip members" "$name/CHANGELOG.txt $name/LICENSE.txt $name/README.txt $name/THIRD-PARTY-NOTICES.txt $name/keepawake.exe" \
        "$(unzip -Z1 "$dist/$zip" | tr '\n' ' ' | sed 's/ $//')"
    unzip -q "$dist/$zip" -d "$work"
    for text in README.txt: CHANGELOG.txt: LICENSE.txt:LICENSE THIRD-PARTY-NOTICES.txt:; do
        file=$work/$name/${text%%:*}
        lines=$(tr -cd '\n' <"$file" | wc -c)
        crlf=$(grep -c $'\r$' "$file")
        if [ "$lines" -gt 0 ] && [ "$lines" = "$crlf" ]; then pass "$name/${text%%:*}: $lines lines, all CRLF"
        else fail "$name/${text%%:*}: $crlf of $lines lines end in CRLF"; fi
        source=${text##*:}
        if [ -n "$source" ]; then
            tr -d '\r' <"$file" | cmp -s - "$source" || fail "$name/${text%%:*} is not $source"
        fi
    done
    grep -q 'winpthreads' "$work/$name/THIRD-PARTY-NOTICES.txt" \
        || fail "$name/THIRD-PARTY-NOTICES.txt does not carry the winpthreads notice"

    # The README is the one for Windows users: none of the developers' build
    # commands for Debian, and each thing a Windows user needs first.
    readme=$(tr -d '\r' <"$work/$name/README.txt")
    debian=$(grep -nE 'apt(-get)? install|sudo |dpkg|\.deb\b|scripts/(run|test|package)|cmake --preset|ctest|Debian' <<<"$readme")
    expect "$name/README.txt: Debian build commands" "" "$debian"
    tr -d '\r' <"$work/$name/README.txt" | cmp -s - README.md && fail "$name/README.txt is the developers' README.md"
    for topic in "keepawake $version" "never changed" "Double-click" "    e   " "    d   " "    q   " \
                 "keepawake -- " "--until " "--no-menu" "shell:startup" "Windows protected your PC" \
                 "Get-FileHash" "SHA256SUMS" "winget install" "scoop install" "policy" \
                 "--while-running " "--during " "--days " "--hotkey " "--diagnose" "schtasks /Create"; do
        grep -qF -- "$topic" <<<"$readme" || fail "$name/README.txt does not say '$topic'"
    done
    pass "$name/README.txt: the topics for Windows users checked"
    # The changelog is the Debian one: its first version is this one, and
    # every line of every entry is there.
    changelog=$(tr -d '\r' <"$work/$name/CHANGELOG.txt")
    expect "$name/CHANGELOG.txt first line" "keepawake $version, " "$(head -n 1 <<<"$changelog" | grep -oE '^keepawake [0-9.]+, ')"
    missing=$(grep -E '^  ' packaging/debian/changelog | grep -vxF -f <(printf '%s\n' "$changelog") | head -n 3)
    expect "$name/CHANGELOG.txt: lines of packaging/debian/changelog missing" "" "$missing"

    exe=$work/$name/keepawake.exe
    sh tests/wine/check-imports.sh "$objdump" "$exe" || fail "$name: imports a DLL Windows does not ship"
    expect "$name ProductName" keepawake "$(exiftool -s3 -ProductName "$exe")"
    expect "$name FileVersion" "$version" "$(exiftool -s3 -FileVersion "$exe")"
    expect "$name ProductVersion" "$version" "$(exiftool -s3 -ProductVersion "$exe")"
    expect "$name FileVersionNumber" "$version.0" "$(exiftool -s3 -FileVersionNumber "$exe")"
    description=$(exiftool -s3 -FileDescription "$exe")
    if [ -n "$description" ]; then pass "$name FileDescription: $description"; else fail "$name has no FileDescription"; fi
    expect "$name PE header time stamp" "0000:00:00 00:00:00" "$(exiftool -s3 -TimeStamp "$exe")"

    manifest=$(wrestool -x --raw --type=24 --name=1 "$exe" | tr -d '\r')
    # Windows refuses to start a program whose manifest is not well-formed XML.
    xmllint --noout - <<<"$manifest" || fail "$name manifest is not well-formed XML"
    grep -q 'requestedExecutionLevel level="asInvoker"' <<<"$manifest" || fail "$name manifest: not asInvoker"
    for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
              1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
        grep -q "supportedOS Id=\"{$os}\"" <<<"$manifest" || fail "$name manifest: no supportedOS $os"
    done
    grep -qE '<activeCodePage[^>]*>UTF-8</activeCodePage>' <<<"$manifest" || fail "$name manifest: active code page not UTF-8"
    pass "$name manifest read back: $(grep -c supportedOS <<<"$manifest") supportedOS entries"

    case $name in
        *-x86) if ! runs32=$(scripts/wine --32-bit); then
                   echo "not run: $name keepawake.exe under Wine, ${runs32#no: }"
                   not_run+=("$name under Wine (${runs32#no: })")
                   continue
               fi ;;
    esac
    said=$(timeout 120 env WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d \
        scripts/wine "$exe" --version </dev/null 2>"$work/wine.err" | tr -d '\r')
    expect "$name keepawake.exe --version under Wine" "keepawake $version" "$said"
    [ "$said" = "keepawake $version" ] || sed 's/^/  wine said: /' "$work/wine.err"
done

echo "== the winget and Scoop manifests"
# What winget's and Scoop's schemas require of them, and what this release
# needs: the zips' hashes, the program's path inside each zip, one identifier
# and version.
manifest_check=$(/usr/bin/python3 tests/package/check-manifests.py "$dist" "$version" 2>&1)
manifest_status=$?
printf '%s\n' "$manifest_check"
manifest_failures=$(grep -c '^FAIL' <<<"$manifest_check")
failures=$((failures + manifest_failures))
if [ "$manifest_status" -ne 0 ] && [ "$manifest_failures" -eq 0 ]; then
    fail "tests/package/check-manifests.py ended with status $manifest_status"
fi
grep -q '^ok' <<<"$manifest_check" || fail "tests/package/check-manifests.py passed no check"

echo
for skipped in "${not_run[@]}"; do echo "packages: not run: $skipped"; done
if [ "$failures" -eq 0 ]; then echo "packages: all checks that ran passed"; else echo "packages: $failures checks failed"; fi
[ "$failures" -eq 0 ]
