#!/bin/sh
# Real mDNS for discovery tests: two network namespaces, a and b, joined by a
# veth pair, each with a dbus-daemon and an avahi-daemon of its own. Configs,
# sockets, pid files and logs all live under DIR.
#
#   avahi-netns.sh up DIR            start both sides; wait until both
#                                    avahi-daemons have their host names
#   avahi-netns.sh exec DIR a|b CMD  run CMD in that namespace, on its bus
#   avahi-netns.sh logs DIR          print the daemons' logs
#   avahi-netns.sh down DIR          stop what up started, drop the
#                                    namespaces; safe to repeat, and after
#                                    an up that failed halfway
#
# up writes DIR/env, to be sourced:
#   ZEK_NS_A, ZEK_NS_B          namespace names (ip netns exec)
#   ZEK_BUS_A, ZEK_BUS_B        DBUS_SYSTEM_BUS_ADDRESS of each side
#   ZEK_IF_A, ZEK_IF_B          the veth ends
#   ZEK_ADDR_A, ZEK_ADDR_B      their IPv4 link-local addresses
#   ZEK_ADDR6_A, ZEK_ADDR6_B    their IPv6 link-local addresses
#   ZEK_HOST_A, ZEK_HOST_B      avahi host names (without .local)
#
# A client needs only the bus to browse and resolve; to connect to what it
# found it must run in the other namespace. up exits 77 (skipped) where this
# cannot run: not root, a tool missing, or no network namespaces allowed.
# DIR must not lie under /run, which each avahi-daemon gets a private one of.

usage() {
    echo "usage: $0 up|down|logs DIR | exec DIR a|b CMD..." >&2
    exit 2
}

skip() {
    echo "skipped: $*" >&2
    exit 77
}

# PID is there and not a zombie. Its command line is not looked at: while it
# execs its way from ip to sh to the daemon, it may read empty.
is_alive() {
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
    [ -n "$state" ] && [ "$state" != Z ]
}

# PID is alive and its command line mentions MARK: a pid file may outlive its
# process and the number be reused.
is_ours() {
    [ -r "/proc/$1/cmdline" ] && is_alive "$1" &&
        { tr '\0' ' ' <"/proc/$1/cmdline"; } 2>/dev/null | grep -qF -- "$2"
}

stop_pid() { # stop_pid PIDFILE MARK
    [ -f "$1" ] || return 0
    pid=$(cat "$1")
    if [ -n "$pid" ] && is_ours "$pid" "$2"; then
        kill -TERM "$pid" 2>/dev/null
        tries=0
        while is_ours "$pid" "$2" && [ $tries -lt 50 ]; do
            tries=$((tries + 1))
            sleep 0.1
        done
        ! is_ours "$pid" "$2" || kill -KILL "$pid" 2>/dev/null
    fi
    rm -f "$1"
}

print_logs() {
    for log in "$dir"/a/dbus.log "$dir"/a/avahi.log "$dir"/b/dbus.log "$dir"/b/avahi.log; do
        [ -f "$log" ] || continue
        echo "==== $log" && cat "$log"
    done
}

do_down() {
    [ -f "$dir/env" ] || return 0
    # shellcheck source=/dev/null
    . "$dir/env"
    for side in a b; do
        stop_pid "$dir/$side/avahi.pid" "$dir/$side/avahi-daemon.conf"
        stop_pid "$dir/$side/dbus.pid" "$dir/$side/dbus.conf"
        rm -f "$dir/$side/bus.sock"
    done
    # The veth pair goes with either namespace.
    for ns in "$ZEK_NS_A" "$ZEK_NS_B"; do
        if [ -n "$ns" ] && [ -e "/run/netns/$ns" ]; then
            ip netns del "$ns" || return 1
        fi
    done
    rm -f "$dir/env"
}

# Tears down first: the caller may stop reading before the logs end.
fail() {
    do_down
    echo "avahi-netns: $*" >&2
    print_logs >&2
    exit 1
}

# await PIDFILE CMD...: waits up to ten seconds for CMD to succeed, giving up
# early once the daemon in PIDFILE has gone.
await() {
    pidfile=$1
    shift
    tries=0
    until "$@" >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] && is_alive "$(cat "$pidfile")" || return 1
        sleep 0.1
    done
}

