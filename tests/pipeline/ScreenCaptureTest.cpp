#include "pipeline/ScreenCapture.h"

#include <gtest/gtest.h>

#include <lz4.h>
#include <turbojpeg.h>

#include <random>
#include <thread>

#include "diagnostics/PlatformLog.h"
#include "pipeline/FakeCapture.h"
#include "runtime/Clock.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

using test::FakeCaptureBackend;
using test::FakeSurface;
using test::RecordingSink;
using test::SentFrame;
using test::runToEnd;
using namespace std::chrono_literals;

class RecordingPreview final : public PreviewSink {
public:
    int previewClientCount() const override { return clients; }
    void broadcast(std::vector<std::uint8_t> jpeg) override { images.push_back(std::move(jpeg)); }
    std::atomic<int> clients{0};
    std::vector<std::vector<std::uint8_t>> images;
};

class FakeComparisonEncoder final : public ComparisonEncoder {
public:
    bool hasSession() const override { return true; }
    std::optional<std::vector<std::uint8_t>> encode(const CaptureSurface&) override
    {
        return std::vector<std::uint8_t>(2048, 1);
    }
    void stop() override {}
};

// The converted frame the device must end up with for one source surface.
std::vector<std::uint8_t> convertedSource(FakeSurface& surface, PixelFormat format, const ToneCurve* curve)
{
    const auto w = surface.width(), h = surface.height();
    std::vector<std::uint8_t> out(w * h * (format == PixelFormat::greyscale ? 1 : 3));
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            const std::uint8_t* p = surface.pixel(x, y);
            const std::size_t i = y * w + x;
            if (format == PixelFormat::greyscale) {
                const auto grey = static_cast<std::uint8_t>((29 * p[0] + 150 * p[1] + 77 * p[2]) / 256);
                out[i] = curve ? (*curve)[grey] : grey;
            } else {
                out[3 * i] = p[2];
                out[3 * i + 1] = p[1];
                out[3 * i + 2] = p[0];
            }
        }
    }
    return out;
}

void fillRandom(FakeSurface& surface, std::mt19937& rng)
{
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : surface.storage()) b = static_cast<std::uint8_t>(byte(rng));
}

ScreenCaptureTiming fastTiming(Duration drain = 1ms, Duration restartPause = 1ms)
{
    return {.drain = drain, .restartPause = restartPause};
}

// One capture on a fake backend with fast timing, recording what it sends.
// Its own surface has padded rows; stop() runs again when the rig goes.
struct Rig {
    explicit Rig(PixelFormat format = PixelFormat::greyscale, std::int64_t width = 64, std::int64_t height = 48,
        ScreenCapture::Options options = {}, ScreenCaptureTiming timing = fastTiming())
        : surface(width, height, 16)
    {
        options.backend = backend;
        options.timing = timing;
        capture = std::make_shared<ScreenCapture>(sink, preview, 7, width, height, format, std::move(options));
    }
    ~Rig() { runToEnd(capture->stop()); }

    // Delivers one frame, remembering its index for the recorded broadcasts.
    bool deliver(FakeSurface& frame)
    {
        sink->currentSource = delivered++;
        return backend->deliver(frame);
    }

    // Delivers `count` frames of fresh noise on the rig's surface.
    void deliverNoise(int count = 1)
    {
        for (int i = 0; i < count; ++i) {
            fillRandom(surface, rng);
            ASSERT_TRUE(deliver(surface));
        }
    }

    FakeSurface surface;
    std::mt19937 rng{1};
    int delivered = 0;
    std::shared_ptr<FakeCaptureBackend> backend = std::make_shared<FakeCaptureBackend>();
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    std::shared_ptr<RecordingPreview> preview = std::make_shared<RecordingPreview>();
    std::shared_ptr<ScreenCapture> capture;
    PlatformLogMute mute;
};

