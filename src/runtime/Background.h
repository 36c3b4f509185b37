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
// Pass a named std::function, not a temporary: GCC 12 destroys temporaries
// with destructors inside a co_await expression twice.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "runtime/RuntimeLog.h"
#include "runtime/Asio.h"
#include "runtime/Queues.h"

namespace qb {

template <typename Result>
asio::awaitable<Result> offMainLoop(const std::function<Result()>& work, std::string_view subsystem = "Engine")
{
    return asio::async_initiate<const asio::use_awaitable_t<>, void(Result)>(
        [](auto handler, std::function<Result()> body, std::string owner) {
            auto resumeOn = asio::get_associated_executor(handler);
            asio::post(globalQueue(QoS::utility),
                [body = std::move(body), owner = std::move(owner), handler = std::move(handler),
                    resumeOn]() mutable {
                    Result result{};
                    try {
                        result = body();
                    } catch (const std::exception& error) {
                        runtimeLog(LogLevel::error, owner, fmt::format("Background call failed: {}", error.what()));
                    }
                    asio::post(resumeOn, [handler = std::move(handler), result = std::move(result)]() mutable {
                        std::move(handler)(std::move(result));
                    });
                });
        },
        asio::use_awaitable, work, std::string(subsystem));
}

} // namespace qb
