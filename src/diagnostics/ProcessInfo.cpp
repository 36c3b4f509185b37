#include "diagnostics/ProcessInfo.h"

#include <chrono>

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <fstream>

#include <fmt/format.h>

namespace qb {

namespace {

std::optional<std::string> readSmallFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text;
    char buffer[256];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > 4096) break; // these files are one short line
    }
    return text;
}

std::string_view skipSpaces(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    return text;
}

// One unsigned decimal field followed by a blank, a line end or the end.
std::optional<std::uint64_t> takeCount(std::string_view& text)
{
    text = skipSpaces(text);
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (!text.empty() && text.front() != ' ' && text.front() != '\t' && text.front() != '\n') return std::nullopt;
    return value;
}

} // namespace

std::optional<ProcessMemoryInfo> parseStatm(std::string_view text, std::uint64_t pageSize)
{
    const auto sizePages = takeCount(text);
    const auto residentPages = takeCount(text);
    if (!sizePages || !residentPages || pageSize == 0) return std::nullopt;
    constexpr double mebibyte = 1024.0 * 1024.0;
    // In doubles: pages times page size can exceed 64 bits for nonsense input.
    return ProcessMemoryInfo{static_cast<double>(*residentPages) * static_cast<double>(pageSize) / mebibyte,
        static_cast<double>(*sizePages) * static_cast<double>(pageSize) / mebibyte};
}

std::optional<std::uint64_t> parseUptimeSeconds(std::string_view text)
{
    // "12345.67 8901.23\n": the whole seconds before the point are enough.
    text = skipSpaces(text);
    std::uint64_t seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (!text.empty() && text.front() == '.') {
        text.remove_prefix(1);
        while (!text.empty() && text.front() >= '0' && text.front() <= '9') text.remove_prefix(1);
    }
    if (!text.empty() && text.front() != ' ' && text.front() != '\t' && text.front() != '\n') return std::nullopt;
    return seconds;
}

std::string formatUptime(std::uint64_t seconds)
{
    return fmt::format("{}h{}m", seconds / 3600, (seconds % 3600) / 60);
}

std::optional<ProcessMemoryInfo> processMemoryInfo()
{
    const auto text = readSmallFile("/proc/self/statm");
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (!text || pageSize <= 0) return std::nullopt;
    return parseStatm(*text, static_cast<std::uint64_t>(pageSize));
}

std::string processMemoryMB()
{
    const auto info = processMemoryInfo();
    if (!info) return "unknown";
    char text[400]; // "%.1f" of the largest double is 309 digits and a decimal
    std::snprintf(text, sizeof text, "%.1f", info->residentMB);
    return text;
}

namespace {
// Set while the program loads, before main.
const auto PROCESS_START = std::chrono::steady_clock::now();
} // namespace

std::string processUptime()
{
    const auto running = std::chrono::steady_clock::now() - PROCESS_START;
    return formatUptime(std::uint64_t(std::chrono::duration_cast<std::chrono::seconds>(running).count()));
}

std::string systemUptime()
{
    const auto text = readSmallFile("/proc/uptime");
    const auto seconds = text ? parseUptimeSeconds(*text) : std::nullopt;
    return seconds ? formatUptime(*seconds) : "unknown";
}

} // namespace qb
