// Display capture on X11: XDamage on the root window says when and where the
// picture changed; as soon as a change arrives, but at most once per minimum
// frame time (CaptureCadence), the stream reads the changed rows of the display's rectangle with XShmGetImage into a shared
// memory image (BGRA) and hands it to the handler with the changed
// rectangles. An unchanged screen produces no frames at all. With showCursor
// the pointer (XFixesGetCursorImage) is blended into the picture; its
// position is polled, since pointer motion damages nothing, and a moved
// pointer asks for a capture as a change does (the poll itself reads no
// picture, so it never holds a change back to its own tick). Each stream has a
// connection of its own, its damage events read on the stream's queue: a
// server that goes away ends the stream there, and never leaves the main
// loop waiting on a connection the capture holds. RandR's notifications of
// a changed layout trigger a capture too: the display's rectangle is looked
// up again for every capture, so the stream follows an output the user
// moved, and ends when the user turns it off.
//
// QUILLBRIGHT_TEST_X11_UNREPORTED_DAMAGE="x,y,width,height" (tests only)
// makes the stream deaf to damage inside that rectangle of the root window,
// as a server under load or a racing report would: what is drawn there
// reaches the picture only through a read of the whole display.

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"
#include "platform/CaptureCadence.h"
#include "platform/CaptureStream.h"
#include "platform/MirrorScaler.h"
#include "runtime/Clock.h"
#include "runtime/Queues.h"
#include "runtime/Timer.h"
#include "platform/x11/X11Platform.h"
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

namespace qb::x11 {

namespace {

// A shared-memory image of the display's rectangle.
struct ShmImage {
    XShmSegmentInfo info{};
    XImage* image = nullptr;
    Display* display = nullptr;

    bool create(Display* d, int width, int height)
    {
        display = d;
        const int screen = DefaultScreen(d);
        image = XShmCreateImage(d, DefaultVisual(d, screen), unsigned(DefaultDepth(d, screen)), ZPixmap, nullptr,
            &info, unsigned(width), unsigned(height));
        if (!image) return false;
        if (image->bits_per_pixel != 32) return destroy(), false;
        info.shmid = shmget(IPC_PRIVATE, std::size_t(image->bytes_per_line) * std::size_t(height), IPC_CREAT | 0600);
        if (info.shmid < 0) return destroy(), false;
        info.shmaddr = image->data = static_cast<char*>(shmat(info.shmid, nullptr, 0));
        shmctl(info.shmid, IPC_RMID, nullptr); // freed once both sides detach
        if (info.shmaddr == reinterpret_cast<char*>(-1)) {
            info.shmaddr = image->data = nullptr;
            return destroy(), false;
        }
        info.readOnly = False;
        if (!XShmAttach(d, &info)) return destroy(), false;
        attached = true;
        return true;
    }

    void destroy()
    {
        if (attached) XShmDetach(display, &info);
        attached = false;
        if (image) {
            image->data = nullptr;
            XDestroyImage(image);
            image = nullptr;
        }
        if (info.shmaddr) shmdt(info.shmaddr);
        info.shmaddr = nullptr;
    }

    bool attached = false;
};

struct Cursor {
    int x = 0; // top-left in root coordinates
    int y = 0;
    int width = 0;
    int height = 0;
    unsigned long serial = 0;
    std::vector<std::uint32_t> argb; // premultiplied
    bool operator==(const Cursor& other) const
    {
        return x == other.x && y == other.y && width == other.width && height == other.height
            && serial == other.serial;
    }
};

// Shared by the stream and its timers and listener, so a late firing finds
// the stream stopped instead of freed memory.
struct StreamState {
    CaptureStreamRequest request;
    CaptureFrameHandler handler;
    // After the request: its event wait on the queue is cancelled before the
    // queue (whose thread ends once no wait is left) goes.
    std::shared_ptr<X11Display> x;

