#include "device/WiFiDeviceDiscovery.h"
#include "device/BonjourAdvertiser.h"
#include "device/PairedDevices.h"

#include <cstdlib>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "diagnostics/PlatformLog.h"
#include "platform/avahi/AvahiDnsSd.h"
#include "platform/sim/SimDnsSd.h"
#include "runtime/MainLoop.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

DnsSdService device(const std::string& name) { return {name, "_quillbright-device._tcp.", "local."}; }

SimDnsSd::Record at(std::vector<std::string> addresses)
{
    return {.addresses = std::move(addresses), .port = 5555, .resolveError = {}};
}
const SimDnsSd::Record silent{.addresses = {}, .resolveError = {}, .answers = false};

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        discovery = WiFiDeviceDiscovery::make(sim, {.resolveTimeout = 50ms});
        discovery->onDeviceFound = [this](const std::string& ip, std::uint16_t port, const std::string& name) {
            events.push_back(fmt::format("found {} {}:{}", name, ip, port));
        };
        discovery->onDeviceLost = [this](const std::string& name) { events.push_back("lost " + name); };
    }

    // Runs the main loop until everything posted so far has been handled.
    void settle() { MainLoop::shared().runFor(5ms); }

    PlatformLogMute mute;
    PlatformLogCapture logs;
    std::shared_ptr<SimDnsSd> sim = std::make_shared<SimDnsSd>(MainLoop::shared().executor());
    std::shared_ptr<WiFiDeviceDiscovery> discovery;
    std::vector<std::string> events;
};

TEST_F(DiscoveryTest, EachAddressIsReportedOnceUntilStop)
{
    discovery->start();
    discovery->start(); // idempotent
    EXPECT_EQ(sim->activeBrowses(), 1u);

    // The first IPv4 address of a service counts, else its first IPv6 one.
    sim->addService(device("Tablet A"), at({"fe80::1", "192.168.1.20", "192.168.1.21"}));
    settle();
    EXPECT_THAT(events, ElementsAre("found Tablet A 192.168.1.20:5555"));

    // A second service at the same address and one without any address
    // list are not reported.
    sim->addService(device("Tablet A (2)"), at({"192.168.1.20"}));
    sim->addService(device("Phone"), at({"fe80::2", "2001:db8::7"}));
    sim->addService(device("Ghost"), {.addresses = {}, .port = 5555, .resolveError = {}});
    settle();
    EXPECT_THAT(events, ElementsAre("found Tablet A 192.168.1.20:5555", "found Phone fe80::2:5555"));
    events.erase(events.begin() + 1);

    // Leaving and coming back at the same address: lost, not found again.
    sim->removeService(device("Tablet A"));
    settle();
    sim->addService(device("Tablet A"), at({"192.168.1.20"}));
    settle();
    EXPECT_THAT(events, ElementsAre("found Tablet A 192.168.1.20:5555", "lost Tablet A"));
    EXPECT_EQ(discovery->resolvingCount(), 0u);
}

TEST_F(DiscoveryTest, FailuresEndOnlyTheirActivity)
{
    discovery->start();
    sim->addService(device("Broken"), {.addresses = {}, .resolveError = "Not found"});
    sim->addService(device("Silent"), silent);
    settle();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return logs.contains("Failed to resolve Silent: Timeout reached"); }, 5s));
    EXPECT_EQ(discovery->resolvingCount(), 0u);
    EXPECT_TRUE(events.empty());

    sim->removeService(device("Broken"));
    sim->removeService(device("Silent"));
    settle();
    EXPECT_THAT(events, ElementsAre("lost Broken", "lost Silent"));
}

class AdvertiserTest : public ::testing::Test {
protected:
    void settle() { MainLoop::shared().runFor(5ms); }

    PlatformLogMute mute;
    std::shared_ptr<SimDnsSd> sim = std::make_shared<SimDnsSd>(MainLoop::shared().executor());
    std::shared_ptr<BonjourAdvertiser> advertiser = BonjourAdvertiser::make(sim);
};

TEST_F(AdvertiserTest, PublishesOnceWithItsTxtRecord)
{
    advertiser->start(8888);
    advertiser->start(8889);
    settle();
    ASSERT_EQ(sim->publications().size(), 1u);
    const auto registration = sim->publications()[0];
    EXPECT_EQ(registration.name, "QuillBright"); // no computer name
    EXPECT_EQ(registration.type, "_quillbright._tcp.");
    EXPECT_EQ(registration.port, 8888);
    EXPECT_THAT(registration.txt, ElementsAre(std::pair<std::string, std::string>{"videoPort", "8888"},
                                      std::pair<std::string, std::string>{"inputPort", "8892"},
                                      std::pair<std::string, std::string>{"version", "2.4.4"}));
}

