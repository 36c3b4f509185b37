// The fixed TCP ports. Device stream ports start at STREAM_PORT (first
// device) and count up; the browser preview and the touch input have one port
// each. The companion on the device always connects to DEVICE_STREAM_PORT and
// DEVICE_INPUT_PORT; adb reverse tunnels map them to the host ports.
#pragma once

#include <cstdint>

namespace qb {

inline constexpr std::uint16_t STREAM_PORT = 8888;
inline constexpr std::uint16_t WEBSOCKET_PREVIEW_PORT = 8890;
inline constexpr std::uint16_t HTTP_PREVIEW_PORT = 8891;
inline constexpr std::uint16_t INPUT_PORT = 8892;

inline constexpr std::uint16_t DEVICE_STREAM_PORT = 8888;
inline constexpr std::uint16_t DEVICE_INPUT_PORT = 8892;
// Where a tablet without the companion opens the tablet page (its browser
// reaches the host's page port through a reverse tunnel).
inline constexpr std::uint16_t DEVICE_PAGE_PORT = 8891;

} // namespace qb
