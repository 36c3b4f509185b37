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
    const std::vector<Case> cases{
        {MirrorStatus::error("Port 8891 (HTTP server) is in use by python3 (pid 7). Quit the other process and retry."),
            "quit the program named above"},
        {MirrorStatus::error("Grant Screen Recording permission (X display access: DISPLAY and XAUTHORITY, or "
                             "xhost +SI:localuser:<user>), then retry"),
            "DISPLAY and XAUTHORITY set"},
        {MirrorStatus::error("Server failed: bind: Address already in use"), "ports 8890-8891"},
        {MirrorStatus::error("No device sessions could be started"), "`adb devices` lists the tablet"},
        {MirrorStatus::error("Companion app crashed on device"), "open the QuillBright app on the tablet"},
        {MirrorStatus::error("No adb binary found. Install Android SDK or place adb in the resources directory."),
            "sudo apt install adb"},
        {MirrorStatus::error("something new"), "`quillbright doctor`"},
        {MirrorStatus::waitingForDevice(), "USB debugging on"},
    };
    for (const auto& c : cases) {
        const std::string hint = hintForStatus(c.status);
        EXPECT_THAT(hint, StartsWith("Hint: ")) << c.status.label();
        EXPECT_THAT(hint, HasSubstr(c.hint)) << c.status.label();
        EXPECT_EQ(hint.find('\n'), std::string::npos) << "one line: " << hint;
    }
    EXPECT_THAT(hintForStatus(MirrorStatus::waitingForDevice(), true), HasSubstr("mirroring starts by itself"));
    EXPECT_THAT(hintForStatus(MirrorStatus::waitingForDevice(), false), HasSubstr("`quillbright automirror on`"));
    for (const auto& fine : {MirrorStatus::idle(), MirrorStatus::starting(), MirrorStatus::running(),
             MirrorStatus::stopping()}) {
        EXPECT_EQ(hintForStatus(fine), "") << fine.label();
    }
}

} // namespace
} // namespace qb::cli
