// Desktop notifications reach the notification service on the session bus
// (python3-dbusmock's notification daemon on a private bus), one per call,
// and a missing service costs the caller nothing.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "host/MockLogind.h"
#include "platform/DesktopNotifications.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using test::eventually;

class DesktopNotificationsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!bus_.skipReason().empty()) GTEST_SKIP() << bus_.skipReason();
    }
    std::vector<std::string> calls() const { return bus_.calls("Notify"); }

    test::DbusMock bus_{"notification_daemon", "DBUS_SESSION_BUS_ADDRESS", "org.freedesktop.Notifications", false};
    const std::string& address_ = bus_.address();
};

TEST_F(DesktopNotificationsTest, EachMessageReachesTheServiceOnceAndAMissingServiceBlocksNobody)
{
    // No service yet: the call returns at once and the message is dropped.
    auto notes = makeFreedesktopNotifications({address_, 500ms});
    const auto before = std::chrono::steady_clock::now();
    notes->notify("Tablet needs authorising", "Allow USB debugging on DC-1");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms);

    // The service comes up later: the next messages arrive, each once, in order.
    ASSERT_TRUE(bus_.startService());
    notes->notify("Mirroring started", "DC-1 shows the desktop");
    notes->notify("Mirroring stopped", "DC-1");
    ASSERT_TRUE(eventually([&] { return calls().size() >= 2; }, 10s));
    std::this_thread::sleep_for(200ms);
    const auto received = calls();
    ASSERT_EQ(received.size(), 2U);
    EXPECT_NE(received[0].find("\"QuillBright\""), std::string::npos) << received[0];
    EXPECT_NE(received[0].find("\"Mirroring started\" \"DC-1 shows the desktop\""), std::string::npos)
        << received[0];
    EXPECT_NE(received[1].find("\"Mirroring stopped\""), std::string::npos) << received[1];
}

} // namespace
} // namespace qb
