// The device events: the engine's answers (core/DeviceEvents.h decides
// them) to a device plugged in or out, adb's server lost and back, devices
// awaiting authorisation, the companion's start request and the hotkey.
#include "core/MirrorEngine.h"

#include <algorithm>

#include "core/DeviceEvents.h"
#include "diagnostics/Log.h"
#include "runtime/OwnedTask.h"

namespace qb {

bool MirrorEngine::startsOnPlugIn() const { return state_.autoMirrorEnabled; }

void MirrorEngine::deviceConnected()
{
    publish(&EngineState::deviceDetected, true, EngineProperty::deviceDetected);
    if (lifecycle_->closed()) return; // the engine is ending: nothing starts or reconnects
    const bool onlyPages = !sessions_.empty()
        && std::all_of(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->isPage(); });
    switch (plugInAction({state_.status.kind(), startsOnPlugIn(), lifecycle_->resume().resumesOnReplug(), onlyPages})) {
    case PlugInAction::nothing: break;
    case PlugInAction::start:
        logInfo("USB", "Device connected — auto-starting mirror");
        requestStart();
        break;
    case PlugInAction::startFromWaiting:
        logInfo("USB", "Device connected — starting mirror");
        setStatus(MirrorStatus::idle());
        requestStart();
        break;
    case PlugInAction::startAfterTeardown:
        logInfo("USB", "Device connected while stopping — will restart after teardown");
        lifecycle_->tasks().spawn(ownedTask(weak_from_this(), &MirrorEngine::startAfterTeardown),
            "restart after teardown");
        break;
    case PlugInAction::restartBesidePages:
        logInfo("USB", "Device connected beside the tablet pages — restarting to mirror it");
        restart();
        break;
    case PlugInAction::reconnect:
        logInfo("USB", "Device reconnected — re-establishing tunnels");
        reconnect();
        break;
    }
}

void MirrorEngine::deviceDisconnected()
{
    publish(&EngineState::deviceDetected, false, EngineProperty::deviceDetected);
    const bool networkSessionWatched = std::any_of(sessions_.begin(), sessions_.end(),
        [](const auto& s) { return !s->usesADB() && s->stats().clientCount > 0; });
    switch (unplugAction(state_.status.kind(), state_.autoMirrorEnabled, networkSessionWatched)) {
    case UnplugAction::nothing: break;
    case UnplugAction::keepForNetworkSession:
        logInfo("USB", "Device disconnected — WiFi session active, keeping mirror alive");
        break;
    case UnplugAction::stop:
        logInfo("USB", "Device disconnected — stopping mirror");
        lifecycle_->tasks().spawn(
            ownedTask(weak_from_this(), &MirrorEngine::stopForUnplug, lifecycle_->resume().unplugStops()),
            "stop on unplug");
        break;
    }
}

// Mirroring the user asked for and never stopped: once the teardown is done
// the device is awaited, and it mirrors again when it is plugged back in (a
// cable pulled by accident costs a restart, not the session).
asio::awaitable<void> MirrorEngine::stopForUnplug(ResumeState::Ticket ticket)
{
    co_await lifecycle_->stopAsync();
    auto& resume = lifecycle_->resume();
    switch (afterUnplugStop(resume.holds(ticket), state_.status.kind(), state_.deviceDetected)) {
    case AfterUnplugStop::nothing: resume.done(ticket); break;
    case AfterUnplugStop::startAgain:
        logInfo("USB", "Device back while stopping — starting mirror");
        resume.done(ticket);
        requestStart();
        break;
    case AfterUnplugStop::waitForDevice:
        setStatus(MirrorStatus::waitingForDevice());
        resume.awaitReplug(ticket);
        logInfo("USB", "Waiting for the device to be plugged in again");
        break;
    }
}

asio::awaitable<void> MirrorEngine::startAfterTeardown()
{
    // The teardown under way ends in idle; then start.
    co_await lifecycle_->teardownDone();
    logInfo("USB", "Teardown complete — restarting mirror");
    requestStart();
}

// The adb server killed or crashed: the devices are still attached, the
// tunnels through it are gone. The displays and servers stay; the links are
// down until adbReturned() rebuilds them.
void MirrorEngine::adbLost()
{
    if (sessions_.empty()) return;
    logWarn("USB", "ADB server lost — tunnels down until it returns");
    for (const auto& session : sessions_) {
        if (session->usesADB()) session->adbLinkLost();
    }
    publish(&EngineState::adbConnected,
        std::any_of(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->adbConnected(); }),
        EngineProperty::adbConnected);
}

void MirrorEngine::adbReturned()
{
    if (!state_.status.is(MirrorStatus::Kind::running)) return;
    logInfo("USB", "ADB server back — re-establishing tunnels");
    reconnect();
}

void MirrorEngine::unauthorizedDevicesChanged(const std::vector<std::string>& serials)
{
    publish(&EngineState::unauthorizedDeviceSerials, serials, EngineProperty::unauthorizedDeviceSerials);
    if (serials.empty()) return;
    std::string joined;
    for (const auto& serial : serials) joined += (joined.empty() ? "" : ", ") + serial;
    logWarn("USB", "Unauthorized devices detected: " + joined + " — user must tap Allow on device");
}

void MirrorEngine::companionStartRequested()
{
    if (!companionRequestStarts(state_.status.kind(), state_.deviceDetected)) return;
    logInfo("Engine", "Companion requested mirror start");
    requestStart();
}

void MirrorEngine::toggleMirror()
{
    switch (toggleAction(state_.status.kind(), state_.deviceDetected, state_.connectionMode)) {
    case ToggleAction::nothing: break;
    case ToggleAction::stop: stop(); break;
    case ToggleAction::start: requestStart(); break;
    case ToggleAction::waitForDevice:
        setStatus(MirrorStatus::waitingForDevice());
        engineLine("[MirrorEngine:Hotkey] No device connected — entering waitingForDevice");
        break;
    }
}

} // namespace qb
