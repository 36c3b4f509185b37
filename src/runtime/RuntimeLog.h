// Where the runtime's own lines go (a child process killed at its deadline, a
// task that failed, a settings value that could not be saved, a background
// call that threw). The runtime sits below the diagnostics layer, so the
// composition root injects the real log with setRuntimeLogSink (the daemon
// and the engine route these lines to the engine log: platform log + ring);
// until then they go to standard error.
//
// Threads: any. The sink is replaced atomically; a line being written while
// it is replaced goes to either sink.
#pragma once

#include <string_view>

#include "config/LogLevel.h"

namespace qb {

using RuntimeLogSink = void (*)(LogLevel level, std::string_view subsystem, std::string_view message);

// nullptr restores the standard-error default.
void setRuntimeLogSink(RuntimeLogSink sink);

void runtimeLog(LogLevel level, std::string_view subsystem, std::string_view message);

} // namespace qb
