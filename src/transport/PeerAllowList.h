// Who may reach this desktop over the network. In Wi-Fi mode every server
// (frames, input, both previews) listens on the LAN; a connection from
// anywhere but loopback (adb reverse tunnels arrive there) or the address of
// a device this daemon set up is refused at accept.
//
// The engine fills the list as Wi-Fi sessions start (the address in each
// network adb serial, and the address DNS-SD resolved for a device it then
// connected to), takes a device's address out when its session stops and
// empties it when mirroring stops; listeners consult it on each connection,
// and when an address leaves, every listener made with listenerOptions()
// closes the connections it accepted from that address. Any thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "runtime/Asio.h"
#include "transport/ListenSocket.h"

namespace qb {

class PeerAllowList {
public:
    PeerAllowList() = default;
    // Tests refuse loopback to see a refusal without a second host.
    explicit PeerAllowList(bool allowLoopback) : allowLoopback_(allowLoopback) {}

    // Loopback (IPv4, IPv6, IPv4-mapped IPv6) always; otherwise only listed
    // addresses (an IPv4-mapped peer matches its IPv4 entry).
    bool allows(const asio::ip::address& peer) const;
    void allow(const asio::ip::address& address);
    // The address (and its v4-mapped form) is refused from now on, and so
    // are connections already open from it.
    void remove(const asio::ip::address& address);
    void clear();

    const std::shared_ptr<PeerRuleWatchers>& watchers() const { return watchers_; }

private:
    mutable std::mutex lock_;
    std::vector<asio::ip::address> allowed_;
    const bool allowLoopback_ = true;
    const std::shared_ptr<PeerRuleWatchers> watchers_ = std::make_shared<PeerRuleWatchers>();
};

// A listener's options for `peers`: the check at accept and the watch that
// closes connections whose peer leaves the list. For null: everyone served.
ListenerOptions listenerOptions(std::shared_ptr<const PeerAllowList> peers, std::chrono::milliseconds acceptRetryDelay);

// The form addresses are compared in: IPv4 for a v4-mapped address, no
// IPv6 interface scope.
asio::ip::address comparableAddress(const asio::ip::address& address);

// The address part of an adb network serial ("192.168.1.5:5555",
// "[fe80::1]:5555"); nothing for a USB or mDNS serial.
std::optional<asio::ip::address> deviceAddressFromSerial(std::string_view serial);

} // namespace qb
