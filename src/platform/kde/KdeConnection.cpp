#include "platform/kde/KdeConnection.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include <wayland-client.h>

#include "diagnostics/PlatformLog.h"
#include "fake-input-client.h"
#include "platform/WaylandThread.h"
#include "zkde-screencast-unstable-v1-client.h"

namespace qb::kde {

namespace {

using namespace std::chrono_literals;

// How long KWin gets to answer a round trip or to start a stream (a
// software-rendered KWin on a busy machine can take seconds).
constexpr auto ANSWER_LIMIT = 10s;
// The cursor travels beside the picture (PipeWire metadata): with the cursor
// drawn into it, KWin 5.27.5 crashed as soon as a consumer connected.
constexpr std::uint32_t POINTER_METADATA = ZKDE_SCREENCAST_UNSTABLE_V1_POINTER_METADATA;

struct Output {
    std::uint32_t global = 0;
    wl_output* proxy = nullptr;
    KdeOutput announced; // as of the last done event
    KdeOutput pending;
    std::int32_t scale = 1;
};

struct StreamState {
    zkde_screencast_stream_unstable_v1* proxy = nullptr;
    std::uint32_t handle = 0;
    std::uint32_t node = 0;
    bool created = false;
    bool failed = false;
    std::string error;
};

} // namespace

struct KdeConnection::State {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    zkde_screencast_unstable_v1* screencast = nullptr;
    std::uint32_t screencastVersion = 0;
    org_kde_kwin_fake_input* fakeInput = nullptr;
    std::uint32_t fakeInputVersion = 0;
    WaylandThread thread;

    // The thread's own.
    std::map<std::uint32_t, Output> outputs; // by global name
    std::set<wl_callback*> syncs;
    std::function<void()> onLost;
    std::uint32_t nextHandle = 1;

    // Answers awaited by other threads.
    std::mutex answersLock;
    std::condition_variable answered;
    std::uint64_t syncsSent = 0;
    std::uint64_t syncsDone = 0;
    std::map<std::uint32_t, std::unique_ptr<StreamState>> streams; // by handle
    std::map<std::uint32_t, KdeOutput> current;                    // outputs by global, as announced

    // The proxies first: one left alive at the disconnect is never freed.
    void disconnect()
    {
        if (!display) return;
        for (wl_callback* callback : syncs) wl_callback_destroy(callback);
        syncs.clear();
        {
            std::lock_guard guard(answersLock);
            for (auto& [handle, stream] : streams) {
                if (stream->proxy) zkde_screencast_stream_unstable_v1_close(stream->proxy);
            }
            streams.clear();
        }
        for (auto& [global, output] : outputs) wl_output_destroy(output.proxy);
        outputs.clear();
        if (fakeInput) org_kde_kwin_fake_input_destroy(std::exchange(fakeInput, nullptr));
        if (screencast) zkde_screencast_unstable_v1_destroy(std::exchange(screencast, nullptr));
        if (registry) wl_registry_destroy(std::exchange(registry, nullptr));
        wl_display_flush(display);
        wl_display_disconnect(std::exchange(display, nullptr));
    }

    // ---- the thread

    void run(std::function<void()> task) { thread.run(std::move(task)); }
    bool lost() const { return thread.lost(); }

    void loop()
    {
        WaylandThread::Hooks hooks;
        hooks.broken = [this] {
            platformLog(LogLevel::warn, "Kde", "[Kde] WARNING: the connection to KWin ended");
            {
                std::lock_guard guard(answersLock);
                for (auto& [handle, stream] : streams) {
                    stream->failed = true;
                    stream->error = "KWin went away";
                }
                answered.notify_all();
            }
            if (onLost) onLost();
        };
        thread.loop(display, hooks);
        disconnect();
    }

    // A round trip from another thread: every event KWin sent before it is handled on return.
    bool roundTrip()
    {
        std::uint64_t ticket = 0;
        run([&] {
            wl_callback* callback = wl_display_sync(display);
            syncs.insert(callback);
            wl_callback_add_listener(callback, &SYNC_LISTENER, this);
            std::lock_guard guard(answersLock);
            ticket = ++syncsSent;
        });
        std::unique_lock guard(answersLock);
        return ticket != 0 && answered.wait_for(guard, ANSWER_LIMIT, [&] { return syncsDone >= ticket || lost(); })
            && !lost();
    }

