#include "transport/FrameProtocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qb {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

template <class C>
Bytes bytes(const C& c)
{
    return Bytes(c.begin(), c.end());
}

TEST(FrameProtocol, HostMessagesHaveTheirExactBytes)
{
    Bytes payload{1, 2, 3};
    EXPECT_THAT(encodeFrameMessage(payload, true, 0x01020304),
        ElementsAre(0xDA, 0x7E, 1, 0x04, 0x03, 0x02, 0x01, 3, 0, 0, 0, 1, 2, 3));
    EXPECT_THAT(encodeFrameMessage({}, false, 0xFFFFFFFF),
        ElementsAre(0xDA, 0x7E, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0));

    EXPECT_THAT(encodeCommand(1, 200), ElementsAre(0xDA, 0x7F, 1, 200));
    EXPECT_THAT(encodeCommand(2, 40), ElementsAre(0xDA, 0x7F, 2, 40));
    EXPECT_THAT(encodeCommand(5, 1), ElementsAre(0xDA, 0x7F, 5, 1));
    EXPECT_THAT(encodeResolutionCommand(1600, 1200), ElementsAre(0xDA, 0x7F, 4, 0x40, 0x06, 0xB0, 0x04));
    EXPECT_THAT(encodeAck(5), ElementsAre(0xDA, 0x7A, 5, 0, 0, 0));

    EXPECT_EQ(commandMessageSize(1), 4u);
    EXPECT_EQ(commandMessageSize(4), 7u);
    for (int code : {0, 3, 6, 255}) EXPECT_FALSE(commandMessageSize(static_cast<std::uint8_t>(code)));
}

struct AckFeed {
    AckParser parser;
    std::vector<std::uint32_t> acks;
    AckParser::Result feed(const Bytes& chunk)
    {
        return parser.feed(chunk, [this](std::uint32_t seq) { acks.push_back(seq); });
    }
};

TEST(AckParser, ReassemblesAcknowledgementsAcrossReads)
{
    AckFeed f;
    Bytes ack = bytes(encodeAck(5));
    f.feed(Bytes(ack.begin(), ack.begin() + 4));
    EXPECT_TRUE(f.acks.empty());
    EXPECT_EQ(f.parser.buffered(), 4u);
    f.feed(Bytes(ack.begin() + 4, ack.end()));
    EXPECT_THAT(f.acks, ElementsAre(5u));
    EXPECT_EQ(f.parser.buffered(), 0u);

    // Two in one read plus the start of a third, which waits.
    Bytes chunk = bytes(encodeAck(6));
    for (auto b : encodeAck(7)) chunk.push_back(b);
    Bytes third = bytes(encodeAck(0xA0B0C0D0));
    chunk.insert(chunk.end(), third.begin(), third.begin() + 3);
    f.feed(chunk);
    EXPECT_THAT(f.acks, ElementsAre(5u, 6u, 7u));
    EXPECT_EQ(f.parser.buffered(), 3u);
    f.feed(Bytes(third.begin() + 3, third.end()));
    EXPECT_THAT(f.acks, ElementsAre(5u, 6u, 7u, 0xA0B0C0D0u));
}

TEST(AckParser, ResynchronisesOnGarbage)
{
    // One stray byte: a single skip, then the acknowledgement.
    AckFeed stray;
    Bytes chunk{0x00};
    for (auto b : encodeAck(9)) chunk.push_back(b);
    auto r = stray.feed(chunk);
    EXPECT_EQ(r.skipped, 1);
    EXPECT_FALSE(r.cleared);
    EXPECT_THAT(stray.acks, ElementsAre(9u));

    // A lone 0xDA that is not followed by 0x7A is skipped too.
    AckFeed half;
    chunk = {0xDA, 0xDA, 0x7A, 1, 0, 0, 0};
    half.feed(chunk);
    EXPECT_THAT(half.acks, ElementsAre(1u));

    // 300 zero bytes: 257 skips empty the buffer, nothing acknowledged.
    AckFeed zeros;
    r = zeros.feed(Bytes(300, 0));
    EXPECT_EQ(r.skipped, 257);
    EXPECT_TRUE(r.cleared);
    EXPECT_EQ(zeros.parser.buffered(), 0u);
    EXPECT_TRUE(zeros.acks.empty());

    // The skip count is per read and survives a good acknowledgement in the
    // middle: 200 garbage bytes, an ack, 100 more garbage bytes and an ack
    // clear the buffer at the 257th skip, so the second ack is lost.
    AckFeed mixed;
    chunk = Bytes(200, 0x11);
    for (auto b : encodeAck(1)) chunk.push_back(b);
    chunk.insert(chunk.end(), 100, 0x22);
    for (auto b : encodeAck(2)) chunk.push_back(b);
    r = mixed.feed(chunk);
    EXPECT_THAT(mixed.acks, ElementsAre(1u));
    EXPECT_TRUE(r.cleared);
    // A fresh read starts counting again.
    mixed.feed(Bytes(250, 0x33));
    EXPECT_EQ(mixed.parser.buffered(), 5u);
    mixed.feed(bytes(encodeAck(3)));
    EXPECT_EQ(mixed.acks.back(), 3u);
}

