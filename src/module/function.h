// The type of the module's two function objects: a small stand-in for the
// interpreter's own function type, so that parse and stringify look and bind
// like functions written in Python while their bodies are native.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/binding.h"

namespace vorn {

// Creates the function type once per process. Safe to call again, including
// after an earlier failure.
bool ready_function_type();

struct FunctionSpec {
    const Binding* binding;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* annotations;
};

// A new function object, or null with an exception set.
PyObject* new_function(const FunctionSpec& spec);

}  // namespace vorn
