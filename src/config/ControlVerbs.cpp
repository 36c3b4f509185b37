#include "config/ControlVerbs.h"

#include <utility>

#include "config/DisplayResolution.h"
#include "config/Text.h"

namespace qb {

namespace {

using K = ArgumentKind;
using A = WireArgument;
using F = WireForm;
using S = SettingScope;
using P = PageControl;
using V = ControlVerb;

// Each DC-1 preset by what the user sees, from the presets themselves.
std::string_view resolutionHelp()
{
    static const std::string text = [] {
        std::string help = "Get or set resolution: how much desktop the tablet shows, how dense.\nDC-1:";
        const auto& presets = DisplayResolution::dc1LandscapePresets();
        for (std::size_t i = 0; i < presets.size(); ++i) {
            const std::string name = lowercased(presets[i].label);
            help += (i == 0 ? " " : i % 2 == 0 ? ",\n" : ", ") + name + " = " + presets[i].desktopShown();
        }
        return help + "\n(portrait- variants upright). Other tablets: landscape-cozy, portrait-cozy =\n"
                      "half the tablet's pixels at 2x; landscape-sharp, portrait-sharp = all at 1x";
    }();
    return text;
}

// The kinds of row most verbs share.

// An action: no argument, nothing shown; perhaps a button on the page.
ControlVerbEntry action(V verb, std::string_view word, std::string_view name, std::string_view help,
    std::string_view details = {}, P page = P::none)
{
    return {.verb = verb, .word = word, .command = {name, "", help, K::none, {}, details}, .page = page};
}

// The DC-1's front light, 0-255 or a step up or down, on a slider; the
// health key is the command's name.
ControlVerbEntry frontLight(V verb, std::string_view word, std::string_view name, std::string_view help,
    std::string_view details)
{
    return {.verb = verb, .word = word,
        .command = {name, "[0-255|up|down]", help, K::byteOrStep, {"up", "down"}, details},
        .argument = A::byteValue, .form = F::decimal, .minimum = 0, .maximum = 255, .step = 1, .healthKey = name,
        .page = P::slider};
}

// A tone-curve amount kept in the settings file: a real within the range, on
// a slider in tenths; the health key is the command's name.
ControlVerbEntry toneAmount(V verb, std::string_view word, std::string_view name, std::string_view arguments,
    std::string_view help, std::string_view details, std::string_view refusal, double minimum, double maximum)
{
    return {.verb = verb, .word = word, .command = {name, arguments, help, K::setting, {}, details},
        .argument = A::real, .form = F::asTyped, .refusal = refusal, .minimum = minimum, .maximum = maximum,
        .step = 0.1, .healthKey = name, .setting = S::stored, .page = P::slider};
}

// A setting kept in the settings file, one of its values, on a select.
ControlVerbEntry storedChoice(V verb, std::string_view word, std::string_view name, std::string_view arguments,
    std::string_view help, std::vector<std::string_view> values, std::string_view details, std::string_view refusal,
    std::string_view healthKey)
{
    return {.verb = verb, .word = word, .command = {name, arguments, help, K::setting, std::move(values), details},
        .argument = A::choice, .refusal = refusal, .healthKey = healthKey, .setting = S::stored, .page = P::select};
}

// A switch kept in the settings file, on or off, on a checkbox.
ControlVerbEntry storedSwitch(V verb, std::string_view word, std::string_view name, std::string_view help,
    std::string_view details, std::string_view healthKey)
{
    return {.verb = verb, .word = word, .command = {name, "[on|off]", help, K::setting, {"on", "off"}, details},
        .argument = A::choice, .refusal = "ERR use on or off", .healthKey = healthKey, .setting = S::stored,
        .page = P::checkbox};
}

// The first commands in the order the usage has always listed them; the
// settings this program adds follow.
std::vector<ControlVerbEntry> makeTable()
{
    return {
        action(V::start, "START", "start", "Start mirroring (creates virtual display, capture, servers, ADB)",
            "Runs the daemon in this terminal: it waits for a tablet (USB debugging on, this\n"
            "computer allowed) and mirrors it; with auto-mirror on (the default) a tablet\n"
            "plugged in later starts mirroring by itself. With a daemon already running it\n"
            "asks that one to start mirroring. `quillbright` alone does the same.",
            P::button),
        action(V::stop, "STOP", "stop", "Stop the running mirror instance",
            "Asks the running daemon to stop mirroring (it keeps waiting for a tablet); a\n"
            "daemon that does not answer on its control socket is sent SIGTERM.",
            P::button),
        action(V::status, "STATUS", "status", "Print current state (machine-readable key=value pairs)",
            "running=, status= (idle, waiting_for_device, starting, running, stopping,\n"
            "error: ...), every setting, and while a daemon runs its figures (fps, clients,\n"
            "adb=: whether the adb server answers). Without a daemon the settings come from\n"
            "the settings file."),
        action(V::reconnect, "RECONNECT", "reconnect", "Re-establish ADB reverse tunnel and relaunch Android app"),
        frontLight(V::brightness, "BRIGHTNESS", "brightness", "Get, set or step Daylight brightness",
            "The DC-1's front light, 0 (off) to 255; up and down step it as its keys do.\n"
            "Needs a running mirror; not stored."),
        frontLight(V::warmth, "WARMTH", "warmth", "Get, set or step Daylight warmth (amber rate)",
            "The DC-1's amber rate, 0 to 255; up and down step it by 20. Needs a running\n"
            "mirror; not stored."),
        {.verb = V::backlight, .word = "BACKLIGHT",
            .command = {"backlight", "[on|off|toggle]", "Get or toggle backlight", K::value, {"on", "off", "toggle"},
                "The DC-1's front light on or off (toggle switches it). Needs a running mirror."},
            .argument = A::lenientChoice, .healthKey = "backlight", .page = P::checkbox},
        {.verb = V::resolution, .word = "RESOLUTION",
            .command = {"resolution", "[preset]",
                resolutionHelp(),
                K::word,
                {"cozy", "comfortable", "balanced", "sharp", "portrait-cozy", "portrait-comfortable",
                    "portrait-balanced", "portrait-sharp", "landscape-cozy", "landscape-sharp"},
                "A 2x preset lays the tablet out on the desktop at half its pixels and\n"
                "draws each point as 2x2 of them (large, smooth text); a 1x preset gives\n"
                "every tablet pixel to the desktop (the most on screen). Where the desktop\n"
                "cannot scale, the reply says so and the tablet shows the sharp preset's\n"
                "picture. A change restarts a running mirror. Kept in\n"
                "~/.config/quillbright/settings.json; set without a daemon, it takes effect at\n"
                "the next start."},
            .argument = A::resolution, .form = F::asTyped, .healthKey = "resolution", .setting = S::stored,
            .page = P::select},
        toneAmount(V::contrast, "CONTRAST", "contrast", "[1.0-2.0]",
            "Get or set contrast (1.0=off, 1.5=moderate, 2.0=high)",
            "Contrast of the picture sent, 1.0 (off) to 2.0 (high); takes effect on the next\n"
            "frame, and makes the profile custom. Kept in the settings file.",
            "ERR value must be 1.0-2.0 (1.0=off, 1.5=moderate, 2.0=high)", 1.0, 2.0),
        {.verb = V::fontSmoothing, .word = "FONTSMOOTHING",
            .command = {"fontsmoothing", "[on|off]", "Get or set desktop font smoothing (off = crisper text)",
                K::setting, {"on", "off"},
                "Off: the desktop draws text without anti-aliasing, crisper on a paper-like\n"
                "screen. Needs a running daemon; smoothing comes back when mirroring stops."},
            .argument = A::choice, .refusal = "ERR use on or off", .healthKey = "font_smoothing",
            .setting = S::daemon},
        {.verb = V::clamshell, .word = "CLAMSHELL",
            .command = {"clamshell", "[on|off]", "Get or set clamshell mode (prevent sleep on lid close)", K::value,
                {"on", "off"},
                "On: while mirroring, closing the laptop's lid does not suspend it (logind\n"
                "inhibitor). Kept in the settings file.",
                {"enable", "disable"}},
            .argument = A::choice, .refusal = "ERR use on or off", .healthKey = "clamshell", .setting = S::stored,
            .page = P::checkbox},
        {.verb = V::health, .word = "HEALTH",
            .command = {"health", "[verbose]", "Print engine health (verbose adds memory, sysfs, sessions)", K::choice,
                {"verbose"}},
            .argument = A::lenientChoice},
        {.verb = V::logs, .word = "LOGS",
            .command = {"logs", "[filter]", "Print recent structured logs (last 60s). Filter: verbose, error, ADB, etc.",
                K::words, {"all", "verbose", "debug", "info", "warn", "error", "ADB", "Engine", "Session", "USB", "WiFi"}},
            .argument = A::logFilter, .form = F::asTyped},
        action(V::report, "REPORT", "report", "Full diagnostic health report (for support)"),
        {.verb = V::latency, .word = "LATENCY",
            .command = {"latency", "[--watch]", "Print latency diagnostics (RTT, jitter, processing times)", K::choice,
                {"--watch", "-w"},
                "Frames per second, processing times, jitter and the round trip to the tablet;\n"
                "\"no frames\" while the screen is still. Needs a running mirror.",
                {}, "--watch", "Continuously poll latency stats every 2 seconds"}},
        action(V::restart, "RESTART", "restart", "Full stop + start cycle"),
        toneAmount(V::gamma, "GAMMA", "gamma", "[0.5-2.5]",
            "Get or set gamma (1.0=off, above 1 lightens mid-tones)",
            "Gamma of the picture sent, 0.5 to 2.5; takes effect on the next frame, and\n"
            "makes the profile custom. Kept in the settings file.",
            "ERR value must be 0.5-2.5 (1.0=off, above 1 lightens mid-tones)", 0.5, 2.5),
        storedChoice(V::profile, "PROFILE", "profile", "[crisp-paper|balanced|custom]",
            "Get or set the display profile (a contrast and gamma pair)", {"crisp-paper", "balanced", "custom"},
            "crisp-paper (contrast 1.2, gamma 1.2: dark, crisp text), balanced (1.0, 1.0:\n"
            "the picture as it is), custom (the contrast and gamma set by hand). Takes\n"
            "effect on the next frame. Kept in the settings file.",
            "ERR unknown profile (valid: crisp-paper, balanced, custom)", "profile"),
        storedChoice(V::displayMode, "DISPLAYMODE", "mode", "[mirror|extended]",
            "Get or set the display mode: mirror the main screen, or extend\n"
            "the desktop with a screen of the tablet's own",
            {"mirror", "extended"},
            "mirror: the tablet shows this computer's main screen. extended: the tablet is\n"
            "a screen of its own beside it. A change restarts a running mirror. Kept in the\n"
            "settings file.",
            "ERR unknown mode (valid: mirror, extended)", "display_mode"),
        storedChoice(V::connection, "CONNECTION", "connection", "[usb|wifi]",
            "Get or set how tablets are reached: USB (adb) or Wi-Fi", {"usb", "wifi"},
            "usb: tablets come through adb reverse tunnels and every server listens on this\n"
            "computer only. wifi: the servers listen on the LAN, this computer is announced\n"
            "over DNS-SD and paired devices are reached with adb connect. A running daemon\n"
            "moves its servers at once (restarting a running mirror). Kept in the settings\n"
            "file.",
            "ERR unknown connection (valid: usb, wifi)", "connection"),
        storedSwitch(V::autoMirror, "AUTOMIRROR", "automirror",
            "Get or set auto-mirror: a tablet plugged in starts mirroring, and\n"
            "unplugging it stops",
            "On (the default): a tablet plugged into a waiting daemon starts mirroring, and\n"
            "unplugging it stops. Kept in the settings file.",
            "auto_mirror"),
        storedSwitch(V::autoDim, "AUTODIM", "autodim", "Get or set dimming this computer's screen while mirroring",
            "On (the default): while a tablet mirrors, the built-in screen dims after a few\n"
            "seconds; its brightness comes back when mirroring stops. Kept in the settings\n"
            "file.",
            "auto_dim"),
        storedSwitch(V::autoRefresh, "AUTOREFRESH", "autorefresh",
            "Get or set the greyscale tablet page's clean refresh after many\n"
            "partial updates",
            "On (the default): a greyscale tablet page, once the screen has been quiet for a\n"
            "moment after many partial updates, flashes black, white and the picture to clear\n"
            "the panel's ghosts (colour pages never do). Connected pages follow at once. Kept\n"
            "in the settings file.",
            "auto_refresh"),
        {.verb = V::tablet, .word = "TABLET",
            .command = {"tablet", "[--browser|--forget]",
                "Print the tablet page's address (any tablet's browser is a second\n"
                "screen); in Wi-Fi mode also a one-time pairing code and a QR code of\n"
                "the address; --browser opens the page on the tablets on USB;\n"
                "--forget revokes every browser tablet paired over Wi-Fi",
                K::choice, {"--browser", "--forget"}},
            .argument = A::choice, .form = F::asTyped, .choices = {"browser", "pair", "forget"},
            .refusal = "ERR use TABLET BROWSER, PAIR or FORGET", .required = true},
    };
}

} // namespace

const std::vector<ControlVerbEntry>& controlVerbs()
{
    static const std::vector<ControlVerbEntry> table = makeTable();
    return table;
}

const ControlVerbEntry& controlVerb(ControlVerb verb)
{
    for (const auto& entry : controlVerbs()) {
        if (entry.verb == verb) return entry;
    }
    // Every verb has its row (ControlVerbsTest checks it).
    return controlVerbs().front();
}

const ControlVerbEntry* controlVerbNamed(std::string_view word)
{
    for (const auto& entry : controlVerbs()) {
        if (entry.word == word) return &entry;
    }
    return nullptr;
}

const ControlVerbEntry* controlVerbForCommand(std::string_view name)
{
    for (const auto& entry : controlVerbs()) {
        if (entry.command.name == name) return &entry;
    }
    return nullptr;
}

const std::vector<std::string_view>& choicesOf(const ControlVerbEntry& entry)
{
    return entry.choices.empty() ? entry.command.values : entry.choices;
}

std::optional<std::size_t> choiceIndex(const ControlVerbEntry& entry, std::string_view word)
{
    std::string wanted = lowercased(word);
    for (auto& c : wanted) {
        if (c == ' ') c = '-';
    }
    const auto find = [&](const std::vector<std::string_view>& words) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (words[i] == wanted) return i;
        }
        return std::nullopt;
    };
    if (const auto index = find(choicesOf(entry))) return index;
    // An alias stands for the value at its place.
    if (entry.choices.empty()) return find(entry.command.aliases);
    return std::nullopt;
}

std::string controlRequestText(ControlVerb verb, const std::optional<std::string>& argument)
{
    const ControlVerbEntry& entry = controlVerb(verb);
    std::string text(entry.word);
    if (!argument || entry.argument == WireArgument::none) return text;
    switch (entry.form) {
    case WireForm::asTyped: return text + " " + *argument;
    case WireForm::lowercased: return text + " " + lowercased(*argument);
    case WireForm::decimal: {
        const auto value = parseDecimalInteger(*argument);
        return text + " " + (value ? std::to_string(*value) : *argument);
    }
    }
    return text;
}

} // namespace qb