    static void syncDone(void* data, wl_callback* callback, uint32_t)
    {
        auto* self = static_cast<State*>(data);
        self->syncs.erase(callback);
        wl_callback_destroy(callback);
        std::lock_guard guard(self->answersLock);
        ++self->syncsDone;
        self->answered.notify_all();
    }
    static constexpr wl_callback_listener SYNC_LISTENER = {syncDone};

    // ---- outputs

    static Output& outputOf(void* data) { return *static_cast<Output*>(data); }
    static void outputGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*,
        const char* model, int32_t)
    {
        Output& output = outputOf(data);
        output.pending.x = x;
        output.pending.y = y;
        if (output.pending.name.empty() && model) output.pending.name = model;
    }
    static void outputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t)
    {
        if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
        outputOf(data).pending.pixelWidth = std::uint32_t(width);
        outputOf(data).pending.pixelHeight = std::uint32_t(height);
    }
    static void outputScale(void* data, wl_output*, int32_t scale) { outputOf(data).scale = std::max(1, scale); }
    static void outputName(void* data, wl_output*, const char* name) { outputOf(data).pending.name = name; }
    static void outputDescription(void*, wl_output*, const char*) {}
    static void outputDone(void* data, wl_output*)
    {
        Output& output = outputOf(data);
        output.pending.logicalWidth = output.pending.pixelWidth / std::uint32_t(output.scale);
        output.pending.logicalHeight = output.pending.pixelHeight / std::uint32_t(output.scale);
        output.announced = output.pending;
        std::lock_guard guard(currentState->answersLock);
        currentState->current[output.global] = output.announced;
    }
    static constexpr wl_output_listener OUTPUT_LISTENER = {
        outputGeometry, outputMode, outputDone, outputScale, outputName, outputDescription};

    // Set on the connection's thread (one connection per thread).
    static thread_local State* currentState;

    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version)
    {
        auto* self = static_cast<State*>(data);
        const std::string_view kind = interface;
        if (kind == wl_output_interface.name && version >= 2) {
            Output& output = self->outputs[name];
            output.global = name;
            output.proxy = static_cast<wl_output*>(
                wl_registry_bind(registry, name, &wl_output_interface, std::min<std::uint32_t>(version, 4)));
            wl_output_add_listener(output.proxy, &OUTPUT_LISTENER, &output);
        } else if (kind == zkde_screencast_unstable_v1_interface.name && !self->screencast) {
            self->screencastVersion = std::min<std::uint32_t>(version, 3);
            self->screencast = static_cast<zkde_screencast_unstable_v1*>(
                wl_registry_bind(registry, name, &zkde_screencast_unstable_v1_interface, self->screencastVersion));
        } else if (kind == org_kde_kwin_fake_input_interface.name && version >= 3 && !self->fakeInput) {
            self->fakeInputVersion = std::min<std::uint32_t>(version, 4);
            self->fakeInput = static_cast<org_kde_kwin_fake_input*>(
                wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, self->fakeInputVersion));
            org_kde_kwin_fake_input_authenticate(self->fakeInput, "QuillBright",
                "Touches on the tablet move and click the pointer");
        }
    }

    static void globalRemove(void* data, wl_registry*, uint32_t name)
    {
        auto* self = static_cast<State*>(data);
        auto it = self->outputs.find(name);
        if (it == self->outputs.end()) return;
        wl_output_destroy(it->second.proxy);
        self->outputs.erase(it);
        std::lock_guard guard(self->answersLock);
        self->current.erase(name);
    }
    static constexpr wl_registry_listener REGISTRY_LISTENER = {global, globalRemove};

    // ---- streams

    // The stream's PipeWire node goes with it, which its consumer hears.
    static void streamClosed(void* data, zkde_screencast_stream_unstable_v1*)
    {
        auto* self = currentState;
        std::lock_guard guard(self->answersLock);
        auto it = self->streams.find(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(data)));
        if (it == self->streams.end()) return;
        it->second->failed = true;
        if (it->second->error.empty()) it->second->error = "KWin closed the stream";
        self->answered.notify_all();
    }
    static void streamCreated(void* data, zkde_screencast_stream_unstable_v1*, uint32_t node)
    {
        auto* self = currentState;
        std::lock_guard guard(self->answersLock);
        auto it = self->streams.find(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(data)));
        if (it == self->streams.end()) return;
        it->second->node = node;
        it->second->created = true;
        self->answered.notify_all();
    }
    static void streamFailed(void* data, zkde_screencast_stream_unstable_v1*, const char* error)
    {
        auto* self = currentState;
        std::lock_guard guard(self->answersLock);
        auto it = self->streams.find(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(data)));
        if (it == self->streams.end()) return;
        it->second->failed = true;
        it->second->error = error ? error : "unknown error";
        self->answered.notify_all();
    }
    static constexpr zkde_screencast_stream_unstable_v1_listener STREAM_LISTENER = {
        streamClosed, streamCreated, streamFailed};

    // Makes a stream with `open` on the thread and waits for KWin's answer.
    std::optional<Stream> stream(const std::function<zkde_screencast_stream_unstable_v1*()>& open, std::string* error)
    {
        std::uint32_t handle = 0;
        run([&] {
            auto* proxy = open();
            if (!proxy) return;
            handle = nextHandle++;
            zkde_screencast_stream_unstable_v1_add_listener(proxy, &STREAM_LISTENER,
                reinterpret_cast<void*>(std::uintptr_t(handle)));
            auto state = std::make_unique<StreamState>();
            state->proxy = proxy;
            state->handle = handle;
            std::lock_guard guard(answersLock);
            streams[handle] = std::move(state);
        });
        if (handle == 0) {
            if (error) *error = lost() ? "KWin went away" : "KWin offers no such stream";
            return std::nullopt;
        }
        std::unique_lock guard(answersLock);
        const bool answer = answered.wait_for(guard, ANSWER_LIMIT, [&] {
            auto it = streams.find(handle);
            return it == streams.end() || it->second->created || it->second->failed;
        });
        auto it = streams.find(handle);
        if (answer && it != streams.end() && it->second->created && !it->second->failed) {
            return Stream{handle, it->second->node};
        }
        if (error) {
            *error = !answer ? "KWin did not answer in " + std::to_string(ANSWER_LIMIT.count()) + " s"
                : it == streams.end() ? "the stream was closed"
                                      : "KWin refused: " + it->second->error;
        }
        guard.unlock();
        close(handle);
        return std::nullopt;
    }

    void close(std::uint32_t handle)
    {
        run([&] {
            std::unique_ptr<StreamState> state;
            {
                std::lock_guard guard(answersLock);
                auto it = streams.find(handle);
                if (it == streams.end()) return;
                state = std::move(it->second);
                streams.erase(it);
            }
            zkde_screencast_stream_unstable_v1_close(state->proxy);
        });
    }
};

