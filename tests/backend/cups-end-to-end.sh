#!/bin/sh
# Prints through a real, private cupsd into the project's backend and checks
# what lands in the spool tree: every job, and each design at its true size,
# place and orientation. Runs as root inside a private mount namespace whose
# /var/spool is a tmpfs (with-private-spool.sh).
#   cups-end-to-end.sh ZEKPrinter-binary zekprinter.ppd FILTER-DIR zek-print-design
set -u
backend=$1
ppd=$2
filters=$3
print_design=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/checks.sh"
. "$here/../support/private-cupsd.sh"
. "$here/../support/private-users.sh"
. "$here/../support/product-session.sh"

require cupsd lp lpadmin lpstat ipptool pdfinfo pdftoppm pdfimages gs runuser python3
designs="$here/../support/laser-designs.py"

work=$(mktemp -d /tmp/zek-cups-e2e.XXXXXX)
cleanup() {
    zek_cupsd_stop
    [ "$failures" -eq 0 ] && find /var/spool/ZEKPrinter -ls
    rm -rf "$work"
}
trap cleanup EXIT


# An ordinary user known only inside this mount namespace.
user=zekprint-e2e
zek_private_users "$work" "$user:4242" ||
    { echo "skipped: cannot set up a private user" >&2; exit 77; }

# Documents of every kind a desktop prints, the PDF under a name with a space in it.
docs="$work/docs"
chmod 0755 "$work"
zek_make_documents "$docs" "ZEK test page"
mv "$docs/report.pdf" "$docs/Quarterly report.pdf"
# Designs of exact geometry: a 50 x 20 mm rectangle 10 mm from the left and bottom.
for size in 300x200 100x100 297x420 1000x600; do
    "$designs" pdf "$docs/design $size.pdf" $size
done
"$designs" pdf "$docs/three sizes.pdf" 100x100,1300x900,297x420
"$designs" ps "$docs/design 400x300.ps" 400x300
"$designs" png "$docs/photo 300dpi.png" 300
"$designs" png "$docs/photo.png" -
"$designs" png "$docs/logo.png" - alpha
chmod 0644 "$docs"/*

zek_cupsd_filters=$filters
zek_cupsd_start "$work/cups" "$backend" || exit 1
lpadmin -p ZEK -E -v zekprinter:/ -P "$ppd" 2>/dev/null || { zek_cupsd_log; exit 1; }

# submit EXPECTED-OWNER EXPECTED-NAME-WITHOUT-ID lp-arguments... : prints and
# remembers "id|owner|directory|name" for the checks below.
expectations="$work/expectations"
: >"$expectations"
submit() {
    owner=$1 directory=$2 name=$3
    shift 3
    request=$("$@" 2>&1) || { echo "FAILED: lp: $request" >&2; failures=$((failures + 1)); return; }
    id=$(echo "$request" | sed -n 's/.*ZEK-\([0-9]*\).*/\1/p')
    echo "$id|$owner|$directory|job_$id $name" >>"$expectations"
}

submit root root "Quarterly" lp -d ZEK "$docs/Quarterly report.pdf"
submit root root "notes" lp -d ZEK "$docs/notes.txt"
submit root root "poster" lp -d ZEK "$docs/poster.ps"
submit root root "Meeting 10" lp -d ZEK -t "Meeting 10:30" "$docs/scan.png"
submit root root "Untitled document" sh -c "lp -d ZEK <'$docs/Quarterly report.pdf'"
submit $user $user "Quarterly" runuser -u $user -- lp -d ZEK "$docs/Quarterly report.pdf"
submit $user $user "notes" runuser -u $user -- lp -d ZEK "$docs/notes.txt"
submit $user $user "Untitled document" runuser -u $user -- sh -c "lp -d ZEK <'$docs/notes.txt'"
submit nobody "anonymous users" "poster" lp -d ZEK -U no-such-account "$docs/poster.ps"

# Dialogs can ask for a bed or a size of their own (IPP's names, made from the
# PPD's sizes), A4 by default.
cat >"$work/media.test" <<'IPP'
{ OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes media-supported,media-default
  DISPLAY media-default
  DISPLAY media-supported }
IPP
media=$(ipptool -t "ipp://$(echo "$CUPS_SERVER" | sed 's,/,%2F,g')/printers/ZEK" "$work/media.test" |
    sed -n 's/^ *media-\(default\|supported\) ([^)]*) = //p' | tr ',\n' '  ')
for size in iso_a4_210x297mm iso_a3_297x420mm na_letter_8.5x11in custom_300x200mm_300x200mm \
    custom_400x300mm_400x300mm custom_600x400mm_600x400mm custom_900x600mm_900x600mm \
    custom_1300x900mm_1300x900mm custom_min_10x10mm custom_max_1300x900mm; do
    check "the queue offers $size" sh -c "echo ' $media ' | grep -q ' $size '"
done
check "A4 is the default size" sh -c "echo '$media' | grep -q '^iso_a4_210x297mm '"

