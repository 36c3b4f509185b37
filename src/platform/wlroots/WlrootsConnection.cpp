#include "platform/wlroots/WlrootsConnection.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <wayland-client.h>

#include "diagnostics/PlatformLog.h"
#include "platform/WaylandThread.h"
#include "wlr-screencopy-unstable-v1-client.h"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"

namespace qb::wlroots {

namespace {

using namespace std::chrono_literals;

// Sub-pixel positions survive motion_absolute's integers.
constexpr double POSITION_STEPS = 256;
// A failed copy (the output went away a moment) is tried again after this.
constexpr auto RETRY_DELAY = 50ms;

void log(LogLevel level, const std::string& line) { platformLog(level, "Wlroots", line); }

std::uint32_t milliseconds()
{
    return std::uint32_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

struct Output {
    std::uint32_t global = 0;
    wl_output* proxy = nullptr;
    std::string name;
    std::uint32_t width = 0; // current mode
    std::uint32_t height = 0;
    std::int32_t scale = 1;
    zwlr_virtual_pointer_v1* pointer = nullptr;
};

struct ShmBuffer {
    wl_buffer* buffer = nullptr;
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::uint32_t format = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;

    void release()
    {
        if (buffer) wl_buffer_destroy(buffer);
        if (data) munmap(data, size);
        *this = {};
    }
};

struct Capture {
    std::uint32_t id = 0;
    std::function<std::string()> target;
    bool cursor = false;
    std::shared_ptr<FrameSink> sink;
    zwlr_screencopy_frame_v1* frame = nullptr;
    std::string output; // the one being copied
    ShmBuffer shm;
    // The offer of the frame under way.
    std::uint32_t offeredFormat = 0;
    std::uint32_t offeredWidth = 0;
    std::uint32_t offeredHeight = 0;
    std::uint32_t offeredStride = 0;
    bool offered = false;
    bool inverted = false;
    bool whole = true; // the next picture is reported whole
    std::vector<CaptureRect> damage;
    std::vector<std::uint8_t> flipped;
    std::optional<std::chrono::steady_clock::time_point> retryAt;
};

} // namespace

struct WlrootsConnection::State {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_shm* shm = nullptr;
    wl_seat* seat = nullptr;
    zwlr_screencopy_manager_v1* screencopy = nullptr;
    std::uint32_t screencopyVersion = 0;
    zwlr_virtual_pointer_manager_v1* pointers = nullptr;
    std::uint32_t pointersVersion = 0;
    zwp_virtual_keyboard_manager_v1* keyboards = nullptr;
    WaylandThread thread;

    // The thread's own.
    std::map<std::uint32_t, Output> outputs; // by global name
    std::map<std::uint32_t, std::unique_ptr<Capture>> captures;
    std::string lastOutput; // of the last pointer motion
    std::function<void()> onLost;
    // The virtual keyboard, its keymap (key n + 1 types keysyms[n]) and the
    // modifiers it holds down.
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    std::vector<std::uint32_t> keysyms;
    std::uint32_t modifiers = 0;

    // Readable from any thread.
    mutable std::mutex namesLock;
    std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> named;
    std::map<std::string, std::int32_t> scales;

    ~State() { disconnect(); }

    // The proxies first: one left alive at the disconnect is never freed.
    void disconnect()
    {
        if (!display) return;
        for (auto& [global, output] : outputs) {
            if (output.proxy) wl_output_destroy(std::exchange(output.proxy, nullptr));
        }
        if (keyboard) zwp_virtual_keyboard_v1_destroy(std::exchange(keyboard, nullptr));
        if (keyboards) zwp_virtual_keyboard_manager_v1_destroy(std::exchange(keyboards, nullptr));
        if (pointers) zwlr_virtual_pointer_manager_v1_destroy(std::exchange(pointers, nullptr));
        if (screencopy) zwlr_screencopy_manager_v1_destroy(std::exchange(screencopy, nullptr));
        if (seat) wl_seat_destroy(std::exchange(seat, nullptr));
        if (shm) wl_shm_destroy(std::exchange(shm, nullptr));
        if (registry) wl_registry_destroy(std::exchange(registry, nullptr));
        wl_display_disconnect(std::exchange(display, nullptr));
    }

