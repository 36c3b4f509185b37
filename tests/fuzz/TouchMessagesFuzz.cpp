// Fuzzes the input connection's reader: any bytes, cut into reads of any
// size, must decode without fault, never hold a whole message back, and turn
// any scroll amounts into finite remainders and clamped pixel counts; a
// connection that did not begin with a message yields none.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "transport/InputProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    // The first byte picks how the rest is cut into reads.
    const std::size_t step = 1 + data[0] % 64;
    std::span<const std::uint8_t> rest(data + 1, size - 1);

    // Judged by the first two bytes after the one that picks the cuts.
    const auto& magic = qb::TOUCH_MESSAGE_MAGIC;
    const bool beganAsADevice = (size < 2 || data[1] == magic[0]) && (size < 3 || data[2] == magic[1]);
    qb::TouchStreamState state;
    qb::ScrollRemainders remainders;
    while (!rest.empty()) {
        const std::size_t n = std::min(step, rest.size());
        const auto messages = qb::walkTouchMessages(state, rest.first(n));
        if (!beganAsADevice && !messages.empty()) std::abort();
        for (const auto& message : messages) {
            qb::scrollPixels(message.dx, message.dy, remainders);
            if (!std::isfinite(remainders.x) || !std::isfinite(remainders.y)) std::abort();
            if (std::fabs(remainders.x) >= 1.0 || std::fabs(remainders.y) >= 1.0) std::abort();
            const auto bytes = qb::encodeTouchMessage(message);
            if (bytes[0] != qb::TOUCH_MESSAGE_MAGIC[0] || bytes[1] != qb::TOUCH_MESSAGE_MAGIC[1]) std::abort();
        }
        if (state.pending.size() >= qb::TOUCH_MESSAGE_SIZE) std::abort();
        rest = rest.subspan(n);
    }
    if (state.refused == beganAsADevice) std::abort();
    return 0;
}
