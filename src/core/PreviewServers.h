// The browser preview and the local control page: the WebSocket server the
// sessions' captures feed, and the HTTP server of the page that shows it
// beside the settings and Start / Stop. The engine opens them at activation
// (or at its first start) and keeps them while it lives, mirroring or not, so
// the page can start again what it stopped; a start in another connection
// mode reopens them on that mode's address. Main loop only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
        // The page's control requests (HTTPServerOptions::controlHandler).
        std::function<asio::awaitable<std::string>(std::string)> controlHandler = nullptr;
        // The session a tablet page streams from (HTTPServerOptions::tabletTarget).
        TabletTargetLookup tabletTarget = nullptr;
        // Wi-Fi mode: tablet pages from the LAN must pair (HTTPServerOptions::pairing).
        std::shared_ptr<TabletPairing> pairing = nullptr;
    };

    // Opens both servers, then starts them; when either port cannot be had,
    // says which and why and leaves neither open. Not while running.
    std::optional<std::string> start(Options options);
    // Each server that runs, the WebSocket one first.
    asio::awaitable<void> stop();

    bool running() const { return webSocket_ && http_; }
    // The address they listen on while running.
    const std::string& bindAddress() const { return bindAddress_; }
    const std::shared_ptr<WebSocketServer>& webSocket() const { return webSocket_; }
    const std::shared_ptr<HTTPServer>& http() const { return http_; }

private:
    std::shared_ptr<WebSocketServer> webSocket_;
    std::shared_ptr<HTTPServer> http_;
    std::string bindAddress_;
};

} // namespace qb
