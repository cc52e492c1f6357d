// UTF-16 lengths of UTF-8 text, counted without decoding it, and the strict
// decoding of one sequence where a reader must name a character.
//
// A sequence's length in UTF-16 follows from its first byte alone: every
// byte that is not a continuation byte (0x80-0xBF) begins a sequence of one
// unit, and a first byte from 0xF0 up begins one of two. Counting is thus a
// sum over bytes, done 64 bytes at a time with SSE2 where it exists and a
// word at a time elsewhere; which of the two runs is decided here alone, by
// VORN_SSE2_64, so that a build with VORN_NO_SIMD runs the plain code.
//
// The counts hold for any bytes, valid UTF-8 or not: invalid text gets a
// count, never an access outside the bytes given. Nothing here touches the
// interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/portable.h"

#if VORN_SSE2_64
#include <emmintrin.h>
#endif

namespace vorn::format {

inline constexpr bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Sixteen bytes of 0x80 then sixteen of 0: the sixteen bytes from
// kHighBits + 16 - n select the high bits of the first n bytes of a text
// (n <= 16), so that whether they are ASCII is two masked words.
alignas(32) inline constexpr uint8_t kHighBits[32] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                                      0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

// UTF-16 units of the sequence that begins with b (0 for a continuation byte).
inline constexpr int utf16_units_of_byte(uint8_t b) { return int(!is_continuation(b)) + int(b >= 0xF0); }

namespace utf8_detail {

// The plain count of bytes [0, n), one byte at a time: the model that both
// block counters agree with.
inline int64_t units_bytewise(const uint8_t* p, size_t n) {
    int64_t units = 0;
    for (size_t k = 0; k < n; ++k) units += utf16_units_of_byte(p[k]);
    return units;
}

// Units of the eight bytes of w (read little- or big-endian alike: the sum
// does not depend on the order of the bytes); ORs into fours a nonzero value
// when one of them is from 0xF0 up.
inline unsigned units_word(uint64_t w, uint64_t& fours) {
    constexpr uint64_t kLow = 0x0101010101010101ull;
    // A byte begins a sequence unless its top two bits are 10: bit 7 clear,
    // or bit 6 set.
    const uint64_t starts = ((~w >> 7) | (w >> 6)) & kLow;
    // A byte from 0xF0 up has its top four bits set.
    const uint64_t four = (w >> 4) & (w >> 5) & (w >> 6) & (w >> 7) & kLow;
    fours |= four;
    // Each byte of the sum is 0, 1 or 2; multiplying by kLow gathers the
    // eight of them in the top byte.
    return unsigned(((starts + four) * kLow) >> 56);
}

inline uint64_t load_word(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Units of the 64 bytes at p; ORs into fours a nonzero value when one of
// them is from 0xF0 up.
inline unsigned units_block(const uint8_t* p, uint64_t& fours) {
#if VORN_SSE2_64
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0) return 64;
    // As signed bytes the continuation bytes 0x80-0xBF are -128..-65, the
    // ones less than -64; bytes from 0xF0 up are those an unsigned maximum
    // with 0xF0 leaves unchanged. Each compare gives -1 per matching byte.
    const __m128i below = _mm_set1_epi8(-64);
    const __m128i four = _mm_set1_epi8(char(0xF0));
    const __m128i cont = _mm_add_epi8(_mm_add_epi8(_mm_cmpgt_epi8(below, a), _mm_cmpgt_epi8(below, b)),
                                      _mm_add_epi8(_mm_cmpgt_epi8(below, c), _mm_cmpgt_epi8(below, d)));
    const __m128i astral =
        _mm_add_epi8(_mm_add_epi8(_mm_cmpeq_epi8(_mm_max_epu8(a, four), a), _mm_cmpeq_epi8(_mm_max_epu8(b, four), b)),
                     _mm_add_epi8(_mm_cmpeq_epi8(_mm_max_epu8(c, four), c), _mm_cmpeq_epi8(_mm_max_epu8(d, four), d)));
    // Lanes hold -4..0 each: negated and summed across lanes; a four-byte
    // first byte is never a continuation byte, so the units are
    // 64 - continuations + four-byte firsts.
    const __m128i zero = _mm_setzero_si128();
    const __m128i n_cont = _mm_sad_epu8(_mm_sub_epi8(zero, cont), zero);
    const __m128i n_astral = _mm_sad_epu8(_mm_sub_epi8(zero, astral), zero);
    const int conts = _mm_cvtsi128_si32(n_cont) + _mm_extract_epi16(n_cont, 4);
    const int astrals = _mm_cvtsi128_si32(n_astral) + _mm_extract_epi16(n_astral, 4);
    fours |= uint64_t(astrals);
    return unsigned(64 - conts + astrals);
#else
    unsigned units = 0;
    for (int k = 0; k < 64; k += 8) units += units_word(load_word(p + k), fours);
    return units;
#endif
}

#if VORN_SSE2_64
// Units of each of the 16 bytes of x as bytes: 0 for a continuation byte, 2
// for one from 0xF0 up, 1 for any other.
inline __m128i units_per_byte(__m128i x) {
    const __m128i cont = _mm_cmpgt_epi8(_mm_set1_epi8(-64), x);
    const __m128i four = _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(char(0xF0))), x);
    return _mm_sub_epi8(_mm_add_epi8(_mm_set1_epi8(1), cont), four);
}

