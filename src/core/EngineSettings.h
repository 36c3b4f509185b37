// EngineSettings: the engine's persisted settings in the settings store —
// their keys and encodings, the load at construction with its migrations,
// and one writer per setting for the change handlers.
//
//   key                    stored as                       default
//   "resolution"           preset name ("cozy")            "cozy"
//   "resolutionMode"       "portrait-cozy", ...            "portrait-cozy"
//   "displayMode"          "mirror" / "extended"           "mirror"
//   "contrastAmount"       double                          (the profile's)
//   "gammaAmount"          double                          (the profile's)
//   "displayProfile"       "Crisp Paper" / "Balanced" / "Custom"   "Crisp Paper"
//   "autoMirrorEnabled"    Boolean                         true
//   "autoDimMac"           Boolean                         true
//   "autoRefreshEnabled"   Boolean                         true
//   "clamshellModeEnabled" Boolean                         false
//   "connectionMode"       "usb" / "wifi"                  "usb"
//   "setupCompleted"       Boolean (the first start sets it; gates nothing)  false
//   "v1.7_defaults_migrated"  migration marker; "sharpenAmount" obsolete
//
// A corrupt or unreadable settings file is the store's business: it is
// moved aside (kept), reported in the log, and the defaults apply.
// Any thread (the store is thread-safe); the engine calls it on the main loop.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "config/DisplayResolution.h"
#include "config/MirrorStatus.h"
#include "config/Modes.h"
#include "config/EngineState.h"
#include "runtime/SettingsStore.h"

namespace qb {

// What a change of a setting does while the engine runs, besides being
// stored at once.
enum class SettingEffect {
    none,            // read where it is used (auto-mirror, auto-dim)
    toneCurve,       // the running captures' next frame; a hand-tuned value makes the profile "Custom"
    profile,         // a named profile sets contrast and gamma
    restart,         // a running mirror restarts at the new size
    restartNonDC1,   // a running mirror restarts when it shows a device other than a DC-1
    displayMode,     // the next start; leaving mirror gives the host panel its brightness back
    networkServices, // Wi-Fi advertising and discovery follow the mode
    sleep,           // clamshell: the keep-awake lock follows while running
    tabletPages,     // the connected tablet pages are told (auto clean refresh)
};

// One persisted setting: the engine property it stores, its key, its live
// effect and how it is written. Defaults: EngineSettingsValues (config/EngineState.h); migrations:
// EngineSettings::load().
struct EngineSetting {
    EngineProperty property;
    std::string_view key;
    SettingEffect effect;
    void (*write)(SettingsStore& store, std::string_view key, const EngineState& state);
};

// Every persisted setting, once; null for a property that is not one.
const EngineSetting* engineSetting(EngineProperty property);

class EngineSettings {
public:
    explicit EngineSettings(SettingsStore& store) : store_(store) {}

    // Reads every setting, applying the migrations and writing back what
    // loading changes: an older "1600x1200" resolution becomes its preset
    // name; before the v1.7 marker the stored contrast, gamma and profile
    // are dropped once; a stored contrast or gamma makes the profile
    // "Custom"; a named profile stores its contrast and gamma.
    EngineSettingsValues load();

    // Writes the setting `changed` as `state` holds it; nothing for a
    // property that is not a setting.
    void store(const EngineState& state, EngineProperty changed);

private:
    EngineSettingsValues readAndTidy();
    void storeValues(const EngineSettingsValues& values, std::initializer_list<EngineProperty> changed);

    SettingsStore& store_;
};

} // namespace qb
