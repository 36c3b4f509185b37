// Round-trip statistics and frame pacing fed by the device's acknowledgements.
//
// FramePacer infers the device's vsync period from the spacing of
// acknowledgements and the one-way transport time from send and
// acknowledgement times, and advises whether a frame should be sent now,
// delayed until just before the device's next vsync, or skipped.
//
// The frame server calls recordFrameSent/recordACK while holding its
// acknowledgement lock; the encoder calls advise() from its capture queue.
// The pacer locks internally, so all members are thread-safe.
// All times are media-clock seconds (runtime/Clock.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qb {

struct LatencyStats {
    double rttMs = 0;      // the RTT just measured
    double rttMinMs = 0;   // smallest sample in the window
    double rttMaxMs = 0;   // largest sample in the window
    double rttAvgMs = 0;   // mean of the window
    double rttP95Ms = 0;   // 95th-percentile sample of the window
    std::int64_t acksReceived = 0;
    double ackRate = 0;    // acknowledgements per second
    bool operator==(const LatencyStats&) const = default;
};

struct FrameAdvice {
    enum class Kind { delay, sendNow, skip };
    Kind kind = Kind::sendNow;
    double delayMs = 0; // meaningful for delay only

    static FrameAdvice delay(double ms) { return {Kind::delay, ms}; }
    static FrameAdvice sendNow() { return {Kind::sendNow, 0}; }
    static FrameAdvice skip() { return {Kind::skip, 0}; }

    bool operator==(const FrameAdvice& other) const
    {
        return kind == other.kind && (kind != Kind::delay || delayMs == other.delayMs);
    }
    // The text used in log lines ("sendNow", "skip", "delay(12.70ms)" ...).
    std::string description() const;
};

class FramePacer {
public:
    FramePacer(double smoothingAlpha = 0.1, double arrivalMarginMs = 2.0, int minSamples = 10);

    void recordFrameSent(std::uint32_t seq, double timestamp);
    void recordACK(std::uint32_t seq, double timestamp);
    FrameAdvice advise(double encodeTimeMs, double transportTimeMs, double now) const;

    double smoothedVsyncPeriod() const;   // seconds
    double smoothedTransportTime() const; // seconds
    bool hasTransportEstimate() const;
    int ackSampleCount() const;
    double nextVsyncPrediction() const;
    // Frames whose send time is still remembered (the newest 300 at most).
    std::size_t pendingSendTimes() const;

private:
    const double smoothingAlpha_;
    const double arrivalMarginMs_;
    const int minSamplesForAdvice_;

    mutable std::mutex lock_;
    double smoothedVsyncPeriod_ = 0;
    double lastAckTimestamp_ = 0;
    int ackSampleCount_ = 0;
    double nextVsyncPrediction_ = 0;
    std::unordered_map<std::uint32_t, double> frameSendTimes_;
    double smoothedTransportTime_ = 0;
    bool hasTransportEstimate_ = false;
};

} // namespace qb
