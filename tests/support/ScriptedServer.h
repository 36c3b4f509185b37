// A server on a thread of its own that gives every connection the same
// scripted reply (in small pieces, as a slow server would) or, with `hang`,
// holds it open in silence until the client gives up or the server goes. It
// records each request up to its end marker ("\n", or "\r\n\r\n" for HTTP).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qb::test {

class ScriptedServer {
public:
    // On a Unix socket at `path` (replacing any file there).
    static int unixListener(const std::string& path)
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 8) == 0;
        return ok ? fd : (::close(fd), -1);
    }
    // On a free TCP port of a loopback address (see port()).
    static int loopbackListener(const char* host = "127.0.0.1")
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, host, &address.sin_addr);
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 8) == 0;
        return ok ? fd : (::close(fd), -1);
    }

    ScriptedServer(int listener, std::string reply, bool hang = false, std::string requestEnd = "\n")
        : fd_(listener), reply_(std::move(reply)), hang_(hang), end_(std::move(requestEnd))
    {
        if (fd_ >= 0) thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer()
    {
        stopping_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool listening() const { return fd_ >= 0; }
    std::uint16_t port() const
    {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    std::vector<std::string> requests() const
    {
        std::lock_guard lock(lock_);
        return requests_;
    }

private:
    void serve()
    {
        while (!stopping_) {
            const int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) return;
            const timeval patience{.tv_sec = 2, .tv_usec = 0}; // a browser's idle preconnection holds nothing up
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            std::string request;
            char c = 0;
            while (!request.ends_with(end_) && ::recv(client, &c, 1, 0) == 1) request += c;
            {
                std::lock_guard lock(lock_);
                if (request.ends_with(end_)) request.resize(request.size() - end_.size());
                requests_.push_back(request);
            }
            pollfd watch{client, POLLIN, 0};
            while (hang_ && !stopping_ && (::poll(&watch, 1, 10) == 0 || ::recv(client, &c, 1, 0) > 0)) {
            }
            for (std::size_t at = 0; !hang_ && at < reply_.size(); at += 700) {
                const auto piece = reply_.substr(at, 700);
                ::send(client, piece.data(), piece.size(), MSG_NOSIGNAL);
            }
            ::close(client);
        }
    }

    int fd_;
    std::string reply_;
    bool hang_;
    std::string end_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

} // namespace qb::test
