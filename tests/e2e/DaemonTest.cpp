// The real quillbright daemon, driven from outside: the simulated desktop,
// the fake adb with a scripted device, the reference companion client on the
// frame port, and the command line's own status and signals.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <functional>
#include <thread>

#include <fcntl.h>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "companion/CompanionClient.h"
#include "companion/TouchScript.h"
#include "core/MirrorEngine.h"
#include "core/RuntimePaths.h"
#include "e2e/DaemonHarness.h"
#include "fake-adb/FakeAdbState.h"
#include "pipeline/PixelKernels.h"
#include "platform/sim/SimPlatform.h"
#include "runtime/MainLoop.h"
#include "runtime/Process.h"
#include "runtime/SettingsStore.h"
#include "support/MainLoopSupport.h"
#include "support/SocketSupport.h"
#include "transport/FrameProtocol.h"

#include <X11/Xlib.h>

namespace qb {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;
using Log = std::vector<std::vector<std::string>>;

using test::device;
using test::greeted;
using test::waitFor;

// The index of the first entry at or after `from` holding `words` in a row.
std::optional<std::size_t> find(const Log& log, const std::vector<std::string>& words, std::size_t from = 0)
{
    for (std::size_t i = from; i < log.size(); ++i) {
        const auto& entry = log[i];
        if (std::search(entry.begin(), entry.end(), words.begin(), words.end()) != entry.end()) return i;
    }
    return std::nullopt;
}

std::size_t count(const Log& log, const std::vector<std::string>& words)
{
    std::size_t n = 0;
    for (auto at = find(log, words); at; at = find(log, words, *at + 1)) ++n;
    return n;
}

bool canConnect(std::uint16_t port)
{
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    boost::system::error_code error;
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port}, error);
    return !error;
}

class DaemonTest : public test::DaemonHarness {
protected:
    // Pauses shortened 20 times: 2 s stagger → 100 ms, 30 s health check → 1.5 s.
    // Without a platform, the daemon finds the harness's private Xorg.
    explicit DaemonTest(const char* platform = nullptr) : DaemonHarness(platform, "0.05")
    {
        paths = RuntimePaths::inDirectory(directory().string());
    }

    std::map<std::string, std::string> statusFile() const
    {
        std::map<std::string, std::string> values;
        std::ifstream in(paths.statusFile);
        for (std::string line; std::getline(in, line);) {
            const auto equals = line.find('=');
            if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        }
        return values;
    }

    bool waitForStatus(const std::string& status, std::chrono::milliseconds timeout = 20s)
    {
        return waitFor([&] { return statusFile()["status"] == status; }, timeout);
    }

    // One raw exchange on the control socket: the reply, or nothing when
    // the daemon closed without one.
    std::optional<std::string> control(const std::string& bytes) const
    {
        return test::unixExchange(paths.controlSocket, bytes);
    }

    nlohmann::json settingsFile() const { return nlohmann::json::parse(test::readFile(settingsPath()), nullptr, false); }

    // A still X desktop sends no frame: moving the pointer, which is in the
    // picture, makes the next one. Nothing on the simulated desktop.
    void movePointer()
    {
        const char* name = std::getenv("DISPLAY");
        if (!pointerDisplay_ && name) pointerDisplay_.reset(XOpenDisplay(name));
        if (!pointerDisplay_) return;
        Display* x = pointerDisplay_.get();
        pointerStep_ = (pointerStep_ + 1) % 40;
        XWarpPointer(x, None, DefaultRootWindow(x), 0, 0, 0, 0, 100 + 10 * pointerStep_, 100);
        XSync(x, False);
    }

    RuntimePaths paths;

private:
    std::unique_ptr<Display, int (*)(Display*)> pointerDisplay_{nullptr, XCloseDisplay};
    int pointerStep_ = 0;
};

// Tests whose subject is the picture itself under a held-still desktop with
// mid-tones: the simulated scene, stopped.
class SimDaemonTest : public DaemonTest {
protected:
    SimDaemonTest() : DaemonTest("sim") {}
};

// No desktop at all (a shell without DISPLAY, a service started before the
// session): the harness starts no display server, and the daemon is not
// told of the simulated one.
class NoDesktopTest : public DaemonTest {
protected:
    NoDesktopTest() : DaemonTest("sim") { ::unsetenv("QUILLBRIGHT_PLATFORM"); }
    const test::ScopedEnv display_{"DISPLAY", std::nullopt};
    const test::ScopedEnv wayland_{"WAYLAND_DISPLAY", std::nullopt};
    const test::ScopedEnv sway_{"SWAYSOCK", std::nullopt};
};

TEST_F(NoDesktopTest, TheDaemonSaysWhereItLookedAndHowToPointItAndMirrorsNothing)
{
    launch();
    ASSERT_TRUE(daemon_->waitUntilExit(15000ms));
    EXPECT_EQ(daemon_->exitStatus(), 1);
    EXPECT_THAT(output(), HasSubstr("ERROR: No desktop to mirror: looked for sway (wlroots), KDE Plasma (KWin), "));
    EXPECT_THAT(output(), HasSubstr("X11 (X11: $DISPLAY is not set)\n"));
    EXPECT_THAT(output(), HasSubstr("WAYLAND_DISPLAY for sway, KDE or GNOME on Wayland, DISPLAY for X11"));
    EXPECT_THAT(output(), Not(HasSubstr("Using the simulated desktop")));
    EXPECT_FALSE(canConnect(8888));
    EXPECT_FALSE(fs::exists(paths.pidFile));
    EXPECT_FALSE(fs::exists(paths.controlSocket));

    const auto [exitStatus, text] = cli({"doctor"});
    EXPECT_THAT(text, HasSubstr("desktop: No desktop to mirror: looked for "));
    EXPECT_THAT(text, HasSubstr("or name one with QUILLBRIGHT_PLATFORM"));
}

TEST_F(DaemonTest, MirrorsADC1ToTheReferenceClientAndTwoStopSignalsMakeOneTeardown)
{
    // No adb server yet: a client that finds none starts one itself, and
    // several doing so at once fail. The daemon starts it once, first.
    adb.update([](nlohmann::json& s) { s["serverRunning"] = false; });
    adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
    launch();
    ASSERT_TRUE(waitForStatus("running")) << output();
    EXPECT_EQ(adb.read().value("serverStarts", 0), 1) << output();
    ASSERT_FALSE(adb.log().empty());
    EXPECT_EQ(adb.log().front(), std::vector<std::string>{"start-server"});
    EXPECT_EQ(count(adb.log(), {"start-server"}), 1u);
    EXPECT_THAT(output(), HasSubstr("QuillBright v2.4.4 -- CLI mode\n---\n"));
    // Run by its path, not from $PATH: the hints name that path.
    EXPECT_THAT(output(),
        HasSubstr(std::string("Mirror running. Ctrl+C to stop.\nOr from another terminal: ") + QB_QUILLBRIGHT + " stop\n"));

    // The device link, in order.
    const Log log = adb.log();
    std::size_t at = 0;
    for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
             {"am", "broadcast", "-a", "app.quillbright.STATUS", "--es", "state", "starting_display"},
             {"am", "broadcast", "-a", "app.quillbright.STATUS", "--es", "state", "capture_ready"},
             {"shell", "wm", "size"},
             {"pm", "list", "packages"},
             {"dumpsys", "package", "app.quillbright"},
             {"reverse", "tcp:8888", "tcp:8888"},
             {"reverse", "--list"},
             {"reverse", "tcp:8892", "tcp:8892"},
             {"am", "start", "-S", "-n", "app.quillbright/.MirrorActivity"},
         }) {
        const auto found = find(log, step, at);
        ASSERT_TRUE(found) << "missing in order: " << ::testing::PrintToString(step);
        at = *found + 1;
    }
    EXPECT_FALSE(find(log, {"install"})) << "a compatible companion is not reinstalled";

    // The device's side of the stream.
    companion::CompanionClient client;
    const auto greeting = greeted(client);
    ASSERT_TRUE(greeting) << client.violation();
    EXPECT_EQ(std::tuple(greeting->width, greeting->height, greeting->pixelFormat, greeting->brightness, greeting->warmth),
        std::tuple(1600, 1200, companion::FramePixelFormat::greyscale, 128, 128));
    for (int i = 0; i < 5; ++i) {
        const auto frame = client.readFrame(5000ms);
        ASSERT_TRUE(frame) << client.violation();
        EXPECT_TRUE(client.sendAck(frame->sequenceNumber));
        movePointer();
    }
    EXPECT_TRUE(client.violation().empty()) << client.violation();
    EXPECT_TRUE(client.decoder().hasPicture());
    EXPECT_EQ(client.decoder().frame().size(), 1600u * 1200u);

    // The command line sees the daemon through its files.
    ASSERT_TRUE(waitFor([&] { return statusFile()["clients"] == "1"; }, 10s)) << output();
    const auto [exitStatus, text] = cli({"status"});
    EXPECT_EQ(exitStatus, 0);
    // The state word from the control socket, then the status file's other keys.
    EXPECT_THAT(text, HasSubstr("running=true\nstatus=running\nresolution=cozy (1600x1200)\ndisplay_mode=mirror\n"));
    EXPECT_THAT(text, HasSubstr("adb=true\n"));
    client.close();

    // Without a control socket, reconnect goes by signal (what it does with
    // a link that is down: AStopDuringAReconnectWins...).
    fs::remove(paths.controlSocket);
    EXPECT_EQ(cli({"reconnect"}), std::pair(0, std::string("Sending reconnect signal to PID ")
                                                     + std::to_string(pid()) + "...\nReconnect triggered.\n"));
    EXPECT_TRUE(outputHas("[SIGUSR1] Reconnecting ADB...\n", 5s));

    // SIGTERM and SIGINT at once: one teardown, one exit.
    ::kill(pid(), SIGINT);
    EXPECT_EQ(terminate(), 0);
    EXPECT_EQ(count(adb.log(), {"reverse", "--remove", "tcp:8888"}), 1u);
    EXPECT_TRUE(find(adb.log(), {"reverse", "--remove", "tcp:8892"}));
    expectNothingLeft();
    EXPECT_FALSE(canConnect(8888));
}

