// The encoder converts and XORs only the rows a frame reports changed; what
// it sends must stay byte for byte what a whole-frame encode sends.
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <lz4.h>

#include <filesystem>

#include "diagnostics/PlatformLog.h"
#include "pipeline/FakeCapture.h"
#include "pipeline/ScreenCapture.h"
#include "platform/sim/SimScene.h"

namespace qb {
namespace {

using test::FakeCaptureBackend;
using test::FakeSurface;

const std::filesystem::path FRAMES = "/work/shared/frames";

struct Sent {
    std::vector<std::uint8_t> payload;
    bool isKeyframe;
    std::uint32_t seq;
    bool operator==(const Sent&) const = default;
};

class Sink final : public FrameSink {
public:
    void broadcast(std::span<const std::uint8_t> payload, bool isKeyframe, std::uint32_t seq) override
    {
        frames.push_back({{payload.begin(), payload.end()}, isKeyframe, seq});
    }
    int inflightFrames() const override { return inflight; }
    bool ackProtocolActive() const override { return true; }
    std::optional<LatencyStats> latencyStats() const override { return std::nullopt; }
    FramePacer& framePacer() override { return pacer; }

    std::vector<Sent> frames;
    std::atomic<int> inflight{0};
    FramePacer pacer;
};

void run(asio::awaitable<void> task)
{
    asio::io_context io;
    std::exception_ptr error;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr e) { error = e; });
    io.run();
    if (error) std::rethrow_exception(error);
}

// The rows that differ between two pictures, as full-width bands split
// wherever an unchanged row lies between them.
std::vector<CaptureRect> differingBands(const sim::SimImage& before, const sim::SimImage& after)
{
    std::vector<CaptureRect> bands;
    const std::size_t rowBytes = after.width * 4;
    for (std::size_t y = 0; y < after.height; ++y) {
        const bool differs = !std::equal(after.bgra.begin() + std::ptrdiff_t(y * rowBytes),
            after.bgra.begin() + std::ptrdiff_t((y + 1) * rowBytes), before.bgra.begin() + std::ptrdiff_t(y * rowBytes));
        if (!differs) continue;
        if (!bands.empty() && bands.back().y + bands.back().height == y) {
            ++bands.back().height;
        } else {
            bands.push_back({0, y, after.width, 1});
        }
    }
    return bands;
}

// What happens to one frame besides its picture.
struct Step {
    std::size_t frame;
    double contrast = 1.0;
    int inflight = 0; // above the window: the frame is held back
};

std::vector<Sent> encode(const std::vector<sim::SimImage>& pictures, const std::vector<Step>& steps,
    PixelFormat format, bool reportChanges)
{
    const auto& first = pictures.front();
    auto backend = std::make_shared<FakeCaptureBackend>();
    auto sink = std::make_shared<Sink>();
    ScreenCapture::Options options;
    options.backend = backend;
    options.timing = {.drain = std::chrono::milliseconds(1), .restartPause = std::chrono::milliseconds(1)};
    auto capture = std::make_shared<ScreenCapture>(sink, nullptr, 1, std::int64_t(first.width),
        std::int64_t(first.height), format, options);
    run(capture->start());
    FakeSurface surface(first.width, first.height, 32);
    const sim::SimImage* previous = nullptr;
    for (const Step& step : steps) {
        const sim::SimImage& picture = pictures.at(step.frame);
        for (std::size_t y = 0; y < picture.height; ++y) {
            std::copy_n(picture.bgra.begin() + std::ptrdiff_t(y * picture.width * 4), picture.width * 4,
                surface.pixel(0, y));
        }
        if (reportChanges && previous) {
            surface.changed = differingBands(*previous, picture);
        } else {
            surface.changed.reset();
        }
        capture->setContrastAmount(step.contrast);
        sink->inflight = step.inflight;
        EXPECT_TRUE(backend->deliver(surface));
        previous = &picture;
    }
    run(capture->stop());
    return std::move(sink->frames);
}

