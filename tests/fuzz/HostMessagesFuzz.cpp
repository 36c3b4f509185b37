// Fuzzes the companion's reader of the host's stream: any bytes, in reads of
// any size, either yield well-formed messages or a single violation, and the
// reader never holds more than it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>

#include "transport/FrameProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t step = 1 + data[0] % 61;
    std::span<const std::uint8_t> rest(data + 1, size - 1);

    qb::HostMessageReader reader(1 << 16);
    std::size_t given = 0, taken = 0;
    while (!rest.empty()) {
        const std::size_t n = std::min(step, rest.size());
        reader.append(rest.first(n));
        given += n;
        while (auto message = reader.next()) {
            if (const auto* frame = std::get_if<qb::FrameMessage>(&*message)) {
                if (frame->payload.size() > (1u << 16)) std::abort();
                // Re-encoding gives back the bytes it came from.
                taken += qb::encodeFrameMessage(frame->payload, frame->isKeyframe, frame->sequenceNumber).size();
            } else {
                const auto& command = std::get<qb::CommandMessage>(*message);
                const auto expected = qb::commandMessageSize(static_cast<std::uint8_t>(command.code));
                if (!expected) std::abort();
                taken += *expected;
            }
        }
        if (taken + reader.buffered() > given && !reader.failed()) std::abort();
        rest = rest.subspan(n);
    }
    return 0;
}
