// The browser preview while mirroring: the WebSocket server the sessions'
// captures feed, and the page that shows it with its start and stop buttons.
// The engine starts them at the beginning of a start and stops them at the
// end of its teardown (or when no device is found). Main loop only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/Asio.h"
#include "transport/HTTPServer.h"
#include "transport/PeerAllowList.h"
#include "transport/WebSocketServer.h"

namespace qb {

class PreviewServers {
public:
    struct Options {
        std::uint16_t webSocketPort = 0;
        std::uint16_t httpPort = 0;
        std::string bindAddress;
        std::shared_ptr<PeerAllowList> peers;        // who may connect at all (loopback and the set-up devices)
        int width = 0;                               // the page's canvas
        int height = 0;
        std::function<void()> onStartRequested;
        std::function<void()> onStopRequested;
    };

    // Throws what a server's construction throws; a WebSocket server
    // already started stays until stop().
    void start(Options options);
    // Each server that runs, the WebSocket one first.
    asio::awaitable<void> stop();

    const std::shared_ptr<WebSocketServer>& webSocket() const { return webSocket_; }
    const std::shared_ptr<HTTPServer>& http() const { return http_; }

private:
    std::shared_ptr<WebSocketServer> webSocket_;
    std::shared_ptr<HTTPServer> http_;
};

} // namespace qb
