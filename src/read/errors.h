// The translator of a fault into parse's SyntaxError, and the message
// builders it shares with vorn_io's DecodeError. Kept out of line and marked
// cold so the readers' loops stay small.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "common/host.h"
#include "common/portable.h"
#include "read/fault.h"

namespace vorn::codec {

// SyntaxError whose only argument is the current value of the module global
// ErrUnexpectedEndOfInput (or NameError when that global is gone).
VORN_COLD void raise_unexpected_end(const Host& host);

// SyntaxError "Unexpected token '<ch>' at position <position>", the character
// inserted as it is.
VORN_COLD void raise_unexpected_token(uint32_t ch, int64_t position);

// Raises the SyntaxError parse raises for the fault: an unexpected token, or
// an unexpected end for every other kind (parse has no row-size limit and
// reads str, so no other kind reaches it).
VORN_COLD void raise_parse_fault(const Fault& fault, const Host& host);

// The message of that report, as a new str.
VORN_COLD PyObject* unexpected_token_message(uint32_t ch, int64_t position);

}  // namespace vorn::codec
