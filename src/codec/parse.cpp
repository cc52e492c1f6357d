// Two scanners read a document, chosen by the storage width of the input.
//
// With one or two bytes per code point every code point is one UTF-16 code
// unit, so declared lengths and reported positions are plain indices and one
// template serves both widths. With four bytes per code point, code points
// from U+10000 up are two code units: that scanner keeps a code-point index
// and a UTF-16 offset side by side and walks each payload to resolve its
// length.
//
// Cells of a row are collected on a small stack and moved into a list of
// exactly the right size when the row ends; rows are appended to the result.

#include "codec/parse.h"

#include <cstring>

#include "codec/errors.h"
#include "codec/ref.h"
#include "format/format.h"
#include "format/portable.h"
#include "format/utf16.h"

namespace vorn::codec {

namespace {

using format::is_decimal_digit;
using format::kRowTerminator;
using format::length_digits_of;

// Owned cell strings of the row being read.
class CellStack {
public:
    CellStack() = default;
    CellStack(const CellStack&) = delete;
    CellStack& operator=(const CellStack&) = delete;
    ~CellStack() {
        clear();
        PyMem_Free(items_);
    }

    // Takes the reference to cell; on failure releases it and sets MemoryError.
    bool push(PyObject* cell) {
        if (size_ == capacity_ && !grow()) {
            Py_DECREF(cell);
            return false;
        }
        items_[size_++] = cell;
        return true;
    }

    // Moves the cells into a new list of exactly their number.
    PyObject* take_row() {
        PyObject* row = PyList_New(size_);
        if (!row) return nullptr;
        for (Py_ssize_t k = 0; k < size_; ++k) PyList_SET_ITEM(row, k, items_[k]);
        size_ = 0;
        return row;
    }

    void clear() {
        while (size_ > 0) Py_DECREF(items_[--size_]);
    }

private:
    VORN_NOINLINE bool grow() {
        const Py_ssize_t capacity = capacity_ ? capacity_ * 2 : 16;
        auto* items = static_cast<PyObject**>(PyMem_Realloc(items_, size_t(capacity) * sizeof(PyObject*)));
        if (!items) {
            PyErr_NoMemory();
            return false;
        }
        items_ = items;
        capacity_ = capacity;
        return true;
    }

