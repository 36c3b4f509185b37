#include "platform/Platform.h"

#include <cstdlib>

#include "diagnostics/PlatformLog.h"

namespace qb {

std::string_view platformName(PlatformKind kind)
{
    switch (kind) {
    case PlatformKind::sim: return "sim";
    case PlatformKind::x11: return "x11";
    }
    return "sim";
}

std::optional<PlatformKind> platformFromName(std::string_view name)
{
    if (name == "sim") return PlatformKind::sim;
    if (name == "x11") return PlatformKind::x11;
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

    std::string error;
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