# What must arrive, per row: TITLE | DOCUMENT | lp OPTIONS | every page as
# "WIDTH HEIGHT ROTATION" (mm, degrees) and the rectangle as "X Y WIDTH HEIGHT" (mm
# from the lower-left corner) or "none", pages separated by ";" | vector or image.
designs_table="$work/designs"
: >"$work/design-jobs"
cat >"$designs_table" <<'TABLE'
PDF 300x200|design 300x200.pdf||300 200 0 10 10 50 20|vector
PDF 100x100|design 100x100.pdf||100 100 0 10 10 50 20|vector
PDF A3|design 297x420.pdf||297 420 0 10 10 50 20|vector
PDF large bed|design 1000x600.pdf||1000 600 0 10 10 50 20|vector
PDF A3 unscaled|design 297x420.pdf|-o print-scaling=none|297 420 0 10 10 50 20|vector
PDF from a dialog|design 300x200.pdf|-o media=Custom.300x200mm|300 200 0 10 10 50 20|vector
PDF from a dialog, bed|design 1000x600.pdf|-o PageSize=Bed600x400mm|1000 600 0 10 10 50 20|vector
PDF three sizes|three sizes.pdf||100 100 0 10 10 50 20;1300 900 0 10 10 50 20;297 420 0 10 10 50 20|vector
PDF page 2 of 3|three sizes.pdf|-o page-ranges=2|1300 900 0 10 10 50 20|vector
PDF pages 2 to end|three sizes.pdf|-o page-ranges=2-|1300 900 0 10 10 50 20;297 420 0 10 10 50 20|vector
PDF fit to A4, asked for|design 297x420.pdf|-o fit-to-page -o media=A4|210 297 0 7.07 7.07 35.36 14.14|vector
PostScript 400x300|design 400x300.ps||400 300 0 10 10 50 20|vector
PNG at 300 dpi|photo 300dpi.png||50.80 33.87 0 3.39 2.54 16.93 6.77|image
PNG without resolution|photo.png||158.75 105.83 0 10.58 7.94 52.92 21.17|image
PNG with transparency|logo.png||158.75 105.83 0 10.58 7.94 52.92 21.17|image
text|notes.txt||210 297 0 none|vector
TABLE
while IFS='|' read -r title document options _; do
    # shellcheck disable=SC2086 # the options are words
    request=$(lp -d ZEK -t "$title" $options "$docs/$document" 2>&1) ||
        { echo "FAILED: lp $title: $request" >&2; failures=$((failures + 1)); continue; }
    echo "$title|$(echo "$request" | sed -n 's/.*ZEK-\([0-9]*\).*/\1/p')?*" >>"$work/design-jobs"
done <"$designs_table"
# And as a design application prints: Qt, a page of a custom size.
echo "Qt design 320x180|-|-|320 180 0 10 10 50 20|vector" >>"$designs_table"
echo "Qt design 320x180|*?QtDesign" >>"$work/design-jobs"
# A runtime directory of its own: Qt would make one in the machine's /tmp.
mkdir -p "$work/qt-runtime" && chmod 0700 "$work/qt-runtime"
check "Qt prints a custom page size" env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/qt-runtime" \
    "$print_design" ZEK 320 180 QtDesign

# Wait until CUPS has finished every job (or 120 s have passed).
for _ in $(seq 1 240); do
    [ -z "$(lpstat -o ZEK 2>/dev/null)" ] && break
    sleep 0.5
done
completed=$(lpstat -W completed -o ZEK 2>/dev/null)

while IFS='|' read -r id owner directory name; do
    file="/var/spool/ZEKPrinter/$directory/$name.pdf"
    check "job $id completed in CUPS" sh -c "echo '$completed' | grep -q '^ZEK-$id '"
    check "job $id spooled as '$file'" test -f "$file"
    [ -f "$file" ] || continue
    check "job $id is a valid PDF" sh -c "pdfinfo '$file' >/dev/null 2>&1"
    check "job $id owned by $owner" test "$(stat -c %U "$file")" = "$owner"
    check "job $id readable by the uploader" test "$(stat -c %a "$file")" = 644
done <"$expectations"

# Each design as it arrived: measured, then compared to within 0.1 mm.
while IFS='|' read -r title _ _ want kind; do
    # The backend makes its own file name of the title: found by job id.
    job=$(grep -F "$title|" "$work/design-jobs" | cut -d'|' -f2)
    file=$(ls /var/spool/ZEKPrinter/root/job_$job.pdf 2>/dev/null | head -n 1)
    check "$title arrived" test -n "$file"
    [ -n "$file" ] || continue
    got=$("$designs" measure "$file" | paste -sd ';')
    echo "measured: $title: $got"
    check "$title: pages and mark '$got' are '$want'" "$designs" near 0.1 "$(echo "$got" | tr ';' ' ')" \
        "$(echo "$want" | tr ';' ' ')"
    images=$(pdfimages -list "$file" 2>/dev/null | tail -n +3 | wc -l)
    if [ "$kind" = vector ]; then
        check "$title: vectors, no image" test "$images" -eq 0
    else
        check "$title: the image itself" test "$images" -gt 0
    fi
done <"$designs_table"

check "user directory owned by $user, mode 0700" \
    test "$(stat -c '%U %a' "/var/spool/ZEKPrinter/$user")" = "$user 700"
check "anonymous users owned by nobody, mode 0777" \
    test "$(stat -c '%U %a' "/var/spool/ZEKPrinter/anonymous users")" = "nobody 777"
check "no temporary job file left" test -z "$(find /var/spool/ZEKPrinter -name '*.~pdf')"
check "every job submitted" test "$(wc -l <"$expectations")" -eq 9

if [ $failures -ne 0 ]; then
    echo "--- spool tree" >&2
    find /var/spool/ZEKPrinter -ls >&2
    echo "--- cupsd error log (errors)" >&2
    zek_cupsd_log | grep -E '^[EW]|zekprinter|ZEKPrinter' | tail -n 60 >&2
fi
all_checks_passed "CUPS end to end ($passes checks)"
