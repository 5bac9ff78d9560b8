# Sourced by tests and benchmarks of a print server: a small office network of
# network namespaces (a server and N desktops on one bridge, 169.254.90.0/24,
# nothing routed off the machine), each with a private cupsd. The server's
# cupsd shares the queue "ZEK" (the project's backend and PPD) at
# ipp://169.254.90.1:631/printers/ZEK; each desktop's queue "ZEK" prints there.
# Desktops know a user "carol" (uid 5001) whom the server does not know.
# Set zek_cupsd_script to the path of private-cupsd.sh first; needs root.
#
#   zek_lan_up DIR N                 the namespaces (exit status 77: cannot be had)
#   zek_lan_start_server BACKEND PPD the server's cupsd and shared queue
#   zek_lan_start_desktop I          desktop I's cupsd and its queue
#   zek_lan_print I FILE [TITLE]     lp on desktop I, as carol
#   zek_lan_down                     stops every cupsd, removes the namespaces

zek_lan_server_address=169.254.90.1

zek_lan_up() {
    zek_lan_dir=$1 zek_lan_desktops=$2
    zek_lan_prefix="zekl$$"
    mkdir -p "$zek_lan_dir"
    ip netns add "$zek_lan_prefix-s" 2>/dev/null || return 77
    ip -n "$zek_lan_prefix-s" link set lo up
    ip -n "$zek_lan_prefix-s" link add br0 type bridge
    ip -n "$zek_lan_prefix-s" addr add "$zek_lan_server_address/24" dev br0
    ip -n "$zek_lan_prefix-s" link set br0 up
    for i in $(seq 1 "$zek_lan_desktops"); do
        ns="$zek_lan_prefix-d$i"
        ip netns add "$ns" || return 1
        ip -n "$ns" link set lo up
        ip -n "$zek_lan_prefix-s" link add "d$i" type veth peer name eth0 netns "$ns" || return 1
        ip -n "$zek_lan_prefix-s" link set "d$i" master br0 up
        ip -n "$ns" addr add "169.254.90.$((10 + i))/24" dev eth0
        ip -n "$ns" link set eth0 up
    done
    # The desktops' own user, in their accounts only.
    cp /etc/passwd "$zek_lan_dir/passwd" && cp /etc/group "$zek_lan_dir/group"
    echo "carol:x:5001:5001:Desktop user:/nonexistent:/usr/sbin/nologin" >>"$zek_lan_dir/passwd"
    echo "carol:x:5001:" >>"$zek_lan_dir/group"
}

# zek_lan_in NAMESPACE COMMAND...: in that namespace, with a mount namespace of its own.
zek_lan_in() {
    ns=$1
    shift
    ip netns exec "$ns" "$@"
}

zek_lan_start_server() {
    zek_lan_in "$zek_lan_prefix-s" sh -c '
        . "$1" && zek_cupsd_listen="$2:631" &&
        zek_cupsd_filters="$(dirname "$1")/../../packaging/cups/filter" && zek_cupsd_start "$3" "$4" &&
        lpadmin -p ZEK -E -v zekprinter:/ -P "$5" -o printer-is-shared=true 2>/dev/null' \
        zek-server "$zek_cupsd_script" "$zek_lan_server_address" "$zek_lan_dir/server" "$1" "$2"
}

zek_lan_start_desktop() {
    zek_lan_in "$zek_lan_prefix-d$1" sh -c '
        mount --bind "$2/passwd" /etc/passwd && mount --bind "$2/group" /etc/group &&
        . "$1" && zek_cupsd_backends=ipp && zek_cupsd_start "$2/desktop$3" /bin/true &&
        lpadmin -p ZEK -E -v "ipp://$4:631/printers/ZEK" -m everywhere' \
        zek-desktop "$zek_cupsd_script" "$zek_lan_dir" "$1" "$zek_lan_server_address"
}

zek_lan_print() {
    zek_lan_in "$zek_lan_prefix-d$1" sh -c '
        mount --bind "$1/passwd" /etc/passwd && mount --bind "$1/group" /etc/group &&
        exec setpriv --reuid 5001 --regid 5001 --clear-groups env CUPS_SERVER="$1/desktop$2/cups.sock" \
            lp -d ZEK ${4:+-t "$4"} "$3"' zek-print "$zek_lan_dir" "$1" "$2" "${3:-}"
}

zek_lan_down() {
    for pidfile in "$zek_lan_dir"/server/state/cupsd.pid "$zek_lan_dir"/desktop*/state/cupsd.pid; do
        [ -f "$pidfile" ] && kill -TERM "$(cat "$pidfile")" 2>/dev/null
    done
    sleep 0.5
    for ns in $(ip netns list | cut -d' ' -f1 | grep "^$zek_lan_prefix-"); do
        ip netns pids "$ns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
        ip netns delete "$ns"
    done
}
