// The two ways of sizing the result.
//
// Sampled: rows spread over the table are looked at (at most 32, and at
// most 64 cells of each), and the result starts at the widest width seen
// there. A few long rows among the sampled ones must not make the room far
// larger than the document: a short estimate costs a few regrowths, a long
// one holds memory until the end, so rows far longer than the typical
// sampled row count four times that row at most.
//
// Exact: when the sampled cells hold 64 code points or more on average and
// the table is all str in exact lists or tuples, every cell's header is read
// once more. That costs next to nothing beside copying long cells, and the
// exact size makes each call ask the allocator for the same block, which it
// hands back without fresh pages (a larger first request would get new pages
// each time).

#include "write/sizing.h"

#include <algorithm>
#include <cstdint>

#include "write/rows.h"
#include "write/str_layout.h"
#include "format/format.h"

namespace vorn::codec {

namespace {

using format::decimal_width;

// Code points a sampled cell holds on average from which the table is
// measured exactly.
constexpr double kLongCell = 64;

// The exact length of the document and the widest width of its text, for a
// table whose rows are exact lists or tuples of str; false for any other
// table.
bool measure_exactly(PyObject* table, Sizing& out) {
    PyObject** items = items_of(table);
    const Py_ssize_t rows = size_of(table);
    int64_t sum = 0;
    Width widest_seen = Width::kAscii;
    for (Py_ssize_t r = 0; r < rows; ++r) {
        PyObject* row = items[r];
        if (!is_sequence(row)) return false;
        PyObject** cells = items_of(row);
        const Py_ssize_t count = size_of(row);
        for (Py_ssize_t c = 0; c < count; ++c) {
            PyObject* cell = cells[c];
            if (!PyUnicode_Check(cell)) return false;
            const Py_ssize_t n = layout::length(cell);
            int digits = decimal_width(uint64_t(n));
            // Four-byte text is 1 to 2 UTF-16 units a code point: its code
            // points are counted only when that changes the digits.
            if (layout::kind(cell) == PyUnicode_4BYTE_KIND && decimal_width(2 * uint64_t(n)) != digits)
                digits = decimal_width(uint64_t(layout::utf16_length(cell)));
            sum += 1 + digits + n;
            widest_seen = widest(widest_seen, layout::width(cell));
        }
        sum += 1;
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
    double sampled_cells = 0, sampled_chars = 0;
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
                    sampled_cells += 1;
                    sampled_chars += double(len);
                } else {
                    // A number or None: a few characters, and a short
                    // estimate only costs a regrowth.
                    cells_len += 5;
                }
            }
            if (looked) row_len += cells_len * double(n) / double(looked);
        }
        lengths[s] = row_len;
    }
    if (sampled_cells > 0 && sampled_chars >= kLongCell * sampled_cells) {
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
