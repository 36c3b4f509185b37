// qb_churn_bench: the real daemon under an hour (or a minute) of churn.
//
//   qb_churn_bench [--seconds N | --minutes N] [--restart-every ROUNDS]
//                  [--pause SECONDS] [--scale FACTOR] [--samples FILE.csv]
//                  [--quillbright PATH] [--fake-adb PATH]
//
// Starts a private Xorg (dummy driver), points the fake adb at a state file
// of its own and runs `quillbright start` as a user does (the desktop found
// through DISPLAY, no platform named), with the daemon's pauses and polls
// scaled down by --scale (default 0.25: the 2 s device poll every 0.5 s). Then, round after round until the time
// is up, it plays a day at the desk:
//
//   plug a DC-1 in (auto-mirror starts)  a client connects and gets frames
//   contrast change                      resolution change (clients reconnect)
//   mode extended, mode mirror           `quillbright restart`
//   unplug                               plug a DC-1 and a phone, a client
//                                        on the phone's port, unplug both
//
// and at the end of each round, with nothing plugged in, samples the daemon's
// resident memory, open descriptors and threads (the least of five readings
// over a second). Every `--restart-every`
// rounds the daemon is stopped with SIGTERM and started again. After each
// stop it checks that the daemon ended with 0, left no process behind, no
// tunnel on the tablets and no output, mode or monitor of ours on the X
// server.
//
// Prints one line per round and a table per daemon: the figures at the
// first idle point after warm-up (the second round) and at the last.
// Exit 0 when every step reached its state and every stop left nothing; 1
// otherwise; 77 when no X server can be started.
#include <dirent.h>
#include <fcntl.h>
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
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <fmt/format.h>

#include "common/PrivateDaemon.h"
#include "companion/CompanionClient.h"
#include "core/RuntimePaths.h"
#include "fake-adb/FakeAdbState.h"
#include "platform/XorgServer.h"
#include "runtime/Process.h"
#include "support/SocketSupport.h"

using namespace qb;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int EXIT_SKIPPED = 77;

struct Options {
    double seconds = 60;
    int restartEvery = 15;
    double pause = 2;
    // The daemon's pauses and polls (QUILLBRIGHT_TEST_TIMING_SCALE): a
    // quarter keeps an hour's device polls from taking a core.
    std::string scale = "0.25";
    std::string quillbright = QB_QUILLBRIGHT;
    std::string fakeAdb = QB_FAKE_ADB;
    std::string samples;
};

struct Sample {
    double minutes = 0;
    long rssKiB = 0;
    int fds = 0;
    int threads = 0;
};

std::optional<Sample> sampleOf(pid_t pid, SteadyClock::time_point begun)
{
    std::ifstream status(fmt::format("/proc/{}/status", pid));
    if (!status) return std::nullopt;
    Sample sample;
    sample.minutes = std::chrono::duration<double>(SteadyClock::now() - begun).count() / 60;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) sample.rssKiB = std::atol(line.c_str() + 6);
        if (line.starts_with("Threads:")) sample.threads = std::atoi(line.c_str() + 8);
    }
    std::error_code error;
    for (auto it = fs::directory_iterator(fmt::format("/proc/{}/fd", pid), error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        ++sample.fds;
    }
    return sample;
}

// A thread or descriptor the daemon holds for a moment (a child being
// reaped, a queued trim) is no growth: the idle figures are the least seen
// over a second.
std::optional<Sample> idleSampleOf(pid_t pid, SteadyClock::time_point begun)
{
    auto least = sampleOf(pid, begun);
    for (int i = 0; least && i < 4; ++i) {
        std::this_thread::sleep_for(250ms);
        const auto next = sampleOf(pid, begun);
        if (!next) return std::nullopt;
        least->rssKiB = std::min(least->rssKiB, next->rssKiB);
        least->fds = std::min(least->fds, next->fds);
        least->threads = std::min(least->threads, next->threads);
    }
    return least;
}

