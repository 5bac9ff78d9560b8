#!/bin/sh
# The whole product on one machine: a private cupsd with the project's backend
# and PPD, ZEKUploader watching as ordinary users, the device simulator
# answering. Runs as root inside a private mount namespace whose /var/spool is
# a tmpfs (with-private-spool.sh).
#   product-end-to-end.sh ZEKPrinter zekprinter.ppd ZEKUploader zek-device-sim
set -u
backend=$1 ppd=$2 uploader=$3 simulator=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/checks.sh"
. "$here/../support/private-cupsd.sh"
. "$here/../support/private-users.sh"
. "$here/../support/product-session.sh"

require cupsd lp lpadmin lpstat gs pdfinfo pdftotext setpriv python3

work=$(mktemp -d /tmp/zek-product.XXXXXX)
chmod 0755 "$work"
zek_session_init "$work" "$uploader" "$simulator"
cleanup() {
    zek_session_stop
    zek_cupsd_stop
    rm -rf "$work"
}
trap cleanup EXIT

zek_private_users "$work" alice:4242 bob:4243 ||
    { echo "skipped: cannot set up private users" >&2; exit 77; }

docs="$work/docs"
zek_make_documents "$docs" "ZEK product page"

zek_cupsd_filters="$here/../../packaging/cups/filter"
zek_cupsd_start "$work/cups" "$backend" || exit 1
lpadmin -p ZEK -E -v zekprinter:/ -P "$ppd" 2>/dev/null || { zek_cupsd_log; exit 1; }

received="$work/received"
text_arrived() { for job in "$received"/*.pdf; do pdftotext "$job" -; done | grep -q "$1"; }

zek_start_simulator "$received" || { echo "the simulator did not start" >&2; exit 1; }
zek_start_uploader alice 4242 || { echo "alice's uploader did not start" >&2; exit 1; }

# 1. A PDF, a text file and a PNG: each reaches the device once, as a PDF.
for document in report.pdf notes.txt scan.png; do
    zek_as_user alice 4242 lp -d ZEK "$docs/$document" >/dev/null
done
check "three jobs received" zek_await received_count_is 3
check "alice's spool directory empty" zek_await no_jobs_waiting alice
sleep 2
check "each received once" received_count_is 3
for job in "$received"/*.pdf; do
    check "$job is a valid PDF" pdfinfo "$job" >/dev/null
done
check "the PDF's text arrived" text_arrived 'ZEK product page'
names=$(for name in "$received"/*.name; do cat "$name" && echo; done | sort | tr '\n' '|')
check "each document arrived under its own name: $names" \
    test "$names" = "job_1%20report.pdf|job_2%20notes.pdf|job_3%20scan.pdf|"

# 2. The device is down: the job waits; once it is back, a retry delivers it.
kill "$zek_sim_pid" && wait "$zek_sim_pid" 2>/dev/null
zek_as_user alice 4242 lp -d ZEK "$docs/report.pdf" >/dev/null
check "the failure is logged" zek_await grep -q 'ERROR(' "$work/alice.log"
check "the job waits in the spool tree" jobs_waiting alice
zek_start_simulator "$received" "$zek_port" || { echo "the simulator did not start again" >&2; exit 1; }
zek_as_user alice 4242 "$uploader" --retry
check "the retry delivered it" zek_await received_count_is 4
check "and took it out of the spool tree" zek_await no_jobs_waiting alice

# 3. Printed while the uploader is not running: delivered when it starts.
kill "$zek_pid_alice" && wait "$zek_pid_alice" 2>/dev/null
zek_as_user alice 4242 lp -d ZEK "$docs/notes.txt" >/dev/null
zek_await jobs_waiting alice
check "delivered only once the uploader runs" received_count_is 4
zek_start_uploader alice 4242
check "delivered at launch" zek_await received_count_is 5
check "alice's spool directory empty again" zek_await no_jobs_waiting alice

# 4. Two users' uploaders watch "anonymous users": each job is delivered once.
zek_start_uploader bob 4243
for n in 1 2 3 4 5 6; do
    lp -d ZEK -U nobody-here -t "anonymous $n" "$docs/report.pdf" >/dev/null
done
check "six anonymous jobs received" zek_await received_count_is 11
check "anonymous users empty" zek_await no_jobs_waiting "anonymous users"
sleep 2
check "each anonymous job received once" received_count_is 11
check "no upload failed" test -z "$(grep -h 'ERROR(' "$work/bob.log")"

all_checks_passed "the product end to end"
