#include "control/SettingsFileTarget.h"

#include <array>

#include "config/Version.h"
#include "control/ControlCommands.h"
#include "control/ControlRequest.h"

namespace qb {

SettingsFileTarget::SettingsFileTarget(SettingsStore& store) : settings_(store)
{
    static_cast<EngineSettingsValues&>(state_) = settings_.load();
    state_.version = std::string(APP_VERSION);
}

ControlState SettingsFileTarget::state() const { return state_; }

void SettingsFileTarget::change(EngineProperty property) { settings_.store(state_, property); }

void SettingsFileTarget::setResolution(const DisplayResolution& resolution)
{
    state_.resolution = resolution;
    change(EngineProperty::resolution);
}

void SettingsFileTarget::setNonDC1Mode(const std::string& mode)
{
    state_.nonDC1Mode = mode;
    change(EngineProperty::nonDC1Mode);
}

// The tone curve and the profile follow the engine's rule: a hand-set
// contrast or gamma makes the profile custom; a named profile brings its own.
void SettingsFileTarget::setContrastAmount(double value)
{
    state_.contrastAmount = value;
    change(EngineProperty::contrastAmount);
    if (state_.displayProfile != DisplayProfile::custom) setDisplayProfile(DisplayProfile::custom);
}

void SettingsFileTarget::setGammaAmount(double value)
{
    state_.gammaAmount = value;
    change(EngineProperty::gammaAmount);
    if (state_.displayProfile != DisplayProfile::custom) setDisplayProfile(DisplayProfile::custom);
}

void SettingsFileTarget::setDisplayProfile(DisplayProfile profile)
{
    state_.displayProfile = profile;
    change(EngineProperty::displayProfile);
    if (profile == DisplayProfile::custom) return;
    state_.contrastAmount = contrast(profile);
    state_.gammaAmount = gamma(profile);
    change(EngineProperty::contrastAmount);
    change(EngineProperty::gammaAmount);
}

void SettingsFileTarget::setDisplayMode(DisplayMode mode)
{
    state_.displayMode = mode;
    change(EngineProperty::displayMode);
}

void SettingsFileTarget::setConnectionMode(ConnectionMode mode)
{
    state_.connectionMode = mode;
    change(EngineProperty::connectionMode);
}

void SettingsFileTarget::setAutoMirrorEnabled(bool enabled)
{
    state_.autoMirrorEnabled = enabled;
    change(EngineProperty::autoMirrorEnabled);
}

void SettingsFileTarget::setAutoDimHost(bool enabled)
{
    state_.autoDimHost = enabled;
    change(EngineProperty::autoDimHost);
}

void SettingsFileTarget::setClamshellModeEnabled(bool enabled)
{
    state_.clamshellModeEnabled = enabled;
    change(EngineProperty::clamshellModeEnabled);
}

std::optional<std::string> answerFromSettingsFile(std::string_view request, SettingsStore& store)
{
    static constexpr std::array<std::string_view, 9> SETTINGS
        = {"RESOLUTION", "CONTRAST", "GAMMA", "PROFILE", "DISPLAYMODE", "CONNECTION", "AUTOMIRROR", "AUTODIM", "CLAMSHELL"};
    const ControlRequest parsed = parseControlRequest(request);
    if (std::find(SETTINGS.begin(), SETTINGS.end(), parsed.command) == SETTINGS.end()) return std::nullopt;
    SettingsFileTarget target(store);
    std::string reply = handleControlCommand(request, target);
    const bool changed = parsed.argument && reply.starts_with("OK") && !reply.ends_with("(no change)");
    if (changed) reply += " (takes effect at the next start)";
    return reply;
}

} // namespace qb
