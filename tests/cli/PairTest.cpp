// `quillbright pair` against fake-adb: what a user sees for each way pairing
// goes or fails, which adb command lines ran, and what is remembered.
#include "cli/Pair.h"

#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/ADBBridge.h"
#include "device/PairedDevices.h"
#include "fake-adb/FakeAdbState.h"
#include "platform/sim/SimDnsSd.h"
#include "support/TestSupport.h"

namespace qb::cli {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

struct Pairing {
    Pairing()
    {
        ADBBridge::resetForTesting();
        fake.update([](nlohmann::json& s) {
            s["version"] = "35.0.2-12147458";
            s["pairing"]["192.0.2.20:37123"]["code"] = "482913";
            s["pairing"]["[2001:db8::20]:37123"]["code"] = "482913";
            s["network"]["192.0.2.20:41235"] = test::FakeAdbState::device("192.0.2.20:41235");
            s["network"]["[2001:db8::20]:41235"] = test::FakeAdbState::device("[2001:db8::20]:41235");
        });
    }
    ~Pairing() { ADBBridge::resetForTesting(); }

    // Runs the command; the connect port "found by DNS-SD" is `advertised`.
    int pair(std::vector<std::string> args, std::optional<std::uint16_t> advertised = 41235)
    {
        std::ostringstream outStream, errStream;
        asked.clear();
        const int status = commandPair(args, outStream, errStream,
            {.connectPort =
                    [&](const asio::ip::address& host) {
                        asked.push_back(host.to_string());
                        return advertised;
                    },
                .settings = &settings});
        out = outStream.str();
        err = errStream.str();
        return status;
    }

    test::TempDir dir{"qb-pair"};
    SettingsStore settings{dir / "settings.json"};
    test::FakeAdbState fake{QB_FAKE_ADB};
    std::vector<std::string> asked;
    std::string out, err;
};

TEST(Pair, PairsConnectsAndRemembersOrSaysWhyNot)
{
    Pairing p;
    // Found by DNS-SD: the device at the pairing address is connected and remembered.
    EXPECT_EQ(p.pair({"192.0.2.20:37123", "482913"}), 0) << p.err;
    EXPECT_EQ(p.fake.calls(), "version | start-server | pair 192.0.2.20:37123 482913 | connect 192.0.2.20:41235");
    EXPECT_EQ(p.asked, std::vector<std::string>{"192.0.2.20"});
    EXPECT_THAT(p.out, HasSubstr("Connected to 192.0.2.20:41235"));
    // IPv6, with the connect port given: no DNS-SD; both devices are remembered.
    EXPECT_EQ(p.pair({"[2001:db8::20]:37123", "482913", "--connect", "41235"}, std::nullopt), 0) << p.err;
    EXPECT_TRUE(p.asked.empty());
    EXPECT_THAT(p.fake.calls(), HasSubstr("connect [2001:db8::20]:41235"));
    EXPECT_EQ(pairedDevices(p.settings), (std::vector<PairedDevice>{{"192.0.2.20:41235", "192.0.2.20"},
                                             {"[2001:db8::20]:41235", "2001:db8::20"}}));

    // Each failure names its cause on stderr, exits 1, and remembers nothing new.
    const struct {
        std::vector<std::string> args;
        std::optional<std::uint16_t> advertised;
        const char* says;
    } failures[] = {
        {{"192.0.2.20:37123", "111111"}, 41235, "wrong pairing code for 192.0.2.20:37123"},
        {{"192.0.2.99:37123", "482913"}, 41235, "cannot reach 192.0.2.99:37123"},
        {{"2001:db8::20:37123", "482913"}, 41235, "is not HOST:PORT"},
        {{"192.0.2.20", "482913"}, 41235, "is not HOST:PORT"},
        {{"192.0.2.20:70000", "482913"}, 41235, "is not HOST:PORT"},
        {{"192.0.2.20:37123", "482913", "--connect", "x"}, 41235, "--connect takes a port"},
        {{"192.0.2.20:37123"}, 41235, "Usage: quillbright pair"},
        {{"192.0.2.20:37123", "482913"}, std::nullopt, "Run again with --connect PORT"},
        {{"192.0.2.20:37123", "482913"}, 5555, "could not connect to 192.0.2.20:5555"},
    };
    for (const auto& failure : failures) {
        EXPECT_EQ(p.pair(failure.args, failure.advertised), 1) << failure.says;
        EXPECT_THAT(p.err, HasSubstr(failure.says));
    }
    // A malformed target never reaches adb.
    EXPECT_THAT(p.fake.calls(), Not(HasSubstr("pair 2001")));
    EXPECT_EQ(pairedDevices(p.settings).size(), 2u);

    // Debian 12's adb: told before any pairing is tried, with the version needed.
    p.fake.update([](nlohmann::json& s) { s["version"] = "29.0.6-debian"; });
    EXPECT_EQ(p.pair({"192.0.2.20:37123", "482913"}), 1);
    EXPECT_THAT(p.err, HasSubstr("adb 29.0.6 is too old to pair"));
    EXPECT_THAT(p.err, HasSubstr("platform-tools 30.0.0 or later"));
    EXPECT_EQ(p.fake.calls(), "version");
}

TEST(Pair, FindsTheConnectPortOfThePairedAddressByDnsSd)
{
    asio::io_context io;
    SimDnsSd dnsSd(io.get_executor());
    const auto service = [](const char* name) { return DnsSdService{name, "_adb-tls-connect._tcp.", "local."}; };
    dnsSd.addService(service("adb-OTHER"), {.addresses = std::vector<std::string>{"192.0.2.30"}, .port = 40001, .resolveError = {}});
    dnsSd.addService(service("adb-SILENT"), {.addresses = {}, .port = 0, .resolveError = {}, .answers = false});
    dnsSd.addService(service("adb-TABLET"),
        {.addresses = std::vector<std::string>{"2001:db8::20", "192.0.2.20"}, .port = 41235, .resolveError = {}});
    EXPECT_EQ(findConnectPort(io, dnsSd, asio::ip::make_address("::ffff:192.0.2.20"), 2s), 41235);
    EXPECT_EQ(findConnectPort(io, dnsSd, asio::ip::make_address("2001:db8::20"), 2s), 41235);
    // Nobody at that address: nothing, once the limit has passed.
    EXPECT_EQ(findConnectPort(io, dnsSd, asio::ip::make_address("192.0.2.99"), 200ms), std::nullopt);
}

} // namespace
} // namespace qb::cli
