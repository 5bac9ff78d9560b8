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
#   zek_make_documents DIR TEXT          three kinds of document, readable by anyone:
#                                        DIR/report.pdf and DIR/scan.png showing TEXT,
#                                        DIR/notes.txt

zek_session_init() {
    zek_session_dir=$1 zek_uploader=$2 zek_simulator=$3
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
    printf 'Plain text\nfrom an application\n' >"$1/notes.txt"
    chmod 0755 "$1" && chmod 0644 "$1"/*
}
