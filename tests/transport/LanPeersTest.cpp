// Wi-Fi mode on the real servers: peers arrive from LAN addresses (the
// namespace lan-namespace.sh makes), and only the set-up device is served.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "diagnostics/PlatformLog.h"
#include "platform/sim/SimInputInjector.h"
#include "support/MainLoopSupport.h"
#include "support/SocketSupport.h"
#include "transport/HTTPServer.h"
#include "transport/InputServer.h"
#include "transport/TCPServer.h"
#include "transport/WebSocketServer.h"

namespace qb {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// Connects from `source` to the host's address of the same family, sends
// `request` and returns what arrives within half a second, or nullopt when
// the server closed the connection without a byte.
std::optional<std::string> probe(const char* source, std::uint16_t port, std::string_view request)
{
    const auto from = asio::ip::make_address(source);
    const bool v4 = from.is_v4() || from.to_v6().is_v4_mapped();
    const auto to = asio::ip::make_address(from.is_v4() ? "192.0.2.1" : v4 ? "::ffff:192.0.2.1" : "2001:db8::1");
    asio::io_context io;
    tcp::socket socket(io);
    socket.open(from.is_v4() ? tcp::v4() : tcp::v6());
    if (from.is_v6()) socket.set_option(asio::ip::v6_only(false));
    socket.bind({from, 0});
    socket.connect({to, port});
    boost::system::error_code ignored;
    asio::write(socket, asio::buffer(request), ignored);
    const auto bytes = test::readWithin(socket, 12, 500ms);
    std::uint8_t more = 0;
    socket.non_blocking(true);
    const bool closed = bytes.empty() && socket.read_some(asio::buffer(&more, 1), ignored) == 0 && ignored == asio::error::eof;
    if (closed) return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
}

TEST(LanPeers, OnlyTheSetUpDeviceReachesAnyServer)
{
    if (!std::getenv("QB_LAN_NAMESPACE")) GTEST_SKIP() << "needs the LAN namespace (lan-namespace.sh)";
    PlatformLogCapture log;
    auto peers = std::make_shared<PeerAllowList>();
    for (const char* serial : {"192.0.2.20:5555", "[2001:db8::20]:5555"}) peers->allow(*deviceAddressFromSerial(serial));
    const std::string all(ALL_INTERFACES_ADDRESS);

    auto frames = TCPServer::make({.peers = peers});
    ASSERT_FALSE(frames->start(0, all));
    auto input = InputServer::make(0, 1, std::make_shared<SimInputInjector>(), all);
    input->setPeerAllowList(peers);
    input->start();
    ASSERT_TRUE(input->running());
    auto ws = WebSocketServer::make(0, {.bindAddress = all, .peers = peers});
    ws->start();
    auto http = HTTPServer::make(0, 640, 480, {.bindAddress = all, .peers = peers});
    http->start();

    const std::string upgrade = "GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    const struct { const char* name; std::uint16_t port; std::string request, served; } servers[] = {
        {"frames", frames->port(), "", "\xDA\x7F"},
        {"input", input->boundPort(), "", ""},
        {"websocket", ws->boundPort(), upgrade, "HTTP/1.1 101"},
        {"http", http->boundPort(), "GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200"},
    };
    for (const auto& server : servers) {
        for (const char* tablet : {"192.0.2.20", "2001:db8::20", "::ffff:192.0.2.20", "127.0.0.1"}) {
            const auto answer = probe(tablet, server.port, server.request);
            ASSERT_TRUE(answer) << server.name << " refused " << tablet;
            EXPECT_EQ(answer->substr(0, server.served.size()), server.served) << server.name << " " << tablet;
        }
        for (const char* stranger : {"192.0.2.66", "2001:db8::66", "::ffff:192.0.2.66"}) {
            EXPECT_EQ(probe(stranger, server.port, server.request), std::nullopt) << server.name << " served " << stranger;
        }
    }
    // The tablet sees the picture, never the settings.
    EXPECT_EQ(probe("192.0.2.20", http->boundPort(),
                  "POST /control HTTP/1.1\r\nHost: localhost\r\nContent-Length: 4\r\n\r\nSTOP"),
        "HTTP/1.1 403");
    // The plain and the v4-mapped stranger are one address: one line a server.
    EXPECT_EQ(log.matching("Refused connection from 192.0.2.66 — not a paired device").size(), 4u);

    // Once mirroring stops the tablet is a stranger too.
    peers->clear();
    EXPECT_EQ(probe("192.0.2.20", frames->port(), ""), std::nullopt);
    frames->stop();
    input->stop();
    test::runOnMain(ws->stopAsync());
    test::runOnMain(http->stopAsync());
}

} // namespace
} // namespace qb
