#include "transport/ListenSocket.h"

#include <string>

namespace qb {

std::optional<asio::ip::address> parseListenAddress(std::string_view text, boost::system::error_code& error)
{
    auto address = asio::ip::make_address(std::string(text), error);
    if (error) return std::nullopt;
    return address;
}

boost::system::error_code openListenSocket(asio::ip::tcp::acceptor& acceptor, const asio::ip::address& address,
    std::uint16_t port)
{
    const asio::ip::tcp::endpoint endpoint(address, port);
    boost::system::error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        boost::system::error_code ignored;
        acceptor.close(ignored);
    }
    return error;
}

} // namespace qb
