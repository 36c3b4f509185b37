// Fuzzes the reader of `adb track-devices`: whatever bytes the child prints,
// cut into whatever pieces the pipe delivers, the reader returns without
// fault, every device it returns has a serial and a state without blanks,
// and the lists do not depend on where the pieces were cut.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "device/ADBParsers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace qb::ADBBridge;
    if (size == 0) return 0;
    // The first byte chooses the piece size; the rest is the stream.
    const std::size_t piece = std::size_t(data[0] % 17) + 1;
    const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

    TrackDevicesReader whole;
    const auto expected = whole.feed(stream);
    TrackDevicesReader pieces;
    std::vector<std::vector<TrackedDevice>> got;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        for (auto& list : pieces.feed(stream.substr(at, piece))) got.push_back(std::move(list));
    }
    if (got != expected || pieces.broken() != whole.broken()) std::abort();
    for (const auto& list : got) {
        for (const auto& device : list) {
            if (device.serial.empty() || device.state.empty()) std::abort();
            if (device.serial.find_first_of(" \t\n") != std::string::npos) std::abort();
            if (device.state.find_first_of(" \t\n") != std::string::npos) std::abort();
        }
    }
    return 0;
}
