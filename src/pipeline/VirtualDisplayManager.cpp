#include "pipeline/VirtualDisplayManager.h"

#include <fmt/format.h>

#include <limits>
#include <mutex>
#include <unordered_set>

#include "diagnostics/Log.h"

namespace qb {

namespace {

// Serials in use by live managers, process-wide.
std::mutex& serialLock()
{
    static std::mutex lock;
    return lock;
}

std::unordered_set<std::uint32_t>& assignedSerials()
{
    static std::unordered_set<std::uint32_t> serials;
    return serials;
}

void info(const std::string& line)
{
    componentLog(LogLevel::info, "VirtualDisplay", line);
}

void warn(const std::string& line)
{
    componentLog(LogLevel::warn, "VirtualDisplay", line);
}

// Up to this many online displays are looked at for the built-in one.
constexpr std::size_t MAX_ONLINE_DISPLAYS = 32;

} // namespace

std::uint32_t VirtualDisplayManager::stableSerial(std::string_view from)
{
    std::uint32_t hash = 2166136261u;
    for (unsigned char byte : from) {
        hash ^= byte;
        hash *= 16777619u;
    }
    return hash == 0 ? 1 : hash;
}

std::uint32_t VirtualDisplayManager::claimSerial(std::string_view from)
{
    std::uint32_t serial = stableSerial(from);
    std::lock_guard guard(serialLock());
    auto& assigned = assignedSerials();
    while (assigned.contains(serial)) {
        serial = serial == std::numeric_limits<std::uint32_t>::max() ? 1 : serial + 1;
    }
    assigned.insert(serial);
    return serial;
}

bool VirtualDisplayManager::isSerialClaimed(std::uint32_t serial)
{
    std::lock_guard guard(serialLock());
    return assignedSerials().contains(serial);
}

VirtualDisplayManager::VirtualDisplayManager(std::uint64_t width, std::uint64_t height, bool hiDPI,
    std::string name, std::uint32_t serial, std::shared_ptr<VirtualDisplays> platform)
    : platform_(std::move(platform))
    , width_(width)
    , height_(height)
    , claimedSerial_(serial)
{
    constexpr std::uint64_t max32 = std::numeric_limits<std::uint32_t>::max();
    if (width > max32 || height > max32) {
        warn(fmt::format("[VirtualDisplay] WARNING: Failed to create virtual display ({}x{} does not fit)", width,
            height));
        return;
    }

    VirtualDisplayDescriptor descriptor;
    descriptor.vendorId = VENDOR_ID;
    descriptor.productId = PRODUCT_ID;
    descriptor.serialNumber = serial;
    descriptor.name = std::move(name);
    descriptor.maxPixelsWide = static_cast<std::uint32_t>(width);
    descriptor.maxPixelsHigh = static_cast<std::uint32_t>(height);
    // A 100 pixels-per-inch panel.
    descriptor.widthMillimetres = double(width) * 25.4 / 100.0;
    descriptor.heightMillimetres = double(height) * 25.4 / 100.0;

    virtualDisplay_ = platform_->createVirtualDisplay(descriptor);
    if (!virtualDisplay_) {
        warn("[VirtualDisplay] WARNING: Failed to create virtual display");
        return;
    }
    displayID_ = virtualDisplay_->displayId();
    info(fmt::format("[VirtualDisplay] Created: ID {}", displayID_));

    VirtualDisplaySettings settings;
    settings.hiDPI = hiDPI;
    const auto modeWidth = static_cast<std::uint32_t>(hiDPI ? width / 2 : width);
    const auto modeHeight = static_cast<std::uint32_t>(hiDPI ? height / 2 : height);
    settings.modes.push_back({modeWidth, modeHeight, REFRESH_RATE});

    if (virtualDisplay_->applySettings(settings)) {
        const std::string mode = hiDPI ? fmt::format("HiDPI ({}x{} logical @ 2x)", width / 2, height / 2) : "non-HiDPI";
        info(fmt::format("[VirtualDisplay] Configured: {}x{} {} @ 60Hz", width, height, mode));
        if (hiDPI) hiDPIActive_ = selectHiDPIMode(width / 2, height / 2, width, height);
    } else {
        warn("[VirtualDisplay] WARNING: Failed to apply virtual display settings");
        if (hiDPI) hiDPIRefused("the desktop refused its modes");
    }
}

VirtualDisplayManager::~VirtualDisplayManager()
{
    {
        std::lock_guard guard(serialLock());
        assignedSerials().erase(claimedSerial_);
    }
    virtualDisplay_.reset();
}

void VirtualDisplayManager::hiDPIRefused(const std::string& why)
{
    warn(fmt::format("[VirtualDisplay] WARNING: No HiDPI on this desktop ({}): the tablet shows {}x{} of the "
                     "desktop at 1x, as a sharp preset does, not {}x{} at 2x",
        why, width_, height_, width_ / 2, height_ / 2));
}

bool VirtualDisplayManager::selectHiDPIMode(std::uint64_t logicalWidth, std::uint64_t logicalHeight,
    std::uint64_t backingWidth, std::uint64_t backingHeight)
{
    auto modes = platform_->copyAllDisplayModes(displayID_);
    if (!modes) {
        warn("[VirtualDisplay] WARNING: Could not enumerate display modes for HiDPI selection");
        hiDPIRefused("its modes could not be listed");
        return false;
    }
    for (const auto& mode : *modes) {
        if (mode.width == logicalWidth && mode.height == logicalHeight && mode.pixelWidth == backingWidth
            && mode.pixelHeight == backingHeight) {
            const std::int32_t result = platform_->setDisplayMode(displayID_, mode);
            if (result == 0) {
                info(fmt::format("[VirtualDisplay] HiDPI mode activated: {}x{} logical → {}x{}px", logicalWidth,
                    logicalHeight, backingWidth, backingHeight));
                return true;
            }
            warn(fmt::format("[VirtualDisplay] WARNING: Setting the HiDPI display mode failed with code {}", result));
            hiDPIRefused(fmt::format("the desktop refused the mode, code {}", result));
            return false;
        }
    }
    warn(fmt::format("[VirtualDisplay] WARNING: HiDPI mode {}x{} → {}x{} not found", logicalWidth, logicalHeight,
        backingWidth, backingHeight));
    for (const auto& mode : *modes) {
        info(fmt::format("[VirtualDisplay]   available: {}x{} → {}x{}{}", mode.width, mode.height, mode.pixelWidth,
            mode.pixelHeight, mode.pixelWidth > mode.width ? " [HiDPI]" : ""));
    }
    hiDPIRefused("no such mode");
    return false;
}

std::optional<std::uint32_t> VirtualDisplayManager::findBuiltInDisplay()
{
    for (std::uint32_t id : platform_->onlineDisplays(MAX_ONLINE_DISPLAYS)) {
        if (platform_->isBuiltIn(id)) return id;
    }
    return std::nullopt;
}

void VirtualDisplayManager::mirrorBuiltInDisplay()
{
    // Without a display of our own, "mirror of display 0" would mean the
    // opposite: ending the mirroring.
    if (!hasDisplay()) {
        warn("[VirtualDisplay] WARNING: No virtual display to mirror");
        return;
    }
    auto builtIn = findBuiltInDisplay();
    if (!builtIn) {
        warn("[VirtualDisplay] WARNING: No built-in display found");
        return;
    }
    auto configuration = platform_->beginConfiguration();
    if (!configuration) {
        warn("[VirtualDisplay] WARNING: Failed to begin display configuration");
        return;
    }
    if (configuration->configureMirror(*builtIn, displayID_) != 0) {
        warn("[VirtualDisplay] WARNING: Failed to configure mirror");
        configuration->cancel();
        return;
    }
    if (configuration->complete(DisplayConfigureOption::forSession) == 0) {
        info(fmt::format("[VirtualDisplay] Mirroring: built-in display {} -> virtual display {}", *builtIn,
            displayID_));
    } else {
        warn("[VirtualDisplay] WARNING: Failed to complete mirror configuration");
    }
}

void VirtualDisplayManager::unmirrorBuiltInDisplay(std::string_view context)
{
    auto builtIn = findBuiltInDisplay();
    if (!builtIn) {
        warn(fmt::format("[VirtualDisplay:{}] No built-in display found to unmirror", context));
        return;
    }
    auto configuration = platform_->beginConfiguration();
    if (!configuration) {
        warn(fmt::format("[VirtualDisplay:{}] Failed to begin display configuration for unmirror", context));
        return;
    }
    if (configuration->configureMirror(*builtIn, NULL_DISPLAY_ID) != 0) {
        warn(fmt::format("[VirtualDisplay:{}] Failed to configure unmirror", context));
        configuration->cancel();
        return;
    }
    if (configuration->complete(DisplayConfigureOption::forSession) == 0) {
        info(fmt::format("[VirtualDisplay:{}] Unmirrored: virtual display {} is now standalone", context,
            displayID_));
    } else {
        warn(fmt::format("[VirtualDisplay:{}] Failed to complete unmirror configuration", context));
    }
}

} // namespace qb