// Running sums of the 16 bytes of u (byte j: u[0] + ... + u[j]), plus base.
inline __m128i running_sums(__m128i u, __m128i base) {
    u = _mm_add_epi8(u, _mm_slli_si128(u, 1));
    u = _mm_add_epi8(u, _mm_slli_si128(u, 2));
    u = _mm_add_epi8(u, _mm_slli_si128(u, 4));
    u = _mm_add_epi8(u, _mm_slli_si128(u, 8));
    return _mm_add_epi8(u, base);
}

// Byte 15 of x in every byte.
inline __m128i last_byte_everywhere(__m128i x) {
    x = _mm_unpackhi_epi8(x, x);
    x = _mm_shufflehi_epi16(x, 0xFF);
    return _mm_shuffle_epi32(x, 0xFF);
}

// The hop of r units (1 <= r < 128) inside the 64 bytes at p, which hold
// more than r: the bytes whose running unit count is at most r (so up to the
// next sequence's first byte, or to a four-byte first byte when r - 1 units
// precede it), found without a branch from the running counts of the block.
struct BlockHop {
    unsigned bytes;
    unsigned units;
    bool astral;
};

inline BlockHop hop_in_block(const uint8_t* p, unsigned r) {
    __m128i base = _mm_setzero_si128();
    __m128i upto = _mm_setzero_si128();   // -1 per byte whose running count is <= r, summed
    __m128i below = _mm_setzero_si128();  // the same for <= r - 1
    const __m128i at_most = _mm_set1_epi8(char(r));
    const __m128i less = _mm_set1_epi8(char(r - 1));
    int four_mask[4];
    for (int k = 0; k < 4; ++k) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        four_mask[k] = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(char(0xF0))), x));
        const __m128i sums = running_sums(units_per_byte(x), base);
        // Unsigned sums up to 128: a <= b exactly when min(a, b) == a.
        upto = _mm_add_epi8(upto, _mm_cmpeq_epi8(_mm_min_epu8(sums, at_most), sums));
        below = _mm_add_epi8(below, _mm_cmpeq_epi8(_mm_min_epu8(sums, less), sums));
        base = last_byte_everywhere(sums);
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i n_upto = _mm_sad_epu8(_mm_sub_epi8(zero, upto), zero);
    const __m128i n_below = _mm_sad_epu8(_mm_sub_epi8(zero, below), zero);
    const unsigned bytes = unsigned(_mm_cvtsi128_si32(n_upto) + _mm_extract_epi16(n_upto, 4));
    const unsigned bytes_below = unsigned(_mm_cvtsi128_si32(n_below) + _mm_extract_epi16(n_below, 4));
    // Up to bytes, r units, unless the byte there is a four-byte first byte
    // after r - 1: then no byte's running count is r, and both counts agree.
    const unsigned units = bytes_below == bytes ? r - 1 : r;
    const uint64_t fours = uint64_t(uint16_t(four_mask[0])) | (uint64_t(uint16_t(four_mask[1])) << 16) |
                           (uint64_t(uint16_t(four_mask[2])) << 32) | (uint64_t(uint16_t(four_mask[3])) << 48);
    const uint64_t passed = bytes >= 64 ? ~uint64_t(0) : (uint64_t(1) << bytes) - 1;
    return {bytes, units, (fours & passed) != 0};
}
#endif

