// The device's front light (brightness, warmth, backlight), driven over the
// frame stream of the first Daylight DC-1 session. Main loop. No-op by
// default: without it the engine's front-light values stay as they are.
#pragma once

#include <functional>
#include <memory>

namespace qb {

class DeviceSession;

struct FrontLight {
    int brightness = 128;
    int warmth = 128;
    bool backlightOn = true;
};

class DeviceDisplayControl {
public:
    virtual ~DeviceDisplayControl() = default;
    // Starts on `session`'s frame stream; `changed` reports the device's
    // values on the main loop. Returns the values known now, if any.
    virtual bool start(const std::shared_ptr<DeviceSession>& session, std::function<void(FrontLight)> changed)
    {
        (void)session;
        (void)changed;
        return false;
    }
    virtual void stop() {}
    virtual void setBrightness(int value) { (void)value; }
    virtual void setWarmth(int value) { (void)value; }
    virtual void toggleBacklight() {}
};

} // namespace qb
