#!/bin/sh
# zek-jobs against a private spool tree: what root and an ordinary user see, JSON, the removal
# rules, and retries through a desktop uploader and through the headless service. Runs as root
# in a private mount namespace (with-private-spool.sh).
#   zek-jobs-test.sh zek-jobs ZEKPrinter ZEKUploader zek-device-sim
set -u
jobs=$1 backend=$2 uploader=$3 simulator=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/checks.sh"
. "$here/../support/private-users.sh"
. "$here/../support/product-session.sh"
require setpriv python3

work=$(mktemp -d /tmp/zek-jobs.XXXXXX)
chmod 0755 "$work"
zek_session_init "$work" "$uploader" "$simulator"
trap 'zek_session_stop; rm -rf "$work"' EXIT
zek_private_users "$work" alice:4242 bob:4243 || { echo "skipped: no private users" >&2; exit 77; }

zek_start_simulator "$work/received" || { echo "the simulator did not start" >&2; exit 1; }
curl -s -X POST --data 500 "http://127.0.0.1:$zek_port/sim/mode" >/dev/null
print() { # print ID USER TITLE
    printf '%%PDF-1.4\n%% %s\n%%%%EOF\n' "$1" | "$backend" "$1" "$2" "$3" 2>>"$work/backend.log"
}
print 11 alice Plan
print 12 alice Sign
print 13 bob Mine
print 14 nobody-known Anonymous
export STATE_DIRECTORY="$work/state" RUNTIME_DIRECTORY="$work/run"
mkdir -p "$RUNTIME_DIRECTORY" && chmod 0700 "$RUNTIME_DIRECTORY"
zek_start_headless --retry-pause 600 || { echo "the headless uploader did not start" >&2; exit 1; }
failed_four() { [ "$("$jobs" | grep -c '	failed	')" -eq 4 ]; }
check "as root: every user's job, each failed with the device's reason" zek_await failed_four
check "a line is id, directory, title, size, printed, state, error" \
    sh -c "'$jobs' | grep -q '^11	alice	Plan	[0-9]*	20[0-9-]*T[0-9:]*	failed	.*simulated failure'"
check "JSON: the same jobs with every key" python3 -c '
import json, subprocess, sys
jobs = json.loads(subprocess.run([sys.argv[1], "list", "--json"], capture_output=True).stdout)
keys = {"id", "user", "title", "path", "size", "printed", "state", "error"}
assert [job["id"] for job in jobs] == ["11", "12", "13", "14"], jobs
assert all(set(job) == keys for job in jobs), jobs
assert jobs[3]["user"] == "anonymous users" and jobs[2]["title"] == "Mine", jobs' "$jobs"

# alice's session: a runtime directory of her own, so nothing falls back to the machine's /tmp.
mkdir -p "$work/home-alice/runtime" && chown -R 4242:4242 "$work/home-alice" &&
    chmod 0700 "$work/home-alice/runtime"
as_alice() { setpriv --reuid 4242 --regid 4242 --clear-groups env HOME="$work/home-alice" \
    XDG_STATE_HOME="$work/home-alice/state" XDG_RUNTIME_DIR="$work/home-alice/runtime" "$@"; }
check "a user sees their own and the anonymous jobs" \
    test "$(as_alice "$jobs" | cut -f1 | tr '\n' ' ')" = "11 12 14 "

# Removal: never another user's job, never through a link, never an unknown id.
as_alice "$jobs" remove 13 >"$work/out" 2>&1
check "another user's job is not removed (status $?)" test -f "/var/spool/ZEKPrinter/bob/job_13 Mine.pdf"
printf 'keep me\n' >"$work/secret"
ln -s "$work/secret" "/var/spool/ZEKPrinter/alice/job_15 Link.pdf"
mkdir -p "$work/elsewhere" && printf '%%PDF-1.4\n' >"$work/elsewhere/job_16 Far.pdf"
ln -s "$work/elsewhere" "/var/spool/ZEKPrinter/anonymous users/d"
for id in 15 16 99; do
    "$jobs" remove $id >"$work/out" 2>&1
    status=$?
    check "job $id is no waiting job (status $status)" [ $status -eq 1 ]
    check "job $id: the message says so" grep -q "no job $id is waiting" "$work/out"
done
check "what the links lead to stays" test -f "$work/secret" -a -f "$work/elsewhere/job_16 Far.pdf"
as_alice "$jobs" remove 12 >"$work/out" 2>&1
check "a user removes their own job (status $?)" test ! -e "/var/spool/ZEKPrinter/alice/job_12 Sign.pdf"

# Retry: through the headless service as root, through the desktop uploader as a user.
"$jobs" retry >"$work/out" 2>&1
check "root's retry reaches the service (status $?)" grep -q "print server's uploader" "$work/out"
check "which sends the waiting jobs again" zek_await grep -q 'Retrying printing PDF' "$work/headless.log"
kill "$zek_headless_pid" && wait "$zek_headless_pid" 2>/dev/null
zek_headless_pid=""
as_alice "$jobs" retry >"$work/out" 2>&1
check "with no uploader running: status 1 (was $?)" grep -q "no uploader runs for you" "$work/out"
zek_start_uploader alice 4242 || { echo "alice's uploader did not start" >&2; exit 1; }
# A retry while the first uploads are still under way rightly retries nothing: wait for their
# failures (her job and the anonymous one).
zek_await sh -c "[ \$(grep -c 'ERROR(' '$work/alice.log') -ge 2 ]"
zek_as_user alice 4242 "$jobs" retry >"$work/out" 2>&1
check "a user's retry reaches their uploader (status $?)" grep -q "Asked the uploader" "$work/out"
check "which sends again" zek_await sh -c "grep -q 'Retrying printing PDF\|Nothing waiting' '$work/alice.log'"

all_checks_passed zek-jobs