// On the private Xorg, so that a touch's effect, the pointer, can be read back.
class LanDaemonTest : public DaemonTest {
protected:
    LanDaemonTest() : DaemonTest(nullptr) {}
    void SetUp() override
    {
        if (!tablet || !stranger) GTEST_SKIP() << "needs the LAN namespaces (lan-namespace.sh)";
        if (!hostMissing().empty()) GTEST_SKIP() << hostMissing();
    }
    const char* tablet = std::getenv("QB_LAN_TABLET_NS");
    const char* stranger = std::getenv("QB_LAN_STRANGER_NS");
};

// Wi-Fi mode on the LAN of three namespaces lan-namespace.sh makes: the
// tablet, set up under its IPv4 network serial and paired at its IPv6
// address, streams over IPv4, IPv6 and v4-mapped IPv6 and its touches move
// the pointer; the stranger is closed without a byte on each and its touches
// go nowhere; once mirroring stops the tablet's stream closes.

// What a peer at `from` gets from `host`'s `port` (this host's by default)
// when it sends `request` (a served peer gets the frame port's greeting, or
// is kept waiting on the others): the first byte within `limit`, or nullopt
// when it is refused or closed at once without a byte.
std::optional<std::vector<std::uint8_t>> rawPortAnswer(const char* from, std::uint16_t port,
    const std::string& host = "192.0.2.1", const std::string& request = "", std::chrono::milliseconds limit = 2000ms)
{
    using boost::asio::ip::tcp;
    std::optional<std::vector<std::uint8_t>> answer;
    test::inNetworkNamespace(from, [&] {
        boost::asio::io_context io;
        const auto address = boost::asio::ip::make_address(host);
        tcp::socket socket(io, address.is_v4() ? tcp::v4() : tcp::v6());
        if (address.is_v6()) socket.set_option(boost::asio::ip::v6_only(false));
        boost::system::error_code error;
        socket.connect({address, port}, error);
        if (error) return; // refused
        if (!request.empty()) boost::asio::write(socket, boost::asio::buffer(request), error);
        const auto bytes = test::readWithin(socket, 1, limit);
        std::uint8_t more = 0;
        socket.non_blocking(true);
        const bool closed = bytes.empty() && socket.read_some(boost::asio::buffer(&more, 1), error) == 0
            && error == boost::asio::error::eof;
        if (!closed) answer = bytes;
    });
    return answer;
}

