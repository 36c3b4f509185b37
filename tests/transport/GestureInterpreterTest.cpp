#include "transport/GestureInterpreter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace qb {
namespace {

// The display spans x 100..1100, y 50..850: the centre is (600, 450).
const std::optional<InputInjector::Bounds> DISPLAY = InputInjector::Bounds{100, 50, 1000, 800};

TouchMessage down(float x, float y) { return {static_cast<std::uint8_t>(TouchType::down), x, y, 0, 0}; }
TouchMessage move(float x, float y) { return {static_cast<std::uint8_t>(TouchType::move), x, y, 0, 0}; }
TouchMessage up(float x, float y) { return {static_cast<std::uint8_t>(TouchType::up), x, y, 0, 0}; }
TouchMessage scroll(float dx, float dy) { return {static_cast<std::uint8_t>(TouchType::scroll), 0.9f, 0.9f, dx, dy}; }

std::vector<std::string> described(const PointerActions& actions)
{
    std::vector<std::string> out;
    for (const auto& a : actions) {
        out.push_back(a.kind == PointerAction::Kind::mouse
                ? fmt::format("{} {:g},{:g}", mouseEventTypeName(a.mouse), a.at.x, a.at.y)
                : fmt::format("scroll {} v={} h={}", scrollPhaseName(a.phase), a.vertical, a.horizontal));
    }
    return out;
}

// Plays the messages and returns every action they gave, in order.
std::vector<std::string> play(GestureInterpreter& g, std::initializer_list<TouchMessage> messages,
    const std::optional<InputInjector::Bounds>& display = DISPLAY)
{
    PointerActions all;
    for (const auto& m : messages) {
        auto actions = g.touch(m, display);
        all.insert(all.end(), actions.begin(), actions.end());
    }
    return described(all);
}

using Lines = std::vector<std::string>;

TEST(GestureInterpreter, TapsClickWhereTheFingerWentDownLongerMovesDrag)
{
    GestureInterpreter g;
    // A finger that wanders 7.9 points is still a tap, and it clicks where it
    // went down, not where it came up.
    EXPECT_EQ(play(g, {down(0.5f, 0.5f), move(0.505f, 0.5f), move(0.5f, 0.50987f), up(0.505f, 0.5f)}),
        (Lines{"moved 600,450", "leftDown 600,450", "leftUp 600,450"}));
    EXPECT_EQ(play(g, {down(0.5f, 0.5f), move(0.51f, 0.5f), move(0.52f, 0.5f), up(0.53f, 0.5f)}),
        (Lines{"moved 600,450", "leftDown 600,450", "leftDragged 610,450", "leftDragged 620,450", "leftUp 630,450"}));
    // Exactly at the threshold the drag starts.
    const InputInjector::Bounds square{0, 0, 1024, 1024};
    EXPECT_EQ(play(g, {down(0.5f, 0.5f), move(0.5f, 0.5078125f), up(0.5f, 0.5078125f)}, square),
        (Lines{"moved 512,512", "leftDown 512,512", "leftDragged 512,520", "leftUp 512,520"}));
    // Without a touch down, moves only move; a down after a lost up lets go first.
    EXPECT_EQ(play(g, {move(0, 0), down(0.5f, 0.5f), move(0.6f, 0.5f), down(0.5f, 0.5f)}),
        (Lines{"moved 100,50", "moved 600,450", "leftDown 600,450", "leftDragged 700,450", "leftUp 700,450",
            "moved 600,450"}));
}

TEST(GestureInterpreter, ScrollsCarryFractionsAndRunThroughTheirPhases)
{
    GestureInterpreter g;
    // 0.001 scales to 0.8 and bends to 0.748 pixels: nothing yet, carried;
    // the second crosses a whole pixel and begins the gesture at the pointer
    // (the scroll's own position is not used).
    EXPECT_EQ(play(g, {move(0.5f, 0.5f), scroll(0, 0.001f)}), (Lines{"moved 600,450"}));
    EXPECT_FALSE(g.scrollGestureActive());
    EXPECT_EQ(play(g, {scroll(0, 0.001f)}), (Lines{"moved 600,450", "scroll began v=1 h=0"}));
    EXPECT_EQ(described(g.endScroll()), (Lines{"scroll ended v=0 h=0"}));
    EXPECT_TRUE(g.endScroll().empty());

    // Back to back: began then changed, remainders carried on both axes with
    // their signs (8^1.3 = 14.93 -> 14, then 14.93 + 0.93 -> 15); an ended
    // gesture starts the remainders afresh.
    EXPECT_EQ(play(g, {scroll(-0.01f, 0.01f), scroll(-0.01f, 0.01f)}),
        (Lines{"moved 600,450", "scroll began v=14 h=-14", "scroll changed v=15 h=-15"}));
    g.endScroll();
    EXPECT_EQ(play(g, {scroll(0, 0.01f)}), (Lines{"moved 600,450", "scroll began v=14 h=0"}));
    // A message too small for a pixel keeps the gesture active (its pause restarts).
    EXPECT_TRUE(play(g, {scroll(0, 0.0001f)}).empty());
    EXPECT_TRUE(g.scrollGestureActive());
    g.endScroll();

    // Amounts beyond any pixel count are clamped, never a crash.
    EXPECT_EQ(play(g, {scroll(-std::numeric_limits<float>::infinity(), 1e30f), scroll(std::nanf(""), std::nanf(""))}),
        (Lines{"moved 600,450", "scroll began v=2147483647 h=-2147483648"}));
}

TEST(GestureInterpreter, ScrollingDuringATouchCancelsItsClickAndReleasesItsDrag)
{
    GestureInterpreter g;
    EXPECT_EQ(play(g, {down(0.5f, 0.5f), scroll(0, 0.01f), up(0.5f, 0.5f)}),
        (Lines{"moved 600,450", "moved 600,450", "scroll began v=14 h=0"}));
    g.endScroll();
    EXPECT_EQ(play(g, {down(0.5f, 0.5f), move(0.6f, 0.5f), scroll(0, 0.01f), up(0.7f, 0.5f)}),
        (Lines{"moved 600,450", "leftDown 600,450", "leftDragged 700,450", "leftUp 700,450", "moved 700,450",
            "scroll began v=14 h=0"}));
}

TEST(GestureInterpreter, ReleaseLetsGoOfADragAndEndsAScrollAtOnce)
{
    GestureInterpreter g;
    play(g, {down(0.5f, 0.5f), move(0.6f, 0.6f)});
    EXPECT_EQ(described(g.release()), (Lines{"leftUp 700,530"}));
    EXPECT_TRUE(play(g, {up(0.6f, 0.6f)}).empty()); // nothing held any more

    // A resting finger has no button to release; a scroll gesture ends.
    play(g, {scroll(0, 0.01f), down(0.5f, 0.5f)});
    EXPECT_EQ(described(g.release()), (Lines{"scroll ended v=0 h=0"}));
    EXPECT_TRUE(g.release().empty());
}

TEST(GestureInterpreter, OddPositionsTypesAndAMissingDisplay)
{
    GestureInterpreter g;
    // Not-a-number positions are ignored; off-display ones land on its edge;
    // unknown types do nothing.
    EXPECT_EQ(play(g, {move(std::nanf(""), 0.5f), move(std::numeric_limits<float>::infinity(), 0.5f),
                          move(-3.f, 42.f), {9, 0.1f, 0.1f, 0, 0}}),
        (Lines{"moved 100,850"}));
    // Without a display, down and move do nothing; scrolling still works and
    // an up lands where the pointer is.
    EXPECT_EQ(play(g, {down(0.5f, 0.5f), scroll(0, 0.01f), up(0.5f, 0.5f)}, std::nullopt),
        (Lines{"moved 100,850", "scroll began v=14 h=0"}));
}

} // namespace
} // namespace qb
