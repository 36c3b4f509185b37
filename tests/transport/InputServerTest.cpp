#include "transport/InputServer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/sim/SimInputInjector.h"
#include "support/TestSupport.h"

using namespace qb;
using namespace std::chrono_literals;
using asio::ip::tcp;

namespace {

constexpr std::uint32_t DISPLAY = 7;
// Display 7 spans x 100..1100, y 50..850: the centre is (600, 450).
const InputInjector::Bounds BOUNDS{100, 50, 1000, 800};

std::vector<std::uint8_t> touch(TouchType type, float x, float y, float dx = 0, float dy = 0)
{
    auto bytes = encodeTouchMessage({static_cast<std::uint8_t>(type), x, y, dx, dy});
    return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts)
{
    std::vector<std::uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::string describe(const RecordedInputEvent& e)
{
    if (e.kind == RecordedInputEvent::Kind::mouse) {
        return fmt::format("{} {:g},{:g}", mouseEventTypeName(e.mouseType), e.location.x, e.location.y);
    }
    return fmt::format("scroll {} v={} h={}", scrollPhaseName(e.phase), e.vertical, e.horizontal);
}

// A blocking loopback client standing in for the companion.
class TouchClient {
public:
    explicit TouchClient(std::uint16_t port, const char* address = "127.0.0.1")
    {
        socket_.connect(tcp::endpoint(asio::ip::make_address(address), port));
        socket_.set_option(tcp::no_delay(true));
    }
    void send(const std::vector<std::uint8_t>& bytes) { asio::write(socket_, asio::buffer(bytes)); }
    void close() { socket_.close(); }
    // True when the server closed the connection.
    bool readsEndOfStream()
    {
        std::uint8_t byte;
        boost::system::error_code error;
        socket_.read_some(asio::buffer(&byte, 1), error);
        return error == asio::error::eof || error == asio::error::connection_reset;
    }

private:
    asio::io_context io_;
    tcp::socket socket_{io_};
};

class InputServerTest : public ::testing::Test {
protected:
    void SetUp() override { injector->setDisplayBounds(DISPLAY, BOUNDS); }
    void TearDown() override
    {
        if (server) server->stop();
    }

    void startServer(InputServer::Timing timing = {}, std::string address = std::string(LOOPBACK_ADDRESS))
    {
        server = InputServer::make(DISPLAY, injector, {.bindAddress = std::move(address), .peers = {}, .timing = timing});
        ASSERT_FALSE(server->open(0));
        server->start();
        ASSERT_TRUE(server->running());
        ASSERT_NE(server->port(), 0);
    }

    std::vector<std::string> described()
    {
        std::vector<std::string> out;
        for (const auto& e : injector->events()) out.push_back(describe(e));
        return out;
    }

    std::shared_ptr<SimInputInjector> injector = std::make_shared<SimInputInjector>();
    std::shared_ptr<InputServer> server;
};

} // namespace

// The gestures themselves are GestureInterpreter's (its own tests); here the
// bytes must reach it whatever the stream's cuts, and its timer and release
// must run.
TEST_F(InputServerTest, TouchesFromTheSocketReachTheDesktopAndThePauseAndTheEndReleaseGestures)
{
    startServer(); // the real 60 ms pause
    TouchClient client(server->port());
    const auto down = touch(TouchType::down, 0.5f, 0.5f);
    client.send({down.begin(), down.begin() + 1});
    client.send({down.begin() + 1, down.begin() + 15});
    client.send({down.begin() + 15, down.end()});
    client.send({0x00, 0xDA, 0x11, 0x70, 0xFF});
    client.send(concat({touch(TouchType::up, 0.5f, 0.5f), touch(TouchType::scroll, 0, 0, 0, 0.01f)}));
    ASSERT_TRUE(injector->waitForEvents(6, 3s));
    EXPECT_EQ(described(), (std::vector<std::string>{"moved 600,450", "leftDown 600,450", "leftUp 600,450",
                               "moved 600,450", "scroll began v=14 h=0", "scroll ended v=0 h=0"}));
    const auto events = injector->events();
    EXPECT_GE(events[5].postedAt - events[4].postedAt, 60ms);

    // The connection ending mid-drag lets go of the button.
    injector->clear();
    client.send(concat({touch(TouchType::down, 0.5f, 0.5f), touch(TouchType::move, 0.6f, 0.6f)}));
    ASSERT_TRUE(injector->waitForEvents(3, 3s));
    client.close();
    ASSERT_TRUE(injector->waitForEvents(4, 3s));
    EXPECT_EQ(described().back(), "leftUp 700,530");
    ASSERT_TRUE(test::eventually([&] { return server->connectionCount() == 0; }));
}

// A web page can make the user's browser connect here and POST a body of
// touch messages; other protocols' hellos arrive the same way. Such a
// connection is closed as its first bytes arrive: none of its touches lands
// and its going does not let go of the device's drag.
TEST_F(InputServerTest, AConnectionThatDoesNotBeginWithATouchIsClosedAndMovesNothing)
{
    startServer();
    TouchClient device(server->port());
    device.send(concat({touch(TouchType::down, 0.5f, 0.5f), touch(TouchType::move, 0.6f, 0.6f)}));
    ASSERT_TRUE(injector->waitForEvents(3, 3s));
    const auto held = described();

    const auto touches = concat({touch(TouchType::down, 0.1f, 0.1f), touch(TouchType::up, 0.1f, 0.1f)});
    const std::string post = "POST / HTTP/1.1\r\nHost: 127.0.0.1:8892\r\nContent-Length: 46\r\n\r\n";
    for (const auto& first : {std::vector<std::uint8_t>(post.begin(), post.end()),
             std::vector<std::uint8_t>{0x16, 0x03, 0x01, 0x00, 0xA5, 0x01}, std::vector<std::uint8_t>{0x00}}) {
        TouchClient page(server->port());
        page.send(concat({first, touches}));
        EXPECT_TRUE(page.readsEndOfStream());
    }
    ASSERT_TRUE(test::eventually([&] { return server->connectionCount() == 1; }));
    EXPECT_EQ(described(), held);

    // The device's stream goes on, resynchronising on garbage inside it.
    device.send(concat({{0x00, 0xDA, 0x16}, touch(TouchType::up, 0.7f, 0.7f)}));
    ASSERT_TRUE(injector->waitForEvents(4, 3s));
    EXPECT_EQ(described().back(), "leftUp 800,610");
}

TEST_F(InputServerTest, ListenerLifecycle)
{
    startServer();

    // The listener takes only its bind address: 127.0.0.1 by default, so
    // another address of the same machine is refused.
    EXPECT_THROW(TouchClient(server->port(), "127.0.0.2"), boost::system::system_error);

    // Stop closes the connections and gives the port back: a stopped server
    // is not opened again, a new one listens there.
    const std::uint16_t port = server->port();
    TouchClient client(port);
    ASSERT_TRUE(test::eventually([&] { return server->connectionCount() == 1; }));
    server->stop();
    EXPECT_FALSE(server->running());
    EXPECT_EQ(server->port(), 0);
    EXPECT_TRUE(client.readsEndOfStream());
    EXPECT_EQ(server->open(port), asio::error::already_open);
    server = InputServer::make(DISPLAY, injector);
    ASSERT_FALSE(server->open(port));
    server->start();
    EXPECT_TRUE(server->running());
    TouchClient again(port);
    again.send(touch(TouchType::move, 0.5f, 0.5f));
    EXPECT_TRUE(injector->waitForEvents(1, 3s));
}

TEST(TouchMessageWalkerTest, FindsEveryMessageHoweverTheStreamIsCut)
{
    const std::vector<TouchMessage> sent{{1, 0.25f, 0.75f, 0, 0}, {4, 0, 0, -1.5f, 2.5f}, {3, 1, 1, 0, 0}};
    std::vector<std::uint8_t> stream;
    for (const auto& m : sent) {
        auto bytes = encodeTouchMessage(m);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        // Garbage between messages, including a lone first magic byte.
        stream.insert(stream.end(), {0xDA, 0x00, 0x70, 0xDA});
    }
    for (std::size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 <= stream.size(); cut2 += 7) {
            TouchStreamState state;
            std::vector<TouchMessage> got;
            for (auto [from, to] : {std::pair{std::size_t(0), cut1}, {cut1, cut2}, {cut2, stream.size()}}) {
                auto part = walkTouchMessages(state, std::span(stream).subspan(from, to - from));
                got.insert(got.end(), part.begin(), part.end());
                ASSERT_LT(state.pending.size(), TOUCH_MESSAGE_SIZE);
            }
            ASSERT_EQ(got, sent) << "cut at " << cut1 << " and " << cut2;
        }
    }
}

