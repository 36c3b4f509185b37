// The desktop notifications of the command-line front end: what happened to
// the engine, said once per event (a tablet asks to be authorised, mirroring
// started or stopped, the companion app is missing or too old, a start
// failed). Pure: feed it every state the engine publishes; it answers the
// notices that state change deserves.
//
//   EventNotices notices;
//   for (auto& notice : notices.update(state, property)) notifier->notify(notice.summary, notice.body);
#pragma once

#include <set>
#include <string>
#include <vector>

#include "config/EngineState.h"

namespace qb::cli {

struct Notice {
    std::string summary;
    std::string body;
    bool operator==(const Notice&) const = default;
};

class EventNotices {
public:
    std::vector<Notice> update(const EngineState& state, EngineProperty property);

private:
    MirrorStatus::Kind lastStatus_ = MirrorStatus::Kind::idle;
    std::string lastError_;
    std::set<std::string> askedToAuthorise_;
    bool staleCompanionSaid_ = false;
    bool companionMissingSaid_ = false;
    std::string lastFailure_;
};

} // namespace qb::cli
