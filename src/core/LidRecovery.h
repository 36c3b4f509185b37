// LidRecovery: in clamshell mode the desktop may come back from a lid
// opening with the built-in display unmirrored and the capture streams
// stalled. After `remirrorDelay` every mirrored session mirrors the
// built-in display again; after `restartDelay` more, each capture stream
// restarts. The sessions are asked for at each step (a stop may have ended
// them); a cancelled pause ends the recovery. Main loop.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "runtime/Asio.h"
#include "runtime/Timer.h"
#include "session/DeviceSession.h"

namespace qb {

asio::awaitable<void> recoverAfterLidOpened(std::function<std::vector<std::shared_ptr<DeviceSession>>()> sessions,
    Duration remirrorDelay, Duration restartDelay);

} // namespace qb
