// qb_plug_bench: from the user's action to the picture on the tablet.
//
//   qb_plug_bench [--desktop x11|sway|mutter] [--runs N] [--scale FACTOR]
//                 [--keep-log yes] [--quillbright PATH] [--fake-adb PATH]
//
// Starts a private desktop as the tests do (x11: Xorg with the dummy driver;
// sway: headless sway; mutter: headless Mutter with PipeWire on a private
// session bus), points the fake adb at a state file of its own and runs
// `quillbright start` as a user does (the desktop found through DISPLAY or
// WAYLAND_DISPLAY, no platform named, auto-mirror on, production timing
// unless --scale says otherwise). Then, N times, it times to the first frame the reference
// client reads (the client connecting over and over, as a companion that
// finds the tunnel at once):
//
//   plug      a DC-1 appears in adb's device list (at a random moment, so a
//             poll's phase is sampled evenly)
//   extended  `mode extended` while mirroring (the client was connected)
//   mirror    `mode mirror` back
//   restart   `restart`
//
// and unplugs (--keep-log keeps the daemon's log, timestamped, to see where
// the time went). Prints each run and a table of p50, p90 and max per action in
// milliseconds. Exit 0 when every action reached its frame; 1 otherwise; 77
// when the desktop is not installed or cannot be started here.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "common/PrivateDaemon.h"
#include "companion/CompanionClient.h"
#include "core/RuntimePaths.h"
#include "fake-adb/FakeAdbState.h"
#include "platform/MutterServer.h"
#include "platform/SwayServer.h"
#include "platform/XorgServer.h"
#include "support/SocketSupport.h"

using namespace qb;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int EXIT_SKIPPED = 77;
constexpr std::uint16_t STREAM_PORT = 8888;

struct Options {
    std::string desktop = "x11";
    bool keepLog = false;
    int runs = 5;
    std::string scale = "1";
    std::string quillbright = QB_QUILLBRIGHT;
    std::string fakeAdb = QB_FAKE_ADB;
};

double millisecondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

class PlugBench {
public:
    PlugBench(const Options& options, test::FakeAdbState& adb, fs::path directory)
        : options_(options), adb_(adb), directory_(std::move(directory)),
          paths_(RuntimePaths::inDirectory((directory_ / "run").string()))
    {
    }
    ~PlugBench()
    {
        if (daemon_ > 0) {
            ::kill(daemon_, SIGTERM);
            ::waitpid(daemon_, nullptr, 0);
        }
    }

    int run()
    {
        if (!launch()) return 1;
        std::mt19937 random(12345);
        std::uniform_int_distribution<int> phase(0, 2000);
        const auto dc1 = test::device("DC1-0001", "DC_1", "1200x1600");
        for (int run = 1; run <= options_.runs; ++run) {
            std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
            std::unique_ptr<companion::CompanionClient> client;
            time("plug", [&] { adb_.setDevices({dc1}); }, client);
            time("extended", [&] { command("DISPLAYMODE extended\n"); }, client);
            time("mirror", [&] { command("DISPLAYMODE mirror\n"); }, client);
            time("restart", [&] { command("RESTART\n"); }, client);
            client.reset();
            adb_.setDevices({});
            if (!waitForStatus({"OK waiting_for_device\n", "OK idle\n"})) fail("unplug: mirroring did not stop");
            std::printf("run %d:", run);
            for (const auto& [action, times] : figures_) std::printf("  %s %.0f ms", action.c_str(), times.back());
            std::printf("\n");
            std::fflush(stdout);
        }
        return report();
    }

private:
    void fail(const std::string& what)
    {
        ++failures_;
        std::printf("FAILED: %s\n", what.c_str());
        std::fflush(stdout);
    }

    std::string control(const std::string& request) const
    {
        return test::unixExchange(paths_.controlSocket, request, false, 5).value_or("");
    }

    void command(const std::string& request)
    {
        const std::string reply = control(request);
        if (!reply.starts_with("OK")) fail(request.substr(0, request.size() - 1) + ": " + reply);
    }

    bool waitForStatus(const std::vector<std::string>& wanted, std::chrono::milliseconds limit = 30s) const
    {
        return test::eventually(
            [&] { return std::ranges::find(wanted, control("STATUS\n")) != wanted.end(); }, limit, 20ms);
    }

