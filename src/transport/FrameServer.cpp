#include "transport/FrameServer.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "diagnostics/EventLog.h"
#include "diagnostics/Log.h"
#include "platform/ThreadPriority.h"
#include "runtime/Clock.h"
#include "runtime/Queues.h"
#include "transport/FrameProtocol.h"
#include "transport/ListenSocket.h"

namespace qb {

namespace {

using tcp = asio::ip::tcp;
using boost::system::error_code;

void logLine(std::string_view line) { componentLog(LogLevel::info, "TCPServer", line); }

template <std::size_t N>
std::shared_ptr<const std::vector<std::uint8_t>> messageOf(const std::array<std::uint8_t, N>& bytes)
{
    return std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
}

} // namespace

struct FrameServer::Connection {
    explicit Connection(tcp::socket s) : socket(std::move(s)), writeTimer(socket.get_executor()) {}

    struct Outgoing {
        Message message;
        bool frame = false;
    };

    tcp::socket socket;
    std::deque<Outgoing> outgoing; // the front one is being written
    std::size_t outgoingBytes = 0;
    // Frames in `outgoing`; read by the encoder's thread through unsentFrames().
    std::atomic<int> unsentFrames{0};
    bool writing = false;
    asio::steady_timer writeTimer; // the stalled-write limit of the write under way
    std::uint64_t writesStarted = 0;
    bool closed = false; // nothing more is sent
    bool gone = false;   // its departure was reported
    std::string failure; // why we closed it, when an error did
    std::uint16_t port = 0; // the server's port when it joined; events keep it after stop
    AckParser ackParser; // one per connection: clients never share partial acknowledgements
    std::vector<std::uint8_t> readBuffer = std::vector<std::uint8_t>(65536);

    void close()
    {
        closed = true;
        error_code ignored;
        socket.close(ignored);
        writeTimer.cancel();
    }
    // Closes because of `cause`; its departure is then reported as a failure.
    void fail(std::string cause)
    {
        if (!closed && failure.empty()) failure = std::move(cause);
        close();
    }
    // The departure's description: a failure we saw ourselves wins over the
    // cancelled read that it caused.
    std::string goneReason(const error_code& ec) const
    {
        if (!failure.empty()) return "failed: " + failure;
        if (ec == asio::error::operation_aborted) return "cancelled";
        if (ec == asio::error::eof) return "closed by peer";
        return "failed: " + ec.message();
    }
};

std::shared_ptr<FrameServer> FrameServer::make(Options options)
{
    return std::shared_ptr<FrameServer>(new FrameServer(options));
}

FrameServer::FrameServer(Options options)
    : options_(options)
    , queue_(SerialQueue::makeDedicated("tcp-server"))
    , acks_(mediaTime())
{
    // Every frame passes this queue between the encoder and the socket: on a
    // shared pool at the normal priority it waited there for a core.
    queue_->async([] { raiseFrameThreadPriority(); });
}

FrameServer::~FrameServer()
{
    // Handlers still queued hold the connections, not the server; close
    // everything on the queue, where the sockets live.
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard guard(lock_);
        connections.swap(connections_);
    }
    if (listener_) listener_->cancel();
    queue_->async([connections = std::move(connections)] {
        for (const auto& c : connections) c->close();
    });
}

error_code FrameServer::open(std::uint16_t port)
{
    if (opened_.exchange(true)) return asio::error::already_open;
    error_code ec;
    auto listener = LocalListener::open(queue_->executor(), options_.bindAddress, port, "TCPServer",
        listenerOptions(options_.peers, options_.acceptRetryDelay), ec);
    if (!listener) {
        logLine(fmt::format("[TCPServer] Cannot listen on {}:{} ({})", options_.bindAddress, port, ec.message()));
        return ec;
    }
    listener_ = listener;
    port_ = listener->port();
    return {};
}

void FrameServer::start()
{
    if (!listener_ || port_ == 0) return;
    logLine(fmt::format("[TCPServer] Listening on tcp://localhost:{}", port_.load()));
    listener_->start([weak = weak_from_this()](tcp::socket socket) {
        if (auto self = weak.lock()) self->accepted(std::move(socket));
    });
}

