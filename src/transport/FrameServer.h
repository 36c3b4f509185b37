// FrameServer: the host end of the frame stream (FrameProtocol.h), one per
// device session, listening on that session's port.
//
// It greets every client with the geometry, the pixel format and the
// front-light state, replays the cached keyframe (and the deltas broadcast
// since it) to late joiners, sends every encoded frame and every command to
// all clients, and reads the clients' acknowledgements into the round-trip
// statistics and the frame pacer. A client whose first bytes are not an
// acknowledgement (a web page's HTTP request, a TLS hello) is closed as soon
// as they arrive; none of its bytes is read as an acknowledgement.
//
// Threads: sockets, handlers and the callbacks run on the server's own serial
// queue "tcp-server", a thread of its own at the frame path's priority
// (platform/ThreadPriority.h). broadcast(), sendCommand(), the geometry setters and the
// readers may be called from any thread (the encoder calls broadcast() on its
// capture queue). Two locks, never nested: one guards the client list, the
// keyframe cache and the announced state; the other guards the
// acknowledgement bookkeeping and the pacer feeding.
//
// Sending: each frame is built once into one shared buffer that every client
// queue references. Sends are asynchronous. unsentFrames() tells the encoder
// how far the slowest client is behind, so that a slow link is paced (fewer
// frames) rather than flooded. A client that does not read (a stalled
// device) is dropped once one write makes no progress for
// stalledWriteLimit, or once its queue passes the limits in Options, so it
// costs neither unbounded memory nor, for long, the other clients' frames.
//
// Life, as for every TCP server here (ListenSocket.h): make(options) → set
// the callbacks, frameWidth/frameHeight/pixelFormat → open(port) → start()
// → ... → stop() / stopAsync() / requestStop(). A stopped server is not
// opened again. Callbacks hold the server weakly and do nothing once it is
// gone.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/Modes.h"
#include "transport/FrameSink.h"
#include "runtime/Asio.h"
#include "transport/AckTracker.h"
#include "transport/FramePacer.h"
#include "transport/ListenSocket.h"
#include "transport/PeerAllowList.h"

namespace qb {

class SerialQueue;

class FrameServer final : public FrameSink, public std::enable_shared_from_this<FrameServer> {
public:
    struct Options {
        // A client whose unsent messages pass either limit is dropped: about
        // two seconds of frames at 60 Hz, or a few large keyframes.
        std::size_t maxQueuedMessages = 120;
        std::size_t maxQueuedBytes = 64u << 20;
        // A client whose pending write completes within none of this is
        // dropped: paced, a stalled client would never reach the limits
        // above, and it holds every other client's frames back.
        std::chrono::milliseconds stalledWriteLimit{10000};
        // The deltas kept after the cached keyframe for late joiners; beyond
        // either limit the cache is dropped and late joiners wait for the
        // next keyframe.
        std::size_t keyframeChainMaxFrames = 100;
        std::size_t keyframeChainMaxBytes = 32u << 20;
        // SO_SNDBUF for client sockets; 0 keeps the system's default.
        int socketSendBufferBytes = 0;
        // Pause before accepting again after a failed accept (descriptors
        // exhausted, ...).
        std::chrono::milliseconds acceptRetryDelay{100};
        // Loopback unless the session runs in Wi-Fi mode.
        std::string bindAddress = std::string(LOOPBACK_ADDRESS);
        // Who may connect (Wi-Fi mode); null: whoever reaches the address.
        std::shared_ptr<const PeerAllowList> peers;
    };

    static std::shared_ptr<FrameServer> make(Options options);
    static std::shared_ptr<FrameServer> make() { return make(Options{}); }
    ~FrameServer() override;
    FrameServer(const FrameServer&) = delete;
    FrameServer& operator=(const FrameServer&) = delete;

    // Binds Options::bindAddress at `port` (0 picks a free port, see
    // port()). A failure (port in use, bad address, second open, opened
    // after a stop) comes back as the error and nothing listens; nothing is
    // thrown. The bind is one non-blocking call: the main loop may make it.
    boost::system::error_code open(std::uint16_t port);
    // Logs "[TCPServer] Listening on tcp://localhost:<port>" and accepts
    // clients from now on; returns at once. Does nothing unless open()
    // succeeded. open() and start() come from one thread, before any stop.
    void start();
    // Closes the listener and every client. Each closed client is then
    // reported gone as usual (count callback, event log). stop() waits for
    // the server's queue (any thread but the main loop's), stopAsync() is
    // awaited, requestStop() returns at once (the work follows on the queue).
    void stop();
    asio::awaitable<void> stopAsync();
    void requestStop();
    // The port bound by open(), 0 before it and after a stop.
    std::uint16_t port() const;

