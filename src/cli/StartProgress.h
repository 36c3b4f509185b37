// What `quillbright start` tells the person who ran it, besides the log:
// one line as each slow step begins or ends (the adb server, the device
// list, the companion, the tunnels) and, for each failure, a one-line hint
// of what to do next. It watches the engine's published properties and
// prints only changes.
//
// Main loop only.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "config/EngineState.h"

namespace qb::cli {

// The hint for a status the engine reports; empty when there is nothing to
// do (idle, starting, running, stopping). `startsOnPlugIn`: the engine
// starts by itself once a device appears (MirrorEngine::startsOnPlugIn()).
// `program`: this program as the user runs it.
std::string hintForStatus(const MirrorStatus& status, bool startsOnPlugIn = false,
    const std::string& program = "quillbright");

class StartProgress {
public:
    explicit StartProgress(std::ostream& out, std::string program = "quillbright")
        : out_(out), program_(std::move(program))
    {
    }

    // Whether plugging a device in starts mirroring (default: no).
    void setStartsOnPlugIn(bool starts) { startsOnPlugIn_ = starts; }
    void adbServerStarting();
    // `found`: an adb program exists; `running`: its server answers.
    void adbServerStarted(bool found, bool running);

    // After a field of the engine's state changed; `sessionCount`: its
    // running sessions.
    void engineChanged(const EngineState& state, std::size_t sessionCount, EngineProperty property);

private:
    std::ostream& out_;
    std::string program_;
    bool startsOnPlugIn_ = false;
    std::optional<MirrorStatus> status_;
    bool adbConnected_ = false;
    std::string installStatus_;
    bool companionMissing_ = false;
    std::optional<std::string> adbFailure_;
    std::vector<std::string> unauthorized_;
};

} // namespace qb::cli
