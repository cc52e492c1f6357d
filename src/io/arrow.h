// vorn_io's columnar path: ColumnReader (VORN into Arrow record batches)
// and ColumnWriter (Arrow record batches into VORN).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>


namespace vorn::io {

// Adds ColumnReader, ColumnWriter and their helpers; 0, or -1 with an exception.
int add_arrow_types(PyObject* module);

// Drops a reference from any thread: at once when this thread holds the
// interpreter, otherwise as soon as the interpreter runs its pending calls.
void release_from_any_thread(PyObject* object);

}  // namespace vorn::io
