// This computer's address on the LAN, the one a tablet reaches it at in
// Wi-Fi mode (shown by `quillbright tablet`, handed to the companion): the
// IPv4 address of the interface $QUILLBRIGHT_WIFI_INTERFACE names, else of
// the interface the default route leaves by (whatever its name: Wi-Fi
// "wlp2s0", Ethernet "eth0", "enp3s0"), else the first other address that is
// neither loopback nor link-local.
//
// The choice is a pure function over the interfaces' addresses; lanAddress()
// gathers them (getifaddrs, /proc/net/route). Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

struct InterfaceAddress {
    std::string interface;
    std::string address; // IPv4, dotted
};

// `configured` (non-empty) wins: only its address, nothing when it has none.
std::optional<std::string> chooseLanAddress(const std::vector<InterfaceAddress>& addresses,
    std::string_view defaultRouteInterface, std::string_view configured);

// The interface of the IPv4 default route with the lowest metric in the text
// of /proc/net/route; empty when there is none. Any bytes.
std::string defaultRouteInterface(std::string_view procNetRoute);

std::optional<std::string> lanAddress();

// The variable that names the interface, for hints.
inline constexpr std::string_view LAN_INTERFACE_VARIABLE = "QUILLBRIGHT_WIFI_INTERFACE";

} // namespace qb
