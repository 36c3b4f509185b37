// EngineLifecycle: when the engine starts, stops, restarts and resumes —
// the status transitions every trigger goes through, the task groups of
// the start, the teardown and the rest, and the one value (ResumeState)
// that says what follows a stop. What a start and a teardown do is the
// engine's (LifecycleHost); when they run, and what may overlap, is here.
//
//   idle / waitingForDevice --requestStart()--> starting --> running | waitingForDevice | error
//   starting / running / error --stop() / stopAsync()--> stopping --> idle
//   waitingForDevice --stop()--> idle
//   running --restart()--> stopping --> idle --> starting (unless a stop came meanwhile)
//   error --startAgain()--> stopping --> idle --> starting (likewise)
//   running or starting --pause--> stopping --> idle, started again once the pause ends
//   running --the device unplugged (the engine's call)--> stopping --> waitingForDevice
// "starting" is published as the start is asked for, so a second trigger
// finds it and starts nothing; a stop while starting cancels the start.
// requestStart() does nothing in any other state, nor once the engine is
// closing (close(): the daemon is ending, and a device plugged in meanwhile
// must not start mirroring again); apart from a stop, `error` is left only
// by setting the status from outside.
//
// Task groups: the start sequence (a teardown cancels it), the teardown (one
// at a time; a second stop joins it), `reconnects` (adb reconnects, the lid
// recovery, page tasks: a teardown cancels them), `recovery` (the leftover
// tunnels' removal: every start waits for it) and `tasks` (stops, restarts,
// resumes, settings work). All are cancelled when the engine goes.
//
// Ownership: made by the engine (always by std::shared_ptr), which it holds
// for its life; the lifecycle holds the engine weakly (attach()), and its
// tasks do nothing once the engine is gone. Main loop only.
#pragma once

#include <memory>
#include <string_view>

#include "config/MirrorStatus.h"
#include "core/ResumeState.h"
#include "runtime/Asio.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"

namespace qb {

// What the engine does for its lifecycle.
class LifecycleHost {
public:
    virtual ~LifecycleHost() = default;
    virtual const MirrorStatus& lifecycleStatus() const = 0;
    virtual void setStatus(MirrorStatus status) = 0;
    // Before "starting" is published: false when the start may not go on
    // (the host published why).
    virtual bool readyToStart() = 0;
    // The start's work, with "starting" published; a teardown cancels it.
    virtual asio::awaitable<void> startSequence() = 0;
    // The teardown's work, once the start and the reconnects ended; ends idle.
    virtual asio::awaitable<void> tearDown() = 0;
};

class EngineLifecycle : public std::enable_shared_from_this<EngineLifecycle> {
public:
    explicit EngineLifecycle(Duration wakeRestartDelay);
    ~EngineLifecycle();
    EngineLifecycle(const EngineLifecycle&) = delete;
    EngineLifecycle& operator=(const EngineLifecycle&) = delete;

    void attach(std::weak_ptr<LifecycleHost> host) { host_ = std::move(host); }

    // The one start path: publishes "starting" and spawns the start sequence;
    // false (nothing started) unless idle or waiting for a device, and after close().
    bool requestStart();
    // The engine is ending: no start from now on, whoever asks.
    void close() { closed_ = true; }
    bool closed() const { return closed_; }
    // Completes when no start sequence runs.
    asio::awaitable<void> startDone();
    // A stop of the user's: nothing resumes after it.
    void stop();
    asio::awaitable<void> stopAsync();
    // Completes when no teardown runs.
    asio::awaitable<void> teardownDone();
    bool tearingDown() const { return teardown_.running() > 0; }
    // Only while running, one at a time.
    void restart();
    // Only in an error: what is left is torn down, then a start.
    bool startAgain();
    // The system sleeps or wakes, or the compositor left or came back.
    void pauseChanged(bool paused, std::string_view pausing, std::string_view resuming);
    // The device was unplugged while running: the teardown, then the
    // engine's `stopped(ticket)` decides (ResumeState::awaitReplug).
    ResumeState& resume() { return resume_; }

    TaskGroup& tasks() { return tasks_; }
    TaskGroup& reconnects() { return reconnects_; }
    TaskGroup& recovery() { return recovery_; }
    // Every task ends at its next wait; the engine's end.
    void cancelAll();

private:
    std::shared_ptr<LifecycleHost> host() const { return host_.lock(); }
    // Into the teardown (or out of waitingForDevice), whatever resumes after.
    void beginStop();
    asio::awaitable<void> runStart();
    asio::awaitable<void> runStop();
    asio::awaitable<void> teardown();
    asio::awaitable<void> restartTask(ResumeState::Ticket ticket);
    asio::awaitable<void> startAgainTask(ResumeState::Ticket ticket);
    asio::awaitable<void> wakeTask(ResumeState::Ticket ticket);

    const Duration wakeRestartDelay_;
    bool closed_ = false;
    std::weak_ptr<LifecycleHost> host_;
    ResumeState resume_;
    TaskGroup tasks_;
    TaskGroup starting_;
    TaskGroup reconnects_;
    TaskGroup teardown_;
    TaskGroup recovery_;
};

} // namespace qb
