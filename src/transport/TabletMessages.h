// What a tablet page's WebSocket carries besides the frame stream, as pure
// functions over bytes so the fuzz target links only this and the frame
// protocol: the page's hello, the sorting of the page's messages, and the
// bytes of a stream message as the frame server sent them. TabletBridge.h
// describes the exchange.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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

// What a message from the page is: an acknowledgement, a touch, or neither.
enum class PageMessage { acknowledgement, touch, ignored };
PageMessage judgePageMessage(std::span<const std::uint8_t> message);

// The bytes of one stream message as the frame server sent them.
std::vector<std::uint8_t> encodeHostMessage(const HostMessage& message);

} // namespace qb
