// Tables and rows that are exact lists or tuples, read in place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn::codec {

inline bool is_sequence(PyObject* o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }

// Items and length of an exact list or tuple, as they are now: read again
// after anything that may have run interpreter code.
inline PyObject** items_of(PyObject* seq) {
    return PyList_CheckExact(seq) ? reinterpret_cast<PyListObject*>(seq)->ob_item
                                  : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
}
inline Py_ssize_t size_of(PyObject* seq) { return Py_SIZE(seq); }

}  // namespace vorn::codec
