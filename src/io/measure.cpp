#include "io/measure.h"

#include <cstdint>
#include <map>
#include <new>

#include "common/ref.h"
#include "format/utf16.h"

namespace vorn::io {

namespace {

// Everything is counted in C++ while the rows are read; only the summary
// makes objects.
struct Figures {
    int64_t first_row = 1;     // document row number of the first row measured
    int64_t expected = -1;     // cells rows are compared with (-1: the first row's)
    int64_t rows = 0;
    int64_t cells = 0;
    int64_t ragged = 0;
    int64_t first_ragged = -1;
    int64_t widest_cells = -1, widest_row = 0;
    int64_t longest_units = -1, longest_points = 0, longest_row = 0, longest_cell = 0;
    int64_t widths[3] = {0, 0, 0};  // cells stored with 1, 2 and 4 bytes a code point
    int64_t astral = 0;             // code points above U+FFFF in all cells
    int64_t widest_storage = 1;     // bytes a code point of the widest cell
    std::map<int64_t, int64_t> lengths;  // rows by their number of cells
    int64_t last_length = -1;            // the entry of lengths last counted
    int64_t* last_count = nullptr;
};

struct RowStatsObject {
    PyObject_HEAD
    Figures* figures;
};

PyObject* row_stats_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"expected", "first_row", nullptr};
    PyObject* expected = Py_None;
    long long first_row = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OL:RowStats", const_cast<char**>(kwlist), &expected,
                                     &first_row))
        return nullptr;
    long long want = -1;
    if (expected != Py_None) {
        want = PyLong_AsLongLong(expected);
        if (want == -1 && PyErr_Occurred()) return nullptr;
        if (want < 0) {
            PyErr_SetString(PyExc_ValueError, "expected must not be negative");
            return nullptr;
        }
    }
    auto* self = reinterpret_cast<RowStatsObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->figures = new (std::nothrow) Figures;
    if (!self->figures) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    self->figures->expected = want;
    self->figures->first_row = first_row;
    return reinterpret_cast<PyObject*>(self);
}

void row_stats_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<RowStatsObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    delete self->figures;
    self->figures = nullptr;
    type->tp_free(op);
    Py_DECREF(type);
}

// Measures the rows of batch (a list of lists of str). Nothing here runs
// interpreter code, so the lists cannot change under the loop; a row or
// cell of another type is refused before anything of the batch is counted.
PyObject* row_stats_add(PyObject* op, PyObject* batch) {
    Figures& f = *reinterpret_cast<RowStatsObject*>(op)->figures;
    if (!PyList_Check(batch)) return PyErr_Format(PyExc_TypeError, "RowStats.add() takes a list, not %T", batch);
    const Py_ssize_t count = PyList_GET_SIZE(batch);
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* row = PyList_GET_ITEM(batch, r);
        if (!PyList_Check(row)) return PyErr_Format(PyExc_TypeError, "rows must be lists, not %T", row);
        const Py_ssize_t n = PyList_GET_SIZE(row);
        for (Py_ssize_t c = 0; c < n; ++c) {
            PyObject* cell = PyList_GET_ITEM(row, c);
            if (!PyUnicode_CheckExact(cell)) return PyErr_Format(PyExc_TypeError, "cells must be str, not %T", cell);
        }
    }
    for (Py_ssize_t r = 0; r < count; ++r) {
        PyObject* row = PyList_GET_ITEM(batch, r);
        const int64_t n = PyList_GET_SIZE(row);
        const int64_t number = f.first_row + f.rows;
        ++f.rows;
        if (f.expected < 0) f.expected = n;
        // Rows mostly have the length of the row before: its entry is kept.
        if (n != f.last_length || !f.last_count) {
            f.last_length = n;
            f.last_count = &f.lengths[n];
        }
        ++*f.last_count;
        if (n != f.expected) {
            ++f.ragged;
            if (f.first_ragged < 0) f.first_ragged = number;
        }
        if (n > f.widest_cells) {
            f.widest_cells = n;
            f.widest_row = number;
        }
        f.cells += n;
        PyObject** items = reinterpret_cast<PyListObject*>(row)->ob_item;
        for (int64_t c = 0; c < n; ++c) {
            PyObject* cell = items[c];
            const int64_t points = PyUnicode_GET_LENGTH(cell);
            int64_t units = points;
            switch (PyUnicode_KIND(cell)) {
                case PyUnicode_1BYTE_KIND:
                    ++f.widths[0];
                    break;
                case PyUnicode_2BYTE_KIND:
                    ++f.widths[1];
                    if (f.widest_storage < 2) f.widest_storage = 2;
                    break;
                default: {
                    ++f.widths[2];
                    f.widest_storage = 4;
                    const int64_t astral =
                        format::count_astral(static_cast<const uint32_t*>(PyUnicode_DATA(cell)), points);
                    units += astral;
                    f.astral += astral;
                    break;
                }
            }
            if (units > f.longest_units) {
                f.longest_units = units;
                f.longest_points = points;
                f.longest_row = number;
                f.longest_cell = c + 1;
            }
        }
    }
    Py_RETURN_NONE;
}

