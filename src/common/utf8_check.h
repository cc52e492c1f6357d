// Strict UTF-8 validation as the interpreter's decoder does it: overlong
// forms, surrogates (U+D800-U+DFFF), code points above U+10FFFF and cut
// sequences are invalid. The result is the offset of the first byte of the
// first sequence that does not decode, the offset the decoder's error
// reports as its start, or the length when the text is valid.
//
// Three kernels give the same result:
//   - plain: one sequence at a time (the model; what VORN_NO_SIMD builds);
//   - sse2: skips sixteen bytes of ASCII per test and decodes the rest one
//     sequence at a time;
//   - avx2 (x86-64 with GCC or Clang, chosen at run time when the CPU has
//     it): checks 64 bytes a step with no branch on their content. Each
//     byte is classified with its predecessor by three nibble lookups, and
//     the bytes two and three after a lead byte are checked for being
//     continuation bytes. Every error any of those finds sets bits in an
//     accumulator. When it is set, the block's first sequence is decoded
//     one at a time from its start, which names the byte.
// Nothing here touches the interpreter.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "common/portable.h"

#if VORN_SSE2_64
#include <emmintrin.h>
#endif

#if VORN_SSE2_64 && (defined(__GNUC__) || defined(__clang__))
#define VORN_AVX2_DISPATCH 1
#include <immintrin.h>
#else
#define VORN_AVX2_DISPATCH 0
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

