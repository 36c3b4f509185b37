// What a tablet page's WebSocket carries besides the frame stream, as pure
// functions over bytes so the fuzz target links only this and the frame
// protocol: the page's hello, the sorting of the page's messages, and the
// bytes of a stream message as the frame server sent them. TabletBridge.h
// describes the exchange.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config/Modes.h"
#include "transport/FrameProtocol.h"

namespace qb {

// What a page says of itself in its first message.
struct TabletHello {
    int width = 0;  // its screen in device pixels, 1-8192 each
    int height = 0;
    PixelFormat pixelFormat = PixelFormat::greyscale;
    std::string pageId; // 1-64 letters, digits and '-'
    std::string deviceSerial; // empty, or 1-64 letters, digits, '-', '.' and '_'
    bool operator==(const TabletHello&) const = default;
};

// The hello, or nullopt for anything else.
std::optional<TabletHello> parseTabletHello(std::string_view text);

// What a page off this machine sends before its hello (TabletPairing.h):
//
//   pair <code>      the one-time code the user typed; answered "paired <token>"
//   token <token>    the token it was given when it paired
//
// The value is 1-128 letters and digits.
struct PageCredential {
    enum class Kind { pairingCode, token } kind = Kind::token;
    std::string value;
    bool operator==(const PageCredential&) const = default;
};
std::optional<PageCredential> parsePageCredential(std::string_view text);

// What a message from the page is: an acknowledgement, a touch (the
// companion's 23-byte message, which older pages send), one of the page's own
// input messages below, its turn below, or none of these.
enum class PageMessage { acknowledgement, touch, pageInput, turned, ignored };
PageMessage judgePageMessage(std::span<const std::uint8_t> message);

// The page's own input messages, page to host, little-endian. A pointer
// (pen, finger or mouse) event, exactly 24 bytes:
//
//    0      2       3        4    5         6         10        14         16   17   18      20      22        24
//   +------+-------+--------+----+---------+---------+---------+----------+----+----+-------+-------+---------+
//   | DA 71| phase | device | id | buttons | x (f32) | y (f32) | pressure | tX | tY | width | height| density |
//   +------+-------+--------+----+---------+---------+---------+----------+----+----+-------+-------+---------+
//
//   phase     1 down, 2 move (hover too: no contact button), 3 up, 4 cancel, 5 leave (a pen out of range),
//             6 wheel (x, y are then the wheel's travel as fractions of the picture)
//   device    0 mouse, 1 pen, 2 finger
//   id        the pointer, numbered by the page (fingers of one gesture differ)
//   buttons   bit 0 contact (a mouse's left button), bit 1 the pen's barrel button (a mouse's right),
//             bit 2 a mouse's middle button, bit 3 the pen's eraser end
//   x, y      position as fractions of the picture (0,0 = top-left)
//   pressure  u16, 0-65535 for 0-1;  tX, tY  the pen's tilt in degrees, i8, -90..90
//   width, height  the picture on the page in device pixels (u16);  density  device pixels per CSS
//             pixel times 100 (u16), by which the gesture thresholds are scaled
//
// Keys, 3 to 243 bytes:
//
//   DA 72 01 <text: 1-240 bytes of UTF-8>          typed text
//   DA 72 02 <modifiers u8> <keysym u32>           one key, with modifiers held around it
//
//   modifiers  bit 0 Shift, 1 Control, 2 Alt, 3 Super
//   keysym     the key's X keysym (the name every Linux keyboard stack gives keys: 0xff0d Return, 'a' 0x61, ...)
//
// Text becomes one keysym per character (Latin-1 as itself, the rest as
// 0x01000000 + code point; a line break is Return, tab is Tab); text that is not
// UTF-8, or holds other control characters, is refused whole.
inline constexpr std::array<std::uint8_t, 2> MAGIC_PAGE_POINTER{0xDA, 0x71};
inline constexpr std::array<std::uint8_t, 2> MAGIC_PAGE_KEYS{0xDA, 0x72};
inline constexpr std::size_t PAGE_POINTER_SIZE = 24;
inline constexpr std::size_t PAGE_TEXT_LIMIT = 240;

enum class PagePhase : std::uint8_t { down = 1, move = 2, up = 3, cancel = 4, leave = 5, wheel = 6 };
enum class PageDevice : std::uint8_t { mouse = 0, pen = 1, finger = 2 };

namespace page_buttons {
inline constexpr std::uint8_t contact = 1;
inline constexpr std::uint8_t barrel = 2;
inline constexpr std::uint8_t middle = 4;
inline constexpr std::uint8_t eraser = 8;
} // namespace page_buttons

struct PagePointer {
    PagePhase phase = PagePhase::move;
    PageDevice device = PageDevice::mouse;
    std::uint8_t id = 0;
    std::uint8_t buttons = 0;
    float x = 0; // finite
    float y = 0;
    float pressure = 0; // 0-1
    std::int8_t tiltX = 0;  // -90..90
    std::int8_t tiltY = 0;
    std::uint16_t width = 0;   // at least 1
    std::uint16_t height = 0;
    float density = 1; // 0.25-16
    bool operator==(const PagePointer&) const = default;
};

namespace key_modifiers {
inline constexpr std::uint8_t shift = 1;
inline constexpr std::uint8_t control = 2;
inline constexpr std::uint8_t alt = 4;
inline constexpr std::uint8_t super = 8;
} // namespace key_modifiers

// Typed text or one key: keysyms to type in order, with `modifiers` held.
struct PageKeys {
    std::vector<std::uint32_t> keysyms;
    std::uint8_t modifiers = 0;
    bool operator==(const PageKeys&) const = default;
};

using PageInput = std::variant<PagePointer, PageKeys>;

// One of the page's input messages, or nullopt for any other bytes (wrong
// size, unknown phase or device, a position that is not a number, a tilt
// beyond 90 degrees, a zero picture size or a density out of range, text
// that is no UTF-8).
std::optional<PageInput> parsePageInput(std::span<const std::uint8_t> message);

// The tablet turned: its screen's new size in device pixels, exactly 6 bytes,
//
//   DA 73 <width u16> <height u16>      each 1-8192, little-endian
//
// sent when the page's screen changes between portrait and landscape. The
// daemon gives the page's display the preset of the new orientation.
inline constexpr std::array<std::uint8_t, 2> MAGIC_PAGE_TURN{0xDA, 0x73};
inline constexpr std::size_t PAGE_TURN_SIZE = 6;
struct PageTurn {
    int width = 0;
    int height = 0;
    bool operator==(const PageTurn&) const = default;
};
// The turn, or nullopt for any other bytes.
std::optional<PageTurn> parsePageTurn(std::span<const std::uint8_t> message);

// The keysym of one Unicode code point; nullopt for control characters
// other than line feed and tab, surrogates and code points beyond Unicode.
std::optional<std::uint32_t> keysymForCodePoint(char32_t codePoint);

// The bytes of one stream message as the frame server sent them.
std::vector<std::uint8_t> encodeHostMessage(const HostMessage& message);

} // namespace qb
