// A browser as the tablet: headless Chromium, driven over its DevTools
// protocol with a 1200x1600 touch screen, opens the daemon's /tablet page
// while the real daemon runs on a private Xorg. The page's canvas must equal
// the reference client's decode pixel for pixel, its acknowledgements must
// reach the latency report, its pen, finger gestures and keys must reach a
// test window where the tablet shows them, and pages that misbehave must
// cost the others nothing.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>
#include <utility>

#include <boost/asio.hpp>
#include <fmt/format.h>
#include <boost/beast/core.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "companion/CompanionClient.h"
#include "e2e/DaemonHarness.h"
#include "support/Chromium.h"
#include "support/ScriptedServer.h"
#include "transport/TabletPage.h"
#include "platform/XKeyText.h"
#include "platform/sim/SimScene.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace qb {
namespace {

namespace fs = std::filesystem;
namespace beast = boost::beast;
using json = nlohmann::json;
using namespace std::chrono_literals;
using test::waitFor;
using Socket = beast::websocket::stream<beast::tcp_stream>;
using test::Browser;

// What a canvas shows (WebGL's or a 2D one's), as RGBA bytes; defined in
// the page by the scripts below that read the canvas.
constexpr std::string_view CANVAS_PIXELS = R"(window.canvasPixels = (c) => {
  const t = document.createElement('canvas'); t.width = c.width; t.height = c.height;
  const g = t.getContext('2d'); g.drawImage(c, 0, 0); return g.getImageData(0, 0, c.width, c.height).data; };
)";

// The canvas as the stream's pixels (1 or 3 bytes each), and how many of its
// pixels are not opaque, or not grey on a greyscale stream.
const std::string CANVAS = std::string(CANVAS_PIXELS) + R"((() => {
  const q = window.quillbright; if (!q || !q.decoded) return null;
  const c = document.getElementById('c'), d = canvasPixels(c);
  const out = new Uint8Array(c.width * c.height * q.bpp);
  let o = 0, stray = 0;
  for (let i = 0; i < d.length; i += 4) {
    out[o++] = d[i];
    if (q.bpp === 3) { out[o++] = d[i + 1]; out[o++] = d[i + 2]; }
    else if (d[i] !== d[i + 1] || d[i] !== d[i + 2]) stray++;
    if (d[i + 3] !== 255) stray++;
  }
  let s = '';
  for (let i = 0; i < out.length; i += 0x8000) s += String.fromCharCode.apply(null, out.subarray(i, i + 0x8000));
  return {width: c.width, height: c.height, stray: stray, pixels: btoa(s)};
})())";

// The reference client beside the page, read on its own thread as a tablet
// reads: each frame acknowledged as it arrives. Should the server let it go
// (a slow build falls behind while the test reads the canvas) or the session
// start again, it connects again and the next keyframe restores its picture.
class Watcher {
public:
    Watcher() : thread_([this] { run(); }) {}
    ~Watcher()
    {
        stop_ = true;
        thread_.join();
    }

    std::vector<std::uint8_t> picture() const
    {
        std::lock_guard guard(lock_);
        return picture_;
    }
    std::string violation() const
    {
        std::lock_guard guard(lock_);
        return violation_;
    }

private:
    void run()
    {
        while (!stop_) {
            companion::CompanionClient client;
            if (!client.connect("127.0.0.1", 8888, 1000ms) || !client.readGreeting(5000ms)) {
                std::this_thread::sleep_for(100ms);
                continue;
            }
            while (!stop_ && !client.closed() && client.violation().empty()) {
                const auto frame = client.readFrame(100ms);
                if (!frame) continue;
                client.sendAck(frame->sequenceNumber);
                std::lock_guard guard(lock_);
                if (client.decoder().hasPicture()) picture_ = client.decoder().frame();
            }
            std::lock_guard guard(lock_);
            if (!client.violation().empty()) violation_ = client.violation();
        }
    }

    mutable std::mutex lock_;
    std::vector<std::uint8_t> picture_;
    std::string violation_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A web page of another origin on this machine, as any site the user has
// open could be: it tries the preview's WebSocket and the tablet stream for
// the picture, and posts acknowledgements and a tap at (0.9, 0.1) of the
// tablet's screen to the raw ports (the page session's input port, found
// as a port scan would, given as ?input=), and a stop to the control
// endpoint, through the browser.
constexpr const char* HOSTILE_PAGE = R"(<!DOCTYPE html><html><body><script>
const got = window.hostile = {started: false, done: false, opened: [], bytes: 0, fetches: []};
const watch = (url) => new Promise(settle => {
  const ws = new WebSocket(url); ws.binaryType = 'arraybuffer';
  ws.onopen = () => { got.opened.push(url); ws.send('hello 1200 1600 grey hostile'); };
  ws.onmessage = (e) => { got.bytes += e.data.byteLength || e.data.length || 1; };
  ws.onclose = () => settle(url);
  setTimeout(() => { ws.close(); settle(url); }, 4000);
});
const f32 = (v) => Array.from(new Uint8Array(new Float32Array([v]).buffer));
const touch = (type, x, y) => [0xDA, 0x70, type, ...f32(x), ...f32(y), ...f32(0), ...f32(0), 0, 0, 0, 0];
const acks = []; for (let s = 0; s < 64; s++) acks.push(0xDA, 0x7A, s, 0, 0, 0);
const body = new Uint8Array([...acks, ...touch(1, 0.9, 0.1), ...touch(3, 0.9, 0.1)]);
const post = (url, data) => Promise.race([
  fetch(url, {method: 'POST', mode: 'no-cors', body: data}).then(r => url + ' ' + r.type, () => url + ' failed'),
  new Promise(settle => setTimeout(() => settle(url + ' unanswered'), 4000))]);
Promise.all([watch('ws://127.0.0.1:8890'), watch('ws://127.0.0.1:8891/tablet/stream'),
             post('http://127.0.0.1:8888/', body), post('http://127.0.0.1:8892/', body),
             post('http://127.0.0.1:' + new URLSearchParams(location.search).get('input') + '/', body),
             post('http://127.0.0.1:8891/control', 'STOP'), post('http://127.0.0.1:8891/stop', '')])
  .then(results => { got.fetches = results; got.done = true; });
got.started = true;
</script></body></html>)";

class TabletPageTest : public test::DaemonHarness {
protected:
    TabletPageTest() : DaemonHarness(nullptr, "0.05") {}

    void SetUp() override
    {
        if (!hostMissing().empty()) GTEST_SKIP() << hostMissing();
        if (!fs::exists("/usr/bin/chromium") && !fs::exists("/usr/bin/chromium-browser")) GTEST_SKIP() << "no chromium";
    }

