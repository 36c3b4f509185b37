// Where the local servers listen. The input server hands the desktop's
// pointer to whoever connects, and the preview servers show the screen and
// start or stop mirroring, so by default they listen on loopback only (the
// device reaches them through adb reverse tunnels, which arrive on loopback).
// Only in Wi-Fi mode does the owner pass ALL_INTERFACES_ADDRESS.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/Asio.h"

namespace qb {

inline constexpr std::string_view LOOPBACK_ADDRESS = "127.0.0.1";
inline constexpr std::string_view ALL_INTERFACES_ADDRESS = "0.0.0.0";

// The address to bind, or nullopt (with `error` set) when `text` is not an
// IP address.
std::optional<asio::ip::address> parseListenAddress(std::string_view text, boost::system::error_code& error);

// Opens, binds (local address reuse allowed) and starts listening.
boost::system::error_code openListenSocket(asio::ip::tcp::acceptor& acceptor, const asio::ip::address& address,
    std::uint16_t port);

} // namespace qb