TEST_F(LanDaemonTest, InWiFiModeOnlyTheSetUpTabletIsServedOnTheLan)
{
    writeSettings({{"connectionMode", "wifi"}, {"pairedDevices", "192.0.2.20:5555 2001:db8::20\n"}});
    adb.setDevices({device("192.0.2.20:5555", "DC_1", "1200x1600")});
    launch();
    ASSERT_TRUE(waitForStatus("running")) << output();
    const std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(xorg().display.c_str()), XCloseDisplay);
    Display* x = display.get();
    ASSERT_NE(x, nullptr);
    const auto pointer = [x] {
        Window root = 0, child = 0;
        int rootX = 0, rootY = 0, winX = 0, winY = 0;
        unsigned mask = 0;
        XQueryPointer(x, DefaultRootWindow(x), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
        return std::pair(rootX, rootY);
    };

    for (const char* host : {"192.0.2.1", "2001:db8::1", "::ffff:192.0.2.1"}) {
        companion::CompanionClient client, intruder;
        ASSERT_TRUE(test::inNetworkNamespace(tablet, [&] { client.connect(host, 8888, 5000ms); }));
        ASSERT_TRUE(client.readGreeting(5000ms)) << host << " " << client.violation();
        for (int i = 0; i < 3; ++i) {
            const auto frame = client.readFrame(5000ms);
            ASSERT_TRUE(frame) << host << " " << client.violation();
            EXPECT_TRUE(client.sendAck(frame->sequenceNumber));
            // The pointer is in the picture: moving it makes the next frame.
            XWarpPointer(x, None, DefaultRootWindow(x), 0, 0, 0, 0, 100 + 10 * i, 100);
            XSync(x, False);
        }
        EXPECT_TRUE(client.decoder().hasPicture() && client.violation().empty()) << host;
        ASSERT_TRUE(test::inNetworkNamespace(stranger, [&] { intruder.connect(host, 8888, 5000ms); }));
        EXPECT_FALSE(intruder.readGreeting(1000ms)) << host;
        EXPECT_TRUE(intruder.closed()) << host;
        // The preview's pictures and its page: not a byte either (touches: below).
        for (const std::uint16_t port : {WEBSOCKET_PREVIEW_PORT, HTTP_PREVIEW_PORT}) {
            const auto answer = rawPortAnswer(stranger, port, host, "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
            EXPECT_TRUE(!answer || answer->empty()) << host << " port " << port << " served the stranger";
        }
    }
    EXPECT_TRUE(outputHas("Refused connection from 192.0.2.66 — not a paired device")) << output();

    // A tap at three quarters across, half-way down the tablet: from the
    // stranger it moves nothing; from the tablet the pointer goes there on
    // the 1024x768 primary it mirrors.
    const auto before = pointer();
    for (const char* from : {stranger, tablet}) {
        companion::TouchSender touches;
        ASSERT_TRUE(test::inNetworkNamespace(from, [&] { touches.connect("192.0.2.1", INPUT_PORT, 5000ms); }));
        touches.send(companion::encodeTouch(1, 0.75F, 0.5F, 0, 0));
        touches.send(companion::encodeTouch(3, 0.75F, 0.5F, 0, 0));
        if (from != stranger) continue;
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(pointer(), before) << "the stranger's touch landed";
    }
    EXPECT_TRUE(waitFor([&] { return pointer() == std::pair(768, 384); }, 10s)) << output();

    companion::CompanionClient watching;
    ASSERT_TRUE(test::inNetworkNamespace(tablet, [&] { watching.connect("192.0.2.1", 8888, 5000ms); }));
    ASSERT_TRUE(watching.readGreeting(5000ms));
    EXPECT_THAT(control("STOP\n").value_or(""), HasSubstr("OK stopping"));
    EXPECT_TRUE(waitFor([&] { return !watching.readFrame(200ms) && watching.closed(); }, 10s));
    EXPECT_EQ(terminate(), 0);
}

// What a browser tablet's page does on the LAN: one visit to the tablet
// page's WebSocket from the namespace `from`, sending `first` then the hello;
// `whileStreaming` runs (on another thread) once the stream has begun, and
// the page then reads on until the daemon ends the stream when it returns true.
struct PageVisit {
    std::vector<std::string> texts; // text answers (the token when it paired)
    bool streamed = false;          // a stream message arrived: it had a session
    bool endedByDaemon = false;     // the daemon closed the stream it had begun
    std::chrono::steady_clock::time_point ended;
    std::string closeReason;
};

PageVisit visitTabletPage(const char* from, std::vector<std::string> first,
    const std::function<bool()>& whileStreaming = nullptr)
{
    namespace beast = boost::beast;
    PageVisit visit;
    test::inNetworkNamespace(from, [&] {
        boost::asio::io_context io;
        beast::websocket::stream<beast::tcp_stream> page(io);
        beast::error_code error;
        beast::get_lowest_layer(page).connect({boost::asio::ip::make_address("192.0.2.1"), HTTP_PREVIEW_PORT}, error);
        if (!error) page.handshake("192.0.2.1:8891", "/tablet/stream", error);
        if (error) {
            visit.closeReason = "no connection: " + error.message();
            return;
        }
        first.push_back("hello 1200 1600 grey e2e-page");
        page.text(true);
        for (const auto& message : first) page.write(boost::asio::buffer(message), error);
        beast::flat_buffer buffer;
        std::function<void(beast::error_code, std::size_t)> onRead = [&](beast::error_code read, std::size_t) {
            if (read) {
                visit.closeReason = std::string(page.reason().reason.c_str());
                visit.endedByDaemon = visit.streamed;
                visit.ended = std::chrono::steady_clock::now();
                return;
            }
            if (page.got_binary()) {
                const bool readOn = visit.streamed || (whileStreaming && whileStreaming());
                visit.streamed = true;
                if (!readOn) {
                    beast::get_lowest_layer(page).close();
                    return;
                }
            } else {
                visit.texts.push_back(beast::buffers_to_string(buffer.data()));
            }
            buffer.consume(buffer.size());
            page.async_read(buffer, onRead);
        };
        page.async_read(buffer, onRead);
        io.run_for(30s);
        beast::get_lowest_layer(page).close();
    });
    return visit;
}

// `connection wifi` on a waiting daemon moves its servers onto the LAN at
// once (no restart asked for), and `tablet` finds this computer's address on
// the default route's interface, named as Ethernet is.
TEST_F(LanDaemonTest, ConnectionWifiPutsTheServersOnTheLanAndTabletFindsAnEthernetAddress)
{
    const test::ScopedEnv named("QUILLBRIGHT_WIFI_INTERFACE", std::nullopt);
    const auto ip = [](std::vector<std::string> words) {
        ProcessOptions options;
        options.executable = "/usr/sbin/ip";
        options.arguments = std::move(words);
        return runProcess(options, 10, "ip").exitStatus.value_or(-1);
    };
    ASSERT_EQ(ip({"link", "add", "enp3s0", "type", "veth", "peer", "name", "enp3s1"}), 0);
    struct Removed {
        std::function<int(std::vector<std::string>)> ip;
        ~Removed() { ip({"link", "del", "enp3s0"}); }
    } removed{ip};
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"addr", "add", "198.51.100.7/24", "dev", "enp3s0"}, {"link", "set", "enp3s1", "up"},
             {"link", "set", "enp3s0", "up"}, {"route", "add", "default", "via", "198.51.100.1", "dev", "enp3s0"}}) {
        ASSERT_EQ(ip(words), 0) << ::testing::PrintToString(words);
    }
    const auto reachable = [&] {
        boost::system::error_code error = boost::asio::error::host_unreachable;
        test::inNetworkNamespace(tablet, [&] {
            boost::asio::io_context io;
            boost::asio::ip::tcp::socket socket(io);
            socket.connect({boost::asio::ip::make_address("192.0.2.1"), HTTP_PREVIEW_PORT}, error);
        });
        return !error;
    };
    launch();
    ASSERT_TRUE(waitForStatus("waiting_for_device", 30s)) << output();
    EXPECT_FALSE(reachable()) << "over USB the page listens on this computer only";

    EXPECT_EQ(cli({"connection", "wifi"}), std::pair(0, std::string("OK wifi (servers now listen on the LAN)\n")));
    EXPECT_TRUE(waitFor(reachable, 10s)) << output();
    const auto [status, shown] = cli({"tablet"});
    EXPECT_EQ(status, 0);
    EXPECT_THAT(shown, HasSubstr("Open http://198.51.100.7:8891/tablet in the tablet's browser\n")) << shown;
    EXPECT_THAT(shown, HasSubstr("\u2580")) << "no QR code";
    EXPECT_THAT(shown, Not(HasSubstr("\x1b["))) << "colour codes into a pipe";

    EXPECT_EQ(cli({"connection", "usb"}).first, 0);
    EXPECT_TRUE(waitFor([&] { return !reachable(); }, 10s)) << output();
    EXPECT_EQ(terminate(), 0);
}

// Over Wi-Fi a browser tablet pairs once with the code `quillbright tablet`
// shows and is then known by its token, across restarts, until forgotten;
// strangers (no token, a wrong code, a spent code) get no session, and the
// paired page gets its stream and nothing else.
TEST_F(LanDaemonTest, ABrowserTabletPairsOnceAndOnlyPairedPagesGetASession)
{
    test::ScopedEnv lan("QUILLBRIGHT_WIFI_INTERFACE", "lan");
    writeSettings({{"connectionMode", "wifi"}});
    launch();
    ASSERT_TRUE(waitForStatus("waiting_for_device", 30s)) << output();

    const auto [status, shown] = cli({"tablet"});
    EXPECT_EQ(status, 0);
    EXPECT_THAT(shown, HasSubstr("Open http://192.0.2.1:8891/tablet in the tablet's browser\n"));
    EXPECT_THAT(shown, HasSubstr("\u2580")) << "no QR code";
    EXPECT_THAT(shown, HasSubstr("\nOn the page:\n  Pen: hovering moves the pointer")) << "what the page can do";
    const auto at = shown.find("Pairing code: ");
    ASSERT_NE(at, std::string::npos) << shown;
    const std::string code = shown.substr(at + 14, 6);

    EXPECT_EQ(visitTabletPage(stranger, {}).closeReason, "pairing needed");
    EXPECT_EQ(visitTabletPage(stranger, {"token " + std::string(64, 'a')}).closeReason, "unpaired");
    EXPECT_EQ(visitTabletPage(stranger, {code == "000000" ? "pair 111111" : "pair 000000"}).closeReason, "wrong code");
    const auto servedThePreview = [&](const char* from) {
        const auto answer =
            rawPortAnswer(from, HTTP_PREVIEW_PORT, "192.0.2.1", "GET / HTTP/1.1\r\nHost: 192.0.2.1\r\n\r\n", 5000ms);
        return answer && !answer->empty();
    };
    EXPECT_FALSE(servedThePreview(tablet));

    bool servedWhilePaired = true;
    const PageVisit paired = visitTabletPage(tablet, {"pair " + code}, [&] {
        servedWhilePaired = servedThePreview(tablet);
        return false;
    });
    ASSERT_FALSE(paired.texts.empty()) << paired.closeReason << output(); // its notice may follow
    ASSERT_TRUE(paired.texts[0].starts_with("paired ")) << paired.texts[0];
    EXPECT_TRUE(paired.streamed) << output();
    const std::string token = paired.texts[0].substr(7);
    EXPECT_FALSE(servedWhilePaired) << "a page's token opens its stream, not the preview";
    EXPECT_EQ(visitTabletPage(tablet, {"pair " + code}).closeReason, "wrong code") << "a code is single use";
    EXPECT_TRUE(visitTabletPage(tablet, {"token " + token}).streamed);

    // The pairing outlives the daemon, in a file only its user can read.
    EXPECT_EQ(terminate(), 0);
    EXPECT_EQ(fs::status(directory() / "config/quillbright/tablet-pages").permissions() & fs::perms::all,
        fs::perms::owner_read | fs::perms::owner_write);
    launch();
    ASSERT_TRUE(waitForStatus("waiting_for_device", 30s)) << output();
    EXPECT_TRUE(visitTabletPage(tablet, {"token " + token}).streamed) << output();
    EXPECT_EQ(cli({"tablet", "--forget"}), std::pair(0, std::string("OK forgot every paired tablet page\n")));
    EXPECT_EQ(visitTabletPage(tablet, {"token " + token}).closeReason, "unpaired");
    EXPECT_EQ(terminate(), 0);
}