// Plays the device: applies every payload to its screen and checks the result
// against the converted source of the frame that produced it.
void expectDeviceReproducesSources(const std::vector<SentFrame>& frames,
    const std::vector<std::vector<std::uint8_t>>& sources)
{
    ASSERT_FALSE(frames.empty());
    const std::size_t size = sources.front().size();
    std::vector<std::uint8_t> screen(size), decoded(size);
    for (const auto& frame : frames) {
        const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(frame.payload.data()),
            reinterpret_cast<char*>(decoded.data()), static_cast<int>(frame.payload.size()),
            static_cast<int>(decoded.size()));
        ASSERT_EQ(n, static_cast<int>(size)) << "seq " << frame.seq;
        if (frame.isKeyframe) {
            screen = decoded;
        } else {
            for (std::size_t i = 0; i < size; ++i) screen[i] ^= decoded[i];
        }
        ASSERT_EQ(screen, sources.at(static_cast<std::size_t>(frame.sourceFrame))) << "seq " << frame.seq;
    }
}

TEST(ScreenCaptureTest, DeviceDecodesEveryFrameExactlyForBothFormatsAndPaddedRowsPreviewOnlyWithClients)
{
    for (auto format : {PixelFormat::greyscale, PixelFormat::rgb}) {
        SCOPED_TRACE(std::string(label(format)));
        const bool grey = format == PixelFormat::greyscale;
        // An odd width and padded rows exercise the kernels' tails and strides.
        Rig rig(format, 97, 61);
        runToEnd(rig.capture->start());
        const ToneCurve gamma = makeToneCurve(1.0, 1.2);
        std::vector<std::vector<std::uint8_t>> sources;
        for (int i = 0; i < 70; ++i) {
            if (i == 40) rig.capture->setContrastAmount(1.5); // picked up by the next frame
            if (i == 69) rig.preview->clients = 1;
            fillRandom(rig.surface, rig.rng);
            const ToneCurve curve = i >= 40 ? makeToneCurve(1.5, 1.2) : gamma;
            sources.push_back(convertedSource(rig.surface, format, grey ? &curve : nullptr));
            ASSERT_TRUE(rig.deliver(rig.surface));
        }
        EXPECT_EQ(rig.sink->frames.size(), 70u);
        expectDeviceReproducesSources(rig.sink->frames, sources);

        // The preview is a grey or colour JPEG of the frame, made only for a
        // watching client, on the side queue.
        rig.capture->waitForSideWork();
        ASSERT_EQ(rig.preview->images.size(), 1u);
        const auto& jpeg = rig.preview->images[0];
        tjhandle decoder = tjInitDecompress();
        int width = 0, height = 0, subsampling = 0, colourspace = 0;
        ASSERT_EQ(tjDecompressHeader3(decoder, jpeg.data(), static_cast<unsigned long>(jpeg.size()), &width,
                      &height, &subsampling, &colourspace),
            0);
        tjDestroy(decoder);
        EXPECT_EQ(width, 97);
        EXPECT_EQ(height, 61);
        EXPECT_EQ(colourspace, grey ? TJCS_GRAY : TJCS_YCbCr);
    }
}

// The rules are FramePolicy's (its own tests); here the capture must ask it
// with what the frame server knows and do what it says.
TEST(ScreenCaptureTest, ThePolicySeesTheLinkAndItsVerdictsAreCarriedOut)
{
    Rig rig;
    rig.sink->latency = LatencyStats{.rttAvgMs = 40.0}; // three frames in flight allowed
    runToEnd(rig.capture->start());
    rig.deliverNoise();                    // keyframe 0
    ASSERT_TRUE(rig.deliver(rig.surface)); // identical: a tiny delta, dropped
    rig.sink->inflight = 3;
    rig.deliverNoise();                    // delta 1, at the limit
    rig.sink->inflight = 4;
    rig.deliverNoise();                    // over it: dropped
    rig.sink->inflight = 0;
    rig.deliverNoise();                    // the keyframe that repairs it
    ASSERT_EQ(rig.sink->frames.size(), 3u);
    EXPECT_EQ(rig.sink->frames[1].seq, 1u);
    EXPECT_FALSE(rig.sink->frames[1].isKeyframe);
    EXPECT_EQ(rig.sink->frames[2].seq, 2u);
    EXPECT_TRUE(rig.sink->frames[2].isKeyframe);
    EXPECT_EQ(rig.sink->frames[2].sourceFrame, 4);
    EXPECT_EQ(rig.capture->skippedFrames(), 2);

    // Idle and blank notifications carry no pixels and produce nothing.
    EXPECT_TRUE(rig.backend->deliverStatus(static_cast<std::int32_t>(CaptureFrameStatus::frameIdle), nullptr));
    EXPECT_TRUE(rig.backend->deliverStatus(0, nullptr));
    EXPECT_EQ(rig.sink->frames.size(), 3u);
}

