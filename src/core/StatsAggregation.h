// How the engine folds its sessions' statistics into the figures it
// publishes. Pure functions;
// the engine calls them on the main loop whenever a session reports.
#pragma once

#include <span>

#include "config/StreamStats.h"

namespace qb {

// The first session's frame rate, frame size and timings; bandwidth, frames
// and skipped frames summed over all; the round trip and client count kept
// as `published` holds them (they arrive on their own reports). No sessions:
// `published` unchanged.
StreamStats foldSessionStats(StreamStats published, std::span<const StreamStats> sessions);

// The clients of all sessions.
int totalClients(std::span<const StreamStats> sessions);

} // namespace qb
