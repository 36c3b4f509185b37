// Reading from a loopback socket in a test without risking a hang: what
// arrives within the deadline, up to the bytes asked for.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/Asio.h"
#include "support/TestSupport.h"

namespace qb::test {

inline std::vector<std::uint8_t> readWithin(asio::ip::tcp::socket& socket, std::size_t count,
    std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    std::vector<std::uint8_t> bytes(count);
    std::size_t got = 0;
    socket.non_blocking(true);
    eventually(
        [&] {
            boost::system::error_code error;
            got += socket.read_some(asio::buffer(bytes.data() + got, bytes.size() - got), error);
            return got == bytes.size() || (error && error != asio::error::would_block);
        },
        limit, std::chrono::milliseconds(1));
    socket.non_blocking(false);
    bytes.resize(got);
    return bytes;
}

} // namespace qb::test
