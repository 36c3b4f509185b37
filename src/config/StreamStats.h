// The figures of one frame stream, and of all of them summed. The encoder
// fills the frame figures every five seconds; the session adds what only
// the frame server knows (acknowledgement round trip, clients); the engine
// folds its sessions into one; the status file, the control socket and the
// health report print it. One type all the way, so no stage copies figures
// field by field into a struct of its own.
#pragma once

#include <cstdint>

namespace qb {

struct StreamStats {
    // The encoder's figures.
    double fps = 0;           // frames processed per second over the last interval
    double bandwidthMBps = 0; // estimated stream rate, MiB per second
    std::int64_t frameSizeKB = 0;   // last compressed frame, whole KiB
    std::int64_t totalFrames = 0;   // frames since the stream (re)started
    double convertMs = 0;     // mean pixel conversion per frame
    double compressMs = 0;    // mean delta + compression + send per frame
    double jitterMs = 0;      // mean deviation of the frame interval from 1/60 s
    std::int64_t skippedFrames = 0; // frames not sent since the capture was created
    // The frame server's figures.
    double rttMs = 0;    // acknowledgement round trip: average
    double rttP95Ms = 0; // and 95th percentile
    int clientCount = 0; // frame-stream clients connected

    // The encoder's figures of `encoder`, keeping this stream's own
    // round trip and client count (which the encoder does not know).
    void takeEncoderFigures(const StreamStats& encoder)
    {
        const double rtt = rttMs;
        const double rttP95 = rttP95Ms;
        const int clients = clientCount;
        *this = encoder;
        rttMs = rtt;
        rttP95Ms = rttP95;
        clientCount = clients;
    }

    bool operator==(const StreamStats&) const = default;
};

} // namespace qb
