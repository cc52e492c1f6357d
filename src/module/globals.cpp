#include "module/globals.h"

#include "module/state.h"

namespace vorn {

PyObject* lookup_global(PyObject* name) {
    PyObject* globals = g_state.globals;
    if (globals) {
        // Names come from the constant table and carry their hash already.
        PyObject* value = _PyDict_GetItem_KnownHash(globals, name, ((PyASCIIObject*)name)->hash);
        if (value) return Py_NewRef(value);
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
        }
    }
    PyObject* value = nullptr;
    if (g_state.builtins) {
        if (PyObject_GetOptionalAttr(g_state.builtins, name, &value) < 0) return nullptr;
    }
    if (!value) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

namespace {

PyObject* lookup_hex() { return lookup_global(g_state.k.hex); }

PyObject* lookup_err_unexpected_end() { return lookup_global(g_state.k.err_unexpected_end); }

// A dictionary look-up compares the name with every stored key of the same
// hash. Exact str keys compare by memory; any other key (a str subclass
// included) may run its own __eq__, which may change anything at all. So
// HEX is only handed out borrowed when no such key is present. The
// dictionary is looked at afresh at every call: it is small, and an answer
// kept from an earlier look would have to be proven still true.
PyObject* find_hex_if_pure(PyObject* globals) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(globals, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return nullptr;
    PyObject* hex = _PyDict_GetItem_KnownHash(globals, g_state.k.hex, ((PyASCIIObject*)g_state.k.hex)->hash);
    if (!hex || !PyUnicode_CheckExact(hex)) {
        // Absent here: the builtins are consulted, and that is the other road.
        PyErr_Clear();
        return nullptr;
    }
    return hex;
}

PyObject* peek_hex() {
    PyObject* globals = g_state.globals;
    return globals ? find_hex_if_pure(globals) : nullptr;
}

}  // namespace

const codec::Host kCodecHost = {lookup_hex, peek_hex, lookup_err_unexpected_end};

}  // namespace vorn
