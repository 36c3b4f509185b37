// The reference companion's decoder checks and touch scripts (the program
// itself runs against the real daemon in the end-to-end tests).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "companion/FrameDecoder.h"
#include "companion/TouchScript.h"
#include "support/TestSupport.h"
#include "transport/FrameProtocol.h"
#include "transport/InputProtocol.h"

namespace qb {
namespace {

using companion::FrameDecoder;
using Bytes = std::vector<std::uint8_t>;
using test::lz4;

CommandMessage command(CommandCode code, std::uint8_t value = 0, std::uint16_t w = 0, std::uint16_t h = 0)
{
    return CommandMessage{code, value, w, h};
}

FrameMessage frame(bool key, std::uint32_t seq, Bytes payload) { return FrameMessage{key, seq, std::move(payload)}; }

// A decoder that has seen a greeting for a w x h greyscale stream.
FrameDecoder greeted(std::uint16_t w, std::uint16_t h)
{
    FrameDecoder d;
    for (const auto& m : {command(CommandCode::resolution, 0, w, h), command(CommandCode::pixelFormat, 0),
             command(CommandCode::brightness, 10), command(CommandCode::warmth, 20)}) {
        EXPECT_FALSE(d.apply(m));
    }
    return d;
}

TEST(FrameDecoder, AppliesKeyframesAndDeltas)
{
    auto d = greeted(4, 2);

    // A delta before any keyframe has nothing to apply to: counted, ignored.
    EXPECT_FALSE(d.apply(frame(false, 0, lz4(Bytes(8, 1)))));
    EXPECT_FALSE(d.hasPicture());
    EXPECT_EQ(d.counters().deltasBeforeKeyframe, 1u);

    Bytes picture{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_FALSE(d.apply(frame(true, 1, lz4(picture))));
    EXPECT_EQ(d.frame(), picture);
    EXPECT_FALSE(d.apply(frame(false, 2, lz4(Bytes{1, 0, 0, 0, 0, 0, 0, 0xFF}))));
    EXPECT_EQ(d.frame(), (Bytes{0, 2, 3, 4, 5, 6, 7, 0xF7}));

}

TEST(FrameDecoder, ReportsEveryViolation)
{
    {
        FrameDecoder d; // greeting out of order
        EXPECT_THAT(d.apply(command(CommandCode::brightness, 1)).value_or(""), ::testing::HasSubstr("greeting"));
    }
    {
        FrameDecoder d; // frame before the greeting is complete
        EXPECT_FALSE(d.apply(command(CommandCode::resolution, 0, 2, 2)));
        EXPECT_TRUE(d.apply(frame(true, 0, lz4(Bytes(4)))));
    }
    {
        FrameDecoder d; // zero-sized resolution
        EXPECT_TRUE(d.apply(command(CommandCode::resolution, 0, 0, 768)));
    }
    {
        FrameDecoder d(1000); // more pixels than the client accepts
        EXPECT_TRUE(d.apply(command(CommandCode::resolution, 0, 100, 11)));
    }
    {
        auto d = greeted(4, 2); // sequence gap
        EXPECT_FALSE(d.apply(frame(true, 5, lz4(Bytes(8)))));
        EXPECT_THAT(d.apply(frame(false, 7, lz4(Bytes(8)))).value_or(""), ::testing::HasSubstr("gap"));
    }
    // Decompresses to the wrong size, or is no LZ4 at all.
    for (const auto& payload : {lz4(Bytes(7)), lz4(Bytes(9)), Bytes{0xFF, 0xFF, 0xFF}, Bytes{}}) {
        auto d = greeted(4, 2);
        EXPECT_TRUE(d.apply(frame(true, 0, payload))) << payload.size();
    }
}

TEST(TouchScript, EncodesWhatTheInputServerDecodes)
{
    std::string error;
    auto steps = companion::parseTouchScript("down 0.5 0.25; move 0.6 0.25;wait 20; up 0.6 0.25; scroll 0 -0.01", error);
    ASSERT_TRUE(steps) << error;
    ASSERT_EQ(steps->size(), 5u);
    EXPECT_EQ((*steps)[2].waitMs, 20);
    EXPECT_FALSE((*steps)[2].message);

    Bytes stream;
    for (const auto& step : *steps) {
        if (step.message) stream.insert(stream.end(), step.message->begin(), step.message->end());
    }
    TouchStreamState state;
    EXPECT_EQ(walkTouchMessages(state, stream),
        (std::vector<TouchMessage>{{1, 0.5f, 0.25f, 0, 0}, {2, 0.6f, 0.25f, 0, 0}, {3, 0.6f, 0.25f, 0, 0},
            {4, 0, 0, 0, -0.01f}}));

    for (const char* bad : {"", "tap 1 2", "down 0.5", "down 0.5 0.5 0.5", "wait -1", "down nan 0"}) {
        EXPECT_FALSE(companion::parseTouchScript(bad, error)) << bad;
    }
}

} // namespace
} // namespace qb
