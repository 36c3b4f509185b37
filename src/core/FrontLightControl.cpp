#include "core/FrontLightControl.h"

#include <algorithm>
#include <cstdint>

#include "transport/FrameServer.h"

namespace qb {

namespace {

std::shared_ptr<DeviceSession> firstDC1(const FrontLightControl::Sessions& sessions)
{
    const auto dc1 = std::find_if(sessions.begin(), sessions.end(),
        [](const auto& session) { return session->device().deviceFamily() == DeviceFamily::daylightDC1; });
    return dc1 == sessions.end() ? nullptr : *dc1;
}

void sendCommand(const FrontLightControl::Sessions& sessions, std::uint8_t command, int value)
{
    for (const auto& session : sessions) {
        if (session->device().deviceFamily() != DeviceFamily::daylightDC1 || !session->tcpServer()) continue;
        session->tcpServer()->sendCommand(command, static_cast<std::uint8_t>(value));
        return;
    }
}

} // namespace

FrontLightControl::FrontLightControl(std::shared_ptr<FrontLight> light, std::weak_ptr<StatePublisher> published)
    : light_(std::move(light))
    , published_(std::move(published))
{
}

void FrontLightControl::setBrightness(int value, const Sessions& sessions)
{
    value = std::clamp(value, 0, 255);
    if (auto published = published_.lock()) published->publish(&EngineState::brightness, value, EngineProperty::brightness);
    if (light_->running()) return light_->setBrightness(value);
    sendCommand(sessions, 1, value);
}

void FrontLightControl::setWarmth(int value, const Sessions& sessions)
{
    value = std::clamp(value, 0, 255);
    if (auto published = published_.lock()) published->publish(&EngineState::warmth, value, EngineProperty::warmth);
    if (light_->running()) return light_->setWarmth(value);
    sendCommand(sessions, 2, value);
}

void FrontLightControl::toggleBacklight()
{
    if (light_->running()) return light_->toggleBacklight();
    if (auto published = published_.lock()) {
        published->publish(&EngineState::backlightOn, !published->state().backlightOn, EngineProperty::backlightOn);
    }
}

void FrontLightControl::start(const Sessions& sessions)
{
    if (light_->running()) return;
    const auto dc1 = firstDC1(sessions);
    if (!dc1) return;
    std::weak_ptr<StatePublisher> weak = published_;
    FrontLight::Events events;
    events.brightnessChanged = [weak](int value) {
        if (auto published = weak.lock()) published->publish(&EngineState::brightness, value, EngineProperty::brightness);
    };
    events.warmthChanged = [weak](int value) {
        if (auto published = weak.lock()) published->publish(&EngineState::warmth, value, EngineProperty::warmth);
    };
    events.backlightChanged = [weak](bool on) {
        if (auto published = weak.lock()) published->publish(&EngineState::backlightOn, on, EngineProperty::backlightOn);
    };
    light_->start(dc1, std::move(events));
    // The new controller's belief, until the device's own values are read
    // back: a toggle then acts on what the device shows.
    const FrontLight::Values values = light_->values();
    if (auto published = published_.lock()) {
        published->publish(&EngineState::brightness, values.brightness, EngineProperty::brightness);
        published->publish(&EngineState::warmth, values.warmth, EngineProperty::warmth);
        published->publish(&EngineState::backlightOn, values.backlightOn, EngineProperty::backlightOn);
    }
}

} // namespace qb
