// What the engine publishes: one plain value that the command line, the
// status file, the control socket and any front end read whole. It changes
// only on the main loop, and every change goes through one signal
// (MirrorEngine::addObserver) that hands observers the new state and names
// the field that changed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/DisplayResolution.h"
#include "config/MirrorStatus.h"
#include "config/Modes.h"
#include "config/StreamStats.h"

namespace qb {

// The fields of EngineState, as the change signal names them (and
// `sessions`, the engine's list of running sessions).
enum class EngineProperty {
    status,
    stats,
    brightness,
    warmth,
    backlightOn,
    adbConnected,
    adbServerAnswering,
    apkInstallStatus,
    contrastAmount,
    gammaAmount,
    displayProfile,
    fontSmoothingDisabled,
    deviceDetected,
    unauthorizedDeviceSerials,
    lastADBFailureMessage,
    updateVersion,
    updateURL,
    companionVersion,
    companionUpdateFailed,
    resolution,
    nonDC1Mode,
    displayMode,
    sessions,
    autoMirrorEnabled,
    autoDimHost,
    autoRefreshEnabled,
    connectionMode,
    clamshellModeEnabled,
};

// Why the companion's setup failed, beside the message for the user (which
// is for reading and never matched).
enum class SetupFailureCause {
    other,                 // the tunnel could not be set up
    companionNotInstalled, // the app is missing and could not be installed
    companionStale,        // the app is too old and could not be updated
};

// The persisted settings with their defaults (core/EngineSettings.h keeps
// them in the settings store); the published state holds them as they are.
struct EngineSettingsValues {
    DisplayResolution resolution = DisplayResolution::cozy();
    std::string nonDC1Mode = "portrait-cozy";
    DisplayMode displayMode = DisplayMode::mirror;
    double contrastAmount = 1.0;
    double gammaAmount = 1.2;
    DisplayProfile displayProfile = DisplayProfile::crispPaper;
    bool autoMirrorEnabled = true;
    bool autoDimHost = true;
    // Greyscale tablet pages flash clean by themselves after a quiet spell
    // that follows many partial updates.
    bool autoRefreshEnabled = true;
    ConnectionMode connectionMode = ConnectionMode::usb;
    bool clamshellModeEnabled = false;
};

struct EngineState : EngineSettingsValues {
    MirrorStatus status;
    // Folded over the sessions while running: fps, frame size and timings of
    // the first session, bandwidth, frames, skips and clients summed, the
    // round trip of the latest report.
    StreamStats stats;
    // The device's front light (0-255) and backlight switch.
    int brightness = 128;
    int warmth = 128;
    bool backlightOn = true;
    bool adbConnected = false; // some session has a working adb link
    bool adbServerAnswering = false; // adb's server lists devices (whether or not a tablet is there)
    std::string apkInstallStatus;
    bool companionMissing = false; // apkInstallStatus: none could be installed
    bool fontSmoothingDisabled = false;
    bool deviceDetected = false;
    std::vector<std::string> unauthorizedDeviceSerials;
    std::optional<std::string> lastADBFailureMessage;
    SetupFailureCause lastADBFailureCause = SetupFailureCause::other;
    std::optional<std::string> updateVersion;
    std::optional<std::string> updateURL;
    std::optional<std::string> companionVersion;
    bool companionUpdateFailed = false;
};

} // namespace qb
