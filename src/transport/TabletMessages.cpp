#include "transport/TabletMessages.h"

#include <algorithm>

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
    return PageMessage::ignored;
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