void FrameServer::stop()
{
    queue_->sync([this] { stopOnQueue(); });
}

asio::awaitable<void> FrameServer::stopAsync()
{
    std::function<void()> work = [self = shared_from_this()] { self->stopOnQueue(); };
    co_await queue_->run(work);
}

void FrameServer::requestStop()
{
    queue_->async([self = shared_from_this()] { self->stopOnQueue(); });
}

void FrameServer::stopOnQueue()
{
    opened_ = true; // a stopped server is not opened again
    if (listener_) listener_->closeOnExecutor();
    port_ = 0;
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard guard(lock_);
        connections.swap(connections_);
    }
    // Each closed socket's pending read then fails and reports it gone.
    for (const auto& c : connections) c->close();
}

std::uint16_t FrameServer::port() const { return port_; }

void FrameServer::accepted(tcp::socket socket)
{
    if (port_ == 0) return; // stopped while the connection was being taken
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    if (options_.socketSendBufferBytes > 0) {
        socket.set_option(asio::socket_base::send_buffer_size(options_.socketSendBufferBytes), ignored);
    }
    handleReady(std::make_shared<Connection>(std::move(socket)));
}

void FrameServer::handleReady(const std::shared_ptr<Connection>& connection)
{
    logLine("[TCPServer] Client connected");
    const std::uint16_t port = port_;
    connection->port = port;
    EventLog::shared().record(MirrorEvent::clientConnected(port));

    int count = 0;
    std::vector<Message> chain;
    std::uint16_t width = 0, height = 0;
    PixelFormat format = PixelFormat::greyscale;
    std::uint8_t brightness = 0, warmth = 0;
    std::function<void(int)> countChanged;
    {
        std::lock_guard guard(lock_);
        connections_.push_back(connection);
        count = static_cast<int>(connections_.size());
        chain = keyframeChain_;
        width = frameWidth_;
        height = frameHeight_;
        format = pixelFormat_;
        brightness = lastBrightness_;
        warmth = lastWarmth_;
        countChanged = onClientCountChanged_;
    }
    {
        // A new client starts the acknowledgement bookkeeping afresh; the
        // RTT window, the statistics and the pacer carry over.
        std::lock_guard guard(rttLock_);
        acks_.clientConnected(mediaTime());
    }
    if (countChanged) countChanged(count);

    // The greeting is queued in this same queue item as the client joined
    // the list, so no frame broadcast meanwhile can overtake it or be missed.
    enqueue(connection, messageOf(encodeResolutionCommand(width, height)));
    logLine(fmt::format("[TCPServer] Sent resolution: {}x{}", width, height));
    enqueue(connection, messageOf(encodeCommand(static_cast<std::uint8_t>(CommandCode::pixelFormat), rawValue(format))));
    logLine(fmt::format("[TCPServer] Sent pixel format: {}", label(format)));
    enqueue(connection, messageOf(encodeCommand(static_cast<std::uint8_t>(CommandCode::brightness), brightness)));
    enqueue(connection, messageOf(encodeCommand(static_cast<std::uint8_t>(CommandCode::warmth), warmth)));
    logLine(fmt::format("[TCPServer] Sent brightness: {}, warmth: {}", brightness, warmth));
    if (!chain.empty()) {
        for (const auto& message : chain) enqueue(connection, message, true);
        logLine(fmt::format("[TCPServer] Sent cached keyframe ({} bytes)", chain.front()->size()));
    } else {
        logLine("[TCPServer] No cached keyframe yet — client will get next broadcast keyframe");
    }
    readNext(connection);
}

