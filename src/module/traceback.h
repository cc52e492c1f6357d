// Adding named entries to the traceback of the exception being raised, so
// that a failure inside the module shows where it left.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn {

// Adds an entry for code (at its first line) to the pending exception.
// Errors while building the entry are swallowed; the original exception is
// kept.
void add_traceback_entry(PyObject* code);

// Same, for an entry built on the spot with a function name and a line.
void add_traceback_entry(const char* function_name, int line);

}  // namespace vorn
