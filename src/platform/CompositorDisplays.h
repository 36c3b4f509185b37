// The virtual displays of a Wayland compositor that adds outputs on request
// (Mutter's virtual monitors, sway's headless outputs), over the backend's
// desktop `Desktop`: createDisplay, removeDisplay, displayIds, monitors (each
// with an `id`) and setMirroring. Mirroring is OwnDisplayMirroring's.
//
// The backend says which modes a display lists and how one is set; this
// keeps the settings last applied to each display of ours, whose modes must
// fit the display's pixels (twice over in each direction for HiDPI).
//
// Thread-safe. A display's handle keeps this alive and removes the display
// when it goes.
//
// OutputPlacement is where such a desktop shows a display's picture, and
// OutputMonitor one of the desktop's own outputs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/PlatformLog.h"
#include "platform/OwnDisplayMirroring.h"
#include "platform/VirtualDisplays.h"

namespace qb {

// Where a display's picture sits: the output it shows (ours, or the
// primary's while mirroring).
struct OutputPlacement {
    // Its rectangle in the layout (logical pixels).
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
    // Its picture's pixels.
    std::uint32_t pixelWidth = 0;
    std::uint32_t pixelHeight = 0;
    std::uint32_t targetWidth = 0; // our output's own size (the tablet's)
    std::uint32_t targetHeight = 0;
};

// The picture's pixels (width, height) of a placement; nullopt without one.
inline std::optional<std::pair<std::size_t, std::size_t>> pixelsOf(const std::optional<OutputPlacement>& where)
{
    if (!where) return std::nullopt;
    return std::pair<std::size_t, std::size_t>(where->pixelWidth, where->pixelHeight);
}

// One of the desktop's own outputs (not ours), as the backend lists it.
template <class Output>
struct OutputMonitor {
    std::uint32_t id = 0;
    Output output;
    bool builtIn = false;
};

template <class Desktop>
class CompositorDisplays : public VirtualDisplays,
                           public std::enable_shared_from_this<CompositorDisplays<Desktop>> {
public:
    explicit CompositorDisplays(std::shared_ptr<Desktop> desktop) : desktop_(std::move(desktop)) {}

    std::unique_ptr<VirtualDisplay> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) final
    {
        std::string error;
        auto id = desktop_->createDisplay(descriptor.maxPixelsWide, descriptor.maxPixelsHigh, &error);
        if (!id) {
            platformLog(LogLevel::warn, "VirtualDisplay", "[VirtualDisplay] WARNING: " + error);
            return nullptr;
        }
        return std::make_unique<Handle>(this->shared_from_this(), *id);
    }

    // These desktops return from createDisplay and setMirroring only once
    // they show the change: sway once it answered the IPC command and
    // announced the output in its mode, Mutter once the recording started
    // and its monitor is listed (or, mirroring, its first picture came),
    // KWin once the stream started and its output was announced. Nothing
    // is left to wait for.
    asio::awaitable<DisplayReadiness> awaitDisplayReady(std::uint32_t, Duration, Sleeper& interruption) final
    {
        co_return interruption.interrupted() ? DisplayReadiness::interrupted : DisplayReadiness::confirmed;
    }

    std::vector<std::uint32_t> onlineDisplays(std::size_t maxDisplays) final
    {
        std::vector<std::uint32_t> ids;
        for (const auto& monitor : desktop_->monitors()) ids.push_back(monitor.id);
        for (std::uint32_t id : desktop_->displayIds()) ids.push_back(id);
        if (ids.size() > maxDisplays) ids.resize(maxDisplays);
        return ids;
    }

    std::unique_ptr<DisplayConfiguration> beginConfiguration() final
    {
        std::weak_ptr<CompositorDisplays> weak = this->shared_from_this();
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

protected:
    // The pixels a mode of display `id` may fill (width, height); absent
    // when the display is gone.
    virtual std::optional<std::pair<std::size_t, std::size_t>> modeRoom(std::uint32_t id) = 0;

    // The modes last applied to display `id`, numbered from 1, each shown
    // on `pixelWidth` x `pixelHeight` pixels; none before any were applied.
    std::vector<DisplayModeInfo> appliedModes(std::uint32_t id, std::size_t pixelWidth, std::size_t pixelHeight)
    {
        std::lock_guard guard(lock_);
        std::vector<DisplayModeInfo> modes;
        const auto found = settings_.find(id);
        if (found == settings_.end()) return modes;
        std::uint32_t modeId = 1;
        for (const auto& setting : found->second.modes) {
            modes.push_back({modeId++, setting.width, setting.height, pixelWidth, pixelHeight, setting.refreshRate});
        }
        return modes;
    }

    std::shared_ptr<Desktop> desktop_;

private:
    class Handle final : public VirtualDisplay {
    public:
        Handle(std::shared_ptr<CompositorDisplays> owner, std::uint32_t id) : owner_(std::move(owner)), id_(id) {}
        ~Handle() override { owner_->remove(id_); }
        std::uint32_t displayId() const override { return id_; }
        bool applySettings(const VirtualDisplaySettings& settings) override { return owner_->apply(id_, settings); }

    private:
        std::shared_ptr<CompositorDisplays> owner_;
        std::uint32_t id_;
    };

    bool apply(std::uint32_t id, const VirtualDisplaySettings& settings)
    {
        const auto room = modeRoom(id);
        if (!room) return false;
        const std::size_t scale = settings.hiDPI ? 2 : 1;
        for (const auto& mode : settings.modes) {
            if (mode.width == 0 || mode.height == 0 || mode.width * scale > room->first
                || mode.height * scale > room->second) {
                return false;
            }
        }
        std::lock_guard guard(lock_);
        settings_[id] = settings;
        return true;
    }

    void remove(std::uint32_t id)
    {
        desktop_->removeDisplay(id);
        std::lock_guard guard(lock_);
        settings_.erase(id);
    }

    std::mutex lock_;
    std::map<std::uint32_t, VirtualDisplaySettings> settings_;
};

} // namespace qb
