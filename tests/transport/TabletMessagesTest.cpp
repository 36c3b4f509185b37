#include "transport/TabletMessages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace qb {
namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> values)
{
    std::vector<std::uint8_t> out;
    for (const int v : values) out.push_back(std::uint8_t(v));
    return out;
}

TEST(TabletMessagesTest, ThePagesPointerKeyAndTurnMessagesAreReadExactlyAndAnythingElseIsRefused)
{
    // A pen touching at (0.25, 0.5) with its barrel button, pressure 0.5, tilt (30, -12) on a
    // 1000x800 picture at density 2, as the page builds it.
    const auto pen = bytes({0xDA, 0x71, 1, 1, 7, 0x03, 0x00, 0x00, 0x80, 0x3E, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x80,
        30, 0xF4, 0xE8, 0x03, 0x20, 0x03, 0xC8, 0x00});
    ASSERT_EQ(judgePageMessage(pen), PageMessage::pageInput);
    const auto parsed = std::get<PagePointer>(*parsePageInput(pen));
    EXPECT_EQ(parsed.phase, PagePhase::down);
    EXPECT_EQ(parsed.device, PageDevice::pen);
    EXPECT_EQ(parsed.id, 7);
    EXPECT_EQ(parsed.buttons, page_buttons::contact | page_buttons::barrel);
    EXPECT_EQ(parsed.x, 0.25f);
    EXPECT_EQ(parsed.y, 0.5f);
    EXPECT_NEAR(parsed.pressure, 0.5f, 1e-4);
    EXPECT_EQ(std::pair(int(parsed.tiltX), int(parsed.tiltY)), std::pair(30, -12));
    EXPECT_EQ(std::tuple(parsed.width, parsed.height, parsed.density), std::tuple(1000, 800, 2.0f));
    for (const auto& [at, value] : std::vector<std::pair<int, int>>{{2, 7}, {3, 3}, {16, 91}, {22, 24}, {23, 0x10},
             {9, 0x7F}, {19, 0}}) {
        auto bad = pen;
        bad[std::size_t(at)] = std::uint8_t(value);
        if (at == 9) bad[8] = 0xC0;  // x = NaN
        if (at == 19) bad[18] = 0;   // no width
        EXPECT_FALSE(parsePageInput(bad)) << at;
        EXPECT_EQ(judgePageMessage(bad), PageMessage::ignored) << at;
    }
    EXPECT_FALSE(parsePageInput(std::span(pen).first(23)));

    // The tablet turned to 1600x1200; a screen out of range or a message of another size is nothing.
    const auto turn = bytes({0xDA, 0x73, 0x40, 0x06, 0xB0, 0x04});
    EXPECT_EQ(judgePageMessage(turn), PageMessage::turned);
    EXPECT_EQ(parsePageTurn(turn), (PageTurn{1600, 1200}));
    for (const auto& refused : {bytes({0xDA, 0x73, 0, 0, 0xB0, 0x04}), bytes({0xDA, 0x73, 0x01, 0x20, 0xB0, 0x04}),
             bytes({0xDA, 0x73, 0x40, 0x06, 0xB0}), bytes({0xDA, 0x73, 0x40, 0x06, 0xB0, 0x04, 0})}) {
        EXPECT_FALSE(parsePageTurn(refused)) << refused.size();
        EXPECT_EQ(judgePageMessage(refused), PageMessage::ignored) << refused.size();
    }

    // Text in UTF-8: one keysym per character, Latin-1 as itself, a line break as Return.
    std::vector<std::uint8_t> text = bytes({0xDA, 0x72, 1});
    const std::string typed = "aé€\n😀";
    text.insert(text.end(), typed.begin(), typed.end());
    EXPECT_EQ(std::get<PageKeys>(*parsePageInput(text)),
        (PageKeys{{0x61, 0xE9, 0x10020AC, 0xFF0D, 0x101F600}, 0}));
    for (const auto& refused : {bytes({0xDA, 0x72, 1}), bytes({0xDA, 0x72, 1, 0xC3}), bytes({0xDA, 0x72, 1, 0xC0, 0xAF}),
             bytes({0xDA, 0x72, 1, 0xED, 0xA0, 0x80}), bytes({0xDA, 0x72, 1, 0x1B}), bytes({0xDA, 0x72, 3, 0x61})}) {
        EXPECT_FALSE(parsePageInput(refused)) << refused.size();
    }
    std::vector<std::uint8_t> tooLong(4 + PAGE_TEXT_LIMIT, 0x61);
    tooLong[0] = 0xDA;
    tooLong[1] = 0x72;
    tooLong[2] = 1;
    EXPECT_FALSE(parsePageInput(tooLong));
    tooLong.pop_back();
    EXPECT_TRUE(parsePageInput(tooLong));

    // One key with its modifiers: Control+Shift+Home.
    EXPECT_EQ(std::get<PageKeys>(*parsePageInput(bytes({0xDA, 0x72, 2, 3, 0x50, 0xFF, 0, 0}))),
        (PageKeys{{0xFF50}, key_modifiers::shift | key_modifiers::control}));
    EXPECT_FALSE(parsePageInput(bytes({0xDA, 0x72, 2, 3, 0, 0, 0, 0})));
    EXPECT_FALSE(parsePageInput(bytes({0xDA, 0x72, 2, 16, 0x50, 0xFF, 0, 0})));
}

} // namespace
} // namespace qb
