// A private headless GNOME compositor for the wayland backend's tests:
// dbus-run-session runs a script that starts PipeWire in a private
// XDG_RUNTIME_DIR, awaits its socket, starts WirePlumber, then
// `mutter --headless --wayland --no-x11 --virtual-monitor 1280x800`, again
// after killMutter() once resumeMutter() lets it (a compositor restart). This
// process then talks to that session bus, that PipeWire and that Wayland
// display (the environment variables are set here). Mutter may hang at exit
// after remote-desktop use, so it gets SIGTERM, then SIGKILL after 3 s.
// Where mutter is not installed, `skipReason` says so and tests skip.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gio/gio.h>

#include "support/TestSupport.h"

namespace qb::test {

// A private session for a compositor that streams through PipeWire:
// dbus-run-session runs a script that starts PipeWire in a private
// XDG_RUNTIME_DIR (`directory`), awaits its socket, starts WirePlumber, then
// `compositor` (its pid in compositor.pid), again after a kill while the
// file "restart" exists and once "hold" is gone. The bus address is written
// to "bus". Returns the session's pid (its own process group).
inline pid_t startPrivateSession(const std::filesystem::path& directory, const std::string& compositor)
{
    const std::string script = R"(
echo "$DBUS_SESSION_BUS_ADDRESS" > "$QB_RIG/bus.tmp" && mv "$QB_RIG/bus.tmp" "$QB_RIG/bus"
pipewire >"$QB_RIG/pipewire.log" 2>&1 &
PW=$!
i=0
while [ ! -S "$XDG_RUNTIME_DIR/pipewire-0" ] && [ $i -lt 200 ]; do sleep 0.02; i=$((i+1)); done
wireplumber >"$QB_RIG/wireplumber.log" 2>&1 &
WP=$!
while :; do
  )" + compositor + R"( >>"$QB_RIG/compositor.log" 2>&1 &
  echo $! > "$QB_RIG/compositor.pid"
  wait $!
  [ -e "$QB_RIG/restart" ] || break
  rm -f "$QB_RIG/restart"
  while [ -e "$QB_RIG/hold" ]; do sleep 0.02; done
done
kill $WP $PW 2>/dev/null
wait
)";
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        setenv("QB_RIG", directory.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", directory.c_str(), 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        execl("/usr/bin/dbus-run-session", "dbus-run-session", "--", "/bin/sh", "-c", script.c_str(),
            static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    return pid;
}

// A process that exited but is not reaped yet (its parent, the script, reaps it).
inline bool exitedZombie(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

// The compositor gets SIGTERM, then SIGKILL after 3 s (Mutter may hang at
// exit after remote-desktop use); the script then stops PipeWire and
// WirePlumber, and dbus-run-session its bus.
inline void stopPrivateSession(pid_t pid, const std::filesystem::path& directory)
{
    if (pid <= 0) return;
    std::error_code ignored;
    std::filesystem::remove(directory / "restart", ignored);
    std::filesystem::remove(directory / "hold", ignored);
    pid_t compositor = 0;
    std::ifstream(directory / "compositor.pid") >> compositor;
    if (compositor > 0) {
        kill(compositor, SIGTERM);
        eventually([&] { return kill(compositor, 0) != 0 || exitedZombie(compositor); }, std::chrono::seconds(3),
            std::chrono::milliseconds(10));
        kill(compositor, SIGKILL);
    }
    int status = 0;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) != 0; }, std::chrono::seconds(5),
            std::chrono::milliseconds(10))) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

class MutterServer {
public:
    static constexpr const char* WAYLAND_NAME = "qb-wayland-test";

