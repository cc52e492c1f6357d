// The objects a reader makes: cell strings cut out of the input, and the
// cells of the row being read, kept until its terminator arrives.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/portable.h"

#include <cstdint>
#include <cstring>

namespace vorn::codec {

// Owned cell strings of the row being read.
class CellStack {
public:
    CellStack() = default;
    CellStack(const CellStack&) = delete;
    CellStack& operator=(const CellStack&) = delete;
    ~CellStack() {
        clear();
        PyMem_Free(items_);
    }

    // Takes the reference to cell; on failure releases it and sets MemoryError.
    bool push(PyObject* cell) {
        if (size_ == capacity_ && !grow()) {
            Py_DECREF(cell);
            return false;
        }
        items_[size_++] = cell;
        return true;
    }

    // Moves the cells into a new list of exactly their number.
    PyObject* take_row() {
        PyObject* row = PyList_New(size_);
        if (!row) return nullptr;
        for (Py_ssize_t k = 0; k < size_; ++k) PyList_SET_ITEM(row, k, items_[k]);
        size_ = 0;
        return row;
    }

    void clear() {
        while (size_ > 0) Py_DECREF(items_[--size_]);
    }

    Py_ssize_t size() const { return size_; }

    void swap(CellStack& other) {
        PyObject** items = items_;
        items_ = other.items_;
        other.items_ = items;
        const Py_ssize_t size = size_;
        size_ = other.size_;
        other.size_ = size;
        const Py_ssize_t capacity = capacity_;
        capacity_ = other.capacity_;
        other.capacity_ = capacity;
    }

private:
    VORN_NOINLINE bool grow() {
        const Py_ssize_t capacity = capacity_ ? capacity_ * 2 : 16;
        auto* items = static_cast<PyObject**>(PyMem_Realloc(items_, size_t(capacity) * sizeof(PyObject*)));
        if (!items) {
            PyErr_NoMemory();
            return false;
        }
        items_ = items;
        capacity_ = capacity;
        return true;
    }

    PyObject** items_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

// Ends the row being read: its cells become a list appended to out.
inline bool append_row(CellStack& cells, PyObject* out) {
    PyObject* row = cells.take_row();
    if (!row) return false;
    const int rc = PyList_Append(out, row);
    Py_DECREF(row);
    return rc == 0;
}

// A new string holding units[0..n). When the whole input is ASCII so is every
// cell, and the cell is made at that width without looking for its widest
// character. Otherwise the narrowest width that holds the cell is chosen.
template <typename Unit, bool Ascii>
inline PyObject* make_cell(const Unit* units, Py_ssize_t n) {
    if constexpr (Ascii) {
        if (n <= 1) return n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(units[0]);
        PyObject* cell = PyUnicode_New(n, 127);
        if (cell) std::memcpy(PyUnicode_1BYTE_DATA(cell), units, size_t(n));
        return cell;
    } else {
        return PyUnicode_FromKindAndData(int(sizeof(Unit)), units, n);
    }
}

// A new string holding units[0..n) whose widest code point is known, made
// directly at the width that holds it.
inline PyObject* make_cell_ucs4(const uint32_t* units, Py_ssize_t n, uint32_t widest) {
    if (n <= 1) return n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(int(units[0]));
    PyObject* cell = PyUnicode_New(n, widest);
    if (!cell) return nullptr;
    switch (PyUnicode_KIND(cell)) {
        case PyUnicode_1BYTE_KIND: {
            Py_UCS1* out = PyUnicode_1BYTE_DATA(cell);
            for (Py_ssize_t k = 0; k < n; ++k) out[k] = Py_UCS1(units[k]);
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            Py_UCS2* out = PyUnicode_2BYTE_DATA(cell);
            for (Py_ssize_t k = 0; k < n; ++k) out[k] = Py_UCS2(units[k]);
            break;
        }
        default:
            std::memcpy(PyUnicode_4BYTE_DATA(cell), units, size_t(n) * 4);
            break;
    }
    return cell;
}

}  // namespace vorn::codec