// A stranger who copied a paired page's token gets that page's stream and
// nothing more: not a byte of the frame, preview or input port from its
// address while it streams; and `quillbright tablet --forget` ends its stream.
TEST_F(LanDaemonTest, AReplayedPageTokenOpensOnlyItsStreamUntilForgotten)
{
    test::ScopedEnv lan("QUILLBRIGHT_WIFI_INTERFACE", "lan");
    // A set-up tablet, so the raw ports listen on the LAN.
    writeSettings({{"connectionMode", "wifi"}, {"pairedDevices", "192.0.2.20:5555 192.0.2.20\n"}});
    adb.setDevices({device("192.0.2.20:5555", "DC_1", "1200x1600")});
    launch();
    ASSERT_TRUE(waitForStatus("running")) << output();
    ASSERT_TRUE(rawPortAnswer(tablet, 8888)) << "the set-up tablet is served";
    const auto shown = cli({"tablet"}).second;
    const auto at = shown.find("Pairing code: ");
    ASSERT_NE(at, std::string::npos) << shown;
    const PageVisit paired = visitTabletPage(tablet, {"pair " + shown.substr(at + 14, 6)});
    ASSERT_FALSE(paired.texts.empty()) << paired.closeReason << output();
    const std::string token = paired.texts[0].substr(7);

    // Tried while the replayed page streams (and keeps reading), then forgotten.
    std::map<std::uint16_t, std::optional<std::vector<std::uint8_t>>> answers;
    std::pair<int, std::string> forgot;
    std::chrono::steady_clock::time_point forgetting;
    std::thread attacker;
    const PageVisit replayed = visitTabletPage(stranger, {"token " + token}, [&] {
        attacker = std::thread([&] {
            for (const std::uint16_t port : {std::uint16_t(8888), WEBSOCKET_PREVIEW_PORT, INPUT_PORT}) {
                answers[port] = rawPortAnswer(stranger, port);
            }
            forgetting = std::chrono::steady_clock::now();
            forgot = cli({"tablet", "--forget"});
        });
        return true;
    });
    if (attacker.joinable()) attacker.join();
    EXPECT_TRUE(replayed.streamed) << replayed.closeReason << output();
    for (const auto& [port, answer] : answers) {
        EXPECT_EQ(answer, std::nullopt) << "port " << port << " served the token's holder " << answer->size() << " byte(s)";
    }
    EXPECT_EQ(answers.size(), 3u);
    EXPECT_EQ(forgot, std::pair(0, std::string("OK forgot every paired tablet page\n")));
    EXPECT_TRUE(replayed.endedByDaemon && replayed.ended >= forgetting) << "a forgotten page kept streaming";
    EXPECT_EQ(visitTabletPage(stranger, {"token " + token}).closeReason, "unpaired");
    EXPECT_EQ(terminate(), 0);
}

// Wi-Fi mode beside a real avahi-daemon (avahi-namespace.sh makes the
// namespace): a paired tablet announcing itself by DNS-SD at 192.0.2.20 is
// connected over adb and set up, and that address, the one Avahi resolved,
// is served; a stranger announcing the same service at 192.0.2.66 (with an
// adb daemon that would answer) is never connected, set up or served.
class AvahiDaemonTest : public DaemonTest {
protected:
    AvahiDaemonTest() : DaemonTest(nullptr) {}
};

TEST_F(AvahiDaemonTest, ATabletFoundByDnsSdIsSetUpAndServedAtTheAddressAvahiResolved)
{
    if (!std::getenv("QB_AVAHI_NAMESPACE")) GTEST_SKIP() << "needs the private Avahi namespace (avahi-namespace.sh)";
    if (!hostMissing().empty()) GTEST_SKIP() << hostMissing();
    // The tablet's and a stranger's addresses, on an interface Avahi leaves
    // alone (no multicast); Avahi answers on the namespace's own system bus.
    const auto command = [](std::string executable, std::vector<std::string> arguments) {
        ProcessOptions options;
        options.executable = std::move(executable);
        options.arguments = std::move(arguments);
        return options;
    };
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"link", "add", "qb0", "type", "veth", "peer", "name", "qb1"}, {"link", "set", "qb0", "multicast", "off"},
             {"link", "set", "qb1", "multicast", "off"}, {"addr", "add", "192.0.2.20/24", "dev", "qb0"},
             {"addr", "add", "192.0.2.66/24", "dev", "qb0"}, {"link", "set", "qb1", "up"}, {"link", "set", "qb0", "up"}}) {
        const auto result = runProcess(command("/usr/sbin/ip", words), 10, "ip");
        ASSERT_EQ(result.exitStatus.value_or(-1), 0) << result.standardOutput;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/run/dbus/system_bus_socket", 1);
    std::vector<std::shared_ptr<Process>> tablet;
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"-a", "-R", "qb-tablet.local", "192.0.2.20"},
             {"-s", "-H", "qb-tablet.local", "Test Tablet", "_quillbright-device._tcp", "5555"},
             {"-a", "-R", "qb-stranger.local", "192.0.2.66"},
             {"-s", "-H", "qb-stranger.local", "Stranger", "_quillbright-device._tcp", "5555"}}) {
        tablet.push_back(Process::launch(command("/usr/bin/avahi-publish", words)));
        ASSERT_TRUE(tablet.back());
    }
    writeSettings({{"connectionMode", "wifi"}, {"setupCompleted", true},
        {"pairedDevices", "192.0.2.20:5555 192.0.2.20\n"}});
    adb.update([](nlohmann::json& s) {
        s["network"]["192.0.2.20:5555"] = device("", "DC_1", "1200x1600");
        s["network"]["192.0.2.66:5555"] = device("", "DC_1", "1200x1600");
    });
    launch();
    ASSERT_TRUE(waitForStatus("running", 30s)) << output();
    EXPECT_THAT(output(), HasSubstr("Device found: Test Tablet at 192.0.2.20"));

    // The greeting's 19 bytes, or what a peer at `from` gets instead.
    const auto firstBytes = [](const char* from) {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket socket(io, boost::asio::ip::tcp::v4());
        socket.bind({boost::asio::ip::make_address(from), 0});
        boost::system::error_code error;
        socket.connect({boost::asio::ip::make_address("192.0.2.20"), 8888}, error);
        return error ? std::vector<std::uint8_t>{} : test::readWithin(socket, 19, 3000ms);
    };
    EXPECT_EQ(firstBytes("192.0.2.20").size(), 19u) << output();
    EXPECT_TRUE(firstBytes("192.0.2.66").empty());
    EXPECT_TRUE(outputHas("Refused connection from 192.0.2.66 — not a paired device")) << output();
    // Once the stranger's advertisement has been judged: no adb connect, no session.
    EXPECT_TRUE(outputHas("Ignored Stranger at 192.0.2.66", 30s)) << output();
    EXPECT_TRUE(find(adb.log(), {"connect", "192.0.2.20:5555"}));
    EXPECT_FALSE(find(adb.log(), {"connect", "192.0.2.66:5555"})) << output();
    EXPECT_FALSE(find(adb.log(), {"-s", "192.0.2.66:5555"}));
    EXPECT_EQ(terminate(), 0);
    for (const auto& publisher : tablet) publisher->terminate();
}

