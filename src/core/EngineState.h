// What the engine publishes: one plain value that the command line, the
// status file, the control socket and any front end read whole, changed only
// on the main loop, with one change signal (MirrorEngine::addObserver) that
// names the field that changed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/DisplayResolution.h"
#include "config/MirrorStatus.h"
#include "config/Modes.h"
#include "config/StreamStats.h"

namespace qb {

// The fields of EngineState, as the change signal names them.
enum class EngineProperty {
    status,
    stats,
    brightness,
    warmth,
    backlightOn,
    adbConnected,
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
    connectionMode,
    clamshellModeEnabled,
};

struct EngineState {
    MirrorStatus status;
    // Summed over the sessions: fps, frame size and timings of the first,
    // bandwidth, frames and skips summed; round trip of the last reporter.
    StreamStats stats;
    int brightness = 128; // device front light, 0-255
    int warmth = 128;
    bool backlightOn = true;
    bool adbConnected = false; // some session has a working adb link
    std::string apkInstallStatus;
    double contrastAmount = 1.0;
    double gammaAmount = 1.2;
    DisplayProfile displayProfile = DisplayProfile::crispPaper;
    bool fontSmoothingDisabled = false;
    bool deviceDetected = false;
    std::vector<std::string> unauthorizedDeviceSerials;
    std::optional<std::string> lastADBFailureMessage;
    std::optional<std::string> updateVersion;
    std::optional<std::string> updateURL;
    std::optional<std::string> companionVersion;
    bool companionUpdateFailed = false;
    DisplayResolution resolution;
    std::string nonDC1Mode = "portrait-cozy";
    DisplayMode displayMode = DisplayMode::mirror;
    bool autoMirrorEnabled = true;
    bool autoDimHost = true;
    ConnectionMode connectionMode = ConnectionMode::usb;
    bool clamshellModeEnabled = false;
};

} // namespace qb
