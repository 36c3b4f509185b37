#include "platform/LanAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

namespace qb {

namespace {

bool loopbackOrLinkLocal(std::string_view address)
{
    return address.starts_with("127.") || address.starts_with("169.254.");
}

} // namespace

std::optional<std::string> chooseLanAddress(const std::vector<InterfaceAddress>& addresses,
    std::string_view defaultRouteInterface, std::string_view configured)
{
    const auto on = [&](std::string_view name) -> std::optional<std::string> {
        for (const auto& entry : addresses) {
            if (entry.interface == name && !loopbackOrLinkLocal(entry.address)) return entry.address;
        }
        return std::nullopt;
    };
    if (!configured.empty()) return on(configured);
    if (!defaultRouteInterface.empty()) {
        if (auto address = on(defaultRouteInterface)) return address;
    }
    for (const auto& entry : addresses) {
        if (!loopbackOrLinkLocal(entry.address)) return entry.address;
    }
    return std::nullopt;
}

// Iface Destination Gateway Flags RefCnt Use Metric Mask ...: the default
// route has destination and mask 00000000 and the RTF_UP flag.
std::string defaultRouteInterface(std::string_view procNetRoute)
{
    std::istringstream lines{std::string(procNetRoute)};
    std::string line;
    std::getline(lines, line); // the header
    std::string best;
    unsigned long bestMetric = std::numeric_limits<unsigned long>::max();
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refs, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> refs >> use >> metric >> mask)) continue;
        if (destination != "00000000" || mask != "00000000") continue;
        unsigned long flagBits = 0;
        unsigned long metricValue = 0;
        if (std::from_chars(flags.data(), flags.data() + flags.size(), flagBits, 16).ec != std::errc()) continue;
        if ((flagBits & 0x1) == 0) continue; // not up
        if (std::from_chars(metric.data(), metric.data() + metric.size(), metricValue).ec != std::errc()) continue;
        if (best.empty() || metricValue < bestMetric) {
            best = name;
            bestMetric = metricValue;
        }
    }
    return best;
}

std::optional<std::string> lanAddress()
{
    std::vector<InterfaceAddress> addresses;
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) == 0) {
        for (ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
            if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) continue;
            char text[INET_ADDRSTRLEN] = {};
            const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (::inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text)) addresses.push_back({entry->ifa_name, text});
        }
        ::freeifaddrs(interfaces);
    }
    std::ifstream routes("/proc/net/route");
    std::stringstream table;
    table << routes.rdbuf();
    const char* configured = std::getenv(std::string(LAN_INTERFACE_VARIABLE).c_str());
    return chooseLanAddress(addresses, defaultRouteInterface(table.str()), configured ? configured : "");
}

} // namespace qb
