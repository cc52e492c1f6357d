// Binding a call's arguments to a function's parameters, with the
// interpreter's positional and keyword forms and its usual error messages.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/state.h"

namespace vorn {

inline constexpr int kMaxParameters = 4;

// What one function needs to bind a call and hand it to its body.
struct Binding {
    const char* name;                       // used in messages: "parse"
    const char* const* parameter_names;     // C forms of the parameter names
    PyObject* Constants::* const* parameters;  // interned parameter names, in order
    int parameter_count;
    PyObject* Constants::* code;            // code object of its traceback entries
    bool exact_str_argument;                // first argument must be exactly str
    PyObject* (*body)(PyObject* const* values);
};

extern const Binding kStringifyBinding;
extern const Binding kParseBinding;

// The vector call of every function object: binds, applies the type rule,
// runs the body. Failures in binding and in the body gain the function's
// traceback entry; a refused argument type does not.
PyObject* call_bound(const Binding& binding, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// The classic call form (argument tuple and keyword dict), turned into a
// vector call.
PyObject* call_with_tuple(PyObject* callable, vectorcallfunc vectorcall, PyObject* args, PyObject* kwargs);

}  // namespace vorn
