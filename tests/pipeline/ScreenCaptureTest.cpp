#include "pipeline/ScreenCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string_view>
#include <thread>


#include "companion/CompanionClient.h"
#include "diagnostics/PlatformLog.h"
#include "pipeline/FakeCapture.h"
#include "runtime/Clock.h"
#include "support/TestSupport.h"
#include "transport/FrameServer.h"

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

    // Delivers the rig's surface reporting `changed`, its greyscale source
    // (no tone curve) kept in `sources`.
    bool deliverChanged(std::optional<std::vector<CaptureRect>> changed)
    {
        surface.changed = std::move(changed);
        sources.push_back(convertedSource(surface, PixelFormat::greyscale, nullptr));
        return deliver(surface);
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
    std::vector<std::vector<std::uint8_t>> sources;
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
    std::vector<std::uint8_t> screen(size);
    for (const auto& frame : frames) {
        SCOPED_TRACE("seq " + std::to_string(frame.seq));
        const auto decoded = test::unlz4(frame.payload, size);
        ASSERT_TRUE(decoded);
        if (frame.isKeyframe) {
            screen = *decoded;
        } else {
            for (std::size_t i = 0; i < size; ++i) screen[i] ^= (*decoded)[i];
        }
        ASSERT_EQ(screen, sources.at(static_cast<std::size_t>(frame.sourceFrame)));
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

        // The preview is made only for a watching client, on the side queue.
        rig.capture->waitForSideWork();
        EXPECT_EQ(rig.preview->images.size(), 1u);
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
    for (std::size_t i = 0; i < surface.storage().size(); ++i) surface.storage()[i] = std::uint8_t(i * 7);
    ASSERT_TRUE(rig.deliverChanged(std::nullopt));
    surface.pixel(5, 20)[1] ^= 0xFF; // one pixel: a delta of a few bytes
    ASSERT_TRUE(rig.deliverChanged(std::vector<CaptureRect>{{5, 20, 1, 1}}));
    ASSERT_EQ(rig.sink->frames.size(), 2U);
    EXPECT_FALSE(rig.sink->frames[1].isKeyframe);

    rig.sink->inflight = 99; // the device is behind: the frame is held back
    surface.pixel(9, 30)[1] ^= 0xFF;
    ASSERT_TRUE(rig.deliverChanged(std::vector<CaptureRect>{{0, 30, 64, 1}}));
    EXPECT_EQ(rig.sink->frames.size(), 2U);
    EXPECT_EQ(rig.backend->framesRequested, 1);

    rig.sink->inflight = 0; // the requested frame: nothing changed since
    ASSERT_TRUE(rig.deliverChanged(std::vector<CaptureRect>{}));
    ASSERT_EQ(rig.sink->frames.size(), 3U);
    EXPECT_TRUE(rig.sink->frames[2].isKeyframe);
    expectDeviceReproducesSources(rig.sink->frames, rig.sources);
}

// A change whose report was lost (the surface says nothing changed there)
// reaches the device at the next periodic reread, which the stream is asked
// for and the encoder takes in whole. A stream that ends on its own while
// running is reported.
TEST(ScreenCaptureTest, ALostChangeReportHealsAtTheNextRereadAndAnEndedStreamIsReported)
{
    ScreenCaptureTiming timing = fastTiming();
    timing.reread = 20ms;
    Rig rig(PixelFormat::greyscale, 64, 48, {}, timing);
    rig.backend->onChangeOnly = true;
    rig.capture->setGammaAmount(1.0);
    std::atomic<int> ended{0};
    rig.capture->setOnStreamEnded([&] { ++ended; });
    runToEnd(rig.capture->start());
    FakeSurface& surface = rig.surface;
    fillRandom(surface, rig.rng);
    ASSERT_TRUE(rig.deliverChanged(std::nullopt));
    for (int y = 30; y < 34; ++y) surface.pixel(9, std::size_t(y))[1] ^= 0xFF;
    const int asked = rig.backend->rereadsRequested;
    ASSERT_TRUE(rig.deliverChanged(std::vector<CaptureRect>{})); // its report lost: nothing to send yet
    ASSERT_TRUE(test::eventually([&] { return rig.backend->rereadsRequested > asked; }, 5s, 1ms));
    ASSERT_TRUE(rig.deliverChanged(std::vector<CaptureRect>{})); // the reread frame
    ASSERT_GE(rig.sink->frames.size(), 2U);
    EXPECT_EQ(rig.sink->frames.back().sourceFrame, 2);
    expectDeviceReproducesSources(rig.sink->frames, rig.sources);

    EXPECT_TRUE(rig.backend->deliver(nullptr));
    EXPECT_EQ(ended, 1);
}

TEST(ScreenCaptureTest, RestartsContinueWithAKeyframeAFailedOneStopsAndAStopDuringOneWins)
{
    {
        Rig rig;
        runToEnd(rig.capture->start());
        rig.deliverNoise(3);
        runToEnd(rig.capture->restartStream());
        EXPECT_EQ(rig.backend->streamsRunning, 1);
        rig.deliverNoise();
        ASSERT_EQ(rig.sink->frames.size(), 4u);
        EXPECT_TRUE(rig.sink->frames[3].isKeyframe);
        EXPECT_EQ(rig.sink->frames[3].seq, 3u);
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
    runToEnd(rig.capture->start());
    FakeSurface shortSurface(64, 47); // a row missing
    FakeSurface narrow(64, 48);
    narrow.reportBytesPerRow(63 * 4); // rows shorter than the frame's
    FakeSurface unlocked(64, 48);
    unlocked.failLock(true); // no pixels to read
    for (FakeSurface* surface : {&shortSurface, &narrow, &unlocked}) EXPECT_TRUE(rig.deliver(*surface));
    EXPECT_TRUE(rig.sink->frames.empty());
    EXPECT_EQ(rig.capture->skippedFrames(), 3);
}

// A tablet on a link slower than the frame rate, that never acknowledges,
// reads a frame every 20 ms through small buffers while the capture makes
// frames as fast as it can, long past the 60 frames in which
// acknowledgements are awaited. It stays connected, shows only pictures the
// desktop showed, gets far fewer frames than were captured, and ends on the
// desktop's last picture.
TEST(ScreenCaptureTest, ASlowTabletIsPacedNotDropped)
{
    PlatformLogMute mute;
    FrameServer::Options smallBuffers;
    smallBuffers.socketSendBufferBytes = 16 * 1024;
    auto server = FrameServer::make(smallBuffers);
    server->setFrameWidth(160);
    server->setFrameHeight(120);
    ASSERT_FALSE(server->open(0));
    server->start();
    auto backend = std::make_shared<FakeCaptureBackend>();
    ScreenCapture::Options options;
    options.backend = backend;
    options.timing = fastTiming();
    auto capture = std::make_shared<ScreenCapture>(server, nullptr, 7, 160, 120, PixelFormat::greyscale, options);
    capture->setGammaAmount(1.0);
    runToEnd(capture->start());
    companion::CompanionClient tablet({.receiveBufferBytes = 16 * 1024});
    ASSERT_TRUE(tablet.connect("127.0.0.1", server->port(), 5000ms));

    const auto hashOf = [](const std::vector<std::uint8_t>& bytes) {
        return std::hash<std::string_view>{}({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    };
    std::mutex lock;
    std::set<std::size_t> shown; // every picture the desktop showed
    std::size_t last = 0;
    int framesRead = 0;
    std::string fault;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading) {
            auto frame = tablet.readFrame(200ms);
            {
                std::lock_guard guard(lock);
                if (!frame && (tablet.closed() || !tablet.violation().empty())) fault = "gone: " + tablet.violation();
                if (frame && !shown.contains(last = hashOf(tablet.decoder().frame()))) fault = "an uncaptured picture";
                if (!fault.empty()) return;
                framesRead += frame ? 1 : 0;
            }
            if (frame) std::this_thread::sleep_for(20ms); // the link's pace
        }
    });
    FakeSurface surface(160, 120);
    const auto picture = [&] { return hashOf(convertedSource(surface, PixelFormat::greyscale, nullptr)); };
    std::mt19937 rng{3};
    constexpr int captured = 4000;
    for (int i = 0; i < captured; ++i) {
        for (std::size_t at = 0; at < surface.storage().size(); at += 4) {
            const std::uint32_t word = rng();
            std::memcpy(&surface.storage()[at], &word, 4);
        }
        {
            std::lock_guard guard(lock);
            shown.insert(picture());
        }
        EXPECT_TRUE(backend->deliver(surface));
    }
    // The desktop goes still; the capture keeps delivering its picture.
    const std::size_t final = picture();
    surface.changed = std::vector<CaptureRect>{};
    EXPECT_TRUE(test::eventually([&] {
        backend->deliver(surface);
        std::lock_guard guard(lock);
        return last == final || !fault.empty();
    }));
    reading = false;
    reader.join();
    EXPECT_EQ(fault, "");
    EXPECT_EQ(server->clientCount(), 1);
    EXPECT_LT(framesRead, captured / 4);
    EXPECT_GT(framesRead, 10);
    runToEnd(capture->stop());
    server->stop();
}

} // namespace
} // namespace qb
