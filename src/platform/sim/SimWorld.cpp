#include "platform/sim/SimWorld.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "runtime/Clock.h"

namespace qb::sim {

using namespace std::chrono_literals;

const DisplayModeInfo* SimDisplayState::currentMode() const
{
    for (const auto& mode : modes) {
        if (mode.modeId == currentModeId) return &mode;
    }
    return nullptr;
}

std::size_t SimDisplayState::pixelWidth() const
{
    const auto* mode = currentMode();
    return mode ? mode->pixelWidth : descriptor.maxPixelsWide;
}

std::size_t SimDisplayState::pixelHeight() const
{
    const auto* mode = currentMode();
    return mode ? mode->pixelHeight : descriptor.maxPixelsHigh;
}

std::size_t SimDisplayState::pointWidth() const
{
    const auto* mode = currentMode();
    return mode ? mode->width : descriptor.maxPixelsWide;
}

std::size_t SimDisplayState::pointHeight() const
{
    const auto* mode = currentMode();
    return mode ? mode->height : descriptor.maxPixelsHigh;
}

SimWorld& SimWorld::shared()
{
    static SimWorld world;
    return world;
}

SimWorld::SimWorld()
{
    reset();
}

namespace {

// QUILLBRIGHT_SIM_ROW_PADDING: extra bytes per captured row (32 by default).
std::size_t rowPaddingFromEnvironment()
{
    if (const char* env = std::getenv("QUILLBRIGHT_SIM_ROW_PADDING")) {
        char* end = nullptr;
        unsigned long parsed = std::strtoul(env, &end, 10);
        if (end != env && *end == '\0' && parsed <= 4096) return parsed;
    }
    return 32;
}

} // namespace

void SimWorld::reset()
{
    auto scene = sceneFromEnvironment();
    const std::size_t padding = rowPaddingFromEnvironment();
    std::lock_guard guard(lock_);
    displays_.clear();
    nextDisplayId_ = BUILT_IN_DISPLAY_ID + 1;
    failures_ = SimFailures{};
    defaultScene_ = std::move(scene);
    rowPadding_ = padding;
    configurationLog_.clear();
    windows_.clear();
    links_.clear();
    linkInterval_ = std::chrono::duration_cast<Duration>(std::chrono::duration<double>(1.0 / 60.0));
    addBuiltInLocked();
}

void SimWorld::addBuiltInLocked()
{
    DisplayEntry entry;
    entry.state.id = BUILT_IN_DISPLAY_ID;
    entry.state.builtIn = true;
    entry.state.descriptor.vendorId = 0x0610;
    entry.state.descriptor.productId = 0xA050;
    entry.state.descriptor.serialNumber = 0xFD626D62;
    entry.state.descriptor.name = "Built-in Retina Display";
    entry.state.descriptor.maxPixelsWide = 2560;
    entry.state.descriptor.maxPixelsHigh = 1600;
    entry.state.descriptor.widthMillimetres = 286;
    entry.state.descriptor.heightMillimetres = 179;
    entry.state.hiDPI = true;
    DisplayModeInfo retina{nextModeId_++, 1280, 800, 2560, 1600, 60.0};
    DisplayModeInfo native{nextModeId_++, 2560, 1600, 2560, 1600, 60.0};
    entry.state.modes = {retina, native};
    entry.state.currentModeId = retina.modeId;
    entry.scene = defaultScene_;
    entry.sceneGeneration = nextGeneration_++;
    entry.sceneStart = mediaTime();
    displays_.insert(displays_.begin(), std::move(entry));
}

SimWorld::DisplayEntry* SimWorld::find(std::uint32_t id)
{
    for (auto& entry : displays_) {
        if (entry.state.id == id) return &entry;
    }
    return nullptr;
}

const SimWorld::DisplayEntry* SimWorld::find(std::uint32_t id) const
{
    for (const auto& entry : displays_) {
        if (entry.state.id == id) return &entry;
    }
    return nullptr;
}

std::optional<SimDisplayState> SimWorld::display(std::uint32_t id) const
{
    std::lock_guard guard(lock_);
    if (const auto* entry = find(id)) return entry->state;
    return std::nullopt;
}

std::vector<std::uint32_t> SimWorld::displayIds() const
{
    std::lock_guard guard(lock_);
    std::vector<std::uint32_t> ids;
    for (const auto& entry : displays_) ids.push_back(entry.state.id);
    return ids;
}

void SimWorld::removeBuiltInDisplay()
{
    removeDisplay(BUILT_IN_DISPLAY_ID);
}

void SimWorld::setDisplayHasScreen(std::uint32_t id, bool hasScreen)
{
    std::lock_guard guard(lock_);
    if (auto* entry = find(id)) entry->state.hasScreen = hasScreen;
}

void SimWorld::removeDisplay(std::uint32_t id)
{
    std::lock_guard guard(lock_);
    std::erase_if(displays_, [id](const DisplayEntry& e) { return e.state.id == id; });
    // A display that mirrored the removed one stands alone again.
    for (auto& entry : displays_) {
        if (entry.state.mirrorOf == id) entry.state.mirrorOf = NULL_DISPLAY_ID;
    }
}

SimFailures SimWorld::failures() const
{
    std::lock_guard guard(lock_);
    return failures_;
}

void SimWorld::updateFailures(const std::function<void(SimFailures&)>& change)
{
    std::lock_guard guard(lock_);
    change(failures_);
}

void SimWorld::setScene(std::uint32_t id, std::shared_ptr<SimScene> scene)
{
    const double now = mediaTime();
    std::lock_guard guard(lock_);
    if (auto* entry = find(id)) {
        entry->scene = std::move(scene);
        entry->sceneGeneration = nextGeneration_++;
        entry->sceneStart = now;
    }
}

void SimWorld::setDefaultScene(std::shared_ptr<SimScene> scene)
{
    std::lock_guard guard(lock_);
    defaultScene_ = std::move(scene);
}

void SimWorld::setRowPadding(std::size_t bytes)
{
    std::lock_guard guard(lock_);
    rowPadding_ = bytes;
}

std::size_t SimWorld::rowPadding() const
{
    std::lock_guard guard(lock_);
    return rowPadding_;
}

std::vector<std::string> SimWorld::configurationLog() const
{
    std::lock_guard guard(lock_);
    return configurationLog_;
}

std::vector<SimWindowState> SimWorld::windows() const
{
    std::lock_guard guard(lock_);
    return windows_;
}

void SimWorld::setDisplayLinkInterval(Duration interval)
{
    std::lock_guard guard(lock_);
    linkInterval_ = std::max(interval, Duration(std::chrono::microseconds(50)));
}

std::size_t SimWorld::activeDisplayLinks() const
{
    std::lock_guard guard(lock_);
    return links_.size();
}

void SimWorld::fireDisplayLinks(std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<std::shared_ptr<std::function<void()>>> ticks;
        {
            std::lock_guard guard(lock_);
            for (const auto& link : links_) ticks.push_back(link.tick);
        }
        for (const auto& tick : ticks) (*tick)();
    }
}