void FrameServer::readNext(const std::shared_ptr<Connection>& connection)
{
    if (connection->closed) {
        handleGone(connection, connection->goneReason(asio::error::operation_aborted));
        return;
    }
    connection->socket.async_read_some(asio::buffer(connection->readBuffer),
        [weak = weak_from_this(), connection](error_code ec, std::size_t n) {
            auto self = weak.lock();
            if (!self) {
                connection->close();
                return;
            }
            if (ec || n == 0) {
                connection->close();
                self->handleGone(connection, connection->goneReason(ec ? ec : asio::error::eof));
                return;
            }
            std::vector<std::uint32_t> acks;
            const auto read = connection->ackParser.feed(std::span(connection->readBuffer.data(), n),
                [&acks](std::uint32_t seq) { acks.push_back(seq); });
            if (read.refused) {
                // A web page's request or another protocol's hello: not a device.
                logLine("[TCPServer] Closed a connection that did not begin with an acknowledgement");
                connection->fail("not a frame-stream client"); // the read below reports it gone
            }
            if (!acks.empty()) self->handleAcks(acks);
            self->bytesReceived_ += n; // counted once handled, so waiting on it sees the result
            self->readNext(connection);
        });
}

void FrameServer::handleAcks(const std::vector<std::uint32_t>& sequenceNumbers)
{
    std::vector<LatencyStats> fresh;
    std::vector<std::string> lines;
    {
        std::lock_guard guard(rttLock_);
        for (std::uint32_t seq : sequenceNumbers) {
            const double now = mediaTime();
            const std::optional<LatencyStats> stats = acks_.acknowledged(seq, now);
            if (!stats) continue;
            framePacer_.recordACK(seq, now);
            if (stats->acksReceived % 30 == 0) {
                lines.push_back(fmt::format("[TCPServer:RTT] last: {:.1f}ms | avg: {:.1f}ms | p95: {:.1f}ms | acks: {}",
                    stats->rttMs, stats->rttAvgMs, stats->rttP95Ms, stats->acksReceived));
            }
            fresh.push_back(*stats);
        }
    }
    for (const auto& line : lines) logLine(line);
    if (fresh.empty()) return;
    std::function<void(const LatencyStats&)> callback;
    {
        std::lock_guard guard(lock_);
        callback = onLatencyStats_;
    }
    if (callback) {
        for (const auto& stats : fresh) callback(stats);
    }
}

void FrameServer::handleGone(const std::shared_ptr<Connection>& connection, const std::string& reason)
{
    if (connection->gone) return;
    connection->gone = true;
    connection->outgoing.clear();
    connection->outgoingBytes = 0;
    connection->unsentFrames = 0;
    int count = 0;
    std::function<void(int)> countChanged;
    {
        std::lock_guard guard(lock_);
        std::erase(connections_, connection);
        count = static_cast<int>(connections_.size());
        countChanged = onClientCountChanged_;
    }
    if (countChanged) countChanged(count);
    EventLog::shared().record(MirrorEvent::clientDisconnected(connection->port));
    logLine(fmt::format("[TCPServer] Client disconnected ({})", reason));
}

void FrameServer::enqueue(const std::shared_ptr<Connection>& connection, const Message& message, bool frame)
{
    if (connection->closed) return;
    if (connection->outgoing.size() + 1 > options_.maxQueuedMessages
        || connection->outgoingBytes + message->size() > options_.maxQueuedBytes) {
        // The client stopped reading. Holding more would grow without bound
        // and dropping single frames would corrupt its picture; let it go
        // (the device reconnects and is greeted with a fresh keyframe).
        logLine(fmt::format("[TCPServer] Client not reading ({} messages, {} bytes unsent) — dropping it",
            connection->outgoing.size(), connection->outgoingBytes));
        connection->fail("client not reading"); // the pending read fails and reports it gone
        return;
    }
    connection->outgoing.push_back({message, frame});
    connection->outgoingBytes += message->size();
    if (frame) ++connection->unsentFrames;
    if (!connection->writing) writeNext(connection);
}

