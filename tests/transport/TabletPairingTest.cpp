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

TEST(TabletPairingTest, ACodeIsGoodOnceBeforeItExpiresAndItsTokenStays)
{
    test::TempDir dir;
    ManualClock clock;
    TabletPairing pairing(dir / "tablet-pages", {std::chrono::seconds(300), 3}, &clock);
    EXPECT_FALSE(pairing.redeem("000000")) << "no code issued yet";

    const std::string code = pairing.issueCode();
    ASSERT_EQ(code.size(), TabletPairing::CODE_DIGITS);
    const std::string current = pairing.issueCode();
    EXPECT_FALSE(pairing.redeem(code == current ? "x" : code)) << "an earlier code is void";
    const auto token = pairing.redeem(current);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->size(), TabletPairing::TOKEN_HEX_CHARS);
    EXPECT_FALSE(pairing.redeem(current)) << "a code is single use";
    EXPECT_TRUE(pairing.tokenValid(*token));
    EXPECT_FALSE(pairing.tokenValid(token->substr(1)));
    EXPECT_FALSE(pairing.tokenValid(std::string(64, '0')));
    EXPECT_FALSE(pairing.tokenValid(""));

    // Expiry by the injected clock.
    clock.advance(299);
    const std::string inTime = pairing.issueCode();
    clock.advance(299);
    EXPECT_TRUE(pairing.redeem(inTime));
    const std::string expired = pairing.issueCode();
    clock.advance(300);
    EXPECT_FALSE(pairing.redeem(expired));

    // Persisted owner-only, and read back by the next daemon.
    EXPECT_EQ(fs::status(dir / "tablet-pages").permissions() & fs::perms::all,
        fs::perms::owner_read | fs::perms::owner_write);
    TabletPairing restarted(dir / "tablet-pages");
    EXPECT_TRUE(restarted.tokenValid(*token));
    EXPECT_EQ(restarted.tokenCount(), 2u);

    // Revoked for good.
    EXPECT_TRUE(restarted.forgetAll());
    EXPECT_FALSE(restarted.tokenValid(*token));
    EXPECT_FALSE(TabletPairing(dir / "tablet-pages").tokenValid(*token));
}

TEST(TabletPairingTest, WrongGuessesVoidTheCode)
{
    TabletPairing pairing(fs::path(), {std::chrono::seconds(300), 3});
    const std::string code = pairing.issueCode();
    const std::string wrong = code == "000000" ? "111111" : "000000";
    EXPECT_FALSE(pairing.redeem(wrong));
    EXPECT_FALSE(pairing.redeem(wrong + "0"));
    EXPECT_TRUE(pairing.redeem(pairing.issueCode())) << "a new code starts a new count";

    const std::string guessed = pairing.issueCode();
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(pairing.redeem(wrong));
    EXPECT_FALSE(pairing.redeem(guessed)) << "the right code after the third wrong one";
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
    EXPECT_TRUE(pairing.tokenValid(good));
    // A store whose directory cannot be made still answers, and says it could not save.
    std::ofstream(dir / "file") << "x";
    TabletPairing unsaveable(dir / "file" / "tablet-pages");
    EXPECT_FALSE(unsaveable.redeem(unsaveable.issueCode()));
    EXPECT_FALSE(unsaveable.forgetAll());
}

} // namespace
} // namespace qb
