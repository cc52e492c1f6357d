// Writing a table as a VORN document.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/host.h"

namespace vorn::codec {

// Serializes any iterable of iterables into a new str. Cells that are not
// strings are written as their string conversion. Returns null with the
// pending exception on failure.
PyObject* stringify(PyObject* lists, const Host& host);

}  // namespace vorn::codec
