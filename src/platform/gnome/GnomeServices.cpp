// Virtual displays and input injection on GNOME Wayland, and the platform
// that hands them out with the capture. No global key grabs exist for a
// Wayland client (GNOME custom shortcuts stand in: GnomeShortcuts.h) and no
// pacer windows are needed: Mutter sends a picture whenever it changes.

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"
#include "platform/MirrorScaler.h"
#include "platform/OutputDesktopServices.h"
#include "platform/CaptureStream.h"
#include "platform/CompositorDisplays.h"
#include "platform/InputInjector.h"
#include "platform/Platform.h"
#include "platform/gnome/GnomePlatform.h"

namespace qb::gnome {

namespace {

constexpr const char* REMOTE_DESKTOP_SESSION = "org.gnome.Mutter.RemoteDesktop.Session";

// ------------------------------------------------------------ virtual displays

// A virtual monitor shows its one pixel size; its modes differ in points
// only, which its logical monitor's scale makes so.
class GnomeVirtualDisplays final : public CompositorDisplays<GnomeDesktop> {
public:
    using CompositorDisplays::CompositorDisplays;

    std::optional<std::vector<DisplayModeInfo>> copyAllDisplayModes(std::uint32_t displayId) override
    {
        if (desktop_->isOurs(displayId)) {
            auto where = desktop_->placement(displayId);
            if (!where) return std::nullopt;
            auto modes = appliedModes(displayId, where->width, where->height);
            if (modes.empty()) modes.push_back({1, where->width, where->height, where->width, where->height, 60.0});
            return modes;
        }
        for (const auto& monitor : desktop_->monitors()) {
            if (monitor.id == displayId) {
                return std::vector<DisplayModeInfo>{
                    {1, monitor.width, monitor.height, monitor.width, monitor.height, 60.0}};
            }
        }
        return std::nullopt;
    }

    std::int32_t setDisplayMode(std::uint32_t displayId, const DisplayModeInfo& mode) override
    {
        auto modes = copyAllDisplayModes(displayId);
        if (!modes) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
        for (const auto& offered : *modes) {
            if (offered.modeId != mode.modeId) continue;
            if (!desktop_->isOurs(displayId)) return 0;
            // Fewer points than pixels: applications draw at that many pixels a point.
            const double scale = offered.width ? double(offered.pixelWidth) / double(offered.width) : 1.0;
            std::string why;
            if (desktop_->setScale(displayId, scale, &why)) return 0;
            platformLog(LogLevel::warn, "VirtualDisplay", "[VirtualDisplay] WARNING: no scale " + fmt::format("{}", scale)
                    + " for the virtual monitor: " + why);
            return DISPLAY_ERROR_CANNOT_COMPLETE;
        }
        return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
    }

    // A laptop panel; on a desktop without one, the primary monitor.
    bool isBuiltIn(std::uint32_t displayId) override
    {
        if (desktop_->isOurs(displayId)) return false;
        const auto monitors = desktop_->monitors();
        auto panel = std::find_if(monitors.begin(), monitors.end(), [](const auto& m) { return m.builtIn; });
        if (panel == monitors.end()) {
            panel = std::find_if(monitors.begin(), monitors.end(), [](const auto& m) { return m.primary; });
        }
        return panel != monitors.end() && panel->id == displayId;
    }

private:
    std::optional<std::pair<std::size_t, std::size_t>> modeRoom(std::uint32_t displayId) override
    {
        auto where = desktop_->placement(displayId);
        if (!where) return std::nullopt;
        return std::pair<std::size_t, std::size_t>{where->width, where->height};
    }
};

// ------------------------------------------------------------------ input

// Pointer events through the display's remote-desktop session: motion in the
// stream's pixels, the buttons, and pixel scrolling as finger (trackpad)
// axis events, the gesture's end marked with the finish flag. Keys go as
// keysyms (NotifyKeyboardKeysym) through the session the pointer last used,
// or any of ours: Mutter finds the key on its keymap and gives them to the
// focused window.
class GnomeInputInjector final : public InputInjector {
public:
    explicit GnomeInputInjector(std::shared_ptr<GnomeDesktop> desktop) : desktop_(std::move(desktop)) {}

    bool isTrusted() const override { return true; }

    std::optional<Bounds> displayBounds(std::uint32_t displayId) const override
    {
        auto where = desktop_->placement(displayId);
        if (!where) return std::nullopt;
        // A mirrored primary of another size is letterboxed onto the tablet.
        const auto grown = mirrorInputBounds(where->left, where->top, double(where->width), double(where->height),
            where->targetWidth ? where->targetWidth : where->width,
            where->targetHeight ? where->targetHeight : where->height);
        return Bounds{grown.left, grown.top, grown.width, grown.height};
    }

