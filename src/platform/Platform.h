// The platform layer: the only code that knows which operating system it runs
// on. Each service (capture stream, virtual displays, pacer windows, input
// injection, global hotkeys, DNS-SD, network interfaces, host power,
// backlight, font settings, ...) is a small interface in its own header here;
// a `Platform` hands out one backend's capture, display, input and hotkey
// services, and factories `make<Service>(PlatformKind)` give the others:
//
//   sim  deterministic, in-memory, for tests and demos (platform/sim/)
//   x11  the real Linux desktop: Xlib, XShm, XDamage, XFixes, XRandR, XTest (platform/x11/),
//        with Avahi and the host services of platform/linux/ (logind, sysfs, gsettings)
//   wayland  GNOME on Wayland: Mutter's remote-desktop, screen-cast and
//        display-config services over D-Bus and PipeWire (platform/wayland/),
//        with the same Linux host services
//
// The daemon opens one Platform (openPlatform) and injects its services into
// the engine; the Platform owns what they share (the X display connection
// and its event pump on the main loop). QUILLBRIGHT_PLATFORM=wayland|x11|sim
// chooses; unset, wayland is used when $WAYLAND_DISPLAY is set and Mutter's
// services are on the session bus (X11 under Xwayland sees no Wayland
// window), else x11 when $DISPLAY opens, else sim.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/Asio.h"

namespace qb {

enum class PlatformKind { sim, x11, wayland };

std::string_view platformName(PlatformKind kind);
std::optional<PlatformKind> platformFromName(std::string_view name);

// The backend named by QUILLBRIGHT_PLATFORM; sim when unset or unknown. Only
// the defaults of components built without a Platform (tests) use it.
PlatformKind selectedPlatform();

class CaptureBackend;
class VirtualDisplays;
class InputInjector;
class GlobalHotkeys;
class PacerWindows;

class Platform {
public:
    virtual ~Platform() = default;

    virtual PlatformKind kind() const = 0;

    virtual std::shared_ptr<CaptureBackend> captureBackend() = 0;
    virtual std::shared_ptr<VirtualDisplays> virtualDisplays() = 0;
    virtual std::shared_ptr<InputInjector> inputInjector() = 0;
    // Optional capabilities: nullptr when the backend has none.
    virtual std::shared_ptr<GlobalHotkeys> globalHotkeys() = 0;
    // Tiny always-on-top windows that keep a compositor producing frames of
    // an otherwise still display. Backends whose capture delivers a frame
    // whenever the picture changes (X11) need none.
    virtual std::shared_ptr<PacerWindows> pacerWindows() = 0;

    // Releases what the backend holds on the desktop (key grabs, virtual
    // outputs still present) before the daemon exits. Idempotent.
    virtual void stop() = 0;
};

// The sim platform (the in-memory SimWorld).
std::shared_ptr<Platform> makeSimPlatform();

// The X11 platform on `displayName` (nullptr or empty: $DISPLAY), pumping its
// events on `mainLoop`; nullptr when the display cannot be opened. `error`
// then says why.
std::shared_ptr<Platform> makeX11Platform(Executor mainLoop, const char* displayName = nullptr,
    std::string* error = nullptr);

// The wayland platform on the session bus's Mutter; nullptr when its
// services or PipeWire cannot be reached, `error` then beginning
// "GNOME remote desktop service not available: ".
std::shared_ptr<Platform> makeWaylandPlatform(std::string* error = nullptr);

// The platform the daemon runs on. `requested` is QUILLBRIGHT_PLATFORM's
// value (nullptr when unset). An unknown name, or a desktop that cannot be
// reached, falls back to sim; every choice is logged in one line.
std::shared_ptr<Platform> openPlatform(Executor mainLoop, const char* requested);

// The line logged when no platform was requested and no X display opened.
inline constexpr std::string_view NO_DISPLAY_FALLBACK_LINE =
    "[Platform] No X display found ($DISPLAY unset or not reachable) — mirroring a simulated desktop";

} // namespace qb
