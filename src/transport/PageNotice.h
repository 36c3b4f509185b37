// A line of text every connected tablet page is told, kept current: the
// bridge sends it as a text message when the page has connected, and again
// whenever it changes (TabletBridge.h). Today it carries the automatic clean
// refresh, "refresh auto on" or "refresh auto off".
//
// Ownership: shared by its owner (the engine's page sessions), who sets it,
// and the bridges, which read it and watch it. Thread-safe: `set` on any
// thread; a watcher is called on the setter's thread, never under the lock,
// and must only post to where it lives.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace qb {

class PageNotice : public std::enable_shared_from_this<PageNotice> {
public:
    // Empty: nothing to tell.
    std::string text() const;
    // A change calls every watcher; the same text again calls none.
    void set(std::string text);
    // Calls `changed` after each change while the returned handle is held.
    std::shared_ptr<void> watch(std::function<void()> changed);

private:
    mutable std::mutex lock_;
    std::string text_;
    std::uint64_t nextWatcher_ = 0;
    std::map<std::uint64_t, std::function<void()>> watchers_;
};

} // namespace qb