    // ---- the thread

    void post(std::function<void()> task) { thread.post(std::move(task)); }
    void run(std::function<void()> task) { thread.run(std::move(task)); }

    void loop()
    {
        WaylandThread::Hooks hooks;
        // A failed copy is tried again when its delay is up.
        hooks.timeout = [this] {
            int timeout = -1;
            const auto now = std::chrono::steady_clock::now();
            for (auto& [id, capture] : captures) {
                if (!capture->retryAt) continue;
                const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*capture->retryAt - now);
                const int due = int(std::max<long>(0, wait.count()));
                timeout = timeout < 0 ? due : std::min(timeout, due);
            }
            return timeout;
        };
        hooks.tick = [this] { retryDue(); };
        hooks.broken = [this] {
            log(LogLevel::warn, "[Wlroots] WARNING: the compositor connection ended");
            for (auto& [id, capture] : captures) capture->sink->ended();
            if (onLost) onLost();
        };
        thread.loop(display, hooks);
    }

    // ---- outputs

    static void outputGeometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
        const char*, int32_t)
    {
    }
    static void outputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t)
    {
        auto* output = static_cast<Output*>(data);
        if (flags & WL_OUTPUT_MODE_CURRENT) {
            output->width = std::uint32_t(width);
            output->height = std::uint32_t(height);
        }
    }
    static void outputDone(void* data, wl_output*)
    {
        auto* output = static_cast<Output*>(data);
        {
            std::lock_guard guard(currentState->namesLock);
            if (output->name.empty()) return;
            currentState->named[output->name] = {output->width, output->height};
            currentState->scales[output->name] = std::max(1, output->scale);
        }
        // The output's pointer exists before the first touch: a seat that had
        // no pointer gains one now, so its clients have bound theirs by then
        // and the first click is not lost. The keyboard likewise: a client
        // binds its keyboard only once the seat has one, and keys before that
        // would go nowhere.
        currentState->pointerOf(*output);
        currentState->keyboardMade();
    }
    static void outputScale(void* data, wl_output*, int32_t scale) { static_cast<Output*>(data)->scale = scale; }
    static void outputName(void* data, wl_output*, const char* name) { static_cast<Output*>(data)->name = name; }
    static void outputDescription(void*, wl_output*, const char*) {}
    static constexpr wl_output_listener OUTPUT_LISTENER = {
        outputGeometry, outputMode, outputDone, outputScale, outputName, outputDescription};

    // Set while the connection's thread dispatches (one connection per thread).
    static thread_local State* currentState;

    Output* outputNamed(const std::string& name)
    {
        for (auto& [global, output] : outputs) {
            if (output.name == name) return &output;
        }
        return nullptr;
    }

    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version)
    {
        auto* self = static_cast<State*>(data);
        const std::string_view kind = interface;
        if (kind == wl_output_interface.name && version >= 4) {
            Output& output = self->outputs[name];
            output.global = name;
            output.proxy = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 4));
            wl_output_add_listener(output.proxy, &OUTPUT_LISTENER, &output);
        } else if (kind == wl_shm_interface.name) {
            self->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        } else if (kind == wl_seat_interface.name && !self->seat) {
            self->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        } else if (kind == zwlr_screencopy_manager_v1_interface.name) {
            self->screencopyVersion = std::min<std::uint32_t>(version, 3);
            self->screencopy = static_cast<zwlr_screencopy_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_screencopy_manager_v1_interface, self->screencopyVersion));
        } else if (kind == zwlr_virtual_pointer_manager_v1_interface.name && version >= 2) {
            self->pointersVersion = 2;
            self->pointers = static_cast<zwlr_virtual_pointer_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 2));
        } else if (kind == zwp_virtual_keyboard_manager_v1_interface.name) {
            self->keyboards = static_cast<zwp_virtual_keyboard_manager_v1*>(
                wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
        }
    }

    static void globalRemove(void* data, wl_registry*, uint32_t name)
    {
        auto* self = static_cast<State*>(data);
        auto it = self->outputs.find(name);
        if (it == self->outputs.end()) return;
        Output& output = it->second;
        {
            std::lock_guard guard(self->namesLock);
            self->named.erase(output.name);
            self->scales.erase(output.name);
        }
        // A copy of it under way will never finish: it starts over on whatever the display shows next.
        for (auto& [id, capture] : self->captures) {
            if (capture->output == output.name) self->restart(*capture, RETRY_DELAY);
        }
        if (output.pointer) zwlr_virtual_pointer_v1_destroy(output.pointer);
        wl_output_release(output.proxy);
        self->outputs.erase(it);
    }

    static constexpr wl_registry_listener REGISTRY_LISTENER = {global, globalRemove};

    // ---- screencopy

    static void frameBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
        uint32_t stride)
    {
        auto* capture = static_cast<Capture*>(data);
        // 32-bit B,G,R,x in memory: what the capture seam takes as it is.
        if (format != WL_SHM_FORMAT_XRGB8888 && format != WL_SHM_FORMAT_ARGB8888) return;
        if (capture->offered) return;
        capture->offered = true;
        capture->offeredFormat = format;
        capture->offeredWidth = width;
        capture->offeredHeight = height;
        capture->offeredStride = stride;
        if (zwlr_screencopy_frame_v1_get_version(capture->frame) < 3) currentState->copy(*capture);
    }
    static void frameFlags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags)
    {
        static_cast<Capture*>(data)->inverted = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
    }
    static void frameReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t)
    {
        currentState->ready(*static_cast<Capture*>(data));
    }
    static void frameFailed(void* data, zwlr_screencopy_frame_v1*)
    {
        currentState->restart(*static_cast<Capture*>(data), RETRY_DELAY);
    }
    static void frameDamage(void* data, zwlr_screencopy_frame_v1*, uint32_t x, uint32_t y, uint32_t width,
        uint32_t height)
    {
        static_cast<Capture*>(data)->damage.push_back({x, y, width, height});
    }
    static void frameDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
    static void frameBufferDone(void* data, zwlr_screencopy_frame_v1*)
    {
        currentState->copy(*static_cast<Capture*>(data));
    }
    static constexpr zwlr_screencopy_frame_v1_listener FRAME_LISTENER = {
        frameBuffer, frameFlags, frameReady, frameFailed, frameDamage, frameDmabuf, frameBufferDone};

    void request(Capture& capture)
    {
        capture.retryAt.reset();
        const std::string name = capture.target();
        Output* output = name.empty() ? nullptr : outputNamed(name);
        if (!output) {
            // Not (yet) announced: look again shortly.
            capture.retryAt = std::chrono::steady_clock::now() + RETRY_DELAY;
            return;
        }
        if (capture.output != name) capture.whole = true;
        capture.output = name;
        capture.offered = false;
        capture.damage.clear();
        capture.inverted = false;
        capture.frame = zwlr_screencopy_manager_v1_capture_output(screencopy, capture.cursor ? 1 : 0, output->proxy);
        zwlr_screencopy_frame_v1_add_listener(capture.frame, &FRAME_LISTENER, &capture);
    }

    void restart(Capture& capture, std::chrono::milliseconds delay)
    {
        if (capture.frame) zwlr_screencopy_frame_v1_destroy(capture.frame);
        capture.frame = nullptr;
        capture.whole = true;
        capture.retryAt = std::chrono::steady_clock::now() + delay;
    }

    void retryDue()
    {
        const auto now = std::chrono::steady_clock::now();
        for (auto& [id, capture] : captures) {
            if (capture->retryAt && *capture->retryAt <= now) request(*capture);
        }
    }

    void copy(Capture& capture)
    {
        if (!capture.offered) {
            log(LogLevel::warn, "[Wlroots] WARNING: the compositor offers no shared-memory XRGB buffer for capture");
            restart(capture, 1000ms);
            return;
        }
        ShmBuffer& shm = capture.shm;
        if (shm.width != capture.offeredWidth || shm.height != capture.offeredHeight
            || shm.stride != capture.offeredStride || shm.format != capture.offeredFormat) {
            shm.release();
            if (!allocate(shm, capture)) {
                restart(capture, 1000ms);
                return;
            }
            capture.whole = true;
        }
        if (zwlr_screencopy_frame_v1_get_version(capture.frame) >= 2) {
            zwlr_screencopy_frame_v1_copy_with_damage(capture.frame, shm.buffer);
        } else {
            zwlr_screencopy_frame_v1_copy(capture.frame, shm.buffer);
        }
    }

    bool allocate(ShmBuffer& shm, const Capture& capture)
    {
        const std::size_t size = std::size_t(capture.offeredStride) * capture.offeredHeight;
        if (size == 0 || capture.offeredStride < capture.offeredWidth * 4) return false;
        const int fd = memfd_create("quillbright-screencopy", MFD_CLOEXEC);
        if (fd < 0) return false;
        if (ftruncate(fd, off_t(size)) != 0) {
            close(fd);
            return false;
        }
        void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (data == MAP_FAILED) {
            close(fd);
            return false;
        }
        wl_shm_pool* pool = wl_shm_create_pool(shm_(), fd, std::int32_t(size));
        shm.buffer = wl_shm_pool_create_buffer(pool, 0, std::int32_t(capture.offeredWidth),
            std::int32_t(capture.offeredHeight), std::int32_t(capture.offeredStride), capture.offeredFormat);
        wl_shm_pool_destroy(pool);
        close(fd);
        shm.data = static_cast<std::uint8_t*>(data);
        shm.size = size;
        shm.format = capture.offeredFormat;
        shm.width = capture.offeredWidth;
        shm.height = capture.offeredHeight;
        shm.stride = capture.offeredStride;
        return true;
    }
    wl_shm* shm_() const { return shm; }

    void ready(Capture& capture)
    {
        zwlr_screencopy_frame_v1_destroy(capture.frame);
        capture.frame = nullptr;
        const ShmBuffer& shm = capture.shm;
        PushedFrame frame{shm.data, shm.width, shm.height, shm.stride, {}};
        if (capture.inverted) {
            capture.flipped.resize(shm.size);
            for (std::size_t row = 0; row < shm.height; ++row) {
                std::memcpy(capture.flipped.data() + row * shm.stride,
                    shm.data + (shm.height - 1 - row) * std::size_t(shm.stride), shm.stride);
            }
            frame.data = capture.flipped.data();
        } else if (!capture.whole) {
            for (auto rect : capture.damage) {
                // Clipped to the picture: the damage comes from the compositor.
                if (rect.x >= shm.width || rect.y >= shm.height) continue;
                rect.width = std::min(rect.width, shm.width - rect.x);
                rect.height = std::min(rect.height, shm.height - rect.y);
                if (rect.width && rect.height) frame.damage.push_back(rect);
            }
            // Damage that covers nothing still means a new picture: say all of it.
        }
        capture.whole = false;
        capture.sink->frame(frame);
        request(capture);
    }

    // ---- input

    zwlr_virtual_pointer_v1* pointerOf(Output& output)
    {
        if (!output.pointer && pointers) {
            output.pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(pointers, seat,
                output.proxy);
        }
        return output.pointer;
    }

    // The keymap of our keyboard: each keysym on a key of its own, one level,
    // the four modifiers on theirs. Sent again whenever a keysym joins.
    bool sendKeymap()
    {
        std::string text = "xkb_keymap {\nxkb_keycodes \"quillbright\" {\n minimum = 8;\n maximum = 255;\n";
        for (std::size_t i = 0; i < keysyms.size(); ++i) text += fmt::format(" <K{}> = {};\n", i, i + 9);
        text += "};\nxkb_types \"quillbright\" { include \"complete\" };\n"
                "xkb_compatibility \"quillbright\" { include \"complete\" };\nxkb_symbols \"quillbright\" {\n";
        for (std::size_t i = 0; i < keysyms.size(); ++i) text += fmt::format(" key <K{}> {{ [ {:#x} ] }};\n", i, keysyms[i]);
        for (const auto& [keysym, name] : MODIFIER_NAMES) {
            const auto at = std::find(keysyms.begin(), keysyms.end(), keysym);
            if (at != keysyms.end()) text += fmt::format(" modifier_map {} {{ <K{}> }};\n", name, at - keysyms.begin());
        }
        text += "};\n};\n";
        const int fd = memfd_create("quillbright-keymap", MFD_CLOEXEC);
        if (fd < 0) return false;
        const bool written = write(fd, text.c_str(), text.size() + 1) == ssize_t(text.size() + 1);
        if (written) zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, std::uint32_t(text.size() + 1));
        close(fd); // the request sent a copy
        return written;
    }

    // Our keyboard, made with a keymap of the modifiers if it is not yet; false when none can be.
    bool keyboardMade()
    {
        if (keyboard) return true;
        if (!keyboards || !seat) return false;
        keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboards, seat);
        keysyms = {KEYSYM_SHIFT, KEYSYM_CONTROL, KEYSYM_ALT, KEYSYM_SUPER};
        if (sendKeymap()) return true;
        zwp_virtual_keyboard_v1_destroy(std::exchange(keyboard, nullptr)); // keys without a keymap are an error
        return false;
    }

    void key(std::uint32_t keysym, bool down)
    {
        if (!keyboardMade()) return;
        auto at = std::find(keysyms.begin(), keysyms.end(), keysym);
        if (at == keysyms.end()) {
            if (!down) return;
            // Room for 247 keys: beyond that the keymap starts again from the modifiers.
            if (keysyms.size() >= 247) keysyms.resize(4);
            keysyms.push_back(keysym);
            if (!sendKeymap()) return;
            at = keysyms.end() - 1;
        }
        const auto key = std::uint32_t(at - keysyms.begin()) + 1; // evdev codes are xkb's less 8
        zwp_virtual_keyboard_v1_key(keyboard, milliseconds(), key,
            down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
        // The compositor takes a virtual keyboard's modifiers as told, not from its keys.
        for (const auto& [modifier, mask] : MODIFIER_MASKS) {
            if (modifier != keysym) continue;
            modifiers = down ? (modifiers | mask) : (modifiers & ~mask);
            zwp_virtual_keyboard_v1_modifiers(keyboard, modifiers, 0, 0, 0);
        }
    }

    // The real modifiers of the "complete" compatibility: Shift, Control, Mod1 (Alt), Mod4 (Super).
    static constexpr std::pair<std::uint32_t, const char*> MODIFIER_NAMES[] = {
        {KEYSYM_SHIFT, "Shift"}, {KEYSYM_CONTROL, "Control"}, {KEYSYM_ALT, "Mod1"}, {KEYSYM_SUPER, "Mod4"}};
    static constexpr std::pair<std::uint32_t, std::uint32_t> MODIFIER_MASKS[] = {
        {KEYSYM_SHIFT, 1u << 0}, {KEYSYM_CONTROL, 1u << 2}, {KEYSYM_ALT, 1u << 3}, {KEYSYM_SUPER, 1u << 6}};
};

