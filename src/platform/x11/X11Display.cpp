#include "platform/x11/X11Display.h"

#include <cmath>
#include <utility>

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

struct X11Display::Shared {
    struct VirtualEntry {
        Rect rect;
        bool mirrorsPrimary = false;
        unsigned long output = 0;
    };
    std::mutex lock;
    std::map<std::uint32_t, VirtualEntry> virtuals;
};

namespace {

// Xlib reports protocol errors through one process-wide handler, on the
// thread that reads the reply: the one holding that connection's lock. Inside
// trapErrors the first code is kept; any other error is logged instead of
// ending the process, Xlib's default.
thread_local bool trapping = false;
thread_local int trappedError = 0;

int handleXError(Display* display, XErrorEvent* event)
{
    if (trapping) {
        if (trappedError == 0) trappedError = event->error_code;
        return 0;
    }
    char text[128] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    platformLog(LogLevel::warn, "X11",
        fmt::format("[X11] X error {} ({}) on request {}.{}", int(event->error_code), text,
            int(event->request_code), int(event->minor_code)));
    return 0;
}

// A broken connection: Xlib calls this, then the connection's exit handler
// (connectionLost), which returns instead of ending the process.
int handleIOError(Display*) { return 0; }

} // namespace

void X11Display::connectionLost(Display*, void* opaque)
{
    // Runs inside the Xlib call that found the connection dead, on the
    // thread holding it: no Xlib here, and nothing that waits.
    auto* self = static_cast<X11Display*>(opaque);
    if (self->lost_.exchange(true) || !self->main_) return;
    platformLog(LogLevel::error, "X11",
        fmt::format("[X11] Lost the connection to the X display {} (the X server ended)", self->name_));
    std::weak_ptr<X11Display> weak = self->weak_from_this();
    asio::post(self->mainLoop_, [weak] {
        auto display = weak.lock();
        if (!display) return;
        std::vector<std::function<void()>> callbacks;
        {
            std::lock_guard guard(display->listenersLock_);
            callbacks.swap(display->lostCallbacks_);
        }
        for (auto& callback : callbacks) callback();
    });
}

void X11Display::onLost(std::function<void()> callback)
{
    {
        std::lock_guard guard(listenersLock_);
        if (!lost_.load()) {
            lostCallbacks_.push_back(std::move(callback));
            return;
        }
    }
    asio::post(mainLoop_, std::move(callback));
}

std::shared_ptr<X11Display> X11Display::open(Executor mainLoop, const char* name, std::string* error)
{
    static std::once_flag threads;
    std::call_once(threads, [] {
        XInitThreads();
        XSetErrorHandler(handleXError);
        XSetIOErrorHandler(handleIOError);
    });
    const char* shown = name && *name ? name : std::getenv("DISPLAY");
    if (!shown || !*shown) {
        if (error) *error = "$DISPLAY is not set";
        return nullptr;
    }
    return connect(std::move(mainLoop), true, shown, std::make_shared<Shared>(), true, error);
}

std::shared_ptr<X11Display> X11Display::openAnother(std::optional<Executor> loop, std::string* error) const
{
    const bool pumped = loop.has_value();
    return connect(pumped ? std::move(*loop) : mainLoop_, pumped, name_, shared_, false, error);
}

std::shared_ptr<X11Display> X11Display::connect(Executor loop, bool pumped, const std::string& name,
    std::shared_ptr<Shared> shared, bool main, std::string* error)
{
    Display* display = XOpenDisplay(name.c_str());
    if (!display) {
        if (error) *error = fmt::format("the X display {} cannot be opened", name);
        return nullptr;
    }
    std::shared_ptr<X11Display> self(new X11Display(std::move(loop), display, name, std::move(shared), main));
    XSetIOErrorExitHandler(display, &X11Display::connectionLost, self.get());
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
    self->hasRandr = XRRQueryExtension(display, &self->randrEventBase, &errorBase) == True
        && XRRQueryVersion(display, &self->randrMajor, &self->randrMinor) != 0;
    self->hasXTest = XTestQueryExtension(display, &event, &errorBase, &major, &minor) == True;
    if (pumped) self->startPump();
    return self;
}

X11Display::X11Display(Executor loop, Display* display, std::string name, std::shared_ptr<Shared> shared, bool main)
    : mainLoop_(std::move(loop))
    , display_(display)
    , root_(DefaultRootWindow(display))
    , name_(std::move(name))
    , main_(main)
    , shared_(std::move(shared))
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
    // A lost connection is left alone: Xlib may still hold its own lock from
    // the call that broke, and the process ends soon after.
    if (!lost_.load()) XCloseDisplay(display_);
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
    if (!owner_.lost() && owner_.descriptor_ && XEventsQueued(owner_.display_, QueuedAlready) > 0) {
        owner_.schedulePump();
    }
    owner_.lock_.unlock();
}

int X11Display::trapErrors(const std::function<void()>& requests) const
{
    Lock hold(*this);
    if (lost()) return BadImplementation;
    XSync(display_, False);
    trappedError = 0;
    trapping = true;
    requests();
    XSync(display_, False);
    trapping = false;
    const int error = std::exchange(trappedError, 0);
    // Nothing was done on a connection that broke meanwhile.
    return error == 0 && lost() ? BadImplementation : error;
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
            if (!self->lost()) self->armWait();
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
        while (!lost() && XPending(display_) > 0) {
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

void X11Display::setVirtualRect(std::uint32_t displayId, std::optional<Rect> rect, bool mirrorsPrimary,
    unsigned long output)
{
    std::lock_guard guard(shared_->lock);
    if (rect) {
        shared_->virtuals[displayId] = {*rect, mirrorsPrimary, output};
    } else {
        shared_->virtuals.erase(displayId);
    }
}

bool X11Display::isVirtual(std::uint32_t displayId) const
{
    std::lock_guard guard(shared_->lock);
    return shared_->virtuals.contains(displayId);
}

std::optional<Rect> X11Display::primaryRect() const
{
    Lock hold(*this);
    if (lost()) return std::nullopt;
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
    std::optional<Shared::VirtualEntry> entry;
    {
        std::lock_guard guard(shared_->lock);
        if (auto it = shared_->virtuals.find(displayId); it != shared_->virtuals.end()) entry = it->second;
    }
    if (entry && entry->mirrorsPrimary) return primaryRect();
    if (entry && !entry->output) return entry->rect;
    return outputRect(entry ? entry->output : displayId);
}

std::optional<Rect> X11Display::outputRect(unsigned long outputId) const
{
    Lock hold(*this);
    if (lost()) return std::nullopt;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, root_);
    if (!resources) return std::nullopt;
    std::optional<Rect> rect;
    for (int i = 0; i < resources->noutput; ++i) {
        if (resources->outputs[i] != outputId) continue;
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
    std::optional<Shared::VirtualEntry> entry;
    {
        std::lock_guard guard(shared_->lock);
        if (auto it = shared_->virtuals.find(displayId); it != shared_->virtuals.end()) entry = it->second;
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
