#!/bin/sh
# Runs a test program on a private LAN of three network namespaces (made as
# an unprivileged user namespace's root), joined by veth pairs on a bridge:
#
#   this host   192.0.2.1  / 2001:db8::1   (the program runs here: the daemon's side)
#   "tablet"    192.0.2.20 / 2001:db8::20  QB_LAN_TABLET_NS   names its namespace
#   "stranger"  192.0.2.66 / 2001:db8::66  QB_LAN_STRANGER_NS names its namespace
#
# The program reaches the others' namespaces by opening those paths (setns).
# Exits 77 (CTest's skip code here) when the namespaces cannot be made.
#
#   lan-namespace.sh <test program> [arguments...]
set -u
skip() { echo "SKIP: $1"; exit 77; }
if [ "${QB_LAN_INNER:-}" != 1 ]; then
    command -v unshare >/dev/null 2>&1 && command -v ip >/dev/null 2>&1 || skip "needs unshare and ip"
    unshare --map-root-user --net true 2>/dev/null || skip "cannot create a user and network namespace here"
    QB_LAN_INNER=1 exec unshare --map-root-user --net sh "$0" "$@"
fi
ip link set lo up || skip "cannot bring up lo"
ip link add lan type bridge && ip link set lan up || skip "cannot make a bridge"
ip addr add 192.0.2.1/24 dev lan && ip -6 addr add 2001:db8::1/64 dev lan nodad || skip "cannot add addresses"

holders=""
trap 'kill $holders 2>/dev/null' EXIT
# One namespace per peer, held open by a sleeping process.
peer() { # name host-number; sets $namespace
    unshare --net sleep 600 </dev/null >/dev/null 2>&1 &
    pid=$!
    holders="$holders $pid"
    # unshare needs a moment to enter its namespace.
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        [ "$(readlink /proc/$pid/ns/net)" != "$(readlink /proc/$$/ns/net)" ] && break
        sleep 0.1
    done
    ip link add "$1" type veth peer name eth0 netns "$pid" || skip "cannot make veth pairs"
    ip link set "$1" master lan up
    nsenter --net="/proc/$pid/ns/net" sh -c "
        ip link set lo up && ip link set eth0 up &&
        ip addr add 192.0.2.$2/24 dev eth0 && ip -6 addr add 2001:db8::$2/64 dev eth0 nodad" \
        || skip "cannot set up the $1 namespace"
    namespace="/proc/$pid/ns/net"
}
peer tablet 20 && tablet=$namespace
peer stranger 66 && stranger=$namespace
QB_LAN_NAMESPACE=1 QB_LAN_TABLET_NS="$tablet" QB_LAN_STRANGER_NS="$stranger" "$@"
