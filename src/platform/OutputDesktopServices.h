// The virtual displays and input injection of a Wayland desktop whose
// displays are outputs the compositor adds for us (sway's headless outputs,
// KWin's virtual outputs), written once over the backend's desktop type.
// `Desktop` offers: createDisplay(width, height, error), removeDisplay(id),
// displayIds(), isOurs(id), placement(id) (left, top, width, height in the
// layout; pixelWidth/Height; targetWidth/Height), setScale(id, scale),
// setMirroring(id, on), monitors() (id, builtIn), canInject(),
// pointer(x, y, leftPressed) and scroll(vertical, horizontal, stop), each
// callable from any thread.
#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <mutex>

#include "diagnostics/PlatformLog.h"
#include "platform/InputInjector.h"
#include "platform/MirrorScaler.h"
#include "platform/OwnDisplayMirroring.h"
#include "platform/VirtualDisplays.h"

namespace qb {

template <typename Desktop>
class OutputVirtualDisplays;

template <typename Desktop>
class OutputVirtualDisplay final : public VirtualDisplay {
public:
    OutputVirtualDisplay(std::shared_ptr<OutputVirtualDisplays<Desktop>> owner, std::uint32_t id)
        : owner_(std::move(owner))
        , id_(id)
    {
    }
    ~OutputVirtualDisplay() override { owner_->remove(id_); }
    std::uint32_t displayId() const override { return id_; }
    bool applySettings(const VirtualDisplaySettings& settings) override
    {
        return owner_->applySettings(id_, settings);
    }

private:
    std::shared_ptr<OutputVirtualDisplays<Desktop>> owner_;
    std::uint32_t id_;
};

template <typename Desktop>
class OutputVirtualDisplays final : public VirtualDisplays,
                                    public std::enable_shared_from_this<OutputVirtualDisplays<Desktop>> {
public:
    explicit OutputVirtualDisplays(std::shared_ptr<Desktop> desktop) : desktop_(std::move(desktop)) {}

    std::unique_ptr<VirtualDisplay> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override
    {
        std::string error;
        auto id = desktop_->createDisplay(descriptor.maxPixelsWide, descriptor.maxPixelsHigh, &error);
        if (!id) {
            platformLog(LogLevel::warn, "VirtualDisplay", "[VirtualDisplay] WARNING: " + error);
            return nullptr;
        }
        return std::make_unique<OutputVirtualDisplay<Desktop>>(this->shared_from_this(), *id);
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
            // A mode of fewer points than pixels is a HiDPI one: the compositor scales the output.
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
        std::weak_ptr<OutputVirtualDisplays> weak = this->shared_from_this();
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
    std::shared_ptr<Desktop> desktop_;
    std::mutex lock_;
    std::map<std::uint32_t, VirtualDisplaySettings> settings_;
};

// Pointer events at layout points through the desktop: motion and the left
// button, pixel scrolling.
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
    std::shared_ptr<Desktop> desktop_;
};

} // namespace qb
