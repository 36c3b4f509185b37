// Keyboard shortcuts on sway. A Wayland client cannot grab keys for the
// whole desktop, so the front-light keys the x11 backend grabs become sway
// key bindings (`bindsym --no-repeat Ctrl+F10 exec quillbright backlight
// toggle`, …), the same list as GNOME's custom shortcuts, added and removed
// over sway's control socket when the user asks (`quillbright hotkeys
// install|remove`). sway keeps them until it reloads its configuration; the
// lines for the configuration file are what bindingLines() gives.
//
// Threads: any.
#pragma once

#include <string>
#include <vector>

namespace qb::wlroots {

// "bindsym --no-repeat Ctrl+F10 \"exec '/usr/bin/quillbright' backlight toggle\"", one per shortcut.
std::vector<std::string> bindingLines(const std::string& program);

// Adds ours to the sway at `socket`, running `program`; false with `error`.
bool installSwayBindings(const std::string& socket, const std::string& program, std::string* error = nullptr);
// Removes ours; other bindings stay.
bool removeSwayBindings(const std::string& socket, std::string* error = nullptr);

} // namespace qb::wlroots
