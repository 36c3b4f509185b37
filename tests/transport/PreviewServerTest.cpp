#include "transport/HTTPServer.h"
#include "transport/WebSocketServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "diagnostics/PlatformLog.h"
#include "runtime/MainLoop.h"
#include "support/SocketSupport.h"
#include "support/TestSupport.h"

using namespace qb;
using namespace std::chrono_literals;
using asio::ip::tcp;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

namespace {

// Runs a server's stopAsync() to completion on a private context.
bool await(asio::awaitable<void> task)
{
    asio::io_context io;
    bool done = false;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr) { done = true; });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        io.restart();
        io.run_for(5ms);
    }
    return done;
}

std::span<const std::uint8_t> bytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Sends `request` on a new connection (then `more`, a write of its own) and
// reads until the server closes it.
std::string exchange(std::uint16_t port, std::string_view request, std::string_view more = {})
{
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    asio::write(socket, asio::buffer(request));
    if (!more.empty()) asio::write(socket, asio::buffer(more));
    std::string response;
    boost::system::error_code error;
    asio::read(socket, asio::dynamic_buffer(response), error);
    return response;
}

struct BrowserClient {
    explicit BrowserClient(std::uint16_t port, int receiveBuffer = 0)
    {
        auto& socket = ws.next_layer();
        socket.open(tcp::v4());
        if (receiveBuffer > 0) socket.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
        socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        ws.handshake("localhost", "/");
    }
    asio::io_context io;
    websocket::stream<tcp::socket> ws{io};
};

} // namespace

// Who may ask what: a browser only from this daemon's own pages (exact
// Origin, a Host that names this computer as the connection reached it),
// tools without an Origin, the control page's settings from this machine
// only.
TEST(PreviewRequestTest, OnlyThisDaemonsPagesAreAnsweredAsTheyAsk)
{
    const RequestSite here{asio::ip::make_address("127.0.0.1"), true, 8891};
    const RequestSite lan{asio::ip::make_address("192.168.1.20"), false, 8891};
    const RequestSite lan6{asio::ip::make_address("fe80::1%2"), false, 8891};
    using enum PreviewRequest;
    const struct {
        const RequestSite& site;
        const char* line;
        const char* headers;
        PreviewRequest verdict;
    } cases[] = {
        {here, "POST /start", "", start}, // the companion and tools send no Origin
        {here, "POST /start?x=1", "Host: 127.0.0.1:8891\r\nOrigin: http://127.0.0.1:8891\r\n", start},
        {here, "POST /stop", "Origin: http://localhost:3000\r\n", refused}, // another program's page here
        {here, "POST /stop", "Origin: http://localhost.evil.example\r\n", refused},
        {here, "POST /stop", "Origin: http://127.0.0.2:8891\r\n", refused},
        {here, "POST /startx", "", unanswered},
        {here, "POST /control", "Host: localhost:8891\r\nOrigin: http://[::1]:8891\r\n", control},
        {here, "POST /control", "Host: localhost\r\n", control},
        {here, "POST /control", "Origin: null\r\n", refused},
        {here, "POST /control", "Origin: https://localhost:8891\r\n", refused},
        {here, "POST /control", "Origin: http://LOCALHOST:8891\r\n", refused}, // browsers send it lower-case
        {here, "GET /", "Host: LocalHost:8891\r\n", page},
        {here, "GET /", "Host: evil.example:8891\r\n", refused}, // a name rebound here by DNS
        {here, "GET /", "Host: 127.0.0.1.nip.io:8891\r\n", refused},
        {here, "GET /", "Host: localhost:88910\r\n", refused},
        {here, "GET /", "Host: localhost:\r\n", refused},
        {here, "GET /", "Host: 192.168.1.20:8891\r\n", refused}, // not where this connection arrived
        {here, "GET /tabletx", "", page},
        {here, "GET /tablet?colour=1", "", tablet},
        {here, "GET /tablet/device/DC1-0001", "", tablet},
        {here, "GET /tablet/manifest.webmanifest", "Host: localhost:8891\r\n", tabletManifest},
        {here, "GET /tablet/icon.svg?v=1", "", tabletIcon},
        {here, "GET /tablet/icon.svg", "Host: evil.example:8891\r\n", refused},
        {here, "GET /tablet/manifest.webmanifest", "Origin: http://evil.example\r\n", refused},
        {lan, "GET /tablet/icon.svg", "Host: 192.168.1.20:8891\r\n", tabletIcon},
        {here, "GET /tablet/stream", "Host: 127.0.0.1:8891\r\nOrigin: http://evil.example\r\n", refused},
        {here, "GET /tablet/stream", "Host: [::1]:8891\r\nOrigin: http://[::1]:8891\r\n", tabletStream},
        {here, "PUT /x", "", unanswered},
        {here, "HEAD /", "", unanswered},
        {lan, "GET /tablet/stream", "Host: 192.168.1.20:8891\r\nOrigin: http://192.168.1.20:8891\r\n", tabletStream},
        {lan, "GET /tablet/stream", "Host: 192.168.1.20:8891\r\n", tabletStream}, // pairing decides
        {lan, "GET /tablet/stream", "Host: 192.168.1.20:8891\r\nOrigin: http://localhost:8891\r\n", refused},
        {lan, "GET /tablet", "Host: localhost:8891\r\n", refused},
        {lan, "POST /start", "Host: 192.168.1.20:8891\r\n", start},
        {lan, "POST /control", "Host: 192.168.1.20:8891\r\nOrigin: http://192.168.1.20:8891\r\n", refused},
        {lan6, "GET /tablet/stream", "Host: [fe80::1]:8891\r\nOrigin: http://[fe80::1]:8891\r\n", tabletStream},
    };
    for (const auto& c : cases) {
        const auto parsed = parseHTTPRequest(bytes(std::string(c.line) + " HTTP/1.1\r\n" + c.headers + "\r\n"));
        ASSERT_EQ(parsed.progress, ParsedHTTPRequest::Progress::complete) << c.line;
        EXPECT_EQ(judgePreviewRequest(parsed.request, c.site), c.verdict) << c.line << " " << c.headers;
    }

    // The preview's WebSocket: without an Origin from this machine only.
    const auto socket = [](const RequestSite& site, const char* headers) {
        const auto parsed = parseHTTPRequest(bytes(std::string("GET / HTTP/1.1\r\n") + headers + "\r\n"));
        return fromThisDaemonsPages(parsed.request, site, OriginlessPeers::loopbackOnly);
    };
    EXPECT_TRUE(socket(here, "Host: localhost:8890\r\n"));
    EXPECT_TRUE(socket(here, "Host: localhost:8890\r\nOrigin: http://127.0.0.1:8891\r\n"));
    EXPECT_FALSE(socket(here, "Host: 127.0.0.1:8890\r\nOrigin: http://127.0.0.2:9000\r\n"));
    EXPECT_FALSE(socket(lan, "Host: 192.168.1.20:8890\r\n"));
    EXPECT_TRUE(socket(lan, "Host: 192.168.1.20:8890\r\nOrigin: http://192.168.1.20:8891\r\n"));
}

