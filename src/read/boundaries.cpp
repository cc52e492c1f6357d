#include "read/boundaries.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "format/format.h"
#include "format/utf16.h"
#include "read/columns.h"

namespace vorn::codec {

namespace {

using format::length_digits_of;

// Bytes a row element needs in view to be read without resuming: the
// digit-count character, up to 16 digits (four bytes each should they be
// something else) and one character after them, which settles how a
// malformed prefix is reported.
constexpr size_t kLookahead = 80;

// Sixteen bytes of 0x80 then sixteen of 0: the sixteen bytes from
// kHighBits + 16 - n select the high bits of the first n bytes of a text.
alignas(32) constexpr uint8_t kHighBits[32] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                               0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Of the sequences whose first byte lies in data[0..64): how many there are
// (the bytes that are not continuation bytes) and how many of them take
// four bytes, so two UTF-16 units. A block of ASCII, the common case in
// long text, is settled by one test of the four vectors' high bits.
struct BlockCount {
    unsigned sequences;
    unsigned astral;
};

inline BlockCount count_block(const uint8_t* data) {
#if defined(__SSE2__)
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48));
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0) return {64, 0};
    // Continuation bytes are -128..-65 as signed bytes; bytes from 0xF0 up
    // are those left unchanged by an unsigned maximum with 0xF0. Each
    // compare gives -1 per matching byte.
    const __m128i continuation_top = _mm_set1_epi8(-65);
    const __m128i four = _mm_set1_epi8(char(0xF0));
    __m128i cont = _mm_add_epi8(_mm_add_epi8(_mm_cmpgt_epi8(continuation_top, a), _mm_cmpgt_epi8(continuation_top, b)),
                                _mm_add_epi8(_mm_cmpgt_epi8(continuation_top, c), _mm_cmpgt_epi8(continuation_top, d)));
    __m128i astral = _mm_add_epi8(
        _mm_add_epi8(_mm_cmpeq_epi8(_mm_max_epu8(a, four), a), _mm_cmpeq_epi8(_mm_max_epu8(b, four), b)),
        _mm_add_epi8(_mm_cmpeq_epi8(_mm_max_epu8(c, four), c), _mm_cmpeq_epi8(_mm_max_epu8(d, four), d)));
    // Negated counts (0..4 per lane) summed across lanes.
    const __m128i zero = _mm_setzero_si128();
    cont = _mm_sad_epu8(_mm_sub_epi8(zero, cont), zero);
    astral = _mm_sad_epu8(_mm_sub_epi8(zero, astral), zero);
    const unsigned n_cont = unsigned(_mm_cvtsi128_si32(cont) + _mm_extract_epi16(cont, 4));
    const unsigned n_astral = unsigned(_mm_cvtsi128_si32(astral) + _mm_extract_epi16(astral, 4));
    return {64 - n_cont, n_astral};
#else
    uint8_t sequences = 0, astral = 0;
    for (int k = 0; k < 64; ++k) {
        const uint8_t b = data[k];
        sequences += uint8_t(int8_t(b) >= -64);
        astral += uint8_t(b >= 0xF0);
    }
    return {sequences, astral};
#endif
}

// UTF-16 units of the sequences that begin in data[0..n).
int64_t units_of_bytes(const uint8_t* data, size_t n) {
    int64_t units = 0;
    for (size_t k = 0; k < n; ++k) units += int64_t(!is_continuation(data[k])) + int64_t(data[k] >= 0xF0);
    return units;
}

// Decodes the UTF-8 sequence at data[p] as a strict decoder does: false
// when it is not valid (overlong, a surrogate, beyond U+10FFFF, cut short).
bool decode_one(const uint8_t* data, size_t length, size_t p, uint32_t* cp, size_t* bytes) {
    const uint8_t b = data[p];
    size_t n;
    uint32_t value;
    uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (b < 0x80) {
        *cp = b;
        *bytes = 1;
        return true;
    } else if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        value = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        value = b & 0x0F;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        value = b & 0x07;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return false;
    }
    if (length - p < n) return false;
    if (data[p + 1] < lo || data[p + 1] > hi) return false;
    for (size_t k = 1; k < n; ++k) {
        if (!is_continuation(data[p + k])) return false;
        value = (value << 6) | (data[p + k] & 0x3F);
    }
    *cp = value;
    *bytes = n;
    return true;
}

}  // namespace

template <typename Sink>
typename BasicBoundaryFinder<Sink>::Step BasicBoundaryFinder<Sink>::token_fault(const uint8_t* data, size_t length, size_t p, int64_t u16) {
    uint32_t cp;
    size_t bytes;
    if (!decode_one(data, length, p, &cp, &bytes)) {
        fault_ = {BoundaryFault::Kind::InvalidUtf8, 0, u16, rows_, base_ + int64_t(p)};
    } else {
        fault_ = {BoundaryFault::Kind::UnexpectedToken, cp, u16, rows_, base_ + int64_t(p)};
    }
    return Step::Malformed;
}

