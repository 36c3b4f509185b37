// The control socket's command interpreter: one request, read once into a
// typed value (ControlRequest.h), in; one reply text out (without its line
// feed). Replies begin "OK" or "ERR"; multi-line replies are "OK", a line
// feed, and the body lines. The verbs and their arguments are those of the
// verb table (config/ControlVerbs.h); each has its handler here.
//
// Runs on the main loop, one request at a time, against a ControlTarget.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/ControlRequest.h"
#include "control/ControlTarget.h"

namespace qb {

std::string answerControlRequest(const ControlRequest& request, ControlTarget& target);
// Parses the trimmed request text, then answers it (or its refusal).
std::string handleControlCommand(std::string_view request, ControlTarget& target);

// The resolution as `RESOLUTION`, `HEALTH` and `status` show it: the first
// session's ("cozy (1600x1200)"; for a tablet other than the DC-1 its mode,
// "landscape-sharp (2560x1600)"), or the DC-1 preset for the next start.
std::string resolutionShown(const ControlState& state);

// The body lines of `HEALTH` (with the system lines when verbose) and `LATENCY`.
std::vector<std::string> healthLines(const ControlState& state, bool verbose);
std::vector<std::string> latencyLines(const ControlState& state);
// The health keys of the verbs that are settings ("resolution", "profile",
// ...), which `status` lists, and those lines of `state`.
bool isSettingKey(std::string_view key);
std::vector<std::string> settingsLines(const ControlState& state);

} // namespace qb
