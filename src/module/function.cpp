#include "module/function.h"

#include <cstddef>

#include "common/ref.h"
#include "module/state.h"

namespace vorn {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Binding* binding;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

inline Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return call_bound(*as_function(self)->binding, args, nargsf, kwnames);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_with_tuple(self, function_vectorcall, args, kwargs);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Looked up through an instance, a function becomes a method of it, exactly
// as functions written in Python do.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference: the module and qualified name find it again.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

// --- Attributes ----------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_text(PyObject*& slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) { return set_text(as_function(self)->name, value, "__name__"); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module_name), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vorn.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

bool ready_function_type() {
    if (g_state.function_type) return true;
    PyObject* type = PyType_FromSpec(&function_spec);
    if (!type) return false;
    g_state.function_type = reinterpret_cast<PyTypeObject*>(type);
    return true;
}

PyObject* new_function(const FunctionSpec& spec) {
    Function* f = PyObject_GC_New(Function, g_state.function_type);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->binding = spec.binding;
    f->name = Py_NewRef(spec.name);
    f->qualname = Py_NewRef(spec.qualname);
    f->module_name = Py_NewRef(spec.module_name);
    f->doc = Py_NewRef(spec.doc);
    f->globals = Py_NewRef(spec.globals);
    f->code = Py_NewRef(spec.code);
    f->annotations = Py_XNewRef(spec.annotations);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace vorn
