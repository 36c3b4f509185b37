#include "core/PortCheck.h"

#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "runtime/Background.h"
#include "runtime/Timer.h"

namespace qb {

asio::awaitable<std::optional<std::string>> firstBusyPort(const MirrorEnginePorts& ports, PortCheck check,
    bool& cancelled)
{
    cancelled = false;
    const std::pair<std::uint16_t, std::string_view> checked[] = {
        {ports.stream, "video stream"},
        {ports.webSocket, "WebSocket preview"},
        {ports.http, "HTTP server"},
        {ports.input, "touch input"},
    };
    for (const auto& [port, name] : checked) {
        bool available = check.available(port);
        for (Duration waited{}; !available && waited < check.busyFor; waited += check.recheck) {
            if (!co_await sleepFor(check.recheck)) {
                cancelled = true;
                co_return std::nullopt;
            }
            available = check.available(port);
        }
        if (available) continue;
        // Built outside the co_await: GCC 12 destroys temporaries of a
        // co_await expression twice.
        std::function<std::string()> lookup = [holderOf = check.holder, port = port] { return holderOf(port); };
        const std::string holder = co_await offMainLoop<std::string>(lookup);
        std::string message = fmt::format("Port {} ({}) is in use", port, name);
        if (!holder.empty()) message += " by " + holder;
        logError("Engine", fmt::format("Port {} ({}) blocked by: {}", port, name, holder.empty() ? "unknown" : holder));
        co_return message + ". Quit the other process and retry.";
    }
    co_return std::nullopt;
}

} // namespace qb
