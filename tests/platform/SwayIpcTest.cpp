// The readers of sway's control-socket replies: a reply captured from sway
// 1.7, and replies whose fields are of unexpected types (taken as missing);
// a reply that never comes costs one request, not the connection.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

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

TEST(SwayIpc, AReplyThatNeverComesCostsThatRequestOnlyTheNextOneConnectsAgain)
{
    const test::TempDir dir;
    const std::string path = (dir.path() / "sway.sock").string();
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    // The first connection is read and never answered; the second is answered.
    std::thread sway([listener] {
        const int silent = ::accept(listener, nullptr, nullptr);
        const int answered = ::accept(listener, nullptr, nullptr);
        char request[14];
        [[maybe_unused]] auto got = ::read(answered, request, sizeof request);
        const std::string payload = R"([{"name":"HEADLESS-1","active":true}])";
        std::string reply = "i3-ipc";
        const auto length = std::uint32_t(payload.size());
        const std::uint32_t type = SwayIpc::GET_OUTPUTS;
        reply.append(reinterpret_cast<const char*>(&length), 4).append(reinterpret_cast<const char*>(&type), 4) += payload;
        [[maybe_unused]] auto sent = ::write(answered, reply.data(), reply.size());
        ::close(answered);
        ::close(silent);
    });
    std::string error;
    auto ipc = SwayIpc::connect(path, &error, std::chrono::milliseconds(200));
    ASSERT_TRUE(ipc) << error;
    EXPECT_FALSE(ipc->outputs(&error));
    EXPECT_EQ(error, "sway did not answer");
    const auto outputs = ipc->outputs(&error);
    ASSERT_TRUE(outputs) << error;
    EXPECT_EQ(outputs->front().name, "HEADLESS-1");
    sway.join();
    ::close(listener);
}

} // namespace
} // namespace qb::wlroots