void FrameServer::writeNext(const std::shared_ptr<Connection>& connection)
{
    if (connection->closed || connection->outgoing.empty()) {
        connection->writing = false;
        connection->writeTimer.cancel();
        return;
    }
    connection->writing = true;
    const Message message = connection->outgoing.front().message;
    watchWrite(connection);
    asio::async_write(connection->socket, asio::buffer(*message),
        [weak = weak_from_this(), connection, message](error_code ec, std::size_t) {
            auto self = weak.lock();
            if (!self) return;
            if (ec) {
                // The read side notices the closed socket and reports it gone.
                connection->writing = false;
                connection->fail(ec.message());
                return;
            }
            if (!connection->outgoing.empty()) {
                const Connection::Outgoing& sent = connection->outgoing.front();
                connection->outgoingBytes -= sent.message->size();
                if (sent.frame) --connection->unsentFrames;
                connection->outgoing.pop_front();
            }
            self->writeNext(connection);
        });
}

void FrameServer::watchWrite(const std::shared_ptr<Connection>& connection)
{
    // Arming the timer again cancels the watch of the write before.
    const std::uint64_t write = ++connection->writesStarted;
    connection->writeTimer.expires_after(options_.stalledWriteLimit);
    connection->writeTimer.async_wait([connection, write, limit = options_.stalledWriteLimit](error_code ec) {
        if (ec || connection->closed || !connection->writing || connection->writesStarted != write) return;
        logLine(fmt::format("[TCPServer] Client not reading (no write done in {} ms, {} messages unsent) — dropping it",
            limit.count(), connection->outgoing.size()));
        connection->fail("client not reading"); // the pending read fails and reports it gone
    });
}

void FrameServer::sendToAll(std::vector<std::shared_ptr<Connection>> targets, Message message, std::string logLine_,
    bool frames)
{
    if (targets.empty()) return;
    // A frame counts as unsent from now: the encoder may ask before the queue runs this.
    if (frames) {
        for (const auto& c : targets) ++c->unsentFrames;
    }
    queue_->async([weak = weak_from_this(), targets = std::move(targets), message = std::move(message),
                      line = std::move(logLine_), frames] {
        auto self = weak.lock();
        for (const auto& c : targets) {
            if (frames) --c->unsentFrames; // enqueue counts it again while it waits
            if (!self) continue;
            self->enqueue(c, message, frames);
            if (!line.empty()) logLine(line);
        }
    });
}

void FrameServer::broadcast(std::span<const std::uint8_t> payload, bool isKeyframe, std::uint32_t sequenceNumber)
{
    if (payload.size() > std::numeric_limits<std::uint32_t>::max()) {
        logLine(fmt::format("[TCPServer] Frame {} too large to send ({} bytes)", sequenceNumber, payload.size()));
        return;
    }
    Message message = std::make_shared<const std::vector<std::uint8_t>>(
        encodeFrameMessage(payload, isKeyframe, sequenceNumber));
    const double now = mediaTime();

    std::vector<std::shared_ptr<Connection>> targets;
    bool chainDropped = false;
    {
        std::lock_guard guard(lock_);
        if (isKeyframe) {
            keyframeChain_.assign(1, message);
            keyframeChainBytes_ = message->size();
        } else if (!keyframeChain_.empty()) {
            // Late joiners get the keyframe and every delta since, so their
            // picture is whole from the first frame on.
            if (keyframeChain_.size() + 1 > options_.keyframeChainMaxFrames
                || keyframeChainBytes_ + message->size() > options_.keyframeChainMaxBytes) {
                dropKeyframeCacheLocked();
                chainDropped = true;
            } else {
                keyframeChain_.push_back(message);
                keyframeChainBytes_ += message->size();
            }
        }
        targets = connections_;
    }
    if (chainDropped) {
        logLine("[TCPServer] Too many deltas since the cached keyframe — late joiners wait for the next keyframe");
    }
    {
        std::lock_guard guard(rttLock_);
        acks_.frameSent(sequenceNumber, now);
        framePacer_.recordFrameSent(sequenceNumber, now);
    }
    sendToAll(std::move(targets), std::move(message), {}, true);
}

void FrameServer::dropKeyframeCacheLocked()
{
    keyframeChain_.clear();
    keyframeChainBytes_ = 0;
}

