// Fuzzes the frame server's acknowledgement reader: any bytes, cut into
// reads of any size, must parse without fault, never keep a whole
// acknowledgement back, and never let the buffer grow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "transport/FrameProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    // The first byte picks how the rest is cut into reads.
    const std::size_t step = 1 + data[0] % 97;
    std::span<const std::uint8_t> rest(data + 1, size - 1);

    qb::AckParser parser;
    std::size_t acks = 0;
    while (!rest.empty()) {
        const std::size_t n = std::min(step, rest.size());
        const auto result = parser.feed(rest.first(n), [&acks](std::uint32_t) { ++acks; });
        if (result.skipped > qb::AckParser::maxSkipsPerChunk) std::abort();
        if (parser.buffered() >= qb::ACK_SIZE) std::abort();
        rest = rest.subspan(n);
    }
    if (acks > size / qb::ACK_SIZE) std::abort();

    // What a device sends must always come back out, whatever came before.
    const auto ack = qb::encodeAck(0xDA7A0006);
    std::uint32_t seen = 0;
    parser.feed({}, nullptr);
    for (int i = 0; i < 3; ++i) {
        parser.feed(ack, [&seen](std::uint32_t seq) { seen = seq; });
    }
    if (seen != 0xDA7A0006) std::abort();
    return 0;
}
