// The read grammar, written once for every reader: what a row element is,
// how a cell's length prefix is read, how far a payload reaches, and how
// each malformation is reported. Nothing here touches the interpreter.
//
// A reader is this core plus a *sink*. The core walks the elements that lie
// whole in the text it is shown and hands the sink each cell and each row
// end; it stops at the first element it cannot finish in view, at a fault,
// or when the sink asks it to. Readers built on it:
//   - the object builder (read/scanner.h: parse and vorn_io.Decoder), whose
//     sink makes a str of each cell and a list of each row;
//   - the boundary finder (read/boundaries.h: vorn_io.partitions), whose sink
//     keeps nothing but the row ends where a range may end;
//   - any other, such as a columnar builder appending each cell's text to
//     per-column buffers: it supplies the three members below.
//
// The text is a run of units of one Encoding:
//   Ucs1, Ucs2, Ucs4  a str's storage (Py_UCS1/2/4): one unit per code point;
//   Utf8              bytes of UTF-8: the digits and the structure are ASCII,
//                     payload lengths are still counted in UTF-16 units.
//
// The sink interface (all members force-inlined into the loop):
//
//   bool cell(const Unit* text, size_t units, int64_t utf16, uint32_t widest);
//       A complete cell: its payload is text[0..units), utf16 UTF-16 units
//       long (the declared length). widest is, for Ucs4, a value no smaller
//       than the largest code point and in the same storage class (below
//       0x80, 0x100, 0x10000 or not); for Utf8, 0x10000 when the bytes hold
//       one from 0xF0 up (a character from U+10000 up) and less otherwise;
//       0 for Ucs1 and Ucs2. For Utf8 the bytes are exactly the payload's,
//       unchecked: the sink validates them if it needs valid UTF-8. False stops the walk (Stop::Sink), the cell
//       not consumed.
//   bool row_end(size_t next, int64_t rows);
//       A ';' ended a row: next is the index just past it, rows the rows
//       ended so far (this one included). False stops the walk after it
//       (Stop::Sink), the row counted and consumed.
//   size_t lookahead() const;   (optional)
//       The units an element needs in view before it is read; elements
//       closer to the end of the view stop the walk with Stop::Cut. A
//       reader of chunks that hands the tail back wants enough to settle
//       any prefix (read/boundaries.h); without the member, 0.
//
// The walk stops with Stop::Cut at an element that does not lie whole in
// view with at least one unit after it, so that a reader of pieces can take
// that element up again with more text (the scanner reads the rest unit by
// unit; the boundary finder hands the tail back to its caller). At the end
// of the input, a cut element is a malformation: prefix_fault and
// digits_end_report give the report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/portable.h"
#include "format/format.h"
#include "format/utf16.h"
#include "format/utf8.h"
#include "read/fault.h"