// A stream that delivers only on change never repeats a frame: a small
// change is sent however small, and a frame held back asks for another,
// which carries the picture (the held-back change included) as a keyframe.
TEST(ScreenCaptureTest, OnChangeStreamsSendSmallChangesAndRepairFramesHeldBack)
{
    Rig rig;
    rig.backend->onChangeOnly = true;
    rig.capture->setGammaAmount(1.0); // no tone curve
    runToEnd(rig.capture->start());
    FakeSurface& surface = rig.surface;
    std::vector<std::vector<std::uint8_t>> sources;
    const auto deliver = [&](std::optional<std::vector<CaptureRect>> changed) {
        surface.changed = std::move(changed);
        sources.push_back(convertedSource(surface, PixelFormat::greyscale, nullptr));
        return rig.deliver(surface);
    };
    for (std::size_t i = 0; i < surface.storage().size(); ++i) surface.storage()[i] = std::uint8_t(i * 7);
    ASSERT_TRUE(deliver(std::nullopt));
    surface.pixel(5, 20)[1] ^= 0xFF; // one pixel: a delta of a few bytes
    ASSERT_TRUE(deliver(std::vector<CaptureRect>{{5, 20, 1, 1}}));
    ASSERT_EQ(rig.sink->frames.size(), 2U);
    EXPECT_FALSE(rig.sink->frames[1].isKeyframe);

    rig.sink->inflight = 99; // the device is behind: the frame is held back
    surface.pixel(9, 30)[1] ^= 0xFF;
    ASSERT_TRUE(deliver(std::vector<CaptureRect>{{0, 30, 64, 1}}));
    EXPECT_EQ(rig.sink->frames.size(), 2U);
    EXPECT_EQ(rig.backend->framesRequested, 1);

    rig.sink->inflight = 0; // the requested frame: nothing changed since
    ASSERT_TRUE(deliver(std::vector<CaptureRect>{}));
    ASSERT_EQ(rig.sink->frames.size(), 3U);
    EXPECT_TRUE(rig.sink->frames[2].isKeyframe);
    expectDeviceReproducesSources(rig.sink->frames, sources);
}

TEST(ScreenCaptureTest, RestartIsRefusedBeforeStartAndContinuesTheSequenceWithAKeyframe)
{
    Rig rig;
    runToEnd(rig.capture->restartStream());
    EXPECT_EQ(rig.backend->streamsCreated, 0);

    runToEnd(rig.capture->start());
    rig.deliverNoise(3);
    runToEnd(rig.capture->restartStream());
    EXPECT_TRUE(rig.capture->isRunning());
    EXPECT_EQ(rig.backend->streamsCreated, 2);
    EXPECT_EQ(rig.backend->streamsRunning, 1);

    rig.deliverNoise();
    ASSERT_EQ(rig.sink->frames.size(), 4u);
    EXPECT_TRUE(rig.sink->frames[3].isKeyframe);
    EXPECT_EQ(rig.sink->frames[3].seq, 3u);
    runToEnd(rig.capture->stop());
    EXPECT_FALSE(rig.capture->isRunning());
    EXPECT_EQ(rig.backend->streamsRunning, 0);

    // The second stop completes without waiting for any timer.
    asio::io_context io;
    bool done = false;
    asio::co_spawn(io, rig.capture->stop(), [&](std::exception_ptr) { done = true; });
    io.poll();
    EXPECT_TRUE(done);
}

