#include "core/ResumeState.h"

namespace qb {

namespace {

template <class Step>
const Step* as(const ResumeState::Value& value)
{
    return std::get_if<Step>(&value);
}

ResumeState::Ticket ticketOf(const ResumeState::Value& value)
{
    return std::visit(
        [](const auto& step) -> ResumeState::Ticket {
            if constexpr (requires { step.ticket; }) {
                return step.ticket;
            } else {
                return 0;
            }
        },
        value);
}

} // namespace

bool ResumeState::holds(Ticket ticket) const { return ticket != 0 && ticketOf(value_) == ticket; }

std::optional<ResumeState::Ticket> ResumeState::restartAsked()
{
    if (as<RestartPending>(value_)) return std::nullopt; // one restart at a time
    const Ticket ticket = issue();
    value_ = RestartPending{ticket};
    return ticket;
}

ResumeState::Ticket ResumeState::unplugStops()
{
    const Ticket ticket = issue();
    value_ = ResumeOnReplug{ticket, false};
    return ticket;
}

bool ResumeState::awaitReplug(Ticket ticket)
{
    if (!holds(ticket) || !as<ResumeOnReplug>(value_)) return false;
    value_ = ResumeOnReplug{ticket, true};
    return true;
}

bool ResumeState::resumesOnReplug() const
{
    const auto* replug = as<ResumeOnReplug>(value_);
    return replug && replug->waiting;
}

void ResumeState::startAsked()
{
    if (as<ResumeOnReplug>(value_)) value_ = None{};
}

ResumeState::PauseStep ResumeState::pauseBegins(MirrorStatus::Kind status)
{
    using Kind = MirrorStatus::Kind;
    const bool mirroring = status == Kind::running || status == Kind::starting;
    if (mirroring) {
        value_ = ResumeAfterPause{issue(), false};
        return PauseStep::stop;
    }
    // A restart still stopping (the compositor may go away because of the
    // very change that asked for it) must not start on a desktop that is
    // gone; nor may the start after a wake when the system sleeps again.
    const auto* pause = as<ResumeAfterPause>(value_);
    if (as<RestartPending>(value_) || (pause && pause->woken)) {
        value_ = ResumeAfterPause{issue(), false};
        return PauseStep::keepStopped;
    }
    return PauseStep::nothing;
}

std::optional<ResumeState::Ticket> ResumeState::pauseEnds()
{
    const auto* pause = as<ResumeAfterPause>(value_);
    if (!pause || pause->woken) return std::nullopt;
    value_ = ResumeAfterPause{pause->ticket, true};
    return pause->ticket;
}

void ResumeState::done(Ticket ticket)
{
    if (holds(ticket)) value_ = None{};
}

bool startTaken(MirrorStatus::Kind status)
{
    return status == MirrorStatus::Kind::idle || status == MirrorStatus::Kind::waitingForDevice;
}

StopStep stopStep(MirrorStatus::Kind status, bool tearingDown)
{
    if (tearingDown) return StopStep::tearDown; // joins the one under way
    if (status == MirrorStatus::Kind::idle) return StopStep::nothing;
    if (status == MirrorStatus::Kind::waitingForDevice) return StopStep::toIdle;
    return StopStep::tearDown;
}

} // namespace qb
