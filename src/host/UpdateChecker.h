// UpdateChecker: asks the product's web site whether a newer release
// exists. The engine runs check() off the main loop when it is activated
// and every 6 hours, and publishes a positive answer.
//
// The document is "/version.json" on the update host:
//   {"version": "2.5.0", "dmg": "https://.../QuillBright-2.5.0.deb",
//    "minCompanionVersion": "2.4.0"}          (the last key optional)
//
// Fetching is bounded: HTTP(S) only, certificates and host names verified,
// no redirects, a 10-second limit for the whole exchange and a 64 KiB cap
// on the body. check() blocks its thread for at most the time limit; any
// thread.
#pragma once

#ifndef QB_UPDATE_HOST
#define QB_UPDATE_HOST ""
#endif

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qb {

namespace UpdateChecker {

struct Config {
    // Scheme and host (and port) of the update feed; the path is fixed.
    // Chosen when building (-DQB_UPDATE_HOST=...); empty, the default and
    // what distribution packages use (their updates come from apt), turns
    // the check off. $QUILLBRIGHT_UPDATE_HOST replaces it (PlatformConfig::updateHost).
    std::string host = QB_UPDATE_HOST;
    std::chrono::milliseconds timeout{10000};
    std::size_t maxBodyBytes = 64 * 1024;

    // The host without a trailing slash.
    std::string url() const;
    bool enabled() const { return !host.empty(); }
};

struct VersionInfo {
    std::string version;
    std::string dmg;
    std::optional<std::string> minCompanionVersion;
};

struct Release {
    std::string version;
    std::string url;
    bool operator==(const Release&) const = default;
};

// A newer release, or nothing (no update, the check turned off, or any
// failure: fetch errors and undecodable documents are logged under "Update",
// other HTTP statuses are silent).
std::optional<Release> check(std::string_view currentVersion, const Config& config = {});

// The document's fields, or nothing with `error` describing why.
std::optional<VersionInfo> decode(std::string_view body, std::string& error);

// Dotted numeric versions compared piece by piece, missing pieces as 0;
// pieces that are not integers are left out ("2.4b.1" is 2.1).
bool isNewer(std::string_view remote, std::string_view local);

} // namespace UpdateChecker

} // namespace qb