TEST(ScreenCaptureTest, StartFailuresCarryTheirDescriptionsAndReleaseEverything)
{
    using Kind = ScreenCaptureError::Kind;
    struct Case {
        std::function<void(FakeCaptureBackend&)> setUp;
        Kind kind;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[](auto& b) { b.permission = false; }, Kind::permissionDenied, std::string(capture_text::PERMISSION_DENIED)},
        {[](auto& b) { b.createFails = true; }, Kind::streamCreationFailed,
            "XShmCreateImage returned NULL — display may be offline."},
        {[](auto& b) { b.startError = CAPTURE_ERROR_ILLEGAL_ARGUMENT; }, Kind::streamStartFailed,
            "XShmAttach failed with code 1001."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Rig rig;
        c.setUp(*rig.backend);
        try {
            runToEnd(rig.capture->start());
            ADD_FAILURE() << "started";
        } catch (const ScreenCaptureError& e) {
            EXPECT_EQ(e.kind(), c.kind);
            EXPECT_EQ(e.what(), c.text);
            if (c.kind == Kind::streamStartFailed) {
                EXPECT_EQ(e.code(), 1001);
            }
        }
        runToEnd(rig.capture->stop()); // releases whatever the failed start kept
        EXPECT_EQ(rig.backend->streamsRunning, 0);
    }
}

TEST(ScreenCaptureTest, FailedRestartStopsCaptureAndStopDuringRestartWinsTheRace)
{
    {
        Rig rig;
        runToEnd(rig.capture->start());
        rig.backend->createFails = true;
        runToEnd(rig.capture->restartStream());
        EXPECT_FALSE(rig.capture->isRunning());
    }
    // stop() arrives while the restart pauses between the old and the new
    // stream, and finishes first (its drain is shorter than the pause) or last.
    for (auto timing : {fastTiming(1ms, 30ms), fastTiming(30ms, 1ms)}) {
        Rig rig(PixelFormat::greyscale, 64, 48, {}, timing);
        runToEnd(rig.capture->start());
        asio::io_context io;
        bool stopped = false, restarted = false;
        asio::co_spawn(io, rig.capture->restartStream(), [&](std::exception_ptr) { restarted = true; });
        asio::co_spawn(io, rig.capture->stop(), [&](std::exception_ptr) { stopped = true; });
        io.run();
        ASSERT_TRUE(stopped && restarted);
        EXPECT_FALSE(rig.capture->isRunning());
        EXPECT_EQ(rig.backend->streamsRunning, 0); // no fresh stream left running
    }
}

TEST(ScreenCaptureTest, SurfacesTooSmallForTheFrameAreSkippedNotOverread)
{
    Rig rig;
    PlatformLogCapture log;
    runToEnd(rig.capture->start());
    FakeSurface shortSurface(64, 47); // a row missing
    FakeSurface narrow(64, 48);
    narrow.reportBytesPerRow(63 * 4); // rows shorter than the frame's
    FakeSurface unlocked(64, 48);
    unlocked.failLock(true); // no pixels to read
    for (FakeSurface* surface : {&shortSurface, &narrow, &unlocked}) EXPECT_TRUE(rig.deliver(*surface));
    EXPECT_TRUE(rig.sink->frames.empty());
    EXPECT_EQ(rig.capture->skippedFrames(), 3);
    // The same too-small surface again and again: its geometry is logged
    // once more (it changed back from the others), not once per frame.
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(rig.deliver(shortSurface));
    EXPECT_EQ(log.matching("[ScreenCapture] XShm image: 64x47").size(), 2u);

    // A surface larger than the frame is read within the frame's geometry.
    FakeSurface larger(80, 50, 8);
    fillRandom(larger, rig.rng);
    EXPECT_TRUE(rig.deliver(larger));
    EXPECT_EQ(rig.sink->frames.size(), 1u);
    EXPECT_EQ(larger.outstandingLocks(), 0);
}

