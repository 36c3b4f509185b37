// DNS-SD (multicast DNS service discovery): browse a service type in a
// domain, resolve a found service to its socket addresses and port, publish a
// service with a TXT record. The Wi-Fi discovery and the advertiser
// (src/device/) use it to find companion devices and to announce this host.
//
// Threads: every handler runs on the executor the DnsSd was made with (one
// thread, normally the main loop); operations are started and cancelled on
// that same executor. Once cancel() returns, no handler of that operation
// runs again. Dropping the last reference to an operation cancels it.
//
// Backends: Avahi (platform/avahi/, through avahi-daemon over D-Bus) for the
// real system, sim (platform/sim/SimDnsSd.h) for tests and demos.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/Asio.h"
#include "runtime/Timer.h"

namespace qb {

struct DnsSdService {
    std::string name;
    std::string type;   // "_quillbright-device._tcp."
    std::string domain; // "local."
    bool operator==(const DnsSdService&) const = default;
};

struct DnsSdResolution {
    // Socket addresses as the system delivers them (struct sockaddr_in or
    // sockaddr_in6 bytes, network byte order inside). Absent when the
    // resolution produced no address list at all.
    std::optional<std::vector<std::vector<std::uint8_t>>> addresses;
    std::uint16_t port = 0;
};

struct DnsSdRegistration {
    std::string name;
    std::string type;
    std::string domain; // empty: the default domains
    std::uint16_t port = 0;
    std::vector<std::pair<std::string, std::string>> txt;
};

class DnsSdOperation {
public:
    virtual ~DnsSdOperation() = default;
    virtual void cancel() = 0;
};

class DnsSd {
public:
    struct BrowseHandlers {
        std::function<void(const DnsSdService&)> found;
        std::function<void(const DnsSdService&)> removed;
        std::function<void(const std::string& error)> failed; // the search ended
    };
    struct ResolveHandlers {
        std::function<void(const DnsSdResolution&)> resolved;
        std::function<void(const std::string& error)> failed;
    };
    struct PublishHandlers {
        std::function<void(const std::string& name)> published; // the name actually registered
        std::function<void(const std::string& error)> failed;   // not published (collision, no daemon, ...)
        std::function<void()> stopped;                          // withdrawn by the system
    };

    virtual ~DnsSd() = default;

    virtual Executor executor() const = 0;
    virtual std::shared_ptr<DnsSdOperation> browse(const std::string& type, const std::string& domain,
        BrowseHandlers handlers) = 0;
    // Ends with exactly one of the two handlers, failing after `timeout`.
    virtual std::shared_ptr<DnsSdOperation> resolve(const DnsSdService& service, Duration timeout,
        ResolveHandlers handlers) = 0;
    virtual std::shared_ptr<DnsSdOperation> publish(const DnsSdRegistration& registration,
        PublishHandlers handlers) = 0;

    // The name the user gave this computer, when there is one.
    virtual std::optional<std::string> computerName() const = 0;
};

// A socket address (sockaddr_in / sockaddr_in6 bytes) for a numeric IPv4 or
// IPv6 address; nothing for any other text.
std::optional<std::vector<std::uint8_t>> socketAddressBytes(const std::string& address, std::uint16_t port);

// The numeric address a socket address (as resolved) holds; nothing for a
// family other than IPv4 and IPv6 or a short buffer.
std::optional<std::string> numericAddress(const std::vector<std::uint8_t>& socketAddress);

// PRETTY_HOSTNAME from the contents of /etc/machine-info (shell-style
// assignment, optionally quoted); nothing when absent or empty.
std::optional<std::string> prettyHostnameFromMachineInfo(std::string_view contents);

} // namespace qb
