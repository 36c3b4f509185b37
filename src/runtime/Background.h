// Blocking work (adb, lsof, ps) awaited from a coroutine without blocking the
// thread the coroutine runs on:
//
//   const std::function<bool()> work = [serial] { return ADBBridge::isAppInstalled(serial); };
//   const bool installed = co_await offMainLoop<bool>(work, "Session");
//
// The work runs on the utility global queue; the coroutine resumes on its own
// executor with the result. The work holds only what it captured, never the
// awaiting component, so a component dropped meanwhile does not wait for it.
// An exception escaping the work is logged under `subsystem` and yields a
// value-initialised result.
//
// Cancelling the awaiting coroutine (TaskGroup::cancelAll) resumes it at once
// with boost::system::system_error(operation_aborted) and cancels the work's
// Cancellation: the children it waits for are terminated and it can launch
// no new one, so it ends quickly and changes nothing more.
//
// Pass a named std::function, not a temporary: GCC 12 destroys temporaries
// with destructors inside a co_await expression twice.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "runtime/RuntimeLog.h"
#include "runtime/Asio.h"
#include "runtime/Cancellation.h"
#include "runtime/Queues.h"

namespace qb {

namespace detail {

// The awaiting coroutine's handler, completed once: by the work's result or
// by a cancellation, whichever reaches the coroutine's executor first.
template <typename Handler, typename Result>
struct OffMainLoopCompletion {
    std::optional<Handler> handler;
    asio::cancellation_slot slot;

    void complete(boost::system::error_code error, Result result)
    {
        if (!handler) return;
        Handler resume = std::move(*handler);
        handler.reset();
        if (slot.is_connected()) slot.clear();
        std::move(resume)(error, std::move(result));
    }
};

} // namespace detail

template <typename Result>
asio::awaitable<Result> offMainLoop(const std::function<Result()>& work, std::string_view subsystem = "Engine")
{
    return asio::async_initiate<const asio::use_awaitable_t<>, void(boost::system::error_code, Result)>(
        [](auto handler, std::function<Result()> body, std::string owner) {
            using Completion = detail::OffMainLoopCompletion<decltype(handler), Result>;
            auto resumeOn = asio::get_associated_executor(handler);
            auto completion = std::make_shared<Completion>();
            completion->slot = asio::get_associated_cancellation_slot(handler);
            completion->handler.emplace(std::move(handler));
            auto cancellation = Cancellation::make();
            if (completion->slot.is_connected()) {
                completion->slot.assign([completion, cancellation, resumeOn](asio::cancellation_type) {
                    // Queued before the work is cancelled: the work, ending
                    // because of it, posts its result after this, so the
                    // coroutine always sees the cancellation.
                    asio::post(resumeOn,
                        [completion] { completion->complete(asio::error::operation_aborted, Result{}); });
                    cancellation->cancel();
                });
            }
            asio::post(globalQueue(QoS::utility),
                [body = std::move(body), owner = std::move(owner), completion, cancellation, resumeOn]() mutable {
                    Result result{};
                    {
                        const Cancellation::Scope scope(cancellation);
                        try {
                            result = body();
                        } catch (const std::exception& error) {
                            runtimeLog(LogLevel::error, owner, fmt::format("Background call failed: {}", error.what()));
                        }
                    }
                    asio::post(resumeOn, [completion, result = std::move(result)]() mutable {
                        completion->complete({}, std::move(result));
                    });
                });
        },
        asio::use_awaitable, work, std::string(subsystem));
}

} // namespace qb
