// A private headless sway for the wlroots backend's tests: sway with the
// headless backend and the pixman renderer, one 1280x800 output at 0,0, its
// runtime directory (Wayland and control sockets) in a temporary directory.
// sway will not run as root: a root test runs it as the unprivileged user
// qb-sway-test, created here when missing. While the object lives, this
// process has WAYLAND_DISPLAY, SWAYSOCK and XDG_RUNTIME_DIR pointing at it.
// Where sway is not installed, `skipReason` says so and tests skip.
#pragma once

#include <grp.h>
#include <pwd.h>

#include <fstream>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/ServerRig.h"

namespace qb::test {

class SwayServer : public ServerRig {
public:
    static constexpr const char* USER = "qb-sway-test";

    SwayServer()
    {
        namespace fs = std::filesystem;
        if (!fs::exists("/usr/bin/sway")) {
            skipReason = "sway is not installed (package sway)";
            return;
        }
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (uid == 0) {
            if (!getpwnam(USER)) {
                // Tests start sway side by side: one of them adds the user.
                std::system((std::string("flock /tmp/qb-sway-useradd.lock sh -c 'getent passwd ") + USER
                    + " >/dev/null || useradd --system --no-create-home --shell /usr/sbin/nologin " + USER
                    + "' >/dev/null 2>&1").c_str());
            }
            const passwd* user = getpwnam(USER);
            if (!user) {
                failure = std::string("cannot create the user ") + USER + " that sway runs as";
                return;
            }
            uid = user->pw_uid;
            gid = user->pw_gid;
        }
        if (!makeDirectory("sway")) return;
        std::ofstream(directory / "config") << "output HEADLESS-1 mode 1280x800 pos 0 0\n"
                                               "default_border none\n";
        for (const auto& path : {directory, directory / "config"}) {
            [[maybe_unused]] int ignored = ::chown(path.c_str(), uid, gid);
        }
        const std::string config = (directory / "config").string();
        const std::string log = (directory / "sway.log").string();
        const pid_t test = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            if (getuid() != uid && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
            tieToTest(test); // after the change of user, which would undo it
            const std::string runtime = "XDG_RUNTIME_DIR=" + directory.string();
            const char* environment[] = {runtime.c_str(), "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
                "WLR_RENDERER=pixman", "PATH=/usr/bin:/bin", "HOME=/nonexistent", nullptr};
            std::FILE* out = std::freopen(log.c_str(), "w", stderr);
            (void)out;
            dup2(STDERR_FILENO, STDOUT_FILENO);
            execle("/usr/bin/sway", "sway", "-c", config.c_str(), static_cast<char*>(nullptr),
                const_cast<char* const*>(environment));
            _exit(127);
        }
        setpgid(pid_, pid_);
        // The control socket answers once the outputs are up.
        std::string socket;
        std::string wayland;
        const bool up = eventually(
            [&] {
                for (const auto& entry : fs::directory_iterator(directory)) {
                    const std::string name = entry.path().filename().string();
                    if (name.starts_with("sway-ipc.")) socket = entry.path().string();
                    if (name.starts_with("wayland-") && !name.ends_with(".lock")) wayland = entry.path().string();
                }
                if (socket.empty() || wayland.empty()) return false;
                swaySocket = socket;
                return monitorSizes() == std::multiset<std::string>{"1280x800"};
            },
            std::chrono::seconds(20), std::chrono::milliseconds(20));
        if (!up) {
            failure = "sway did not come up: " + readFile(log);
            return;
        }
        waylandDisplay = wayland;
        exportVariable("WAYLAND_DISPLAY", wayland);
        exportVariable("SWAYSOCK", socket);
        exportVariable("XDG_RUNTIME_DIR", directory);
    }

    ~SwayServer()
    {
        if (pid_ > 0) kill(pid_, SIGTERM);
        reap(std::chrono::seconds(5));
    }

    // sway still runs (it aborts on some malformed input rather than refuse it).
    bool alive() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    std::string log() const { return readFile(directory / "sway.log"); }

    // What `swaymsg` says.
    std::string message(const std::string& arguments) const
    {
        return commandOutput("SWAYSOCK=" + swaySocket + " swaymsg " + arguments + " 2>&1");
    }

    // The outputs the user's pointer can reach: the active ones joined to
    // HEADLESS-1 edge to edge, as "name WxH+x+y" (pixels, then the layout
    // position). An output parked far off the layout is not among them.
    std::vector<std::string> activeOutputs() const
    {
        struct Rect {
            std::string text;
            int x, y, w, h;
        };
        std::vector<Rect> active;
        auto json = nlohmann::json::parse(message("-r -t get_outputs"), nullptr, false);
        if (!json.is_array()) return {};
        for (const auto& output : json) {
            if (!output.value("active", false)) continue;
            const auto& mode = output["current_mode"];
            const auto& rect = output["rect"];
            const int x = rect["x"].get<int>(), y = rect["y"].get<int>();
            active.push_back({output["name"].get<std::string>() + " " + std::to_string(mode["width"].get<int>())
                    + "x" + std::to_string(mode["height"].get<int>()) + "+" + std::to_string(x) + "+"
                    + std::to_string(y),
                x, y, rect["width"].get<int>(), rect["height"].get<int>()});
        }
        std::vector<bool> reached(active.size(), false);
        for (std::size_t i = 0; i < active.size(); ++i) reached[i] = active[i].text.starts_with("HEADLESS-1 ");
        for (bool grew = true; grew;) {
            grew = false;
            for (std::size_t i = 0; i < active.size(); ++i) {
                for (std::size_t j = 0; j < active.size(); ++j) {
                    const Rect &a = active[i], &b = active[j];
                    const bool touching = a.x <= b.x + b.w && b.x <= a.x + a.w && a.y <= b.y + b.h && b.y <= a.y + a.h;
                    if (reached[i] && !reached[j] && touching) reached[j] = grew = true;
                }
            }
        }
        std::vector<std::string> found;
        for (std::size_t i = 0; i < active.size(); ++i) {
            if (reached[i]) found.push_back(active[i].text);
        }
        return found;
    }

    // The sizes in the layout of the outputs the pointer can reach ("WxH",
    // logical pixels: a scaled output is smaller than its mode).
    std::multiset<std::string> layoutSizes() const
    {
        std::multiset<std::string> sizes;
        std::set<std::string> reached;
        for (const auto& output : activeOutputs()) reached.insert(output.substr(0, output.find(' ')));
        auto json = nlohmann::json::parse(message("-r -t get_outputs"), nullptr, false);
        if (!json.is_array()) return sizes;
        for (const auto& output : json) {
            if (!reached.contains(output.value("name", ""))) continue;
            sizes.insert(std::to_string(output["rect"]["width"].get<int>()) + "x"
                + std::to_string(output["rect"]["height"].get<int>()));
        }
        return sizes;
    }

    std::multiset<std::string> monitorSizes() const
    {
        std::multiset<std::string> sizes;
        for (const auto& output : activeOutputs()) {
            sizes.insert(output.substr(output.find(' ') + 1, output.find('+') - output.find(' ') - 1));
        }
        return sizes;
    }

    std::string swaySocket;
    std::string waylandDisplay;
};

} // namespace qb::test
