// Our PipeWire consumer against a private PipeWire (with WirePlumber, which
// links the streams) and a producer of the test's own that drives the graph
// and pushes small pictures as fast as PipeWire takes them, the way a
// compositor's screen cast does when the desktop changes all the time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "platform/MutterServer.h"
#include "platform/pipewire/PipeWireStream.h"

namespace qb {
namespace {

using namespace std::chrono_literals;

// PipeWire and WirePlumber on a private bus and runtime folder; nothing else.
class PipeWireSession : public test::PrivateSession {
public:
    PipeWireSession()
    {
        if (!std::filesystem::exists("/usr/bin/pipewire") || !std::filesystem::exists("/usr/bin/wireplumber")) {
            skipReason = "PipeWire is not installed (packages pipewire, wireplumber)";
            return;
        }
        if (!makeDirectory("pipewire") || !startSession("sleep 600")) return;
        if (!test::eventually([&] { return std::filesystem::exists(directory / "pipewire-0"); }, 10s)) {
            failure = "PipeWire did not start: " + test::readFile(directory / "pipewire.log");
        }
    }
    ~PipeWireSession() { stopSession(); }
};

constexpr std::uint32_t SIDE = 32;

// An output stream on a connection of its own that drives the graph every
// millisecond and fills each buffer with one byte value, counting up
// picture by picture.
class Producer {
public:
    explicit Producer(std::shared_ptr<PipeWire> pipewire) : pipewire_(std::move(pipewire))
    {
        PipeWire::Lock hold(*pipewire_);
        pw_loop* loop = pw_thread_loop_get_loop(pipewire_->loop());
        stream_ = pw_stream_new(pipewire_->core(), "test-producer",
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Source", nullptr));
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.param_changed = onParamChanged;
            e.process = onProcess;
            return e;
        }();
        pw_stream_add_listener(stream_, &listener_, &events, this);
        std::uint8_t buffer[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_rectangle size{SIDE, SIDE};
        spa_fraction rate{0, 1};
        const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(&builder,
            SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
        pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS), &format, 1);
        timer_ = pw_loop_add_timer(loop, onTimer, this);
        timespec every{0, 1'000'000};
        pw_loop_update_timer(loop, timer_, &every, &every, false);
    }

    ~Producer()
    {
        PipeWire::Lock hold(*pipewire_);
        pw_loop_destroy_source(pw_thread_loop_get_loop(pipewire_->loop()), timer_);
        pw_stream_destroy(stream_);
    }

    // The node a consumer connects to, once PipeWire has given one.
    std::uint32_t node()
    {
        std::uint32_t id = PW_ID_ANY;
        test::eventually([&] {
            PipeWire::Lock hold(*pipewire_);
            id = pw_stream_get_node_id(stream_);
            return id != PW_ID_ANY;
        }, 10s);
        return id;
    }

private:
    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
    {
        auto* self = static_cast<Producer*>(data);
        if (id != SPA_PARAM_Format || !param) return;
        std::uint8_t buffer[256];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* buffers = static_cast<const spa_pod*>(spa_pod_builder_add_object(&builder,
            SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
            SPA_POD_Int(int(SIDE * SIDE * 4)), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(int(SIDE * 4))));
        pw_stream_update_params(self->stream_, &buffers, 1);
    }

    static void onTimer(void* data, std::uint64_t)
    {
        auto* self = static_cast<Producer*>(data);
        pw_stream_trigger_process(self->stream_);
    }

    static void onProcess(void* data)
    {
        auto* self = static_cast<Producer*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
        if (!buffer) return;
        spa_data& plane = buffer->buffer->datas[0];
        if (plane.data && plane.maxsize >= SIDE * SIDE * 4) {
            std::memset(plane.data, ++self->value_, SIDE * SIDE * 4);
            plane.chunk->offset = 0;
            plane.chunk->stride = SIDE * 4;
            plane.chunk->size = SIDE * SIDE * 4;
        }
        pw_stream_queue_buffer(self->stream_, buffer);
    }

    std::shared_ptr<PipeWire> pipewire_;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    spa_source* timer_ = nullptr;
    std::uint8_t value_ = 0;
};

// Stopping a stream while pictures pour in, again and again: no picture
// reaches the consumer once stop() has returned, nothing runs on a stream
// PipeWire has freed (which once crashed the daemon as a second tablet came),
// and every picture that arrives is whole and as the producer made it.
TEST(PipeWireStream, StoppingWhilePicturesPourInLeavesNothingRunning)
{
    PipeWireSession session;
    if (!session.skipReason.empty()) GTEST_SKIP() << session.skipReason;
    ASSERT_TRUE(session.failure.empty()) << session.failure;
    std::string error;
    auto pipewire = PipeWire::connect(&error);
    ASSERT_TRUE(pipewire) << error;
    auto producerSide = PipeWire::connect(&error);
    ASSERT_TRUE(producerSide) << error;
    Producer producer(producerSide);
    const std::uint32_t node = producer.node();
    ASSERT_NE(node, PW_ID_ANY) << "the producer got no node";

    std::atomic<int> pictures{0};
    std::atomic<int> afterStop{0};
    std::atomic<int> malformed{0};
    std::atomic<bool> stopped{false};
    for (int round = 0; round < 25; ++round) {
        stopped = false;
        const int before = pictures;
        PipeWireStream stream(pipewire, {false, 0, 0, [&](const PushedFrame& frame) {
            if (stopped) ++afterStop;
            bool whole = frame.width == SIDE && frame.height == SIDE;
            for (std::size_t row = 0; whole && row < frame.height; ++row) {
                const std::uint8_t* line = frame.data + row * frame.stride;
                whole = std::all_of(line, line + frame.width * 4, [&](std::uint8_t b) { return b == frame.data[0]; });
            }
            if (!whole) ++malformed;
            ++pictures;
            // A consumer slower than the producer, like a daemon copying large
            // pictures: PipeWire has more for us the moment we stop.
            std::this_thread::sleep_for(2ms);
        }, {}});
        ASSERT_TRUE(stream.connect(node, &error)) << "round " << round << ": " << error;
        ASSERT_TRUE(test::eventually([&] { return pictures >= before + 20; }, 10s))
            << "round " << round << ": pictures stopped coming";
        stream.stop();
        stopped = true;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(afterStop, 0);
    EXPECT_EQ(malformed, 0);
}

} // namespace
} // namespace qb
