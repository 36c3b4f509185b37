// Test-side handle on fake-adb: a private directory with the state file, the
// invocation log and a resources directory, and the environment that points
// QuillBright's adb bridge at them.
//
// State file (JSON):
//   {
//     "serverRunning": false,            // start-server prints adb's daemon lines once; any other
//                                        // command then fails ("ADB server didn't ACK")
//     "serverStarts": 1,                 // written: how often a server was started
//     "serverDown": true,                // the server is gone and cannot start: every command
//                                        // but `version` fails (killServer(), reviveServer())
//     "devices": [{
//       "serial": "DC1-0001", "state": "device" | "unauthorized" | "offline",
//       "usb": "1-1", "product": "dc1", "model": "DC_1", "device": "dc1", "transportId": 1,
//       "physicalSize": "1200x1600", "overrideSize": "1080x1440",      // `wm size`
//       "companion": {"versionName": "2.4.4", "running": false, "granted": false},  // absent: not installed
//       "packages": ["com.other"],                                     // other installed packages
//       "settings": {"system": {"screen_brightness": "120"}},
//       "startRequest": true | "text",                                 // the start-request file
//       "reverse": [["tcp:8888", "tcp:8888"]],
//       "broadcasts": [[action, key, value]], "launches": [{"forceRestart": true, "extras": {}}]
//     }],
//     "network": {"192.168.1.20:5555": {device fields}},               // what `connect` can reach
//     "pairing": {"192.168.1.20:37123": {"code": "482913"}},           // what `pair` can reach
//     "paired": ["192.168.1.20:37123"],                                // what `pair` paired
//     "version": "29.0.6-debian",                                      // `version`; below 30 no `pair`
//     "failures": {"<argument prefix>": {"mode": "exit" | "hang" | "garbage" | "silent",
//                  "exit": 1, "stdout": "", "stderr": "", "count": 1, "serial": "X", "hangSeconds": 300}}
//   }
// A failure applies to the command lines (arguments without "-s serial") that
// start with its key; the longest key wins; "count" limits how often.
// "silent" answers success without touching the device.
//
// tools/fake-adb/example-state.json is a ready state with one DC-1 (for the demo).
//
// Not thread-safe: one test thread drives it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace qb::test {

