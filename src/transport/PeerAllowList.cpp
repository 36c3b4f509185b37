#include "transport/PeerAllowList.h"

#include <algorithm>
#include <string>

#include "transport/ListenSocket.h"

namespace qb {

namespace {

// The comparable form: IPv4 for a v4-mapped address, and no interface scope
// (a link-local peer carries its interface, the serial may not).
asio::ip::address plain(const asio::ip::address& address)
{
    const auto normalised = normalisedPeer(address);
    if (!normalised.is_v6()) return normalised;
    auto v6 = normalised.to_v6();
    v6.scope_id(0);
    return v6;
}

} // namespace

bool PeerAllowList::allows(const asio::ip::address& peer) const
{
    const auto address = plain(peer);
    if (allowLoopback_ && address.is_loopback()) return true;
    std::lock_guard guard(lock_);
    return std::find(allowed_.begin(), allowed_.end(), address) != allowed_.end();
}

void PeerAllowList::allow(const asio::ip::address& address)
{
    std::lock_guard guard(lock_);
    const auto entry = plain(address);
    if (std::find(allowed_.begin(), allowed_.end(), entry) == allowed_.end()) allowed_.push_back(entry);
}

void PeerAllowList::remove(const asio::ip::address& address)
{
    {
        std::lock_guard guard(lock_);
        std::erase(allowed_, plain(address));
    }
    watchers_->ruleNarrowed();
}

void PeerAllowList::clear()
{
    {
        std::lock_guard guard(lock_);
        allowed_.clear();
    }
    watchers_->ruleNarrowed();
}

asio::ip::address comparableAddress(const asio::ip::address& address) { return plain(address); }

ListenerOptions listenerOptions(std::shared_ptr<const PeerAllowList> peers, std::chrono::milliseconds acceptRetryDelay)
{
    ListenerOptions options;
    options.acceptRetryDelay = acceptRetryDelay;
    if (!peers) return options;
    options.ruleWatchers = peers->watchers();
    options.allowsPeer = [peers = std::move(peers)](const asio::ip::address& peer) { return peers->allows(peer); };
    return options;
}

std::optional<asio::ip::address> deviceAddressFromSerial(std::string_view serial)
{
    const auto colon = serial.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view port = serial.substr(colon + 1);
    if (port.empty() || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::string_view host = serial.substr(0, colon);
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    boost::system::error_code error;
    const auto address = asio::ip::make_address(std::string(host), error);
    // A bare IPv6 address has colons of its own: only the bracketed form is a serial.
    if (error || address.is_v6() != bracketed) return std::nullopt;
    return normalisedPeer(address);
}

} // namespace qb
