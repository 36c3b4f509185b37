// Virtual displays and input injection on a wlroots compositor, and the
// desktop that hands them out with the capture. No global key grabs exist
// for a Wayland client, and no pacer windows are needed: screencopy answers
// whenever the output changed.

#include <cmath>
#include <map>
#include <mutex>

#include "diagnostics/PlatformLog.h"
#include "platform/InputInjector.h"
#include "platform/MirrorScaler.h"
#include "platform/OwnDisplayMirroring.h"
#include "platform/Platform.h"
#include "platform/VirtualDisplays.h"
#include "platform/wlroots/WlrootsConnection.h"
#include "platform/wlroots/WlrootsDesktop.h"

namespace qb::wlroots {

namespace {

class WlrootsVirtualDisplays;

class WlrootsVirtualDisplay final : public VirtualDisplay {
public:
    WlrootsVirtualDisplay(std::shared_ptr<WlrootsVirtualDisplays> owner, std::uint32_t id)
        : owner_(std::move(owner))
        , id_(id)
    {
    }
    ~WlrootsVirtualDisplay() override;
    std::uint32_t displayId() const override { return id_; }
    bool applySettings(const VirtualDisplaySettings& settings) override;

private:
    std::shared_ptr<WlrootsVirtualDisplays> owner_;
    std::uint32_t id_;
};

class WlrootsVirtualDisplays final : public VirtualDisplays,
                                     public std::enable_shared_from_this<WlrootsVirtualDisplays> {
public:
    explicit WlrootsVirtualDisplays(std::shared_ptr<WlrootsDesktop> desktop) : desktop_(std::move(desktop)) {}

    std::unique_ptr<VirtualDisplay> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override
    {
        std::string error;
        auto id = desktop_->createDisplay(descriptor.maxPixelsWide, descriptor.maxPixelsHigh, &error);
        if (!id) {
            platformLog(LogLevel::warn, "VirtualDisplay", "[VirtualDisplay] WARNING: " + error);
            return nullptr;
        }
        return std::make_unique<WlrootsVirtualDisplay>(shared_from_this(), *id);
    }

    std::optional<std::vector<DisplayModeInfo>> copyAllDisplayModes(std::uint32_t displayId) override
    {
        auto where = desktop_->placement(displayId);
        if (!where) return std::nullopt;
        std::vector<DisplayModeInfo> modes;
        if (desktop_->isOurs(displayId)) {
            std::lock_guard guard(lock_);
            std::uint32_t modeId = 1;
            for (const auto& setting : settings_[displayId].modes) {
                modes.push_back({modeId++, setting.width, setting.height, where->targetWidth, where->targetHeight,
                    setting.refreshRate});
            }
        }
        if (modes.empty()) {
            modes.push_back({1, where->pixelWidth, where->pixelHeight, where->pixelWidth, where->pixelHeight, 60.0});
        }
        return modes;
    }

    std::int32_t setDisplayMode(std::uint32_t displayId, const DisplayModeInfo& mode) override
    {
        auto modes = copyAllDisplayModes(displayId);
        if (!modes) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
        for (const auto& offered : *modes) {
            if (offered.modeId != mode.modeId) continue;
            if (!desktop_->isOurs(displayId)) return 0;
            // A mode of fewer points than pixels is a HiDPI one: sway scales the output.
            const double scale = offered.width ? double(offered.pixelWidth) / double(offered.width) : 1.0;
            return desktop_->setScale(displayId, scale) ? 0 : DISPLAY_ERROR_CANNOT_COMPLETE;
        }
        return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
    }

    std::vector<std::uint32_t> onlineDisplays(std::size_t maxDisplays) override
    {
        std::vector<std::uint32_t> ids;
        for (const auto& monitor : desktop_->monitors()) ids.push_back(monitor.id);
        for (std::uint32_t id : desktop_->displayIds()) ids.push_back(id);
        if (ids.size() > maxDisplays) ids.resize(maxDisplays);
        return ids;
    }

    bool isBuiltIn(std::uint32_t displayId) override
    {
        for (const auto& monitor : desktop_->monitors()) {
            if (monitor.id == displayId) return monitor.builtIn;
        }
        return false;
    }

    std::unique_ptr<DisplayConfiguration> beginConfiguration() override
    {
        std::weak_ptr<WlrootsVirtualDisplays> weak = shared_from_this();
        return std::make_unique<OwnDisplayMirroring>(
            [weak] {
                auto self = weak.lock();
                return self ? self->desktop_->displayIds() : std::vector<std::uint32_t>{};
            },
            [weak](std::uint32_t id, bool mirroring) {
                auto self = weak.lock();
                return self ? self->desktop_->setMirroring(id, mirroring) : DISPLAY_ERROR_CANNOT_COMPLETE;
            });
    }

    bool applySettings(std::uint32_t displayId, const VirtualDisplaySettings& settings)
    {
        auto where = desktop_->placement(displayId);
        if (!where) return false;
        for (const auto& mode : settings.modes) {
            const std::uint32_t scale = settings.hiDPI ? 2 : 1;
            if (mode.width == 0 || mode.height == 0 || mode.width * scale > where->targetWidth
                || mode.height * scale > where->targetHeight) {
                return false;
            }
        }
        std::lock_guard guard(lock_);
        settings_[displayId] = settings;
        return true;
    }

    void remove(std::uint32_t displayId)
    {
        desktop_->removeDisplay(displayId);
        std::lock_guard guard(lock_);
        settings_.erase(displayId);
    }

private:
    std::shared_ptr<WlrootsDesktop> desktop_;
    std::mutex lock_;
    std::map<std::uint32_t, VirtualDisplaySettings> settings_;
};

WlrootsVirtualDisplay::~WlrootsVirtualDisplay() { owner_->remove(id_); }

bool WlrootsVirtualDisplay::applySettings(const VirtualDisplaySettings& settings)
{
    return owner_->applySettings(id_, settings);
}

// Pointer events through wlr virtual pointers: motion and the left button
// at layout points, pixel scrolling as finger (trackpad) axis events.
class WlrootsInputInjector final : public InputInjector {
public:
    explicit WlrootsInputInjector(std::shared_ptr<WlrootsDesktop> desktop) : desktop_(std::move(desktop)) {}

