#include "config/DeviceModels.h"

#include <algorithm>

#include "config/Text.h"

namespace qb {

std::string_view rawValue(DeviceFamily family)
{
    return family == DeviceFamily::daylightDC1 ? "Daylight DC-1" : "External Display";
}

std::optional<DeviceFamily> deviceFamilyFromRawValue(std::string_view raw)
{
    if (raw == "Daylight DC-1") return DeviceFamily::daylightDC1;
    if (raw == "External Display") return DeviceFamily::other;
    return std::nullopt;
}

DeviceFamily deviceFamilyForModel(std::string_view model)
{
    const auto lower = lowercased(model);
    for (std::string_view pattern : {"dc-1", "dc_1", "daylight", "dc1"}) {
        if (contains(lower, pattern)) return DeviceFamily::daylightDC1;
    }
    return DeviceFamily::other;
}


namespace {

constexpr auto knownRows = std::to_array<KnownDeviceResolution>({
    // Daylight
    {"dc-1", {1200, 1600}},
    {"dc_1", {1200, 1600}},
    {"dc1", {1200, 1600}},
    {"daylight", {1200, 1600}},
    // reMarkable
    {"palma 2", {824, 1648}},
    {"palma", {824, 1648}},
    // BOOX tablets; "tab x" is the one landscape panel
    {"tab ultra c", {1404, 1872}},
    {"tab ultra", {1404, 1872}},
    {"tab mini c", {1264, 1680}},
    {"tab x", {2480, 1860}},
    {"note air4", {1404, 1872}},
    {"note air3", {1404, 1872}},
    {"note air2", {1404, 1872}},
    {"note air", {1404, 1872}},
    {"note x", {1404, 1872}},
    {"note5", {1404, 1872}},
    {"page", {1264, 1680}},
    {"poke5", {1072, 1448}},
    {"poke4", {758, 1024}},
    {"poke", {1072, 1448}},
    {"leaf2", {1264, 1680}},
    {"leaf", {1264, 1680}},
    {"go 10.3", {1404, 1872}},
    {"go 6", {1072, 1448}},
    {"nova air", {1404, 1872}},
    {"nova3", {1404, 1872}},
    {"nova", {1404, 1872}},
    {"max lumi2", {1860, 2480}},
    {"max lumi", {1650, 2200}},
    {"mira", {1650, 2200}},
    // Other paper-like devices
    {"a5 pro", {720, 1440}},
    {"a5", {720, 1440}},
    {"a7 cc", {1080, 2160}},
    {"a7cc", {1080, 2160}},
    {"a7", {1080, 2160}},
    {"a9", {1080, 2400}},
    {"hi reader", {1080, 1920}},
    {"paperlike", {1650, 2200}},
    {"not-ereader", {1080, 2160}},
    {"inkpad", {1404, 1872}},
    {"galy", {1404, 1872}},
    {"nxtpaper 14", {1600, 2560}},
    {"nxtpaper 11", {1200, 2000}},
    {"nxtpaper", {1200, 2000}},
    // Colour tablets
    {"tab s9 ultra", {1848, 2960}},
    {"tab s9 fe", {1600, 2560}},
    {"tab s9+", {1752, 2800}},
    {"tab s9", {1600, 2560}},
    {"tab s8 ultra", {1848, 2960}},
    {"tab s8+", {1752, 2800}},
    {"tab s8", {1600, 2560}},
    {"tab s7 fe", {1600, 2560}},
    {"tab s7+", {1752, 2800}},
    {"tab s7", {1600, 2560}},
    {"tab a9+", {1200, 1920}},
    {"tab a9", {800, 1340}},
    {"tab a8", {1200, 1920}},
    {"tab a7", {1200, 2000}},
    {"pixel tablet", {1600, 2560}},
    {"tab p12", {1600, 2560}},
    {"tab p11", {1200, 2000}},
    {"oneplus pad 2", {1644, 2864}},
    {"oneplus pad", {1480, 2800}},
    {"xiaomi pad 6 pro", {1440, 2880}},
    {"xiaomi pad 6", {1440, 2880}},
    {"xiaomi pad 5", {1600, 2560}},
    // Phones
    {"s24 ultra", {1440, 3120}},
    {"s24+", {1440, 3120}},
    {"s24 fe", {1080, 2340}},
    {"s24", {1080, 2340}},
    {"s23 ultra", {1440, 3088}},
    {"s23+", {1080, 2340}},
    {"s23 fe", {1080, 2340}},
    {"s23", {1080, 2340}},
    {"s22 ultra", {1440, 3088}},
    {"s22+", {1080, 2340}},
    {"s22", {1080, 2340}},
    {"pixel 8 pro", {1344, 2992}},
    {"pixel 8a", {1080, 2400}},
    {"pixel 8", {1080, 2400}},
    {"pixel 7 pro", {1440, 3120}},
    {"pixel 7a", {1080, 2400}},
    {"pixel 7", {1080, 2400}},
    {"pixel 6 pro", {1440, 3120}},
    {"pixel 6a", {1080, 2400}},
    {"pixel 6", {1080, 2400}},
    {"oneplus 12", {1440, 3168}},
    {"oneplus 11", {1440, 3216}},
    {"a54", {1080, 2340}},
    {"a34", {1080, 2340}},
    {"a15", {1080, 2340}},
    {"a14", {1080, 2408}},
    {"z fold5", {1812, 2176}},
    {"z fold4", {1812, 2176}},
    {"z flip5", {1080, 2640}},
    {"z flip4", {1080, 2640}},
    {"pixel 9 pro xl", {1344, 2992}},
    {"pixel 9 pro", {1280, 2856}},
    {"pixel 9", {1080, 2424}},
    {"s25 ultra", {1440, 3120}},
    {"s25+", {1440, 3120}},
    {"s25", {1080, 2340}},
    {"z fold6", {1856, 2160}},
    {"z flip6", {1080, 2640}},
    {"nothing phone (2)", {1080, 2412}},
    {"nothing phone (1)", {1080, 2400}},
    {"edge 50 pro", {1220, 2712}},
    {"razr 50 ultra", {1080, 2640}},
});
static_assert(knownRows.size() == 108, "every known device row must be listed");

constexpr auto greyscalePatterns = std::to_array<std::string_view>({"dc-1", "dc_1", "dc1", "daylight", "palma",
    "tab ultra", "note air", "note x", "note5", "page", "poke", "leaf", "go 10.3", "nova", "max lumi", "mira", "a5",
    "a5pro", "a7", "a7cc", "a9", "hi reader", "inkpad", "galy", "paperlike", "not-ereader", "nxtpaper"});
static_assert(greyscalePatterns.size() == 27, "every greyscale pattern must be listed");

} // namespace

const std::array<KnownDeviceResolution, 108> KNOWN_DEVICE_RESOLUTIONS = knownRows;
const std::array<std::string_view, 27> GREYSCALE_MODEL_PATTERNS = greyscalePatterns;

std::optional<PixelSize> knownDeviceResolution(std::string_view model)
{
    const auto lower = lowercased(model);
    for (const auto& row : knownRows) {
        if (contains(lower, row.pattern)) return row.size;
    }
    return std::nullopt;
}

bool isGreyscaleDevice(std::string_view model)
{
    const auto lower = lowercased(model);
    return std::any_of(greyscalePatterns.begin(), greyscalePatterns.end(),
        [&](std::string_view pattern) { return contains(lower, pattern); });
}

bool isCompanionCompatible(std::string_view installed, std::string_view expected)
{
    // The first non-empty piece between dots, if any.
    const auto major = [](std::string_view version) -> std::optional<std::string_view> {
        std::size_t start = 0;
        while (start <= version.size()) {
            const auto dot = version.find('.', start);
            const auto end = dot == std::string_view::npos ? version.size() : dot;
            if (end > start) return version.substr(start, end - start);
            if (dot == std::string_view::npos) break;
            start = dot + 1;
        }
        return std::nullopt;
    };
    const auto installedMajor = major(installed);
    const auto expectedMajor = major(expected);
    if (installedMajor && expectedMajor) return *installedMajor == *expectedMajor;
    return installed == expected;
}

} // namespace qb