TEST_F(DaemonTest, APortHeldByAnotherProcessIsNamed)
{
    adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor holder(io, {boost::asio::ip::make_address("127.0.0.1"), 8891});
    // Not inherited by the daemon, or lsof would see two holders.
    ::fcntl(holder.native_handle(), F_SETFD, FD_CLOEXEC);
    launch(false);
    // The failure and its hint, and no claim that anything runs: the daemon ends with status 1.
    EXPECT_EQ(terminate(0), 1);
    EXPECT_THAT(output(), HasSubstr("Failed: Port 8891 (HTTP server) is in use by qb_e2e_tests (pid "
                              + std::to_string(::getpid()) + "). Quit the other process and retry.\n"
                              "Hint: quit the program named above; `" QB_QUILLBRIGHT " doctor` checks every port.\n"));
    EXPECT_THAT(output(), Not(HasSubstr("Mirror running")));
    EXPECT_FALSE(find(adb.log(), {"reverse", "tcp:8888"})); // no tunnel was made
    expectNothingLeft();
}

TEST_F(DaemonTest, ADC1ListedAfterAPhoneIsMirroredFirstAndThePhoneExtended)
{
    adb.setDevices({device("PHONE-1", "Pixel_8", "1080x2400"), device("DC1-0001", "DC_1", "1200x1600")});
    launch();
    ASSERT_TRUE(waitForStatus("running")) << output();
    // (The stagger between the two: the engine's unit test.)
    const Log log = adb.log();
    const auto dc1Tunnel = find(log, {"-s", "DC1-0001", "reverse", "tcp:8888", "tcp:8888"});
    const auto phoneTunnel = find(log, {"-s", "PHONE-1", "reverse", "tcp:8888", "tcp:8889"});
    ASSERT_TRUE(dc1Tunnel && phoneTunnel);
    EXPECT_LT(*dc1Tunnel, *phoneTunnel);

    companion::CompanionClient phone;
    const auto greeting = greeted(phone, 8889);
    ASSERT_TRUE(greeting) << phone.violation();
    EXPECT_EQ(std::tuple(greeting->width, greeting->height, greeting->pixelFormat),
        std::tuple(1080, 2400, companion::FramePixelFormat::rgb));
    ASSERT_TRUE(phone.readFrame(5000ms)) << phone.violation();
    EXPECT_EQ(terminate(), 0);
}

TEST_F(DaemonTest, ACompanionThatKeepsDyingIsReportedAndStopInErrorTearsDown)
{
    adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
    adb.fail("shell pidof", {{"mode", "exit"}, {"exit", 1}});
    launch();
    ASSERT_TRUE(waitForStatus("running")) << output();
    ASSERT_TRUE(waitForStatus("error: Companion app crashed on device", 30s)) << output();
    // The first launch and three relaunches, all force-restarting.
    EXPECT_EQ(count(adb.log(), {"am", "start", "-S", "-n", "app.quillbright/.MirrorActivity"}), 4u);
    EXPECT_FALSE(adb.read()["devices"][0].value("reverse", nlohmann::json::array()).empty());

    // The session and its tunnels are still held in the error state; the
    // command line's stop (over the control socket) takes them down, and the
    // daemon stays up until it is told to exit.
    EXPECT_EQ(cli({"stop"}), std::pair(0, std::string("OK stopping\n")));
    EXPECT_TRUE(waitForStatus("idle")) << output();
    EXPECT_EQ(terminate(), 0);
    expectNothingLeft();
}

TEST_F(DaemonTest, SIGTERMWhileTheCompanionLaunchHangsCancelsTheStartAndTearsDown)
{
    adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
    // At its first line the daemon has written its PID file but may still be
    // setting up its signal handling: the signal must wait for it, not kill
    // the daemon and leave the file behind.
    // Then at every moment of the start: while adb's server comes up, the
    // devices are listed, the display is made, the tunnels, and as the
    // device monitor first reports the tablet (which once started the mirror
    // again as the daemon ended, and made it exit with a failure).
    for (int delay = 0; delay <= 300; delay += 25) {
        SCOPED_TRACE(delay);
        launch();
        ASSERT_TRUE(outputHas("-- CLI mode")) << output();
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        EXPECT_EQ(terminate(), 0) << output();
        expectNothingLeft();
    }

    // (A stop over the control socket during a start: StartTriggerTest.)
    adb.clearLog();
    adb.fail("shell am start", {{"mode", "hang"}});
    launch();
    ASSERT_TRUE(waitFor([&] { return find(adb.log(), {"am", "start", "-S"}).has_value(); }, 20s)) << output();
    EXPECT_EQ(terminate(), 0);
    EXPECT_THAT(output(), Not(HasSubstr("Mirror running.")));
    EXPECT_THAT(output(), Not(HasSubstr("did not finish")));
    expectNothingLeft();
}

// Killed with -9 at any stage of a start, the daemon leaves its outputs lit
// and its tunnels on the tablet; the next start removes them before it makes
// its own, and leaves nothing at its stop. The last row's next start is
// refused (a port held by another program) and still cleans up.
TEST_F(DaemonTest, AKillAtAnyStageOfAStartIsUndoneByTheNextStart)
{
    struct Stage {
        const char* name;
        std::vector<std::string> heldAt; // the adb command the start hangs in; none: streaming
        const char* mode;
        bool nextStartRefused;
    };
    const Stage stages[] = {
        {"display made, no tunnel yet", {"reverse", "tcp:8888"}, "extended", false},
        {"stream tunnel made", {"reverse", "tcp:8892"}, "mirror", false},
        {"companion launch hanging", {"shell", "am", "start"}, "extended", false},
        {"streaming", {}, "extended", true},
    };
    const std::string before = xorg().layout();
    for (const Stage& stage : stages) {
        SCOPED_TRACE(stage.name);
        writeSettings({{"setupCompleted", true}, {"displayMode", stage.mode}});
        adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
        adb.clearLog();
        std::string held;
        for (const auto& word : stage.heldAt) held += (held.empty() ? "" : " ") + word;
        if (!held.empty()) adb.fail(held, {{"mode", "hang"}});
        launch();
        if (!held.empty()) {
            ASSERT_TRUE(waitFor([&] { return find(adb.log(), stage.heldAt).has_value(); }, 20s)) << output();
        } else {
            ASSERT_TRUE(waitForStatus("running")) << output();
            companion::CompanionClient client;
            ASSERT_TRUE(greeted(client)) << output();
            movePointer();
            ASSERT_TRUE(client.readFrame(5000ms)) << output();
        }
        terminate(SIGKILL);
        // The tablet's hung adb call is the simulated tablet's, not a leftover of ours.
        for (const pid_t process : adb.processes()) ::kill(process, SIGKILL);
        adb.clearFailures();
        ASSERT_TRUE(xorg().layout() != before || tunnels() > 0) << "the kill left nothing to undo";

        boost::asio::io_context io;
        const auto stranger = test::portHeld(io, 8891, stage.nextStartRefused);
        launch();
        if (stranger) {
            EXPECT_EQ(terminate(0), 1) << output();
        } else {
            ASSERT_TRUE(waitForStatus("running")) << output();
            companion::CompanionClient client;
            ASSERT_TRUE(greeted(client)) << output();
            EXPECT_EQ(terminate(), 0);
        }
        EXPECT_EQ(xorg().layout(), before);
        expectNothingLeft();
    }
}

TEST_F(DaemonTest, AStopDuringAReconnectWinsAndNothingIsRelaunched)
{
    // The setup's tunnel fails three times, so the session runs without its
    // adb link; the reconnect's tunnel then hangs.
    adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
    adb.fail("reverse tcp:8888", {{"mode", "exit"}, {"exit", 1}, {"count", 3}});
    launch();
    ASSERT_TRUE(waitForStatus("running")) << output();
    // adb's server answers (adb=true); the session's own link is down.
    ASSERT_THAT(control("HEALTH verbose\n").value_or(""), HasSubstr("\nsession[0].adb=no\n"));
    const std::size_t launches = count(adb.log(), {"am", "start"});
    adb.fail("reverse tcp:8888", {{"mode", "hang"}});

    ::kill(pid(), SIGUSR1);
    ASSERT_TRUE(waitFor([&] { return count(adb.log(), {"reverse", "tcp:8888", "tcp:8888"}) == 4; }, 10s))
        << output();
    EXPECT_EQ(terminate(), 0);
    EXPECT_EQ(count(adb.log(), {"am", "start"}), launches) << "nothing relaunched after the stop";
    EXPECT_THAT(output(), Not(HasSubstr("[DC1-0001] Reconnected")));
    expectNothingLeft();
}

