// The devices `quillbright pair` paired over Wi-Fi, remembered in the
// settings store under "pairedDevices" (one "serial address" line each), so
// that the engine lets a paired device's address through the Wi-Fi servers
// when it sets the device up, even when adb names it by a serial that holds
// no address. Thread-safe as the store is.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/ADBBridge.h"
#include "runtime/Asio.h"
#include "runtime/SettingsStore.h"

namespace qb {

struct PairedDevice {
    std::string serial;  // as adb lists it once connected ("192.168.1.20:41235")
    std::string address; // where it was paired ("192.168.1.20", "fe80::1")
    bool operator==(const PairedDevice&) const = default;
};

inline constexpr std::string_view PAIRED_DEVICES_KEY = "pairedDevices";

std::vector<PairedDevice> pairedDevices(const SettingsStore& store);
// Adds `device`, replacing an entry with the same serial; false when the
// store could not be written.
bool rememberPairedDevice(SettingsStore& store, const PairedDevice& device);
// The remembered address of the device adb lists as `serial`.
std::optional<std::string> pairedAddress(const std::vector<PairedDevice>& devices, std::string_view serial);

// Whether a device DNS-SD found at `address` was set up on this computer:
// paired by `quillbright pair` (at that address, or under a network serial
// naming it), or listed by adb, which lists only devices that authorised
// this computer, under a network serial naming it. Wi-Fi discovery connects
// no other: anyone on the network can advertise the device service.
bool setUpOnThisComputer(const asio::ip::address& address, const std::vector<PairedDevice>& paired,
    const std::vector<ConnectedDevice>& listedByADB);

} // namespace qb
