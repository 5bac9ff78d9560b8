#!/bin/sh
# zek-discover against real mDNS: devices published in one network namespace,
# discovery run in the other (avahi-netns.sh), then once more with no daemon.
# Then an upload to a device known only by its ".local" name, which only DNS-SD resolves here.
#   zek-discover-test.sh zek-discover zek-upload zek-device-sim
set -u
discover=$1 upload=$2 simulator=$3
here=$(cd "$(dirname "$0")" && pwd)
netns="$here/../support/avahi-netns.sh"
. "$here/../support/checks.sh"

work=$(mktemp -d /tmp/zek-discover.XXXXXX)
publishers=""
cleanup() {
    for pid in $publishers; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    [ "$failures" -eq 0 ] || "$netns" logs "$work/mdns" >&2
    "$netns" down "$work/mdns"
    rm -rf "$work"
}
trap cleanup EXIT

"$netns" up "$work/mdns" || exit $?
# shellcheck disable=SC1091 # written by up
. "$work/mdns/env"

has_line() { grep -qxF -- "$2" "$1"; }
count_lines() { grep -cxF -- "$2" "$1"; }

publish() { # publish a|b NAME PORT [TXT...]
    side=$1
    shift
    "$netns" exec "$work/mdns" "$side" avahi-publish-service "$1" _http._tcp "$2" ${3:+"$3"} \
        >>"$work/publish.log" 2>&1 &
    publishers="$publishers $!"
}

# Waits until side b sees every name given, over both IPv4 and IPv6.
await_names() {
    tries=0
    while [ $tries -lt 15 ]; do
        # Each look takes about a second, until Avahi's "all for now".
        "$netns" exec "$work/mdns" b avahi-browse -ptk _http._tcp >"$work/seen" 2>/dev/null
        missing=0
        for name in "$@"; do
            [ "$(grep -cF ";$name;_http._tcp;" "$work/seen")" -ge 2 ] || missing=1
        done
        [ $missing -eq 0 ] && return 0
        tries=$((tries + 1))
    done
    printf 'side b never saw: %s\n' "$*" >&2
    cat "$work/seen" "$work/publish.log" >&2
    return 1
}

publish a 'quil Laser (2)' 8002 qwe=two
publish a 'quil Laser (10)' 8010 qwe=ten
publish a 'QUIL Big' 8100 qwe=big
publish a 'Office Printer' 631 qwe=office
# avahi-browse writes names escaped: space \032, ( \040, ) \041, # \035.
await_names 'quil\032Laser\032\0402\041' 'quil\032Laser\032\04010\041' 'QUIL\032Big' \
    'Office\032Printer' || exit 1
# The same name from the other host: its daemon renames it "QUIL Big #2", which
# is another device, not a number in parentheses.
publish b 'QUIL Big' 8101
await_names 'QUIL\032Big\032\0352' || exit 1

# 1. Real devices.
"$netns" exec "$work/mdns" b "$discover" 4 >"$work/out" 2>"$work/err"
status=$?
check "zek-discover exits 0 (was $status)" [ $status -eq 0 ]
out="$work/out"
for line in 'Starting Domains searching' 'Domains did found: [local.]' \
    'Filtered Domains: [local.]' \
    "Starting Services searching of type '_http._tcp.' in domain 'local.'"; do
    check "log line: $line" has_line "$out" "$line"
done
# One report per service, although each came over IPv4 and IPv6.
found=$(sed -n 's/^Services did found: \[\(.*\)\]$/\1/p' "$out" | tr ',' '\n' | sed 's/^ //' | sort)
expected=$(printf '%s\n' 'Office Printer' 'QUIL Big' 'QUIL Big #2' 'quil Laser (10)' \
    'quil Laser (2)' | sort)