thread_local KdeConnection::State* KdeConnection::State::currentState = nullptr;

std::shared_ptr<KdeConnection> KdeConnection::connect(const std::string& display, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::shared_ptr<KdeConnection> {
        if (error) *error = why;
        return nullptr;
    };
    auto state = std::make_shared<State>();
    state->display = wl_display_connect(display.empty() ? nullptr : display.c_str());
    if (!state->display) return fail("cannot connect to the Wayland display " + display);
    state->registry = wl_display_get_registry(state->display);
    wl_registry_add_listener(state->registry, &State::REGISTRY_LISTENER, state.get());
    // The globals, then the outputs' first events.
    State::currentState = state.get();
    const bool answered = wl_display_roundtrip(state->display) >= 0 && wl_display_roundtrip(state->display) >= 0;
    State::currentState = nullptr;
    if (!answered || !state->screencast) {
        const bool hadScreencast = state->screencast != nullptr;
        state->disconnect();
        if (!answered) return fail("the Wayland display " + display + " did not answer");
        if (!hadScreencast) {
            return fail("the compositor on " + display + " offers this program no KDE screencast "
                "(zkde_screencast_unstable_v1): not KWin, or KWin's permission check refused it");
        }
    }
    if (state->screencastVersion < 2) {
        platformLog(LogLevel::warn, "Kde", "[Kde] WARNING: KWin's screencast is older than version 2: no virtual "
                                           "outputs, mirror mode only");
    }
    if (!state->thread.prepare()) {
        state->disconnect();
        return fail("no eventfd");
    }
    // The thread keeps the state alive: a connection let go on its own
    // thread ends there later.
    state->thread.start([state] {
        State::currentState = state.get();
        state->loop();
    });
    std::shared_ptr<KdeConnection> connection(new KdeConnection);
    connection->state_ = std::move(state);
    return connection;
}

