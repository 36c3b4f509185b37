// The modes the user picks: the pixel format of the frame stream, the display
// mode (mirror or extend), the connection mode (USB or Wi-Fi) and the display
// profile (a contrast and gamma pair). Pure values; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qb {

// Each enumeration offers rawValue/label/id as free functions,
// construction from a raw value (nothing for unknown values) and, where the
// user picks from them, the list of all cases in declaration order.

// The raw value is also the pixel-format byte of the frame stream.
enum class PixelFormat : std::uint8_t { greyscale = 0, rgb = 1 };

inline constexpr std::array<PixelFormat, 2> allPixelFormats{PixelFormat::greyscale, PixelFormat::rgb};
constexpr std::uint8_t rawValue(PixelFormat format) { return static_cast<std::uint8_t>(format); }
constexpr std::uint8_t id(PixelFormat format) { return rawValue(format); }
std::optional<PixelFormat> pixelFormatFromRawValue(std::uint8_t raw); // only 0 and 1
std::string_view label(PixelFormat format);                          // "Greyscale", "Color"
// 1 (one luma byte) or 3 (R, G, B); rows are packed back to back.
constexpr std::size_t bytesPerPixel(PixelFormat format) { return format == PixelFormat::greyscale ? 1 : 3; }

enum class DisplayMode { mirror, extended };

inline constexpr std::array<DisplayMode, 2> allDisplayModes{DisplayMode::mirror, DisplayMode::extended};
std::string_view rawValue(DisplayMode mode); // "mirror", "extended"
inline std::string_view id(DisplayMode mode) { return rawValue(mode); }
std::optional<DisplayMode> displayModeFromRawValue(std::string_view raw);
std::string_view label(DisplayMode mode); // "Mirror", "Extend"

enum class ConnectionMode { usb, wifi };

inline constexpr std::array<ConnectionMode, 2> allConnectionModes{ConnectionMode::usb, ConnectionMode::wifi};
std::string_view rawValue(ConnectionMode mode); // "usb", "wifi"
inline std::string_view id(ConnectionMode mode) { return rawValue(mode); }
std::optional<ConnectionMode> connectionModeFromRawValue(std::string_view raw);
std::string_view label(ConnectionMode mode); // "USB", "WiFi"

// A contrast and gamma pair, the two inputs of the encoder's lookup table.
enum class DisplayProfile { crispPaper, balanced, custom };

inline constexpr std::array<DisplayProfile, 3> allDisplayProfiles{
    DisplayProfile::crispPaper, DisplayProfile::balanced, DisplayProfile::custom};
std::string_view rawValue(DisplayProfile profile); // "Crisp Paper", "Balanced", "Custom"
inline std::string_view id(DisplayProfile profile) { return rawValue(profile); }
// Also accepts the older stored name "E-ink Crisp" for `crispPaper`.
std::optional<DisplayProfile> displayProfileFromRawValue(std::string_view raw);
double contrast(DisplayProfile profile);
double gamma(DisplayProfile profile);

} // namespace qb
