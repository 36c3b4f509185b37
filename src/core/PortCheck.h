// The start's port check: the fixed ports in order (video stream, WebSocket
// preview, HTTP server, touch input). A port counts as taken only when it is
// still taken after `busyFor`, looked at every `recheck`: a child process
// being started holds a copy of our descriptors until it runs its program,
// so a listener closed a moment ago (a restart) can look busy for a few
// milliseconds. Runs on the main loop; cancelled with the start.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/DeviceLineup.h"
#include "runtime/Asio.h"
#include "runtime/Timer.h"

namespace qb {

struct PortCheck {
    std::function<bool(std::uint16_t)> available;
    std::function<std::string(std::uint16_t)> holder; // who holds it; called off the main loop
    Duration busyFor{};
    Duration recheck{};
};

// The status message for the first port taken ("Port 8888 (video stream) is
// in use by … Quit the other process and retry."), logged with its holder;
// none when every port is free or the check was cancelled (`cancelled`).
asio::awaitable<std::optional<std::string>> firstBusyPort(const MirrorEnginePorts& ports, PortCheck check,
    bool& cancelled);

} // namespace qb
