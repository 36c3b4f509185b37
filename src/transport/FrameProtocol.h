// The bytes of the frame stream: the TCP connection between the frame server
// (FrameServer) and the companion on the device. Pure functions and small
// parsers over bytes: no sockets, no clocks, so the fuzz targets and the
// reference companion link only this.
//
// Plain TCP, no other framing: messages follow each other back to back and a
// receiver finds their boundaries from the magic, the type byte and the
// lengths below. Every multi-byte integer is little-endian. The host builds
// each message completely in one buffer and hands it over as one send.
//
// Frame message, host to device, 11-byte header then the payload:
//
//    0      2      3             7             11
//   +------+------+-------------+-------------+----------------------+
//   | DA 7E| key  | sequence u32| length u32  | payload (length bytes)|
//   +------+------+-------------+-------------+----------------------+
//
//   key      1 = keyframe, 0 = delta; no other values
//   sequence starts at 0, +1 for every frame sent, wraps modulo 2^32
//   payload  one raw LZ4 block (no frame header, no size prefix) that
//            decompresses to width x height x bytes-per-pixel bytes: the whole
//            frame for a keyframe, the byte-wise XOR of the new frame with
//            the previous one for a delta
//
// Command message, host to device:
//
//    0      2      3
//   +------+------+---------------------+
//   | DA 7F| code | value               |
//   +------+------+---------------------+
//
//   code 1 brightness    value u8 0-255                 4 bytes in all
//   code 2 warmth        value u8 0-255                 4 bytes in all
//   code 4 resolution    width u16, height u16          7 bytes in all
//   code 5 pixel format  u8: 0 = greyscale, 1 = rgb     4 bytes in all
//   Codes 0, 3 and 6-255 are never sent.
//
// Acknowledgement, device to host, exactly 6 bytes, one per frame message:
//
//    0      2             6
//   +------+-------------+
//   | DA 7A| sequence u32|
//   +------+-------------+
//
// Nothing else travels from the device on this connection. A connection's
// first bytes must be an acknowledgement: anything else there (an HTTP
// request a web page sent, a TLS hello) refuses the connection before a byte
// of it takes effect. Inside an established stream other bytes are dropped
// by AckParser's resynchronisation. (Touch messages, magic DA 70, travel on
// the separate input connection.)
//
// Order on a new connection: resolution, pixel format, brightness, warmth,
// then the cached keyframe if the server holds one (with the deltas sent
// since it), then every frame and command broadcast from then on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace qb {

inline constexpr std::array<std::uint8_t, 2> MAGIC_FRAME{0xDA, 0x7E};
inline constexpr std::array<std::uint8_t, 2> MAGIC_CMD{0xDA, 0x7F};
inline constexpr std::array<std::uint8_t, 2> MAGIC_ACK{0xDA, 0x7A};
inline constexpr std::array<std::uint8_t, 2> MAGIC_INPUT{0xDA, 0x70};

inline constexpr std::size_t FRAME_HEADER_SIZE = 11;
inline constexpr std::size_t ACK_SIZE = 6;

enum class CommandCode : std::uint8_t {
    brightness = 1,
    warmth = 2,
    resolution = 4,
    pixelFormat = 5,
};

// Total length of a command message with this code, or nullopt for a code
// that is never sent.
std::optional<std::size_t> commandMessageSize(std::uint8_t code);

// Host to device -----------------------------------------------------------

// The complete frame message. The payload must be shorter than 2^32 bytes.
std::vector<std::uint8_t> encodeFrameMessage(std::span<const std::uint8_t> payload, bool isKeyframe,
    std::uint32_t sequenceNumber);

// A one-byte-value command (brightness, warmth, pixel format): 4 bytes.
std::array<std::uint8_t, 4> encodeCommand(std::uint8_t code, std::uint8_t value);
std::array<std::uint8_t, 7> encodeResolutionCommand(std::uint16_t width, std::uint16_t height);

// Device to host -----------------------------------------------------------

std::array<std::uint8_t, ACK_SIZE> encodeAck(std::uint32_t sequenceNumber);

// Reads acknowledgements out of the bytes of one connection. Each chunk is
// appended to what is left from the previous one; whole acknowledgements are
// taken from the front. The connection's first bytes must be the magic of an
// acknowledgement: a first byte or second byte that differs refuses the
// connection, and a refused parser takes nothing from then on (its owner
// closes the connection). Once an acknowledgement has been taken, a front
// that does not start with the magic loses one byte at a time, and after 257
// such skips in one call the whole buffer is dropped, so a stream of garbage
// costs little work and never accumulates. Fewer than 6 bytes stay between
// calls. Not thread-safe: one per connection.
class AckParser {
public:
    static constexpr int maxSkipsPerChunk = 257;

    struct Result {
        int acks = 0;         // acknowledgements handed to the callback
        int skipped = 0;      // single bytes dropped
        bool cleared = false; // the skip limit emptied the buffer
        bool refused = false; // the connection did not begin with an acknowledgement
    };

    Result feed(std::span<const std::uint8_t> chunk, const std::function<void(std::uint32_t)>& onAck);

    std::size_t buffered() const { return buffer_.size(); }
    bool refused() const { return refused_; }

private:
    std::vector<std::uint8_t> buffer_;
    bool established_ = false; // an acknowledgement has been taken
    bool refused_ = false;
};

// What the device side reads: HostMessageReader ----------------------------

struct FrameMessage {
    bool isKeyframe = false;
    std::uint32_t sequenceNumber = 0;
    std::vector<std::uint8_t> payload;
};

struct CommandMessage {
    CommandCode code = CommandCode::brightness;
    std::uint8_t value = 0;    // brightness, warmth, pixel format
    std::uint16_t width = 0;   // resolution
    std::uint16_t height = 0;  // resolution
};

using HostMessage = std::variant<FrameMessage, CommandMessage>;

// Splits the host's byte stream into messages and checks each one strictly:
// the magic, the keyframe flag, the command code and value, and an upper
// bound on the payload length. Unlike the host's acknowledgement reader it
// does not resynchronise: the host never sends stray bytes, so any deviation
// is a protocol violation, reported once; the reader then stays failed.
class HostMessageReader {
public:
    explicit HostMessageReader(std::size_t maxPayloadBytes = 256u << 20) : maxPayloadBytes_(maxPayloadBytes) {}

    void append(std::span<const std::uint8_t> bytes);

    // The next complete message; nullopt when more bytes are needed or the
    // stream has failed (see error()).
    std::optional<HostMessage> next();

    // The first violation seen, or empty.
    const std::string& error() const { return error_; }
    bool failed() const { return !error_.empty(); }
    // Bytes received and not yet returned as a message.
    std::size_t buffered() const { return buffer_.size() - offset_; }

private:
    void fail(std::string message);

    std::size_t maxPayloadBytes_;
    std::vector<std::uint8_t> buffer_;
    std::size_t offset_ = 0;
    std::string error_;
};

} // namespace qb
