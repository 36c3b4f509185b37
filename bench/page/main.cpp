// qb_page_bench: what the tablet page costs its browser. The real daemon on a
// private Xorg gives a 1200x1600 greyscale page (headless Chromium over the
// DevTools protocol, its screen emulated) a monitor of its own; a window
// there shows a document scrolling one line every 16 ms. For each CPU
// throttling rate asked (DevTools' stand-in for a tablet's small core) it
// prints the frames the page decoded a second and the milliseconds each
// took to decode and paint (p50, p90), as the page measures them.
//
//   qb_page_bench [--seconds 5] [--rates 1,4] [--decoder auto|js] [--painter 2d|webgl]
//                 [--resolution portrait-cozy|portrait-sharp] [--quillbright PATH]
//                 [--trace FILE] [--decoders]
//
// --decoder js asks the page for its plain JavaScript decoder (the one it
// falls back on without WebAssembly); --painter webgl its WebGL painter;
// --resolution the page's preset (the
// daemon's default, portrait-cozy, lays the monitor out at half the page's
// pixels and doubles the capture; portrait-sharp gives every page pixel a
// desktop pixel); --quillbright times another build's daemon (and so its
// page) in the same scene; --trace writes Chromium's trace of the timed runs
// (JSON, for chrome://tracing or Perfetto). --decoders times the page's
// decoders alone on the scene's payloads (no Xorg, no daemon; see decoders()).
// Exits 77 (skipped) without Xorg or Chromium.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <boost/beast/core/detail/base64.hpp>
#include <fmt/format.h>

#include "common/PrivateDaemon.h"
#include "core/RuntimePaths.h"
#include "fake-adb/FakeAdbState.h"
#include "pipeline/FrameEncoder.h"
#include "platform/XorgServer.h"
#include "transport/TabletPage.h"
#include "support/Chromium.h"

