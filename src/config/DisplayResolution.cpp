#include "config/DisplayResolution.h"

#include <fmt/format.h>

#include "config/Text.h"

namespace qb {

namespace {

DisplayResolution fixedPreset(std::uint64_t width, std::uint64_t height, bool isHiDPI, const char* label,
    const char* preset)
{
    return DisplayResolution{width, height, isHiDPI, label, std::string(preset)};
}

} // namespace


std::string DisplayResolution::desktopShown() const
{
    return isHiDPI ? fmt::format("desktop {}x{} at 2x", width / 2, height / 2)
                   : fmt::format("desktop {}x{} at 1x", width, height);
}

std::string DisplayResolution::id() const { return isHiDPI ? rawValue() + "@2x" : rawValue(); }

std::string DisplayResolution::rawValue() const { return fmt::format("{}x{}", width, height); }

const DisplayResolution& DisplayResolution::cozy()
{
    static const DisplayResolution r = fixedPreset(1600, 1200, true, "Cozy", "cozy");
    return r;
}

const DisplayResolution& DisplayResolution::comfortable()
{
    static const DisplayResolution r = fixedPreset(1024, 768, false, "Comfortable", "comfortable");
    return r;
}

const DisplayResolution& DisplayResolution::balanced()
{
    static const DisplayResolution r = fixedPreset(1280, 960, false, "Balanced", "balanced");
    return r;
}

const DisplayResolution& DisplayResolution::sharp()
{
    static const DisplayResolution r = fixedPreset(1600, 1200, false, "Sharp", "sharp");
    return r;
}

const DisplayResolution& DisplayResolution::portraitCozy()
{
    static const DisplayResolution r = fixedPreset(1200, 1600, true, "Portrait Cozy", "portraitCozy");
    return r;
}

const DisplayResolution& DisplayResolution::portraitComfortable()
{
    static const DisplayResolution r =
        fixedPreset(768, 1024, false, "Portrait Comfortable", "portraitComfortable");
    return r;
}

const DisplayResolution& DisplayResolution::portraitBalanced()
{
    static const DisplayResolution r = fixedPreset(960, 1280, false, "Portrait Balanced", "portraitBalanced");
    return r;
}

const DisplayResolution& DisplayResolution::portraitSharp()
{
    static const DisplayResolution r = fixedPreset(1200, 1600, false, "Portrait Sharp", "portraitSharp");
    return r;
}

const std::vector<DisplayResolution>& DisplayResolution::dc1Presets()
{
    static const std::vector<DisplayResolution> list{cozy(), comfortable(), balanced(), sharp(), portraitCozy(),
        portraitComfortable(), portraitBalanced(), portraitSharp()};
    return list;
}

const std::vector<DisplayResolution>& DisplayResolution::dc1LandscapePresets()
{
    static const std::vector<DisplayResolution> list{cozy(), comfortable(), balanced(), sharp()};
    return list;
}

const std::vector<DisplayResolution>& DisplayResolution::dc1PortraitPresets()
{
    static const std::vector<DisplayResolution> list{
        portraitCozy(), portraitComfortable(), portraitBalanced(), portraitSharp()};
    return list;
}

DisplayResolution DisplayResolution::cozy(std::uint64_t nativeWidth, std::uint64_t nativeHeight)
{
    return DisplayResolution{nativeWidth, nativeHeight, true,
        fmt::format("Cozy ({}\u00D7{})", nativeWidth / 2, nativeHeight / 2), std::nullopt};
}

DisplayResolution DisplayResolution::sharp(std::uint64_t nativeWidth, std::uint64_t nativeHeight)
{
    return DisplayResolution{
        nativeWidth, nativeHeight, false, fmt::format("Sharp ({}\u00D7{})", nativeWidth, nativeHeight), std::nullopt};
}

DisplayResolution::DynamicPresets DisplayResolution::dynamicPresets(
    std::uint64_t nativeWidth, std::uint64_t nativeHeight)
{
    const auto larger = std::max(nativeWidth, nativeHeight);
    const auto smaller = std::min(nativeWidth, nativeHeight);
    return DynamicPresets{
        {cozy(larger, smaller), sharp(larger, smaller)},
        {cozy(smaller, larger), sharp(smaller, larger)},
    };
}

std::optional<DisplayResolution> DisplayResolution::presetNamed(std::string_view name)
{
    for (const auto& candidate : dc1Presets()) {
        if (candidate.preset && *candidate.preset == name) return candidate;
    }
    return std::nullopt;
}

} // namespace qb

std::size_t std::hash<qb::DisplayResolution>::operator()(const qb::DisplayResolution& r) const noexcept
{
    std::size_t seed = std::hash<std::uint64_t>{}(r.width);
    qb::hashCombine(seed, std::hash<std::uint64_t>{}(r.height));
    qb::hashCombine(seed, std::hash<bool>{}(r.isHiDPI));
    qb::hashCombine(seed, std::hash<std::string>{}(r.label));
    qb::hashCombine(seed, r.preset ? std::hash<std::string>{}(*r.preset) : 0x5bd1e995U);
    return seed;
}