class Churn {
public:
    Churn(const Options& options, test::XorgServer& xorg, test::FakeAdbState& adb, fs::path directory)
        : options_(options), xorg_(xorg), adb_(adb), directory_(std::move(directory)),
          paths_(RuntimePaths::inDirectory((directory_ / "run").string())), before_(xorg.layout())
    {
        pointer_ = XOpenDisplay(xorg.display.c_str());
    }
    ~Churn()
    {
        if (daemon_ > 0) {
            ::kill(daemon_, SIGKILL);
            ::waitpid(daemon_, nullptr, 0);
        }
        if (pointer_) XCloseDisplay(pointer_);
    }

    int run()
    {
        const auto begun = SteadyClock::now();
        const auto end = begun + std::chrono::duration_cast<SteadyClock::duration>(
                                     std::chrono::duration<double>(options_.seconds));
        if (!launch()) return 1;
        int round = 0;
        std::vector<std::vector<Sample>> generations(1);
        while (SteadyClock::now() < end) {
            ++round;
            playRound();
            if (const auto sample = idleSampleOf(daemon_, begun)) {
                generations.back().push_back(*sample);
                std::printf("round %d  %.1f min  rss %ld KiB  fds %d  threads %d  steps %d  failed %zu\n", round,
                    sample->minutes, sample->rssKiB, sample->fds, sample->threads, steps_, failures_.size());
                std::fflush(stdout);
                if (samples_) *samples_ << fmt::format("{},{},{:.2f},{},{},{}\n", round, generations.size(),
                                   sample->minutes, sample->rssKiB, sample->fds, sample->threads);
            } else {
                fail("the daemon is gone (crashed?) at round " + std::to_string(round));
                if (!launch()) break;
                generations.emplace_back();
            }
            if (round % options_.restartEvery == 0 && SteadyClock::now() < end) {
                stopAndCheck();
                if (!launch()) break;
                generations.emplace_back();
            }
        }
        stopAndCheck();
        return report(round, generations);
    }

    void openSamples(const std::string& path)
    {
        if (path.empty()) return;
        samples_.emplace(path);
        *samples_ << "round,daemon,minutes,rss_kib,fds,threads\n";
    }

private:
    void fail(const std::string& what)
    {
        failures_.push_back(what);
        std::printf("FAILED: %s\n", what.c_str());
        std::fflush(stdout);
    }

    bool step(const std::string& name, const std::function<bool()>& action)
    {
        ++steps_;
        const bool ok = action();
        if (!ok) fail(name);
        std::this_thread::sleep_for(std::chrono::duration<double>(options_.pause));
        return ok;
    }

    std::string control(const std::string& request) const
    {
        return test::unixExchange(paths_.controlSocket, request, false, 5).value_or("");
    }

    bool waitForStatus(const std::function<bool(const std::string&)>& wanted, std::chrono::milliseconds limit = 30s)
    {
        return test::eventually([&] { return wanted(control("STATUS\n")); }, limit, 50ms);
    }
    bool waitRunning() { return waitForStatus([](const std::string& s) { return s == "OK running\n"; }); }
    bool waitStopped()
    {
        return waitForStatus([](const std::string& s) { return s == "OK idle\n" || s == "OK waiting_for_device\n"; });
    }

    std::pair<int, std::string> cli(std::vector<std::string> arguments) const
    {
        ProcessOptions options;
        options.executable = options_.quillbright;
        options.arguments = std::move(arguments);
        const auto result = runProcess(options, 20, "quillbright");
        return {result.exitStatus.value_or(-1), result.standardOutput};
    }

    // A still desktop sends no frame: the pointer, which is in the picture, moves.
    void nudge()
    {
        if (!pointer_) return;
        pointerStep_ = (pointerStep_ + 1) % 40;
        XWarpPointer(pointer_, None, DefaultRootWindow(pointer_), 0, 0, 0, 0, 100 + 10 * pointerStep_, 100);
        XSync(pointer_, False);
    }

