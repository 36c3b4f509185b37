#include "transport/HTTPServer.h"

#include <vector>

#include <boost/beast/core/tcp_stream.hpp>
#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "runtime/MainLoop.h"
#include "transport/ControlPage.h"
#include "transport/RequestReader.h"
#include "transport/TabletPage.h"

namespace qb {

namespace beast = boost::beast;

namespace {

using ControlHandler = std::function<asio::awaitable<std::string>(std::string)>;

// Started on the main loop, so that nothing of the handler runs elsewhere.
asio::awaitable<std::string> callHandler(ControlHandler handler, std::string text)
{
    co_return co_await handler(std::move(text));
}

asio::awaitable<std::optional<TabletTarget>> callLookup(TabletTargetLookup lookup, TabletHello hello,
    asio::ip::address peer)
{
    co_return co_await lookup(std::move(hello), peer);
}

asio::awaitable<std::optional<TabletTarget>> lookupOnMainLoop(TabletTargetLookup lookup, TabletHello hello,
    asio::ip::address peer)
{
    co_return co_await asio::co_spawn(MainLoop::shared().executor(),
        callLookup(std::move(lookup), std::move(hello), peer), asio::use_awaitable);
}

// The lookup awaited on the main loop, from the bridge's queue. The wrapper
// is no coroutine itself: a coroutine lambda's captures live in the lambda,
// which may be gone while the lookup is awaited, so the lookup is handed to
// the coroutine as an argument, which its frame keeps.
TabletTargetLookup onMainLoop(TabletTargetLookup lookup)
{
    if (!lookup) return nullptr;
    return [lookup](TabletHello hello, asio::ip::address peer) {
        return lookupOnMainLoop(lookup, std::move(hello), peer);
    };
}

// Answers a control request that may reach the command table.
asio::awaitable<std::string> answerControl(ControlHandler handler, std::string body)
{
    if (!handler) co_return controlResponse("503 Service Unavailable", "ERR control unavailable");
    std::string reply;
    try {
        reply = co_await asio::co_spawn(MainLoop::shared().executor(),
            callHandler(std::move(handler), std::move(body)), asio::use_awaitable);
    } catch (const std::exception& error) {
        logError("HTTP", std::string("Control request failed: ") + error.what());
        co_return controlResponse("500 Internal Server Error", "ERR internal error");
    }
    co_return controlResponse("200 OK", reply);
}

} // namespace

std::shared_ptr<HTTPServer> HTTPServer::make(int width, int height, HTTPServerOptions options)
{
    auto viewer = buildViewerPage(width, height, options.webSocketPort);
    auto control = buildControlPage(width, height, options.webSocketPort);
    return std::shared_ptr<HTTPServer>(new HTTPServer(
        SerialQueue::make("http-server"), std::move(viewer), std::move(control), std::move(options)));
}

HTTPServer::HTTPServer(std::shared_ptr<SerialQueue> queue, std::string viewerPage, std::string controlPage,
    HTTPServerOptions options)
    : queue_(std::move(queue))
    , viewerPage_(std::move(viewerPage))
    , controlPage_(std::move(controlPage))
    , options_(std::move(options))
    , tabletSockets_(std::make_shared<TabletSocketQuota>(options_.tabletBridge))
{
}

HTTPServer::~HTTPServer()
{
    if (listener_) listener_->cancel();
}

boost::system::error_code HTTPServer::open(std::uint16_t port)
{
    if (opened_.exchange(true)) return asio::error::already_open;
    boost::system::error_code error;
    // With pairing, who is let in is judged per request (serve()).
    auto listener = LocalListener::open(queue_->executor(), options_.bindAddress, port, "HTTPServer",
        listenerOptions(options_.pairing ? nullptr : options_.peers, options_.acceptRetryDelay), error);
    if (!listener) return error;
    listener_ = std::move(listener);
    port_ = listener_->port();
    return {};
}

void HTTPServer::start()
{
    if (!listener_ || port_ == 0) return; // not open, or stopped
    std::weak_ptr<HTTPServer> weak = weak_from_this();
    listener_->start([weak](asio::ip::tcp::socket socket) {
        if (weak.expired()) return; // the socket closes as it goes
        asio::co_spawn(socket.get_executor(), serve(weak, std::move(socket)), [](std::exception_ptr) {});
    });
    componentLog(LogLevel::info, "HTTPServer",
        fmt::format("[HTTPServer] Listening on http://localhost:{}", listener_->port()));
}

asio::awaitable<void> HTTPServer::stopAsync()
{
    opened_ = true; // a stopped server is not opened again
    port_ = 0;
    if (const auto listener = listener_) co_await listener->stopAsync();
}

// GCC 12 inlines Asio's coroutine-frame allocator into this coroutine and
// then mistakes its matching operator delete for a mismatched one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
asio::awaitable<void> HTTPServer::serve(std::weak_ptr<HTTPServer> weak, asio::ip::tcp::socket socket)
{
    Duration timeout{};
    RequestSite site;
    bool listedPeer = true;
    {
        auto self = weak.lock();
        if (!self) co_return;
        timeout = self->options_.requestDeadline;
        site = requestSite(socket, self->listener_->port());
        if (self->options_.pairing && self->options_.peers) {
            boost::system::error_code endpointError;
            const auto peer = socket.remote_endpoint(endpointError);
            listedPeer = !endpointError && self->options_.peers->allows(peer.address());
        }
    }
    beast::tcp_stream stream(std::move(socket));
    auto received = co_await readHTTPRequest(stream, std::chrono::steady_clock::now() + timeout);
    const auto request = !received || received->parsed.progress != ParsedHTTPRequest::Progress::complete
        ? PreviewRequest::unanswered
        : judgePreviewRequest(received->parsed.request, site);

    if (request == PreviewRequest::tabletStream) {
        TabletTargetLookup lookup;
        TabletBridgeOptions bridge;
        std::shared_ptr<TabletPairing> pairing;
        std::shared_ptr<void> slot; // held while the bridge runs
        asio::ip::address peerAddress;
        {
            auto self = weak.lock();
            if (!self) co_return;
            lookup = onMainLoop(self->options_.tabletTarget);
            bridge = self->options_.tabletBridge;
            if (!site.loopbackPeer) pairing = self->options_.pairing;
            boost::system::error_code endpointError;
            const auto peer = stream.socket().remote_endpoint(endpointError);
            if (!endpointError) {
                peerAddress = peer.address();
                slot = self->tabletSockets_->take(peerAddress);
            }
        }
        if (!slot) {
            // Debug only: a flood must not flood the log too.
            logDebug("HTTP", "Closed a tablet socket: too many open from " + peerAddress.to_string() + " or in all");
            stream.close();
            co_return;
        }
        co_await runTabletBridge(stream.release_socket(), std::move(received->bytes), std::move(lookup), bridge,
            std::move(pairing));
        co_return;
    }
    const bool tabletPageItself = request == PreviewRequest::tablet || request == PreviewRequest::tabletManifest
        || request == PreviewRequest::tabletIcon;
    if (!listedPeer && !tabletPageItself) {
        stream.close(); // a stranger sees the tablet page (its manifest and icon too), to pair, and nothing else
        co_return;
    }

    std::string response;
    ControlHandler handler;
    {
        auto self = weak.lock();
        if (!self || request == PreviewRequest::unanswered) {
            stream.close();
            co_return;
        }
        if (request == PreviewRequest::start) logInfo("HTTP", "POST /start — companion requested mirror start");
        if (request == PreviewRequest::stop) logInfo("HTTP", "POST /stop — companion requested mirror stop");
        if (request == PreviewRequest::refused) {
            logWarn("HTTP", "Refused a request that did not come from this daemon's own pages");
        }
        // The LAN sees the picture only; the settings are this machine's.
        response = previewResponse(request, request == PreviewRequest::tablet ? tabletPage()
                : request == PreviewRequest::tabletManifest                   ? tabletManifest()
                : request == PreviewRequest::tabletIcon                       ? tabletIcon()
                : site.loopbackPeer                                           ? self->controlPage_
                                                                              : self->viewerPage_);
        handler = self->options_.controlHandler;
    }
    if (request == PreviewRequest::control) {
        response = co_await answerControl(std::move(handler), std::move(received->parsed.request.body));
    }

    stream.expires_after(timeout);
    co_await asio::async_write(stream, asio::buffer(response), asio::as_tuple(asio::use_awaitable));
    boost::system::error_code ignored;
    stream.socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    stream.close();

    if (request == PreviewRequest::start || request == PreviewRequest::stop) {
        MainLoop::shared().post([weak, request] {
            auto self = weak.lock();
            if (!self) return;
            const auto& callback = request == PreviewRequest::start ? self->onStartRequested : self->onStopRequested;
            if (callback) callback();
        });
    }
}
#pragma GCC diagnostic pop

} // namespace qb