// One sequence at a time, past sixteen bytes of ASCII per test.
inline size_t utf8_check_sse2(const uint8_t* data, size_t n) {
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

// Where the last sequence that begins before p begins (0 when p is), in
// text whose bytes before p are valid UTF-8 but for that sequence, which p
// may cut: its lead byte is the last byte that is not a continuation byte,
// at most four back.
inline size_t last_sequence_start(const uint8_t* data, size_t p) {
    if (p == 0) return 0;
    size_t q = p - 1;
    while (q > 0 && q + 4 > p && (data[q] & 0xC0) == 0x80) --q;
    return q;
}

#if VORN_AVX2_DISPATCH
namespace utf8_avx2 {

// Bits of the faults a pair of bytes (a byte and the one before it) may
// show; a pair is at fault when the three lookups share a bit.
inline constexpr uint8_t kTooShort = 1 << 0;   // a lead byte, then no continuation byte
inline constexpr uint8_t kTooLong = 1 << 1;    // ASCII, then a continuation byte
inline constexpr uint8_t kOverlong3 = 1 << 2;  // E0 80-9F
inline constexpr uint8_t kTooLarge = 1 << 3;   // F4 90-BF, F5-FF with a continuation byte
inline constexpr uint8_t kSurrogate = 1 << 4;  // ED A0-BF
inline constexpr uint8_t kOverlong2 = 1 << 5;  // C0-C1 with a continuation byte
inline constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5-FF 80-8F
inline constexpr uint8_t kOverlong4 = 1 << 6;  // F0 80-8F
inline constexpr uint8_t kTwoConts = 1 << 7;   // two continuation bytes: a fault unless a third or fourth byte
inline constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

// The 16 entries of a nibble lookup, in both 128-bit lanes.
#define VORN_NIBBLES(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p)                                            \
    _mm256_setr_epi8(char(a), char(b), char(c), char(d), char(e), char(f), char(g), char(h), char(i), char(j),  \
                     char(k), char(l), char(m), char(n), char(o), char(p), char(a), char(b), char(c), char(d),  \
                     char(e), char(f), char(g), char(h), char(i), char(j), char(k), char(l), char(m), char(n),  \
                     char(o), char(p))

// x shifted by N bytes towards its end, with the last N bytes of prev in
// front.
template <int N>
__attribute__((target("avx2"))) inline __m256i before(__m256i x, __m256i prev) {
    return _mm256_alignr_epi8(x, _mm256_permute2x128_si256(prev, x, 0x21), 16 - N);
}

__attribute__((target("avx2"))) inline __m256i high_nibbles(__m256i x) {
    return _mm256_and_si256(_mm256_srli_epi16(x, 4), _mm256_set1_epi8(0x0F));
}

// Nonzero bytes where the 32 bytes of x, after prev, are not valid UTF-8
// (a sequence that runs past x is checked with the next 32 bytes).
__attribute__((target("avx2"))) inline __m256i faults(__m256i x, __m256i prev) {
    const __m256i prev1 = before<1>(x, prev);
    const __m256i first_high =
        _mm256_shuffle_epi8(VORN_NIBBLES(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                                         kTooLong, kTwoConts, kTwoConts, kTwoConts, kTwoConts,
                                         kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
                                         kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
                            high_nibbles(prev1));
    constexpr uint8_t kAbove = kCarry | kTooLarge | kTooLarge1000;
    const __m256i first_low = _mm256_shuffle_epi8(
        VORN_NIBBLES(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
                     kCarry | kTooLarge, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove,
                     kAbove | kSurrogate, kAbove, kAbove),
        _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)));
    constexpr uint8_t kCont = kTooLong | kOverlong2 | kTwoConts;
    const __m256i second_high = _mm256_shuffle_epi8(
        VORN_NIBBLES(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                     kCont | kOverlong3 | kTooLarge1000 | kOverlong4, kCont | kOverlong3 | kTooLarge,
                     kCont | kSurrogate | kTooLarge, kCont | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort,
                     kTooShort),
        high_nibbles(x));
    const __m256i pairs = _mm256_and_si256(_mm256_and_si256(first_high, first_low), second_high);
    // A byte two after a lead byte from E0, or three after one from F0,
    // must be a continuation byte, the second of two (kTwoConts); that bit
    // is a fault exactly where the two disagree. Saturating subtraction
    // leaves the top bit set only on such leads.
    const __m256i third = _mm256_subs_epu8(before<2>(x, prev), _mm256_set1_epi8(char(0xE0 - 0x80)));
    const __m256i fourth = _mm256_subs_epu8(before<3>(x, prev), _mm256_set1_epi8(char(0xF0 - 0x80)));
    const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
    return _mm256_xor_si256(must_continue, pairs);
}

// Nonzero when the last bytes of x begin a sequence they do not finish.
__attribute__((target("avx2"))) inline __m256i unfinished(__m256i x) {
    const __m256i limits = _mm256_setr_epi8(
        char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
        char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
        char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
        char(0xFF), char(0xFF), char(0xF0 - 1), char(0xE0 - 1), char(0xC0 - 1));
    return _mm256_subs_epu8(x, limits);
}

#undef VORN_NIBBLES

__attribute__((target("avx2"))) inline size_t check(const uint8_t* data, size_t n) {
    __m256i prev = _mm256_setzero_si256();
    __m256i pending = _mm256_setzero_si256();  // the last block ends inside a sequence
    size_t p = 0;
    for (; n - p >= 64; p += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p + 32));
        __m256i bad;
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
            bad = pending;
            pending = _mm256_setzero_si256();
        } else {
            bad = _mm256_or_si256(faults(a, prev), faults(b, a));
            pending = unfinished(b);
        }
        prev = b;
        // The bytes before p are valid but for a sequence p may cut; the
        // fault is in that sequence or after it.
        if (!_mm256_testz_si256(bad, bad)) break;
    }
    const size_t from = last_sequence_start(data, p);
    return from + utf8_check_sse2(data + from, n - from);
}

}  // namespace utf8_avx2

inline bool utf8_avx2_available() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

inline size_t utf8_check_avx2(const uint8_t* data, size_t n) { return utf8_avx2::check(data, n); }
#endif

// The fastest kernel this build and CPU have.
inline size_t utf8_check(const uint8_t* data, size_t n) {
#if VORN_AVX2_DISPATCH
    if (n >= 64 && utf8_avx2_available()) return utf8_avx2::check(data, n);
#endif
    return utf8_check_sse2(data, n);
}

}  // namespace vorn::text
