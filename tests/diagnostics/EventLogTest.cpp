#include "diagnostics/EventLog.h"

#include <limits>

#include <gtest/gtest.h>

#include "diagnostics/DiagnosticsTestSupport.h"

namespace qb {
namespace {

TEST(EventLogTest, KeepsTheLatest200InAWindowAndRendersThem)
{
    EventLog ring;
    for (std::uint16_t port = 0; port < 201; ++port) ring.record(MirrorEvent::clientConnected(port));
    ASSERT_EQ(ring.events().size(), 200u);
    EXPECT_EQ(ring.events().front().event, MirrorEvent::clientConnected(1));
    EXPECT_EQ(ring.events().back().event, MirrorEvent::clientConnected(200));

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
