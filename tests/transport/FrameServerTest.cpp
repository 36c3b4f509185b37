#include "transport/FrameServer.h"

#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fmt/format.h>

#include "companion/CompanionClient.h"
#include "diagnostics/PlatformLog.h"
#include "support/SocketSupport.h"
#include "transport/FrameProtocol.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using companion::CompanionClient;
using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAre;
using test::eventually;
using test::lz4;

constexpr auto deadline = 5s;

class FrameServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = FrameServer::make(options);
    }
    void TearDown() override { server->stop(); }

    void startServer()
    {
        ASSERT_FALSE(server->open(0));
        ASSERT_NE(server->port(), 0);
        server->start();
    }

    std::unique_ptr<CompanionClient> connect(CompanionClient::Options o = {})
    {
        auto client = std::make_unique<CompanionClient>(o);
        EXPECT_TRUE(client->connect("127.0.0.1", server->port(), deadline));
        return client;
    }

    std::unique_ptr<CompanionClient> connectAndGreet()
    {
        auto client = connect();
        EXPECT_TRUE(client->readGreeting(deadline)) << client->violation();
        return client;
    }

    // A server of small send buffers, with `stalled` (small buffers, never
    // reads) and `healthy` connected.
    void startWithAStalledClient()
    {
        options.socketSendBufferBytes = 16 * 1024;
        server = FrameServer::make(options);
        startServer();
        CompanionClient::Options small;
        small.receiveBufferBytes = 16 * 1024;
        stalled = connect(small);
        healthy = connectAndGreet();
        ASSERT_TRUE(eventually([&] { return server->clientCount() == 2; }));
    }

    FrameServer::Options options;
    std::shared_ptr<FrameServer> server;
    std::unique_ptr<CompanionClient> stalled, healthy;
    PlatformLogMute mute;
};

TEST_F(FrameServerTest, GreetsNewClientsInOrderWithTheLastKnownState)
{
    server->setFrameWidth(1600);
    server->setFrameHeight(1200);
    server->setPixelFormat(PixelFormat::rgb);
    server->sendCommand(2, 40); // warmth, remembered with no client connected
    startServer();

    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), server->port()});
    EXPECT_THAT(test::readWithin(socket, 19), ElementsAre(0xDA, 0x7F, 4, 0x40, 0x06, 0xB0, 0x04, // resolution 1600x1200
                                         0xDA, 0x7F, 5, 1,                            // rgb
                                         0xDA, 0x7F, 1, 128,                          // brightness
                                         0xDA, 0x7F, 2, 40));                         // warmth
    // No keyframe yet: the live frames follow directly.
    Bytes payload{1, 2, 3};
    server->broadcast(payload, false, 0);
    EXPECT_EQ(test::readWithin(socket, 14), encodeFrameMessage(payload, false, 0));

    // Commands go to every client and brightness is remembered too.
    server->sendCommand(1, 200);
    EXPECT_THAT(test::readWithin(socket, 4), ElementsAre(0xDA, 0x7F, 1, 200));

}

TEST_F(FrameServerTest, TheCacheGoesWithALongDeltaChainOrANewGeometry)
{
    options.keyframeChainMaxFrames = 3;
    server = FrameServer::make(options);
    startServer();
    server->broadcast(Bytes{1}, true, 0);
    server->broadcast(Bytes{2}, false, 1);
    server->broadcast(Bytes{3}, false, 2);
    EXPECT_TRUE(server->lastKeyframeData());
    server->broadcast(Bytes{4}, false, 3); // a fourth frame would not fit
    EXPECT_FALSE(server->lastKeyframeData());

    // A late joiner then starts with the live stream, like a client that
    // came before the first keyframe.
    auto client = connectAndGreet();
    ASSERT_TRUE(eventually([&] { return server->clientCount() == 1; }));
    server->broadcast(lz4(Bytes(1024 * 768)), true, 4);
    auto frame = client->readFrame(deadline);
    ASSERT_TRUE(frame) << client->violation();
    EXPECT_EQ(frame->sequenceNumber, 4u);
    ASSERT_TRUE(server->lastKeyframeData());

    server->setFrameWidth(1024); // the current value: cache gone, nothing sent
    EXPECT_FALSE(server->lastKeyframeData());
    server->setFrameWidth(1600);
    server->setFrameHeight(1200);
    std::vector<std::pair<int, int>> resolutions;
    while (resolutions.size() < 2) {
        auto m = client->readMessage(deadline);
        ASSERT_TRUE(m) << client->violation();
        if (auto* c = std::get_if<CommandMessage>(&*m); c && c->code == CommandCode::resolution) {
            resolutions.emplace_back(c->width, c->height);
        }
    }
    // The first carries the new width with the old height.
    EXPECT_THAT(resolutions, ElementsAre(std::pair(1600, 768), std::pair(1600, 1200)));
}

// Splits and garbage within one connection are the parser's own business;
// here each connection must have a parser of its own.
TEST_F(FrameServerTest, ClientsDoNotShareAcknowledgementBytes)
{
    startServer();
    auto a = connectAndGreet();
    auto b = connectAndGreet();
    ASSERT_TRUE(eventually([&] { return server->clientCount() == 2; }));
    for (std::uint32_t seq = 0; seq < 4; ++seq) server->broadcast(Bytes{}, false, seq);

    // Byte by byte, alternating clients, each byte seen by the server before
    // the next is sent: a reader shared between connections would see the
    // two acknowledgements shuffled into garbage.
    auto ackA = encodeAck(1), ackB = encodeAck(2);
    std::uint64_t sent = 0;
    for (std::size_t i = 0; i < ACK_SIZE; ++i) {
        for (auto [client, ack] : {std::pair{a.get(), &ackA}, std::pair{b.get(), &ackB}}) {
            ASSERT_TRUE(client->sendBytes(std::span(ack->data() + i, 1)));
            ++sent;
            ASSERT_TRUE(eventually([&] { return server->bytesReceived() == sent; }));
        }
    }
    ASSERT_TRUE(server->latencyStats());
    EXPECT_EQ(server->latencyStats()->acksReceived, 2);
    EXPECT_EQ(server->inflightFrames(), 1); // frame 3 (frame 0 was passed over)
}

