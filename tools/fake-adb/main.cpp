// fake-adb: answers the adb command lines QuillBright issues from a JSON state
// file and applies their effects to it, so tests and the demo run the real
// bridge code against a scripted device. The state format is described in
// FakeAdbState.h.
//
//   FAKE_ADB_STATE  path of the state file (required)
//   FAKE_ADB_LOG    when set, every invocation's arguments are appended to it
//                   as one JSON array per line
//
// Every invocation takes an exclusive lock (flock on "<state>.lock") while it
// reads, changes and rewrites the state, so concurrent invocations behave like
// adb's serialized server. A failure injected as a hang releases the lock
// first and then sleeps until it is killed. `track-devices` runs on after
// its invocation, pushing the device list whenever the state file changes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* COMPANION_PACKAGE = "app.quillbright";
constexpr const char* COMPANION_ACTIVITY = "app.quillbright/.MirrorActivity";
constexpr const char* START_REQUEST_FILE = "/data/local/tmp/quillbright_start";

struct Reply {
    int exit = 0;
    std::string out;
    std::string err;
};

std::string joined(const std::vector<std::string>& args, size_t from = 0)
{
    std::string text;
    for (size_t i = from; i < args.size(); ++i) {
        if (i > from) text += ' ';
        text += args[i];
    }
    return text;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

class FakeAdb {
public:
    FakeAdb(json state, std::optional<std::string> serial) : state_(std::move(state)), serial_(std::move(serial))
    {
        if (!state_.contains("devices")) state_["devices"] = json::array();
    }

    json& state() { return state_; }

    Reply run(const std::vector<std::string>& args)
    {
        if (args.empty()) return {1, "", "adb: no command specified\n"};
        const std::string& command = args[0];
        const std::string version = state_.value("version", "29.0.6-debian");
        if (command == "version") return {0, "Android Debug Bridge version 1.0.41\nVersion " + version + "\n", ""};
        // Pairing came with platform-tools 30; older releases do not know the word.
        if (command == "pair" && std::atoi(version.c_str()) < 30) return {1, "", "adb: unknown command pair\n"};
        // The server was killed and cannot come back until the test says so:
        // every client fails the way adb does when it cannot reach one.
        if (state_.value("serverDown", false)) {
            return {1, "", "* daemon not running; starting now at tcp:5037\nADB server didn't ACK\n"
                           "* failed to start daemon\nerror: cannot connect to daemon\n"};
        }
        if (command == "kill-server") {
            state_["serverRunning"] = false;
            return {};
        }
        Reply reply = ensureServer();
        // A client that had to start the server itself: as adb 29 answers
        // when several clients start it at once (the fake cannot tell).
        if (!reply.err.empty() && command != "start-server") {
            return {1, "", "* daemon not running; starting now at tcp:5037\nADB server didn't ACK\n"
                           "* failed to start daemon\nerror: cannot connect to daemon\n"};
        }
        Reply result;
        if (command == "start-server") result = {};
        else if (command == "devices") result = devices(args);
        else if (command == "track-devices") result = {}; // the lists follow from main()
        else if (command == "connect") result = connect(args);
        else if (command == "pair") result = pair(args);
        else if (command == "disconnect") result = disconnect(args);
        else result = onDevice(args);
        result.err = reply.err + result.err;
        return result;
    }

private:
    Reply ensureServer()
    {
        if (state_.value("serverRunning", false)) return {};
        state_["serverRunning"] = true;
        state_["serverStarts"] = state_.value("serverStarts", 0) + 1;
        return {0, "", "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n"};
    }

    Reply devices(const std::vector<std::string>& args)
    {
        const bool longListing = args.size() > 1 && args[1] == "-l";
        std::string out = "List of devices attached\n";
        int transport = 1;
        for (auto& device : state_["devices"]) {
            const std::string serial = device.value("serial", "");
            const std::string status = device.value("state", "device");
            if (!longListing) {
                out += serial + "\t" + status + "\n";
                ++transport;
                continue;
            }
            char head[256];
            std::snprintf(head, sizeof head, "%-22s %s", serial.c_str(), status.c_str());
            out += head;
            if (device.contains("usb")) out += " usb:" + device["usb"].get<std::string>();
            if (status == "device") {
                if (device.contains("product")) out += " product:" + device["product"].get<std::string>();
                if (device.contains("model")) out += " model:" + device["model"].get<std::string>();
                if (device.contains("device")) out += " device:" + device["device"].get<std::string>();
            }
            out += " transport_id:" + std::to_string(device.value("transportId", transport));
            out += "\n";
            ++transport;
        }
        out += "\n";
        return {0, out, ""};
    }

    json* findDevice(const std::string& serial)
    {
        for (auto& device : state_["devices"]) {
            if (device.value("serial", "") == serial) return &device;
        }
        return nullptr;
    }

    Reply connect(const std::vector<std::string>& args)
    {
        if (args.size() < 2) return {1, "", "adb: usage: adb connect HOST[:PORT]\n"};
        std::string target = args[1];
        if (target.find(':') == std::string::npos) target += ":5555";
        if (findDevice(target)) return {0, "already connected to " + target + "\n", ""};
        auto& network = state_["network"];
        if (!network.is_object() || !network.contains(target)) {
            return {1, "failed to connect to '" + target + "': Connection refused\n", ""};
        }
        json device = network[target];
        device["serial"] = target;
        if (!device.contains("state")) device["state"] = "device";
        state_["devices"].push_back(device);
        return {0, "connected to " + target + "\n", ""};
    }

    // Wireless-debugging pairing: "pairing" maps "host:port" to the code the
    // device shows; a target missing there does not answer.
    Reply pair(const std::vector<std::string>& args)
    {
        if (args.size() != 3) return {1, "", "adb: usage: adb pair HOST[:PORT] [PAIRING CODE]\n"};
        const auto& pairing = state_["pairing"];
        if (!pairing.is_object() || !pairing.contains(args[1])) {
            return {1, "", "Failed: Unable to start pairing client.\n"};
        }
        if (pairing[args[1]].value("code", "") != args[2]) {
            return {1, "", "Failed: Wrong password or connection was dropped.\n"};
        }
        state_["paired"].push_back(args[1]);
        return {0, "Successfully paired to " + args[1] + " [guid=adb-FAKE0001-q8Rz3w]\n", ""};
    }

    Reply disconnect(const std::vector<std::string>& args)
    {
        auto& devices = state_["devices"];
        json kept = json::array();
        bool removed = false;
        for (auto& device : devices) {
            const std::string serial = device.value("serial", "");
            const bool network = serial.find(':') != std::string::npos;
            if (network && (args.size() < 2 || serial == args[1])) {
                removed = true;
                continue;
            }
            kept.push_back(device);
        }
        devices = kept;
        if (args.size() >= 2 && !removed) return {1, "", "error: no such device '" + args[1] + "'\n"};
        return {0, args.size() >= 2 ? "disconnected " + args[1] + "\n" : "disconnected everything\n", ""};
    }

    // Commands addressed to one device: adb's own selection rules first.
    Reply onDevice(const std::vector<std::string>& args)
    {
        json* device = nullptr;
        if (serial_) {
            device = findDevice(*serial_);
            if (!device) return {1, "", "error: device '" + *serial_ + "' not found\n"};
        } else {
            auto& devices = state_["devices"];
            if (devices.empty()) return {1, "", "error: no devices/emulators found\n"};
            if (devices.size() > 1) return {1, "", "error: more than one device/emulator\n"};
            device = &devices[0];
        }
        const std::string status = device->value("state", "device");
        if (status == "unauthorized") {
            return {1, "",
                "error: device unauthorized.\nThis adb server's $ADB_VENDOR_KEYS is not set\n"
                "Try 'adb kill-server' if that seems wrong.\n"
                "Otherwise check for a confirmation dialog on your device.\n"};
        }
        if (status != "device") return {1, "", "error: device " + status + "\n"};

        const std::string& command = args[0];
        if (command == "reverse") return reverse(*device, args);
        if (command == "install") return install(*device, args);
        if (command == "shell") return shell(*device, std::vector<std::string>(args.begin() + 1, args.end()));
        return {1, "", "adb: unknown command " + command + "\n"};
    }

    Reply reverse(json& device, const std::vector<std::string>& args)
    {
        auto& tunnels = device["reverse"];
        if (!tunnels.is_array()) tunnels = json::array();
        if (args.size() >= 2 && args[1] == "--list") {
            std::string out;
            for (auto& tunnel : tunnels) {
                out += "UsbFfs " + tunnel[0].get<std::string>() + " " + tunnel[1].get<std::string>() + "\n";
            }
            return {0, out, ""};
        }
        if (args.size() >= 2 && args[1] == "--remove-all") {
            tunnels = json::array();
            return {};
        }
        if (args.size() >= 3 && args[1] == "--remove") {
            json kept = json::array();
            bool found = false;
            for (auto& tunnel : tunnels) {
                if (tunnel[0] == args[2]) found = true;
                else kept.push_back(tunnel);
            }
            tunnels = kept;
            if (!found) return {1, "", "adb: error: listener '" + args[2] + "' not found\n"};
            return {};
        }
        size_t at = 1;
        if (args.size() > at && args[at] == "--no-rebind") ++at;
        if (args.size() != at + 2) return {1, "", "adb: usage: reverse requires two arguments\n"};
        const std::string& remote = args[at];
        const std::string& local = args[at + 1];
        if (remote.rfind("tcp:", 0) != 0 || local.rfind("tcp:", 0) != 0) {
            return {1, "", "adb: error: cannot bind listener: unsupported socket address\n"};
        }
        json kept = json::array();
        for (auto& tunnel : tunnels) {
            if (tunnel[0] != remote) kept.push_back(tunnel);
        }
        kept.push_back(json::array({remote, local}));
        tunnels = kept;
        return {};
    }

    Reply install(json& device, const std::vector<std::string>& args)
    {
        if (args.size() < 2) return {1, "", "adb: need APK file on command line\n"};
        const fs::path path = args.back();
        std::error_code error;
        if (!fs::is_regular_file(path, error)) {
            return {1, "", "adb: failed to stat " + path.string() + ": No such file or directory\n"};
        }
        // The package's version travels in the file: a "versionName=" line,
        // or the whole (trimmed) content.
        std::string content = readFile(path);
        std::string version = trim(content);
        std::istringstream lines(content);
        for (std::string line; std::getline(lines, line);) {
            line = trim(line);
            if (line.rfind("versionName=", 0) == 0) {
                version = line.substr(12);
                break;
            }
        }
        json companion = json::object();
        companion["versionName"] = version;
        companion["running"] = false;
        companion["granted"] = false;
        device["companion"] = companion;
        return {0, "Performing Streamed Install\nSuccess\n", ""};
    }

    static bool installed(const json& device)
    {
        return device.contains("companion") && device["companion"].is_object();
    }

    Reply shell(json& device, const std::vector<std::string>& cmd)
    {
        auto is = [&](std::initializer_list<const char*> words) {
            if (cmd.size() < words.size()) return false;
            size_t i = 0;
            for (const char* word : words) {
                if (cmd[i++] != word) return false;
            }
            return true;
        };
        if (is({"wm", "size", "reset"})) {
            device.erase("overrideSize");
            return {};
        }
        if (is({"wm", "size"})) {
            std::string out;
            if (device.contains("physicalSize")) out += "Physical size: " + device["physicalSize"].get<std::string>() + "\n";
            if (device.contains("overrideSize")) out += "Override size: " + device["overrideSize"].get<std::string>() + "\n";
            return {0, out, ""};
        }
        if (is({"pm", "list", "packages"})) {
            const std::string filter = cmd.size() > 3 ? cmd[3] : "";
            std::string out;
            std::vector<std::string> packages = device.value("packages", std::vector<std::string>{});
            if (installed(device)) packages.push_back(COMPANION_PACKAGE);
            for (auto& name : packages) {
                if (name.find(filter) != std::string::npos) out += "package:" + name + "\n";
            }
            return {0, out, ""};
        }
        if (is({"pm", "grant"})) {
            if (cmd.size() < 4 || cmd[2] != COMPANION_PACKAGE || !installed(device)) {
                return {255, "",
                    "Exception occurred while executing 'grant':\n"
                    "java.lang.IllegalArgumentException: Unknown package: "
                        + (cmd.size() > 2 ? cmd[2] : std::string()) + "\n"};
            }
            device["companion"]["granted"] = true;
            return {};
        }
        if (is({"dumpsys", "package"})) {
            if (cmd.size() < 3 || cmd[2] != COMPANION_PACKAGE || !installed(device)) {
                return {0, "Dexopt state:\n  Unable to find package: " + (cmd.size() > 2 ? cmd[2] : "") + "\n", ""};
            }
            const std::string version = device["companion"].value("versionName", "");
            return {0,
                "Activity Resolver Table:\n  Non-Data Actions:\n      android.intent.action.MAIN:\n"
                "        5f1e2d3 app.quillbright/.MirrorActivity filter 8a9b0c1\n\n"
                "Packages:\n  Package [app.quillbright] (c0ffee1):\n    userId=10187\n"
                "    pkg=Package{c0ffee1 app.quillbright}\n"
                "    codePath=/data/app/~~Qb4x==/app.quillbright-Zq9w==\n"
                "    versionCode=20404 minSdk=26 targetSdk=34\n"
                "    versionName=" + version + "\n"
                "    splits=[base]\n    apkSigningVersion=2\n",
                ""};
        }
        if (is({"pidof"})) {
            if (cmd.size() >= 2 && cmd[1] == COMPANION_PACKAGE && installed(device)
                && device["companion"].value("running", false)) {
                return {0, "12345\n", ""};
            }
            return {1, "", ""};
        }
        if (is({"am", "start"})) return amStart(device, cmd);
        if (is({"am", "force-stop"})) {
            if (cmd.size() >= 3 && cmd[2] == COMPANION_PACKAGE && installed(device)) {
                device["companion"]["running"] = false;
            }
            return {};
        }
        if (is({"am", "broadcast"})) {
            std::string action;
            for (size_t i = 2; i + 1 < cmd.size(); ++i) {
                if (cmd[i] == "-a") action = cmd[i + 1];
                if (cmd[i] == "--es" && i + 2 < cmd.size()) {
                    device["broadcasts"].push_back(json::array({action, cmd[i + 1], cmd[i + 2]}));
                }
            }
            return {0,
                "Broadcasting: Intent { act=" + action + " flg=0x400000 (has extras) }\n"
                "Broadcast completed: result=0\n",
                ""};
        }
        if (is({"cat"}) && cmd.size() >= 2) {
            if (cmd[1] == START_REQUEST_FILE && device.contains("startRequest")) {
                const auto& request = device["startRequest"];
                if (request.is_string()) return {0, request.get<std::string>(), ""};
                if (request.is_boolean() && request.get<bool>()) return {0, "1\n", ""};
            }
            return {1, "", "cat: " + cmd[1] + ": No such file or directory\n"};
        }
        if (is({"rm"}) && cmd.size() >= 2) {
            if (cmd[1] == START_REQUEST_FILE && device.contains("startRequest")
                && !(device["startRequest"].is_boolean() && !device["startRequest"].get<bool>())) {
                device.erase("startRequest");
                return {};
            }
            return {1, "", "rm: " + cmd[1] + ": No such file or directory\n"};
        }
        if (is({"settings", "get"}) && cmd.size() >= 4) {
            auto& settings = device["settings"][cmd[2]];
            if (settings.is_object() && settings.contains(cmd[3])) {
                return {0, settings[cmd[3]].get<std::string>() + "\n", ""};
            }
            return {0, "null\n", ""};
        }
        if (is({"settings", "put"}) && cmd.size() >= 5) {
            device["settings"][cmd[2]][cmd[3]] = cmd[4];
            return {};
        }
        return {127, "", "/system/bin/sh: " + (cmd.empty() ? "" : cmd[0]) + ": inaccessible or not found\n"};
    }

    Reply amStart(json& device, const std::vector<std::string>& cmd)
    {
        bool forceRestart = false;
        std::string component, action, data;
        json extras = json::object();
        for (size_t i = 2; i < cmd.size(); ++i) {
            if (cmd[i] == "-S") forceRestart = true;
            else if (cmd[i] == "-a" && i + 1 < cmd.size()) action = cmd[++i];
            else if (cmd[i] == "-d" && i + 1 < cmd.size()) data = cmd[++i];
            else if (cmd[i] == "-n" && i + 1 < cmd.size()) component = cmd[++i];
            else if (cmd[i] == "--es" && i + 2 < cmd.size()) {
                extras[cmd[i + 1]] = cmd[i + 2];
                i += 2;
            }
        }
        if (action == "android.intent.action.VIEW" && component.empty()) {
            // The browser opens the address; "opened" keeps each one.
            device["opened"].push_back(data);
            return {0, "Starting: Intent { act=" + action + " dat=" + data + " }\n", ""};
        }
        if (component != COMPANION_ACTIVITY || !installed(device)) {
            return {1, "Starting: Intent { cmp=" + component + " }\n",
                "Error type 3\nError: Activity class {" + component + "} does not exist.\n"};
        }
        auto& companion = device["companion"];
        const bool wasRunning = companion.value("running", false);
        companion["running"] = true;
        json launch = json::object();
        launch["forceRestart"] = forceRestart;
        launch["extras"] = extras;
        device["launches"].push_back(launch);
        std::string out;
        if (forceRestart && wasRunning) out += "Stopping: app.quillbright\n";
        out += "Starting: Intent { cmp=" + component + (extras.empty() ? "" : " (has extras)") + " }\n";
        if (wasRunning && !forceRestart) {
            out += "Warning: Activity not started, intent has been delivered to currently running top-most instance.\n";
        }
        return {0, out, ""};
    }

    json state_;
    std::optional<std::string> serial_;
};

// The injected failure for this command line, if any: the longest key of
// "failures" that prefixes the arguments (without the serial selector), and
// whose optional "serial" matches. Counted failures are used up.
std::optional<json> takeFailure(json& state, const std::string& line, const std::optional<std::string>& serial)
{
    if (!state.contains("failures") || !state["failures"].is_object()) return std::nullopt;
    auto& failures = state["failures"];
    std::string best;
    bool found = false;
    for (auto it = failures.begin(); it != failures.end(); ++it) {
        const std::string& key = it.key();
        if (line.rfind(key, 0) != 0) continue;
        if (line.size() > key.size() && !key.empty() && line[key.size()] != ' ') continue;
        const auto& failure = it.value();
        if (failure.contains("serial") && (!serial || failure["serial"] != *serial)) continue;
        if (!found || key.size() > best.size()) {
            best = key;
            found = true;
        }
    }
    if (!found) return std::nullopt;
    json failure = failures[best];
    if (failure.contains("count")) {
        const int left = failure["count"].get<int>() - 1;
        if (left <= 0) failures.erase(best);
        else failures[best]["count"] = left;
    }
    return failure;
}

std::string garbage()
{
    std::string bytes;
    unsigned value = 2166136261u;
    for (int i = 0; i < 600; ++i) {
        value = value * 16777619u ^ static_cast<unsigned>(i);
        bytes += static_cast<char>(value >> 13);
        if (i % 37 == 0) bytes += "\nmodel:\xff Physical size: 12x\n";
    }
    return bytes;
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

volatile std::sig_atomic_t trackingEnds = 0;

// `track-devices`: as adb's server does, the device list at once and again
// whenever it changes, each as four hex digits of length and then that many
// bytes of "serial\tstate\n" lines. The state file is looked at every 10 ms
// (a test replaces it whole, so a new inode or time is a change). Ends
// cleanly (status 0) on SIGTERM or SIGINT and when the reader goes, and with
// status 1 when the server goes (killServer(), `kill-server`), as adb's
// own ends when its connection to the server closes.
int trackDevices(const char* statePath)
{
    struct sigaction action {};
    action.sa_handler = [](int) { trackingEnds = 1; };
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    std::optional<std::string> sent;
    struct stat seen {};
    bool first = true;
    while (!trackingEnds) {
        struct stat now {};
        if (::stat(statePath, &now) == 0
            && (first || now.st_ino != seen.st_ino || now.st_mtim.tv_nsec != seen.st_mtim.tv_nsec
                || now.st_mtim.tv_sec != seen.st_mtim.tv_sec || now.st_size != seen.st_size)) {
            first = false;
            seen = now;
            std::ifstream in(statePath);
            const json state = json::parse(in, nullptr, false);
            if (state.is_object()) {
                if (state.value("serverDown", false) || !state.value("serverRunning", true)) {
                    std::fprintf(stderr, "error: device offline (server went away)\n");
                    return 1;
                }
                std::string list;
                if (state.contains("devices") && state["devices"].is_array()) {
                    for (const auto& device : state["devices"]) {
                        list += device.value("serial", "") + "\t" + device.value("state", "device") + "\n";
                    }
                }
                if (list != sent) {
                    char length[8];
                    std::snprintf(length, sizeof length, "%04zx", list.size() & 0xFFFF);
                    if (!writeAll(1, length + list)) return 0;
                    sent = list;
                }
            }
        }
        timespec pause{0, 10'000'000};
        ::nanosleep(&pause, nullptr);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> all(argv + 1, argv + argc);
    const char* statePath = std::getenv("FAKE_ADB_STATE");
    if (!statePath || !*statePath) {
        std::fprintf(stderr, "fake-adb: FAKE_ADB_STATE is not set\n");
        return 2;
    }

    std::optional<std::string> serial;
    std::vector<std::string> args;
    for (size_t i = 0; i < all.size(); ++i) {
        if (args.empty() && all[i] == "-s" && i + 1 < all.size()) {
            serial = all[++i];
        } else {
            args.push_back(all[i]);
        }
    }

    const std::string lockPath = std::string(statePath) + ".lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0 || ::flock(lockFd, LOCK_EX) != 0) {
        std::fprintf(stderr, "fake-adb: cannot lock %s\n", lockPath.c_str());
        return 2;
    }

    if (const char* logPath = std::getenv("FAKE_ADB_LOG"); logPath && *logPath) {
        std::ofstream log(logPath, std::ios::app);
        log << json(all).dump() << "\n";
    }

    json state = json::object();
    {
        std::ifstream in(statePath);
        if (in) {
            state = json::parse(in, nullptr, false);
            if (state.is_discarded() || !state.is_object()) state = json::object();
        }
    }

    Reply reply;
    std::optional<json> failure = takeFailure(state, joined(args), serial);
    std::string mode = failure ? failure->value("mode", "exit") : "";
    if (!failure || mode == "silent") {
        FakeAdb adb(state, serial);
        reply = adb.run(args);
        // "silent": adb claims success but the device ignores the command.
        if (mode != "silent") state = adb.state();
        else reply = {0, "", ""};
    }

    const std::string tmp = std::string(statePath) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << state.dump(2) << "\n";
    }
    std::rename(tmp.c_str(), statePath);
    ::flock(lockFd, LOCK_UN);
    ::close(lockFd);

    if (failure && mode == "hang") {
        // Killed at the caller's time limit; the default SIGTERM action ends us.
        const int seconds = failure->value("hangSeconds", 300);
        timespec pause{seconds, 0};
        while (::nanosleep(&pause, &pause) != 0) {
        }
        return 0;
    }
    if (!failure && !args.empty() && args[0] == "track-devices" && reply.exit == 0) {
        writeAll(2, reply.err);
        return trackDevices(statePath);
    }
    if (failure && mode == "garbage") {
        writeAll(1, garbage());
        return failure->value("exit", 0);
    }
    if (failure && mode == "exit") {
        writeAll(1, failure->value("stdout", ""));
        writeAll(2, failure->value("stderr", ""));
        return failure->value("exit", 1);
    }
    writeAll(1, reply.out);
    writeAll(2, reply.err);
    return reply.exit;
}
