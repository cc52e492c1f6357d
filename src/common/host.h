// What the codec needs of the module that hosts it.
//
// The serializer reads the global HEX and the parser reads the global
// ErrUnexpectedEndOfInput by name, at the moment each is needed, so that
// rebinding them changes later calls. Where module globals live is the
// module layer's business; it hands the codec this table of look-ups.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn::codec {

struct Host {
    // HEX as interpreter code would find it: the module's dictionary, then
    // the builtins. A new reference, or null with the exception (NameError
    // when it is bound nowhere). May run interpreter code: the dictionary
    // look-up calls __eq__ on any key whose hash equals that of "HEX".
    PyObject* (*lookup_hex)();

    // The same look-up, answered only when it provably runs no interpreter
    // code and finds an exact str: every key of the module's dictionary is an
    // exact str, so finding HEX compares memory and calls nothing. Returns
    // that str, borrowed, or null with no exception in every other case, and
    // the caller then takes the road that calls lookup_hex. While no
    // interpreter code runs, the borrowed str stays bound and alive.
    PyObject* (*peek_hex)();

    // ErrUnexpectedEndOfInput, looked up as lookup_hex looks up HEX.
    PyObject* (*lookup_err_unexpected_end)();
};

}  // namespace vorn::codec
