#include "pipeline/StreamFigures.h"

#include <cmath>
#include <numeric>

namespace qb {

void StreamFigures::frameArrived(double seconds)
{
    if (lastArrival_ > 0) {
        jitterSamples_.push_back(std::abs((seconds - lastArrival_) * 1000.0 - NOMINAL_FRAME_MS));
        while (jitterSamples_.size() > JITTER_WINDOW_SIZE) jitterSamples_.pop_front();
    }
    lastArrival_ = seconds;
}

void StreamFigures::frameEncoded(double convertMs, double compressMs, std::int64_t compressedBytes)
{
    ++frames_;
    convertSum_ += convertMs;
    compressSum_ += compressMs;
    lastCompressedBytes_ = compressedBytes;
}

StreamStats StreamFigures::publish(double elapsedSeconds, std::int64_t totalFrames, std::int64_t skippedFrames)
{
    StreamStats stats;
    const double frames = static_cast<double>(frames_);
    stats.fps = elapsedSeconds > 0 ? frames / elapsedSeconds : 0.0;
    stats.convertMs = frames_ > 0 ? convertSum_ / frames : 0.0;
    stats.compressMs = frames_ > 0 ? compressSum_ / frames : 0.0;
    stats.bandwidthMBps = stats.fps * static_cast<double>(lastCompressedBytes_) / 1024.0 / 1024.0;
    stats.frameSizeKB = lastCompressedBytes_ / 1024;
    stats.jitterMs = jitterSamples_.empty()
        ? 0.0
        : std::accumulate(jitterSamples_.begin(), jitterSamples_.end(), 0.0) / static_cast<double>(jitterSamples_.size());
    stats.totalFrames = totalFrames;
    stats.skippedFrames = skippedFrames;
    frames_ = 0;
    convertSum_ = 0;
    compressSum_ = 0;
    return stats;
}

} // namespace qb
