#include "transport/ListenSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "diagnostics/PlatformLog.h"
#include "platform/sim/SimInputInjector.h"
#include "runtime/Queues.h"
#include "FullDescriptorTable.h"
#include "support/MainLoopSupport.h"
#include "support/TestSupport.h"
#include "transport/FrameServer.h"
#include "transport/HTTPServer.h"
#include "transport/InputServer.h"
#include "transport/WebSocketServer.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

// Every server listens through LocalListener; its accept loop is tested once, here
// (its peer check on real LAN addresses in LanPeersTest).
TEST(LocalListener, AFailedAcceptIsLoggedAndTheListenerKeepsAccepting)
{
    QB_SKIP_WITHOUT_SPARE_DESCRIPTORS();
    PlatformLogCapture log;
    auto queue = SerialQueue::make("listener-test");
    boost::system::error_code error;
    auto listener = LocalListener::open(queue->executor(), LOOPBACK_ADDRESS, 0, "Probe",
        {.acceptRetryDelay = 20ms, .allowsPeer = {}, .ruleWatchers = {}}, error);
    ASSERT_TRUE(listener) << error.message();
    std::atomic<int> accepted{0};
    listener->start([&](tcp::socket) { ++accepted; });
    asio::io_context io; // before the table fills: it needs descriptors of its own
    tcp::socket first(io), second(io);
    {
        test::FullDescriptorTable full;
        full.freeOne();
        first.connect({asio::ip::make_address("127.0.0.1"), listener->port()}); // queued by the kernel
        ASSERT_TRUE(test::eventually([&] { return log.contains("[Probe] Accept failed ("); }));
        EXPECT_EQ(accepted, 0);
    }
    EXPECT_TRUE(test::eventually([&] { return accepted == 1; }));
    second.connect({asio::ip::make_address("127.0.0.1"), listener->port()});
    EXPECT_TRUE(test::eventually([&] { return accepted == 2; }));
    listener->cancel();
}

// The four TCP servers keep one contract: a port already taken is an error
// value (nothing thrown, nothing listening), port() is the bound port, a
// second open is refused, and a stop gives the port back for good.
template <class Server>
void expectTheServersContract(const std::function<std::shared_ptr<Server>()>& make,
    const std::function<void(Server&)>& start, const std::function<void(Server&)>& stop)
{
    auto first = make();
    ASSERT_FALSE(first->open(0));
    const std::uint16_t port = first->port();
    ASSERT_NE(port, 0);
    start(*first);
    EXPECT_EQ(first->open(0), asio::error::already_open);

    auto second = make();
    EXPECT_EQ(second->open(port), asio::error::address_in_use);
    EXPECT_EQ(second->port(), 0);
    start(*second); // does nothing: it is not open

    stop(*first);
    EXPECT_EQ(first->port(), 0);
    EXPECT_TRUE(first->open(port)) << "a stopped server is not opened again";
    auto third = make();
    EXPECT_FALSE(third->open(port)) << "the stop gave the port back";
    stop(*third);
}

TEST(ServerContract, EveryTCPServerOpensStartsStopsAndReportsItsPortAlike)
{
    expectTheServersContract<FrameServer>([] { return FrameServer::make(); }, [](FrameServer& s) { s.start(); },
        [](FrameServer& s) { s.stop(); });
    expectTheServersContract<InputServer>(
        [] { return InputServer::make(1, std::make_shared<SimInputInjector>()); }, [](InputServer& s) { s.start(); },
        [](InputServer& s) { s.stop(); });
    expectTheServersContract<HTTPServer>([] { return HTTPServer::make(640, 480); }, [](HTTPServer& s) { s.start(); },
        [](HTTPServer& s) { test::runOnMain(s.stopAsync()); });
    expectTheServersContract<WebSocketServer>([] { return WebSocketServer::make(); },
        [](WebSocketServer& s) { s.start(8891); }, [](WebSocketServer& s) { test::runOnMain(s.stopAsync()); });
}

} // namespace
} // namespace qb
