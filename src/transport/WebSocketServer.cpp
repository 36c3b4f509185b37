#include "transport/WebSocketServer.h"

#include <algorithm>
#include <deque>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "transport/RequestReader.h"

namespace qb {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

namespace {

void log(LogLevel level, const std::string& line) { componentLog(level, "WebSocket", line); }

} // namespace

struct WebSocketServer::Client : std::enable_shared_from_this<Client> {
    Client(asio::ip::tcp::socket socket, std::size_t maxQueued)
        : ws(std::move(socket)), maxQueuedFrames(std::max<std::size_t>(maxQueued, 1))
    {
    }

    websocket::stream<beast::tcp_stream> ws;
    const std::size_t maxQueuedFrames;
    // Set once the handshake is done, cleared when the connection ends; read
    // by broadcast() and previewClientCount() from the capture queue.
    std::atomic<bool> open{false};

    // The server's queue only.
    std::deque<Frame> waiting;
    bool writing = false;
    bool closed = false;

    // Returns whether a waiting frame had to be dropped.
    bool enqueue(const Frame& frame)
    {
        if (closed || !open.load()) return false;
        bool dropped = false;
        if (waiting.size() >= maxQueuedFrames) {
            waiting.pop_front();
            dropped = true;
        }
        waiting.push_back(frame);
        if (!writing) writeNext();
        return dropped;
    }

    void writeNext()
    {
        if (closed || waiting.empty()) return;
        Frame frame = std::move(waiting.front());
        waiting.pop_front();
        writing = true;
        ws.binary(true);
        ws.async_write(asio::buffer(*frame),
            [self = shared_from_this(), frame](const boost::system::error_code& error, std::size_t) {
                self->writing = false;
                if (error) {
                    // The reader sees the broken connection and removes it.
                    self->close();
                    return;
                }
                self->writeNext();
            });
    }

