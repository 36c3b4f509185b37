// The support report: section order, running-only lines, the performance
// section's presence and the summary cut.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "diagnostics/EventLog.h"
#include "diagnostics/HealthReport.h"
#include "diagnostics/MetricsRing.h"
#include "diagnostics/RingLogger.h"

namespace qb {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

HealthReportInput sampleInput()
{
    HealthReportInput in;
    in.generated = wallNow();
    in.version = "2.4.4";
    in.adbAvailable = true;
    in.devices = {{"ABC", "DC-1", "Daylight DC-1", std::make_pair(1200, 1600)}};
    return in;
}

TEST(HealthReport, SectionsAndRunningLines)
{
    MetricsRing metrics;
    EventLog events;
    RingLogger logs;
    auto in = sampleInput();
    const std::string idle = generateHealthReport(in, metrics, events, logs);
    EXPECT_THAT(idle, StartsWith("QuillBright Health Report\n"));
    EXPECT_THAT(idle, HasSubstr("\n\n## App\nversion=2.4.4\nstatus=idle\n"));
    EXPECT_THAT(idle, Not(HasSubstr("fps=")));
    EXPECT_THAT(idle, Not(HasSubstr("## Performance")));
    EXPECT_THAT(idle, EndsWith("## Events (all buffered)\n(no events)\n\n## Logs (all buffered)\n(no log entries)"));
    // Without performance data the summary ends before the events.
    EXPECT_THAT(healthReportSummary(idle), EndsWith("update_available=none\n\n## System\nos="));

    in.engine.status = MirrorStatus::running();
    in.engine.stats.fps = 29.96;
    in.engine.stats.bandwidthMBps = 1.005;
    in.engine.updateVersion = "2.5";
    in.crashReports = "Found 1 crash report(s) in last 7 days:\n...";
    metrics.record({wallNow(), StreamStats{.fps = 30}});
    logs.log(LogLevel::info, "Engine", "Mirroring started");
    const std::string running = generateHealthReport(in, metrics, events, logs);
    EXPECT_THAT(running, HasSubstr("device_detected=no\nfps=30.0\nclients=0\n"));
    EXPECT_THAT(running, HasSubstr("## Performance (last 30 min)\nsamples=1\nfps: avg=30.0 min=30.0 max=30.0\n"));
    EXPECT_THAT(running, HasSubstr("Engine: Mirroring started\n\n## Recent Crash Logs\nFound 1"));
    EXPECT_THAT(healthReportSummary(running), Not(HasSubstr("## Performance")));
}

} // namespace
} // namespace qb