void FrameServer::sendCommand(std::uint8_t command, std::uint8_t value)
{
    std::vector<std::shared_ptr<Connection>> targets;
    {
        std::lock_guard guard(lock_);
        if (command == static_cast<std::uint8_t>(CommandCode::warmth)) lastWarmth_ = value;
        if (command == static_cast<std::uint8_t>(CommandCode::brightness)) lastBrightness_ = value;
        targets = connections_;
    }
    sendToAll(std::move(targets), messageOf(encodeCommand(command, value)), {});
}

void FrameServer::setDimension(bool width, std::uint16_t value)
{
    std::vector<std::shared_ptr<Connection>> targets;
    std::uint16_t w = 0, h = 0;
    {
        std::lock_guard guard(lock_);
        std::uint16_t& field = width ? frameWidth_ : frameHeight_;
        const bool changed = field != value;
        field = value;
        // The cached frame no longer matches; dropped even when the value
        // is unchanged, since the encoder restarts with a keyframe anyway.
        dropKeyframeCacheLocked();
        if (!changed) return;
        w = frameWidth_;
        h = frameHeight_;
        targets = connections_;
    }
    sendToAll(std::move(targets), messageOf(encodeResolutionCommand(w, h)),
        fmt::format("[TCPServer] Sent resolution: {}x{}", w, h));
}

std::uint16_t FrameServer::frameWidth() const
{
    std::lock_guard guard(lock_);
    return frameWidth_;
}

void FrameServer::setFrameWidth(std::uint16_t width) { setDimension(true, width); }

std::uint16_t FrameServer::frameHeight() const
{
    std::lock_guard guard(lock_);
    return frameHeight_;
}

void FrameServer::setFrameHeight(std::uint16_t height) { setDimension(false, height); }

PixelFormat FrameServer::pixelFormat() const
{
    std::lock_guard guard(lock_);
    return pixelFormat_;
}

void FrameServer::setPixelFormat(PixelFormat format)
{
    std::lock_guard guard(lock_);
    if (pixelFormat_ != format) dropKeyframeCacheLocked();
    pixelFormat_ = format;
}

std::uint8_t FrameServer::lastBrightness() const
{
    std::lock_guard guard(lock_);
    return lastBrightness_;
}

std::uint8_t FrameServer::lastWarmth() const
{
    std::lock_guard guard(lock_);
    return lastWarmth_;
}

void FrameServer::setOnClientCountChanged(std::function<void(int)> callback)
{
    std::lock_guard guard(lock_);
    onClientCountChanged_ = std::move(callback);
}

void FrameServer::setOnLatencyStats(std::function<void(const LatencyStats&)> callback)
{
    std::lock_guard guard(lock_);
    onLatencyStats_ = std::move(callback);
}

int FrameServer::clientCount() const
{
    std::lock_guard guard(lock_);
    return static_cast<int>(connections_.size());
}

std::optional<std::vector<std::uint8_t>> FrameServer::lastKeyframeData() const
{
    std::lock_guard guard(lock_);
    if (keyframeChain_.empty()) return std::nullopt;
    return *keyframeChain_.front();
}

int FrameServer::inflightFrames() const
{
    std::lock_guard guard(rttLock_);
    return acks_.inflightFrames();
}

int FrameServer::unsentFrames() const
{
    std::lock_guard guard(lock_);
    int most = 0;
    for (const auto& c : connections_) most = std::max(most, c->unsentFrames.load());
    return most;
}

bool FrameServer::ackProtocolActive() const
{
    std::lock_guard guard(rttLock_);
    return acks_.ackProtocolActive();
}

std::optional<LatencyStats> FrameServer::latencyStats() const
{
    std::lock_guard guard(rttLock_);
    return acks_.latencyStats();
}

std::size_t FrameServer::trackedFrameCount() const
{
    std::lock_guard guard(rttLock_);
    return acks_.trackedFrames();
}

std::uint64_t FrameServer::bytesReceived() const { return bytesReceived_; }

} // namespace qb
