#include "core/DeviceLineup.h"

#include <algorithm>

#include <fmt/format.h>

#include "config/DeviceModels.h"
#include "diagnostics/Log.h"

namespace qb {

namespace {

void lineupLine(const std::string& line) { componentLog(LogLevel::info, "MirrorEngine", line); }

} // namespace

std::uint16_t MirrorEnginePorts::streamPort(std::size_t index) const
{
    std::uint32_t candidate = stream;
    for (std::size_t seen = 0;; ++candidate) {
        if (candidate > 0xFFFF) return 0; // more devices than ports: the session's server will fail
        if (stream != 0 && (candidate == webSocket || candidate == http || candidate == input)) continue;
        if (seen++ == index) return static_cast<std::uint16_t>(candidate);
    }
}

DisplayResolution resolutionForDevice(const ConnectedDevice& device, const LineupChoices& choices,
    NativeSizeCache& cache)
{
    if (device.deviceFamily() == DeviceFamily::daylightDC1) return choices.dc1Resolution;

    std::int64_t width = 0;
    std::int64_t height = 0;
    if (device.nativeWidth && device.nativeHeight && *device.nativeWidth > 0 && *device.nativeHeight > 0) {
        width = *device.nativeWidth;
        height = *device.nativeHeight;
        cache[device.serial] = {width, height};
    } else if (auto cached = cache.find(device.serial); cached != cache.end()) {
        std::tie(width, height) = cached->second;
        lineupLine(fmt::format("[MirrorEngine] Using cached resolution for {}: {}x{}", device.model, width, height));
    } else if (auto known = knownDeviceResolution(device.model)) {
        width = known->width;
        height = known->height;
        lineupLine(fmt::format("[MirrorEngine] Using known resolution for {}: {}x{}", device.model, width, height));
    } else {
        lineupLine(fmt::format("[MirrorEngine] No native resolution for {} — falling back to DC-1 preset", device.model));
        return choices.dc1Resolution;
    }

    const auto larger = static_cast<std::uint64_t>(std::max(width, height));
    const auto smaller = static_cast<std::uint64_t>(std::min(width, height));
    const auto presets = DisplayResolution::dynamicPresets(larger, smaller);
    const std::string_view mode = choices.nonDC1Mode;
    const auto& list = mode.starts_with("landscape") ? presets.landscape : presets.portrait;
    DisplayResolution chosen = mode.ends_with("sharp") ? list.at(1) : list.at(0);
    lineupLine(fmt::format("[MirrorEngine] resolutionForDevice({}): native {}x{} → {} ({})", device.model, width,
        height, chosen.label, chosen.rawValue()));
    return chosen;
}

std::vector<LineupEntry> deviceLineup(std::vector<ConnectedDevice> devices, const LineupChoices& choices,
    NativeSizeCache& cache)
{
    std::stable_partition(devices.begin(), devices.end(),
        [](const ConnectedDevice& device) { return device.deviceFamily() == DeviceFamily::daylightDC1; });
    std::vector<LineupEntry> lineup;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        LineupEntry entry;
        entry.port = choices.ports.streamPort(i);
        entry.displayMode = i == 0 ? choices.firstDisplayMode : DisplayMode::extended;
        entry.resolution = resolutionForDevice(devices[i], choices, cache);
        entry.pixelFormat = isGreyscaleDevice(devices[i].model) ? PixelFormat::greyscale : PixelFormat::rgb;
        entry.device = std::move(devices[i]);
        lineup.push_back(std::move(entry));
    }
    return lineup;
}

} // namespace qb
