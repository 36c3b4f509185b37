#include "control/SettingsFileTarget.h"

#include <utility>

#include "config/Version.h"
#include "control/ControlCommands.h"

namespace qb {

SettingsFileTarget::SettingsFileTarget(SettingsStore& store) : settings_(store)
{
    static_cast<EngineSettingsValues&>(state_) = settings_.load();
    state_.version = std::string(APP_VERSION);
}

ControlState SettingsFileTarget::state() const { return state_; }

void SettingsFileTarget::change(EngineProperty property) { settings_.store(state_, property); }

template <class T>
void SettingsFileTarget::set(T EngineSettingsValues::*field, T value, EngineProperty property)
{
    state_.*field = std::move(value);
    change(property);
}

void SettingsFileTarget::setResolution(const DisplayResolution& resolution)
{
    set(&EngineSettingsValues::resolution, resolution, EngineProperty::resolution);
}

void SettingsFileTarget::setNonDC1Mode(const std::string& mode)
{
    set(&EngineSettingsValues::nonDC1Mode, mode, EngineProperty::nonDC1Mode);
}

// The tone curve and the profile follow the engine's rule: a hand-set
// contrast or gamma makes the profile custom; a named profile brings its own.
void SettingsFileTarget::setContrastAmount(double value)
{
    set(&EngineSettingsValues::contrastAmount, value, EngineProperty::contrastAmount);
    if (state_.displayProfile != DisplayProfile::custom) setDisplayProfile(DisplayProfile::custom);
}

void SettingsFileTarget::setGammaAmount(double value)
{
    set(&EngineSettingsValues::gammaAmount, value, EngineProperty::gammaAmount);
    if (state_.displayProfile != DisplayProfile::custom) setDisplayProfile(DisplayProfile::custom);
}

void SettingsFileTarget::setDisplayProfile(DisplayProfile profile)
{
    set(&EngineSettingsValues::displayProfile, profile, EngineProperty::displayProfile);
    if (profile == DisplayProfile::custom) return;
    set(&EngineSettingsValues::contrastAmount, contrast(profile), EngineProperty::contrastAmount);
    set(&EngineSettingsValues::gammaAmount, gamma(profile), EngineProperty::gammaAmount);
}

void SettingsFileTarget::setDisplayMode(DisplayMode mode)
{
    set(&EngineSettingsValues::displayMode, mode, EngineProperty::displayMode);
}

void SettingsFileTarget::setConnectionMode(ConnectionMode mode)
{
    set(&EngineSettingsValues::connectionMode, mode, EngineProperty::connectionMode);
}

void SettingsFileTarget::setAutoMirrorEnabled(bool enabled)
{
    set(&EngineSettingsValues::autoMirrorEnabled, enabled, EngineProperty::autoMirrorEnabled);
}

void SettingsFileTarget::setAutoDimHost(bool enabled)
{
    set(&EngineSettingsValues::autoDimHost, enabled, EngineProperty::autoDimHost);
}

void SettingsFileTarget::setAutoRefreshEnabled(bool enabled)
{
    set(&EngineSettingsValues::autoRefreshEnabled, enabled, EngineProperty::autoRefreshEnabled);
}

void SettingsFileTarget::setClamshellModeEnabled(bool enabled)
{
    set(&EngineSettingsValues::clamshellModeEnabled, enabled, EngineProperty::clamshellModeEnabled);
}

std::optional<std::string> answerFromSettingsFile(std::string_view request, SettingsStore& store)
{
    const auto parsed = parseControlRequest(request);
    const auto stored = [](std::optional<ControlVerb> verb) {
        return verb && controlVerb(*verb).setting == SettingScope::stored;
    };
    if (const auto* refusal = std::get_if<ControlRefusal>(&parsed)) {
        if (!stored(refusal->verb)) return std::nullopt;
        return refusal->reply;
    }
    const auto& typed = std::get<ControlRequest>(parsed);
    if (!stored(typed.verb)) return std::nullopt;
    // One change under the writers' lock: a gamma and the profile it makes
    // custom land together, read and written against the same file.
    std::string reply;
    store.exclusively([&] {
        SettingsFileTarget target(store);
        reply = answerControlRequest(typed, target);
    });
    const bool changed = typed.hasArgument() && reply.starts_with("OK") && !reply.ends_with("(no change)");
    if (changed) reply += " (takes effect at the next start)";
    return reply;
}

} // namespace qb
