// Module creation and execution.
//
// One module object serves the whole process: the first interpreter to create
// it owns it, a later creation hands back the same object, and its execution
// runs once. A failed execution leaves nothing recorded, so a later import
// starts afresh.

#include "module/init.h"

#include <cstdio>

#include "common/ref.h"
#include "module/binding.h"
#include "module/function.h"
#include "module/globals.h"
#include "module/state.h"
#include "module/traceback.h"

namespace vorn {

namespace {

// Source lines named by the traceback entry of a failing execution step.
enum Line : int {
    kLineSupport = 1,
    kLineSys = 6,
    kLineAll = 16,
    kLineHex = 18,
    kLineErrUnexpectedEnd = 19,
    kLineUtf16Codec = 20,
    kLineStringify = 23,
    kLineParse = 57,
    kLineTest = 1,
};

constexpr const char* kStringifyLocals[] = {"lists", "out", "v",     "l_str", "u16_len", "i",
                                            "v_len", "kind", "buf", "l",     "item"};
constexpr const char* kParseLocals[] = {"vorn",       "length",   "kind",           "out",       "ls",
                                        "data",       "i",        "j",              "n",         "c",
                                        "char_start", "H_digits", "target_u16_len", "u16_accum", "char_idx",
                                        "u16_idx",    "buf",      "ch",             "low_surrogate_code", "_"};

// A code object for a function's traceback entries and introspection: named
// as the entry reads, with the function's argument count and local names.
template <size_t N>
PyObject* make_code(const char* entry_name, int first_line, const char* const (&locals)[N]) {
    Ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<vorn>", entry_name, first_line)));
    if (!code) return nullptr;
    Ref varnames(PyTuple_New(Py_ssize_t(N)));
    if (!varnames) return nullptr;
    for (size_t k = 0; k < N; ++k) {
        PyObject* name = PyUnicode_InternFromString(locals[k]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), Py_ssize_t(k), name);
    }
    Ref replace(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs(Py_BuildValue("{s:i,s:i,s:O}", "co_argcount", 1, "co_nlocals", int(N), "co_varnames", varnames.get()));
    if (!kwargs) return nullptr;
    return PyObject_Call(replace.get(), g_state.k.empty_tuple, kwargs.get());
}

// State of one run of the execution step, so that a failure can undo what
// must not outlive it.
struct Execution {
    PyObject* module;
    PyObject* globals = nullptr;  // the module's dictionary, borrowed
    bool added_alias = false;  // this run put the module in sys.modules as "vorn"

