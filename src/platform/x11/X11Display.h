// An X display connection of the x11 services: the main loop's one (virtual
// displays, hotkeys, the event pump), and one more for each thread that talks
// to the server (capture, input), so that no thread ever waits inside Xlib on
// a connection another thread holds. Each has a lock that keeps
// multi-request sequences together, an X error trap, an event pump on the
// executor of its thread, and knows the geometry of every display the
// services know (RandR outputs and the virtual displays we added, shared by
// the connections to one server).
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
    // Another connection to the same server for another thread, its events
    // pumped on `loop` (none when no events are wanted); nullptr when the
    // server cannot be reached.
    std::shared_ptr<X11Display> openAnother(std::optional<Executor> loop, std::string* error) const;
    ~X11Display();
    X11Display(const X11Display&) = delete;
    X11Display& operator=(const X11Display&) = delete;

    Display* display() const { return display_; }
    Window root() const { return root_; }
    Executor mainLoop() const { return mainLoop_; }
    const std::string& name() const { return name_; }

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
    int randrEventBase = 0;
    int randrMajor = 0;
    int randrMinor = 0;
    bool hasXTest = false;

    // The root-window rectangle a display shows: a virtual display of ours
    // (where it mirrors, the primary's rectangle; on an output, wherever the
    // user has since moved that output), else a RandR output lit by a CRTC.
    // nullopt for an unknown or dark display (also ours, once the user turned
    // its output off).
    std::optional<Rect> displayRect(std::uint32_t displayId) const;
    // The primary output's rectangle (the first lit output when none is primary).
    std::optional<Rect> primaryRect() const;
    // Where a touch on the display lands: its rectangle, or for a display
    // mirroring the primary, the primary grown to the display's aspect (the
    // picture is letterboxed to fit).
    std::optional<Rect> inputRect(std::uint32_t displayId) const;

    // The virtual displays' rectangles, kept by X11VirtualDisplays; `output`
    // is the RandR output showing one (0 for a monitor), whose CRTC is read
    // instead of `rect` since the user may move it.
    void setVirtualRect(std::uint32_t displayId, std::optional<Rect> rect, bool mirrorsPrimary,
        unsigned long output = 0);
    // Where a RandR output's CRTC shows it now; nullopt when it is dark.
    std::optional<Rect> outputRect(unsigned long output) const;
    bool isVirtual(std::uint32_t displayId) const;

    // Drains queued events now (also scheduled after every lock release
    // that left events in Xlib's queue).
    void pump();

    // The server went away (it ended, crashed, or the user logged out).
    // Xlib's default would end the process on the spot; instead the
    // connection is marked lost and nothing more is asked of it (calls
    // already under way fail at once). On the main loop's connection this is
    // logged once and the callbacks run once on the main loop, so that the
    // daemon can stop cleanly; the other connections just fall silent.
    bool lost() const { return lost_.load(); }
    void onLost(std::function<void()> callback);

private:
    struct Shared;
    X11Display(Executor loop, Display* display, std::string name, std::shared_ptr<Shared> shared, bool main);
    static std::shared_ptr<X11Display> connect(Executor loop, bool pumped, const std::string& name,
        std::shared_ptr<Shared> shared, bool main, std::string* error);
    static void connectionLost(Display* display, void* self);
    void startPump();
    void armWait();
    void schedulePump() const;

    Executor mainLoop_; // where events are pumped and lost callbacks run
    Display* display_;
    Window root_;
    std::string name_;
    bool main_;
    mutable std::recursive_mutex lock_;
    mutable std::atomic<bool> pumpScheduled_{false};
    std::unique_ptr<boost::asio::posix::stream_descriptor> descriptor_;

    std::atomic<bool> lost_{false};

    std::mutex listenersLock_;
    std::map<std::uint64_t, Listener> listeners_;
    std::uint64_t nextListener_ = 1;
    std::vector<std::function<void()>> lostCallbacks_; // under listenersLock_

    std::shared_ptr<Shared> shared_;
};

} // namespace qb::x11