    MutterServer()
    {
        namespace fs = std::filesystem;
        for (const char* name : SET_HERE) {
            if (const char* value = getenv(name)) saved_.emplace_back(name, value);
        }
        if (!fs::exists("/usr/bin/mutter")) {
            skipReason = "mutter is not installed (packages mutter, pipewire, wireplumber)";
            return;
        }
        char pattern[] = "/tmp/qb-mutter-XXXXXX";
        if (!mkdtemp(pattern)) {
            failure = "no temporary directory";
            return;
        }
        directory = pattern;
        ::chmod(pattern, 0700);
        pid_ = startPrivateSession(directory, "mutter --headless --wayland --no-x11 --wayland-display="
                + std::string(WAYLAND_NAME) + " --virtual-monitor 1280x800");
        // The bus first, then Mutter's remote-desktop service on it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::string address;
        eventually([&] { return bool(std::ifstream(directory / "bus") >> address); }, std::chrono::seconds(20),
            std::chrono::milliseconds(10));
        if (address.empty()) {
            failure = "dbus-run-session did not start";
            return;
        }
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", pattern, 1);
        setenv("WAYLAND_DISPLAY", WAYLAND_NAME, 1);
        if (!remoteDesktopUp(deadline)) failure = "mutter did not come up: " + log("compositor.log");
    }

    // Mutter ends as in a crash (SIGKILL) while its bus, PipeWire and
    // WirePlumber stay; it is started again by resumeMutter().
    void killMutter()
    {
        std::ofstream(directory / "hold").close();
        std::ofstream(directory / "restart").close();
        pid_t mutter = 0;
        std::ifstream(directory / "compositor.pid") >> mutter;
        if (mutter > 0) kill(mutter, SIGKILL);
    }
    // Mutter again on the same bus; false when its services did not come back.
    bool resumeMutter()
    {
        std::filesystem::remove(directory / "hold");
        return remoteDesktopUp(std::chrono::steady_clock::now() + std::chrono::seconds(20));
    }

    // Whether Mutter's remote-desktop service is on the bus by the deadline.
    bool remoteDesktopUp(std::chrono::steady_clock::time_point deadline) const
    {
        const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
        if (!address) return false;
        GDBusConnection* bus = g_dbus_connection_new_for_address_sync(address,
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
                | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        bool up = false;
        while (bus && !up && std::chrono::steady_clock::now() < deadline) {
            GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", "org.gnome.Mutter.RemoteDesktop"),
                G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
            if (reply) {
                gboolean has = FALSE;
                g_variant_get(reply, "(b)", &has);
                g_variant_unref(reply);
                up = has;
            }
            if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (bus) {
            g_dbus_connection_close_sync(bus, nullptr, nullptr);
            g_object_unref(bus);
        }
        return up;
    }

    ~MutterServer()
    {
        stop();
        std::error_code ignored;
        if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
        for (const char* name : SET_HERE) unsetenv(name);
        for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    }

    MutterServer(const MutterServer&) = delete;
    MutterServer& operator=(const MutterServer&) = delete;

    bool running() const { return skipReason.empty() && failure.empty(); }

    std::string log(const std::string& name) const { return readFile(directory / name); }

    // The current mode of every monitor Mutter's display configuration
    // lists ("1280x800", ...), asked the way any client would.
    std::multiset<std::string> monitorSizes() const
    {
        const std::string state = commandOutput("gdbus call --session --dest org.gnome.Mutter.DisplayConfig "
            "--object-path /org/gnome/Mutter/DisplayConfig --method org.gnome.Mutter.DisplayConfig.GetCurrentState 2>&1");
        static const std::regex current(R"((\d+), (\d+), [\d.]+, [\d.]+, \[[^\]]*\], \{[^}]*'is-current': <true>)");
        std::multiset<std::string> sizes;
        for (std::sregex_iterator it(state.begin(), state.end(), current), end; it != end; ++it) {
            sizes.insert((*it)[1].str() + "x" + (*it)[2].str());
        }
        return sizes;
    }

    std::string skipReason; // mutter missing: skip
    std::string failure;    // the rig did not come up: fail
    std::filesystem::path directory;

private:
    void stop()
    {
        stopPrivateSession(pid_, directory);
        pid_ = -1;
    }

    // The environment this process gets while the server lives.
    static constexpr const char* SET_HERE[] = {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "WAYLAND_DISPLAY"};
    std::vector<std::pair<std::string, std::string>> saved_;
    pid_t pid_ = -1;
};

} // namespace qb::test
