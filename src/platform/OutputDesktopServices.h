// The virtual displays, input injection and platform desktop of a Wayland
// desktop whose displays are outputs the compositor adds for us (sway's
// headless outputs, KWin's virtual outputs), written once over the backend's
// desktop type. Besides what CompositorDisplays asks for, `Desktop` offers:
// isOurs(id), placement(id) (an OutputPlacement, CompositorDisplays.h), setScale(id, scale),
// canInject(), pointer(x, y, leftPressed), scroll(vertical, horizontal,
// stop), removeAll() and onLost(callback), each callable from any thread,
// and is a FrameSource. WaylandDesktop, the platform desktop's common part,
// serves GNOME's backend as well.
#pragma once

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/CompositorDisplays.h"
#include "platform/InputInjector.h"
#include "platform/MirrorScaler.h"
#include "platform/Platform.h"
#include "platform/PushedCapture.h"

namespace qb {

template <typename Desktop>
class OutputVirtualDisplays final : public CompositorDisplays<Desktop> {
public:
    using CompositorDisplays<Desktop>::CompositorDisplays;

    std::optional<std::vector<DisplayModeInfo>> copyAllDisplayModes(std::uint32_t displayId) override
    {
        auto where = this->desktop_->placement(displayId);
        if (!where) return std::nullopt;
        std::vector<DisplayModeInfo> modes;
        if (this->desktop_->isOurs(displayId)) {
            modes = this->appliedModes(displayId, where->targetWidth, where->targetHeight);
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
            if (!this->desktop_->isOurs(displayId)) return 0;
            // A mode of fewer points than pixels is a HiDPI one: the compositor scales the output.
            const double scale = offered.width ? double(offered.pixelWidth) / double(offered.width) : 1.0;
            return this->desktop_->setScale(displayId, scale) ? 0 : DISPLAY_ERROR_CANNOT_COMPLETE;
        }
        return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
    }

    bool isBuiltIn(std::uint32_t displayId) override
    {
        for (const auto& monitor : this->desktop_->monitors()) {
            if (monitor.id == displayId) return monitor.builtIn;
        }
        return false;
    }

private:
    std::optional<std::pair<std::size_t, std::size_t>> modeRoom(std::uint32_t displayId) override
    {
        auto where = this->desktop_->placement(displayId);
        if (!where) return std::nullopt;
        return std::pair<std::size_t, std::size_t>{where->targetWidth, where->targetHeight};
    }
};

// Pointer events at layout points through the desktop: motion and the
// buttons, pixel scrolling.
template <typename Desktop>
class OutputInputInjector final : public InputInjector {
public:
    explicit OutputInputInjector(std::shared_ptr<Desktop> desktop) : desktop_(std::move(desktop)) {}

    bool isTrusted() const override { return desktop_->canInject(); }

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
        desktop_->pointer(location.x, location.y, buttonChange(type));
    }

    void postScrollEvent(ScrollPhase phase, std::int32_t vertical, std::int32_t horizontal) override
    {
        if (vertical == 0 && horizontal == 0 && phase != ScrollPhase::ended) return;
        // Positive amounts scroll up and left, as a trackpad's pixel deltas
        // do; Wayland's axis values grow downwards and rightwards.
        desktop_->scroll(-double(vertical), -double(horizontal), phase == ScrollPhase::ended);
    }

    // Keys where the desktop has a keyboard of ours (wlroots); KWin's fake
    // input types none here.
    bool canType() const override
    {
        if constexpr (requires(Desktop& d) { d.key(0u, true); }) return desktop_->canType();
        return false;
    }
    void postKey(std::uint32_t keysym, bool down) override
    {
        if constexpr (requires(Desktop& d) { d.key(0u, true); }) {
            desktop_->key(keysym, down);
        } else {
            (void)keysym;
            (void)down;
        }
    }

private:
    std::shared_ptr<Desktop> desktop_;
};

// A platform desktop over a Wayland backend's desktop (this folder's
// OutputDesktop, GNOME's): it hands out the capture, virtual displays and
// input injector made over the backend, and stop() removes our displays
// (`Backend` offers removeAll()). No global key grabs exist for a Wayland
// client, and no pacer windows are needed: these compositors push a picture
// whenever an output changed.
template <typename Backend>
class WaylandDesktop : public Desktop {
public:
    struct Services {
        std::shared_ptr<CaptureBackend> capture;
        std::shared_ptr<VirtualDisplays> displays;
        std::shared_ptr<InputInjector> injector;
    };
    // `name`: the registry's; `where`: which compositor, for the report.
    WaylandDesktop(std::string_view name, std::shared_ptr<Backend> desktop, Executor mainLoop, Services services,
        std::function<std::string(const Backend&)> where)
        : desktop_(std::move(desktop))
        , mainLoop_(std::move(mainLoop))
        , name_(name)
        , where_(std::move(where))
        , services_(std::move(services))
    {
    }
    ~WaylandDesktop() override { stop(); }

    std::string_view name() const final { return name_; }
    std::string where() const final { return where_(*desktop_); }
    std::shared_ptr<CaptureBackend> captureBackend() final { return services_.capture; }
    std::shared_ptr<VirtualDisplays> virtualDisplays() final { return services_.displays; }
    std::shared_ptr<InputInjector> inputInjector() final { return services_.injector; }
    std::shared_ptr<GlobalHotkeys> globalHotkeys() final { return nullptr; }
    std::shared_ptr<PacerWindows> pacerWindows() final { return nullptr; }
    void stop() final { desktop_->removeAll(); }

protected:
    std::shared_ptr<Backend> desktop_;
    Executor mainLoop_;

private:
    std::string_view name_;
    std::function<std::string(const Backend&)> where_;
    Services services_;
};

// The platform desktop over a backend of this folder's kind.
template <typename Backend>
class OutputDesktop final : public WaylandDesktop<Backend> {
public:
    OutputDesktop(std::string_view name, std::shared_ptr<Backend> desktop, Executor mainLoop, CaptureWords words,
        std::function<std::string(const Backend&)> where)
        : WaylandDesktop<Backend>(name, desktop, std::move(mainLoop),
              {makePushedCaptureBackend(desktop, std::move(words)),
                  std::make_shared<OutputVirtualDisplays<Backend>>(desktop),
                  std::make_shared<OutputInputInjector<Backend>>(desktop)},
              std::move(where))
    {
    }

    void onLost(std::function<void()> callback) override
    {
        this->desktop_->onLost([loop = this->mainLoop_, callback = std::move(callback)] { asio::post(loop, callback); });
    }
};

} // namespace qb
