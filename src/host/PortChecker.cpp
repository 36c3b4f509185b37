#include "host/PortChecker.h"

#include <charconv>

#include "config/Text.h"
#include "runtime/Process.h"

namespace qb::PortChecker {

std::optional<std::int32_t> parseSinglePid(std::string_view lsofOutput)
{
    std::string_view text = trimmed(lsofOutput);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    std::int32_t pid = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return pid;
}

std::string processBlocking(std::uint16_t port)
{
    return processBlocking(port, Tools{});
}

std::string processBlocking(std::uint16_t port, const Tools& tools)
{
    ProcessOptions lsof;
    lsof.executable = tools.lsof;
    lsof.arguments = {"-iTCP:" + std::to_string(port), "-sTCP:LISTEN", "-t"};
    lsof.standardError = OutputMode::discard;
    const ProcessResult listed = runProcess(lsof, tools.timeoutSeconds, "lsof");
    if (!listed.launched || !isValidUTF8(listed.standardOutput)) return {};
    const auto pid = parseSinglePid(listed.standardOutput);
    if (!pid) return {};

    ProcessOptions ps;
    ps.executable = tools.ps;
    ps.arguments = {"-p", std::to_string(*pid), "-o", "comm="};
    ps.standardError = OutputMode::discard;
    const ProcessResult named = runProcess(ps, tools.timeoutSeconds, "ps");
    if (!named.launched) return {};
    const std::string name
        = isValidUTF8(named.standardOutput) ? std::string(trimmed(named.standardOutput)) : std::string("unknown");
    return name + " (pid " + std::to_string(*pid) + ")";
}

} // namespace qb::PortChecker
