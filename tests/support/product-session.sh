# Sourced by tests and benchmarks that run the whole product: the device
# simulator and users' uploaders, each user with a session of their own
# (settings, runtime directory) under DIR, logs in DIR/<name>.log.
#
#   zek_session_init DIR UPLOADER SIMULATOR
#   zek_await COMMAND...                 retries COMMAND for up to 60 s
#   zek_start_simulator RECEIVED [PORT]  sets zek_sim_pid and zek_port
#   zek_start_uploader USER UID          sets zek_pid_<USER>; waits for its version line
#   zek_as_user USER UID COMMAND...      runs COMMAND in USER's session
#   zek_start_headless [OPTION...]       ZEKUploader --headless as its systemd unit runs
#                                        it (system-wide settings only, a state directory
#                                        of its own); sets zek_headless_pid
#   zek_session_stop [FILE...]           stops the simulator and the uploaders it started;
#                                        after failed checks, reports the logs and FILEs
#   zek_make_documents DIR TEXT          the kinds of document a desktop prints, readable by
#                                        anyone: DIR/report.pdf, DIR/scan.png and
#                                        DIR/poster.ps showing TEXT, DIR/notes.txt
#
# And conditions for checks:
#   jobs_received                        how many jobs the simulator received (a number)
#   received_count_is N                  whether that is N
#   jobs_waiting [USER]                  whether the spool tree (USER's directory) holds a job
#   no_jobs_waiting [USER]               whether it holds none

zek_session_init() {
    zek_session_dir=$1 zek_uploader=$2 zek_simulator=$3
    zek_session_users="" zek_sim_pid="" zek_headless_pid="" zek_received=""
}

zek_session_stop() {
    for zek_user in ${zek_session_users:-}; do
        eval "kill \${zek_pid_$zek_user:-} 2>/dev/null"
    done
    kill ${zek_headless_pid:-} ${zek_sim_pid:-} 2>/dev/null
    wait 2>/dev/null
    report_failure_context "${zek_session_dir:-/nonexistent}"/*.log "$@"
}

zek_await() {
    zek_tries=0
    until "$@"; do
        zek_tries=$((zek_tries + 1))
        [ $zek_tries -lt 600 ] || return 1
        sleep 0.1
    done
}

zek_start_simulator() {
    zek_received=$1
    : >"$zek_session_dir/sim.out"
    python3 "$zek_simulator" --port "${2:-0}" --dir "$1" >"$zek_session_dir/sim.out" \
        2>>"$zek_session_dir/sim.log" &
    zek_sim_pid=$!
    zek_await grep -q '^PORT ' "$zek_session_dir/sim.out" || return 1
    zek_port=$(sed -n 's/^PORT //p' "$zek_session_dir/sim.out")
}

# Replaces the calling (sub)shell, so that a job started with & is the command itself.
zek_exec_as_user() {
    zek_home="$zek_session_dir/home-$1"
    zek_uid=$2
    shift 2
    exec setpriv --reuid "$zek_uid" --regid "$zek_uid" --clear-groups env HOME="$zek_home" \
        XDG_CONFIG_HOME="$zek_home/config" XDG_RUNTIME_DIR="$zek_home/runtime" \
        QT_QPA_PLATFORM=offscreen DBUS_SYSTEM_BUS_ADDRESS="unix:path=$zek_session_dir/no-bus" \
        "$@"
}

zek_as_user() { (zek_exec_as_user "$@"); }

# Pointed at the simulator; no DNS-SD (no bus), so nothing leaves the machine.
zek_start_uploader() {
    zek_home="$zek_session_dir/home-$1"
    mkdir -p "$zek_home/config/ZEK" "$zek_home/runtime"
    printf '[General]\nip=127.0.0.1\nport=%s\n' "$zek_port" >"$zek_home/config/ZEK/ZEKUploader.conf"
    chown -R "$2:$2" "$zek_home" && chmod 0700 "$zek_home/runtime"
    zek_log="$zek_session_dir/$1.log"
    zek_versions=$(grep -c 'Version: ' "$zek_log" 2>/dev/null)
    (zek_exec_as_user "$1" "$2" "$zek_uploader" >>"$zek_log" 2>&1) &
    eval "zek_pid_$1=$!"
    case " $zek_session_users " in *" $1 "*) ;; *) zek_session_users="$zek_session_users $1" ;; esac
    zek_await zek_logged_a_new_version_line
}

zek_logged_a_new_version_line() {
    [ "$(grep -c 'Version: ' "$zek_log")" -gt "${zek_versions:-0}" ]
}

zek_start_headless() {
    mkdir -p "$zek_session_dir/xdg/ZEK"
    printf '[General]\nip=127.0.0.1\nport=%s\n' "$zek_port" >"$zek_session_dir/xdg/ZEK/ZEKUploader.conf"
    zek_versions=$(grep -c 'Version: ' "$zek_session_dir/headless.log" 2>/dev/null)
    zek_log="$zek_session_dir/headless.log"
    XDG_CONFIG_HOME=/nonexistent XDG_CONFIG_DIRS="$zek_session_dir/xdg" \
        STATE_DIRECTORY="$zek_session_dir/state" \
        DBUS_SYSTEM_BUS_ADDRESS="unix:path=$zek_session_dir/no-bus" \
        "$zek_uploader" --headless "$@" >/dev/null 2>>"$zek_log" &
    zek_headless_pid=$!
    zek_await zek_logged_a_new_version_line
}

zek_make_documents() {
    mkdir -p "$1"
    page="/Helvetica findfont 24 scalefont setfont 72 720 moveto ($2) show showpage"
    gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$1/report.pdf" -c "$page"
    gs -q -dNOPAUSE -dBATCH -sDEVICE=png16m -r30 -o "$1/scan.png" -c "$page"
    printf '%%!PS-Adobe-3.0\n%s\n' "$page" >"$1/poster.ps"
    printf 'Plain text\nfrom an application\n' >"$1/notes.txt"
    chmod 0755 "$1" && chmod 0644 "$1"/*
}

jobs_received() { find "$zek_received" -name '*.pdf' 2>/dev/null | wc -l; }
received_count_is() { [ "$(jobs_received)" -eq "$1" ]; }
jobs_waiting() { [ -n "$(find "/var/spool/ZEKPrinter/${1:-}" -name '*.pdf' 2>/dev/null)" ]; }
no_jobs_waiting() { ! jobs_waiting "$@"; }