std::size_t SimWorld::activeStreams() const
{
    std::lock_guard guard(lock_);
    return activeStreams_;
}

std::optional<std::uint32_t> SimWorld::createDisplay(const VirtualDisplayDescriptor& descriptor)
{
    const double now = mediaTime();
    std::lock_guard guard(lock_);
    if (failures_.createDisplayFails || descriptor.maxPixelsWide == 0 || descriptor.maxPixelsHigh == 0) {
        return std::nullopt;
    }
    DisplayEntry entry;
    entry.state.id = nextDisplayId_++;
    entry.state.descriptor = descriptor;
    // Until settings arrive the display runs at its maximum size.
    DisplayModeInfo initial{nextModeId_++, descriptor.maxPixelsWide, descriptor.maxPixelsHigh,
        descriptor.maxPixelsWide, descriptor.maxPixelsHigh, 60.0};
    entry.state.modes = {initial};
    entry.state.currentModeId = initial.modeId;
    entry.scene = defaultScene_;
    entry.sceneGeneration = nextGeneration_++;
    entry.sceneStart = now;
    const std::uint32_t id = entry.state.id;
    displays_.push_back(std::move(entry));
    return id;
}

bool SimWorld::applySettings(std::uint32_t id, const VirtualDisplaySettings& settings)
{
    std::lock_guard guard(lock_);
    auto* entry = find(id);
    if (!entry || failures_.applySettingsFails || settings.modes.empty()) return false;
    const auto& descriptor = entry->state.descriptor;
    const std::size_t scale = settings.hiDPI ? 2 : 1;
    std::vector<DisplayModeInfo> modes;
    for (const auto& setting : settings.modes) {
        if (setting.width == 0 || setting.height == 0) return false;
        const std::size_t pixelWidth = std::size_t(setting.width) * scale;
        const std::size_t pixelHeight = std::size_t(setting.height) * scale;
        if (pixelWidth > descriptor.maxPixelsWide || pixelHeight > descriptor.maxPixelsHigh) return false;
        // The low-resolution duplicate comes first, as the desktop lists it,
        // so picking the HiDPI mode needs to look at the pixel size too.
        if (settings.hiDPI) {
            modes.push_back({nextModeId_++, setting.width, setting.height, setting.width, setting.height,
                setting.refreshRate});
            if (!failures_.omitHiDPIModes) {
                modes.push_back({nextModeId_++, setting.width, setting.height, pixelWidth, pixelHeight,
                    setting.refreshRate});
            }
        } else {
            modes.push_back({nextModeId_++, setting.width, setting.height, pixelWidth, pixelHeight,
                setting.refreshRate});
        }
    }
    for (auto extra : failures_.extraModes) {
        extra.modeId = nextModeId_++;
        modes.push_back(extra);
    }
    entry->state.hiDPI = settings.hiDPI;
    entry->state.modes = std::move(modes);
    entry->state.currentModeId = entry->state.modes.front().modeId;
    return true;
}

