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
// HEX is only handed out borrowed when no such key is present.
//
// The answer depends on the dictionary alone, so it is kept until the
// dictionary changes: a dictionary watcher counts every change (an added,
// replaced or deleted entry, a clear), and the kept answer is used while the
// count stands still. Where no watcher could be had, every call looks again.
struct Peeked {
    PyObject* globals = nullptr;  // the dictionary the answer is about
    PyObject* hex = nullptr;      // borrowed from it
    uint64_t changes = 0;         // watcher count when the answer was made
    bool valid = false;
};

Peeked g_peeked;
uint64_t g_changes = 0;
int g_watcher = -1;
PyObject* g_watched = nullptr;  // the dictionary the watcher reports on
uint64_t g_unwatched_version = 0;

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_changes;
    return 0;
}

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

codec::HexPeek peek_hex() {
    PyObject* globals = g_state.globals;
    if (!globals) return {nullptr, 0};
    if (globals != g_watched) return {find_hex_if_pure(globals), ++g_unwatched_version | (uint64_t(1) << 63)};
    if (!g_peeked.valid || g_peeked.globals != globals || g_peeked.changes != g_changes) {
        g_peeked.hex = find_hex_if_pure(globals);
        g_peeked.globals = globals;
        g_peeked.changes = g_changes;
        g_peeked.valid = true;
    }
    return {g_peeked.hex, g_peeked.changes};
}

}  // namespace

const codec::Host kCodecHost = {lookup_hex, peek_hex, lookup_err_unexpected_end};

void watch_globals(PyObject* globals) {
    if (g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(count_change);
        if (g_watcher < 0) {
            // All watcher slots taken: look-ups are checked afresh each time.
            PyErr_Clear();
            return;
        }
    }
    if (PyDict_Watch(g_watcher, globals) < 0) {
        PyErr_Clear();
        return;
    }
    g_watched = globals;
    g_peeked.valid = false;
}

}  // namespace vorn
