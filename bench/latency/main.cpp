// qb_latency_bench: the frame path end to end on a private X server.
//
//   qb_latency_bench [--seconds N] [--scene typing|reading] [--width W] [--height H]
//
// Starts Xorg with the dummy driver (as the x11 tests do), adds a virtual
// output, and streams it through the real capture (XShm + XDamage),
// ScreenCapture and FrameServer over loopback to the reference client
// (tools/companion), which runs in a child process, decodes every frame and
// acknowledges it. A drawing client changes the output at 60 fps: "typing"
// draws one character cell per frame, "reading" scrolls the page by 40 rows
// and draws the new band. Each change carries a stamp (a grey level in the
// top-left corner), so the times can be matched: drawn (as its requests are
// sent to the server), captured (the capture handler saw it) and decoded (the
// client applied the frame).
//
// Reports capture→decoded, drawn→decoded and drawn→captured p50/p99, the share of one core
// this process used (capture, encoder, server and the drawing client's Xlib
// calls; the decoder is the child's), and the resident set size at the
// start and the end. Exit 77 when no X server can be started.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fmt/format.h>

#include "companion/CompanionClient.h"
#include "diagnostics/PlatformLog.h"
#include "pipeline/ScreenCapture.h"
#include "platform/CaptureStream.h"
#include "platform/InputInjector.h"
#include "platform/Platform.h"
#include "platform/VirtualDisplays.h"
#include "platform/XorgServer.h"
#include "runtime/MainLoop.h"
#include "transport/FrameServer.h"

using namespace qb;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int EXIT_SKIPPED = 77;
constexpr int STAMP_SIZE = 8;   // pixels, top-left corner of the output
constexpr int STAMP_LEVELS = 200; // grey levels 32..231 in turn

double secondsOf(SteadyClock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

int stampLevel(long k) { return 32 + static_cast<int>(k % STAMP_LEVELS); }

// The latest time each stamp level was seen on one side.
struct StampTimes {
    std::mutex lock;
    std::array<double, 256> at{};
    void record(int level, double t)
    {
        std::lock_guard guard(lock);
        at[static_cast<std::size_t>(level)] = t;
    }
    double get(int level)
    {
        std::lock_guard guard(lock);
        return at[static_cast<std::size_t>(level)];
    }
};

// The capture backend of the platform, with the handler watched: the time a
// frame with a new stamp reached the encoder.
class WatchedBackend final : public CaptureBackend {
public:
    WatchedBackend(std::shared_ptr<CaptureBackend> inner, StampTimes& captured)
        : inner_(std::move(inner))
        , captured_(captured)
    {
    }
    bool preflightScreenCaptureAccess() override { return inner_->preflightScreenCaptureAccess(); }
    bool requestScreenCaptureAccess() override { return inner_->requestScreenCaptureAccess(); }
    const CaptureWords& words() const override { return inner_->words(); }
    std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest& request, CaptureFrameHandler handler) override
    {
        StampTimes* captured = &captured_;
        auto last = std::make_shared<int>(-1);
        return inner_->createStream(request, [handler, captured, last](std::int32_t status, const CaptureSurface* surface) {
            if (surface) {
                if (const std::uint8_t* pixels = surface->lockReadOnly()) {
                    const int level = pixels[surface->bytesPerRow() * 2 + 4 * 2 + 1]; // green of (2, 2)
                    surface->unlockReadOnly();
                    if (level != *last) captured->record(level, secondsOf(SteadyClock::now()));
                    *last = level;
                }
            }
            handler(status, surface);
        });
    }

private:
    std::shared_ptr<CaptureBackend> inner_;
    StampTimes& captured_;
};

struct Options {
    int seconds = 20;
    std::string scene = "reading";
    int width = 1600;
    int height = 1200;
};

std::optional<Options> parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return std::nullopt;
        const std::string value = argv[++i];
        if (arg == "--seconds") {
            options.seconds = std::max(1, std::atoi(value.c_str()));
        } else if (arg == "--scene" && (value == "typing" || value == "reading")) {
            options.scene = value;
        } else if (arg == "--width") {
            options.width = std::atoi(value.c_str());
        } else if (arg == "--height") {
            options.height = std::atoi(value.c_str());
        } else {
            return std::nullopt;
        }
    }
    if (options.width < 64 || options.height < 64 || options.width % 2 || options.height % 2) return std::nullopt;
    return options;
}

long residentKB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto toSeconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

// The reference client in a child process: decodes, acknowledges, and
// writes (stamp level, time) to `out` whenever the stamp changes.
[[noreturn]] void runDecoder(std::uint16_t port, int out, int width)
{
    companion::CompanionClient client;
    if (!client.connect("127.0.0.1", port, std::chrono::milliseconds(5000)) || !client.readGreeting(std::chrono::milliseconds(5000))) {
        _exit(2);
    }
    int last = -1;
    for (;;) {
        auto frame = client.readFrame(std::chrono::milliseconds(3000));
        if (!frame) _exit(client.closed() ? 0 : 3);
        client.sendAck(frame->sequenceNumber);
        const auto& picture = client.decoder().frame();
        if (picture.size() < static_cast<std::size_t>(width) * 3) continue;
        const int level = picture[static_cast<std::size_t>(width) * 2 + 2];
        if (level == last) continue;
        last = level;
        const double record[2] = {static_cast<double>(level), secondsOf(SteadyClock::now())};
        if (write(out, record, sizeof record) != sizeof record) _exit(4);
    }
}