std::int32_t SimWorld::setDisplayMode(std::uint32_t id, std::uint32_t modeId)
{
    std::lock_guard guard(lock_);
    if (failures_.setModeError != 0) return failures_.setModeError;
    auto* entry = find(id);
    if (!entry) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
    for (const auto& mode : entry->state.modes) {
        if (mode.modeId == modeId) {
            entry->state.currentModeId = modeId;
            return 0;
        }
    }
    return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
}

void SimWorld::recordConfiguration(std::string step)
{
    std::lock_guard guard(lock_);
    configurationLog_.push_back(std::move(step));
}

std::int32_t SimWorld::applyMirrors(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& changes)
{
    std::lock_guard guard(lock_);
    for (const auto& [displayId, master] : changes) {
        if (!find(displayId) || (master != NULL_DISPLAY_ID && !find(master))) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
    }
    for (const auto& [displayId, master] : changes) find(displayId)->state.mirrorOf = master;
    return 0;
}

std::vector<ScreenInfo> SimWorld::screens() const
{
    std::lock_guard guard(lock_);
    std::vector<ScreenInfo> result;
    double x = 0;
    for (const auto& entry : displays_) {
        // A mirroring display shows another's desktop and has no screen.
        if (!entry.state.hasScreen || entry.state.mirrorOf != NULL_DISPLAY_ID) continue;
        ScreenInfo info;
        info.displayNumber = entry.state.id;
        info.frame = {x, 0, double(entry.state.pointWidth()), double(entry.state.pointHeight())};
        x += info.frame.width;
        result.push_back(info);
    }
    return result;
}

std::uint64_t SimWorld::addWindow(const PacerWindowRequest& request, std::uint32_t displayNumber, ScreenRect frame)
{
    std::lock_guard guard(lock_);
    SimWindowState window;
    window.id = nextWindowId_++;
    window.request = request;
    window.displayNumber = displayNumber;
    window.frame = frame;
    window.background = request.background;
    windows_.push_back(window);
    return window.id;
}

void SimWorld::updateWindow(std::uint64_t id, const std::function<void(SimWindowState&)>& change)
{
    std::lock_guard guard(lock_);
    for (auto& window : windows_) {
        if (window.id == id) change(window);
    }
}

std::uint64_t SimWorld::addDisplayLink(std::function<void()> tick)
{
    std::lock_guard guard(lock_);
    const std::uint64_t id = nextLinkId_++;
    links_.push_back({id, std::make_shared<std::function<void()>>(std::move(tick))});
    return id;
}

void SimWorld::removeDisplayLink(std::uint64_t id)
{
    std::lock_guard guard(lock_);
    std::erase_if(links_, [id](const LinkEntry& link) { return link.id == id; });
}

Duration SimWorld::displayLinkInterval() const
{
    std::lock_guard guard(lock_);
    return linkInterval_;
}

void SimWorld::streamStarted()
{
    std::lock_guard guard(lock_);
    ++activeStreams_;
}

void SimWorld::streamStopped()
{
    std::lock_guard guard(lock_);
    if (activeStreams_ > 0) --activeStreams_;
}

