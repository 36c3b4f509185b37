// What the preview's HTTP port answers, as pure functions over bytes so the
// fuzz target links only this. The server judges a connection by its first
// read:
//
//   text starting "POST /start"     -> start   "HTTP/1.1 200 OK" with body "OK"
//   text starting "POST /stop"      -> stop    the same response
//   text starting "POST /control"   -> control the whole request is read (parseHTTPRequest)
//                                              and its body goes to the command table
//   "GET /tablet/stream" with a whole head -> tabletStream  the tablet page's WebSocket
//                                              (TabletBridge.h); refused unless
//                                              tabletStreamAllowed
//   "GET /tablet" (then " " or "?"), "GET /tablet/device/..." -> tablet
//                                              the tablet page (TabletPage.h)
//   any other text containing "GET" -> page    the page (text/html)
//   anything else, or bytes that are not UTF-8 -> no reply; the connection is closed
//
// The checks run in that order, so "POST /start" wins even when the text
// also contains "GET". A start or stop whose first read carries an Origin
// header naming anything but this machine is `refused` (403): a web page
// elsewhere must not drive the daemon through the user's browser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "config/Ports.h"

namespace qb {

enum class PreviewRequest { start, stop, control, tablet, tabletStream, page, refused, unanswered };

// The WebSocket port the viewer page connects to.
inline constexpr std::uint16_t PREVIEW_WEBSOCKET_PORT = WEBSOCKET_PREVIEW_PORT;

PreviewRequest judgePreviewRequest(std::span<const std::uint8_t> firstRead);

// The complete response for a request other than `control`, or "" for
// `unanswered`.
std::string previewResponse(PreviewRequest request, std::string_view htmlPage);

// A request read whole: the request line, the headers a control request is
// judged by, and the body (Content-Length bytes).
struct HTTPRequest {
    std::string method;
    std::string target;
    bool hasOrigin = false;
    std::string origin;
    bool hasHost = false;
    std::string host;
    std::string body;
};

// The longest head and body a control request may have; more is malformed.
inline constexpr std::size_t MAX_REQUEST_HEAD_BYTES = 16 * 1024;
inline constexpr std::size_t MAX_CONTROL_BODY_BYTES = 4096;

struct ParsedHTTPRequest {
    enum class Progress { incomplete, complete, malformed };
    Progress progress = Progress::incomplete;
    HTTPRequest request; // filled when complete
};

// Parses the bytes received so far: `incomplete` until the head's blank line
// and the body have arrived; `malformed` for bytes that are not UTF-8, a
// broken request line or header, a head or body over the limits, a
// Transfer-Encoding (bodies come with a Content-Length only), or a repeated
// Content-Length, Host or Origin. Bytes after the body are ignored.
ParsedHTTPRequest parseHTTPRequest(std::span<const std::uint8_t> bytes);

// "localhost", "127.0.0.1" or "[::1]", each with an optional ":port": this
// machine by a name no other site can take (a Host header that names
// anything else is a page of another site that rebound its name here).
bool isLocalHost(std::string_view host);
// "http://" followed by a local host: a page this daemon served.
bool isLocalOrigin(std::string_view origin);

// Whether a complete control request may reach the command table: it came
// from this machine, is addressed to a local host name and carries no Origin
// or a local one. Browsers always send an Origin on a POST, so a page from
// anywhere else is refused; command-line clients send none.
bool controlRequestAllowed(const HTTPRequest& request, bool loopbackPeer);

// Whether the tablet page's WebSocket handshake may be answered. It carries
// the screen, so a page of another site must not open it through the user's
// browser: the Host must be an address or "localhost" (a name could be a
// site rebound to this machine), and an Origin, which browsers always send,
// must be "http://" followed by that same Host (the page this daemon served).
bool tabletStreamAllowed(const HTTPRequest& request);

// The answer to a control request: `status` ("200 OK", "403 Forbidden", ...)
// and the body as plain UTF-8 text, never cached.
std::string controlResponse(std::string_view status, std::string_view body);

// The one-page viewer: a full-window canvas of `width` x `height` pixels (it
// takes the size of the pictures once they arrive) that shows each JPEG arriving on ws://localhost:<webSocketPort>, keeping at most
// one decoded picture waiting so a slow display drops frames instead of
// falling behind; a click asks for full screen. Two small buttons, Start
// and Stop, send POST /start and POST /stop back to the page's own server.
std::string buildViewerPage(int width, int height, std::uint16_t webSocketPort = PREVIEW_WEBSOCKET_PORT);

} // namespace qb
