// Finds companion devices on the local network: browses DNS-SD for
// "_quillbright-device._tcp." in "local.", resolves each service found (10 s
// limit) and reports its first IPv4 address (else its first IPv6 one) and
// port once per address. Anyone on the network can advertise, so the engine
// connects adb only to a device set up on this computer
// (setUpOnThisComputer, PairedDevices.h) and ignores the rest; the adb serial
// ("ip:5555", "[v6]:5555") of a device connected names the address the
// servers then accept in Wi-Fi mode.
//
// An address once reported is not reported again until stop(): a device that
// leaves and comes back at the same address shows as lost, not found again.
//
// Threads: start(), stop() and every callback run on the DnsSd's executor
// (the main loop in the engine); nothing here is locked. Callbacks capture
// the discovery weakly through the DnsSd operations it owns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/DnsSd.h"

namespace qb {

class WiFiDeviceDiscovery : public std::enable_shared_from_this<WiFiDeviceDiscovery> {
public:
    struct Timing {
        Duration resolveTimeout = std::chrono::seconds(10);
    };

    static std::shared_ptr<WiFiDeviceDiscovery> make(std::shared_ptr<DnsSd> dnsSd);
    static std::shared_ptr<WiFiDeviceDiscovery> make(std::shared_ptr<DnsSd> dnsSd, Timing timing);

    void start();
    void stop();
    bool isBrowsing() const { return browser_ != nullptr; }
    size_t resolvingCount() const { return resolving_.size(); }

    std::function<void(const std::string& address, std::uint16_t port, const std::string& name)> onDeviceFound;
    std::function<void(const std::string& name)> onDeviceLost;

    const std::string serviceType = "_quillbright-device._tcp.";
    const std::string domain = "local.";

private:
    WiFiDeviceDiscovery(std::shared_ptr<DnsSd> dnsSd, Timing timing);

    void serviceFound(const DnsSdService& service);
    void serviceRemoved(const DnsSdService& service);
    void searchFailed(const std::string& error);
    void addressResolved(const DnsSdService& service, const DnsSdResolution& resolution);
    void resolutionFailed(const DnsSdService& service, const std::string& error);
    void forget(const DnsSdService& service);

    std::shared_ptr<DnsSd> dnsSd_;
    Timing timing_;
    std::shared_ptr<DnsSdOperation> browser_;
    // Services found and being resolved; each entry owns its resolution.
    std::vector<std::pair<DnsSdService, std::shared_ptr<DnsSdOperation>>> resolving_;
    std::set<std::string> discoveredIPs_;
};

} // namespace qb
