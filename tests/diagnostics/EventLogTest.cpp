#include "diagnostics/EventLog.h"

#include <limits>

#include <gtest/gtest.h>

#include "diagnostics/DiagnosticsTestSupport.h"

namespace qb {
namespace {

TEST(EventLogTest, DescriptionsOfEveryEvent)
{
    EXPECT_EQ(MirrorEvent::sessionStarted("ABC", "R", 8888).description(),
        "session_started serial=ABC resolution=R port=8888");
    EXPECT_EQ(MirrorEvent::sessionStopped("ABC").description(), "session_stopped serial=ABC");
    EXPECT_EQ(MirrorEvent::clientConnected(65535).description(), "client_connected port=65535");
    EXPECT_EQ(MirrorEvent::clientDisconnected(8889).description(), "client_disconnected port=8889");
    EXPECT_EQ(MirrorEvent::resolutionChanged("1600x1200", "1024x768").description(),
        "resolution_changed from=1600x1200 to=1024x768");
    EXPECT_EQ(MirrorEvent::modeChanged("mirror", "extended").description(), "mode_changed from=mirror to=extended");
    EXPECT_EQ(MirrorEvent::mirrorStarted().description(), "mirror_started");
    EXPECT_EQ(MirrorEvent::mirrorStopped().description(), "mirror_stopped");
    // Strings are not quoted, whatever they hold.
    EXPECT_EQ(MirrorEvent::sessionStopped("a b=\"c\"").description(), "session_stopped serial=a b=\"c\"");

    const auto event = MirrorEvent::sessionStarted("S1", "1200x1600", 8890);
    ASSERT_NE(event.as<MirrorEvent::SessionStarted>(), nullptr);
    EXPECT_EQ(event.as<MirrorEvent::SessionStarted>()->port, 8890);
    EXPECT_EQ(event.as<MirrorEvent::SessionStopped>(), nullptr);
    EXPECT_EQ(event, MirrorEvent::sessionStarted("S1", "1200x1600", 8890));
    EXPECT_NE(event, MirrorEvent::sessionStarted("S1", "1200x1600", 8891));
}

TEST(EventLogTest, KeepsTheLatest200Events)
{
    EventLog log;
    for (std::uint16_t port = 0; port < 201; ++port) log.record(MirrorEvent::clientConnected(port));
    const auto events = log.events();
    ASSERT_EQ(events.size(), 200u);
    EXPECT_EQ(events.front().event, MirrorEvent::clientConnected(1));
    EXPECT_EQ(events.back().event, MirrorEvent::clientConnected(200));
    log.clear();
    EXPECT_TRUE(log.events().empty());
}

TEST(EventLogTest, WindowAndRenderedText)
{
    test::FixedTime time;
    EventLog log;
    EXPECT_EQ(log.formatted(), "(no events)");

    log.record(MirrorEvent::mirrorStarted());                        // 09:15:30
    time.clock.advance(2);
    log.record(MirrorEvent::sessionStarted("ABC", "1600x1200", 8888)); // 09:15:32
    time.clock.advance(59);                                          // now 61 s after the first

    EXPECT_EQ(log.formatted(), "09:15:30 mirror_started\n09:15:32 session_started serial=ABC resolution=1600x1200 port=8888");
    EXPECT_EQ(log.formatted(60), "09:15:32 session_started serial=ABC resolution=1600x1200 port=8888");
    EXPECT_EQ(log.events(59).size(), 1u);  // exactly on the edge: still in
    EXPECT_EQ(log.events(58.9).size(), 0u);
    EXPECT_EQ(log.formatted(10), "(no events)");
    EXPECT_EQ(log.events(61).size(), 2u);

    // Windows that cannot be represented as clock ticks do not overflow.
    EXPECT_EQ(log.events(1e300).size(), 2u);
    EXPECT_EQ(log.events(std::numeric_limits<double>::infinity()).size(), 2u);
    EXPECT_EQ(log.events(std::numeric_limits<double>::quiet_NaN()).size(), 2u);
    EXPECT_EQ(log.events(-1e300).size(), 0u);
}

} // namespace
} // namespace qb
