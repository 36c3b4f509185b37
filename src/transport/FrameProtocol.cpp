#include "transport/FrameProtocol.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

namespace qb {

namespace {

void putU16(std::uint8_t* out, std::uint16_t value)
{
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

void putU32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint16_t getU16(const std::uint8_t* in)
{
    return static_cast<std::uint16_t>(in[0] | (in[1] << 8));
}

std::uint32_t getU32(const std::uint8_t* in)
{
    return static_cast<std::uint32_t>(in[0]) | (static_cast<std::uint32_t>(in[1]) << 8)
        | (static_cast<std::uint32_t>(in[2]) << 16) | (static_cast<std::uint32_t>(in[3]) << 24);
}

} // namespace

std::optional<std::size_t> commandMessageSize(std::uint8_t code)
{
    switch (code) {
    case static_cast<std::uint8_t>(CommandCode::brightness):
    case static_cast<std::uint8_t>(CommandCode::warmth):
    case static_cast<std::uint8_t>(CommandCode::pixelFormat): return 4;
    case static_cast<std::uint8_t>(CommandCode::resolution): return 7;
    default: return std::nullopt;
    }
}

std::vector<std::uint8_t> encodeFrameMessage(std::span<const std::uint8_t> payload, bool isKeyframe,
    std::uint32_t sequenceNumber)
{
    std::vector<std::uint8_t> message(FRAME_HEADER_SIZE + payload.size());
    message[0] = MAGIC_FRAME[0];
    message[1] = MAGIC_FRAME[1];
    message[2] = isKeyframe ? 1 : 0;
    putU32(&message[3], sequenceNumber);
    putU32(&message[7], static_cast<std::uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), message.begin() + FRAME_HEADER_SIZE);
    return message;
}

std::array<std::uint8_t, 4> encodeCommand(std::uint8_t code, std::uint8_t value)
{
    return {MAGIC_CMD[0], MAGIC_CMD[1], code, value};
}

std::array<std::uint8_t, 7> encodeResolutionCommand(std::uint16_t width, std::uint16_t height)
{
    std::array<std::uint8_t, 7> message{MAGIC_CMD[0], MAGIC_CMD[1],
        static_cast<std::uint8_t>(CommandCode::resolution)};
    putU16(&message[3], width);
    putU16(&message[5], height);
    return message;
}

std::array<std::uint8_t, ACK_SIZE> encodeAck(std::uint32_t sequenceNumber)
{
    std::array<std::uint8_t, ACK_SIZE> message{MAGIC_ACK[0], MAGIC_ACK[1]};
    putU32(&message[2], sequenceNumber);
    return message;
}

AckParser::Result AckParser::feed(std::span<const std::uint8_t> chunk,
    const std::function<void(std::uint32_t)>& onAck)
{
    Result result;
    if (refused_) {
        result.refused = true;
        return result;
    }
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
    if (!established_) {
        // Nothing has been taken yet, so the buffer starts where the connection did.
        const std::size_t known = std::min(buffer_.size(), MAGIC_ACK.size());
        if (!std::equal(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(known), MAGIC_ACK.begin())) {
            refused_ = true;
            buffer_.clear();
            result.refused = true;
            return result;
        }
    }
    std::size_t pos = 0;
    while (buffer_.size() - pos >= ACK_SIZE) {
        if (buffer_[pos] == MAGIC_ACK[0] && buffer_[pos + 1] == MAGIC_ACK[1]) {
            std::uint32_t seq = getU32(&buffer_[pos + 2]);
            pos += ACK_SIZE;
            established_ = true;
            ++result.acks;
            if (onAck) onAck(seq);
            continue;
        }
        ++pos;
        if (++result.skipped >= maxSkipsPerChunk) {
            buffer_.clear();
            result.cleared = true;
            return result;
        }
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
    return result;
}

void HostMessageReader::append(std::span<const std::uint8_t> bytes)
{
    if (failed()) return;
    // Drop what was consumed before growing, so the buffer stays about one
    // message long.
    if (offset_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
        offset_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void HostMessageReader::fail(std::string message)
{
    if (error_.empty()) error_ = std::move(message);
}

std::optional<HostMessage> HostMessageReader::next()
{
    if (failed()) return std::nullopt;
    const std::size_t available = buffer_.size() - offset_;
    if (available < 3) return std::nullopt;
    const std::uint8_t* p = buffer_.data() + offset_;

    if (p[0] == MAGIC_FRAME[0] && p[1] == MAGIC_FRAME[1]) {
        if (p[2] > 1) {
            fail(fmt::format("frame message with keyframe flag {} (only 0 or 1 are valid)", p[2]));
            return std::nullopt;
        }
        if (available < FRAME_HEADER_SIZE) return std::nullopt;
        const std::uint32_t length = getU32(p + 7);
        if (length > maxPayloadBytes_) {
            fail(fmt::format("frame message announcing {} payload bytes (limit {})", length, maxPayloadBytes_));
            return std::nullopt;
        }
        if (available - FRAME_HEADER_SIZE < length) return std::nullopt;
        FrameMessage frame;
        frame.isKeyframe = p[2] == 1;
        frame.sequenceNumber = getU32(p + 3);
        frame.payload.assign(p + FRAME_HEADER_SIZE, p + FRAME_HEADER_SIZE + length);
        offset_ += FRAME_HEADER_SIZE + length;
        return frame;
    }

    if (p[0] == MAGIC_CMD[0] && p[1] == MAGIC_CMD[1]) {
        const auto size = commandMessageSize(p[2]);
        if (!size) {
            fail(fmt::format("command message with unknown code {}", p[2]));
            return std::nullopt;
        }
        if (available < *size) return std::nullopt;
        CommandMessage command;
        command.code = static_cast<CommandCode>(p[2]);
        if (command.code == CommandCode::resolution) {
            command.width = getU16(p + 3);
            command.height = getU16(p + 5);
        } else {
            command.value = p[3];
            if (command.code == CommandCode::pixelFormat && command.value > 1) {
                fail(fmt::format("pixel format command with value {} (only 0 or 1 are valid)", command.value));
                return std::nullopt;
            }
        }
        offset_ += *size;
        return command;
    }

    fail(fmt::format("unexpected bytes {:02X} {:02X} where a message should start", p[0], p[1]));
    return std::nullopt;
}

} // namespace qb