thread_local WlrootsConnection::State* WlrootsConnection::State::currentState = nullptr;

bool advertisesWlrootsGlobals(const std::string& name)
{
    wl_display* display = wl_display_connect(name.empty() ? nullptr : name.c_str());
    if (!display) return false;
    struct Seen {
        bool screencopy = false;
        bool pointers = false;
    } seen;
    static constexpr wl_registry_listener LISTENER = {
        [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
            auto* seen = static_cast<Seen*>(data);
            const std::string_view kind = interface;
            if (kind == zwlr_screencopy_manager_v1_interface.name) seen->screencopy = true;
            if (kind == zwlr_virtual_pointer_manager_v1_interface.name) seen->pointers = true;
        },
        [](void*, wl_registry*, uint32_t) {},
    };
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &LISTENER, &seen);
    const bool answered = wl_display_roundtrip(display) >= 0;
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return answered && seen.screencopy && seen.pointers;
}

std::shared_ptr<WlrootsConnection> WlrootsConnection::connect(const std::string& name, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::shared_ptr<WlrootsConnection> {
        if (error) *error = why;
        return nullptr;
    };
    std::shared_ptr<WlrootsConnection> connection(new WlrootsConnection);
    auto state = std::make_shared<State>();
    state->display = wl_display_connect(name.empty() ? nullptr : name.c_str());
    if (!state->display) return fail("cannot connect to the Wayland display " + name);
    state->registry = wl_display_get_registry(state->display);
    State::currentState = state.get();
    wl_registry_add_listener(state->registry, &State::REGISTRY_LISTENER, state.get());
    // Globals, then each output's name and mode.
    wl_display_roundtrip(state->display);
    wl_display_roundtrip(state->display);
    State::currentState = nullptr;
    auto teardown = [&] { state->disconnect(); };
    if (!state->screencopy || !state->shm) {
        teardown();
        return fail("the compositor offers no wlr-screencopy (zwlr_screencopy_manager_v1)");
    }
    if (!state->thread.prepare()) {
        teardown();
        return fail("no eventfd");
    }
    // The thread keeps its state alive: it may outlive the connection (below).
    state->thread.start([state] {
        State::currentState = state.get();
        state->loop();
    });
    connection->state_ = std::move(state);
    return connection;
}

