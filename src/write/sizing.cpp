// The first size of the result: estimated from rows spread over the table
// (at most 32, and at most 64 cells of each), at the widest width seen
// there. The walk then writes the table in one pass, growing the result if
// the estimate falls short, and trims it at the end.
//
// Measuring every cell before writing would size the result exactly, but it
// reads every cell's header twice, and that second read is most of the cost
// of a table of short cells: the estimate costs a trim, a few regrowths at
// worst. Output (output.cpp) makes sure the allocator can serve the estimate
// again from memory it holds, which is what an exact size was for.
//
// A few long rows among the sampled ones must not make the room far larger
// than the document: a short estimate costs a few regrowths, a long one
// holds memory until the end, so rows far longer than the typical sampled
// row count four times that row at most.

#include "write/sizing.h"

#include <algorithm>
#include <cstdint>

#include "write/rows.h"
#include "write/scalars.h"
#include "write/str_layout.h"
#include "format/format.h"

namespace vorn::codec {

using format::decimal_width;

Sizing size_result(PyObject* table) {
    const Py_ssize_t rows = size_of(table);
    PyObject** items = items_of(table);
    constexpr Py_ssize_t kSampleRows = 32, kSampleCells = 64;
    const Py_ssize_t samples = std::min(rows, kSampleRows);
    double lengths[kSampleRows];
    Width width = Width::kAscii;
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
                    cells_len += len ? double(len) : 5;
                }
            }
            if (looked) row_len += cells_len * double(n) / double(looked);
        }
        lengths[s] = row_len;
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
