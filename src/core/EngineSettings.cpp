#include "core/EngineSettings.h"

namespace qb {

namespace {

template <auto field>
void writeText(SettingsStore& store, std::string_view key, const EngineState& state)
{
    store.setString(std::string(key), std::string(rawValue(state.*field)));
}

template <auto field>
void writeBool(SettingsStore& store, std::string_view key, const EngineState& state)
{
    store.setBool(std::string(key), state.*field);
}

template <auto field>
void writeDouble(SettingsStore& store, std::string_view key, const EngineState& state)
{
    store.setDouble(std::string(key), state.*field);
}

using Effect = SettingEffect;
using P = EngineProperty;

const EngineSetting SETTINGS[] = {
    {P::resolution, "resolution", Effect::restart,
        [](SettingsStore& store, std::string_view key, const EngineState& state) {
            store.setString(std::string(key), state.resolution.preset.value_or("cozy"));
        }},
    {P::nonDC1Mode, "resolutionMode", Effect::restartNonDC1,
        [](SettingsStore& store, std::string_view key, const EngineState& state) {
            store.setString(std::string(key), state.nonDC1Mode);
        }},
    {P::displayMode, "displayMode", Effect::displayMode, writeText<&EngineState::displayMode>},
    {P::contrastAmount, "contrastAmount", Effect::toneCurve, writeDouble<&EngineState::contrastAmount>},
    {P::gammaAmount, "gammaAmount", Effect::toneCurve, writeDouble<&EngineState::gammaAmount>},
    {P::displayProfile, "displayProfile", Effect::profile, writeText<&EngineState::displayProfile>},
    {P::autoMirrorEnabled, "autoMirrorEnabled", Effect::none, writeBool<&EngineState::autoMirrorEnabled>},
    {P::autoDimHost, "autoDimMac", Effect::none, writeBool<&EngineState::autoDimHost>},
    {P::autoRefreshEnabled, "autoRefreshEnabled", Effect::tabletPages, writeBool<&EngineState::autoRefreshEnabled>},
    {P::clamshellModeEnabled, "clamshellModeEnabled", Effect::sleep, writeBool<&EngineState::clamshellModeEnabled>},
    {P::connectionMode, "connectionMode", Effect::networkServices, writeText<&EngineState::connectionMode>},
};

} // namespace

const EngineSetting* engineSetting(EngineProperty property)
{
    for (const auto& setting : SETTINGS) {
        if (setting.property == property) return &setting;
    }
    return nullptr;
}

void EngineSettings::store(const EngineState& state, EngineProperty changed)
{
    if (const auto* setting = engineSetting(changed)) setting->write(store_, setting->key, state);
}

void EngineSettings::storeValues(const EngineSettingsValues& values, std::initializer_list<EngineProperty> changed)
{
    EngineState state;
    static_cast<EngineSettingsValues&>(state) = values;
    for (const auto property : changed) store(state, property);
}

// Under the writers' lock: the tidying below writes back what it read, and a
// command line changing two keys meanwhile (a gamma and the profile it makes
// custom) would otherwise see its first key put back.
EngineSettingsValues EngineSettings::load()
{
    EngineSettingsValues values;
    store_.exclusively([&] { values = readAndTidy(); });
    return values;
}

EngineSettingsValues EngineSettings::readAndTidy()
{
    EngineSettingsValues v;

    const std::string storedResolution = store_.string("resolution").value_or("cozy");
    if (const auto preset = DisplayResolution::presetNamed(storedResolution)) {
        v.resolution = *preset;
    } else {
        for (const auto& candidate : DisplayResolution::dc1Presets()) {
            if (candidate.rawValue() != storedResolution) continue;
            v.resolution = candidate;
            storeValues(v, {P::resolution});
            break;
        }
    }

    const std::string mode = store_.string("resolutionMode").value_or("portrait-cozy");
    if (mode == "cozy") {
        v.nonDC1Mode = "portrait-cozy";
    } else if (mode == "sharp") {
        v.nonDC1Mode = "portrait-sharp";
    } else {
        v.nonDC1Mode = mode;
    }

    v.displayMode = store_.string("displayMode") == "extended" ? DisplayMode::extended : DisplayMode::mirror;

    if (!store_.boolean("v1.7_defaults_migrated").value_or(false)) {
        store_.remove("contrastAmount");
        store_.remove("gammaAmount");
        store_.remove("displayProfile");
        store_.setBool("v1.7_defaults_migrated", true);
    }
    store_.remove("sharpenAmount");

    // A hand-tuned contrast or gamma means the profile is custom; the values
    // a named profile stored itself are not hand-tuned (or every start after
    // the first would turn the profile custom).
    const auto storedProfile = store_.string("displayProfile");
    const DisplayProfile named
        = storedProfile ? displayProfileFromRawValue(*storedProfile).value_or(DisplayProfile::crispPaper)
                        : DisplayProfile::crispPaper;
    bool tuned = false;
    if (const auto stored = store_.doubleValue("contrastAmount")) {
        v.contrastAmount = *stored;
        tuned = tuned || named == DisplayProfile::custom || *stored != contrast(named);
    }
    if (const auto stored = store_.doubleValue("gammaAmount")) {
        v.gammaAmount = *stored;
        tuned = tuned || named == DisplayProfile::custom || *stored != gamma(named);
    }
    if (tuned) store_.setString("displayProfile", std::string(rawValue(DisplayProfile::custom)));

    v.displayProfile = DisplayProfile::crispPaper;
    if (const auto stored = store_.string("displayProfile")) {
        v.displayProfile = displayProfileFromRawValue(*stored).value_or(DisplayProfile::crispPaper);
    }
    if (v.displayProfile != DisplayProfile::custom) {
        v.contrastAmount = contrast(v.displayProfile);
        v.gammaAmount = gamma(v.displayProfile);
        storeValues(v, {P::displayProfile, P::contrastAmount, P::gammaAmount});
    } else {
        storeValues(v, {P::displayProfile});
    }

    v.autoMirrorEnabled = store_.boolean("autoMirrorEnabled").value_or(true);
    v.autoDimHost = store_.boolean("autoDimMac").value_or(true);
    v.autoRefreshEnabled = store_.boolean("autoRefreshEnabled").value_or(true);
    v.clamshellModeEnabled = store_.boolean("clamshellModeEnabled").value_or(false);
    if (const auto connection = store_.string("connectionMode")) {
        v.connectionMode = *connection == "wifi" ? ConnectionMode::wifi : ConnectionMode::usb;
    }
    return v;
}

} // namespace qb
