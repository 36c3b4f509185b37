#include "cli/TerminalQRCode.h"

#include <memory>

#include <qrencode.h>

namespace qb::cli {

std::string terminalQRCode(std::string_view text, bool colours)
{
    const std::string input(text);
    const std::unique_ptr<QRcode, void (*)(QRcode*)> code(
        QRcode_encodeString(input.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), QRcode_free);
    if (!code) return {};
    constexpr int QUIET = 4;
    const int width = code->width;
    const auto dark = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= width || y >= width) return false;
        return (code->data[y * width + x] & 1) != 0;
    };
    std::string lines;
    for (int y = -QUIET; y < width + QUIET; y += 2) {
        if (colours) lines += "\x1b[30;47m";
        for (int x = -QUIET; x < width + QUIET; ++x) {
            const bool top = dark(x, y);
            const bool bottom = dark(x, y + 1);
            lines += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
        }
        lines += colours ? "\x1b[0m\n" : "\n";
    }
    return lines;
}

} // namespace qb::cli
