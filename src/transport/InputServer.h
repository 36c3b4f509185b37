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
// Threads: listening, reading, parsing, injection and the scroll-end timer all
// run on the serial queue "app.quillbright.input", so the gesture state needs
// no lock. start() and stop() run their work on the queue and wait for it:
// any thread but the main loop, which must not block and awaits
// startAsync()/stopAsync() instead; the read-only accessors may be called
// from anywhere.
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

    // A touch must travel this far (in points) from where it went down before
    // it becomes a drag; below it, it stays a click.
    static constexpr double DRAG_THRESHOLD = GestureInterpreter::DRAG_THRESHOLD;
    // Bytes asked for per read: sixteen messages.
    static constexpr std::size_t READ_SIZE = 16 * TOUCH_MESSAGE_SIZE;

    // Creates the queue; nothing listens until start(). `bindAddress` is
    // loopback unless the session runs in Wi-Fi mode.
    static std::shared_ptr<InputServer> make(std::uint16_t port, std::uint32_t targetDisplayID,
        std::shared_ptr<InputInjector> injector, std::string bindAddress = std::string(LOOPBACK_ADDRESS),
        Timing timing = {});
    ~InputServer();
    InputServer(const InputServer&) = delete;
    InputServer& operator=(const InputServer&) = delete;

    // Warns once per server when injection is not trusted, then listens.
    // Does nothing while already listening. A listener that cannot be set up
    // is logged and leaves the server not running (the session carries on
    // without touch input).
    void start();
    // The same, awaited: for the main loop, which must not wait for the queue.
    asio::awaitable<void> startAsync();
    // Set before start(): connections from peers the list refuses are
    // closed at once ("[InputServer] Refused connection from ..."). Without
    // a list every peer that reaches the bound address is served.
    void setPeerAllowList(std::shared_ptr<const PeerAllowList> peers) { peers_ = std::move(peers); }

    // Ends an active scroll gesture, releases a held button, closes the
    // listener and every connection, logs "[InputServer] Stopped". stop()
    // waits for the server's queue (any thread but the main loop's),
    // stopAsync() is awaited, requestStop() returns at once.
    void stop();
    asio::awaitable<void> stopAsync();
    void requestStop();

    bool running() const { return running_.load(); }
    std::uint16_t port() const { return port_; }
    std::uint32_t targetDisplayID() const { return targetDisplayID_; }
    // The port actually listened on (differs from port() when that is 0);
    // 0 while not running.
    std::uint16_t boundPort() const { return boundPort_.load(); }
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

    InputServer(std::uint16_t port, std::uint32_t targetDisplayID, std::shared_ptr<InputInjector> injector,
        std::string bindAddress, Timing timing);

    // All below run on queue_.
    void startOnQueue();
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

    const std::uint16_t port_;
    const std::uint32_t targetDisplayID_;
    const std::shared_ptr<InputInjector> injector_;
    const std::string bindAddress_;
    std::shared_ptr<const PeerAllowList> peers_;
    const Timing timing_;
    std::shared_ptr<SerialQueue> queue_;

    // Listener and connections (queue_ only).
    std::shared_ptr<LocalListener> listener_;
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
    std::atomic<std::uint16_t> boundPort_{0};
    std::atomic<std::size_t> connectionCount_{0};
};

} // namespace qb