    void close()
    {
        closed = true;
        open.store(false);
        waiting.clear();
        beast::get_lowest_layer(ws).close();
    }
};

std::shared_ptr<WebSocketServer> WebSocketServer::make(WebSocketServerOptions options)
{
    return std::shared_ptr<WebSocketServer>(new WebSocketServer(SerialQueue::make("ws-server"), std::move(options)));
}

WebSocketServer::WebSocketServer(std::shared_ptr<SerialQueue> queue, WebSocketServerOptions options)
    : queue_(std::move(queue)), options_(std::move(options))
{
}

boost::system::error_code WebSocketServer::open(std::uint16_t port)
{
    if (opened_.exchange(true)) return asio::error::already_open;
    boost::system::error_code error;
    auto listener = LocalListener::open(queue_->executor(), options_.bindAddress, port, "WebSocket",
        listenerOptions(options_.peers, std::chrono::milliseconds(100)), error);
    if (!listener) return error;
    listener_ = std::move(listener);
    port_ = listener_->port();
    return {};
}

WebSocketServer::~WebSocketServer()
{
    if (listener_) listener_->cancel();
    std::vector<std::shared_ptr<Client>> clients;
    {
        std::lock_guard guard(lock_);
        clients.swap(connections_);
    }
    if (!clients.empty()) {
        asio::post(queue_->executor(), [clients = std::move(clients)] {
            for (const auto& client : clients) client->close();
        });
    }
}

void WebSocketServer::start(std::uint16_t pagePort)
{
    if (!listener_ || port_ == 0) return; // not open, or stopped
    pagePort_ = pagePort;
    std::weak_ptr<WebSocketServer> weak = weak_from_this();
    listener_->start([weak](asio::ip::tcp::socket socket) {
        auto self = weak.lock();
        if (!self) return;
        auto client = std::make_shared<Client>(std::move(socket), self->options_.maxQueuedFrames);
        {
            std::lock_guard guard(self->lock_);
            self->connections_.push_back(client);
        }
        asio::co_spawn(self->queue_->executor(), session(weak, client), [](std::exception_ptr) {});
    });
    log(LogLevel::info, fmt::format("[WebSocket] Listening on ws://localhost:{}", listener_->port()));
}

asio::awaitable<void> WebSocketServer::stopAsync()
{
    opened_ = true; // a stopped server is not opened again
    port_ = 0;
    if (const auto listener = listener_) co_await listener->stopAsync();
    std::vector<std::shared_ptr<Client>> clients;
    {
        std::lock_guard guard(lock_);
        clients.swap(connections_);
    }
    auto closeAll = [](std::vector<std::shared_ptr<Client>> all) -> asio::awaitable<void> {
        for (const auto& client : all) client->close();
        co_return;
    };
    co_await asio::co_spawn(queue_->executor(), closeAll(std::move(clients)), asio::use_awaitable);
}

asio::awaitable<void> WebSocketServer::session(std::weak_ptr<WebSocketServer> weak, std::shared_ptr<Client> client)
{
    RequestSite site;
    auto deadline = std::chrono::steady_clock::now();
    {
        auto self = weak.lock();
        if (!self) co_return;
        client->ws.read_message_max(self->options_.maxIncomingMessage);
        site = requestSite(client->ws.next_layer().socket(), self->pagePort_);
        deadline += self->options_.handshakeDeadline;
    }
    auto received = co_await readHTTPRequest(client->ws.next_layer(), deadline);
    const bool allowed = received && received->parsed.progress == ParsedHTTPRequest::Progress::complete
        && fromThisDaemonsPages(received->parsed.request, site, OriginlessPeers::loopbackOnly);
    if (!allowed && received) {
        log(LogLevel::warn, "[WebSocket] Refused a connection that did not come from this daemon's own pages");
    }
    boost::system::error_code handshakeError = asio::error::access_denied;
    if (allowed && !client->closed) {
        client->ws.next_layer().expires_never(); // the WebSocket's own timeouts from here on
        client->ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        client->ws.auto_fragment(false); // each picture one WebSocket frame, not 4 KB pieces
        std::tie(handshakeError)
            = co_await client->ws.async_accept(asio::buffer(received->bytes), asio::as_tuple(asio::use_awaitable));
    }
    if (!handshakeError && !client->closed) {
        client->open.store(true);
        log(LogLevel::info, "[WebSocket] Client connected");
        std::function<void()> joined;
        if (auto self = weak.lock()) {
            std::lock_guard guard(self->lock_);
            joined = self->joined_;
        }
        if (joined) joined();
        beast::flat_buffer buffer;
        for (;;) {
            auto [readError, size] = co_await client->ws.async_read(buffer, asio::as_tuple(asio::use_awaitable));
            if (readError) break;
            buffer.clear(); // browsers' messages mean nothing to us
        }
        log(LogLevel::info, "[WebSocket] Client disconnected");
    }
    if (!client->closed) client->close();
    if (auto self = weak.lock()) self->remove(client);
}

void WebSocketServer::remove(const std::shared_ptr<Client>& client)
{
    std::lock_guard guard(lock_);
    std::erase(connections_, client);
}

int WebSocketServer::previewClientCount() const
{
    std::lock_guard guard(lock_);
    return int(std::count_if(connections_.begin(), connections_.end(),
        [](const auto& client) { return client->open.load(); }));
}

void WebSocketServer::onClientJoined(std::function<void()> joined)
{
    std::lock_guard guard(lock_);
    joined_ = std::move(joined);
}

void WebSocketServer::broadcast(std::vector<std::uint8_t> jpeg)
{
    std::vector<std::shared_ptr<Client>> clients;
    {
        std::lock_guard guard(lock_);
        for (const auto& client : connections_) {
            if (client->open.load()) clients.push_back(client);
        }
    }
    if (clients.empty()) return;
    auto frame = std::make_shared<const std::vector<std::uint8_t>>(std::move(jpeg));
    std::weak_ptr<WebSocketServer> weak = weak_from_this();
    asio::post(queue_->executor(), [weak, clients = std::move(clients), frame] {
        std::uint64_t dropped = 0;
        for (const auto& client : clients) dropped += client->enqueue(frame) ? 1 : 0;
        if (dropped == 0) return;
        if (auto self = weak.lock()) self->droppedFrames_ += dropped;
    });
}

} // namespace qb