namespace vorn::codec::grammar {

// --- Encodings ---------------------------------------------------------------

struct Ucs1 {
    using Unit = uint8_t;
    static constexpr bool kUtf16Units = true;  // every unit is one UTF-16 unit
};
struct Ucs2 {
    using Unit = uint16_t;
    static constexpr bool kUtf16Units = true;
};
struct Ucs4 {
    using Unit = uint32_t;
    static constexpr bool kUtf16Units = false;
};
struct Utf8 {
    using Unit = uint8_t;
    static constexpr bool kUtf16Units = false;
};

// The code point at text[at] (at < length), its length in units, and its
// UTF-16 length; units 0 when the bytes there are not valid UTF-8.
struct Char {
    uint32_t cp;
    size_t units;
    int utf16;
};

template <typename Enc>
inline Char char_at(const typename Enc::Unit* text, size_t length, size_t at) {
    if constexpr (std::is_same_v<Enc, Utf8>) {
        uint32_t cp = 0;
        const size_t n = format::decode_utf8(text + at, length - at, &cp);
        return {cp, n, cp >= 0x10000u ? 2 : 1};
    } else {
        const uint32_t cp = text[at];
        return {cp, 1, cp >= 0x10000u ? 2 : 1};
    }
}

// --- The rules ---------------------------------------------------------------

// Where the walk stopped.
enum class Stop : uint8_t {
    End,    // every unit in view was read
    Cut,    // the element at the index does not lie whole in view: see Cut
    Fault,  // the document is malformed: see the Fault
    Sink,   // the sink asked to stop
};

// The element a walk stopped at with Stop::Cut.
struct Cut {
    int64_t digits = 0;     // digits its prefix announces (0: the prefix was not read)
    int64_t length = 0;     // its declared length, when prefix_whole
    bool prefix_whole = false;
};

// The counters a walk carries from element to element.
struct Counters {
    int64_t u16 = 0;       // UTF-16 units before the walk's index
    int64_t rows = 0;      // rows ended
    int64_t row_size = 0;  // units of the open row so far (kept only with a limit)
    bool after_terminator = false;  // the last unit read was a ';'
    bool astral = false;  // (Utf8) a payload held a character from U+10000 up
};

// The row-size rule: the most UTF-16 units a row may take in the document,
// prefixes and terminator included. A cell is refused, before its payload is
// read, when the row with it and a terminator would pass the limit.
inline constexpr bool passes_limit(int64_t row_size, int64_t digits, int64_t length, int64_t limit) {
    return row_size + 2 + digits + length > limit;
}
inline constexpr int64_t cell_size(int64_t digits, int64_t length) { return 1 + digits + length; }

// The end-of-input rule. Length digits that hold a non-digit and end exactly
// at the end of the input are reported as that non-digit when the document
// holds a character from U+10000 up, and as an unexpected end otherwise.
inline constexpr Fault::Kind digits_end_report(bool document_has_astral) {
    return document_has_astral ? Fault::Kind::UnexpectedToken : Fault::Kind::UnexpectedEnd;
}

// Builders of each fault, out of the loops.
VORN_COLD inline void fault_at(Fault& f, Fault::Kind kind, uint32_t ch, int64_t position, int64_t row,
                               int64_t byte) {
    f = Fault{};
    f.kind = kind;
    f.ch = ch;
    f.position = position;
    f.row = row;
    f.byte = byte;
}

VORN_COLD inline void token_at(Fault& f, uint32_t ch, int64_t position, int64_t row, int64_t byte = -1) {
    fault_at(f, Fault::Kind::UnexpectedToken, ch, position, row, byte);
}

VORN_COLD inline void end_at(Fault& f, int64_t length, int64_t row, int64_t byte = -1) {
    fault_at(f, Fault::Kind::UnexpectedEnd, 0, length, row, byte);
}

VORN_COLD inline void row_too_long(Fault& f, int64_t position, int64_t row, int64_t byte = -1) {
    fault_at(f, Fault::Kind::RowTooLong, 0, position, row, byte);
}

// (Only UTF-8 text has invalid sequences; the template spares the other
// encodings' walks a conversion that never runs.)
template <typename Unit>
VORN_COLD void invalid_utf8(Fault& f, const Unit* bytes, size_t available, int64_t position, int64_t row,
                            int64_t byte) {
    f = Fault{};
    f.kind = Fault::Kind::InvalidUtf8;
    f.position = position;
    f.row = row;
    f.byte = byte;
    f.byte_count = uint8_t(available < 4 ? available : 4);
    for (uint8_t k = 0; k < f.byte_count; ++k) f.bytes[k] = uint8_t(bytes[k]);
}

// The four-byte rule: a declared length that ends between the two UTF-16
// units of the character cp, whose payload ends at the UTF-16 offset end,
// is reported as the character's second unit, there.
VORN_COLD inline void split_character(Fault& f, uint32_t cp, int64_t end, int64_t row, int64_t byte = -1) {
    token_at(f, format::trailing_surrogate(cp), end, row, byte);
}

// A row element at text[at] that is not one: its first code point is the report.
template <typename Enc>
VORN_COLD void element_fault(Fault& f, const typename Enc::Unit* text, size_t length, size_t at, int64_t u16,
                             int64_t row) {
    const Char c = char_at<Enc>(text, length, at);
    if (c.units == 0)
        invalid_utf8(f, text + at, length - at, u16, row, int64_t(at));
    else
        token_at(f, c.cp, u16, row, int64_t(at));
}

// A length prefix at text[at] (u16 its UTF-16 offset) that holds a non-digit
// or that the end of the view cuts short, read code point by code point. at
// names a digit-count character. With a code point after the digits, the
// first non-digit is the report whatever follows; when the digits run to the
// end of the view, it is the end of the input, and the end-of-input rule
// decides (document_has_astral: a character from U+10000 up lies before the
// prefix). Byte offsets are indexes into text.
template <typename Enc>
VORN_COLD void prefix_fault(Fault& f, const typename Enc::Unit* text, size_t length, size_t at, int64_t u16,
                            int64_t row, bool document_has_astral) {
    const int64_t digits = format::length_digits_of(text[at]);
    size_t q = at + 1;
    int64_t units = 1;
    int64_t read = 0;
    bool found = false;
    uint32_t bad = 0;
    int64_t bad_u16 = 0;
    size_t bad_at = 0;
    bool astral = document_has_astral;
    while (read < digits && q < length) {
        const Char c = char_at<Enc>(text, length, q);
        if (c.units == 0) {
            invalid_utf8(f, text + q, length - q, u16 + units, row, int64_t(q));
            return;
        }
        if (!found && !format::is_decimal_digit(c.cp)) {
            found = true;
            bad = c.cp;
            bad_u16 = u16 + units;
            bad_at = q;
        }
        astral |= c.utf16 == 2;
        units += c.utf16;
        q += c.units;
        ++read;
    }
    if (found && read == digits && (q < length || digits_end_report(astral) == Fault::Kind::UnexpectedToken)) {
        token_at(f, bad, bad_u16, row, int64_t(bad_at));
        return;
    }
    end_at(f, u16 + units, row, int64_t(length));
}

// Value of the decimal digits d[0..count); false when one is not a digit.
// With Branchless, one or two digits, the lengths of short cells, are read
// without a branch on which (the lengths of a table's cells vary at random):
// fewer mispredictions, more instructions, which pays where nothing but the
// prefixes is read (the boundary finder) and not where a string is made of
// every cell.
template <bool Branchless, typename Unit>
VORN_ALWAYS_INLINE bool read_digits(const Unit* d, int64_t count, int64_t& value) {
    if (Branchless && count <= 2) {
        const uint32_t d0 = uint32_t(d[0]) - '0';
        const uint32_t d1 = uint32_t(d[1]) - '0';  // in view: a unit follows the prefix
        const uint32_t two = uint32_t(count) - 1;
        if ((d0 > 9) | (two & (d1 > 9))) return false;
        value = int64_t(d0 * (1 + 9 * two) + (d1 & (0u - two)));
        return true;
    }
    int64_t n = 0;
    for (int64_t j = 0; j < count; ++j) {
        const uint32_t v = uint32_t(d[j]) - '0';
        if (v > 9) return false;
        n = n * 10 + int64_t(v);
    }
    value = n;
    return true;
}

// How far a payload of declared length n, beginning at text[start], reaches.
struct Extent {
    enum class Kind : uint8_t {
        Whole,    // it ends at end, and a unit follows it in view
        Cut,      // it does not lie whole in view with a unit after it
        Split,    // its length ends inside the character cp (two UTF-16 units), at text[end]
        Invalid,  // (Utf8) the bytes at text[end] are no UTF-8 sequence, where the length would end
    };
    Kind kind;
    size_t end;
    uint32_t widest;  // Ucs4: see the sink's cell()
    uint32_t cp;      // Split
};

template <typename Enc>
VORN_ALWAYS_INLINE Extent payload_extent(const typename Enc::Unit* text, size_t start, size_t length, int64_t n) {
    using Kind = Extent::Kind;
    if constexpr (Enc::kUtf16Units) {
        if (uint64_t(n) < length - start) return {Kind::Whole, start + size_t(n), 0, 0};
        return {Kind::Cut, 0, 0, 0};
    } else if constexpr (std::is_same_v<Enc, Ucs4>) {
        // A payload that holds nothing above U+FFFF is as many code points
        // long as its declared length: tried first, and confirmed by one
        // vectorized pass that also gives the cell's storage class (and
        // stops at the first block that holds an astral code point).
        const size_t avail = length - start;
        if (uint64_t(n) < avail) {
            const uint32_t bits = format::fold_bmp(text + start, n);
            if (bits < 0x10000u) return {Kind::Whole, start + size_t(n), bits, 0};
        }
        // Where the declared length ends, by a vector count of the code
        // points above U+FFFF.
        const format::Ucs4Hop hop = format::hop_ucs4(text + start, avail, n);
        const size_t end = start + hop.points;
        if (hop.units > n) return {Kind::Split, end - 1, 0, text[end - 1]};
        if (hop.units < n || end == length) return {Kind::Cut, 0, 0, 0};
        // A whole payload found this way holds a code point above U+FFFF:
        // its code points are fewer than its length, or the fold over them
        // found one. (The fold itself may pass U+10FFFF.)
        return {Kind::Whole, end, 0x10FFFFu, 0};
    } else {
        const size_t avail = length - start;
        if (n == 0) return avail > 0 ? Extent{Kind::Whole, start, 0, 0} : Extent{Kind::Cut, 0, 0, 0};
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // A short payload of ASCII text, checked in two words against a
        // mask of its n bytes' high bits.
        if (n <= 16 && avail > 16) {
            uint64_t a, b, ma, mb;
            std::memcpy(&a, text + start, 8);
            std::memcpy(&b, text + start + 8, 8);
            std::memcpy(&ma, format::kHighBits + 16 - n, 8);
            std::memcpy(&mb, format::kHighBits + 24 - n, 8);
            if (((a & ma) | (b & mb)) == 0) return {Kind::Whole, start + size_t(n), 0, 0};
        }
#endif
        const format::Utf16Hop hop = format::hop_utf16(text + start, avail, n);
        size_t at = start + hop.bytes;
        if (hop.units == n) {
            // The rest of the payload's last character.
            while (at < length && format::is_continuation(text[at])) ++at;
            if (at < length) return {Kind::Whole, at, hop.astral ? 0x10000u : 0u, 0};
            return {Kind::Cut, 0, 0, 0};
        }
        if (at == length) return {Kind::Cut, 0, 0, 0};
        // One unit left, and a character of two begins at text[at].
        uint32_t cp = 0;
        if (format::decode_utf8(text + at, length - at, &cp)) return {Kind::Split, at, 0, cp};
        if (length - at < 4) return {Kind::Cut, 0, 0, 0};  // more bytes may complete it
        return {Kind::Invalid, at, 0, 0};
    }
}

// --- The walk ----------------------------------------------------------------

// What the walk is told besides the text.
struct Rules {
    int64_t limit = INT64_MAX;  // the row-size limit (used when Limited)
    // For the end-of-input rule: the text holds a character from U+10000 up
    // (known from a str's storage; a Utf8 walk also keeps Counters::astral).
    bool document_has_astral = false;
};

template <typename Sink>
VORN_ALWAYS_INLINE size_t lookahead_of(const Sink& sink) {
    if constexpr (requires { sink.lookahead(); })
        return sink.lookahead();
    else
        return 0;
}

// Reads the elements of text[pos..length) that lie whole in view, handing
// each cell and row end to the sink, and returns where and why it stopped,
// with pos at the element it stopped at (or past the row end a sink stopped
// at) and the counters brought up to pos. On Stop::Fault, fault is filled in,
// its byte offset an index into text.
template <typename Enc, bool Limited, typename Sink>
VORN_ALWAYS_INLINE Stop read_elements(const typename Enc::Unit* text, size_t length, size_t& pos, Counters& counters,
                                      Sink& sink, const Rules& rules, Fault& fault, Cut& cut) {
    size_t i = pos;
    int64_t u16 = counters.u16;
    int64_t rows = counters.rows;
    int64_t row_size = counters.row_size;
    bool after_terminator = counters.after_terminator;
    bool astral = counters.astral;
    // Where every unit is one UTF-16 unit, the offset follows from the index
    // and is not kept in the loop.
    const int64_t base = u16 - int64_t(i);
    auto offset = [&](size_t at) { return Enc::kUtf16Units ? base + int64_t(at) : u16 + int64_t(at - i); };
    Stop stop = Stop::End;
    while (i < length) {
        const uint32_t c = text[i];
        if (c == format::kRowTerminator) {
            ++i;
            if constexpr (!Enc::kUtf16Units) ++u16;
            ++rows;
            row_size = 0;
            after_terminator = true;
            if (!sink.row_end(i, rows)) {
                stop = Stop::Sink;
                break;
            }
            continue;
        }
        if (length - i < lookahead_of(sink)) {
            cut = Cut{};
            stop = Stop::Cut;
            break;
        }
        after_terminator = false;
        const int64_t digits = format::length_digits_of(c);
        if (digits == 0) {
            element_fault<Enc>(fault, text, length, i, offset(i), rows);
            stop = Stop::Fault;
            break;
        }
        const size_t start = i + 1 + size_t(digits);
        if (start >= length) {
            cut = Cut{digits, 0, false};
            stop = Stop::Cut;
            break;
        }
        int64_t n = 0;
        if (!read_digits<std::is_same_v<Enc, Utf8>>(text + i + 1, digits, n)) {
            // A unit follows the digits, so this is the report whatever the
            // rest of the document holds (for Utf8, found by code points).
            prefix_fault<Enc>(fault, text, length, i, offset(i), rows, rules.document_has_astral || astral);
            stop = Stop::Fault;
            break;
        }
        if (Limited && passes_limit(row_size, digits, n, rules.limit)) {
            row_too_long(fault, offset(i), rows, int64_t(i));
            stop = Stop::Fault;
            break;
        }
        const Extent e = payload_extent<Enc>(text, start, length, n);
        if (e.kind != Extent::Kind::Whole) [[unlikely]] {
            if (e.kind == Extent::Kind::Cut) {
                cut = Cut{digits, n, true};
                stop = Stop::Cut;
                break;
            }
            const int64_t payload_end = offset(i) + cell_size(digits, n);
            if (e.kind == Extent::Kind::Split)
                split_character(fault, e.cp, payload_end, rows, int64_t(e.end));
            else
                invalid_utf8(fault, text + e.end, length - e.end, payload_end - 1, rows, int64_t(e.end));
            stop = Stop::Fault;
            break;
        }
        if (!sink.cell(text + start, e.end - start, n, e.widest)) {
            stop = Stop::Sink;
            break;
        }
        if constexpr (Limited) row_size += cell_size(digits, n);
        if constexpr (!Enc::kUtf16Units) u16 += cell_size(digits, n);
        if constexpr (std::is_same_v<Enc, Utf8>) astral |= e.widest >= 0x10000u;
        i = e.end;
    }
    if constexpr (Enc::kUtf16Units) u16 = base + int64_t(i);
    counters.u16 = u16;
    counters.rows = rows;
    counters.row_size = row_size;
    counters.after_terminator = after_terminator;
    counters.astral = astral;
    pos = i;
    return stop;
}

}  // namespace vorn::codec::grammar
