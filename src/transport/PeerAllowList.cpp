#include "transport/PeerAllowList.h"

#include <algorithm>
#include <string>

#include "transport/ListenSocket.h"

namespace qb {

bool PeerAllowList::allows(const asio::ip::address& peer) const
{
    const auto address = normalisedPeer(peer);
    if (allowLoopback_ && address.is_loopback()) return true;
    std::lock_guard guard(lock_);
    return std::find(allowed_.begin(), allowed_.end(), address) != allowed_.end();
}

void PeerAllowList::allow(const asio::ip::address& address)
{
    std::lock_guard guard(lock_);
    const auto plain = normalisedPeer(address);
    if (std::find(allowed_.begin(), allowed_.end(), plain) == allowed_.end()) allowed_.push_back(plain);
}

void PeerAllowList::clear()
{
    std::lock_guard guard(lock_);
    allowed_.clear();
}

std::optional<asio::ip::address> deviceAddressFromSerial(std::string_view serial)
{
    const auto colon = serial.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view port = serial.substr(colon + 1);
    if (port.empty() || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    boost::system::error_code error;
    const auto address = asio::ip::make_address_v4(std::string(serial.substr(0, colon)), error);
    if (error) return std::nullopt;
    return asio::ip::address(address);
}

} // namespace qb