// Advertising is anyone's: only what this computer set up is connected.
TEST(DiscoveryTrust, OnlyDevicesSetUpOnThisComputerAreConnected)
{
    const auto known = [](const char* address, const std::vector<PairedDevice>& paired,
                           const std::vector<ConnectedDevice>& listed) {
        return setUpOnThisComputer(asio::ip::make_address(address), paired, listed);
    };
    // Paired under a network serial and at another address, and under an mDNS serial.
    const std::vector<PairedDevice> paired{
        {"192.0.2.20:41235", "2001:db8::20"}, {"adb-R52-x._adb-tls-connect._tcp", "192.0.2.21"}};
    std::vector<ConnectedDevice> listed(2);
    listed[0].serial = "192.0.2.30:5555";
    listed[1].serial = "DC1-0001";
    for (const char* address : {"192.0.2.20", "2001:db8::20", "192.0.2.21", "::ffff:192.0.2.21", "192.0.2.30"}) {
        EXPECT_TRUE(known(address, paired, listed)) << address;
    }
    for (const char* address : {"192.0.2.66", "2001:db8::66", "192.0.2.2"}) {
        EXPECT_FALSE(known(address, paired, listed)) << address;
    }
    EXPECT_FALSE(known("192.0.2.20", {}, {}));
    EXPECT_TRUE(known("fe80::20%2", {{"[fe80::20]:5555", "fe80::20"}}, {})) << "the interface scope is not compared";
}

TEST(ComputerName, ReadFromMachineInfo)
{
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"Ana's Laptop\"\nCHASSIS=laptop\n"), "Ana's Laptop");
    EXPECT_EQ(prettyHostnameFromMachineInfo("CHASSIS=desktop\nPRETTY_HOSTNAME='Studio \"B\"'\n"), "Studio \"B\"");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=Lab\\ 3\r\n"), "Lab 3");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\n"), std::nullopt);
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"unterminated"), "unterminated");
}

// Runs against a real avahi-daemon, only inside the private network namespace
// that tests/device/avahi-namespace.sh sets up (QB_AVAHI_NAMESPACE=1): there
// the daemon sees nothing but the loopback interface.
TEST(AvahiIntegration, AdvertiserAndDiscoveryOverLoopback)
{
    if (!std::getenv("QB_AVAHI_NAMESPACE")) GTEST_SKIP() << "needs the private Avahi namespace (avahi-namespace.sh)";
    PlatformLogCapture logs;
    auto& loop = MainLoop::shared();
    auto dnsSd = makeAvahiDnsSd(loop.executor());

    // The device side: a companion announcing itself.
    std::optional<std::string> deviceError;
    bool devicePublished = false;
    DnsSd::PublishHandlers deviceHandlers;
    deviceHandlers.published = [&](const std::string&) { devicePublished = true; };
    deviceHandlers.failed = [&](const std::string& error) { deviceError = error; };
    auto companion = dnsSd->publish({"Test Tablet", "_quillbright-device._tcp.", "", 5555, {}}, deviceHandlers);
    ASSERT_TRUE(loop.runUntil([&] { return devicePublished || deviceError; }, 15s));
    ASSERT_FALSE(deviceError) << *deviceError;

    auto discovery = WiFiDeviceDiscovery::make(dnsSd);
    std::vector<std::string> found;
    discovery->onDeviceFound = [&](const std::string& ip, std::uint16_t port, const std::string& name) {
        found.push_back(fmt::format("{} {}:{}", name, ip, port));
    };
    std::vector<std::string> lost;
    discovery->onDeviceLost = [&](const std::string& name) { lost.push_back(name); };
    discovery->start();
    ASSERT_TRUE(loop.runUntil([&] { return !found.empty(); }, 15s));
    EXPECT_THAT(found, ElementsAre("Test Tablet 127.0.0.1:5555"));

    // This host's announcement, seen by a plain browse.
    auto advertiser = BonjourAdvertiser::make(dnsSd);
    advertiser->start(8888);
    advertiser->start(8888); // publishes once
    ASSERT_TRUE(loop.runUntil([&] { return logs.contains("[Bonjour] Published: "); }, 15s));
    std::vector<std::string> hosts;
    DnsSd::BrowseHandlers browseHandlers;
    browseHandlers.found = [&](const DnsSdService& service) { hosts.push_back(service.name); };
    auto browse = dnsSd->browse("_quillbright._tcp.", "local.", browseHandlers);
    ASSERT_TRUE(loop.runUntil([&] { return !hosts.empty(); }, 15s));
    EXPECT_EQ(hosts.size(), 1u);

    // The companion leaving is a lost device.
    companion->cancel();
    ASSERT_TRUE(loop.runUntil([&] { return !lost.empty(); }, 15s));
    EXPECT_THAT(lost, ElementsAre("Test Tablet"));

    advertiser->stop();
    discovery->stop();
    browse->cancel();
}
} // namespace
} // namespace qb
