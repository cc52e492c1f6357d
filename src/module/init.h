// The two steps of the module's multi-phase initialisation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn {

// Creation step: the module object for spec (the existing one after the first
// successful execution), or null with an exception set.
PyObject* create_module(PyObject* spec, PyModuleDef* def);

// Execution step: builds the constants, the function objects and every
// global, in order. Returns 0, or -1 with an exception set.
int exec_module(PyObject* module);

}  // namespace vorn