    std::mutex lock;
    std::condition_variable idle;
    bool active = false;
    int inHandler = 0;
    std::thread::id handlerThread;
    bool scheduled = false;
    bool forced = false; // deliver the next capture even when nothing changed
    bool reread = false; // and read all of it, changed or not
    CaptureCadence cadence;
    std::shared_ptr<Timer> timer;
    std::shared_ptr<Timer> cursorPoll;
    std::shared_ptr<Timer> rereadTimer; // a whole read no change took with it
    bool rereadArmed = false;

    // Touched on the queue only.
    Damage damage = 0;
    XserverRegion unreported = 0; // damage there is dropped (tests)
    std::uint64_t listener = 0;
    ShmImage shm;
    Rect rect;
    bool fullNext = true;
    // Changes found before their capture was due, in the display's
    // coordinates (see takeOwnDamage).
    std::vector<CaptureRect> pending;
    std::optional<Cursor> lastCursor;
    RequestSizedSurface surface;
};

void scheduleCapture(const std::shared_ptr<StreamState>& state);

std::optional<Cursor> readCursor(Display* display)
{
    XFixesCursorImage* image = XFixesGetCursorImage(display);
    if (!image) return std::nullopt;
    Cursor cursor;
    cursor.x = image->x - image->xhot;
    cursor.y = image->y - image->yhot;
    cursor.width = image->width;
    cursor.height = image->height;
    cursor.serial = image->cursor_serial;
    cursor.argb.resize(std::size_t(image->width) * image->height);
    for (std::size_t i = 0; i < cursor.argb.size(); ++i) cursor.argb[i] = std::uint32_t(image->pixels[i]);
    XFree(image);
    return cursor;
}

// Blends the cursor into rows [top, bottom) of the display's picture.
void blendCursor(const Cursor& cursor, const Rect& rect, int top, int bottom, std::uint8_t* pixels,
    std::size_t bytesPerRow)
{
    for (int row = 0; row < cursor.height; ++row) {
        const int y = cursor.y + row - rect.y;
        if (y < top || y >= bottom) continue;
        for (int column = 0; column < cursor.width; ++column) {
            const int x = cursor.x + column - rect.x;
            if (x < 0 || x >= rect.width) continue;
            const std::uint32_t source = cursor.argb[std::size_t(row) * cursor.width + column];
            const std::uint32_t alpha = source >> 24;
            std::uint8_t* pixel = pixels + std::size_t(y) * bytesPerRow + std::size_t(x) * 4;
            for (int channel = 0; channel < 3; ++channel) {
                const std::uint32_t s = (source >> (8 * channel)) & 0xFF;
                pixel[channel] = std::uint8_t(std::min<std::uint32_t>(255, s + pixel[channel] * (255 - alpha) / 255));
            }
        }
    }
}

// Rectangles in the display's coordinates, clipped to it.
void addClipped(std::vector<CaptureRect>& rects, const Rect& rect, int x, int y, int width, int height)
{
    const int left = std::max(x, rect.x);
    const int top = std::max(y, rect.y);
    const int right = std::min(x + width, rect.x + rect.width);
    const int bottom = std::min(y + height, rect.y + rect.height);
    if (right <= left || bottom <= top) return;
    rects.push_back({std::size_t(left - rect.x), std::size_t(top - rect.y), std::size_t(right - left),
        std::size_t(bottom - top)});
}

// The rectangle QUILLBRIGHT_TEST_X11_UNREPORTED_DAMAGE names, if any.
std::optional<XRectangle> unreportedDamage()
{
    const char* text = std::getenv("QUILLBRIGHT_TEST_X11_UNREPORTED_DAMAGE");
    if (text == nullptr) return std::nullopt;
    const std::string_view value(text);
    int numbers[4] = {};
    const char* at = value.data();
    const char* const end = value.data() + value.size();
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && (at == end || *at++ != ',')) return std::nullopt;
        const auto [next, ec] = std::from_chars(at, end, numbers[i]);
        if (ec != std::errc() || numbers[i] < 0 || numbers[i] > 32767) return std::nullopt;
        at = next;
    }
    if (at != end || numbers[2] == 0 || numbers[3] == 0) return std::nullopt;
    return XRectangle{short(numbers[0]), short(numbers[1]), (unsigned short)(numbers[2]), (unsigned short)(numbers[3])};
}

