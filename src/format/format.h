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

// Number of decimal digits in the shortest form of n ("0" has one).
inline constexpr int decimal_width(uint64_t n) {
    int width = 1;
    for (uint64_t bound = 10; n >= bound && width < 20; bound *= 10) ++width;
    return width;
}

// Writes the shortest decimal form of n into out (decimal_width(n) chars).
template <typename Unit>
inline void write_decimal(Unit* out, uint64_t n, int width) {
    for (int k = width - 1; k >= 0; --k) {
        out[k] = Unit('0' + n % 10);
        n /= 10;
    }
}

}  // namespace vorn::format
