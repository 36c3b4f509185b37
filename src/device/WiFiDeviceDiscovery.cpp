#include "device/WiFiDeviceDiscovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include <fmt/format.h>

#include "diagnostics/SMLog.h"

namespace qb {

std::shared_ptr<WiFiDeviceDiscovery> WiFiDeviceDiscovery::make(std::shared_ptr<DnsSd> dnsSd)
{
    return make(std::move(dnsSd), Timing{});
}

std::shared_ptr<WiFiDeviceDiscovery> WiFiDeviceDiscovery::make(std::shared_ptr<DnsSd> dnsSd, Timing timing)
{
    return std::shared_ptr<WiFiDeviceDiscovery>(new WiFiDeviceDiscovery(std::move(dnsSd), timing));
}

WiFiDeviceDiscovery::WiFiDeviceDiscovery(std::shared_ptr<DnsSd> dnsSd, Timing timing)
    : dnsSd_(std::move(dnsSd)), timing_(timing)
{
}

void WiFiDeviceDiscovery::start()
{
    if (browser_) return;
    std::weak_ptr<WiFiDeviceDiscovery> weak = weak_from_this();
    DnsSd::BrowseHandlers handlers;
    handlers.found = [weak](const DnsSdService& service) {
        if (auto self = weak.lock()) self->serviceFound(service);
    };
    handlers.removed = [weak](const DnsSdService& service) {
        if (auto self = weak.lock()) self->serviceRemoved(service);
    };
    handlers.failed = [weak](const std::string& error) {
        if (auto self = weak.lock()) self->searchFailed(error);
    };
    browser_ = dnsSd_->browse(serviceType, domain, std::move(handlers));
    SMLog::wifi().info("Started browsing for " + serviceType + " devices");
}

void WiFiDeviceDiscovery::stop()
{
    if (browser_) browser_->cancel();
    browser_.reset();
    for (auto& [service, resolution] : resolving_) {
        if (resolution) resolution->cancel();
    }
    resolving_.clear();
    discoveredIPs_.clear();
    SMLog::wifi().info("Stopped browsing for devices");
}

void WiFiDeviceDiscovery::serviceFound(const DnsSdService& service)
{
    SMLog::wifi().info("Found service: " + service.name + " — resolving...");
    std::weak_ptr<WiFiDeviceDiscovery> weak = weak_from_this();
    DnsSd::ResolveHandlers handlers;
    handlers.resolved = [weak, service](const DnsSdResolution& resolution) {
        if (auto self = weak.lock()) self->addressResolved(service, resolution);
    };
    handlers.failed = [weak, service](const std::string& error) {
        if (auto self = weak.lock()) self->resolutionFailed(service, error);
    };
    // Kept in the list first: a resolution may answer before resolve() returns.
    resolving_.emplace_back(service, nullptr);
    auto resolution = dnsSd_->resolve(service, timing_.resolveTimeout, std::move(handlers));
    for (auto& entry : resolving_) {
        if (entry.first == service && !entry.second) entry.second = resolution;
    }
}

void WiFiDeviceDiscovery::serviceRemoved(const DnsSdService& service)
{
    SMLog::wifi().info("Lost service: " + service.name);
    forget(service);
    if (onDeviceLost) onDeviceLost(service.name);
}

void WiFiDeviceDiscovery::searchFailed(const std::string& error)
{
    SMLog::wifi().error("Browse failed: " + error);
    // The search has ended: a later start() browses anew.
    browser_.reset();
}

void WiFiDeviceDiscovery::addressResolved(const DnsSdService& service, const DnsSdResolution& resolution)
{
    if (!resolution.addresses) {
        forget(service);
        return;
    }
    // The first IPv4 address, else the first IPv6 one (an IPv6-only network).
    std::string ip;
    for (const int family : {AF_INET, AF_INET6}) {
        for (const auto& address : *resolution.addresses) {
            if (address.size() < 16 || !ip.empty()) continue;
            sockaddr_storage storage{};
            std::memcpy(&storage, address.data(), std::min(address.size(), sizeof storage));
            if (storage.ss_family != family) continue;
            char text[INET6_ADDRSTRLEN] = {};
            const void* raw = family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr)
                : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr);
            if (::inet_ntop(family, raw, text, sizeof text)) ip = text;
        }
    }
    if (!ip.empty()) {
        if (discoveredIPs_.contains(ip)) {
            SMLog::wifi().debug("Already discovered " + ip + " — skipping");
            forget(service);
            return;
        }
        discoveredIPs_.insert(ip);
        const std::uint16_t port = resolution.port;
        SMLog::wifi().info(fmt::format("Resolved {} → {}:{}", service.name, ip, port));
        // Forget the finished resolution before calling out: the callback may stop us.
        forget(service);
        if (onDeviceFound) onDeviceFound(ip, port, service.name);
        return;
    }
    forget(service);
}

void WiFiDeviceDiscovery::resolutionFailed(const DnsSdService& service, const std::string& error)
{
    SMLog::wifi().warn("Failed to resolve " + service.name + ": " + error);
    forget(service);
}

void WiFiDeviceDiscovery::forget(const DnsSdService& service)
{
    std::vector<std::shared_ptr<DnsSdOperation>> ended;
    std::erase_if(resolving_, [&](auto& entry) {
        if (!(entry.first == service)) return false;
        ended.push_back(std::move(entry.second));
        return true;
    });
    for (auto& op : ended) {
        if (op) op->cancel();
    }
}

} // namespace qb
