#include "core/EngineLifecycle.h"

#include <string>

#include "diagnostics/Log.h"
#include "runtime/MainLoop.h"
#include "runtime/OwnedTask.h"

namespace qb {

EngineLifecycle::EngineLifecycle(Duration wakeRestartDelay)
    : wakeRestartDelay_(wakeRestartDelay)
    , tasks_(MainLoop::shared().executor())
    , starting_(MainLoop::shared().executor())
    , reconnects_(MainLoop::shared().executor())
    , teardown_(MainLoop::shared().executor())
    , recovery_(MainLoop::shared().executor())
{
}

EngineLifecycle::~EngineLifecycle() { cancelAll(); }

void EngineLifecycle::cancelAll()
{
    tasks_.cancelAll();
    starting_.cancelAll();
    reconnects_.cancelAll();
    teardown_.cancelAll();
    recovery_.cancelAll();
}

bool EngineLifecycle::requestStart()
{
    MainLoop::shared().assertCurrent("EngineLifecycle::requestStart");
    const auto owner = host();
    if (closed_ || !owner || !startTaken(owner->lifecycleStatus().kind())) return false;
    if (!owner->readyToStart()) return false;
    resume_.startAsked();
    owner->setStatus(MirrorStatus::starting());
    starting_.spawn(ownedTask(weak_from_this(), &EngineLifecycle::runStart), "start");
    return true;
}

asio::awaitable<void> EngineLifecycle::runStart()
{
    if (const auto owner = host()) co_await owner->startSequence();
}

asio::awaitable<void> EngineLifecycle::startDone() { co_await starting_.join(); }

void EngineLifecycle::stop()
{
    // A restart under way must not start again what was asked to stop, nor
    // a pause, a wake or an unplug resume it.
    resume_.stopAsked();
    beginStop();
}

void EngineLifecycle::beginStop()
{
    const auto owner = host();
    if (!owner) return;
    switch (stopStep(owner->lifecycleStatus().kind(), tearingDown())) {
    case StopStep::nothing: return;
    case StopStep::toIdle: owner->setStatus(MirrorStatus::idle()); return;
    case StopStep::tearDown: tasks_.spawn(ownedTask(weak_from_this(), &EngineLifecycle::runStop), "stop"); return;
    }
}

asio::awaitable<void> EngineLifecycle::runStop() { co_await stopAsync(); }

asio::awaitable<void> EngineLifecycle::stopAsync()
{
    MainLoop::shared().assertCurrent("EngineLifecycle::stopAsync");
    const auto self = shared_from_this();
    const auto owner = host();
    if (!owner) co_return;
    switch (stopStep(owner->lifecycleStatus().kind(), tearingDown())) {
    case StopStep::nothing: co_return;
    case StopStep::toIdle: owner->setStatus(MirrorStatus::idle()); co_return;
    case StopStep::tearDown: break;
    }
    if (!tearingDown()) teardown_.spawn(ownedTask(weak_from_this(), &EngineLifecycle::teardown), "teardown");
    // A stop while another runs waits for that one: one teardown.
    co_await teardown_.join();
}

asio::awaitable<void> EngineLifecycle::teardownDone() { co_await teardown_.join(); }

asio::awaitable<void> EngineLifecycle::teardown()
{
    const auto owner = host();
    if (!owner) co_return;
    owner->setStatus(MirrorStatus::stopping());
    // A start under way gives up at the await it is in (an adb call's child
    // is terminated, a pause cut short); what it built is torn down by the
    // host. A reconnect likewise: nothing is relaunched once the teardown began.
    starting_.cancelAll();
    reconnects_.cancelAll();
    co_await starting_.join();
    co_await reconnects_.join();
    co_await owner->tearDown();
}

void EngineLifecycle::restart()
{
    const auto owner = host();
    if (!owner || !owner->lifecycleStatus().is(MirrorStatus::Kind::running)) return;
    // One restart at a time: a resolution change and the command that made
    // it both ask for one.
    const auto ticket = resume_.restartAsked();
    if (!ticket) return;
    tasks_.spawn(ownedTask(weak_from_this(), &EngineLifecycle::restartTask, *ticket), "restart");
}

namespace {

// Whatever ends the task, nothing resumes from its ticket afterwards.
struct TicketDone {
    ResumeState& resume;
    ResumeState::Ticket ticket;
    ~TicketDone() { resume.done(ticket); }
};

} // namespace

asio::awaitable<void> EngineLifecycle::restartTask(ResumeState::Ticket ticket)
{
    const TicketDone done{resume_, ticket};
    co_await stopAsync();
    if (!resume_.holds(ticket)) {
        logInfo("Engine", "Stopped during a restart — not starting again");
        co_return;
    }
    // The start takes the settings as they are now, those changed during
    // the stop included.
    if (!requestStart()) co_return;
    co_await starting_.join();
}

bool EngineLifecycle::startAgain()
{
    const auto owner = host();
    if (!owner || !owner->lifecycleStatus().isError()) return false;
    const auto ticket = resume_.restartAsked();
    if (!ticket) return false;
    tasks_.spawn(ownedTask(weak_from_this(), &EngineLifecycle::startAgainTask, *ticket), "start again");
    return true;
}

asio::awaitable<void> EngineLifecycle::startAgainTask(ResumeState::Ticket ticket)
{
    const TicketDone done{resume_, ticket};
    co_await stopAsync();
    if (!resume_.holds(ticket)) co_return;
    logInfo("Engine", "Starting again after the error");
    requestStart();
}

void EngineLifecycle::pauseChanged(bool paused, std::string_view pausing, std::string_view resuming)
{
    const auto owner = host();
    if (!owner) return;
    if (paused) {
        switch (resume_.pauseBegins(owner->lifecycleStatus().kind())) {
        case ResumeState::PauseStep::nothing: return;
        case ResumeState::PauseStep::stop:
            logInfo("Engine", std::string(pausing));
            beginStop();
            return;
        case ResumeState::PauseStep::keepStopped: logInfo("Engine", std::string(pausing)); return;
        }
        return;
    }
    const auto ticket = resume_.pauseEnds();
    if (!ticket) return;
    logInfo("Engine", std::string(resuming));
    tasks_.spawn(ownedTaskAfter(wakeRestartDelay_, weak_from_this(), &EngineLifecycle::wakeTask, *ticket),
        "start after a pause");
}

asio::awaitable<void> EngineLifecycle::wakeTask(ResumeState::Ticket ticket)
{
    // The teardown begun at the pause may still be under way.
    co_await teardown_.join();
    if (!resume_.holds(ticket)) co_return; // stopped, or paused again
    resume_.done(ticket);
    if (requestStart()) co_return;
    const auto owner = host();
    logWarn("Engine",
        "Mirroring did not start again after the pause: " + (owner ? owner->lifecycleStatus().label() : "gone"));
}

} // namespace qb