// A web page can make the user's browser connect here and send an HTTP
// request whose body holds acknowledgements; other protocols' hellos arrive
// the same way. Such a connection is closed as its first bytes arrive and
// nothing in it counts, while a device's stream still resynchronises on
// garbage after its first acknowledgement.
TEST_F(FrameServerTest, AConnectionThatDoesNotBeginWithAnAcknowledgementIsClosedUnheard)
{
    startServer();
    auto device = connectAndGreet();
    ASSERT_TRUE(eventually([&] { return server->clientCount() == 1; }));

    const std::string post = "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 18\r\n\r\n";
    std::uint32_t seq = 0;
    for (Bytes first : {Bytes(post.begin(), post.end()), Bytes{0x16, 0x03, 0x01, 0x00, 0xA5, 0x01}, Bytes{0x00}}) {
        asio::io_context io;
        asio::ip::tcp::socket socket(io);
        socket.connect({asio::ip::make_address("127.0.0.1"), server->port()});
        ASSERT_TRUE(eventually([&] { return server->clientCount() == 2; }));
        // Frames it could acknowledge, had it begun as a device does.
        for (int i = 0; i < 3; ++i, ++seq) {
            server->broadcast(Bytes{}, false, seq);
            const auto ack = encodeAck(seq);
            first.insert(first.end(), ack.begin(), ack.end());
        }
        asio::write(socket, asio::buffer(first));
        test::readWithin(socket, 1u << 20); // the greeting and frames, then the close
        boost::system::error_code closed;
        std::uint8_t byte = 0;
        socket.non_blocking(true);
        socket.read_some(asio::buffer(&byte, 1), closed);
        EXPECT_TRUE(closed == asio::error::eof || closed == asio::error::connection_reset) << closed.message();
        ASSERT_TRUE(eventually([&] { return server->clientCount() == 1; }));
    }
    EXPECT_FALSE(server->latencyStats());

    for (int i = 0; i < 3; ++i) server->broadcast(Bytes{}, false, seq + i);
    ASSERT_TRUE(device->sendAck(seq));
    ASSERT_TRUE(device->sendBytes(Bytes{0x00, 0xDA, 0x16}));
    ASSERT_TRUE(device->sendAck(seq + 2));
    ASSERT_TRUE(eventually([&] { return server->latencyStats() && server->latencyStats()->acksReceived == 2; }));
    EXPECT_EQ(server->clientCount(), 1);
}

TEST_F(FrameServerTest, StalledClientIsDroppedWhileOthersKeepReceiving)
{
    options.maxQueuedMessages = 16;
    startWithAStalledClient();

    Bytes payload(64 * 1024, 0x5A);
    std::uint32_t seq = 0;
    std::uint32_t received = 0;
    // Keep the healthy client reading while frames go out, until the stalled
    // one is dropped (bounded: the limits above are reached within a few MB).
    while (server->clientCount() == 2 && seq < 2000) {
        server->broadcast(payload, false, seq++);
        while (received < seq) {
            auto frame = healthy->readFrame(deadline);
            ASSERT_TRUE(frame) << healthy->violation();
            ASSERT_EQ(frame->sequenceNumber, received);
            ++received;
        }
    }
    ASSERT_TRUE(eventually([&] { return server->clientCount() == 1; }));
    // The healthy client goes on as before.
    server->broadcast(payload, false, seq++);
    auto frame = healthy->readFrame(deadline);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->sequenceNumber, seq - 1);
}

// Paced, a stalled client never fills its queue: it goes once a write makes
// no progress for the limit. Meanwhile its unsent frames are what the
// encoder sees.
TEST_F(FrameServerTest, AClientWhoseWriteStallsIsDroppedAndItsUnsentFramesCountUntilThen)
{
    options.stalledWriteLimit = 500ms;
    startWithAStalledClient();
    EXPECT_EQ(server->unsentFrames(), 0);

    const Bytes payload(64 * 1024, 0x5A);
    for (std::uint32_t seq = 0; seq < 40; ++seq) server->broadcast(payload, false, seq);
    EXPECT_GE(server->unsentFrames(), 30); // far fewer than the 120 messages that drop a client
    for (std::uint32_t seq = 0; seq < 40; ++seq) {
        auto frame = healthy->readFrame(deadline);
        ASSERT_TRUE(frame) << healthy->violation();
        EXPECT_EQ(frame->sequenceNumber, seq);
    }
    ASSERT_TRUE(eventually([&] { return server->clientCount() == 1; }));
    EXPECT_EQ(server->unsentFrames(), 0);
}

TEST_F(FrameServerTest, ListensOnLoopbackOnlyAndReportsAPortInUse)
{
    // 127.0.0.2 is another local address: a loopback-only listener on
    // 127.0.0.1 refuses it (Wi-Fi mode's listeners: LanPeersTest).
    auto reachable = [](std::uint16_t port, const char* address) {
        CompanionClient probe;
        return probe.connect(address, port, deadline);
    };
    startServer();
    EXPECT_TRUE(reachable(server->port(), "127.0.0.1"));
    EXPECT_FALSE(reachable(server->port(), "127.0.0.2"));
    EXPECT_TRUE(FrameServer::make()->open(server->port())); // already in use
}

} // namespace
} // namespace qb
