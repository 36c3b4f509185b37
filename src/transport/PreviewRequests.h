// What the preview's HTTP port answers, as pure functions over bytes so the
// fuzz target links only this. The server judges a connection by its first
// read alone:
//
//   text starting "POST /start"     -> start   "HTTP/1.1 200 OK" with body "OK"
//   text starting "POST /stop"      -> stop    the same response
//   any other text containing "GET" -> page    the viewer page (text/html)
//   anything else, or bytes that are not UTF-8 -> no reply; the connection is closed
//
// The checks run in that order, so "POST /start" wins even when the text
// also contains "GET".
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "config/Ports.h"

namespace qb {

enum class PreviewRequest { start, stop, page, unanswered };

// The WebSocket port the viewer page connects to.
inline constexpr std::uint16_t PREVIEW_WEBSOCKET_PORT = WEBSOCKET_PREVIEW_PORT;


PreviewRequest judgePreviewRequest(std::span<const std::uint8_t> firstRead);

// The complete response for a request, or "" for `unanswered`.
std::string previewResponse(PreviewRequest request, std::string_view htmlPage);

// The one-page viewer: a full-window canvas of `width` x `height` pixels that
// shows each JPEG arriving on ws://localhost:<webSocketPort>, keeping at most
// one decoded picture waiting so a slow display drops frames instead of
// falling behind; a click asks for full screen.
std::string buildViewerPage(int width, int height, std::uint16_t webSocketPort = PREVIEW_WEBSOCKET_PORT);

} // namespace qb
