// The writer's fast road: cells that are str (or a scalar whose text is
// known without interpreter code), written while the digit-count characters
// are known from HEX. Its cell's header is read once, its length written two
// digits at a time and its text copied in place. Nothing here runs
// interpreter code, so the cells it is given stay valid while it runs.
//
// Included by the walk (stringify.cpp) alone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>

#include "write/kernels.h"
#include "write/scalars.h"
#include "write/span.h"
#include "write/str_layout.h"
#include "write/text.h"
#include "write/width.h"
#include "format/format.h"
#include "common/portable.h"

namespace vorn::codec::fast {

// How far ahead of the cell being written its successors' headers are
// fetched: each cell is a separate object, and reading its header is most of
// the cost of a short cell.
inline constexpr Py_ssize_t kPrefetchAhead = 10;

// The fast road's working set, kept in registers while it runs: where the
// next cell goes and where the room ends, the digit-count characters it may
// use, the width of the result and the widest width written.
template <typename Dst>
struct Run {
    Span<Dst> at;
    const char* hex;
    int fast_digits;
    Width out;
    Width written;
};

// The commonest case, a result that is ASCII so far: only exact, compact
// ASCII str cells, whose text lies at a fixed place after the header, and
// nothing to track about widths.
inline VORN_HOT Py_ssize_t ascii_cells(PyObject** cells, Py_ssize_t c, Py_ssize_t count, Run<Py_UCS1>& run) {
    Span<Py_UCS1> at = run.at;
    const char* const hex = run.hex;
    const int fast_digits = run.fast_digits;
    for (; c < count; ++c) {
        if (c + kPrefetchAhead < count) VORN_PREFETCH(cells[c + kPrefetchAhead]);
        PyObject* cell = cells[c];
        if (!layout::is_exact_compact_ascii(cell)) break;
        const Py_ssize_t n = layout::length(cell);
        if (!at.fits_cell(n)) break;
        const int digits = kernels::length_digits(uint64_t(n));
        if (digits > fast_digits) break;
        kernels::put_length(at.w, uint64_t(n), digits);
        at.w[0] = Py_UCS1(hex[digits - 1]);
        // Checked above: the cell is compact ASCII.
        const auto text = layout::compact_ascii_text(cell);
        if (n <= 16)
            kernels::copy_short(at.text_of_cell(digits), *text, size_t(n));
        else
            kernels::copy_bytes(at.w + 1 + digits, text->bytes(), size_t(n));
        at.w += 1 + digits + n;
    }
    run.at = at;
    return c;
}

// Writes cells[c..count) and returns the index of the first cell it did not
// write: one that is not a str, is wider than the result, needs more digits
// than the fast road has characters for, or does not fit the room left.
template <typename Dst>
VORN_HOT Py_ssize_t cells(PyObject** cells, Py_ssize_t c, Py_ssize_t count, Run<Dst>& run) {
    if constexpr (sizeof(Dst) == 1) {
        if (run.out == Width::kAscii) {
            for (;;) {
                c = ascii_cells(cells, c, count, run);
                // A row may have shrunk below the index the walk had reached.
                if (c >= count) return c;
                const Py_ssize_t len = put_scalar(run.at, run.hex, run.fast_digits, cells[c]);
                if (len == 0) break;
                run.at.w += len;
                ++c;
            }
        }
    }
    Span<Dst> at = run.at;
    const char* const hex = run.hex;
    const int fast_digits = run.fast_digits;
    const Width out = run.out;
    Width written = run.written;
    for (; c < count; ++c) {
        if (c + kPrefetchAhead < count) VORN_PREFETCH(cells[c + kPrefetchAhead]);
        PyObject* cell = cells[c];
        if (!PyUnicode_Check(cell)) {
            const Py_ssize_t len = put_scalar(at, hex, fast_digits, cell);
            if (len == 0) break;
            at.w += len;
            continue;
        }
        const Width width = layout::width(cell);
        if (width > out) break;
        const Py_ssize_t n = layout::length(cell);
        if (!at.fits_cell(n)) break;
        if constexpr (sizeof(Dst) == 4) {
            if (width == Width::kUcs4) {
                // Copy first, at the place the shortest possible length
                // leaves, counting astral code points; move the text in the
                // rare case its length needs more digits than its code-point
                // count.
                const int guess = kernels::length_digits(uint64_t(n));
                if (guess > fast_digits) break;
                const int64_t u16_len =
                    n + kernels::copy_counting_astral(at.w + 1 + guess, static_cast<const Py_UCS4*>(layout::data(cell)), n);
                const int digits = kernels::length_digits(uint64_t(u16_len));
                if (digits > fast_digits) break;
                if (digits != guess) std::memmove(at.w + 1 + digits, at.w + 1 + guess, size_t(n) * 4);
                at.w[0] = Dst(hex[digits - 1]);
                format::write_decimal(at.w + 1, uint64_t(u16_len), digits);
                at.w += 1 + digits + n;
                written = Width::kUcs4;
                continue;
            }
        }
        const int digits = kernels::length_digits(uint64_t(n));
        if (digits > fast_digits) break;
        kernels::put_length(at.w, uint64_t(n), digits);
        at.w[0] = Dst(hex[digits - 1]);
        const int kind = layout::kind(cell);
        const auto text = layout::compact_text(cell);
        if (size_t(kind) == sizeof(Dst)) {
            if (n * Py_ssize_t(sizeof(Dst)) <= 16 && text)
                kernels::copy_short(at.text_of_cell(digits), *text, size_t(n) * sizeof(Dst));
            else
                kernels::copy_bytes(at.w + 1 + digits, layout::data(cell), size_t(n) * sizeof(Dst));
        } else if (!(kind == PyUnicode_1BYTE_KIND && text && kernels::widen_short(at.text_of_cell(digits), *text, n))) {
            copy_units(at.w + 1 + digits, layout::data(cell), kind, n);
        }
        at.w += 1 + digits + n;
        written = widest(written, width);
    }
    run.at = at;
    run.written = written;
    return c;
}

}  // namespace vorn::codec::fast
