// Who may have a tablet page session over the LAN. In Wi-Fi mode anyone on
// the network can open the tablet page, so a page from off this machine
// must first pair: `quillbright tablet` asks for a one-time code (six
// digits, shown to the user, who types it on the tablet), the page trades it
// once for a long random token that it keeps, and from then on presents the
// token on every connection. Pages through adb reverse tunnels arrive on
// loopback and never need it. A token opens the page's own WebSocket
// session and nothing else: it never puts its holder's address on the
// servers' allow list (PeerAllowList.h).
//
// The code is single use and lives `codeLifetime`. Wrong guesses are counted
// per address: `codeAttemptsPerAddress` of them void that address's tries
// (a stranger cannot void the user's code from one machine), and
// `codeAttempts` in all void the code, so the network gets a few dozen
// tries at a million, not a brute force. Issuing a new code voids the old
// one and its counts.
//
// Tokens are 32 random bytes. A token not shown for `tokenUnusedLifetime`
// expires; each use is recorded (written out at most once per
// `useRecordInterval`, as expiry needs no finer grain). They are persisted
// one per line as "<hex token> <last use, Unix seconds>" in `file`, mode
// 0600, written whole to a temporary file and renamed, so a crash never
// leaves half a list. A line holding only a token (a file from before uses
// were recorded) counts as used when it is loaded: it lives another
// `tokenUnusedLifetime` from then. Lines that are neither are skipped on
// load, so a damaged file costs only its damaged lines. Secrets are compared
// in constant time.
//
// forgetAll() also ends what pages opened with a credential: every holder of
// a whileRemembered() handle is told, once.
//
// Any thread (one lock); time comes from the clock given at construction.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Asio.h"
#include "runtime/Clock.h"

namespace qb {

struct TabletPairingTiming {
    std::chrono::seconds codeLifetime{300};
    int codeAttemptsPerAddress = 3;
    int codeAttempts = 20;
    std::chrono::seconds tokenUnusedLifetime{std::chrono::hours(24 * 30)};
    std::chrono::seconds useRecordInterval{std::chrono::hours(1)};
};

class TabletPairing {
public:
    static constexpr std::size_t CODE_DIGITS = 6;
    static constexpr std::size_t TOKEN_HEX_CHARS = 64;
    // The least recently used tokens are dropped beyond this many.
    static constexpr std::size_t MAX_TOKENS = 64;

    // Loads the tokens in `file` (none when it is missing or unreadable; an
    // empty path keeps them in memory only).
    // `clock` must outlive the store; null: the process clock.
    explicit TabletPairing(std::filesystem::path file, TabletPairingTiming timing = {},
        const Clock* clock = nullptr);

    // Beside this user's settings: "tablet-pages" in the settings directory.
    static std::filesystem::path defaultPath();

    // A fresh code, replacing any earlier one.
    std::string issueCode();
    // The new token for the current code tried from `peer`, which is then
    // used up; nullopt for a wrong, expired or used code, for an address
    // whose tries are void (a wrong code counts against both limits), or
    // when the token could not be saved.
    std::optional<std::string> redeem(std::string_view code, const asio::ip::address& peer);
    // Whether `token` is known and unexpired; a known one's use is recorded.
    bool useToken(std::string_view token);
    // Revokes every token and voids the code, then tells every holder of a
    // whileRemembered() handle; false when the file could not be written.
    bool forgetAll();
    std::size_t tokenCount() const;
    const std::filesystem::path& path() const { return file_; }

    // Until the handle is dropped, forgetAll() calls `forgotten` (once, on
    // the thread that forgets, outside the lock).
    std::shared_ptr<void> whileRemembered(std::function<void()> forgotten);

private:
    struct Token {
        std::string secret;
        std::int64_t lastUse = 0; // Unix seconds
    };
    struct Holders;

    // A line of the file; one without a last use was used `now`.
    static std::optional<Token> parseLine(std::string_view line, std::int64_t now);
    std::int64_t wallSeconds() const;
    void dropExpiredLocked(std::int64_t now);
    void dropLeastRecentlyUsedLocked();
    bool saveLocked() const;

    const std::filesystem::path file_;
    const TabletPairingTiming timing_;
    const Clock* clock_;
    mutable std::mutex lock_;
    std::string code_; // empty: none outstanding
    double codeExpires_ = 0;
    int wrongGuesses_ = 0;
    std::map<asio::ip::address, int> wrongGuessesFrom_;
    std::vector<Token> tokens_;
    const std::shared_ptr<Holders> holders_;
};

// Equal without a timing hint of where they differ (their lengths are not secret).
bool constantTimeEqual(std::string_view a, std::string_view b);

} // namespace qb