    // Fails the step: adds the "init vorn" entry (line 0: none), drops the
    // module instance, and removes the "vorn" alias this run added if it still
    // refers to this module, so that a retry builds a fresh module.
    int fail(int line) {
        if (line > 0) add_traceback_entry("init vorn", line);
        if (added_alias) {
            Ref exc(PyErr_GetRaisedException());
            PyObject* modules = PyImport_GetModuleDict();
            // The interned name carries its hash, so this cleanup allocates
            // nothing and also works when memory has run out.
            PyObject* entry = nullptr;
            if (PyDict_GetItemRef(modules, g_state.k.module_name, &entry) > 0 && entry == module)
                PyDict_DelItem(modules, g_state.k.module_name);
            Py_XDECREF(entry);
            PyErr_Clear();
            PyErr_SetRaisedException(exc.release());
        }
        Py_CLEAR(g_state.module);
        return -1;
    }
};

// The "sys" module from the module table, imported if it is not there.
PyObject* find_sys(PyObject* globals) {
    PyObject* sys = PyImport_GetModule(g_state.k.sys);
    if (sys || PyErr_Occurred()) return sys;
    Ref locals(PyDict_New());
    if (!locals) return nullptr;
    return PyImport_ImportModuleLevelObject(g_state.k.sys, globals, locals.get(), nullptr, 0);
}

// "utf-16-le" unless sys.byteorder is "big".
PyObject* utf16_codec_name() {
    Ref sys(lookup_global(g_state.k.sys));
    if (!sys) return nullptr;
    Ref order(PyObject_GetAttr(sys.get(), g_state.k.byteorder));
    if (!order) return nullptr;
    int differs;
    if (PyUnicode_CheckExact(order.get())) {
        differs = PyUnicode_Compare(order.get(), g_state.k.big) != 0;
    } else {
        Ref ne(PyObject_RichCompare(order.get(), g_state.k.big, Py_NE));
        if (!ne) return nullptr;
        differs = PyObject_IsTrue(ne.get());
        if (differs < 0) return nullptr;
    }
    return Py_NewRef(differs ? g_state.k.codec_le : g_state.k.codec_be);
}

PyObject* make_function(const Binding& binding, PyObject* name, PyObject* doc, PyObject* code, PyObject* globals,
                        PyObject* annotations) {
    const FunctionSpec spec = {&binding, name, name, g_state.k.module_name, doc, globals, code, annotations};
    return new_function(spec);
}

// --- The steps of execution, in the order they run --------------------------
//
// Each returns false with an exception set. The table in exec_module gives
// the source line its traceback entry names when it fails.

// The module's dictionary, which global look-ups read from now on, and the
// builtins it falls back on, also bound as __builtins__.
bool bind_dictionaries(Execution& run) {
    run.globals = PyModule_GetDict(run.module);
    if (!run.globals) return false;
    Py_XSETREF(g_state.globals, Py_NewRef(run.globals));
    PyObject* builtins = PyImport_AddModuleRef("builtins");
    if (!builtins) return false;
    Py_XSETREF(g_state.builtins, builtins);
    return PyObject_SetAttrString(run.module, "__builtins__", builtins) == 0;
}

// Warns when the running interpreter's major.minor differs from the one the
// module was built for.
bool check_version(Execution&) {
    const unsigned long major = (Py_Version >> 24) & 0xFF;
    const unsigned long minor = (Py_Version >> 16) & 0xFF;
    if (major == 3 && minor == 13) return true;
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13, "vorn",
                  "does not match", int(major), int(minor));
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool make_constants(Execution&) { return build_constants(); }

// An exception left pending by the steps so far (none expected) fails the
// execution here.
bool nothing_pending(Execution&) { return !PyErr_Occurred(); }

bool make_function_type(Execution&) { return ready_function_type(); }

// Imported as a submodule, the module is also reachable as plain "vorn".
bool alias_as_vorn(Execution& run) {
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, g_state.k.module_name);
    if (present < 0) return false;
    if (present) return true;
    if (PyDict_SetItem(modules, g_state.k.module_name, run.module) < 0) return false;
    run.added_alias = true;
    return true;
}

bool make_code_objects(Execution&) {
    Constants& k = g_state.k;
    Py_XSETREF(k.code_stringify, make_code("vorn.stringify", kLineStringify, kStringifyLocals));
    if (!k.code_stringify) return false;
    Py_XSETREF(k.code_parse, make_code("vorn.parse", kLineParse, kParseLocals));
    return k.code_parse != nullptr;
}

bool set_sys(Execution& run) {
    Ref sys(find_sys(run.globals));
    return sys && PyDict_SetItem(run.globals, g_state.k.sys, sys.get()) == 0;
}

bool set_all(Execution& run) {
    Ref all(PyList_New(2));
    if (!all) return false;
    PyList_SET_ITEM(all.get(), 0, Py_NewRef(g_state.k.stringify));
    PyList_SET_ITEM(all.get(), 1, Py_NewRef(g_state.k.parse));
    return PyDict_SetItem(run.globals, g_state.k.all, all.get()) == 0;
}

bool set_hex(Execution& run) { return PyDict_SetItem(run.globals, g_state.k.hex, g_state.k.hex_default) == 0; }

bool set_err_unexpected_end(Execution& run) {
    return PyDict_SetItem(run.globals, g_state.k.err_unexpected_end, g_state.k.msg_unexpected_end) == 0;
}

bool set_utf16_codec(Execution& run) {
    Ref codec(utf16_codec_name());
    return codec && PyDict_SetItem(run.globals, g_state.k.utf16_codec, codec.get()) == 0;
}

bool set_stringify(Execution& run) {
    Constants& k = g_state.k;
    Ref annotations(PyDict_New());
    if (!annotations || PyDict_SetItem(annotations.get(), k.ret, k.str_name) < 0) return false;
    Ref function(make_function(kStringifyBinding, k.stringify, k.doc_stringify, k.code_stringify, run.globals,
                               annotations.get()));
    return function && PyDict_SetItem(run.globals, k.stringify, function.get()) == 0;
}

bool set_parse(Execution& run) {
    Constants& k = g_state.k;
    Ref annotations(PyDict_New());
    if (!annotations || PyDict_SetItem(annotations.get(), k.vorn, k.str_name) < 0 ||
        PyDict_SetItem(annotations.get(), k.ret, k.list_name) < 0)
        return false;
    Ref function(make_function(kParseBinding, k.parse, k.doc_parse, k.code_parse, run.globals, annotations.get()));
    return function && PyDict_SetItem(run.globals, k.parse, function.get()) == 0;
}

bool set_test(Execution& run) {
    Ref test(PyDict_New());
    return test && PyDict_SetItem(run.globals, g_state.k.test, test.get()) == 0;
}

}  // namespace

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (g_state.owner_interpreter == -1) {
        g_state.owner_interpreter = id;
    } else if (g_state.owner_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (g_state.module) return Py_NewRef(g_state.module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    struct Copy {
        const char* from;
        const char* to;
        bool skip_none;
    };
    static constexpr Copy kCopies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (const Copy& c : kCopies) {
        PyObject* value = nullptr;
        const int found = PyObject_GetOptionalAttrString(spec, c.from, &value);
        if (found < 0) return nullptr;
        if (found == 0) continue;
        Ref held(value);
        if (c.skip_none && value == Py_None) continue;
        if (PyObject_SetAttrString(module.get(), c.to, value) < 0) return nullptr;
    }
    return module.release();
}

int exec_module(PyObject* module) {
    if (g_state.module) {
        // A repeated execution of the same object (a reload) does nothing.
        if (g_state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'vorn' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_state.module = Py_NewRef(module);
    Execution run{module};

    // The order of creation is the order of the module's globals.
    struct Step {
        bool (*run)(Execution&);
        int line;  // 0: no traceback entry
    };
    static constexpr Step kSteps[] = {
        {bind_dictionaries, 0},
        {check_version, 0},
        {make_constants, 0},
        {nothing_pending, kLineSupport},
        {make_function_type, kLineSupport},
        {alias_as_vorn, kLineSupport},
        {make_code_objects, kLineSupport},
        {set_sys, kLineSys},
        {set_all, kLineAll},
        {set_hex, kLineHex},
        {set_err_unexpected_end, kLineErrUnexpectedEnd},
        {set_utf16_codec, kLineUtf16Codec},
        {set_stringify, kLineStringify},
        {set_parse, kLineParse},
        {set_test, kLineTest},
    };
    for (const Step& step : kSteps)
        if (!step.run(run)) return run.fail(step.line);
    return 0;
}

}  // namespace vorn
