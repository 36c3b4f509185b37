// The tablet page (GET /tablet on the preview's HTTP port): a whole tablet
// client in one self-contained HTML page, so any tablet with a browser is a
// second screen with nothing to install.
//
// The page opens ws://<its own host>/tablet/stream (TabletBridge.h), says
// its screen size in device pixels, greyscale or colour (a button switches,
// the choice is kept) and its id, and gets a session of its own, which
// carries the frame stream's very bytes, one WebSocket message per stream
// message, and decodes them itself: the raw LZ4 block of each frame, the XOR
// of a delta onto the frame it holds, greyscale or RGB into a canvas, only
// the rows that changed. It answers every frame with the 6-byte
// acknowledgement and sends touches as the input protocol's 23-byte messages
// on the same socket: a tap, a one-finger drag, a two-finger scroll. The first
// tap asks for full screen, a Wake Lock keeps the screen on where the browser
// allows it, and a dropped connection is tried again (0.5 s doubling to 4 s)
// with a fresh decoder, so the picture resumes at the next keyframe.
//
// For tests the page exposes `window.quillbright`: the decoded frame
// (width, height, bytes per pixel, pixels), frames decoded and acknowledged,
// and the last decode's duration in milliseconds.
#pragma once

#include <string>

namespace qb {

// The page's text; it asks nothing of any other address.
const std::string& tabletPage();

} // namespace qb
