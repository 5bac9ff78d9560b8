#!/bin/sh
# deb-test.sh BUILD-DIR
# Builds the .deb, has lintian check it, and installs, upgrades, removes and
# purges it with dpkg as on a user's machine, but in a mount namespace of its
# own where /usr, /etc and /var are overlays: the machine's own stay as they
# were. The German locale the scripts run in is made inside the overlay. A
# private cupsd runs meanwhile (stopped for a while), so the package's scripts
# make and remove the queue. The machine's own CUPS is out of reach. systemd
# is not PID 1 here: stand-ins for deb-systemd-invoke and systemctl, first in
# PATH, record what the scripts ask of the service.
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" != --inside ]; then
    [ "$(id -u)" = 0 ] || { echo "skipped: needs root" >&2; exit 77; }
    for tool in cpack dpkg dpkg-deb unshare cupsd lpstat localedef; do
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
. "$here/../support/checks.sh"
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


expect "lintian finds no error and no warning" \
    "$(mkdir -p "$work/tmp" && TMPDIR="$work/tmp" lintian --fail-on error,warning "$deb" \
        >"$work/lintian.log" 2>&1; echo $?)" 0
grep -v "running with root privileges" "$work/lintian.log"

# The same package one version on, for an upgrade.
dpkg-deb -R "$deb" "$work/next" && sed -i 's/^Version: .*/Version: 1.0.1/' "$work/next/DEBIAN/control" &&
    dpkg-deb -b "$work/next" "$work/next.deb" >/dev/null || { echo "FAILED: no next version"; exit 1; }

# German, made in the /usr overlay: CUPS's messages are then German ones.
localedef -i de_DE -f UTF-8 de_DE.UTF-8 2>/dev/null
german() { env -u LC_ALL -u LC_MESSAGES -u LANGUAGE LANG=de_DE.UTF-8 "$@"; }
expect "lpstat speaks German here" "$(german lpstat -r | grep -c Zeitplandienst)" 1

mkdir -p "$work/stubs" /run/systemd/system
for stub in deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$stub" "$work/systemd-calls" >"$work/stubs/$stub"
    chmod 0755 "$work/stubs/$stub"
done
export PATH="$work/stubs:$PATH"
calls() { # what the scripts asked of the service, then forgotten
    grep zek-uploader "$work/systemd-calls" 2>/dev/null | grep -v daemon-reload | tr '\n' ';'
    : >"$work/systemd-calls"
}
unit_state() { DPKG_MAINTSCRIPT_PACKAGE=zek-print deb-systemd-helper debian-installed zek-uploader.service && echo recorded; }

if dpkg -s zek-print >/dev/null 2>&1; then
    dpkg --purge zek-print >/dev/null 2>&1 # installed on this machine: not in here
fi
rm -rf /var/spool/ZEKPrinter
: >"$work/systemd-calls"

german dpkg -i "$deb" >"$work/dpkg.log" 2>&1
expect "dpkg installs the package in German" "$?" 0
expect "package installed" "$(dpkg-query -W -f '${Status}' zek-print 2>/dev/null)" "install ok installed"
for file in /usr/bin/ZEKUploader /usr/bin/zek-spool-watch /usr/bin/zek-upload /usr/bin/zek-discover \
    /usr/bin/zek-device-sim /usr/bin/zek-jobs /usr/share/applications/zek-uploader.desktop \
    /etc/xdg/autostart/zek-uploader.desktop /usr/share/icons/hicolor/scalable/apps/zek-uploader.svg \
    /usr/share/ppd/zek/zekprinter.ppd /usr/lib/systemd/system/zek-uploader.service \
    /usr/share/metainfo/com.zek.ZEKUploader.metainfo.xml /usr/share/man/man8/zekprinter.8.gz; do
    expect "$file installed" "$(test -f "$file" && echo yes)" yes
