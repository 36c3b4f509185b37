#include "diagnostics/RingLogger.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "diagnostics/DiagnosticsTestSupport.h"

namespace qb {
namespace {

TEST(RingLoggerTest, KeepsTheLatest500AndFiltersByLevelSubsystemAndAge)
{
    test::FixedTime time;
    RingLogger ring;
    for (int i = 0; i < 501; ++i) ring.log(LogLevel::info, "Engine", std::to_string(i));
    ASSERT_EQ(ring.entries().size(), 500u);
    EXPECT_EQ(ring.entries().front().message, "1");
    ring.clear();
    EXPECT_EQ(ring.formatted(), "(no log entries)");

    ring.log(LogLevel::debug, "ADB", "d");   // t = 0
    time.clock.advance(1);
    ring.log(LogLevel::info, "ADB", "i");    // t = 1
    time.clock.advance(1);
    ring.log(LogLevel::warn, "Engine", "w"); // t = 2
    time.clock.advance(1);
    ring.log(LogLevel::error, "ADB", "e");   // t = 3

    const auto messages = [](const std::vector<RingLogger::Entry>& entries) {
        std::string text;
        for (const auto& e : entries) text += e.message;
        return text;
    };
    EXPECT_EQ(messages(ring.entries()), "diwe");
    EXPECT_EQ(messages(ring.entries(LogLevel::warn)), "we");
    EXPECT_EQ(messages(ring.entries(std::nullopt, "ADB")), "die");
    EXPECT_EQ(messages(ring.entries(std::nullopt, std::nullopt, time.clock.now() - std::chrono::seconds(1))), "we");

    // `last` counts back from now: 61 s ago is out, 59 s ago is in, and an
    // entry exactly on the edge is still in.
    time.clock.advance(58); // now t = 61
    EXPECT_EQ(ring.formatted(std::nullopt, std::nullopt, 60.0).find("ADB: d"), std::string::npos);
    EXPECT_NE(ring.formatted(std::nullopt, std::nullopt, 60.0).find("ADB: i"), std::string::npos);
    EXPECT_NE(ring.formatted(std::nullopt, std::nullopt, 59.0).find("Engine: w"), std::string::npos);
    EXPECT_EQ(ring.formatted(std::nullopt, std::nullopt, 57.0), "(no log entries)");
    EXPECT_EQ(ring.formatted(LogLevel::error, "Engine"), "(no log entries)");

    // Windows too large to represent (a `logs` request may carry any number)
    // mean "everything", and a negative one means nothing.
    EXPECT_NE(ring.formatted(std::nullopt, std::nullopt, 1e300).find("ADB: d"), std::string::npos);
    EXPECT_NE(ring.formatted(std::nullopt, std::nullopt, std::numeric_limits<double>::infinity())
                  .find("ADB: d"), std::string::npos);
    EXPECT_NE(ring.formatted(std::nullopt, std::nullopt, std::nan("")).find("ADB: d"), std::string::npos);
    EXPECT_EQ(ring.formatted(std::nullopt, std::nullopt, -1e300), "(no log entries)");
}

} // namespace
} // namespace qb
