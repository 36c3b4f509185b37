#include "core/DeviceEvents.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

using K = StatusKind;

TEST(DeviceEventsTest, PlugInStartsOnlyWhereAStartIsWanted)
{
    const auto plugIn = [](K status, bool autoStart, bool resume = false, bool onlyPages = false) {
        return plugInAction({status, autoStart, resume, onlyPages});
    };
    EXPECT_EQ(plugIn(K::idle, true), PlugInAction::start);
    EXPECT_EQ(plugIn(K::idle, false, true), PlugInAction::nothing);
    EXPECT_EQ(plugIn(K::waitingForDevice, false, true), PlugInAction::startFromWaiting); // an unplug's wait
    EXPECT_EQ(plugIn(K::waitingForDevice, false), PlugInAction::nothing);
    EXPECT_EQ(plugIn(K::stopping, true), PlugInAction::startAfterTeardown);
    EXPECT_EQ(plugIn(K::running, true, false, true), PlugInAction::restartBesidePages);
    EXPECT_EQ(plugIn(K::running, false, false, true), PlugInAction::reconnect);
    EXPECT_EQ(plugIn(K::starting, true, true), PlugInAction::nothing);
    EXPECT_EQ(plugIn(K::error, true, true), PlugInAction::nothing);
}

TEST(DeviceEventsTest, UnplugStopAndWaitCompanionAndHotkey)
{
    EXPECT_EQ(unplugAction(K::running, true, false), UnplugAction::stop);
    EXPECT_EQ(unplugAction(K::running, true, true), UnplugAction::keepForNetworkSession);
    EXPECT_EQ(unplugAction(K::running, false, false), UnplugAction::nothing);
    EXPECT_EQ(afterUnplugStop(true, K::idle, false), AfterUnplugStop::waitForDevice);
    EXPECT_EQ(afterUnplugStop(true, K::idle, true), AfterUnplugStop::startAgain);
    EXPECT_EQ(afterUnplugStop(false, K::idle, true), AfterUnplugStop::nothing); // a stop came since

    EXPECT_FALSE(companionRequestStarts(K::idle, false));
    EXPECT_FALSE(companionRequestStarts(K::running, true));

    EXPECT_EQ(toggleAction(K::stopping, false, ConnectionMode::usb), ToggleAction::stop);
    EXPECT_EQ(toggleAction(K::starting, true, ConnectionMode::usb), ToggleAction::nothing);
    EXPECT_EQ(toggleAction(K::idle, false, ConnectionMode::usb), ToggleAction::waitForDevice);
    EXPECT_EQ(toggleAction(K::waitingForDevice, false, ConnectionMode::wifi), ToggleAction::start); // no cable needed
}

} // namespace
} // namespace qb
