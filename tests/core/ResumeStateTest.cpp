#include "core/ResumeState.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qb {
namespace {

using K = MirrorStatus::Kind;

enum class Event { stop, restart, unplug, unplugStopped, start, pauseRunning, pauseIdle, pauseStopping, wake, done };

enum Expect { none, restartPending, replugStopping, replugWaiting, paused, woken };

Expect kindOf(const ResumeState::Value& value)
{
    if (std::holds_alternative<ResumeState::RestartPending>(value)) return restartPending;
    if (const auto* replug = std::get_if<ResumeState::ResumeOnReplug>(&value)) {
        return replug->waiting ? replugWaiting : replugStopping;
    }
    if (const auto* pause = std::get_if<ResumeState::ResumeAfterPause>(&value)) return pause->woken ? woken : paused;
    return none;
}

struct Row {
    const char* what;
    std::vector<Event> events;
    Expect expected;
    bool firstTaskActs; // the task of the first ticket handed out still acts
    ResumeState::PauseStep lastPause = ResumeState::PauseStep::nothing;
};

TEST(ResumeStateTest, EveryEventMovesTheOneValueAsTheTableSays)
{
    using E = Event;
    using P = ResumeState::PauseStep;
    const std::vector<Row> rows{
        {"a restart starts once stopped", {E::restart}, restartPending, true},
        {"a second restart adds none", {E::restart, E::restart}, restartPending, true},
        {"a stop wins over a restart", {E::restart, E::stop}, none, false},
        {"a finished restart leaves nothing", {E::restart, E::done}, none, false},
        {"a restart asked again after a stop is a new one", {E::restart, E::stop, E::restart}, restartPending, false},
        {"an unplug waits for its device", {E::unplug, E::unplugStopped}, replugWaiting, true},
        {"a stop during an unplug's teardown: no wait", {E::unplug, E::stop, E::unplugStopped}, none, false},
        {"a start ends the wait", {E::unplug, E::unplugStopped, E::start}, none, false},
        {"a start leaves a restart be", {E::restart, E::start}, restartPending, true},
        {"sleep while running stops, waking resumes", {E::pauseRunning, E::wake}, woken, true, P::stop},
        {"sleep while stopped changes nothing", {E::pauseIdle, E::wake}, none, false, P::nothing},
        {"sleep during a restart's teardown: the wake starts", {E::restart, E::pauseStopping, E::wake}, woken, false,
            P::keepStopped},
        {"asleep again before the wake's start", {E::pauseRunning, E::wake, E::pauseIdle}, paused, false,
            P::keepStopped},
        {"a stop while asleep: nothing resumes", {E::pauseRunning, E::stop, E::wake}, none, false, P::stop},
        {"an unplug replaces a pause", {E::pauseRunning, E::unplug}, replugStopping, false, P::stop},
    };
    for (const Row& row : rows) {
        ResumeState resume;
        ResumeState::Ticket first = 0;
        ResumeState::Ticket lastUnplug = 0;
        ResumeState::PauseStep lastPause = ResumeState::PauseStep::nothing;
        const auto issued = [&first](ResumeState::Ticket ticket) {
            if (first == 0) first = ticket;
        };
        for (const Event event : row.events) {
            switch (event) {
            case E::stop: resume.stopAsked(); break;
            case E::restart:
                if (const auto ticket = resume.restartAsked()) issued(*ticket);
                break;
            case E::unplug: issued(lastUnplug = resume.unplugStops()); break;
            case E::unplugStopped: resume.awaitReplug(lastUnplug); break;
            case E::start: resume.startAsked(); break;
            case E::pauseRunning: lastPause = resume.pauseBegins(K::running); break;
            case E::pauseIdle: lastPause = resume.pauseBegins(K::idle); break;
            case E::pauseStopping: lastPause = resume.pauseBegins(K::stopping); break;
            case E::wake:
                if (const auto ticket = resume.pauseEnds()) issued(*ticket);
                break;
            case E::done: resume.done(first); break;
            }
            if (first == 0) {
                if (const auto* pause = std::get_if<ResumeState::ResumeAfterPause>(&resume.value())) first = pause->ticket;
            }
        }
        EXPECT_EQ(kindOf(resume.value()), row.expected) << row.what;
        EXPECT_EQ(resume.holds(first), row.firstTaskActs) << row.what;
        EXPECT_EQ(lastPause, row.lastPause) << row.what;
        EXPECT_EQ(resume.resumesOnReplug(), row.expected == replugWaiting) << row.what;
    }
}

TEST(ResumeStateTest, StartsOnlyFromRestAndStopsByStatus)
{
    for (const K status : {K::idle, K::waitingForDevice}) EXPECT_TRUE(startTaken(status));
    for (const K status : {K::starting, K::running, K::stopping, K::error}) EXPECT_FALSE(startTaken(status));
    EXPECT_EQ(stopStep(K::idle, false), StopStep::nothing);
    EXPECT_EQ(stopStep(K::waitingForDevice, false), StopStep::toIdle);
    EXPECT_EQ(stopStep(K::error, false), StopStep::tearDown); // what a failed start left is removed
    EXPECT_EQ(stopStep(K::idle, true), StopStep::tearDown);   // joins the teardown under way
}

} // namespace
} // namespace qb
