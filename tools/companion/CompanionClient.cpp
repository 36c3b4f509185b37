#include "companion/CompanionClient.h"

namespace qb::companion {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// Runs `io` until `done` or the deadline; on timeout cancels the socket's
// operations and lets their handlers finish.
template <class Done>
void runUntil(asio::io_context& io, tcp::socket& socket, Clock::time_point deadline, Done done)
{
    io.restart();
    while (!done()) {
        auto now = Clock::now();
        if (now >= deadline) break;
        io.run_one_for(deadline - now);
    }
    if (!done()) {
        error_code ignored;
        socket.cancel(ignored);
        io.restart();
        while (!done()) io.run_one();
    }
}

bool connectSocket(asio::io_context& io, tcp::socket& socket, const std::string& host, std::uint16_t port,
    Milliseconds timeout, int receiveBufferBytes)
{
    error_code ec;
    auto address = asio::ip::make_address(host, ec);
    if (ec) return false;
    tcp::endpoint endpoint(address, port);
    socket.open(endpoint.protocol(), ec);
    if (ec) return false;
    if (receiveBufferBytes > 0) socket.set_option(asio::socket_base::receive_buffer_size(receiveBufferBytes), ec);
    socket.set_option(tcp::no_delay(true), ec);
    bool finished = false;
    error_code result = asio::error::timed_out;
    socket.async_connect(endpoint, [&](error_code e) {
        finished = true;
        result = e;
    });
    runUntil(io, socket, Clock::now() + timeout, [&] { return finished; });
    return !result;
}

} // namespace

CompanionClient::CompanionClient(Options options)
    : options_(options), socket_(io_), reader_(options.maxPayloadBytes), decoder_(options.maxPixels)
{
}

CompanionClient::~CompanionClient() { close(); }

bool CompanionClient::connect(const std::string& host, std::uint16_t port, Milliseconds timeout)
{
    return connectSocket(io_, socket_, host, port, timeout, options_.receiveBufferBytes);
}

bool CompanionClient::receiveSome(Clock::time_point deadline)
{
    if (closed_ || !socket_.is_open()) return false;
    bool finished = false;
    error_code result;
    std::size_t received = 0;
    socket_.async_read_some(asio::buffer(readBuffer_), [&](error_code e, std::size_t n) {
        finished = true;
        result = e;
        received = n;
    });
    runUntil(io_, socket_, deadline, [&] { return finished; });
    if (received > 0) {
        bytesReceived_ += received;
        reader_.append(std::span(readBuffer_.data(), received));
    }
    if (result == asio::error::operation_aborted) return received > 0; // timed out
    if (result) {
        closed_ = true;
        return received > 0;
    }
    return true;
}

std::optional<HostMessage> CompanionClient::readMessage(Milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (!violation_.empty()) return std::nullopt;
        if (auto message = reader_.next()) {
            if (auto problem = decoder_.apply(*message)) {
                violation_ = *problem;
                return std::nullopt;
            }
            return message;
        }
        if (reader_.failed()) {
            violation_ = reader_.error();
            return std::nullopt;
        }
        if (closed_ || Clock::now() >= deadline) return std::nullopt;
        receiveSome(deadline);
    }
}

std::optional<Greeting> CompanionClient::readGreeting(Milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!decoder_.greetingComplete()) {
        auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !readMessage(left)) return std::nullopt;
    }
    return Greeting{decoder_.width(), decoder_.height(), decoder_.pixelFormat(), *decoder_.brightness(),
        *decoder_.warmth()};
}

std::optional<FrameMessage> CompanionClient::readFrame(Milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return std::nullopt;
        auto message = readMessage(left);
        if (!message) return std::nullopt;
        if (auto* frame = std::get_if<FrameMessage>(&*message)) return std::move(*frame);
    }
}

bool CompanionClient::sendAck(std::uint32_t sequenceNumber)
{
    auto ack = encodeAck(sequenceNumber);
    return sendBytes(ack);
}

bool CompanionClient::sendBytes(std::span<const std::uint8_t> bytes)
{
    error_code ec;
    asio::write(socket_, asio::buffer(bytes.data(), bytes.size()), ec);
    return !ec;
}

void CompanionClient::close()
{
    error_code ignored;
    socket_.close(ignored);
}

TouchSender::TouchSender() : socket_(io_) {}

TouchSender::~TouchSender()
{
    error_code ignored;
    socket_.close(ignored);
}

bool TouchSender::connect(const std::string& host, std::uint16_t port, Milliseconds timeout)
{
    return connectSocket(io_, socket_, host, port, timeout, 0);
}

bool TouchSender::send(std::span<const std::uint8_t> bytes)
{
    error_code ec;
    asio::write(socket_, asio::buffer(bytes.data(), bytes.size()), ec);
    return !ec;
}

} // namespace qb::companion
