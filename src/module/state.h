// Process-wide state of the module. There is no per-module state: one module
// object serves the whole process, and the strings and code objects below are
// shared by every call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vorn {

// Fixed strings and code objects, built by the execution step. Names are
// interned, so they are the same objects interpreter code uses for the same
// identifiers.
struct Constants {
    // Global and attribute names.
    PyObject* sys;
    PyObject* all;
    PyObject* hex;
    PyObject* err_unexpected_end;
    PyObject* utf16_codec;
    PyObject* stringify;
    PyObject* parse;
    PyObject* test;
    PyObject* byteorder;
    PyObject* add_note;
    PyObject* vorn;
    PyObject* lists;
    PyObject* ret;
    // Values.
    PyObject* big;
    PyObject* str_name;
    PyObject* list_name;
    PyObject* hex_default;
    PyObject* msg_unexpected_end;
    PyObject* codec_be;
    PyObject* codec_le;
    PyObject* doc_stringify;
    PyObject* doc_parse;
    PyObject* module_name;
    // The empty tuple, for calls without positional arguments.
    PyObject* empty_tuple;
    // Code objects that the functions' traceback entries name.
    PyObject* code_stringify;
    PyObject* code_parse;
};

struct ProcessState {
    // The one module object whose execution started and did not fail.
    PyObject* module = nullptr;
    // Dictionary of the module most recently executed; global look-ups read it.
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr;
    // Identifier of the first interpreter that created the module; -1 before.
    int64_t owner_interpreter = -1;
    PyTypeObject* function_type = nullptr;
    Constants k = {};
};

extern ProcessState g_state;

// Builds (or rebuilds) the constant strings. Returns false with an exception
// set on failure.
bool build_constants();

}  // namespace vorn
