// The translator of a reader's fault into vorn_io's exception: DecodeError
// with the message of vorn.parse for the same text and the attributes
// position, row and index, or, for bytes that are not UTF-8, UnicodeDecodeError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "common/portable.h"
#include "read/fault.h"

namespace vorn::io {

// max_row_size: the decoder's limit, named in a row-too-long message; index:
// the code-point index of the fault in the document, or -1 where the reader
// does not know it (readers of bytes), given as the attribute index (None).
VORN_COLD void raise_fault(const codec::Fault& fault, int64_t max_row_size = -1, int64_t index = -1);

}  // namespace vorn::io