// Every way a start begins takes the one start path: "starting" is shown at
// once, a second trigger meanwhile starts nothing more, and a stop cancels
// the start and leaves no tunnel and no child process. The companion's
// launch hangs, so the start stays under way until it is stopped. The
// sim desktop has no Ctrl+F8 key, so the toggle drives the engine in-process.
enum class Trigger { controlStart, plugIn, companionRequest, toggle };

class StartTriggerTest : public DaemonTest, public ::testing::WithParamInterface<Trigger> {
protected:
    static void onMain(std::function<void()> work)
    {
        test::runOnMain([](std::function<void()> f) -> asio::awaitable<void> {
            f();
            co_return;
        }(std::move(work)));
    }

    // The daemon's children (and its in-process engine's) still running
    // the companion's launch.
    std::size_t launchesRunning() const
    {
        std::size_t n = 0;
        for (const pid_t child : adb.processes()) {
            const std::string command = test::readFile(fs::path("/proc") / std::to_string(child) / "cmdline");
            n += command.find(std::string("am\0start", 8)) != std::string::npos ? 1 : 0;
        }
        return n;
    }
};

TEST_P(StartTriggerTest, StartsOnceAndAStopCancelsTheStartLeavingNothing)
{
    const Trigger trigger = GetParam();
    adb.fail("shell am start", {{"mode", "hang"}});
    auto tablet = device("DC1-0001", "DC_1", "1200x1600");
    std::shared_ptr<MirrorEngine> engine;
    std::function<std::string()> status;
    // An engine in this process is stopped however the test ends: left
    // running, its threads would outlive what they use as the process exits.
    struct StopAtEnd {
        std::shared_ptr<MirrorEngine>& engine;
        ~StopAtEnd()
        {
            if (!engine) return;
            onMain([this] { engine->stop(); });
            MainLoop::shared().runUntil([this] { return engine->state().status.label() == "idle"; }, 20000ms);
        }
    } stopAtEnd{engine};
    if (trigger == Trigger::toggle) {
        MirrorEngine::Timing timing;
        timing.session.displayReadyLimit = 50ms;
        MirrorEngine::Environment environment;
        environment.session.platform = makeSimPlatform();
        engine = MirrorEngine::make(std::move(environment), timing);
        status = [&] { return engine->state().status.label(); };
        adb.setDevices({tablet});
        onMain([&] {
            engine->deviceConnected();
            engine->toggleMirror();
            EXPECT_EQ(status(), "starting");
            engine->toggleMirror(); // Ctrl+F8 while starting does nothing
        });
    } else {
        // Auto-mirror is on by default; the other triggers are tried without it.
        if (trigger != Trigger::plugIn) writeSettings({{"autoMirrorEnabled", false}});
        launch();
        ASSERT_TRUE(waitForStatus("waiting_for_device")) << output();
        status = [&] {
            const auto reply = control("STATUS\n").value_or("");
            return reply.size() > 4 ? reply.substr(3, reply.size() - 4) : reply;
        };
        if (trigger == Trigger::companionRequest) tablet["startRequest"] = true;
        adb.setDevices({tablet});
        if (trigger == Trigger::controlStart) {
            ASSERT_TRUE(waitFor([&] { return control("HEALTH\n").value_or("").find("device_detected=yes") != std::string::npos; }, 10s));
            EXPECT_THAT(cli({"report"}).second, HasSubstr("\ncompanion_installed=yes\n")); // no session yet
            EXPECT_EQ(control("START\n"), "OK starting\n");
            EXPECT_EQ(status(), "starting");
        }
        ASSERT_TRUE(waitFor([&] { return status() == "starting"; }, 10s)) << output();
        EXPECT_EQ(control("START\n"), "OK already starting\n");
        if (trigger == Trigger::companionRequest) {
            // A second request, read while the first start is under way.
            adb.update([](nlohmann::json& state) { state["devices"][0]["startRequest"] = true; });
            ASSERT_TRUE(waitFor([&] { return !adb.read()["devices"][0].contains("startRequest"); }, 10s));
        }
    }
    const auto pump = [&](const std::function<bool()>& done) {
        if (engine) return MainLoop::shared().runUntil(done, 20000ms);
        return waitFor(done, 20s);
    };
    ASSERT_TRUE(pump([&] { return launchesRunning() == 1 && find(adb.log(), {"am", "start", "-S"}); })) << output();
    EXPECT_EQ(count(adb.log(), {"reverse", "tcp:8888", "tcp:8888"}), 1u) << "one start, one tunnel";

    if (engine) {
        onMain([&] { engine->stop(); });
    } else {
        EXPECT_EQ(control("STOP\n"), "OK stopping\n");
    }
    ASSERT_TRUE(pump([&] { return status() == "idle"; })) << output();
    EXPECT_EQ(launchesRunning(), 0u);
    EXPECT_EQ(count(adb.log(), {"am", "start", "-S"}), 1u);
    EXPECT_EQ(tunnels(), 0u) << adb.read().dump();
    if (engine) return;
    EXPECT_EQ(terminate(), 0);
    expectNothingLeft();
}

std::string triggerName(const ::testing::TestParamInfo<Trigger>& info)
{
    constexpr const char* names[] = {"ControlStart", "PlugIn", "CompanionRequest", "Toggle"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(EveryTrigger, StartTriggerTest,
    ::testing::Values(Trigger::controlStart, Trigger::plugIn, Trigger::companionRequest, Trigger::toggle), triggerName);

// Reads messages (acknowledging frames) until a command matching `wanted`
// arrives; false on timeout or a broken stream.
bool awaitCommand(companion::CompanionClient& client, CommandCode code, std::uint8_t value)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto message = client.readMessage(2000ms);
        if (!message) return false;
        if (const auto* frame = std::get_if<FrameMessage>(&*message)) {
            client.sendAck(frame->sequenceNumber);
        } else if (const auto* command = std::get_if<CommandMessage>(&*message)) {
            if (command->code == code && command->value == value) return true;
        }
    }
    return false;
}