struct Percentiles {
    double p50 = 0, p99 = 0;
    std::size_t count = 0;
};

Percentiles percentiles(std::vector<double> values)
{
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))]; };
    return {at(0.50), at(0.99), values.size()};
}

void runTask(MainLoop& loop, asio::awaitable<void> task)
{
    bool done = false;
    std::exception_ptr error;
    asio::co_spawn(loop.executor(), std::move(task), [&](std::exception_ptr e) {
        error = e;
        done = true;
    });
    loop.runUntil([&] { return done; }, std::chrono::milliseconds(10000));
    if (error) std::rethrow_exception(error);
}

} // namespace

int main(int argc, char** argv)
{
    const auto options = parse(argc, argv);
    if (!options) {
        std::cerr << "usage: qb_latency_bench [--seconds N] [--scene typing|reading] [--width W] [--height H]\n";
        return 2;
    }
    test::XorgServer server;
    if (!server.running()) {
        std::cerr << "qb_latency_bench: no X server: " << server.skipReason << "\n";
        return EXIT_SKIPPED;
    }
    XInitThreads();
    PlatformLogMute mute;
    MainLoop loop;
    std::string error;
    auto platform = makeX11Desktop(loop.executor(), server.display.c_str(), &error);
    if (!platform) {
        std::cerr << "qb_latency_bench: " << error << "\n";
        return 1;
    }
    const auto w = static_cast<std::uint32_t>(options->width), h = static_cast<std::uint32_t>(options->height);
    VirtualDisplayDescriptor descriptor;
    descriptor.serialNumber = 77;
    descriptor.name = "latency";
    descriptor.maxPixelsWide = w;
    descriptor.maxPixelsHigh = h;
    auto display = platform->virtualDisplays()->createVirtualDisplay(descriptor);
    const auto bounds = display ? platform->inputInjector()->displayBounds(display->displayId()) : std::nullopt;
    if (!bounds) {
        std::cerr << "qb_latency_bench: no virtual output\n";
        return 1;
    }

    // The frame server and the capture, as a device session wires them.
    auto tcp = FrameServer::make();
    tcp->setFrameWidth(static_cast<std::uint16_t>(w));
    tcp->setFrameHeight(static_cast<std::uint16_t>(h));
    tcp->setPixelFormat(PixelFormat::greyscale);
    if (tcp->start(0)) {
        std::cerr << "qb_latency_bench: cannot listen\n";
        return 1;
    }
    StampTimes captured, drawn;
    ScreenCaptureOptions captureOptions;
    captureOptions.backend = std::make_shared<WatchedBackend>(platform->captureBackend(), captured);
    auto capture = std::make_shared<ScreenCapture>(tcp, nullptr, display->displayId(), w, h, PixelFormat::greyscale,
        captureOptions);
    // No tone curve, so the decoded stamp is the grey level drawn.
    capture->setGammaAmount(1.0);
    capture->setContrastAmount(1.0);

    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 1;
    const pid_t decoder = fork();
    if (decoder == 0) {
        close(pipeFds[0]);
        runDecoder(tcp->port(), pipeFds[1], options->width);
    }
    close(pipeFds[1]);
    // Matched as they arrive: a stamp level comes round again after
    // STAMP_LEVELS frames, so the drawn and captured times are fresh now.
    struct Decoded {
        double at, captured, drawn;
    };
    // Room for every stamp of the run, written before the measurement so
    // that this record's own pages do not show in the process's memory figure.
    std::vector<Decoded> decoded(static_cast<std::size_t>(options->seconds + 10) * 70, Decoded{0, 0, 0});
    std::size_t decodedCount = 0;
    std::thread reader([&] {
        double record[2];
        while (read(pipeFds[0], record, sizeof record) == sizeof record) {
            const int level = static_cast<int>(record[0]);
            if (decodedCount < decoded.size()) decoded[decodedCount++] = {record[1], captured.get(level), drawn.get(level)};
        }
    });

    // The drawing client: its own connection, a window over the output.
    Display* client = XOpenDisplay(server.display.c_str());
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0xF0F0F0;
    const Window window = XCreateWindow(client, DefaultRootWindow(client), int(bounds->left), int(bounds->top), w, h, 0,
        CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(client, window);
    GC gc = XCreateGC(client, window, 0, nullptr);
    // The scroll is an XCopyArea, for which the server would send a NoExpose
    // event every frame; this client never reads events, so Xlib would queue
    // them for ever (a slow growth of this process's memory, not the daemon's).
    XSetGraphicsExposures(client, gc, False);
    // A page of "text": short dark strokes on light paper.
    auto drawText = [&](int top, int rows, long seed) {
        XSetForeground(client, gc, 0xF0F0F0);
        XFillRectangle(client, window, gc, 0, top, w, static_cast<unsigned>(rows));
        XSetForeground(client, gc, 0x202020);
        for (int y = top + 4; y + 12 < top + rows; y += 20) {
            for (int x = 40; x + 10 < options->width - 40; x += 9) {
                if ((x * 7 + y * 13 + seed) % 11 < 8) XFillRectangle(client, window, gc, x, y, 7, 12);
            }
        }
    };
    drawText(0, options->height, 0);
    XSync(client, False);

    runTask(loop, capture->start());
    std::atomic<bool> drawing{true};
    std::thread painter([&] {
        const auto period = std::chrono::microseconds(16667);
        auto next = SteadyClock::now();
        for (long k = 0; drawing; ++k) {
            if (options->scene == "reading") {
                XCopyArea(client, window, window, gc, 0, 40, w, h - 40, 0, 0);
                drawText(options->height - 40, 40, k);
            } else {
                const int columns = (options->width - 80) / 10, lines = (options->height - 80) / 20;
                const long cell = k % (static_cast<long>(columns) * lines);
                XSetForeground(client, gc, 0x202020);
                XFillRectangle(client, window, gc, 40 + static_cast<int>(cell % columns) * 10,
                    40 + static_cast<int>(cell / columns) * 20, 8, 14);
            }
            const int level = stampLevel(k);
            XSetForeground(client, gc, static_cast<unsigned long>(level * 0x010101));
            XFillRectangle(client, window, gc, 0, 0, STAMP_SIZE, STAMP_SIZE);
            // Drawn as the requests leave for the server: the capture may
            // have the change decoded before a round trip would return (or
            // this thread get a core back on a loaded machine).
            drawn.record(level, secondsOf(SteadyClock::now()));
            XSync(client, False);
            next += period;
            std::this_thread::sleep_until(next); // the 60 fps cadence, not a wait for a result
        }
    });

    // Warm-up, then the measured interval.
    loop.runFor(std::chrono::milliseconds(2000));
    const long rssStart = residentKB();
    const double cpuStart = cpuSeconds();
    const auto wallStart = SteadyClock::now();
    std::vector<double> captureToDecoded, drawnToDecoded, drawnToCaptured;
    std::size_t seen = 0;
    const auto end = wallStart + std::chrono::seconds(options->seconds);
    while (SteadyClock::now() < end) {
        loop.runFor(std::chrono::milliseconds(100));
    }
    const double wall = std::chrono::duration<double>(SteadyClock::now() - wallStart).count();
    const double cpu = cpuSeconds() - cpuStart;
    const long rssEnd = residentKB();

    drawing = false;
    painter.join();
    runTask(loop, capture->stop());
    tcp->stop();
    int status = 0;
    // The client sees the stream close and exits; a deadline in case it does not.
    for (int i = 0; i < 50 && waitpid(decoder, &status, WNOHANG) == 0; ++i) loop.runFor(std::chrono::milliseconds(100));
    if (waitpid(decoder, &status, WNOHANG) == 0) {
        kill(decoder, SIGKILL);
        waitpid(decoder, &status, 0);
    }
    reader.join();

    const double from = secondsOf(wallStart), to = from + wall;
    decoded.resize(decodedCount);
    for (const Decoded& frame : decoded) {
        if (frame.at < from || frame.at > to) continue;
        ++seen;
        if (frame.captured > 0 && frame.at >= frame.captured) captureToDecoded.push_back((frame.at - frame.captured) * 1000);
        if (frame.drawn > 0 && frame.at >= frame.drawn) drawnToDecoded.push_back((frame.at - frame.drawn) * 1000);
        if (frame.drawn > 0 && frame.captured >= frame.drawn) drawnToCaptured.push_back((frame.captured - frame.drawn) * 1000);
    }
    const auto ctd = percentiles(captureToDecoded), dtd = percentiles(drawnToDecoded), dtc = percentiles(drawnToCaptured);
    std::cout << fmt::format("scene {} {}x{} grey, {:.0f} s, {} stamps decoded ({:.1f}/s), kernels {}\n", options->scene,
        w, h, wall, seen, seen / wall, simdLevelName(activePixelKernels().level));
    std::cout << fmt::format("capture->decoded ms: p50 {:.2f}  p99 {:.2f}  (n={})\n", ctd.p50, ctd.p99, ctd.count);
    std::cout << fmt::format("drawn->decoded ms:   p50 {:.2f}  p99 {:.2f}  (n={})\n", dtd.p50, dtd.p99, dtd.count);
    std::cout << fmt::format("drawn->captured ms:  p50 {:.2f}  p99 {:.2f}  (n={})\n", dtc.p50, dtc.p99, dtc.count);
    std::cout << fmt::format("process CPU: {:.1f}% of one core | RSS {} KB -> {} KB | skipped frames {}\n",
        100 * cpu / wall, rssStart, rssEnd, capture->skippedFrames());

    XFreeGC(client, gc);
    XDestroyWindow(client, window);
    XCloseDisplay(client);
    return seen > 0 ? 0 : 1;
}
