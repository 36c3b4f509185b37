// SideEncoder: the encodings of captured frames that must never delay the
// device's stream: the JPEG of the browser preview and the H.264 comparison.
// They take milliseconds per frame where the device's frame takes a fraction
// of one, so they run on a serial queue of their own ("preview", with its
// own thread: the global pools may be held by adb calls for seconds).
//
// The capture queue offers each frame that needs one of them; the frame is
// copied and taken only when the queue has finished with the one before,
// otherwise it is dropped for this work (counted), never waited for. The
// preview therefore shows the newest frame the queue could take, and a
// comparison falls on the next 60th frame when one is still running.
//
//   auto side = SideEncoder::make(wsServer, greyscale, std::move(comparison));
//   side->offer(surface, pixels, wantPreview, figures);  // capture queue
//   side->stop();                                         // owner, not on the queue
//
// Ownership: the capture object makes one at start and stops it at stop;
// jobs under way hold it strongly until they end. offer() and hasComparison()
// are called on the capture queue; drain() and stop() from any other thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "pipeline/PreviewEncoder.h"
#include "platform/CaptureStream.h"
#include "transport/FrameSink.h"

namespace qb {

class SerialQueue;

// The H.264 comparison encoder as the capture uses it (a HardwareEncoder by
// default; tests inject their own): created at start when the experiment is
// enabled, asked to encode the surface of every 60th frame, stopped by
// stop(). Log-only; nothing it produces is sent.
class ComparisonEncoder {
public:
    virtual ~ComparisonEncoder() = default;
    // False when the encoder could not set up its session (comparison off).
    virtual bool hasSession() const = 0;
    virtual std::optional<std::vector<std::uint8_t>> encode(const CaptureSurface& surface) = 0;
    virtual void stop() = 0;
};

class SideEncoder : public std::enable_shared_from_this<SideEncoder> {
public:
    // What the device's encoder made of the frame a comparison runs on.
    struct ComparisonFigures {
        bool isKeyframe = false;
        std::int64_t lz4Bytes = 0;
        double lz4Ms = 0;
    };

    // `preview` may be null (no preview server); `comparison` may be null.
    static std::shared_ptr<SideEncoder> make(std::shared_ptr<PreviewSink> preview, bool greyscale,
        std::unique_ptr<ComparisonEncoder> comparison);
    ~SideEncoder();
    SideEncoder(const SideEncoder&) = delete;
    SideEncoder& operator=(const SideEncoder&) = delete;

    bool hasComparison() const { return comparison_ != nullptr; }

    // Hands over the frame in `pixels` (laid out as `surface` says) for a
    // preview JPEG and/or a comparison. False when the queue is still busy or
    // stopped: nothing is done for this frame.
    bool offer(const CaptureSurface& surface, const std::uint8_t* pixels, bool preview,
        std::optional<ComparisonFigures> comparison);

    // Called when a preview could not be taken because the queue was busy,
    // once the queue is free again: a still screen sends no new frame by
    // itself, so without it a page that joined then would wait for the next
    // change. Set before the first offer.
    void onPreviewOwed(std::function<void()> askForFrame) { askForFrame_ = std::move(askForFrame); }

    // Returns once the work taken so far is done (tests; never on the main
    // loop).
    void drain();
    // Refuses later offers and, once the work taken so far is done, stops
    // (flushes) the comparison encoder on the queue. Does not wait.
    void stop();

    // Frames not taken because the queue was busy.
    std::int64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

private:
    SideEncoder(std::shared_ptr<PreviewSink> preview, bool greyscale, std::unique_ptr<ComparisonEncoder> comparison);
    void run();
    void settlePreview();

    const std::shared_ptr<PreviewSink> preview_;
    const bool greyscale_;
    const std::unique_ptr<ComparisonEncoder> comparison_;
    const std::shared_ptr<SerialQueue> queue_;

    // True from a taken offer until its work is done; the frame below belongs
    // to the capture queue while false and to the side queue while true.
    std::atomic<bool> busy_{false};
    std::atomic<bool> stopped_{false};
    std::atomic<std::int64_t> dropped_{0};
    std::atomic<bool> previewOwed_{false};
    std::function<void()> askForFrame_;
    std::vector<std::uint8_t> frame_; // packed BGRA rows
    std::size_t width_ = 0;
    std::size_t height_ = 0;
    bool wantPreview_ = false;
    std::optional<ComparisonFigures> figures_;
    PreviewEncoder previewEncoder_; // side queue only
};

} // namespace qb
