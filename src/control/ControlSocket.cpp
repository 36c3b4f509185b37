#include "control/ControlSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "control/ControlRequest.h"
#include "diagnostics/Log.h"

namespace qb {

namespace {

using Local = asio::local::stream_protocol;

void socketLog(LogLevel level, const std::string& line) { componentLog(level, "ControlSocket", line); }

// Whether an instance accepts connections on `path` right now.
bool someoneListens(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int error = errno;
    ::close(fd);
    // A full backlog (EAGAIN) still means a live listener.
    return result == 0 || error == EAGAIN || error == EINPROGRESS;
}

// Creates the socket's directory (0700) when it is missing. An existing
// directory (/tmp, $XDG_RUNTIME_DIR) is left as it is.
bool ensureDirectory(const std::string& path)
{
    const auto parent = std::filesystem::path(path).parent_path();
    if (parent.empty()) return true;
    std::error_code error;
    if (std::filesystem::is_directory(parent, error)) return true;
    if (!parent.parent_path().empty()) std::filesystem::create_directories(parent.parent_path(), error);
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return std::filesystem::is_directory(parent, error);
}

} // namespace

std::shared_ptr<ControlSocket> ControlSocket::make(Executor executor, std::string path, Handler handler, Timing timing)
{
    return std::shared_ptr<ControlSocket>(new ControlSocket(std::move(executor), std::move(path), std::move(handler), timing));
}

ControlSocket::ControlSocket(Executor executor, std::string path, Handler handler, Timing timing)
    : executor_(executor), path_(std::move(path)), handler_(std::move(handler)), timing_(timing), acceptor_(std::make_shared<Local::acceptor>(executor)),
      tasks_(executor)
{
}

ControlSocket::~ControlSocket() { stop(); }

bool ControlSocket::start()
{
    if (acceptor_->is_open()) return true;
    if (path_.empty() || path_.size() >= sizeof(sockaddr_un{}.sun_path)) {
        socketLog(LogLevel::error, "[ControlSocket] Failed to bind: socket path too long: " + path_);
        return false;
    }
    if (!ensureDirectory(path_)) {
        socketLog(LogLevel::error, fmt::format("[ControlSocket] Failed to bind: {}", std::strerror(errno)));
        return false;
    }
    struct stat existing {};
    if (::lstat(path_.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            socketLog(LogLevel::error, "[ControlSocket] Failed to bind: " + path_ + " exists and is not a socket");
            return false;
        }
        if (someoneListens(path_)) {
            socketLog(LogLevel::error, "[ControlSocket] Failed to bind: another instance serves " + path_);
            return false;
        }
        ::unlink(path_.c_str()); // left behind by an instance that is gone
    }

    boost::system::error_code error;
    acceptor_->open(Local(), error);
    if (error) {
        socketLog(LogLevel::error, "[ControlSocket] Failed to create socket");
        return false;
    }
    acceptor_->bind(Local::endpoint(path_), error);
    if (error) {
        socketLog(LogLevel::error, "[ControlSocket] Failed to bind: " + error.message());
        acceptor_->close();
        return false;
    }
    struct stat created {};
    if (::chmod(path_.c_str(), 0600) != 0 || ::lstat(path_.c_str(), &created) != 0) {
        socketLog(LogLevel::error, fmt::format("[ControlSocket] Failed to bind: {}", std::strerror(errno)));
        acceptor_->close();
        ::unlink(path_.c_str());
        return false;
    }
    socketInode_ = created.st_ino;
    acceptor_->listen(16, error);
    if (error) {
        socketLog(LogLevel::error, "[ControlSocket] Failed to listen: " + error.message());
        stop();
        return false;
    }
    tasks_.spawn(acceptLoop(weak_from_this()), "control-accept");
    socketLog(LogLevel::info, "[ControlSocket] Control socket listening at " + path_);
    return true;
}

void ControlSocket::stop()
{
    tasks_.cancelAll();
    boost::system::error_code ignored;
    if (acceptor_->is_open()) acceptor_->close(ignored);
    if (socketInode_) {
        // Only our own file: a newer instance may have replaced it meanwhile.
        struct stat current {};
        if (::lstat(path_.c_str(), &current) == 0 && current.st_ino == *socketInode_) ::unlink(path_.c_str());
        socketInode_.reset();
    }
}

asio::awaitable<void> ControlSocket::acceptLoop(std::weak_ptr<ControlSocket> weak)
{
    for (;;) {
        auto self = weak.lock();
        if (!self || !self->acceptor_->is_open()) co_return;
        auto socket = std::make_shared<Local::socket>(self->executor_);
        const auto acceptor = self->acceptor_;
        self.reset();
        boost::system::error_code error;
        co_await acceptor->async_accept(*socket, asio::redirect_error(asio::use_awaitable, error));
        self = weak.lock();
        if (!self) co_return;
        if (error == asio::error::operation_aborted || !self->acceptor_->is_open()) co_return;
        if (error) {
            // Out of descriptors and the like: pause instead of spinning.
            socketLog(LogLevel::warn, "[ControlSocket] Accept failed: " + error.message());
            self.reset();
            const bool slept = co_await sleepFor(std::chrono::milliseconds(100));
            if (!slept) co_return;
            continue;
        }
        if (self->clients_ >= self->timing_.maxClients) {
            socket->close(error);
            continue;
        }
        ++self->clients_;
        self->tasks_.spawn(serveClient(weak, socket, self->handler_, self->timing_), "control-client");
    }
}

asio::awaitable<void> ControlSocket::serveClient(std::weak_ptr<ControlSocket> weak, std::shared_ptr<Local::socket> socket,
    Handler handler, Timing timing)
{
    struct Release {
        std::weak_ptr<ControlSocket> owner;
        ~Release()
        {
            if (auto self = owner.lock(); self && self->clients_ > 0) --self->clients_;
        }
    } release{weak};

    // The deadline closes the socket (the client is dropped) unless the
    // quiet period after a partial line has begun, in which case it only
    // interrupts the read and what arrived is the request.
    auto deadline = std::make_shared<asio::steady_timer>(socket->get_executor());
    auto quiet = std::make_shared<bool>(false);
    auto arm = [deadline, socket, quiet](Duration after, bool quietPhase) {
        *quiet = quietPhase;
        deadline->expires_after(after);
        deadline->async_wait([socket, quiet, quietPhase](const boost::system::error_code& error) {
            if (error) return;
            boost::system::error_code ignored;
            if (quietPhase) {
                socket->cancel(ignored);
            } else {
                socket->close(ignored);
            }
        });
    };
    const auto overall = std::chrono::steady_clock::now() + timing.requestTimeout;

    std::string buffer;
    bool complete = false;
    arm(timing.requestTimeout, false);
    while (!complete) {
        char chunk[512];
        boost::system::error_code error;
        const std::size_t n =
            co_await socket->async_read_some(asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, error));
        buffer.append(chunk, n);
        if (buffer.find('\n') != std::string::npos || buffer.find('\0') != std::string::npos) {
            complete = true;
        } else if (buffer.size() > MAX_CONTROL_REQUEST_BYTES) {
            break; // not a request
        } else if (error == asio::error::eof) {
            complete = !buffer.empty();
            break;
        } else if (error == asio::error::operation_aborted && *quiet && socket->is_open()) {
            complete = !buffer.empty();
            break;
        } else if (error) {
            break; // closed by the deadline, or reset by the client
        } else if (n > 0) {
            // A partial line: wait briefly for the rest, never past the deadline.
            const auto remaining = overall - std::chrono::steady_clock::now();
            if (remaining <= Duration::zero()) break;
            arm(std::min<Duration>(timing.quietPeriod, remaining), true);
        }
    }
    deadline->cancel();
    if (!complete || !socket->is_open()) co_return;

    const std::string request = decodeControlRequest(buffer);
    auto answering = handler(request);
    std::string reply = co_await std::move(answering);
    if (weak.expired()) co_return;
    reply += '\n';
    arm(timing.replyTimeout, false);
    boost::system::error_code error;
    co_await asio::async_write(*socket, asio::buffer(reply), asio::redirect_error(asio::use_awaitable, error));
    deadline->cancel();
    socket->close(error);
}

} // namespace qb
