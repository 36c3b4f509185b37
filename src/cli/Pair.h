// `quillbright pair HOST:PORT CODE [--connect PORT]`: pairs an Android 11+
// device for wireless debugging and connects adb to it, so that Wi-Fi mode
// can mirror to it.
//
//   1. `adb pair HOST:PORT CODE` with the address, port and six-digit code
//      the device shows under Wireless debugging > Pair device with pairing
//      code (an adb from platform-tools 30.0.0 or later is needed: older ones
//      do not know `pair`, and we say so before trying);
//   2. `adb connect HOST:CONNECTPORT`, the connect port given with --connect
//      or found by DNS-SD (the device's "_adb-tls-connect._tcp" service at
//      HOST, a browse of a few seconds);
//   3. the device (its adb serial and HOST) is remembered in the settings
//      (device/PairedDevices.h), so the Wi-Fi servers let HOST in once the
//      daemon sets the device up.
//
// Errors go to `err` with exit status 1: a bad HOST:PORT or port, no adb, an
// adb too old to pair, a wrong code, an unreachable host, no connect port, a
// failed connect. adb runs through the adb bridge (argument lists, time limits).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DnsSd.h"
#include "runtime/Asio.h"
#include "runtime/SettingsStore.h"
#include "runtime/Timer.h"

namespace qb::cli {

struct PairTarget {
    asio::ip::address host;
    std::uint16_t port = 0;
};

// "192.168.1.20:37123" or "[fe80::1]:37123"; a port of 1-65535.
std::optional<PairTarget> parsePairTarget(std::string_view text);

// The connect port of the wireless-debugging service at `host`: browses
// "_adb-tls-connect._tcp." in "local." and resolves each service found until
// one resolves to `host` (a v4-mapped or scoped form counts as the same) or
// `limit` passes. Runs `io`, on whose executor `dnsSd` delivers, meanwhile.
std::optional<std::uint16_t> findConnectPort(asio::io_context& io, DnsSd& dnsSd, const asio::ip::address& host,
    Duration limit);

struct PairServices {
    // The connect port of a host by DNS-SD. Empty: the host's DNS-SD, 5 s.
    std::function<std::optional<std::uint16_t>(const asio::ip::address& host)> connectPort;
    // Where the paired device is remembered. Null: userSettings().
    SettingsStore* settings = nullptr;
};

// `args` are the words after "pair".
int commandPair(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
    PairServices services = {});

} // namespace qb::cli
