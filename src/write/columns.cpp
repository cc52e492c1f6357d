#include "write/columns.h"

#include <cstring>
#include <new>

#include "common/utf8_check.h"
#include "format/format.h"
#include "format/utf8.h"

namespace vorn::write {

namespace {

inline bool is_valid(const uint8_t* validity, int64_t i) {
    return !validity || ((validity[i >> 3] >> (i & 7)) & 1);
}

struct Cell {
    const uint8_t* data;
    size_t size;
};

// The i-th value of type T in an Arrow buffer. A producer may hand over
// buffers at any address (pyarrow's, read back from a pickle, are not
// aligned), so values are read with a copy, which is one load where the
// machine allows unaligned ones.
template <typename T>
inline T value_at(const void* buffer, int64_t i) {
    T v;
    std::memcpy(&v, static_cast<const uint8_t*>(buffer) + i * int64_t(sizeof(T)), sizeof(T));
    return v;
}

// The bytes rows [0..rows) of an offsets column take, and where they begin.
template <typename Offset>
inline int64_t span_of(const StringColumn& c, int64_t rows, int64_t* first) {
    *first = value_at<Offset>(c.index, c.offset);
    return value_at<Offset>(c.index, c.offset + rows) - *first;
}

inline Cell cell_of(const StringColumn& c, int64_t i) {
    const int64_t at = c.offset + i;
    switch (c.kind) {
        case StringColumn::Kind::Small: {
            const int64_t start = value_at<int32_t>(c.index, at);
            return {c.data + start, size_t(value_at<int32_t>(c.index, at + 1) - start)};
        }
        case StringColumn::Kind::Large: {
            const int64_t start = value_at<int64_t>(c.index, at);
            return {c.data + start, size_t(value_at<int64_t>(c.index, at + 1) - start)};
        }
        default: {
            const uint8_t* view = static_cast<const uint8_t*>(c.index) + at * 16;
            int32_t size;
            std::memcpy(&size, view, 4);
            if (size <= 12) return {view + 4, size_t(size)};
            int32_t buffer, offset;
            std::memcpy(&buffer, view + 8, 4);
            std::memcpy(&offset, view + 12, 4);
            return {c.variadic[buffer] + offset, size_t(size)};
        }
    }
}

inline int64_t index_at(const Column& c, int64_t i) {
    const int64_t at = c.index_offset + i;
    switch (c.index_width) {
        case 1:
            return c.index_signed ? int64_t(static_cast<const int8_t*>(c.indices)[at])
                                  : int64_t(static_cast<const uint8_t*>(c.indices)[at]);
        case 2:
            return c.index_signed ? int64_t(value_at<int16_t>(c.indices, at))
                                  : int64_t(value_at<uint16_t>(c.indices, at));
        case 4:
            return c.index_signed ? int64_t(value_at<int32_t>(c.indices, at))
                                  : int64_t(value_at<uint32_t>(c.indices, at));
        default:
            return value_at<int64_t>(c.indices, at);
    }
}

// Writes the prefix of a payload of units UTF-16 units at out.
inline uint8_t* put_prefix(uint8_t* out, uint64_t units) {
    if (units < 10) {
        out[0] = uint8_t(format::kDefaultHex[0]);
        out[1] = uint8_t('0' + units);
        return out + 2;
    }
    const int width = format::decimal_width(units);
    *out++ = uint8_t(format::kDefaultHex[width - 1]);
    format::write_decimal(out, units, width);
    return out + width;
}

// Appends one cell: the digit-count character, the UTF-16 length in
// decimal and the bytes. The caller reserved room. A short payload is moved
// as two overlapping words, and when they hold no byte from 0x80 up (ASCII)
// its length is its size; any other is counted by the UTF-16 kernel.
inline void put_cell(uint8_t*& out, const uint8_t* data, size_t size) {
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    if (size >= 8 && size <= 16) {
        uint64_t a, b;
        std::memcpy(&a, data, 8);
        std::memcpy(&b, data + size - 8, 8);
        const uint64_t units = ((a | b) & kHigh) == 0 ? size : uint64_t(format::utf16_units(data, size));
        out = put_prefix(out, units);
        std::memcpy(out, &a, 8);
        std::memcpy(out + size - 8, &b, 8);
        out += size;
        return;
    }
    if (size < 8) {
        uint8_t high = 0;
        for (size_t k = 0; k < size; ++k) high |= data[k];
        const uint64_t units = high < 0x80 ? size : uint64_t(format::utf16_units(data, size));
        out = put_prefix(out, units);
        for (size_t k = 0; k < size; ++k) out[k] = data[k];
        out += size;
        return;
    }
    out = put_prefix(out, uint64_t(format::utf16_units(data, size)));
    std::memcpy(out, data, size);
    out += size;
}

// The most bytes a cell of size bytes takes: its character, up to 20
// digits (no payload has as many), and the bytes.
inline size_t cell_room(size_t size) { return size + 21; }

}  // namespace

bool string_kind_of(const char* format, StringColumn::Kind* kind) {
    if (std::strcmp(format, "u") == 0) *kind = StringColumn::Kind::Small;
    else if (std::strcmp(format, "U") == 0) *kind = StringColumn::Kind::Large;
    else if (std::strcmp(format, "vu") == 0) *kind = StringColumn::Kind::View;
    else return false;
    return true;
}

bool index_kind_of(const char* format, int* width, bool* is_signed) {
    if (!format[0] || format[1]) return false;
    switch (format[0]) {
        case 'c': *width = 1; *is_signed = true; return true;
        case 'C': *width = 1; *is_signed = false; return true;
        case 's': *width = 2; *is_signed = true; return true;
        case 'S': *width = 2; *is_signed = false; return true;
        case 'i': *width = 4; *is_signed = true; return true;
        case 'I': *width = 4; *is_signed = false; return true;
        case 'l': *width = 8; *is_signed = true; return true;
        case 'L': *width = 8; *is_signed = false; return true;
        default: return false;
    }
}

bool resolve_strings(const ArrowArray* array, StringColumn::Kind kind, int64_t parent_offset, StringColumn* out) {
    out->kind = kind;
    out->offset = array->offset + parent_offset;
    out->length = array->length;
    if (array->n_buffers < 2 || !array->buffers) return false;
    out->validity = array->null_count == 0 ? nullptr : static_cast<const uint8_t*>(array->buffers[0]);
    out->index = array->buffers[1];
    if (kind == StringColumn::Kind::View) {
        // validity, views, the data buffers, then their sizes.
        out->variadic_count = array->n_buffers - 3;
        if (out->variadic_count < 0) return false;
        out->variadic = reinterpret_cast<const uint8_t* const*>(array->buffers + 2);
        out->data = nullptr;
        return out->index || array->length == 0;
    }
    if (array->n_buffers < 3) return false;
    out->data = static_cast<const uint8_t*>(array->buffers[2]);
    if (!out->index) return array->length == 0;
    if (!out->data) {
        // No data buffer: every cell must be empty.
        static const uint8_t kNothing[1] = {0};
        out->data = kNothing;
    }
    return true;
}

namespace {

// Whether rows [0..rows) of the strings are valid UTF-8, cell by cell; the
// first row that is not in *bad. Offsets that run backwards are refused too.
bool check_strings(StringColumn& c, int64_t rows, int64_t* bad, bool* bad_offsets) {
    c.ascii = false;
    if (rows == 0) return true;
    if (c.kind != StringColumn::Kind::View) {
        // The cells tile one run of bytes: the run is checked whole, then
        // each cell's start for the middle of a sequence.
        int64_t first, last;
        const bool small = c.kind == StringColumn::Kind::Small;
        auto off = [&](int64_t i) {
            return small ? int64_t(value_at<int32_t>(c.index, c.offset + i)) : value_at<int64_t>(c.index, c.offset + i);
        };
        first = off(0);
        last = off(rows);
        for (int64_t i = 0; i < rows; ++i)
            if (off(i + 1) < off(i) || off(i) < 0) {
                *bad = i;
                *bad_offsets = true;
                return false;
            }
        const size_t span = size_t(last - first);
        // Text of ASCII alone is UTF-8, and no cell of it begins inside a
        // sequence: one pass says so, and the encoder takes sizes as lengths.
        if (format::all_ascii(c.data + first, span)) {
            c.ascii = true;
            return true;
        }
        const size_t at = text::utf8_check(c.data + first, span);
        bool ok = at == span;
        for (int64_t i = 0; ok && i < rows; ++i) {
            const Cell cell = cell_of(c, i);
            if (cell.size && (cell.data[0] & 0xC0) == 0x80) {
                *bad = i;
                return false;
            }
        }
        if (ok) return true;
        // Which cell holds the fault.
        for (int64_t i = 0; i < rows; ++i) {
            const Cell cell = cell_of(c, i);
            if (text::utf8_check(cell.data, cell.size) != cell.size) {
                *bad = i;
                return false;
            }
        }
        *bad = 0;
        return false;
    }
    for (int64_t i = 0; i < rows; ++i) {
        const Cell cell = cell_of(c, i);
        if (text::utf8_check(cell.data, cell.size) != cell.size) {
            *bad = i;
            return false;
        }
    }
    return true;
}

}  // namespace

bool check_column(Column& column, int32_t index, int64_t rows, WriteFault* fault) {
    int64_t bad = 0;
    bool bad_offsets = false;
    const int64_t checked = column.dictionary ? column.strings.length : rows;
    if (!check_strings(column.strings, checked, &bad, &bad_offsets)) {
        *fault = {bad_offsets ? WriteFault::Kind::BadOffsets : WriteFault::Kind::Utf8, index, bad};
        return false;
    }
    if (column.dictionary) {
        for (int64_t i = 0; i < rows; ++i) {
            if (!is_valid(column.index_validity, column.index_offset + i)) continue;
            const int64_t k = index_at(column, i);
            if (k < 0 || k >= column.strings.length) {
                *fault = {WriteFault::Kind::BadIndex, index, i};
                return false;
            }
        }
    }
    return true;
}

namespace {

// Bytes the cells' text takes, about: their digit-count characters and
// short lengths included, so that the output is sized once for most tables.
size_t estimate(const Column* columns, int32_t count, int64_t rows) {
    size_t total = size_t(rows) * (1 + 3 * size_t(count));
    for (int32_t k = 0; k < count; ++k) {
        const StringColumn& c = columns[k].strings;
        if (columns[k].dictionary || c.kind == StringColumn::Kind::View || rows == 0) {
            total += size_t(rows) * 16;
        } else {
            int64_t first = 0;
            total += size_t(c.kind == StringColumn::Kind::Small ? span_of<int32_t>(c, rows, &first)
                                                                : span_of<int64_t>(c, rows, &first));
        }
    }
    return total;
}

}  // namespace

// A column of offsets and bytes with no nulls, as the plain encoder reads
// it: where its cells' bytes end (readable up to there), and whether they
// are all ASCII.
struct PlainColumn {
    const uint8_t* data;
    const uint8_t* index;  // offsets, at the column's offset
    const uint8_t* end;
    bool large;
    bool ascii;
};

inline bool plain(const Column& c) {
    return !c.dictionary && !c.strings.validity && c.strings.kind != StringColumn::Kind::View;
}

// The offset of row i of a column.
inline int64_t offset_at(const PlainColumn& c, int64_t i) {
    return c.large ? value_at<int64_t>(c.index, i) : int64_t(value_at<int32_t>(c.index, i));
}


// Rows of columns of offsets and bytes, none null, the case of tables read
// from files and frames: the output is reserved once, from the bytes alone
// (a cell of s bytes takes at most s + 3 bytes when s < 100, and one of 100
// bytes or more at most 18 more), so that the loop holds no test for room.
// A column whose bytes are all ASCII has each cell's size as its length; a
// short cell is moved as one 16-byte copy when its column's bytes reach
// that far.
bool encode_plain_rows(const Column* columns, int32_t count, int64_t rows, ByteBuffer& out, WriteFault* fault) {
    PlainColumn stack[16];
    PlainColumn* plains = count <= 16 ? stack : new (std::nothrow) PlainColumn[size_t(count)];
    if (!plains) {
        *fault = {WriteFault::Kind::NoMemory, 0, 0};
        return false;
    }
    size_t bytes = 0;
    for (int32_t k = 0; k < count; ++k) {
        const StringColumn& c = columns[k].strings;
        const bool large = c.kind == StringColumn::Kind::Large;
        int64_t first = 0;
        const int64_t span = large ? span_of<int64_t>(c, rows, &first) : span_of<int32_t>(c, rows, &first);
        plains[k] = {c.data, static_cast<const uint8_t*>(c.index) + c.offset * (large ? 8 : 4),
                     c.data + first + span, large, c.ascii};
        bytes += size_t(span);
    }
    const size_t cells = size_t(rows) * size_t(count);
    if (!out.reserve(bytes + bytes / 5 + 3 * cells + size_t(rows) + 32)) {
        if (plains != stack) delete[] plains;
        *fault = {WriteFault::Kind::NoMemory, 0, 0};
        return false;
    }
    uint8_t* p = out.data + out.size;
    for (int64_t r = 0; r < rows; ++r) {
        for (int32_t k = 0; k < count; ++k) {
            const PlainColumn& c = plains[k];
            const int64_t start = offset_at(c, r);
            const size_t size = size_t(offset_at(c, r + 1) - start);
            const uint8_t* cell = c.data + start;
            if (size <= 16 && c.end - cell >= 16) {
                uint8_t word[16];
                std::memcpy(word, cell, 16);
                uint64_t units = size;
                if (!c.ascii) {
                    uint64_t a, b, ma, mb;
                    std::memcpy(&a, word, 8);
                    std::memcpy(&b, word + 8, 8);
                    std::memcpy(&ma, format::kHighBits + 16 - size, 8);
                    std::memcpy(&mb, format::kHighBits + 24 - size, 8);
                    if ((a & ma) | (b & mb)) units = format::utf16_units_short(a, b, ma, mb, size);
                }
                p = put_prefix(p, units);
                std::memcpy(p, word, 16);
                p += size;
                continue;
            }
            p = put_prefix(p, c.ascii ? size : uint64_t(format::utf16_units(cell, size)));
            std::memcpy(p, cell, size);
            p += size;
        }
        *p++ = ';';
    }
    out.size = size_t(p - out.data);
    if (plains != stack) delete[] plains;
    return true;
}

bool encode_rows(const Column* columns, int32_t count, int64_t rows, bool has_null_text, const uint8_t* null_text,
                 size_t null_size, ByteBuffer& out, WriteFault* fault) {
    bool all_plain = true;
    for (int32_t k = 0; k < count; ++k) all_plain = all_plain && plain(columns[k]);
    if (all_plain) return encode_plain_rows(columns, count, rows, out, fault);
    if (!out.reserve(estimate(columns, count, rows))) {
        *fault = {WriteFault::Kind::NoMemory, 0, 0};
        return false;
    }
    for (int64_t r = 0; r < rows; ++r) {
        for (int32_t k = 0; k < count; ++k) {
            const Column& c = columns[k];
            Cell cell;
            bool present;
            if (c.dictionary) {
                present = is_valid(c.index_validity, c.index_offset + r);
                if (present) {
                    const int64_t at = index_at(c, r);
                    present = is_valid(c.strings.validity, c.strings.offset + at);
                    if (present) cell = cell_of(c.strings, at);
                }
            } else {
                present = is_valid(c.strings.validity, c.strings.offset + r);
                if (present) cell = cell_of(c.strings, r);
            }
            if (!present) {
                if (!has_null_text) {
                    *fault = {WriteFault::Kind::Null, k, r};
                    return false;
                }
                cell = {null_text, null_size};
            }
            if (!out.reserve(cell_room(cell.size))) {
                *fault = {WriteFault::Kind::NoMemory, k, r};
                return false;
            }
            uint8_t* p = out.data + out.size;
            put_cell(p, cell.data, cell.size);
            out.size = size_t(p - out.data);
        }
        if (!out.reserve(1)) {
            *fault = {WriteFault::Kind::NoMemory, 0, r};
            return false;
        }
        out.data[out.size++] = ';';
    }
    return true;
}

bool encode_row(const uint8_t* const* cells, const size_t* sizes, int64_t count, ByteBuffer& out) {
    for (int64_t k = 0; k < count; ++k) {
        if (!out.reserve(cell_room(sizes[k]))) return false;
        uint8_t* p = out.data + out.size;
        put_cell(p, cells[k], sizes[k]);
        out.size = size_t(p - out.data);
    }
    if (!out.reserve(1)) return false;
    out.data[out.size++] = ';';
    return true;
}

}  // namespace vorn::write
