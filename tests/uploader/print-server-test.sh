#!/bin/sh
# A print server for an office: a desktop (its own network namespace and
# cupsd) prints over IPP to the server's shared queue, the server's backend
# spools the job, and the headless uploader delivers it to the device
# simulator. Runs as root inside a private mount namespace whose /var/spool is
# a tmpfs (with-private-spool.sh).
#   print-server-test.sh ZEKPrinter zekprinter.ppd ZEKUploader zek-device-sim
set -u
backend=$1 ppd=$2 uploader=$3 simulator=$4
here=$(cd "$(dirname "$0")" && pwd)
zek_cupsd_script="$here/../support/private-cupsd.sh"
. "$zek_cupsd_script"
. "$here/../support/checks.sh"
. "$here/../support/print-lan.sh"
. "$here/../support/product-session.sh"

require cupsd lp lpadmin ip gs pdfinfo setpriv python3 curl

work=$(mktemp -d /tmp/zek-print-server.XXXXXX)
chmod 0755 "$work"
zek_session_init "$work" "$uploader" "$simulator"
cleanup() {
    zek_session_stop "$work"/lan/server/log/error_log
    zek_lan_down
    rm -rf "$work"
}
trap cleanup EXIT

zek_lan_up "$work/lan" 1 || { status=$?; echo "skipped: no network namespaces" >&2; exit $status; }
zek_lan_start_server "$backend" "$ppd" >"$work/server.log" 2>&1 ||
    { failures=1; echo "the server's cupsd did not start" >&2; exit 1; }
zek_lan_start_desktop 1 >"$work/desktop.log" 2>&1 ||
    { failures=1; echo "the desktop's queue could not be made" >&2; exit 1; }

received="$work/received"
zek_start_simulator "$received" || { echo "the simulator did not start" >&2; exit 1; }
zek_start_headless --retry-pause 1 || { echo "no headless uploader" >&2; exit 1; }

docs="$work/docs"
zek_make_documents "$docs" "ZEK office page"

# 1. A PDF, a text file and an image from the desktop, by a user the server does not know.
for document in report.pdf notes.txt scan.png; do
    zek_lan_print 1 "$docs/$document" >>"$work/desktop.log" 2>&1
done
check "three jobs received" zek_await received_count_is 3
check "the server's spool tree emptied" zek_await no_jobs_waiting
sleep 2
check "each received once" received_count_is 3
for job in "$received"/*.pdf; do
    check "$job is a valid PDF" pdfinfo "$job" >/dev/null
done
check "they came as anonymous users' jobs" \
    test "$(grep -c 'Printed PDF appeared: /var/spool/ZEKPrinter/anonymous users/' "$work/headless.log")" -eq 3

# 2. The device is down: the jobs wait; when it is back they are delivered by themselves.
kill "$zek_sim_pid" && wait "$zek_sim_pid" 2>/dev/null
zek_lan_print 1 "$docs/report.pdf" >>"$work/desktop.log" 2>&1
zek_lan_print 1 "$docs/notes.txt" >>"$work/desktop.log" 2>&1
check "the failures are logged" zek_await grep -q 'ERROR(-1004)' "$work/headless.log"
check "the jobs wait in the spool tree" jobs_waiting
zek_start_simulator "$received" "$zek_port" || { echo "the simulator did not start again" >&2; exit 1; }
check "delivered by themselves" zek_await received_count_is 5
check "the spool tree emptied again" zek_await no_jobs_waiting
sleep 2
check "each once" received_count_is 5

all_checks_passed "print server"
