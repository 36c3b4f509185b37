#include "cli/Setup.h"

#include "cli/Doctor.h"
#include "cli/UserService.h"
#include "core/MirrorEngine.h"
#include "platform/Platform.h"
#include "platform/wayland/GnomeShortcuts.h"
#include "platform/wlroots/SwayBindings.h"

#include <unistd.h>

#include <climits>

namespace qb::cli {

namespace {

// The program the shortcuts run: this one, by its absolute path.
std::string thisProgram()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, std::size_t(length)) : std::string("quillbright");
}

// Whether the daemon will run on X11, where it grabs the front-light keys
// itself; decided from the session's names alone, as the daemon decides.
bool daemonGrabsKeys()
{
    const auto config = PlatformConfig::fromEnvironment();
    if (!config.requested.empty()) return config.requested == "x11";
    return config.waylandDisplay.empty() && !config.display.empty();
}

// The sway's control socket when the daemon will run on sway; empty otherwise.
std::string swaySession()
{
    const auto config = PlatformConfig::fromEnvironment();
    if (!config.requested.empty() && config.requested != "wlroots") return "";
    return config.waylandDisplay.empty() ? "" : config.swaySocket;
}

// KDE Plasma is the session the daemon will run on.
bool kdeDesktopSession()
{
    const auto config = PlatformConfig::fromEnvironment();
    if (!config.requested.empty()) return config.requested == "kde";
    return kdeSession(config) && config.swaySocket.empty();
}

// On KDE Plasma the shortcuts are the user's to add: QuillBright writes none
// of KDE's settings, and says what to add.
int commandKdeHotkeys(const std::string& action, std::ostream& out)
{
    if (action == "install") {
        out << "On KDE Plasma QuillBright adds no shortcuts itself. Add each of these in System Settings > "
               "Shortcuts > Custom Shortcuts (Edit > New > Global Shortcut > Command/URL):\n";
        for (const auto& shortcut : wayland::quillbrightShortcuts()) {
            std::string key(shortcut.binding);
            if (key.starts_with("<Control>")) key = "Ctrl+" + key.substr(9);
            out << key << "  " << thisProgram() << " " << shortcut.arguments << "\n";
        }
        return 0;
    }
    if (action == "remove") {
        out << "QuillBright added no KDE shortcuts; remove the ones you added in System Settings > Shortcuts > "
               "Custom Shortcuts.\n";
        return 0;
    }
    out << "ERROR: hotkeys argument must be install or remove\n";
    return 1;
}

int commandSwayHotkeys(const std::string& socket, const std::string& action, std::ostream& out)
{
    std::string error;
    if (action == "install") {
        if (!wlroots::installSwayBindings(socket, thisProgram(), &error)) {
            out << "ERROR: " << error << "\n";
            return 1;
        }
        out << "Added to the running sway. sway forgets them when it reloads its configuration: to keep them, add "
               "these lines to ~/.config/sway/config:\n";
        for (const auto& line : wlroots::bindingLines(thisProgram())) out << line << "\n";
        return 0;
    }
    if (action == "remove") {
        if (!wlroots::removeSwayBindings(socket, &error)) {
            out << "ERROR: " << error << "\n";
            return 1;
        }
        out << "QuillBright's sway key bindings removed.\n";
        return 0;
    }
    out << "ERROR: hotkeys argument must be install or remove\n";
    return 1;
}

int commandHotkeys(const std::vector<std::string>& args, std::ostream& out)
{
    const std::string action = args.empty() ? "" : args.front();
    if (const auto socket = swaySession(); !socket.empty()) return commandSwayHotkeys(socket, action, out);
    if (kdeDesktopSession()) return commandKdeHotkeys(action, out);
    std::string error;
    if (action == "install" && daemonGrabsKeys()) {
        // GNOME's settings would only duplicate the grab (and touching them
        // starts a session bus where there is none).
        out << "Nothing to install: on X11 the QuillBright daemon grabs the front-light keys "
               "(Ctrl+F1/F2/F10/F11/F12) itself while it runs.\n";
        return 0;
    }
    if (action == "install") {
        if (!wayland::installShortcuts(thisProgram(), &error)) {
            out << "ERROR: " << error << "\n";
            return 1;
        }
        for (const auto& shortcut : wayland::quillbrightShortcuts()) {
            out << shortcut.binding << "  quillbright " << shortcut.arguments << "\n";
        }
        out << "Added as GNOME custom shortcuts (Settings > Keyboard > Custom Shortcuts).\n";
        return 0;
    }
    if (action == "remove") {
        if (!wayland::removeShortcuts(&error)) {
            out << "ERROR: " << error << "\n";
            return 1;
        }
        out << "QuillBright's GNOME custom shortcuts removed.\n";
        return 0;
    }
    out << "ERROR: hotkeys argument must be install or remove\n";
    return 1;
}

} // namespace

std::optional<int> runSetupCommand(const std::string& command, const std::vector<std::string>& args, std::ostream& out)
{
    if (command == "--version" || command == "version") {
        out << "quillbright " << MirrorEngine::appVersion << "\n";
        return 0;
    }
    if (command == "doctor") return commandDoctor(DoctorSetup::fromEnvironment(), out);
    if (command == "install-service") return installService(ServiceSetup::fromEnvironment(), out);
    if (command == "remove-service") return removeService(ServiceSetup::fromEnvironment(), out);
    if (command == "hotkeys") return commandHotkeys(args, out);
    return std::nullopt;
}

} // namespace qb::cli
