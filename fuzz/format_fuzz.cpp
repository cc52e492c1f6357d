// libFuzzer target for the interpreter-free part of the codec: the
// digit-count alphabet, the decimal length prefix and the UTF-16 length
// rule. Each helper is checked against a plain restatement of the rule it
// implements, on code points and lengths taken from the fuzzer's bytes.
//
// Built with -fsanitize=fuzzer,address,undefined (see mk/reliability.mk), so
// any read outside the buffers handed over is reported as well.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format/format.h"
#include "format/utf16.h"

namespace {

using namespace vorn::format;

[[noreturn]] void fail(const char* what, uint64_t a, uint64_t b) {
    std::fprintf(stderr, "format check failed: %s (%llu, %llu)\n", what, (unsigned long long)a,
                 (unsigned long long)b);
    std::abort();
}

int64_t digits_reference(uint32_t c) {
    if (c >= '0' && c <= '9') return c - '0' + 1;
    if (c >= 'a' && c <= 'f') return c - 'a' + 11;
    if (c >= 'A' && c <= 'F') return c - 'A' + 11;
    return 0;
}

uint32_t read_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint64_t read_u64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The alphabet and the digit test, for one code point of any value.
void check_code_point(uint32_t c) {
    if (length_digits_of(c) != digits_reference(c)) fail("length_digits_of", c, length_digits_of(c));
    if (is_decimal_digit(c) != (c >= '0' && c <= '9')) fail("is_decimal_digit", c, 0);
    if (c >= 0x10000 && c <= 0x10FFFF) {
        // The trailing surrogate UTF-16 writes for c.
        const uint32_t low = 0xDC00 + ((c - 0x10000) & 0x3FF);
        if (trailing_surrogate(c) != low) fail("trailing_surrogate", c, trailing_surrogate(c));
    }
}

// A length written in canonical form reads back: its digit-count character
// announces exactly its digits, and the digits give the length again.
void check_length(uint64_t n) {
    n %= 10000000000000000ull;  // the largest length has sixteen digits
    char expect[32];
    const int expect_width = std::snprintf(expect, sizeof expect, "%llu", (unsigned long long)n);
    const int width = decimal_width(n);
    if (width != expect_width) fail("decimal_width", n, uint64_t(width));
    if (width > kMaxLengthDigits) fail("width above the maximum", n, uint64_t(width));
    char text[kMaxLengthDigits];
    write_decimal(text, n, width);
    if (std::memcmp(text, expect, size_t(width)) != 0) fail("write_decimal", n, 0);
    const uint32_t h = uint8_t(kDefaultHex[width - 1]);
    if (length_digits_of(h) != width) fail("digit-count character", n, uint64_t(h));
    uint64_t back = 0;
    for (int k = 0; k < width; ++k) {
        if (!is_decimal_digit(uint8_t(text[k]))) fail("digit", n, uint64_t(k));
        back = back * 10 + uint64_t(text[k] - '0');
    }
    if (back != n) fail("read back", n, back);
}

// The block count and the UTF-16 length of a run of code points, at every
// offset and length within it, against a count one code point at a time.
void check_run(const uint32_t* buf, size_t n) {
    std::vector<int64_t> prefix(n + 1, 0);
    for (size_t k = 0; k < n; ++k) prefix[k + 1] = prefix[k] + (buf[k] > 0xFFFFu ? 1 : 0);
    const size_t starts = n < 9 ? n + 1 : 9;
    for (size_t s = 0; s < starts; ++s) {
        for (size_t e = s; e <= n; ++e) {
            const int64_t want = prefix[e] - prefix[s];
            const int64_t len = int64_t(e - s);
            if (count_astral(buf + s, len) != want) fail("count_astral", s, e);
            if (utf16_length(buf + s, len) != len + want) fail("utf16_length", s, e);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (size_t k = 0; k + 4 <= size; k += 4) check_code_point(read_u32(data + k));
    for (size_t k = 0; k + 8 <= size; k += 8) check_length(read_u64(data + k));
    // The bytes as code points; a copy of exactly their number, so that a
    // read past the end lands outside the allocation.
    const size_t n = size / 4 < 256 ? size / 4 : 256;
    std::vector<uint32_t> run(n);
    for (size_t k = 0; k < n; ++k) {
        uint32_t c = read_u32(data + 4 * k);
        // Mostly real code points around the boundaries that matter.
        if (c & 0x80000000u) c &= 0x1FFFFF;
        run[k] = c;
    }
    check_run(run.data(), n);
    return 0;
}
