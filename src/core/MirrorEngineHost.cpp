// What this computer does to the engine: its lid, its sleep, its
// compositor and its panel; and what it allows (capture, input, adb).
#include "core/MirrorEngine.h"

#include <algorithm>
#include <cmath>

#include "core/LidRecovery.h"
#include "diagnostics/Log.h"
#include "platform/InputInjector.h"

namespace qb {

int MirrorEngine::brightnessFromSliderPos(double position)
{
    if (std::isnan(position) || position < 0.03) return 0;
    const double value = std::min(position * position * 255.0, 255.0);
    if (value < 1.5) return 1;
    return static_cast<int>(value);
}

bool MirrorEngine::hasScreenRecordingPermission() const
{
    return environment_.captureBackend->preflightScreenCaptureAccess();
}

bool MirrorEngine::hasAccessibilityPermission() const { return platform()->inputInjector()->isTrusted(); }

bool MirrorEngine::allPermissionsGranted() const
{
    return hasScreenRecordingPermission() && hasAccessibilityPermission();
}

bool MirrorEngine::requestScreenRecordingPermission()
{
    return environment_.captureBackend->requestScreenCaptureAccess();
}

bool MirrorEngine::requestAccessibilityPermission() const { return hasAccessibilityPermission(); }

bool MirrorEngine::hasADB() { return ADBBridge::isADBInstalled(); }

bool MirrorEngine::hasDevice() { return !ADBBridge::connectedDevices().empty(); }

void MirrorEngine::restoreSleepIfNeeded()
{
    if (state_.clamshellModeEnabled) return;
    environment_.sleep->restoreSleepIfNeeded();
    environment_.sleep->deactivate();
}

// In clamshell mode the desktop may come back from a lid opening with the
// built-in display unmirrored and the capture streams stalled: mirror again,
// then restart each stream.
void MirrorEngine::lidOpened()
{
    if (!state_.status.is(MirrorStatus::Kind::running) || !state_.clamshellModeEnabled) return;
    reconnects_.spawn(lidRecoveryTask(weak_from_this()), "lid recovery");
}

asio::awaitable<void> MirrorEngine::lidRecoveryTask(std::weak_ptr<MirrorEngine> weak)
{
    Duration remirrorDelay{};
    Duration restartDelay{};
    if (auto self = weak.lock()) {
        remirrorDelay = self->timing_.lidRemirrorDelay;
        restartDelay = self->timing_.lidCaptureRestartDelay;
    }
    const auto sessions = [weak] {
        const auto self = weak.lock();
        return self ? self->sessions_ : std::vector<std::shared_ptr<DeviceSession>>{};
    };
    co_await recoverAfterLidOpened(sessions, remirrorDelay, restartDelay);
}

// A stop cancels the wait; a display server that ended stops the engine
// meanwhile, and then nothing restarts. A display gone while the start was
// still under way is rebuilt once that start is done.
asio::awaitable<void> MirrorEngine::displayGoneTask(std::weak_ptr<MirrorEngine> weak)
{
    Duration delay{};
    if (auto self = weak.lock()) delay = self->timing_.displayGoneRestartDelay;
    if (!co_await sleepFor(delay)) co_return;
    for (;;) {
        {
            const auto self = weak.lock();
            if (!self) co_return;
            if (!self->state_.status.is(MirrorStatus::Kind::starting)) {
                self->restart(); // only a running engine restarts
                co_return;
            }
        }
        if (!co_await sleepFor(std::max(delay, Duration(std::chrono::milliseconds(50))))) co_return;
    }
}

// No frames to a sleeping tablet and no tunnels left on it: mirroring stops
// before the system sleeps and starts again once it woke.
void MirrorEngine::sleepChanged(bool sleeping)
{
    pauseChanged(sleeping, "The system is going to sleep: mirroring stops until it wakes",
        "The system woke: mirroring starts again");
}

// The compositor took our displays, streams and input sessions with it:
// the sessions are torn down at once (tunnels included), and built anew on
// the compositor that came back.
void MirrorEngine::compositorAway(bool away)
{
    pauseChanged(away, "The desktop's compositor went away: mirroring stops until it is back",
        "The desktop's compositor is back: mirroring starts again");
}

void MirrorEngine::pauseChanged(bool paused, std::string_view pausing, std::string_view resuming)
{
    if (paused) {
        if (restartPending_ && !state_.status.is(MirrorStatus::Kind::running)
            && !state_.status.is(MirrorStatus::Kind::starting)) {
            // A restart still stopping (the compositor may go away because of
            // the very change that asked for it) must not start on a desktop
            // that is gone: the end of the pause starts it.
            logInfo("Engine", std::string(pausing));
            stopRequested_ = true;
            resumeAfterSleep_ = true;
            return;
        }
        if (!state_.status.is(MirrorStatus::Kind::running) && !state_.status.is(MirrorStatus::Kind::starting)) return;
        logInfo("Engine", std::string(pausing));
        stop();
        resumeAfterSleep_ = true;
        return;
    }
    if (!std::exchange(resumeAfterSleep_, false)) return;
    logInfo("Engine", std::string(resuming));
    tasks_.spawn(wakeTask(weak_from_this(), wakeGeneration_), "start after a pause");
}

asio::awaitable<void> MirrorEngine::wakeTask(std::weak_ptr<MirrorEngine> weak, std::uint64_t generation)
{
    Duration delay{};
    if (auto self = weak.lock()) delay = self->timing_.wakeRestartDelay;
    if (!co_await sleepFor(delay)) co_return;
    auto self = weak.lock();
    if (!self) co_return;
    // The teardown begun at the pause may still be under way.
    co_await self->teardown_.join();
    if (self->wakeGeneration_ != generation) co_return; // stopped, or paused again
    if (!self->requestStart()) {
        logWarn("Engine", "Mirroring did not start again after the pause: " + self->state_.status.label());
    }
}

void MirrorEngine::restoreBrightnessIfNeeded() { environment_.hostDimming->restoreAfterCrash(); }

void MirrorEngine::restoreBrightnessOnWakeIfNeeded() { environment_.hostDimming->restoreOnWake(); }

} // namespace qb
