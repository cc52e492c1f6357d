// The VORN text format: the characters that carry structure and the rules
// for reading and writing a cell's length prefix.
//
// A document is a sequence of rows, each row a sequence of cells followed by
// ';'. A cell is written as one digit-count character H, then exactly D
// decimal digits giving the payload's UTF-16 length, then the payload itself.
// H encodes D - 1 in hexadecimal, so a length has 1 to 16 digits.
//
// Nothing in this folder touches the interpreter.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace vorn::format {

inline constexpr uint32_t kRowTerminator = ';';

// Most decimal digits a length prefix may carry, so the largest payload is
// 10^16 - 1 code units and a length always fits a signed 64-bit integer.
inline constexpr int kMaxLengthDigits = 16;

// The canonical digit-count alphabet: element D - 1 announces D digits.
inline constexpr char kDefaultHex[] = "0123456789abcdef";

// Number of decimal digits announced by the digit-count character c, or 0
// when c is not one. Readers accept '0'-'9', 'a'-'f' and 'A'-'F'; clearing
// bit 0x20 folds the lower-case letters onto the upper-case ones and sends
// every other code point outside 'A'-'F'.
inline constexpr int64_t length_digits_of(uint32_t c) {
    if (c - uint32_t('0') <= 9u) return int64_t(c - uint32_t('0')) + 1;
    const uint32_t folded = c & ~uint32_t(0x20);
    if (folded - uint32_t('A') <= 5u) return int64_t(folded - uint32_t('A')) + 11;
    return 0;
}

inline constexpr bool is_decimal_digit(uint32_t c) { return c - uint32_t('0') <= 9u; }

// Number of decimal digits in the shortest form of n ("0" has one), without
// a loop: the bit length gives the digit count or one more, and one compare
// with a power of ten settles which (1233 / 4096 is just above log10(2)).
inline constexpr uint64_t kPowersOfTen[20] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull, 1000000000ull,
    10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull, 100000000000000ull,
    1000000000000000ull, 10000000000000000ull, 100000000000000000ull, 1000000000000000000ull,
    10000000000000000000ull};

inline constexpr int decimal_width(uint64_t n) {
    const int bits = 64 - std::countl_zero(n | 1);
    const int t = (bits * 1233) >> 12;
    return t + 1 - ((n | 1) < kPowersOfTen[t] ? 1 : 0);
}

// "00" to "99", so that digits are written two at a time.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the shortest decimal form of n into out (width = decimal_width(n)
// units), from the right, two digits at a time.
template <typename Unit>
inline void write_decimal(Unit* out, uint64_t n, int width) {
    Unit* p = out + width;
    while (n >= 100) {
        const unsigned pair = unsigned(n % 100) * 2;
        n /= 100;
        p -= 2;
        p[0] = Unit(kDigitPairs[pair]);
        p[1] = Unit(kDigitPairs[pair + 1]);
    }
    if (n >= 10) {
        p[-2] = Unit(kDigitPairs[n * 2]);
        p[-1] = Unit(kDigitPairs[n * 2 + 1]);
    } else {
        p[-1] = Unit('0' + n);
    }
}

}  // namespace vorn::format
