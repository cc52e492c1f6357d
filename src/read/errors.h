// Construction of the parser's two reports. Kept out of line and marked cold
// so the scanners' loops stay small.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "common/host.h"
#include "common/portable.h"

namespace vorn::codec {

// SyntaxError whose only argument is the current value of the module global
// ErrUnexpectedEndOfInput (or NameError when that global is gone).
VORN_COLD void raise_unexpected_end(const Host& host);

// SyntaxError "Unexpected token '<ch>' at position <position>", the character
// inserted as it is.
VORN_COLD void raise_unexpected_token(uint32_t ch, int64_t position);

// The message of that report, as a new str.
VORN_COLD PyObject* unexpected_token_message(uint32_t ch, int64_t position);

}  // namespace vorn::codec
