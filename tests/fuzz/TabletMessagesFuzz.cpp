// Fuzzes what a tablet page may send first and after: any bytes as the hello
// either fail or yield a hello within its limits that, written out again,
// gives back the very text; any bytes as a later message are sorted without
// fault, and only an exact acknowledgement or touch is taken as one; a
// pairing code or token taken from any bytes is plain and gives back the text;
// a page input message taken from any bytes keeps within its limits, and a
// turn is taken from exactly six bytes with a screen within the hello's limits.
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "transport/TabletMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto hello = qb::parseTabletHello(text)) {
        if (hello->width < 1 || hello->width > 8192 || hello->height < 1 || hello->height > 8192) std::abort();
        if (hello->pageId.empty() || hello->pageId.size() > 64 || hello->deviceSerial.size() > 64) std::abort();
        std::string again = "hello " + std::to_string(hello->width) + " " + std::to_string(hello->height) + " "
            + (hello->pixelFormat == qb::PixelFormat::rgb ? "rgb" : "grey") + " " + hello->pageId;
        if (!hello->deviceSerial.empty()) again += " " + hello->deviceSerial;
        // Leading zeros are the one spelling that does not come back.
        if (again != text && text.find(" 0") == std::string_view::npos) std::abort();
    }
    if (const auto credential = qb::parsePageCredential(text)) {
        const bool code = credential->kind == qb::PageCredential::Kind::pairingCode;
        if ((code ? "pair " : "token ") + credential->value != text || credential->value.size() > 128) std::abort();
    }
    const auto kind = qb::judgePageMessage(std::span(data, size));
    if (kind == qb::PageMessage::acknowledgement && (size != qb::ACK_SIZE || data[1] != qb::MAGIC_ACK[1])) std::abort();
    if (kind == qb::PageMessage::touch && (size != 23 || data[1] != qb::MAGIC_INPUT[1])) std::abort();
    const auto input = qb::parsePageInput(std::span(data, size));
    if (input.has_value() != (kind == qb::PageMessage::pageInput)) std::abort();
    if (const auto* pointer = input ? std::get_if<qb::PagePointer>(&*input) : nullptr) {
        if (size != qb::PAGE_POINTER_SIZE || !std::isfinite(pointer->x) || !std::isfinite(pointer->y)) std::abort();
        if (pointer->pressure < 0 || pointer->pressure > 1 || std::abs(pointer->tiltX) > 90) std::abort();
        if (pointer->width == 0 || pointer->height == 0 || pointer->density < 0.25f || pointer->density > 16) std::abort();
    }
    if (const auto* keys = input ? std::get_if<qb::PageKeys>(&*input) : nullptr) {
        if (keys->keysyms.empty() || keys->keysyms.size() > qb::PAGE_TEXT_LIMIT) std::abort();
        for (const auto keysym : keys->keysyms) {
            if (keysym == 0 || keysym > 0x1FFFFFFF) std::abort();
        }
    }
    const auto turn = qb::parsePageTurn(std::span(data, size));
    if (turn.has_value() != (kind == qb::PageMessage::turned)) std::abort();
    if (turn && (size != qb::PAGE_TURN_SIZE || turn->width < 1 || turn->width > 8192 || turn->height < 1
                    || turn->height > 8192 || turn->width != (data[2] | (data[3] << 8)))) {
        std::abort();
    }
    return 0;
}
