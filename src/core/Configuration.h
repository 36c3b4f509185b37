// The configuration model: the small value types every subsystem exchanges.
//
// Display resolutions (the eight fixed presets of the Daylight DC-1 and the
// pairs computed from any other device's native size), the table of known
// device screen sizes, the device family, the pixel format of the frame
// stream, display and connection modes, display profiles, the engine status
// and the capture statistics record.
//
// Everything here is pure data and pure functions: no threads, no I/O, no
// logging. Any thread may call anything; the shared tables are immutable and
// built on first use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qb {

// ---------------------------------------------------------------------------
// Display resolutions

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

// ---------------------------------------------------------------------------
// Enumerations. Each offers rawValue/label/id as free functions,
// construction from a raw value (nothing for unknown values) and, where the
// user picks from them, the list of all cases in declaration order.

enum class DeviceFamily { daylightDC1, other };

std::string_view rawValue(DeviceFamily family); // "Daylight DC-1", "External Display"
std::optional<DeviceFamily> deviceFamilyFromRawValue(std::string_view raw);
// The family of a device with this model string: a DC-1 when the lower-cased
// model contains "dc-1", "dc_1", "daylight" or "dc1".
DeviceFamily deviceFamilyForModel(std::string_view model);

// The raw value is also the pixel-format byte of the frame stream.
enum class PixelFormat : std::uint8_t { greyscale = 0, rgb = 1 };

inline constexpr std::array<PixelFormat, 2> allPixelFormats{PixelFormat::greyscale, PixelFormat::rgb};
constexpr std::uint8_t rawValue(PixelFormat format) { return static_cast<std::uint8_t>(format); }
constexpr std::uint8_t id(PixelFormat format) { return rawValue(format); }
std::optional<PixelFormat> pixelFormatFromRawValue(std::uint8_t raw); // only 0 and 1
std::string_view label(PixelFormat format);                          // "Greyscale", "Color"
// 1 (one luma byte) or 3 (R, G, B); rows are packed back to back.
constexpr std::size_t bytesPerPixel(PixelFormat format) { return format == PixelFormat::greyscale ? 1 : 3; }

enum class DisplayMode { mirror, extended };

inline constexpr std::array<DisplayMode, 2> allDisplayModes{DisplayMode::mirror, DisplayMode::extended};
std::string_view rawValue(DisplayMode mode); // "mirror", "extended"
inline std::string_view id(DisplayMode mode) { return rawValue(mode); }
std::optional<DisplayMode> displayModeFromRawValue(std::string_view raw);
std::string_view label(DisplayMode mode); // "Mirror", "Extend"

enum class ConnectionMode { usb, wifi };

inline constexpr std::array<ConnectionMode, 2> allConnectionModes{ConnectionMode::usb, ConnectionMode::wifi};
std::string_view rawValue(ConnectionMode mode); // "usb", "wifi"
inline std::string_view id(ConnectionMode mode) { return rawValue(mode); }
std::optional<ConnectionMode> connectionModeFromRawValue(std::string_view raw);
std::string_view label(ConnectionMode mode); // "USB", "WiFi"

// A contrast and gamma pair, the two inputs of the encoder's lookup table.
enum class DisplayProfile { crispPaper, balanced, custom };

inline constexpr std::array<DisplayProfile, 3> allDisplayProfiles{
    DisplayProfile::crispPaper, DisplayProfile::balanced, DisplayProfile::custom};
std::string_view rawValue(DisplayProfile profile); // "Crisp Paper", "Balanced", "Custom"
inline std::string_view id(DisplayProfile profile) { return rawValue(profile); }
// Also accepts the older stored name "E-ink Crisp" for `crispPaper`.
std::optional<DisplayProfile> displayProfileFromRawValue(std::string_view raw);
double contrast(DisplayProfile profile);
double gamma(DisplayProfile profile);

// ---------------------------------------------------------------------------
// Engine status

class MirrorStatus {
public:
    enum class Kind { idle, waitingForDevice, starting, running, stopping, error };

    MirrorStatus() = default; // idle

    static MirrorStatus idle() { return MirrorStatus(Kind::idle); }
    static MirrorStatus waitingForDevice() { return MirrorStatus(Kind::waitingForDevice); }
    static MirrorStatus starting() { return MirrorStatus(Kind::starting); }
    static MirrorStatus running() { return MirrorStatus(Kind::running); }
    static MirrorStatus stopping() { return MirrorStatus(Kind::stopping); }
    static MirrorStatus error(std::string message) { return MirrorStatus(Kind::error, std::move(message)); }

    Kind kind() const { return kind_; }
    bool is(Kind kind) const { return kind_ == kind; }
    bool isError() const { return kind_ == Kind::error; }
    // The error's message; empty for every other case.
    const std::string& message() const { return message_; }

    // "idle", "waiting_for_device", "starting", "running", "stopping",
    // "error: <message>".
    std::string label() const;

    // Same case and, for errors, the same message.
    bool operator==(const MirrorStatus&) const = default;

private:
    explicit MirrorStatus(Kind kind, std::string message = {}) : kind_(kind), message_(std::move(message)) {}

    Kind kind_ = Kind::idle;
    std::string message_;
};

// ---------------------------------------------------------------------------
// Capture statistics, published by the frame encoder every five seconds.

struct CaptureStats {
    double fps = 0;           // frames processed per second over the last interval
    double bandwidthMBps = 0; // estimated stream rate, MiB per second
    std::int64_t frameSizeKB = 0;   // last compressed frame, whole KiB
    std::int64_t totalFrames = 0;   // frames since the stream (re)started
    double convertMs = 0;     // mean pixel conversion per frame
    double compressMs = 0;    // mean delta + compression + send per frame
    double jitterMs = 0;      // mean deviation of the frame interval from 1/60 s
    std::int64_t skippedFrames = 0; // frames not sent since the capture was created

    bool operator==(const CaptureStats&) const = default;
};

// ---------------------------------------------------------------------------
// Device classification by model string

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

template <>
struct std::hash<qb::DisplayResolution> {
    std::size_t operator()(const qb::DisplayResolution& r) const noexcept;
};

template <>
struct std::hash<qb::MirrorStatus> {
    std::size_t operator()(const qb::MirrorStatus& s) const noexcept;
};