// The rows the rectangles cover, as bands in order; bands closer than a
// few rows are read as one, since each read is a round trip to the server.
std::vector<std::pair<std::size_t, std::size_t>> rowBands(const std::vector<CaptureRect>& rects)
{
    constexpr std::size_t JOIN_GAP = 32;
    std::vector<std::pair<std::size_t, std::size_t>> rows;
    rows.reserve(rects.size());
    for (const auto& r : rects) rows.emplace_back(r.y, r.y + r.height);
    std::ranges::sort(rows);
    std::vector<std::pair<std::size_t, std::size_t>> bands;
    for (const auto& r : rows) {
        if (!bands.empty() && r.first <= bands.back().second + JOIN_GAP) {
            bands.back().second = std::max(bands.back().second, r.second);
        } else {
            bands.push_back(r);
        }
    }
    return bands;
}

// Moves the damage reported so far into `rects` (the display's coordinates)
// and clears it on the server. Under the display's lock.
void takeDamage(StreamState& state, const Rect& rect, std::vector<CaptureRect>& rects)
{
    Display* display = state.x->display();
    XserverRegion region = XFixesCreateRegion(display, nullptr, 0);
    XDamageSubtract(display, state.damage, None, region);
    if (state.unreported) XFixesSubtractRegion(display, region, region, state.unreported);
    int count = 0;
    XRectangle* damaged = XFixesFetchRegion(display, region, &count);
    for (int i = 0; i < count; ++i) {
        addClipped(rects, rect, damaged[i].x, damaged[i].y, damaged[i].width, damaged[i].height);
    }
    if (damaged) XFree(damaged);
    XFixesDestroyRegion(display, region);
}

// Whether damage just reported is this display's own. X11 reports damage
// for the whole screen, so a stream hears of every other output's changes:
// a capture claimed for those would hold this display's own next change
// back until its turn, for as long as the other output keeps drawing just
// before this one (a second tablet, a video on the user's monitor). Asked
// only when the capture could not be taken at once; what is found is kept
// for the capture. On the queue.
bool takeOwnDamage(StreamState& state)
{
    if (!state.shm.image) return true; // no picture yet: the first capture reads it all
    X11Display::Lock hold(*state.x);
    if (state.x->lost()) return true; // the capture ends the stream
    const std::size_t before = state.pending.size();
    takeDamage(state, state.rect, state.pending);
    return state.pending.size() > before;
}

// Ends the stream from its own queue: a last "stopped" call, nothing after.
void endStream(const std::shared_ptr<StreamState>& state)
{
    state->handler(static_cast<std::int32_t>(CaptureFrameStatus::stopped), nullptr);
    std::lock_guard guard(state->lock);
    state->active = false;
}

void releaseServerSide(StreamState& state)
{
    if (state.listener) state.x->removeListener(state.listener);
    state.listener = 0;
    X11Display::Lock hold(*state.x);
    if (state.x->lost()) {
        // Only our side of the shared memory is left to free.
        state.damage = 0;
        state.unreported = 0;
        state.shm.attached = false;
    }
    if (state.damage) {
        state.x->trapErrors([&] { XDamageDestroy(state.x->display(), state.damage); });
        state.damage = 0;
    }
    if (state.unreported) {
        XFixesDestroyRegion(state.x->display(), state.unreported);
        state.unreported = 0;
    }
    state.shm.destroy();
}

