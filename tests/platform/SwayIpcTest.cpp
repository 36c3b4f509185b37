// The readers of sway's control-socket replies: a reply captured from sway
// 1.7, and replies whose fields are of unexpected types (taken as missing).
#include <gtest/gtest.h>

#include "platform/wlroots/SwayIpc.h"
#include "support/TestSupport.h"

namespace qb::wlroots {
namespace {

TEST(SwayIpc, OutputListsAndCommandResultsAreReadWhateverTheyHold)
{
    const auto outputs = parseSwayOutputs(test::readFile(QB_FIXTURES_DIR "/sway-get-outputs.json"));
    ASSERT_TRUE(outputs);
    ASSERT_EQ(outputs->size(), 3U);
    // A HiDPI portrait output: half its pixels in the layout.
    EXPECT_EQ((*outputs)[1], (SwayOutput{"HEADLESS-2", true, 1280, 0, 600, 800, 1200, 1600, 2.0}));

    const auto odd = parseSwayOutputs(
        R"([{"name":"X","active":"yes","rect":{"x":"1","y":1e300,"width":null},"scale":-2,"current_mode":[]}])");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->front(), (SwayOutput{.name = "X"}));
    EXPECT_FALSE(parseSwayOutputs(R"([{"active":true}])"));
    EXPECT_FALSE(parseSwayOutputs("[{\"name\":\"X\""));

    EXPECT_EQ(swayCommandError(R"([{"success":true},{"success":true}])"), std::nullopt);
    EXPECT_EQ(swayCommandError(R"([{"success":true},{"success":false,"error":"Invalid output subcommand: unplug."}])"),
        "Invalid output subcommand: unplug.");
    EXPECT_EQ(swayCommandError(R"([{"success":"true"}])"), "sway refused the command");
    EXPECT_TRUE(swayCommandError("{}"));
}

} // namespace
} // namespace qb::wlroots
