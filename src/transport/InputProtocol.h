// The touch messages the companion sends on the input connection, and the
// arithmetic that turns its scroll amounts into whole pixels. Pure functions
// over bytes and small state structs: no sockets, no platform, so the fuzz
// target links only this.
//
// Touch message, device to host, exactly 23 bytes, little-endian:
//
//    0      2      3           7           11          15          19          23
//   +------+------+-----------+-----------+-----------+-----------+-----------+
//   | DA 70| type |  x (f32)  |  y (f32)  | dx (f32)  | dy (f32)  | (ignored) |
//   +------+------+-----------+-----------+-----------+-----------+-----------+
//
//   type  1 = touch down, 2 = touch move, 3 = touch up, 4 = scroll; others are ignored
//   x, y  position as a fraction of the display's width and height (0,0 = top-left)
//   dx,dy scroll amounts (scroll messages only)
//
// Nothing travels from the host to the device on this connection. A
// connection's first bytes must be a touch message's magic: a connection
// that begins with anything else (an HTTP request a web page sent, a TLS
// hello) is refused before any of its bytes is read as a touch.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "transport/FrameProtocol.h"

namespace qb {

inline constexpr std::size_t TOUCH_MESSAGE_SIZE = 23;
inline constexpr std::array<std::uint8_t, 2> TOUCH_MESSAGE_MAGIC = MAGIC_INPUT;

enum class TouchType : std::uint8_t {
    down = 1,
    move = 2,
    up = 3,
    scroll = 4,
};

struct TouchMessage {
    std::uint8_t type = 0; // a TouchType value, or anything else (ignored by the server)
    float x = 0;
    float y = 0;
    float dx = 0;
    float dy = 0;
    bool operator==(const TouchMessage&) const = default;
};

// The 23 bytes of one message (the trailing four bytes are zero).
std::array<std::uint8_t, TOUCH_MESSAGE_SIZE> encodeTouchMessage(const TouchMessage& message);

// What one connection's reader carries from one read to the next.
struct TouchStreamState {
    // The start of a message whose rest has not arrived yet (always fewer
    // than 23 bytes).
    std::vector<std::uint8_t> pending;
    // Bytes dropped because no message started there (for diagnostics).
    std::uint64_t skippedBytes = 0;
    // A whole message has been decoded: the connection is a device's.
    bool established = false;
    // The connection did not begin with a message; nothing more is decoded.
    bool refused = false;
};

// Appends `chunk` to what the connection already holds and decodes every
// complete message. A message may arrive split across any number of reads.
// Before the first message the bytes must be the magic: a first or second
// byte that differs sets `refused`, and from then on nothing is decoded
// (the owner closes the connection). After it, where the bytes do not start
// with the magic, single bytes are dropped until a message starts again, so
// garbage between messages costs only the garbage. Any bytes are safe; the
// state never holds more than 22 bytes.
std::vector<TouchMessage> walkTouchMessages(TouchStreamState& state, std::span<const std::uint8_t> chunk);

// Scroll amounts become whole pixels: each axis is scaled by 800, bent by a
// power of 1.3 (so fast flicks travel further than slow drags, sign kept),
// added to the fraction carried from the previous message and truncated
// toward zero; the dropped fraction is carried again. Amounts that are not
// numbers count as no scroll; amounts beyond a signed 32-bit pixel count are
// clamped to it (and carry nothing).
struct ScrollRemainders {
    double x = 0;
    double y = 0;
};

struct ScrollPixels {
    std::int32_t vertical = 0;
    std::int32_t horizontal = 0;
    bool operator==(const ScrollPixels&) const = default;
};

inline constexpr double SCROLL_SCALE = 800.0;
inline constexpr double SCROLL_CURVE_EXPONENT = 1.3;

ScrollPixels scrollPixels(float dx, float dy, ScrollRemainders& remainders);

} // namespace qb
