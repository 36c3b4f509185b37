// A private headless GNOME compositor for the wayland backend's tests, in
// a PrivateSession: dbus-run-session runs a script that starts PipeWire in a
// private XDG_RUNTIME_DIR, awaits its socket, starts WirePlumber, then the
// compositor (here `mutter --headless --wayland --no-x11 --virtual-monitor
// 1280x800`), again after killMutter() once resumeMutter() lets it (a
// compositor restart). This process then talks to that session bus, that
// PipeWire and that Wayland display (the environment variables are set
// here). A compositor may hang at exit after remote-desktop use, so it gets
// SIGTERM, then SIGKILL after 3 s. Where mutter is not installed,
// `skipReason` says so and tests skip.
#pragma once

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gio/gio.h>

#include "platform/ServerRig.h"

namespace qb::test {

// The private session rig shared by the compositor test servers.
class PrivateSession : public ServerRig {
protected:
    // Starts the session with `compositor` (a shell command) in `directory`;
    // the bus address is awaited. False (and `failure`) when it did not start.
    bool startSession(const std::string& compositor)
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
        const pid_t test = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            setenv("QB_RIG", directory.c_str(), 1);
            setenv("XDG_RUNTIME_DIR", directory.c_str(), 1);
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
            // The bus, PipeWire and the compositor die with the test as one
            // group: the outer shell, told by SIGTERM that the test ended, kills it.
            tieToTest(test, -1, SIGTERM);
            execl("/bin/sh", "sh", "-c", "trap 'kill -9 0' TERM; dbus-run-session -- /bin/sh -c \"$0\" & wait $!",
                script.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(pid_, pid_);
        std::string address;
        eventually([&] { return bool(std::ifstream(directory / "bus") >> address); }, std::chrono::seconds(20),
            std::chrono::milliseconds(10));
        if (address.empty()) {
            failure = "dbus-run-session did not start";
            return false;
        }
        exportVariable("DBUS_SESSION_BUS_ADDRESS", address);
        exportVariable("XDG_RUNTIME_DIR", directory);
        return true;
    }

    pid_t compositorPid() const
    {
        pid_t compositor = 0;
        std::ifstream(directory / "compositor.pid") >> compositor;
        return compositor;
    }

    void stopSession()
    {
        if (pid_ <= 0) return;
        std::error_code ignored;
        std::filesystem::remove(directory / "restart", ignored);
        std::filesystem::remove(directory / "hold", ignored);
        const pid_t compositor = compositorPid();
        if (compositor > 0) {
            kill(compositor, SIGTERM);
            eventually([&] { return kill(compositor, 0) != 0 || exitedZombie(compositor); }, std::chrono::seconds(3),
                std::chrono::milliseconds(10));
            kill(compositor, SIGKILL);
        }
        // The script stops PipeWire and WirePlumber, then dbus-run-session its bus.
        reap(std::chrono::seconds(5));
    }

private:
    // A process that exited but is not reaped yet (its parent, the script, reaps it).
    static bool exitedZombie(pid_t pid)
    {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        const auto close = text.rfind(')');
        return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
    }
};

class MutterServer : public PrivateSession {
public:
    static constexpr const char* WAYLAND_NAME = "qb-wayland-test";

    // The monitors of the user's desk ("WxH" each).
    explicit MutterServer(const std::vector<std::string>& monitors = {"1280x800"})
    {
        if (!std::filesystem::exists("/usr/bin/mutter")) {
            skipReason = "mutter is not installed (packages mutter, pipewire, wireplumber)";
            return;
        }
        if (!makeDirectory("mutter")) return;
        std::string command = "mutter --headless --wayland --no-x11 --wayland-display=" + std::string(WAYLAND_NAME);
        for (const auto& size : monitors) command += " --virtual-monitor " + size;
        if (!startSession(command)) return;
        // Mutter's remote-desktop service on the bus.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        exportVariable("WAYLAND_DISPLAY", WAYLAND_NAME);
        if (!remoteDesktopUp(deadline)) failure = "mutter did not come up: " + log("compositor.log");
    }

