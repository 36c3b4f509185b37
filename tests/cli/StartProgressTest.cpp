#include "cli/StartProgress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qb::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(StartProgress, EveryFailureTheEngineReportsGetsAOneLineHint)
{
    struct Case {
        MirrorStatus status;
        std::string hint;
    };
    using Cause = MirrorStatus::Cause;
    const std::vector<Case> cases{
        {MirrorStatus::error("Port 8891 (HTTP server) is in use by python3 (pid 7).", Cause::portInUse),
            "quit the program named above"},
        {MirrorStatus::error("no display", Cause::captureAccess), "DISPLAY and XAUTHORITY set"},
        {MirrorStatus::error("Server failed: bind", Cause::serverFailed), "ports 8890-8891"},
        {MirrorStatus::error("none", Cause::noSessions), "`adb devices` lists the tablet"},
        {MirrorStatus::error("Screen capture did not start: busy", Cause::captureFailed), "shows each attempt"},
        {MirrorStatus::error("crashed", Cause::companionCrashed), "open the QuillBright app on the tablet"},
        // The advice follows the cause, not words in the message.
        {MirrorStatus::error("Server failed: port 8888 is in use, no X display"), "`quillbright doctor` checks what"},
        {MirrorStatus::waitingForDevice(), "USB debugging on"},
    };
    for (const auto& c : cases) {
        const std::string hint = hintForStatus(c.status);
        EXPECT_THAT(hint, StartsWith("Hint: ")) << c.status.label();
        EXPECT_THAT(hint, HasSubstr(c.hint)) << c.status.label();
        EXPECT_EQ(hint.find('\n'), std::string::npos) << "one line: " << hint;
    }
    EXPECT_THAT(hintForStatus(MirrorStatus::waitingForDevice(), true), HasSubstr("mirroring starts by itself"));
    EXPECT_THAT(hintForStatus(MirrorStatus::waitingForDevice(), false, "build/src/quillbright"),
        HasSubstr("`build/src/quillbright start` from another terminal mirrors it, `build/src/quillbright automirror on`"));
    for (const auto& fine : {MirrorStatus::idle(), MirrorStatus::starting(), MirrorStatus::running(),
             MirrorStatus::stopping()}) {
        EXPECT_EQ(hintForStatus(fine), "") << fine.label();
    }
}

} // namespace
} // namespace qb::cli
