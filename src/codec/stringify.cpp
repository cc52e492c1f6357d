// The serializer has two ways to the same document.
//
// Exact lists and tuples of strings (the common case) are read without
// running any interpreter code, so the table cannot change under us: one pass
// measures the document and a second writes it straight into a string of
// exactly the right size and width.
//
// Everything else (iterators, cells that need a string conversion, an HEX
// that is not a plain str, a module dictionary whose look-up may call
// __eq__) is walked once, cell by cell, in the order the conversions and HEX
// look-ups must happen, into a growing string that widens when a wider piece
// arrives.
//
// The rule both paths live by: a call that can run interpreter code (a
// string conversion, an iterator, a dictionary look-up with a non-str key
// present, __eq__, a subscription, add_note, the release of the last
// reference to anything) may change every list, row and global. No pointer,
// length or size read before such a call is used after it: the general path
// holds its own reference to every row, cell and piece it still needs and
// re-reads a list's length at every step; the exact path makes no such call
// from its first read of the table to its last.

#include "codec/stringify.h"

#include <algorithm>

#include "codec/ref.h"
#include "codec/text.h"
#include "format/format.h"

namespace vorn::codec {

namespace {

using format::decimal_width;
using format::write_decimal;

// ---------------------------------------------------------------------------
// Two-pass path for exact lists and tuples of strings.

struct Plan {
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 0x7F;
    PyObject* hex = nullptr;  // borrowed: the exact str bound to HEX
};

inline bool is_exact_sequence(PyObject* o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }

// Number of decimal digits of a str's UTF-16 length. That length lies
// between the code-point count n and 2n, so only when those two differ in
// width do the code points need counting.
inline int length_digits_for(PyObject* cell) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(cell);
    const int digits = decimal_width(uint64_t(n));
    if (PyUnicode_KIND(cell) != PyUnicode_4BYTE_KIND || decimal_width(2 * uint64_t(n)) == digits) return digits;
    return decimal_width(uint64_t(utf16_length_of(cell)));
}

// Measures the document, or returns false when the table needs the general
// path. Runs no interpreter code and changes nothing.
bool measure(PyObject* lists, const Host& host, Plan& plan) {
    if (!is_exact_sequence(lists)) return false;
    PyObject** rows = PySequence_Fast_ITEMS(lists);
    const Py_ssize_t row_count = PySequence_Fast_GET_SIZE(lists);
    int64_t total = 0;
    Py_UCS4 maxchar = 0x7F;
    PyObject* hex = nullptr;
    Py_ssize_t hex_len = 0;
    // Width class of the digit-count character for each digit count.
    Py_UCS4 hex_class[format::kMaxLengthDigits + 1] = {};
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        PyObject* row = rows[r];
        if (!is_exact_sequence(row)) return false;
        PyObject** cells = PySequence_Fast_ITEMS(row);
        const Py_ssize_t cell_count = PySequence_Fast_GET_SIZE(row);
        for (Py_ssize_t c = 0; c < cell_count; ++c) {
            PyObject* cell = cells[c];
            if (!PyUnicode_Check(cell)) return false;
            if (!hex) {
                // HEX is read only once a cell needs it, as the general path
                // does; a table of empty rows never reads it. Only a look-up
                // that can run no interpreter code keeps this path: any other
                // would invalidate rows, cells and sizes read so far.
                hex = host.peek_hex();
                if (!hex) return false;
                hex_len = PyUnicode_GET_LENGTH(hex);
                for (Py_ssize_t d = 1; d <= format::kMaxLengthDigits && d <= hex_len; ++d)
                    hex_class[d] = width_class_of(PyUnicode_READ_CHAR(hex, d - 1));
            }
            const int digits = length_digits_for(cell);
            // Seventeen digits or more never fit the default alphabet; the
            // general path raises the subscription's error for them.
            if (digits > hex_len || digits > format::kMaxLengthDigits) return false;
            maxchar = std::max(maxchar, hex_class[digits]);
            maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(cell));
            total += 1 + digits + PyUnicode_GET_LENGTH(cell);
        }
        total += 1;
    }
    plan.total = Py_ssize_t(total);
    plan.maxchar = maxchar;
    plan.hex = hex;
    return true;
}

