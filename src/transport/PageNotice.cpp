#include "transport/PageNotice.h"

#include <vector>

namespace qb {

std::string PageNotice::text() const
{
    std::lock_guard guard(lock_);
    return text_;
}

void PageNotice::set(std::string text)
{
    std::vector<std::function<void()>> told;
    {
        std::lock_guard guard(lock_);
        if (text == text_) return;
        text_ = std::move(text);
        for (const auto& [id, changed] : watchers_) told.push_back(changed);
    }
    for (const auto& changed : told) changed();
}

std::shared_ptr<void> PageNotice::watch(std::function<void()> changed)
{
    std::lock_guard guard(lock_);
    const std::uint64_t id = nextWatcher_++;
    watchers_.emplace(id, std::move(changed));
    // Non-null, so that a handle tests true; the deleter forgets the watcher.
    return std::shared_ptr<void>(this, [self = shared_from_this(), id](void*) {
        std::lock_guard guard(self->lock_);
        self->watchers_.erase(id);
    });
}

} // namespace qb