class FakeAdbState {
public:
    // `executable` is the fake-adb program.
    explicit FakeAdbState(const std::string& executable)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "fake-adb-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        std::filesystem::create_directories(resources());
        std::filesystem::copy_file(executable, resources() / "adb");
        ::setenv("FAKE_ADB_STATE", statePath().c_str(), 1);
        ::setenv("FAKE_ADB_LOG", logPath().c_str(), 1);
        ::setenv("QUILLBRIGHT_ADB", executable.c_str(), 1);
        ::setenv("QUILLBRIGHT_RESOURCES", resources().c_str(), 1);
        state = nlohmann::json{{"serverRunning", true}, {"devices", nlohmann::json::array()}};
        write();
    }

    ~FakeAdbState()
    {
        ::unsetenv("FAKE_ADB_STATE");
        ::unsetenv("FAKE_ADB_LOG");
        ::unsetenv("QUILLBRIGHT_ADB");
        ::unsetenv("QUILLBRIGHT_RESOURCES");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    FakeAdbState(const FakeAdbState&) = delete;
    FakeAdbState& operator=(const FakeAdbState&) = delete;

    std::filesystem::path statePath() const { return dir_ / "state.json"; }
    std::filesystem::path logPath() const { return dir_ / "adb.log"; }
    std::filesystem::path resources() const { return dir_ / "resources"; }

    // The processes other than this one with this state in their environment:
    // a daemon pointed at it and every child it started.
    std::vector<pid_t> processes() const
    {
        std::vector<pid_t> found;
        const std::string wanted = std::string(1, '\0') + "FAKE_ADB_STATE=" + statePath().string() + '\0';
        for (const auto& process : std::filesystem::directory_iterator("/proc")) {
            const std::string name = process.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos || std::stol(name) == ::getpid()) continue;
            // NUL-separated entries, each ended by a NUL. A process that ends
            // while its entries are read fails the read: it is not counted.
            std::ifstream environment(process.path() / "environ", std::ios::binary);
            std::string entries;
            try {
                entries.assign(std::istreambuf_iterator<char>(environment), {});
            } catch (const std::ios_base::failure&) {
                continue;
            }
            if (('\0' + entries).find(wanted) != std::string::npos) found.push_back(pid_t(std::stol(name)));
        }
        return found;
    }

    // A device in the "device" state with a DC-1's identity and screen.
    static nlohmann::json device(const std::string& serial, const std::string& model = "DC_1")
    {
        return {{"serial", serial}, {"state", "device"}, {"usb", "1-1"}, {"product", "dc1"}, {"model", model},
            {"device", "dc1"}, {"physicalSize", "1200x1600"}};
    }

    // The state the tests edit; write() hands it to fake-adb.
    nlohmann::json state;

    // Writes and reads take fake-adb's lock, and a write replaces the file
    // atomically, so a running fake-adb never sees half a state.
    void write() const
    {
        Lock lock(statePath());
        writeLocked();
    }

    // What fake-adb left behind (also refreshes `state`).
    nlohmann::json& read()
    {
        Lock lock(statePath());
        readLocked();
        return state;
    }

    // Read, change and write back under one lock: fake-adb's own effects survive.
    template <class Fn>
    void update(Fn&& change)
    {
        Lock lock(statePath());
        readLocked();
        change(state);
        writeLocked();
    }

    nlohmann::json& deviceState(const std::string& serial)
    {
        for (auto& d : state["devices"]) {
            if (d["serial"] == serial) return d;
        }
        throw std::runtime_error("no device " + serial);
    }

    void setDevices(std::vector<nlohmann::json> devices)
    {
        update([&](nlohmann::json& s) { s["devices"] = devices; });
    }

    void fail(const std::string& prefix, nlohmann::json failure)
    {
        update([&](nlohmann::json& s) { s["failures"][prefix] = failure; });
    }

    // The adb server killed under a running client: it cannot be reached
    // until reviveServer(), and the reverse tunnels, which live in it, are gone.
    void killServer()
    {
        update([](nlohmann::json& s) {
            s["serverRunning"] = false;
            s["serverDown"] = true;
            for (auto& d : s["devices"]) d.erase("reverse");
        });
    }

    // The next client starts a server again.
    void reviveServer()
    {
        update([](nlohmann::json& s) { s.erase("serverDown"); });
    }

    void clearFailures()
    {
        update([](nlohmann::json& s) { s.erase("failures"); });
    }

    // The companion package file the bridge installs; its content carries the version.
    void writeAPK(const std::string& version) const
    {
        std::ofstream out(resources() / "app-debug.apk", std::ios::trunc);
        out << "versionName=" << version << "\n";
    }

    // Every invocation's full argument list, oldest first.
    std::vector<std::vector<std::string>> log() const
    {
        std::vector<std::vector<std::string>> entries;
        std::ifstream in(logPath());
        for (std::string line; std::getline(in, line);) {
            // A line being appended right now may be incomplete: skip it.
            auto entry = nlohmann::json::parse(line, nullptr, false);
            if (entry.is_array()) entries.push_back(entry.get<std::vector<std::string>>());
        }
        return entries;
    }

    void clearLog() const { std::ofstream(logPath(), std::ios::trunc); }

    // The invocations since the last call, "a b | c d", then forgets them.
    std::string calls() const
    {
        std::string text;
        for (const auto& call : log()) {
            if (!text.empty()) text += " | ";
            for (const auto& word : call) text += (&word == &call.front() ? "" : " ") + word;
        }
        clearLog();
        return text;
    }

private:
    struct Lock {
        explicit Lock(const std::filesystem::path& state)
            : fd(::open((state.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
        {
            if (fd >= 0) ::flock(fd, LOCK_EX);
        }
        ~Lock()
        {
            if (fd >= 0) ::close(fd);
        }
        int fd;
    };

    void writeLocked() const
    {
        const auto tmp = statePath().string() + ".test-tmp";
        {
            std::ofstream out(tmp, std::ios::trunc);
            out << state.dump(2);
        }
        std::filesystem::rename(tmp, statePath());
    }

    void readLocked()
    {
        std::ifstream in(statePath());
        state = nlohmann::json::parse(in);
    }

    std::filesystem::path dir_;
};

// A device as the fake adb lists it, its companion installed but not running.
inline nlohmann::json device(const std::string& serial, const std::string& model, const std::string& size,
    const std::string& companion = "2.4.4")
{
    auto d = FakeAdbState::device(serial, model);
    d["physicalSize"] = size;
    d["companion"] = {{"versionName", companion}, {"running", false}, {"granted", false}};
    return d;
}

} // namespace qb::test
