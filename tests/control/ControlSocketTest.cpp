// The control socket server on a private loop, with real clients on other
// threads: replies, permissions, misbehaving clients, stale and live sockets.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>

#include <gtest/gtest.h>

#include "control/ControlSocket.h"
#include "runtime/MainLoop.h"
#include "support/SocketSupport.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

asio::awaitable<std::string> echo(std::string request) { co_return "OK you said [" + request + "]"; }

class ControlSocketTest : public ::testing::Test {
protected:
    std::shared_ptr<ControlSocket> make()
    {
        return ControlSocket::make(loop.executor(), path, echo,
            {.requestTimeout = 500ms, .quietPeriod = 50ms, .maxClients = 4});
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
        return await(std::async(std::launch::async, [&] { return test::unixExchange(path, bytes, false, 10); }));
    }

    MainLoop loop;
    const test::TempDir dir{"qb-control"};
    const std::string path = (dir / "run" / "quillbright.sock").string();
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
    for (int i = 0; i < 6; ++i) silent.push_back(test::connectUnix(path, 10));
    EXPECT_EQ(ask(std::string(1 << 20, 'x')), std::nullopt); // a flood without a line end
    const auto dropped = await(std::async(std::launch::async, [&] {
        std::vector<std::optional<std::string>> replies;
        for (const int fd : silent) replies.push_back(test::readUntilClosed(fd));
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
    const sockaddr_un address = test::unixAddress(path);
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
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