TEST(ScreenCaptureTest, StopWhileFramesArriveIsSafe)
{
    // Frames keep coming from another thread while stop() frees the buffers;
    // under the sanitizers any frame touching freed memory fails the test.
    Rig rig(PixelFormat::rgb, 128, 96);
    runToEnd(rig.capture->start());
    std::atomic<bool> keepGoing{true};
    std::atomic<int> delivered{0};
    std::thread producer([&] {
        FakeSurface surface(128, 96, 4);
        std::mt19937 rng(10);
        while (keepGoing) {
            fillRandom(surface, rng);
            if (rig.backend->deliver(surface)) ++delivered;
        }
    });
    EXPECT_TRUE(test::eventually([&] { return delivered >= 3; }));
    runToEnd(rig.capture->stop());
    keepGoing = false;
    producer.join();
    EXPECT_EQ(rig.backend->streamsRunning, 0);
}

// The figures are StreamFigures' (its own tests); here they must be
// published once per interval with the capture's counts.
TEST(ScreenCaptureTest, StatisticsEveryIntervalWithCumulativeSkips)
{
    ManualClock clock;
    ScopedClock scoped(clock);
    Rig rig;
    std::vector<StreamStats> published;
    rig.capture->setOnStats([&](const StreamStats& s) { published.push_back(s); });
    runToEnd(rig.capture->start());
    // 301 frames at 60 Hz: 5 s pass at frame 300; one identical frame is dropped.
    for (int i = 0; i <= 300; ++i) {
        if (i != 100) fillRandom(rig.surface, rig.rng);
        clock.advance(1.0 / 60.0);
        ASSERT_TRUE(rig.deliver(rig.surface));
        ASSERT_TRUE(i >= 299 || published.empty()) << "frame " << i;
    }
    ASSERT_EQ(published.size(), 1u);
    EXPECT_NEAR(published[0].fps, 60.0, 0.5);
    EXPECT_EQ(published[0].totalFrames, 301);
    EXPECT_EQ(published[0].skippedFrames, 1);
    clock.advance(5.0);
    rig.deliverNoise();
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[1].skippedFrames, 1); // cumulative, not per interval
}

TEST(ScreenCaptureTest, ComparisonEncoderLogsEverySixtiethFrameOrIsDisabledWithoutOne)
{
    for (bool available : {true, false}) {
        ScreenCapture::Options options;
        options.comparisonEncoderFactory = [available](std::int64_t w, std::int64_t h, std::int64_t, double) {
            EXPECT_TRUE(w == 64 && h == 48);
            return available ? std::make_unique<FakeComparisonEncoder>() : std::unique_ptr<FakeComparisonEncoder>();
        };
        Rig rig(PixelFormat::greyscale, 64, 48, std::move(options));
        PlatformLogCapture log;
        rig.capture->setEnableHardwareEncoderComparison(true);
        runToEnd(rig.capture->start());
        EXPECT_TRUE(log.contains(available
                ? "[ScreenCapture] HardwareEncoder comparison mode enabled (log-only)"
                : "[ScreenCapture] HardwareEncoder failed to initialize — comparison disabled"));
        // The comparison runs on the side queue, which drops a frame while it
        // is busy: each 60th frame is given an idle queue.
        for (int batch : {1, 60, 60}) {
            rig.deliverNoise(batch);
            rig.capture->waitForSideWork();
        }
        const auto lines = log.matching("[H264Compare] ");
        ASSERT_EQ(lines.size(), available ? 3u : 0u); // frames 0, 60 and 120
        if (available) {
            EXPECT_NE(lines[0].find("[H264Compare] keyframe: LZ4=3KB H264=2KB"), std::string::npos) << lines[0];
        }
    }
}

} // namespace
} // namespace qb
