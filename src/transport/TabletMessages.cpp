#include "transport/TabletMessages.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "transport/InputProtocol.h"

namespace qb {

namespace {

bool startsWith(std::span<const std::uint8_t> bytes, const std::array<std::uint8_t, 2>& magic)
{
    return bytes.size() >= 2 && bytes[0] == magic[0] && bytes[1] == magic[1];
}

} // namespace

std::optional<TabletHello> parseTabletHello(std::string_view text)
{
    if (text.empty() || text.back() == ' ') return std::nullopt; // no empty last word
    std::vector<std::string_view> words;
    while (!text.empty() && words.size() <= 6) {
        const auto space = text.find(' ');
        words.push_back(text.substr(0, space));
        text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
    }
    if ((words.size() != 5 && words.size() != 6) || words[0] != "hello") return std::nullopt;
    const auto number = [](std::string_view word) {
        int value = 0;
        if (word.empty() || word.size() > 4) return 0;
        for (const char c : word) {
            if (c < '0' || c > '9') return 0;
            value = value * 10 + (c - '0');
        }
        return value <= 8192 ? value : 0;
    };
    TabletHello hello;
    hello.width = number(words[1]);
    hello.height = number(words[2]);
    if (hello.width == 0 || hello.height == 0) return std::nullopt;
    if (words[3] != "grey" && words[3] != "rgb") return std::nullopt;
    hello.pixelFormat = words[3] == "rgb" ? PixelFormat::rgb : PixelFormat::greyscale;
    const auto plain = [](std::string_view word, std::string_view extra) {
        return !word.empty() && word.size() <= 64 && std::all_of(word.begin(), word.end(), [extra](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                || extra.find(c) != std::string_view::npos;
        });
    };
    if (!plain(words[4], "-")) return std::nullopt;
    hello.pageId = std::string(words[4]);
    if (words.size() == 6) {
        if (!plain(words[5], "-._")) return std::nullopt;
        hello.deviceSerial = std::string(words[5]);
    }
    return hello;
}

std::optional<PageCredential> parsePageCredential(std::string_view text)
{
    PageCredential credential;
    if (text.starts_with("pair ")) {
        credential.kind = PageCredential::Kind::pairingCode;
        text.remove_prefix(5);
    } else if (text.starts_with("token ")) {
        text.remove_prefix(6);
    } else {
        return std::nullopt;
    }
    const bool plain = !text.empty() && text.size() <= 128 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
    if (!plain) return std::nullopt;
    credential.value = std::string(text);
    return credential;
}

PageMessage judgePageMessage(std::span<const std::uint8_t> message)
{
    if (message.size() == ACK_SIZE && startsWith(message, MAGIC_ACK)) return PageMessage::acknowledgement;
    if (message.size() == TOUCH_MESSAGE_SIZE && startsWith(message, MAGIC_INPUT)) return PageMessage::touch;
    if (startsWith(message, MAGIC_PAGE_POINTER) || startsWith(message, MAGIC_PAGE_KEYS)) {
        return parsePageInput(message) ? PageMessage::pageInput : PageMessage::ignored;
    }
    if (parsePageTurn(message)) return PageMessage::turned;
    return PageMessage::ignored;
}

std::optional<PageTurn> parsePageTurn(std::span<const std::uint8_t> message)
{
    if (message.size() != PAGE_TURN_SIZE || !startsWith(message, MAGIC_PAGE_TURN)) return std::nullopt;
    const int width = message[2] | (message[3] << 8), height = message[4] | (message[5] << 8);
    if (width < 1 || width > 8192 || height < 1 || height > 8192) return std::nullopt;
    return PageTurn{width, height};
}

namespace {

template <typename T>
T readLittle(std::span<const std::uint8_t> bytes, std::size_t at)
{
    std::array<std::uint8_t, sizeof(T)> raw{};
    for (std::size_t i = 0; i < sizeof(T); ++i) raw[i] = bytes[at + i]; // little-endian on every target we build
    T value;
    std::memcpy(&value, raw.data(), sizeof(T));
    return value;
}

std::optional<PagePointer> parsePointer(std::span<const std::uint8_t> m)
{
    if (m.size() != PAGE_POINTER_SIZE || m[2] < 1 || m[2] > 6 || m[3] > 2) return std::nullopt;
    PagePointer p;
    p.phase = PagePhase(m[2]);
    p.device = PageDevice(m[3]);
    p.id = m[4];
    p.buttons = m[5] & 0x0F;
    p.x = readLittle<float>(m, 6);
    p.y = readLittle<float>(m, 10);
    p.pressure = float(readLittle<std::uint16_t>(m, 14)) / 65535.0f;
    p.tiltX = std::int8_t(m[16]);
    p.tiltY = std::int8_t(m[17]);
    p.width = readLittle<std::uint16_t>(m, 18);
    p.height = readLittle<std::uint16_t>(m, 20);
    const auto density = readLittle<std::uint16_t>(m, 22);
    p.density = float(density) / 100.0f;
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || std::abs(p.x) > 1e6f || std::abs(p.y) > 1e6f) return std::nullopt;
    if (p.tiltX < -90 || p.tiltX > 90 || p.tiltY < -90 || p.tiltY > 90) return std::nullopt;
    if (p.width == 0 || p.height == 0 || density < 25 || density > 1600) return std::nullopt;
    return p;
}

// Strict UTF-8 (no overlong forms, surrogates or code points beyond Unicode).
std::optional<std::vector<char32_t>> decodeUtf8(std::span<const std::uint8_t> text)
{
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        const std::uint8_t lead = text[i];
        std::size_t length = 0;
        char32_t value = 0;
        if (lead < 0x80) {
            length = 1;
            value = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            value = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + length > text.size()) return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            if ((text[i + k] & 0xC0) != 0x80) return std::nullopt;
            value = (value << 6) | (text[i + k] & 0x3F);
        }
        static constexpr char32_t LEAST[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < LEAST[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
        out.push_back(value);
        i += length;
    }
    return out;
}

std::optional<PageKeys> parseKeys(std::span<const std::uint8_t> m)
{
    if (m.size() < 3) return std::nullopt;
    PageKeys keys;
    if (m[2] == 1) {
        if (m.size() == 3 || m.size() > 3 + PAGE_TEXT_LIMIT) return std::nullopt;
        const auto text = decodeUtf8(m.subspan(3));
        if (!text) return std::nullopt;
        for (const char32_t c : *text) {
            const auto keysym = keysymForCodePoint(c);
            if (!keysym) return std::nullopt;
            keys.keysyms.push_back(*keysym);
        }
        return keys;
    }
    if (m[2] == 2 && m.size() == 8 && m[3] < 16) {
        const auto keysym = readLittle<std::uint32_t>(m, 4);
        // Keysyms name at most 29 bits; 0 is NoSymbol.
        if (keysym == 0 || keysym > 0x1FFFFFFF) return std::nullopt;
        keys.keysyms.push_back(keysym);
        keys.modifiers = m[3];
        return keys;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::uint32_t> keysymForCodePoint(char32_t c)
{
    if (c == U'\n' || c == U'\r') return 0xFF0D; // Return
    if (c == U'\t') return 0xFF09;               // Tab
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return std::nullopt;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    if (c < 0x100) return std::uint32_t(c);
    return 0x01000000u | std::uint32_t(c);
}

std::optional<PageInput> parsePageInput(std::span<const std::uint8_t> message)
{
    if (startsWith(message, MAGIC_PAGE_POINTER)) {
        if (auto pointer = parsePointer(message)) return PageInput(*pointer);
    } else if (startsWith(message, MAGIC_PAGE_KEYS)) {
        if (auto keys = parseKeys(message)) return PageInput(std::move(*keys));
    }
    return std::nullopt;
}

std::vector<std::uint8_t> encodeHostMessage(const HostMessage& message)
{
    if (const auto* frame = std::get_if<FrameMessage>(&message)) {
        return encodeFrameMessage(frame->payload, frame->isKeyframe, frame->sequenceNumber);
    }
    const auto& command = std::get<CommandMessage>(message);
    if (command.code == CommandCode::resolution) {
        const auto bytes = encodeResolutionCommand(command.width, command.height);
        return {bytes.begin(), bytes.end()};
    }
    const auto bytes = encodeCommand(static_cast<std::uint8_t>(command.code), command.value);
    return {bytes.begin(), bytes.end()};
}

} // namespace qb
