#include "device/ADBParsers.h"

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

std::string_view trimChars(std::string_view text, std::string_view chars)
{
    const size_t first = text.find_first_not_of(chars);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(chars);
    return text.substr(first, last - first + 1);
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

std::string_view trimWhitespace(std::string_view text) { return trimChars(text, " \t\r\n\v\f"); }

bool isValidUtf8(std::string_view bytes)
{
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra = 0;
        uint32_t code = 0;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(bytes[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            code = (code << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((extra == 1 && code < 0x80) || (extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000)
            || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

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
        line = trimChars(line, " \t");
        if (line.substr(0, prefix.size()) != prefix) continue;
        std::string_view size = trimChars(line.substr(prefix.size()), " ");
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
        line = trimChars(line, " ");
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
    std::string_view text = trimWhitespace(output);
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

} // namespace qb::ADBBridge
