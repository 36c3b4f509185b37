#include "platform/Platform.h"

#include <cstdlib>

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

} // namespace qb
