#include "transport/ListenSocket.h"

#include <gtest/gtest.h>

#include <atomic>

#include "diagnostics/PlatformLog.h"
#include "runtime/Queues.h"
#include "FullDescriptorTable.h"
#include "support/TestSupport.h"

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

} // namespace
} // namespace qb