check "each service found once: $(echo "$found" | tr '\n' '|')" [ "$found" = "$expected" ]
chosen=$(sed -n 's/^Filtered Services: \[\(.*\)\]$/\1/p' "$out" | tr ',' '\n' | sed 's/^ //' | sort)
expected=$(printf '%s\n' 'QUIL Big' 'QUIL Big #2' 'quil Laser (10)' | sort)
check "devices chosen: $(echo "$chosen" | tr '\n' '|')" [ "$chosen" = "$expected" ]
host_a="$ZEK_HOST_A.local."
host_b="$ZEK_HOST_B.local."
check "resolution logged" has_line "$out" \
    "Service resolved: {name: quil Laser (10), domain: local., hostname: $host_a, port: 8010, ip: $ZEK_ADDR_A}"
check "resolution logged" has_line "$out" \
    "Service resolved: {name: QUIL Big, domain: local., hostname: $host_a, port: 8100, ip: $ZEK_ADDR_A}"
check "resolution logged" has_line "$out" \
    "Service resolved: {name: QUIL Big #2, domain: local., hostname: $host_b, port: 8101, ip: $ZEK_ADDR_B}"
tab=$(printf '\t')
check "device line" has_line "$out" "quil Laser (10)$tab$host_a$tab$ZEK_ADDR_A${tab}8010${tab}ten"
check "device line" has_line "$out" "QUIL Big$tab$host_a$tab$ZEK_ADDR_A${tab}8100${tab}big"
check "device line" has_line "$out" "QUIL Big #2$tab$host_b$tab$ZEK_ADDR_B${tab}8101$tab"
check "three device lines" [ "$(grep -c "$tab" "$out")" -eq 3 ]
check "each log line once" [ "$(count_lines "$out" 'Filtered Domains: [local.]')" -eq 1 ]
check "nothing on standard error" [ ! -s "$work/err" ]

# 2. A device known by its ".local" name: no mDNS name service here, so the uploader asks DNS-SD
# for the address and sends the job there, under the name.
"$netns" exec "$work/mdns" a python3 "$simulator" --host "$ZEK_ADDR_A" --port 0 \
    --dir "$work/received" >"$work/sim.out" 2>"$work/sim.log" &
publishers="$publishers $!"
tries=0
until grep -q '^PORT ' "$work/sim.out" || [ $tries -ge 100 ]; do
    tries=$((tries + 1))
    sleep 0.1
done
port=$(sed -n 's/^PORT //p' "$work/sim.out")
printf '%%PDF-1.4\n%% by name\n%%%%EOF\n' >"$work/job.pdf"
"$netns" exec "$work/mdns" b "$upload" "$work/job.pdf" \
    "http://$ZEK_HOST_A.local:$port/api/laser/json/print/pdf" >"$work/out" 2>&1
status=$?
check "an upload to $ZEK_HOST_A.local reaches the device (status $status)" [ $status -eq 0 ]
check "the device has it" grep -q 'by name' "$work/received/1.pdf"

# 3. No daemon, no bus: "local." all the same, nothing found, one system log line.
DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus.sock" "$discover" 3 >"$work/out" 2>"$work/err"
status=$?
check "zek-discover without a daemon exits 0 (was $status)" [ $status -eq 0 ]
expected=$(printf '%s\n' 'Starting Domains searching' 'Domains did found: [local.]' \
    'Filtered Domains: [local.]' \
    "Starting Services searching of type '_http._tcp.' in domain 'local.'" \
    'No Services found by timeout' 'Filtered Services: []')
check "log without a daemon: $(tr '\n' '|' <"$work/out")" [ "$(cat "$work/out")" = "$expected" ]
check "one system log line: $(cat "$work/err")" \
    [ "$(grep -c 'DNS-SD is not available' "$work/err")" -eq 1 ] && [ "$(wc -l <"$work/err")" -eq 1 ]

if [ $failures -ne 0 ]; then
    echo "--- zek-discover output" >&2
    cat "$work/out" "$work/err" >&2
    exit 1
fi
echo "zek-discover: all checks passed"