TEST(PreviewRequestTest, ATabletPagesHelloIsReadStrictly)
{
    EXPECT_EQ(parseTabletHello("hello 1200 1600 grey 0a1b-C"),
        (TabletHello{1200, 1600, PixelFormat::greyscale, "0a1b-C", ""}));
    EXPECT_EQ(parseTabletHello("hello 1200 1600 grey a DC1-0001.x_y")->deviceSerial, "DC1-0001.x_y");
    EXPECT_EQ(parseTabletHello("hello 1 8192 rgb x")->pixelFormat, PixelFormat::rgb);
    for (const char* text : {"hello 0 1600 grey a", "hello 1200 8193 grey a", "hello -1 1600 grey a",
             "hello 1200 1600 colour a", "hello 1200 1600 grey a b:c", "hello 1200 1600 grey a b c", "hello 1200 1600 grey",
             "hello 1200 1600 grey a/b",
             "HELLO 1200 1600 grey a", "hello 1200 1600 grey a ", "hello 99999999999 1 grey a", "hello  1200 1600 grey a", ""}) {
        EXPECT_FALSE(parseTabletHello(text)) << text;
    }
    EXPECT_FALSE(parseTabletHello("hello 1 1 grey " + std::string(65, 'a')));

    // What a page on the LAN says before its hello.
    EXPECT_EQ(parsePageCredential("pair 012345"), (PageCredential{PageCredential::Kind::pairingCode, "012345"}));
    EXPECT_EQ(parsePageCredential("token 0aF9")->kind, PageCredential::Kind::token);
    for (const char* text : {"pair ", "pair 1 2", "token 12\n", "token\t12", "pair 12;", "paired 12"}) {
        EXPECT_FALSE(parsePageCredential(text)) << text;
    }
    EXPECT_FALSE(parsePageCredential("token " + std::string(129, 'a')));
}

