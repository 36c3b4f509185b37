// The figures of one frame stream, from the encoder and the frame server to
// the session, and summed over sessions by the engine: one type all the way,
// so no stage copies them field by field.
#pragma once

#include "config/CaptureStats.h"

namespace qb {

struct StreamStats {
    CaptureStats capture; // the encoder's last report
    double rttMs = 0;     // acknowledgement round trip: average
    double rttP95Ms = 0;  // and 95th percentile
    int clientCount = 0;  // frame-stream clients connected

    bool operator==(const StreamStats&) const = default;
};

} // namespace qb
