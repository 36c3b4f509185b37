#include "control/ControlRequest.h"

#include "config/Text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

namespace qb {

namespace {

bool isTrimmed(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Length of the valid UTF-8 sequence at the start of `s`, 0 when invalid.
std::size_t validSequence(std::string_view s)
{
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < length) return 0;
    if (b(1) < low || b(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (b(i) < 0x80 || b(i) > 0xBF) return 0;
    }
    return length;
}

} // namespace

std::string asciiUpper(std::string_view text)
{
    std::string out(text);
    for (auto& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::string decodeControlRequest(std::string_view bytes)
{
    bytes = bytes.substr(0, CONTROL_REQUEST_INTERPRETED_BYTES);
    if (const auto nul = bytes.find('\0'); nul != std::string_view::npos) bytes = bytes.substr(0, nul);
    // Only the first line is the request; "STATUS\n" and "STATUS" are the same.
    std::size_t start = 0;
    while (start < bytes.size() && isTrimmed(static_cast<unsigned char>(bytes[start]))) ++start;
    bytes = bytes.substr(start);
    if (const auto lf = bytes.find('\n'); lf != std::string_view::npos) bytes = bytes.substr(0, lf);

    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t n = validSequence(bytes);
        if (n == 0) {
            text += "\xEF\xBF\xBD";
            bytes.remove_prefix(1);
        } else {
            text.append(bytes.substr(0, n));
            bytes.remove_prefix(n);
        }
    }
    while (!text.empty() && isTrimmed(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

ControlRequestWords splitControlRequest(std::string_view text)
{
    ControlRequestWords request;
    const auto space = text.find(' ');
    if (space == std::string_view::npos) {
        request.command = asciiUpper(text);
    } else {
        request.command = asciiUpper(text.substr(0, space));
        request.argument = std::string(text.substr(space + 1));
    }
    return request;
}

std::pair<bool, int> validateByteValue(const std::optional<std::string>& text)
{
    if (!text) return {false, 0};
    std::string_view digits = *text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return {false, 0};
    long long value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return {false, 0};
        if (value < 1000) value = value * 10 + (c - '0'); // anything past 255 clamps anyway
    }
    if (negative) value = -value;
    if (value < 0) return {true, 0};
    if (value > 255) return {true, 255};
    return {true, static_cast<int>(value)};
}

std::optional<double> parseWholeDouble(std::string_view text)
{
    if (text.empty() || text.size() > 64) return std::nullopt;
    for (const char c : text) {
        const bool allowed = (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E';
        if (!allowed) return std::nullopt; // no spaces, hex, "nan" or "inf"
    }
    const std::string copy(text);
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || errno == ERANGE || !std::isfinite(value)) return std::nullopt;
    return value;
}

ControlLogFilter parseLogFilter(const std::optional<std::string>& argument)
{
    ControlLogFilter filter;
    if (!argument) return filter;
    const std::string lower = lowercased(*argument);
    if (lower == "verbose" || lower == "all") {
        filter.lastSeconds.reset();
        return filter;
    }
    std::string_view rest = *argument;
    while (!rest.empty()) {
        const auto space = rest.find(' ');
        const std::string_view word = rest.substr(0, space);
        rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
        if (word.empty()) continue;
        const std::string level = lowercased(word);
        if (level == "debug" || level == "info" || level == "warn" || level == "error") {
            filter.minLevel = level;
        } else {
            filter.subsystem = std::string(word);
        }
    }
    return filter;
}

std::string presetName(const DisplayResolution& resolution)
{
    std::string name = lowercased(resolution.label);
    std::replace(name.begin(), name.end(), ' ', '-');
    return name;
}

std::string profileName(DisplayProfile profile)
{
    std::string name = lowercased(rawValue(profile));
    std::replace(name.begin(), name.end(), ' ', '-');
    return name;
}

std::optional<DisplayResolution> matchResolution(std::string_view argument)
{
    std::string normalized = lowercased(argument);
    for (auto& c : normalized) {
        if (c == '-') c = ' ';
    }
    std::string compact;
    for (const char c : normalized) {
        if (c != ' ') compact += c;
    }
    for (const auto& preset : DisplayResolution::dc1Presets()) {
        if (fmt::format("{}x{}", preset.width, preset.height) == argument) return preset;
        if (lowercased(preset.label) == normalized) return preset;
        if (preset.preset && lowercased(*preset.preset) == compact) return preset;
    }
    return std::nullopt;
}

std::string dc1PresetNames()
{
    std::string names;
    for (const auto& preset : DisplayResolution::dc1Presets()) {
        names += (names.empty() ? "" : ", ") + presetName(preset);
    }
    return names;
}

std::string otherTabletModeNames()
{
    std::string names;
    for (const auto mode : NON_DC1_MODES) names += (names.empty() ? "" : ", ") + std::string(mode);
    return names;
}

namespace {

std::variant<ControlRequest, ControlRefusal> resolutionArgument(ControlRequest request, const std::string& argument)
{
    ResolutionChoice choice;
    choice.name = lowercased(argument);
    choice.preset = matchResolution(argument);
    choice.otherTabletMode
        = std::find(std::begin(NON_DC1_MODES), std::end(NON_DC1_MODES), choice.name) != std::end(NON_DC1_MODES);
    if (!choice.preset && !choice.otherTabletMode) {
        return ControlRefusal{
            "ERR unknown resolution (valid: " + dc1PresetNames() + ", " + otherTabletModeNames() + ")", request.verb};
    }
    request.argument = std::move(choice);
    return request;
}

// The typed value of choice number `index` of `verb`.
ControlArgument choiceArgument(ControlVerb verb, std::size_t index)
{
    switch (verb) {
    case ControlVerb::backlight: return static_cast<BacklightAction>(index);
    case ControlVerb::tablet: return static_cast<TabletAction>(index);
    case ControlVerb::displayMode: return allDisplayModes.at(index);
    case ControlVerb::connection: return allConnectionModes.at(index);
    case ControlVerb::profile: return allDisplayProfiles.at(index);
    default: return index == 0; // on (or verbose), off
    }
}

} // namespace

std::variant<ControlRequest, ControlRefusal> parseControlRequest(std::string_view text)
{
    const ControlRequestWords words = splitControlRequest(text);
    const ControlVerbEntry* entry = controlVerbNamed(words.command);
    if (entry == nullptr) return ControlRefusal{"ERR unknown command", std::nullopt};
    ControlRequest request{entry->verb, std::monostate{}};
    const ControlRefusal refused{std::string(entry->refusal), entry->verb};
    if (!words.argument) return entry->required ? std::variant<ControlRequest, ControlRefusal>(refused) : request;
    if (entry->argument == WireArgument::none) return request;
    const std::string& argument = *words.argument;
    switch (entry->argument) {
    case WireArgument::none: break;
    case WireArgument::byteValue:
        if (const auto [valid, value] = validateByteValue(argument); valid) request.argument = value;
        break;
    case WireArgument::real: {
        const auto value = parseWholeDouble(argument);
        if (!value || *value < entry->minimum || *value > entry->maximum) return refused;
        request.argument = *value;
        break;
    }
    case WireArgument::choice:
    case WireArgument::lenientChoice: {
        const auto index = choiceIndex(*entry, argument);
        if (index) {
            request.argument = choiceArgument(entry->verb, *index);
        } else if (entry->argument == WireArgument::choice) {
            return refused;
        }
        break;
    }
    case WireArgument::resolution: return resolutionArgument(request, argument);
    case WireArgument::logFilter: request.argument = parseLogFilter(argument); break;
    }
    return request;
}

} // namespace qb
