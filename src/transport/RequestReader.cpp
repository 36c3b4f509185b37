#include "transport/RequestReader.h"

#include "transport/ListenSocket.h"

namespace qb {

asio::awaitable<std::optional<ReceivedRequest>> readHTTPRequest(boost::beast::tcp_stream& stream,
    std::chrono::steady_clock::time_point deadline)
{
    ReceivedRequest received;
    std::vector<std::uint8_t> chunk(4096);
    while (received.parsed.progress == ParsedHTTPRequest::Progress::incomplete) {
        stream.expires_at(deadline);
        auto [error, size] = co_await stream.async_read_some(asio::buffer(chunk), asio::as_tuple(asio::use_awaitable));
        if (error) co_return std::nullopt;
        received.bytes.insert(received.bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(size));
        received.parsed = parseHTTPRequest(received.bytes);
    }
    co_return received;
}

RequestSite requestSite(const asio::ip::tcp::socket& socket, std::uint16_t pagePort)
{
    RequestSite site;
    site.pagePort = pagePort;
    boost::system::error_code error;
    const auto local = socket.local_endpoint(error);
    if (!error) site.local = normalisedPeer(local.address());
    const auto remote = socket.remote_endpoint(error);
    site.loopbackPeer = !error && normalisedPeer(remote.address()).is_loopback();
    return site;
}

} // namespace qb
