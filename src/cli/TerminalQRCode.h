// A QR code drawn with text, for `quillbright tablet` in Wi-Fi mode: the
// tablet's camera reads the page's address off the terminal instead of the
// user typing it. Two modules per character cell (upper and lower half
// blocks), black on white by ANSI colours so it reads on dark and light
// terminals alike, inside the four-module quiet zone readers need.
#pragma once

#include <string>
#include <string_view>

namespace qb::cli {

// The lines of the code for `text`, each ending in a line feed; empty when
// the text cannot be encoded. Without `colours` (output to a pipe or file)
// no escape codes are written.
std::string terminalQRCode(std::string_view text, bool colours = true);

} // namespace qb::cli