template <typename Dst>
void write_table(PyObject* lists, PyObject* hex, Dst* out) {
    const int hex_kind = hex ? int(PyUnicode_KIND(hex)) : int(PyUnicode_1BYTE_KIND);
    const void* hex_data = hex ? PyUnicode_DATA(hex) : nullptr;
    PyObject** rows = PySequence_Fast_ITEMS(lists);
    const Py_ssize_t row_count = PySequence_Fast_GET_SIZE(lists);
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        PyObject* row = rows[r];
        PyObject** cells = PySequence_Fast_ITEMS(row);
        const Py_ssize_t cell_count = PySequence_Fast_GET_SIZE(row);
        for (Py_ssize_t c = 0; c < cell_count; ++c) {
            PyObject* cell = cells[c];
            const Py_ssize_t n = PyUnicode_GET_LENGTH(cell);
            const int kind = PyUnicode_KIND(cell);
            const void* data = PyUnicode_DATA(cell);
            const int64_t u16_len =
                kind == PyUnicode_4BYTE_KIND ? format::utf16_length(static_cast<const uint32_t*>(data), n) : n;
            const int digits = decimal_width(uint64_t(u16_len));
            *out++ = Dst(PyUnicode_READ(hex_kind, hex_data, digits - 1));
            write_decimal(out, uint64_t(u16_len), digits);
            out += digits;
            copy_units(out, data, kind, n);
            out += n;
        }
        *out++ = Dst(format::kRowTerminator);
    }
}

PyObject* stringify_exact(PyObject* lists, const Plan& plan) {
    PyObject* result = PyUnicode_New(plan.total, plan.maxchar);
    if (!result || plan.total == 0) return result;
    switch (PyUnicode_KIND(result)) {
        case PyUnicode_1BYTE_KIND:
            write_table(lists, plan.hex, PyUnicode_1BYTE_DATA(result));
            break;
        case PyUnicode_2BYTE_KIND:
            write_table(lists, plan.hex, PyUnicode_2BYTE_DATA(result));
            break;
        default:
            write_table(lists, plan.hex, PyUnicode_4BYTE_DATA(result));
            break;
    }
    return result;
}

// ---------------------------------------------------------------------------
// General path.

// A str under construction, grown by a quarter when full and rebuilt wider
// when a piece needs a wider storage than it has.
class Writer {
public:
    Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() { Py_XDECREF(str_); }

    bool write_char(Py_UCS4 c) {
        if (!ensure(1, width_class_of(c))) return false;
        PyUnicode_WRITE(kind_, data_, len_, c);
        ++len_;
        return true;
    }

    bool write_str(PyObject* s) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n == 0) return true;
        if (!ensure(n, PyUnicode_MAX_CHAR_VALUE(s))) return false;
        copy_units_to(data_, kind_, len_, PyUnicode_DATA(s), PyUnicode_KIND(s), n);
        len_ += n;
        return true;
    }

    bool write_number(int64_t value, int digits) {
        if (!ensure(digits, 0x7F)) return false;
        switch (kind_) {
            case PyUnicode_1BYTE_KIND:
                write_decimal(static_cast<Py_UCS1*>(data_) + len_, uint64_t(value), digits);
                break;
            case PyUnicode_2BYTE_KIND:
                write_decimal(static_cast<Py_UCS2*>(data_) + len_, uint64_t(value), digits);
                break;
            default:
                write_decimal(static_cast<Py_UCS4*>(data_) + len_, uint64_t(value), digits);
                break;
        }
        len_ += digits;
        return true;
    }

    // The finished document, trimmed to its length.
    PyObject* finish() {
        if (!str_) return PyUnicode_New(0, 0);
        if (len_ < capacity_ && PyUnicode_Resize(&str_, len_) < 0) return nullptr;
        PyObject* result = str_;
        str_ = nullptr;
        return result;
    }

private:
    bool ensure(Py_ssize_t extra, Py_UCS4 maxchar) {
        if (extra <= capacity_ - len_ && maxchar <= maxchar_) return true;
        return grow(extra, maxchar);
    }

    [[gnu::noinline]] bool grow(Py_ssize_t extra, Py_UCS4 maxchar) {
        if (extra > PY_SSIZE_T_MAX - len_) {
            PyErr_NoMemory();
            return false;
        }
        const Py_ssize_t needed = len_ + extra;
        Py_ssize_t capacity = capacity_;
        if (needed > capacity) {
            // A quarter more each time: few regrowths, and little unused
            // room at the peak before the final trim.
            capacity = capacity < PY_SSIZE_T_MAX / 2 ? capacity + capacity / 4 + 256 : PY_SSIZE_T_MAX;
            capacity = std::max(capacity, needed);
        }
        if (maxchar <= maxchar_ && str_) {
            if (PyUnicode_Resize(&str_, capacity) < 0) return false;
        } else {
            // Rebuild at the wider storage, converting what is written so far.
            PyObject* wider = PyUnicode_New(capacity, std::max(maxchar, maxchar_));
            if (!wider) return false;
            if (str_) {
                copy_units_to(PyUnicode_DATA(wider), PyUnicode_KIND(wider), 0, data_, kind_, len_);
                Py_DECREF(str_);
            }
            str_ = wider;
            maxchar_ = std::max(maxchar, maxchar_);
        }
        capacity_ = capacity;
        kind_ = PyUnicode_KIND(str_);
        data_ = PyUnicode_DATA(str_);
        return true;
    }

    PyObject* str_ = nullptr;
    void* data_ = nullptr;
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 maxchar_ = 0;
    Py_ssize_t len_ = 0;
    Py_ssize_t capacity_ = 0;
};