TEST(PreviewRequestTest, RequestsAreReadWholeWithinTheirLimits)
{
    using Progress = ParsedHTTPRequest::Progress;
    const std::string whole = "POST /control HTTP/1.1\r\nHost: localhost:8891\r\nContent-Length: 11\r\n"
                              "Origin: http://localhost:8891\r\n\r\nCONTRAST 1.5";
    // Head, then body, arriving in pieces; what follows the body is not read.
    EXPECT_EQ(parseHTTPRequest(bytes(whole.substr(0, 40))).progress, Progress::incomplete);
    EXPECT_EQ(parseHTTPRequest(bytes(whole.substr(0, whole.size() - 5))).progress, Progress::incomplete);
    const auto parsed = parseHTTPRequest(bytes(whole));
    ASSERT_EQ(parsed.progress, Progress::complete);
    EXPECT_EQ(parsed.request.body, "CONTRAST 1.");
    EXPECT_EQ(parsed.request.host, "localhost:8891");
    EXPECT_EQ(parsed.request.origin, "http://localhost:8891");

    const std::string head = "POST /control HTTP/1.1\r\nHost: localhost\r\n";
    for (const std::string& bad : std::vector<std::string>{head + "Content-Length: 4\r\nContent-Length: 40\r\n\r\nSTOP",
             head + "Transfer-Encoding: chunked\r\n\r\n4\r\nSTOP\r\n0\r\n\r\n", head + "Content-Length: +4\r\n\r\nSTOP",
             head + "Content-Length: 4097\r\n\r\n", head + "Host: evil.example\r\n\r\n",
             head + "Origin: a\r\nOrigin: b\r\n\r\n", head + "Content-Length: 2\r\n\r\n\xc3\x28",
             head + "No colon here\r\n\r\n", "POST\r\n\r\n", "POST /control\r\n\r\n",
             head + "X: " + std::string(MAX_REQUEST_HEAD_BYTES, 'x'), head + "X: \xff\xfe\r\n",
             "GET /\xc0\xaf HTTP/1.1\r\n\r\n"}) {
        EXPECT_EQ(parseHTTPRequest(bytes(bad)).progress, Progress::malformed) << bad.substr(0, 120);
    }
}

