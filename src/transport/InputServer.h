// The input server: receives the companion's touch messages (InputProtocol.h)
// on a TCP port (8892 for a device session) and injects them as pointer and
// scroll events on the virtual display that mirrors the device.
//
// Gestures: a touch that goes down and up without travelling is a left click
// at the point where it went down; once it travels 8 points or more it becomes
// a left-button drag (button down at the down point, drags, up at the last
// point); scroll messages become trackpad-style pixel scrolling with began /
// changed phases and an ended event after a 60 ms pause. A scroll during a
// touch turns that touch's click off. When a connection that sent touches
// ends, a held button and an active scroll gesture are released, so nothing
// stays pressed when the device goes away mid-gesture.
//
// A connection whose first bytes are not a touch message (a web page's HTTP
// request, a TLS hello, anything) is closed as soon as they arrive, and
// nothing it sent is injected; its going releases nothing either.
//
// A tablet page's own input (pen, fingers, mouse and keys: TabletMessages.h)
// does not travel over the port, whose protocol is the companion's: the
// page's bridge in this process opens a PageInputLink and delivers each
// parsed message; PageGestureInterpreter decides what it means (one per
// page), its long press comes from a timer on the queue, and dropping the
// link releases whatever the page held. The pen's last values are kept for
// the reports (lastPen).
//
// Ownership: the device session owns the server from start to stop. Handlers
// hold it weakly; dropping the last reference closes the listener and every
// connection.
//
// Life, as for every TCP server here (ListenSocket.h): make(display,
// injector, options) → open(port) → start() → ... → stop() / stopAsync() /
// requestStop(). A stopped server is not opened again.
//
// Threads: listening, reading, parsing, injection and the scroll-end timer all
// run on the serial queue "app.quillbright.input", so the gesture state needs
// no lock. open() and start() return at once (the main loop may call them),
// from one thread, before any stop. stop() waits for the queue: any thread
// but the main loop, which must not block and awaits stopAsync() instead;
// the read-only accessors may be called from anywhere.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/InputInjector.h"
#include "runtime/Asio.h"
#include "runtime/Queues.h"
#include "runtime/Timer.h"
#include "transport/GestureInterpreter.h"
#include "transport/InputProtocol.h"
#include "transport/ListenSocket.h"
#include "transport/PageGestureInterpreter.h"
#include "transport/PeerAllowList.h"
#include "transport/TabletMessages.h"

namespace qb {

struct InputServerTiming {
    // Pause after the last scroll message that ends the scroll gesture.
    Duration scrollEnd = std::chrono::milliseconds(60);
    // Pause after a failed accept before the listener tries again.
    Duration acceptRetry = std::chrono::milliseconds(100);
    // The tablet page's gestures.
    PageGestureRules pageGestures;
};

struct InputServerOptions {
    // Loopback unless the session runs in Wi-Fi mode.
    std::string bindAddress = std::string(LOOPBACK_ADDRESS);
    // Who may connect (Wi-Fi mode): connections from peers the list refuses
    // are closed at once ("[InputServer] Refused connection from ...").
    // Null: whoever reaches the address.
    std::shared_ptr<const PeerAllowList> peers = nullptr;
    InputServerTiming timing = {};
};

class InputServer;

// One tablet page's way into an input server. deliver() may be called from
// any thread; the messages are handled in order on the server's queue.
// Destroying the link releases the page's held buttons and keys.
class PageInputLink {
public:
    ~PageInputLink();
    PageInputLink(const PageInputLink&) = delete;
    PageInputLink& operator=(const PageInputLink&) = delete;
    void deliver(PageInput input);

private:
    friend class InputServer;
    PageInputLink(std::weak_ptr<InputServer> server, std::uint64_t id) : server_(std::move(server)), id_(id) {}
    std::weak_ptr<InputServer> server_;
    std::uint64_t id_;
};

class InputServer : public std::enable_shared_from_this<InputServer> {
public:
    using Timing = InputServerTiming;
    using Options = InputServerOptions;

