#include "platform/wayland/Recording.h"

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

namespace qb::wayland {

namespace {

using namespace std::chrono_literals;

constexpr const char* REMOTE_DESKTOP_PATH = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* SCREEN_CAST_PATH = "/org/gnome/Mutter/ScreenCast";
constexpr const char* REMOTE_DESKTOP_SESSION = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* SCREEN_CAST_SESSION = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* SCREEN_CAST_STREAM = "org.gnome.Mutter.ScreenCast.Stream";
// cursor-mode "embedded": the pointer is part of the picture.
constexpr std::uint32_t CURSOR_MODE_EMBEDDED = 2;
// How long Mutter and PipeWire get for each step of a start or a resize
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

// ----------------------------------------------------------------- Recording

struct Recording::State {
    std::mutex lock;
    std::condition_variable changed;
    std::uint32_t nodeId = 0;
    bool haveNode = false;
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

    std::function<void(const Frame&)> onFrame;
    std::function<void()> onClosed;

    // PipeWire's thread (and stop, holding its lock).
    pw_stream* stream = nullptr;
    spa_hook listener{};
    Frame frame;

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
    auto* s = static_cast<Recording::State*>(data);
    bool ended = false;
    {
        std::lock_guard guard(s->lock);
        if (state == PW_STREAM_STATE_ERROR) {
            s->failed = true;
            s->failure = std::string("PipeWire stream failed: ") + (error ? error : "unknown error");
            ended = true;
        } else if (state == PW_STREAM_STATE_UNCONNECTED && s->negotiated) {
            ended = true; // Mutter took the node away
        }
        s->changed.notify_all();
    }
    if (ended) s->reportClosed();
}

void onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
{
    auto* s = static_cast<Recording::State*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video
        || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
        return;
    }
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;

    // Shared memory or a memfd (mapped for us), DMA-BUF where Mutter offers
    // it; the changed regions ride along when Mutter adds them.
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
void readDamage(spa_buffer* buffer, Frame& frame)
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

void deliver(Recording::State* s, pw_buffer* pwBuffer)
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
            Frame& frame = s->frame;
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
    auto* s = static_cast<Recording::State*>(data);
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

std::string objectPath(const Variant& reply)
{
    const gchar* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return path ? path : "";
}

GVariant* cursorEmbedded()
{
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "cursor-mode", g_variant_new_uint32(CURSOR_MODE_EMBEDDED));
    return g_variant_builder_end(&options);
}

} // namespace