TEST_F(DaemonTest, EveryControlCommandAnswersAndActs)
{
    adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
    launch();
    ASSERT_TRUE(waitForStatus("running")) << output();
    companion::CompanionClient client;
    ASSERT_TRUE(greeted(client)) << client.violation();

    // Live figures reach the status file while the client streams.
    ASSERT_TRUE(waitFor(
        [&] {
            if (const auto frame = client.readFrame(500ms)) client.sendAck(frame->sequenceNumber);
            movePointer();
            auto status = statusFile();
            return status["total_frames"] != "0" && !status["total_frames"].empty() && status["fps"] != "0.0"
                && status["clients"] == "1";
        },
        20s))
        << ::testing::PrintToString(statusFile());

    // Front light: the command reaches the device as a stream command.
    EXPECT_EQ(cli({"brightness", "200"}), std::pair(0, std::string("OK 200\n")));
    EXPECT_TRUE(awaitCommand(client, CommandCode::brightness, 200)) << client.violation();
    // Warmth goes to the device through adb's system setting, not the stream.
    EXPECT_EQ(control("WARMTH 300\n"), "OK 255\n");
    EXPECT_EQ(control("brightness\n"), "OK 200\n");
    EXPECT_EQ(cli({"backlight", "toggle"}).second, "OK off\n");

    // Settings: answered, applied and stored. (Every reply's wording: ControlCommandsTest.)
    EXPECT_EQ(cli({"contrast", "1.5"}).second, "OK 1.5\n");
    EXPECT_EQ(cli({"clamshell", "on"}).second, "OK on\n");
    EXPECT_EQ(cli({"fontsmoothing", "off"}).second, "OK off\n");
    EXPECT_EQ(cli({"fontsmoothing"}).second, "OK off\n"); // the reply came once it was so
    EXPECT_EQ(control("RESOLUTION\n"), "OK cozy (1600x1200)\n");
    EXPECT_EQ(control("RESOLUTION landscape-cozy\n"), "ERR landscape-cozy is for tablets other than the DC-1; the DC-1 "
                                                  "takes cozy, comfortable, balanced, sharp, portrait-cozy, "
                                                  "portrait-comfortable, portrait-balanced, portrait-sharp\n");
    const auto settings = settingsFile();
    EXPECT_EQ(settings.value("contrastAmount", 0.0), 1.5);
    EXPECT_EQ(settings.value("displayProfile", ""), "Custom");
    EXPECT_EQ(settings.value("clamshellModeEnabled", false), true);
    EXPECT_FALSE(settings.contains("resolutionMode"));

    const auto health = control("HEALTH verbose\n").value_or("");
    EXPECT_THAT(health, HasSubstr("OK\nstatus=running\nversion=2.4.4\nresolution=cozy (1600x1200)\n"
                                  "display_mode=mirror\nconnection=usb\nprofile=custom\npixel_format=Greyscale\n"
                                  "contrast=1.5\n"));
    EXPECT_THAT(health, HasSubstr("\nclients=1\n"));
    // The backlight switched off takes the front light to 0.
    EXPECT_THAT(health, HasSubstr("\nbrightness=0\nwarmth=255\nbacklight=off\nclamshell=on\n"));
    EXPECT_THAT(health, HasSubstr("\nfont_smoothing=off\nadb=connected\nsessions=1\ndevice_detected=yes\n---system---\n"));
    EXPECT_THAT(health, HasSubstr("\nsession[0].device=DC_1\nsession[0].serial=DC1-0001\nsession[0].port=8888\n"));
    // The command line's reports, from the live daemon.
    const std::map<std::vector<std::string>, std::vector<std::string>> reports{
        {{"health"}, {"QuillBright — Health\n========================\n  status"}},
        {{"latency"}, {"QuillBright — Latency Diagnostics\n"}},
        {{"logs", "all"}, {"Engine: "}},
        {{"report"}, {"QuillBright Health Report\n", "\nconnected_devices=1\n  device.DC1-0001.model=DC_1\n",
                       "## Sessions\nsession[0].device=DC_1\nsession[0].serial=DC1-0001\n",
                       "## Performance (last 30 min)\nsamples="}},
    };
    for (const auto& [command, parts] : reports) {
        const auto [code, text] = cli(command);
        EXPECT_EQ(code, 0) << command[0];
        for (const auto& part : parts) EXPECT_THAT(text, HasSubstr(part)) << command[0];
        EXPECT_THAT(text, Not(HasSubstr("FPS:              ?"))) << command[0];
    }

    // A new resolution restarts capture at the new size.
    EXPECT_EQ(cli({"resolution", "balanced"}).second, "OK balanced (restarting)\n");
    ASSERT_TRUE(waitFor([&] { return statusFile()["resolution"] == "1280x960" && statusFile()["status"] == "running"; }, 20s))
        << ::testing::PrintToString(statusFile());
    client.close();
    companion::CompanionClient after;
    ASSERT_TRUE(waitFor([&] { return after.connect("127.0.0.1", 8888, 1000ms); }, 10s));
    const auto greeting = after.readGreeting(5000ms);
    ASSERT_TRUE(greeting) << after.violation();
    EXPECT_EQ(std::tuple(greeting->width, greeting->height), std::tuple(1280, 960));
    // The new run's front light is what is published, so a toggle turns it off.
    EXPECT_EQ(control("BACKLIGHT toggle\n"), "OK off\n");
    EXPECT_EQ(settingsFile().value("resolution", ""), "balanced");
    after.close();

    const std::size_t launches = count(adb.log(), {"am", "start", "-S"});
    EXPECT_EQ(control("RESTART\n"), "OK restarting\n");
    ASSERT_TRUE(waitFor([&] {
        return count(adb.log(), {"am", "start", "-S"}) > launches && control("STATUS\n") == "OK running\n";
    }, 20s)) << output();
    EXPECT_EQ(cli({"stop"}).second, "OK stopping\n");
    ASSERT_TRUE(waitFor([&] { return control("STATUS\n") == "OK idle\n"; }, 20s));
    EXPECT_EQ(cli({"start"}).second, "OK starting\n"); // an instance answers: no second daemon
    ASSERT_TRUE(waitFor([&] { return control("STATUS\n") == "OK running\n"; }, 20s));
    EXPECT_EQ(terminate(), 0);
    EXPECT_FALSE(fs::exists(paths.controlSocket));
}

// A daemon started by hand (no auto-mirror setup) waits for a tablet, an
// unauthorised one too; plugged in, it mirrors; the cable pulled while a
// frame is half sent ends that stream, the engine waits for the tablet
// instead of going idle, and plugged back in it mirrors again.
TEST_F(DaemonTest, PluggingInMirrorsAndADeviceUnpluggedMidFrameIsWaitedForUntilPluggedBackIn)
{
    launch();
    ASSERT_TRUE(waitForStatus("waiting_for_device")) << output();
    EXPECT_EQ(control("START\n"), "ERR no device connected\n");
    EXPECT_TRUE(canConnect(8891)); // the control page, to start from

    // In one write: adb pushes every state it is shown, a passing "device" too.
    auto unauthorized = test::FakeAdbState::device("UNAUTH-1");
    unauthorized["state"] = "unauthorized";
    adb.setDevices({unauthorized});
    ASSERT_TRUE(outputHas("Unauthorized devices detected: UNAUTH-1 — user must tap Allow on device")) << output();
    EXPECT_EQ(control("STATUS\n"), "OK waiting_for_device\n");

    adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
    ASSERT_TRUE(waitForStatus("running")) << output();
    {
        // The device's end of the tunnel: the greeting (19 bytes) and the
        // start of a frame, then the connection resets with the rest unsent.
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket socket(io);
        socket.connect({boost::asio::ip::make_address("127.0.0.1"), 8888});
        std::vector<std::uint8_t> bytes;
        ASSERT_TRUE(waitFor(
            [&] {
                movePointer();
                const auto more = test::readWithin(socket, 62 - bytes.size(), 100ms);
                bytes.insert(bytes.end(), more.begin(), more.end());
                return bytes.size() == 62;
            },
            10s));
        ASSERT_EQ(std::vector<std::uint8_t>(bytes.begin() + 19, bytes.begin() + 21),
            std::vector<std::uint8_t>({0xDA, 0x7E}));
        const std::uint32_t length = bytes[26] | bytes[27] << 8 | bytes[28] << 16 | std::uint32_t(bytes[29]) << 24;
        ASSERT_GT(length, 32u) << "the frame ended within the bytes read";
        adb.setDevices({});
        socket.set_option(boost::asio::socket_base::linger(true, 0));
        socket.close();
    }
    ASSERT_TRUE(waitForStatus("waiting_for_device")) << output();
    EXPECT_THAT(output(), HasSubstr("Device disconnected — stopping mirror"));
    EXPECT_FALSE(canConnect(8888));

    adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
    ASSERT_TRUE(waitForStatus("running")) << output();
    companion::CompanionClient client;
    EXPECT_TRUE(greeted(client)) << client.violation();
    EXPECT_EQ(terminate(), 0);
    expectNothingLeft();
}

