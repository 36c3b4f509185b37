// What the preview's HTTP port answers, and the one check of where a
// browser's request comes from, as pure functions over bytes so the fuzz
// target links only this. The server reads a request whole (head and body,
// parseHTTPRequest) and judges it:
//
//   POST /start                     -> start   "HTTP/1.1 200 OK" with body "OK"
//   POST /stop                      -> stop    the same response
//   POST /control                   -> control its body goes to the command table
//   GET /tablet/stream              -> tabletStream  the tablet page's WebSocket (TabletBridge.h)
//   GET /tablet, /tablet?...,
//       /tablet/device/...          -> tablet  the tablet page (TabletPage.h)
//   GET /tablet/manifest.webmanifest -> tabletManifest  its web app manifest
//   GET /tablet/icon.svg            -> tabletIcon  its icon
//   GET anything else               -> page    the page (text/html)
//   any other method or target      -> unanswered: no reply; the connection is closed
//
// (a query after the path is ignored). Each of them must also pass
// fromThisDaemonsPages, /control only from this machine; a request that
// does not is `refused` (403). Every response forbids framing the page
// (frame-ancestors 'none', X-Frame-Options: DENY), so another site cannot
// lay its page over ours and steer the clicks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "config/Ports.h"
#include "runtime/Asio.h"

namespace qb {

enum class PreviewRequest {
    start, stop, control, tablet, tabletManifest, tabletIcon, tabletStream, page, refused, unanswered };

// The WebSocket port the viewer page connects to.
inline constexpr std::uint16_t PREVIEW_WEBSOCKET_PORT = WEBSOCKET_PREVIEW_PORT;

// A request read whole: the request line, the headers its origin is judged
// by, and the body (Content-Length bytes).
struct HTTPRequest {
    std::string method;
    std::string target;
    bool hasOrigin = false;
    std::string origin;
    bool hasHost = false;
    std::string host;
    std::string body;
};

// The longest head and body a request may have; more is malformed.
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

// Where a request arrived, as the check of its Host and Origin needs it.
struct RequestSite {
    // The address of this computer the peer reached, IPv4 for a v4-mapped
    // one: the names a page of ours is reached by follow from it.
    asio::ip::address local;
    // The peer is this computer (an adb reverse tunnel arrives there too).
    bool loopbackPeer = false;
    // Where this daemon serves its pages.
    std::uint16_t pagePort = HTTP_PREVIEW_PORT;
};

// Who may send a request without an Origin header. Browsers send one with
// every POST and every WebSocket handshake, so only tools and the companion
// come without.
enum class OriginlessPeers { anyServed, loopbackOnly };

// The one check of where a browser's request comes from. Its Host, when
// present (browsers always send one), must name this computer as the peer reached it: for a connection
// that arrived on loopback "localhost", "127.0.0.1" or "[::1]", otherwise
// the address it arrived at, each with an optional port (a page of another
// site rebound to this machine by DNS sends its own name). Its Origin, when
// present, must be this daemon's page origin exactly: "http://" + one of
// those names + ":" + pagePort; another port on this machine is another
// program's page. Without an Origin, `originless` decides.
bool fromThisDaemonsPages(const HTTPRequest& request, const RequestSite& site, OriginlessPeers originless);

// What a request read whole asks for, once fromThisDaemonsPages has judged
// it (start, stop and the tablet stream take requests without Origin from
// any peer served, /control only from this machine).
PreviewRequest judgePreviewRequest(const HTTPRequest& request, const RequestSite& site);

// The complete response for a request other than `control` and
// `tabletStream`, or "" for `unanswered`; `body` is the page, manifest or
// icon asked for.
std::string previewResponse(PreviewRequest request, std::string_view body);

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
