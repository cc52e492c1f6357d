// Cells that are not str but whose text is known without running
// interpreter code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "write/span.h"

namespace vorn::codec {

// Writes a whole cell that is an exact int small enough to be stored in one
// digit, None, True, False or an exact float (the float through its own
// repr, which is plain C), and returns the number of units written: 0 when
// the cell is none of these, its text does not fit the span, or fewer than
// two digit-count characters are known (hex[0..fast_digits)). Texts are all
// ASCII.
template <typename Dst>
Py_ssize_t put_scalar(Span<Dst> at, const char* hex, int fast_digits, PyObject* cell);

// The units a cell that is an exact int stored in one digit, None, True or
// False takes in the document, header included, as put_scalar or the
// general road writes it; 0 for any other cell (a float's text is only
// known by formatting it).
Py_ssize_t scalar_cell_length(PyObject* cell);

}  // namespace vorn::codec
