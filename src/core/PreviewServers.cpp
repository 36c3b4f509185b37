#include "core/PreviewServers.h"

#include <fmt/format.h>

namespace qb {

std::optional<std::string> PreviewServers::start(Options options)
{
    // Both ports are had before either serves: a clash leaves nothing open.
    WebSocketServerOptions wsOptions;
    wsOptions.bindAddress = options.bindAddress;
    wsOptions.peers = options.peers;
    auto ws = WebSocketServer::make(wsOptions);
    if (const auto error = ws->open(options.webSocketPort)) {
        return fmt::format("WebSocket port {}: {}", options.webSocketPort, error.message());
    }

    HTTPServerOptions httpOptions;
    httpOptions.bindAddress = options.bindAddress;
    httpOptions.webSocketPort = ws->port();
    httpOptions.peers = std::move(options.peers);
    httpOptions.controlHandler = std::move(options.controlHandler);
    httpOptions.tabletTarget = std::move(options.tabletTarget);
    httpOptions.pairing = std::move(options.pairing);
    auto http = HTTPServer::make(options.width, options.height, httpOptions);
    http->onStartRequested = std::move(options.onStartRequested);
    http->onStopRequested = std::move(options.onStopRequested);
    if (const auto error = http->open(options.httpPort)) {
        return fmt::format("HTTP port {}: {}", options.httpPort, error.message());
    }

    ws->start(http->port()); // only the pages the HTTP server serves may open it
    http->start();
    webSocket_ = std::move(ws);
    http_ = std::move(http);
    bindAddress_ = options.bindAddress;
    return std::nullopt;
}

asio::awaitable<void> PreviewServers::stop()
{
    if (auto ws = webSocket_) {
        co_await ws->stopAsync();
        webSocket_.reset();
    }
    if (auto http = http_) {
        co_await http->stopAsync();
        http_.reset();
    }
}

} // namespace qb
