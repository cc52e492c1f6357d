#include "module/binding.h"

#include <cstring>

#include "read/parse.h"
#include "common/ref.h"
#include "write/stringify.h"
#include "common/portable.h"
#include "module/globals.h"
#include "module/traceback.h"

namespace vorn {

namespace {

PyObject* stringify_body(PyObject* const* values) { return codec::stringify(values[0], kCodecHost); }
PyObject* parse_body(PyObject* const* values) { return codec::parse(values[0], kCodecHost); }

constexpr const char* kStringifyNames[] = {"lists"};
constexpr PyObject* Constants::* kStringifyParameters[] = {&Constants::lists};
constexpr const char* kParseNames[] = {"vorn"};
constexpr PyObject* Constants::* kParseParameters[] = {&Constants::vorn};

// --- Cold error constructors -------------------------------------------------

VORN_COLD void count_error(const Binding& b, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", b.name, "exactly",
                 Py_ssize_t(b.parameter_count), b.parameter_count == 1 ? "" : "s", given);
}

VORN_COLD void duplicate_error(const Binding& b, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", b.name, key);
}

VORN_COLD void unexpected_keyword_error(const Binding& b, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", b.name, key);
}

VORN_COLD void non_string_keyword_error(const Binding& b) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", b.name);
}

// TypeError for an argument that is not exactly str. A str subclass gets a
// note explaining why it is refused; a failure to add the note is ignored.
VORN_COLD void argument_type_error(const Binding& b, PyObject* arg) {
    PyTypeObject* type = Py_TYPE(arg);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 b.parameter_names[0], "str", type->tp_name);
    if (!PyType_IsSubtype(type, &PyUnicode_Type)) return;
    Ref exc(PyErr_GetRaisedException());
    Ref note(PyUnicode_FromFormat(
        "%s() is stricter than standard type hints and refuses subclasses of built-in types, so pass an exact str.",
        b.name));
    if (note) {
        Ref rc(PyObject_CallMethodOneArg(exc.get(), g_state.k.add_note, note.get()));
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
}

// --- Matching keyword names ----------------------------------------------------

inline bool same_text(PyObject* a, PyObject* b) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size_t(n) * PyUnicode_KIND(a)) == 0;
}

enum : int { kNoMatch = -1, kMatchError = -2, kNotAString = -3 };

// Index of the parameter that key names: by identity with the interned name
// first, then by content for an exact str, then by the interpreter's
// equality for a str subclass.
int match_keyword(const Binding& b, PyObject* key) {
    const Constants& k = g_state.k;
    for (int p = 0; p < b.parameter_count; ++p)
        if (key == k.*(b.parameters[p])) return p;
    if (PyUnicode_CheckExact(key)) {
        for (int p = 0; p < b.parameter_count; ++p)
            if (same_text(key, k.*(b.parameters[p]))) return p;
        return kNoMatch;
    }
    if (PyUnicode_Check(key)) {
        for (int p = 0; p < b.parameter_count; ++p) {
            const int eq = PyObject_RichCompareBool(key, k.*(b.parameters[p]), Py_EQ);
            if (eq < 0) return kMatchError;
            if (eq) return p;
        }
        return kNoMatch;
    }
    return kNotAString;
}

// Binds the call to values[0..parameter_count), each a new reference.
bool bind(const Binding& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref* values) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0 ? nargs != b.parameter_count : nargs > b.parameter_count) {
        count_error(b, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = Ref::borrow(args[i]);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        const int p = match_keyword(b, key);
        switch (p) {
            case kMatchError:
                return false;
            case kNotAString:
                non_string_keyword_error(b);
                return false;
            case kNoMatch:
                unexpected_keyword_error(b, key);
                return false;
            default:
                if (p < nargs || values[p]) {
                    duplicate_error(b, key);
                    return false;
                }
                values[p] = Ref::borrow(args[nargs + i]);
        }
    }
    for (int p = 0; p < b.parameter_count; ++p) {
        if (!values[p]) {
            count_error(b, nargs);
            return false;
        }
    }
    return true;
}

}  // namespace

const Binding kStringifyBinding = {"stringify", kStringifyNames, kStringifyParameters, 1, &Constants::code_stringify,
                                   false, stringify_body};
const Binding kParseBinding = {"parse", kParseNames, kParseParameters, 1, &Constants::code_parse, true, parse_body};

PyObject* call_bound(const Binding& b, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Ref values[kMaxParameters];
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!kwnames && nargs == 1 && b.parameter_count == 1) {
        values[0] = Ref::borrow(args[0]);
    } else if (!bind(b, args, nargs, kwnames, values)) {
        add_traceback_entry(g_state.k.*(b.code));
        return nullptr;
    }
    if (b.exact_str_argument && !PyUnicode_CheckExact(values[0].get())) {
        argument_type_error(b, values[0].get());
        return nullptr;
    }
    PyObject* raw[kMaxParameters];
    for (int p = 0; p < b.parameter_count; ++p) raw[p] = values[p].get();
    PyObject* result = b.body(raw);
    if (!result) add_traceback_entry(g_state.k.*(b.code));
    return result;
}

PyObject* call_with_tuple(PyObject* callable, vectorcallfunc vectorcall, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    auto** stack = static_cast<PyObject**>(PyMem_Malloc(size_t(nargs + nkw + 1) * sizeof(PyObject*)));
    if (!stack) return PyErr_NoMemory();
    // The vector holds its own references, so the call does not depend on the
    // keyword dict staying unchanged while it runs.
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = Py_NewRef(PyTuple_GET_ITEM(args, i));
    Py_ssize_t filled = nargs;
    Ref kwnames;
    PyObject* result = nullptr;
    bool all_strings = true;
    if (nkw > 0) {
        kwnames = Ref(PyTuple_New(nkw));
        if (kwnames) {
            Py_ssize_t pos = 0, i = 0;
            PyObject *key, *value;
            while (i < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
                all_strings &= PyUnicode_Check(key) != 0;
                PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
                stack[filled++] = Py_NewRef(value);
                ++i;
            }
        }
    }
    if (nkw > 0 && !kwnames) {
        // The tuple of names could not be made; the error is set.
    } else if (!all_strings) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    } else {
        result = vectorcall(callable, stack, size_t(nargs), kwnames.get());
    }
    for (Py_ssize_t i = 0; i < filled; ++i) Py_DECREF(stack[i]);
    PyMem_Free(stack);
    return result;
}

}  // namespace vorn
