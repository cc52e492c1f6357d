// UTF-16 length of UTF-8 text: every sequence counts one unit, and a
// sequence of four bytes (a code point from U+10000 up) two. The count is
// taken from the bytes alone, without decoding: the bytes that begin a
// sequence (all but 0x80-0xBF) plus those that begin a four-byte one
// (0xF0 and up).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/portable.h"

#if VORN_SSE2_64
#include <emmintrin.h>
#endif

namespace vorn::format {

// Plain count, one byte at a time: the model the vector path is checked
// against, and the tails.
inline int64_t utf16_units_plain(const uint8_t* data, size_t n) {
    int64_t units = 0;
    for (size_t k = 0; k < n; ++k) units += int64_t((data[k] & 0xC0) != 0x80) + int64_t(data[k] >= 0xF0);
    return units;
}

inline int64_t utf16_units(const uint8_t* data, size_t n) {
#if VORN_SSE2_64
    int64_t units = 0;
    size_t k = 0;
    const __m128i one = _mm_set1_epi8(1);
    const __m128i continuation_top = _mm_set1_epi8(-65);  // 0xBF as a signed byte
    const __m128i four = _mm_set1_epi8(char(0xF0));
    const __m128i zero = _mm_setzero_si128();
    while (n - k >= 16) {
        // Per lane 0, 1 or 2, summed in bytes for at most 127 blocks.
        __m128i acc = zero;
        const size_t blocks = (n - k) / 16 < 127 ? (n - k) / 16 : 127;
        for (size_t b = 0; b < blocks; ++b, k += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + k));
            const __m128i cont = _mm_cmpgt_epi8(continuation_top, v);    // -1 on 0x80-0xBF
            const __m128i wide = _mm_cmpeq_epi8(_mm_max_epu8(v, four), v);  // -1 on 0xF0-0xFF
            acc = _mm_add_epi8(acc, _mm_sub_epi8(_mm_add_epi8(one, cont), wide));
        }
        const __m128i sums = _mm_sad_epu8(acc, zero);
        units += _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
    }
    return units + utf16_units_plain(data + k, n - k);
#else
    return utf16_units_plain(data, n);
#endif
}

}  // namespace vorn::format
