// ControlSocket: the local command channel of the running daemon. A UNIX
// stream socket at the runtime directory's socket path; each connection
// carries one request line and gets one reply line ("OK ..." / "ERR ...",
// multi-line replies "OK\n..."), then the server closes it.
//
// Safety:
//  - the socket file is created 0600; a runtime directory the socket
//    creates is 0700;
//  - a socket file left by a dead instance is replaced; one that a live
//    instance answers on is left alone (start() fails);
//  - a request is at most MAX_CONTROL_REQUEST_BYTES up to its line feed; a
//    client that sends more without a line feed, or nothing within
//    `requestTimeout`, is dropped unanswered; bytes without a line feed
//    followed by `quietPeriod` of silence are taken as the request (clients
//    that send "STATUS" and wait);
//  - at most `maxClients` connections are served at once; more are closed
//    at once, so a flood of idle clients cannot exhaust descriptors.
//
// Threads: everything runs on the executor given to make() (the main loop);
// each request is interpreted there, between other main-loop work.
// Ownership: held by a shared_ptr; client coroutines hold it weakly.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <sys/types.h>

#include "runtime/Asio.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"

namespace qb {

struct ControlSocketTiming {
    Duration requestTimeout = std::chrono::seconds(5);
    Duration quietPeriod = std::chrono::milliseconds(300);
    // A client that does not take its reply within this is dropped.
    Duration replyTimeout = std::chrono::seconds(10);
    std::size_t maxClients = 16;
};

class ControlSocket : public std::enable_shared_from_this<ControlSocket> {
public:
    using Timing = ControlSocketTiming;
    // Request text (decoded and trimmed) in, reply text (without its line
    // feed) out. May suspend (the report runs adb off the main loop).
    using Handler = std::function<asio::awaitable<std::string>(std::string)>;

    static std::shared_ptr<ControlSocket> make(Executor executor, std::string path, Handler handler,
        Timing timing = {});
    ~ControlSocket();
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;

    // Starts listening; false (logged) when the socket cannot be set up or a
    // live instance already serves the path. Once.
    bool start();
    // Stops accepting, drops the clients, removes the socket file (when it is
    // still the one this object created).
    void stop();
    bool listening() const { return acceptor_->is_open(); }
    const std::string& path() const { return path_; }
    std::size_t clientCount() const { return clients_; }

private:
    ControlSocket(Executor executor, std::string path, Handler handler, Timing timing);
    static asio::awaitable<void> acceptLoop(std::weak_ptr<ControlSocket> weak);
    static asio::awaitable<void> serveClient(std::weak_ptr<ControlSocket> weak,
        std::shared_ptr<asio::local::stream_protocol::socket> socket, Handler handler, Timing timing);

    Executor executor_;
    std::string path_;
    Handler handler_;
    Timing timing_;
    // Shared with the accept loop: a cancellation posted to it may run after
    // this object is gone, and must still find the acceptor it cancels.
    std::shared_ptr<asio::local::stream_protocol::acceptor> acceptor_;
    TaskGroup tasks_;
    std::size_t clients_ = 0;
    std::optional<ino_t> socketInode_;
};

} // namespace qb
