// Fuzzes the readers of sway's control-socket replies: any bytes give an
// output list or nothing, a command result or an error, never a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/wlroots/SwayIpc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    if (auto outputs = qb::wlroots::parseSwayOutputs(reply)) {
        for (const auto& output : *outputs) {
            if (!(output.scale > 0)) std::abort();
        }
    }
    (void)qb::wlroots::swayCommandError(reply);
    return 0;
}