// Where the bit k (k < 8) of the byte b that is set lies, for every byte:
// the table the selection below ends with.
struct SelectInByte {
    uint8_t at[256][8];
    constexpr SelectInByte() : at{} {
        for (int b = 0; b < 256; ++b) {
            int seen = 0;
            for (int j = 0; j < 8; ++j)
                if ((b >> j) & 1) at[b][seen++] = uint8_t(j);
        }
    }
};
inline constexpr SelectInByte kSelectInByte{};

// The index of the set bit of x that has k set bits below it (k less than
// the bits set), without a loop: each byte's count of set bits, their
// running sums, the byte where the sum passes k, and the bit within it.
inline unsigned select_bit(uint64_t x, uint64_t sums, unsigned k) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    // A byte's running sum is at most 64 and k at most 63: (0x80 + k) - sum
    // never borrows, and keeps its high bit where the sum is at most k.
    const uint64_t at_most = ((0x80 * kOnes) + uint64_t(k) * kOnes - sums) & (0x80 * kOnes);
    const unsigned byte = unsigned((((at_most >> 7) * kOnes) >> 56) & 0xFF);
    const unsigned before = unsigned(((sums << 8) >> (8 * byte)) & 0xFF);
    return 8 * byte + kSelectInByte.at[(x >> (8 * byte)) & 0xFF][k - before];
}

// Running sums of the bytes' counts of set bits of x: byte b holds the bits
// set in bytes 0..b, so the top byte holds them all.
inline uint64_t running_bit_counts(uint64_t x) {
    uint64_t s = x - ((x >> 1) & 0x5555555555555555ull);
    s = (s & 0x3333333333333333ull) + ((s >> 2) & 0x3333333333333333ull);
    s = (s + (s >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return s * 0x0101010101010101ull;
}

#if VORN_SSE2_64
// A hop of k < 64 units that ends inside the 64 bytes at p, when none of
// them is a four-byte first byte: the sequences' first bytes as bits, and
// the one after the k-th is where the hop ends, past the continuation bytes
// of the last. False when the 64 bytes hold a four-byte first byte or no
// more than k sequences.
inline bool hop_short(const uint8_t* p, unsigned k, size_t* bytes) {
    const __m128i below = _mm_set1_epi8(-64);
    const __m128i four = _mm_set1_epi8(char(0xF0));
    uint64_t conts = 0;
    uint64_t fours = 0;
    for (int j = 0; j < 4; ++j) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j));
        conts |= uint64_t(uint16_t(_mm_movemask_epi8(_mm_cmpgt_epi8(below, x)))) << (16 * j);
        fours |= uint64_t(uint16_t(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(x, four), x)))) << (16 * j);
    }
    const uint64_t starts = ~conts;
    const uint64_t sums = running_bit_counts(starts);
    if (fours != 0 || (sums >> 56) <= k) return false;
    *bytes = select_bit(starts, sums, k);
    return true;
}
#endif

}  // namespace utf8_detail

// Whether p[0..n) is all ASCII (every byte below 0x80), whose UTF-16 length
// is then its size. Eight words at a time, which the compiler vectorizes.
inline bool all_ascii(const uint8_t* p, size_t n) {
    size_t k = 0;
    for (; n - k >= 64; k += 64) {
        uint64_t bits = 0;
        for (int j = 0; j < 64; j += 8) bits |= utf8_detail::load_word(p + k + j);
        if (bits & 0x8080808080808080ull) return false;
    }
    uint8_t rest = 0;
    for (; k < n; ++k) rest |= p[k];
    return rest < 0x80;
}

// UTF-16 units of the sequences that begin in p[0..n): each byte that is not
// a continuation byte counts one, and each from 0xF0 up one more.
inline int64_t utf16_units(const uint8_t* p, size_t n) {
    int64_t units = 0;
    uint64_t fours = 0;
    size_t k = 0;
    for (; n - k >= 64; k += 64) units += utf8_detail::units_block(p + k, fours);
    for (; n - k >= 8; k += 8) units += utf8_detail::units_word(utf8_detail::load_word(p + k), fours);
    return units + utf8_detail::units_bytewise(p + k, n - k);
}

