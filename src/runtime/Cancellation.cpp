#include "runtime/Cancellation.h"

#include <utility>

#include "runtime/Process.h"

namespace qb {

namespace {
thread_local std::shared_ptr<Cancellation> currentCancellation;
}

void Cancellation::cancel()
{
    std::vector<std::weak_ptr<Process>> children;
    {
        std::lock_guard guard(lock_);
        if (cancelled_) return;
        cancelled_ = true;
        children.swap(children_);
    }
    for (const auto& weak : children) {
        if (const auto child = weak.lock()) child->terminate();
    }
}

bool Cancellation::cancelled() const
{
    std::lock_guard guard(lock_);
    return cancelled_;
}

std::shared_ptr<Cancellation> Cancellation::current() { return currentCancellation; }

Cancellation::Scope::Scope(std::shared_ptr<Cancellation> cancellation)
    : previous_(std::exchange(currentCancellation, std::move(cancellation)))
{
}

Cancellation::Scope::~Scope() { currentCancellation = std::move(previous_); }

bool Cancellation::adopt(const std::shared_ptr<Process>& child)
{
    std::lock_guard guard(lock_);
    if (cancelled_) return false;
    std::erase_if(children_, [](const std::weak_ptr<Process>& weak) { return weak.expired(); });
    children_.push_back(child);
    return true;
}

} // namespace qb