    // The daemon started with no tablet on adb, waiting for one; in extended
    // mode a page is the only tablet, on a monitor of its own.
    void launchWaiting(bool extended = true)
    {
        launch();
        ASSERT_TRUE(waitFor([&] { return cli({"status"}).second.find("status=waiting_for_device") != std::string::npos; },
            30s)) << output();
        if (extended) {
            ASSERT_EQ(cli({"mode", "extended"}).first, 0);
        }
    }

    // The page at `url` on a 1200x1600 touch screen, once `ready` holds in it.
    void openPage(Browser& browser, const std::string& url,
        const std::string& ready = "window.quillbright && quillbright.width > 0")
    {
        ASSERT_TRUE(browser.ready());
        browser.call("Emulation.setDeviceMetricsOverride",
            {{"width", 1200}, {"height", 1600}, {"deviceScaleFactor", 1}, {"mobile", true}});
        browser.call("Emulation.setTouchEmulationEnabled", {{"enabled", true}, {"maxTouchPoints", 5}});
        browser.call("Page.navigate", {{"url", url}});
        ASSERT_TRUE(waitFor([&] { return browser.evaluate(ready) == true; }, 30s)) << output();
    }

    // The monitor of a page of `width` x `height` on the private Xorg: laid
    // out at the page's pixels, or at half of them where its preset is
    // HiDPI (the capture doubles what is drawn there back to the page's
    // pixels); its size in the desktop's units and its place.
    struct Monitor {
        int width = 0, height = 0, left = 0, top = 0;
    };
    std::optional<Monitor> monitorOf(int width, int height)
    {
        const std::string monitors = xorg().run("xrandr --listmonitors");
        std::smatch found;
        if (!std::regex_search(monitors, found, std::regex(fmt::format(R"( ({}|{})/\d+x({}|{})/\d+\+(\d+)\+(\d+))",
                width, width / 2, height, height / 2)))) {
            return std::nullopt;
        }
        return Monitor{std::stoi(found[1]), std::stoi(found[2]), std::stoi(found[3]), std::stoi(found[4])};
    }

    // The page's canvas, once it equals the reference client's picture
    // (which keeps reading and acknowledging meanwhile); false at the deadline.
    static bool canvasMatches(Browser& browser, Watcher& watcher, std::string& mismatch)
    {
        return waitFor(
            [&] {
                const json canvas = browser.evaluate(CANVAS);
                const auto expected = watcher.picture();
                if (canvas.is_null() || expected.empty()) return false;
                std::string pixels = canvas["pixels"];
                std::string decoded(beast::detail::base64::decoded_size(pixels.size()), '\0');
                decoded.resize(beast::detail::base64::decode(decoded.data(), pixels.data(), pixels.size()).first);
                std::size_t differ = decoded.size() == expected.size() ? 0 : expected.size();
                for (std::size_t i = 0; differ == 0 && i < expected.size(); ++i) {
                    differ += std::uint8_t(decoded[i]) != expected[i] ? 1 : 0;
                }
                mismatch = canvas["width"].dump() + "x" + canvas["height"].dump() + ", " + std::to_string(differ)
                    + " bytes differ, " + canvas["stray"].dump() + " stray pixels " + watcher.violation();
                return differ == 0 && canvas["stray"] == 0 && watcher.violation().empty();
            },
            30s);
    }
};

// Beside the page's own decoder, every decoder the page has (its plain
// JavaScript one, WebAssembly with and without SIMD) decodes the same stream
// messages from the next keyframe on; the connection is dropped so that one
// comes at once.
constexpr const char* SIDE_DECODERS = R"((() => {
  const q = quillbright, original = applyFrame;
  q.side = {};
  applyFrame = (keyframe, payload) => {
    if (keyframe) for (const kind of ['js', 'wasm', 'wasm-simd']) {
      const d = q.makeDecoder(kind);
      if (d && d.setup(width, height, bpp)) q.side[kind] = d;
    }
    for (const d of Object.values(q.side)) if (!d.apply(keyframe, payload)) d.failed = true;
    return original(keyframe, payload);
  };
  socket.close();
})())";

// The FNV-1a hash of the page's decoded picture and of each side decoder's.
constexpr const char* DECODED_HASHES = R"((() => {
  const fnv = (bytes) => { let h = 0x811c9dc5; for (let i = 0; i < bytes.length; i++) h = Math.imul(h ^ bytes[i], 16777619);
                           return h >>> 0; };
  const q = quillbright, out = {page: q.frame ? fnv(q.frame) : 0};
  for (const [kind, d] of Object.entries(q.side || {})) out[kind] = d.failed ? -1 : fnv(d.frame);
  return out;
})())";

std::uint32_t fnv(const std::vector<std::uint8_t>& bytes)
{
    std::uint32_t h = 0x811c9dc5u;
    for (const auto b : bytes) h = (h ^ b) * 16777619u;
    return h;
}

// Once every decoder of the page holds the reference client's picture: true;
// at the deadline false, with what each held in `mismatch`.
bool decodersAgree(Browser& browser, const Watcher& watcher, std::string& mismatch)
{
    return waitFor(
        [&] {
            const auto expected = watcher.picture();
            const json hashes = browser.evaluate(DECODED_HASHES);
            mismatch = "reference " + std::to_string(expected.empty() ? 0 : fnv(expected)) + ", page " + hashes.dump();
            if (expected.empty() || hashes.size() != 4) return false;
            for (const auto& [kind, hash] : hashes.items()) {
                if (hash != fnv(expected)) return false;
            }
            return true;
        },
        30s);
}

// What the page's canvas shows, sampled every few milliseconds and kept
// as it changes: all black, all white, or a picture.
const std::string CANVAS_PHASES = std::string(CANVAS_PIXELS) + R"((() => {
  const q = quillbright, c = document.getElementById('c');
  q.phases = [];
  setInterval(() => {
    const d = canvasPixels(c);
    let black = true, white = true;
    for (let i = 0; i < d.length; i += 4 * 997) { black = black && d[i] === 0; white = white && d[i] === 255; }
    const phase = black ? 'black' : white ? 'white' : 'picture';
    if (q.phases[q.phases.length - 1] !== phase) q.phases.push(phase);
  }, 15);
})())";

