// Strict UTF-8 validation as the interpreter's decoder does it: overlong
// forms, surrogates (U+D800-U+DFFF), code points above U+10FFFF and cut
// sequences are invalid. The result is the offset of the first byte of the
// first sequence that does not decode, the offset the decoder's error
// reports as its start, or the length when the text is valid.
//
// The vector path skips sixteen bytes of ASCII per test and decodes the rest
// one sequence at a time; VORN_NO_SIMD builds the plain path, one byte at a
// time. Nothing here touches the interpreter.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "common/portable.h"

#if VORN_SSE2_64
#include <emmintrin.h>
#endif

namespace vorn::text {

// Bytes of the valid sequence at data[p], or 0 when it is not one.
inline size_t utf8_sequence_length(const uint8_t* data, size_t n, size_t p) {
    const uint8_t b = data[p];
    if (b < 0x80) return 1;
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (n - p < len) return 0;
    if (data[p + 1] < lo || data[p + 1] > hi) return 0;
    for (size_t k = 2; k < len; ++k)
        if ((data[p + k] & 0xC0) != 0x80) return 0;
    return len;
}

inline size_t utf8_check_plain(const uint8_t* data, size_t n) {
    size_t p = 0;
    while (p < n) {
        const size_t len = utf8_sequence_length(data, n, p);
        if (len == 0) return p;
        p += len;
    }
    return n;
}

inline size_t utf8_check(const uint8_t* data, size_t n) {
#if VORN_SSE2_64
    size_t p = 0;
    while (p < n) {
        if (n - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
            const unsigned mask = unsigned(_mm_movemask_epi8(v));
            if (mask == 0) {
                p += 16;
                continue;
            }
            p += size_t(std::countr_zero(mask));
        } else if (data[p] < 0x80) {
            ++p;
            continue;
        }
        const size_t len = utf8_sequence_length(data, n, p);
        if (len == 0) return p;
        p += len;
    }
    return n;
#else
    return utf8_check_plain(data, n);
#endif
}

}  // namespace vorn::text
