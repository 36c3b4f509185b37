// The platform layer: the only code that knows which operating system it runs
// on. Each service (capture stream, virtual displays, pacer windows, input
// injection, DNS-SD, network interfaces, host power, backlight, font
// settings, ...) is a small interface in its own header here, with a factory
// `make<Service>(PlatformKind)` that returns the backend's implementation:
//
//   sim  deterministic, in-memory, for tests and demos (platform/sim/)
//   x11  the real Linux desktop: Xlib, XShm, XDamage, XRandR, XTest, Avahi (platform/x11/),
//        with the host services of platform/linux/ (logind, sysfs, gsettings)
//
// QUILLBRIGHT_PLATFORM=sim|x11 chooses; selectedPlatform() reads it once.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qb {

enum class PlatformKind { sim, x11 };

std::string_view platformName(PlatformKind kind);
std::optional<PlatformKind> platformFromName(std::string_view name);

// The backend chosen by QUILLBRIGHT_PLATFORM; sim when unset or unknown until
// the x11 backend exists.
PlatformKind selectedPlatform();

} // namespace qb
