// Process and system figures for the health report and the `status` reply:
// the daemon's memory use and uptime, and the machine's uptime. Read from /proc on every
// call (cheap, and never stale); any thread may call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qb {

struct ProcessMemoryInfo {
    double residentMB = 0; // bytes / 1024 / 1024
    double virtualMB = 0;
};

// Resident and virtual size of this process, or nothing when they cannot be
// read.
std::optional<ProcessMemoryInfo> processMemoryInfo();

// The resident size as "%.1f", or "unknown".
std::string processMemoryMB();

// How long this process has run, as hours and minutes, "5h7m".
std::string processUptime();
// How long the machine has run since it booted, "5h7m"; "unknown" when it
// cannot be read.
std::string systemUptime();

// The pure parts, for tests.
// /proc/<pid>/statm text: "size resident shared ..." counted in pages.
std::optional<ProcessMemoryInfo> parseStatm(std::string_view text, std::uint64_t pageSize);
// /proc/uptime text: "<uptime seconds> <idle seconds>"; whole seconds.
std::optional<std::uint64_t> parseUptimeSeconds(std::string_view text);
// 18420 seconds -> "5h7m".
std::string formatUptime(std::uint64_t seconds);

} // namespace qb