void capture(const std::shared_ptr<StreamState>& state)
{
    bool forced = false;
    unsigned long claim = 0;
    {
        std::lock_guard guard(state->lock);
        state->scheduled = false;
        if (!state->active) return;
        claim = state->cadence.claims();
        forced = std::exchange(state->forced, false);
        if (std::exchange(state->reread, false)) state->fullNext = true;
        ++state->inHandler;
        state->handlerThread = std::this_thread::get_id();
    }
    auto finish = [&] {
        std::lock_guard guard(state->lock);
        --state->inHandler;
        state->handlerThread = {};
        state->idle.notify_all();
    };

    X11Display& x = *state->x;
    Display* display = x.display();
    const auto rect = x.displayRect(state->request.displayId);
    if (!rect) {
        endStream(state);
        finish();
        return;
    }

    std::vector<CaptureRect> rects;
    bool delivered = false;
    bool nothingHere = false; // the damage was all on other outputs
    {
        X11Display::Lock hold(x);
        if (!(*rect == state->rect) || !state->shm.image) {
            // First frame, or the display moved or changed size.
            state->shm.destroy();
            if (!state->shm.create(display, rect->width, rect->height)) state->shm.destroy();
            state->rect = *rect;
            state->fullNext = true;
        }
        if (state->shm.image) {
            rects = std::exchange(state->pending, {});
            takeDamage(*state, *rect, rects);

            std::optional<Cursor> cursor;
            if (state->request.showCursor && x.hasFixes) {
                cursor = readCursor(display);
                const bool moved = cursor.has_value() != state->lastCursor.has_value()
                    || (cursor && !(*cursor == *state->lastCursor));
                if (moved) {
                    if (state->lastCursor) {
                        const Cursor& c = *state->lastCursor;
                        addClipped(rects, *rect, c.x, c.y, c.width, c.height);
                    }
                    if (cursor) addClipped(rects, *rect, cursor->x, cursor->y, cursor->width, cursor->height);
                }
            }
            if (state->fullNext) rects.assign(1, {0, 0, std::size_t(rect->width), std::size_t(rect->height)});

            if (rects.empty() && forced) {
                delivered = true; // the picture as last read, nothing changed
            } else if (rects.empty()) {
                nothingHere = true;
            } else {
                // Only the bands of rows that changed are read, each apart
                // (a character typed far below the clock does not read the
                // screen between them).
                XImage* image = state->shm.image;
                char* const base = image->data;
                const int fullHeight = image->height;
                const auto bytesPerRow = std::size_t(image->bytes_per_line);
                auto* pixels = reinterpret_cast<std::uint8_t*>(base);
                bool read = true;
                const auto bands = rowBands(rects);
                for (const auto& [top, bottom] : bands) {
                    image->data = base + top * bytesPerRow;
                    image->height = int(bottom - top);
                    read = XShmGetImage(display, x.root(), image, rect->x, rect->y + int(top), AllPlanes);
                    image->data = base;
                    image->height = fullHeight;
                    if (!read) break;
                    // Rows outside the bands still hold the cursor blended earlier.
                    if (cursor) blendCursor(*cursor, *rect, int(top), int(bottom), pixels, bytesPerRow);
                }
                if (read) {
                    state->lastCursor = cursor;
                    state->fullNext = false;
                    delivered = true;
                } else {
                    state->fullNext = true;
                }
            }
        }
    }

    if (x.lost()) {
        endStream(state);
        finish();
        return;
    }
    if (nothingHere) {
        std::lock_guard guard(state->lock);
        if (state->cadence.claims() == claim) state->cadence.release();
    }
    if (delivered) {
        auto& surface = state->surface;
        // A mirrored display of another size is scaled to the request (its aspect kept).
        surface.show(reinterpret_cast<const std::uint8_t*>(state->shm.image->data), std::size_t(rect->width),
            std::size_t(rect->height), std::size_t(state->shm.image->bytes_per_line), std::move(rects),
            state->request.width, state->request.height, true);
        state->handler(static_cast<std::int32_t>(CaptureFrameStatus::frameComplete), &surface);
    } else if (!state->shm.image) {
        endStream(state);
    }
    finish();
}

