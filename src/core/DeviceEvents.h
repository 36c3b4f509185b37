// DeviceEvents: what the engine does when a device comes or goes, when the
// companion asks for a start and when the hotkey toggles. Pure decisions
// over the few facts each needs; the engine gathers the facts, acts on the
// answer and writes the log line.
//
//   plugged in       idle and auto-start on: start
//                    waiting, and auto-start on or the unplug stopped us: start
//                    stopping and auto-start on: start once the teardown ends
//                    running only tablet pages, auto-start on: restart beside them
//                    running otherwise: rebuild the tunnels
//   unplugged        running with auto-mirror on: stop, unless a device on the
//                    network is being watched
//   after its stop   still idle and no later stop: start again when the device
//                    is back meanwhile, else wait for it
//   companion asks   a device is attached and we are not running: start
//   hotkey           running or stopping: stop; idle or waiting: start, or wait
//                    for a device when none is attached over USB
#pragma once

#include "config/MirrorStatus.h"
#include "config/Modes.h"

namespace qb {

using StatusKind = MirrorStatus::Kind;

enum class PlugInAction { nothing, start, startFromWaiting, startAfterTeardown, restartBesidePages, reconnect };

struct PlugInFacts {
    StatusKind status = StatusKind::idle;
    bool startsOnPlugIn = false;    // auto-mirror on and a front end's setup done
    bool resumeOnReplug = false;    // an unplug stopped the mirroring we wait to resume
    bool onlyPagesMirrored = false; // running, and every session is a tablet page's
};

PlugInAction plugInAction(const PlugInFacts& facts);

enum class UnplugAction { nothing, keepForNetworkSession, stop };

UnplugAction unplugAction(StatusKind status, bool autoMirrorEnabled, bool networkSessionWatched);

enum class AfterUnplugStop { nothing, startAgain, waitForDevice };

// `current`: no stop or other unplug came since this unplug's stop began.
AfterUnplugStop afterUnplugStop(bool current, StatusKind status, bool deviceDetected);

bool companionRequestStarts(StatusKind status, bool deviceDetected);

enum class ToggleAction { nothing, stop, start, waitForDevice };

ToggleAction toggleAction(StatusKind status, bool deviceDetected, ConnectionMode mode);

} // namespace qb
