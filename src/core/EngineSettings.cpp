#include "core/EngineSettings.h"

namespace qb {

EngineSettingsValues EngineSettings::load()
{
    EngineSettingsValues v;

    const std::string storedResolution = store_.string("resolution").value_or("cozy");
    if (const auto preset = DisplayResolution::presetNamed(storedResolution)) {
        v.resolution = *preset;
    } else {
        for (const auto& candidate : DisplayResolution::dc1Presets()) {
            if (candidate.rawValue() != storedResolution) continue;
            v.resolution = candidate;
            storeResolution(candidate);
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

    // A hand-tuned contrast or gamma means the profile is custom.
    bool tuned = false;
    if (const auto contrast = store_.doubleValue("contrastAmount")) {
        v.contrastAmount = *contrast;
        tuned = true;
    }
    if (const auto gamma = store_.doubleValue("gammaAmount")) {
        v.gammaAmount = *gamma;
        tuned = true;
    }
    if (tuned) storeDisplayProfile(DisplayProfile::custom);

    v.displayProfile = DisplayProfile::crispPaper;
    if (const auto stored = store_.string("displayProfile")) {
        v.displayProfile = displayProfileFromRawValue(*stored).value_or(DisplayProfile::crispPaper);
    }
    storeDisplayProfile(v.displayProfile);
    if (v.displayProfile != DisplayProfile::custom) {
        v.contrastAmount = contrast(v.displayProfile);
        v.gammaAmount = gamma(v.displayProfile);
        storeContrastAmount(v.contrastAmount);
        storeGammaAmount(v.gammaAmount);
    }

    v.autoMirrorEnabled = store_.boolean("autoMirrorEnabled").value_or(true);
    v.autoDimHost = store_.boolean("autoDimMac").value_or(true);
    v.clamshellModeEnabled = store_.boolean("clamshellModeEnabled").value_or(false);
    if (const auto connection = store_.string("connectionMode")) {
        v.connectionMode = *connection == "wifi" ? ConnectionMode::wifi : ConnectionMode::usb;
    }
    return v;
}

void EngineSettings::storeResolution(const DisplayResolution& resolution)
{
    store_.setString("resolution", resolution.preset.value_or("cozy"));
}

void EngineSettings::storeNonDC1Mode(const std::string& mode) { store_.setString("resolutionMode", mode); }

void EngineSettings::storeDisplayMode(DisplayMode mode) { store_.setString("displayMode", rawValue(mode)); }

void EngineSettings::storeContrastAmount(double value) { store_.setDouble("contrastAmount", value); }

void EngineSettings::storeGammaAmount(double value) { store_.setDouble("gammaAmount", value); }

void EngineSettings::storeDisplayProfile(DisplayProfile profile)
{
    store_.setString("displayProfile", rawValue(profile));
}

void EngineSettings::storeAutoMirrorEnabled(bool enabled) { store_.setBool("autoMirrorEnabled", enabled); }

void EngineSettings::storeAutoDimHost(bool enabled) { store_.setBool("autoDimMac", enabled); }

void EngineSettings::storeClamshellModeEnabled(bool enabled) { store_.setBool("clamshellModeEnabled", enabled); }

void EngineSettings::storeConnectionMode(ConnectionMode mode) { store_.setString("connectionMode", rawValue(mode)); }

} // namespace qb
