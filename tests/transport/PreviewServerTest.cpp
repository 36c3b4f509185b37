#include "transport/HTTPServer.h"
#include "transport/WebSocketServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "diagnostics/PlatformLog.h"
#include "runtime/MainLoop.h"
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

// Sends `request` on a new connection and reads until the server closes it.
std::string exchange(std::uint16_t port, std::string_view request)
{
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    asio::write(socket, asio::buffer(request));
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

TEST(PreviewRequestTest, FirstReadDecidesTheAnswer)
{
    // The plain requests go through the server below; these are the traps.
    EXPECT_EQ(judgePreviewRequest(bytes("POST /start?GET")), PreviewRequest::start); // start wins over GET
    EXPECT_EQ(judgePreviewRequest(bytes("HEAD /x\r\nX-GET: 1")), PreviewRequest::page);
    EXPECT_EQ(judgePreviewRequest(bytes(" POST /start")), PreviewRequest::unanswered);
    EXPECT_EQ(judgePreviewRequest(bytes("get /")), PreviewRequest::unanswered);
    EXPECT_EQ(judgePreviewRequest({}), PreviewRequest::unanswered);
    // Bytes that are not UTF-8 count as empty text, whatever else they hold.
    EXPECT_EQ(judgePreviewRequest(bytes("POST /start \xc0\xaf")), PreviewRequest::unanswered); // overlong
    EXPECT_EQ(judgePreviewRequest(bytes("GET \xe2\x82")), PreviewRequest::unanswered);         // cut short
    EXPECT_EQ(judgePreviewRequest(bytes("GET /caf\xc3\xa9 \xf0\x9f\x93\xb1")), PreviewRequest::page);
}

TEST(HTTPServerTest, AnswersCommandsAndClosesOnJunk)
{
    auto server = HTTPServer::make(0, 1600, 1200, {.firstReadTimeout = 200ms});
    int starts = 0;
    server->onStartRequested = [&] {
        EXPECT_TRUE(MainLoop::shared().isCurrent());
        ++starts;
    };
    server->start();
    const auto port = server->boundPort();

    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";
    EXPECT_EQ(exchange(port, "POST /start HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), ok);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return starts == 1; }, 3s));

    // Junk, non-UTF-8 and silence are all closed without a byte of reply.
    EXPECT_EQ(exchange(port, "PUT /x HTTP/1.1\r\n\r\n"), "");
    EXPECT_EQ(exchange(port, "GET /\xff\xfe"), "");
    EXPECT_EQ(exchange(port, ""), "");
    MainLoop::shared().runFor(20ms);
    EXPECT_EQ(starts, 1);

    // After stopAsync the port refuses.
    ASSERT_TRUE(await(server->stopAsync()));
    EXPECT_THROW(exchange(port, ""), boost::system::system_error);
}

TEST(WebSocketServerTest, AStalledBrowserDropsFramesWithoutHoldingOthersBack)
{
    PlatformLogMute quiet;
    auto server = WebSocketServer::make(0, {.maxQueuedFrames = 2, .peers = {}});
    server->start();
    BrowserClient stalled(server->boundPort(), 4096); // never reads
    BrowserClient reader(server->boundPort());
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
}

