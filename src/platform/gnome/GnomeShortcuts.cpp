#include "platform/gnome/GnomeShortcuts.h"

#include <algorithm>

#include <glib.h>

#include "config/Text.h"
#include "runtime/Process.h"

namespace qb::gnome {

namespace {

// Through the gsettings program, as the font settings are: an in-process
// dconf backend would hold a session-bus connection whose loss ends the process.
constexpr const char* GSETTINGS = "/usr/bin/gsettings";
constexpr double GSETTINGS_LIMIT_SECONDS = 5;
constexpr const char* MEDIA_KEYS = "org.gnome.settings-daemon.plugins.media-keys";
constexpr const char* CUSTOM_KEYBINDING = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";

std::string pathOf(const Shortcut& shortcut)
{
    return std::string(CUSTOM_SHORTCUT_PATH_PREFIX) + std::string(shortcut.id) + "/";
}

// Single quotes for the shell GNOME runs the command with.
std::string quoted(std::string_view text)
{
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A value in GVariant text form, as gsettings takes it.
std::string printed(GVariant* value)
{
    g_variant_ref_sink(value);
    gchar* text = g_variant_print(value, FALSE);
    std::string out = text;
    g_free(text);
    g_variant_unref(value);
    return out;
}

std::optional<std::string> gsettings(std::vector<std::string> arguments, std::string* error)
{
    ProcessOptions options;
    options.executable = GSETTINGS;
    options.arguments = std::move(arguments);
    const auto result = runProcess(options, GSETTINGS_LIMIT_SECONDS, "gsettings");
    if (!result.launched) {
        if (error) *error = std::string(GSETTINGS) + ": " + result.launchError;
        return std::nullopt;
    }
    if (result.exitStatus != 0) {
        if (error) {
            const std::string text(trimmed(result.standardError));
            *error = text.find("No such schema") != std::string::npos
                ? "GNOME's keyboard shortcut settings are not installed (package gnome-settings-daemon-common)"
                : text.empty() ? "gsettings exit " + std::to_string(result.exitStatus.value_or(-1)) : text;
        }
        return std::nullopt;
    }
    return result.standardOutput;
}

std::optional<std::vector<std::string>> customPaths(std::string* error)
{
    auto text = gsettings({"get", MEDIA_KEYS, "custom-keybindings"}, error);
    if (!text) return std::nullopt;
    const std::string shown(trimmed(*text));
    GVariant* value = g_variant_parse(G_VARIANT_TYPE_STRING_ARRAY, shown.c_str(), nullptr, nullptr, nullptr);
    if (!value) {
        if (error) *error = "unexpected custom-keybindings value: " + shown;
        return std::nullopt;
    }
    std::vector<std::string> paths;
    const gchar** values = g_variant_get_strv(value, nullptr);
    for (const gchar** path = values; path && *path; ++path) paths.emplace_back(*path);
    g_free(values);
    g_variant_unref(value);
    return paths;
}

bool storePaths(const std::vector<std::string>& paths, std::string* error)
{
    std::vector<const gchar*> values;
    for (const auto& path : paths) values.push_back(path.c_str());
    return gsettings({"set", MEDIA_KEYS, "custom-keybindings",
                         printed(g_variant_new_strv(values.data(), gssize(values.size())))},
               error)
        .has_value();
}

} // namespace

const std::vector<Shortcut>& quillbrightShortcuts()
{
    static const std::vector<Shortcut> shortcuts = {
        {"backlight", "<Control>F10", "backlight toggle", "QuillBright: front light on/off"},
        {"brightness-down", "<Control>F1", "brightness down", "QuillBright: front light dimmer"},
        {"brightness-up", "<Control>F2", "brightness up", "QuillBright: front light brighter"},
        {"warmth-down", "<Control>F11", "warmth down", "QuillBright: front light cooler"},
        {"warmth-up", "<Control>F12", "warmth up", "QuillBright: front light warmer"},
    };
    return shortcuts;
}

std::optional<bool> shortcutsInstalled(std::string* error)
{
    const auto paths = customPaths(error);
    if (!paths) return std::nullopt;
    return std::all_of(quillbrightShortcuts().begin(), quillbrightShortcuts().end(), [&](const Shortcut& shortcut) {
        return std::find(paths->begin(), paths->end(), pathOf(shortcut)) != paths->end();
    });
}

bool installShortcuts(const std::string& program, std::string* error)
{
    auto paths = customPaths(error);
    if (!paths) return false;
    for (const auto& shortcut : quillbrightShortcuts()) {
        const std::string schema = std::string(CUSTOM_KEYBINDING) + ":" + pathOf(shortcut);
        const std::pair<const char*, std::string> keys[] = {
            {"name", std::string(shortcut.name)},
            {"command", quoted(program) + " " + std::string(shortcut.arguments)},
            {"binding", std::string(shortcut.binding)},
        };
        for (const auto& [key, value] : keys) {
            if (!gsettings({"set", schema, key, printed(g_variant_new_string(value.c_str()))}, error)) return false;
        }
        if (std::find(paths->begin(), paths->end(), pathOf(shortcut)) == paths->end()) paths->push_back(pathOf(shortcut));
    }
    if (!storePaths(*paths, error)) return false;
    // gsettings exits 0 even when nothing could keep the values (no session
    // bus for dconf, or its in-memory backend): read them back.
    if (shortcutsInstalled(error) == true) return true;
    if (error && error->empty()) {
        *error = "GNOME's settings did not keep the shortcuts (is the desktop session's D-Bus and dconf running?)";
    }
    return false;
}

bool removeShortcuts(std::string* error)
{
    auto paths = customPaths(error);
    if (!paths) return false;
    for (const auto& shortcut : quillbrightShortcuts()) {
        std::erase(*paths, pathOf(shortcut));
        const std::string schema = std::string(CUSTOM_KEYBINDING) + ":" + pathOf(shortcut);
        for (const char* key : {"name", "command", "binding"}) gsettings({"reset", schema, key}, nullptr);
    }
    return storePaths(*paths, error);
}

} // namespace qb::gnome
