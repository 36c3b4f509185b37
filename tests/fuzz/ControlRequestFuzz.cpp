// Control-socket requests are bytes from any local process: decoding,
// splitting, the typed reading and the argument parsers must take anything,
// and what they read must be a verb of the table with its own kind of value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "control/ControlRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = qb::decodeControlRequest(bytes);
    if (text.size() > 3 * qb::CONTROL_REQUEST_INTERPRETED_BYTES) __builtin_trap();
    const auto request = qb::splitControlRequest(text);
    const auto parsed = qb::parseControlRequest(text);
    if (const auto* typed = std::get_if<qb::ControlRequest>(&parsed)) {
        if (qb::controlVerb(typed->verb).word != request.command) __builtin_trap();
        if (const auto* real = std::get_if<double>(&typed->argument)) {
            const auto& entry = qb::controlVerb(typed->verb);
            if (!(*real >= entry.minimum && *real <= entry.maximum)) __builtin_trap();
        }
    } else if (std::get<qb::ControlRefusal>(parsed).reply.rfind("ERR ", 0) != 0) {
        __builtin_trap();
    }
    const auto [valid, value] = qb::validateByteValue(request.argument);
    if (valid && (value < 0 || value > 255)) __builtin_trap();
    if (request.argument) {
        (void)qb::parseWholeDouble(*request.argument);
        (void)qb::parseLogFilter(request.argument);
    }
    (void)qb::parseWholeDouble(bytes);
    return 0;
}