// On the queue: a pointer that moved or changed its shape since the last
// capture asks for one.
void pollCursor(const std::shared_ptr<StreamState>& state)
{
    {
        std::lock_guard guard(state->lock);
        if (!state->active || state->scheduled) return;
    }
    bool moved = false;
    {
        X11Display::Lock hold(*state->x);
        if (state->x->lost()) return;
        const auto cursor = readCursor(state->x->display());
        moved = cursor.has_value() != state->lastCursor.has_value() || (cursor && !(*cursor == *state->lastCursor));
    }
    if (moved) scheduleCapture(state);
}

void scheduleCapture(const std::shared_ptr<StreamState>& state)
{
    std::lock_guard guard(state->lock);
    if (!state->active || state->scheduled) return;
    state->scheduled = true;
    const double now = mediaTime();
    const double wait = std::max(0.0, state->cadence.claim(now) - now);
    std::weak_ptr<StreamState> weak = state;
    state->timer = Timer::oneShot(state->request.queue->executor(),
        std::chrono::duration_cast<Duration>(std::chrono::duration<double>(wait)), [weak] {
            if (auto self = weak.lock()) capture(self);
        });
}

class X11CaptureStream final : public CaptureStream {
public:
    explicit X11CaptureStream(std::shared_ptr<StreamState> state) : state_(std::move(state)) {}
    ~X11CaptureStream() override { stop(); }

    bool deliversOnChangeOnly() const override { return true; }

    void requestFrame() override
    {
        {
            std::lock_guard guard(state_->lock);
            state_->forced = true;
        }
        scheduleCapture(state_);
    }

    // The whole read is the next change's capture's; on a still screen a
    // capture of its own.
    void requestReread() override
    {
        std::lock_guard guard(state_->lock);
        state_->reread = true;
        if (!state_->active) return;
        armRereadFrame(state_, state_->request.queue->executor(), state_->request.minimumFrameTime,
            [](const StreamState& s) { return s.reread; },
            [](const std::shared_ptr<StreamState>& s) { scheduleCapture(s); });
    }

    std::optional<CaptureFailure> start() override
    {
        {
            std::lock_guard guard(state_->lock);
            if (state_->active) return std::nullopt;
        }
        auto& x = *state_->x;
        if (!x.hasShm || !x.hasDamage || !x.hasFixes) {
            return CaptureFailure::permanent("The X server lacks XShm, XDamage or XFixes: the screen cannot be read.");
        }
        {
            X11Display::Lock hold(x);
            const int error = x.trapErrors(
                [&] { state_->damage = XDamageCreate(x.display(), x.root(), XDamageReportNonEmpty); });
            if (error != 0 || !state_->damage) {
                return CaptureFailure::temporary("XShmAttach failed with code " + std::to_string(error) + ".");
            }
            if (auto deaf = unreportedDamage(); deaf && !state_->unreported) {
                state_->unreported = XFixesCreateRegion(x.display(), &*deaf, 1);
                platformLog(LogLevel::warn, "ScreenCapture",
                    fmt::format("[ScreenCapture] Test: damage in {}x{}+{}+{} is not reported", deaf->width,
                        deaf->height, deaf->x, deaf->y));
            }
        }
        std::weak_ptr<StreamState> weak = state_;
        const Damage damage = state_->damage;
        const int notify = x.damageEventBase + XDamageNotify;
        const int layoutChanged = x.hasRandr ? x.randrEventBase + RRScreenChangeNotify : -1;
        const int crtcChanged = x.hasRandr ? x.randrEventBase + RRNotify : -1;
        if (x.hasRandr) {
            x.trapErrors([&] {
                XRRSelectInput(x.display(), x.root(), RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask);
            });
        }
        state_->listener = x.addListener([weak, damage, notify, layoutChanged, crtcChanged](const XEvent& event) {
            if (event.type == layoutChanged || event.type == crtcChanged) {
                // The picture may be where it was, but the display is not.
                if (auto self = weak.lock()) {
                    {
                        std::lock_guard guard(self->lock);
                        self->forced = true;
                    }
                    scheduleCapture(self);
                }
                return;
            }
            if (event.type != notify || reinterpret_cast<const XDamageNotifyEvent&>(event).damage != damage) return;
            auto self = weak.lock();
            if (!self) return;
            bool waits = false;
            {
                std::lock_guard guard(self->lock);
                if (!self->active || self->scheduled) return; // the capture takes this damage
                const double now = mediaTime();
                waits = self->cadence.due(now) > now;
            }
            if (waits && !takeOwnDamage(*self)) return;
            scheduleCapture(self);
        });
        {
            std::lock_guard guard(state_->lock);
            state_->active = true;
            if (state_->request.showCursor) {
                // Pointer motion damages nothing: look at it every frame time.
                const auto interval = std::chrono::duration_cast<Duration>(
                    std::chrono::duration<double>(std::max(state_->request.minimumFrameTime, 1.0 / 240)));
                state_->cursorPoll = Timer::repeating(state_->request.queue->executor(), interval, interval, [weak] {
                    if (auto self = weak.lock()) pollCursor(self);
                });
            }
        }
        scheduleCapture(state_); // the first, complete frame
        return std::nullopt;
    }

