// What an X client reads from a key event, as text: the keysym of its
// keycode on the keymap as it is now (shifted with Shift), Latin-1 and
// Unicode keysyms as UTF-8, Return as a line break, modifiers as nothing and
// other keys as "<name>". For tests whose client checks what was typed.
#pragma once

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <cstdint>
#include <string>

namespace qb::test {

inline std::string keyEventText(Display* x, const XKeyEvent& event)
{
    int perCode = 0;
    KeySym* syms = XGetKeyboardMapping(x, KeyCode(event.keycode), 1, &perCode);
    KeySym keysym = syms ? syms[0] : NoSymbol;
    if (syms && (event.state & ShiftMask) && perCode > 1 && syms[1] != NoSymbol) keysym = syms[1];
    if (syms) XFree(syms);
    if (keysym >= XK_Shift_L && keysym <= XK_Hyper_R) return "";
    if (keysym == XK_Return) return "\n";
    std::uint32_t c = 0;
    if ((keysym >= 0x20 && keysym < 0x7F) || (keysym >= 0xA0 && keysym <= 0xFF)) c = std::uint32_t(keysym);
    if ((keysym & 0xFF000000) == 0x01000000) c = std::uint32_t(keysym & 0xFFFFFF);
    if (c == 0) return "<" + std::string(XKeysymToString(keysym) ? XKeysymToString(keysym) : "?") + ">";
    std::string out;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
    return out;
}

} // namespace qb::test