// A window of greys over the tablet's monitor that reports the pointer's
// buttons, on a connection of its own to the private Xorg (null: none).
struct TestWindow {
    TestWindow(const std::string& display, int left, int top, int width, int height)
    {
        XInitThreads();
        x = XOpenDisplay(display.c_str());
        if (x == nullptr) return;
        const Pixmap empty = XCreatePixmap(x, DefaultRootWindow(x), 1, 1, 1);
        XColor black{};
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.cursor = XCreatePixmapCursor(x, empty, empty, &black, &black, 0, 0);
        attributes.event_mask = ButtonPressMask | ButtonReleaseMask | Button1MotionMask | KeyPressMask;
        window = XCreateWindow(x, DefaultRootWindow(x), left, top, unsigned(width), unsigned(height), 0, CopyFromParent,
            InputOutput, CopyFromParent, CWOverrideRedirect | CWCursor | CWEventMask, &attributes);
        XMapRaised(x, window);
        XSync(x, False);
        XSetInputFocus(x, window, RevertToParent, CurrentTime);
        XSync(x, False);
    }
    ~TestWindow()
    {
        if (x == nullptr) return;
        XDestroyWindow(x, window);
        XCloseDisplay(x);
    }
    void paint(int width, int height, int seed) // a picture of its own for each seed
    {
        auto bgra = test::painterPattern(std::size_t(width), std::size_t(height));
        for (auto& byte : bgra) byte = std::uint8_t(byte + seed);
        put(bgra, width, height);
    }
    void put(std::vector<std::uint8_t>& bgra, int width, int height)
    {
        XImage* image = XCreateImage(x, DefaultVisual(x, 0), 24, ZPixmap, 0, reinterpret_cast<char*>(bgra.data()),
            unsigned(width), unsigned(height), 32, 0);
        GC gc = XCreateGC(x, window, 0, nullptr);
        XPutImage(x, window, gc, image, 0, 0, 0, 0, unsigned(width), unsigned(height));
        XSync(x, False);
        image->data = nullptr;
        XDestroyImage(image);
        XFreeGC(x, gc);
    }
    // The events so far, up to the first button event of `type` (0: all);
    // the keys among them are kept.
    std::optional<XButtonEvent> read(int type = 0)
    {
        while (XPending(x) > 0) {
            XEvent event;
            XNextEvent(x, &event);
            if (event.type == KeyPress) keys.push_back(event.xkey);
            if (type != 0 && event.type == type) return event.xbutton;
        }
        return std::nullopt;
    }
    // The next button event of `type`, within the deadline.
    std::optional<XButtonEvent> next(int type)
    {
        std::optional<XButtonEvent> found;
        waitFor([&] { return (found = read(type)).has_value(); }, 10s);
        return found;
    }
    // Where the pointer is on the screen, and its buttons.
    std::tuple<int, int, unsigned> pointer() const
    {
        Window root = 0, child = 0;
        int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
        unsigned mask = 0;
        XQueryPointer(x, DefaultRootWindow(x), &root, &child, &rootX, &rootY, &windowX, &windowY, &mask);
        return {rootX, rootY, mask};
    }
    // What was typed, once it is `expected` (or at the deadline).
    std::string typed(const std::string& expected)
    {
        std::string text;
        waitFor(
            [&] {
                read();
                text.clear();
                for (const auto& key : keys) text += test::keyEventText(x, key);
                return text == expected;
            },
            10s);
        return text;
    }
    std::vector<XKeyEvent> keys;
    Display* x = nullptr;
    Window window = 0;
};

