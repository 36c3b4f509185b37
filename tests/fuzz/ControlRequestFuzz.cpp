// Control-socket requests are bytes from any local process: decoding,
// splitting and the argument parsers must take anything.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "control/ControlRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = qb::decodeControlRequest(bytes);
    if (text.size() > 3 * qb::CONTROL_REQUEST_INTERPRETED_BYTES) __builtin_trap();
    const auto request = qb::parseControlRequest(text);
    const auto [valid, value] = qb::validateByteValue(request.argument);
    if (valid && (value < 0 || value > 255)) __builtin_trap();
    if (request.argument) {
        (void)qb::parseWholeDouble(*request.argument);
        (void)qb::parseLogFilter(request.argument);
    }
    (void)qb::parseWholeDouble(bytes);
    return 0;
}
