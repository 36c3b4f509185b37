#include "transport/PageGestureInterpreter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fmt/format.h>

namespace qb {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The display spans x 100..1100, y 50..850; the picture on the page is
// 500x400 device pixels at density 2 (a CSS pixel is 2 device pixels).
const std::optional<InputInjector::Bounds> DISPLAY = InputInjector::Bounds{100, 50, 1000, 800};
const Clock::time_point T0{};

PagePointer event(PagePhase phase, PageDevice device, std::uint8_t id, float x, float y, std::uint8_t buttons = 0)
{
    PagePointer p;
    p.phase = phase;
    p.device = device;
    p.id = id;
    p.buttons = buttons;
    p.x = x;
    p.y = y;
    p.width = 500;
    p.height = 400;
    p.density = 2;
    return p;
}
PagePointer finger(PagePhase phase, std::uint8_t id, float x, float y)
{
    return event(phase, PageDevice::finger, id, x, y, phase == PagePhase::up ? 0 : page_buttons::contact);
}

std::vector<std::string> described(const PointerActions& actions)
{
    std::vector<std::string> out;
    for (const auto& a : actions) {
        if (a.kind == PointerAction::Kind::mouse) {
            out.push_back(fmt::format("{} {:g},{:g}", mouseEventTypeName(a.mouse), a.at.x, a.at.y));
        } else if (a.kind == PointerAction::Kind::scroll) {
            out.push_back(fmt::format("scroll {} v={} h={}", scrollPhaseName(a.phase), a.vertical, a.horizontal));
        } else {
            out.push_back(fmt::format("key {:#x} {}", a.keysym, a.keyDown ? "down" : "up"));
        }
    }
    return out;
}

// Plays timed events and gives every action, long presses included.
struct Player {
    PageGestureInterpreter gestures;
    std::vector<std::string> seen;
    void at(Clock::duration when, const PagePointer& p)
    {
        const auto now = T0 + when;
        if (const auto due = gestures.deadline(); due && *due <= now) append(gestures.expire(*due));
        append(gestures.pointer(p, DISPLAY, now));
    }
    void append(const PointerActions& actions)
    {
        for (auto& line : described(actions)) seen.push_back(line);
    }
};

TEST(PageGestureInterpreterTest, APenHoversWithoutPressingClicksOnContactAndItsBarrelButtonIsTheRightButton)
{
    Player p;
    p.at(0ms, event(PagePhase::move, PageDevice::pen, 1, 0.5f, 0.5f));
    EXPECT_FALSE(p.gestures.pen()->touching);
    auto down = event(PagePhase::down, PageDevice::pen, 1, 0.5f, 0.5f, page_buttons::contact);
    down.pressure = 0.5f;
    down.tiltX = 30;
    down.tiltY = -12;
    p.at(10ms, down);
    EXPECT_EQ(p.gestures.pen(), (PenReading{0.5, 30, -12, false, true, false}));
    p.at(20ms, event(PagePhase::move, PageDevice::pen, 1, 0.6f, 0.5f, page_buttons::contact));
    p.at(30ms, event(PagePhase::up, PageDevice::pen, 1, 0.6f, 0.5f));
    p.at(40ms, event(PagePhase::down, PageDevice::pen, 1, 0.2f, 0.25f, page_buttons::contact | page_buttons::barrel));
    p.at(50ms, event(PagePhase::leave, PageDevice::pen, 1, 0.2f, 0.25f)); // out of range while pressed
    p.at(60ms, event(PagePhase::down, PageDevice::pen, 1, 0.2f, 0.25f, page_buttons::eraser));
    EXPECT_TRUE(p.gestures.pen()->eraser);
    EXPECT_EQ(p.seen, (std::vector<std::string>{"moved 600,450", "moved 600,450", "leftDown 600,450",
                          "leftDragged 700,450", "leftUp 700,450", "moved 300,250", "rightDown 300,250",
                          "rightUp 300,250", "moved 300,250", "leftDown 300,250"}));
    EXPECT_EQ(described(p.gestures.release()), (std::vector<std::string>{"leftUp 300,250"}));
    EXPECT_TRUE(p.gestures.release().empty());
}

TEST(PageGestureInterpreterTest, FingersAreIgnoredWhileAPenIsNearAndForAWhileAfterItLeaves)
{
    Player p;
    p.at(0ms, event(PagePhase::move, PageDevice::pen, 1, 0.5f, 0.5f));
    p.at(10ms, event(PagePhase::down, PageDevice::pen, 1, 0.5f, 0.5f, page_buttons::contact));
    p.at(20ms, finger(PagePhase::down, 2, 0.9f, 0.9f)); // the palm
    p.at(30ms, finger(PagePhase::move, 2, 0.5f, 0.1f));
    p.at(40ms, finger(PagePhase::up, 2, 0.5f, 0.1f));
    p.at(50ms, event(PagePhase::up, PageDevice::pen, 1, 0.5f, 0.5f));
    p.at(60ms, event(PagePhase::leave, PageDevice::pen, 1, 0.5f, 0.5f));
    p.at(500ms, finger(PagePhase::down, 2, 0.9f, 0.9f)); // within the grace after leaving
    p.at(600ms, finger(PagePhase::up, 2, 0.9f, 0.9f));
    const std::size_t penOnly = p.seen.size();
    EXPECT_EQ(penOnly, 4u) << testing::PrintToString(p.seen); // moved, moved, down, up of the pen
    p.at(700ms, finger(PagePhase::down, 2, 0.1f, 0.1f));       // the grace is over: a tap
    p.at(750ms, finger(PagePhase::up, 2, 0.1f, 0.1f));
    EXPECT_EQ(std::vector(p.seen.begin() + long(penOnly), p.seen.end()),
        (std::vector<std::string>{"moved 200,130", "moved 200,130", "leftDown 200,130", "leftUp 200,130"}));

    // A pen arriving mid-drag ends the drag; a pen in range that falls
    // silent stops blocking fingers after its silence and the grace.
    Player q;
    q.at(0ms, finger(PagePhase::down, 1, 0.1f, 0.1f));
    q.at(10ms, finger(PagePhase::move, 1, 0.3f, 0.1f));
    q.at(20ms, event(PagePhase::move, PageDevice::pen, 9, 0.5f, 0.5f));
    q.at(30ms, finger(PagePhase::move, 1, 0.4f, 0.1f));
    q.at(40ms, finger(PagePhase::up, 1, 0.4f, 0.1f));
    EXPECT_EQ(q.seen, (std::vector<std::string>{"moved 200,130", "leftDown 200,130", "leftDragged 400,130",
                          "leftUp 400,130", "moved 600,450"}));
    q.seen.clear();
    q.at(3519ms, finger(PagePhase::down, 1, 0.1f, 0.1f));
    q.at(3520ms, finger(PagePhase::up, 1, 0.1f, 0.1f));
    EXPECT_TRUE(q.seen.empty());
    q.at(3521ms, finger(PagePhase::down, 1, 0.1f, 0.1f));
    q.at(3522ms, finger(PagePhase::up, 1, 0.1f, 0.1f));
    EXPECT_EQ(q.seen.size(), 4u);
}

TEST(PageGestureInterpreterTest, FingerGesturesAreToldApartByCountTravelAndTime)
{
    // A long press (still within 12 CSS = 24 device pixels) clicks right,
    // once, even when its deadline is met late; its lift adds nothing.
    Player p;
    p.at(0ms, finger(PagePhase::down, 1, 0.5f, 0.5f));
    p.at(100ms, finger(PagePhase::move, 1, 0.54f, 0.5f)); // 20 device pixels
    EXPECT_EQ(p.gestures.deadline(), T0 + 600ms);
    p.at(900ms, finger(PagePhase::up, 1, 0.54f, 0.5f));
    EXPECT_EQ(p.seen, (std::vector<std::string>{"moved 600,450", "moved 600,450", "rightDown 600,450",
                          "rightUp 600,450"}));

    // Two fingers lifted at once: a right click between them; three: a middle click.
    Player two;
    two.at(0ms, finger(PagePhase::down, 1, 0.4f, 0.5f));
    two.at(10ms, finger(PagePhase::down, 2, 0.6f, 0.5f));
    two.at(100ms, finger(PagePhase::up, 1, 0.4f, 0.5f));
    two.at(110ms, finger(PagePhase::up, 2, 0.6f, 0.5f));
    EXPECT_EQ(std::vector(two.seen.end() - 2, two.seen.end()),
        (std::vector<std::string>{"rightDown 600,450", "rightUp 600,450"}));
    Player three;
    for (std::uint8_t id = 1; id <= 3; ++id) three.at(id * 10ms, finger(PagePhase::down, id, 0.2f * id, 0.5f));
    for (std::uint8_t id = 1; id <= 3; ++id) three.at(100ms + id * 10ms, finger(PagePhase::up, id, 0.2f * id, 0.5f));
    EXPECT_EQ(std::vector(three.seen.end() - 2, three.seen.end()),
        (std::vector<std::string>{"middleDown 500,450", "middleUp 500,450"}));

    // Two fingers moving together scroll, with the pointer between them;
    // spread apart they zoom: Control held around scrolling up ("v=+": a
    // positive amount, whatever it is).
    const struct {
        float x1, y1, x2, y2; // where the fingers at 0.4 and 0.6 across, half-way down, move to
        std::vector<std::string> seen;
    } twoFingers[] = {
        {0.4f, 0.6f, 0.6f, 0.6f, {"moved 600,450", "scroll began v=+", "scroll ended v=0 h=0"}},
        {0.3f, 0.5f, 0.8f, 0.5f,
            {"moved 600,450", "key 0xffe3 down", "scroll began v=+", "scroll ended v=0 h=0", "key 0xffe3 up"}},
    };
    for (const auto& c : twoFingers) {
        Player two;
        two.at(0ms, finger(PagePhase::down, 1, 0.4f, 0.5f));
        two.at(10ms, finger(PagePhase::down, 2, 0.6f, 0.5f));
        two.at(20ms, finger(PagePhase::move, 1, c.x1, c.y1));
        two.at(30ms, finger(PagePhase::move, 2, c.x2, c.y2));
        two.at(40ms, finger(PagePhase::up, 1, c.x1, c.y1));
        two.at(50ms, finger(PagePhase::up, 2, c.x2, c.y2));
        std::vector<std::string> seen(two.seen.begin() + 1, two.seen.end());
        for (auto& line : seen) {
            if (line.starts_with("scroll began v=") && !line.starts_with("scroll began v=-")) line = "scroll began v=+";
        }
        EXPECT_EQ(seen, c.seen) << testing::PrintToString(two.seen);
    }

    // Thresholds follow the density: the same 20 device pixels are a drag at density 1.
    Player low;
    auto start = finger(PagePhase::down, 1, 0.5f, 0.5f);
    auto moved = finger(PagePhase::move, 1, 0.54f, 0.5f);
    start.density = moved.density = 1;
    low.at(0ms, start);
    low.at(10ms, moved);
    EXPECT_EQ(low.seen.back(), "leftDragged 640,450");
}

TEST(PageGestureInterpreterTest, KeysHoldTheirModifiersAroundThem)
{
    const PageGestureInterpreter gestures;
    EXPECT_EQ(described(gestures.keys({{0x63}, key_modifiers::control | key_modifiers::shift})),
        (std::vector<std::string>{"key 0xffe3 down", "key 0xffe1 down", "key 0x63 down", "key 0x63 up",
            "key 0xffe1 up", "key 0xffe3 up"}));
    EXPECT_EQ(described(gestures.keys({{0xe9, 0x10020ac}, 0})),
        (std::vector<std::string>{"key 0xe9 down", "key 0xe9 up", "key 0x10020ac down", "key 0x10020ac up"}));
}

} // namespace
} // namespace qb