template <typename Sink>
typename BasicBoundaryFinder<Sink>::Step BasicBoundaryFinder<Sink>::end_fault(const uint8_t* data, size_t length, size_t p) {
    const int64_t total = u16_ + units_of_bytes(data + p, length - p);
    fault_ = {BoundaryFault::Kind::UnexpectedEnd, 0, total, rows_, base_ + int64_t(length)};
    return Step::Malformed;
}

// A length prefix at data[p] that holds a non-digit or that the end of the
// input cuts short. Its digits are code points, not bytes: a non-digit may
// be any character.
template <typename Sink>
typename BasicBoundaryFinder<Sink>::Step BasicBoundaryFinder<Sink>::prefix_fault(const uint8_t* data, size_t length, size_t p) {
    const int64_t h = length_digits_of(data[p]);
    size_t q = p + 1;
    int64_t units = 1;
    int64_t read = 0;
    bool found = false;
    uint32_t bad = 0;
    int64_t bad_u16 = 0;
    size_t bad_byte = 0;
    while (read < h && q < length) {
        uint32_t cp;
        size_t bytes;
        if (!decode_one(data, length, q, &cp, &bytes)) {
            fault_ = {BoundaryFault::Kind::InvalidUtf8, 0, u16_ + units, rows_, base_ + int64_t(q)};
            return Step::Malformed;
        }
        if (!found && !format::is_decimal_digit(cp)) {
            found = true;
            bad = cp;
            bad_u16 = u16_ + units;
            bad_byte = q;
        }
        units += cp >= 0x10000 ? 2 : 1;
        q += bytes;
        ++read;
    }
    if (found && read == h && q < length) {
        // A character follows the digits: the non-digit is the report
        // whatever the rest of the document holds.
        fault_ = {BoundaryFault::Kind::UnexpectedToken, bad, bad_u16, rows_, base_ + int64_t(bad_byte)};
        return Step::Malformed;
    }
    // The digits reach the end of the input (only a final chunk gets here).
    const int64_t total = u16_ + units + units_of_bytes(data + q, length - q);
    if (found && read == h) {
        // Digits that end the input: parse reports the non-digit when the
        // document holds a character from U+10000 up (in a payload, or
        // among these digits), and an unexpected end otherwise.
        if (seen_astral_ || (units - 1) > read) {
            fault_ = {BoundaryFault::Kind::UnexpectedToken, bad, bad_u16, rows_, base_ + int64_t(bad_byte)};
            return Step::Malformed;
        }
    }
    fault_ = {BoundaryFault::Kind::UnexpectedEnd, 0, total, rows_, base_ + int64_t(length)};
    return Step::Malformed;
}

// Hops the rest of a payload: Done when it ends inside data (pos then just
// after it), More when data ends first, Malformed when the declared length
// ends inside a character of two UTF-16 units or the input ends.
template <typename Sink>
typename BasicBoundaryFinder<Sink>::Step BasicBoundaryFinder<Sink>::hop_payload(const uint8_t* data, size_t length, size_t& pos, bool final) {
    size_t p = pos;
    int64_t owed = owed_;
    if (owed > 0) {
        // A block of 64 bytes adds at most 65 units (a four-byte sequence
        // may begin at its last byte), so while more are owed the payload
        // cannot end inside it.
        while (owed > 66 && length - p >= 64) {
            const BlockCount block = count_block(data + p);
            const unsigned units = block.sequences + block.astral;
            seen_astral_ |= block.astral != 0;
            owed -= units;
            u16_ += units;
            p += 64;
        }
        while (owed > 0 && p < length) {
            const uint8_t b = data[p];
            if (is_continuation(b)) {
                ++p;
                continue;
            }
            if (b >= 0xF0) {
                if (owed == 1) {
                    if (!final && length - p < 4) break;
                    // The declared length ends between the two units of
                    // this character: parse reports its second unit.
                    uint32_t cp;
                    size_t bytes;
                    if (!decode_one(data, length, p, &cp, &bytes)) {
                        fault_ = {BoundaryFault::Kind::InvalidUtf8, 0, u16_, rows_, base_ + int64_t(p)};
                    } else {
                        fault_ = {BoundaryFault::Kind::UnexpectedToken, format::trailing_surrogate(cp), u16_ + 1,
                                  rows_, base_ + int64_t(p)};
                    }
                    pos = p;
                    return Step::Malformed;
                }
                seen_astral_ = true;
                owed -= 2;
                u16_ += 2;
            } else {
                owed -= 1;
                u16_ += 1;
            }
            ++p;
        }
        owed_ = owed;
        if (owed > 0) {
            pos = p;
            if (final) return end_fault(data, length, length);
            return Step::More;
        }
    }
    // The rest of the payload's last character.
    while (p < length && is_continuation(data[p])) ++p;
    pos = p;
    if (p == length && !final) return Step::More;
    in_payload_ = false;
    return Step::Done;
}

