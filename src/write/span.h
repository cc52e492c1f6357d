// The part of the result the fast road writes into: from the next unit to
// the end of the room. The short-copy kernels move 8 bytes or 8 units at a
// time whatever a text's length, so they may write past the text's end;
// they take a SlackDst, which only a span hands out, and only for a cell
// whose room it has checked.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "format/format.h"

namespace vorn::codec {

// Units a kernel may write past the end of the text it copies.
inline constexpr Py_ssize_t kSlack = 8;

// Room a cell of n units asks for before the fast road writes it: the
// longest header, and the slack. Texts that the kernels copy with wide
// moves are at most 16 units long, so their header takes at most 3 units
// and leaves more than the slack free.
inline constexpr Py_ssize_t kCellReserve = format::kMaxLengthDigits + 1;
static_assert(kCellReserve - 3 >= kSlack, "the header reserve must cover the kernels' slack");

// A place in the result with at least kSlack writable units past the text
// written there.
template <typename Dst>
class SlackDst {
public:
    Dst* get() const { return p_; }
    unsigned char* bytes() const { return reinterpret_cast<unsigned char*>(p_); }

private:
    explicit SlackDst(Dst* p) : p_(p) {}
    Dst* p_;
    template <typename>
    friend struct Span;
};

// The room from w to end. A span never runs backwards: one made with end
// before w has no room, so nothing is written through it.
template <typename Dst>
struct Span {
    Span(Dst* from, Dst* to) : w(from), end(to < from ? from : to) {}

    Dst* w;
    Dst* end;

    Py_ssize_t room() const { return end - w; }

    // Whether a cell of n units fits with its header and the kernels'
    // slack.
    bool fits_cell(Py_ssize_t n) const { return n + kCellReserve <= end - w; }

    // Where the text of a cell goes whose length takes digits digits,
    // once fits_cell has held for it (which leaves the slack after any text
    // of up to 16 units, whose header takes at most 3).
    SlackDst<Dst> text_of_cell(int digits) const { return SlackDst<Dst>(w + 1 + digits); }
};

}  // namespace vorn::codec
