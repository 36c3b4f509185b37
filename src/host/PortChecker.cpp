#include "host/PortChecker.h"

#include <charconv>

#include "runtime/Process.h"

namespace qb::PortChecker {

namespace {

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view space = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool isValidUTF8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t min = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            min = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        std::uint32_t code = c & (0x3F >> extra);
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

} // namespace

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
