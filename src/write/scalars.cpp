#include "write/scalars.h"

#include <cstdint>

#include "write/str_layout.h"
#include "write/text.h"
#include "format/format.h"
#include "common/portable.h"

namespace vorn::codec {

using format::decimal_width;
using format::write_decimal;

template <typename Dst>
VORN_NOINLINE Py_ssize_t put_scalar(Span<Dst> at, const char* hex, int fast_digits, PyObject* cell) {
    Dst* const w = at.w;
    if (at.room() < 32 || fast_digits < 2) return 0;
    if (PyLong_CheckExact(cell) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(cell))) {
        const Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(cell));
        const uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
        const int width = decimal_width(magnitude);
        const int len = width + (value < 0 ? 1 : 0);
        const int digits = len < 10 ? 1 : 2;
        w[0] = Dst(hex[digits - 1]);
        write_decimal(w + 1, uint64_t(len), digits);
        Dst* text = w + 1 + digits;
        if (value < 0) *text++ = Dst('-');
        write_decimal(text, magnitude, width);
        return 1 + digits + len;
    }
    const char* word = nullptr;
    if (cell == Py_None)
        word = "04None";
    else if (cell == Py_True)
        word = "04True";
    else if (cell == Py_False)
        word = "05False";
    if (word) {
        Py_ssize_t k = 0;
        for (; word[k]; ++k) w[k] = Dst(word[k]);
        w[0] = Dst(hex[0]);
        return k;
    }
    if (PyFloat_CheckExact(cell)) {
        PyObject* text = PyFloat_Type.tp_repr(cell);
        if (!text) {
            // Out of memory: the general road converts again and reports it.
            PyErr_Clear();
            return 0;
        }
        const Py_ssize_t n = layout::length(text);
        Py_ssize_t written = 0;
        if (layout::is_compact_ascii(text) && n < 10 && n + 2 <= at.room()) {
            w[0] = Dst(hex[0]);
            w[1] = Dst('0' + n);
            copy_units(w + 2, layout::data(text), PyUnicode_1BYTE_KIND, n);
            written = 2 + n;
        } else if (layout::is_compact_ascii(text) && n < 100 && n + 3 <= at.room()) {
            w[0] = Dst(hex[1]);
            write_decimal(w + 1, uint64_t(n), 2);
            copy_units(w + 3, layout::data(text), PyUnicode_1BYTE_KIND, n);
            written = 3 + n;
        }
        Py_DECREF(text);
        return written;
    }
    return 0;
}

Py_ssize_t scalar_cell_length(PyObject* cell) {
    if (PyLong_CheckExact(cell) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(cell))) {
        const Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(cell));
        const uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
        const int len = decimal_width(magnitude) + (value < 0 ? 1 : 0);
        return 1 + decimal_width(uint64_t(len)) + len;
    }
    if (cell == Py_None || cell == Py_True) return 6;
    if (cell == Py_False) return 7;
    return 0;
}

template Py_ssize_t put_scalar<Py_UCS1>(Span<Py_UCS1>, const char*, int, PyObject*);
template Py_ssize_t put_scalar<Py_UCS2>(Span<Py_UCS2>, const char*, int, PyObject*);
template Py_ssize_t put_scalar<Py_UCS4>(Span<Py_UCS4>, const char*, int, PyObject*);

}  // namespace vorn::codec