    bool isTrusted() const override { return true; }

    std::optional<Bounds> displayBounds(std::uint32_t displayId) const override
    {
        auto where = desktop_->placement(displayId);
        if (!where) return std::nullopt;
        // A mirrored primary of another shape is letterboxed onto the tablet.
        const auto grown = mirrorInputBounds(where->left, where->top, where->width, where->height,
            where->targetWidth ? where->targetWidth : where->pixelWidth,
            where->targetHeight ? where->targetHeight : where->pixelHeight);
        return Bounds{grown.left, grown.top, grown.width, grown.height};
    }

    void postMouseEvent(MouseEventType type, Point location) override
    {
        if (!std::isfinite(location.x) || !std::isfinite(location.y)) return;
        std::optional<bool> button;
        if (type == MouseEventType::leftDown) button = true;
        if (type == MouseEventType::leftUp) button = false;
        desktop_->pointer(location.x, location.y, button);
    }

    void postScrollEvent(ScrollPhase phase, std::int32_t vertical, std::int32_t horizontal) override
    {
        if (vertical == 0 && horizontal == 0 && phase != ScrollPhase::ended) return;
        // Positive amounts scroll up and left, as a trackpad's pixel deltas
        // do; Wayland's axis values grow downwards and rightwards.
        desktop_->scroll(-double(vertical), -double(horizontal), phase == ScrollPhase::ended);
    }

private:
    std::shared_ptr<WlrootsDesktop> desktop_;
};

class WlrootsPlatform final : public Desktop {
public:
    WlrootsPlatform(std::shared_ptr<WlrootsDesktop> desktop, Executor mainLoop)
        : desktop_(std::move(desktop))
        , mainLoop_(std::move(mainLoop))
        , capture_(makePushedCaptureBackend(desktop_,
              {"screencopy stream", "The compositor does not let QuillBright copy the screen.",
                  "The compositor offers no picture of this output — it may be offline."}))
        , displays_(std::make_shared<WlrootsVirtualDisplays>(desktop_))
        , injector_(std::make_shared<WlrootsInputInjector>(desktop_))
    {
    }
    ~WlrootsPlatform() override { stop(); }

    std::string_view name() const override { return "wlroots"; }
    std::string where() const override
    {
        return desktop_->canAddOutputs() ? "sway" : "wlroots compositor (capture and input; no added outputs)";
    }
    std::shared_ptr<CaptureBackend> captureBackend() override { return capture_; }
    std::shared_ptr<VirtualDisplays> virtualDisplays() override { return displays_; }
    std::shared_ptr<InputInjector> inputInjector() override { return injector_; }
    std::shared_ptr<GlobalHotkeys> globalHotkeys() override { return nullptr; }
    std::shared_ptr<PacerWindows> pacerWindows() override { return nullptr; }

    void stop() override { desktop_->removeAll(); }
    void onLost(std::function<void()> callback) override
    {
        desktop_->onLost([loop = mainLoop_, callback = std::move(callback)] { asio::post(loop, callback); });
    }

private:
    std::shared_ptr<WlrootsDesktop> desktop_;
    Executor mainLoop_;
    std::shared_ptr<CaptureBackend> capture_;
    std::shared_ptr<VirtualDisplays> displays_;
    std::shared_ptr<InputInjector> injector_;
};

} // namespace

} // namespace qb::wlroots

namespace qb {

std::shared_ptr<Desktop> makeWlrootsDesktop(const PlatformConfig& config, Executor mainLoop, std::string* error)
{
    wlroots::WlrootsDesktop::Options options;
    options.waylandDisplay = config.waylandDisplay;
    options.swaySocket = config.swaySocket;
    options.recordFile = config.home / ".quillbright" / "sway_outputs";
    auto desktop = wlroots::WlrootsDesktop::open(options, error);
    if (!desktop) return nullptr;
    return std::make_shared<wlroots::WlrootsPlatform>(std::move(desktop), std::move(mainLoop));
}

} // namespace qb

namespace qb {

std::optional<std::string> probeWlrootsDesktop(const PlatformConfig& config)
{
    if (config.waylandDisplay.empty()) return std::string("$WAYLAND_DISPLAY is not set");
    std::string error;
    if (!wlroots::WaylandConnection::connect(config.waylandDisplay, &error)) return error;
    return std::nullopt;
}

} // namespace qb