WlrootsConnection::~WlrootsConnection()
{
    if (!state_) return;
    if (state_->thread.onThread()) {
        // The last owner let go on the connection's own thread (a capture's
        // callback): it ends on its own.
        state_->thread.stop();
        return;
    }
    state_->run([s = state_.get()] {
        for (auto& [id, capture] : s->captures) {
            if (capture->frame) zwlr_screencopy_frame_v1_destroy(capture->frame);
            capture->shm.release();
        }
        s->captures.clear();
        for (auto& [global, output] : s->outputs) {
            if (output.pointer) zwlr_virtual_pointer_v1_destroy(output.pointer);
        }
        wl_display_flush(s->display);
    });
    state_->thread.stop();
}

bool WlrootsConnection::hasOutput(const std::string& name, std::uint32_t width, std::uint32_t height)
{
    std::lock_guard guard(state_->namesLock);
    auto it = state_->named.find(name);
    if (it == state_->named.end()) return false;
    return width == 0 || it->second == std::pair(width, height);
}

std::vector<SwayOutput> WlrootsConnection::outputs() const
{
    std::lock_guard guard(state_->namesLock);
    std::vector<SwayOutput> found;
    for (const auto& [name, size] : state_->named) {
        const int scale = state_->scales.count(name) ? state_->scales.at(name) : 1;
        found.push_back({name, true, 0, 0, int(size.first) / scale, int(size.second) / scale, int(size.first),
            int(size.second), double(scale)});
    }
    return found;
}

