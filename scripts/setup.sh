#!/bin/sh
# Installs the Debian packages of scripts/packages.txt (as root). Recommended
# packages are left out: some would start daemons that talk to the network.
set -eu
cd "$(dirname "$0")"
packages=$(grep -v -e '^#' -e '^$' packages.txt)
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # Daemons that come with the packages (avahi-daemon) must not start here:
    # they would talk to the machine's network. Tests start their own, in
    # network namespaces of their own.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        trap 'rm -f "$policy"' EXIT
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
    fi
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
fi
