// What the benchmarks that run the real daemon share: its private
// environment and its launch.
//
//   prepareDaemonEnvironment(directory, xorg.display, "0.25");
//   const pid_t daemon = launchDaemon(QB_QUILLBRIGHT, directory / "daemon.log");
//
// A Wayland desktop started by a test fixture (SwayServer, MutterServer)
// has already pointed this process at itself (WAYLAND_DISPLAY, SWAYSOCK,
// the session bus): pass no display, and `sessionBus` where the desktop is
// reached over that bus (Mutter).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/ServerRig.h"

namespace qb::bench {

// Runtime, settings, home and sysfs directories of its own under
// `directory`, the private desktop (the X display `display`, or with none
// the Wayland display already in the environment; found as a user's is, no
// platform named), the daemon's pauses and polls scaled by `timingScale`,
// never the machine's buses (the session bus only when `sessionBus` says it
// is the private desktop's), and the setup completed (a plugged tablet is
// mirrored at once).
inline void prepareDaemonEnvironment(const std::filesystem::path& directory, const std::string& display,
    const std::string& timingScale, bool sessionBus = false)
{
    const auto set = [](const char* name, const std::filesystem::path& value) { ::setenv(name, value.c_str(), 1); };
    set("QUILLBRIGHT_RUNTIME_DIR", directory / "run");
    set("XDG_CONFIG_HOME", directory / "config");
    set("HOME", directory / "home");
    set("QUILLBRIGHT_SYSFS_ROOT", directory / "sys");
    if (!display.empty()) {
        set("DISPLAY", display);
        ::unsetenv("WAYLAND_DISPLAY");
    } else {
        ::unsetenv("DISPLAY");
    }
    ::setenv("QUILLBRIGHT_TEST_TIMING_SCALE", timingScale.c_str(), 1);
    // Never the machine's buses: no logind, no notifications on a real desktop.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
    if (!sessionBus) ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/session_bus_socket", 1);
    ::unsetenv("QUILLBRIGHT_PLATFORM");
    std::filesystem::create_directories(directory / "home");
    std::filesystem::create_directories(directory / "sys");
    std::filesystem::create_directories(directory / "config" / "quillbright");
    std::ofstream(directory / "config" / "quillbright" / "settings.json") << R"({"setupCompleted": true})";
}

// `quillbright start`, its output into `log`, killed with this process.
inline pid_t launchDaemon(const std::string& quillbright, const std::filesystem::path& log)
{
    const pid_t self = ::getpid();
    const pid_t daemon = ::fork();
    if (daemon == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::dup2(null, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        test::tieToTest(self);
        ::execl(quillbright.c_str(), quillbright.c_str(), "start", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return daemon;
}

} // namespace qb::bench