    void stop() override
    {
        std::shared_ptr<Timer> timer;
        std::shared_ptr<Timer> poll;
        std::shared_ptr<Timer> reread;
        {
            std::unique_lock guard(state_->lock);
            const bool wasActive = state_->active;
            state_->active = false;
            timer = std::move(state_->timer);
            poll = std::move(state_->cursorPoll);
            reread = std::move(state_->rereadTimer);
            state_->rereadArmed = false;
            if (state_->handlerThread != std::this_thread::get_id()) {
                state_->idle.wait(guard, [&] { return state_->inHandler == 0; });
            }
            if (!wasActive && !state_->listener && !state_->damage && !state_->shm.image) return;
        }
        if (timer) timer->cancel();
        if (poll) poll->cancel();
        if (reread) reread->cancel();
        if (state_->handlerThread == std::this_thread::get_id()) {
            // Called from the handler: the queue releases the rest after it.
            auto state = state_;
            state_->request.queue->async([state] { releaseServerSide(*state); });
            return;
        }
        releaseServerSide(*state_);
    }

private:
    std::shared_ptr<StreamState> state_;
};

class X11CaptureBackend final : public CaptureBackend {
public:
    explicit X11CaptureBackend(std::shared_ptr<X11Display> x) : x_(std::move(x)) {}
    bool preflightScreenCaptureAccess() override { return x_->hasShm && x_->hasDamage; }
    bool requestScreenCaptureAccess() override { return preflightScreenCaptureAccess(); }
    const CaptureWords& words() const override
    {
        static const CaptureWords x11{"XShm capture stream",
            "Screen Recording permission not granted. Open the X display for QuillBright "
            "(DISPLAY and XAUTHORITY, or xhost +SI:localuser:<user>), then restart the app.",
            "XShmCreateImage returned NULL — display may be offline."};
        return x11;
    }
    std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest& request,
        CaptureFrameHandler handler) override
    {
        if (!x_->hasShm || !x_->hasDamage || !request.queue || request.width == 0 || request.height == 0) {
            return nullptr;
        }
        if (request.pixelFormat != CAPTURE_PIXEL_FORMAT_BGRA || !x_->displayRect(request.displayId)) return nullptr;
        std::string error;
        auto own = x_->openAnother(request.queue->executor(), &error);
        if (!own) return nullptr;
        auto state = std::make_shared<StreamState>();
        state->x = std::move(own);
        state->request = request;
        state->cadence = CaptureCadence(request.minimumFrameTime);
        state->handler = std::move(handler);
        return std::make_unique<X11CaptureStream>(std::move(state));
    }


private:
    std::shared_ptr<X11Display> x_;
};

} // namespace

std::shared_ptr<CaptureBackend> makeX11CaptureBackend(const std::shared_ptr<X11Display>& x)
{
    return std::make_shared<X11CaptureBackend>(x);
}

} // namespace qb::x11
