// The bytes of one control-socket request, taken apart. Pure functions with
// no dependencies, so the parser can be fuzzed on its own.
//
// A request is one line of text: a command word, optionally a space and an
// argument ("BRIGHTNESS 200", "logs ADB error"). The command word is
// case-insensitive; the argument keeps its case.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace qb {

// The longest request a client may send; anything longer without a line
// feed is not a request and is dropped unanswered.
inline constexpr std::size_t MAX_CONTROL_REQUEST_BYTES = 1024;
// Of a request, only this many bytes are interpreted (a longer line is cut).
inline constexpr std::size_t CONTROL_REQUEST_INTERPRETED_BYTES = 255;

// The request text: the bytes up to the first NUL, a line feed or the
// interpreted limit, invalid UTF-8 sequences replaced by U+FFFD, leading and
// trailing white space (spaces, tabs, CR, LF, VT, FF) removed.
std::string decodeControlRequest(std::string_view bytes);

struct ControlRequest {
    std::string command;                 // upper case (ASCII); empty for an empty request
    std::optional<std::string> argument; // everything after the first space, unchanged
};

// The text before the first space, upper-cased, and the rest after that
// space. A second space right after the first becomes the argument's first
// character.
ControlRequest parseControlRequest(std::string_view text);

// A byte value argument: (false, 0) when absent or not a base-10 integer
// (optional leading "+" or "-", nothing else around it); otherwise (true,
// the integer clamped into 0...255). Arbitrarily long digit strings clamp.
std::pair<bool, int> validateByteValue(const std::optional<std::string>& text);

// A real number occupying the whole text ("1.5", "2", "-0.5e1"); nothing
// otherwise (including "nan", "inf" and surrounding spaces).
std::optional<double> parseWholeDouble(std::string_view text);

// The `LOGS` filter: minimum level word, subsystem, time window.
struct ControlLogFilter {
    std::optional<std::string> minLevel; // "debug", "info", "warn" or "error"
    std::optional<std::string> subsystem;
    std::optional<double> lastSeconds = 60.0; // nothing: no limit
};
// Absent: the defaults; "verbose" or "all" (any case): everything;
// otherwise each space-separated word is a level (any case) or, for any
// other word, the subsystem (the last one wins).
ControlLogFilter parseLogFilter(const std::optional<std::string>& argument);

std::string asciiUpper(std::string_view text);

} // namespace qb
