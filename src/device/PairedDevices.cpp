#include "device/PairedDevices.h"

#include <algorithm>
#include <sstream>

#include "transport/PeerAllowList.h"

namespace qb {

std::vector<PairedDevice> pairedDevices(const SettingsStore& store)
{
    std::vector<PairedDevice> devices;
    std::istringstream lines(store.string(PAIRED_DEVICES_KEY).value_or(""));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        PairedDevice device;
        if (words >> device.serial >> device.address) devices.push_back(std::move(device));
    }
    return devices;
}

bool rememberPairedDevice(SettingsStore& store, const PairedDevice& device)
{
    auto devices = pairedDevices(store);
    std::erase_if(devices, [&](const PairedDevice& known) { return known.serial == device.serial; });
    devices.push_back(device);
    std::string text;
    for (const auto& known : devices) text += known.serial + " " + known.address + "\n";
    return store.setString(PAIRED_DEVICES_KEY, text);
}

std::optional<std::string> pairedAddress(const std::vector<PairedDevice>& devices, std::string_view serial)
{
    const auto found = std::find_if(devices.begin(), devices.end(),
        [&](const PairedDevice& device) { return device.serial == serial; });
    if (found == devices.end()) return std::nullopt;
    return found->address;
}

bool setUpOnThisComputer(const asio::ip::address& address, const std::vector<PairedDevice>& paired,
    const std::vector<ConnectedDevice>& listedByADB)
{
    const auto wanted = comparableAddress(address);
    const auto names = [&](std::string_view serial) {
        const auto named = deviceAddressFromSerial(serial);
        return named && comparableAddress(*named) == wanted;
    };
    for (const auto& device : paired) {
        boost::system::error_code error;
        const auto remembered = asio::ip::make_address(device.address, error);
        if ((!error && comparableAddress(remembered) == wanted) || names(device.serial)) return true;
    }
    return std::any_of(listedByADB.begin(), listedByADB.end(), [&](const auto& device) { return names(device.serial); });
}

} // namespace qb
