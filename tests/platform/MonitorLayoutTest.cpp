// The layout arithmetic behind the GNOME virtual monitor's scale: the
// layouts Mutter would refuse (a gap, an overlap, an offset, no primary)
// never come out of it.
#include <gtest/gtest.h>

#include "platform/gnome/MonitorLayout.h"

namespace qb::gnome {
namespace {

// "connector WxH+X+Y[ primary]" of each logical monitor.
std::vector<std::string> describe(const MonitorLayout& layout)
{
    std::vector<std::string> text;
    for (const auto& m : layout) {
        text.push_back(m.connectors.front() + " " + std::to_string(m.width) + "x" + std::to_string(m.height) + "+"
            + std::to_string(m.x) + "+" + std::to_string(m.y) + (m.primary ? " primary" : ""));
    }
    return text;
}

LogicalMonitor monitor(const char* connector, int x, int y, int width, int height, bool primary = false)
{
    return {.x = x, .y = y, .width = width, .height = height, .primary = primary, .connectors = {connector}};
}

TEST(MonitorLayout, OursComesAtTheEndScalesInPlaceAndItsGoingLeavesTheUsersLayout)
{
    // The user's primary right of the laptop, a third monitor below it.
    const MonitorLayout users{monitor("eDP-1", 0, 0, 1280, 800), monitor("DP-1", 1280, 0, 1024, 768, true),
        monitor("DP-2", 1280, 768, 1920, 1080)};
    auto layout = withMonitorAtEnd(users, monitor("Meta-0", 0, 0, 1600, 1200));
    EXPECT_EQ(describe(layout).back(), "Meta-0 1600x1200+3200+768");
    EXPECT_EQ(describe(withoutMonitor(layout, "Meta-0")), describe(users));

    // Ours between the laptop and the primary, made 800x600 (scale 2): the
    // monitors right of it move with its edge, those below with its bottom,
    // unless that would put them over another.
    layout = {monitor("eDP-1", 0, 0, 1280, 800), monitor("Meta-0", 1280, 0, 1600, 1200),
        monitor("DP-1", 2880, 0, 1024, 768, true), monitor("DP-2", 1280, 1200, 800, 600),
        monitor("DP-3", 0, 1200, 1280, 1024)};
    resizeMonitor(layout, "Meta-0", 800, 600);
    EXPECT_EQ(describe(layout), (std::vector<std::string>{"eDP-1 1280x800+0+0", "Meta-0 800x600+1280+0",
                                    "DP-1 1024x768+2080+0 primary", "DP-2 800x600+1280+600",
                                    "DP-3 1280x1024+0+1200"}));

    // Gone from the left end while the primary: the others start at 0,0 and one is the primary.
    layout = {monitor("Meta-0", 0, 0, 800, 600, true), monitor("eDP-1", 800, 0, 1280, 800)};
    EXPECT_EQ(describe(withoutMonitor(layout, "Meta-0")), std::vector<std::string>{"eDP-1 1280x800+0+0 primary"});
}

} // namespace
} // namespace qb::gnome
