#include "control/SettingsFileTarget.h"

#include <utility>
#include <vector>

#include "config/Version.h"
#include "control/ControlCommands.h"

namespace qb {

SettingsFileTarget::SettingsFileTarget(SettingsStore& store) : settings_(store)
{
    static_cast<EngineSettingsValues&>(state_) = settings_.load();
    state_.version = std::string(APP_VERSION);
}

ControlState SettingsFileTarget::state() const { return state_; }

void SettingsFileTarget::changeSettings(const EngineSettingsValues& wanted, EngineProperty changed)
{
    static_cast<EngineSettingsValues&>(state_) = wanted;
    std::vector<EngineProperty> stored = {changed};
    const bool toneCurve = changed == EngineProperty::contrastAmount || changed == EngineProperty::gammaAmount;
    if (toneCurve && state_.displayProfile != DisplayProfile::custom) {
        state_.displayProfile = DisplayProfile::custom;
        stored.push_back(EngineProperty::displayProfile);
    }
    if (changed == EngineProperty::displayProfile && state_.displayProfile != DisplayProfile::custom) {
        state_.contrastAmount = contrast(state_.displayProfile);
        state_.gammaAmount = gamma(state_.displayProfile);
        stored.insert(stored.end(), {EngineProperty::contrastAmount, EngineProperty::gammaAmount});
    }
    for (const EngineProperty property : stored) settings_.store(state_, property);
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
