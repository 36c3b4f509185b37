// Who may have a tablet page session over the LAN. In Wi-Fi mode anyone on
// the network can open the tablet page, so a page from off this machine
// must first pair: `quillbright tablet` asks for a one-time code (six
// digits, shown to the user, who types it on the tablet), the page trades it
// once for a long random token that it keeps, and from then on presents the
// token on every connection. Pages through adb reverse tunnels arrive on
// loopback and never need it.
//
// The code is single use and lives `codeLifetime`; after `codeAttempts`
// wrong guesses it is void, so a stranger gets a few tries at a million, not
// a brute force. Issuing a new code voids the old one. Tokens are 32 random
// bytes, persisted one per line (hex) in `file`, mode 0600, written whole to
// a temporary file and renamed, so a crash never leaves half a list; lines
// that are not tokens are skipped on load, so a damaged file costs only its
// damaged lines. Secrets are compared in constant time.
//
// Any thread (one lock); time comes from the clock given at construction.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Clock.h"

namespace qb {

struct TabletPairingTiming {
    std::chrono::seconds codeLifetime{300};
    int codeAttempts = 3;
};

class TabletPairing {
public:
    static constexpr std::size_t CODE_DIGITS = 6;
    static constexpr std::size_t TOKEN_HEX_CHARS = 64;
    // The oldest tokens are dropped beyond this many.
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
    // The new token for the current code, which is then used up; nullopt
    // for a wrong, expired or used code (a wrong one counts against the
    // limit) or when the token could not be saved.
    std::optional<std::string> redeem(std::string_view code);
    bool tokenValid(std::string_view token) const;
    // Revokes every token and voids the code; false when the file could not
    // be written.
    bool forgetAll();
    std::size_t tokenCount() const;
    const std::filesystem::path& path() const { return file_; }

private:
    bool saveLocked() const;

    const std::filesystem::path file_;
    const TabletPairingTiming timing_;
    const Clock* clock_;
    mutable std::mutex lock_;
    std::string code_; // empty: none outstanding
    double codeExpires_ = 0;
    int wrongGuesses_ = 0;
    std::vector<std::string> tokens_;
};

// Equal without a timing hint of where they differ (their lengths are not secret).
bool constantTimeEqual(std::string_view a, std::string_view b);

} // namespace qb
