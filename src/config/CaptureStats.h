// Capture statistics, published by the frame encoder every five seconds and
// summed over sessions by the engine.
#pragma once

#include <cstdint>

namespace qb {

struct CaptureStats {
    double fps = 0;           // frames processed per second over the last interval
    double bandwidthMBps = 0; // estimated stream rate, MiB per second
    std::int64_t frameSizeKB = 0;   // last compressed frame, whole KiB
    std::int64_t totalFrames = 0;   // frames since the stream (re)started
    double convertMs = 0;     // mean pixel conversion per frame
    double compressMs = 0;    // mean delta + compression + send per frame
    double jitterMs = 0;      // mean deviation of the frame interval from 1/60 s
    std::int64_t skippedFrames = 0; // frames not sent since the capture was created

    bool operator==(const CaptureStats&) const = default;
};

} // namespace qb