TEST(ChangedRowsTest, EncodingOnlyChangedRowsSendsTheBytesOfWholeFrames)
{
    if (!std::filesystem::exists(FRAMES / "typing")) GTEST_SKIP() << "no recorded frames at " << FRAMES;
    PlatformLogMute mute;
    for (const char* sequence : {"typing", "reading"}) {
        std::vector<sim::SimImage> pictures;
        for (int i = 0; i < 6; ++i) {
            auto image = sim::loadPng(FRAMES / sequence / fmt::format("{:04d}.png", i));
            ASSERT_TRUE(image) << sequence << " " << i;
            pictures.push_back(std::move(*image));
        }
        // Unchanged repeats, a contrast change (every row is stale), a frame
        // held back by back-pressure and the forced keyframe after it.
        const std::vector<Step> steps{{0}, {1}, {1}, {2}, {3, 1.4}, {3, 1.4, 99}, {4, 1.4}, {5}, {5}};
        for (PixelFormat format : {PixelFormat::greyscale, PixelFormat::rgb}) {
            const auto whole = encode(pictures, steps, format, false);
            const auto changed = encode(pictures, steps, format, true);
            ASSERT_GE(whole.size(), 4U) << sequence;
            ASSERT_EQ(whole.size(), changed.size()) << sequence;
            for (std::size_t i = 0; i < whole.size(); ++i) {
                EXPECT_TRUE(whole[i] == changed[i]) << sequence << " message " << i << " seq " << whole[i].seq;
            }
        }
    }
}

// A stream that delivers only on change never repeats a frame: a small
// change is sent however small, and a frame held back asks for another,
// which carries the picture as a keyframe.
TEST(ChangedRowsTest, OnChangeStreamsSendSmallChangesAndRepairFramesHeldBack)
{
    PlatformLogMute mute;
    auto backend = std::make_shared<FakeCaptureBackend>();
    backend->onChangeOnly = true;
    auto sink = std::make_shared<Sink>();
    ScreenCapture::Options options;
    options.backend = backend;
    options.timing = {.drain = std::chrono::milliseconds(1), .restartPause = std::chrono::milliseconds(1)};
    auto capture = std::make_shared<ScreenCapture>(sink, nullptr, 1, 64, 48, PixelFormat::greyscale, options);
    capture->setGammaAmount(1.0);
    run(capture->start());
    FakeSurface surface(64, 48);
    for (std::size_t i = 0; i < surface.storage().size(); ++i) surface.storage()[i] = std::uint8_t(i * 7);
    ASSERT_TRUE(backend->deliver(surface));

    surface.pixel(5, 20)[1] ^= 0xFF; // one pixel: a delta of a few bytes
    surface.changed = std::vector<CaptureRect>{{5, 20, 1, 1}};
    ASSERT_TRUE(backend->deliver(surface));
    ASSERT_EQ(sink->frames.size(), 2U);
    EXPECT_FALSE(sink->frames[1].isKeyframe);

    sink->inflight = 99; // the device is behind: the frame is held back
    surface.pixel(9, 30)[1] ^= 0xFF;
    surface.changed = std::vector<CaptureRect>{{0, 30, 64, 1}};
    ASSERT_TRUE(backend->deliver(surface));
    EXPECT_EQ(sink->frames.size(), 2U);
    EXPECT_EQ(backend->framesRequested, 1);

    sink->inflight = 0; // the requested frame: nothing changed since
    surface.changed = std::vector<CaptureRect>{};
    ASSERT_TRUE(backend->deliver(surface));
    ASSERT_EQ(sink->frames.size(), 3U);
    ASSERT_TRUE(sink->frames[2].isKeyframe);
    std::vector<std::uint8_t> picture(64 * 48);
    ASSERT_EQ(LZ4_decompress_safe(reinterpret_cast<const char*>(sink->frames[2].payload.data()),
                  reinterpret_cast<char*>(picture.data()), int(sink->frames[2].payload.size()), int(picture.size())),
        int(picture.size()));
    const std::uint8_t* pixel = surface.pixel(9, 30);
    EXPECT_EQ(picture[30 * 64 + 9], (29 * pixel[0] + 150 * pixel[1] + 77 * pixel[2]) / 256);
    run(capture->stop());
}

} // namespace
} // namespace qb
