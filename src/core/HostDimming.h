// Dims the host's built-in display while a device shows the desktop, and
// restores it. Main loop. No-op by default.
#pragma once

namespace qb {

class HostDimming {
public:
    virtual ~HostDimming() = default;
    // The engine's client count changed; `autoDim` is the user's setting.
    virtual void clientCountChanged(int clients, bool autoDim)
    {
        (void)clients;
        (void)autoDim;
    }
    // Drops pending dim/restore work and puts back the saved brightness.
    virtual void cancelAndRestore() {}
};

} // namespace qb
