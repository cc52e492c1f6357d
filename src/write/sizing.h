// How large the result is made before writing starts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "write/width.h"

namespace vorn::codec {

struct Sizing {
    Py_ssize_t capacity;
    Width width;
};

// The first capacity and width of the result for a table that is an exact
// list or tuple: exactly the document's, for a table of exact lists or
// tuples of cells whose lengths are known without interpreter code (str,
// None, booleans, small ints); estimated from a sample of rows otherwise.
// Runs no interpreter code.
Sizing size_result(PyObject* table);

}  // namespace vorn::codec