    PyObject** items_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

// Ends the current row: its cells become a list appended to out.
inline bool end_row(PyObject* out, CellStack& cells) {
    PyObject* row = cells.take_row();
    if (!row) return false;
    const int rc = PyList_Append(out, row);
    Py_DECREF(row);
    return rc == 0;
}

// A new string holding units[0..n). When the whole input is ASCII so is every
// cell, and the cell is made at that width without looking for its widest
// character. Otherwise the narrowest width that holds the cell is chosen.
template <typename Unit, bool Ascii>
inline PyObject* make_cell(const Unit* units, Py_ssize_t n) {
    if constexpr (Ascii) {
        if (n <= 1) return n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(units[0]);
        PyObject* cell = PyUnicode_New(n, 127);
        if (cell) std::memcpy(PyUnicode_1BYTE_DATA(cell), units, size_t(n));
        return cell;
    } else {
        return PyUnicode_FromKindAndData(int(sizeof(Unit)), units, n);
    }
}

// A new string holding units[0..n) whose widest code point is known, made
// directly at the width that holds it.
PyObject* make_cell_ucs4(const uint32_t* units, Py_ssize_t n, uint32_t widest) {
    if (n <= 1) return n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(int(units[0]));
    PyObject* cell = PyUnicode_New(n, widest);
    if (!cell) return nullptr;
    switch (PyUnicode_KIND(cell)) {
        case PyUnicode_1BYTE_KIND: {
            Py_UCS1* out = PyUnicode_1BYTE_DATA(cell);
            for (Py_ssize_t k = 0; k < n; ++k) out[k] = Py_UCS1(units[k]);
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            Py_UCS2* out = PyUnicode_2BYTE_DATA(cell);
            for (Py_ssize_t k = 0; k < n; ++k) out[k] = Py_UCS2(units[k]);
            break;
        }
        default:
            std::memcpy(PyUnicode_4BYTE_DATA(cell), units, size_t(n) * 4);
            break;
    }
    return cell;
}

// The scanner for one- and two-byte storage: indices are UTF-16 offsets.
// Every read stays below length: a row element is only examined at an index
// the bound tests have shown to lie inside the input.
template <typename Unit, bool Ascii>
PyObject* scan_narrow(const Unit* data, Py_ssize_t length, Ref& out, const Host& host) {
    CellStack cells;
    Py_ssize_t i = 0;
    for (;;) {
        const uint32_t c = data[i];
        if (c == kRowTerminator) {
            if (!end_row(out.get(), cells)) return nullptr;
            if (++i == length) return out.release();
            continue;
        }
        const int64_t h_digits = length_digits_of(c);
        if (h_digits == 0) {
            raise_unexpected_token(c, i);
            return nullptr;
        }
        const Py_ssize_t char_start = i + 1 + Py_ssize_t(h_digits);
        // The prefix bound comes before the digits are looked at.
        if (char_start >= length) {
            raise_unexpected_end(host);
            return nullptr;
        }
        int64_t n = 0;
        for (Py_ssize_t j = i + 1; j < char_start; ++j) {
            const uint32_t d = data[j];
            if (!is_decimal_digit(d)) {
                raise_unexpected_token(d, j);
                return nullptr;
            }
            n = n * 10 + int64_t(d - '0');
        }
        // A row terminator or another cell must follow the payload.
        if (n >= length - char_start) {
            raise_unexpected_end(host);
            return nullptr;
        }
        PyObject* cell = make_cell<Unit, Ascii>(data + char_start, Py_ssize_t(n));
        if (!cell || !cells.push(cell)) return nullptr;
        i = char_start + Py_ssize_t(n);
    }
}

// The scanner for four-byte storage. char_idx indexes code points, u16_idx is
// the UTF-16 offset of the same place; positions in reports are UTF-16
// offsets.
PyObject* scan_wide(const uint32_t* buf, Py_ssize_t length, Ref& out, const Host& host) {
    CellStack cells;
    Py_ssize_t char_idx = 0;
    int64_t u16_idx = 0;
    for (;;) {
        uint32_t ch = buf[char_idx];
        if (ch == kRowTerminator) {
            if (!end_row(out.get(), cells)) return nullptr;
            ++char_idx;
            ++u16_idx;
            if (char_idx == length) return out.release();
            continue;
        }
        const int64_t h_digits = length_digits_of(ch);
        if (h_digits == 0) {
            raise_unexpected_token(ch, u16_idx);
            return nullptr;
        }
        ++char_idx;
        ++u16_idx;
        // Only the digits themselves must lie inside the input here; digits
        // that end exactly at the end of the input are still read.
        if (h_digits > length - char_idx) {
            raise_unexpected_end(host);
            return nullptr;
        }
        int64_t target_u16_len = 0;
        for (int64_t _ = 0; _ < h_digits; ++_) {
            ch = buf[char_idx];
            if (!is_decimal_digit(ch)) {
                raise_unexpected_token(ch, u16_idx);
                return nullptr;
            }
            target_u16_len = 10 * target_u16_len + int64_t(ch - '0');
            ++char_idx;
            ++u16_idx;
        }
        const Py_ssize_t char_start = char_idx;
        // The walk also finds the payload's widest code point, so the cell is
        // made at its width without another pass. A long payload is first
        // tried as holding nothing above U+FFFF: then its length is a
        // code-point count, confirmed by one vectorized pass.
        uint32_t widest = 0;
        bool walked = target_u16_len == 0;
        if (target_u16_len >= 32 && target_u16_len < length - char_idx) {
            const format::Ucs4Summary summary = format::summarize_ucs4(buf + char_idx, target_u16_len);
            if (summary.astral == 0) {
                char_idx += Py_ssize_t(target_u16_len);
                widest = summary.max;
                walked = true;
            }
        }
        if (!walked) {
            int64_t u16_accum = 0;
            for (;;) {
                // Whole blocks of eight code points add at most sixteen code
                // units, so while more than that is missing no code point in
                // the block can end the payload.
                while (length - char_idx >= 8 && target_u16_len - u16_accum > 16) {
                    const format::Ucs4Summary block = format::summarize_ucs4(buf + char_idx, 8);
                    u16_accum += 8 + block.astral;
                    widest = block.max > widest ? block.max : widest;
                    char_idx += 8;
                }
                if (char_idx == length) {
                    raise_unexpected_end(host);
                    return nullptr;
                }
                ch = buf[char_idx];
                u16_accum += ch >= 0x10000u ? 2 : 1;
                widest = ch > widest ? ch : widest;
                ++char_idx;
                if (u16_accum >= target_u16_len) break;
            }
            // The length ends between the two UTF-16 units of ch: its
            // trailing surrogate would stand where a row element belongs.
            if (u16_accum > target_u16_len) {
                const uint32_t low_surrogate_code = format::trailing_surrogate(ch);
                raise_unexpected_token(low_surrogate_code, u16_idx + target_u16_len);
                return nullptr;
            }
        }
        if (char_idx >= length) {
            raise_unexpected_end(host);
            return nullptr;
        }
        PyObject* cell = make_cell_ucs4(buf + char_start, char_idx - char_start, widest);
        if (!cell || !cells.push(cell)) return nullptr;
        u16_idx += target_u16_len;
    }
}

}  // namespace

PyObject* parse(PyObject* text, const Host& host) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) {
        raise_unexpected_end(host);
        return nullptr;
    }
    const int kind = PyUnicode_KIND(text);
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    const void* data = PyUnicode_DATA(text);
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            if (PyUnicode_IS_ASCII(text))
                return scan_narrow<Py_UCS1, true>(static_cast<const Py_UCS1*>(data), length, out, host);
            return scan_narrow<Py_UCS1, false>(static_cast<const Py_UCS1*>(data), length, out, host);
        case PyUnicode_2BYTE_KIND:
            return scan_narrow<Py_UCS2, false>(static_cast<const Py_UCS2*>(data), length, out, host);
        default:
            return scan_wide(static_cast<const uint32_t*>(data), length, out, host);
    }
}

}  // namespace vorn::codec
