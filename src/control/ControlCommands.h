// The control socket's command interpreter: one trimmed request text in,
// one reply text out (without its line feed). Replies begin "OK" or "ERR";
// multi-line replies are "OK", a line feed, and the body lines.
//
// Runs on the main loop, one request at a time, against a ControlTarget.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/ControlTarget.h"

namespace qb {

std::string handleControlCommand(std::string_view request, ControlTarget& target);

// The DC-1 preset named by `argument`: "1280x960" (exactly as typed), the
// label in any case with hyphens for spaces ("Portrait-Comfortable"), or the
// preset name without spaces ("portraitcomfortable"). First match wins.
std::optional<DisplayResolution> matchResolution(std::string_view argument);

// The names a user types and the replies show: a DC-1 preset's label in
// lower case with hyphens ("portrait-cozy"), a profile's likewise
// ("crisp-paper").
std::string presetName(const DisplayResolution& resolution);
std::string profileName(DisplayProfile profile);

// The resolution as `RESOLUTION`, `HEALTH` and `status` show it: the first
// session's ("cozy (1600x1200)"; for a tablet other than the DC-1 its mode,
// "landscape-sharp (2560x1600)"), or the DC-1 preset for the next start.
std::string resolutionShown(const ControlState& state);

// The body lines of `HEALTH` (with the system lines when verbose) and `LATENCY`.
std::vector<std::string> healthLines(const ControlState& state, bool verbose);
std::vector<std::string> latencyLines(const ControlState& state);
// The health keys that are settings ("resolution", "profile", ...), which
// `status` lists, and those lines of `state`.
bool isSettingKey(std::string_view key);
std::vector<std::string> settingsLines(const ControlState& state);

} // namespace qb