std::unique_ptr<Recording> Recording::start(std::shared_ptr<MutterBus> bus, std::shared_ptr<PipeWire> pipewire,
    Options options, std::string* error)
{
    std::unique_ptr<Recording> recording(new Recording);
    recording->bus_ = std::move(bus);
    recording->pipewire_ = std::move(pipewire);
    auto state = std::make_shared<State>();
    recording->state_ = state;
    state->onFrame = std::move(options.onFrame);
    state->onClosed = std::move(options.onClosed);
    state->fixedSize = options.connector.empty();
    state->width = options.width;
    state->height = options.height;
    MutterBus& b = *recording->bus_;

    std::string why;
    auto fail = [&](const std::string& step) -> std::unique_ptr<Recording> {
        if (error) *error = step + (why.empty() ? "" : ": " + why);
        recording->stop();
        return nullptr;
    };
    if (state->fixedSize && (options.width == 0 || options.height == 0 || options.width > MAX_SIDE
                                || options.height > MAX_SIDE)) {
        return fail("no virtual monitor of " + std::to_string(options.width) + "x" + std::to_string(options.height));
    }

    Variant reply = b.call(REMOTE_DESKTOP_SERVICE, REMOTE_DESKTOP_PATH, REMOTE_DESKTOP_SERVICE, "CreateSession", nullptr,
        "(o)", &why);
    if (!reply) return fail("RemoteDesktop.CreateSession failed");
    recording->sessionPath_ = objectPath(reply);
    Variant sessionId = b.property(REMOTE_DESKTOP_SERVICE, recording->sessionPath_.c_str(), REMOTE_DESKTOP_SESSION,
        "SessionId", &why);
    if (!sessionId) return fail("no remote-desktop session id");

    std::weak_ptr<State> weak = state;
    recording->subscriptions_.push_back(b.subscribe(REMOTE_DESKTOP_SERVICE, recording->sessionPath_.c_str(),
        REMOTE_DESKTOP_SESSION, "Closed", [weak](GVariant*) {
            if (auto s = weak.lock()) s->reportClosed();
        }));

    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&properties, "{sv}", "remote-desktop-session-id", sessionId.get());
    reply = b.call(SCREEN_CAST_SERVICE, SCREEN_CAST_PATH, SCREEN_CAST_SERVICE, "CreateSession",
        g_variant_new("(a{sv})", &properties), "(o)", &why);
    if (!reply) return fail("ScreenCast.CreateSession failed");
    recording->screenCastPath_ = objectPath(reply);

    if (state->fixedSize) {
        reply = b.call(SCREEN_CAST_SERVICE, recording->screenCastPath_.c_str(), SCREEN_CAST_SESSION, "RecordVirtual",
            g_variant_new("(@a{sv})", cursorEmbedded()), "(o)", &why);
        if (!reply) return fail("ScreenCast RecordVirtual failed");
    } else {
        reply = b.call(SCREEN_CAST_SERVICE, recording->screenCastPath_.c_str(), SCREEN_CAST_SESSION, "RecordMonitor",
            g_variant_new("(s@a{sv})", options.connector.c_str(), cursorEmbedded()), "(o)", &why);
        if (!reply) return fail("ScreenCast RecordMonitor of " + options.connector + " failed");
    }
    recording->streamPath_ = objectPath(reply);
    recording->subscriptions_.push_back(b.subscribe(SCREEN_CAST_SERVICE, recording->streamPath_.c_str(),
        SCREEN_CAST_STREAM, "PipeWireStreamAdded", [weak](GVariant* parameters) {
            auto s = weak.lock();
            if (!s) return;
            std::uint32_t node = 0;
            g_variant_get(parameters, "(u)", &node);
            std::lock_guard guard(s->lock);
            s->nodeId = node;
            s->haveNode = true;
            s->changed.notify_all();
        }));

    // The remote-desktop session starts its screen-cast session with it.
    if (!b.call(REMOTE_DESKTOP_SERVICE, recording->sessionPath_.c_str(), REMOTE_DESKTOP_SESSION, "Start", nullptr,
            nullptr, &why)) {
        return fail("RemoteDesktop Session.Start failed");
    }
    if (!state->waitFor([&] { return state->haveNode; })) {
        why.clear();
        return fail("Mutter announced no PipeWire stream");
    }

    {
        PipeWire::Lock hold(*recording->pipewire_);
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
            PW_KEY_MEDIA_ROLE, "Screen", nullptr);
        state->stream = pw_stream_new(recording->pipewire_->core(), "quillbright-capture", props);
        if (state->stream) {
            pw_stream_add_listener(state->stream, &state->listener, &STREAM_EVENTS, state.get());
            std::uint8_t buffer[1024];
            spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
            const spa_pod* format = buildFormat(builder, state->fixedSize, options.width, options.height);
            std::uint32_t node = 0;
            {
                std::lock_guard guard(state->lock);
                node = state->nodeId;
            }
            const int result = pw_stream_connect(state->stream, PW_DIRECTION_INPUT, node,
                pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), &format, 1);
            if (result < 0) {
                why = std::strerror(-result);
                return fail("pw_stream_connect failed");
            }
        }
    }
    if (!state->stream) return fail("pw_stream_new failed");
    if (!state->waitFor([&] { return state->negotiated; })) {
        std::lock_guard guard(state->lock);
        why = state->failure;
        return fail("the PipeWire stream agreed on no format");
    }
    return recording;
}

Recording::~Recording() { stop(); }

std::uint32_t Recording::width() const
{
    std::lock_guard guard(state_->lock);
    return state_->width;
}

std::uint32_t Recording::height() const
{
    std::lock_guard guard(state_->lock);
    return state_->height;
}

bool Recording::resize(std::uint32_t width, std::uint32_t height)
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

void Recording::stop()
{
    if (stopped_ || !state_) return;
    stopped_ = true;
    {
        std::unique_lock guard(state_->lock);
        state_->stopping = true;
        state_->changed.wait(guard, [&] { return state_->closedCalls == 0; });
    }
    for (unsigned id : subscriptions_) bus_->unsubscribe(id);
    subscriptions_.clear();
    if (state_->stream) {
        PipeWire::Lock hold(*pipewire_);
        pw_stream_disconnect(state_->stream);
        pw_stream_destroy(state_->stream);
        state_->stream = nullptr;
    }
    // Stopping the remote-desktop session ends its screen-cast session too.
    if (!sessionPath_.empty()) {
        bus_->call(REMOTE_DESKTOP_SERVICE, sessionPath_.c_str(), REMOTE_DESKTOP_SESSION, "Stop", nullptr, nullptr,
            nullptr);
    }
}

} // namespace qb::wayland
