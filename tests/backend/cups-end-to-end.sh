#!/bin/sh
# Prints through a real, private cupsd into the project's backend and checks
# what lands in the spool tree. Runs as root inside a private mount namespace
# whose /var/spool is a tmpfs (with-private-spool.sh).
#   cups-end-to-end.sh ZEKPrinter-binary zekprinter.ppd
set -u
backend=$1
ppd=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/checks.sh"
. "$here/../support/private-cupsd.sh"
. "$here/../support/private-users.sh"

require cupsd lp lpadmin lpstat pdfinfo gs runuser

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

# Documents of every kind a desktop prints.
docs="$work/docs"
mkdir -p "$docs"
chmod 0755 "$work" "$docs"
page='/Helvetica findfont 24 scalefont setfont 72 720 moveto (ZEK test page) show showpage'
gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$docs/Quarterly report.pdf" -c "$page"
gs -q -dNOPAUSE -dBATCH -sDEVICE=png16m -r30 -o "$docs/scan.png" -c "$page"
printf '%%!PS-Adobe-3.0\n%s\n' "$page" >"$docs/poster.ps"
printf 'Plain text\nto print\n' >"$docs/notes.txt"
chmod 0644 "$docs"/*

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
echo "$passes passed, $failures failed"
[ $failures -eq 0 ]