    // A touch must travel this far (in points) from where it went down before
    // it becomes a drag; below it, it stays a click.
    static constexpr double DRAG_THRESHOLD = GestureInterpreter::DRAG_THRESHOLD;
    // Bytes asked for per read: sixteen messages.
    static constexpr std::size_t READ_SIZE = 16 * TOUCH_MESSAGE_SIZE;

    // Creates the queue; nothing listens until open().
    static std::shared_ptr<InputServer> make(std::uint32_t targetDisplayID, std::shared_ptr<InputInjector> injector,
        Options options = {});
    ~InputServer();
    InputServer(const InputServer&) = delete;
    InputServer& operator=(const InputServer&) = delete;

    // Binds Options::bindAddress at `port` (0 picks a free port, see
    // port()). A failure (port in use, bad address, second open, opened
    // after a stop) is logged ("[InputServer] Listener failed: ...") and
    // comes back as the error; nothing listens and nothing is thrown (the
    // session carries on without touch input).
    boost::system::error_code open(std::uint16_t port);
    // Warns once per server when injection is not trusted, logs
    // "[InputServer] Listening on port <port> (display <id>)" and accepts
    // from now on; returns at once. Does nothing unless open() succeeded.
    void start();

    // Ends an active scroll gesture, releases a held button, closes the
    // listener and every connection, logs "[InputServer] Stopped". stop()
    // waits for the server's queue (any thread but the main loop's),
    // stopAsync() is awaited, requestStop() returns at once.
    void stop();
    asio::awaitable<void> stopAsync();
    void requestStop();

    // Listening: opened and not stopped.
    bool running() const { return running_.load(); }
    // The port bound by open(), 0 before it and after a stop.
    std::uint16_t port() const { return port_.load(); }
    std::uint32_t targetDisplayID() const { return targetDisplayID_; }
    std::size_t connectionCount() const { return connectionCount_.load(); }
    const std::string& queueName() const { return queue_->name(); }

    // A link for one tablet page (any thread).
    std::shared_ptr<PageInputLink> openPageInput();
    // The pen's last values over all pages; none until a pen was seen (any thread).
    std::optional<PenReading> lastPen() const;

private:
    struct Connection {
        explicit Connection(asio::ip::tcp::socket s) : socket(std::move(s)) {}
        asio::ip::tcp::socket socket;
        TouchStreamState stream;
    };

    InputServer(std::uint32_t targetDisplayID, std::shared_ptr<InputInjector> injector, Options options);

    // All below run on queue_.
    void stopOnQueue();
    static asio::awaitable<void> readLoop(std::weak_ptr<InputServer> weak, std::shared_ptr<Connection> connection);
    void addConnection(asio::ip::tcp::socket socket);
    void removeConnection(const std::shared_ptr<Connection>& connection);
    void handleTouch(const TouchMessage& message);
    friend class PageInputLink;
    struct PageState {
        PageGestureInterpreter gestures;
        std::shared_ptr<Timer> deadline;
    };
    void handlePageInput(std::uint64_t page, const PageInput& input);
    void armPageDeadline(std::uint64_t page);
    void closePage(std::uint64_t page);
    void inject(const PointerActions& actions);
    void cancelScrollEndTimer();
    void releaseGesture();

    const std::uint32_t targetDisplayID_;
    const std::shared_ptr<InputInjector> injector_;
    const Options options_;
    std::shared_ptr<SerialQueue> queue_;

    // Listener (set by open(), before start() and so before any handler
    // runs; then queue_ only) and connections (queue_ only).
    std::shared_ptr<LocalListener> listener_;
    std::atomic<bool> opened_{false}; // open() was called, or a stop came first
    std::vector<std::shared_ptr<Connection>> connections_;

    // Gesture state (queue_ only).
    GestureInterpreter gestures_;
    std::shared_ptr<Timer> scrollEndTimer_;
    bool accessibilityWarned_ = false;
    bool warnedNoBounds_ = false;
    bool warnedNoTyping_ = false;
    std::map<std::uint64_t, PageState> pages_;

    std::atomic<std::uint64_t> nextPage_{1};
    mutable std::mutex penLock_;
    std::optional<PenReading> lastPen_;

    std::atomic<bool> running_{false};
    std::atomic<std::uint16_t> port_{0};
    std::atomic<std::size_t> connectionCount_{0};
};

} // namespace qb
