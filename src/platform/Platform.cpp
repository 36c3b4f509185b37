#include "platform/Platform.h"

#include <cstdlib>

#include "diagnostics/PlatformLog.h"
#include "platform/wayland/GnomeShortcuts.h"

namespace qb {

namespace {

// Once per start on Wayland, until the user adds the shortcuts.
void logShortcutHint()
{
    if (wayland::shortcutsInstalled().value_or(true)) return;
    platformLog(LogLevel::info, "Platform", std::string(wayland::SHORTCUTS_HINT_LINE));
}

} // namespace

std::string_view platformName(PlatformKind kind)
{
    switch (kind) {
    case PlatformKind::sim: return "sim";
    case PlatformKind::x11: return "x11";
    case PlatformKind::wayland: return "wayland";
    }
    return "sim";
}

std::optional<PlatformKind> platformFromName(std::string_view name)
{
    if (name == "sim") return PlatformKind::sim;
    if (name == "x11") return PlatformKind::x11;
    if (name == "wayland") return PlatformKind::wayland;
    return std::nullopt;
}

PlatformKind selectedPlatform()
{
    static const PlatformKind kind = [] {
        const char* env = std::getenv("QUILLBRIGHT_PLATFORM");
        if (env) {
            if (auto parsed = platformFromName(env)) return *parsed;
        }
        return PlatformKind::sim;
    }();
    return kind;
}

std::shared_ptr<Platform> openPlatform(Executor mainLoop, const char* requested)
{
    auto log = [](LogLevel level, const std::string& line) { platformLog(level, "Platform", line); };
    const std::string name = requested ? requested : "";
    std::optional<PlatformKind> kind;
    if (!name.empty()) {
        kind = platformFromName(name);
        if (!kind) log(LogLevel::warn, "[Platform] Unknown QUILLBRIGHT_PLATFORM '" + name + "' — using sim");
    }
    if (kind == PlatformKind::sim) {
        log(LogLevel::info, "[Platform] Using the simulated desktop (QUILLBRIGHT_PLATFORM=sim)");
        return makeSimPlatform();
    }
    if (!name.empty() && !kind) return makeSimPlatform();

    // GNOME on Wayland first where a Wayland session runs: X11 calls there
    // would only see Xwayland's windows.
    const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
    const bool waylandSession = waylandDisplay && *waylandDisplay;
    std::string error;
    if (kind == PlatformKind::wayland || (!kind && waylandSession)) {
        if (auto wayland = makeWaylandPlatform(&error)) {
            log(LogLevel::info, std::string("[Platform] Using GNOME on Wayland (Mutter remote desktop and screen cast")
                    + (waylandSession ? std::string(", display ") + waylandDisplay : std::string()) + ")");
            logShortcutHint();
            return wayland;
        }
        if (kind == PlatformKind::wayland) {
            log(LogLevel::error, "[Platform] QUILLBRIGHT_PLATFORM=wayland but " + error + " — mirroring a simulated desktop");
            return makeSimPlatform();
        }
        log(LogLevel::warn, "[Platform] " + error + " — trying X11");
        error.clear();
    }
    if (auto x11 = makeX11Platform(mainLoop, nullptr, &error)) {
        const char* display = std::getenv("DISPLAY");
        log(LogLevel::info, std::string("[Platform] Using the X11 desktop on display ") + (display ? display : ""));
        return x11;
    }
    if (kind == PlatformKind::x11) {
        log(LogLevel::error, "[Platform] QUILLBRIGHT_PLATFORM=x11 but " + error + " — mirroring a simulated desktop");
    } else {
        log(LogLevel::warn, std::string(NO_DISPLAY_FALLBACK_LINE));
    }
    return makeSimPlatform();
}

} // namespace qb