TEST_F(TabletPageTest, TheBrowserShowsExactlyTheStreamAcknowledgesAndTouchesAndBadPagesCostTheOthersNothing)
{
    // No device on adb: the page is the only tablet, in extended mode.
    ASSERT_NO_FATAL_FAILURE(launchWaiting());

    Browser browser(directory() / "chromium");
    ASSERT_NO_FATAL_FAILURE(openPage(browser, "http://127.0.0.1:8891/tablet"));
    // Its own session: a monitor of the size the page's screen asks for.
    // From here on the test draws and touches in the desktop's own units.
    const int pageWidth = browser.evaluate("quillbright.width"), pageHeight = browser.evaluate("quillbright.height");
    std::optional<Monitor> monitor;
    ASSERT_TRUE(waitFor([&] { return (monitor = monitorOf(pageWidth, pageHeight)).has_value(); }, 10s))
        << pageWidth << "x" << pageHeight << "\n" << xorg().run("xrandr --listmonitors") << output();
    const int width = monitor->width, height = monitor->height, left = monitor->left, top = monitor->top;
    EXPECT_NE(cli({"status"}).second.find("\nstatus=running\n"), std::string::npos);

    // New pictures on the tablet's monitor: the page decodes and acknowledges
    // them, and the latency report counts its acknowledgements.
    TestWindow window(xorg().display, left, top, width, height);
    ASSERT_NE(window.x, nullptr);
    window.paint(width, height, 0);
    ASSERT_TRUE(waitFor([&] { return browser.evaluate("quillbright.acked").get<int>() > 0; }, 20s)) << output();
    std::string latency;
    EXPECT_TRUE(waitFor(
        [&] {
            latency = cli({"latency"}).second;
            return latency.find("Clients:          1\n") != std::string::npos
                && latency.find("Average:        ?") == std::string::npos
                && latency.find("Average:        0.0 ms") == std::string::npos;
        },
        20s))
        << latency;

    // The reference client's decode and the canvas agree byte for byte.
    std::optional<Watcher> client;
    client.emplace();
    window.paint(width, height, 40);
    std::string mismatch;
    EXPECT_TRUE(canvasMatches(browser, *client, mismatch)) << mismatch;

    // What a typed character costs the page to decode (docs/performance.md).
    const int decoded = browser.evaluate("quillbright.decoded").get<int>();
    GC pen = XCreateGC(window.x, window.window, 0, nullptr);
    XFillRectangle(window.x, window.window, pen, width / 2, height / 3, 10, 18);
    XSync(window.x, False);
    EXPECT_TRUE(waitFor([&] { return browser.evaluate("quillbright.decoded").get<int>() > decoded; }, 10s));
    std::printf("tablet page: a typed character's delta (%dx%d grey) decoded and drawn in %s ms\n", width, height,
        browser.evaluate("quillbright.lastDecodeMs.toFixed(2)").get<std::string>().c_str());
    XFreeGC(window.x, pen);

    // The 1200x1600 page shows the picture whole, centred: a point at
    // fractions (fx, fy) of it is here on the page.
    const double scale = std::min(1200.0 / width, 1600.0 / height);
    const auto onPage = [&](double fx, double fy) {
        return std::pair((1200 - width * scale) / 2 + fx * width * scale, (1600 - height * scale) / 2 + fy * height * scale);
    };
    // The button event came, of `button`, at fractions (fx, fy) of the window.
    const auto isAt = [&](const std::optional<XButtonEvent>& event, unsigned button, double fx, double fy) {
        if (!event) return testing::AssertionFailure() << "no button event\n" << output();
        if (event->button == button && std::abs(event->x - fx * width) <= 2 && std::abs(event->y - fy * height) <= 2) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << "button " << event->button << " at " << event->x << "," << event->y;
    };
    // A tap clicks the window at the same place; a drag presses and releases
    // where the finger went; two fingers scroll.
    browser.touch("touchStart", {onPage(0.25, 0.75)});
    browser.touch("touchEnd", {});
    ASSERT_TRUE(isAt(window.next(ButtonPress), 1, 0.25, 0.75));
    ASSERT_TRUE(window.next(ButtonRelease));
    browser.touch("touchStart", {onPage(0.5, 0.2)});
    browser.touch("touchMove", {onPage(0.55, 0.3)});
    browser.touch("touchMove", {onPage(0.7, 0.5)});
    browser.touch("touchEnd", {});
    ASSERT_TRUE(isAt(window.next(ButtonPress), 1, 0.5, 0.2));
    ASSERT_TRUE(isAt(window.next(ButtonRelease), 1, 0.7, 0.5));
    // Two fingers moving together scroll.
    std::vector<std::vector<std::pair<double, double>>> steps;
    for (int step = 0; step <= 5; ++step) steps.push_back({{500, 900 - 60 * step}, {700, 900 - 60 * step}});
    browser.fingers(steps);
    const auto wheel = window.next(ButtonPress);
    ASSERT_TRUE(wheel) << output();
    EXPECT_TRUE(wheel->button == 4 || wheel->button == 5) << wheel->button;
    EXPECT_EQ(wheel->state & ControlMask, 0u);

    // Right clicks: a finger held still, two fingers tapping; a pinch zooms
    // (wheel clicks with Control held). Wheel clicks of the scroll above may
    // still be arriving: a click is the next press of buttons 1-3.
    const auto click = [&] {
        auto next = window.next(ButtonPress);
        while (next && next->button > 3) next = window.next(ButtonPress);
        return next;
    };
    browser.touch("touchStart", {onPage(0.4, 0.4)});
    auto press = click(); // after the long press
    browser.touch("touchEnd", {});
    ASSERT_TRUE(isAt(press, 3, 0.4, 0.4));
    browser.fingers({{onPage(0.3, 0.5), onPage(0.5, 0.5)}, {onPage(0.3, 0.5), onPage(0.5, 0.5)}});
    ASSERT_TRUE(isAt(click(), 3, 0.4, 0.5));
    browser.fingers({{onPage(0.45, 0.5), onPage(0.55, 0.5)}, {onPage(0.4, 0.5), onPage(0.6, 0.5)},
        {onPage(0.3, 0.5), onPage(0.7, 0.5)}, {onPage(0.2, 0.5), onPage(0.8, 0.5)}});
    do {
        press = window.next(ButtonPress);
    } while (press && (press->state & ControlMask) == 0);
    ASSERT_TRUE(press) << output();
    EXPECT_EQ(press->button, 4u); // spread apart: zoom in

    // Keys: the keyboard button focuses the page's text field; text in any
    // script, Enter and a Control combination reach the focused window.
    browser.evaluate("document.getElementById('keys').click()");
    ASSERT_EQ(browser.evaluate("document.activeElement.id"), "typing");
    browser.call("Input.insertText", {{"text", "hé€"}});
    browser.call("Input.dispatchKeyEvent", {{"type", "keyDown"}, {"key", "Enter"}, {"code", "Enter"},
        {"windowsVirtualKeyCode", 13}});
    browser.call("Input.dispatchKeyEvent", {{"type", "keyDown"}, {"key", "a"}, {"code", "KeyA"},
        {"windowsVirtualKeyCode", 65}, {"modifiers", 2}});
    EXPECT_EQ(window.typed("hé€\na"), "hé€\na") << output();
    EXPECT_NE(window.keys.back().state & ControlMask, 0u);

    // A pen hovering moves the pointer and presses nothing; its tip clicks,
    // its pressure and tilt reach the latency report; its barrel button is
    // the right button; a finger while it touches does nothing.
    browser.pen("mouseMoved", onPage(0.3, 0.3));
    EXPECT_TRUE(waitFor([&] {
        const auto [pointerX, pointerY, buttons] = window.pointer();
        return std::abs(pointerX - left - 0.3 * width) <= 2 && std::abs(pointerY - top - 0.3 * height) <= 2
            && (buttons & (Button1Mask | Button3Mask)) == 0;
    }, 10s)) << output();
    browser.pen("mousePressed", onPage(0.3, 0.3), "left", 0.6, 20, -10);
    ASSERT_TRUE(isAt(click(), 1, 0.3, 0.3));
    latency = cli({"latency"}).second;
    EXPECT_NE(latency.find("Pressure:       0.60"), std::string::npos) << latency;
    EXPECT_NE(latency.find("Tilt x,y:       20,-10 degrees"), std::string::npos) << latency;
    browser.touch("touchStart", {onPage(0.7, 0.7)}); // the palm
    browser.touch("touchEnd", {});
    browser.pen("mouseReleased", onPage(0.3, 0.3), "left");
    ASSERT_TRUE(isAt(window.next(ButtonRelease), 1, 0.3, 0.3));
    browser.pen("mousePressed", onPage(0.6, 0.2), "right", 0.5);
    browser.pen("mouseReleased", onPage(0.6, 0.2), "right");
    ASSERT_TRUE(isAt(click(), 3, 0.6, 0.2)); // the palm's tap would have come first

    // A page of another origin, in a window beside the tablet's page, gets
    // not one byte of the screen, moves not one pixel of the pointer and
    // stops nothing; the tablet's own tap, after it, is the next left press.
    window.read();
    const auto [beforeX, beforeY, beforeButtons] = window.pointer(); // the pen's button may still be held
    {
        std::smatch input;
        const std::string log = output(); // the match points into it
        ASSERT_TRUE(std::regex_search(log, input, std::regex(R"(\[InputServer\] Listening on port (\d+))"))) << log;
        const std::string page(HOSTILE_PAGE); // served from an address of its own
        test::ScriptedServer site(test::ScriptedServer::loopbackListener("127.0.0.2"), "HTTP/1.1 200 OK\r\n"
            "Content-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page, false, "\r\n\r\n");
        const std::string tablet = browser.openWindow(
            fmt::format("http://127.0.0.2:{}/?input={}", site.port(), input[1].str()));
        ASSERT_TRUE(waitFor([&] { return browser.evaluate("window.hostile && hostile.started") == true; }, 20s));
        window.paint(width, height, 60); // pictures to be had meanwhile
        ASSERT_TRUE(waitFor([&] { return browser.evaluate("hostile.done") == true; }, 20s));
        const json got = browser.evaluate("hostile");
        std::printf("hostile page: %s\n", got.dump().c_str());
        EXPECT_EQ(got["opened"], json::array()) << got.dump();
        EXPECT_EQ(got["bytes"], 0) << got.dump();
        browser.call("Page.navigate", {{"url", "about:blank"}});
        browser.speakTo(tablet);
    }
    const auto [afterX, afterY, afterButtons] = window.pointer();
    EXPECT_EQ(std::pair(afterX, afterY), std::pair(beforeX, beforeY));
    EXPECT_NE(cli({"status"}).second.find("\nstatus=running\n"), std::string::npos);
    // The pen above never said it left: its fingers' lockout ends once it
    // has been quiet for a while, so a tap inside that lockout is tried again.
    for (int tries = 0; tries < 2; ++tries) {
        browser.touch("touchStart", {onPage(0.3, 0.6)});
        browser.touch("touchEnd", {});
        do {
            press = window.next(ButtonPress); // the scroll's last wheel steps may come first
        } while (press && press->button != 1);
        if (press) break;
    }
    EXPECT_TRUE(isAt(press, 1, 0.3, 0.6)) << "the hostile page's tap landed";

    // Connections of the same page that never read, send garbage or vanish
    // mid-stream, and one that says no hello: the daemon stays up and the
    // browser's page keeps showing the stream.
    const std::string hello = "hello 1200 1600 grey " + browser.evaluate("sessionStorage.getItem('quillbright.page')").get<std::string>();
    boost::asio::io_context io;
    std::vector<std::unique_ptr<Socket>> bad;
    for (int i = 0; i < 4; ++i) {
        auto ws = std::make_unique<Socket>(io);
        ws->next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), 8891});
        ws->handshake("127.0.0.1:8891", "/tablet/stream");
        ws->text(i != 3);
        ws->write(boost::asio::buffer(i == 3 ? std::string(40, '\xDA') : hello));
        bad.push_back(std::move(ws));
    }
    bad[1]->binary(true);
    bad[1]->write(boost::asio::buffer(std::string(40, '\xDA')));
    beast::flat_buffer some;
    bad[2]->read(some); // the greeting's first message, then gone without a word
    bad[2]->next_layer().socket().close();
    window.paint(width, height, 90);
    EXPECT_TRUE(canvasMatches(browser, *client, mismatch)) << mismatch;
    bad.clear();
    client.reset();

    // The page gone, its session ends after the grace period: the monitor
    // goes and the daemon waits for a tablet again.
    browser.call("Page.navigate", {{"url", "about:blank"}});
    EXPECT_TRUE(waitFor([&] { return !monitorOf(pageWidth, pageHeight); }, 20s))
        << xorg().run("xrandr --listmonitors") << output();
    EXPECT_TRUE(waitFor([&] { return cli({"status"}).second.find("status=waiting_for_device") != std::string::npos; },
        10s));
    EXPECT_TRUE(daemon_->isRunning());
    terminate();
}

