#!/usr/bin/env bash
# scripts/ensure-packages against a package manager that another process
# keeps busy: it waits for the locks and then goes on; held for longer than
# it waits, it fails with one line. Every lock, list and cache apt uses here
# is a private one (APT_CONFIG, DPKG_ADMINDIR): the machine's own are never
# touched, and with no package sources nothing can be installed.
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/ensure-packages
if [ "$(id -u)" -ne 0 ]; then
    echo "not run: not root, and the script would ask sudo to reach the machine's own package manager"
    exit 77
fi
for tool in apt-get python3 dpkg-query; do
    command -v "$tool" >/dev/null || { echo "not run: no $tool"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/ensure-packages-lock.XXXXXX")
holder=
cleanup() {
    [ -z "$holder" ] || kill "$holder" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work"/dpkg "$work"/lists/partial "$work"/cache/archives/partial "$work"/etc/sources.list.d \
         "$work"/etc/preferences.d "$work"/log
touch "$work/dpkg/status" "$work/etc/sources.list"
cat >"$work/apt.conf" <<CONF
Dir::State "$work";
Dir::State::lists "$work/lists";
Dir::State::status "$work/dpkg/status";
Dir::Cache "$work/cache";
Dir::Etc::sourcelist "$work/etc/sources.list";
Dir::Etc::sourceparts "$work/etc/sources.list.d";
Dir::Etc::preferencesparts "$work/etc/preferences.d";
Dir::Log "$work/log";
CONF
# An empty package database: every package the script wants is missing.
export APT_CONFIG=$work/apt.conf DPKG_ADMINDIR=$work/dpkg

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# hold SECONDS LOCK...: takes the locks the way apt does (fcntl) for that
# long, in the background; returns once they are held.
hold() {
    local seconds=$1
    shift
    rm -f "$work/held"
    python3 - "$work/held" "$seconds" "$@" <<'PY' &
import fcntl, sys, time
held = [open(path, "w") for path in sys.argv[3:]]
for lock in held:
    fcntl.lockf(lock, fcntl.LOCK_EX)
open(sys.argv[1], "w").close()
time.sleep(float(sys.argv[2]))
PY
    holder=$!
    for _ in $(seq 100); do [ -e "$work/held" ] && return 0; sleep 0.1; done
    fail "the locks could not be taken for the test"
    return 1
}
release() { kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null; holder=; }

# run WAIT: the script with that bound; sets status, errors, seconds.
run() {
    local start=$SECONDS
    errors=$(KEEPAWAKE_APT_LOCK_WAIT=$1 timeout 120 "$script" 2>&1 >/dev/null)
    status=$?
    seconds=$((SECONDS - start))
}
last_line() { tail -n 1 <<<"$errors"; }
lines() { grep -c '' <<<"$errors"; }

lists=$work/lists/lock
frontend=$work/dpkg/lock-frontend

echo "== both locks held for 4 s, a wait of 60 s: it waits, then goes on"
hold 4 "$lists" "$frontend" || exit 1
run 60
release
echo "status $status after $seconds s; its last line: $(last_line)"
[ "$seconds" -ge 3 ] && pass "waited for the locks ($seconds s)" || fail "did not wait: ended after $seconds s"
# Past the locks, the install fails only because these sources offer nothing.
grep -q 'Unable to locate package' <<<"$errors" && pass "went on to the install" ||
    fail "did not reach the install: $errors"
grep -q 'stayed busy' <<<"$errors" && fail "said busy though the locks came free in time"

# busy WHAT WAIT LOCK...: held longer than the script waits.
busy() {
    local what=$1 wait=$2
    shift 2
    echo "== $what held for good, a wait of $wait s: one line, then it fails"
    hold 60 "$@" || return
    run "$wait"
    release
    echo "status $status after $seconds s; its lines:"
    printf '%s\n' "$errors"
    [ "$status" -ne 0 ] && pass "failed (status $status)" || fail "status 0 with the lock held"
    [ "$seconds" -ge "$wait" ] && [ "$seconds" -le $((wait + 20)) ] && pass "gave up after $seconds s" ||
        fail "gave up after $seconds s, not after about $wait"
    # Installing: ..., then the one line.
    [ "$(lines)" -eq 2 ] && pass "two lines on standard error" || fail "$(lines) lines on standard error"
    case $(last_line) in
        "scripts/ensure-packages: the package manager stayed busy for $wait s: "*"$1"*) pass "the line names $1" ;;
        *) fail "the last line does not name $1: $(last_line)" ;;
    esac
}
# update needs the lists' lock, which apt-get itself never waits for.
busy "the lists' lock" 3 "$lists"
# install needs dpkg's frontend lock, which DPkg::Lock::Timeout waits for.
busy "dpkg's frontend lock" 3 "$frontend"

echo "== a wait that is not a number"
run soon
[ "$status" -eq 2 ] && [ "$(lines)" -eq 2 ] && grep -q 'KEEPAWAKE_APT_LOCK_WAIT is not a number' <<<"$errors" &&
    pass "status 2 and one line" || fail "status $status: $errors"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
