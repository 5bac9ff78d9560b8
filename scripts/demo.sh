#!/bin/sh
# Sets everything up and runs the product's main job on this machine (as
# root): builds the zek-print package and installs it, starts cupsd (if it is
# not running) so that the package makes the queue "ZEK", starts the device
# simulator on 127.0.0.1 and ZEKUploader pointed at it, prints a PDF with lp,
# and shows that the simulator received that document once and that the job
# file left the spool tree. The simulator and the uploader stop at the end;
# the package, cupsd and the queue stay.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
demo=$(mktemp -d /tmp/zek-demo.XXXXXX)
chmod 0755 "$demo"
(cd build && cpack -G DEB -B "$demo/package" >/dev/null)

if ! LC_ALL=C lpstat -r 2>/dev/null | grep -q "is running"; then
    echo "Starting cupsd"
    cupsd
fi
echo "Installing $(basename "$demo"/package/zek-print_*.deb)"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall --no-install-recommends \
    "$demo"/package/zek-print_*.deb >/dev/null
# The package makes the queue on its first installation only; a reinstallation keeps the admin's.
lpstat -v ZEK >/dev/null 2>&1 || lpadmin -p ZEK -E -v zekprinter:/ -P /usr/share/ppd/zek/zekprinter.ppd
echo "Queue: $(lpstat -v ZEK)"

# The user who prints and whose uploader delivers: whoever ran sudo, else root.
user=${SUDO_USER:-root}
uid=$(id -u "$user")
home="$demo/home"
mkdir -p "$home/config/ZEK" "$home/runtime" "$demo/received"
chmod 0700 "$home/runtime"

simulator_pid="" uploader_pid=""
stop() {
    for pid in $uploader_pid $simulator_pid; do
        kill "$pid" 2>/dev/null || true
    done
}
trap stop EXIT

zek-device-sim --port 0 --dir "$demo/received" >"$demo/simulator.out" 2>"$demo/simulator.log" &
simulator_pid=$!
for _ in $(seq 1 100); do
    grep -q '^PORT ' "$demo/simulator.out" 2>/dev/null && break
    sleep 0.1
done
port=$(sed -n 's/^PORT //p' "$demo/simulator.out")
echo "Device simulator on 127.0.0.1:$port, keeping what it receives in $demo/received"

# The uploader's settings for this demo only: the user's own stay untouched.
printf '[General]\nip=127.0.0.1\nport=%s\n' "$port" >"$home/config/ZEK/ZEKUploader.conf"
chown -R "$uid" "$home"
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
setpriv --reuid "$uid" --regid "$(id -g "$user")" --init-groups \
    env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" \
    ZEKUploader >"$demo/uploader.log" 2>&1 &
uploader_pid=$!
for _ in $(seq 1 100); do
    grep -q 'Version: ' "$demo/uploader.log" 2>/dev/null && break
    sleep 0.1
done
echo "ZEKUploader running as $user"

# A one-page PDF, printed as the user.
document="$demo/ZEK demo.pdf"
gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$document" \
    -c '/Helvetica findfont 28 scalefont setfont 72 700 moveto (ZEK Print demo page) show showpage'
chmod 0644 "$document"
request=$(setpriv --reuid "$uid" --regid "$(id -g "$user")" --init-groups lp -d ZEK "$document")
echo "$request"
job=$(echo "$request" | sed -n 's/.*ZEK-\([0-9]*\).*/\1/p')

# The simulator keeps the name each upload gave its file beside it (N.name).
received_as() { grep -l "^job_$job%20" "$demo"/received/*.name 2>/dev/null; }
for _ in $(seq 1 120); do
    received_as >/dev/null && break
    sleep 0.5
done
sleep 1
echo
echo "ZEKUploader's log:"
grep -v -e '^This plugin' -e 'DNS-SD' "$demo/uploader.log" | sed 's/^/  /'
echo
names=$(received_as || true)
if [ -z "$names" ]; then
    echo "The device did not receive job $job within 60 s." >&2
    lpstat -l -W all -o ZEK >&2 || true
    exit 1
fi
received=${names%.name}.pdf
echo "The device received job $job $(echo "$names" | wc -l) time(s): $received ($(stat -c %s "$received") bytes)"
pdfinfo "$received" | grep -E '^(Producer|Pages|Page size)' | sed 's/^/  /'
echo "  text: $(pdftotext "$received" - | tr -s '\n' ' ')"
if find /var/spool/ZEKPrinter -name "job_$job *" | grep -q .; then
    echo "The job file is still in the spool tree:" >&2
    find /var/spool/ZEKPrinter -name "job_$job *" >&2
    exit 1
fi
echo "The job file of job $job left the spool tree: delivered once, nothing left behind."
[ "$(echo "$names" | wc -l)" -eq 1 ]
