// The control socket server on a private loop, with real clients on other
// threads: replies, permissions, misbehaving clients, stale and live sockets.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>

#include <gtest/gtest.h>

#include "control/ControlSocket.h"
#include "runtime/MainLoop.h"

namespace qb {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

int connectTo(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the server sends until it closes; nothing when it closes
// without a reply. `-1` as fd result: could not connect.
std::optional<std::string> readAll(int fd)
{
    std::string reply;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (reply.empty()) return std::nullopt;
    return reply;
}

std::optional<std::string> roundTrip(const std::string& path, const std::string& bytes)
{
    const int fd = connectTo(path);
    if (fd < 0) return std::string("(no connection)");
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return readAll(fd);
}

asio::awaitable<std::string> echo(std::string request) { co_return "OK you said [" + request + "]"; }

class ControlSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("qb-control-" + std::to_string(::getpid()) + "-"
                  + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        path = (dir / "run" / "quillbright.sock").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    std::shared_ptr<ControlSocket> make(ControlSocket::Timing timing = fastTiming())
    {
        return ControlSocket::make(loop.executor(), path, echo, timing);
    }
    static ControlSocket::Timing fastTiming()
    {
        ControlSocket::Timing timing;
        timing.requestTimeout = 500ms;
        timing.quietPeriod = 50ms;
        timing.maxClients = 4;
        return timing;
    }
    // Runs the loop while a client on another thread does its part.
    template <class T>
    T await(std::future<T> future)
    {
        EXPECT_TRUE(loop.runUntil([&] { return future.wait_for(0s) == std::future_status::ready; }, 15000ms));
        return future.get();
    }
    std::optional<std::string> ask(const std::string& bytes)
    {
        return await(std::async(std::launch::async, [&] { return roundTrip(path, bytes); }));
    }

    MainLoop loop;
    fs::path dir;
    std::string path;
};

TEST_F(ControlSocketTest, AnswersRequestsWithPrivatePermissions)
{
    auto socket = make();
    ASSERT_TRUE(socket->start());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir / "run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    EXPECT_EQ(ask("status\n"), "OK you said [status]\n");
    // No terminator: the request is what arrived before the client fell quiet.
    EXPECT_EQ(ask("  STATUS  "), "OK you said [STATUS]\n");
    // Only the first 255 bytes of a line count.
    EXPECT_EQ(ask(std::string(600, 'a') + "\n"), "OK you said [" + std::string(255, 'a') + "]\n");

    socket->stop();
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ControlSocketTest, MisbehavingClientsAreDroppedWhileOthersAreServed)
{
    auto socket = make();
    ASSERT_TRUE(socket->start());

    // Silent clients, more than the server serves at once.
    std::vector<int> silent;
    for (int i = 0; i < 6; ++i) silent.push_back(connectTo(path));
    EXPECT_EQ(ask(std::string(1 << 20, 'x')), std::nullopt); // a flood without a line end
    const auto dropped = await(std::async(std::launch::async, [&] {
        std::vector<std::optional<std::string>> replies;
        for (const int fd : silent) replies.push_back(readAll(fd));
        return replies;
    }));
    for (const auto& reply : dropped) EXPECT_EQ(reply, std::nullopt);

    EXPECT_EQ(ask("HEALTH\n"), "OK you said [HEALTH]\n");
    EXPECT_EQ(socket->clientCount(), 0u);
}

TEST_F(ControlSocketTest, StaleSocketIsReplacedLiveOneIsNot)
{
    {
        auto first = make();
        ASSERT_TRUE(first->start());
        // A second instance must not take the socket of a live one.
        auto second = make();
        EXPECT_FALSE(second->start());
        EXPECT_EQ(ask("STATUS\n"), "OK you said [STATUS]\n");
        second.reset(); // must not remove the first one's file
        EXPECT_TRUE(fs::exists(path));
    }

    // A dead instance's socket file: bound, never listened on, left behind.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(stale);
    ASSERT_TRUE(fs::exists(path));
    auto replacement = make();
    ASSERT_TRUE(replacement->start());
    EXPECT_EQ(ask("STATUS\n"), "OK you said [STATUS]\n");

    // A regular file in the way is not ours to delete.
    replacement->stop();
    { std::ofstream(path) << "not a socket"; }
    EXPECT_FALSE(make()->start());
    EXPECT_TRUE(fs::is_regular_file(path));
}

} // namespace
} // namespace qb
