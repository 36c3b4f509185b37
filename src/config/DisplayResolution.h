// Display resolutions: the size and mode of a virtual display and of every
// frame streamed to it. The eight fixed presets of the Daylight DC-1 and the
// pairs computed from any other device's native size. Pure values; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

// The size and mode of a virtual display and of every frame streamed to it.
// Equality and hashing use all five fields: `cozy()` and `sharp()` share a
// pixel size but are different resolutions.
struct DisplayResolution {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    // A 2x mode: the desktop is laid out at half the pixel size in points.
    bool isHiDPI = false;
    std::string label;
    // Stable identifier of the fixed presets; absent for computed ones.
    std::optional<std::string> preset;

    // "1600x1200@2x" for HiDPI, "1600x1200" otherwise.
    std::string id() const;
    // "1600x1200", never with the HiDPI suffix (the older stored form).
    std::string rawValue() const;
    // Width below height; a square is not portrait.
    bool isPortrait() const { return width < height; }
    // What the user sees: the desktop's size and its density, "desktop
    // 800x600 at 2x" for a HiDPI 1600x1200, "desktop 1600x1200 at 1x" else.
    std::string desktopShown() const;

    bool operator==(const DisplayResolution&) const = default;

    // The eight fixed presets of the DC-1's 1200 x 1600 panel.
    static const DisplayResolution& cozy();
    static const DisplayResolution& comfortable();
    static const DisplayResolution& balanced();
    static const DisplayResolution& sharp();
    static const DisplayResolution& portraitCozy();
    static const DisplayResolution& portraitComfortable();
    static const DisplayResolution& portraitBalanced();
    static const DisplayResolution& portraitSharp();

    // All eight, landscape first, in the order the user is offered them.
    static const std::vector<DisplayResolution>& dc1Presets();
    static const std::vector<DisplayResolution>& dc1LandscapePresets();
    static const std::vector<DisplayResolution>& dc1PortraitPresets();

    // Exactly the native pixel size as a HiDPI mode, labelled with its point
    // size, "Cozy (1280×800)" (halves round down).
    static DisplayResolution cozy(std::uint64_t nativeWidth, std::uint64_t nativeHeight);
    // Exactly the native pixel size at 1x, "Sharp (2560×1600)".
    static DisplayResolution sharp(std::uint64_t nativeWidth, std::uint64_t nativeHeight);

    struct DynamicPresets {
        std::vector<DisplayResolution> landscape; // [cozy, sharp] with width >= height
        std::vector<DisplayResolution> portrait;  // [cozy, sharp] with width <= height
    };
    // The arguments may be given in either orientation.
    static DynamicPresets dynamicPresets(std::uint64_t nativeWidth, std::uint64_t nativeHeight);

    // The first of `dc1Presets()` whose `preset` equals `name` exactly.
    static std::optional<DisplayResolution> presetNamed(std::string_view name);
};

} // namespace qb

template <>
struct std::hash<qb::DisplayResolution> {
    std::size_t operator()(const qb::DisplayResolution& r) const noexcept;
};
