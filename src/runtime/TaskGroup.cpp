#include "runtime/TaskGroup.h"

#include <fmt/format.h>

#include "diagnostics/Log.h"

namespace qb {

TaskGroup::TaskGroup(Executor executor)
    : executor_(executor), idle_(std::make_shared<asio::steady_timer>(executor)),
      alive_(std::make_shared<bool>(true))
{
    idle_->expires_at(asio::steady_timer::time_point::max());
}

TaskGroup::~TaskGroup()
{
    *alive_ = false;
    cancelAll();
}

void TaskGroup::spawn(asio::awaitable<void> task, std::string name)
{
    tasks_.emplace_back();
    auto it = std::prev(tasks_.end());
    it->name = std::move(name);
    std::weak_ptr<bool> alive = alive_;
    asio::co_spawn(executor_, std::move(task),
        asio::bind_cancellation_slot(it->signal.slot(), [this, it, alive](std::exception_ptr error) {
            if (alive.expired()) return; // the group is gone; nothing to account for
            finished(it, error);
        }));
}

void TaskGroup::finished(std::list<Task>::iterator it, std::exception_ptr error)
{
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const boost::system::system_error& e) {
            if (e.code() != asio::error::operation_aborted) {
                logError("Engine", fmt::format("Task {} failed: {}", it->name, e.what()));
            }
        } catch (const std::exception& e) {
            logError("Engine", fmt::format("Task {} failed: {}", it->name, e.what()));
        } catch (...) {
            logError("Engine", fmt::format("Task {} failed", it->name));
        }
    }
    tasks_.erase(it);
    if (tasks_.empty()) {
        idle_->cancel();
    }
}

void TaskGroup::cancelAll()
{
    for (auto& task : tasks_) {
        task.signal.emit(asio::cancellation_type::all);
    }
}

asio::awaitable<void> TaskGroup::join()
{
    while (!tasks_.empty()) {
        boost::system::error_code ignored;
        auto idle = idle_;
        idle->expires_at(asio::steady_timer::time_point::max());
        co_await idle->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        auto state = co_await asio::this_coro::cancellation_state;
        if (state.cancelled() != asio::cancellation_type::none) co_return;
    }
}

} // namespace qb