// Recorded desktops (reading, typing, browsing) on a greyscale page's
// monitor, frame by frame: the page's own decoder (WebAssembly with SIMD
// here), its plain JavaScript one and WebAssembly without SIMD each hold the
// reference client's picture, byte for byte, after every frame; so does the
// canvas of the WebGL painter.
TEST_F(TabletPageTest, EveryDecoderOfThePageDecodesRecordedDesktopsExactlyAndACleanRefreshFlashes)
{
    const fs::path frames = fs::is_directory(QB_FRAMES_DIR) ? fs::path(QB_FRAMES_DIR) : "/work/shared/frames";
    if (!fs::is_directory(frames / "reading")) GTEST_SKIP() << "no recorded frames in " << frames;
    ASSERT_NO_FATAL_FAILURE(launchWaiting());
    // Every page pixel a desktop pixel: the recorded frames are drawn at the page's size.
    ASSERT_EQ(cli({"resolution", "portrait-sharp"}).first, 0);
    // The automatic clean refresh off from the command line (until its part
    // below): a page is told so when it connects.
    ASSERT_EQ(cli({"autorefresh", "off"}), std::pair(0, std::string("OK off\n")));
    Browser browser(directory() / "chromium");
    ASSERT_NO_FATAL_FAILURE(openPage(browser, "http://127.0.0.1:8891/tablet?colour=0"));
    EXPECT_EQ(browser.evaluate("quillbright.decoder"), "wasm-simd");
    EXPECT_TRUE(waitFor([&] { return browser.evaluate("quillbright.refresh.auto") == false; }, 10s));
    const int width = browser.evaluate("quillbright.width"), height = browser.evaluate("quillbright.height");
    std::optional<Monitor> monitor;
    ASSERT_TRUE(waitFor([&] { return (monitor = monitorOf(width, height)).has_value(); }, 10s))
        << xorg().run("xrandr --listmonitors") << output();
    browser.evaluate(SIDE_DECODERS);

    Watcher client;
    TestWindow window(xorg().display, monitor->left, monitor->top, width, height);
    ASSERT_NE(window.x, nullptr);
    std::vector<std::uint8_t> bgra(std::size_t(width) * height * 4);
    std::string mismatch;
    for (const char* sequence : {"reading", "typing", "browsing"}) {
        for (int n = 0; n < 6; ++n) {
            const auto image = sim::loadPng(frames / sequence / fmt::format("{:04}.png", n * 3));
            if (!image) break;
            sim::drawCovering(*image, bgra.data(), std::size_t(width), std::size_t(height), std::size_t(width) * 4);
            window.put(bgra, width, height);
            ASSERT_TRUE(decodersAgree(browser, client, mismatch)) << sequence << " frame " << n * 3 << ": " << mismatch;
        }
    }

    // A clean refresh shows black, then white, then the picture: asked for
    // by the Refresh button, by two fingers held still, and, once the
    // command line turns it on, by itself once the screen is quiet after
    // enough partial updates; turned off again, never by itself.
    browser.evaluate(CANVAS_PHASES);
    const auto flashed = [&] {
        const bool seen = waitFor([&] { return browser.evaluate("quillbright.phases.join(' ')").get<std::string>()
                                               .ends_with("black white picture"); }, 10s);
        const json phases = browser.evaluate("quillbright.phases.splice(0)");
        return seen ? std::string() : phases.dump();
    };
    browser.evaluate("quillbright.phases = []; document.getElementById('refresh').click()");
    EXPECT_EQ(flashed(), "");
    EXPECT_TRUE(canvasMatches(browser, client, mismatch)) << mismatch;
    const auto twoFingers = [&](const char* type) {
        browser.evaluate(fmt::format(R"((() => {{ const c = document.getElementById('c');
          for (const id of [0, 1]) c.dispatchEvent(new PointerEvent('{}', {{pointerId: 200 + id, pointerType: 'touch',
              clientX: 400 + 200 * id, clientY: 800, buttons: 1, isPrimary: id === 0, bubbles: true, cancelable: true}})); }})())",
            type));
    };
    twoFingers("pointerdown");
    EXPECT_EQ(flashed(), "");
    twoFingers("pointerup");
    browser.evaluate("partials = 0; Object.assign(quillbright.refresh, {partials: 3, quietMs: 200})");
    for (const bool on : {true, false}) {
        ASSERT_EQ(cli({"autorefresh", on ? "on" : "off"}).first, 0);
        ASSERT_TRUE(waitFor([&] { return browser.evaluate("quillbright.refresh.auto") == on; }, 10s));
        const int before = browser.evaluate("quillbright.refresh.count");
        for (int seed = 0; seed < 4; ++seed) {
            window.paint(width, height, 50 + seed);
            ASSERT_TRUE(canvasMatches(browser, client, mismatch)) << mismatch;
        }
        if (on) {
            EXPECT_EQ(flashed(), "");
        } else { // a quiet spell of four times the one that flashed
            browser.call("Runtime.evaluate",
                {{"expression", "new Promise(r => setTimeout(r, 800))"}, {"awaitPromise", true}});
        }
        EXPECT_TRUE(canvasMatches(browser, client, mismatch)) << mismatch;
        EXPECT_EQ(browser.evaluate("quillbright.refresh.count").get<int>() > before, on);
    }

    // 16 greys, asked for and kept on the tablet: the canvas holds only
    // multiples of 17, while the decoded picture stays the reference's.
    browser.evaluate("document.getElementById('greys').click()");
    EXPECT_EQ(browser.evaluate("localStorage.getItem('quillbright.greys')"), "16");
    EXPECT_TRUE(waitFor([&] { return browser.evaluate(std::string(CANVAS_PIXELS) + R"((() => { const c = document.getElementById('c');
        const d = canvasPixels(c); const levels = new Set();
        for (let i = 0; i < d.length; i += 4) { if (d[i] % 17) return false; levels.add(d[i]); }
        return levels.size > 4; })())") == true; }, 10s));
    EXPECT_TRUE(decodersAgree(browser, client, mismatch)) << mismatch;
    browser.evaluate("document.getElementById('greys').click()");
    EXPECT_TRUE(canvasMatches(browser, client, mismatch)) << mismatch;

    // The WebGL painter's canvas: each grey byte an opaque pixel of that
    // grey, after the keyframe the page connects to and after a delta.
    browser.call("Page.navigate", {{"url", "http://127.0.0.1:8891/tablet?colour=0&painter=webgl"}});
    ASSERT_TRUE(waitFor([&] { return browser.evaluate("window.quillbright && quillbright.decoded > 0") == true; }, 30s));
    if (browser.evaluate("quillbright.painter") != "webgl") GTEST_SKIP() << "no WebGL in this headless Chromium";
    EXPECT_TRUE(canvasMatches(browser, client, mismatch)) << "keyframe: " << mismatch;
    window.paint(width, height, 70);
    EXPECT_TRUE(canvasMatches(browser, client, mismatch)) << "delta: " << mismatch;
}

