// A synchronous client for the frame stream, playing the companion's part:
// connect, read and check the greeting, read and decode frames, acknowledge
// them. Every blocking call takes a deadline and returns instead of hanging.
// One thread at a time; tests and the qb-companion program use it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <boost/asio.hpp>

#include "companion/FrameDecoder.h"
#include "transport/FrameProtocol.h"

namespace qb::companion {

using Milliseconds = std::chrono::milliseconds;

struct Greeting {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    FramePixelFormat pixelFormat = FramePixelFormat::greyscale;
    std::uint8_t brightness = 0;
    std::uint8_t warmth = 0;
};

class CompanionClient {
public:
    struct Options {
        std::size_t maxPayloadBytes = 256u << 20;
        std::uint64_t maxPixels = 64ull << 20;
        // SO_RCVBUF before connecting; 0 keeps the system's default (tests
        // use a small one to stall quickly).
        int receiveBufferBytes = 0;
    };

    CompanionClient() : CompanionClient(Options{}) {}
    explicit CompanionClient(Options options);
    ~CompanionClient();
    CompanionClient(const CompanionClient&) = delete;
    CompanionClient& operator=(const CompanionClient&) = delete;

    bool connect(const std::string& host, std::uint16_t port, Milliseconds timeout);

    // The next message as sent, already checked byte-wise and applied to the
    // decoder. nullopt on timeout, end of stream or a violation; tell them
    // apart with violation() and closed().
    std::optional<HostMessage> readMessage(Milliseconds timeout);
    // The four greeting commands.
    std::optional<Greeting> readGreeting(Milliseconds timeout);
    // Reads until the next frame message (applying commands on the way).
    std::optional<FrameMessage> readFrame(Milliseconds timeout);

    bool sendAck(std::uint32_t sequenceNumber);
    bool sendBytes(std::span<const std::uint8_t> bytes);
    void close();

    // The first protocol violation seen, or empty.
    const std::string& violation() const { return violation_; }
    // The host closed the connection (or it failed).
    bool closed() const { return closed_; }
    std::uint64_t bytesReceived() const { return bytesReceived_; }

    FrameDecoder& decoder() { return decoder_; }
    const FrameDecoder& decoder() const { return decoder_; }

private:
    bool receiveSome(std::chrono::steady_clock::time_point deadline);

    Options options_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
    HostMessageReader reader_;
    FrameDecoder decoder_;
    std::vector<std::uint8_t> readBuffer_ = std::vector<std::uint8_t>(65536);
    std::string violation_;
    bool closed_ = false;
    std::uint64_t bytesReceived_ = 0;
};

// Sends touch messages (23 bytes each) to the input port.
class TouchSender {
public:
    TouchSender();
    ~TouchSender();
    bool connect(const std::string& host, std::uint16_t port, Milliseconds timeout);
    bool send(std::span<const std::uint8_t> bytes);

private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
};

} // namespace qb::companion
