#include "platform/pipewire/PipeWireStream.h"

#include <sys/mman.h>
#include <sys/ioctl.h>

#include <linux/dma-buf.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace qb {

namespace {

using namespace std::chrono_literals;

// How long the compositor and PipeWire get for each step of a start or a resize
// (a software-rendered compositor on a busy machine can take seconds).
constexpr auto STEP_LIMIT = 10s;
// The largest monitor we would ask for or take.
constexpr std::uint32_t MAX_SIDE = 16384;
constexpr int MAX_DAMAGE_REGIONS = 16;

// The formats we take: BGRx or BGRA (the same bytes; the fourth is ignored),
// a virtual monitor exactly `width`×`height`, a monitor at whatever size it has.
const spa_pod* buildFormat(spa_pod_builder& builder, bool fixedSize, std::uint32_t width, std::uint32_t height)
{
    spa_rectangle size{std::max<std::uint32_t>(width, 1), std::max<std::uint32_t>(height, 1)};
    spa_rectangle smallest{1, 1};
    spa_rectangle largest{MAX_SIDE, MAX_SIDE};
    spa_fraction variable{0, 1};
    spa_fraction fastest{60, 1};
    spa_fraction slowest{1, 1};
    spa_pod_frame frame;
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA), 0);
    if (fixedSize) {
        spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), 0);
    } else {
        spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
            0);
    }
    spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variable),
        SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&fastest, &slowest, &fastest), 0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

} // namespace

// ------------------------------------------------------------------ PipeWire

std::shared_ptr<PipeWire> PipeWire::connect(std::string* error)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    std::shared_ptr<PipeWire> pipewire(new PipeWire);
    pipewire->loop_ = pw_thread_loop_new("qb-pipewire", nullptr);
    if (!pipewire->loop_) {
        if (error) *error = "cannot create PipeWire's thread";
        return nullptr;
    }
    pipewire->context_ = pw_context_new(pw_thread_loop_get_loop(pipewire->loop_), nullptr, 0);
    if (!pipewire->context_ || pw_thread_loop_start(pipewire->loop_) != 0) {
        if (error) *error = "cannot start PipeWire's thread";
        return nullptr;
    }
    {
        Lock hold(*pipewire);
        pipewire->core_ = pw_context_connect(pipewire->context_, nullptr, 0);
    }
    if (!pipewire->core_) {
        if (error) *error = std::string("cannot connect to PipeWire (") + std::strerror(errno) + ")";
        return nullptr;
    }
    return pipewire;
}

PipeWire::~PipeWire()
{
    if (loop_) {
        if (core_) {
            Lock hold(*this);
            pw_core_disconnect(core_);
        }
        pw_thread_loop_stop(loop_);
    }
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_thread_loop_destroy(loop_);
}

PipeWire::Lock::Lock(const PipeWire& owner) : owner_(owner) { pw_thread_loop_lock(owner_.loop_); }
PipeWire::Lock::~Lock() { pw_thread_loop_unlock(owner_.loop_); }

// ----------------------------------------------------------------- stream

struct PipeWireStream::State {
    std::mutex lock;
    std::condition_variable changed;
    bool negotiated = false;
    bool failed = false;
    std::string failure;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool fixedSize = true;
    // onClosed: reported once, never after stop; callers counted so stop can wait.
    bool stopping = false;
    bool closedReported = false;
    int closedCalls = 0;

    std::function<void(const PushedFrame&)> onFrame;
    std::function<void()> onClosed;

    // PipeWire's thread (and stop, holding its lock).
    pw_stream* stream = nullptr;
    spa_hook listener{};
    PushedFrame frame;

    void reportClosed()
    {
        std::function<void()> call;
        {
            std::lock_guard guard(lock);
            if (stopping || closedReported) return;
            closedReported = true;
            ++closedCalls;
            call = onClosed;
        }
        if (call) call();
        std::lock_guard guard(lock);
        --closedCalls;
        changed.notify_all();
    }

    template <typename Predicate>
    bool waitFor(Predicate done)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, STEP_LIMIT, [&] { return done() || failed; }) && !failed;
    }
};

