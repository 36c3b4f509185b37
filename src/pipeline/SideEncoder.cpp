#include "pipeline/SideEncoder.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "runtime/Clock.h"
#include "runtime/Queues.h"

namespace qb {

namespace {

// A frame copied off its capture surface, packed rows.
class OwnedSurface final : public CaptureSurface {
public:
    OwnedSurface(const std::uint8_t* pixels, std::size_t width, std::size_t height)
        : pixels_(pixels)
        , width_(width)
        , height_(height)
    {
    }
    std::size_t width() const override { return width_; }
    std::size_t height() const override { return height_; }
    std::size_t bytesPerElement() const override { return 4; }
    std::size_t bytesPerRow() const override { return width_ * 4; }
    const std::uint8_t* lockReadOnly() const override { return pixels_; }
    void unlockReadOnly() const override {}

private:
    const std::uint8_t* pixels_;
    std::size_t width_;
    std::size_t height_;
};

} // namespace

std::shared_ptr<SideEncoder> SideEncoder::make(std::shared_ptr<PreviewSink> preview, bool greyscale,
    std::unique_ptr<ComparisonEncoder> comparison)
{
    return std::shared_ptr<SideEncoder>(new SideEncoder(std::move(preview), greyscale, std::move(comparison)));
}

SideEncoder::SideEncoder(std::shared_ptr<PreviewSink> preview, bool greyscale,
    std::unique_ptr<ComparisonEncoder> comparison)
    : preview_(std::move(preview))
    , greyscale_(greyscale)
    , comparison_(std::move(comparison))
    , queue_(SerialQueue::makeDedicated("preview"))
{
}

SideEncoder::~SideEncoder() = default;

bool SideEncoder::offer(const CaptureSurface& surface, const std::uint8_t* pixels, bool preview,
    std::optional<ComparisonFigures> comparison)
{
    if (!pixels || (!preview && !comparison) || stopped_.load(std::memory_order_acquire)) return false;
    if (!preview_) preview = false;
    if (!comparison_) comparison.reset();
    if (!preview && !comparison) return false;
    const std::size_t width = surface.width();
    const std::size_t height = surface.height();
    const std::size_t bytesPerRow = surface.bytesPerRow();
    if (surface.bytesPerElement() != 4 || bytesPerRow < width * 4 || width == 0 || height == 0) return false;
    if (busy_.exchange(true, std::memory_order_acquire)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        if (preview) {
            previewOwed_.store(true, std::memory_order_release);
            // The queue may have finished between the two looks: then
            // nobody else will see the debt.
            if (!busy_.load(std::memory_order_acquire)) settlePreview();
        }
        return false;
    }
    // The surface is valid only during the capture's handler: copy it.
    frame_.resize(width * height * 4);
    for (std::size_t y = 0; y < height; ++y) {
        std::memcpy(frame_.data() + y * width * 4, pixels + y * bytesPerRow, width * 4);
    }
    width_ = width;
    height_ = height;
    wantPreview_ = preview;
    figures_ = comparison;
    queue_->async([self = shared_from_this()] { self->run(); });
    return true;
}

void SideEncoder::run()
{
    if (wantPreview_ && preview_ && preview_->previewClientCount() > 0) {
        auto jpeg = previewEncoder_.encode(frame_.data(), width_, height_, width_ * 4, greyscale_);
        if (jpeg) preview_->broadcast(std::move(*jpeg));
    }
    if (figures_ && comparison_ && !stopped_.load(std::memory_order_acquire)) {
        const OwnedSurface surface(frame_.data(), width_, height_);
        const double start = mediaTime();
        auto bytes = comparison_->encode(surface);
        const double h264Ms = (mediaTime() - start) * 1000.0;
        if (bytes) {
            const auto h264Size = static_cast<std::int64_t>(bytes->size());
            const ComparisonFigures& f = *figures_;
            componentLog(LogLevel::info, "H264Compare",
                fmt::format("[H264Compare] {}: LZ4={}KB H264={}KB | LZ4={:.2f}ms H264={:.2f}ms | ratio={:.1f}x",
                    f.isKeyframe ? "keyframe" : "delta", f.lz4Bytes / 1024, h264Size / 1024, f.lz4Ms, h264Ms,
                    static_cast<double>(f.lz4Bytes) / static_cast<double>(std::max<std::int64_t>(h264Size, 1))));
        }
    }
    busy_.store(false, std::memory_order_release);
    settlePreview();
}

void SideEncoder::settlePreview()
{
    if (previewOwed_.exchange(false, std::memory_order_acq_rel) && askForFrame_
        && !stopped_.load(std::memory_order_acquire)) {
        askForFrame_();
    }
}

void SideEncoder::drain()
{
    queue_->sync([] {});
}

void SideEncoder::stop()
{
    if (stopped_.exchange(true, std::memory_order_acq_rel)) return;
    // Queued behind the frame under way; the job keeps this object (and so
    // its queue) alive until it has run, so the caller (the main loop,
    // often) never waits for an encode.
    queue_->async([self = shared_from_this()] {
        if (self->comparison_) self->comparison_->stop();
    });
}

} // namespace qb