// adb's server killed while a tablet streams: its tunnels die with it and
// the stream through them ends, but the mirror keeps running (no unplug),
// and once a server answers again the tunnels are rebuilt and the companion
// is brought back to a new stream.
TEST_F(DaemonTest, AnADBServerKilledWhileStreamingIsWaitedForAndTheTunnelsRebuilt)
{
    adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
    launch();
    ASSERT_TRUE(waitForStatus("running")) << output();
    const auto linked = [&] {
        return adb.read()["devices"][0].value("reverse", nlohmann::json::array()).size() == 2
            && statusFile()["adb"] == "true";
    };
    ASSERT_TRUE(waitFor(linked, 10s)) << output();
    companion::CompanionClient client;
    ASSERT_TRUE(greeted(client)) << client.violation();

    adb.killServer();
    client.close();
    ASSERT_TRUE(waitFor([&] { return statusFile()["adb"] == "false"; }, 10s)) << output();
    // Polls and health checks come and go (100 ms and 1.5 s here): still mirroring.
    EXPECT_FALSE(waitFor([&] { return statusFile()["status"] != "running"; }, 2s)) << output();
    const std::size_t launches = count(adb.log(), {"am", "start"});

    adb.reviveServer();
    ASSERT_TRUE(waitFor(linked, 10s)) << output();
    // `adb=true` tells of the server; the companion's launch follows the tunnels.
    EXPECT_TRUE(waitFor([&] { return count(adb.log(), {"am", "start"}) > launches; }, 10s)) << output();
    EXPECT_THAT(output(), HasSubstr("ADB server lost — tunnels down until it returns"));
    EXPECT_THAT(output(), HasSubstr("ADB server back — re-establishing tunnels"));
    EXPECT_THAT(output(), Not(HasSubstr("Device disconnected")));
    companion::CompanionClient again;
    ASSERT_TRUE(greeted(again)) << again.violation();
    EXPECT_TRUE(waitFor([&] { movePointer(); return again.readFrame(500ms).has_value(); }, 10s)) << again.violation();
    EXPECT_EQ(terminate(), 0);
    expectNothingLeft();
}

// Every setting the command line offers, set while no daemon runs: answered
// as the daemon would, stored, shown by `status`, and what the next start
// uses; a daemon that runs takes a change another program stores, once.
TEST_F(DaemonTest, SettingsChangedWithTheDaemonStoppedHoldAtTheNextStart)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> changes = {
        {{"mode", "extended"}, "OK extended"},
        {{"automirror", "off"}, "OK off"},
        {{"autodim", "off"}, "OK off"},
        {{"autorefresh", "off"}, "OK off"},
        {{"profile", "balanced"}, "OK balanced"},
        {{"gamma", "1.6"}, "OK 1.6"}, // a hand-set gamma makes the profile custom
        {{"resolution", "portrait-balanced"}, "OK portrait-balanced"},
        {{"connection", "wifi"}, "OK wifi"},
    };
    for (const auto& [words, reply] : changes) {
        EXPECT_EQ(cli(words), std::pair(0, reply + " (takes effect at the next start)\n")) << words[0];
    }
    EXPECT_EQ(cli({"mode", "sideways"}), std::pair(1, std::string("ERR unknown mode (valid: mirror, extended)\n")));
    EXPECT_EQ(cli({"mode", "extended", "now"}).first, 2);
    const std::vector<std::string> shown = {"resolution=portrait-balanced\n", "display_mode=extended\n",
        "connection=wifi\n", "profile=custom\n", "contrast=1.0\n", "gamma=1.6\n", "auto_mirror=off\n", "auto_dim=off\n",
        "auto_refresh=off\n"};
    auto expectShown = [&](const char* when) {
        SCOPED_TRACE(when);
        const auto [code, status] = cli({"status"});
        EXPECT_EQ(code, 0);
        for (const auto& line : shown) EXPECT_THAT(status, HasSubstr("\n" + line)) << status;
        EXPECT_EQ(cli({"mode"}).second, "OK extended\n");
        EXPECT_EQ(cli({"profile"}).second, "OK custom\n");
        EXPECT_EQ(cli({"automirror"}).second, "OK off\n");
    };
    expectShown("no daemon");
    // Stored under the keys every settings file has used.
    const auto settings = settingsFile();
    EXPECT_EQ(std::tuple(settings.value("displayMode", ""), settings.value("connectionMode", ""),
                  settings.value("displayProfile", ""), settings.value("autoDimMac", true),
                  settings.value("autoRefreshEnabled", true)),
        std::tuple("extended", "wifi", "Custom", false, false));

    launch();
    ASSERT_TRUE(waitFor([&] { return control("STATUS\n").value_or("").starts_with("OK "); }, 20s)) << output();
    expectShown("the daemon started");

    // Another program's change reaches the running daemon.
    SettingsStore(settingsPath()).setBool("autoDimMac", true);
    EXPECT_TRUE(waitFor([&] { return cli({"autodim"}).second == "OK on\n"; }, 10s)) << output();
    EXPECT_EQ(cli({"automirror"}).second, "OK off\n");
    EXPECT_EQ(terminate(), 0);
}

// A fresh setup shows auto-mirror on, and it is: a tablet plugged into the
// waiting daemon starts mirroring with no command, and what `start` said
// would happen does. That first start completes the setup.
TEST_F(DaemonTest, AFreshSetupMirrorsATabletPluggedIntoTheWaitingDaemonWithNoCommand)
{
    launch(false);
    ASSERT_TRUE(waitForStatus("waiting_for_device")) << output();
    EXPECT_THAT(output(), HasSubstr("mirroring starts by itself."));
    EXPECT_THAT(output(), HasSubstr("---\nWaiting for a tablet. Ctrl+C to stop.\n"));
    EXPECT_THAT(output(), Not(HasSubstr("Mirror running")));
    EXPECT_EQ(cli({"automirror"}), std::pair(0, std::string("OK on\n")));

    // No companion app on it, and none to install: said plainly, with the
    // clients that can show the stream instead.
    adb.setDevices({test::FakeAdbState::device("DC1-0001", "DC_1")});
    const auto plugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return control("STATUS\n") != "OK waiting_for_device\n"; }, 5s)) << output();
    // One poll of the fake adb (2 s, scaled to 100 ms), and the time to answer.
    EXPECT_LT(std::chrono::steady_clock::now() - plugged, 1500ms);
    ASSERT_TRUE(waitFor([&] { return control("STATUS\n") == "OK running\n"; }, 20s)) << output();
    ASSERT_TRUE(outputHas("Companion app: missing on DC1-0001")) << output();
    EXPECT_EQ(settingsFile().value("setupCompleted", false), true);
    EXPECT_THAT(output(), HasSubstr("`quillbright-viewer`"));
    EXPECT_THAT(output(), HasSubstr("http://localhost:8891/"));
    EXPECT_THAT(output(), Not(HasSubstr("Mirroring 1 device.")));
    EXPECT_EQ(terminate(), 0);
}

// A contrast change reaches the picture on the device at once, through the
// tone curve, even while the desktop shows nothing new.
TEST_F(SimDaemonTest, AContrastChangeReachesTheDevicesPictureThroughTheToneCurve)
{
    const test::ScopedEnv still("QUILLBRIGHT_SIM_FPS", "0.001");
    adb.setDevices({device("DC1-0001", "DC_1", "1200x1600")});
    launch();
    ASSERT_TRUE(waitForStatus("running")) << output();
    companion::CompanionClient client;
    ASSERT_TRUE(greeted(client)) << client.violation();
    ASSERT_TRUE(client.readFrame(5000ms)) << client.violation();
    const std::vector<std::uint8_t> before = client.decoder().frame();
    ASSERT_EQ(control("CONTRAST\n"), "OK 1.2\n"); // the default profile's curve
    ASSERT_EQ(control("CONTRAST 2.0\n"), "OK 2.0\n");

    // Frames until the picture changes; the still desktop changes nothing else.
    ASSERT_TRUE(test::eventually(
        [&] {
            if (const auto frame = client.readFrame(1000ms)) client.sendAck(frame->sequenceNumber);
            return client.decoder().frame() != before;
        },
        10s))
        << "the picture never changed";
    const std::vector<std::uint8_t> after = client.decoder().frame();
    ASSERT_EQ(after.size(), before.size());

    // Every pixel is the same source grey through the old and the new curve.
    const ToneCurve old = makeToneCurve(1.2, 1.2);
    const ToneCurve now = makeToneCurve(2.0, 1.2);
    std::vector<bool> possible(256 * 256);
    for (int grey = 0; grey < 256; ++grey) possible[old[grey] * 256 + now[grey]] = true;
    std::size_t inconsistent = 0;
    for (std::size_t i = 0; i < before.size(); ++i) inconsistent += possible[before[i] * 256 + after[i]] ? 0 : 1;
    EXPECT_EQ(inconsistent, 0u);
    EXPECT_EQ(terminate(), 0);
}

} // namespace
} // namespace qb
