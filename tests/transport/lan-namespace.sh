#!/bin/sh
# Runs a test program in a private network namespace (as an unprivileged
# user namespace's root) whose loopback interface also carries LAN addresses:
# the host 192.0.2.1 / 2001:db8::1, a tablet .20 / ::20 and a stranger
# .66 / ::66, so that peers arrive from addresses that are not loopback.
# Exits 77 (CTest's skip code here) when the namespace cannot be made.
#
#   lan-namespace.sh <test program> [arguments...]
set -u
if [ "${QB_LAN_INNER:-}" != 1 ]; then
    command -v unshare >/dev/null 2>&1 && command -v ip >/dev/null 2>&1 || { echo "SKIP: needs unshare and ip"; exit 77; }
    unshare --map-root-user --net true 2>/dev/null || { echo "SKIP: cannot create a user and network namespace here"; exit 77; }
    QB_LAN_INNER=1 exec unshare --map-root-user --net sh "$0" "$@"
fi
ip link set lo up || { echo "SKIP: cannot bring up lo"; exit 77; }
for host in 1 20 66; do
    ip addr add 192.0.2.$host/24 dev lo && ip -6 addr add 2001:db8::$host/64 dev lo nodad \
        || { echo "SKIP: cannot add addresses"; exit 77; }
done
QB_LAN_NAMESPACE=1 exec "$@"
