// How a str is stored, read in one place. The writer learns a cell's length,
// width and text only through these functions, so the assumptions it makes
// about the interpreter's string objects are all written down here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>

#include "write/width.h"
#include "format/utf16.h"

namespace vorn::codec::layout {

inline Py_ssize_t length(PyObject* s) { return PyUnicode_GET_LENGTH(s); }

// Bytes per code point of its storage: 1, 2 or 4.
inline int kind(PyObject* s) { return PyUnicode_KIND(s); }

inline Width width(PyObject* s) { return Width(int(PyUnicode_KIND(s)) - int(PyUnicode_IS_ASCII(s))); }

inline const void* data(PyObject* s) { return PyUnicode_DATA(s); }

// The storage of a str being built, which nothing else holds yet.
inline void* data_to_fill(PyObject* s) { return PyUnicode_DATA(s); }

inline Py_UCS4 char_at(PyObject* s, Py_ssize_t index) { return PyUnicode_READ_CHAR(s, index); }

// An exact str whose text is ASCII and follows the header: the commonest
// cell, whose text lies at a fixed place.
inline bool is_exact_compact_ascii(PyObject* s) {
    return Py_IS_TYPE(s, &PyUnicode_Type) && PyUnicode_IS_COMPACT_ASCII(s);
}
inline bool is_compact_ascii(PyObject* s) { return PyUnicode_IS_COMPACT_ASCII(s); }

// The text of a compact str. The header in front of it is longer than 8
// bytes, so a load of 8 bytes that ends inside the text never leaves the
// object: the short-copy kernels read up to 8 bytes before the text and
// rely on that. Only the functions below make one, and only for a str that
// is compact.
class CompactText {
public:
    const unsigned char* bytes() const { return p_; }

private:
    explicit CompactText(const void* p) : p_(static_cast<const unsigned char*>(p)) {}
    const unsigned char* p_;
    friend std::optional<CompactText> compact_text(PyObject* s);
    friend std::optional<CompactText> compact_ascii_text(PyObject* s);
};

static_assert(sizeof(PyASCIIObject) > 8, "a compact str's header must cover a load before its text");

// The text of s, or nothing when s is not compact (its text is then held
// apart from its header).
inline std::optional<CompactText> compact_text(PyObject* s) {
    if (!PyUnicode_IS_COMPACT(s)) return std::nullopt;
    return CompactText(PyUnicode_DATA(s));
}

// The same for an ASCII str, whose text starts right after the header: found
// without reading the header's flags for its place.
inline std::optional<CompactText> compact_ascii_text(PyObject* s) {
    if (!PyUnicode_IS_COMPACT_ASCII(s)) return std::nullopt;
    return CompactText(reinterpret_cast<const PyASCIIObject*>(s) + 1);
}

// UTF-16 length of a str: its code-point count, plus one for each code point
// above U+FFFF, which only four-byte storage can hold.
inline int64_t utf16_length(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_KIND(s) != PyUnicode_4BYTE_KIND) return n;
    return format::utf16_length(static_cast<const uint32_t*>(PyUnicode_DATA(s)), n);
}

// A new, empty str of the given capacity and width.
inline PyObject* make(Py_ssize_t capacity, Width w) { return PyUnicode_New(capacity, maxchar_of_width(w)); }

}  // namespace vorn::codec::layout