namespace qb {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int EXIT_SKIPPED = 77;
constexpr int LINE = 20;    // a text line's height in pixels
constexpr int LINES = 240;  // the document's length before it repeats

struct Options {
    int seconds = 5;
    std::vector<int> rates = {1, 4};
    std::string decoder = "auto";
    std::string painter = "2d";
    std::string resolution = "portrait-cozy";
    std::string quillbright = QB_QUILLBRIGHT;
    std::string trace;
    bool decoders = false;
};

// A page of text on white, grey and antialiased as a document is: words of
// glyphs, each glyph a few strokes, in lines of ragged length; LINES lines
// and one screen more, so any screenful of it is a copy of one rectangle.
std::vector<std::uint32_t> document(int width, int height)
{
    std::vector<std::uint32_t> pixels(std::size_t(width) * height, 0xFFFFFFu);
    std::uint32_t seed = 12345;
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    std::vector<std::uint32_t> lines; // the glyph strokes of each line, repeated below
    for (int line = 0; line < LINES; ++line) {
        const int top = line * LINE + 4;
        int x = 40;
        const int end = 200 + int(next() % 900);
        while (x < end) {
            const int letters = 2 + int(next() % 8);
            for (int letter = 0; letter < letters && x < width - 40; ++letter, x += 9) {
                const std::uint32_t shape = next();
                for (int stroke = 0; stroke < 4; ++stroke) {
                    if (((shape >> stroke) & 1) == 0) continue;
                    const bool across = (shape >> (stroke + 4)) & 1;
                    const int sx = x + int((shape >> (8 + stroke * 2)) & 3) * 2;
                    const int sy = top + int((shape >> (16 + stroke * 2)) & 3) * 3;
                    for (int i = 0; i < (across ? 7 : 12); ++i) {
                        const int px = across ? sx + i - 2 : sx, py = across ? sy : sy + i - 2;
                        for (int copy = py; copy < height; copy += LINES * LINE) {
                            if (px < 0 || px >= width || copy < 0) continue;
                            const std::uint32_t grey = (i == 0 || i == (across ? 6 : 11)) ? 0x90u : 0x20u;
                            pixels[std::size_t(copy) * width + px] = grey * 0x010101u;
                        }
                    }
                }
            }
            x += 9;
        }
    }
    return pixels;
}

// The scroll scene on the page's monitor: the document in a pixmap, a
// window over the monitor, one line further down it every tick.
class Scroller {
public:
    Scroller(const std::string& display, int left, int top, int width, int height)
        : width_(width), height_(height)
    {
        x_ = XOpenDisplay(display.c_str());
        if (!x_) return;
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        window_ = XCreateWindow(x_, DefaultRootWindow(x_), left, top, unsigned(width), unsigned(height), 0,
            CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
        XMapRaised(x_, window_);
        const int tall = LINES * LINE + height;
        auto pixels = document(width, tall);
        pixmap_ = XCreatePixmap(x_, window_, unsigned(width), unsigned(tall), unsigned(DefaultDepth(x_, 0)));
        gc_ = XCreateGC(x_, window_, 0, nullptr);
        XImage* image = XCreateImage(x_, DefaultVisual(x_, 0), unsigned(DefaultDepth(x_, 0)), ZPixmap, 0,
            reinterpret_cast<char*>(pixels.data()), unsigned(width), unsigned(tall), 32, 0);
        XPutImage(x_, pixmap_, gc_, image, 0, 0, 0, 0, unsigned(width), unsigned(tall));
        image->data = nullptr;
        XDestroyImage(image);
        step();
    }
    ~Scroller()
    {
        if (!x_) return;
        XFreeGC(x_, gc_);
        XFreePixmap(x_, pixmap_);
        XDestroyWindow(x_, window_);
        XCloseDisplay(x_);
    }
    bool ready() const { return x_ != nullptr; }
    void step()
    {
        line_ = (line_ + 1) % LINES;
        XCopyArea(x_, pixmap_, window_, gc_, 0, line_ * LINE, unsigned(width_), unsigned(height_), 0, 0);
        XSync(x_, False);
    }
    // One line every 16 ms for `duration`.
    void run(std::chrono::milliseconds duration)
    {
        const auto start = std::chrono::steady_clock::now();
        for (auto tick = start; tick < start + duration; tick += 16ms) {
            std::this_thread::sleep_until(tick);
            step();
        }
    }

private:
    Display* x_ = nullptr;
    Window window_ = 0;
    Pixmap pixmap_ = 0;
    GC gc_ = nullptr;
    int width_, height_, line_ = 0;
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

int run(const Options& options, const test::XorgServer& xorg, const fs::path& directory)
{
    const pid_t daemon = bench::launchDaemon(options.quillbright, directory / "daemon.log");
    const auto log = [&] {
        std::ifstream in(directory / "daemon.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    struct Stop {
        pid_t pid;
        ~Stop()
        {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    } stop{daemon};
    test::Browser browser(directory / "chromium");
    if (!browser.ready()) {
        std::printf("skipped: no chromium\n");
        return EXIT_SKIPPED;
    }
    browser.call("Emulation.setDeviceMetricsOverride",
        {{"width", 1200}, {"height", 1600}, {"deviceScaleFactor", 1}, {"mobile", true}});
    browser.call("Page.navigate",
        {{"url", "http://127.0.0.1:8891/tablet?colour=0"
                    + (options.decoder == "auto" ? std::string() : "&decoder=" + options.decoder)
                    + (options.painter == "2d" ? std::string() : "&painter=" + options.painter)}});
    if (!test::eventually([&] { return browser.evaluate("window.quillbright && quillbright.width > 0") == true; },
            60s, 50ms)) {
        std::printf("the page got no picture\n%s\n", log().c_str());
        return 1;
    }
    const int width = browser.evaluate("quillbright.width"), height = browser.evaluate("quillbright.height");
    std::smatch place;
    std::string monitors;
    // Laid out at the page's pixels, or at half of them for a HiDPI preset
    // (the capture doubles it back): the scroller draws in the desktop's units.
    const std::regex monitor(
        fmt::format(R"( ({}|{})/\d+x({}|{})/\d+\+(\d+)\+(\d+))", width, width / 2, height, height / 2));
    if (!test::eventually([&] {
            monitors = xorg.run("xrandr --listmonitors");
            return std::regex_search(monitors, place, monitor);
        }, 20s, 100ms)) {
        std::printf("no %dx%d monitor for the page\n%s\n%s\n", width, height, monitors.c_str(), log().c_str());
        return 1;
    }
    Scroller scroller(xorg.display, std::stoi(place[3]), std::stoi(place[4]), std::stoi(place[1]), std::stoi(place[2]));
    if (!scroller.ready()) return 1;
    std::printf("page %dx%d grey, %s, decoder %s, painter %s, scrolling one line every 16 ms for %d s\n", width, height,
        options.resolution.c_str(), browser.evaluate("quillbright.decoder || 'js'").get<std::string>().c_str(),
        browser.evaluate("quillbright.painter").get<std::string>().c_str(), options.seconds);
    std::printf("%-10s %8s %8s %8s %8s %9s %7s %7s\n", "throttle", "frames", "fps", "p50 ms", "p90 ms", "keyframes",
        "busy %", "ours %");
    // The renderer's main thread: how much of the run it was busy (tasks of
    // any kind, at the throttled rate) and how much of that was the page's
    // own decode and paint.
    browser.call("Performance.enable", {});
    const auto busySeconds = [&] {
        const json metrics = browser.call("Performance.getMetrics", {});
        if (metrics.contains("metrics")) {
            for (const auto& metric : metrics["metrics"]) {
                if (metric.value("name", "") == "TaskDuration") return metric.value("value", 0.0);
            }
        }
        return 0.0;
    };
    if (!options.trace.empty()) {
        browser.call("Tracing.start", {{"transferMode", "ReturnAsStream"},
            {"traceConfig", {{"includedCategories", {"devtools.timeline", "disabled-by-default-devtools.timeline",
                "v8", "blink", "cc", "toplevel", "disabled-by-default-v8.gc"}}}}});
    }
    for (const int rate : options.rates) {
        browser.call("Emulation.setCPUThrottlingRate", {{"rate", rate}});
        scroller.run(1000ms); // settle at this rate
        browser.evaluate("quillbright.decodeTimes = []; quillbright.keyframes = 0");
        const auto start = std::chrono::steady_clock::now();
        const double busyBefore = busySeconds();
        scroller.run(std::chrono::seconds(options.seconds));
        const double busy = busySeconds() - busyBefore;
        const json times = browser.evaluate("quillbright.decodeTimes");
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::vector<double> ms = times.is_array() ? times.get<std::vector<double>>() : std::vector<double>();
        const int keyframes = browser.evaluate("quillbright.keyframes");
        double ours = 0;
        for (const double each : ms) ours += each / 1000.0;
        std::printf("%-10d %8zu %8.1f %8.2f %8.2f %9d %7.0f %7.0f\n", rate, ms.size(), double(ms.size()) / seconds,
            percentile(ms, 0.5), percentile(ms, 0.9), keyframes, 100.0 * busy / seconds, 100.0 * ours / seconds);
        std::fflush(stdout);
    }
    browser.call("Emulation.setCPUThrottlingRate", {{"rate", 1}});
    if (!options.trace.empty()) {
        browser.call("Tracing.end", {});
        const std::string stream = browser.awaitEvent("Tracing.tracingComplete").value("stream", "");
        std::ofstream out(options.trace);
        for (json chunk; !stream.empty();) {
            chunk = browser.call("IO.read", {{"handle", stream}, {"size", 1 << 20}});
            out << chunk.value("data", "");
            if (chunk.value("eof", true)) break;
        }
        browser.call("IO.close", {{"handle", stream}});
        std::printf("trace: %s\n", options.trace.c_str());
    }
    return 0;
}

// The page's decoders alone, on the scroll scene's payloads as the daemon's
// encoder makes them (the scene one line further each frame; a keyframe,
// then deltas), in the page this program was built with: each kind applies
// every payload in turn, three times over (the first pass not counted), at
// each throttling rate. No Xorg or daemon: what the decoder costs, without
// the noise of a whole desktop beside it.
int decoders(const Options& options, const fs::path& directory)
{
    constexpr int WIDTH = 1200, HEIGHT = 1600, FRAMES = 40, KEYFRAME_EVERY = 8;
    const auto pixels = document(WIDTH, LINES * LINE + HEIGHT);
    FrameEncoder encoder(WIDTH, HEIGHT, PixelFormat::greyscale);
    const CaptureRect whole{0, 0, WIDTH, HEIGHT};
    json payloads = json::array();
    std::size_t bytes = 0;
    for (int n = 0; n < FRAMES; ++n) {
        encoder.takeIn(reinterpret_cast<const std::uint8_t*>(pixels.data() + std::size_t(n % LINES) * LINE * WIDTH),
            WIDTH * 4, std::span(&whole, 1), 1.0, 1.0);
        const bool keyframe = n % KEYFRAME_EVERY == 0;
        const auto payload = keyframe ? encoder.compressKeyframe() : encoder.compressDelta();
        std::string text(boost::beast::detail::base64::encoded_size(payload.size()), '\0');
        text.resize(boost::beast::detail::base64::encode(text.data(), payload.data(), payload.size()));
        payloads.push_back({keyframe, text});
        bytes += payload.size();
    }
    test::writeFile(directory / "page.html", tabletPage());
    test::Browser browser(directory / "chromium");
    if (!browser.ready()) {
        std::printf("skipped: no chromium\n");
        return EXIT_SKIPPED;
    }
    browser.call("Page.navigate", {{"url", "file://" + (directory / "page.html").string()}});
    if (!test::eventually([&] { return browser.evaluate("!!(window.quillbright && quillbright.makeDecoder('wasm'))") == true; },
            30s, 50ms)) {
        std::printf("the page's decoders did not load\n");
        return 1;
    }
    browser.evaluate("window.payloads = " + payloads.dump()
        + ".map(([k, b]) => [k, Uint8Array.from(atob(b), c => c.charCodeAt(0))]), 0");
    std::printf("page decoders, %dx%d grey, the scroll scene: %d payloads (a keyframe every %d), %zu KB each on average\n",
        WIDTH, HEIGHT, FRAMES, KEYFRAME_EVERY, bytes / FRAMES / 1024);
    std::printf("%-9s %-10s %10s %10s %10s %10s\n", "throttle", "decoder", "delta p50", "delta p90", "key p50", "key p90");
    for (const int rate : options.rates) {
        browser.call("Emulation.setCPUThrottlingRate", {{"rate", rate}});
        for (const char* kind : {"js", "wasm", "wasm-simd"}) {
            const json times = browser.evaluate(fmt::format(R"((() => {{
  const d = quillbright.makeDecoder('{}'), delta = [], key = [];
  if (!d || !d.setup({}, {}, 1)) return null;
  for (let pass = 0; pass < 3; pass++) for (const [keyframe, payload] of payloads) {{
    const started = performance.now();
    if (!d.apply(keyframe, payload)) return null;
    if (pass > 0) (keyframe ? key : delta).push(performance.now() - started);
  }}
  return [delta, key];
}})())", kind, WIDTH, HEIGHT));
            if (times.is_null()) {
                std::printf("%-9d %-10s could not decode\n", rate, kind);
                continue;
            }
            const auto delta = times[0].get<std::vector<double>>(), key = times[1].get<std::vector<double>>();
            std::printf("%-9d %-10s %10.2f %10.2f %10.2f %10.2f\n", rate, kind, percentile(delta, 0.5),
                percentile(delta, 0.9), percentile(key, 0.5), percentile(key, 0.9));
        }
    }
    return 0;
}

} // namespace
} // namespace qb

int main(int argc, char** argv)
{
    using namespace qb;
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == "--seconds" && more) {
            options.seconds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--rates" && more) {
            options.rates.clear();
            std::istringstream list(argv[++i]);
            for (std::string rate; std::getline(list, rate, ',');) options.rates.push_back(std::max(1, std::atoi(rate.c_str())));
        } else if (arg == "--decoder" && more) {
            options.decoder = argv[++i];
        } else if (arg == "--resolution" && more && std::regex_match(argv[i + 1], std::regex("[a-z-]{1,40}"))) {
            options.resolution = argv[++i];
        } else if (arg == "--quillbright" && more) {
            options.quillbright = fs::absolute(argv[++i]);
        } else if (arg == "--painter" && more && std::regex_match(argv[i + 1], std::regex("2d|webgl"))) {
            options.painter = argv[++i];
        } else if (arg == "--decoders") {
            options.decoders = true;
        } else if (arg == "--trace" && more) {
            options.trace = fs::absolute(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: qb_page_bench [--seconds N] [--rates 1,4] [--decoder auto|js] [--painter 2d|webgl]"
                                 " [--resolution portrait-cozy|portrait-sharp] [--quillbright PATH]"
                                 " [--trace FILE] [--decoders]\n");
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::string pattern = (fs::temp_directory_path() / "qb-page-XXXXXX").string();
    const fs::path directory = ::mkdtemp(pattern.data());
    if (options.decoders) {
        const int result = decoders(options, directory);
        std::error_code ignored;
        fs::remove_all(directory, ignored);
        return result;
    }
    ::unsetenv("FAKE_ADB_STATE"); // the X server must not carry the fake adb's marker
    test::XorgServer xorg;
    if (!xorg.running()) {
        std::printf("skipped: %s\n", xorg.skipReason.c_str());
        return EXIT_SKIPPED;
    }
    test::FakeAdbState adb(QB_FAKE_ADB);
    bench::prepareDaemonEnvironment(directory, xorg.display, "0.25");
    std::ofstream(directory / "config" / "quillbright" / "settings.json")
        << fmt::format(R"({{"setupCompleted": true, "displayMode": "extended", "resolutionMode": "{}"}})",
               options.resolution);
    const int result = run(options, xorg, directory);
    std::error_code ignored;
    if (result != 1) fs::remove_all(directory, ignored);
    return result;
}
