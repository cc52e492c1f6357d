// The width of text: the one measure the writer uses for a str, for the
// result under construction and for what has been written into it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>

namespace vorn::codec {

// Ordered classes: ASCII, Latin-1, two bytes, four bytes. The value is the
// storage width less one for ASCII, so a str's width is its kind minus its
// ASCII flag, read from its header at once (see str_layout.h).
enum class Width : int { kAscii = 0, kLatin1 = 1, kUcs2 = 2, kUcs4 = 4 };

inline constexpr Width widest(Width a, Width b) { return std::max(a, b); }

// Bytes per code point of a str of this width: the interpreter's kind.
inline constexpr int kind_of_width(Width w) { return w == Width::kAscii ? 1 : int(w); }

// The largest code point a str of this width may hold.
inline constexpr Py_UCS4 maxchar_of_width(Width w) {
    switch (w) {
        case Width::kAscii: return 0x7F;
        case Width::kLatin1: return 0xFF;
        case Width::kUcs2: return 0xFFFF;
        default: return 0x10FFFF;
    }
}

inline constexpr Width width_of_char(Py_UCS4 c) {
    return c < 0x80 ? Width::kAscii : c < 0x100 ? Width::kLatin1 : c < 0x10000 ? Width::kUcs2 : Width::kUcs4;
}

}  // namespace vorn::codec
