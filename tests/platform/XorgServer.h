// A private X server for the x11 backend's tests: Xorg with the dummy video
// driver, started on a display number it picks itself (-displayfd), no TCP,
// no reset, its log and config in a temporary directory; killed when the
// object goes. Where Xorg or its dummy driver is missing, or it does not
// come up (not root, no permission), `skipReason` says why and tests skip.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "platform/ServerRig.h"

namespace qb::test {

class XorgServer : public ServerRig {
public:
    XorgServer()
    {
        namespace fs = std::filesystem;
        const fs::path xorg = "/usr/bin/Xorg";
        if (!fs::exists(xorg)) {
            skipReason = "Xorg is not installed (package xserver-xorg-core)";
            return;
        }
        if (!fs::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so")) {
            skipReason = "the dummy video driver is not installed (package xserver-xorg-video-dummy)";
            return;
        }
        char pattern[] = "/tmp/qb-xorg-XXXXXX";
        if (!mkdtemp(pattern)) {
            skipReason = "no temporary directory";
            return;
        }
        directory_ = pattern;
        fs::create_directory(directory_ / "conf.d");
        std::ofstream(directory_ / "xorg.conf") << CONFIG;

        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            skipReason = "no pipe";
            return;
        }
        const std::string config = (directory_ / "xorg.conf").string();
        const std::string configDir = (directory_ / "conf.d").string();
        const std::string log = (directory_ / "Xorg.log").string();
        const pid_t test = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            tieToTest(test, pipeFds[1]);
            execl(xorg.c_str(), "Xorg", "-displayfd", "3", "-config", config.c_str(), "-configdir",
                configDir.c_str(), "-noreset", "-nolisten", "tcp", "-logfile", log.c_str(), "-novtswitch",
                "-sharevts", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        // The server writes its display number once it accepts clients.
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fd{pipeFds[0], POLLIN, 0};
            if (poll(&fd, 1, 200) <= 0) continue;
            char buffer[16];
            const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            number.append(buffer, std::size_t(n));
            if (number.find('\n') != std::string::npos) break;
        }
        close(pipeFds[0]);
        while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
        if (number.empty()) {
            skipReason = "Xorg did not start (see " + log + "; it needs root or a console)";
            crash();
            return;
        }
        display = ":" + number;
    }

    ~XorgServer()
    {
        if (pid_ > 0) kill(pid_, SIGTERM);
        reap(std::chrono::seconds(10));
        std::error_code ignored;
        if (!directory_.empty() && skipReason.empty()) std::filesystem::remove_all(directory_, ignored);
    }

    bool running() const { return skipReason.empty() && !display.empty(); }

    // Runs a command with DISPLAY set to this server; its standard output.
    std::string run(const std::string& command) const
    {
        return commandOutput("DISPLAY=" + display + " " + command + " 2>/dev/null");
    }

    // What xrandr shows of the layout: the screen size, the lit outputs and
    // where they are, the monitors, and any mode or monitor of ours. (An
    // output the dummy driver once lit stays "connected"; that is no layout.)
    std::string layout() const
    {
        std::string view;
        std::istringstream lines(run("xrandr") + run("xrandr --listmonitors"));
        static const std::regex shown(R"(^Screen |^\S+ (dis)?connected (primary )?\d+x\d+\+|^Monitors| \d+: |QuillBright)");
        for (std::string line; std::getline(lines, line);) {
            if (std::regex_search(line, shown)) view += line + "\n";
        }
        return view;
    }

    // The server dies on the spot, as in a crash.
    void crash()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    std::string display;

private:
    // One dummy output, 1024x768 to start with, room to grow to 8192x4096.
    static constexpr const char* CONFIG = R"(Section "ServerFlags"
    Option "AutoAddDevices" "false"
    Option "AutoAddGPU" "false"
    Option "AutoBindGPU" "false"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 256000
EndSection
Section "Monitor"
    Identifier "monitor"
    HorizSync 5.0-1000.0
    VertRefresh 5.0-200.0
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "monitor"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Modes "1024x768"
        Virtual 8192 4096
    EndSubSection
EndSection
)";

    std::filesystem::path directory_;
};

} // namespace qb::test
