// Reading a VORN document into a table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/host.h"

namespace vorn::codec {

// Parses text (an exact str) into a new list of new lists of new strings.
// Returns null with SyntaxError on a malformed document, or with the
// interpreter's own error (memory) unchanged.
PyObject* parse(PyObject* text, const Host& host);

}  // namespace vorn::codec
