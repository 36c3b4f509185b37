#include "core/DeviceEvents.h"

namespace qb {

PlugInAction plugInAction(const PlugInFacts& facts)
{
    const bool autoStart = facts.startsOnPlugIn;
    switch (facts.status) {
    case StatusKind::idle: return autoStart ? PlugInAction::start : PlugInAction::nothing;
    case StatusKind::waitingForDevice:
        return autoStart || facts.resumeOnReplug ? PlugInAction::startFromWaiting : PlugInAction::nothing;
    case StatusKind::stopping: return autoStart ? PlugInAction::startAfterTeardown : PlugInAction::nothing;
    case StatusKind::running:
        // Only tablet pages are mirrored: the device joins them (the pages
        // reconnect and get their displays again).
        return autoStart && facts.onlyPagesMirrored ? PlugInAction::restartBesidePages : PlugInAction::reconnect;
    case StatusKind::starting:
    case StatusKind::error: return PlugInAction::nothing;
    }
    return PlugInAction::nothing;
}

UnplugAction unplugAction(StatusKind status, bool autoMirrorEnabled, bool networkSessionWatched)
{
    if (!autoMirrorEnabled || status != StatusKind::running) return UnplugAction::nothing;
    return networkSessionWatched ? UnplugAction::keepForNetworkSession : UnplugAction::stop;
}

AfterUnplugStop afterUnplugStop(bool current, StatusKind status, bool deviceDetected)
{
    if (!current || status != StatusKind::idle) return AfterUnplugStop::nothing;
    return deviceDetected ? AfterUnplugStop::startAgain : AfterUnplugStop::waitForDevice;
}

bool companionRequestStarts(StatusKind status, bool deviceDetected)
{
    return deviceDetected && status != StatusKind::running;
}

ToggleAction toggleAction(StatusKind status, bool deviceDetected, ConnectionMode mode)
{
    if (status == StatusKind::running || status == StatusKind::stopping) return ToggleAction::stop;
    if (status != StatusKind::idle && status != StatusKind::waitingForDevice) return ToggleAction::nothing;
    if (!deviceDetected && mode != ConnectionMode::wifi) return ToggleAction::waitForDevice;
    return ToggleAction::start;
}

} // namespace qb
