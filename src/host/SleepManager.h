// Keeps the host awake while mirroring (and, in clamshell mode, running with
// its lid closed) and watches the lid so the engine can repair the mirror
// when it opens again.
//
// Keeping awake is one keep-awake lock of HostPower (on Linux a logind
// inhibitor: "sleep:idle", plus "handle-lid-switch" in clamshell mode, mode
// "block"), held while active and released at deactivate(). It needs no
// administrator rights; when the lock is refused the reason is logged and
// mirroring goes on. A crash releases the lock with the process, so there is
// never anything to repair at the next launch.
//
// While active the lid is polled every `Timing::lidPoll`; a change is logged
// once and an opening calls `onLidOpened`.
//
// Threads: every member and the callback run on the main loop. HostPower
// calls block (up to their D-Bus time limit), so they run on the manager's
// own serial queue and their results hop back to the main loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/HostPower.h"
#include "runtime/Asio.h"
#include "runtime/Queues.h"
#include "runtime/Timer.h"

namespace qb {

// What `health verbose` shows of the keep-awake lock.
struct KeepAwakeStatus {
    bool requesting = false;      // a lock is being taken
    bool held = false;
    std::string lock;             // the lock, "fd: 23"
    int holderPid = 0;            // who logind records as holding it (0: none)
    std::string error;            // why the last request was refused ("" when it was not)
    std::optional<bool> lidClosed; // at the last poll
};

struct SleepManagerTiming {
    Duration lidPoll = std::chrono::milliseconds(500);
};

class SleepManager : public std::enable_shared_from_this<SleepManager> {
public:
    using Timing = SleepManagerTiming;

    static std::shared_ptr<SleepManager> make(Executor mainLoop, std::shared_ptr<HostPower> power,
        Timing timing = {});
    ~SleepManager();
    SleepManager(const SleepManager&) = delete;
    SleepManager& operator=(const SleepManager&) = delete;

    // Takes the keep-awake lock (with the lid switch in clamshell mode);
    // nothing while a lock is held or being taken.
    void activate(bool clamshell = true);
    // Releases the lock and stops watching the lid; harmless when inactive.
    void deactivate();
    // Launch-time repair: logs once that nothing is left to restore.
    void restoreSleepIfNeeded();

    // A lock is held or being taken.
    bool isActive() const { return lock_ != nullptr || requesting_; }
    bool holdsLock() const { return lock_ != nullptr; }
    KeepAwakeStatus status() const;

    std::function<void()> onLidOpened;
    // On the main loop: true as the system is about to sleep, false once it
    // woke.
    std::function<void(bool sleeping)> onSleepChanged;

private:
    SleepManager(Executor mainLoop, std::shared_ptr<HostPower> power, Timing timing);
    void lockTaken(std::uint64_t generation, std::shared_ptr<InhibitorLock> lock, const std::string& error);
    void startLidMonitor();
    void stopWakeListeners();
    void pollLid();
    void lidRead(std::uint64_t generation, std::optional<bool> closed);

    Executor mainLoop_;
    std::shared_ptr<HostPower> power_;
    Timing timing_;
    std::shared_ptr<SerialQueue> worker_;

    std::shared_ptr<InhibitorLock> lock_;
    bool requesting_ = false;
    std::uint64_t generation_ = 0;

    std::shared_ptr<Timer> lidMonitorTimer_;
    std::uint64_t lidGeneration_ = 0;
    bool lidPollInFlight_ = false;
    std::optional<bool> lastLidClosed_;
    bool restoreLogged_ = false;
    std::string lastError_;
};

} // namespace qb