    // Runs `action` and times it to the first frame of a new stream (frames
    // flow while the companion is still being set up over adb), then waits
    // for mirroring to run. The client connected before is dropped by the
    // restart the action causes.
    void time(const std::string& name, const std::function<void()>& action,
        std::unique_ptr<companion::CompanionClient>& client)
    {
        const auto start = SteadyClock::now();
        action();
        if (client) {
            // The old stream ends first; a connection meanwhile would reach it.
            const bool dropped = test::eventually([&] {
                while (client->readMessage(5ms)) {}
                return client->closed();
            }, 30s, 1ms);
            if (!dropped) {
                fail(name + ": the stream did not restart");
                return;
            }
        }
        const auto deadline = start + 30s;
        while (SteadyClock::now() < deadline) {
            client = std::make_unique<companion::CompanionClient>();
            if (!client->connect("127.0.0.1", STREAM_PORT, 200ms)) {
                std::this_thread::sleep_for(2ms);
                continue;
            }
            if (!client->readGreeting(5000ms)) continue;
            if (const auto frame = client->readFrame(5000ms)) {
                client->sendAck(frame->sequenceNumber);
                figures_[name].push_back(millisecondsSince(start));
                // The next action comes while mirroring runs (adb set up).
                if (!waitForStatus({"OK running\n"})) fail(name + ": mirroring did not reach running");
                return;
            }
        }
        fail(name + ": no frame within 30 s");
    }

    bool launch()
    {
        const fs::path log = directory_ / "daemon.log";
        daemon_ = bench::launchDaemon(options_.quillbright, log);
        const bool up = waitForStatus({"OK waiting_for_device\n", "OK idle\n"});
        if (!up) fail("the daemon did not come up waiting for a tablet (see " + log.string() + ")");
        return up;
    }

    int report()
    {
        std::printf("\n%s\n%-10s %5s %9s %9s %9s\n", options_.desktop.c_str(), "action", "runs", "p50 ms",
            "p90 ms", "max ms");
        // The nearest rank: the least time that many of the runs stayed within.
        const auto percentile = [](const std::vector<double>& sorted, int percent) {
            const std::size_t rank = (sorted.size() * std::size_t(percent) + 99) / 100;
            return sorted[std::max<std::size_t>(rank, 1) - 1];
        };
        for (auto& [action, times] : figures_) {
            std::sort(times.begin(), times.end());
            std::printf("%-10s %5zu %9.0f %9.0f %9.0f\n", action.c_str(), times.size(), percentile(times, 50),
                percentile(times, 90), times.back());
        }
        return failures_ == 0 ? 0 : 1;
    }

    Options options_;
    test::FakeAdbState& adb_;
    fs::path directory_;
    RuntimePaths paths_;
    pid_t daemon_ = -1;
    int failures_ = 0;
    std::map<std::string, std::vector<double>> figures_;
};

// The private desktop the daemon finds, started the way the tests start it;
// this process points at it while it lives.
struct PrivateDesktop {
    std::unique_ptr<test::XorgServer> xorg;
    std::unique_ptr<test::SwayServer> sway;
    std::unique_ptr<test::MutterServer> mutter;
    std::string skipReason;
    std::string failure;

    explicit PrivateDesktop(const std::string& kind)
    {
        if (kind == "x11") {
            xorg = std::make_unique<test::XorgServer>();
            if (!xorg->running()) skipReason = xorg->skipReason;
        } else if (kind == "sway") {
            sway = std::make_unique<test::SwayServer>();
            skipReason = sway->skipReason;
            failure = sway->failure;
        } else if (kind == "mutter") {
            mutter = std::make_unique<test::MutterServer>();
            skipReason = mutter->skipReason;
            failure = mutter->failure;
        } else {
            failure = "no desktop called " + kind + " (x11, sway or mutter)";
        }
    }
    // DISPLAY for X11; none on Wayland, whose display is in the environment.
    std::string display() const { return xorg ? xorg->display : std::string(); }
    // Mutter is reached over its session bus.
    bool sessionBus() const { return mutter != nullptr; }
};

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--desktop") options.desktop = value;
        else if (flag == "--keep-log") options.keepLog = value == "yes";
        else if (flag == "--runs") options.runs = std::max(1, std::stoi(value));
        else if (flag == "--scale") options.scale = value;
        else if (flag == "--quillbright") options.quillbright = fs::absolute(value);
        else if (flag == "--fake-adb") options.fakeAdb = fs::absolute(value);
        else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::string pattern = (fs::temp_directory_path() / "qb-plug-XXXXXX").string();
    const fs::path directory = ::mkdtemp(pattern.data());
    // The desktop must not carry the fake adb's marker: it starts first.
    ::unsetenv("FAKE_ADB_STATE");
    PrivateDesktop desktop(options.desktop);
    if (!desktop.skipReason.empty()) {
        std::printf("skipped: %s\n", desktop.skipReason.c_str());
        return EXIT_SKIPPED;
    }
    if (!desktop.failure.empty()) {
        std::printf("FAILED: %s\n", desktop.failure.c_str());
        return 1;
    }
    test::FakeAdbState adb(options.fakeAdb);
    ::unsetenv("FAKE_ADB_LOG");
    bench::prepareDaemonEnvironment(directory, desktop.display(), options.scale, desktop.sessionBus());

    int result = 1;
    {
        PlugBench bench(options, adb, directory);
        result = bench.run();
    }
    if (result == 0 && !options.keepLog) {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    } else {
        std::printf("daemon log kept in %s\n", directory.c_str());
    }
    return result;
}
