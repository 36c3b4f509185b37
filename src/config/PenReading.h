// The pen's last values as the tablet page reported them: what the health
// and latency reports show, and what a pressure-capable injector would need.
#pragma once

namespace qb {

struct PenReading {
    double pressure = 0; // 0-1
    int tiltX = 0;       // degrees, -90..90
    int tiltY = 0;
    bool eraser = false; // the eraser end, not the tip
    bool touching = false;
    bool barrel = false; // the barrel button held
    bool operator==(const PenReading&) const = default;
};

} // namespace qb
