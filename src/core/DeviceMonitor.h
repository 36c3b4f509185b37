// Watches adb for devices coming and going (USB and adb-connected network
// devices) and reports on the main loop. No-op by default: the engine then
// learns of devices only when it starts.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qb {

struct DeviceEvents {
    std::function<void()> connected;
    std::function<void()> disconnected;
    std::function<void(const std::vector<std::string>&)> unauthorizedChanged; // serials
    std::function<void()> startRequested; // the companion asked for mirroring
};

class DeviceMonitor {
public:
    virtual ~DeviceMonitor() = default;
    virtual void start(DeviceEvents events) { (void)events; }
    // Whether a device was attached when monitoring began.
    virtual bool wasConnected() const { return false; }
    // Mirroring changes what a start request means.
    virtual void setMirroring(bool mirroring) { (void)mirroring; }
};

} // namespace qb