done
expect "backend mode and owner" "$(stat -c '%a %U' /usr/lib/cups/backend/zekprinter)" "700 root"
expect "spool root made" "$(stat -c '%a %U' /var/spool/ZEKPrinter 2>&1)" "755 root"
expect "queue ZEK made under LANG=de_DE.UTF-8" "$(lpstat -v ZEK 2>&1)" "device for ZEK: zekprinter:/"
expect "the unit is recorded, not enabled, not started" \
    "$(unit_state; ls /etc/systemd/system/*.wants/zek-uploader.service 2>/dev/null; calls)" recorded

# Every command: help and version on standard output, wrong usage on standard error with 2.
export QT_QPA_PLATFORM=offscreen
for command in /usr/bin/ZEKUploader /usr/bin/zek-upload /usr/bin/zek-discover /usr/bin/zek-spool-watch \
    /usr/bin/zek-jobs /usr/bin/zek-device-sim /usr/lib/cups/backend/zekprinter; do
    name=${command##*/}
    help=$("$command" --help 2>"$work/err")
    status=$?
    expect "$name --help" "$(echo "$help" | head -1 | cut -c1-6 | tr U u) status $status $(wc -c <"$work/err")" \
        "usage: status 0 0"
    expect "$name --version" "$("$command" --version 2>&1 | sed "s/^$name 1\.0\.0$/version/I")" version
    [ "$name" = zekprinter ] && continue # its status is for CUPS: zekprinter(8)
    for wrong in --no-such-option "one two three"; do
        # shellcheck disable=SC2086 # three arguments
        expect "$name $wrong: wrong usage" \
            "$("$command" $wrong 2>"$work/err"; echo "status $? $(test -s "$work/err" && echo said)")" "status 2 said"
    done
done

# An upgrade keeps the admin's disabled queue, and restarts the service where it runs.
cupsdisable ZEK
german dpkg -i "$work/next.deb" >>"$work/dpkg.log" 2>&1
expect "dpkg upgrades the package" "$?" 0
expect "the upgrade keeps the queue disabled" "$(LC_ALL=C lpstat -p ZEK | grep -o disabled)" disabled
expect "the upgrade restarts the service if it runs" "$(calls)" "deb-systemd-invoke try-restart zek-uploader.service;"

german dpkg --purge zek-print >>"$work/dpkg.log" 2>&1
expect "dpkg purges the package" "$?" 0
expect "files gone" "$(ls /usr/bin/ZEKUploader /usr/lib/cups/backend/zekprinter 2>/dev/null)" ""
expect "queue gone" "$(lpstat -v ZEK >/dev/null 2>&1 && echo still there)" ""

# Removed and purged while cupsd is stopped: the queue stays, and the purge says how to remove it.
german dpkg -i "$deb" >>"$work/dpkg.log" 2>&1 && calls >/dev/null
zek_cupsd_stop
german dpkg -r zek-print >>"$work/dpkg.log" 2>&1
expect "dpkg removes the package with cupsd stopped" "$?" 0
expect "removing stops the service" "$(calls)" "deb-systemd-invoke stop zek-uploader.service;"
german dpkg --purge zek-print >"$work/purge.log" 2>&1
expect "dpkg purges the package with cupsd stopped" "$?" 0
expect "the purge says how to remove the queue" "$(grep -c '^  lpadmin -x ZEK$' "$work/purge.log")" 1
expect "the purge forgets the unit" "$(unit_state)" ""
zek_cupsd_start "$work/cups" "$backend" || exit 1
expect "the queue stayed" "$(lpstat -v ZEK 2>&1)" "device for ZEK: zekprinter:/"
lpadmin -x ZEK

expect "the machine's CUPS untouched" "$(CUPS_SERVER=/run/cups/cups.sock lpstat -v ZEK 2>&1)" \
    "device for ZEK: zekprinter:/"
[ $failures -eq 0 ] || cat "$work/dpkg.log" "$work/purge.log"
[ $failures -eq 0 ]
