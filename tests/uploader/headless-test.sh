#!/bin/sh
# ZEKUploader --headless as a print server runs it: as root, settings from the
# system-wide file, jobs of every user. Runs as root inside a private mount
# namespace whose /var/spool is a tmpfs (with-private-spool.sh).
#   headless-test.sh ZEKPrinter ZEKUploader zek-device-sim
set -u
backend=$1 uploader=$2 simulator=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/checks.sh"
. "$here/../support/product-session.sh"

work=$(mktemp -d /tmp/zek-headless.XXXXXX)
chmod 0755 "$work"
zek_session_init "$work" "$uploader" "$simulator"
trap 'zek_session_stop; rm -rf "$work"' EXIT

received="$work/received"
zek_start_simulator "$received" || { echo "the simulator did not start" >&2; exit 1; }
logged() { grep -q "$1" "$work/headless.log"; }
print() { # print JOB USER
    printf '%%PDF-1.4\n%% job %s\n%%%%EOF\n' "$1" | "$backend" "$1" "$2" "Job $1" 2>>"$work/backend.log"
}

zek_start_headless --retry-pause 1 || { echo "the headless uploader did not start" >&2; exit 1; }

# 1. Every user's job, from their 0700 directories.
print 1 daemon
print 2 no-such-user-here
check "two jobs delivered" zek_await received_count_is 2
check "the spool tree emptied" zek_await no_jobs_waiting
check "its lines go to the system log" logged 'ZEKUploader\[[0-9]*\]: Printed PDF appeared: /var/spool/ZEKPrinter/daemon/job_1 Job.pdf'
check "no device search" sh -c "! grep -q 'Domains' '$work/headless.log'"

# 2. The device fails: the job waits, and is delivered on its own once the device is back.
zek_await sh -c "curl -s -X POST --data 500 http://127.0.0.1:$zek_port/sim/mode >/dev/null"
print 3 daemon
check "the failure is logged" zek_await logged 'ERROR(-1011)'
curl -s -X POST --data ok "http://127.0.0.1:$zek_port/sim/mode" >/dev/null
check "delivered by itself after the device came back" zek_await received_count_is 3
check "and taken out of the spool tree" zek_await no_jobs_waiting

# 3. A desktop uploader beside it: each anonymous job is delivered once.
zek_start_uploader daemon 1 || { echo "the desktop uploader did not start" >&2; exit 1; }
for n in 4 5 6 7 8; do
    print $n nobody-here-either
done
check "five more delivered" zek_await received_count_is 8
check "anonymous users emptied" zek_await no_jobs_waiting
sleep 2
check "each exactly once" received_count_is 8

# 4. SIGTERM in the middle of an upload: it ends at once and the job stays.
curl -s -X POST --data silent "http://127.0.0.1:$zek_port/sim/mode" >/dev/null
kill "$zek_pid_daemon" && wait "$zek_pid_daemon" 2>/dev/null
zek_pid_daemon=""
print 9 daemon
check "the upload started" zek_await logged 'job_9 Job.pdf'
sleep 0.5
kill -TERM "$zek_headless_pid"
ended=1
for _ in $(seq 1 50); do
    kill -0 "$zek_headless_pid" 2>/dev/null || { ended=0; break; }
    sleep 0.1
done
check "SIGTERM ends it within 5 s" [ $ended -eq 0 ]
wait "$zek_headless_pid"
status=$?
zek_headless_pid=""
check "with status 0 (was $status)" [ "$status" -eq 0 ]
check "the job stays for the next start" test -f "/var/spool/ZEKPrinter/daemon/job_9 Job.pdf"
check "it says so" logged 'Stopped; jobs not yet delivered stay in the spool tree'

# 5. The device takes a job that cannot be deleted (a read-only spool): it is delivered once,
# never again, also after a restart; and the job left by step 4 goes now.
mkdir -p /var/spool/ZEKPrinter/stuck
printf '%%PDF-1.4\n%% stuck\n%%%%EOF\n' >/var/spool/ZEKPrinter/stuck/job_10.pdf
mount --bind /var/spool/ZEKPrinter/stuck /var/spool/ZEKPrinter/stuck &&
    mount -o remount,bind,ro /var/spool/ZEKPrinter/stuck || { echo "skipped: no read-only bind mount" >&2; exit 77; }
curl -s -X POST --data ok "http://127.0.0.1:$zek_port/sim/mode" >/dev/null
zek_start_headless --retry-pause 1 || { echo "the headless uploader did not start again" >&2; exit 1; }
check "the waiting job and the stuck one delivered" zek_await received_count_is 10
check "the stuck one is said to be delivered but kept" \
    zek_await logged "Delivered but can't delete file: /var/spool/ZEKPrinter/stuck/job_10.pdf"
kill -TERM "$zek_headless_pid" && wait "$zek_headless_pid"
zek_start_headless --retry-pause 1 || { echo "the headless uploader did not start again" >&2; exit 1; }
print 11 daemon
check "a new job goes after the restart" zek_await received_count_is 11
sleep 2
check "the stuck job was not sent again" received_count_is 11
check "and not logged again" [ "$(grep -c "can't delete file" "$work/headless.log")" -eq 1 ]
kill -TERM "$zek_headless_pid" && wait "$zek_headless_pid"
umount /var/spool/ZEKPrinter/stuck && rm -rf /var/spool/ZEKPrinter/stuck

# 6. 1,500 jobs waiting at launch, under the descriptor limit a service gets: a few uploads at
# a time, every job delivered once by the uploader's own work.
mkdir -p /var/spool/ZEKPrinter/bulk
python3 -c '
import sys
for n in range(1500):
    with open("/var/spool/ZEKPrinter/bulk/job_%d Bulk.pdf" % (100 + n), "w") as job:
        job.write("%%PDF-1.4\n%% bulk %d\n%%%%EOF\n" % n)'
ulimit -S -n 1024
before=$(wc -l <"$work/headless.log")
zek_start_headless --retry-pause 1 || { echo "the headless uploader did not start again" >&2; exit 1; }
# As long as jobs keep arriving: on a busy machine this takes minutes.
received_all_while_they_come() {
    last=-1
    while [ "$(jobs_received)" -ne "$1" ]; do
        count=$(jobs_received)
        [ "$count" -ne "$last" ] || return 1
        last=$count
        sleep 15
    done
}
check "1,500 waiting jobs delivered" received_all_while_they_come 1511
check "and taken out of the spool tree" zek_await no_jobs_waiting
check "each once" [ "$(cat "$received"/*.pdf | grep -c '% bulk')" -eq 1500 ]
check "none ran out of descriptors" sh -c \
    "! tail -n +$((before + 1)) '$work/headless.log' | grep -q -e 'Too many open files' -e 'ERROR('"
check "it still runs" kill -0 "$zek_headless_pid"

all_checks_passed "headless uploader"
