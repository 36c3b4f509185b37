// `quillbright start` once no other instance answers: this process becomes
// the daemon. It writes the PID file, builds and activates the engine,
// refreshes the status file, starts mirroring, and runs the main loop until
// SIGINT or SIGTERM (stop, then exit a second later); SIGUSR1 reconnects
// adb. Signals are taken on the main loop through asio::signal_set.
//
// QUILLBRIGHT_TEST_TIMING_SCALE (a factor in (0, 1], tests only) shortens
// the engine's and sessions' pauses, the health-check period, the capture
// statistics interval and the status refresh intervals, so end-to-end tests
// run in seconds. The one-second
// grace between stop and exit is not scaled: the teardown needs it.
#pragma once

#include <ostream>

#include "cli/CommandLine.h"

namespace qb::cli {

// The factor from QUILLBRIGHT_TEST_TIMING_SCALE; 1 when unset or invalid.
double testTimingScale();

// Never returns while the daemon runs; the exit status once it stops.
int runDaemon(const Context& context, std::ostream& out);

} // namespace qb::cli
