#include <gtest/gtest.h>

#include "diagnostics/PlatformLog.h"
#include "pipeline/VirtualDisplayManager.h"
#include "platform/sim/SimBackends.h"
#include "platform/sim/SimWorld.h"

namespace qb {
namespace {

using Strings = std::vector<std::string>;

// The log lines of one component, without the time stamp or prefix the sink adds.
Strings linesFrom(const PlatformLogCapture& log, std::string_view tag)
{
    Strings out;
    for (const auto& line : log.lines()) {
        auto at = line.find(tag);
        if (at != std::string::npos) out.push_back(line.substr(at));
    }
    return out;
}

class VirtualDisplayManagerTest : public ::testing::Test {
protected:
    void SetUp() override { world.reset(); }

    std::unique_ptr<VirtualDisplayManager> make(std::uint64_t w, std::uint64_t h, bool hiDPI,
        std::string_view device = "device-A")
    {
        return std::make_unique<VirtualDisplayManager>(w, h, hiDPI, "Daylight DC-1",
            VirtualDisplayManager::claimSerial(device), sim::makeSimVirtualDisplays());
    }

    std::uint32_t builtInMirror() { return world.display(sim::SimWorld::BUILT_IN_DISPLAY_ID)->mirrorOf; }

    sim::SimWorld& world = sim::SimWorld::shared();
};

TEST_F(VirtualDisplayManagerTest, SerialsAreStableHashesUniqueUntilReleasedAndWrapPastTheLargestNumber)
{
    // FNV-1a of the device string, so a device keeps its display across runs.
    EXPECT_EQ(VirtualDisplayManager::stableSerial("a"), 0xE40C292Cu);
    EXPECT_EQ(VirtualDisplayManager::stableSerial("foobar"), 0xBF9CF968u);

    const std::uint32_t hash = VirtualDisplayManager::stableSerial("device-A");
    auto first = make(64, 64, false, "device-A");
    auto second = make(64, 64, false, "device-A"); // same string: same hash, next number
    EXPECT_EQ(first->claimedSerial(), hash);
    EXPECT_EQ(second->claimedSerial(), hash + 1);
    EXPECT_EQ(world.display(second->displayID())->descriptor.serialNumber, hash + 1);

    first.reset();
    EXPECT_FALSE(VirtualDisplayManager::isSerialClaimed(hash));
    EXPECT_TRUE(VirtualDisplayManager::isSerialClaimed(hash + 1));
    auto again = make(64, 64, false, "device-A");
    EXPECT_EQ(again->claimedSerial(), hash) << "the first device gets its own number back";

    // "wrap-a9xjwu5" hashes to 4294967295: a second claim wraps to 1, never 0.
    ASSERT_EQ(VirtualDisplayManager::stableSerial("wrap-a9xjwu5"), 4294967295u);
    auto top = make(8, 8, false, "wrap-a9xjwu5");
    auto wrapped = make(8, 8, false, "wrap-a9xjwu5");
    auto next = make(8, 8, false, "wrap-a9xjwu5");
    EXPECT_EQ(top->claimedSerial(), 4294967295u);
    EXPECT_EQ(wrapped->claimedSerial(), 1u);
    EXPECT_EQ(next->claimedSerial(), 2u);
}

TEST_F(VirtualDisplayManagerTest, CreatesHiDPIAndPlainDisplaysWithTheirSingleMode)
{
    PlatformLogCapture log;
    auto hiDPI = make(1600, 1200, true);
    ASSERT_TRUE(hiDPI->hasDisplay());
    const auto id = hiDPI->displayID();
    auto state = world.display(id);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->descriptor.maxPixelsWide, 1600u);
    EXPECT_DOUBLE_EQ(state->descriptor.widthMillimetres, 406.4); // 100 pixels per inch
    ASSERT_TRUE(state->currentMode());
    EXPECT_EQ(state->currentMode()->width, 800u);
    EXPECT_EQ(state->currentMode()->pixelWidth, 1600u) << "the HiDPI mode, not its low-resolution twin";
    EXPECT_DOUBLE_EQ(state->currentMode()->refreshRate, 60.0);
    EXPECT_EQ(linesFrom(log, "[VirtualDisplay]"),
        (Strings{"[VirtualDisplay] Created: ID " + std::to_string(id),
            "[VirtualDisplay] Configured: 1600x1200 HiDPI (800x600 logical @ 2x) @ 60Hz",
            "[VirtualDisplay] HiDPI mode activated: 800x600 logical → 1600x1200px"}));

