// Wi-Fi mode on the real servers: only loopback and the set-up device are
// served, and a device that leaves the list loses what it has open; the
// tablet page's sockets are capped and must open in time, and wrong pairing
// codes count per address. The LAN tests run on the three namespaces
// lan-namespace.sh makes (this host, the tablet, a stranger).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "diagnostics/PlatformLog.h"
#include "platform/sim/SimInputInjector.h"
#include "support/MainLoopSupport.h"
#include "support/SocketSupport.h"
#include "transport/HTTPServer.h"
#include "transport/InputServer.h"
#include "transport/FrameServer.h"
#include "transport/WebSocketServer.h"

namespace qb {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// A TCP socket made in the network namespace at `path` (lan-namespace.sh
// names the tablet's and the stranger's); this host's for null.
tcp::socket socketIn(asio::io_context& io, const char* path, tcp protocol)
{
    tcp::socket socket(io);
    if (!path) {
        socket.open(protocol);
        return socket;
    }
    int fd = -1;
    test::inNetworkNamespace(path, [&] { fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, 0); });
    if (fd >= 0) socket.assign(protocol, fd);
    return socket;
}

// Connects from the namespace `from` to `to`, sends `request` and returns
// what arrives within half a second, or nullopt when the server closed the
// connection without a byte.
std::optional<std::string> probe(const char* from, const char* to, std::uint16_t port, std::string_view request)
{
    const auto address = asio::ip::make_address(to);
    asio::io_context io;
    tcp::socket socket = socketIn(io, from, address.is_v4() ? tcp::v4() : tcp::v6());
    if (address.is_v6()) socket.set_option(asio::ip::v6_only(false));
    socket.connect({address, port});
    boost::system::error_code ignored;
    asio::write(socket, asio::buffer(request), ignored);
    const auto bytes = test::readWithin(socket, 12, 500ms);
    std::uint8_t more = 0;
    socket.non_blocking(true);
    const bool closed = bytes.empty() && socket.read_some(asio::buffer(&more, 1), ignored) == 0 && ignored == asio::error::eof;
    if (closed) return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
}

// True once the server has closed `socket` (whatever it sent before).
bool closedWithin(tcp::socket& socket, std::chrono::milliseconds limit)
{
    socket.non_blocking(true);
    bool closed = false;
    test::eventually(
        [&] {
            std::uint8_t sink[4096];
            boost::system::error_code error;
            while (socket.read_some(asio::buffer(sink), error) > 0) {
            }
            closed = error && error != asio::error::would_block;
            return closed;
        },
        limit, 2ms);
    return closed;
}

// The four servers of Wi-Fi mode, serving by one list.
struct WiFiServers {
    explicit WiFiServers(std::shared_ptr<PeerAllowList> list) : peers(std::move(list))
    {
        const std::string all(ALL_INTERFACES_ADDRESS);
        frames = FrameServer::make({.bindAddress = all, .peers = peers});
        input = InputServer::make(1, std::make_shared<SimInputInjector>(), {.bindAddress = all, .peers = peers});
        ws = WebSocketServer::make({.bindAddress = all, .peers = peers});
        http = HTTPServer::make(640, 480, {.bindAddress = all, .peers = peers});
        EXPECT_FALSE(frames->open(0));
        EXPECT_FALSE(input->open(0));
        EXPECT_FALSE(ws->open(0));
        EXPECT_FALSE(http->open(0));
        frames->start();
        input->start();
        ws->start(http->port());
        http->start();
    }
    ~WiFiServers()
    {
        frames->stop();
        input->stop();
        test::runOnMain(ws->stopAsync());
        test::runOnMain(http->stopAsync());
    }
    std::vector<std::uint16_t> ports() const
    {
        return {frames->port(), input->port(), ws->port(), http->port()};
    }

    std::shared_ptr<PeerAllowList> peers;
    std::shared_ptr<FrameServer> frames;
    std::shared_ptr<InputServer> input;
    std::shared_ptr<WebSocketServer> ws;
    std::shared_ptr<HTTPServer> http;
};

TEST(LanPeers, ConnectionsFromAnAddressThatLeavesTheListAreClosedOnEveryServer)
{
    PlatformLogCapture log;
    auto peers = std::make_shared<PeerAllowList>(false); // loopback stands in for the tablet
    peers->allow(asio::ip::make_address("127.0.0.1"));
    WiFiServers servers(peers);
    asio::io_context io;
    std::vector<tcp::socket> open;
    for (const auto port : servers.ports()) {
        open.emplace_back(io).connect({asio::ip::make_address("127.0.0.1"), port});
    }
    // Another address leaves: every connection stays (and is handed over meanwhile).
    peers->remove(asio::ip::make_address("192.0.2.9"));
    for (auto& socket : open) EXPECT_FALSE(closedWithin(socket, 200ms)) << socket.remote_endpoint().port();

    peers->remove(asio::ip::make_address("::ffff:127.0.0.1"));
    for (auto& socket : open) EXPECT_TRUE(closedWithin(socket, 5s)) << socket.remote_endpoint().port();
    EXPECT_EQ(log.matching("Closed connection from 127.0.0.1 — no longer a paired device").size(), 4u);
}

