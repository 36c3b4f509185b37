// SettingsStore: the per-user settings database (resolution, display mode,
// contrast, gamma, profile, auto-mirror, ...). Typed values under string
// keys, persisted as one JSON object in one file (the user's is
// platform/UserFolders' settingsFile(), opened by userSettings()).
//
// Durability and sharing:
//  - every set/remove is on disk when it returns (runtime/DurableFile);
//  - writers in several processes never lose each other's keys: each write
//    takes an advisory lock (settings.json.lock), re-reads the file and
//    applies its one change to what it read;
//  - reads see other processes' writes (the file is re-read when it changed),
//    and takeOutsideChange() reports each version of the file this store did
//    not write itself once, including one found under the lock of its own
//    write (which keeps that version's keys);
//  - a corrupt or unreadable file is never silently dropped: it is moved
//    aside as settings.json.bad (-2, -3, ... when taken), a warning is logged under
//    "Engine", and the store starts empty.
//
// Reads convert between types as a defaults database does: a double read of
// an integer value converts it, an integer read of a double truncates toward
// zero, a Boolean read of a number is "nonzero", numbers read as strings give
// their decimal text, and strings holding a number or yes/no/true/false read
// as that. A value that cannot be converted reads as nothing.
//
// Thread-safe: any thread may read or write.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

class SettingsStore {
public:
    struct Timing {
        // Longest wait for another process's write to finish before a write
        // gives up (the lock is normally held for milliseconds).
        std::chrono::steady_clock::duration lockTimeout = std::chrono::seconds(5);
    };

    explicit SettingsStore(std::filesystem::path file);
    SettingsStore(std::filesystem::path file, Timing timing);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    const std::filesystem::path& path() const { return path_; }

    std::optional<std::string> string(std::string_view key) const;
    std::optional<double> doubleValue(std::string_view key) const;
    std::optional<std::int64_t> integer(std::string_view key) const;
    std::optional<bool> boolean(std::string_view key) const;
    bool contains(std::string_view key) const;
    std::vector<std::string> keys() const;

    // Each returns true once the change is on disk. False (with a warning
    // logged) when the file could not be written, the lock not taken in
    // time, or the value cannot be stored (a non-finite double); the store
    // is then unchanged.
    bool setString(std::string_view key, std::string_view value);
    bool setDouble(std::string_view key, double value);
    bool setInteger(std::string_view key, std::int64_t value);
    bool setBool(std::string_view key, bool value);
    bool remove(std::string_view key);

    // True once after another writer (a process, another store on the same
    // file) changed the file since the last call; the file is re-read.
    bool takeOutsideChange();

    // Runs `body` holding the writers' lock, so what it reads and writes is
    // one change no other writer comes between: a setting that moves two
    // keys together, a load that tidies what it read. Other threads' reads
    // and writes on this store wait; nested calls are fine. When the lock
    // cannot be taken, `body` still runs, each write then locking alone.
    void exclusively(const std::function<void()>& body);

private:
    struct State;

    // Runs `body(State&)` under the lock, then logs the warnings it left.
    template <typename Body>
    auto withState(Body&& body) const;
    template <typename Convert>
    auto read(std::string_view key, Convert convert) const;
    template <typename Change>
    bool write(std::string_view key, Change&& change);

    const std::filesystem::path path_;
    const Timing timing_;
    // Recursive: exclusively() holds it around calls that take it again.
    mutable std::recursive_mutex lock_;
    std::unique_ptr<State> state_; // guarded by lock_
};

} // namespace qb