namespace {

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
{
    auto* s = static_cast<PipeWireStream::State*>(data);
    bool ended = false;
    {
        std::lock_guard guard(s->lock);
        if (state == PW_STREAM_STATE_ERROR) {
            s->failed = true;
            s->failure = std::string("PipeWire stream failed: ") + (error ? error : "unknown error");
            ended = true;
        } else if (state == PW_STREAM_STATE_UNCONNECTED && s->negotiated) {
            ended = true; // the compositor took the node away
        }
        s->changed.notify_all();
    }
    if (ended) s->reportClosed();
}

void onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
{
    auto* s = static_cast<PipeWireStream::State*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video
        || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
        return;
    }
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;

    // Shared memory or a memfd (mapped for us), DMA-BUF where the compositor
    // offers it; the changed regions ride along when it adds them.
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[3];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamBuffers,
        SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks,
        SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_DmaBuf))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta,
        SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
        SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta,
        SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(int(sizeof(spa_meta_region)) * MAX_DAMAGE_REGIONS, int(sizeof(spa_meta_region)),
            int(sizeof(spa_meta_region)) * MAX_DAMAGE_REGIONS)));
    pw_stream_update_params(s->stream, params, 3);

    std::lock_guard guard(s->lock);
    s->width = info.size.width;
    s->height = info.size.height;
    s->negotiated = true;
    s->changed.notify_all();
}

// The damage regions of a buffer, clipped to the picture; empty when the
// buffer has none (all of it changed, as far as we know).
void readDamage(spa_buffer* buffer, PushedFrame& frame)
{
    frame.damage.clear();
    auto* meta = static_cast<spa_meta*>(spa_buffer_find_meta(buffer, SPA_META_VideoDamage));
    if (!meta) return;
    spa_meta_region* region = nullptr;
    spa_meta_for_each(region, meta)
    {
        if (!spa_meta_region_is_valid(region)) break;
        const auto left = std::clamp<std::int64_t>(region->region.position.x, 0, std::int64_t(frame.width));
        const auto top = std::clamp<std::int64_t>(region->region.position.y, 0, std::int64_t(frame.height));
        const auto right = std::clamp<std::int64_t>(std::int64_t(region->region.position.x) + region->region.size.width,
            0, std::int64_t(frame.width));
        const auto bottom = std::clamp<std::int64_t>(
            std::int64_t(region->region.position.y) + region->region.size.height, 0, std::int64_t(frame.height));
        if (right > left && bottom > top) {
            frame.damage.push_back({std::size_t(left), std::size_t(top), std::size_t(right - left),
                std::size_t(bottom - top)});
        }
    }
}

void deliver(PipeWireStream::State* s, pw_buffer* pwBuffer)
{
    spa_buffer* buffer = pwBuffer->buffer;
    if (buffer->n_datas < 1) return;
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
        header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) {
        return;
    }
    spa_data& data = buffer->datas[0];
    if (!data.chunk || data.chunk->size == 0 || (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) return;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    {
        std::lock_guard guard(s->lock);
        width = s->width;
        height = s->height;
    }
    const std::size_t stride = data.chunk->stride > 0 ? std::size_t(data.chunk->stride) : std::size_t(width) * 4;
    if (width == 0 || height == 0 || stride < std::size_t(width) * 4) return;

    const std::uint8_t* base = static_cast<const std::uint8_t*>(data.data);
    void* mapped = MAP_FAILED;
    std::size_t mappedSize = 0;
    if (!base && data.type == SPA_DATA_DmaBuf && data.fd >= 0) {
        mappedSize = std::size_t(data.mapoffset) + data.maxsize;
        mapped = mmap(nullptr, mappedSize, PROT_READ, MAP_SHARED, int(data.fd), 0);
        if (mapped == MAP_FAILED) return; // a DMA-BUF that cannot be mapped: nothing to read
        dma_buf_sync sync{DMA_BUF_SYNC_START | DMA_BUF_SYNC_READ};
        ioctl(int(data.fd), DMA_BUF_IOCTL_SYNC, &sync);
        base = static_cast<const std::uint8_t*>(mapped) + data.mapoffset;
    }
    if (base) {
        const std::size_t offset = data.chunk->offset % std::max<std::uint32_t>(data.maxsize, 1);
        if (offset + stride * (height - 1) + std::size_t(width) * 4 <= data.maxsize) {
            PushedFrame& frame = s->frame;
            frame.data = base + offset;
            frame.width = width;
            frame.height = height;
            frame.stride = stride;
            readDamage(buffer, frame);
            if (s->onFrame) s->onFrame(frame);
        }
    }
    if (mapped != MAP_FAILED) {
        dma_buf_sync sync{DMA_BUF_SYNC_END | DMA_BUF_SYNC_READ};
        ioctl(int(data.fd), DMA_BUF_IOCTL_SYNC, &sync);
        munmap(mapped, mappedSize);
    }
}

