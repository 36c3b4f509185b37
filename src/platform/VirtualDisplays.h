// Virtual displays and display configuration: the platform service behind
// VirtualDisplayManager.
//
// A virtual display exists only in software; it is created from a descriptor,
// given its modes by applying settings, and removed when its handle is
// destroyed. The display configuration calls switch mirroring between
// displays in one transaction (begin, configure, complete or cancel).
//
// On Linux a virtual display is an XRandR output of the dummy or VIRTUAL
// kind given a mode of its own; mirroring places the mirroring output's CRTC
// on the master's picture. The sim backend keeps it all in memory.
//
// After each change (creation with its settings, mirroring on or off) the
// session awaits awaitDisplayReady before it uses the display: the desktop's
// own confirmation that it shows the change where the backend has one, an
// upper bound on the wait where it has none.
//
// Threads: any one thread at a time (the session's; the engine's main thread
// for mirroring). awaitDisplayReady runs on the awaiting coroutine's executor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "runtime/Asio.h"
#include "runtime/Timer.h"

namespace qb {

// What identifies a new display to the desktop.
struct VirtualDisplayDescriptor {
    std::uint32_t vendorId = 0xDA7E;
    std::uint32_t productId = 0xDA7E;
    std::uint32_t serialNumber = 0;
    std::string name;
    std::uint32_t maxPixelsWide = 0;
    std::uint32_t maxPixelsHigh = 0;
    double widthMillimetres = 0;
    double heightMillimetres = 0;
};

// One mode offered in the settings: its size in points (in pixels too, unless
// HiDPI doubles them).
struct VirtualDisplayModeSetting {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double refreshRate = 60.0;
};

struct VirtualDisplaySettings {
    bool hiDPI = false;
    std::vector<VirtualDisplayModeSetting> modes;
};

// A display mode as listed by the display: size in points and in pixels
// (pixels exceed points for a HiDPI mode). `modeId` identifies it to setDisplayMode.
struct DisplayModeInfo {
    std::uint32_t modeId = 0;
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t pixelWidth = 0;
    std::size_t pixelHeight = 0;
    double refreshRate = 0;
};

// Owns a created display; destroying it removes the display.
class VirtualDisplay {
public:
    virtual ~VirtualDisplay() = default;
    virtual std::uint32_t displayId() const = 0;
    // Gives the display its modes; false when the desktop refused them.
    virtual bool applySettings(const VirtualDisplaySettings& settings) = 0;
};

// How long completed configuration changes last.
enum class DisplayConfigureOption : std::uint32_t {
    forAppOnly = 0,
    forSession = 1, // until logout
    permanently = 2,
};

// Platform error codes of the configuration calls (0 is success).
inline constexpr std::int32_t DISPLAY_ERROR_FAILURE = 1000;
inline constexpr std::int32_t DISPLAY_ERROR_ILLEGAL_ARGUMENT = 1001;
inline constexpr std::int32_t DISPLAY_ERROR_CANNOT_COMPLETE = 1004;

// The null display: "mirror of nothing".
inline constexpr std::uint32_t NULL_DISPLAY_ID = 0;

// One configuration transaction. Destroying it without complete() or
// cancel() cancels it.
class DisplayConfiguration {
public:
    virtual ~DisplayConfiguration() = default;
    // Makes `display` mirror `master` (NULL_DISPLAY_ID: mirror nothing). 0 on success.
    virtual std::int32_t configureMirror(std::uint32_t display, std::uint32_t master) = 0;
    // Applies the changes; 0 on success.
    virtual std::int32_t complete(DisplayConfigureOption option) = 0;
    virtual void cancel() = 0;
};

// How a wait for the desktop to show a display's change ended.
enum class DisplayReadiness {
    confirmed,   // the desktop said it shows the change
    unconfirmed, // it cannot tell: the whole upper bound passed
    interrupted, // the waiting session is stopping
};

class VirtualDisplays {
public:
    virtual ~VirtualDisplays() = default;

    // Waits until the desktop shows what was last asked of display
    // `displayId` (its creation and settings, mirroring turned on or off);
    // a desktop that cannot tell is given `limit`. `interruption` ends the
    // wait early (a stop). The default is such a desktop: it waits the
    // whole limit, unless interrupted.
    virtual asio::awaitable<DisplayReadiness> awaitDisplayReady(std::uint32_t displayId, Duration limit,
        Sleeper& interruption)
    {
        (void)displayId;
        co_return co_await interruption.sleep(limit) ? DisplayReadiness::unconfirmed : DisplayReadiness::interrupted;
    }

    // nullptr when the display could not be created.
    virtual std::unique_ptr<VirtualDisplay> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) = 0;

    // Every mode of the display, duplicate low-resolution modes included, in
    // the platform's order; nullopt when the display cannot be asked.
    virtual std::optional<std::vector<DisplayModeInfo>> copyAllDisplayModes(std::uint32_t displayId) = 0;
    // Makes `mode` current; 0 on success, else a platform error code.
    virtual std::int32_t setDisplayMode(std::uint32_t displayId, const DisplayModeInfo& mode) = 0;

    // Up to `maxDisplays` online displays, in the platform's order.
    virtual std::vector<std::uint32_t> onlineDisplays(std::size_t maxDisplays) = 0;
    virtual bool isBuiltIn(std::uint32_t displayId) = 0;

    // nullptr when no transaction could be begun.
    virtual std::unique_ptr<DisplayConfiguration> beginConfiguration() = 0;

    // Removes what a run that died left on the desktop: the backend names
    // everything it creates as ours, so it finds it again. How many things
    // went. A desktop that removes a client's displays with its connection
    // has nothing to do.
    virtual int removeLeftovers() { return 0; }
};

} // namespace qb
