// The writer of Arrow string columns as VORN: each cell's UTF-8 bytes
// copied after its length prefix, the length counted in UTF-16 units from
// the bytes. What it writes is what vorn.stringify writes for the same
// table as lists of str, encoded as UTF-8.
//
// Columns come as Arrow arrays of the C Data Interface: string (32-bit
// offsets), large_string (64-bit offsets), string_view, or a dictionary of
// any of them with integer indices. Nothing here calls the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/arrow_c.h"
#include "common/byte_buffer.h"

namespace vorn::write {

using vorn::ByteBuffer;

// A string column of one batch, read through its buffers.
struct StringColumn {
    enum class Kind : uint8_t { Small, Large, View };
    Kind kind = Kind::Large;
    int64_t offset = 0;  // the array's own offset plus its parent's
    int64_t length = 0;
    const uint8_t* validity = nullptr;
    const void* index = nullptr;  // offsets or views
    const uint8_t* data = nullptr;
    const uint8_t* const* variadic = nullptr;  // views' data buffers
    int64_t variadic_count = 0;
    bool ascii = false;  // (offsets) every byte of its cells is ASCII, as check_column found
};

struct Column {
    StringColumn strings;
    // A dictionary: the indices of each row into strings.
    bool dictionary = false;
    int index_width = 0;  // 1, 2, 4 or 8 bytes
    bool index_signed = true;
    int64_t index_offset = 0;
    const uint8_t* index_validity = nullptr;
    const void* indices = nullptr;
};

struct WriteFault {
    enum class Kind : uint8_t { None, Null, Utf8, BadIndex, BadOffsets, NoMemory };
    Kind kind = Kind::None;
    int32_t column = 0;
    int64_t row = 0;  // within the batch
};

// Kind of an Arrow format string for a string array; false for any other.
bool string_kind_of(const char* format, StringColumn::Kind* kind);
// Width and signedness of an Arrow integer format; false for any other.
bool index_kind_of(const char* format, int* width, bool* is_signed);

// Resolves array (of the given format) as a string column; false when its
// buffers do not describe one.
bool resolve_strings(const ArrowArray* array, StringColumn::Kind kind, int64_t parent_offset, StringColumn* out);

// Checks that every cell that will be written is valid UTF-8: the fault
// names the first row that is not (or the dictionary's row, for a
// dictionary). False with the fault set. Sets the strings' ascii.
bool check_column(Column& column, int32_t index, int64_t rows, WriteFault* fault);

// Appends rows [0..rows) of the columns as VORN. A null cell is written as
// null_text when has_null_text, and refused otherwise.
bool encode_rows(const Column* columns, int32_t count, int64_t rows, bool has_null_text, const uint8_t* null_text,
                 size_t null_size, ByteBuffer& out, WriteFault* fault);

// Appends one row of the given UTF-8 cells (a header).
bool encode_row(const uint8_t* const* cells, const size_t* sizes, int64_t count, ByteBuffer& out);

}  // namespace vorn::write
