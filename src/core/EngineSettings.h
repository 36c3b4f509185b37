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
//   "clamshellModeEnabled" Boolean                         false
//   "connectionMode"       "usb" / "wifi"                  "usb"
//   "setupCompleted"       Boolean (a front end's)         false
//   "v1.7_defaults_migrated"  migration marker; "sharpenAmount" obsolete
//
// A corrupt or unreadable settings file is the store's business: it is
// moved aside (kept), reported in the log, and the defaults apply.
// Any thread (the store is thread-safe); the engine calls it on the main loop.
#pragma once

#include <string>

#include "config/DisplayResolution.h"
#include "config/MirrorStatus.h"
#include "config/Modes.h"
#include "runtime/SettingsStore.h"

namespace qb {

struct EngineSettingsValues {
    DisplayResolution resolution = DisplayResolution::cozy();
    std::string nonDC1Mode = "portrait-cozy";
    DisplayMode displayMode = DisplayMode::mirror;
    double contrastAmount = 1.0;
    double gammaAmount = 1.2;
    DisplayProfile displayProfile = DisplayProfile::crispPaper;
    bool autoMirrorEnabled = true;
    bool autoDimHost = true;
    bool clamshellModeEnabled = false;
    ConnectionMode connectionMode = ConnectionMode::usb;
};

class EngineSettings {
public:
    explicit EngineSettings(SettingsStore& store) : store_(store) {}

    // Reads every setting, applying the migrations and writing back what
    // loading changes: an older "1600x1200" resolution becomes its preset
    // name; before the v1.7 marker the stored contrast, gamma and profile
    // are dropped once; a stored contrast or gamma makes the profile
    // "Custom"; a named profile stores its contrast and gamma.
    EngineSettingsValues load();

    void storeResolution(const DisplayResolution& resolution);
    void storeNonDC1Mode(const std::string& mode);
    void storeDisplayMode(DisplayMode mode);
    void storeContrastAmount(double value);
    void storeGammaAmount(double value);
    void storeDisplayProfile(DisplayProfile profile);
    void storeAutoMirrorEnabled(bool enabled);
    void storeAutoDimHost(bool enabled);
    void storeClamshellModeEnabled(bool enabled);
    void storeConnectionMode(ConnectionMode mode);

private:
    SettingsStore& store_;
};

} // namespace qb
