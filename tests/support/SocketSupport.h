// Talking to a server from a test without risking a hang: reading what a
// loopback socket brings within a deadline, and one exchange on a Unix
// socket (a control socket).
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
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

// Runs `body` on a thread of its own inside the network namespace at `path`
// (lan-namespace.sh names the tablet's and the stranger's): the sockets it
// makes belong to that namespace, the rest of the test stays on this host.
// False when the namespace cannot be entered.
template <class Body>
bool inNetworkNamespace(const char* path, Body&& body)
{
    bool entered = false;
    std::thread([&] {
        const int ns = ::open(path, O_RDONLY | O_CLOEXEC);
        entered = ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
        if (ns >= 0) ::close(ns);
        if (entered) body();
    }).join();
    return entered;
}

inline sockaddr_un unixAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

// A client of the Unix socket at `path` whose reads and writes give up after
// `seconds`; -1 when nobody listens there.
inline int connectUnix(const std::string& path, int seconds = 20)
{
    const sockaddr_un address = unixAddress(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the server sends until it closes, then closes `fd`; nothing
// when it closed without a reply.
inline std::optional<std::string> readUntilClosed(int fd)
{
    std::string reply;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (reply.empty()) return std::nullopt;
    return reply;
}

// Sends `bytes` (then, with `halfClose`, ends the writing side) and reads the
// reply; "(no connection)" when nobody listens.
inline std::optional<std::string> unixExchange(
    const std::string& path, const std::string& bytes, bool halfClose = false, int seconds = 20)
{
    const int fd = connectUnix(path, seconds);
    if (fd < 0) return std::string("(no connection)");
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (halfClose) ::shutdown(fd, SHUT_WR);
    return readUntilClosed(fd);
}

} // namespace qb::test
