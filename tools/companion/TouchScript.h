// Scripted touch input for the input port: a script such as
//
//   "down 0.5 0.5; move 0.6 0.5; up 0.6 0.5; scroll 0 0.01; wait 100"
//
// becomes touch messages (down/move/up carry x y as fractions of the
// display, scroll carries dx dy) and pauses in milliseconds.
//
// Touch message, device to host, exactly 23 bytes, little-endian:
//
//    0      2      3           7           11          15          19          23
//   +------+------+-----------+-----------+-----------+-----------+-----------+
//   | DA 70| type |  x (f32)  |  y (f32)  | dx (f32)  | dy (f32)  | (zeros)   |
//   +------+------+-----------+-----------+-----------+-----------+-----------+
//   type 1 = down, 2 = move, 3 = up, 4 = scroll
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb::companion {

inline constexpr std::size_t TOUCH_BYTES = 23;

std::array<std::uint8_t, TOUCH_BYTES> encodeTouch(std::uint8_t type, float x, float y, float dx, float dy);

struct TouchStep {
    std::optional<std::array<std::uint8_t, TOUCH_BYTES>> message; // absent for a pause
    int waitMs = 0;
};

// The steps of a script, or nullopt with `error` naming the bad step.
std::optional<std::vector<TouchStep>> parseTouchScript(std::string_view script, std::string& error);

} // namespace qb::companion