PyObject* int_or_none(int64_t v) {
    if (v < 0) Py_RETURN_NONE;
    return PyLong_FromLongLong(v);
}

// The figures as a dict (see the type's doc).
PyObject* row_stats_summary(PyObject* op, PyObject*) {
    const Figures& f = *reinterpret_cast<RowStatsObject*>(op)->figures;
    Ref lengths(PyDict_New());
    if (!lengths) return nullptr;
    for (const auto& [cells, rows] : f.lengths) {
        Ref key(PyLong_FromLongLong(cells));
        Ref value(PyLong_FromLongLong(rows));
        if (!key || !value || PyDict_SetItem(lengths.get(), key.get(), value.get()) < 0) return nullptr;
    }
    Ref widest(f.widest_cells < 0 ? Py_NewRef(Py_None)
                                  : Py_BuildValue("(LL)", (long long)f.widest_cells, (long long)f.widest_row));
    Ref longest(f.longest_units < 0 ? Py_NewRef(Py_None)
                                    : Py_BuildValue("(LLLL)", (long long)f.longest_units, (long long)f.longest_points,
                                                    (long long)f.longest_row, (long long)f.longest_cell));
    Ref widths(Py_BuildValue("{iLiLiL}", 1, (long long)f.widths[0], 2, (long long)f.widths[1], 4,
                             (long long)f.widths[2]));
    Ref expected(int_or_none(f.expected));
    Ref first_ragged(int_or_none(f.first_ragged));
    if (!widest || !longest || !widths || !expected || !first_ragged) return nullptr;
    return Py_BuildValue("{sLsLsOsOsLsOsOsOsOsLsL}", "rows", (long long)f.rows, "cells", (long long)f.cells,
                         "lengths", lengths.get(), "expected", expected.get(), "ragged", (long long)f.ragged,
                         "first_ragged", first_ragged.get(), "widest", widest.get(), "longest", longest.get(),
                         "widths", widths.get(), "astral", (long long)f.astral, "storage_width",
                         (long long)f.widest_storage);
}

const char kRowStatsDoc[] =
    "RowStats(*, expected=None, first_row=1)\n--\n\n"
    "The figures of a table, measured a batch of rows at a time: add(rows)\n"
    "takes a list of lists of str (as Decoder.feed returns them), summary()\n"
    "gives a dict of: rows, cells, lengths (rows by their number of cells),\n"
    "expected (the cells rows are compared with: the given number, else the\n"
    "first row's), ragged (rows of another number) and first_ragged, widest\n"
    "(cells, row) of the first row with the most cells, longest (UTF-16 units,\n"
    "code points, row, cell) of the first longest cell, widths (cells by\n"
    "storage width in bytes), astral (code points above U+FFFF in all cells)\n"
    "and storage_width (of the widest cell; 1 without cells). Rows are\n"
    "numbered from first_row, cells from 1.";

PyMethodDef kRowStatsMethods[] = {
    {"add", row_stats_add, METH_O, "add(rows, /)\n--\n\nMeasures the next rows."},
    {"summary", row_stats_summary, METH_NOARGS, "summary()\n--\n\nThe figures so far, as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kRowStatsSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(row_stats_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(row_stats_dealloc)},
    {Py_tp_methods, kRowStatsMethods},
    {Py_tp_doc, const_cast<char*>(kRowStatsDoc)},
    {0, nullptr},
};

PyType_Spec kRowStatsSpec = {
    "vorn_io._scanner.RowStats",
    sizeof(RowStatsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kRowStatsSlots,
};

}  // namespace

int add_measure_type(PyObject* module) {
    Ref type(PyType_FromModuleAndSpec(module, &kRowStatsSpec, nullptr));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "RowStats", type.get());
}

}  // namespace vorn::io
