#include "platform/LanAddress.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

// An Ethernet desktop, a laptop on Wi-Fi with a VPN, a machine with no
// default route: the address a tablet on the LAN reaches.
TEST(LanAddress, TheDefaultRoutesInterfaceWhateverItsNameUnlessOneIsNamed)
{
    const std::vector<InterfaceAddress> ethernet
        = {{"lo", "127.0.0.1"}, {"docker0", "172.17.0.1"}, {"enp3s0", "192.168.1.20"}};
    EXPECT_EQ(chooseLanAddress(ethernet, "enp3s0", ""), "192.168.1.20");
    EXPECT_EQ(chooseLanAddress(ethernet, "", ""), "172.17.0.1") << "no default route: any address but loopback";
    EXPECT_EQ(chooseLanAddress(ethernet, "enp3s0", "docker0"), "172.17.0.1") << "the variable wins";
    EXPECT_EQ(chooseLanAddress(ethernet, "enp3s0", "wlan9"), std::nullopt) << "a named interface without an address";
    EXPECT_EQ(chooseLanAddress({{"lo", "127.0.0.1"}, {"eth0", "169.254.3.4"}}, "eth0", ""), std::nullopt);
    EXPECT_EQ(chooseLanAddress({{"wlp2s0", "10.0.0.5"}, {"tun0", "10.8.0.2"}}, "wlp2s0", ""), "10.0.0.5");

    const std::string routes = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
                               "tun0\t0008080A\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                               "wlp2s0\t00000000\t0100000A\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                               "enp3s0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                               "eth9\t00000000\t0101A8C0\t0002\t0\t0\t1\t00000000\t0\t0\t0\n";
    EXPECT_EQ(defaultRouteInterface(routes), "enp3s0") << "the lowest metric of the routes that are up";
    EXPECT_EQ(defaultRouteInterface("Iface\tDestination\n"), "");
    EXPECT_EQ(defaultRouteInterface(std::string("\0\xff\n\t\t00000000 zz zz", 20)), "");
}

} // namespace
} // namespace qb
