// Collects what a capture stream delivers, copied while the surface is
// valid; tests poll deliveries() while a main loop runs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/CaptureStream.h"

namespace qb::test {

struct Delivery {
    std::int32_t status = 0;
    bool hasSurface = false;
    std::size_t width = 0, height = 0, bytesPerRow = 0;
    std::vector<std::uint8_t> pixels; // the rows as the surface held them, padding included
    std::vector<CaptureRect> rects;

    const std::uint8_t* pixel(std::size_t x, std::size_t y) const { return pixels.data() + y * bytesPerRow + x * 4; }
    // Tightly packed BGRA with the unused alpha byte cleared.
    std::vector<std::uint8_t> packedColour() const
    {
        std::vector<std::uint8_t> out;
        for (std::size_t y = 0; y < height; ++y) out.insert(out.end(), pixel(0, y), pixel(width, y));
        for (std::size_t i = 3; i < out.size(); i += 4) out[i] = 0;
        return out;
    }
};

inline std::size_t count(const std::vector<Delivery>& ds, CaptureFrameStatus status)
{
    return std::size_t(std::ranges::count_if(ds, [&](const Delivery& d) { return d.status == std::int32_t(status); }));
}

class CaptureRecorder {
public:
    CaptureFrameHandler handler()
    {
        return [this](std::int32_t status, const CaptureSurface* surface) {
            Delivery d;
            d.status = status;
            if (surface) {
                d.hasSurface = true;
                d.width = surface->width();
                d.height = surface->height();
                d.bytesPerRow = surface->bytesPerRow();
                d.rects = surface->changedRects();
                SurfaceReadLock lock(*surface);
                if (lock) d.pixels.assign(lock.data(), lock.data() + d.bytesPerRow * d.height);
            }
            if (onDelivery) onDelivery(d);
            std::lock_guard guard(lock_);
            deliveries_.push_back(std::move(d));
        };
    }

    std::vector<Delivery> deliveries()
    {
        std::lock_guard guard(lock_);
        return deliveries_;
    }

    // The surfaces delivered, in order.
    std::vector<Delivery> frames()
    {
        std::vector<Delivery> out;
        for (auto& d : deliveries()) {
            if (d.hasSurface) out.push_back(std::move(d));
        }
        return out;
    }

    std::function<void(const Delivery&)> onDelivery;

private:
    std::mutex lock_;
    std::vector<Delivery> deliveries_;
};

} // namespace qb::test
