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
// acknowledgement and sends its pointer events (pen with pressure and tilt,
// fingers, mouse) and keys as its own input messages (TabletMessages.h) on
// the same socket; the daemon decides the gestures. A keyboard button opens
// the tablet's on-screen keyboard. The first
// tap asks for full screen, a Wake Lock keeps the screen on where the browser
// allows it, and a dropped connection says why and is tried again (0.5 s
// doubling to 8 s) with a fresh decoder, so the picture resumes at the next
// keyframe. The page can be added to the home screen (its manifest and
// icon), and then opens full screen.
//
// The page decodes in WebAssembly (TabletPageDecoder.h; SIMD where the
// browser has it) or, without it or with ?decoder=js, in JavaScript, and
// paints with a 2D canvas or, with ?painter=webgl, WebGL. A clean refresh
// (black, white, then the picture) clears a paper-like panel's ghosts: the
// Refresh button, two fingers held still, or by itself after a quiet spell
// following many partial updates (on for a grey page, off for colour; the
// page's own setting for now). When the tablet turns the page tells the
// daemon (DA 73, TabletMessages.h). A button dithers a grey picture to 16
// levels, kept on the tablet.
//
// For tests the page exposes `window.quillbright`: the decoded frame
// (width, height, bytes per pixel, pixels), frames decoded and acknowledged,
// the last decode's duration in milliseconds and every one's (decodeTimes,
// emptied by the benchmark), the decoder and painter in use, makeDecoder()
// for any kind, and the clean refresh's settings and count.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace qb {

// What a tablet can do on the page, as the control page and `quillbright
// tablet` tell the user.
inline constexpr std::array<std::string_view, 3> TABLET_PAGE_ABILITIES = {
    "Pen: hovering moves the pointer, touching clicks and drags, the barrel button is the right button",
    "Fingers: tap to click, hold or tap with two fingers to right-click, drag with two to scroll, "
    "pinch to zoom, tap with three to middle-click",
    "Keyboard: the Keyboard button opens the tablet's keyboard; a keyboard attached to the tablet types too",
};

// The page's text; it asks nothing of any other address.
const std::string& tabletPage();

// Its web app manifest (GET /tablet/manifest.webmanifest): the page added
// to a tablet's home screen opens full screen, on its own; and its icon
// (GET /tablet/icon.svg), a small SVG.
const std::string& tabletManifest();
const std::string& tabletIcon();

} // namespace qb
