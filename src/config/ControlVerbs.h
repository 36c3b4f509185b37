// The control vocabulary: every verb the daemon answers, written once, with
// what each of its faces needs. The command line takes its commands, their
// argument checks, help and completion from here; the control socket its
// verbs and how each argument is read (control/ControlRequest.h turns a
// request into a typed value, control/ControlCommands.h answers it); the
// control page its controls. It lives at the bottom of the stack because all
// three use it, the page from the transport layer.
//
// Pure constant data; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

enum class ControlVerb {
    start,
    stop,
    status,
    reconnect,
    brightness,
    warmth,
    backlight,
    resolution,
    contrast,
    fontSmoothing,
    clamshell,
    health,
    logs,
    report,
    latency,
    restart,
    gamma,
    profile,
    displayMode,
    connection,
    autoMirror,
    autoDim,
    autoRefresh,
    tablet,
};

// What the words after a command-line command may be.
enum class ArgumentKind {
    none,       // nothing
    choice,     // optionally one of `values` (any case); another word is a usage error
    value,      // optionally one of `values` or `aliases` (any case); another is a bad value
    byteOrStep, // optionally 0-255, or one of `values` (up, down); anything else is a bad value
    setting,    // optionally one word the daemon (or the settings file) checks; `values` are the usual ones
    word,       // optionally one word that is not an option
    words,      // any number of words
};

// One command of the command line: the help, the argument checking, the
// per-command help and the shell completion all come from it.
struct CommandEntry {
    std::string_view name;
    std::string_view arguments; // as the usage shows them: "[on|off]"
    std::string_view help;      // one line; a line feed continues it on the next
    ArgumentKind kind = ArgumentKind::none;
    std::vector<std::string_view> values = {};
    // `<command> --help`: what the values do, what restarts, where it is kept.
    std::string_view details = {};
    // Accepted like `values`, not offered.
    std::vector<std::string_view> aliases = {};
    // A second usage line for one form of the command ("latency --watch").
    std::string_view variant = {};
    std::string_view variantHelp = {};
};

// How the daemon reads a verb's argument; the typed value each gives is in
// control/ControlRequest.h.
enum class WireArgument {
    none,          // ignored
    byteValue,     // an integer (optional sign), clamped into 0-255; anything else asks for the value
    real,          // a number within [minimum, maximum]; anything else is refused
    choice,        // one of the choices (any case, spaces read as hyphens); anything else is refused
    lenientChoice, // as choice, but anything else asks for the value
    resolution,    // a DC-1 preset or another tablet's mode; anything else is refused
    logFilter,     // words: a level, a subsystem, "all" or "verbose"
};

// How the command line writes the word it was given into the request.
enum class WireForm {
    asTyped,    // "RESOLUTION Sharp": the daemon judges it
    lowercased, // "BACKLIGHT toggle"
    decimal,    // "BRIGHTNESS 7" for "+7"
};

// Whether the verb is a setting `status` lists.
enum class SettingScope {
    none,   // an action or a value of the tablet
    daemon, // a setting only a running daemon changes
    stored, // kept in the settings file, which answers it while no daemon runs
};

// The control page's control for the verb, its element named after the
// command; a button sends the verb alone.
enum class PageControl { none, select, slider, checkbox, button };

struct ControlVerbEntry {
    ControlVerb verb;
    std::string_view word; // on the wire, upper case: "DISPLAYMODE"
    CommandEntry command;
    WireArgument argument = WireArgument::none;
    WireForm form = WireForm::lowercased;
    // A choice's words, when they are not the command's values: an alias of
    // the command stands for the value at its place ("enable" for "on").
    std::vector<std::string_view> choices = {};
    // The reply to a refused argument.
    std::string_view refusal = {};
    // An absent argument is refused too.
    bool required = false;
    // A number's range (a real's, and a slider's).
    double minimum = 0;
    double maximum = 0;
    double step = 0;
    // The HEALTH line that shows the value ("display_mode").
    std::string_view healthKey = {};
    SettingScope setting = SettingScope::none;
    PageControl page = PageControl::none;
};

// In the order the usage lists them.
const std::vector<ControlVerbEntry>& controlVerbs();
const ControlVerbEntry& controlVerb(ControlVerb verb);
// By the wire word (upper case, exact) or the command line's name.
const ControlVerbEntry* controlVerbNamed(std::string_view word);
const ControlVerbEntry* controlVerbForCommand(std::string_view name);

// A choice's words, in order: its own, or the command's values; and what
// `word` (any case, spaces read as hyphens) stands for among them.
const std::vector<std::string_view>& choicesOf(const ControlVerbEntry& entry);
std::optional<std::size_t> choiceIndex(const ControlVerbEntry& entry, std::string_view word);

// The request the command line sends for `verb` given `argument` (its
// words joined by spaces): the wire word, then the argument in the verb's
// form; a verb that takes none is sent alone.
std::string controlRequestText(ControlVerb verb, const std::optional<std::string>& argument = std::nullopt);

} // namespace qb
