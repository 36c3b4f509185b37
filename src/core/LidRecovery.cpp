#include "core/LidRecovery.h"

#include "pipeline/ScreenCapture.h"
#include "pipeline/VirtualDisplayManager.h"

namespace qb {

asio::awaitable<void> recoverAfterLidOpened(std::function<std::vector<std::shared_ptr<DeviceSession>>()> sessions,
    Duration remirrorDelay, Duration restartDelay)
{
    if (!co_await sleepFor(remirrorDelay)) co_return;
    for (const auto& session : sessions()) {
        if (session->displayMode() == DisplayMode::mirror && session->displayManager() != nullptr) {
            session->displayManager()->mirrorBuiltInDisplay();
        }
    }
    if (!co_await sleepFor(restartDelay)) co_return;
    for (const auto& session : sessions()) {
        if (!session->capture()) continue;
        auto restarting = session->capture()->restartStream();
        co_await std::move(restarting);
    }
}

} // namespace qb
