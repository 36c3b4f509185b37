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
    // The sessions are asked for at each step: a stop may have ended them.
    auto sessions = [weak = weak_from_this()] {
        const auto self = weak.lock();
        return self ? self->sessions_ : std::vector<std::shared_ptr<DeviceSession>>{};
    };
    lifecycle_->reconnects().spawn(
        recoverAfterLidOpened(std::move(sessions), timing_.lidRemirrorDelay, timing_.lidCaptureRestartDelay),
        "lid recovery");
}

// After displayGoneRestartDelay (a stop cancels the wait; a display server
// that ended stops the engine meanwhile, and then nothing restarts). A
// display gone while the start was still under way is rebuilt once that
// start is done.
asio::awaitable<void> MirrorEngine::rebuildGoneDisplay()
{
    const Duration poll = std::max(timing_.displayGoneRestartDelay, Duration(std::chrono::milliseconds(50)));
    while (state_.status.is(MirrorStatus::Kind::starting)) {
        const bool waited = co_await sleepFor(poll);
        if (!waited) co_return;
    }
    restart(); // only a running engine restarts
}

// No frames to a sleeping tablet and no tunnels left on it: mirroring stops
// before the system sleeps and starts again once it woke.
void MirrorEngine::sleepChanged(bool sleeping)
{
    lifecycle_->pauseChanged(sleeping, "The system is going to sleep: mirroring stops until it wakes",
        "The system woke: mirroring starts again");
}

// The compositor took our displays, streams and input sessions with it:
// the sessions are torn down at once (tunnels included), and built anew on
// the compositor that came back.
void MirrorEngine::compositorAway(bool away)
{
    lifecycle_->pauseChanged(away, "The desktop's compositor went away: mirroring stops until it is back",
        "The desktop's compositor is back: mirroring starts again");
}

void MirrorEngine::restoreBrightnessIfNeeded() { environment_.hostDimming->restoreAfterCrash(); }

void MirrorEngine::restoreBrightnessOnWakeIfNeeded() { environment_.hostDimming->restoreOnWake(); }

} // namespace qb