TEST(HTTPServerTest, AnswersPageAndCommandsAndClosesOnJunk)
{
    std::vector<std::string> requests;
    auto server = HTTPServer::make(1600, 1200,
        {.requestDeadline = 300ms, .controlHandler = [&](std::string text) -> asio::awaitable<std::string> {
             EXPECT_TRUE(MainLoop::shared().isCurrent());
             requests.push_back(text);
             co_return "OK " + text;
         }});
    int starts = 0;
    server->onStartRequested = [&] {
        EXPECT_TRUE(MainLoop::shared().isCurrent());
        ++starts;
    };
    ASSERT_FALSE(server->open(0));
    server->start();
    const auto port = server->port();

    // This machine gets the control page, which no other site may frame.
    const std::string noFraming = "Content-Security-Policy: frame-ancestors 'none'\r\nX-Frame-Options: DENY\r\n";
    const auto page = server->controlPage();
    EXPECT_EQ(exchange(port, "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"),
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) + "\r\n"
            + noFraming + "Connection: close\r\n\r\n" + page);
    // A site rebound to this address by DNS is refused the page.
    EXPECT_EQ(exchange(port, "GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n"),
        "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 13\r\n"
        "Cache-Control: no-store\r\n"
            + noFraming + "Connection: close\r\n\r\nERR forbidden");
    // Its lists hold the names HEALTH shows, each once.
    EXPECT_NE(page.find("<option value=\"crisp-paper\">Crisp Paper</option>"), std::string::npos);
    EXPECT_EQ(page.find("value=\"portrait-cozy\""), page.rfind("value=\"portrait-cozy\""));
    // Presets are told apart by the desktop the user sees, not the pixels alone.
    EXPECT_NE(page.find("<option value=\"cozy\">Cozy \u2014 desktop 800x600 at 2x</option>"), std::string::npos);
    EXPECT_NE(page.find("<option value=\"sharp\">Sharp \u2014 desktop 1600x1200 at 1x</option>"), std::string::npos);

    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n" + noFraming + "Connection: close\r\n\r\nOK";
    EXPECT_EQ(exchange(port, "POST /start HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), ok);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return starts == 1; }, 3s));

    // A control request is answered by the handler on the main loop, its
    // body arriving after the head; refused ones never reach it.
    const auto control = [&](const std::string& head, const std::string& body = "") {
        auto reply = std::async(std::launch::async, [&] { return exchange(port, head, body); });
        MainLoop::shared().runUntil([&] { return reply.wait_for(0s) == std::future_status::ready; }, 3s);
        const std::string response = reply.get();
        return response.substr(0, response.find("\r\n")) + "|" + response.substr(response.find("\r\n\r\n") + 4);
    };
    const std::string head = "POST /control HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    EXPECT_EQ(control(head + "Content-Length: 6\r\n\r\n", "HEALTH"), "HTTP/1.1 200 OK|OK HEALTH");
    EXPECT_EQ(control(head + "Origin: http://evil.example\r\nContent-Length: 4\r\n\r\nSTOP"),
        "HTTP/1.1 403 Forbidden|ERR forbidden");
    // Another program's page on this machine.
    const std::string otherPage = "Origin: http://localhost:" + std::to_string(port + 1) + "\r\n";
    EXPECT_EQ(control(head + otherPage + "Content-Length: 4\r\n\r\nSTOP"), "HTTP/1.1 403 Forbidden|ERR forbidden");
    EXPECT_EQ(requests, std::vector<std::string>{"HEALTH"});

    // A body trickled a byte at a time, each byte well within the deadline,
    // is cut off at the request's deadline, unanswered.
    auto trickled = std::async(std::launch::async, [&] {
        asio::io_context io;
        tcp::socket socket(io);
        socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        boost::system::error_code error;
        asio::write(socket, asio::buffer(head + "Content-Length: 12\r\n\r\n"), error);
        for (char c : std::string("STOP STOP ST")) {
            if (error) break;
            std::this_thread::sleep_for(60ms); // the peer's pace, not a wait for a result
            asio::write(socket, asio::buffer(&c, 1), error);
        }
        std::string response;
        asio::read(socket, asio::dynamic_buffer(response), error);
        return response;
    });
    MainLoop::shared().runUntil([&] { return trickled.wait_for(0s) == std::future_status::ready; }, 5s);
    EXPECT_EQ(trickled.get(), "");
    EXPECT_EQ(requests, std::vector<std::string>{"HEALTH"});

    // Junk, non-UTF-8 and silence are all closed without a byte of reply.
    EXPECT_EQ(exchange(port, "PUT /x HTTP/1.1\r\n\r\n"), "");
    EXPECT_EQ(exchange(port, "GET /\xff\xfe"), "");
    EXPECT_EQ(exchange(port, ""), "");
    EXPECT_EQ(exchange(port, head.c_str()), ""); // a control head that never ends
    MainLoop::shared().runFor(20ms);
    EXPECT_EQ(starts, 1);

    // After stopAsync the port refuses.
    ASSERT_TRUE(await(server->stopAsync()));
    EXPECT_THROW(exchange(port, ""), boost::system::system_error);
}

// The preview is the screen: a page of another origin gets not one byte of
// it, whatever its handshake says; this daemon's pages and local tools get
// the pictures.
TEST(WebSocketServerTest, OnlyThisDaemonsPagesAndLocalToolsOpenThePreview)
{
    PlatformLogMute quiet;
    auto server = WebSocketServer::make({.handshakeDeadline = 300ms, .peers = {}});
    ASSERT_FALSE(server->open(0));
    server->start(8891);
    const std::string port = std::to_string(server->port());
    const auto answer = [&](const std::string& headers) {
        asio::io_context io;
        tcp::socket socket(io);
        socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()));
        asio::write(socket, asio::buffer("GET / HTTP/1.1\r\n" + headers
            + "Upgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
        const auto bytes = test::readWithin(socket, 12, 3s); // "HTTP/1.1 101", or nothing before the close
        return std::string(bytes.begin(), bytes.end());
    };
    EXPECT_EQ(answer("Host: 127.0.0.1:" + port + "\r\nOrigin: http://127.0.0.2:9000\r\n"), "");
    EXPECT_EQ(answer("Host: 127.0.0.1:" + port + "\r\nOrigin: http://localhost:8000\r\n"), "");
    EXPECT_EQ(answer("Host: evil.example:" + port + "\r\nOrigin: http://evil.example:8891\r\n"), "");
    EXPECT_EQ(answer("Host: localhost:" + port + "\r\nOrigin: http://127.0.0.1:8891\r\n"), "HTTP/1.1 101");
    ASSERT_TRUE(test::eventually([&] { return server->previewClientCount() == 0; }));

    BrowserClient tool(server->port()); // no Origin, from this machine
    ASSERT_TRUE(test::eventually([&] { return server->previewClientCount() == 1; }));
    server->broadcast({0xFF, 0xD8});
    beast::flat_buffer picture;
    tool.ws.read(picture);
    EXPECT_EQ(picture.size(), 2u);
    ASSERT_TRUE(await(server->stopAsync()));
}

TEST(WebSocketServerTest, AStalledBrowserDropsFramesWithoutHoldingOthersBack)
{
    PlatformLogMute quiet;
    auto server = WebSocketServer::make({.maxQueuedFrames = 2, .peers = {}});
    ASSERT_FALSE(server->open(0));
    server->start(8891);
    BrowserClient stalled(server->port(), 4096); // never reads
    BrowserClient reader(server->port());
    ASSERT_TRUE(test::eventually([&] { return server->previewClientCount() == 2; }));

    constexpr int frames = 120;
    std::atomic<int> lastSeen{-1};
    std::thread readerThread([&] {
        beast::flat_buffer buffer;
        boost::system::error_code error;
        while (lastSeen.load() < frames - 1 && !error) {
            buffer.clear();
            reader.ws.read(buffer, error);
            if (!error) lastSeen.store(static_cast<const std::uint8_t*>(buffer.data().data())[0]);
        }
    });
    for (int i = 0; i < frames; ++i) {
        std::vector<std::uint8_t> frame(256 * 1024, 0xAB);
        frame[0] = std::uint8_t(i);
        server->broadcast(std::move(frame));
    }
    // The reader gets the newest frame; the stalled browser's frames are
    // dropped rather than piling up.
    const bool gotNewest = test::eventually([&] { return lastSeen.load() == frames - 1; }, 10s);
    EXPECT_TRUE(gotNewest);
    if (!gotNewest) reader.ws.next_layer().shutdown(tcp::socket::shutdown_both);
    readerThread.join();
    EXPECT_GT(server->droppedFrames(), 0u);
    EXPECT_EQ(server->previewClientCount(), 2);
    ASSERT_TRUE(await(server->stopAsync())); // a stalled write does not hold up stopping
}

TEST(PeerAllowListTest, LoopbackAndTheSetUpDevicesOnly)
{
    PeerAllowList peers;
    // Network serials name the devices; USB, mDNS and malformed ones add nothing.
    for (const char* serial : {"192.168.1.5:5555", "[fe80::1]:5555", "R9AN70ABCDE", "emulator-5554", "host:5555",
             "192.168.1.6:", "192.168.1.7:55a", "fe80::2:5555", "[192.168.1.8]:5555", "[::1:5555",
             "adb-XYZ._adb-tls-connect._tcp"}) {
        if (const auto address = deviceAddressFromSerial(serial)) peers.allow(*address);
    }
    const struct {
        const char* peer;
        bool allowed;
    } cases[] = {{"127.0.0.1", true}, {"127.8.0.1", true}, {"::1", true}, {"::ffff:127.0.0.1", true},
        {"192.168.1.5", true}, {"::ffff:192.168.1.5", true}, {"fe80::1", true}, {"fe80::1%1", true},
        {"192.168.1.6", false}, {"192.168.1.7", false}, {"192.168.1.8", false}, {"fe80::2", false},
        {"::ffff:192.168.1.9", false}, {"2001:db8::1", false}, {"0.0.0.0", false}};
    for (const auto& c : cases) EXPECT_EQ(peers.allows(asio::ip::make_address(c.peer)), c.allowed) << c.peer;
    // One device leaves (named in its v4-mapped form): the other stays.
    peers.remove(asio::ip::make_address("::ffff:192.168.1.5"));
    EXPECT_FALSE(peers.allows(asio::ip::make_address("192.168.1.5")));
    EXPECT_TRUE(peers.allows(asio::ip::make_address("fe80::1")));
    peers.clear();
    EXPECT_FALSE(peers.allows(asio::ip::make_address("fe80::1")));
}

