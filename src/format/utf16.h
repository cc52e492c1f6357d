// UTF-16 length of a run of code points: every code point from U+10000 up
// takes two code units, every other one (lone surrogates included) one.
// Strings held with one or two bytes per code point contain nothing above
// U+FFFF, so only four-byte storage needs counting.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The count of code points above U+FFFF in buf[0..n) and the largest code
// point, gathered in one pass that the compiler vectorizes.
struct Ucs4Summary {
    int64_t astral;
    uint32_t max;
};

inline Ucs4Summary summarize_ucs4(const uint32_t* buf, int64_t n) {
    uint64_t astral = 0;
    uint32_t max = 0;
    for (int64_t i = 0; i < n; ++i) {
        const uint32_t cp = buf[i];
        max = cp > max ? cp : max;
        astral += cp > 0xFFFFu ? 1u : 0u;
    }
    return {int64_t(astral), max};
}

// The bitwise OR of buf[0..n): at least the largest code point and in the
// same storage class (below 0x80, 0x100 or 0x10000, or above), since each
// class bound is a power of two. Folded in one pass that the compiler
// vectorizes with plain SSE2, where an unsigned maximum would not be.
inline uint32_t or_fold(const uint32_t* buf, int64_t n) {
    uint32_t acc = 0;
    for (int64_t i = 0; i < n; ++i) acc |= buf[i];
    return acc;
}

// Code-unit count of a UTF-16 encoding of buf[0..n).
inline int64_t utf16_length(const uint32_t* buf, int64_t n) { return n + count_astral(buf, n); }

// The second (trailing) surrogate that UTF-16 writes for an astral code point.
inline constexpr uint32_t trailing_surrogate(uint32_t cp) { return (cp & 0x3FFu) + 0xDC00u; }

}  // namespace vorn::format
