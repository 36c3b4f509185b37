#include "transport/HTTPServer.h"

#include <vector>

#include <boost/beast/core/tcp_stream.hpp>
#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "runtime/MainLoop.h"

namespace qb {

namespace beast = boost::beast;

std::shared_ptr<HTTPServer> HTTPServer::make(std::uint16_t port, int width, int height, HTTPServerOptions options)
{
    auto queue = SerialQueue::make("http-server");
    auto listener = LocalListener::open(queue->executor(), options.bindAddress, port, "HTTPServer",
        listenerOptions(options.peers, options.acceptRetryDelay));
    auto page = buildViewerPage(width, height, options.webSocketPort);
    return std::shared_ptr<HTTPServer>(
        new HTTPServer(std::move(queue), std::move(listener), std::move(page), std::move(options)));
}

HTTPServer::HTTPServer(std::shared_ptr<SerialQueue> queue, std::shared_ptr<LocalListener> listener, std::string page,
    HTTPServerOptions options)
    : queue_(std::move(queue)), listener_(std::move(listener)), htmlPage_(std::move(page)), options_(std::move(options))
{
}

HTTPServer::~HTTPServer() { listener_->cancel(); }

void HTTPServer::start()
{
    std::weak_ptr<HTTPServer> weak = weak_from_this();
    listener_->start([weak](asio::ip::tcp::socket socket) {
        if (weak.expired()) return; // the socket closes as it goes
        asio::co_spawn(socket.get_executor(), serve(weak, std::move(socket)), [](std::exception_ptr) {});
    });
    componentLog(LogLevel::info, "HTTPServer",
        fmt::format("[HTTPServer] Listening on http://localhost:{}", listener_->port()));
}

asio::awaitable<void> HTTPServer::stopAsync() { co_await listener_->stopAsync(); }

asio::awaitable<void> HTTPServer::serve(std::weak_ptr<HTTPServer> weak, asio::ip::tcp::socket socket)
{
    Duration timeout{};
    {
        auto self = weak.lock();
        if (!self) co_return;
        timeout = self->options_.firstReadTimeout;
    }
    beast::tcp_stream stream(std::move(socket));
    std::vector<std::uint8_t> buffer(READ_SIZE);
    stream.expires_after(timeout);
    auto [readError, size] = co_await stream.async_read_some(asio::buffer(buffer), asio::as_tuple(asio::use_awaitable));
    const auto request = readError ? PreviewRequest::unanswered
                                   : judgePreviewRequest(std::span(buffer.data(), size));

    std::string response;
    {
        auto self = weak.lock();
        if (!self || request == PreviewRequest::unanswered) {
            stream.close();
            co_return;
        }
        if (request == PreviewRequest::start) logInfo("HTTP", "POST /start — companion requested mirror start");
        if (request == PreviewRequest::stop) logInfo("HTTP", "POST /stop — companion requested mirror stop");
        response = previewResponse(request, self->htmlPage_);
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

} // namespace qb
