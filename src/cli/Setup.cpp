#include "cli/Setup.h"

#include "cli/Doctor.h"
#include "cli/UserService.h"
#include "core/MirrorEngine.h"
#include "platform/Platform.h"
#include "platform/gnome/GnomeShortcuts.h"
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

// A wlroots compositor without sway's control socket: no bindings can be added over it.
bool wlrootsWithoutSway()
{
    const auto config = PlatformConfig::fromEnvironment();
    if (!config.requested.empty() && config.requested != "wlroots") return false;
    return config.swaySocket.empty() && wlrootsSession(config);
}

// KDE Plasma is the session the daemon will run on.
bool kdeDesktopSession()
{
    const auto config = PlatformConfig::fromEnvironment();
    if (!config.requested.empty()) return config.requested == "kde";
    return kdeSession(config) && config.swaySocket.empty();
}

// "Ctrl+F10  /usr/bin/quillbright backlight toggle", one shortcut a line.
void printKeyCommands(std::ostream& out)
{
    for (const auto& shortcut : gnome::quillbrightShortcuts()) {
        std::string key(shortcut.binding);
        if (key.starts_with("<Control>")) key = "Ctrl+" + key.substr(9);
        out << key << "  " << thisProgram() << " " << shortcut.arguments << "\n";
    }
}

// Where QuillBright cannot add shortcuts itself (KDE Plasma, a wlroots
// compositor without sway's control socket) they are the user's to add:
// it says what to add and where.
int commandUserHotkeys(const std::string& action, std::string_view where, std::string_view howToAdd,
    std::ostream& out)
{
    if (action.empty() || action == "install") {
        out << "On " << where << " QuillBright adds no shortcuts itself. " << howToAdd << ":\n";
        printKeyCommands(out);
        return 0;
    }
    out << "QuillBright added no shortcuts on " << where << "; remove the ones you added there.\n";
    return 0;
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
    // sway lists no bindings made at run time: what `install` binds.
    out << "QuillBright's sway key bindings (`quillbright hotkeys install` binds them in the running sway):\n";
    for (const auto& line : wlroots::bindingLines(thisProgram())) out << line << "\n";
    return 0;
}

} // namespace

int commandVersion(std::ostream& out)
{
    out << "quillbright " << MirrorEngine::appVersion << "\n";
    return 0;
}

int commandDoctor(const std::string& program, std::ostream& out)
{
    DoctorSetup setup = DoctorSetup::fromEnvironment();
    setup.program = program;
    return commandDoctor(setup, out);
}

int commandInstallService(const std::vector<std::string>& args, std::ostream& out)
{
    ServiceSetup setup = ServiceSetup::fromEnvironment();
    setup.force = !args.empty() && args.front() == "--force";
    return installService(setup, out);
}

int commandRemoveService(std::ostream& out) { return removeService(ServiceSetup::fromEnvironment(), out); }

int commandHotkeys(const std::vector<std::string>& args, std::ostream& out)
{
    const std::string action = args.empty() ? "" : args.front();
    if (const auto socket = swaySession(); !socket.empty()) return commandSwayHotkeys(socket, action, out);
    if (wlrootsWithoutSway()) {
        return commandUserHotkeys(action, "this wlroots compositor (no sway control socket, $SWAYSOCK)",
            "Bind each of these keys to its command in the compositor's configuration", out);
    }
    if (kdeDesktopSession()) {
        return commandUserHotkeys(action, "KDE Plasma",
            "Add each of these in System Settings > Shortcuts > Custom Shortcuts (Edit > New > Global Shortcut > "
            "Command/URL)",
            out);
    }
    std::string error;
    if (action == "install" && daemonGrabsKeys()) {
        // GNOME's settings would only duplicate the grab (and touching them
        // starts a session bus where there is none).
        out << "Nothing to install: on X11 the QuillBright daemon grabs the front-light keys "
               "(Ctrl+F1/F2/F10/F11/F12) itself while it runs.\n";
        return 0;
    }
    if (action == "install") {
        if (!gnome::installShortcuts(thisProgram(), &error)) {
            out << "ERROR: " << error << "\n";
            return 1;
        }
        for (const auto& shortcut : gnome::quillbrightShortcuts()) {
            out << shortcut.binding << "  quillbright " << shortcut.arguments << "\n";
        }
        out << "Added as GNOME custom shortcuts (Settings > Keyboard > Custom Shortcuts).\n";
        return 0;
    }
    if (action == "remove") {
        if (!gnome::removeShortcuts(&error)) {
            out << "ERROR: " << error << "\n";
            return 1;
        }
        out << "QuillBright's GNOME custom shortcuts removed.\n";
        return 0;
    }
    if (daemonGrabsKeys()) {
        out << "On X11 the QuillBright daemon grabs these keys itself while it runs:\n";
        printKeyCommands(out);
        return 0;
    }
    const auto installed = gnome::shortcutsInstalled(&error);
    out << (!installed ? "GNOME's shortcut settings cannot be read (" + error + "); "
                : *installed ? "Installed as GNOME custom shortcuts; "
                             : "Not installed (`quillbright hotkeys install` adds them as GNOME custom shortcuts); ")
        << "the keys and their commands:\n";
    printKeyCommands(out);
    return 0;
}

} // namespace qb::cli