// The page installs as an app (its manifest and icon). Its tablet turns: a
// page held in portrait, then in landscape, then in portrait again gets a
// display of the portrait preset, then of the landscape one of the same
// density, then the portrait one again, each where the page's monitor was.
TEST_F(TabletPageTest, APageInstallsAndWhenItsTabletTurnsGetsADisplayThatTurns)
{
    ASSERT_NO_FATAL_FAILURE(launchWaiting());
    Browser browser(directory() / "chromium");
    ASSERT_TRUE(browser.ready());
    const auto hold = [&](bool portrait) {
        browser.call("Emulation.setDeviceMetricsOverride", {{"width", portrait ? 1200 : 1600},
            {"height", portrait ? 1600 : 1200}, {"deviceScaleFactor", 1}, {"mobile", true},
            {"screenOrientation", {{"type", portrait ? "portraitPrimary" : "landscapePrimary"}, {"angle", portrait ? 0 : 90}}}});
    };
    hold(true);
    browser.call("Page.navigate", {{"url", "http://127.0.0.1:8891/tablet?colour=0"}});
    // The page's picture and its monitor, once both are `portrait` (or not); false at the deadline.
    std::pair<int, int> place;
    const auto shown = [&](bool portrait) {
        return waitFor([&] {
            const json size = browser.evaluate("window.quillbright && quillbright.decoded > 0 ? "
                                               "[quillbright.width, quillbright.height] : null");
            if (!size.is_array() || (size[0] < size[1]) != portrait) return false;
            const auto monitor = monitorOf(size[0], size[1]);
            if (monitor) place = {monitor->left, monitor->top};
            return monitor.has_value();
        }, 30s);
    };
    ASSERT_TRUE(shown(true)) << xorg().run("xrandr --listmonitors") << output();
    const auto first = place;
    // The page installs as an app that opens full screen, with its icon.
    browser.call("Runtime.evaluate", {{"expression", R"((async () => {
        const manifest = await (await fetch(document.querySelector('link[rel=manifest]').href)).json();
        const icon = await fetch(manifest.icons[0].src);
        window.installed = [manifest.display, manifest.start_url, icon.status, icon.headers.get('content-type'),
                            (await icon.text()).startsWith('<svg')]; })())"}, {"awaitPromise", true}});
    EXPECT_EQ(browser.evaluate("window.installed"), json::parse(R"(["fullscreen", "/tablet", 200, "image/svg+xml", true])"));
    const auto portraitSize = browser.evaluate("[quillbright.width, quillbright.height]");
    hold(false);
    ASSERT_TRUE(shown(false)) << xorg().run("xrandr --listmonitors") << output();
    EXPECT_EQ(browser.evaluate("[quillbright.height, quillbright.width]"), portraitSize); // the same density
    EXPECT_EQ(place, first);
    EXPECT_TRUE(outputHas("turned — its session ends")) << output();
    hold(true);
    ASSERT_TRUE(shown(true)) << xorg().run("xrandr --listmonitors") << output();
    EXPECT_EQ(browser.evaluate("[quillbright.width, quillbright.height]"), portraitSize);
    EXPECT_EQ(place, first);
    terminate();
}