    log.clear();
    auto plain = make(1600, 1200, false, "device-B");
    const auto plainId = plain->displayID();
    state = world.display(plainId);
    ASSERT_EQ(state->modes.size(), 1u);
    EXPECT_EQ(state->modes[0].width, 1600u);
    EXPECT_EQ(state->modes[0].pixelWidth, 1600u);
    EXPECT_EQ(linesFrom(log, "[VirtualDisplay]"),
        (Strings{"[VirtualDisplay] Created: ID " + std::to_string(plainId),
            "[VirtualDisplay] Configured: 1600x1200 non-HiDPI @ 60Hz"}));

    // Releasing removes the display and frees the serial.
    const auto serial = plain->claimedSerial();
    plain.reset();
    EXPECT_FALSE(world.display(plainId));
    EXPECT_FALSE(VirtualDisplayManager::isSerialClaimed(serial));
}

TEST_F(VirtualDisplayManagerTest, HiDPISelectionFailuresAreLoggedAndLeaveTheDisplayUsable)
{
    PlatformLogCapture log;
    world.updateFailures([](sim::SimFailures& f) {
        f.omitHiDPIModes = true;
        f.extraModes = {{0, 1280, 800, 2560, 1600, 60}};
    });
    auto missing = make(1600, 1200, true);
    auto lines = linesFrom(log, "[VirtualDisplay]");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], "[VirtualDisplay] WARNING: HiDPI mode 800x600 → 1600x1200 not found");
    EXPECT_EQ(lines[3], "[VirtualDisplay]   available: 800x600 → 800x600");
    EXPECT_EQ(lines[4], "[VirtualDisplay]   available: 1280x800 → 2560x1600 [HiDPI]");
    EXPECT_TRUE(missing->hasDisplay());

    const std::vector<std::pair<std::function<void(sim::SimFailures&)>, std::string>> cases = {
        {[](auto& f) { f.setModeError = 1001; }, "[VirtualDisplay] WARNING: XRRSetCrtcConfig failed with code 1001"},
        {[](auto& f) { f.copyModesFails = true; },
            "[VirtualDisplay] WARNING: Could not enumerate display modes for HiDPI selection"},
        {[](auto& f) { f.applySettingsFails = true; },
            "[VirtualDisplay] WARNING: Failed to apply virtual display settings"},
    };
    int device = 0;
    for (const auto& [fail, line] : cases) {
        world.updateFailures([&](sim::SimFailures& f) {
            f = {};
            fail(f);
        });
        log.clear();
        auto manager = make(1600, 1200, true, "device-" + std::to_string(++device));
        EXPECT_EQ(linesFrom(log, "[VirtualDisplay]").back(), line);
        EXPECT_TRUE(manager->hasDisplay()) << line;
    }
}

TEST_F(VirtualDisplayManagerTest, MirrorAndUnmirrorRunTheFourConfigurationSteps)
{
    auto manager = make(1200, 1600, false);
    const auto id = manager->displayID();
    const std::string ids = std::to_string(id);
    PlatformLogCapture log;

    manager->mirrorBuiltInDisplay();
    EXPECT_EQ(builtInMirror(), id);
    EXPECT_EQ(world.configurationLog(), (Strings{"begin", "mirror 1 of " + ids, "complete forSession"}));
    EXPECT_TRUE(log.contains("[VirtualDisplay] Mirroring: built-in display 1 -> virtual display " + ids));

    manager->unmirrorBuiltInDisplay("Extend");
    EXPECT_EQ(builtInMirror(), NULL_DISPLAY_ID);
    EXPECT_EQ(world.configurationLog().at(4), "mirror 1 of 0");
    EXPECT_TRUE(log.contains("[VirtualDisplay:Extend] Unmirrored: virtual display " + ids + " is now standalone"));

    // Releasing a mirrored display leaves the built-in display standing alone.
    manager->mirrorBuiltInDisplay();
    manager.reset();
    EXPECT_EQ(builtInMirror(), NULL_DISPLAY_ID);
}

