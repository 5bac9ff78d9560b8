#!/bin/sh
# The whole product on one machine: a private cupsd with the project's backend
# and PPD, ZEKUploader watching as ordinary users, the device simulator
# answering. Runs as root inside a private mount namespace whose /var/spool is
# a tmpfs (with-private-spool.sh).
#   product-end-to-end.sh ZEKPrinter zekprinter.ppd ZEKUploader zek-device-sim
set -u
backend=$1 ppd=$2 uploader=$3 simulator=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/private-cupsd.sh"
. "$here/../support/private-users.sh"

for tool in cupsd lp lpadmin lpstat gs pdfinfo pdftotext setpriv python3; do
    command -v $tool >/dev/null || { echo "skipped: $tool is missing" >&2; exit 77; }
done

work=$(mktemp -d /tmp/zek-product.XXXXXX)
chmod 0755 "$work"
failures=0
sim_pid="" alice_pid="" bob_pid=""
cleanup() {
    for pid in $alice_pid $bob_pid $sim_pid; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    if [ "$failures" -ne 0 ]; then
        for log in "$work"/*.log; do
            echo "--- $log" >&2
            tail -n 40 "$log" >&2
        done
        find /var/spool/ZEKPrinter -ls >&2
        cp -r "$work" /tmp/e2e-failed 2>/dev/null
    fi
    zek_cupsd_stop
    rm -rf "$work"
}
trap cleanup EXIT

check() { # check DESCRIPTION COMMAND...
    description=$1
    shift
    if ! "$@"; then
        failures=$((failures + 1))
        echo "FAILED: $description" >&2
    fi
}
# Waits up to 60 s for COMMAND to succeed.
await() {
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ $tries -lt 240 ] || return 1
        sleep 0.25
    done
}

zek_private_users "$work" alice:4242 bob:4243 ||
    { echo "skipped: cannot set up private users" >&2; exit 77; }

docs="$work/docs"
mkdir -p "$docs"
page='/Helvetica findfont 24 scalefont setfont 72 720 moveto (ZEK product page) show showpage'
gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$docs/report.pdf" -c "$page"
gs -q -dNOPAUSE -dBATCH -sDEVICE=png16m -r30 -o "$docs/scan.png" -c "$page"
printf 'Plain text\nfrom a text editor\n' >"$docs/notes.txt"
chmod 0755 "$docs" && chmod 0644 "$docs"/*

zek_cupsd_start "$work/cups" "$backend" || exit 1
lpadmin -p ZEK -E -v zekprinter:/ -P "$ppd" 2>/dev/null || { zek_cupsd_log; exit 1; }

received="$work/received"
start_simulator() { # on PORT when given, else on a free one
    python3 "$simulator" --port "${1:-0}" --dir "$received" >"$work/sim.out" 2>>"$work/sim.log" &
    sim_pid=$!
    await grep -q '^PORT ' "$work/sim.out" || return 1
    port=$(sed -n 's/^PORT //p' "$work/sim.out")
}
jobs_received() { find "$received" -name '*.pdf' 2>/dev/null | wc -l; }
received_count_is() { [ "$(jobs_received)" -eq "$1" ]; }
jobs_wait_in() { [ -n "$(find "/var/spool/ZEKPrinter/$1" -name '*.pdf' 2>/dev/null)" ]; }
text_arrived() { for job in "$received"/*.pdf; do pdftotext "$job" -; done | grep -q "$1"; }

# start_uploader USER UID: ZEKUploader in USER's own session, pointed at the simulator.
start_uploader() {
    home="$work/home-$1"
    mkdir -p "$home/config/ZEK" "$home/runtime"
    printf '[General]\nip=127.0.0.1\nport=%s\n' "$port" >"$home/config/ZEK/ZEKUploader.conf"
    chown -R "$2:$2" "$home" && chmod 0700 "$home/runtime"
    setpriv --reuid "$2" --regid "$2" --clear-groups env HOME="$home" \
        XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen \
        DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus" "$uploader" >>"$work/$1.log" 2>&1 &
    eval "${1}_pid=$!"
    await grep -q 'Version: ' "$work/$1.log"
}
as_user() { # as_user USER UID COMMAND...
    home="$work/home-$1"
    uid=$2
    shift 2
    setpriv --reuid "$uid" --regid "$uid" --clear-groups env HOME="$home" \
        XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen \
        "$@"
}
no_jobs_in() { [ -z "$(find "/var/spool/ZEKPrinter/$1" -name '*.pdf' 2>/dev/null)" ]; }

start_simulator || { echo "the simulator did not start" >&2; exit 1; }
start_uploader alice 4242 || { echo "alice's uploader did not start" >&2; exit 1; }

# 1. A PDF, a text file and a PNG: each reaches the device once, as a PDF.
for document in report.pdf notes.txt scan.png; do
    as_user alice 4242 lp -d ZEK "$docs/$document" >/dev/null
done
check "three jobs received" await received_count_is 3
check "alice's spool directory empty" await no_jobs_in alice
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
kill "$sim_pid" && wait "$sim_pid" 2>/dev/null
as_user alice 4242 lp -d ZEK "$docs/report.pdf" >/dev/null
check "the failure is logged" await grep -q 'ERROR(' "$work/alice.log"
check "the job waits in the spool tree" jobs_wait_in alice
start_simulator "$port" || { echo "the simulator did not start again" >&2; exit 1; }
as_user alice 4242 "$uploader" --retry
check "the retry delivered it" await received_count_is 4
check "and took it out of the spool tree" await no_jobs_in alice

# 3. Printed while the uploader is not running: delivered when it starts.
kill "$alice_pid" && wait "$alice_pid" 2>/dev/null
as_user alice 4242 lp -d ZEK "$docs/notes.txt" >/dev/null
await jobs_wait_in alice
check "delivered only once the uploader runs" received_count_is 4
start_uploader alice 4242
check "delivered at launch" await received_count_is 5
check "alice's spool directory empty again" await no_jobs_in alice

# 4. Two users' uploaders watch "anonymous users": each job is delivered once.
start_uploader bob 4243
for n in 1 2 3 4 5 6; do
    lp -d ZEK -U nobody-here -t "anonymous $n" "$docs/report.pdf" >/dev/null
done
check "six anonymous jobs received" await received_count_is 11
check "anonymous users empty" await no_jobs_in "anonymous users"
sleep 2
check "each anonymous job received once" received_count_is 11
check "no upload failed" test -z "$(grep -h 'ERROR(' "$work/bob.log")"

[ $failures -eq 0 ] && echo "the product end to end: all checks passed"
[ $failures -eq 0 ]
