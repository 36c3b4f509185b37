// qb-companion: the reference companion client. See usage() below.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include <fmt/format.h>

#include "companion/CompanionClient.h"
#include "companion/PngWriter.h"
#include "companion/TouchScript.h"

using namespace qb::companion;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int exitOk = 0;
constexpr int exitViolation = 1;
constexpr int exitUsage = 2;
constexpr int exitConnect = 3;

std::atomic<bool> interrupted{false};

void usage(std::FILE* out)
{
    std::fputs(R"(usage: qb-companion [options]

Plays the device's side of the QuillBright frame stream: connects to a frame
port, checks every message (magics, lengths, command codes, keyframe flag,
greeting order, sequence continuity, decompressed sizes), decodes the LZ4 +
XOR frames into its own frame buffer, acknowledges them and prints
statistics. Optionally saves the picture as PNG and sends scripted touch
input to the input port.

Connection:
  --host ADDR            host to connect to (default 127.0.0.1)
  --port N               frame port (default 8888)
Acknowledgements:
  --ack-delay-ms N       acknowledge each frame N ms after it arrived
  --drop-ack-every N     leave every Nth frame unacknowledged
  --no-ack               never acknowledge
Ending:
  --frames N             stop after N frames
  --duration S           stop after S seconds (default: until Ctrl-C)
  --once                 stop when the host closes the connection (default:
                         connect again after 0.5 s, doubling the wait up to 4 s)
Output:
  --stats-every S        print statistics every S seconds (default 1, 0 = only at the end)
  --png FILE             save the current frame as PNG when stopping
  --raw FILE             save it as raw bytes (rows of 1 or 3 bytes per pixel)
  --quiet                print only the final statistics and errors
Touch input:
  --touch-port N         input port (default 8892)
  --touch SCRIPT         after the greeting, send e.g.
                         "down 0.5 0.5; move 0.6 0.5; up 0.6 0.5; scroll 0 0.01; wait 100"
  --help                 show this text

Exit status: 0 when the run ended normally (including the host closing the
connection with --once), 1 on any protocol violation, 2 on bad options, 3 when
the first connection (or the touch connection) could not be made.
)",
        out);
}

template <class T>
bool parseNumber(const std::string& text, T& out)
{
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

struct Settings {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8888;
    int ackDelayMs = 0;
    std::uint64_t dropAckEvery = 0;
    bool noAck = false;
    std::uint64_t maxFrames = 0;
    double durationSeconds = 0;
    bool once = false;
    double statsEvery = 1;
    std::string pngPath;
    std::string rawPath;
    bool quiet = false;
    std::uint16_t touchPort = 8892;
    std::string touchScript;
};

std::optional<Settings> parseArguments(int argc, char** argv)
{
    Settings s;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(exitOk);
        } else if (arg == "--host") {
            ok = value(s.host);
        } else if (arg == "--port") {
            ok = value(v) && parseNumber(v, s.port);
        } else if (arg == "--ack-delay-ms") {
            ok = value(v) && parseNumber(v, s.ackDelayMs) && s.ackDelayMs >= 0;
        } else if (arg == "--drop-ack-every") {
            ok = value(v) && parseNumber(v, s.dropAckEvery) && s.dropAckEvery > 0;
        } else if (arg == "--no-ack") {
            s.noAck = true;
        } else if (arg == "--frames") {
            ok = value(v) && parseNumber(v, s.maxFrames);
        } else if (arg == "--duration") {
            ok = value(v) && parseNumber(v, s.durationSeconds) && s.durationSeconds >= 0;
        } else if (arg == "--once") {
            s.once = true;
        } else if (arg == "--stats-every") {
            ok = value(v) && parseNumber(v, s.statsEvery) && s.statsEvery >= 0;
        } else if (arg == "--png") {
            ok = value(s.pngPath);
        } else if (arg == "--raw") {
            ok = value(s.rawPath);
        } else if (arg == "--quiet") {
            s.quiet = true;
        } else if (arg == "--touch-port") {
            ok = value(v) && parseNumber(v, s.touchPort);
        } else if (arg == "--touch") {
            ok = value(s.touchScript);
        } else {
            std::fprintf(stderr, "qb-companion: unknown option %s\n", arg.c_str());
            return std::nullopt;
        }
        if (!ok) {
            std::fprintf(stderr, "qb-companion: %s needs a valid value\n", arg.c_str());
            return std::nullopt;
        }
    }
    return s;
}

