#!/bin/sh
# Runs a test program beside a private avahi-daemon that sees only the
# loopback interface: a new network, mount and PID namespace with its own
# D-Bus system bus (tmpfs over /run/dbus and /run/avahi-daemon). Nothing
# multicasts on a real interface, and every daemon dies with the namespace.
# Exits 77 (CTest's skip code here) when the namespace cannot be set up.
#
#   avahi-namespace.sh <test program> [arguments...]
set -u

if [ "${QB_AVAHI_INNER:-}" != 1 ]; then
    for tool in unshare ip dbus-daemon avahi-daemon; do
        command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
    done
    unshare --net --mount --pid --fork --kill-child true 2>/dev/null \
        || { echo "SKIP: cannot create network, mount and PID namespaces here"; exit 77; }
    QB_AVAHI_INNER=1 unshare --net --mount --pid --fork --kill-child sh "$0" "$@"
    exit $?
fi

skip() { echo "SKIP: $*"; exit 77; }
mount --make-rprivate / || skip "cannot make mounts private"
# /proc of this PID namespace, so its processes see themselves there (the
# leak checker of a sanitizer build reads its own threads from it).
mount -t proc proc /proc || skip "cannot mount /proc"
mkdir -p /run/dbus /run/avahi-daemon
mount -t tmpfs tmpfs /run/dbus || skip "cannot mount /run/dbus"
mount -t tmpfs tmpfs /run/avahi-daemon || skip "cannot mount /run/avahi-daemon"
ip link set lo up || skip "cannot bring up lo"
dbus-daemon --system --fork || skip "dbus-daemon did not start"
avahi-daemon --no-drop-root --daemonize || skip "avahi-daemon did not start"
tries=0
until avahi-daemon --check 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -gt 100 ] && skip "avahi-daemon is not answering"
    sleep 0.05
done

QB_AVAHI_NAMESPACE=1 "$@"
status=$?
avahi-daemon --kill 2>/dev/null
exit $status
