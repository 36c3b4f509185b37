#include "transport/InputProtocol.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace qb {

namespace {

float readFloatLE(const std::uint8_t* p)
{
    const std::uint32_t bits = std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16)
        | (std::uint32_t(p[3]) << 24);
    return std::bit_cast<float>(bits);
}

void writeFloatLE(std::uint8_t* p, float value)
{
    const auto bits = std::bit_cast<std::uint32_t>(value);
    p[0] = std::uint8_t(bits);
    p[1] = std::uint8_t(bits >> 8);
    p[2] = std::uint8_t(bits >> 16);
    p[3] = std::uint8_t(bits >> 24);
}

bool startsMessage(const std::uint8_t* p)
{
    return p[0] == TOUCH_MESSAGE_MAGIC[0] && p[1] == TOUCH_MESSAGE_MAGIC[1];
}

// One axis: the whole pixels to post now; `remainder` becomes the carry.
std::int32_t scrollAxis(float amount, double& remainder)
{
    constexpr double maxPixels = std::numeric_limits<std::int32_t>::max();
    constexpr double minPixels = std::numeric_limits<std::int32_t>::min();
    if (!std::isfinite(remainder)) remainder = 0;

    double scaled = double(amount) * SCROLL_SCALE;
    if (std::isnan(scaled)) scaled = 0;
    const double curved = std::copysign(std::pow(std::fabs(scaled), SCROLL_CURVE_EXPONENT), scaled);
    const double total = curved + remainder;
    if (!(total < maxPixels)) { // also +infinity
        remainder = 0;
        return std::numeric_limits<std::int32_t>::max();
    }
    if (!(total > minPixels)) {
        remainder = 0;
        return std::numeric_limits<std::int32_t>::min();
    }
    const double whole = std::trunc(total);
    remainder = total - whole;
    return static_cast<std::int32_t>(whole);
}

} // namespace

std::array<std::uint8_t, TOUCH_MESSAGE_SIZE> encodeTouchMessage(const TouchMessage& message)
{
    std::array<std::uint8_t, TOUCH_MESSAGE_SIZE> bytes{};
    bytes[0] = TOUCH_MESSAGE_MAGIC[0];
    bytes[1] = TOUCH_MESSAGE_MAGIC[1];
    bytes[2] = message.type;
    writeFloatLE(&bytes[3], message.x);
    writeFloatLE(&bytes[7], message.y);
    writeFloatLE(&bytes[11], message.dx);
    writeFloatLE(&bytes[15], message.dy);
    return bytes;
}

std::vector<TouchMessage> walkTouchMessages(TouchStreamState& state, std::span<const std::uint8_t> chunk)
{
    if (state.refused) return {};
    std::vector<std::uint8_t> bytes;
    bytes.reserve(state.pending.size() + chunk.size());
    bytes.insert(bytes.end(), state.pending.begin(), state.pending.end());
    bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    if (!state.established) {
        // Nothing has been decoded yet, so the bytes start where the connection did.
        const std::size_t known = std::min(bytes.size(), TOUCH_MESSAGE_MAGIC.size());
        if (!std::equal(bytes.begin(), bytes.begin() + std::ptrdiff_t(known), TOUCH_MESSAGE_MAGIC.begin())) {
            state.refused = true;
            state.pending.clear();
            return {};
        }
    }

    std::vector<TouchMessage> messages;
    std::size_t pos = 0;
    while (bytes.size() - pos >= TOUCH_MESSAGE_SIZE) {
        const std::uint8_t* p = bytes.data() + pos;
        if (!startsMessage(p)) {
            ++pos;
            ++state.skippedBytes;
            continue;
        }
        TouchMessage message;
        message.type = p[2];
        message.x = readFloatLE(p + 3);
        message.y = readFloatLE(p + 7);
        message.dx = readFloatLE(p + 11);
        message.dy = readFloatLE(p + 15);
        messages.push_back(message);
        state.established = true;
        pos += TOUCH_MESSAGE_SIZE;
    }
    state.pending.assign(bytes.begin() + std::ptrdiff_t(pos), bytes.end());
    return messages;
}

ScrollPixels scrollPixels(float dx, float dy, ScrollRemainders& remainders)
{
    ScrollPixels pixels;
    pixels.vertical = scrollAxis(dy, remainders.y);
    pixels.horizontal = scrollAxis(dx, remainders.x);
    return pixels;
}

} // namespace qb
