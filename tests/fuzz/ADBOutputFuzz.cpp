// Fuzzes the readers of adb's output: whatever a device, a cable fault or a
// different adb release prints, the parsers return without fault and only
// values that make sense (a serial is never empty, sizes are positive, a
// version is never empty).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config/Text.h"
#include "device/ADBParsers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    using namespace qb::ADBBridge;
    for (const auto& line : parseDeviceLines(text)) {
        if (line.serial.empty() || line.model.find(' ') != std::string::npos) std::abort();
    }
    for (const auto& serial : parseUnauthorizedDevices(text)) {
        if (serial.empty()) std::abort();
    }
    if (auto resolution = parseScreenResolution(text)) {
        if (resolution->first <= 0 || resolution->second <= 0) std::abort();
    }
    if (auto version = parseCompanionVersion(text)) {
        if (version->empty()) std::abort();
    }
    for (const auto& [key, value] : parseEnvironment(text)) {
        if (key.find('=') != std::string::npos || key.find('\n') != std::string::npos) std::abort();
    }
    parseSettingValue(text);
    for (const auto& tunnel : parseReverseList(text)) {
        if (tunnel.devicePort <= 0 || tunnel.hostPort <= 0) std::abort();
    }
    qb::isValidUTF8(text);
    return 0;
}