TEST(LanPeers, OnlyTheSetUpDeviceReachesAnyServer)
{
    if (!std::getenv("QB_LAN_NAMESPACE")) GTEST_SKIP() << "needs the LAN namespace (lan-namespace.sh)";
    PlatformLogCapture log;
    auto peers = std::make_shared<PeerAllowList>();
    for (const char* serial : {"192.0.2.20:5555", "[2001:db8::20]:5555"}) peers->allow(*deviceAddressFromSerial(serial));
    WiFiServers wifi(peers);
    const auto& frames = wifi.frames;
    const auto ports = wifi.ports();

    // The preview's WebSocket as the page served from `name` opens it; off
    // loopback a client without that page's Origin is refused.
    const auto upgrade = [&](const std::string& name, bool origin) {
        return "GET / HTTP/1.1\r\nHost: " + name + "\r\n"
            + (origin ? "Origin: http://" + name + ":" + std::to_string(ports[3]) + "\r\n" : "")
            + "Upgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    };
    const std::map<std::string, std::string> named{{"192.0.2.1", "192.0.2.1"}, {"2001:db8::1", "[2001:db8::1]"},
        {"::ffff:192.0.2.1", "192.0.2.1"}, {"127.0.0.1", "127.0.0.1"}};
    EXPECT_EQ(probe(std::getenv("QB_LAN_TABLET_NS"), "192.0.2.1", ports[2], upgrade("192.0.2.1", false)),
        std::nullopt);
    const struct { const char* name; std::uint16_t port; std::string request, served; } servers[] = {
        {"frames", ports[0], "", "\xDA\x7F"},
        {"input", ports[1], "", ""},
        {"websocket", ports[2], "", "HTTP/1.1 101"},
        {"http", ports[3], "GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200"},
    };
    const char* tablet = std::getenv("QB_LAN_TABLET_NS");
    const char* stranger = std::getenv("QB_LAN_STRANGER_NS");
    // This host over IPv4, IPv6 and IPv6 with an IPv4-mapped address.
    const char* host[] = {"192.0.2.1", "2001:db8::1", "::ffff:192.0.2.1"};
    for (const auto& server : servers) {
        const auto request = [&](const char* to) {
            return server.port == ports[2] ? upgrade(named.at(to), true) : server.request;
        };
        for (const char* to : host) {
            const auto answer = probe(tablet, to, server.port, request(to));
            ASSERT_TRUE(answer) << server.name << " refused the tablet at " << to;
            EXPECT_EQ(answer->substr(0, server.served.size()), server.served) << server.name << " " << to;
            EXPECT_EQ(probe(stranger, to, server.port, request(to)), std::nullopt) << server.name << " served " << to;
        }
        EXPECT_TRUE(probe(nullptr, "127.0.0.1", server.port, request("127.0.0.1"))) << server.name << " refused loopback";
    }
    // The tablet sees the picture, never the settings.
    EXPECT_EQ(probe(tablet, "192.0.2.1", ports[3],
                  "POST /control HTTP/1.1\r\nHost: localhost\r\nContent-Length: 4\r\n\r\nSTOP"),
        "HTTP/1.1 403");
    // The plain and the v4-mapped stranger are one address: one line a server.
    EXPECT_EQ(log.matching("Refused connection from 192.0.2.66 — not a paired device").size(), 4u);

    // The tablet's session stops: it is a stranger too (what it held open
    // closes: ConnectionsFromAnAddressThatLeavesTheList...).
    for (const char* serial : {"192.0.2.20:5555", "[2001:db8::20]:5555"}) peers->remove(*deviceAddressFromSerial(serial));
    for (const char* to : host) EXPECT_EQ(probe(tablet, to, frames->port(), ""), std::nullopt) << to;
}

namespace beast = boost::beast;
using Page = beast::websocket::stream<tcp::socket>;

// A tablet page's WebSocket opened from the namespace `from`: null when the
// server closed it instead of answering the handshake.
std::unique_ptr<Page> openPage(asio::io_context& io, const char* from, std::uint16_t port)
{
    auto page = std::make_unique<Page>(socketIn(io, from, tcp::v4()));
    boost::system::error_code error;
    page->next_layer().connect({asio::ip::make_address("192.0.2.1"), port}, error);
    if (!error) page->handshake("192.0.2.1:" + std::to_string(port), "/tablet/stream", error);
    if (error) return nullptr;
    return page;
}

// Sends `messages` as text and reads until the server ends: the texts it
// sent and its close reason.
std::pair<std::vector<std::string>, std::string> converse(Page& page, const std::vector<std::string>& messages)
{
    boost::system::error_code error;
    page.text(true);
    for (const auto& message : messages) page.write(asio::buffer(message), error);
    std::vector<std::string> texts;
    for (;;) {
        beast::flat_buffer buffer;
        page.read(buffer, error);
        if (error) break;
        texts.push_back(beast::buffers_to_string(buffer.data()));
    }
    return {texts, std::string(page.reason().reason.c_str())};
}

// The tablet page's port in Wi-Fi mode, its limits shrunk: two sockets an
// address, three in all. A socket that handshakes and then only answers the
// server's pings is closed at the opening deadline and frees its slot; three
// wrong codes from the stranger end its tries, not the tablet's.
TEST(LanTablet, TabletSocketsAreCappedMustOpenInTimeAndWrongCodesCountPerAddress)
{
    const char* tablet = std::getenv("QB_LAN_TABLET_NS");
    const char* stranger = std::getenv("QB_LAN_STRANGER_NS");
    if (!tablet || !stranger) GTEST_SKIP() << "needs the LAN namespace (lan-namespace.sh)";
    auto pairing = std::make_shared<TabletPairing>(std::filesystem::path());
    auto peers = std::make_shared<PeerAllowList>();
    TabletBridgeOptions limits;
    limits.idleTimeout = 200ms; // a ping every 100 ms
    limits.openingTimeout = 2s;
    limits.maxSocketsPerAddress = 2;
    limits.maxSockets = 3;
    auto http = HTTPServer::make(640, 480,
        {.bindAddress = std::string(ALL_INTERFACES_ADDRESS), .peers = peers, .tabletBridge = limits, .pairing = pairing});
    ASSERT_FALSE(http->open(0));
    http->start();
    const auto port = http->port();

    // Pages that answer every ping at once (their reads run on `runner`)
    // and send nothing else.
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::thread runner([&io] { io.run(); });
    std::vector<std::unique_ptr<Page>> silent;
    std::vector<beast::flat_buffer> buffers(3);
    std::array<std::atomic<int>, 3> pings{};
    std::atomic<std::size_t> ended = 0;
    const auto openSilent = [&](const char* from) {
        auto page = openPage(io, from, port);
        if (!page) return false;
        const std::size_t i = silent.size();
        page->control_callback([&pings, i](beast::websocket::frame_type kind, beast::string_view) {
            if (kind == beast::websocket::frame_type::ping) ++pings[i];
        });
        page->async_read(buffers[i], [&ended](boost::system::error_code, std::size_t) { ++ended; });
        silent.push_back(std::move(page));
        return true;
    };
    EXPECT_TRUE(openSilent(stranger));
    EXPECT_TRUE(openSilent(stranger));
    asio::io_context probes;
    EXPECT_FALSE(openPage(probes, stranger, port)) << "a third from one address";
    EXPECT_TRUE(openSilent(tablet));
    EXPECT_FALSE(openPage(probes, tablet, port)) << "a fourth in all";
    EXPECT_TRUE(test::eventually([&] { return ended == silent.size(); }, 10s, 10ms))
        << "a silent page outlived its opening deadline";
    work.reset();
    runner.join();
    for (std::size_t i = 0; i < silent.size(); ++i) EXPECT_GT(pings[i], 0) << "page " << i << " was never pinged";
    silent.clear();
    std::unique_ptr<Page> again;
    EXPECT_TRUE(test::eventually([&] { return (again = openPage(probes, stranger, port)) != nullptr; }, 5s, 10ms))
        << "the slots of closed sockets are free again";
    again.reset();

    const std::string code = pairing->issueCode();
    const std::string wrong = code == "000000" ? "111111" : "000000";
    const std::string hello = "hello 1200 1600 grey lan-page";
    for (int i = 0; i < 3; ++i) {
        auto page = openPage(probes, stranger, port);
        ASSERT_TRUE(page);
        EXPECT_EQ(converse(*page, {"pair " + wrong, hello}).second, "wrong code");
    }
    auto late = openPage(probes, stranger, port);
    ASSERT_TRUE(late);
    EXPECT_EQ(converse(*late, {"pair " + code, hello}), std::pair(std::vector<std::string>{}, std::string("wrong code")))
        << "the right code after the stranger's third wrong one";
    auto user = openPage(probes, tablet, port);
    ASSERT_TRUE(user);
    const auto [texts, reason] = converse(*user, {"pair " + code, hello});
    ASSERT_EQ(texts.size(), 1u) << reason;
    EXPECT_TRUE(texts[0].starts_with("paired ")) << texts[0];
    EXPECT_EQ(reason, "not mirroring");
    test::runOnMain(http->stopAsync());
}

} // namespace
} // namespace qb
