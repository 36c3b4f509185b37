// The pairing store of tablet pages on the LAN: what a stranger can and
// cannot get from it, and what survives a restart or a damaged file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TestSupport.h"
#include "transport/TabletPairing.h"

namespace qb {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const auto TABLET = asio::ip::make_address("192.0.2.20");
const auto STRANGER = asio::ip::make_address("192.0.2.66");

TEST(TabletPairingTest, ACodeIsGoodOnceBeforeItExpiresAndItsTokenStays)
{
    test::TempDir dir;
    ManualClock clock;
    TabletPairing pairing(dir / "tablet-pages", {}, &clock);
    EXPECT_FALSE(pairing.redeem("000000", TABLET)) << "no code issued yet";

    const std::string code = pairing.issueCode();
    ASSERT_EQ(code.size(), TabletPairing::CODE_DIGITS);
    const std::string current = pairing.issueCode();
    EXPECT_FALSE(pairing.redeem(code == current ? "x" : code, TABLET)) << "an earlier code is void";
    const auto token = pairing.redeem(current, TABLET);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->size(), TabletPairing::TOKEN_HEX_CHARS);
    EXPECT_FALSE(pairing.redeem(current, TABLET)) << "a code is single use";
    EXPECT_TRUE(pairing.useToken(*token));
    EXPECT_FALSE(pairing.useToken(token->substr(1)));
    EXPECT_FALSE(pairing.useToken(std::string(64, '0')));
    EXPECT_FALSE(pairing.useToken(""));

    // Expiry by the injected clock.
    clock.advance(299);
    const std::string inTime = pairing.issueCode();
    clock.advance(299);
    EXPECT_TRUE(pairing.redeem(inTime, TABLET));
    const std::string expired = pairing.issueCode();
    clock.advance(300);
    EXPECT_FALSE(pairing.redeem(expired, TABLET));

    // Persisted owner-only, and read back by the next daemon.
    EXPECT_EQ(fs::status(dir / "tablet-pages").permissions() & fs::perms::all,
        fs::perms::owner_read | fs::perms::owner_write);
    TabletPairing restarted(dir / "tablet-pages");
    EXPECT_TRUE(restarted.useToken(*token));
    EXPECT_EQ(restarted.tokenCount(), 2u);

    // Revoked for good, and what pages hold open is told so, once.
    int told = 0, toldAfterDropping = 0;
    const auto held = restarted.whileRemembered([&] { ++told; });
    restarted.whileRemembered([&] { ++toldAfterDropping; }); // dropped at once
    EXPECT_TRUE(restarted.forgetAll());
    EXPECT_TRUE(restarted.forgetAll());
    EXPECT_EQ(std::pair(told, toldAfterDropping), std::pair(1, 0));
    EXPECT_FALSE(restarted.useToken(*token));
    EXPECT_FALSE(TabletPairing(dir / "tablet-pages").useToken(*token));
}

// A token lives 30 days from its last use, across restarts; a file written
// before uses were recorded gives its tokens 30 days from the first load.
TEST(TabletPairingTest, ATokenUnusedFor30DaysExpires)
{
    test::TempDir dir;
    const fs::path file = dir / "tablet-pages";
    const std::string old(64, 'a');
    std::ofstream(file) << old << "\n";
    ManualClock clock;
    const auto day = [&clock](int days) { clock.advance(days * 86400.0); };
    std::string fresh;
    {
        TabletPairing pairing(file, {}, &clock);
        fresh = *pairing.redeem(pairing.issueCode(), TABLET);
        day(29);
        EXPECT_TRUE(pairing.useToken(fresh)) << "used on day 29: good until day 59";
    }
    day(1);
    TabletPairing restarted(file, {}, &clock);
    EXPECT_FALSE(restarted.useToken(old)) << "the old-format token, unused since the first load 30 days ago";
    day(28);
    EXPECT_TRUE(restarted.useToken(fresh));
    day(30);
    EXPECT_FALSE(restarted.useToken(fresh));
    EXPECT_EQ(restarted.tokenCount(), 0u);
    EXPECT_EQ(test::readFile(file), "");
}

// Wrong codes are counted per address: three from one address end its
// tries, not the user's; twenty in all void the code.
TEST(TabletPairingTest, WrongCodesAreCountedPerAddressAndInAll)
{
    TabletPairing pairing(fs::path(), {});
    const std::string code = pairing.issueCode();
    const std::string wrong = code == "000000" ? "111111" : "000000";
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(pairing.redeem(wrong, STRANGER));
    EXPECT_FALSE(pairing.redeem(code, STRANGER)) << "the right code after its third wrong one";
    EXPECT_FALSE(pairing.redeem(code, asio::ip::make_address("::ffff:192.0.2.66"))) << "the same address, v4-mapped";
    EXPECT_TRUE(pairing.redeem(code, TABLET)) << "the stranger did not void the user's code";

    EXPECT_TRUE(pairing.redeem(pairing.issueCode(), STRANGER)) << "a new code starts new counts";
    const std::string guessed = pairing.issueCode();
    EXPECT_FALSE(pairing.redeem(wrong, STRANGER));
    for (int host = 100; host < 110; ++host) {
        const auto address = asio::ip::make_address("192.0.2." + std::to_string(host));
        EXPECT_FALSE(pairing.redeem(wrong, address));
        EXPECT_FALSE(pairing.redeem(wrong + "0", address));
    }
    EXPECT_FALSE(pairing.redeem(guessed, TABLET)) << "void after 20 wrong tries in all";
}

TEST(TabletPairingTest, ADamagedFileCostsOnlyItsDamagedLines)
{
    test::TempDir dir;
    const std::string good(64, 'a');
    {
        std::ofstream out(dir / "tablet-pages", std::ios::binary);
        out << good << "\n" << std::string(63, 'b') << "\n\xff\x00garbage" << std::string(5000, 'x') << "\n"
            << std::string(64, 'G') << "\n" << good.substr(0, 30);
    }
    TabletPairing pairing(dir / "tablet-pages");
    EXPECT_EQ(pairing.tokenCount(), 1u);
    EXPECT_TRUE(pairing.useToken(good));
    // A store whose directory cannot be made still answers, and says it could not save.
    std::ofstream(dir / "file") << "x";
    TabletPairing unsaveable(dir / "file" / "tablet-pages");
    EXPECT_FALSE(unsaveable.redeem(unsaveable.issueCode(), TABLET));
    EXPECT_FALSE(unsaveable.forgetAll());
}

} // namespace
} // namespace qb