    // A client connects to `port`, is greeted and decodes `frames` frames.
    bool clientGetsFrames(std::uint16_t port, int frames = 2)
    {
        companion::CompanionClient client;
        if (!test::eventually([&] { return client.connect("127.0.0.1", port, 1000ms); }, 15s, 100ms)) return false;
        if (!client.readGreeting(10s)) return false;
        int got = 0;
        const auto deadline = SteadyClock::now() + 15s;
        while (got < frames && SteadyClock::now() < deadline) {
            nudge();
            if (const auto frame = client.readFrame(300ms)) {
                client.sendAck(frame->sequenceNumber);
                ++got;
            }
            if (client.closed()) return false;
        }
        return got >= frames;
    }

    // A command that restarts the stream: the connected client is dropped,
    // the stream comes back and a new client gets frames.
    bool restartsStream(std::vector<std::string> command)
    {
        companion::CompanionClient client;
        if (!client.connect("127.0.0.1", 8888, 5000ms) || !client.readGreeting(10s)) return false;
        const auto [code, reply] = cli(std::move(command));
        if (code != 0 || !reply.starts_with("OK")) return false;
        const bool dropped = test::eventually([&] {
            while (client.readMessage(200ms)) {}
            return client.closed();
        }, 30s);
        // An extended desktop's new output is still: its keyframe is all it sends.
        return dropped && waitRunning() && clientGetsFrames(8888, 1);
    }

    void playRound()
    {
        static const char* const RESOLUTIONS[] = {"cozy", "comfortable", "balanced", "sharp"};
        static const char* const CONTRASTS[] = {"1.0", "1.3", "1.6", "2.0", "1.5"};
        const auto dc1 = test::device("DC1-0001", "DC_1", "1200x1600");
        const auto phone = test::device("PHONE-1", "Pixel_8", "1080x2400");
        ++cycle_;
        step("plug a DC-1: mirroring starts", [&] {
            adb_.setDevices({dc1});
            return waitRunning();
        });
        step("a client gets frames", [&] { return clientGetsFrames(8888); });
        step("contrast change", [&] {
            const auto [code, reply] = cli({"contrast", CONTRASTS[cycle_ % 5]});
            return code == 0 && reply.starts_with("OK") && clientGetsFrames(8888, 1);
        });
        step("resolution change", [&] { return restartsStream({"resolution", RESOLUTIONS[cycle_ % 4]}); });
        step("mode extended", [&] { return restartsStream({"mode", "extended"}); });
        step("mode mirror", [&] { return restartsStream({"mode", "mirror"}); });
        step("quillbright restart", [&] { return restartsStream({"restart"}); });
        step("unplug: mirroring stops", [&] {
            adb_.setDevices({});
            return waitStopped();
        });
        step("plug a DC-1 and a phone", [&] {
            adb_.setDevices({dc1, phone});
            return waitRunning() && clientGetsFrames(8889, 1);
        });
        step("unplug both", [&] {
            adb_.setDevices({});
            return waitStopped();
        });
    }

    bool launch()
    {
        const fs::path log = directory_ / fmt::format("daemon-{}.log", ++launches_);
        daemon_ = bench::launchDaemon(options_.quillbright, log);
        const bool up = waitStopped();
        if (!up) fail("the daemon did not come up waiting for a tablet (see " + log.string() + ")");
        return up;
    }

    // SIGTERM; the daemon ends with 0 and leaves nothing of ours.
    void stopAndCheck()
    {
        if (daemon_ <= 0) return;
        ::kill(daemon_, SIGTERM);
        int status = -1;
        const bool ended = test::eventually([&] { return ::waitpid(daemon_, &status, WNOHANG) == daemon_; }, 20s, 20ms);
        if (!ended) {
            fail("the daemon did not end within 20 s of SIGTERM");
            ::kill(daemon_, SIGKILL);
            ::waitpid(daemon_, &status, 0);
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail(fmt::format("the daemon ended with status {:#x} after SIGTERM", status));
        }
        daemon_ = -1;
        ++stops_;
        const auto left = adb_.processes();
        if (!left.empty()) fail(fmt::format("{} process(es) of the daemon outlived it", left.size()));
        for (const auto& d : adb_.read()["devices"]) {
            if (!d.value("reverse", nlohmann::json::array()).empty()) fail("a tunnel left on " + d.dump());
        }
        const std::string layout = xorg_.layout();
        if (layout != before_) fail("the X layout differs after the stop:\n" + layout + "(was)\n" + before_);
    }

