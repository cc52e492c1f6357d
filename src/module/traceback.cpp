#include "module/traceback.h"
#include <frameobject.h>

#include "common/ref.h"
#include "module/state.h"

namespace vorn {

void add_traceback_entry(PyObject* code) {
    // The frame is built with no exception pending; whatever goes wrong while
    // building or attaching it, the original exception is what leaves.
    Ref exc(PyErr_GetRaisedException());
    if (!exc) return;
    Ref globals = Ref::borrow(g_state.globals);
    if (!globals) globals = Ref(PyDict_New());
    PyFrameObject* frame = nullptr;
    if (globals) frame = PyFrame_New(PyThreadState_Get(), (PyCodeObject*)code, globals.get(), nullptr);
    PyErr_Clear();
    PyErr_SetRaisedException(Py_NewRef(exc.get()));
    if (frame) {
        if (PyTraceBack_Here(frame) < 0) {
            PyErr_Clear();
            PyErr_SetRaisedException(Py_NewRef(exc.get()));
        }
        Py_DECREF(frame);
    }
}

void add_traceback_entry(const char* function_name, int line) {
    Ref exc(PyErr_GetRaisedException());
    if (!exc) return;
    Ref code((PyObject*)PyCode_NewEmpty("<vorn>", function_name, line));
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    if (code) add_traceback_entry(code.get());
}

}  // namespace vorn
