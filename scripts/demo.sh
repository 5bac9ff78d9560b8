#!/bin/sh
# Sets everything up and runs the product's main job (as root): builds and
# installs the backend and the queue's PPD into this machine's CUPS, starts
# cupsd if it is not running, creates the queue "ZEK", prints a sample document
# with lp and shows the finished job file in the spool tree.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
cmake --install build >/dev/null

if ! lpstat -r 2>/dev/null | grep -q "is running"; then
    echo "Starting cupsd"
    cupsd
fi
lpadmin -p ZEK -E -v zekprinter:/ -P /usr/share/ppd/zek/zekprinter.ppd
echo "Queue ZEK: $(lpstat -v ZEK)"

user=${SUDO_USER:-$(id -un)}
title="ZEK sample $(date +%H%M%S)"
request=$(lp -d ZEK -U "$user" -t "$title" README.md)
echo "$request"
job=$(echo "$request" | sed -n 's/.*ZEK-\([0-9]*\).*/\1/p')

# The job file's name: "job_<id> " and the title without its last word.
spool=/var/spool/ZEKPrinter
for _ in $(seq 1 60); do
    found=$(find "$spool" -name "job_$job *.pdf" 2>/dev/null | head -n 1)
    [ -n "$found" ] && break
    sleep 1
done
if [ -z "$found" ]; then
    echo "The job did not reach the spool tree within 60 s; CUPS says:" >&2
    lpstat -l -W all -o ZEK >&2 || true
    tail -n 20 /var/log/cups/error_log >&2 || true
    exit 1
fi
echo "Spooled:"
ls -l "$found"
pdfinfo "$found" | grep -E '^(Producer|Pages|Page size)'