// A colour tablet: the page asks for RGB and draws its session's stream (the
// primary mirrored) exactly as the reference client decodes it.
TEST_F(TabletPageTest, AColourStreamIsDrawnExactly)
{
    const std::string before = xorg().layout();
    ASSERT_NO_FATAL_FAILURE(launchWaiting(false));
    Browser browser(directory() / "chromium");
    ASSERT_NO_FATAL_FAILURE(
        openPage(browser, "http://127.0.0.1:8891/tablet?colour=1", "window.quillbright && quillbright.bpp === 3"));
    Watcher client;
    TestWindow window(xorg().display, 0, 0, 1024, 768);
    ASSERT_NE(window.x, nullptr);
    browser.evaluate(SIDE_DECODERS); // the colour paths of every decoder too
    window.paint(1024, 768, 7);
    std::string mismatch;
    EXPECT_TRUE(canvasMatches(browser, client, mismatch)) << mismatch;
    EXPECT_TRUE(decodersAgree(browser, client, mismatch)) << mismatch;
    // Stopped while the page watches, the daemon takes the page's display away.
    terminate();
    EXPECT_EQ(xorg().layout(), before);
}

// A tablet on USB without the companion app (and none to install): the
// daemon maps the page's port and opens the page in the tablet's browser,
// which joins the device's session; a stop removes the tunnel.
TEST_F(TabletPageTest, WithoutTheCompanionTheDaemonOpensThePageOnTheTablet)
{
    adb.setDevices({test::FakeAdbState::device("DC1-0009", "DC_1")});
    launch();
    const std::string url = "http://localhost:8891/tablet/device/DC1-0009";
    const auto tunnels = [&] { return adb.read()["devices"][0].value("reverse", json::array()).dump(); };
    ASSERT_TRUE(waitFor([&] { return adb.read()["devices"][0].value("opened", json::array()).dump().find(url)
                                  != std::string::npos; }, 30s))
        << adb.read().dump() << output();
    EXPECT_NE(tunnels().find("8891"), std::string::npos) << tunnels();
    EXPECT_TRUE(outputHas("No companion app — using the tablet page in the device's browser")) << output();

    // The tablet's browser (here, through the tunnel's host end) shows the device's stream.
    Browser browser(directory() / "chromium");
    ASSERT_NO_FATAL_FAILURE(openPage(browser, url, "window.quillbright && quillbright.decoded > 0"));
    EXPECT_TRUE(outputHas("Tablet page streaming from port 8888")) << output();
    // Asked for, the page is opened again.
    EXPECT_EQ(cli({"tablet", "--browser"}), std::pair(0, std::string("OK opening the tablet page on the USB tablets\n")));
    EXPECT_TRUE(waitFor([&] { return adb.read()["devices"][0].value("opened", json::array()).size() == 2; }, 10s));

    terminate();
    EXPECT_EQ(tunnels().find("8891"), std::string::npos) << tunnels();
}

// A tablet plugged in while only a page is mirrored gets mirrored too: the
// device's session comes first, and the page, reconnecting, gets the next port.
TEST_F(TabletPageTest, ADevicePluggedInBesideAPageIsMirroredToo)
{
    ASSERT_NO_FATAL_FAILURE(launchWaiting(false));
    ASSERT_EQ(cli({"automirror", "on"}).first, 0);
    Browser browser(directory() / "chromium");
    ASSERT_NO_FATAL_FAILURE(openPage(browser, "http://127.0.0.1:8891/tablet"));
    ASSERT_TRUE(outputHas("Tablet page streaming from port 8888", 30s)) << output();

    adb.setDevices({test::device("DC1-0001", "DC_1", "1200x1600")});
    ASSERT_TRUE(outputHas("Tablet page streaming from port 8889", 30s)) << output();
    companion::CompanionClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", 8888, 5000ms));
    const auto greeting = client.readGreeting(10000ms);
    ASSERT_TRUE(greeting) << client.violation();
    EXPECT_EQ(std::tuple(greeting->width, greeting->height), std::tuple(1600, 1200)); // the DC-1's own
    terminate();
}

// The page's LZ4 decoders against a byte-at-a-time reference, on raw LZ4
// blocks applied to a picture as keyframes and as deltas.
namespace lz4 {

using Bytes = std::vector<std::uint8_t>;

// What a block decodes to, one byte at a time; none when it does not make
// exactly `size` bytes or breaks a rule of the format.
std::optional<Bytes> reference(const Bytes& src, std::size_t size)
{
    Bytes out;
    std::size_t s = 0;
    const auto extend = [&](std::size_t& n) {
        for (unsigned b = 255; b == 255; n += b) {
            if (s >= src.size()) return false;
            b = src[s++];
        }
        return true;
    };
    while (s < src.size()) {
        const unsigned token = src[s++];
        std::size_t literals = token >> 4, length = token & 15;
        if (literals == 15 && !extend(literals)) return std::nullopt;
        if (literals > src.size() - s || out.size() + literals > size) return std::nullopt;
        out.insert(out.end(), src.begin() + std::ptrdiff_t(s), src.begin() + std::ptrdiff_t(s + literals));
        s += literals;
        if (s == src.size()) break;
        if (src.size() - s < 2) return std::nullopt;
        const std::size_t offset = src[s] | (std::size_t(src[s + 1]) << 8);
        s += 2;
        if (offset == 0 || offset > out.size()) return std::nullopt;
        if (length == 15 && !extend(length)) return std::nullopt;
        length += 4;
        if (out.size() + length > size) return std::nullopt;
        for (std::size_t i = 0; i < length; ++i) out.push_back(out[out.size() - offset]);
    }
    if (out.size() != size) return std::nullopt;
    return out;
}

// A block of `size` bytes made of sequences of every shape: literal runs
// from none to hundreds, offsets from 1 (a run of one byte) past 16 (where
// copies go sixteen bytes at a time) to far back, match lengths from 4 to
// hundreds, the last matches ending right at the end or a few bytes before
// (in half the blocks a tail of short matches, each a few bytes for the
// block's three). Its first 64 bytes are zeros: as a delta it leaves the
// first row alone.
Bytes block(std::size_t size, std::uint32_t seed)
{
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u, seed >> 8; };
    const auto count = [](Bytes& out, std::size_t n) {
        for (; n >= 255; n -= 255) out.push_back(255);
        out.push_back(std::uint8_t(n));
    };
    const std::size_t run = 63 + next() % 40;
    Bytes out = {0x1F, 0, 1, 0}; // one zero literal, then a run of it at offset 1
    count(out, run - 4 - 15);
    std::size_t made = 1 + run;
    const bool shortTail = seed % 2 == 0;
    for (;;) {
        const std::size_t roll = next() % 16;
        std::size_t literals = roll < 9 ? 0 : roll < 13 ? next() % 15 : roll < 15 ? 15 + next() % 40 : next() % 400;
        std::size_t length = 4 + (next() % 4 == 0 ? next() % 300 : next() % 30);
        std::size_t offset = next() % 3 == 0 ? 16 + next() % 24 : next() % 3 == 0 ? 1 + next() % 2000 : 1 + next() % 15;
        if (shortTail && size - made < 200) literals = 0, length = 4 + next() % 4; // many sequences for few bytes
        if (made + literals + length > size || next() % 200 == 0) break;
        offset = std::min(offset, made + literals);
        out.push_back(std::uint8_t((std::min<std::size_t>(literals, 15) << 4) | std::min<std::size_t>(length - 4, 15)));
        if (literals >= 15) count(out, literals - 15);
        for (std::size_t i = 0; i < literals; ++i) out.push_back(std::uint8_t(next()));
        out.push_back(std::uint8_t(offset));
        out.push_back(std::uint8_t(offset >> 8));
        if (length - 4 >= 15) count(out, length - 4 - 15);
        made += literals + length;
    }
    const std::size_t rest = size - made; // the last sequence: literals only
    out.push_back(std::uint8_t(std::min<std::size_t>(rest, 15) << 4));
    if (rest >= 15) count(out, rest - 15);
    for (std::size_t i = 0; i < rest; ++i) out.push_back(std::uint8_t(next()));
    return out;
}

