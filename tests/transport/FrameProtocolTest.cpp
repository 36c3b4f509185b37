#include "transport/FrameProtocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qb {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAre;

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

template <class C>
Bytes bytes(const C& c)
{
    return {c.begin(), c.end()};
}

Bytes ack(std::uint32_t seq) { return bytes(encodeAck(seq)); }

TEST(FrameProtocol, HostMessagesHaveTheirExactBytes)
{
    EXPECT_THAT(encodeFrameMessage(Bytes{1, 2, 3}, true, 0x01020304),
        ElementsAre(0xDA, 0x7E, 1, 0x04, 0x03, 0x02, 0x01, 3, 0, 0, 0, 1, 2, 3));
    EXPECT_THAT(encodeFrameMessage({}, false, 0xFFFFFFFF), ElementsAre(0xDA, 0x7E, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0));
    EXPECT_THAT(encodeCommand(2, 40), ElementsAre(0xDA, 0x7F, 2, 40));
    EXPECT_THAT(encodeResolutionCommand(1600, 1200), ElementsAre(0xDA, 0x7F, 4, 0x40, 0x06, 0xB0, 0x04));
    EXPECT_THAT(encodeAck(5), ElementsAre(0xDA, 0x7A, 5, 0, 0, 0));
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
    const Bytes first = ack(5), third = ack(0xA0B0C0D0);
    f.feed(Bytes(first.begin(), first.begin() + 4));
    EXPECT_TRUE(f.acks.empty());
    // The rest of the first, two whole ones and the start of a fourth, which waits.
    f.feed(join({{0, 0}, ack(6), ack(7), Bytes(third.begin(), third.begin() + 3)}));
    EXPECT_THAT(f.acks, ElementsAre(5u, 6u, 7u));
    EXPECT_EQ(f.parser.buffered(), 3u);
    f.feed(Bytes(third.begin() + 3, third.end()));
    EXPECT_THAT(f.acks, ElementsAre(5u, 6u, 7u, 0xA0B0C0D0u));
    EXPECT_EQ(f.parser.buffered(), 0u);
}

TEST(AckParser, ResynchronisesOnGarbageOnlyInsideAStreamThatBeganWithAnAcknowledgement)
{
    // A connection that begins with anything else is refused, whatever
    // follows, and nothing it sent counts: a web page's POST carrying
    // acknowledgements in its body, a TLS hello, garbage, a 0xDA that is not
    // followed by 0x7A.
    const std::string post = "POST / HTTP/1.1\r\nHost: 127.0.0.1:8888\r\nContent-Length: 12\r\n\r\n";
    for (const Bytes& first : {Bytes(post.begin(), post.end()), Bytes{0x16, 0x03, 0x01, 0x02, 0x00, 0x01},
             Bytes{0x00}, Bytes{0xDA, 0x7E}, Bytes{0xDA, 0xDA}}) {
        AckFeed refused;
        const auto r = refused.feed(join({first, ack(1), ack(2)}));
        EXPECT_TRUE(r.refused && refused.parser.refused());
        EXPECT_TRUE(refused.feed(ack(3)).refused);
        EXPECT_TRUE(refused.acks.empty());
        EXPECT_EQ(refused.parser.buffered(), 0u);
    }
    // The verdict waits for the magic's second byte, which may come later.
    AckFeed split;
    EXPECT_FALSE(split.feed({0xDA}).refused);
    EXPECT_TRUE(split.feed({0x00, 0, 0, 0, 0}).refused);

    // Once begun, a stray byte and a lone 0xDA are skipped one by one.
    AckFeed stray;
    const auto r = stray.feed(join({ack(8), {0x00, 0xDA}, ack(9)}));
    EXPECT_EQ(r.skipped, 2);
    EXPECT_FALSE(r.cleared || r.refused);
    EXPECT_THAT(stray.acks, ElementsAre(8u, 9u));

    // 300 zero bytes: 257 skips empty the buffer.
    AckFeed zeros;
    zeros.feed(ack(0));
    EXPECT_TRUE(zeros.feed(Bytes(300, 0)).cleared);
    EXPECT_EQ(zeros.parser.buffered(), 0u);

    // The skip count is per read and survives a good acknowledgement in the
    // middle: the 257th skip clears the buffer, so the second ack is lost.
    AckFeed mixed;
    mixed.feed(ack(0));
    EXPECT_TRUE(mixed.feed(join({Bytes(200, 0x11), ack(1), Bytes(100, 0x22), ack(2)})).cleared);
    EXPECT_THAT(mixed.acks, ElementsAre(0u, 1u));
    // A fresh read starts counting again.
    mixed.feed(Bytes(250, 0x33));
    EXPECT_EQ(mixed.parser.buffered(), 5u);
    mixed.feed(ack(3));
    EXPECT_EQ(mixed.acks.back(), 3u);
}

struct Reader {
    HostMessageReader reader{1 << 20};
    std::vector<HostMessage> messages;
    void push(const Bytes& chunk)
    {
        reader.append(chunk);
        while (auto m = reader.next()) messages.push_back(std::move(*m));
    }
};

TEST(HostMessageReader, SplitsTheGreetingAndFramesByteByByte)
{
    const Bytes stream = join({bytes(encodeResolutionCommand(1024, 768)), bytes(encodeCommand(2, 40)),
        encodeFrameMessage(Bytes{9, 8, 7}, true, 42), encodeFrameMessage({}, false, 43)});
    Reader r;
    for (auto b : stream) r.push(Bytes{b});
    ASSERT_FALSE(r.reader.failed()) << r.reader.error();
    ASSERT_EQ(r.messages.size(), 4u);
    const auto res = std::get<CommandMessage>(r.messages[0]);
    EXPECT_EQ(std::tuple(res.code, res.width, res.height), std::tuple(CommandCode::resolution, 1024, 768));
    EXPECT_EQ(std::get<CommandMessage>(r.messages[1]).value, 40);
    const auto key = std::get<FrameMessage>(r.messages[2]);
    EXPECT_EQ(std::tuple(key.isKeyframe, key.sequenceNumber, key.payload), std::tuple(true, 42u, Bytes{9, 8, 7}));
    const auto empty = std::get<FrameMessage>(r.messages[3]);
    EXPECT_EQ(std::tuple(empty.isKeyframe, empty.payload.empty()), std::tuple(false, true));
    EXPECT_EQ(r.reader.buffered(), 0u);
}

TEST(HostMessageReader, RejectsEveryMalformedMessageAndStaysFailed)
{
    for (const Bytes& bad : std::initializer_list<Bytes>{{0xDA, 0x7A, 5, 0, 0, 0}, // wrong magic
             {0xDA, 0x7E, 2, 0, 0, 0, 0, 0, 0, 0, 0},                              // keyframe flag 2
             {0xDA, 0x7F, 3, 1}, {0xDA, 0x7F, 0, 1},                               // command codes 3 and 0
             {0xDA, 0x7F, 5, 2},                                                   // pixel format 2
             {0xDA, 0x7E, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}}) {               // oversized payload
        Reader r;
        const Bytes good = bytes(encodeCommand(1, 10));
        r.push(good);
        r.push(bad);
        r.push(good);
        EXPECT_TRUE(r.reader.failed()) << ::testing::PrintToString(bad);
        EXPECT_EQ(r.messages.size(), 1u) << ::testing::PrintToString(bad);
    }
}

} // namespace
} // namespace qb
