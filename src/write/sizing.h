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
// list or tuple, estimated from a sample of its rows. Runs no interpreter
// code.
Sizing size_result(PyObject* table);

}  // namespace vorn::codec
