#!/bin/sh
# install-test.sh BUILD-DIR BACKEND-DIR PPD-DIR FILTER-DIR
# Stages the installation and checks the backend's mode (CUPS runs a backend
# as root only when it is mode 0700 and owned by root), the queue's filters
# (CUPS runs only filters that others cannot write), that the PPD passes
# cupstestppd with them, that the print server's systemd unit verifies, that
# every command has its manual page and that the AppStream metadata validates.
set -u
. "$(dirname "$0")/../support/checks.sh"
build=$1 backend_dir=$2 ppd_dir=$3 filter_dir=$4
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" >/dev/null || { echo "cmake --install failed"; exit 1; }

backend="$stage$backend_dir/zekprinter"
expect "backend installed" "$(test -f "$backend" && echo yes)" yes
expect "backend mode" "$(stat -c %a "$backend" 2>/dev/null)" 700
[ "$(id -u)" = 0 ] && expect "backend owner" "$(stat -c %U "$backend" 2>/dev/null)" root
[ "$(id -u)" = 0 ] && expect "backend lists its device" "$("$backend" | cut -d' ' -f1-2)" "direct zekprinter:/"
for filter in zekprinter-pdf zekprinter-image; do
    expect "filter $filter installed, mode 0755" "$(stat -c %a "$stage$filter_dir/$filter" 2>/dev/null)" 755
done
ppd="$stage$ppd_dir/zekprinter.ppd"
if command -v cupstestppd >/dev/null; then
    # The filters it names, looked for under -R: the staged ones beside the machine's.
    # They must be root's, as once installed: without root, the filters are not checked.
    root="$stage/cupstestppd-root"
    mkdir -p "$root$filter_dir"
    ln -s /usr/lib/cups/filter/* "$stage$filter_dir"/* "$root$filter_dir/" 2>/dev/null
    filter_check="-R $root"
    [ "$(id -u)" = 0 ] || filter_check="-I filters"
    # shellcheck disable=SC2086 # two words
    expect "PPD passes cupstestppd" "$(cupstestppd -q $filter_check "$ppd" && echo pass)" pass
fi
expect "the spool root is made at boot" \
    "$(cat "$stage/usr/lib/tmpfiles.d/zek-print.conf" 2>/dev/null | grep '^d')" \
    "d /var/spool/ZEKPrinter 0755 root root -"
unit="$stage/usr/lib/systemd/system/zek-uploader.service"
expect "print server unit installed" "$(test -f "$unit" && echo yes)" yes
if command -v systemd-analyze >/dev/null && [ -f "$unit" ]; then
    # Pointed at the staged program, which is not installed here; its manual page is not either.
    sed "s|/usr/bin/ZEKUploader|$stage/usr/bin/ZEKUploader|" "$unit" >"$stage/zek-uploader.service"
    expect "systemd-analyze verify passes, silently" \
        "$(systemd-analyze verify --man=no "$stage/zek-uploader.service" 2>&1; echo "status $?")" "status 0"
fi
for page in man1/ZEKUploader.1 man1/zek-upload.1 man1/zek-discover.1 man1/zek-spool-watch.1 \
    man1/zek-jobs.1 man1/zek-device-sim.1 man8/zekprinter.8; do
    expect "manual page $page" "$(gzip -dc "$stage/usr/share/man/$page.gz" 2>/dev/null | grep -c '^\.SH EXIT STATUS')" 1
done
metainfo="$stage/usr/share/metainfo/com.zek.ZEKUploader.metainfo.xml"
if command -v appstreamcli >/dev/null; then
    expect "AppStream metadata validates" \
        "$(appstreamcli validate --no-net "$metainfo" >"$stage/appstream.log" 2>&1; echo $?)" 0
    grep -v "^$" "$stage/appstream.log" | grep -v "Validation was successful"
else
    echo "FAILED: appstreamcli is missing"
    failures=$((failures + 1))
fi
[ $failures -eq 0 ]
