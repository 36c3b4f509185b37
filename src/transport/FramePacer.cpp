#include "transport/FramePacer.h"

#include <cmath>

#include <fmt/format.h>

namespace qb {

namespace {

// Send times are kept for this many of the newest sequence numbers; older
// frames were lost or never acknowledged.
constexpr std::uint32_t sendTimeWindow = 300;

// Distance from `older` forward to `newer` on the 32-bit sequence circle, so
// the window keeps working when the sequence number wraps.
std::uint32_t sequenceDistance(std::uint32_t newer, std::uint32_t older)
{
    return newer - older;
}

} // namespace

std::string FrameAdvice::description() const
{
    switch (kind) {
    case Kind::delay: return fmt::format("delay({:.2f}ms)", delayMs);
    case Kind::sendNow: return "sendNow";
    case Kind::skip: return "skip";
    }
    return "sendNow";
}

FramePacer::FramePacer(double smoothingAlpha, double arrivalMarginMs, int minSamples)
    : smoothingAlpha_(smoothingAlpha)
    , arrivalMarginMs_(arrivalMarginMs)
    , minSamplesForAdvice_(minSamples)
{
}

void FramePacer::recordFrameSent(std::uint32_t seq, double timestamp)
{
    std::lock_guard guard(lock_);
    frameSendTimes_[seq] = timestamp;
    if (frameSendTimes_.size() <= sendTimeWindow) return;
    std::erase_if(frameSendTimes_, [seq](const auto& entry) {
        return sequenceDistance(seq, entry.first) >= sendTimeWindow;
    });
}

void FramePacer::recordACK(std::uint32_t seq, double timestamp)
{
    std::lock_guard guard(lock_);

    // Half the round trip estimates the one-way transport time.
    if (auto it = frameSendTimes_.find(seq); it != frameSendTimes_.end()) {
        double oneWay = (timestamp - it->second) * 0.5;
        frameSendTimes_.erase(it);
        if (!hasTransportEstimate_) {
            smoothedTransportTime_ = oneWay;
            hasTransportEstimate_ = true;
        } else {
            smoothedTransportTime_ = oneWay * smoothingAlpha_ + smoothedTransportTime_ * (1 - smoothingAlpha_);
        }
    }

    // The device acknowledges as it presents, so the spacing of
    // acknowledgements approximates its refresh period. Intervals far from
    // the current estimate (dropped or bunched acknowledgements) are ignored.
    if (lastAckTimestamp_ > 0) {
        double interval = timestamp - lastAckTimestamp_;
        bool accepted = false;
        if (smoothedVsyncPeriod_ > 0) {
            double ratio = interval / smoothedVsyncPeriod_;
            accepted = ratio >= 0.4 && ratio < 2.5;
        } else {
            accepted = interval > 0.004 && interval < 0.034;
        }
        if (accepted) {
            smoothedVsyncPeriod_ = ackSampleCount_ == 0
                ? interval
                : interval * smoothingAlpha_ + smoothedVsyncPeriod_ * (1 - smoothingAlpha_);
            ++ackSampleCount_;
        }
    }
    lastAckTimestamp_ = timestamp;
    if (smoothedVsyncPeriod_ > 0) nextVsyncPrediction_ = timestamp + smoothedVsyncPeriod_;
}

FrameAdvice FramePacer::advise(double encodeTimeMs, double transportTimeMs, double now) const
{
    std::lock_guard guard(lock_);
    const double period = smoothedVsyncPeriod_;
    if (ackSampleCount_ < minSamplesForAdvice_ || !(period > 0)) return FrameAdvice::sendNow();

    double transportMs = transportTimeMs;
    if (!(transportMs > 0)) {
        if (!hasTransportEstimate_) return FrameAdvice::sendNow();
        transportMs = smoothedTransportTime_ * 1000;
    }
    const double totalMs = transportMs + encodeTimeMs;
    if (!std::isfinite(totalMs) || !std::isfinite(now)) return FrameAdvice::sendNow();

    // Move the prediction forward by whole periods until it is not in the
    // past; computed in one step so a long-idle pacer costs nothing.
    double next = nextVsyncPrediction_;
    if (next < now) {
        double periods = std::ceil((now - next) / period);
        next += periods * period;
        if (next < now) next += period; // rounding
        if (next < now) next = now;     // a period below the clock's resolution
    }

    const double periodMs = period * 1000;
    const double marginMs = arrivalMarginMs_;
    const double slackMs = (next - (totalMs / 1000 + now)) * 1000;

    if (slackMs >= 0 && slackMs <= periodMs + marginMs) return FrameAdvice::sendNow();

    if (slackMs > periodMs + marginMs) {
        double waitMs = (next - totalMs / 1000 - marginMs / 1000 - now) * 1000;
        if (waitMs > 0 && waitMs < periodMs) return FrameAdvice::delay(waitMs);
        return FrameAdvice::sendNow();
    }

    // Too late for the next vsync: aim at the one after.
    const double next2 = next + period;
    if (marginMs > (next2 - (totalMs / 1000 + now)) * 1000) return FrameAdvice::skip();
    double waitMs = (next2 - totalMs / 1000 - marginMs / 1000 - now) * 1000;
    if (waitMs > 0 && waitMs < 2 * periodMs) return FrameAdvice::delay(waitMs);
    return FrameAdvice::skip();
}

double FramePacer::smoothedVsyncPeriod() const
{
    std::lock_guard guard(lock_);
    return smoothedVsyncPeriod_;
}

double FramePacer::smoothedTransportTime() const
{
    std::lock_guard guard(lock_);
    return smoothedTransportTime_;
}

bool FramePacer::hasTransportEstimate() const
{
    std::lock_guard guard(lock_);
    return hasTransportEstimate_;
}

int FramePacer::ackSampleCount() const
{
    std::lock_guard guard(lock_);
    return ackSampleCount_;
}

double FramePacer::nextVsyncPrediction() const
{
    std::lock_guard guard(lock_);
    return nextVsyncPrediction_;
}

std::size_t FramePacer::pendingSendTimes() const
{
    std::lock_guard guard(lock_);
    return frameSendTimes_.size();
}

} // namespace qb
