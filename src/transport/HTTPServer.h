// The preview's HTTP port (8891 for the engine). To this machine it serves
// the control page (ControlPage.h) and POST /control, whose body is a
// control-socket request answered by `controlHandler`; to a LAN peer (Wi-Fi
// mode lets the set-up devices in) only the one-page viewer of the WebSocket
// preview, and /control is refused with 403. To both it serves the tablet
// page (/tablet, TabletPage.h) and hands its WebSocket (/tablet/stream) to
// a TabletBridge for the connection's life. With a pairing store (Wi-Fi
// mode) the listener lets every LAN peer in, so that a tablet's browser can
// open the page and pair; a peer off the allow list is served only the
// tablet page and its WebSocket, which asks it to pair, and any other request
// of its is closed without a byte. Anyone it serves may send POST
// /start and POST /stop (the companion does), which ask the engine to start
// or stop mirroring. Each connection's request is read whole by one
// deadline (RequestReader.h), judged by where it came from
// (PreviewRequests.h: a browser's only from this daemon's own pages, by its
// Host and Origin), answered once and closed.
//
// Ownership: the engine creates one when it activates or starts and stops it
// with stopAsync() when it shuts down. Handlers hold the server weakly.
//
// Life, as for every TCP server here (ListenSocket.h): make(width, height,
// options) → the callbacks → open(port) → start() → ... → stopAsync(). A
// stopped server is not opened again.
//
// Threads: accepting, reading and answering run on the serial queue
// "http-server"; onStartRequested / onStopRequested and controlHandler run on
// the main loop. open() and start() return at once, from one thread, before
// any stop; stopAsync() may be awaited from any coroutine.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/Asio.h"
#include "runtime/Queues.h"
#include "runtime/Timer.h"
#include "transport/ListenSocket.h"
#include "transport/PeerAllowList.h"
#include "transport/PreviewRequests.h"
#include "transport/TabletBridge.h"

namespace qb {

struct HTTPServerOptions {
    // Loopback unless the engine runs in Wi-Fi mode.
    std::string bindAddress = std::string(LOOPBACK_ADDRESS);
    // The WebSocket port the viewer page connects to.
    std::uint16_t webSocketPort = PREVIEW_WEBSOCKET_PORT;
    // A request (head and body) not whole this long after its connection
    // came is closed unanswered, however its bytes trickle in, so slow
    // connections cannot pile up. Also the limit of writing the answer.
    Duration requestDeadline = std::chrono::seconds(10);
    // Who may connect (Wi-Fi mode); null: whoever reaches the address.
    std::shared_ptr<const PeerAllowList> peers = nullptr;
    // Pause after a failed accept before the listener tries again.
    std::chrono::milliseconds acceptRetryDelay{100};
    // A control request's text (the body) in, the reply text out; run on the
    // main loop. Null: /control answers 503.
    std::function<asio::awaitable<std::string>(std::string)> controlHandler = nullptr;
    // The session a tablet page streams from; run on the main loop. Null:
    // pages are told that no session runs.
    TabletTargetLookup tabletTarget = nullptr;
    TabletBridgeOptions tabletBridge = {};
    // Wi-Fi mode: pages from off this machine must pair (TabletPairing.h).
    std::shared_ptr<TabletPairing> pairing = nullptr;
};

class HTTPServer : public std::enable_shared_from_this<HTTPServer> {
public:
    // Builds the pages (a width x height canvas); nothing listens until open().
    static std::shared_ptr<HTTPServer> make(int width, int height, HTTPServerOptions options = {});
    ~HTTPServer();
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    std::function<void()> onStartRequested;
    std::function<void()> onStopRequested;

    // Binds HTTPServerOptions::bindAddress at `port` (0 picks a free port,
    // see port()). A failure (port in use, bad address, second open, opened
    // after a stop) comes back as the error and nothing listens; nothing is
    // thrown.
    boost::system::error_code open(std::uint16_t port);
    // Logs "[HTTPServer] Listening on http://localhost:<port>" and serves
    // from now on. Does nothing unless open() succeeded.
    void start();
    // Closes the listener; completes once it has stopped accepting.
    asio::awaitable<void> stopAsync();

    const std::string& viewerPage() const { return viewerPage_; }
    const std::string& controlPage() const { return controlPage_; }
    // The port bound by open(), 0 before it and after a stop.
    std::uint16_t port() const { return port_.load(); }

private:
    HTTPServer(std::shared_ptr<SerialQueue> queue, std::string viewerPage, std::string controlPage,
        HTTPServerOptions options);
    static asio::awaitable<void> serve(std::weak_ptr<HTTPServer> weak, asio::ip::tcp::socket socket);

    std::shared_ptr<SerialQueue> queue_;
    // Set by open(), before start() and so before any connection is served.
    std::shared_ptr<LocalListener> listener_;
    std::atomic<bool> opened_{false};
    std::atomic<std::uint16_t> port_{0};
    const std::string viewerPage_;
    const std::string controlPage_;
    const HTTPServerOptions options_;
    const std::shared_ptr<TabletSocketQuota> tabletSockets_;
};

} // namespace qb
