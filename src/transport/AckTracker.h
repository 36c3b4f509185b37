// AckTracker: the frame server's acknowledgement bookkeeping, with no
// sockets, locks or clocks: which frames are in flight, the round trips of
// the acknowledged ones over a window of 150 samples, and whether the client
// acknowledges at all.
//
// A frame is tracked from its broadcast until its acknowledgement, until a
// newer frame is acknowledged (the stream is in order: an older frame still
// tracked then will never be acknowledged, and counting it in flight would
// hold the encoder back for good), or until 300 newer sequence numbers have
// been sent (distances on the 32-bit circle, so tracking survives the
// sequence number wrapping). A new client restarts the counts; the RTT
// window and the last statistics carry over.
//
// The client counts as acknowledging until 60 frames went out with no
// acknowledgement since it connected or since its last one: a companion
// without acknowledgements, or one that stopped sending them, is then paced
// by its unsent frames alone (FramePolicy), not throttled by a window of
// acknowledgements that will not come.
//
// Owned by the frame server and called under its acknowledgement lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>

#include "transport/FramePacer.h"

namespace qb {

class AckTracker {
public:
    static constexpr std::size_t RTT_WINDOW_SIZE = 150;
    static constexpr std::size_t MAX_TRACKED_FRAMES = 300;
    // Frames after a connection, or after the last acknowledgement, during
    // which a client still counts as acknowledging.
    static constexpr std::int64_t ACK_PROTOCOL_PROBE_FRAMES = 60;

    // Times are monotonic seconds.
    explicit AckTracker(double now) : rateBase_(now) {}

    void clientConnected(double now);
    void frameSent(std::uint32_t sequenceNumber, double now);
    // The statistics including this acknowledgement; none when the sequence
    // number is not (or no longer) tracked, which then changes nothing.
    std::optional<LatencyStats> acknowledged(std::uint32_t sequenceNumber, double now);

    int inflightFrames() const { return inflight_; }
    bool ackProtocolActive() const { return framesSinceAck_ < ACK_PROTOCOL_PROBE_FRAMES; }
    const std::optional<LatencyStats>& latencyStats() const { return stats_; }
    std::size_t trackedFrames() const { return sendTimes_.size(); }

private:
    std::unordered_map<std::uint32_t, double> sendTimes_;
    std::deque<double> rttSamples_;
    std::int64_t acks_ = 0;
    std::int64_t framesSinceAck_ = 0;
    double rateBase_ = 0; // the last connection (or creation)
    int inflight_ = 0;
    std::optional<LatencyStats> stats_;
};

} // namespace qb