bool WlrootsConnection::canInject() const { return state_->pointers != nullptr; }

bool WlrootsConnection::canType() const { return state_->keyboards != nullptr; }

void WlrootsConnection::key(std::uint32_t keysym, bool down)
{
    state_->post([s = state_.get(), keysym, down] { s->key(keysym, down); });
}

void WlrootsConnection::startCapture(std::uint32_t id, std::function<std::string()> target, bool cursor,
    std::shared_ptr<FrameSink> sink)
{
    state_->run([s = state_.get(), id, target = std::move(target), cursor, sink = std::move(sink)]() mutable {
        if (auto it = s->captures.find(id); it != s->captures.end()) {
            if (it->second->frame) zwlr_screencopy_frame_v1_destroy(it->second->frame);
            it->second->shm.release();
        }
        auto capture = std::make_unique<Capture>();
        capture->id = id;
        capture->target = std::move(target);
        capture->cursor = cursor;
        capture->sink = std::move(sink);
        Capture& started = *capture;
        s->captures[id] = std::move(capture);
        s->request(started);
    });
}

void WlrootsConnection::stopCapture(std::uint32_t id, const FrameSink* sink)
{
    state_->run([s = state_.get(), id, sink] {
        auto it = s->captures.find(id);
        if (it == s->captures.end() || it->second->sink.get() != sink) return;
        if (it->second->frame) zwlr_screencopy_frame_v1_destroy(it->second->frame);
        it->second->shm.release();
        s->captures.erase(it);
    });
}

