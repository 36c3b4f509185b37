// Fuzzes the frame server's acknowledgement reader: any bytes, cut into
// reads of any size, must parse without fault, never keep a whole
// acknowledgement back, never let the buffer grow, and never take anything
// from a connection that did not begin with an acknowledgement.
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

    // Judged by the first two bytes after the one that picks the cuts.
    const bool beganAsADevice = (size < 2 || data[1] == qb::MAGIC_ACK[0]) && (size < 3 || data[2] == qb::MAGIC_ACK[1]);
    qb::AckParser parser;
    std::size_t acks = 0;
    while (!rest.empty()) {
        const std::size_t n = std::min(step, rest.size());
        const auto result = parser.feed(rest.first(n), [&acks](std::uint32_t) { ++acks; });
        if (result.skipped > qb::AckParser::maxSkipsPerChunk) std::abort();
        if (parser.buffered() >= qb::ACK_SIZE) std::abort();
        if (result.refused && result.acks > 0) std::abort();
        rest = rest.subspan(n);
    }
    if (acks > size / qb::ACK_SIZE) std::abort();
    if (parser.refused() == beganAsADevice) std::abort();

    // Once begun as a device's, what a device sends always comes back out,
    // whatever came since; a refused connection gives nothing more.
    const auto ack = qb::encodeAck(0xDA7A0006);
    std::uint32_t seen = 0;
    parser.feed({}, nullptr);
    for (int i = 0; i < 3; ++i) {
        parser.feed(ack, [&seen](std::uint32_t seq) { seen = seq; });
    }
    if (acks > 0 && seen != 0xDA7A0006) std::abort();
    if (parser.refused() && seen != 0) std::abort();
    return 0;
}
