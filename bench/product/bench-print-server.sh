#!/bin/sh
# bench-print-server.sh ZEKPrinter PPD ZEKUploader SIMULATOR [DESKTOPS [JOBS]]
# An office printing at once: DESKTOPS desktops (default 4, each a network
# namespace with its own cupsd) print JOBS jobs each (default 50) to the print
# server's shared queue at the same moment; the headless uploader delivers
# them to the device simulator. Prints how long the last job took from its
# `lp` to the device's receipt, whether every job arrived exactly once, and
# the headless uploader's CPU time and peak memory. Runs as root inside
# with-private-spool.sh (build/bin/bench_print_server does that).
set -u
backend=$1 ppd=$2 uploader=$3 simulator=$4 desktops=${5:-4} jobs=${6:-50}
here=$(cd "$(dirname "$0")" && pwd)
support="$here/../../tests/support"
zek_cupsd_script="$support/private-cupsd.sh"
. "$zek_cupsd_script"
. "$support/print-lan.sh"
. "$support/product-session.sh"

work=$(mktemp -d /tmp/zek-bench-server.XXXXXX)
chmod 0755 "$work"
zek_sim_pid="" zek_headless_pid=""
trap 'kill $zek_headless_pid $zek_sim_pid 2>/dev/null; zek_lan_down; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

zek_lan_up "$work/lan" "$desktops" || { echo "no network namespaces" >&2; exit 1; }
zek_lan_start_server "$backend" "$ppd" >"$work/lan.log" 2>&1 || exit 1
for i in $(seq 1 "$desktops"); do
    zek_lan_start_desktop "$i" >>"$work/lan.log" 2>&1 || { cat "$work/lan.log"; exit 1; }
done
zek_session_init "$work" "$uploader" "$simulator"
zek_start_simulator "$work/received" || exit 1
zek_start_headless || exit 1
gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$work/page.pdf" \
    -c '/Helvetica findfont 24 scalefont setfont 72 720 moveto (office) show showpage'
chmod 0644 "$work/page.pdf"

now_ms() { echo $(($(date +%s%N) / 1000000)); }
received() { find "$work/received" -name '*.pdf' | wc -l; }
total=$((desktops * jobs))

echo "$desktops desktops print $jobs jobs each at the same moment ($total jobs)"
start=$(now_ms)
printing=""
for i in $(seq 1 "$desktops"); do
    (for n in $(seq 1 "$jobs"); do zek_lan_print "$i" "$work/page.pdf" "d$i j$n" >/dev/null; done
     now_ms >"$work/submitted-$i") &
    printing="$printing $!"
done
wait $printing
last_submitted=$(cat "$work"/submitted-* | sort -n | tail -n 1)
deadline=$(($(now_ms) + 600000))
while [ "$(received)" -lt $total ] && [ "$(now_ms)" -lt $deadline ]; do
    sleep 0.05
done
done_at=$(now_ms)
sleep 3 # time for a second delivery, were there to be one
names=$(for name in "$work"/received/*.name; do cat "$name" && echo; done)
left=$(find /var/spool/ZEKPrinter -name '*.pdf' | wc -l)
ticks=$(getconf CLK_TCK)
cpu=$(awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$zek_headless_pid/stat")
peak=$(sed -n 's/^VmHWM:\s*//p' "/proc/$zek_headless_pid/status")
echo "  all submitted after $((last_submitted - start)) ms; all received after $((done_at - start)) ms"
echo "  the last job: $((done_at - last_submitted)) ms from its lp to the device's receipt"
echo "  received $(received) of $total, $(echo "$names" | sort | uniq -d | wc -l) more than once, $left left in the server's spool tree"
echo "  headless uploader: $cpu s of CPU time, peak memory $peak"
