#include "config/MirrorError.h"

#include <fmt/format.h>

namespace qb {

namespace {

std::string describe(MirrorError::Kind kind, std::optional<std::uint16_t> port)
{
    switch (kind) {
    case MirrorError::Kind::portUnavailable:
        return fmt::format("TCP port {} is unavailable (already in use or permission denied).", port.value_or(0));
    case MirrorError::Kind::noVirtualDisplay:
        return "Failed to create virtual display \u2014 the X server may have denied the request.";
    case MirrorError::Kind::adbNotFound:
        return "No adb binary found. Install Android SDK or place adb in the resources directory.";
    case MirrorError::Kind::noDeviceConnected:
        return "No USB-connected Android device detected.";
    case MirrorError::Kind::tcpOptionsUnavailable:
        return "Failed to get TCP protocol options from the listening socket.";
    }
    return "Unknown error.";
}

} // namespace

MirrorError::MirrorError(Kind kind, std::optional<std::uint16_t> port)
    : kind_(kind), port_(port), description_(describe(kind, port))
{
}

} // namespace qb
