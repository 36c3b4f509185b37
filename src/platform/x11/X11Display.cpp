#include "platform/x11/X11Display.h"

#include <cmath>

#include "platform/MirrorScaler.h"
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <cstdlib>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"

namespace qb::x11 {

namespace {

// Xlib reports protocol errors through one process-wide handler. Inside
// trapErrors (under the display lock) the first code is kept; any other
// error is logged instead of ending the process, Xlib's default.
std::atomic<bool> trapping{false};
std::atomic<int> trappedError{0};

int handleXError(Display* display, XErrorEvent* event)
{
    if (trapping.load()) {
        int expected = 0;
        trappedError.compare_exchange_strong(expected, event->error_code);
        return 0;
    }
    char text[128] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    platformLog(LogLevel::warn, "X11",
        fmt::format("[X11] X error {} ({}) on request {}.{}", int(event->error_code), text,
            int(event->request_code), int(event->minor_code)));
    return 0;
}

} // namespace

std::shared_ptr<X11Display> X11Display::open(Executor mainLoop, const char* name, std::string* error)
{
    static std::once_flag threads;
    std::call_once(threads, [] {
        XInitThreads();
        XSetErrorHandler(handleXError);
    });
    const char* shown = name && *name ? name : std::getenv("DISPLAY");
    if (!shown || !*shown) {
        if (error) *error = "$DISPLAY is not set";
        return nullptr;
    }
    Display* display = XOpenDisplay(name && *name ? name : nullptr);
    if (!display) {
        if (error) *error = fmt::format("the X display {} cannot be opened", shown);
        return nullptr;
    }
    std::shared_ptr<X11Display> self(new X11Display(std::move(mainLoop), display));
    int event = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    Bool pixmaps = False;
    self->hasShm = XShmQueryVersion(display, &major, &minor, &pixmaps) == True;
    self->hasDamage = XDamageQueryExtension(display, &self->damageEventBase, &errorBase) == True;
    if (self->hasDamage) XDamageQueryVersion(display, &major, &minor);
    self->hasFixes = XFixesQueryExtension(display, &event, &errorBase) == True;
    if (self->hasFixes) XFixesQueryVersion(display, &major, &minor);
    self->hasRandr = XRRQueryExtension(display, &event, &errorBase) == True
        && XRRQueryVersion(display, &self->randrMajor, &self->randrMinor) != 0;
    self->hasXTest = XTestQueryExtension(display, &event, &errorBase, &major, &minor) == True;
    self->startPump();
    return self;
}

X11Display::X11Display(Executor mainLoop, Display* display)
    : mainLoop_(std::move(mainLoop))
    , display_(display)
    , root_(DefaultRootWindow(display))
{
}

X11Display::~X11Display()
{
    if (descriptor_) {
        boost::system::error_code ignored;
        descriptor_->cancel(ignored);
        descriptor_->release(); // the fd belongs to Xlib
        descriptor_.reset();
    }
    XCloseDisplay(display_);
}

X11Display::Lock::Lock(const X11Display& owner)
    : owner_(owner)
{
    owner_.lock_.lock();
}

X11Display::Lock::~Lock()
{
    // A reply read under the lock may have queued events the socket will not
    // announce again.
    if (XEventsQueued(owner_.display_, QueuedAlready) > 0) owner_.schedulePump();
    owner_.lock_.unlock();
}

int X11Display::trapErrors(const std::function<void()>& requests) const
{
    Lock hold(*this);
    XSync(display_, False);
    trappedError.store(0);
    trapping.store(true);
    requests();
    XSync(display_, False);
    trapping.store(false);
    return trappedError.exchange(0);
}

std::uint64_t X11Display::addListener(Listener listener)
{
    std::lock_guard guard(listenersLock_);
    const std::uint64_t id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void X11Display::removeListener(std::uint64_t id)
{
    std::lock_guard guard(listenersLock_);
    listeners_.erase(id);
}

void X11Display::startPump()
{
    descriptor_ = std::make_unique<boost::asio::posix::stream_descriptor>(mainLoop_, ConnectionNumber(display_));
    armWait();
}

void X11Display::armWait()
{
    std::weak_ptr<X11Display> weak = weak_from_this();
    descriptor_->async_wait(boost::asio::posix::stream_descriptor::wait_read,
        [weak](const boost::system::error_code& error) {
            if (error) return;
            auto self = weak.lock();
            if (!self) return;
            self->pump();
            self->armWait();
        });
}

void X11Display::schedulePump() const
{
    if (pumpScheduled_.exchange(true)) return;
    std::weak_ptr<const X11Display> weak = weak_from_this();
    asio::post(mainLoop_, [weak] {
        if (auto self = std::const_pointer_cast<X11Display>(weak.lock())) self->pump();
    });
}

void X11Display::pump()
{
    pumpScheduled_.store(false);
    std::vector<XEvent> events;
    {
        std::lock_guard hold(lock_); // not Lock: it would schedule another pump
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            events.push_back(event);
        }
    }
    if (events.empty()) return;
    std::vector<Listener> listeners;
    {
        std::lock_guard guard(listenersLock_);
        for (auto& [id, listener] : listeners_) listeners.push_back(listener);
    }
    for (const XEvent& event : events) {
        for (auto& listener : listeners) listener(event);
    }
}

void X11Display::setVirtualRect(std::uint32_t displayId, std::optional<Rect> rect, bool mirrorsPrimary)
{
    std::lock_guard guard(virtualLock_);
    if (rect) {
        virtuals_[displayId] = {*rect, mirrorsPrimary};
    } else {
        virtuals_.erase(displayId);
    }
}

bool X11Display::isVirtual(std::uint32_t displayId) const
{
    std::lock_guard guard(virtualLock_);
    return virtuals_.contains(displayId);
}

std::optional<Rect> X11Display::primaryRect() const
{
    Lock hold(*this);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, root_);
    if (!resources) return std::nullopt;
    const RROutput primary = XRRGetOutputPrimary(display_, root_);
    std::optional<Rect> first;
    std::optional<Rect> found;
    for (int i = 0; i < resources->noutput && !found; ++i) {
        XRROutputInfo* output = XRRGetOutputInfo(display_, resources, resources->outputs[i]);
        if (!output) continue;
        if (output->crtc) {
            XRRCrtcInfo* crtc = XRRGetCrtcInfo(display_, resources, output->crtc);
            if (crtc && crtc->mode) {
                Rect rect{crtc->x, crtc->y, int(crtc->width), int(crtc->height)};
                if (!first) first = rect;
                if (resources->outputs[i] == primary) found = rect;
            }
            if (crtc) XRRFreeCrtcInfo(crtc);
        }
        XRRFreeOutputInfo(output);
    }
    XRRFreeScreenResources(resources);
    return found ? found : first;
}

