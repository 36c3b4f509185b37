// FrontLightControl: the device's front light as the engine publishes it.
// From the start of the first Daylight DC-1 session to the stop, the front
// light controller drives it and its read-back is published; before that
// (or without a DC-1) a value goes straight to the first DC-1's frame stream
// as a command (brightness 1, warmth 2) and the backlight switch only flips
// the published flag. Main loop only; owned by the engine.
#pragma once

#include <memory>
#include <vector>

#include "core/EngineCollaborators.h"
#include "core/StatePublisher.h"
#include "session/DeviceSession.h"

namespace qb {

class FrontLightControl {
public:
    using Sessions = std::vector<std::shared_ptr<DeviceSession>>;

    // The light's read-back reaches `published` while it lives.
    FrontLightControl(std::shared_ptr<FrontLight> light, std::weak_ptr<StatePublisher> published);

    // Values outside 0...255 are clamped.
    void setBrightness(int value, const Sessions& sessions);
    void setWarmth(int value, const Sessions& sessions);
    void toggleBacklight();
    // Starts the controller on the first DC-1 of `sessions`, unless it runs
    // or there is none, and publishes what it believes the device shows.
    void start(const Sessions& sessions);
    void stop() { light_->stop(); }

    const std::shared_ptr<FrontLight>& light() const { return light_; }

private:
    std::shared_ptr<FrontLight> light_;
    std::weak_ptr<StatePublisher> published_;
};

} // namespace qb
