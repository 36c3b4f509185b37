#include "pipeline/FramePolicy.h"

#include <algorithm>
#include <cmath>

namespace qb {

int FramePolicy::inflightLimit(std::optional<double> rttAvgMs)
{
    const double rtt = !rttAvgMs ? 15.0 : (*rttAvgMs > 1.0 ? *rttAvgMs : 1.0);
    return static_cast<int>(std::clamp(std::floor(120.0 / rtt), 2.0, 6.0));
}

FramePolicy::Plan FramePolicy::plan(const Link& link)
{
    if (link.unsentFrames >= UNSENT_FRAME_LIMIT) {
        ++held_;
        return Plan::hold;
    }
    const bool periodic = frameCount_ % KEYFRAME_INTERVAL == 0;
    if (link.ackProtocolActive && !periodic && link.inflightFrames > inflightLimit(link.rttAvgMs)) {
        ++dropped_;
        forceNextKeyframe_ = true;
        ++frameCount_;
        return Plan::drop;
    }
    const bool keyframe = periodic || forceNextKeyframe_;
    forceNextKeyframe_ = false;
    return keyframe ? Plan::keyframe : Plan::delta;
}

FramePolicy::Verdict FramePolicy::judge(Plan plan, std::size_t payloadBytes, bool changeSeen)
{
    const double n = static_cast<double>(payloadBytes);
    Verdict verdict;
    if (plan == Plan::keyframe) {
        // Cannot happen with a capacity of LZ4_compressBound; never send an empty keyframe.
        verdict.send = payloadBytes > 0;
        if (!verdict.send) forceNextKeyframe_ = true;
    } else if (payloadBytes < MIN_DELTA_BYTES && !(onChangeOnly_ && payloadBytes > 0 && changeSeen)) {
        verdict.send = false;
    } else if (averageFrameSize_ >= 1.0 && n > OVERSIZED_DELTA_FACTOR * averageFrameSize_) {
        forceNextKeyframe_ = true;
        verdict.repair = true;
    } else {
        verdict.send = true;
    }
    if (verdict.send) {
        verdict.sequence = nextSequence_++; // a frame not sent leaves its number to the next
    } else {
        ++dropped_;
    }
    averageFrameSize_ = 0.95 * averageFrameSize_ + 0.05 * n;
    ++frameCount_;
    return verdict;
}

void FramePolicy::restart()
{
    forceNextKeyframe_ = true;
    frameCount_ = 0;
}

} // namespace qb