    // FrameSink
    void broadcast(std::span<const std::uint8_t> payload, bool isKeyframe, std::uint32_t sequenceNumber) override;
    int inflightFrames() const override;
    bool ackProtocolActive() const override;
    int unsentFrames() const override;
    std::optional<LatencyStats> latencyStats() const override;
    FramePacer& framePacer() override { return framePacer_; }

    // Sends a command to every client now; brightness (1) and warmth (2)
    // values are remembered and greet later clients.
    void sendCommand(std::uint8_t command, std::uint8_t value);

    // Assigning either dimension discards the keyframe cache (the cached
    // frame has the old size); a changed value also goes to every client as a
    // resolution command carrying the new pair.
    std::uint16_t frameWidth() const;
    void setFrameWidth(std::uint16_t width);
    std::uint16_t frameHeight() const;
    void setFrameHeight(std::uint16_t height);
    // Announced to clients that connect afterwards. A change discards the
    // keyframe cache, which no longer matches the format.
    PixelFormat pixelFormat() const;
    void setPixelFormat(PixelFormat format);
    std::uint8_t lastBrightness() const;
    std::uint8_t lastWarmth() const;

    // Told the number of clients after each connect and disconnect, on the
    // server's queue.
    void setOnClientCountChanged(std::function<void(int)> callback);
    // Told fresh statistics after each matched acknowledgement, on the
    // server's queue, with no lock held.
    void setOnLatencyStats(std::function<void(const LatencyStats&)> callback);

    int clientCount() const;
    // The complete frame message of the cached keyframe, if any.
    std::optional<std::vector<std::uint8_t>> lastKeyframeData() const;
    // Frames sent and still awaiting their acknowledgement (at most 300).
    std::size_t trackedFrameCount() const;
    // Bytes read from all clients so far (diagnostics and tests).
    std::uint64_t bytesReceived() const;

private:
    void stopOnQueue();
    struct Connection;
    using Message = std::shared_ptr<const std::vector<std::uint8_t>>;

    explicit FrameServer(Options options);

    void accepted(asio::ip::tcp::socket socket);
    void handleReady(const std::shared_ptr<Connection>& connection);
    void readNext(const std::shared_ptr<Connection>& connection);
    void handleAcks(const std::vector<std::uint32_t>& sequenceNumbers);
    void handleGone(const std::shared_ptr<Connection>& connection, const std::string& reason);
    void enqueue(const std::shared_ptr<Connection>& connection, const Message& message, bool frame = false);
    void writeNext(const std::shared_ptr<Connection>& connection);
    void watchWrite(const std::shared_ptr<Connection>& connection);
    void sendToAll(std::vector<std::shared_ptr<Connection>> targets, Message message, std::string logLine,
        bool frames = false);
    void setDimension(bool width, std::uint16_t value);
    void dropKeyframeCacheLocked();

    const Options options_;
    std::shared_ptr<SerialQueue> queue_;
    // Set by open() (before start(), so before any handler runs), then used
    // on queue_ only.
    std::shared_ptr<LocalListener> listener_;
    std::atomic<bool> opened_{false}; // open() was called, or a stop came first
    std::atomic<std::uint16_t> port_{0};
    std::atomic<std::uint64_t> bytesReceived_{0};

    // Guarded by lock_: the clients, the keyframe cache, the announced state.
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<Message> keyframeChain_; // the keyframe, then the deltas since
    std::size_t keyframeChainBytes_ = 0;
    std::uint16_t frameWidth_ = 1024;
    std::uint16_t frameHeight_ = 768;
    PixelFormat pixelFormat_ = PixelFormat::greyscale;
    std::uint8_t lastBrightness_ = 128;
    std::uint8_t lastWarmth_ = 128;
    std::function<void(int)> onClientCountChanged_;
    std::function<void(const LatencyStats&)> onLatencyStats_;

    // Guarded by rttLock_: the acknowledgement bookkeeping and pacer feeding.
    mutable std::mutex rttLock_;
    AckTracker acks_;
    FramePacer framePacer_{0.1, 2.0, 10};
};

} // namespace qb
