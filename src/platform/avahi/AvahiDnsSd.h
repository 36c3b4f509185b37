// DNS-SD through avahi-daemon (over D-Bus), the Linux counterpart of the
// system's service browser and publisher. One Avahi client runs on its own
// threaded poll; results are posted to the executor given at creation.
// Without a running daemon every operation fails with Avahi's own text
// ("Daemon not running"); the client is created again at the next operation,
// so a daemon started later is picked up.
#pragma once

#include <string>

#include "platform/DnsSd.h"

namespace qb {

std::shared_ptr<DnsSd> makeAvahiDnsSd(Executor deliverOn);

// Nothing when avahi-daemon answers on the system bus, else why not (naming
// the daemon and what to run). Blocks for a moment.
std::optional<std::string> avahiUnreachable();

// The user-given name of this computer: PRETTY_HOSTNAME of /etc/machine-info
// (what hostnamectl sets).
std::optional<std::string> readComputerName(const std::string& machineInfoPath = "/etc/machine-info");

} // namespace qb