template <typename Sink>
typename BasicBoundaryFinder<Sink>::Step BasicBoundaryFinder<Sink>::feed(const uint8_t* data, size_t length, size_t* pos, bool final) {
    size_t p = *pos;
    if (in_payload_) {
        const Step step = hop_payload(data, length, p, final);
        if (step != Step::Done) {
            if (step == Step::More) base_ += int64_t(p);
            *pos = p;
            return step;
        }
    }
    // The counters live in locals while the loop runs: the bytes read are
    // of a character type, which may alias the members, so the compiler
    // would otherwise store and reload the members at every byte.
    int64_t u16 = u16_;
    int64_t rows = rows_;
    bool after_terminator = after_terminator_;
    const int64_t cut_at = next_cut_ - base_;  // as an index into data
    Step step = Step::More;
    bool stopped = false;  // the sink refused
    while (p < length) {
        const uint8_t c = data[p];
        if (c == ';') {
            if constexpr (Sink::kCells) {
                if (!sink_->row_end(u16)) {
                    step = Step::Malformed;
                    stopped = true;
                    break;
                }
            }
            ++p;
            ++u16;
            ++rows;
            after_terminator = true;
            if (int64_t(p) >= cut_at) {
                cut_offset_ = base_ + int64_t(p);
                next_cut_ = cut_offset_ + size_;
                step = Step::Cut;
                break;
            }
            continue;
        }
        if (!final && length - p < kLookahead) break;
        after_terminator = false;
        const int64_t h = length_digits_of(c);
        if (h == 0 || p + 1 + size_t(h) >= length) {
            step = Step::Malformed;
            break;
        }
        int64_t n;
        const uint32_t d0 = uint32_t(data[p + 1]) - '0';
        const uint32_t d1 = uint32_t(data[p + 2]) - '0';
        if (h <= 2) {
            // One or two digits, the lengths of short cells, read without a
            // branch on which (the lengths of a table's cells vary at random).
            const uint32_t two = uint32_t(h) - 1;
            if ((d0 > 9) | (two & (d1 > 9))) {
                step = Step::Malformed;
                break;
            }
            n = int64_t(d0 * (1 + 9 * two) + (d1 & -two));
        } else {
            n = 0;
            int64_t j = 1;
            for (; j <= h; ++j) {
                const uint32_t d = uint32_t(data[p + j]) - '0';
                if (d > 9) break;
                n = n * 10 + int64_t(d);
            }
            if (j <= h) {
                step = Step::Malformed;
                break;
            }
        }
        const int64_t prefix_u16 = u16;
        p += 1 + size_t(h);
        u16 += 1 + h;
        if (n == 0) {
            if constexpr (Sink::kCells) {
                if (!sink_->cell(data + p, 0, prefix_u16, u16)) {
                    step = Step::Malformed;
                    stopped = true;
                    break;
                }
            }
            continue;
        }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // A short payload of ASCII text, checked in two words against a
        // mask of its n bytes' high bits.
        if (n <= 16 && length - p >= 16) {
            uint64_t a, b, ma, mb;
            std::memcpy(&a, data + p, 8);
            std::memcpy(&b, data + p + 8, 8);
            std::memcpy(&ma, kHighBits + 16 - n, 8);
            std::memcpy(&mb, kHighBits + 24 - n, 8);
            if (((a & ma) | (b & mb)) == 0) {
                if constexpr (Sink::kCells) {
                    if (!sink_->cell(data + p, size_t(n), prefix_u16, u16 + n)) {
                        step = Step::Malformed;
                        stopped = true;
                        break;
                    }
                }
                p += size_t(n);
                u16 += n;
                continue;
            }
        }
#endif
        u16_ = u16;
        rows_ = rows;
        owed_ = n;
        in_payload_ = true;
        const size_t payload_start = p;
        const Step hop = hop_payload(data, length, p, final);
        u16 = u16_;
        if (hop != Step::Done) {
            step = hop;
            break;
        }
        if constexpr (Sink::kCells) {
            if (!sink_->cell(data + payload_start, p - payload_start, prefix_u16, u16)) {
                step = Step::Malformed;
                stopped = true;
                break;
            }
        }
    }
    u16_ = u16;
    rows_ = rows;
    after_terminator_ = after_terminator;
    *pos = p;
    switch (step) {
        case Step::Cut:
            return step;
        case Step::Malformed:
            if (stopped) {
                fault_ = {BoundaryFault::Kind::Stopped, 0, u16_, rows_, base_ + int64_t(p)};
                return step;
            }
            if (in_payload_) return step;  // reported by the hop
            // A row element that is not one, or a prefix that is malformed
            // or cut short by the end of the input.
            if (length_digits_of(data[p]) == 0) return token_fault(data, length, p, u16_);
            return prefix_fault(data, length, p);
        default:
            break;
    }
    if (final && !in_payload_) {
        if (p == length && after_terminator_) return Step::Done;
        return end_fault(data, length, p);
    }
    base_ += int64_t(p);
    return Step::More;
}

template class BasicBoundaryFinder<NullSink>;
template class BasicBoundaryFinder<ColumnSink>;
template class BasicBoundaryFinder<FirstRowSink>;

}  // namespace vorn::codec
