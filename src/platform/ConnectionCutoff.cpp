#include "platform/ConnectionCutoff.h"

#include <sys/socket.h>

namespace qb {

namespace {

std::optional<asio::ip::tcp::endpoint> endpointOf(int descriptor, bool peer)
{
    asio::ip::tcp::endpoint endpoint;
    socklen_t size = static_cast<socklen_t>(endpoint.capacity());
    const int result = peer ? ::getpeername(descriptor, endpoint.data(), &size)
                            : ::getsockname(descriptor, endpoint.data(), &size);
    if (result != 0) return std::nullopt;
    endpoint.resize(size);
    return endpoint;
}

} // namespace

bool carriesConnection(int descriptor, const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& remote)
{
    return descriptor >= 0 && endpointOf(descriptor, false) == local && endpointOf(descriptor, true) == remote;
}

bool cutConnection(int descriptor, const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& remote)
{
    if (!carriesConnection(descriptor, local, remote)) return false;
    return ::shutdown(descriptor, SHUT_RDWR) == 0;
}

} // namespace qb
