// What the frame encoder (ScreenCapture) needs from the servers it feeds.
// FrameServer implements FrameSink, WebSocketServer implements PreviewSink;
// tests use recording implementations. The encoder calls these on its
// "capture" queue; implementations are thread-safe.
#pragma once

#include <functional>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "transport/FramePacer.h"

namespace qb {

class FrameSink {
public:
    virtual ~FrameSink() = default;

    // Frames, sends and records one encoded frame (a keyframe is also cached
    // for late joiners). The bytes are copied; the encoder ignores the result.
    virtual void broadcast(std::span<const std::uint8_t> payload, bool isKeyframe,
        std::uint32_t sequenceNumber) = 0;

    // Frames sent and not yet acknowledged.
    virtual int inflightFrames() const = 0;

    // False once 60 frames went out with no acknowledgement since the client
    // connected or since its last one; true otherwise.
    virtual bool ackProtocolActive() const = 0;

    // Frames handed to broadcast() and not yet written to the client that
    // is furthest behind (0 without clients).
    virtual int unsentFrames() const = 0;

    // Round-trip statistics, once an acknowledgement has been matched.
    virtual std::optional<LatencyStats> latencyStats() const = 0;

    // The pacer fed by this server's acknowledgements.
    virtual FramePacer& framePacer() = 0;
};

class PreviewSink {
public:
    virtual ~PreviewSink() = default;
    // Connected preview clients, read under the server's lock.
    virtual int previewClientCount() const = 0;
    // Sends one JPEG image to every preview client.
    virtual void broadcast(std::vector<std::uint8_t> jpeg) = 0;
    // `joined` runs (on any thread) when a client connects, so that the
    // picture producer sends the current picture at once: a still desktop
    // would otherwise leave a new page empty until the screen changes.
    virtual void onClientJoined(std::function<void()> joined) { (void)joined; }
};

} // namespace qb
