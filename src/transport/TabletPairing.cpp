#include "transport/TabletPairing.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "diagnostics/Log.h"
#include "platform/SecureRandom.h"
#include "runtime/SettingsStore.h"

namespace qb {

namespace fs = std::filesystem;

namespace {

bool isToken(std::string_view line)
{
    return line.size() == TabletPairing::TOKEN_HEX_CHARS && std::all_of(line.begin(), line.end(), [](char c) {
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

TabletPairing::TabletPairing(fs::path file, TabletPairingTiming timing, const Clock* clock)
    : file_(std::move(file)), timing_(timing), clock_(clock)
{
    if (file_.empty()) return;
    std::ifstream in(file_);
    std::string line;
    std::size_t skipped = 0;
    while (std::getline(in, line)) {
        if (isToken(line)) {
            tokens_.push_back(line);
        } else if (!line.empty()) {
            ++skipped;
        }
    }
    if (skipped > 0) {
        logWarn("Engine", "Skipped " + std::to_string(skipped) + " damaged line(s) in " + file_.string());
    }
    if (tokens_.size() > MAX_TOKENS) tokens_.erase(tokens_.begin(), tokens_.end() - MAX_TOKENS);
}

fs::path TabletPairing::defaultPath() { return SettingsStore::defaultPath().parent_path() / "tablet-pages"; }

std::string TabletPairing::issueCode()
{
    std::string code = newCode();
    const double now = (clock_ ? *clock_ : clock()).mediaTime();
    std::lock_guard guard(lock_);
    code_ = code;
    codeExpires_ = now + static_cast<double>(timing_.codeLifetime.count());
    wrongGuesses_ = 0;
    return code;
}

std::optional<std::string> TabletPairing::redeem(std::string_view code)
{
    const double now = (clock_ ? *clock_ : clock()).mediaTime();
    std::lock_guard guard(lock_);
    if (code_.empty()) return std::nullopt;
    if (now >= codeExpires_) {
        code_.clear();
        return std::nullopt;
    }
    if (!constantTimeEqual(code, code_)) {
        if (++wrongGuesses_ >= timing_.codeAttempts) {
            code_.clear();
            logWarn("Engine", "Tablet pairing code void after " + std::to_string(wrongGuesses_) + " wrong tries");
        }
        return std::nullopt;
    }
    code_.clear();
    std::string token = newToken();
    tokens_.push_back(token);
    if (tokens_.size() > MAX_TOKENS) tokens_.erase(tokens_.begin());
    if (!saveLocked()) {
        tokens_.pop_back();
        return std::nullopt;
    }
    return token;
}

bool TabletPairing::tokenValid(std::string_view token) const
{
    std::lock_guard guard(lock_);
    bool found = false;
    for (const auto& known : tokens_) found = constantTimeEqual(token, known) || found;
    return found;
}

bool TabletPairing::forgetAll()
{
    std::lock_guard guard(lock_);
    code_.clear();
    tokens_.clear();
    return saveLocked();
}

std::size_t TabletPairing::tokenCount() const
{
    std::lock_guard guard(lock_);
    return tokens_.size();
}

bool TabletPairing::saveLocked() const
{
    if (file_.empty()) return true; // kept in memory only
    std::error_code error;
    if (!file_.parent_path().empty()) fs::create_directories(file_.parent_path(), error);
    fs::path temporary = file_;
    temporary += ".tmp";
    {
        // Owner-only before a secret is written to it.
        std::ofstream out(temporary, std::ios::trunc);
        fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, error);
        if (!out || error) {
            logError("Engine", "Cannot write the paired tablet pages to " + temporary.string());
            fs::remove(temporary, error);
            return false;
        }
        for (const auto& token : tokens_) out << token << '\n';
        out.flush();
        if (!out) {
            logError("Engine", "Cannot write the paired tablet pages to " + temporary.string());
            out.close();
            fs::remove(temporary, error);
            return false;
        }
    }
    fs::rename(temporary, file_, error);
    if (error) {
        logError("Engine", "Cannot save the paired tablet pages as " + file_.string() + ": " + error.message());
        fs::remove(temporary, error);
        return false;
    }
    return true;
}

} // namespace qb
