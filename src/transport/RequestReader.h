// How the preview's two servers take in a request: read whole, head and
// body, by one deadline, and judged by where it arrived (RequestSite). The
// deadline is for the whole request, so a peer that sends a byte now and
// then cannot hold its connection (and the daemon's descriptor) past it.
//
// Runs on the executor of the stream it is given.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include <boost/beast/core/tcp_stream.hpp>

#include "runtime/Asio.h"
#include "transport/PreviewRequests.h"

namespace qb {

struct ReceivedRequest {
    // Everything read: the request and whatever followed it in the same reads.
    std::vector<std::uint8_t> bytes;
    // Complete or malformed.
    ParsedHTTPRequest parsed;
};

// Reads until parseHTTPRequest finds the request complete or malformed.
// Nothing when the peer ends or `deadline` passes first.
asio::awaitable<std::optional<ReceivedRequest>> readHTTPRequest(boost::beast::tcp_stream& stream,
    std::chrono::steady_clock::time_point deadline);

// Where the connection of `socket` arrived, for pages served on `pagePort`.
RequestSite requestSite(const asio::ip::tcp::socket& socket, std::uint16_t pagePort);

} // namespace qb