    void postMouseEvent(MouseEventType type, Point location) override
    {
        if (!std::isfinite(location.x) || !std::isfinite(location.y)) return;
        auto id = desktop_->displayAt(location.x, location.y);
        if (!id) return;
        auto where = desktop_->placement(*id);
        if (!where) return;
        MutterBus& bus = desktop_->bus();
        const char* session = where->sessionPath.c_str();
        bus.send(REMOTE_DESKTOP_SERVICE, session, REMOTE_DESKTOP_SESSION, "NotifyPointerMotionAbsolute",
            g_variant_new("(sdd)", where->streamPath.c_str(), location.x - where->left, location.y - where->top));
        if (const auto change = buttonChange(type)) {
            bus.send(REMOTE_DESKTOP_SERVICE, session, REMOTE_DESKTOP_SESSION, "NotifyPointerButton",
                g_variant_new("(ib)", std::int32_t(change->code), change->pressed));
        }
        std::lock_guard guard(lock_);
        lastSession_ = where->sessionPath;
    }

    void postScrollEvent(ScrollPhase phase, std::int32_t vertical, std::int32_t horizontal) override
    {
        std::string session;
        {
            std::lock_guard guard(lock_);
            session = lastSession_;
        }
        if (session.empty()) return; // no pointer on any display of ours yet
        if (vertical == 0 && horizontal == 0 && phase != ScrollPhase::ended) return;
        // Positive amounts scroll up and left, as a trackpad's pixel deltas
        // do; Mutter's axis values grow downwards and rightwards.
        const std::uint32_t flags = AXIS_SOURCE_FINGER | (phase == ScrollPhase::ended ? AXIS_FINISH : 0);
        desktop_->bus().send(REMOTE_DESKTOP_SERVICE, session.c_str(), REMOTE_DESKTOP_SESSION, "NotifyPointerAxis",
            g_variant_new("(ddu)", -double(horizontal), -double(vertical), flags));
    }

    bool canType() const override { return true; }

    void postKey(std::uint32_t keysym, bool down) override
    {
        std::string session;
        {
            std::lock_guard guard(lock_);
            session = lastSession_;
        }
        for (const auto id : desktop_->displayIds()) {
            if (!session.empty()) break;
            if (auto where = desktop_->placement(id)) session = where->sessionPath;
        }
        if (session.empty()) return;
        desktop_->bus().send(REMOTE_DESKTOP_SERVICE, session.c_str(), REMOTE_DESKTOP_SESSION, "NotifyKeyboardKeysym",
            g_variant_new("(ub)", keysym, down));
    }

private:
    std::shared_ptr<GnomeDesktop> desktop_;
    std::mutex lock_;
    std::string lastSession_;
};

} // namespace

std::shared_ptr<VirtualDisplays> makeGnomeVirtualDisplays(const std::shared_ptr<GnomeDesktop>& desktop)
{
    return std::make_shared<GnomeVirtualDisplays>(desktop);
}

std::shared_ptr<InputInjector> makeGnomeInputInjector(const std::shared_ptr<GnomeDesktop>& desktop)
{
    return std::make_shared<GnomeInputInjector>(desktop);
}

} // namespace qb::gnome

namespace qb {

namespace {

class GnomePlatform final : public WaylandDesktop<gnome::GnomeDesktop> {
public:
    GnomePlatform(Executor mainLoop, const std::shared_ptr<gnome::GnomeDesktop>& desktop)
        : WaylandDesktop("gnome", desktop, std::move(mainLoop),
              {gnome::makeGnomeCaptureBackend(desktop), gnome::makeGnomeVirtualDisplays(desktop),
                  gnome::makeGnomeInputInjector(desktop)},
              [](const gnome::GnomeDesktop&) -> std::string { return "GNOME (Mutter)"; })
    {
    }

    void onCompositorAway(std::function<void(bool away)> callback) override
    {
        auto shared = std::make_shared<std::function<void(bool)>>(std::move(callback));
        desktop_->onCompositorAway([loop = mainLoop_, shared](bool away) {
            asio::post(loop, [shared, away] { (*shared)(away); });
        });
    }

};

} // namespace

std::shared_ptr<Desktop> makeGnomeDesktop(Executor mainLoop, std::string* error)
{
    auto desktop = gnome::GnomeDesktop::open(error);
    if (!desktop) return nullptr;
    return std::make_shared<GnomePlatform>(std::move(mainLoop), desktop);
}

} // namespace qb