struct RunStats {
    Clock::time_point started = Clock::now();
    std::uint64_t acksSent = 0;
    double ackDelaySum = 0;
};

void printGreeting(const Greeting& greeting)
{
    std::printf("greeting: %ux%u %s, brightness %u, warmth %u\n", greeting.width, greeting.height,
        greeting.pixelFormat == FramePixelFormat::rgb ? "rgb" : "greyscale", greeting.brightness, greeting.warmth);
    std::fflush(stdout);
}

void printStats(const CompanionClient& client, const RunStats& run, const char* prefix)
{
    const auto& c = client.decoder().counters();
    const double elapsed = std::chrono::duration<double>(Clock::now() - run.started).count();
    const double decoded = static_cast<double>(c.keyframes + c.deltas);
    std::printf("%sframes %llu (%llu key, %llu delta, %llu before a keyframe) | %.1f fps | decode %.2f ms avg | "
                "%llu bytes | acks %llu, ack after %.2f ms avg\n",
        prefix, static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.keyframes),
        static_cast<unsigned long long>(c.deltas), static_cast<unsigned long long>(c.deltasBeforeKeyframe),
        elapsed > 0 ? static_cast<double>(c.frames) / elapsed : 0.0,
        decoded > 0 ? c.decodeSeconds * 1000 / decoded : 0.0,
        static_cast<unsigned long long>(client.bytesReceived()), static_cast<unsigned long long>(run.acksSent),
        run.acksSent > 0 ? run.ackDelaySum / static_cast<double>(run.acksSent) : 0.0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    auto parsed = parseArguments(argc, argv);
    if (!parsed) {
        usage(stderr);
        return exitUsage;
    }
    const Settings s = *parsed;
    std::optional<std::vector<TouchStep>> touchSteps;
    if (!s.touchScript.empty()) {
        std::string error;
        touchSteps = parseTouchScript(s.touchScript, error);
        if (!touchSteps) {
            std::fprintf(stderr, "qb-companion: %s\n", error.c_str());
            return exitUsage;
        }
    }
    std::signal(SIGINT, [](int) { interrupted = true; });
    std::signal(SIGTERM, [](int) { interrupted = true; });

    // A new client for every connection: its reader and decoder start over.
    auto client = std::make_unique<CompanionClient>();
    if (!client->connect(s.host, s.port, std::chrono::seconds(5))) {
        std::fprintf(stderr, "qb-companion: cannot connect to %s:%u\n", s.host.c_str(), s.port);
        return exitConnect;
    }
    auto greeting = client->readGreeting(std::chrono::seconds(10));
    if (!greeting) {
        if (!client->violation().empty()) {
            std::fprintf(stderr, "qb-companion: protocol violation: %s\n", client->violation().c_str());
            return exitViolation;
        }
        std::fprintf(stderr, "qb-companion: no complete greeting from the host\n");
        return exitViolation;
    }
    if (!s.quiet) printGreeting(*greeting);

    std::thread touchThread;
    std::atomic<bool> touchFailed{false};
    if (touchSteps) {
        touchThread = std::thread([&] {
            TouchSender sender;
            if (!sender.connect(s.host, s.touchPort, std::chrono::seconds(5))) {
                std::fprintf(stderr, "qb-companion: cannot connect to the input port %s:%u\n", s.host.c_str(),
                    s.touchPort);
                touchFailed = true;
                return;
            }
            for (const auto& step : *touchSteps) {
                if (interrupted) break;
                if (step.message && !sender.send(*step.message)) {
                    std::fprintf(stderr, "qb-companion: the input connection closed\n");
                    touchFailed = true;
                    return;
                }
                if (step.waitMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(step.waitMs));
            }
        });
    }

    RunStats run;
    struct PendingAck {
        Clock::time_point due;
        Clock::time_point arrived;
        std::uint32_t sequenceNumber;
    };
    std::deque<PendingAck> pendingAcks;
    auto nextStats = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.statsEvery));
    const auto endTime = s.durationSeconds > 0
        ? Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.durationSeconds))
        : Clock::time_point::max();
    std::uint64_t framesSeen = 0;
    int status = exitOk;

    auto flushAcks = [&](Clock::time_point now) {
        while (!pendingAcks.empty() && pendingAcks.front().due <= now) {
            const auto& ack = pendingAcks.front();
            if (client->sendAck(ack.sequenceNumber)) {
                ++run.acksSent;
                run.ackDelaySum += std::chrono::duration<double, std::milli>(Clock::now() - ack.arrived).count();
            }
            pendingAcks.pop_front();
        }
    };

    // Waits 0.5 s, then doubles the wait up to 4 s between tries, until a
    // connection gives its greeting, the run's time is over or Ctrl-C.
    auto reconnect = [&] {
        auto wait = std::chrono::milliseconds(500);
        while (true) {
            const auto until = std::min(Clock::now() + wait, endTime);
            while (!interrupted && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (interrupted || Clock::now() >= endTime) return false;
            client = std::make_unique<CompanionClient>();
            if (client->connect(s.host, s.port, std::chrono::seconds(2))) {
                if (const auto again = client->readGreeting(std::chrono::seconds(5))) {
                    if (!s.quiet) printGreeting(*again);
                    return true;
                }
                if (!client->violation().empty()) return true; // the main loop reports it
            }
            wait = std::min(wait * 2, std::chrono::milliseconds(4000));
        }
    };

    while (!interrupted) {
        auto now = Clock::now();
        flushAcks(now);
        if (now >= endTime) break;
        if (s.statsEvery > 0 && now >= nextStats && !s.quiet) {
            printStats(*client, run, "");
            nextStats = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.statsEvery));
        }
        auto wait = std::chrono::milliseconds(250);
        if (!pendingAcks.empty()) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(pendingAcks.front().due - now));
        }
        auto message = client->readMessage(std::max(wait, std::chrono::milliseconds(1)));
        if (!message) {
            if (!client->violation().empty()) {
                std::fprintf(stderr, "qb-companion: protocol violation: %s\n", client->violation().c_str());
                status = exitViolation;
                break;
            }
            if (client->closed()) {
                if (!s.quiet) std::printf("the host closed the connection\n");
                if (s.once) break;
                // The lost connection's frames cannot be acknowledged on the next.
                pendingAcks.clear();
                if (!reconnect()) break;
            }
            continue;
        }
        const auto* frame = std::get_if<qb::FrameMessage>(&*message);
        if (!frame) {
            const auto& command = std::get<qb::CommandMessage>(*message);
            if (!s.quiet) {
                if (command.code == qb::CommandCode::resolution) {
                    std::printf("resolution %ux%u\n", command.width, command.height);
                } else {
                    std::printf("command %u value %u\n", static_cast<unsigned>(command.code), command.value);
                }
            }
            continue;
        }
        ++framesSeen;
        const bool acknowledge = !s.noAck && !(s.dropAckEvery > 0 && framesSeen % s.dropAckEvery == 0);
        if (acknowledge) {
            auto arrived = Clock::now();
            pendingAcks.push_back({arrived + std::chrono::milliseconds(s.ackDelayMs), arrived, frame->sequenceNumber});
            flushAcks(Clock::now());
        }
        if (s.maxFrames > 0 && framesSeen >= s.maxFrames) break;
    }
    // Acknowledge what is still due so the host's counts settle.
    for (const auto& ack : pendingAcks) {
        if (client->sendAck(ack.sequenceNumber)) ++run.acksSent;
    }
    if (touchThread.joinable()) touchThread.join();

    printStats(*client, run, "final: ");
    if (!s.pngPath.empty()) {
        const auto& d = client->decoder();
        std::string error;
        if (!d.hasPicture()) {
            std::fprintf(stderr, "qb-companion: no picture to save yet\n");
        } else if (!writePng(s.pngPath, d.width(), d.height(), d.pixelFormat() == FramePixelFormat::rgb, d.frame(),
                       error)) {
            std::fprintf(stderr, "qb-companion: %s\n", error.c_str());
        } else if (!s.quiet) {
            std::printf("saved %s\n", s.pngPath.c_str());
        }
    }
    if (!s.rawPath.empty()) {
        const auto& frame = client->decoder().frame();
        std::FILE* out = client->decoder().hasPicture() ? std::fopen(s.rawPath.c_str(), "wb") : nullptr;
        if (!out || std::fwrite(frame.data(), 1, frame.size(), out) != frame.size()) {
            std::fprintf(stderr, "qb-companion: cannot save %s\n", s.rawPath.c_str());
            if (status == exitOk) status = exitViolation;
        }
        if (out) std::fclose(out);
    }
    if (status == exitOk && touchFailed) status = exitConnect;
    return status;
}
