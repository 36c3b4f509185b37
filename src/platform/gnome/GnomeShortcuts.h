// Keyboard shortcuts on GNOME Wayland. A Wayland client cannot grab keys for
// the whole desktop, so the front-light keys the x11 backend grabs become
// GNOME custom shortcuts (org.gnome.settings-daemon.plugins.media-keys) that
// run `quillbright <command>` against the running daemon. They are added only
// when the user asks (`quillbright hotkeys install`); the daemon says so once
// when it starts without them.
//
// Threads: any, one call at a time (GSettings' default backend, dconf).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb::gnome {

struct Shortcut {
    std::string_view id;        // the last part of its settings path: "quillbright-<id>"
    std::string_view binding;   // GNOME's accelerator syntax
    std::string_view arguments; // what `quillbright` is run with
    std::string_view name;      // shown in GNOME's keyboard settings
};

// Where our shortcuts' settings live: this, then "<id>/".
inline constexpr std::string_view CUSTOM_SHORTCUT_PATH_PREFIX =
    "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/quillbright-";

// Ctrl+F10 backlight, Ctrl+F1/F2 brightness, Ctrl+F11/F12 warmth.
const std::vector<Shortcut>& quillbrightShortcuts();

// Whether every shortcut of ours is set; nullopt (with `error`) when GNOME's
// media-keys settings are not installed.
std::optional<bool> shortcutsInstalled(std::string* error = nullptr);

// Adds (or updates) our shortcuts, running `program`; other custom shortcuts
// stay as they are. False with `error` when the settings cannot be written.
bool installShortcuts(const std::string& program, std::string* error = nullptr);
// Removes ours; others stay.
bool removeShortcuts(std::string* error = nullptr);

// The line the daemon logs when it starts on Wayland without them.
inline constexpr std::string_view SHORTCUTS_HINT_LINE =
    "[Platform] GNOME on Wayland allows no global key grabs: the front-light keys (Ctrl+F1/F2/F10/F11/F12) work once "
    "you run `quillbright hotkeys install`, which adds them as GNOME custom shortcuts";

} // namespace qb::gnome
