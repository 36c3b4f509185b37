// DeviceLineup: what the engine starts for the devices adb lists — each
// device's place, frame port, display mode, virtual display size and pixel
// format. Pure (apart from its log lines): the engine hands it the list and
// its settings and starts one session per entry, in order.
//
//   order        Daylight DC-1 devices first, otherwise adb's order
//   port         counting up from the stream port, skipping the preview and
//                input ports (8888, 8889, 8893, 8894, ...)
//   mode         the configured display mode for the first, extended after
//   size         the DC-1 preset for a DC-1; else the device's native size
//                (reported now, reported earlier, or from the known-device
//                table) in the orientation and density of the non-DC-1 mode;
//                else the DC-1 preset
//   format       greyscale for paper-like devices, RGB otherwise
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/DisplayResolution.h"
#include "config/Modes.h"
#include "config/Ports.h"
#include "device/ADBBridge.h"

namespace qb {

// The fixed ports. Tests move them; production uses the defaults.
struct MirrorEnginePorts {
    std::uint16_t stream = STREAM_PORT;    // first device; later devices count up from here
    std::uint16_t webSocket = WEBSOCKET_PREVIEW_PORT; // browser preview
    std::uint16_t http = HTTP_PREVIEW_PORT;      // preview page
    std::uint16_t input = INPUT_PORT;     // touch input (every session)

    // The frame port of the device at `index` (0-based); 0 when the ports
    // run out.
    std::uint16_t streamPort(std::size_t index) const;
};

// Native sizes by serial: a device listed later without its size keeps the
// one it reported before. Owned by the engine for its life.
using NativeSizeCache = std::map<std::string, std::pair<std::int64_t, std::int64_t>>;

struct LineupChoices {
    MirrorEnginePorts ports;
    DisplayMode firstDisplayMode = DisplayMode::mirror;
    DisplayResolution dc1Resolution = DisplayResolution::cozy();
    std::string nonDC1Mode = "portrait-cozy"; // only its "landscape" prefix and "sharp" suffix count
};

struct LineupEntry {
    ConnectedDevice device;
    std::uint16_t port = 0;
    DisplayMode displayMode = DisplayMode::mirror;
    DisplayResolution resolution;
    PixelFormat pixelFormat = PixelFormat::rgb;
};

DisplayResolution resolutionForDevice(const ConnectedDevice& device, const LineupChoices& choices,
    NativeSizeCache& cache);

std::vector<LineupEntry> deviceLineup(std::vector<ConnectedDevice> devices, const LineupChoices& choices,
    NativeSizeCache& cache);

} // namespace qb
