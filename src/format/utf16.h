// UTF-16 length of a run of code points: every code point from U+10000 up
// takes two code units, every other one (lone surrogates included) one.
// Strings held with one or two bytes per code point contain nothing above
// U+FFFF, so only four-byte storage needs counting.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/portable.h"

#if VORN_SSE2_64
#include <emmintrin.h>
#endif

namespace vorn::format {

// Count of code points above U+FFFF among buf[0..n). Whole blocks of eight
// are counted with branch-free compares that the compiler turns into vector
// instructions; the tail is counted one code point at a time.
inline int64_t count_astral(const uint32_t* buf, int64_t n) {
    const int64_t blocks_end = n & ~int64_t(7);
    uint64_t lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int64_t i = 0; i < blocks_end; i += 8) {
        for (int k = 0; k < 8; ++k) lanes[k] += (buf[i + k] > 0xFFFFu) ? 1u : 0u;
    }
    uint64_t count = 0;
    for (int k = 0; k < 8; ++k) count += lanes[k];
    for (int64_t i = blocks_end; i < n; ++i) count += (buf[i] > 0xFFFFu) ? 1u : 0u;
    return int64_t(count);
}

// Where a hop over UTF-16 units of four-byte storage stopped.
struct Ucs4Hop {
    size_t points;  // code points passed over
    int64_t units;  // their UTF-16 units
};

// Passes over the code points of buf[0..n) that make up the next k UTF-16
// units: it stops after the code point whose units reach k (units is k, or
// k + 1 when that code point's two units pass it), or at the end of the
// code points, short of k. As this loop does:
//
//     while (units < k && points < n) units += buf[points++] > 0xFFFF ? 2 : 1;
//
// The values are code points, at most 0x7FFFFFFF (a str holds none above
// U+10FFFF): the vector path compares them as signed numbers.
//
// With SSE2, sixteen code points at a time: while at least 32 units are
// left, as many blocks of sixteen as take no more than that are counted
// without a look at the total; in the block where the units reach k, a
// running sum of its lanes' units gives the lane at once, without a branch
// per code point (the cells of text with emoji are short, and their astral
// code points fall at random).
inline Ucs4Hop hop_ucs4(const uint32_t* buf, size_t n, int64_t k) {
    size_t at = 0;
    int64_t units = 0;
#if VORN_SSE2_64
    const __m128i zero = _mm_setzero_si128();
    const __m128i bmp_top = _mm_set1_epi32(0xFFFF);
    // -1 in the lanes of the code points above U+FFFF among p[0..4).
    auto astral4 = [&](const uint32_t* p) {
        return _mm_cmpgt_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), bmp_top);
    };
    for (;;) {
        const int64_t left = k - units;
        if (left < 32) break;
        // Each block takes at most 32 units. (Bounded so that no lane of the
        // count, which gains at most 4 a block, can overflow.)
        size_t blocks = size_t(left / 32);
        const size_t room = (n - at) / 16;
        if (blocks > room) blocks = room;
        if (blocks > (size_t(1) << 24)) blocks = size_t(1) << 24;
        if (blocks == 0) break;
        __m128i count = zero;
        for (size_t b = 0; b < blocks; ++b, at += 16) {
            const uint32_t* p = buf + at;
            count = _mm_add_epi32(count, _mm_add_epi32(_mm_add_epi32(astral4(p), astral4(p + 4)),
                                                       _mm_add_epi32(astral4(p + 8), astral4(p + 12))));
        }
        __m128i sum = _mm_add_epi32(count, _mm_shuffle_epi32(count, 0x4E));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
        units += int64_t(16 * blocks) - int64_t(int32_t(_mm_cvtsi128_si32(sum)));
    }
    // Fewer than 32 units left: the block that reaches them.
    while (n - at >= 16 && units < k) {
        const uint32_t* p = buf + at;
        const __m128i astral =
            _mm_packs_epi16(_mm_packs_epi32(astral4(p), astral4(p + 4)), _mm_packs_epi32(astral4(p + 8), astral4(p + 12)));
        // Running sums of the lanes' units, 1 or 2 each (at most 32, so
        // bytes hold them).
        __m128i run = _mm_sub_epi8(_mm_set1_epi8(1), astral);
        run = _mm_add_epi8(run, _mm_slli_si128(run, 1));
        run = _mm_add_epi8(run, _mm_slli_si128(run, 2));
        run = _mm_add_epi8(run, _mm_slli_si128(run, 4));
        run = _mm_add_epi8(run, _mm_slli_si128(run, 8));
        // The lanes whose running sum is short of what is left come first,
        // since the sums rise: their number is the lane that reaches it (16
        // when none does).
        const __m128i short_of = _mm_cmpgt_epi8(_mm_set1_epi8(char(k - units)), run);
        const __m128i lanes = _mm_sad_epu8(_mm_sub_epi8(zero, short_of), zero);
        const unsigned lane = unsigned(_mm_cvtsi128_si32(lanes) + _mm_extract_epi16(lanes, 4));
        alignas(16) uint8_t sums[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(sums), run);
        if (lane == 16) {
            units += sums[15];
            at += 16;
            continue;
        }
        units += sums[lane];
        at += lane + 1;
        return {at, units};
    }
#else
    // Whole blocks of eight add at most sixteen units: while more than that
    // is left, none of them can reach k.
    while (n - at >= 8 && k - units > 16) {
        unsigned astral = 0;
        for (int j = 0; j < 8; ++j) astral += buf[at + j] > 0xFFFFu ? 1u : 0u;
        units += 8 + astral;
        at += 8;
    }
#endif
    while (units < k && at < n) units += buf[at++] > 0xFFFFu ? 2 : 1;
    return {at, units};
}

// The bitwise OR of buf[0..n) when every code point there is below U+10000:
// at least the largest code point and in the same storage class (below
// 0x80, 0x100 or 0x10000), since each class bound is a power of two; folded
// in blocks that the compiler vectorizes with plain SSE2, where an unsigned
// maximum would not be. Otherwise a value from U+10000 up, found as soon as
// a block of sixteen holds one, so that text with astral code points is not
// read to its end here.
inline uint32_t fold_bmp(const uint32_t* buf, int64_t n) {
    uint32_t acc = 0;
    int64_t i = 0;
    for (; n - i >= 16; i += 16) {
        uint32_t block = 0;
        for (int k = 0; k < 16; ++k) block |= buf[i + k];
        acc |= block;
        if (acc >= 0x10000u) return acc;
    }
    for (; i < n; ++i) acc |= buf[i];
    return acc;
}

// Code-unit count of a UTF-16 encoding of buf[0..n).
inline int64_t utf16_length(const uint32_t* buf, int64_t n) { return n + count_astral(buf, n); }

// The second (trailing) surrogate that UTF-16 writes for an astral code point.
inline constexpr uint32_t trailing_surrogate(uint32_t cp) { return (cp & 0x3FFu) + 0xDC00u; }

}  // namespace vorn::format
