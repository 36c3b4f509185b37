// The browser preview's WebSocket port (8890 for the engine): every preview
// frame goes to every connected browser as one binary message holding a
// complete JPEG image. Browsers' own messages are read and ignored.
//
// The picture is the user's screen, so only this daemon's own pages may
// open it: the handshake is read whole by a deadline and must pass
// fromThisDaemonsPages (PreviewRequests.h) for pages served on the port
// given to start(): a browser's Origin must be one of those pages, a
// request without one must come from this machine, and a Host must name
// this computer. Any other connection is closed without a byte.
//
// A browser that cannot keep up does not hold the others back or make the
// daemon's memory grow: each browser has a short send queue, and when it is
// full the oldest waiting frame is dropped for the newest (a preview only
// ever needs the latest picture). A browser that stops reading altogether is
// closed by the WebSocket keep-alive once its pings go unanswered.
//
// Ownership: the engine creates one when it starts and stops it with
// stopAsync() when it stops. Handlers hold the server weakly.
//
// Life, as for every TCP server here (ListenSocket.h): make(options) →
// open(port) → start(pagePort) → ... → stopAsync(). A stopped server is not
// opened again. open() and start() return at once, from one thread, before
// any stop.
//
// Threads: accepting, handshakes, reads and writes run on the serial queue
// "ws-server". broadcast() and previewClientCount() are called from the
// frame encoder's capture queue; the connection list is guarded by a lock that
// is never held while sending.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/FrameSink.h"
#include "runtime/Asio.h"
#include "runtime/Queues.h"
#include "runtime/Timer.h"
#include "transport/ListenSocket.h"
#include "transport/PeerAllowList.h"

namespace qb {

struct WebSocketServerOptions {
    // Loopback unless the engine runs in Wi-Fi mode.
    std::string bindAddress = std::string(LOOPBACK_ADDRESS);
    // Frames waiting per browser behind the one being sent.
    std::size_t maxQueuedFrames = 2;
    // Largest message a browser may send (it is discarded anyway).
    std::size_t maxIncomingMessage = 64 * 1024;
    // The handshake request must be whole this long after the connection came.
    Duration handshakeDeadline = std::chrono::seconds(10);
    // Who may connect (Wi-Fi mode); null: whoever reaches the address.
    std::shared_ptr<const PeerAllowList> peers;
};

class WebSocketServer final : public PreviewSink, public std::enable_shared_from_this<WebSocketServer> {
public:
    // Nothing listens until open().
    static std::shared_ptr<WebSocketServer> make(WebSocketServerOptions options = {});
    ~WebSocketServer() override;
    WebSocketServer(const WebSocketServer&) = delete;
    WebSocketServer& operator=(const WebSocketServer&) = delete;

    // Binds WebSocketServerOptions::bindAddress at `port` (0 picks a free
    // port, see port()). A failure (port in use, bad address, second open,
    // opened after a stop) comes back as the error and nothing listens;
    // nothing is thrown.
    boost::system::error_code open(std::uint16_t port);
    // Logs "[WebSocket] Listening on ws://localhost:<port>" and accepts
    // browsers of the pages served on `pagePort` (the HTTP server's, known
    // only once that one is open), once. Does nothing unless open() succeeded.
    void start(std::uint16_t pagePort);
    // Closes the listener and every browser connection; completes once the
    // listener has stopped accepting.
    asio::awaitable<void> stopAsync();

    // Browsers whose handshake completed and that are still connected.
    int previewClientCount() const override;
    // Queues `jpeg` for every connected browser; does nothing without any.
    void broadcast(std::vector<std::uint8_t> jpeg) override;
    void onClientJoined(std::function<void()> joined) override;

    // The port bound by open(), 0 before it and after a stop.
    std::uint16_t port() const { return port_.load(); }
    // Frames dropped for browsers that could not keep up, since creation.
    std::uint64_t droppedFrames() const { return droppedFrames_.load(); }

private:
    struct Client; // one browser connection
    using Frame = std::shared_ptr<const std::vector<std::uint8_t>>;

    WebSocketServer(std::shared_ptr<SerialQueue> queue, WebSocketServerOptions options);
    static asio::awaitable<void> session(std::weak_ptr<WebSocketServer> weak, std::shared_ptr<Client> client);
    void remove(const std::shared_ptr<Client>& client);

    std::shared_ptr<SerialQueue> queue_;
    // Set by open(), before start() and so before any connection is taken.
    std::shared_ptr<LocalListener> listener_;
    std::atomic<bool> opened_{false};
    std::atomic<std::uint16_t> port_{0};
    const WebSocketServerOptions options_;
    std::uint16_t pagePort_ = 0; // set by start(), before the first connection

    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Client>> connections_; // guarded by lock_
    std::function<void()> joined_;                      // guarded by lock_
    std::atomic<std::uint64_t> droppedFrames_{0};
};

} // namespace qb
