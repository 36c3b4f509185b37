#include "device/WiFiDeviceDiscovery.h"
#include "device/BonjourAdvertiser.h"

#include <cstdlib>
#include <filesystem>

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

    // stop() forgets the addresses.
    discovery->stop();
    EXPECT_EQ(sim->activeBrowses(), 0u);
    events.clear();
    discovery->start();
    settle();
    EXPECT_THAT(events, ::testing::UnorderedElementsAre(::testing::EndsWith(" 192.168.1.20:5555"), "found Phone fe80::2:5555"));
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
    events.clear();

    // A failed search can be started again.
    sim->failBrowses("Daemon connection failed");
    settle();
    EXPECT_FALSE(discovery->isBrowsing());
    discovery->start();
    EXPECT_EQ(sim->activeBrowses(), 1u);

    // Stopping cancels resolutions under way: they report nothing later.
    sim->addService(device("Slow"), silent);
    settle();
    EXPECT_EQ(discovery->resolvingCount(), 1u);
    discovery->stop();
    MainLoop::shared().runFor(120ms);
    EXPECT_FALSE(logs.contains("Failed to resolve Slow"));

    // A discovery that is gone ignores late results.
    discovery->start();
    sim->addService(device("Late"), at({"10.0.0.5"}));
    discovery.reset();
    settle();
    EXPECT_TRUE(events.empty());
}

class AdvertiserTest : public ::testing::Test {
protected:
    void settle() { MainLoop::shared().runFor(5ms); }

    PlatformLogMute mute;
    PlatformLogCapture logs;
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

    advertiser->stop();
    EXPECT_EQ(sim->activePublications(), 0u);

    sim->setComputerName("Ana’s Workstation");
    advertiser->start(8888);
    settle();
    EXPECT_EQ(sim->publications().back().name, "Ana’s Workstation");
}

TEST_F(AdvertiserTest, FailureOrWithdrawalMakesItIdle)
{
    sim->failNextPublish("Local name collision");
    advertiser->start(8888);
    settle();
    EXPECT_FALSE(advertiser->isAdvertising());

    advertiser->start(8888);
    settle();
    EXPECT_TRUE(advertiser->isAdvertising());
    EXPECT_EQ(sim->publications().size(), 2u);

    sim->withdrawPublications();
    settle();
    EXPECT_FALSE(advertiser->isAdvertising());
    advertiser->start(8888);
    EXPECT_EQ(sim->publications().size(), 3u);
}

TEST(ComputerName, ReadFromMachineInfo)
{
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"Ana's Laptop\"\nCHASSIS=laptop\n"), "Ana's Laptop");
    EXPECT_EQ(prettyHostnameFromMachineInfo("CHASSIS=desktop\nPRETTY_HOSTNAME='Studio \"B\"'\n"), "Studio \"B\"");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=Lab\\ 3\r\n"), "Lab 3");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\n"), std::nullopt);
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"unterminated"), "unterminated");

    const test::TempDir dir("qb-machine-info");
    EXPECT_EQ(readComputerName((dir / "machine-info").string()), std::nullopt);
    test::writeFile(dir / "machine-info", "PRETTY_HOSTNAME=\"Desk\"\n");
    EXPECT_EQ(readComputerName((dir / "machine-info").string()), "Desk");
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

// The real backend without a daemon: every activity fails and is logged. Only
// where no system bus exists, so nothing is ever published on a real network.
TEST(AvahiBackend, WithoutDaemonEverythingFailsCleanly)
{
    if (std::getenv("QB_AVAHI_NAMESPACE") || std::filesystem::exists("/run/dbus/system_bus_socket")) {
        GTEST_SKIP() << "a system bus is present: this test must not reach a real avahi-daemon";
    }
    PlatformLogMute mute;
    PlatformLogCapture logs;
    auto& loop = MainLoop::shared();
    auto dnsSd = makeAvahiDnsSd(loop.executor());

    auto advertiser = BonjourAdvertiser::make(dnsSd);
    advertiser->start(8888);
    ASSERT_TRUE(loop.runUntil([&] { return !advertiser->isAdvertising(); }, 5s));
    EXPECT_EQ(logs.matching("[Bonjour] Failed to publish: ").size(), 1u);

    auto discovery = WiFiDeviceDiscovery::make(dnsSd);
    discovery->start();
    ASSERT_TRUE(loop.runUntil([&] { return logs.contains("Browse failed: "); }, 5s));
    EXPECT_FALSE(discovery->isBrowsing());

    std::optional<std::string> error;
    DnsSd::ResolveHandlers handlers;
    handlers.failed = [&](const std::string& text) { error = text; };
    auto resolution = dnsSd->resolve({"x", "_quillbright-device._tcp.", "local."}, 1s, handlers);
    ASSERT_TRUE(loop.runUntil([&] { return error.has_value(); }, 5s));
    EXPECT_FALSE(error->empty());
}

} // namespace
} // namespace qb
