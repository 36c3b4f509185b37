// Names the process that holds a TCP port, so that the engine's "port in
// use" error can tell the user what to quit.
//
// It asks `lsof` for the pid of the port's listener and `ps` for that pid's
// command name, each a child process with a 5-second limit. Blocks its
// calling thread for up to about 10 seconds in the worst case; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qb {

namespace PortChecker {

struct Tools {
    std::string lsof = "/usr/bin/lsof";
    std::string ps = "/bin/ps";
    double timeoutSeconds = 5;
};

// "<command> (pid <pid>)" when exactly one process listens on `port`; the
// command is empty when ps printed nothing and "unknown" when ps printed
// something that is not UTF-8. Empty when nothing (or more than one
// process) listens, or when either tool cannot be run.
std::string processBlocking(std::uint16_t port);
std::string processBlocking(std::uint16_t port, const Tools& tools);

// The pid when the whole trimmed text is one signed 32-bit decimal number
// (lsof -t prints one pid per line).
std::optional<std::int32_t> parseSinglePid(std::string_view lsofOutput);

} // namespace PortChecker

} // namespace qb
