#include "companion/TouchScript.h"

#include <bit>
#include <cmath>
#include <sstream>

namespace qb::companion {

namespace {

void putFloat(std::uint8_t* out, float value)
{
    auto bits = std::bit_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

} // namespace

std::array<std::uint8_t, TOUCH_BYTES> encodeTouch(std::uint8_t type, float x, float y, float dx, float dy)
{
    std::array<std::uint8_t, TOUCH_BYTES> message{0xDA, 0x70, type};
    putFloat(&message[3], x);
    putFloat(&message[7], y);
    putFloat(&message[11], dx);
    putFloat(&message[15], dy);
    return message;
}

std::optional<std::vector<TouchStep>> parseTouchScript(std::string_view script, std::string& error)
{
    std::vector<TouchStep> steps;
    std::string text(script);
    std::stringstream all(text);
    std::string item;
    while (std::getline(all, item, ';')) {
        std::istringstream in(item);
        std::string verb;
        if (!(in >> verb)) continue; // empty step
        TouchStep step;
        double a = 0, b = 0;
        std::string rest;
        if (verb == "wait") {
            int ms = 0;
            if (!(in >> ms) || ms < 0 || ms > 60000 || (in >> rest)) {
                error = "bad step \"" + item + "\": wait takes milliseconds (0-60000)";
                return std::nullopt;
            }
            step.waitMs = ms;
        } else {
            std::uint8_t type = verb == "down" ? 1 : verb == "move" ? 2 : verb == "up" ? 3 : verb == "scroll" ? 4 : 0;
            if (type == 0 || !(in >> a >> b) || (in >> rest) || !std::isfinite(a) || !std::isfinite(b)) {
                error = "bad step \"" + item + "\": expected down|move|up X Y, scroll DX DY or wait MS";
                return std::nullopt;
            }
            const auto fa = static_cast<float>(a), fb = static_cast<float>(b);
            step.message = type == 4 ? encodeTouch(type, 0, 0, fa, fb) : encodeTouch(type, fa, fb, 0, 0);
        }
        steps.push_back(step);
    }
    if (steps.empty()) {
        error = "empty touch script";
        return std::nullopt;
    }
    return steps;
}

} // namespace qb::companion