void onProcess(void* data)
{
    auto* s = static_cast<PipeWireStream::State*>(data);
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(s->stream)) {
        deliver(s, buffer);
        pw_stream_queue_buffer(s->stream, buffer);
    }
}

const pw_stream_events STREAM_EVENTS = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.process = onProcess;
    return events;
}();

} // namespace

PipeWireStream::PipeWireStream(std::shared_ptr<PipeWire> pipewire, Options options)
    : pipewire_(std::move(pipewire))
    , state_(std::make_shared<State>())
{
    state_->onFrame = std::move(options.onFrame);
    state_->onClosed = std::move(options.onClosed);
    state_->fixedSize = options.fixedSize;
    state_->width = options.width;
    state_->height = options.height;
}

PipeWireStream::~PipeWireStream() { stop(); }

bool PipeWireStream::connect(std::uint32_t node, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (state_->fixedSize && (state_->width == 0 || state_->height == 0 || state_->width > MAX_SIDE
                                 || state_->height > MAX_SIDE)) {
        return fail("no virtual monitor of " + std::to_string(state_->width) + "x" + std::to_string(state_->height));
    }
    {
        PipeWire::Lock hold(*pipewire_);
        if (state_->stream) return fail("the stream is connected already");
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
            PW_KEY_MEDIA_ROLE, "Screen", nullptr);
        state_->stream = pw_stream_new(pipewire_->core(), "quillbright-capture", props);
        if (!state_->stream) return fail("pw_stream_new failed");
        pw_stream_add_listener(state_->stream, &state_->listener, &STREAM_EVENTS, state_.get());
        std::uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* format = buildFormat(builder, state_->fixedSize, state_->width, state_->height);
        // Pictures are taken on PipeWire's data thread. Without RT_PROCESS the
        // stream would hand each one to our thread as a queued call holding
        // the stream's address, and a call still queued when stop() destroys
        // the stream would run on freed memory (PipeWire 0.3 does not drain
        // them). Disconnecting takes the stream off the data thread and waits,
        // so nothing reaches a stream once it is disconnected.
        const int result = pw_stream_connect(state_->stream, PW_DIRECTION_INPUT, node,
            pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
            &format, 1);
        if (result < 0) return fail(std::string("pw_stream_connect failed: ") + std::strerror(-result));
    }
    if (!state_->waitFor([&] { return state_->negotiated; })) {
        std::lock_guard guard(state_->lock);
        return fail("the PipeWire stream agreed on no format"
            + (state_->failure.empty() ? std::string() : ": " + state_->failure));
    }
    return true;
}

std::uint32_t PipeWireStream::width() const
{
    std::lock_guard guard(state_->lock);
    return state_->width;
}

std::uint32_t PipeWireStream::height() const
{
    std::lock_guard guard(state_->lock);
    return state_->height;
}

bool PipeWireStream::resize(std::uint32_t width, std::uint32_t height)
{
    if (!state_->fixedSize || width == 0 || height == 0 || width > MAX_SIDE || height > MAX_SIDE) return false;
    {
        std::lock_guard guard(state_->lock);
        if (state_->width == width && state_->height == height) return true;
        state_->negotiated = false;
    }
    {
        PipeWire::Lock hold(*pipewire_);
        if (!state_->stream) return false;
        std::uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* format = buildFormat(builder, true, width, height);
        pw_stream_update_params(state_->stream, &format, 1);
    }
    return state_->waitFor([&] { return state_->negotiated && state_->width == width && state_->height == height; });
}

void PipeWireStream::reportClosed() { state_->reportClosed(); }

void PipeWireStream::stop()
{
    if (stopped_) return;
    stopped_ = true;
    {
        std::unique_lock guard(state_->lock);
        state_->stopping = true;
        state_->changed.wait(guard, [&] { return state_->closedCalls == 0; });
    }
    if (state_->stream) {
        PipeWire::Lock hold(*pipewire_);
        pw_stream_disconnect(state_->stream);
        pw_stream_destroy(state_->stream);
        state_->stream = nullptr;
    }
}

} // namespace qb