std::optional<Rect> X11Display::displayRect(std::uint32_t displayId) const
{
    std::optional<VirtualEntry> entry;
    {
        std::lock_guard guard(virtualLock_);
        if (auto it = virtuals_.find(displayId); it != virtuals_.end()) entry = it->second;
    }
    if (entry) return entry->mirrorsPrimary ? primaryRect() : std::optional<Rect>(entry->rect);

    Lock hold(*this);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, root_);
    if (!resources) return std::nullopt;
    std::optional<Rect> rect;
    for (int i = 0; i < resources->noutput; ++i) {
        if (resources->outputs[i] != displayId) continue;
        XRROutputInfo* output = XRRGetOutputInfo(display_, resources, resources->outputs[i]);
        if (output && output->crtc) {
            XRRCrtcInfo* crtc = XRRGetCrtcInfo(display_, resources, output->crtc);
            if (crtc && crtc->mode) rect = Rect{crtc->x, crtc->y, int(crtc->width), int(crtc->height)};
            if (crtc) XRRFreeCrtcInfo(crtc);
        }
        if (output) XRRFreeOutputInfo(output);
    }
    XRRFreeScreenResources(resources);
    return rect;
}

std::optional<Rect> X11Display::inputRect(std::uint32_t displayId) const
{
    std::optional<VirtualEntry> entry;
    {
        std::lock_guard guard(virtualLock_);
        if (auto it = virtuals_.find(displayId); it != virtuals_.end()) entry = it->second;
    }
    if (!entry || !entry->mirrorsPrimary) return displayRect(displayId);
    auto primary = primaryRect();
    if (!primary || entry->rect.width <= 0 || entry->rect.height <= 0) return primary;
    const auto grown = mirrorInputBounds(primary->x, primary->y, primary->width, primary->height,
        std::size_t(entry->rect.width), std::size_t(entry->rect.height));
    return Rect{int(std::lround(grown.left)), int(std::lround(grown.top)), int(std::lround(grown.width)),
        int(std::lround(grown.height))};
}

} // namespace qb::x11
