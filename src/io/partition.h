// Row boundaries of VORN documents held as bytes, found without decoding
// them, so that a large file can be split into pieces that each read alone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn::io {

// Adds the module's partitioning functions; 0, or -1 with an exception.
int add_partition_functions(PyObject* module);

}  // namespace vorn::io
