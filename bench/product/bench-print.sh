#!/bin/sh
# bench-print.sh ZEKPrinter PPD ZEKUploader SIMULATOR [JOBS [BURST]]
# The whole road of a job, through a private cupsd, the backend, ZEKUploader
# (as an ordinary user) and the device simulator: from `lp` to the device's
# receipt, one job at a time (median and worst of JOBS, default 20), then
# BURST jobs (default 100) printed at once: how long until all are delivered,
# and whether each was delivered exactly once with none left in the spool
# tree. Runs as root inside with-private-spool.sh (build/bin/bench_print
# does that).
set -u
backend=$1 ppd=$2 uploader=$3 simulator=$4 jobs=${5:-20} burst=${6:-100}
here=$(cd "$(dirname "$0")" && pwd)
support="$here/../../tests/support"
. "$support/private-cupsd.sh"
. "$support/private-users.sh"
. "$support/product-session.sh"

work=$(mktemp -d /tmp/zek-bench-print.XXXXXX)
chmod 0755 "$work"
zek_sim_pid="" zek_pid_alice=""
trap 'kill $zek_pid_alice $zek_sim_pid 2>/dev/null; zek_cupsd_stop; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

zek_private_users "$work" alice:4242 || { echo "cannot make a private user" >&2; exit 1; }
gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$work/page.pdf" \
    -c '/Helvetica findfont 24 scalefont setfont 72 720 moveto (benchmark) show showpage'
chmod 0644 "$work/page.pdf"
zek_cupsd_filters="$here/../../packaging/cups/filter"
zek_cupsd_start "$work/cups" "$backend" || exit 1
lpadmin -p ZEK -E -v zekprinter:/ -P "$ppd" 2>/dev/null || exit 1
zek_session_init "$work" "$uploader" "$simulator"
zek_start_simulator "$work/received" || exit 1
zek_start_uploader alice 4242 || exit 1

received() { find "$work/received" -name '*.pdf' | wc -l; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
wait_for() { # wait_for COUNT: until the device has COUNT jobs (at most 120 s)
    deadline=$(($(now_ms) + 120000))
    while [ "$(received)" -lt "$1" ]; do
        [ "$(now_ms)" -lt $deadline ] || return 1
        sleep 0.01
    done
}

echo "One job at a time, $jobs jobs: from lp to the device's receipt"
: >"$work/latencies"
for n in $(seq 1 "$jobs"); do
    start=$(now_ms)
    zek_as_user alice 4242 lp -d ZEK -t "single $n" "$work/page.pdf" >/dev/null
    wait_for "$n" || { echo "job $n never arrived" >&2; exit 1; }
    echo $(($(now_ms) - start)) >>"$work/latencies"
done
sort -n "$work/latencies" >"$work/sorted"
echo "  median $(sed -n "$(((jobs + 1) / 2))p" "$work/sorted") ms, best $(head -n 1 "$work/sorted") ms, worst $(tail -n 1 "$work/sorted") ms"

echo "$burst jobs printed at once"
start=$(now_ms)
for n in $(seq 1 "$burst"); do
    zek_as_user alice 4242 lp -d ZEK -t "burst $n" "$work/page.pdf" >/dev/null
done
submitted=$(($(now_ms) - start))
total=$((jobs + burst))
wait_for $total || echo "  only $(received) of $total arrived within 120 s"
elapsed=$(($(now_ms) - start))
sleep 2 # time for a second delivery, were there to be one
names=$(for name in "$work"/received/*.name; do cat "$name" && echo; done)
left=$(find /var/spool/ZEKPrinter -name '*.pdf' | wc -l)
echo "  all submitted after $submitted ms; all delivered after $elapsed ms"
echo "  delivered $(received) of $total, $(echo "$names" | sort | uniq -d | wc -l) more than once, $left left in the spool tree"