// For each decoder kind, and each block in turn applied onto a 64x128 grey
// picture (as a keyframe when its flag says so, else as a delta): whether
// it was taken, the FNV-1a hash of the picture after it, and the hash of
// the grey the RGBA pixels painted from it show (-1 where they are not
// grey and opaque).
constexpr const char* DECODE = R"((blocks) => {
  const fnv = (bytes) => { let h = 0x811c9dc5; for (let i = 0; i < bytes.length; i++) h = Math.imul(h ^ bytes[i], 16777619);
                           return h >>> 0; };
  const out = {};
  for (const kind of ['js', 'wasm', 'wasm-simd']) {
    const d = quillbright.makeDecoder(kind);
    if (!d || !d.setup(64, 128, 1)) { out[kind] = null; continue; }
    out[kind] = blocks.map(([keyframe, b]) => {
      const ok = d.apply(keyframe, Uint8Array.from(atob(b), c => c.charCodeAt(0)));
      const rgba = d.image.data, grey = new Uint8Array(rgba.length / 4);
      let painted = true;
      for (let i = 0; i < grey.length; i++) {
        grey[i] = rgba[i * 4];
        painted = painted && rgba[i * 4 + 1] === grey[i] && rgba[i * 4 + 2] === grey[i] && rgba[i * 4 + 3] === 255;
      }
      return [ok, fnv(d.frame), painted ? fnv(grey) : -1];
    });
  }
  return out;
})";

} // namespace lz4

// Every decoder of the page, on blocks of every sequence shape and on the
// same blocks cut short or with bytes changed, as keyframes and as deltas,
// does what a byte-at-a-time decoder does: the same picture for a block it
// takes, the picture left as it was for one it refuses, and the RGBA pixels
// always the picture's (no write strays past the decoded bytes into them;
// a delta leaves the first row unpainted).
TEST(TabletPageDecoders, DecodeEveryBlockExactlyAndRefuseBrokenOnesLeavingThePicture)
{
    if (!fs::exists("/usr/bin/chromium") && !fs::exists("/usr/bin/chromium-browser")) GTEST_SKIP() << "no chromium";
    constexpr std::size_t SIZE = 64 * 128;
    std::vector<lz4::Bytes> blocks;
    std::uint32_t seed = 7;
    const auto next = [&] { return seed = seed * 22695477u + 1u, seed >> 10; };
    for (std::uint32_t n = 0; n < 60; ++n) {
        const auto whole = lz4::block(SIZE, n + 1);
        blocks.push_back(whole);
        auto cut = whole;
        cut.resize(next() % whole.size());
        blocks.push_back(cut);
        for (std::uint8_t offset : {0, 2}) { // the first match at no offset, or reaching before the picture
            auto reaching = whole;
            reaching[2] = offset;
            blocks.push_back(reaching);
        }
        for (int changes : {1, 3}) {
            auto changed = whole;
            for (int i = 0; i < changes; ++i) changed[next() % changed.size()] = std::uint8_t(next());
            blocks.push_back(changed);
        }
    }
    for (int n = 0; n < 20; ++n) { // noise
        lz4::Bytes noise(1 + next() % 3000);
        for (auto& b : noise) b = std::uint8_t(next());
        blocks.push_back(noise);
    }
    // What each block leaves: the reference's picture, or the one before.
    lz4::Bytes picture(SIZE, 0);
    std::vector<std::uint32_t> expected;
    int taken = 0;
    json encoded = json::array();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const auto& b = blocks[i];
        const bool keyframe = i % 3 == 0;
        if (const auto decoded = lz4::reference(b, SIZE)) {
            for (std::size_t j = 0; j < SIZE; ++j) picture[j] = keyframe ? (*decoded)[j] : picture[j] ^ (*decoded)[j];
            ++taken;
        }
        expected.push_back(fnv(picture));
        std::string text(beast::detail::base64::encoded_size(b.size()), '\0');
        text.resize(beast::detail::base64::encode(text.data(), b.data(), b.size()));
        encoded.push_back({keyframe, text});
    }
    ASSERT_TRUE(lz4::reference(lz4::block(SIZE, 1), SIZE).has_value()); // the made blocks are sound
    ASSERT_GT(taken, 60);
    ASSERT_LT(taken, int(blocks.size()) - 40); // and enough of the broken ones are refused

    test::TempDir directory("qb-page-decoders");
    test::writeFile(directory / "page.html", tabletPage());
    Browser browser(directory / "chromium");
    ASSERT_TRUE(browser.ready());
    browser.call("Page.navigate", {{"url", "file://" + (directory / "page.html").string()}});
    ASSERT_TRUE(waitFor([&] { return browser.evaluate("!!(window.quillbright && quillbright.makeDecoder('wasm-simd'))")
                                     == true; }, 30s));
    const json got = browser.evaluate(std::string("(") + lz4::DECODE + ")(" + encoded.dump() + ")");
    for (const char* kind : {"js", "wasm", "wasm-simd"}) {
        ASSERT_TRUE(got.contains(kind) && got[kind].is_array()) << kind << ": " << got.dump().substr(0, 200);
        ASSERT_EQ(got[kind].size(), blocks.size()) << kind;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const json& r = got[kind][i];
            const bool ok = lz4::reference(blocks[i], SIZE).has_value();
            ASSERT_EQ(r[0], ok) << kind << " block " << i;
            ASSERT_EQ(r[1], expected[i]) << kind << " block " << i << (ok ? " decoded" : " refused");
            ASSERT_EQ(r[2], expected[i]) << kind << " block " << i << ": the painted pixels";
        }
    }
}

} // namespace
} // namespace qb
