#!/bin/sh
# ZEKUploader's command line and its one-uploader-per-user rule, as a user meets them: answers
# without a display, the retry pause's range, starts at the same moment, a running uploader that
# does not answer, and no runtime directory. Runs as root in a private mount namespace
# (with-private-spool.sh), with a private /tmp.
#   command-line-test.sh ZEKUploader
set -u
uploader=$1
# Processes are counted and stopped by name: a PID namespace of its own keeps other tests'
# uploaders out of sight.
if [ -z "${ZEK_OWN_PIDS:-}" ]; then
    ZEK_OWN_PIDS=1 exec unshare --pid --fork --mount-proc "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../support/checks.sh"
. "$here/../../support/product-session.sh"
require setpriv
mount -t tmpfs -o mode=1777 zek-tmp /tmp || { echo "skipped: no private /tmp" >&2; exit 77; }

work=$(mktemp -d /tmp/zek-command-line.XXXXXX)
chmod 0755 "$work"
mkdir -p "$work/home/config/ZEK" "$work/runtime"
chmod 0700 "$work/runtime"
printf '[General]\nip=127.0.0.1\nport=9\n' >"$work/home/config/ZEK/ZEKUploader.conf"
cleanup() {
    pkill -CONT -f "^$uploader" 2>/dev/null
    pkill -f "^$uploader" 2>/dev/null
    wait 2>/dev/null
    report_failure_context "$work"/*.log
}
trap cleanup EXIT

# The uploader as a desktop session starts it, or (with no_display) as a terminal without one.
run() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$work/home" \
        XDG_CONFIG_HOME="$work/home/config" XDG_RUNTIME_DIR="$work/runtime" \
        ${no_display:-QT_QPA_PLATFORM=offscreen} DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus" \
        "$uploader" "$@"
}
running() { pgrep -c -f "^$uploader\$" || true; }
said() { grep -q "$1" "$work/out"; }

# 1. Answered without a display, on standard output; wrong usage on standard error, status 2.
no_display=NO_DISPLAY=1
run --help >"$work/out" 2>&1
check "--help works without a display (status $?)" said 'Usage: .*ZEKUploader'
check "--help tells of the settings file" said 'ZEKUploader.conf'
run --version >"$work/out" 2>&1
check "--version works without a display" said '^ZEKUploader 1\.0\.0$'
run --retry >"$work/out" 2>&1
check "--retry with nothing running says so, status 1 (was $?)" said 'no uploader runs for this user'
run extra-arg >/dev/null 2>&1
check "an extra argument is refused with status 2 (was $?)" [ $? -eq 2 ]
for pause in nan inf 0.0004 0 601 abc; do
    run --headless --retry-pause "$pause" >"$work/out" 2>&1
    status=$?
    check "--retry-pause $pause refused with status 2 (was $status)" [ $status -eq 2 ]
    check "--retry-pause $pause: the message gives the range" said 'from 1 to 600'
done
no_display=""

# 2. Four starts at the same moment: one uploader.
for n in 1 2 3 4; do
    run >>"$work/starts.log" 2>&1 &
done
wait_for_one() { [ "$(running)" -eq 1 ] && [ -S "$work/runtime/zek-uploader.socket" ]; }
check "four starts leave one uploader" zek_await wait_for_one
sleep 1
check "and still one a moment later" [ "$(running)" -eq 1 ]

# 3. The running one does not answer (stopped): a retry waits, says so and ends; it never
# becomes a second uploader, nor takes the running one's socket.
first=$(pgrep -f "^$uploader\$")
kill -STOP "$first"
run --retry >"$work/out" 2>&1
check "a retry that gets no answer ends with status 1 (was $?)" said 'does not answer'
run >"$work/out" 2>&1 &
sleep 7
check "a start meanwhile does not stay" [ "$(running)" -eq 1 ]
check "the socket stays" [ -S "$work/runtime/zek-uploader.socket" ]
kill -CONT "$first"
run --retry >"$work/out" 2>&1
check "once it answers, the retry is handed over" said 'Asked the running uploader'
check "still the same one" [ "$(pgrep -f "^$uploader\$")" = "$first" ]
kill "$first"

# 4. No runtime directory, and the usual fallback in /tmp taken by another user: a private
# directory of the user's own, never the root of the file system.
mkdir -p /tmp/zek-uploader-4242 /tmp/runtime-4242 "$work/user"
chown 4243 /tmp/zek-uploader-4242 /tmp/runtime-4242 && chmod 0700 /tmp/zek-uploader-4242
cp -r "$work/home/config" "$work/user/" && chown -R 4242 "$work/user"
(exec setpriv --reuid 4242 --regid 4242 --clear-groups env -u XDG_RUNTIME_DIR \
    HOME="$work/user" XDG_CONFIG_HOME="$work/user/config" QT_QPA_PLATFORM=offscreen \
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus" "$uploader" >"$work/user.log" 2>&1) &
private_socket() { [ -S /tmp/zek-uploader-4242-1/zek-uploader.socket ]; }
check "the socket is in a private directory of its own" zek_await private_socket
check "which is the user's, mode 0700" [ "$(stat -c '%u %a' /tmp/zek-uploader-4242-1)" = "4242 700" ]
check "nothing at the root" [ ! -e /zek-uploader.socket ]

all_checks_passed "command line"
