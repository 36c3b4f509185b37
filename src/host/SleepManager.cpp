#include "host/SleepManager.h"

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"

namespace qb {

namespace {

void sleepLine(LogLevel level, const std::string& line) { platformLog(level, "SleepManager", line); }

} // namespace

std::shared_ptr<SleepManager> SleepManager::make(Executor mainLoop, std::shared_ptr<HostPower> power, Timing timing)
{
    std::shared_ptr<SleepManager> manager(new SleepManager(std::move(mainLoop), std::move(power), timing));
    std::weak_ptr<SleepManager> weak = manager;
    manager->power_->watchSleep([weak, loop = manager->mainLoop_](bool sleeping) {
        asio::post(loop, [weak, sleeping] {
            auto self = weak.lock();
            if (self && self->onSleepChanged) self->onSleepChanged(sleeping);
        });
    });
    return manager;
}

SleepManager::SleepManager(Executor mainLoop, std::shared_ptr<HostPower> power, Timing timing)
    : mainLoop_(std::move(mainLoop)), power_(std::move(power)), timing_(timing),
      worker_(SerialQueue::make("sleep-manager", QoS::utility))
{
}

SleepManager::~SleepManager()
{
    if (lidMonitorTimer_) lidMonitorTimer_->cancel();
}

void SleepManager::activate(bool clamshell)
{
    if (isActive()) return;
    requesting_ = true;
    const std::uint64_t generation = ++generation_;
    InhibitRequest request;
    request.what = clamshell ? "sleep:idle:handle-lid-switch" : "sleep:idle";
    std::weak_ptr<SleepManager> weak = weak_from_this();
    worker_->async([weak, power = power_, request, mainLoop = mainLoop_, generation] {
        std::string error;
        std::shared_ptr<InhibitorLock> lock = power->inhibit(request, &error);
        asio::post(mainLoop, [weak, lock, error, generation] {
            if (auto self = weak.lock()) self->lockTaken(generation, lock, error);
        });
    });
}

void SleepManager::lockTaken(std::uint64_t generation, std::shared_ptr<InhibitorLock> lock, const std::string& error)
{
    // Deactivated while logind was answering: the lock goes with `lock`.
    if (generation != generation_) return;
    requesting_ = false;
    lastError_ = lock ? std::string() : error;
    if (!lock) {
        sleepLine(LogLevel::error, fmt::format("[SleepManager] Failed to start logind inhibitor: {}", error));
        return;
    }
    lock_ = std::move(lock);
    startLidMonitor();
    sleepLine(LogLevel::info, fmt::format("[SleepManager] logind inhibitor started ({})", lock_->describe()));
}

KeepAwakeStatus SleepManager::status() const
{
    KeepAwakeStatus status;
    status.requesting = requesting_;
    status.held = lock_ != nullptr;
    if (lock_) {
        status.lock = lock_->describe();
        status.holderPid = lock_->holderPid();
    }
    status.error = lastError_;
    status.lidClosed = lastLidClosed_;
    return status;
}

void SleepManager::deactivate()
{
    lastError_.clear();
    ++generation_;
    requesting_ = false;
    if (!lock_) return;
    lock_.reset();
    stopWakeListeners();
    sleepLine(LogLevel::info, "[SleepManager] logind inhibitor stopped");
}

void SleepManager::restoreSleepIfNeeded()
{
    if (restoreLogged_) return;
    restoreLogged_ = true;
    sleepLine(LogLevel::info,
        "[SleepManager] Nothing to restore on launch: logind released any inhibitor of a previous run with its process");
}

void SleepManager::startLidMonitor()
{
    if (lidMonitorTimer_) return;
    lastLidClosed_.reset();
    std::weak_ptr<SleepManager> weak = weak_from_this();
    lidMonitorTimer_ = Timer::repeating(mainLoop_, Duration::zero(), timing_.lidPoll, [weak] {
        if (auto self = weak.lock()) self->pollLid();
    });
    sleepLine(LogLevel::info, fmt::format("[SleepManager] Lid monitor started (polling {}s)",
        std::chrono::duration<double>(timing_.lidPoll).count()));
}

void SleepManager::stopWakeListeners()
{
    if (lidMonitorTimer_) lidMonitorTimer_->cancel();
    lidMonitorTimer_.reset();
    ++lidGeneration_;
    lidPollInFlight_ = false;
}

void SleepManager::pollLid()
{
    // One reading at a time: a slow bus skips ticks instead of queueing them.
    if (lidPollInFlight_) return;
    lidPollInFlight_ = true;
    const std::uint64_t generation = lidGeneration_;
    std::weak_ptr<SleepManager> weak = weak_from_this();
    worker_->async([weak, power = power_, mainLoop = mainLoop_, generation] {
        const std::optional<bool> closed = power->lidClosed();
        asio::post(mainLoop, [weak, closed, generation] {
            if (auto self = weak.lock()) self->lidRead(generation, closed);
        });
    });
}

void SleepManager::lidRead(std::uint64_t generation, std::optional<bool> closed)
{
    if (generation != lidGeneration_) return;
    lidPollInFlight_ = false;
    // An unreadable lid (logind restarting) is no change: treating it as
    // "open" would fire a spurious recovery while the lid is shut.
    if (!closed) return;
    if (!lastLidClosed_) {
        lastLidClosed_ = closed;
        return;
    }
    if (*closed == *lastLidClosed_) return;
    lastLidClosed_ = closed;
    if (*closed) {
        sleepLine(LogLevel::info, "[SleepManager] Lid closed — mirror will break when built-in goes offline");
    } else {
        sleepLine(LogLevel::info, "[SleepManager] Lid opened — triggering recovery");
        if (onLidOpened) onLidOpened();
    }
}

} // namespace qb
