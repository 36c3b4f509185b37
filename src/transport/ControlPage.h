// The control page the preview's HTTP port serves to this machine: the live
// picture from the WebSocket preview beside the engine's state and figures
// (refreshed every second from HEALTH), a control for every setting and
// Start / Stop. Every action is a control-socket request sent as the body of
// POST /control, so the page, the socket and the command line share one
// command table: the controls (element names, verbs, values, ranges and the
// HEALTH keys they show) come from the verb table, config/ControlVerbs.h.
// Everything the page needs is inline: it loads nothing from anywhere else.
#pragma once

#include <cstdint>
#include <string>

#include "transport/PreviewRequests.h"

namespace qb {

// A canvas of `width` x `height` until the first picture gives its size;
// pictures from ws://localhost:<webSocketPort>, reconnecting when the
// connection drops.
std::string buildControlPage(int width, int height, std::uint16_t webSocketPort = PREVIEW_WEBSOCKET_PORT);

} // namespace qb
