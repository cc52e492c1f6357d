// The two ways of sizing the result.
//
// Exact: when every row is an exact list or tuple and every cell a str or
// a scalar whose text is known without interpreter code (scalars.h), every
// cell's header is read once before writing and the result is made at
// exactly the document's length and width. The same table, or one of about
// its size, then asks the allocator for the same block at every call, and
// the allocator hands back memory it already holds: a first request larger
// than the block freed last time would be mapped afresh and every page of
// it faulted in, which costs more than this pass on every table we measure.
//
// Sampled: any other table (a float or an object that needs its string
// conversion, a row that is not an exact list or tuple) is estimated from
// rows spread over it (at most 32, and at most 64 cells of each), and the
// result starts at the widest width seen there. A few long rows among the
// sampled ones must not make the room far larger than the document: a short
// estimate costs a few regrowths, a long one holds memory until the end, so
// rows far longer than the typical sampled row count four times that row at
// most. The sample also tells whether the exact pass can succeed, so that
// tables it cannot measure do not pay for it.

#include "write/sizing.h"

#include <algorithm>
#include <cstdint>

#include "write/kernels.h"
#include "write/rows.h"
#include "write/scalars.h"
#include "write/str_layout.h"
#include "format/format.h"
#include "common/portable.h"

namespace vorn::codec {

namespace {

using format::decimal_width;

// How many cells ahead of the one measured headers are fetched, as the fast
// road does while writing.
constexpr Py_ssize_t kAhead = 10;

// The units a str cell takes in the document, header included.
inline int64_t str_cell_length(PyObject* cell) {
    const Py_ssize_t n = layout::length(cell);
    int digits = kernels::length_digits(uint64_t(n));
    // Four-byte text is 1 to 2 UTF-16 units a code point: its code points
    // are counted only when that changes the digits, and short texts one by
    // one, without the setup of the block count.
    if (layout::kind(cell) == PyUnicode_4BYTE_KIND && decimal_width(2 * uint64_t(n)) != digits) {
        int64_t u16_len = n;
        if (n < 16) {
            const auto* cps = static_cast<const Py_UCS4*>(layout::data(cell));
            for (Py_ssize_t k = 0; k < n; ++k) u16_len += cps[k] > 0xFFFFu ? 1 : 0;
        } else {
            u16_len = layout::utf16_length(cell);
        }
        digits = decimal_width(uint64_t(u16_len));
    }
    return 1 + digits + n;
}

// The exact length of the document and the widest width of its text; false
// for a table with a row or cell whose length is not known without
// interpreter code. Runs none.
VORN_HOT bool measure_exactly(PyObject* table, Sizing& out) {
    PyObject** items = items_of(table);
    const Py_ssize_t rows = size_of(table);
    // One row terminator a row.
    int64_t sum = rows;
    Width widest_seen = Width::kAscii;
    for (Py_ssize_t r = 0; r < rows; ++r) {
        PyObject* row = items[r];
        if (!is_sequence(row)) return false;
        // Fetched ahead as the fast road fetches them: the row header six
        // rows on, its item array four rows on, its first cells two rows on.
        if (r + 6 < rows) VORN_PREFETCH(items[r + 6]);
        if (r + 4 < rows && PyList_CheckExact(items[r + 4]))
            VORN_PREFETCH(reinterpret_cast<PyListObject*>(items[r + 4])->ob_item);
        if (r + 2 < rows && is_sequence(items[r + 2])) {
            PyObject** next = items_of(items[r + 2]);
            const Py_ssize_t ahead = std::min(size_of(items[r + 2]), kAhead);
            for (Py_ssize_t k = 0; k < ahead; ++k) VORN_PREFETCH(next[k]);
        }
        PyObject** cells = items_of(row);
        const Py_ssize_t count = size_of(row);
        for (Py_ssize_t c = 0; c < count; ++c) {
            if (c + kAhead < count) VORN_PREFETCH(cells[c + kAhead]);
            PyObject* cell = cells[c];
            if (layout::is_exact_compact_ascii(cell)) {
                // The commonest cell: its width is the result's narrowest.
                const Py_ssize_t n = layout::length(cell);
                sum += 1 + kernels::length_digits(uint64_t(n)) + n;
            } else if (PyUnicode_Check(cell)) {
                sum += str_cell_length(cell);
                widest_seen = widest(widest_seen, layout::width(cell));
            } else {
                const Py_ssize_t len = scalar_cell_length(cell);
                if (len == 0) return false;
                sum += len;
            }
        }
    }
    if (sum <= 0 || sum > PY_SSIZE_T_MAX / 4) return false;
    out = Sizing{Py_ssize_t(sum), widest_seen};
    return true;
}

}  // namespace

Sizing size_result(PyObject* table) {
    const Py_ssize_t rows = size_of(table);
    PyObject** items = items_of(table);
    constexpr Py_ssize_t kSampleRows = 32, kSampleCells = 64;
    const Py_ssize_t samples = std::min(rows, kSampleRows);
    double lengths[kSampleRows];
    Width width = Width::kAscii;
    bool measurable = true;
    for (Py_ssize_t s = 0; s < samples; ++s) {
        PyObject* row = items[samples == rows ? s : s * (rows - 1) / (samples - 1)];
        double row_len = 1;
        if (is_sequence(row)) {
            PyObject** cells = items_of(row);
            const Py_ssize_t n = size_of(row);
            const Py_ssize_t looked = std::min(n, kSampleCells);
            double cells_len = 0;
            for (Py_ssize_t c = 0; c < looked; ++c) {
                PyObject* cell = cells[looked == n ? c : c * (n - 1) / (looked - 1)];
                if (PyUnicode_Check(cell)) {
                    const Py_ssize_t len = layout::length(cell);
                    cells_len += double(len + 1 + decimal_width(uint64_t(len)));
                    width = widest(width, layout::width(cell));
                } else {
                    // A number or None: a few characters, and a short
                    // estimate only costs a regrowth.
                    const Py_ssize_t len = scalar_cell_length(cell);
                    if (len == 0) measurable = false;
                    cells_len += len ? double(len) : 5;
                }
            }
            if (looked) row_len += cells_len * double(n) / double(looked);
        } else {
            measurable = false;
        }
        lengths[s] = row_len;
    }
    if (measurable) {
        Sizing exact;
        if (measure_exactly(table, exact)) return exact;
    }
    std::sort(lengths, lengths + samples);
    const double cap = samples ? 4 * lengths[samples / 2] : 0;
    double sum = 0;
    for (Py_ssize_t s = 0; s < samples; ++s) sum += std::min(lengths[s], cap);
    double estimate = samples ? sum * double(rows) / double(samples) : 0;
    estimate += estimate / 16 + 64;
    if (estimate > double(PY_SSIZE_T_MAX / 4)) estimate = double(PY_SSIZE_T_MAX / 4);
    return Sizing{Py_ssize_t(estimate), width};
}

}  // namespace vorn::codec