TEST_F(VirtualDisplayManagerTest, ConfigurationFailuresChangeNothingAndCancelWhatWasBegun)
{
    auto manager = make(1200, 1600, false);
    PlatformLogCapture log;
    struct Case {
        std::function<void(sim::SimFailures&)> fail;
        std::string mirrorLine;
        std::string unmirrorLine;
        bool cancels;
    };
    const std::vector<Case> cases = {
        {[](auto& f) { f.beginConfigurationFails = true; }, "[VirtualDisplay] WARNING: Failed to begin display configuration",
            "[VirtualDisplay:Extend] Failed to begin display configuration for unmirror", false},
        {[](auto& f) { f.configureMirrorError = 1001; }, "[VirtualDisplay] WARNING: Failed to configure mirror",
            "[VirtualDisplay:Extend] Failed to configure unmirror", true},
        {[](auto& f) { f.completeError = 1004; }, "[VirtualDisplay] WARNING: Failed to complete mirror configuration",
            "[VirtualDisplay:Extend] Failed to complete unmirror configuration", false},
    };
    for (const auto& c : cases) {
        world.updateFailures([](sim::SimFailures& f) { f = {}; });
        manager->unmirrorBuiltInDisplay("Extend");
        world.updateFailures(c.fail);
        log.clear();

        manager->mirrorBuiltInDisplay();
        EXPECT_EQ(builtInMirror(), NULL_DISPLAY_ID) << c.mirrorLine;
        EXPECT_EQ(linesFrom(log, "[VirtualDisplay").back(), c.mirrorLine);
        EXPECT_EQ(world.configurationLog().back() == "cancel", c.cancels) << c.mirrorLine;

        // The unmirror of a mirrored built-in display fails the same way and keeps the mirror.
        world.updateFailures([](sim::SimFailures& f) { f = {}; });
        manager->mirrorBuiltInDisplay();
        world.updateFailures(c.fail);
        manager->unmirrorBuiltInDisplay("Extend");
        EXPECT_EQ(builtInMirror(), manager->displayID()) << c.unmirrorLine;
        EXPECT_EQ(linesFrom(log, "[VirtualDisplay").back(), c.unmirrorLine);
    }

    // Without a built-in display there is nothing to (un)mirror.
    world.updateFailures([](sim::SimFailures& f) { f = {}; });
    world.removeBuiltInDisplay();
    log.clear();
    const auto steps = world.configurationLog().size();
    manager->mirrorBuiltInDisplay();
    manager->unmirrorBuiltInDisplay("Extend");
    EXPECT_EQ(linesFrom(log, "[VirtualDisplay"),
        (Strings{"[VirtualDisplay] WARNING: No built-in display found",
            "[VirtualDisplay:Extend] No built-in display found to unmirror"}));
    EXPECT_EQ(world.configurationLog().size(), steps);
}

TEST_F(VirtualDisplayManagerTest, FailedCreationStillFreesTheSerialAndNeverMirrorsNothing)
{
    world.updateFailures([](sim::SimFailures& f) { f.createDisplayFails = true; });
    PlatformLogCapture log;
    auto manager = make(1600, 1200, true);
    EXPECT_FALSE(manager->hasDisplay());
    EXPECT_TRUE(log.contains("[VirtualDisplay] WARNING: Failed to create virtual display"));

    // "Mirror of display 0" would end mirroring instead: refused.
    world.updateFailures([](sim::SimFailures& f) { f = {}; });
    auto other = make(64, 64, false, "device-B");
    other->mirrorBuiltInDisplay();
    manager->mirrorBuiltInDisplay();
    EXPECT_EQ(builtInMirror(), other->displayID());

    const auto serial = manager->claimedSerial();
    manager.reset();
    EXPECT_FALSE(VirtualDisplayManager::isSerialClaimed(serial));

    auto huge = std::make_unique<VirtualDisplayManager>(std::uint64_t(1) << 33, 100, false, "x", 77,
        sim::makeSimVirtualDisplays());
    EXPECT_FALSE(huge->hasDisplay()) << "a width beyond 32 bits is refused, not truncated";
}

} // namespace
} // namespace qb
