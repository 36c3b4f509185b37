// The X display connection the x11 services share: one Xlib connection
// (XInitThreads, so capture, input and the main loop may use it), a lock that
// keeps multi-request sequences together, an X error trap, the event pump on
// the main loop, and the geometry of every display the services know
// (RandR outputs and the virtual displays we added).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/posix/stream_descriptor.hpp>

#include "runtime/Asio.h"

// Xlib last: its macros (None, Status, Bool, ...) must not meet other headers.
#include <X11/Xlib.h>

namespace qb::x11 {

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Rect&) const = default;
};

// Names of everything we create on the X server start with this, so a later
// start recognises what a crashed daemon left behind.
inline constexpr std::string_view OBJECT_PREFIX = "QuillBright-";

class X11Display : public std::enable_shared_from_this<X11Display> {
public:
    // nullptr when the display cannot be opened; `error` says why.
    static std::shared_ptr<X11Display> open(Executor mainLoop, const char* name, std::string* error);
    ~X11Display();
    X11Display(const X11Display&) = delete;
    X11Display& operator=(const X11Display&) = delete;

    Display* display() const { return display_; }
    Window root() const { return root_; }
    Executor mainLoop() const { return mainLoop_; }

    // Holds the connection for a sequence of requests. Recursive.
    class Lock {
    public:
        explicit Lock(const X11Display& owner);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        const X11Display& owner_;
    };

    // Runs `requests` with X errors caught instead of ending the process;
    // returns the first error code (0: none). Takes the lock.
    int trapErrors(const std::function<void()>& requests) const;

    // Event listeners, called on the main loop by the pump; returns an id for
    // removeListener. A listener must not add or remove listeners.
    using Listener = std::function<void(const XEvent&)>;
    std::uint64_t addListener(Listener listener);
    void removeListener(std::uint64_t id);

    // Extensions (event and error bases where events are used).
    bool hasShm = false;
    bool hasDamage = false;
    int damageEventBase = 0;
    bool hasFixes = false;
    bool hasRandr = false;
    int randrMajor = 0;
    int randrMinor = 0;
    bool hasXTest = false;

    // The root-window rectangle a display shows: a virtual display of ours
    // (where it mirrors, the primary's rectangle), else a RandR output lit
    // by a CRTC. nullopt for an unknown or dark display.
    std::optional<Rect> displayRect(std::uint32_t displayId) const;
    // The primary output's rectangle (the first lit output when none is primary).
    std::optional<Rect> primaryRect() const;
    // Where a touch on the display lands: its rectangle, or for a display
    // mirroring the primary, the primary grown to the display's aspect (the
    // picture is letterboxed to fit).
    std::optional<Rect> inputRect(std::uint32_t displayId) const;

    // The virtual displays' rectangles, kept by X11VirtualDisplays.
    void setVirtualRect(std::uint32_t displayId, std::optional<Rect> rect, bool mirrorsPrimary);
    bool isVirtual(std::uint32_t displayId) const;

    // Drains queued events now (also scheduled after every lock release
    // that left events in Xlib's queue).
    void pump();

private:
    X11Display(Executor mainLoop, Display* display);
    void startPump();
    void armWait();
    void schedulePump() const;

    Executor mainLoop_;
    Display* display_;
    Window root_;
    mutable std::recursive_mutex lock_;
    mutable std::atomic<bool> pumpScheduled_{false};
    std::unique_ptr<boost::asio::posix::stream_descriptor> descriptor_;

    std::mutex listenersLock_;
    std::map<std::uint64_t, Listener> listeners_;
    std::uint64_t nextListener_ = 1;

    struct VirtualEntry {
        Rect rect;
        bool mirrorsPrimary = false;
    };
    mutable std::mutex virtualLock_;
    std::map<std::uint32_t, VirtualEntry> virtuals_;
};

} // namespace qb::x11