    int report(int rounds, const std::vector<std::vector<Sample>>& generations)
    {
        std::printf("\n%d rounds, %d steps, %d daemon stops, %zu failure(s)\n", rounds, steps_, stops_,
            failures_.size());
        std::printf("%-7s %-7s %-22s %-22s %-14s %-14s\n", "daemon", "rounds", "minutes (first..last)",
            "rss KiB (first..last)", "fds", "threads");
        bool grew = false;
        for (std::size_t g = 0; g < generations.size(); ++g) {
            const auto& samples = generations[g];
            if (samples.empty()) continue;
            // The first round warms the caches and pools up.
            const Sample& first = samples[std::min<std::size_t>(1, samples.size() - 1)];
            const Sample& last = samples.back();
            const double growth = first.rssKiB > 0 ? 100.0 * (last.rssKiB - first.rssKiB) / first.rssKiB : 0;
            std::printf("%-7zu %-7zu %6.1f..%-14.1f %8ld..%-8ld %+5.1f%% %4d..%-8d %4d..%-8d\n", g + 1, samples.size(),
                first.minutes, last.minutes, first.rssKiB, last.rssKiB, growth, first.fds, last.fds, first.threads,
                last.threads);
            // Only a daemon that lived several rounds says anything about growth.
            if (samples.size() >= 6 && (growth > 5 || last.fds > first.fds || last.threads > first.threads)) grew = true;
        }
        if (grew) fail("resident memory, descriptors or threads grew between idle points of one daemon");
        for (const auto& failure : failures_) std::printf("failure: %s\n", failure.c_str());
        return failures_.empty() ? 0 : 1;
    }

    Options options_;
    test::XorgServer& xorg_;
    test::FakeAdbState& adb_;
    fs::path directory_;
    RuntimePaths paths_;
    std::string before_;
    Display* pointer_ = nullptr;
    int pointerStep_ = 0;
    pid_t daemon_ = -1;
    int launches_ = 0;
    int cycle_ = 0;
    int steps_ = 0;
    int stops_ = 0;
    std::vector<std::string> failures_;
    std::optional<std::ofstream> samples_;
};

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--seconds") options.seconds = std::stod(value);
        else if (flag == "--minutes") options.seconds = 60 * std::stod(value);
        else if (flag == "--restart-every") options.restartEvery = std::max(1, std::stoi(value));
        else if (flag == "--pause") options.pause = std::stod(value);
        else if (flag == "--quillbright") options.quillbright = fs::absolute(value);
        else if (flag == "--fake-adb") options.fakeAdb = fs::absolute(value);
        else if (flag == "--samples") options.samples = value;
        else if (flag == "--scale") options.scale = value;
        else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::string pattern = (fs::temp_directory_path() / "qb-churn-XXXXXX").string();
    const fs::path directory = ::mkdtemp(pattern.data());
    // The X server must not carry the fake adb's marker, by which what the
    // daemon left running is found: it starts first.
    ::unsetenv("FAKE_ADB_STATE");
    test::XorgServer xorg;
    if (!xorg.running()) {
        std::printf("skipped: %s\n", xorg.skipReason.c_str());
        return EXIT_SKIPPED;
    }
    test::FakeAdbState adb(options.fakeAdb);
    ::unsetenv("FAKE_ADB_LOG"); // an hour of polls would fill it
    bench::prepareDaemonEnvironment(directory, xorg.display, options.scale);

    int result = 1;
    {
        Churn churn(options, xorg, adb, directory);
        churn.openSamples(options.samples);
        result = churn.run();
    }
    if (result == 0) {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    } else {
        std::printf("daemon logs kept in %s\n", directory.c_str());
    }
    return result;
}
