// ResumeState: what mirroring is to do once the stop under way (or the
// pause it waits out) is over — one value, read and changed only here.
// Pure: the engine's lifecycle (core/EngineLifecycle.h) reports what
// happened and acts on the answer.
//
//   none              nothing resumes: a stop of the user's, or nothing asked
//   restartPending    restart() or a start again from an error: start once
//                     the teardown is done
//   resumeOnReplug    the device was unplugged: once the teardown is done,
//                     wait for it (`waiting`) and start when it is back
//   resumeAfterPause  stopped for the system's sleep or the compositor's
//                     absence: start again once the pause ended (`woken`)
//
// Every value but none carries a ticket: the task that acts on it later
// (the restart, the start after a wake, the end of an unplug's teardown)
// holds its ticket and acts only while the value is still the one it was
// given (`holds`). A stop, a later pause or a later unplug replaces the
// value, and the task then does nothing.
//
//   event            from                       to
//   stop()           any                        none
//   restart asked    none, replug, pause        restartPending (a pending one: unchanged, no ticket)
//   unplug stops     any                        resumeOnReplug (stopping)
//   unplug stopped   resumeOnReplug (its own)   resumeOnReplug (waiting)
//   start asked      resumeOnReplug             none (others unchanged)
//   pause begins     running or starting        none, then resumeAfterPause: stop now
//                    restartPending, stopping   resumeAfterPause: the restart does not start
//                    resumeAfterPause           resumeAfterPause (asleep again: the wake's start is off)
//                    otherwise                  unchanged
//   pause ends       resumeAfterPause, asleep   resumeAfterPause (woken): start after the delay
//   task done        its own ticket             none
//
// The start/stop rules of the status are here too: a start is taken only
// from idle or waitingForDevice; a stop leaves waitingForDevice for idle
// without a teardown, does nothing in idle, and tears down otherwise (a
// teardown under way is joined).
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "config/MirrorStatus.h"

namespace qb {

class ResumeState {
public:
    using Ticket = std::uint64_t;
    struct None {};
    struct RestartPending {
        Ticket ticket;
    };
    struct ResumeOnReplug {
        Ticket ticket;
        bool waiting; // the teardown is done; the device is awaited
    };
    struct ResumeAfterPause {
        Ticket ticket;
        bool woken; // the pause ended; the start follows
    };
    using Value = std::variant<None, RestartPending, ResumeOnReplug, ResumeAfterPause>;

    enum class PauseStep { nothing, stop, keepStopped };

    const Value& value() const { return value_; }
    // The value is still the one `ticket` was given for.
    bool holds(Ticket ticket) const;

    void stopAsked() { value_ = None{}; }
    // A ticket for the restart's task; none while a restart is pending.
    std::optional<Ticket> restartAsked();
    Ticket unplugStops();
    // The unplug's teardown is done and the device is to be awaited; false
    // when something else came meanwhile.
    bool awaitReplug(Ticket ticket);
    bool resumesOnReplug() const;
    void startAsked();
    // The system sleeps or the compositor left: what the engine does now.
    PauseStep pauseBegins(MirrorStatus::Kind status);
    // The pause is over: the ticket of the start to come, if one resumes.
    std::optional<Ticket> pauseEnds();
    // The task of `ticket` ended: nothing more resumes from it.
    void done(Ticket ticket);

private:
    Ticket issue() { return ++lastTicket_; }

    Value value_;
    Ticket lastTicket_ = 0;
};

// The status rules of a start and a stop.
bool startTaken(MirrorStatus::Kind status);
enum class StopStep { nothing, toIdle, tearDown };
StopStep stopStep(MirrorStatus::Kind status, bool tearingDown);

} // namespace qb
