// The figures of a table that `vorn stats` reports, gathered from the rows a
// decoder returns: cells per row, each cell's UTF-16 length, code points and
// storage width, and where the longest cell and the widest row stand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn::io {

// Adds the type RowStats; 0, or -1 with an exception.
int add_measure_type(PyObject* module);

}  // namespace vorn::io