KdeConnection::~KdeConnection()
{
    if (state_) state_->thread.stop();
}

std::vector<KdeOutput> KdeConnection::outputs()
{
    // Two: an output announced during the first is bound then, and its
    // description arrives before the second's answer.
    state_->roundTrip();
    state_->roundTrip();
    std::lock_guard guard(state_->answersLock);
    std::vector<KdeOutput> found;
    for (const auto& [global, output] : state_->current) {
        if (!output.name.empty() && output.pixelWidth > 0) found.push_back(output);
    }
    return found;
}

bool KdeConnection::canInject() const { return state_->fakeInput != nullptr; }

std::optional<KdeConnection::Stream> KdeConnection::streamOutput(const std::string& name, std::string* error)
{
    State* s = state_.get();
    return s->stream(
        [s, name]() -> zkde_screencast_stream_unstable_v1* {
            for (auto& [global, output] : s->outputs) {
                if (output.announced.name == name) {
                    return zkde_screencast_unstable_v1_stream_output(s->screencast, output.proxy, POINTER_METADATA);
                }
            }
            return nullptr;
        },
        error);
}

std::optional<KdeConnection::Stream> KdeConnection::streamVirtualOutput(const std::string& name, std::uint32_t width,
    std::uint32_t height, double scale, std::string* error)
{
    State* s = state_.get();
    if (s->screencastVersion < 2) {
        if (error) *error = "KWin's screencast is older than version 2 (no virtual outputs)";
        return std::nullopt;
    }
    return s->stream(
        [s, name, width, height, scale] {
            return zkde_screencast_unstable_v1_stream_virtual_output(s->screencast, name.c_str(), std::int32_t(width),
                std::int32_t(height), wl_fixed_from_double(scale), POINTER_METADATA);
        },
        error);
}

void KdeConnection::closeStream(std::uint32_t handle) { state_->close(handle); }

void KdeConnection::pointer(double x, double y, std::optional<ButtonChange> button)
{
    state_->thread.post([s = state_.get(), x, y, button] {
        if (!s->fakeInput) return;
        org_kde_kwin_fake_input_pointer_motion_absolute(s->fakeInput, wl_fixed_from_double(x),
            wl_fixed_from_double(y));
        if (button) {
            org_kde_kwin_fake_input_button(s->fakeInput, button->code,
                button->pressed ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
        }
    });
}

void KdeConnection::scroll(double vertical, double horizontal)
{
    state_->thread.post([s = state_.get(), vertical, horizontal] {
        if (!s->fakeInput) return;
        if (vertical != 0) {
            org_kde_kwin_fake_input_axis(s->fakeInput, WL_POINTER_AXIS_VERTICAL_SCROLL, wl_fixed_from_double(vertical));
        }
        if (horizontal != 0) {
            org_kde_kwin_fake_input_axis(s->fakeInput, WL_POINTER_AXIS_HORIZONTAL_SCROLL,
                wl_fixed_from_double(horizontal));
        }
    });
}

void KdeConnection::onLost(std::function<void()> callback)
{
    state_->run([s = state_.get(), callback = std::move(callback)]() mutable { s->onLost = std::move(callback); });
}

} // namespace qb::kde
