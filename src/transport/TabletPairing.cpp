#include "transport/TabletPairing.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <system_error>

#include "diagnostics/Log.h"
#include "platform/SecureRandom.h"
#include "platform/UserFolders.h"
#include "runtime/DurableFile.h"
#include "transport/PeerAllowList.h"

namespace qb {

namespace fs = std::filesystem;

namespace {

bool isToken(std::string_view text)
{
    return text.size() == TabletPairing::TOKEN_HEX_CHARS && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
}

std::string newToken()
{
    static constexpr char HEX[] = "0123456789abcdef";
    std::string token;
    for (const std::uint8_t byte : secureRandomBytes(TabletPairing::TOKEN_HEX_CHARS / 2)) {
        token += HEX[byte >> 4];
        token += HEX[byte & 15];
    }
    return token;
}

std::string newCode()
{
    // Rejection sampling keeps every code equally likely.
    std::string code;
    while (code.size() < TabletPairing::CODE_DIGITS) {
        for (const std::uint8_t byte : secureRandomBytes(TabletPairing::CODE_DIGITS)) {
            if (byte < 250 && code.size() < TabletPairing::CODE_DIGITS) code += static_cast<char>('0' + byte % 10);
        }
    }
    return code;
}

} // namespace

bool constantTimeEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference = difference | static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

struct TabletPairing::Holders {
    std::mutex lock;
    std::uint64_t next = 0;
    std::map<std::uint64_t, std::function<void()>> forgotten;
};

TabletPairing::TabletPairing(fs::path file, TabletPairingTiming timing, const Clock* clock)
    : file_(std::move(file)), timing_(timing), clock_(clock), holders_(std::make_shared<Holders>())
{
    if (file_.empty()) return;
    std::ifstream in(file_);
    std::string line;
    std::size_t skipped = 0;
    const std::int64_t now = wallSeconds();
    while (std::getline(in, line)) {
        if (auto token = parseLine(line, now)) {
            tokens_.push_back(std::move(*token));
        } else if (!line.empty()) {
            ++skipped;
        }
    }
    if (skipped > 0) {
        logWarn("Engine", "Skipped " + std::to_string(skipped) + " damaged line(s) in " + file_.string());
    }
    dropExpiredLocked(now);
    while (tokens_.size() > MAX_TOKENS) dropLeastRecentlyUsedLocked();
}

fs::path TabletPairing::defaultPath() { return UserFolders::current().settingsFile().parent_path() / "tablet-pages"; }

std::optional<TabletPairing::Token> TabletPairing::parseLine(std::string_view line, std::int64_t now)
{
    const auto space = line.find(' ');
    const std::string_view secret = line.substr(0, space);
    if (!isToken(secret)) return std::nullopt;
    if (space == std::string_view::npos) return Token{std::string(secret), now};
    const std::string_view used = line.substr(space + 1);
    std::int64_t lastUse = 0;
    const auto [end, error] = std::from_chars(used.data(), used.data() + used.size(), lastUse);
    if (used.empty() || error != std::errc() || end != used.data() + used.size() || lastUse < 0) return std::nullopt;
    // A use recorded in the future (a clock set back) counts from now.
    return Token{std::string(secret), std::min(lastUse, now)};
}

void TabletPairing::dropLeastRecentlyUsedLocked()
{
    tokens_.erase(std::min_element(tokens_.begin(), tokens_.end(),
        [](const Token& a, const Token& b) { return a.lastUse < b.lastUse; }));
}

std::int64_t TabletPairing::wallSeconds() const
{
    const auto since = (clock_ ? *clock_ : clock()).now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(since).count();
}

std::string TabletPairing::issueCode()
{
    std::string code = newCode();
    const double now = (clock_ ? *clock_ : clock()).mediaTime();
    std::lock_guard guard(lock_);
    code_ = code;
    codeExpires_ = now + static_cast<double>(timing_.codeLifetime.count());
    wrongGuesses_ = 0;
    wrongGuessesFrom_.clear();
    return code;
}

std::optional<std::string> TabletPairing::redeem(std::string_view code, const asio::ip::address& peer)
{
    const double now = (clock_ ? *clock_ : clock()).mediaTime();
    const std::int64_t wallNow = wallSeconds();
    std::lock_guard guard(lock_);
    if (code_.empty()) return std::nullopt;
    if (now >= codeExpires_) {
        code_.clear();
        return std::nullopt;
    }
    int& fromPeer = wrongGuessesFrom_[comparableAddress(peer)];
    if (fromPeer >= timing_.codeAttemptsPerAddress) return std::nullopt;
    if (!constantTimeEqual(code, code_)) {
        if (++fromPeer == timing_.codeAttemptsPerAddress) {
            logWarn("Engine", "Tablet pairing code: no more tries from " + peer.to_string() + " after "
                    + std::to_string(fromPeer) + " wrong ones");
        }
        if (++wrongGuesses_ >= timing_.codeAttempts) {
            code_.clear();
            logWarn("Engine", "Tablet pairing code void after " + std::to_string(wrongGuesses_) + " wrong tries");
        }
        return std::nullopt;
    }
    code_.clear();
    Token token{newToken(), wallNow};
    std::string secret = token.secret;
    const auto before = tokens_;
    tokens_.push_back(std::move(token));
    dropExpiredLocked(wallNow);
    while (tokens_.size() > MAX_TOKENS) dropLeastRecentlyUsedLocked();
    if (!saveLocked()) {
        tokens_ = before;
        return std::nullopt;
    }
    return secret;
}

bool TabletPairing::useToken(std::string_view token)
{
    const std::int64_t now = wallSeconds();
    std::lock_guard guard(lock_);
    const std::size_t before = tokens_.size();
    dropExpiredLocked(now);
    bool changed = tokens_.size() != before;
    Token* found = nullptr;
    for (auto& known : tokens_) {
        if (constantTimeEqual(token, known.secret) && !found) found = &known;
    }
    if (found && now - found->lastUse >= timing_.useRecordInterval.count()) {
        found->lastUse = now;
        changed = true;
    }
    // Kept in memory when it cannot be written: the use still counts.
    if (changed) saveLocked();
    return found != nullptr;
}

void TabletPairing::dropExpiredLocked(std::int64_t now)
{
    const auto lifetime = timing_.tokenUnusedLifetime.count();
    const std::size_t before = tokens_.size();
    std::erase_if(tokens_, [&](const Token& token) { return now - token.lastUse >= lifetime; });
    if (tokens_.size() != before) {
        logInfo("Engine", std::to_string(before - tokens_.size()) + " paired tablet page(s) expired unused");
    }
}

bool TabletPairing::forgetAll()
{
    bool saved = false;
    {
        std::lock_guard guard(lock_);
        code_.clear();
        wrongGuessesFrom_.clear();
        tokens_.clear();
        saved = saveLocked();
    }
    std::map<std::uint64_t, std::function<void()>> told;
    {
        std::lock_guard guard(holders_->lock);
        told.swap(holders_->forgotten);
    }
    for (auto& [id, forgotten] : told) {
        if (forgotten) forgotten();
    }
    return saved;
}

std::shared_ptr<void> TabletPairing::whileRemembered(std::function<void()> forgotten)
{
    std::uint64_t id = 0;
    {
        std::lock_guard guard(holders_->lock);
        id = holders_->next++;
        holders_->forgotten.emplace(id, std::move(forgotten));
    }
    std::weak_ptr<Holders> weak = holders_;
    return std::shared_ptr<void>(nullptr, [weak, id](void*) {
        if (auto holders = weak.lock()) {
            std::lock_guard guard(holders->lock);
            holders->forgotten.erase(id);
        }
    });
}

std::size_t TabletPairing::tokenCount() const
{
    std::lock_guard guard(lock_);
    return tokens_.size();
}

bool TabletPairing::saveLocked() const
{
    if (file_.empty()) return true; // kept in memory only
    std::string text;
    for (const auto& token : tokens_) text += token.secret + ' ' + std::to_string(token.lastUse) + '\n';
    // Owner-only: the file holds the pages' secrets.
    if (std::string error; !writeFileDurably(file_, text, 0600, &error)) {
        logError("Engine", "Cannot save the paired tablet pages as " + file_.string() + ": " + error);
        return false;
    }
    return true;
}

} // namespace qb