    // Mutter ends as in a crash (SIGKILL) while its bus, PipeWire and
    // WirePlumber stay; it is started again by resumeMutter().
    void killMutter()
    {
        std::ofstream(directory / "hold").close();
        std::ofstream(directory / "restart").close();
        if (const pid_t mutter = compositorPid(); mutter > 0) kill(mutter, SIGKILL);
    }
    // Should Mutter end from now on (a crash of its own), it is started again.
    void restartAfterCrash() { std::ofstream(directory / "restart").close(); }
    // Mutter again on the same bus; false when its services did not come back.
    bool resumeMutter()
    {
        std::filesystem::remove(directory / "hold");
        return remoteDesktopUp(std::chrono::steady_clock::now() + std::chrono::seconds(20));
    }

    // Whether Mutter's remote-desktop service is on the bus by the deadline.
    bool remoteDesktopUp(std::chrono::steady_clock::time_point deadline) const
    {
        GDBusConnection* bus = sessionBus();
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
        if (bus) closeBus(bus);
        return up;
    }

    ~MutterServer() { stop(); }

    bool running() const { return skipReason.empty() && failure.empty(); }

    std::string log(const std::string& name) const { return readFile(directory / name); }

    // The current mode of every monitor Mutter's display configuration
    // lists ("1280x800", ...), asked the way any client would.
    std::multiset<std::string> monitorSizes() const
    {
        std::multiset<std::string> sizes;
        withDisplayConfig([&](const State& state, GDBusConnection*) {
            for (const auto& [connector, mode] : state.modes) sizes.insert(mode.second);
        });
        return sizes;
    }

    // The desktop's arrangement as a display-settings client reads it
    // (DisplayConfig GetCurrentState): each lit monitor's connector with
    // "WxH+X+Y", " primary" added on the primary's.
    std::map<std::string, std::string> layout() const
    {
        std::map<std::string, std::string> placed;
        withDisplayConfig([&](const State& state, GDBusConnection*) {
            for (const auto& [connector, where] : state.lit) placed[connector] = state.modes.at(connector).second + where;
        });
        return placed;
    }

    // The size of every lit monitor in the points applications lay their
    // windows out in ("WxH": its mode divided by its logical monitor's scale).
    std::multiset<std::string> layoutSizes() const
    {
        std::multiset<std::string> sizes;
        withDisplayConfig([&](const State& state, GDBusConnection*) {
            for (const auto& [connector, where] : state.lit) {
                int width = 0, height = 0;
                std::sscanf(state.modes.at(connector).second.c_str(), "%dx%d", &width, &height);
                const double scale = state.scales.at(connector);
                sizes.insert(fmt::format("{}x{}", std::lround(width / scale), std::lround(height / scale)));
            }
        });
        return sizes;
    }

