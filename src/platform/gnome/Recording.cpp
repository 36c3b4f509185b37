#include "platform/gnome/Recording.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qb::gnome {

namespace {

using namespace std::chrono_literals;

constexpr const char* REMOTE_DESKTOP_PATH = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* SCREEN_CAST_PATH = "/org/gnome/Mutter/ScreenCast";
constexpr const char* REMOTE_DESKTOP_SESSION = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* SCREEN_CAST_SESSION = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* SCREEN_CAST_STREAM = "org.gnome.Mutter.ScreenCast.Stream";
// cursor-mode "embedded": the pointer is part of the picture.
constexpr std::uint32_t CURSOR_MODE_EMBEDDED = 2;
// How long Mutter gets to announce the stream's node.
constexpr auto NODE_LIMIT = 10s;

} // namespace

// The node Mutter announces for the stream.
struct Recording::State {
    std::mutex lock;
    std::condition_variable changed;
    std::uint32_t nodeId = 0;
    bool haveNode = false;
};

namespace {

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
    const bool virtualMonitor = options.connector.empty();
    recording->stream_ = std::make_shared<PipeWireStream>(recording->pipewire_,
        PipeWireStream::Options{virtualMonitor, options.width, options.height, std::move(options.onFrame),
            std::move(options.onClosed)});
    MutterBus& b = *recording->bus_;

    std::string why;
    auto fail = [&](const std::string& step) -> std::unique_ptr<Recording> {
        if (error) *error = step + (why.empty() ? "" : ": " + why);
        recording->stop();
        return nullptr;
    };
    if (virtualMonitor && (options.width == 0 || options.height == 0)) {
        return fail("no virtual monitor of " + std::to_string(options.width) + "x" + std::to_string(options.height));
    }

    Variant reply = b.call(REMOTE_DESKTOP_SERVICE, REMOTE_DESKTOP_PATH, REMOTE_DESKTOP_SERVICE, "CreateSession", nullptr,
        "(o)", &why);
    if (!reply) return fail("RemoteDesktop.CreateSession failed");
    recording->sessionPath_ = objectPath(reply);
    Variant sessionId = b.property(REMOTE_DESKTOP_SERVICE, recording->sessionPath_.c_str(), REMOTE_DESKTOP_SESSION,
        "SessionId", &why);
    if (!sessionId) return fail("no remote-desktop session id");

    std::weak_ptr<PipeWireStream> weakStream = recording->stream_;
    recording->subscriptions_.push_back(b.subscribe(REMOTE_DESKTOP_SERVICE, recording->sessionPath_.c_str(),
        REMOTE_DESKTOP_SESSION, "Closed", [weakStream](GVariant*) {
            if (auto stream = weakStream.lock()) stream->reportClosed();
        }));

    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&properties, "{sv}", "remote-desktop-session-id", sessionId.get());
    reply = b.call(SCREEN_CAST_SERVICE, SCREEN_CAST_PATH, SCREEN_CAST_SERVICE, "CreateSession",
        g_variant_new("(a{sv})", &properties), "(o)", &why);
    if (!reply) return fail("ScreenCast.CreateSession failed");
    recording->screenCastPath_ = objectPath(reply);

    if (virtualMonitor) {
        reply = b.call(SCREEN_CAST_SERVICE, recording->screenCastPath_.c_str(), SCREEN_CAST_SESSION, "RecordVirtual",
            g_variant_new("(@a{sv})", cursorEmbedded()), "(o)", &why);
        if (!reply) return fail("ScreenCast RecordVirtual failed");
    } else {
        reply = b.call(SCREEN_CAST_SERVICE, recording->screenCastPath_.c_str(), SCREEN_CAST_SESSION, "RecordMonitor",
            g_variant_new("(s@a{sv})", options.connector.c_str(), cursorEmbedded()), "(o)", &why);
        if (!reply) return fail("ScreenCast RecordMonitor of " + options.connector + " failed");
    }
    recording->streamPath_ = objectPath(reply);
    std::weak_ptr<State> weak = state;
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
    std::uint32_t node = 0;
    {
        std::unique_lock guard(state->lock);
        if (!state->changed.wait_for(guard, NODE_LIMIT, [&] { return state->haveNode; })) {
            why.clear();
            guard.unlock();
            return fail("Mutter announced no PipeWire stream");
        }
        node = state->nodeId;
    }
    if (!recording->stream_->connect(node, &why)) return fail("the screen cast's stream did not start");
    return recording;
}

Recording::~Recording() { stop(); }

std::uint32_t Recording::width() const { return stream_->width(); }

std::uint32_t Recording::height() const { return stream_->height(); }

bool Recording::resize(std::uint32_t width, std::uint32_t height) { return stream_->resize(width, height); }

void Recording::stop()
{
    if (stopped_ || !stream_) return;
    stopped_ = true;
    stream_->stop();
    for (unsigned id : subscriptions_) bus_->unsubscribe(id);
    subscriptions_.clear();
    // Stopping the remote-desktop session ends its screen-cast session too.
    if (!sessionPath_.empty()) {
        bus_->call(REMOTE_DESKTOP_SERVICE, sessionPath_.c_str(), REMOTE_DESKTOP_SESSION, "Stop", nullptr, nullptr,
            nullptr);
    }
}

} // namespace qb::gnome
