// `quillbright start` once no other instance answers: this process becomes
// the daemon. It writes the PID file, builds and activates the engine,
// refreshes the status file, starts mirroring, and runs the main loop until
// SIGINT or SIGTERM; SIGUSR1 reconnects adb. Signals are taken on the main
// loop through asio::signal_set.
//
// Shutdown awaits the engine's whole teardown (a start under way is
// cancelled), then removes the PID and status files and exits 0. Only when
// the teardown overruns its deadline is it abandoned, which is logged, and
// the exit status is 1. Either way every child process still running is
// terminated before the process exits.
//
// QUILLBRIGHT_TEST_TIMING_SCALE (a factor in (0, 1], tests only) shortens
// the engine's and sessions' pauses, the health-check period, the capture
// statistics interval, the whole-picture reread period, the frame server's
// stalled-write limit and the status refresh intervals, so end-to-end tests
// run in seconds. The shutdown deadline is not scaled.
#pragma once

#include <chrono>
#include <ostream>

#include "cli/CommandLine.h"
#include "runtime/Timer.h"

namespace qb::cli {

struct DaemonTiming {
    // How long a shutdown waits for the engine's teardown.
    Duration shutdownDeadline = std::chrono::seconds(10);
    // How long a child still running at exit gets between SIGTERM and SIGKILL.
    Duration childGrace = std::chrono::seconds(2);
};

// The factor from QUILLBRIGHT_TEST_TIMING_SCALE; 1 when unset or invalid.
double testTimingScale();

// SIGINT, SIGTERM and SIGUSR1 wait (blocked) until runDaemon has its
// handlers for them, instead of killing a half-started daemon whose PID file
// would stay behind. Called first thing in main() by the commands that may
// become the daemon, so every thread started later inherits the block and
// the main thread alone takes the signals once runDaemon releases them.
void holdDaemonSignals();
void releaseDaemonSignals();

// Never returns while the daemon runs; the exit status once it stops.
int runDaemon(const Context& context, std::ostream& out, DaemonTiming timing = {});

} // namespace qb::cli
