#include "diagnostics/PlatformLog.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qb {

struct PlatformLogCapture::State {
    mutable std::mutex lock;
    std::vector<std::string> lines;
};

namespace {

std::mutex sinkLock;
std::vector<PlatformLogCapture*>& captures()
{
    static std::vector<PlatformLogCapture*> list;
    return list;
}
std::atomic<int> muteCount{0};

bool debugEnabled()
{
    static const bool enabled = [] {
        const char* level = std::getenv("QUILLBRIGHT_LOG_LEVEL");
        return level && std::string_view(level) == "debug";
    }();
    return enabled;
}

bool toJournal()
{
    static const bool journal = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        struct stat status {};
        if (stream == nullptr || ::fstat(STDERR_FILENO, &status) != 0) return false;
        return isJournalStream(stream, status.st_dev, status.st_ino);
    }();
    return journal;
}

// syslog priorities as the journal reads them from a "<N>" prefix.
int priority(LogLevel level)
{
    switch (level) {
    case LogLevel::debug: return 7;
    case LogLevel::info: return 6;
    case LogLevel::warn: return 4;
    case LogLevel::error: return 3;
    }
    return 6;
}

std::string timestamp()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&secs, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    return fmt::format("{}.{:03d}", buf, static_cast<int>(millis));
}

} // namespace

std::string_view logLevelName(LogLevel level)
{
    switch (level) {
    case LogLevel::debug: return "debug";
    case LogLevel::info: return "info";
    case LogLevel::warn: return "warn";
    case LogLevel::error: return "error";
    }
    return "info";
}

bool isJournalStream(std::string_view value, unsigned long long device, unsigned long long inode)
{
    const auto colon = value.find(':');
    if (colon == std::string_view::npos) return false;
    auto number = [](std::string_view text, unsigned long long& out) {
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
        return !text.empty() && ec == std::errc() && end == text.data() + text.size();
    };
    unsigned long long streamDevice = 0, streamInode = 0;
    return number(value.substr(0, colon), streamDevice) && number(value.substr(colon + 1), streamInode)
        && streamDevice == device && streamInode == inode;
}

bool platformLogEnabled(LogLevel level) { return level != LogLevel::debug || debugEnabled(); }

void platformLog(LogLevel level, std::string_view category, std::string_view line)
{
    {
        std::lock_guard guard(sinkLock);
        for (PlatformLogCapture* capture : captures()) {
            capture->append(std::string(line));
        }
    }
    if (!platformLogEnabled(level) || muteCount.load() > 0) {
        return;
    }
    // One tag per line: the line's own ("[TCPServer] ...", "[Engine:info] ..."),
    // else its category's.
    const std::string tagged = line.starts_with('[') ? std::string(line) : fmt::format("[{}] {}", category, line);
    std::string text;
    if (toJournal()) {
        text = fmt::format("<{}>{}\n", priority(level), tagged);
    } else {
        text = fmt::format("{} quillbright {}\n", timestamp(), tagged);
    }
    // One fwrite per line keeps lines whole when several threads log at once.
    std::fwrite(text.data(), 1, text.size(), stderr);
}

PlatformLogCapture::PlatformLogCapture() : state_(new State)
{
    std::lock_guard guard(sinkLock);
    captures().push_back(this);
}

PlatformLogCapture::~PlatformLogCapture()
{
    {
        std::lock_guard guard(sinkLock);
        auto& list = captures();
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    delete state_;
}

void PlatformLogCapture::append(std::string line)
{
    std::lock_guard guard(state_->lock);
    state_->lines.push_back(std::move(line));
}

std::vector<std::string> PlatformLogCapture::lines() const
{
    std::lock_guard guard(state_->lock);
    return state_->lines;
}

std::vector<std::string> PlatformLogCapture::matching(std::string_view needle) const
{
    std::vector<std::string> found;
    std::lock_guard guard(state_->lock);
    for (const auto& line : state_->lines) {
        if (line.find(needle) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

void PlatformLogCapture::clear()
{
    std::lock_guard guard(state_->lock);
    state_->lines.clear();
}

PlatformLogMute::PlatformLogMute() { muteCount.fetch_add(1); }
PlatformLogMute::~PlatformLogMute() { muteCount.fetch_sub(1); }

} // namespace qb
