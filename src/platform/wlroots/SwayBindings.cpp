#include "platform/wlroots/SwayBindings.h"

#include "platform/gnome/GnomeShortcuts.h"
#include "platform/wlroots/SwayIpc.h"

namespace qb::wlroots {

namespace {

// GNOME's "<Control>F10" in sway's words: "Ctrl+F10".
std::string swayKeys(std::string_view binding)
{
    std::string keys;
    while (binding.starts_with('<')) {
        const auto close = binding.find('>');
        if (close == std::string_view::npos) break;
        const std::string_view modifier = binding.substr(1, close - 1);
        keys += modifier == "Control" ? "Ctrl" : modifier == "Super" ? "Mod4" : std::string(modifier);
        keys += "+";
        binding.remove_prefix(close + 1);
    }
    return keys + std::string(binding);
}

// The program for the shell sway runs `exec` with, inside sway's double quotes.
std::string shellQuoted(const std::string& program)
{
    std::string quoted = "'";
    for (char c : program) {
        if (c == '\'') quoted += "'\\''";
        else if (c == '"' || c == '\\') quoted += std::string("\\") + c;
        else quoted += c;
    }
    return quoted + "'";
}

bool runAll(const std::string& socket, const std::vector<std::string>& commands, std::string* error)
{
    auto ipc = SwayIpc::connect(socket, error);
    if (!ipc) return false;
    for (const auto& command : commands) {
        if (!ipc->command(command, error)) return false;
    }
    return true;
}

} // namespace

std::vector<std::string> bindingLines(const std::string& program)
{
    std::vector<std::string> lines;
    for (const auto& shortcut : gnome::quillbrightShortcuts()) {
        lines.push_back("bindsym --no-repeat " + swayKeys(shortcut.binding) + " \"exec " + shellQuoted(program) + " "
            + std::string(shortcut.arguments) + "\"");
    }
    return lines;
}

bool installSwayBindings(const std::string& socket, const std::string& program, std::string* error)
{
    return runAll(socket, bindingLines(program), error);
}

bool removeSwayBindings(const std::string& socket, std::string* error)
{
    std::vector<std::string> commands;
    for (const auto& shortcut : gnome::quillbrightShortcuts()) {
        commands.push_back("unbindsym --no-repeat " + swayKeys(shortcut.binding));
    }
    // A binding that is not there is no error: removing twice is harmless.
    auto ipc = SwayIpc::connect(socket, error);
    if (!ipc) return false;
    for (const auto& command : commands) {
        std::string refused;
        if (!ipc->command(command, &refused) && refused.find("Could not find") == std::string::npos) {
            if (error) *error = refused;
            return false;
        }
    }
    return true;
}

} // namespace qb::wlroots