// Walks an iterable: exact lists and tuples by index, re-reading the length
// before every step as the list iterator does; anything else through its
// iterator, with the next-item slot fetched once.
class Walk {
public:
    bool start(PyObject* o) {
        if (is_exact_sequence(o)) {
            seq_ = o;
            return true;
        }
        iter_ = Ref(PyObject_GetIter(o));
        if (!iter_) return false;
        next_ = Py_TYPE(iter_.get())->tp_iternext;
        return true;
    }

    // The next element as a new reference, or null: at the end with no error
    // pending, or with the iterator's error.
    PyObject* next() {
        if (seq_) {
            if (index_ >= PySequence_Fast_GET_SIZE(seq_)) return nullptr;
            return Py_NewRef(PySequence_Fast_GET_ITEM(seq_, index_++));
        }
        PyObject* item = next_(iter_.get());
        if (!item && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) PyErr_Clear();
        }
        return item;
    }

private:
    PyObject* seq_ = nullptr;  // borrowed from the caller, who holds it
    Ref iter_;
    iternextfunc next_ = nullptr;
    Py_ssize_t index_ = 0;
};

// obj[index] through the type's own subscription, as the join path would
// take it.
PyObject* subscript(PyObject* obj, Py_ssize_t index) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_as_mapping && tp->tp_as_mapping->mp_subscript) {
        Ref key(PyLong_FromSsize_t(index));
        return key ? tp->tp_as_mapping->mp_subscript(obj, key.get()) : nullptr;
    }
    if (tp->tp_as_sequence && tp->tp_as_sequence->sq_item) return tp->tp_as_sequence->sq_item(obj, index);
    Ref key(PyLong_FromSsize_t(index));
    return key ? PyObject_GetItem(obj, key.get()) : nullptr;
}

PyObject* stringify_general(PyObject* lists, const Host& host) {
    Writer writer;
    // The first digit-count piece that is not a str. Writing goes on so that
    // every conversion and look-up still happens in order; the TypeError that
    // joining the pieces would give is raised at the end.
    Ref bad_piece;
    Py_ssize_t bad_index = 0;
    Py_ssize_t piece_index = 0;

    Walk rows;
    if (!rows.start(lists)) return nullptr;
    for (;;) {
        Ref l(rows.next());
        if (!l) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        Walk cells;
        if (!cells.start(l.get())) return nullptr;
        for (;;) {
            Ref item(cells.next());
            if (!item) {
                if (PyErr_Occurred()) return nullptr;
                break;
            }
            Ref v = PyUnicode_Check(item.get()) ? std::move(item) : Ref(PyObject_Str(item.get()));
            if (!v) return nullptr;
            const int64_t u16_len = utf16_length_of(v.get());
            const int digits = decimal_width(uint64_t(u16_len));

            Ref hex(host.lookup_hex());
            if (!hex) return nullptr;
            if (PyUnicode_CheckExact(hex.get()) && digits <= PyUnicode_GET_LENGTH(hex.get())) {
                if (!writer.write_char(PyUnicode_READ_CHAR(hex.get(), digits - 1))) return nullptr;
            } else {
                Ref piece(subscript(hex.get(), digits - 1));
                if (!piece) return nullptr;
                if (PyUnicode_Check(piece.get())) {
                    if (!writer.write_str(piece.get())) return nullptr;
                } else if (!bad_piece) {
                    bad_piece = std::move(piece);
                    bad_index = piece_index;
                }
            }
            if (!writer.write_number(u16_len, digits) || !writer.write_str(v.get())) return nullptr;
            piece_index += 3;
        }
        if (!writer.write_char(format::kRowTerminator)) return nullptr;
        piece_index += 1;
    }
    if (bad_piece) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", bad_index,
                     Py_TYPE(bad_piece.get())->tp_name);
        return nullptr;
    }
    return writer.finish();
}

}  // namespace

PyObject* stringify(PyObject* lists, const Host& host) {
    Plan plan;
    if (measure(lists, host, plan)) return stringify_exact(lists, plan);
    return stringify_general(lists, host);
}

}  // namespace vorn::codec
