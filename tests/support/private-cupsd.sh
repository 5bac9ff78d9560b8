# Sourced by tests: a private cupsd with its own configuration, socket, spool
# and logs under a directory of the test's, running the project's backend.
#
#   zek_cupsd_start DIR BACKEND   start it; exports CUPS_SERVER (its socket)
#     zek_cupsd_socket=PATH            its socket (default DIR/cups.sock)
#     zek_cupsd_listen="ADDRESS:PORT"  also listen there and share queues
#     zek_cupsd_backends="ipp ..."     also offer these backends of the machine's
#     zek_cupsd_filters=DIR            also offer the filters in DIR (the queue's
#                                      own: packaging/cups/filter, or as installed)
#   zek_cupsd_stop                stop it (safe to call twice)
#   zek_cupsd_log                 print its error log
#
# DIR must lie outside /var/spool when the test hides /var/spool behind a
# tmpfs. Needs root: the backend must be owned by root to run as root.

zek_cupsd_dir=""

zek_cupsd_start() {
    zek_cupsd_dir=$1 backend=$2
    mkdir -p "$zek_cupsd_dir"/etc/ppd "$zek_cupsd_dir"/etc/ssl "$zek_cupsd_dir"/lib/backend \
        "$zek_cupsd_dir"/spool "$zek_cupsd_dir"/cache "$zek_cupsd_dir"/state "$zek_cupsd_dir"/log
    # Filters run as lp and must reach the spool.
    chmod 0755 "$zek_cupsd_dir"
    for sub in cgi-bin daemon driver monitor notifier; do
        ln -sfn /usr/lib/cups/$sub "$zek_cupsd_dir/lib/$sub"
    done
    # The machine's filters and the queue's own, side by side as once installed.
    # Copied, not linked: CUPS runs only filters that nobody but root can change.
    rm -rf "$zek_cupsd_dir/lib/filter"
    mkdir -m 0755 "$zek_cupsd_dir/lib/filter"
    ln -s /usr/lib/cups/filter/* "$zek_cupsd_dir/lib/filter/"
    if [ -n "${zek_cupsd_filters:-}" ]; then
        for filter in "$zek_cupsd_filters"/*; do
            rm -f "$zek_cupsd_dir/lib/filter/${filter##*/}"
            install -o root -g root -m 0755 "$filter" "$zek_cupsd_dir/lib/filter/" || return 1
        done
    fi
    # Copied, not linked: CUPS runs a backend as root only when the file
    # itself is owned by root with mode 0700.
    install -o root -g root -m 0700 "$backend" "$zek_cupsd_dir/lib/backend/zekprinter"
    cp /etc/cups/raw.types /etc/cups/raw.convs "$zek_cupsd_dir/etc/" 2>/dev/null || true
    for name in ${zek_cupsd_backends:-}; do
        ln -sfn "/usr/lib/cups/backend/$name" "$zek_cupsd_dir/lib/backend/$name"
    done
    sharing=""
    [ -n "${zek_cupsd_listen:-}" ] && sharing="Listen $zek_cupsd_listen
DefaultShared Yes"

    cat >"$zek_cupsd_dir/cups-files.conf" <<CONF
ServerRoot $zek_cupsd_dir/etc
ServerBin $zek_cupsd_dir/lib
RequestRoot $zek_cupsd_dir/spool
CacheDir $zek_cupsd_dir/cache
StateDir $zek_cupsd_dir/state
ErrorLog $zek_cupsd_dir/log/error_log
AccessLog $zek_cupsd_dir/log/access_log
PageLog $zek_cupsd_dir/log/page_log
Printcap $zek_cupsd_dir/printcap
SystemGroup root
User lp
Group lp
CONF
    socket=${zek_cupsd_socket:-$zek_cupsd_dir/cups.sock}
    cat >"$zek_cupsd_dir/cupsd.conf" <<CONF
LogLevel debug
Listen $socket
$sharing
Browsing Off
WebInterface No
JobRetryInterval 5
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
    cupsd -c "$zek_cupsd_dir/cupsd.conf" -s "$zek_cupsd_dir/cups-files.conf" || return 1
    export CUPS_SERVER="$socket"
    tries=0
    until lpstat -r 2>/dev/null | grep -q "is running"; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || { echo "private cupsd did not come up" >&2; zek_cupsd_log; return 1; }
        sleep 0.1
    done
}

zek_cupsd_stop() {
    [ -n "$zek_cupsd_dir" ] && [ -f "$zek_cupsd_dir/state/cupsd.pid" ] || return 0
    pid=$(cat "$zek_cupsd_dir/state/cupsd.pid")
    kill -TERM "$pid" 2>/dev/null || true
    # Wait for it to go, so that its files can be removed.
    tries=0
    while kill -0 "$pid" 2>/dev/null && [ $tries -lt 100 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
    rm -f "$zek_cupsd_dir/state/cupsd.pid"
}

zek_cupsd_log() {
    [ -n "$zek_cupsd_dir" ] && cat "$zek_cupsd_dir/log/error_log" 2>/dev/null
}
