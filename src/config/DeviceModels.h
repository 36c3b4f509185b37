// Device classification by model string: the device family, the table of
// known screen sizes, the greyscale (paper-like) devices and the companion's
// version rule. Pure functions over immutable tables; any thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace qb {

enum class DeviceFamily { daylightDC1, other };

std::string_view rawValue(DeviceFamily family); // "Daylight DC-1", "External Display"
std::optional<DeviceFamily> deviceFamilyFromRawValue(std::string_view raw);
// The family of a device with this model string: a DC-1 when the lower-cased
// model contains "dc-1", "dc_1", "daylight" or "dc1".
DeviceFamily deviceFamilyForModel(std::string_view model);

struct PixelSize {
    int width = 0;
    int height = 0;
    bool operator==(const PixelSize&) const = default;
};

struct KnownDeviceResolution {
    std::string_view pattern; // lower-case ASCII substring of a model name
    PixelSize size;           // width first, as the device reports it
};

// Ordered: lookup takes the first row whose pattern the model contains, so
// specific patterns come before the general ones of the same line (a short
// pattern can still shadow a later row of another line: "a5" wins over "a54").
extern const std::array<KnownDeviceResolution, 108> KNOWN_DEVICE_RESOLUTIONS;

// Lower-case substrings of the model names of paper-like (greyscale) devices.
extern const std::array<std::string_view, 27> GREYSCALE_MODEL_PATTERNS;

// The size of the first row whose pattern the lower-cased model contains.
std::optional<PixelSize> knownDeviceResolution(std::string_view model);

// True when the lower-cased model contains a greyscale pattern: such devices
// are streamed `greyscale`, all others `rgb`.
bool isGreyscaleDevice(std::string_view model);

// Only the major versions must match: both are split on "." (empty pieces
// dropped) and the first pieces compared as text; when either has no piece
// the whole strings are compared.
bool isCompanionCompatible(std::string_view installed, std::string_view expected);

} // namespace qb
