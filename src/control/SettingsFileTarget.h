// The settings commands while no daemon runs: the same commands, checks and
// replies as the control socket's (ControlCommands.h), against the settings
// file instead of an engine. What is set is stored at once and takes effect
// when a daemon starts (a daemon that runs meanwhile picks it up, see
// MirrorEngine::applyOutsideSettings). Anything that needs the daemon
// (brightness, start, latency, ...) is not answered here.
//
// The store's own locking makes concurrent writers safe (several command
// lines, a daemon starting): each write keeps every other key.
// Any thread; one target per command.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "control/ControlTarget.h"
#include "core/EngineSettings.h"

namespace qb {

class SettingsFileTarget final : public SettingsChangingTarget {
public:
    // Loads the stored settings (with their migrations, as a start would).
    explicit SettingsFileTarget(SettingsStore& store);

    ControlState state() const override;
    bool serving() const override { return false; }

    // What needs a running daemon does nothing here.
    void setBrightness(int) override {}
    void setWarmth(int) override {}
    void toggleBacklight() override {}
    void setFontSmoothing(bool) override {}
    bool start() override { return false; }
    void stop() override {}
    void restart() override {}
    void reconnect() override {}
    void openTabletPages() override {}
    TabletPairingOffer offerTabletPairing() override { return {}; }
    bool forgetTabletPages() override { return false; }
    std::string report() override { return {}; }

protected:
    // Stores the change, with the engine's rule for the tone curve and the
    // profile: a hand-set contrast or gamma makes the profile custom; a
    // named profile brings its own contrast and gamma.
    void changeSettings(const EngineSettingsValues& wanted, EngineProperty changed) override;

private:
    EngineSettings settings_;
    ControlState state_;
};

// The reply to a request for a stored setting (the verbs the verb table
// marks SettingScope::stored: RESOLUTION, CONTRAST, ...) from the settings
// file in `store`: the daemon's reply, a change followed by
// " (takes effect at the next start)". Nothing for any other request.
std::optional<std::string> answerFromSettingsFile(std::string_view request, SettingsStore& store);

} // namespace qb
