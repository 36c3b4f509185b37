// qb_latency_bench: the frame path end to end on a private X server.
//
//   qb_latency_bench [--seconds N] [--scene typing|reading] [--width W] [--height H]
//                    [--tablets 1|2] [--hogs N]
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
// `--tablets 2` streams two tablets at once, a 1600x1200 and a 1200x1600
// grey, each on its own virtual output with its own capture, frame server,
// decoder and drawing client, as two device sessions of the daemon would.
// `--hogs N` runs N busy loops beside it for the measured interval (other
// work on the machine). QUILLBRIGHT_FRAME_PRIORITY=0 keeps the capture and
// encode threads at the normal priority.
//
// Reports per tablet capture→decoded, drawn→decoded and drawn→captured
// p50/p99 and the stamps decoded per second; then the share of one core
// this process used (capture, encoder, server and the drawing client's Xlib
// calls; the decoder is the child's), and the resident set size at the
// start and the end. Exit 77 when no X server can be started.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
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
#include "platform/MutterServer.h"
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
    long count = 0;
    void record(int level, double t)
    {
        std::lock_guard guard(lock);
        at[static_cast<std::size_t>(level)] = t;
        ++count;
    }
    long recorded()
    {
        std::lock_guard guard(lock);
        return count;
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
    int tablets = 1;
    int hogs = 0;
    bool mutter = false; // headless Mutter and its PipeWire screen cast instead of Xorg
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
        } else if (arg == "--tablets" && (value == "1" || value == "2")) {
            options.tablets = std::atoi(value.c_str());
        } else if (arg == "--desktop" && (value == "x11" || value == "mutter")) {
            options.mutter = value == "mutter";
        } else if (arg == "--hogs") {
            options.hogs = std::clamp(std::atoi(value.c_str()), 0, 16);
        } else {
            return std::nullopt;
        }
    }
    if (options.mutter && options.tablets > 1) return std::nullopt;
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
// It stands for the tablet, which decodes on a processor of its own: raised
// (where allowed) so that busy loops beside the bench do not delay it.
[[noreturn]] void runDecoder(std::uint16_t port, int out, int width)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    setpriority(PRIO_PROCESS, 0, -10);
    companion::CompanionClient client;
    if (!client.connect("127.0.0.1", port, std::chrono::milliseconds(5000)) || !client.readGreeting(std::chrono::milliseconds(5000))) {
        _exit(2);
    }
    int last = -1;
    // The first frame waits for the drawing client and the capture to start.
    for (auto wait = std::chrono::milliseconds(60000);; wait = std::chrono::milliseconds(3000)) {
        auto frame = client.readFrame(wait);
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

// The decoded stamps of one tablet, matched as they arrive: a stamp level
// comes round again after STAMP_LEVELS frames, so the drawn and captured
// times are fresh then.
struct Decoded {
    double at, captured, drawn;
};

// One tablet: its virtual output, frame server, capture, decoder child and
// drawing client.
struct Tablet {
    int width = 0, height = 0;
    std::unique_ptr<VirtualDisplay> display;
    InputInjector::Bounds bounds{};
    std::shared_ptr<FrameServer> tcp;
    std::shared_ptr<ScreenCapture> capture;
    StampTimes captured, drawn;
    pid_t decoder = -1;
    int decodedFd = -1;
    // Room for every stamp of the run, written before the measurement so
    // that this record's own pages do not show in the process's memory figure.
    std::vector<Decoded> decoded;
    std::size_t decodedCount = 0;
    std::thread reader, painter;
    // On Mutter the drawing client is a process (qb-latency-stamper); its
    // stamps come back through `stamperFd`.
    pid_t stamper = -1;
    int stamperFd = -1;
    Display* client = nullptr;
    Window window = 0;
    GC gc = nullptr;

    // A page of "text": short dark strokes on light paper.
    void drawText(int top, int rows, long seed)
    {
        XSetForeground(client, gc, 0xF0F0F0);
        XFillRectangle(client, window, gc, 0, top, static_cast<unsigned>(width), static_cast<unsigned>(rows));
        XSetForeground(client, gc, 0x202020);
        for (int y = top + 4; y + 12 < top + rows; y += 20) {
            for (int x = 40; x + 10 < width - 40; x += 9) {
                if ((x * 7 + y * 13 + seed) % 11 < 8) XFillRectangle(client, window, gc, x, y, 7, 12);
            }
        }
    }

    // One frame of the scene, stamped.
    void drawFrame(const std::string& scene, long k)
    {
        if (scene == "reading") {
            XCopyArea(client, window, window, gc, 0, 40, static_cast<unsigned>(width),
                static_cast<unsigned>(height - 40), 0, 0);
            drawText(height - 40, 40, k);
        } else {
            const int columns = (width - 80) / 10, lines = (height - 80) / 20;
            const long cell = k % (static_cast<long>(columns) * lines);
            XSetForeground(client, gc, 0x202020);
            XFillRectangle(client, window, gc, 40 + static_cast<int>(cell % columns) * 10,
                40 + static_cast<int>(cell / columns) * 20, 8, 14);
        }
        const int level = stampLevel(k);
        XSetForeground(client, gc, static_cast<unsigned long>(level * 0x010101));
        XFillRectangle(client, window, gc, 0, 0, STAMP_SIZE, STAMP_SIZE);
        // Drawn as the requests leave for the server: the capture may have
        // the change decoded before a round trip would return (or this
        // thread get a core back on a loaded machine).
        drawn.record(level, secondsOf(SteadyClock::now()));
        XSync(client, False);
    }
};

// The X11 drawing client: its own connection, a window over the output.
void openDrawingClient(Tablet& t, const std::string& display)
{
    t.client = XOpenDisplay(display.c_str());
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0xF0F0F0;
    t.window = XCreateWindow(t.client, DefaultRootWindow(t.client), int(t.bounds.left), int(t.bounds.top),
        static_cast<unsigned>(t.width), static_cast<unsigned>(t.height), 0, CopyFromParent, InputOutput,
        CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(t.client, t.window);
    t.gc = XCreateGC(t.client, t.window, 0, nullptr);
    // The scroll is an XCopyArea, for which the server would send a
    // NoExpose event every frame; this client never reads events, so
    // Xlib would queue them for ever (a slow growth of this process's
    // memory, not the daemon's).
    XSetGraphicsExposures(t.client, t.gc, False);
    t.drawText(0, t.height, 0);
    XSync(t.client, False);
}

// The Wayland drawing client, fullscreen on the tablet's output; true once
// it has shown its first picture.
bool startStamper(Tablet& t, const std::string& scene)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    const pid_t parent = getpid();
    t.stamper = fork();
    if (t.stamper == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        const std::string w = std::to_string(t.width), h = std::to_string(t.height);
        execl(QB_LATENCY_STAMPER, "qb-latency-stamper", w.c_str(), h.c_str(), scene.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    t.stamperFd = pipeFds[0];
    if (t.stamper < 0) return false;
    pollfd ready{t.stamperFd, POLLIN, 0};
    double record[2];
    return poll(&ready, 1, 30000) == 1 && read(t.stamperFd, record, sizeof record) == sizeof record && record[0] < 0;
}

// Busy loops beside the bench, as other work on the machine; each ends with
// the bench (killed by it, or by the kernel when the bench dies first).
std::vector<pid_t> startHogs(int count)
{
    std::vector<pid_t> hogs;
    for (int i = 0; i < count; ++i) {
        const pid_t parent = getpid();
        const pid_t hog = fork();
        if (hog == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(0);
            for (;;) asm volatile("" ::: "memory"); // a loop the compiler keeps
        }
        if (hog > 0) hogs.push_back(hog);
    }
    return hogs;
}

void stopChild(pid_t child)
{
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

} // namespace

int main(int argc, char** argv)
{
    const auto options = parse(argc, argv);
    if (!options) {
        std::cerr << "usage: qb_latency_bench [--seconds N] [--scene typing|reading] [--width W] [--height H]"
                     " [--tablets 1|2] [--hogs N]\n"
                     "  --tablets 2: a 1600x1200 and a 1200x1600 grey tablet, each on its own output\n";
        return 2;
    }
    std::optional<test::XorgServer> xorg;
    std::optional<test::MutterServer> mutter;
    if (options->mutter) {
        mutter.emplace();
        if (!mutter->skipReason.empty() || !mutter->failure.empty()) {
            std::cerr << "qb_latency_bench: no Mutter: " << mutter->skipReason << mutter->failure << "\n";
            return mutter->skipReason.empty() ? 1 : EXIT_SKIPPED;
        }
    } else {
        xorg.emplace();
        if (!xorg->running()) {
            std::cerr << "qb_latency_bench: no X server: " << xorg->skipReason << "\n";
            return EXIT_SKIPPED;
        }
        XInitThreads();
    }
    PlatformLogMute mute;
    MainLoop loop;
    std::string error;
    auto platform = options->mutter ? makeGnomeDesktop(loop.executor(), &error)
                                    : makeX11Desktop(loop.executor(), xorg->display.c_str(), &error);
    if (!platform) {
        std::cerr << "qb_latency_bench: " << error << "\n";
        return 1;
    }
    std::vector<std::unique_ptr<Tablet>> tablets;
    for (int i = 0; i < options->tablets; ++i) {
        auto tablet = std::make_unique<Tablet>();
        // The second tablet stands in portrait.
        tablet->width = options->tablets == 1 ? options->width : (i == 0 ? 1600 : 1200);
        tablet->height = options->tablets == 1 ? options->height : (i == 0 ? 1200 : 1600);
        const auto w = static_cast<std::uint32_t>(tablet->width), h = static_cast<std::uint32_t>(tablet->height);
        VirtualDisplayDescriptor descriptor;
        descriptor.serialNumber = 77 + static_cast<std::uint32_t>(i);
        descriptor.name = fmt::format("latency{}", i);
        descriptor.maxPixelsWide = w;
        descriptor.maxPixelsHigh = h;
        tablet->display = platform->virtualDisplays()->createVirtualDisplay(descriptor);
        const auto bounds =
            tablet->display ? platform->inputInjector()->displayBounds(tablet->display->displayId()) : std::nullopt;
        if (!bounds) {
            std::cerr << "qb_latency_bench: no virtual output\n";
            return 1;
        }
        tablet->bounds = *bounds;

        // The frame server and the capture, as a device session wires them.
        tablet->tcp = FrameServer::make();
        tablet->tcp->setFrameWidth(static_cast<std::uint16_t>(w));
        tablet->tcp->setFrameHeight(static_cast<std::uint16_t>(h));
        tablet->tcp->setPixelFormat(PixelFormat::greyscale);
        if (tablet->tcp->open(0)) {
            std::cerr << "qb_latency_bench: cannot listen\n";
            return 1;
        }
        tablet->tcp->start();
        ScreenCaptureOptions captureOptions;
        captureOptions.backend = std::make_shared<WatchedBackend>(platform->captureBackend(), tablet->captured);
        tablet->capture = std::make_shared<ScreenCapture>(tablet->tcp, nullptr, tablet->display->displayId(), w, h,
            PixelFormat::greyscale, captureOptions);
        // No tone curve, so the decoded stamp is the grey level drawn.
        tablet->capture->setGammaAmount(1.0);
        tablet->capture->setContrastAmount(1.0);
        tablet->decoded.assign(static_cast<std::size_t>(options->seconds + 10) * 70, Decoded{0, 0, 0});
        tablets.push_back(std::move(tablet));
    }
    // Every decoder is forked before the readers and painters start.
    for (auto& tablet : tablets) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return 1;
        tablet->decoder = fork();
        if (tablet->decoder == 0) {
            close(pipeFds[0]);
            runDecoder(tablet->tcp->port(), pipeFds[1], tablet->width);
        }
        close(pipeFds[1]);
        tablet->decodedFd = pipeFds[0];
    }
    for (auto& tablet : tablets) {
        Tablet* t = tablet.get();
        t->reader = std::thread([t] {
            double record[2];
            while (read(t->decodedFd, record, sizeof record) == sizeof record) {
                const int level = static_cast<int>(record[0]);
                if (t->decodedCount < t->decoded.size()) {
                    t->decoded[t->decodedCount++] = {record[1], t->captured.get(level), t->drawn.get(level)};
                }
            }
        });

        if (options->mutter) {
            if (!startStamper(*t, options->scene)) {
                std::cerr << "qb_latency_bench: the drawing client did not show its window\n";
                for (auto& other : tablets) {
                    if (other->stamper > 0) stopChild(other->stamper);
                    stopChild(other->decoder);
                    if (other->reader.joinable()) other->reader.join();
                }
                return 1;
            }
        } else {
            openDrawingClient(*t, xorg->display);
        }
        runTask(loop, t->capture->start());
    }

    std::atomic<bool> drawing{true};
    for (auto& tablet : tablets) {
        Tablet* t = tablet.get();
        t->painter = std::thread([t, &drawing, &options] {
            if (t->stamper > 0) {
                double record[2];
                while (read(t->stamperFd, record, sizeof record) == sizeof record) {
                    t->drawn.record(static_cast<int>(record[0]), record[1]);
                }
                return;
            }
            const auto period = std::chrono::microseconds(16667);
            auto next = SteadyClock::now();
            for (long k = 0; drawing; ++k) {
                t->drawFrame(options->scene, k);
                next += period;
                std::this_thread::sleep_until(next); // the 60 fps cadence, not a wait for a result
            }
        });
    }
    const std::vector<pid_t> hogs = startHogs(options->hogs);

    // Warm-up, then the measured interval.
    loop.runFor(std::chrono::milliseconds(2000));
    const long rssStart = residentKB();
    const double cpuStart = cpuSeconds();
    std::vector<long> drawnStart;
    for (auto& tablet : tablets) drawnStart.push_back(tablet->drawn.recorded());
    const auto wallStart = SteadyClock::now();
    const auto end = wallStart + std::chrono::seconds(options->seconds);
    while (SteadyClock::now() < end) {
        loop.runFor(std::chrono::milliseconds(100));
    }
    const double wall = std::chrono::duration<double>(SteadyClock::now() - wallStart).count();
    const double cpu = cpuSeconds() - cpuStart;
    std::vector<long> drawnCount;
    for (std::size_t i = 0; i < tablets.size(); ++i) drawnCount.push_back(tablets[i]->drawn.recorded() - drawnStart[i]);
    const long rssEnd = residentKB();

    for (pid_t hog : hogs) stopChild(hog);
    drawing = false;
    for (auto& tablet : tablets) {
        if (tablet->stamper > 0) stopChild(tablet->stamper);
        tablet->painter.join();
    }
    for (auto& tablet : tablets) {
        runTask(loop, tablet->capture->stop());
        tablet->tcp->stop();
    }
    for (auto& tablet : tablets) {
        // The client sees the stream close and exits; a deadline in case it does not.
        for (int i = 0; i < 50 && waitpid(tablet->decoder, nullptr, WNOHANG) == 0; ++i) {
            loop.runFor(std::chrono::milliseconds(100));
        }
        if (waitpid(tablet->decoder, nullptr, WNOHANG) == 0) stopChild(tablet->decoder);
        tablet->reader.join();
        close(tablet->decodedFd);
    }

    const char* priority = std::getenv("QUILLBRIGHT_FRAME_PRIORITY");
    std::cout << fmt::format("{}: scene {}, {} tablet(s), {:.0f} s, kernels {}, {} hog(s), frame threads {}\n",
        options->mutter ? "Mutter, PipeWire" : "Xorg, XShm", options->scene, tablets.size(), wall, simdLevelName(activePixelKernels().level), hogs.size(),
        priority && std::string(priority) == "0" ? "at normal priority" : "raised where allowed");
    const double from = secondsOf(wallStart), to = from + wall;
    bool everyTabletSeen = true;
    std::int64_t skipped = 0;
    for (std::size_t i = 0; i < tablets.size(); ++i) {
        Tablet* tablet = tablets[i].get();
        std::vector<double> captureToDecoded, drawnToDecoded, drawnToCaptured;
        std::size_t seen = 0;
        tablet->decoded.resize(tablet->decodedCount);
        for (const Decoded& frame : tablet->decoded) {
            if (frame.at < from || frame.at > to) continue;
            ++seen;
            if (frame.captured > 0 && frame.at >= frame.captured) {
                captureToDecoded.push_back((frame.at - frame.captured) * 1000);
            }
            if (frame.drawn > 0 && frame.at >= frame.drawn) drawnToDecoded.push_back((frame.at - frame.drawn) * 1000);
            if (frame.drawn > 0 && frame.captured >= frame.drawn) {
                drawnToCaptured.push_back((frame.captured - frame.drawn) * 1000);
            }
        }
        skipped += tablet->capture->skippedFrames();
        const auto ctd = percentiles(captureToDecoded), dtd = percentiles(drawnToDecoded),
                   dtc = percentiles(drawnToCaptured);
        std::cout << fmt::format("tablet {}x{} grey: {} stamps decoded ({:.1f}/s) of {:.1f}/s drawn, skipped frames {}\n",
            tablet->width, tablet->height, seen, seen / wall, drawnCount[i] / wall, tablet->capture->skippedFrames());
        std::cout << fmt::format("  capture->decoded ms: p50 {:.2f}  p99 {:.2f}  (n={})\n", ctd.p50, ctd.p99, ctd.count);
        std::cout << fmt::format("  drawn->decoded ms:   p50 {:.2f}  p99 {:.2f}  (n={})\n", dtd.p50, dtd.p99, dtd.count);
        std::cout << fmt::format("  drawn->captured ms:  p50 {:.2f}  p99 {:.2f}  (n={})\n", dtc.p50, dtc.p99, dtc.count);
        everyTabletSeen = everyTabletSeen && seen > 0;
    }
    std::cout << fmt::format("process CPU: {:.1f}% of one core | RSS {} KB -> {} KB | skipped frames {}\n",
        100 * cpu / wall, rssStart, rssEnd, skipped);

    for (auto& tablet : tablets) {
        if (!tablet->client) continue;
        XFreeGC(tablet->client, tablet->gc);
        XDestroyWindow(tablet->client, tablet->window);
        XCloseDisplay(tablet->client);
    }
    return everyTabletSeen ? 0 : 1;
}