    struct Place {
        std::string connector;
        int x = 0;
        int y = 0;
        bool primary = false;
    };
    // What the display settings do when the user applies a layout
    // (ApplyMonitorsConfig, temporary): each listed monitor at its current
    // mode where given, the others turned off. Mutter's refusal, or "".
    std::string applyLayout(const std::vector<Place>& places) const
    {
        std::string refusal = "no display configuration";
        withDisplayConfig([&](const State& state, GDBusConnection* bus) {
            GVariantBuilder logical;
            g_variant_builder_init(&logical, G_VARIANT_TYPE("a(iiduba(ssa{sv}))"));
            for (const Place& place : places) {
                const auto it = state.modes.find(place.connector);
                if (it == state.modes.end()) continue;
                GVariantBuilder monitors;
                g_variant_builder_init(&monitors, G_VARIANT_TYPE("a(ssa{sv})"));
                g_variant_builder_add(&monitors, "(ss@a{sv})", place.connector.c_str(), it->second.first.c_str(),
                    g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0));
                g_variant_builder_add(&logical, "(iiduba(ssa{sv}))", place.x, place.y, 1.0, 0u,
                    gboolean(place.primary), &monitors);
            }
            GError* error = nullptr;
            GVariant* reply = g_dbus_connection_call_sync(bus, "org.gnome.Mutter.DisplayConfig",
                "/org/gnome/Mutter/DisplayConfig", "org.gnome.Mutter.DisplayConfig", "ApplyMonitorsConfig",
                g_variant_new("(uua(iiduba(ssa{sv}))@a{sv})", state.serial, 1u, &logical,
                    g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
                nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
            refusal = error ? error->message : "";
            g_clear_error(&error);
            if (reply) g_variant_unref(reply);
        });
        return refusal;
    }

private:
    struct State {
        std::uint32_t serial = 0;
        std::map<std::string, std::pair<std::string, std::string>> modes; // connector: current mode's id, "WxH"
        std::map<std::string, std::string> lit;                           // connector: "+X+Y[ primary]"
        std::map<std::string, double> scales;                             // connector: its logical monitor's
    };

    // Calls `use` with the display configuration's current state and a connection.
    void withDisplayConfig(const std::function<void(const State&, GDBusConnection*)>& use) const
    {
        GDBusConnection* bus = sessionBus();
        if (!bus) return;
        GVariant* reply = g_dbus_connection_call_sync(bus, "org.gnome.Mutter.DisplayConfig",
            "/org/gnome/Mutter/DisplayConfig", "org.gnome.Mutter.DisplayConfig", "GetCurrentState", nullptr,
            G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})"), G_DBUS_CALL_FLAGS_NONE,
            10000, nullptr, nullptr);
        if (reply) {
            State state;
            GVariantIter* monitors = nullptr;
            GVariantIter* logical = nullptr;
            g_variant_get(reply, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})", &state.serial,
                &monitors, &logical, nullptr);
            const gchar* connector = nullptr;
            GVariantIter* modes = nullptr;
            while (g_variant_iter_next(monitors, "((&s&s&s&s)a(siiddada{sv})a{sv})", &connector, nullptr, nullptr,
                nullptr, &modes, nullptr)) {
                const gchar* id = nullptr;
                gint32 width = 0;
                gint32 height = 0;
                GVariant* properties = nullptr;
                while (g_variant_iter_next(modes, "(&siiddad@a{sv})", &id, &width, &height, nullptr, nullptr,
                    nullptr, &properties)) {
                    gboolean current = FALSE;
                    g_variant_lookup(properties, "is-current", "b", &current);
                    if (current) state.modes[connector] = {id, fmt::format("{}x{}", width, height)};
                    g_variant_unref(properties);
                }
                g_variant_iter_free(modes);
            }
            gint32 x = 0;
            gint32 y = 0;
            double scale = 1;
            gboolean primary = FALSE;
            GVariantIter* members = nullptr;
            while (g_variant_iter_next(logical, "(iiduba(ssss)a{sv})", &x, &y, &scale, nullptr, &primary, &members,
                nullptr)) {
                while (g_variant_iter_next(members, "(&s&s&s&s)", &connector, nullptr, nullptr, nullptr)) {
                    state.lit[connector] = fmt::format("+{}+{}{}", x, y, primary ? " primary" : "");
                    state.scales[connector] = scale;
                }
                g_variant_iter_free(members);
            }
            g_variant_iter_free(monitors);
            g_variant_iter_free(logical);
            g_variant_unref(reply);
            use(state, bus);
        }
        closeBus(bus);
    }

    // A connection of its own to the session's bus; null without one.
    static GDBusConnection* sessionBus()
    {
        const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
        return address ? g_dbus_connection_new_for_address_sync(address,
                             GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
                                 | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                             nullptr, nullptr, nullptr)
                       : nullptr;
    }
    static void closeBus(GDBusConnection* bus)
    {
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    }

    void stop() { stopSession(); }
};

} // namespace qb::test