std::optional<WindowColor> SimWorld::overlayLocked(std::uint32_t id, std::size_t* x, std::size_t* y,
    std::size_t* size) const
{
    const auto* entry = find(id);
    if (!entry) return std::nullopt;
    // The window lies on a screen in points; find that screen's frame.
    double screenX = 0;
    std::optional<ScreenRect> screen;
    for (const auto& e : displays_) {
        if (!e.state.hasScreen || e.state.mirrorOf != NULL_DISPLAY_ID) continue;
        ScreenRect frame{screenX, 0, double(e.state.pointWidth()), double(e.state.pointHeight())};
        screenX += frame.width;
        if (e.state.id == id) screen = frame;
    }
    if (!screen) return std::nullopt;
    const SimWindowState* top = nullptr;
    for (const auto& window : windows_) {
        if (!window.closed && window.orderedFront && window.displayNumber == id) top = &window;
    }
    if (!top) return std::nullopt;
    const double scale = entry->state.pointWidth() ? double(entry->state.pixelWidth()) / double(entry->state.pointWidth()) : 1.0;
    const double left = (top->frame.x - screen->minX()) * scale;
    const double upper = (screen->maxY() - (top->frame.y + top->frame.height)) * scale;
    if (left < 0 || upper < 0) return std::nullopt;
    *x = static_cast<std::size_t>(left);
    *y = static_cast<std::size_t>(upper);
    *size = static_cast<std::size_t>(std::max(1.0, top->frame.width * scale));
    return top->background;
}

std::optional<SimPictureKey> SimWorld::pictureKey(std::uint32_t id) const
{
    const double now = mediaTime();
    std::lock_guard guard(lock_);
    const auto* entry = find(id);
    if (!entry) return std::nullopt;
    // A mirroring display shows its master's picture.
    const auto* source = entry;
    if (entry->state.mirrorOf != NULL_DISPLAY_ID) {
        if (const auto* master = find(entry->state.mirrorOf)) source = master;
    }
    SimPictureKey key;
    key.scene = source->scene.get();
    key.sceneGeneration = source->sceneGeneration;
    key.frame = source->scene ? source->scene->frameAt(now - source->sceneStart) : 0;
    std::size_t x = 0, y = 0, size = 0;
    key.overlay = overlayLocked(source->state.id, &x, &y, &size);
    return key;
}

bool SimWorld::renderPicture(std::uint32_t id, const SimPictureKey& key, std::uint8_t* out, std::size_t width,
    std::size_t height, std::size_t stride) const
{
    std::shared_ptr<SimScene> scene;
    std::size_t displayWidth = 0, displayHeight = 0;
    std::size_t overlayX = 0, overlayY = 0, overlaySize = 0;
    std::optional<WindowColor> overlay;
    {
        std::lock_guard guard(lock_);
        const auto* entry = find(id);
        if (!entry) return false;
        const auto* source = entry;
        if (entry->state.mirrorOf != NULL_DISPLAY_ID) {
            if (const auto* master = find(entry->state.mirrorOf)) source = master;
        }
        scene = source->scene;
        displayWidth = source->state.pixelWidth();
        displayHeight = source->state.pixelHeight();
        overlay = overlayLocked(source->state.id, &overlayX, &overlayY, &overlaySize);
    }
    if (scene) {
        scene->render(key.frame, out, width, height, stride);
    } else {
        for (std::size_t y = 0; y < height; ++y) std::memset(out + y * stride, 0, width * 4);
    }
    // The pacer's window, as the compositor would draw it, mapped from the
    // display's pixels to the output's.
    if (overlay && displayWidth && displayHeight) {
        auto toOut = [](std::size_t v, std::size_t from, std::size_t to) { return v * to / from; };
        const std::size_t x0 = toOut(overlayX, displayWidth, width);
        const std::size_t y0 = toOut(overlayY, displayHeight, height);
        const std::size_t x1 = std::min(width, std::max(x0 + 1, toOut(overlayX + overlaySize, displayWidth, width)));
        const std::size_t y1 = std::min(height, std::max(y0 + 1, toOut(overlayY + overlaySize, displayHeight, height)));
        auto channel = [](double v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
        const std::uint8_t bgra[4] = {channel(overlay->blue), channel(overlay->green), channel(overlay->red), 0xFF};
        for (std::size_t y = y0; y < y1; ++y) {
            for (std::size_t x = x0; x < x1; ++x) std::memcpy(out + y * stride + x * 4, bgra, 4);
        }
    }
    return true;
}

} // namespace qb::sim