// UTF-16 units of a text of n <= 16 bytes held in the words a and b (its
// bytes in order, little-endian), with ma and mb its bytes' high bits from
// kHighBits: the bytes past n are made zero, which count one unit each.
inline uint64_t utf16_units_short(uint64_t a, uint64_t b, uint64_t ma, uint64_t mb, size_t n) {
    const uint64_t keep_a = (ma >> 7) * 0xFF;
    const uint64_t keep_b = (mb >> 7) * 0xFF;
    uint64_t fours = 0;
    return uint64_t(utf8_detail::units_word(a & keep_a, fours)) + utf8_detail::units_word(b & keep_b, fours) -
           (16 - n);
}

// Where a hop over UTF-16 units stopped.
struct Utf16Hop {
    size_t bytes;   // bytes passed over
    int64_t units;  // units of the sequences begun in them
    bool astral;    // whether one of them is from 0xF0 up (begins a character from U+10000 up)
};

// Passes over the bytes of p[0..n) that make up the next k UTF-16 units: it
// stops once k units are counted, after the first byte of the sequence that
// completes them (and possibly some of that sequence's continuation bytes),
// or, short of k, at the end of the bytes or at a four-byte sequence's first
// byte when only one unit is left to go, whose two units would pass the
// k-th.
//
// A hop of fewer than 64 units over 64 bytes that hold no four-byte first
// byte ends at the first byte of the sequence after the last (SSE2).
// Otherwise whole blocks are taken while their count fits in the units
// left; the block where the hop ends is settled from its running counts
// (SSE2), or else a word, then a byte, at a time.
inline Utf16Hop hop_utf16(const uint8_t* p, size_t n, int64_t k) {
#if VORN_SSE2_64
    // The payload of a short cell lies in the first 64 bytes.
    if (n >= 64 && k > 0 && k < 64) {
        size_t bytes = 0;
        if (utf8_detail::hop_short(p, unsigned(k), &bytes)) return {bytes, k, false};
    }
#endif
    size_t at = 0;
    int64_t units = 0;
    // Counts of blocks and words not taken are not ORed in.
    uint64_t fours = 0;
    while (n - at >= 64 && units < k) {
        uint64_t block_fours = 0;
        const unsigned c = utf8_detail::units_block(p + at, block_fours);
        if (int64_t(c) > k - units) {
#if VORN_SSE2_64
            // Fewer than c <= 128 units are left.
            const utf8_detail::BlockHop last = utf8_detail::hop_in_block(p + at, unsigned(k - units));
            return {at + last.bytes, units + last.units, fours != 0 || last.astral};
#else
            break;
#endif
        }
        fours |= block_fours;
        units += c;
        at += 64;
    }
    while (n - at >= 8 && units < k) {
        uint64_t word_fours = 0;
        const unsigned c = utf8_detail::units_word(utf8_detail::load_word(p + at), word_fours);
        if (int64_t(c) > k - units) break;
        fours |= word_fours;
        units += c;
        at += 8;
    }
    while (units < k && at < n) {
        const int u = utf16_units_of_byte(p[at]);
        if (u > k - units) break;
        fours |= uint64_t(u == 2);
        units += u;
        ++at;
    }
    return {at, units, fours != 0};
}

// Decodes the sequence at p[0..n) (n >= 1) as a strict decoder does. Returns
// its length in bytes and sets *cp, or 0 when it is not valid UTF-8: a
// continuation byte, an overlong form, a surrogate, a value above U+10FFFF,
// or a sequence that n cuts short.
inline size_t decode_utf8(const uint8_t* p, size_t n, uint32_t* cp) {
    const uint8_t b = p[0];
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    size_t len;
    uint32_t value;
    uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
        value = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        value = b & 0x0F;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        value = b & 0x07;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi) return 0;
    for (size_t k = 1; k < len; ++k) {
        if (!is_continuation(p[k])) return 0;
        value = (value << 6) | (p[k] & 0x3F);
    }
    *cp = value;
    return len;
}

}  // namespace vorn::format
