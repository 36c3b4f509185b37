#include "transport/ListenSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "diagnostics/PlatformLog.h"
#include "runtime/Queues.h"
#include "FullDescriptorTable.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

// Every server listens through LocalListener; what it does on accept is tested once, here.
TEST(LocalListener, AFailedAcceptIsLoggedAndTheListenerKeepsAccepting)
{
    QB_SKIP_WITHOUT_SPARE_DESCRIPTORS();
    PlatformLogCapture log;
    auto queue = SerialQueue::make("listener-test");
    auto listener = LocalListener::open(queue->executor(), LOOPBACK_ADDRESS, 0, "Probe", {.acceptRetryDelay = 20ms, .allowsPeer = {}});
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

TEST(LocalListener, ThePeerPredicateSeesIPv4PeersAsIPv4AndRefusalsAreClosed)
{
    EXPECT_EQ(normalisedPeer(asio::ip::make_address("::ffff:192.168.1.5")), asio::ip::make_address("192.168.1.5"));
    EXPECT_EQ(normalisedPeer(asio::ip::make_address("fe80::1")), asio::ip::make_address("fe80::1"));

    PlatformLogCapture log;
    auto queue = SerialQueue::make("listener-test");
    std::mutex lock;
    std::vector<asio::ip::address> asked;
    std::shared_ptr<LocalListener> listener;
    try {
        // A dual-stack socket: an IPv4 client arrives as ::ffff:127.0.0.1.
        listener = LocalListener::open(queue->executor(), "::", 0, "Probe",
            {.acceptRetryDelay = 20ms, .allowsPeer = [&](const asio::ip::address& peer) {
                 std::lock_guard guard(lock);
                 asked.push_back(peer);
                 return false;
             }});
    } catch (const boost::system::system_error&) {
        GTEST_SKIP() << "no IPv6 here";
    }
    std::atomic<int> accepted{0};
    listener->start([&](tcp::socket) { ++accepted; });
    asio::io_context io;
    tcp::socket client(io);
    client.connect({asio::ip::make_address("127.0.0.1"), listener->port()});
    std::uint8_t byte = 0;
    boost::system::error_code error;
    client.read_some(asio::buffer(&byte, 1), error);
    EXPECT_TRUE(error == asio::error::eof || error == asio::error::connection_reset) << error.message();
    EXPECT_EQ(accepted, 0);
    std::lock_guard guard(lock);
    EXPECT_EQ(asked, std::vector<asio::ip::address>{asio::ip::make_address("127.0.0.1")});
    EXPECT_TRUE(log.contains("[Probe] Refused connection from 127.0.0.1 — not a paired device"));
    listener->cancel();
}

} // namespace
} // namespace qb
