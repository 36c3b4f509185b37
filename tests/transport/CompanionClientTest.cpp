// The reference companion: its decoder's checks, its touch scripts, and the
// qb-companion program against a real frame server.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>

#include "companion/FrameDecoder.h"
#include "companion/PngWriter.h"
#include "companion/TouchScript.h"
#include "diagnostics/PlatformLog.h"
#include "runtime/Process.h"
#include "support/TestSupport.h"
#include "transport/FrameProtocol.h"
#include "transport/InputProtocol.h"
#include "transport/TCPServer.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using companion::FrameDecoder;
using Bytes = std::vector<std::uint8_t>;
using test::lz4;

CommandMessage command(CommandCode code, std::uint8_t value = 0, std::uint16_t w = 0, std::uint16_t h = 0)
{
    return CommandMessage{code, value, w, h};
}

FrameMessage frame(bool key, std::uint32_t seq, Bytes payload) { return FrameMessage{key, seq, std::move(payload)}; }

// A decoder that has seen a greeting for a w x h greyscale stream.
FrameDecoder greeted(std::uint16_t w, std::uint16_t h)
{
    FrameDecoder d;
    for (const auto& m : {command(CommandCode::resolution, 0, w, h), command(CommandCode::pixelFormat, 0),
             command(CommandCode::brightness, 10), command(CommandCode::warmth, 20)}) {
        EXPECT_FALSE(d.apply(m));
    }
    return d;
}

TEST(FrameDecoder, AppliesKeyframesAndDeltas)
{
    auto d = greeted(4, 2);

    // A delta before any keyframe has nothing to apply to: counted, ignored.
    EXPECT_FALSE(d.apply(frame(false, 0, lz4(Bytes(8, 1)))));
    EXPECT_FALSE(d.hasPicture());
    EXPECT_EQ(d.counters().deltasBeforeKeyframe, 1u);

    Bytes picture{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_FALSE(d.apply(frame(true, 1, lz4(picture))));
    EXPECT_EQ(d.frame(), picture);
    EXPECT_FALSE(d.apply(frame(false, 2, lz4(Bytes{1, 0, 0, 0, 0, 0, 0, 0xFF}))));
    EXPECT_EQ(d.frame(), (Bytes{0, 2, 3, 4, 5, 6, 7, 0xF7}));

    // A new geometry needs a new keyframe; the buffer follows the size and format.
    EXPECT_FALSE(d.apply(command(CommandCode::resolution, 0, 2, 2)));
    EXPECT_FALSE(d.apply(command(CommandCode::pixelFormat, 1)));
    EXPECT_FALSE(d.hasPicture());
    EXPECT_EQ(d.frame().size(), 12u);
    EXPECT_FALSE(d.apply(frame(false, 3, lz4(Bytes(12, 1)))));
    EXPECT_FALSE(d.hasPicture());
    EXPECT_FALSE(d.apply(frame(true, 4, lz4(Bytes(12, 7)))));
    EXPECT_EQ(d.frame(), Bytes(12, 7));
}

TEST(FrameDecoder, ReportsEveryViolation)
{
    {
        FrameDecoder d; // greeting out of order
        EXPECT_THAT(d.apply(command(CommandCode::brightness, 1)).value_or(""), ::testing::HasSubstr("greeting"));
    }
    {
        FrameDecoder d; // frame before the greeting is complete
        EXPECT_FALSE(d.apply(command(CommandCode::resolution, 0, 2, 2)));
        EXPECT_TRUE(d.apply(frame(true, 0, lz4(Bytes(4)))));
    }
    {
        FrameDecoder d; // zero-sized resolution
        EXPECT_TRUE(d.apply(command(CommandCode::resolution, 0, 0, 768)));
    }
    {
        FrameDecoder d(1000); // more pixels than the client accepts
        EXPECT_TRUE(d.apply(command(CommandCode::resolution, 0, 100, 11)));
    }
    {
        auto d = greeted(4, 2); // sequence gap
        EXPECT_FALSE(d.apply(frame(true, 5, lz4(Bytes(8)))));
        EXPECT_THAT(d.apply(frame(false, 7, lz4(Bytes(8)))).value_or(""), ::testing::HasSubstr("gap"));
    }
    {
        auto d = greeted(4, 2); // sequence numbers wrap without a gap
        EXPECT_FALSE(d.apply(frame(true, 0xFFFFFFFF, lz4(Bytes(8)))));
        EXPECT_FALSE(d.apply(frame(false, 0, lz4(Bytes(8)))));
    }
    // Decompresses to the wrong size, or is no LZ4 at all.
    for (const auto& payload : {lz4(Bytes(7)), lz4(Bytes(9)), Bytes{0xFF, 0xFF, 0xFF}, Bytes{}}) {
        auto d = greeted(4, 2);
        EXPECT_TRUE(d.apply(frame(true, 0, payload))) << payload.size();
    }
}

TEST(TouchScript, EncodesWhatTheInputServerDecodes)
{
    std::string error;
    auto steps = companion::parseTouchScript("down 0.5 0.25; move 0.6 0.25;wait 20; up 0.6 0.25; scroll 0 -0.01", error);
    ASSERT_TRUE(steps) << error;
    ASSERT_EQ(steps->size(), 5u);
    EXPECT_EQ((*steps)[2].waitMs, 20);
    EXPECT_FALSE((*steps)[2].message);

    Bytes stream;
    for (const auto& step : *steps) {
        if (step.message) stream.insert(stream.end(), step.message->begin(), step.message->end());
    }
    TouchStreamState state;
    EXPECT_EQ(walkTouchMessages(state, stream),
        (std::vector<TouchMessage>{{1, 0.5f, 0.25f, 0, 0}, {2, 0.6f, 0.25f, 0, 0}, {3, 0.6f, 0.25f, 0, 0},
            {4, 0, 0, 0, -0.01f}}));

    for (const char* bad : {"", "tap 1 2", "down 0.5", "down 0.5 0.5 0.5", "wait -1", "down nan 0"}) {
        EXPECT_FALSE(companion::parseTouchScript(bad, error)) << bad;
    }
}

// Reads a PNG back: width, height, channels and pixels.
struct PngImage {
    std::uint32_t width = 0, height = 0;
    int channels = 0;
    Bytes pixels;
};

std::optional<PngImage> readPng(const std::string& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return std::nullopt;
    PngImage out;
    out.width = image.width;
    out.height = image.height;
    out.channels = (image.format & PNG_FORMAT_FLAG_COLOR) ? 3 : 1;
    image.format = out.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    out.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) return std::nullopt;
    return out;
}

class CompanionProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(program)) GTEST_SKIP() << "qb-companion is not built";
    }

    std::shared_ptr<Process> launch(std::vector<std::string> arguments)
    {
        ProcessOptions options;
        options.executable = program;
        options.arguments = std::move(arguments);
        std::string error;
        auto process = Process::launch(options, &error);
        EXPECT_TRUE(process) << error;
        return process;
    }

    const std::string program = std::string(QB_BINARY_DIR) + "/tools/companion/qb-companion";
    test::TempDir dir{"qb-companion-test"};
    PlatformLogMute mute;
};

TEST_F(CompanionProgramTest, DecodesAcknowledgesAndSavesThePicture)
{
    auto server = TCPServer::make();
    server->setFrameWidth(16);
    server->setFrameHeight(8);
    ASSERT_FALSE(server->start(0));
    const auto png = (dir / "frame.png").string();
    auto child = launch({"--port", std::to_string(server->port()), "--frames", "5", "--png", png,
        "--stats-every", "0"});
    ASSERT_TRUE(child);
    ASSERT_TRUE(test::eventually([&] { return server->clientCount() == 1; }));

    Bytes picture(16 * 8), previous;
    for (std::uint32_t seq = 0; seq < 5; ++seq) {
        previous = picture;
        for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<std::uint8_t>(i * 3 + seq * 17);
        server->broadcast(lz4(seq == 0 ? picture : test::xorDelta(picture, previous)), seq == 0, seq);
    }
    ASSERT_TRUE(child->waitUntilExit(10s));
    EXPECT_EQ(child->exitStatus(), 0) << child->standardError();
    EXPECT_THAT(child->standardOutput(), ::testing::HasSubstr("final: frames 5 (1 key, 4 delta"));
    EXPECT_TRUE(test::eventually([&] { return server->latencyStats() && server->latencyStats()->acksReceived == 5; }));

    auto saved = readPng(png);
    ASSERT_TRUE(saved);
    EXPECT_EQ(std::tuple(saved->width, saved->height, saved->channels), std::tuple(16u, 8u, 1));
    EXPECT_EQ(saved->pixels, picture);
    server->stop();
}

TEST_F(CompanionProgramTest, ExitStatusTellsWhatWentWrong)
{
    auto server = TCPServer::make();
    ASSERT_FALSE(server->start(0));
    const auto port = server->port();
    auto child = launch({"--port", std::to_string(port), "--no-ack", "--stats-every", "0"});
    ASSERT_TRUE(test::eventually([&] { return server->clientCount() == 1; }));
    // A host that restarts is connected again (the violation below comes from the new one).
    server->stop();
    server = TCPServer::make();
    ASSERT_FALSE(server->start(port));
    ASSERT_TRUE(test::eventually([&] { return server->clientCount() == 1; }, 10s));
    server->sendCommand(3, 0); // a code that is never sent
    ASSERT_TRUE(child->waitUntilExit(10s));
    EXPECT_EQ(child->exitStatus(), 1);
    EXPECT_THAT(child->standardError(), ::testing::HasSubstr("protocol violation: command message with unknown code 3"));
    server->stop();

    auto refused = launch({"--port", std::to_string(port)});
    ASSERT_TRUE(refused->waitUntilExit(10s));
    EXPECT_EQ(refused->exitStatus(), 3);

    auto usage = launch({"--frames"});
    ASSERT_TRUE(usage->waitUntilExit(10s));
    EXPECT_EQ(usage->exitStatus(), 2);
}

} // namespace
} // namespace qb
