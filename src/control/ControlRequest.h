// The bytes of one control-socket request, taken apart and read once into a
// typed value that the handlers receive. Pure functions over the verb table
// (config/ControlVerbs.h), so the parser can be fuzzed on its own.
//
// A request is one line of text: a command word, optionally a space and an
// argument ("BRIGHTNESS 200", "logs ADB error"). The command word is
// case-insensitive; the argument keeps its case.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "config/ControlVerbs.h"
#include "config/DisplayResolution.h"
#include "config/Modes.h"

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

struct ControlRequestWords {
    std::string command;                 // upper case (ASCII); empty for an empty request
    std::optional<std::string> argument; // everything after the first space, unchanged
};

// The text before the first space, upper-cased, and the rest after that
// space. A second space right after the first becomes the argument's first
// character.
ControlRequestWords splitControlRequest(std::string_view text);

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

// The DC-1 preset named by `argument`: "1280x960" (exactly as typed), the
// label in any case with hyphens for spaces ("Portrait-Comfortable"), or the
// preset name without spaces ("portraitcomfortable"). First match wins.
std::optional<DisplayResolution> matchResolution(std::string_view argument);

// The names a user types and the replies show: a DC-1 preset's label in
// lower case with hyphens ("portrait-cozy"), a profile's likewise
// ("crisp-paper").
std::string presetName(const DisplayResolution& resolution);
std::string profileName(DisplayProfile profile);

// The resolution modes of the tablets other than the DC-1.
inline constexpr std::string_view NON_DC1_MODES[] = {"landscape-cozy", "landscape-sharp", "portrait-cozy", "portrait-sharp"};
// The names as replies list them: "cozy, comfortable, ...".
std::string dc1PresetNames();
std::string otherTabletModeNames();

// The typed arguments. Which one a verb gets follows its WireArgument; an
// absent argument (or, for a lenient one, one not understood) is monostate.
enum class BacklightAction { on, off, toggle };
enum class TabletAction { browser, pair, forget };
// A name that is a DC-1 preset, another tablet's mode, or both
// ("portrait-cozy"); which applies depends on the tablets mirrored.
struct ResolutionChoice {
    std::string name; // the argument in lower case
    std::optional<DisplayResolution> preset;
    bool otherTabletMode = false;
};
using ControlArgument = std::variant<std::monostate,
    int,             // a byte value, clamped into 0-255
    bool,            // on/off (and HEALTH's verbose)
    double,          // a real within the verb's range
    BacklightAction, TabletAction, DisplayMode, ConnectionMode, DisplayProfile, ResolutionChoice, ControlLogFilter>;

struct ControlRequest {
    ControlVerb verb;
    ControlArgument argument;
    bool hasArgument() const { return !std::holds_alternative<std::monostate>(argument); }
};
// A request answered without reaching a handler: an unknown verb or an
// argument the verb refuses, with the reply.
struct ControlRefusal {
    std::string reply;
    std::optional<ControlVerb> verb; // nothing for an unknown verb
};

// A decoded request text, read once: the verb and its typed argument, or the
// refusal ("ERR unknown command", "ERR use on or off", ...).
std::variant<ControlRequest, ControlRefusal> parseControlRequest(std::string_view text);

} // namespace qb
