// Which program a process runs, as the kernel knows it (/proc/<pid>/exe):
// how the command line tells its own daemon from an unrelated process that
// took over the PID a stale PID file names. Any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace qb {

// The executable of process `pid`, or nothing when there is no such process
// or it is not ours to inspect (another user's). A file replaced since the
// process started (an upgrade) is named by its path, without the kernel's
// " (deleted)".
std::optional<std::string> processExecutable(pid_t pid);

// This process's executable ("" when the kernel does not say).
std::string thisExecutable();

} // namespace qb
