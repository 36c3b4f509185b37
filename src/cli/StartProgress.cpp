#include "cli/StartProgress.h"

#include <algorithm>

namespace qb::cli {

std::string hintForStatus(const MirrorStatus& status, bool startsOnPlugIn, const std::string& program)
{
    const auto run = [&program](const char* arguments) { return "`" + program + " " + arguments + "`"; };
    if (status.is(MirrorStatus::Kind::waitingForDevice)) {
        return std::string("Hint: connect the tablet by USB with USB debugging on and allow this computer on it "
                           "(`adb devices` should list it); ")
            + (startsOnPlugIn ? std::string("mirroring starts by itself.")
                              : "auto-mirror is off, so this daemon keeps waiting: " + run("start")
                    + " from another terminal mirrors it, " + run("automirror on") + " lets a tablet plugged in start it.");
    }
    if (!status.isError()) return {};
    switch (status.cause()) {
    case MirrorStatus::Cause::portInUse:
        return "Hint: quit the program named above; " + run("doctor") + " checks every port.";
    case MirrorStatus::Cause::captureAccess:
        return "Hint: run " + program + " inside your desktop session (DISPLAY and XAUTHORITY set); " + run("doctor")
            + " checks the display.";
    case MirrorStatus::Cause::serverFailed:
        return "Hint: another program may hold ports 8890-8891; " + run("doctor") + " names it.";
    case MirrorStatus::Cause::noSessions:
        return "Hint: check that `adb devices` lists the tablet as \"device\", then run " + run("restart") + ".";
    case MirrorStatus::Cause::captureFailed:
        return "Hint: " + run("doctor") + " checks the display; " + run("logs error") + " shows each attempt.";
    case MirrorStatus::Cause::companionCrashed:
        return "Hint: open the QuillBright app on the tablet once, then run " + run("reconnect") + ".";
    case MirrorStatus::Cause::other: break;
    }
    return "Hint: " + run("doctor") + " checks what mirroring needs; " + run("logs error") + " shows the details.";
}

void StartProgress::adbServerStarting() { out_ << "Starting the adb server...\n" << std::flush; }

void StartProgress::adbServerStarted(bool found, bool running)
{
    if (!found) {
        out_ << "adb not found: devices cannot be reached.\n"
             << "Hint: install adb (sudo apt install adb) or set QUILLBRIGHT_ADB to an adb program.\n";
    } else if (!running) {
        out_ << "The adb server did not start.\n"
             << "Hint: run `adb start-server` to see why; `adb kill-server` clears a stuck one.\n";
    } else {
        out_ << "adb server ready.\n";
    }
    out_ << std::flush;
}

void StartProgress::engineChanged(const EngineState& state, std::size_t sessionCount, EngineProperty property)
{
    switch (property) {
    case EngineProperty::status: {
        const MirrorStatus& status = state.status;
        if (status_ == status) return;
        status_ = status;
        switch (status.kind()) {
        case MirrorStatus::Kind::starting:
            out_ << "Starting: checking ports, opening the preview, listing devices...\n";
            break;
        case MirrorStatus::Kind::waitingForDevice: out_ << "No device connected yet.\n"; break;
        case MirrorStatus::Kind::running:
            if (companionMissing_) {
                out_ << "Streaming for " << sessionCount << (sessionCount == 1 ? " device" : " devices")
                     << ", shown once a tablet client connects (see above).\n";
            } else {
                out_ << "Mirroring " << sessionCount << (sessionCount == 1 ? " device.\n" : " devices.\n");
            }
            break;
        case MirrorStatus::Kind::error: out_ << "Failed: " << status.message() << "\n"; break;
        case MirrorStatus::Kind::idle:
        case MirrorStatus::Kind::stopping: break;
        }
        if (const auto hint = hintForStatus(status, startsOnPlugIn_, program_); !hint.empty()) out_ << hint << "\n";
        break;
    }
    case EngineProperty::apkInstallStatus:
        if (state.apkInstallStatus == installStatus_) return;
        installStatus_ = state.apkInstallStatus;
        if (state.companionMissing) {
            // Said plainly: without it the tablet shows nothing.
            companionMissing_ = true;
            out_ << "Companion app: " << installStatus_
                 << " (no app-debug.apk comes with this build, or adb could not install it); without it the tablet "
                    "shows nothing.\n"
                 << "Tablet clients you can use instead: the viewer `quillbright-viewer` (on a Linux tablet or "
                    "laptop; README, \"A Linux machine as the tablet\"), or the preview page "
                    "http://localhost:8891/ in a browser.\n";
        } else if (!installStatus_.empty()) {
            out_ << "Companion app: " << installStatus_ << "\n";
        }
        break;
    case EngineProperty::adbConnected:
        if (state.adbConnected == adbConnected_) return;
        adbConnected_ = state.adbConnected;
        if (adbConnected_) out_ << "adb tunnels are up: the tablet reaches this computer.\n";
        break;
    case EngineProperty::lastADBFailureMessage:
        if (state.lastADBFailureMessage == adbFailure_) return;
        adbFailure_ = state.lastADBFailureMessage;
        // The message says what to do; it is the hint.
        if (adbFailure_) out_ << "Device link failed. Hint: " << *adbFailure_ << "\n";
        break;
    case EngineProperty::unauthorizedDeviceSerials:
        for (const auto& serial : state.unauthorizedDeviceSerials) {
            if (std::find(unauthorized_.begin(), unauthorized_.end(), serial) != unauthorized_.end()) continue;
            out_ << "Device " << serial << " has not allowed this computer.\n"
                 << "Hint: unlock the tablet and accept the USB debugging prompt.\n";
        }
        unauthorized_ = state.unauthorizedDeviceSerials;
        break;
    default: return;
    }
    out_ << std::flush;
}

} // namespace qb::cli