void WlrootsConnection::retarget(std::uint32_t id)
{
    state_->run([s = state_.get(), id] {
        auto it = s->captures.find(id);
        if (it != s->captures.end()) s->restart(*it->second, 0ms);
    });
}

void WlrootsConnection::endCapture(std::uint32_t id)
{
    state_->run([s = state_.get(), id] {
        auto it = s->captures.find(id);
        if (it == s->captures.end()) return;
        if (it->second->frame) zwlr_screencopy_frame_v1_destroy(it->second->frame);
        it->second->shm.release();
        auto sink = it->second->sink;
        s->captures.erase(it);
        sink->ended();
    });
}

void WlrootsConnection::pointer(const std::string& name, double x, double y, double width, double height,
    std::optional<ButtonChange> button)
{
    state_->post([s = state_.get(), name, x, y, width, height, button] {
        Output* output = s->outputNamed(name);
        if (!output || width <= 0 || height <= 0) return;
        zwlr_virtual_pointer_v1* pointer = s->pointerOf(*output);
        if (!pointer) return;
        const auto clamp = [](double value, double extent) {
            return std::uint32_t(std::lround(std::clamp(value, 0.0, extent - 1.0 / POSITION_STEPS) * POSITION_STEPS));
        };
        const std::uint32_t now = milliseconds();
        zwlr_virtual_pointer_v1_motion_absolute(pointer, now, clamp(x, width), clamp(y, height),
            std::uint32_t(std::lround(width * POSITION_STEPS)), std::uint32_t(std::lround(height * POSITION_STEPS)));
        zwlr_virtual_pointer_v1_frame(pointer);
        if (button) {
            zwlr_virtual_pointer_v1_button(pointer, now, button->code,
                button->pressed ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
            zwlr_virtual_pointer_v1_frame(pointer);
        }
        s->lastOutput = name;
    });
}

void WlrootsConnection::scroll(double vertical, double horizontal, bool stop)
{
    state_->post([s = state_.get(), vertical, horizontal, stop] {
        Output* output = s->outputNamed(s->lastOutput);
        zwlr_virtual_pointer_v1* pointer = output ? output->pointer : nullptr;
        if (!pointer) return; // no pointer on any output yet
        const std::uint32_t now = milliseconds();
        // wlroots files a source under the axis named last, and sway 1.7
        // aborts on a frame whose axes have different sources: each axis
        // is followed by its source.
        auto axis = [&](std::uint32_t which, double value) {
            if (value != 0) zwlr_virtual_pointer_v1_axis(pointer, now, which, wl_fixed_from_double(value));
            if (value == 0) zwlr_virtual_pointer_v1_axis_stop(pointer, now, which);
            zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_FINGER);
        };
        if (vertical != 0 || horizontal != 0) {
            if (vertical != 0) axis(WL_POINTER_AXIS_VERTICAL_SCROLL, vertical);
            if (horizontal != 0) axis(WL_POINTER_AXIS_HORIZONTAL_SCROLL, horizontal);
            zwlr_virtual_pointer_v1_frame(pointer);
        }
        if (stop) {
            axis(WL_POINTER_AXIS_VERTICAL_SCROLL, 0);
            axis(WL_POINTER_AXIS_HORIZONTAL_SCROLL, 0);
            zwlr_virtual_pointer_v1_frame(pointer);
        }
    });
}

void WlrootsConnection::onLost(std::function<void()> callback)
{
    state_->run([s = state_.get(), callback = std::move(callback)]() mutable { s->onLost = std::move(callback); });
}

} // namespace qb::wlroots
