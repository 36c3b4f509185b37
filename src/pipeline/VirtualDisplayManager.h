// The software-only display each device session adds to the desktop: created
// at the session's resolution, given one mode (optionally HiDPI, so the
// desktop is laid out at half the pixel size), and captured by the session's
// ScreenCapture. It also switches the built-in display between mirroring the
// virtual display (mirror mode) and standing alone (extended mode).
//
// Display serial numbers are handed out per device string (claimSerial), so
// a device keeps its display identity from one session to the next — the
// desktop remembers arrangement and scaling by it — and two devices never
// share one.
//
// Ownership: the device session owns its manager from start to stop;
// destroying the manager removes the display and frees its serial.
// Threads: construction, mirroring and destruction in the caller's context
// (one thread at a time); claimSerial / stableSerial from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/VirtualDisplays.h"

namespace qb {

class VirtualDisplayManager {
public:
    // Vendor and product identifiers of every virtual display we create.
    static constexpr std::uint32_t VENDOR_ID = 0xDA7E;
    static constexpr std::uint32_t PRODUCT_ID = 0xDA7E;
    static constexpr double REFRESH_RATE = 60.0;

    // Creates and configures the display. `serial` normally comes from
    // claimSerial(deviceSerial); it is freed again when the manager goes,
    // also when the display could not be created (hasDisplay() false).
    // `platform`: the platform's virtual displays (required).
    VirtualDisplayManager(std::uint64_t width, std::uint64_t height, bool hiDPI, std::string name,
        std::uint32_t serial, std::shared_ptr<VirtualDisplays> platform);
    ~VirtualDisplayManager();
    VirtualDisplayManager(const VirtualDisplayManager&) = delete;
    VirtualDisplayManager& operator=(const VirtualDisplayManager&) = delete;

    // 32-bit FNV-1a of the UTF-8 bytes; never 0 (0 becomes 1).
    static std::uint32_t stableSerial(std::string_view from);
    // The stable serial, or the next free number after it (wrapping from
    // 4294967295 to 1), marked as in use until the manager holding it goes.
    static std::uint32_t claimSerial(std::string_view from);
    // Whether `serial` is currently claimed (for diagnostics and tests).
    static bool isSerialClaimed(std::uint32_t serial);

    // Built-in display mirrors the virtual display.
    void mirrorBuiltInDisplay();
    // Built-in display stands alone; `context` tags the log lines ("Extend").
    void unmirrorBuiltInDisplay(std::string_view context);

    // False when the platform refused to create the display; the session
    // then treats the session as having no virtual display.
    bool hasDisplay() const { return virtualDisplay_ != nullptr; }
    std::uint32_t displayID() const { return displayID_; }
    std::uint64_t width() const { return width_; }
    std::uint64_t height() const { return height_; }
    std::uint32_t claimedSerial() const { return claimedSerial_; }
    // Whether the desktop took the HiDPI mode: laid out at half the pixel
    // size, shown at twice the density. False for a display not asked for
    // one, and for one whose desktop refused it (a warning then said what
    // the tablet gets instead).
    bool hiDPIActive() const { return hiDPIActive_; }

private:
    // Logs what the tablet gets when the HiDPI mode asked for was not taken.
    void hiDPIRefused(const std::string& why);
    bool selectHiDPIMode(std::uint64_t logicalWidth, std::uint64_t logicalHeight, std::uint64_t backingWidth,
        std::uint64_t backingHeight);
    std::optional<std::uint32_t> findBuiltInDisplay();

    std::shared_ptr<VirtualDisplays> platform_;
    std::unique_ptr<VirtualDisplay> virtualDisplay_;
    std::uint32_t displayID_ = 0;
    std::uint64_t width_;
    std::uint64_t height_;
    std::uint32_t claimedSerial_;
    bool hiDPIActive_ = false;
};

} // namespace qb
