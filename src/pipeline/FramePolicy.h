// FramePolicy: what the capture does with each captured frame, with no
// pixels, sockets or clocks: keyframe or delta, drop under back-pressure,
// drop a tiny or an abnormally large delta, and the sequence numbers of the
// frames that go out.
//
//   FramePolicy::Plan plan = policy.plan(link);       // before taking the frame in
//   if (plan == FramePolicy::Plan::hold) return;       // not counted; nothing forced
//   if (plan == FramePolicy::Plan::drop) return;       // counted, keyframe next
//   auto verdict = policy.judge(plan, payload.size(), changeSeen);
//   if (verdict.send) server.broadcast(payload, plan == Plan::keyframe, verdict.sequence);
//
// Rules: every 60th frame is a keyframe, and so is the frame after any frame
// that was not sent whole (a back-pressure drop, an oversized delta, an empty
// keyframe, a stream restart). While the device acknowledges, a frame other
// than a periodic keyframe is dropped when more frames are in flight than the
// round trip allows (120 ms worth, 2 to 6 frames). Whether the device
// acknowledges or not, no frame (periodic keyframes included) is made while
// a client still has UNSENT_FRAME_LIMIT frames waiting in the frame server:
// the frame is held, as if it had not been captured, so a link slower than
// the frame rate gets fewer frames instead of a queue that grows until the
// server gives the client up. A held frame changes no count, so the periodic
// keyframe it may have been comes with the next frame made. A delta under 512 bytes
// carries no visible change and is dropped (except on a stream that sends
// only on change, where it is the change itself); one over 3× the rolling
// average frame size is dropped and replaced by the next keyframe.
//
// Owned by the capture and called on its capture queue only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qb {

class FramePolicy {
public:
    static constexpr std::int64_t KEYFRAME_INTERVAL = 60;
    static constexpr std::size_t MIN_DELTA_BYTES = 512;
    static constexpr double OVERSIZED_DELTA_FACTOR = 3.0;
    static constexpr double INITIAL_AVERAGE_FRAME_SIZE = 10000.0;

    // What the frame server knows of the link when a frame is ready.
    struct Link {
        bool ackProtocolActive = false;
        int inflightFrames = 0;
        std::optional<double> rttAvgMs; // none before the first acknowledgement
        // Frames waiting to be written to the client furthest behind.
        int unsentFrames = 0;
    };

    // One frame being written and one ready behind it keep the link busy.
    static constexpr int UNSENT_FRAME_LIMIT = 2;

    enum class Plan { keyframe, delta, drop, hold };

    struct Verdict {
        bool send = false;
        std::uint32_t sequence = 0; // meaningful when sent
        bool repair = false;        // a frame was lost: ask an on-change stream for another
        bool operator==(const Verdict&) const = default;
    };

    // Frames allowed in flight for a round trip of `rttAvgMs` (15 ms before
    // the first measurement; below 1 ms, or not a number, counts as 1 ms).
    static int inflightLimit(std::optional<double> rttAvgMs);

    // The first step of a frame. `drop` means back-pressure: the frame is
    // counted, not encoded, and the next frame is a keyframe. `hold` means
    // the link is busy: the frame is neither encoded nor counted.
    Plan plan(const Link& link);
    // The second step, once the payload for `plan` is made; `changeSeen` is
    // whether the frame reported changed rows.
    Verdict judge(Plan plan, std::size_t payloadBytes, bool changeSeen);

    // A new stream: frames count from 0 and the first is a keyframe.
    void restart();
    void setOnChangeOnly(bool onChangeOnly) { onChangeOnly_ = onChangeOnly; }

    std::int64_t frameCount() const { return frameCount_; }
    std::int64_t droppedFrames() const { return dropped_; }
    std::int64_t heldFrames() const { return held_; }
    double averageFrameSize() const { return averageFrameSize_; }
    bool keyframeForced() const { return forceNextKeyframe_; }
    std::uint32_t nextSequence() const { return nextSequence_; }

private:
    std::int64_t frameCount_ = 0;
    std::int64_t dropped_ = 0;
    std::int64_t held_ = 0;
    std::uint32_t nextSequence_ = 0;
    double averageFrameSize_ = INITIAL_AVERAGE_FRAME_SIZE;
    bool forceNextKeyframe_ = false;
    bool onChangeOnly_ = false;
};

} // namespace qb
