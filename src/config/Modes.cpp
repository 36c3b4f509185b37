#include "config/Modes.h"

namespace qb {

std::optional<PixelFormat> pixelFormatFromRawValue(std::uint8_t raw)
{
    switch (raw) {
    case 0: return PixelFormat::greyscale;
    case 1: return PixelFormat::rgb;
    default: return std::nullopt;
    }
}

std::string_view label(PixelFormat format) { return format == PixelFormat::greyscale ? "Greyscale" : "Color"; }

std::string_view rawValue(DisplayMode mode) { return mode == DisplayMode::mirror ? "mirror" : "extended"; }

std::optional<DisplayMode> displayModeFromRawValue(std::string_view raw)
{
    if (raw == "mirror") return DisplayMode::mirror;
    if (raw == "extended") return DisplayMode::extended;
    return std::nullopt;
}

std::string_view label(DisplayMode mode) { return mode == DisplayMode::mirror ? "Mirror" : "Extend"; }

std::string_view rawValue(ConnectionMode mode) { return mode == ConnectionMode::usb ? "usb" : "wifi"; }

std::optional<ConnectionMode> connectionModeFromRawValue(std::string_view raw)
{
    if (raw == "usb") return ConnectionMode::usb;
    if (raw == "wifi") return ConnectionMode::wifi;
    return std::nullopt;
}

std::string_view label(ConnectionMode mode) { return mode == ConnectionMode::usb ? "USB" : "WiFi"; }

std::string_view rawValue(DisplayProfile profile)
{
    switch (profile) {
    case DisplayProfile::crispPaper: return "Crisp Paper";
    case DisplayProfile::balanced: return "Balanced";
    case DisplayProfile::custom: return "Custom";
    }
    return "Custom";
}

std::optional<DisplayProfile> displayProfileFromRawValue(std::string_view raw)
{
    if (raw == "Crisp Paper" || raw == "E-ink Crisp") return DisplayProfile::crispPaper;
    if (raw == "Balanced") return DisplayProfile::balanced;
    if (raw == "Custom") return DisplayProfile::custom;
    return std::nullopt;
}

double contrast(DisplayProfile profile) { return profile == DisplayProfile::crispPaper ? 1.2 : 1.0; }

double gamma(DisplayProfile profile) { return profile == DisplayProfile::crispPaper ? 1.2 : 1.0; }

} // namespace qb
