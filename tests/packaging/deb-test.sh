#!/bin/sh
# deb-test.sh BUILD-DIR
# Builds the .deb and installs it with dpkg as on a user's machine, but in a
# mount namespace of its own where /usr, /etc and /var are overlays: the
# machine's own stay as they were. A private cupsd runs meanwhile, so the
# package's scripts make the queue; purging takes it away again. The
# machine's own CUPS is out of reach.
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" != --inside ]; then
    [ "$(id -u)" = 0 ] || { echo "skipped: needs root" >&2; exit 77; }
    for tool in cpack dpkg dpkg-deb unshare cupsd lpstat; do
        command -v $tool >/dev/null || { echo "skipped: $tool is missing" >&2; exit 77; }
    done
    work=$(mktemp -d /tmp/zek-deb.XXXXXX)
    trap 'rm -rf "$work"' EXIT
    (cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) ||
        { cat "$work/cpack.log"; exit 1; }
    deb=$(ls "$work"/package/zek-print_*.deb)
    unshare --mount --propagation private -- "$0" --inside "$work" "$deb"
    exit $?
fi

work=$2 deb=$3
. "$here/../support/private-cupsd.sh"
# The machine's services are never this test's: /run is private, and where the machine's CUPS
# socket would be, a stand-in with a queue "ZEK" of its own listens instead. Every CUPS call of
# the test, the package's scripts included, goes to the test's own cupsd, and the stand-in must
# end as it began.
mount -t tmpfs -o mode=0755 zek-run /run && mkdir -p /run/cups ||
    { echo "skipped: no private /run" >&2; exit 77; }
dpkg-deb -x "$deb" "$work/unpacked"
backend="$work/unpacked/usr/lib/cups/backend/zekprinter"
ppd="$work/unpacked/usr/share/ppd/zek/zekprinter.ppd"
zek_cupsd_filters="$work/unpacked/usr/lib/cups/filter"
zek_cupsd_socket=/run/cups/cups.sock zek_cupsd_start "$work/machine-cups" "$backend" || exit 1
lpadmin -p ZEK -v zekprinter:/ -P "$ppd" 2>/dev/null || { zek_cupsd_log; exit 1; }
machine_cupsd="$zek_cupsd_dir"
zek_cupsd_start "$work/cups" "$backend" || exit 1
stop_both() {
    zek_cupsd_stop
    zek_cupsd_dir=$machine_cupsd zek_cupsd_stop
}
trap stop_both EXIT
[ "$(lpstat -H)" = "$work/cups/cups.sock" ] ||
    { echo "refusing to run: CUPS clients would not talk to the test's own cupsd" >&2; exit 1; }

for tree in usr etc var; do
    mkdir -p "$work/overlay/$tree/upper" "$work/overlay/$tree/work"
    mount -t overlay "zek-$tree" -o "lowerdir=/$tree,upperdir=$work/overlay/$tree/upper,workdir=$work/overlay/$tree/work" "/$tree" ||
        { echo "skipped: no overlay file system" >&2; exit 77; }
done

failures=0
expect() { # expect DESCRIPTION ACTUAL WANTED
    if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: got '$2', want '$3'"; failures=$((failures + 1)); fi
}

if dpkg -s zek-print >/dev/null 2>&1; then
    dpkg --purge zek-print >/dev/null 2>&1 # installed on this machine: not in here
fi
rm -rf /var/spool/ZEKPrinter

dpkg -i "$deb" >"$work/dpkg.log" 2>&1
expect "dpkg installs the package" "$?" 0
expect "package installed" "$(dpkg-query -W -f '${Status}' zek-print 2>/dev/null)" "install ok installed"
for file in /usr/bin/ZEKUploader /usr/bin/zek-spool-watch /usr/bin/zek-upload /usr/bin/zek-discover \
    /usr/bin/zek-device-sim /usr/share/applications/zek-uploader.desktop \
    /etc/xdg/autostart/zek-uploader.desktop /usr/share/icons/hicolor/scalable/apps/zek-uploader.svg \
    /usr/share/ppd/zek/zekprinter.ppd /usr/lib/systemd/system/zek-uploader.service; do
    expect "$file installed" "$(test -f "$file" && echo yes)" yes
done
expect "backend mode and owner" "$(stat -c '%a %U' /usr/lib/cups/backend/zekprinter)" "700 root"
expect "spool root made" "$(stat -c '%a %U' /var/spool/ZEKPrinter 2>&1)" "755 root"
expect "queue ZEK made" "$(lpstat -v ZEK 2>&1)" "device for ZEK: zekprinter:/"
expect "the installed uploader starts" \
    "$(QT_QPA_PLATFORM=offscreen /usr/bin/ZEKUploader --version 2>/dev/null | sed -n 's/^ZEKUploader //p')" 1.0.0

dpkg --purge zek-print >>"$work/dpkg.log" 2>&1
expect "dpkg purges the package" "$?" 0
expect "files gone" "$(ls /usr/bin/ZEKUploader /usr/lib/cups/backend/zekprinter 2>/dev/null)" ""
expect "queue gone" "$(lpstat -v ZEK >/dev/null 2>&1 && echo still there)" ""
expect "the machine's CUPS untouched" "$(CUPS_SERVER=/run/cups/cups.sock lpstat -v ZEK 2>&1)" \
    "device for ZEK: zekprinter:/"
[ $failures -eq 0 ] || cat "$work/dpkg.log"
[ $failures -eq 0 ]
