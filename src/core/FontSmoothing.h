// Turns the desktop's font smoothing off while mirroring (crisper text on a
// greyscale panel) and back on afterwards. No-op by default.
#pragma once

namespace qb {

class FontSmoothing {
public:
    virtual ~FontSmoothing() = default;
    virtual void disable() {}
    virtual void restore() {}
};

} // namespace qb
