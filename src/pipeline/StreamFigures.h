// StreamFigures: the capture's running figures between two StreamStats
// publications: frame-interval jitter over the last 150 frames, mean
// conversion and compression times, and the stream rate from the last
// compressed frame. No clocks of its own: the capture passes its readings.
//
// Owned by the capture and called on its capture queue only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "config/StreamStats.h"

namespace qb {

class StreamFigures {
public:
    static constexpr std::size_t JITTER_WINDOW_SIZE = 150;
    static constexpr double NOMINAL_FRAME_MS = 1000.0 / 60.0;

    // A frame arrived at `seconds` (monotonic): its interval from the one
    // before, less 1/60 s, is a jitter sample.
    void frameArrived(double seconds);
    // A frame went through the encoder (sent or not).
    void frameEncoded(double convertMs, double compressMs, std::int64_t compressedBytes);
    // The figures of the `elapsedSeconds` since the last publication; starts
    // the next interval. `totalFrames` and `skippedFrames` are the capture's.
    StreamStats publish(double elapsedSeconds, std::int64_t totalFrames, std::int64_t skippedFrames);
    // A new stream: the next arrival has no interval.
    void restart() { lastArrival_ = 0; }

    std::size_t jitterSampleCount() const { return jitterSamples_.size(); }
    std::int64_t lastCompressedBytes() const { return lastCompressedBytes_; }

private:
    double lastArrival_ = 0;
    std::deque<double> jitterSamples_;
    double convertSum_ = 0;
    double compressSum_ = 0;
    std::int64_t frames_ = 0;
    std::int64_t lastCompressedBytes_ = 0;
};

} // namespace qb