struct Reader {
    HostMessageReader reader;
    std::vector<HostMessage> messages;
    explicit Reader(std::size_t limit = 1 << 20) : reader(limit) {}
    void push(const Bytes& chunk)
    {
        reader.append(chunk);
        while (auto m = reader.next()) messages.push_back(std::move(*m));
    }
};

TEST(HostMessageReader, SplitsTheGreetingAndFramesByteByByte)
{
    Bytes stream = bytes(encodeResolutionCommand(1024, 768));
    for (auto b : encodeCommand(5, 0)) stream.push_back(b);
    for (auto b : encodeCommand(1, 128)) stream.push_back(b);
    for (auto b : encodeCommand(2, 40)) stream.push_back(b);
    for (auto b : encodeFrameMessage(Bytes{9, 8, 7}, true, 42)) stream.push_back(b);
    for (auto b : encodeFrameMessage({}, false, 43)) stream.push_back(b);

    Reader r;
    for (auto b : stream) r.push(Bytes{b});
    ASSERT_FALSE(r.reader.failed()) << r.reader.error();
    ASSERT_EQ(r.messages.size(), 6u);
    auto res = std::get<CommandMessage>(r.messages[0]);
    EXPECT_EQ(res.code, CommandCode::resolution);
    EXPECT_EQ(res.width, 1024);
    EXPECT_EQ(res.height, 768);
    EXPECT_EQ(std::get<CommandMessage>(r.messages[1]).code, CommandCode::pixelFormat);
    EXPECT_EQ(std::get<CommandMessage>(r.messages[3]).value, 40);
    auto key = std::get<FrameMessage>(r.messages[4]);
    EXPECT_TRUE(key.isKeyframe);
    EXPECT_EQ(key.sequenceNumber, 42u);
    EXPECT_THAT(key.payload, ElementsAre(9, 8, 7));
    auto empty = std::get<FrameMessage>(r.messages[5]);
    EXPECT_FALSE(empty.isKeyframe);
    EXPECT_TRUE(empty.payload.empty());
    EXPECT_EQ(r.reader.buffered(), 0u);
}

TEST(HostMessageReader, RejectsEveryMalformedMessage)
{
    struct Case {
        const char* what;
        Bytes bytes;
    };
    const Case cases[] = {
        {"wrong magic", {0xDA, 0x7A, 5, 0, 0, 0}},
        {"keyframe flag 2", {0xDA, 0x7E, 2, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"command code 3", {0xDA, 0x7F, 3, 1}},
        {"command code 0", {0xDA, 0x7F, 0, 1}},
        {"pixel format 2", {0xDA, 0x7F, 5, 2}},
        {"oversized payload", {0xDA, 0x7E, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        Reader r(1 << 20);
        r.push(bytes(encodeCommand(1, 10)));
        r.push(c.bytes);
        EXPECT_TRUE(r.reader.failed()) << c.what;
        EXPECT_EQ(r.messages.size(), 1u) << c.what;
        // Once failed, it stays failed whatever follows.
        r.push(bytes(encodeCommand(1, 10)));
        EXPECT_EQ(r.messages.size(), 1u) << c.what;
    }

}

} // namespace
} // namespace qb
