#include "device/ADBParsers.h"

#include "config/Text.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace qb::ADBBridge {

namespace {

// Splits on line feeds (a carriage return before one belongs to the break),
// dropping empty lines.
std::vector<std::string_view> nonEmptyLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Words separated by runs of spaces (adb pads its columns with spaces; a tab
// separates them in the short listing).
std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> result;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) result.push_back(line.substr(start, i - start));
    }
    return result;
}

std::optional<int> positiveDecimal(std::string_view text)
{
    if (text.empty() || text.size() > 9) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value <= 0) return std::nullopt;
    return value;
}

// Serial and state of each listed device (the header line skipped).
template <class Fn>
void forEachDeviceLine(std::string_view output, Fn&& fn)
{
    auto lines = nonEmptyLines(output);
    if (lines.size() < 2) return;
    for (size_t i = 1; i < lines.size(); ++i) {
        auto tokens = words(lines[i]);
        if (tokens.size() < 2) continue;
        fn(lines[i], tokens[0], tokens[1]);
    }
}

} // namespace

std::vector<DeviceLine> parseDeviceLines(std::string_view output)
{
    std::vector<DeviceLine> devices;
    forEachDeviceLine(output, [&](std::string_view line, std::string_view serial, std::string_view state) {
        if (state != "device") return;
        std::string model = "unknown";
        if (const size_t at = line.find("model:"); at != std::string_view::npos) {
            std::string_view rest = line.substr(at + 6);
            model = std::string(rest.substr(0, rest.find_first_of(" \t")));
        }
        devices.push_back({std::string(serial), std::move(model)});
    });
    return devices;
}

std::vector<std::string> parseUnauthorizedDevices(std::string_view output)
{
    std::vector<std::string> serials;
    forEachDeviceLine(output, [&](std::string_view, std::string_view serial, std::string_view state) {
        if (state == "unauthorized") serials.emplace_back(serial);
    });
    return serials;
}

std::optional<std::pair<int, int>> parseScreenResolution(std::string_view output)
{
    constexpr std::string_view prefix = "Physical size:";
    for (std::string_view line : nonEmptyLines(output)) {
        line = trimmed(line, " \t");
        if (line.substr(0, prefix.size()) != prefix) continue;
        std::string_view size = trimmed(line.substr(prefix.size()), " ");
        std::vector<std::string_view> pieces;
        size_t start = 0;
        while (start <= size.size()) {
            size_t end = size.find('x', start);
            if (end == std::string_view::npos) end = size.size();
            if (end > start) pieces.push_back(size.substr(start, end - start));
            start = end + 1;
        }
        if (pieces.size() != 2) continue;
        auto width = positiveDecimal(pieces[0]);
        auto height = positiveDecimal(pieces[1]);
        if (width && height) return std::pair{*width, *height};
    }
    return std::nullopt;
}

std::optional<std::string> parseCompanionVersion(std::string_view output)
{
    constexpr std::string_view key = "versionName=";
    for (std::string_view line : nonEmptyLines(output)) {
        line = trimmed(line, " ");
        if (line.substr(0, key.size()) != key) continue;
        std::string_view version = line.substr(key.size());
        if (version.empty()) return std::nullopt;
        return std::string(version);
    }
    return std::nullopt;
}

std::map<std::string, std::string> parseEnvironment(std::string_view output)
{
    std::map<std::string, std::string> environment;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string_view::npos) end = output.size();
        std::string_view line = output.substr(start, end - start);
        start = end + 1;
        const size_t equals = line.find('=');
        if (line.empty() || equals == std::string_view::npos) continue;
        environment[std::string(line.substr(0, equals))] = std::string(line.substr(equals + 1));
    }
    return environment;
}

std::optional<int> parseSettingValue(std::string_view output)
{
    std::string_view text = trimmed(output);
    if (text.empty()) return std::nullopt;
    if (text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
    }
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<ToolsVersion> parseToolsVersion(std::string_view output)
{
    for (std::string_view rest = output; !rest.empty();) {
        const auto end = rest.find('\n');
        std::string_view line = trimmed(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.starts_with("Version ")) continue;
        line.remove_prefix(8);
        int parts[3] = {};
        const char* at = line.data();
        const char* const last = line.data() + line.size();
        bool whole = true;
        for (int i = 0; i < 3 && whole; ++i) {
            if (i > 0) whole = at < last && *at++ == '.';
            const auto [next, error] = std::from_chars(at, last, parts[i]);
            whole = whole && error == std::errc() && parts[i] >= 0;
            at = next;
        }
        if (whole) return ToolsVersion{parts[0], parts[1], parts[2]};
    }
    return std::nullopt;
}

bool saysServerUnreachable(std::string_view standardError)
{
    // adb 29 to 35: "* daemon not running; starting now at tcp:5037",
    // "ADB server didn't ACK", "error: cannot connect to daemon at tcp:5037:
    // Connection refused", "error: protocol fault (couldn't read status)".
    constexpr std::string_view signs[] = {"daemon not running", "server didn't ACK", "cannot connect to daemon",
        "protocol fault"};
    for (const auto sign : signs) {
        if (standardError.find(sign) != std::string_view::npos) return true;
    }
    return false;
}

std::vector<ReverseTunnel> parseReverseList(std::string_view output)
{
    std::vector<ReverseTunnel> tunnels;
    const auto port = [](std::string_view word) -> std::optional<int> {
        if (!word.starts_with("tcp:")) return std::nullopt;
        word.remove_prefix(4);
        int value = 0;
        auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
        if (error != std::errc() || end != word.data() + word.size() || value <= 0) return std::nullopt;
        return value;
    };
    for (std::string_view rest = output; !rest.empty();) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        std::vector<int> ports;
        for (std::size_t at = 0; at < line.size();) {
            const std::size_t start = line.find_first_not_of(" \t\r", at);
            if (start == std::string_view::npos) break;
            const std::size_t stop = std::min(line.find_first_of(" \t\r", start), line.size());
            if (const auto value = port(line.substr(start, stop - start))) ports.push_back(*value);
            at = stop;
        }
        if (ports.size() == 2) tunnels.push_back({ports[0], ports[1]});
    }
    return tunnels;
}

std::vector<std::vector<TrackedDevice>> TrackDevicesReader::feed(std::string_view bytes)
{
    std::vector<std::vector<TrackedDevice>> lists;
    if (broken_) return lists;
    pending_.append(bytes);
    std::size_t at = 0;
    while (pending_.size() - at >= 4) {
        std::size_t length = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const char c = pending_[at + i];
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) {
                broken_ = true;
                pending_.clear();
                return lists;
            }
            length = length * 16 + std::size_t(digit);
        }
        if (pending_.size() - at - 4 < length) break;
        std::vector<TrackedDevice> list;
        for (std::string_view line : nonEmptyLines(std::string_view(pending_).substr(at + 4, length))) {
            const auto tokens = words(line);
            if (tokens.size() < 2) continue;
            list.push_back({std::string(tokens[0]), std::string(tokens[1])});
        }
        lists.push_back(std::move(list));
        at += 4 + length;
    }
    pending_.erase(0, at);
    return lists;
}

} // namespace qb::ADBBridge
