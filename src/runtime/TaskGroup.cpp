#include "runtime/TaskGroup.h"

#include <fmt/format.h>

#include "runtime/RuntimeLog.h"

namespace qb {

TaskGroup::TaskGroup(Executor executor) : executor_(executor), state_(std::make_shared<State>())
{
    state_->idle = std::make_shared<asio::steady_timer>(executor);
    state_->idle->expires_at(asio::steady_timer::time_point::max());
}

TaskGroup::~TaskGroup() { cancelAll(); }

void TaskGroup::spawn(asio::awaitable<void> task, std::string name)
{
    auto& tasks = state_->tasks;
    tasks.emplace_back();
    auto it = std::prev(tasks.end());
    it->name = std::move(name);
    asio::co_spawn(executor_, std::move(task),
        asio::bind_cancellation_slot(it->signal.slot(),
            [state = state_, it, executor = executor_](std::exception_ptr error) {
                // The completion runs while the coroutine frame still holds
                // the cancellation slot; erase the task only once it is gone.
                asio::post(executor, [state, it, error] { finished(state, it, error); });
            }));
}

void TaskGroup::finished(const std::shared_ptr<State>& state, std::list<Task>::iterator it,
    std::exception_ptr error)
{
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const boost::system::system_error& e) {
            if (e.code() != asio::error::operation_aborted) {
                runtimeLog(LogLevel::error, "Engine", fmt::format("Task {} failed: {}", it->name, e.what()));
            }
        } catch (const std::exception& e) {
            runtimeLog(LogLevel::error, "Engine", fmt::format("Task {} failed: {}", it->name, e.what()));
        } catch (...) {
            runtimeLog(LogLevel::error, "Engine", fmt::format("Task {} failed", it->name));
        }
    }
    state->tasks.erase(it);
    if (state->tasks.empty()) {
        state->idle->cancel();
    }
}

void TaskGroup::cancelAll()
{
    // Emitted on the group's executor only. Off it, the coroutine's own
    // cancellation handler would post the emission with a raw pointer into
    // memory the coroutine frees when it ends, and a task ending before that
    // post runs would make it a use after free. On the executor it runs
    // inline; a task that ended meanwhile has left the list or cleared its
    // slot, and is not reached.
    asio::dispatch(executor_, [state = state_] {
        for (auto& task : state->tasks) {
            task.signal.emit(asio::cancellation_type::all);
        }
    });
}

asio::awaitable<void> TaskGroup::join()
{
    auto state = state_;
    while (!state->tasks.empty()) {
        boost::system::error_code ignored;
        auto idle = state->idle;
        idle->expires_at(asio::steady_timer::time_point::max());
        co_await idle->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        auto cancellation = co_await asio::this_coro::cancellation_state;
        if (cancellation.cancelled() != asio::cancellation_type::none) co_return;
    }
}

} // namespace qb
