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

}  // namespace vorn
