#include <functional>

#include <gtest/gtest.h>

#include "pipeline/VirtualDisplayManager.h"
#include "platform/sim/SimBackends.h"
#include "platform/sim/SimWorld.h"

namespace qb {
namespace {

using Strings = std::vector<std::string>;

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

TEST_F(VirtualDisplayManagerTest, SerialsAreStableHashesUniqueUntilReleased)
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
}

TEST_F(VirtualDisplayManagerTest, CreatesHiDPIAndPlainDisplaysWithTheirSingleMode)
{
    auto hiDPI = make(1600, 1200, true);
    ASSERT_TRUE(hiDPI->hasDisplay());
    const auto id = hiDPI->displayID();
    auto state = world.display(id);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->descriptor.maxPixelsWide, 1600u);
    ASSERT_TRUE(state->currentMode());
    EXPECT_EQ(state->currentMode()->width, 800u);
    EXPECT_EQ(state->currentMode()->pixelWidth, 1600u) << "the HiDPI mode, not its low-resolution twin";
    EXPECT_TRUE(hiDPI->hiDPIActive());
    // A desktop that refuses the mode, or lists none: the display is not
    // HiDPI, and says so.
    using Failure = std::function<void(sim::SimFailures&)>;
    for (const Failure& fail : {Failure([](auto& f) { f.setModeError = 1004; }),
             Failure([](auto& f) { f.omitHiDPIModes = true; }), Failure([](auto& f) { f.applySettingsFails = true; })}) {
        world.updateFailures([&](sim::SimFailures& f) { f = {}, fail(f); });
        EXPECT_FALSE(make(1600, 1200, true, "device-C")->hiDPIActive());
    }
    world.updateFailures([](sim::SimFailures& f) { f = {}; });
    auto plain = make(1600, 1200, false, "device-B");
    EXPECT_FALSE(plain->hiDPIActive());
    const auto plainId = plain->displayID();
    state = world.display(plainId);
    ASSERT_EQ(state->modes.size(), 1u);
    EXPECT_EQ(state->modes[0].width, 1600u);
    EXPECT_EQ(state->modes[0].pixelWidth, 1600u);
}

TEST_F(VirtualDisplayManagerTest, MirrorAndUnmirrorRunTheFourConfigurationSteps)
{
    auto manager = make(1200, 1600, false);
    const auto id = manager->displayID();
    const std::string ids = std::to_string(id);

    manager->mirrorBuiltInDisplay();
    EXPECT_EQ(builtInMirror(), id);
    EXPECT_EQ(world.configurationLog(), (Strings{"begin", "mirror 1 of " + ids, "complete forSession"}));

    manager->unmirrorBuiltInDisplay("Extend");
    EXPECT_EQ(builtInMirror(), NULL_DISPLAY_ID);
    EXPECT_EQ(world.configurationLog().at(4), "mirror 1 of 0");

    // Releasing a mirrored display leaves the built-in display standing alone.
    manager->mirrorBuiltInDisplay();
    manager.reset();
    EXPECT_EQ(builtInMirror(), NULL_DISPLAY_ID);
}

TEST_F(VirtualDisplayManagerTest, ConfigurationFailuresChangeNothingAndCancelWhatWasBegun)
{
    auto manager = make(1200, 1600, false);
    struct Case {
        std::function<void(sim::SimFailures&)> fail;
        bool cancels;
    };
    const std::vector<Case> cases = {
        {[](auto& f) { f.beginConfigurationFails = true; }, false},
        {[](auto& f) { f.configureMirrorError = 1001; }, true},
        {[](auto& f) { f.completeError = 1004; }, false},
    };
    for (const auto& c : cases) {
        world.updateFailures([](sim::SimFailures& f) { f = {}; });
        manager->unmirrorBuiltInDisplay("Extend");
        world.updateFailures(c.fail);
        manager->mirrorBuiltInDisplay();
        EXPECT_EQ(builtInMirror(), NULL_DISPLAY_ID);
        EXPECT_EQ(world.configurationLog().back() == "cancel", c.cancels);
    }
}

TEST_F(VirtualDisplayManagerTest, FailedCreationStillFreesTheSerialAndNeverMirrorsNothing)
{
    world.updateFailures([](sim::SimFailures& f) { f.createDisplayFails = true; });
    auto manager = make(1600, 1200, true);
    EXPECT_FALSE(manager->hasDisplay());

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