bus_call() {
    DBUS_SYSTEM_BUS_ADDRESS=$1 dbus-send --system --print-reply=literal "$2" "$3" "$4"
}

avahi_running() {
    # 2 is the server state "running": the host name is established.
    [ "$(bus_call "$1" --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState 2>/dev/null |
        tr -d ' ')" = int322 ]
}

write_configs() { # write_configs SIDE HOST IFNAME
    side=$1 host=$2 ifname=$3
    mkdir -p "$dir/$side"
    # Test only: anyone on this bus may own and call anything.
    cat >"$dir/$side/dbus.conf" <<CONF
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/$side/bus.sock</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
    # Wide-area off: nothing but mDNS on the veth.
    cat >"$dir/$side/avahi-daemon.conf" <<CONF
[server]
host-name=$host
domain-name=local
use-ipv4=yes
use-ipv6=yes
allow-interfaces=$ifname
enable-dbus=yes

[wide-area]
enable-wide-area=no

[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no

[reflector]
enable-reflector=no
CONF
}

setup_link() { # setup_link NS IFNAME ADDR
    ns=$1 ifname=$2 addr=$3
    ip -n "$ns" link set lo up || return 1
    # Without duplicate address detection the IPv6 link-local address is
    # usable at once, so avahi announces on both families from the start.
    if [ -d /proc/sys/net/ipv6 ]; then
        ip netns exec "$ns" sh -c "echo 0 >/proc/sys/net/ipv6/conf/$ifname/accept_dad" || return 1
    fi
    ip -n "$ns" addr add "$addr/16" dev "$ifname" || return 1
    ip -n "$ns" link set "$ifname" up
}

start_dbus() { # start_dbus SIDE NS
    ip netns exec "$2" dbus-daemon --nofork --nopidfile --config-file="$dir/$1/dbus.conf" \
        </dev/null >"$dir/$1/dbus.log" 2>&1 &
    echo $! >"$dir/$1/dbus.pid"
    await "$dir/$1/dbus.pid" bus_call "unix:path=$dir/$1/bus.sock" \
        --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId ||
        fail "dbus-daemon in $2 did not come up"
}

start_avahi() { # start_avahi SIDE NS
    side=$1 ns=$2 bus="unix:path=$dir/$1/bus.sock"
    # ip netns exec gives a mount namespace of its own: a private /run keeps
    # the pid file and socket apart from any avahi-daemon of the machine's,
    # and the machine's static services and hosts stay out of the test.
    # shellcheck disable=SC2016 # $1 is for the inner shell
    DBUS_SYSTEM_BUS_ADDRESS=$bus ip netns exec "$ns" sh -c '
        mount -t tmpfs -o mode=0755 zek-avahi-run /run || exit 1
        if [ -d /etc/avahi/services ]; then
            mount -t tmpfs -o mode=0755 zek-avahi-services /etc/avahi/services || exit 1
        fi
        if [ -f /etc/avahi/hosts ]; then
            mount --bind /dev/null /etc/avahi/hosts || exit 1
        fi
        exec avahi-daemon -f "$1" --no-drop-root --no-chroot --no-rlimits --no-proc-title --debug
    ' zek-avahi "$dir/$side/avahi-daemon.conf" </dev/null >"$dir/$side/avahi.log" 2>&1 &
    echo $! >"$dir/$side/avahi.pid"
}

link_local6() {
    ip -n "$1" -6 -o addr show dev "$2" scope link 2>/dev/null |
        sed -n 's/.* inet6 \([^/]*\)\/.*/\1/p' | head -n 1
}

do_up() {
    [ "$(id -u)" = 0 ] || skip "needs root for network namespaces"
    for tool in ip dbus-daemon dbus-send avahi-daemon; do
        command -v "$tool" >/dev/null || skip "$tool is missing"
    done
    case $dir in
        /run | /run/*) fail "$dir lies under /run, which avahi-daemon gets a private one of" ;;
    esac
    # D-Bus addresses and socket paths: keep to plain characters and short.
    case $dir in
        *[!A-Za-z0-9_./-]*) fail "$dir: only letters, digits and _ . / - please" ;;
    esac
    [ ${#dir} -le 90 ] || fail "$dir: too long for a socket path"
    if [ -f "$dir/env" ]; then
        # shellcheck source=/dev/null
        . "$dir/env"
        if [ -e "/run/netns/$ZEK_NS_A" ] || [ -e "/run/netns/$ZEK_NS_B" ]; then
            echo "avahi-netns: already up in $dir; run down first" >&2
            exit 1
        fi
    fi

    id=$$
    ns_a=zek-mdns-$id-a ns_b=zek-mdns-$id-b if_a=zekmd${id}a if_b=zekmd${id}b
    addr_a=169.254.77.1 addr_b=169.254.77.2 host_a=zekhosta host_b=zekhostb
    if [ -e "/run/netns/$ns_a" ] || [ -e "/run/netns/$ns_b" ]; then
        echo "avahi-netns: namespace $ns_a or $ns_b left over; remove it" >&2
        exit 1
    fi

    # Written first, so that down finds whatever gets made.
    cat >"$dir/env" <<ENV
ZEK_NS_A='$ns_a'
ZEK_NS_B='$ns_b'
ZEK_BUS_A='unix:path=$dir/a/bus.sock'
ZEK_BUS_B='unix:path=$dir/b/bus.sock'
ZEK_IF_A='$if_a'
ZEK_IF_B='$if_b'
ZEK_ADDR_A='$addr_a'
ZEK_ADDR_B='$addr_b'
ZEK_HOST_A='$host_a'
ZEK_HOST_B='$host_b'
ENV

    if ! ip netns add "$ns_a" 2>/dev/null; then
        do_down
        skip "ip netns add is not permitted here"
    fi
    ip netns add "$ns_b" || fail "cannot add namespace $ns_b"
    if ! ip netns exec "$ns_a" sh -c 'mount -t tmpfs zek-probe /run' 2>/dev/null; then
        do_down
        skip "cannot mount in a namespace's own mount namespace"
    fi
    # Made inside the namespaces, so the machine never sees the pair.
    ip link add "$if_a" netns "$ns_a" type veth peer name "$if_b" netns "$ns_b" ||
        fail "cannot add the veth pair"
    setup_link "$ns_a" "$if_a" "$addr_a" || fail "cannot set up $if_a"
    setup_link "$ns_b" "$if_b" "$addr_b" || fail "cannot set up $if_b"

    write_configs a "$host_a" "$if_a"
    write_configs b "$host_b" "$if_b"
    start_dbus a "$ns_a"
    start_dbus b "$ns_b"
    start_avahi a "$ns_a"
    start_avahi b "$ns_b"
    for side in a b; do
        await "$dir/$side/avahi.pid" avahi_running "unix:path=$dir/$side/bus.sock" ||
            fail "avahi-daemon of side $side is not running"
    done

    cat >>"$dir/env" <<ENV
ZEK_ADDR6_A='$(link_local6 "$ns_a" "$if_a")'
ZEK_ADDR6_B='$(link_local6 "$ns_b" "$if_b")'
ENV
}

do_exec() {
    [ -f "$dir/env" ] || { echo "avahi-netns: not up in $dir" >&2; exit 1; }
    # shellcheck source=/dev/null
    . "$dir/env"
    case $1 in
        a) ns=$ZEK_NS_A bus=$ZEK_BUS_A ;;
        b) ns=$ZEK_NS_B bus=$ZEK_BUS_B ;;
        *) usage ;;
    esac
    shift
    [ $# -gt 0 ] || usage
    DBUS_SYSTEM_BUS_ADDRESS=$bus exec ip netns exec "$ns" "$@"
}

[ $# -ge 2 ] || usage
cmd=$1 dir=$2
shift 2
case $cmd in
    up | down | logs) [ $# -eq 0 ] || usage ;;
    exec) [ $# -ge 1 ] || usage ;;
    *) usage ;;
esac
if [ "$cmd" = up ]; then mkdir -p "$dir" || exit 1; fi
if [ "$cmd" = down ] && [ ! -d "$dir" ]; then exit 0; fi
dir=$(cd "$dir" && pwd -P) || exit 1
case $cmd in
    up) do_up ;;
    down) do_down ;;
    logs) print_logs ;;
    exec) do_exec "$@" ;;
esac
