// The moves that copy a cell's text into the result and write its length.
// Each SIMD path has its portable counterpart beside it; both write the same
// units.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "write/span.h"
#include "write/str_layout.h"
#include "format/format.h"
#include "common/portable.h"

#if VORN_SSE2_64
#include <emmintrin.h>
#endif

namespace vorn::codec::kernels {

// Copies len bytes without a library call for the short texts that most
// cells are: two overlapping loads and stores cover any length up to twice
// their size, and never touch a byte outside either range.
inline void copy_bytes(void* dst, const void* src, size_t len) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    const auto move8 = [](unsigned char* to, const unsigned char* from) {
        uint64_t v;
        std::memcpy(&v, from, 8);
        std::memcpy(to, &v, 8);
    };
    if (len >= 8) {
        if (len > 32) {
            std::memcpy(d, s, len);
            return;
        }
        // Loads and stores of eight bytes in registers: first and last
        // eight, and for more than sixteen the two in between as well.
        uint64_t first, last;
        std::memcpy(&first, s, 8);
        std::memcpy(&last, s + len - 8, 8);
        if (len > 16) {
            move8(d + 8, s + 8);
            move8(d + len - 16, s + len - 16);
        }
        std::memcpy(d, &first, 8);
        std::memcpy(d + len - 8, &last, 8);
        return;
    }
    if (len >= 4) {
        uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + len - 4, 4);
        std::memcpy(d, &a, 4);
        std::memcpy(d + len - 4, &b, 4);
        return;
    }
    if (len >= 2) {
        uint16_t a, b;
        std::memcpy(&a, s, 2);
        std::memcpy(&b, s + len - 2, 2);
        std::memcpy(d, &a, 2);
        std::memcpy(d + len - 2, &b, 2);
        return;
    }
    if (len == 1) *d = *s;
}

// Copies up to 16 bytes of a compact str's text without a branch on the
// length: two 8-byte moves that overlap as the length requires. The loads
// may start up to 8 bytes before the text (inside the str's header), the
// stores may end up to 8 bytes past it (inside the slack).
template <typename Dst>
inline void copy_short(SlackDst<Dst> to, layout::CompactText from, size_t bytes) {
    const unsigned char* s = from.bytes();
    unsigned char* d = to.bytes();
    const bool two = bytes > 8;
    const size_t first = two ? 8 : bytes;
    const unsigned shift = unsigned(64 - 8 * first) & 63u;
    uint64_t lo, hi;
    std::memcpy(&lo, s + first - 8, 8);
    lo >>= shift;
    const ptrdiff_t tail = two ? ptrdiff_t(bytes) - 8 : ptrdiff_t(first) - 8;
    std::memcpy(&hi, s + tail, 8);
    hi >>= two ? 0u : shift;
    std::memcpy(d, &lo, 8);
    std::memcpy(d + (two ? bytes - 8 : 0), &hi, 8);
}

// Spreads the 8 bytes of `bytes` (lowest first) into 8 two- or four-byte
// units at dst.
template <typename Dst>
inline void widen_8_units(Dst* dst, uint64_t bytes) {
#if VORN_SSE2_64
    const __m128i zero = _mm_setzero_si128();
    const __m128i units = _mm_unpacklo_epi8(_mm_cvtsi64_si128(int64_t(bytes)), zero);
    if constexpr (sizeof(Dst) == 2) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), units);
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi16(units, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst) + 1, _mm_unpackhi_epi16(units, zero));
    }
#else
    for (int k = 0; k < 8; ++k) dst[k] = Dst((bytes >> (8 * k)) & 0xFF);
#endif
}

// Widens up to 16 one-byte code points of a compact str into two- or
// four-byte units without a loop: the bytes are loaded as copy_short loads
// them and spread out 8 at a time. Writes at least 8 units whatever the
// count, the rest into the slack. False, with nothing written, for longer
// texts.
template <typename Dst>
inline bool widen_short(SlackDst<Dst> to, layout::CompactText from, Py_ssize_t n) {
    if (n > 16) return false;
    const unsigned char* src = from.bytes();
    Dst* dst = to.get();
    uint64_t lo, hi;
    if (n <= 8) {
        std::memcpy(&lo, src + n - 8, 8);
        widen_8_units(dst, n ? lo >> (unsigned(64 - 8 * n) & 63u) : 0);
    } else {
        // Two overlapping halves, each of eight code points.
        std::memcpy(&lo, src, 8);
        std::memcpy(&hi, src + n - 8, 8);
        widen_8_units(dst, lo);
        widen_8_units(dst + n - 8, hi);
    }
    return true;
}

// Copies n code points of four-byte storage and counts those above U+FFFF
// in the same pass.
inline int64_t copy_counting_astral(Py_UCS4* dst, const Py_UCS4* src, Py_ssize_t n) {
    uint64_t astral = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        const uint32_t cp = src[k];
        dst[k] = cp;
        astral += cp > 0xFFFFu ? 1u : 0u;
    }
    return int64_t(astral);
}

// The number of decimal digits of a cell's length, as format::decimal_width
// counts them. Lengths below 100 are counted from a table, so that the count
// depends on the length alone and never waits on the bit scan's previous
// result.
inline constexpr auto kSmallLengthDigits = [] {
    struct { unsigned char d[100]; } t{};
    for (int n = 0; n < 100; ++n) t.d[n] = n < 10 ? 1 : 2;
    return t;
}();
inline int length_digits(uint64_t n) {
    if (n < 100) return kSmallLengthDigits.d[n];
    return format::decimal_width(n);
}

// Writes the shortest decimal form of n, of width digits, at out + 1, and
// may write a '0' at out[0], where the digit-count character goes next:
// lengths below 100 are written without a branch on their width.
template <typename Dst>
inline void put_length(Dst* out, uint64_t n, int digits) {
    if (n < 100) {
        const char* pair = format::kDigitPairs + 2 * n;
        out[digits - 1] = Dst(pair[0]);
        out[digits] = Dst(pair[1]);
    } else {
        format::write_decimal(out + 1, n, digits);
    }
}

}  // namespace vorn::codec::kernels
