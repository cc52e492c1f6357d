// Writing a table as one VORN document, in one pass, straight into the
// result string.
//
// The result is a str under construction: sized from an estimate made by
// sampling the table, grown when the estimate falls short, rebuilt wider when
// a wider cell arrives (then at the width the rest of the table needs, so
// that it widens once), and trimmed to its exact length at the end.
//
// Cells that are str and an HEX that can be read without running interpreter
// code take the fast road: the cell's header is read once, its length
// written two digits at a time and its text copied in place. Everything else
// (a cell that needs its string conversion, an HEX that must be looked up
// the slow way, a row that is an iterator) takes the general road for that
// cell, in the order the conversions and HEX look-ups must happen.
//
// The rule both roads live by: a call that can run interpreter code (a
// string conversion, an iterator, a dictionary look-up with a non-str key
// present, __eq__, a subscription, the release of the last reference to
// anything) may change every list, row and global. No pointer, length or
// size read before such a call is used after it: rows and cells that are
// still needed are held by references of our own, a list's items and length
// are read again after every such call, and what was read of HEX is dropped.
// The fast road makes no such call at all.

#include "codec/stringify.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "codec/ref.h"
#include "codec/text.h"
#include "format/format.h"
#include "format/utf16.h"

namespace vorn::codec {

namespace {

using format::decimal_width;
using format::write_decimal;

// Width classes of text, ordered: ASCII, Latin-1, two bytes, four bytes. The
// value is the storage width less one for ASCII, so a str's class is its
// kind minus its ASCII flag, read from its header at once.
enum : int { kAscii = 0, kLatin1 = 1, kUcs2 = 2, kUcs4 = 4 };

inline int class_of(PyObject* s) { return int(PyUnicode_KIND(s)) - int(PyUnicode_IS_ASCII(s)); }

inline Py_UCS4 maxchar_of_class(int cls) {
    switch (cls) {
        case kAscii: return 0x7F;
        case kLatin1: return 0xFF;
        case kUcs2: return 0xFFFF;
        default: return 0x10FFFF;
    }
}

inline int class_of_char(Py_UCS4 c) { return c < 0x80 ? kAscii : c < 0x100 ? kLatin1 : c < 0x10000 ? kUcs2 : kUcs4; }

inline bool is_sequence(PyObject* o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }

// Items and length of an exact list or tuple, as they are now.
inline PyObject** items_of(PyObject* seq) {
    return PyList_CheckExact(seq) ? reinterpret_cast<PyListObject*>(seq)->ob_item
                                  : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
}
inline Py_ssize_t size_of(PyObject* seq) { return Py_SIZE(seq); }

// Copies len bytes without a library call for the short texts that most
// cells are: two overlapping loads and stores cover any length up to twice
// their size, and never touch a byte outside either range.
inline void copy_bytes(void* dst, const void* src, size_t len) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    const auto move8 = [](unsigned char* to, const unsigned char* from) {
        uint64_t v;
        std::memcpy(&v, from, 8);
        std::memcpy(to, &v, 8);
    };
    if (len >= 8) {
        if (len > 32) {
            std::memcpy(d, s, len);
            return;
        }
        // Loads and stores of eight bytes in registers: first and last
        // eight, and for more than sixteen the two in between as well.
        uint64_t first, last;
        std::memcpy(&first, s, 8);
        std::memcpy(&last, s + len - 8, 8);
        if (len > 16) {
            move8(d + 8, s + 8);
            move8(d + len - 16, s + len - 16);
        }
        std::memcpy(d, &first, 8);
        std::memcpy(d + len - 8, &last, 8);
        return;
    }
    if (len >= 4) {
        uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + len - 4, 4);
        std::memcpy(d, &a, 4);
        std::memcpy(d + len - 4, &b, 4);
        return;
    }
    if (len >= 2) {
        uint16_t a, b;
        std::memcpy(&a, s, 2);
        std::memcpy(&b, s + len - 2, 2);
        std::memcpy(d, &a, 2);
        std::memcpy(d + len - 2, &b, 2);
        return;
    }
    if (len == 1) *d = *s;
}

// Copies up to 16 bytes of a compact str's text without a branch on the
// length: two 8-byte moves that overlap as the length requires. The source
// is read only inside the object (a compact str's text follows its header,
// more than 8 bytes long, so a load that ends at the text's end stays in
// it); the destination may receive up to 8 bytes past the text, which the
// room the caller keeps takes and later writes cover.
inline void copy_short_compact(void* dst, const void* src, size_t bytes) {
    const auto* s = static_cast<const unsigned char*>(src);
    auto* d = static_cast<unsigned char*>(dst);
    const bool two = bytes > 8;
    const size_t first = two ? 8 : bytes;
    const unsigned shift = unsigned(64 - 8 * first) & 63u;
    uint64_t lo, hi;
    std::memcpy(&lo, s + first - 8, 8);
    lo >>= shift;
    const ptrdiff_t tail = two ? ptrdiff_t(bytes) - 8 : ptrdiff_t(first) - 8;
    std::memcpy(&hi, s + tail, 8);
    hi >>= two ? 0u : shift;
    std::memcpy(d, &lo, 8);
    std::memcpy(d + (two ? bytes - 8 : 0), &hi, 8);
}

// Widens up to 16 one-byte code points of a compact str into two- or
// four-byte units without a loop: the bytes are loaded as for
// copy_short_compact and spread out with unpack instructions. Writes at
// least 8 units whatever the count; the room the caller keeps takes the
// rest.
template <typename Dst>
inline void widen_8_units(Dst* dst, uint64_t bytes) {
#if defined(__SSE2__) && defined(__x86_64__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i units = _mm_unpacklo_epi8(_mm_cvtsi64_si128(int64_t(bytes)), zero);
    if constexpr (sizeof(Dst) == 2) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), units);
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi16(units, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst) + 1, _mm_unpackhi_epi16(units, zero));
    }
#else
    for (int k = 0; k < 8; ++k) dst[k] = Dst((bytes >> (8 * k)) & 0xFF);
#endif
}

template <typename Dst>
inline bool widen_short_compact(Dst* dst, const Py_UCS1* src, Py_ssize_t n) {
    if (n > 16) return false;
    uint64_t lo, hi;
    if (n <= 8) {
        std::memcpy(&lo, src + n - 8, 8);
        widen_8_units(dst, n ? lo >> (unsigned(64 - 8 * n) & 63u) : 0);
    } else {
        // Two overlapping halves, each of eight code points.
        std::memcpy(&lo, src, 8);
        std::memcpy(&hi, src + n - 8, 8);
        widen_8_units(dst, lo);
        widen_8_units(dst + n - 8, hi);
    }
    return true;
}

// Writes the shortest decimal form of n, of width digits, at out + 1, and
// may write a '0' at out[0], where the digit-count character goes next:
// lengths below 100 are written without a branch on their width.
template <typename Dst>
inline void put_length(Dst* out, uint64_t n, int digits) {
    if (n < 100) {
        const char* pair = format::kDigitPairs + 2 * n;
        out[digits - 1] = Dst(pair[0]);
        out[digits] = Dst(pair[1]);
    } else {
        write_decimal(out + 1, n, digits);
    }
}

// Copies n code points of four-byte storage and counts those above U+FFFF
// in the same pass.
inline int64_t copy_counting_astral(Py_UCS4* dst, const Py_UCS4* src, Py_ssize_t n) {
    uint64_t astral = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        const uint32_t cp = src[k];
        dst[k] = cp;
        astral += cp > 0xFFFFu ? 1u : 0u;
    }
    return int64_t(astral);
}

// Writes the text of a str whose class is at most that of Dst.
template <typename Dst>
inline void put_text(Dst* out, const void* data, int kind, Py_ssize_t n) {
    if (size_t(kind) == sizeof(Dst))
        copy_bytes(out, data, size_t(n) * sizeof(Dst));
    else
        copy_units(out, data, kind, n);
}

// ---------------------------------------------------------------------------
// The result under construction.

class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { Py_XDECREF(str_); }

    int kind() const { return kind_; }
    int cls() const { return cls_; }
    Py_ssize_t room() const { return capacity_ - len_; }
    Py_ssize_t length() const { return len_; }
    template <typename Dst>
    Dst* cursor() const {
        return static_cast<Dst*>(data_) + len_;
    }
    void advance(Py_ssize_t n) { len_ += n; }

    // Makes room for extra more code points, and a quarter more than now:
    // the room never exceeds the document by more than a quarter, and large
    // strings grow in place (the allocator remaps their pages).
    [[gnu::noinline]] bool grow(Py_ssize_t extra) {
        if (extra > PY_SSIZE_T_MAX / 2 - len_ || capacity_ > PY_SSIZE_T_MAX / 2) {
            PyErr_NoMemory();
            return false;
        }
        return rebuild(std::max(len_ + extra, capacity_ + capacity_ / 4 + 64), cls_);
    }

    // Rebuilds at class cls (wider, or narrower than anything written so
    // far), converting what is written.
    [[gnu::noinline]] bool rebuild(Py_ssize_t capacity, int cls) {
        if (str_ && cls == cls_) {
            if (PyUnicode_Resize(&str_, capacity) < 0) return false;
        } else {
            PyObject* other = PyUnicode_New(capacity, maxchar_of_class(cls));
            if (!other) return false;
            if (str_) {
                copy_units_to(PyUnicode_DATA(other), PyUnicode_KIND(other), 0, data_, kind_, len_);
                Py_DECREF(str_);
            }
            str_ = other;
            cls_ = cls;
        }
        capacity_ = capacity;
        kind_ = PyUnicode_KIND(str_);
        data_ = PyUnicode_DATA(str_);
        return true;
    }

    bool ensure(Py_ssize_t extra, int cls) {
        if (cls > cls_) return rebuild(std::max(capacity_, len_ + extra), cls);
        if (extra > capacity_ - len_) return grow(extra);
        return true;
    }

    bool put_char(Py_UCS4 c) {
        if (!ensure(1, class_of_char(c))) return false;
        PyUnicode_WRITE(kind_, data_, len_, c);
        ++len_;
        return true;
    }

    bool put_str(PyObject* s) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n == 0) return true;
        if (!ensure(n, class_of(s))) return false;
        copy_units_to(data_, kind_, len_, PyUnicode_DATA(s), PyUnicode_KIND(s), n);
        len_ += n;
        return true;
    }

    bool put_number(uint64_t value, int digits) {
        if (!ensure(digits, kAscii)) return false;
        switch (kind_) {
            case PyUnicode_1BYTE_KIND: write_decimal(cursor<Py_UCS1>(), value, digits); break;
            case PyUnicode_2BYTE_KIND: write_decimal(cursor<Py_UCS2>(), value, digits); break;
            default: write_decimal(cursor<Py_UCS4>(), value, digits); break;
        }
        len_ += digits;
        return true;
    }

    // The document, at exactly its length and at the narrowest width that
    // holds what was written (written_cls).
    PyObject* finish(int written_cls) {
        if (len_ == 0) return PyUnicode_New(0, 0);
        if (written_cls < cls_) {
            if (!rebuild(len_, written_cls)) return nullptr;
        } else if (len_ < capacity_ && PyUnicode_Resize(&str_, len_) < 0) {
            return nullptr;
        }
        PyObject* result = str_;
        str_ = nullptr;
        return result;
    }

private:
    PyObject* str_ = nullptr;
    void* data_ = nullptr;
    int kind_ = PyUnicode_1BYTE_KIND;
    int cls_ = kAscii;
    Py_ssize_t len_ = 0;
    Py_ssize_t capacity_ = 0;
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

// Iterates an object that is not an exact list or tuple, with the next-item
// slot fetched once.
class Iteration {
public:
    bool start(PyObject* o) {
        iter_ = Ref(PyObject_GetIter(o));
        if (!iter_) return false;
        next_ = Py_TYPE(iter_.get())->tp_iternext;
        return true;
    }
    // The next element as a new reference, or null: at the end with no error
    // pending (a StopIteration is cleared), or with the iterator's error.
    PyObject* next() {
        PyObject* item = next_(iter_.get());
        if (!item && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_StopIteration)) PyErr_Clear();
        return item;
    }
    void reset() { iter_.reset(); }

private:
    Ref iter_;
    iternextfunc next_ = nullptr;
};

// What the fast road knows of HEX: the digit-count characters for 1 to
// fast_digits digits, all ASCII. fast_digits is 0 while nothing is known.
struct HexChars {
    int fast_digits = 0;
    char chars[format::kMaxLengthDigits];
};

enum class Step { kRowEnd, kRedispatch, kFail };

// The fast road's working set, kept in registers while it runs: where the
// next cell goes, where the room ends, the digit-count characters it may
// use, the widest class the result can take and the widest written.
template <typename Dst>
struct FastRun {
    Dst* w;
    Dst* end;
    const char* hex;
    int fast_digits;
    int out_cls;
    int written;
};

// How far ahead of the cell being written its successors' headers are
// fetched: each cell is a separate object, and reading its header is most of
// the cost of a short cell.
inline constexpr Py_ssize_t kPrefetchAhead = 10;

// Code points a sampled cell holds on average from which the table is
// measured exactly before writing.
inline constexpr double kLongCell = 64;

// Writes a whole cell that is an exact int small enough to be stored in one
// digit, None, True, False or an exact float, whose texts are known without
// running interpreter code (the float through its own repr, which is plain
// C), and returns the number of units written: 0 when the cell is none of
// these, or its text does not fit the room. Texts are all ASCII.
template <typename Dst>
[[gnu::noinline]] Py_ssize_t put_scalar(Dst* w, Dst* end, const char* hex, int fast_digits, PyObject* cell) {
    if (end - w < 32 || fast_digits < 2) return 0;
    if (PyLong_CheckExact(cell) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(cell))) {
        const Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(cell));
        const uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
        const int width = decimal_width(magnitude);
        const int len = width + (value < 0 ? 1 : 0);
        const int digits = len < 10 ? 1 : 2;
        w[0] = Dst(hex[digits - 1]);
        write_decimal(w + 1, uint64_t(len), digits);
        Dst* text = w + 1 + digits;
        if (value < 0) *text++ = Dst('-');
        write_decimal(text, magnitude, width);
        return 1 + digits + len;
    }
    const char* word = nullptr;
    if (cell == Py_None)
        word = "04None";
    else if (cell == Py_True)
        word = "04True";
    else if (cell == Py_False)
        word = "05False";
    if (word) {
        Py_ssize_t k = 0;
        for (; word[k]; ++k) w[k] = Dst(word[k]);
        w[0] = Dst(hex[0]);
        return k;
    }
    if (PyFloat_CheckExact(cell)) {
        PyObject* text = PyFloat_Type.tp_repr(cell);
        if (!text) {
            // Out of memory: the general road converts again and reports it.
            PyErr_Clear();
            return 0;
        }
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        Py_ssize_t written = 0;
        if (PyUnicode_IS_COMPACT_ASCII(text) && n < 10 && n + 2 <= end - w) {
            w[0] = Dst(hex[0]);
            w[1] = Dst('0' + n);
            copy_units(w + 2, PyUnicode_DATA(text), PyUnicode_1BYTE_KIND, n);
            written = 2 + n;
        } else if (PyUnicode_IS_COMPACT_ASCII(text) && n < 100 && n + 3 <= end - w) {
            w[0] = Dst(hex[1]);
            write_decimal(w + 1, uint64_t(n), 2);
            copy_units(w + 3, PyUnicode_DATA(text), PyUnicode_1BYTE_KIND, n);
            written = 3 + n;
        }
        Py_DECREF(text);
        return written;
    }
    return 0;
}

// The fast road for the commonest case, a result that is ASCII so far: only
// exact, compact ASCII str cells, whose text lies at a fixed place after the
// header, and nothing to track about widths.
[[gnu::hot]] Py_ssize_t ascii_cells(PyObject** cells, Py_ssize_t c, Py_ssize_t count, FastRun<Py_UCS1>& run) {
    Py_UCS1* w = run.w;
    Py_UCS1* const end = run.end;
    const char* const hex = run.hex;
    const int fast_digits = run.fast_digits;
    for (; c < count; ++c) {
        if (c + kPrefetchAhead < count) __builtin_prefetch(cells[c + kPrefetchAhead]);
        PyObject* cell = cells[c];
        if (!Py_IS_TYPE(cell, &PyUnicode_Type) || !PyUnicode_IS_COMPACT_ASCII(cell)) break;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(cell);
        if (n + format::kMaxLengthDigits + 1 > end - w) break;
        const int digits = decimal_width(uint64_t(n));
        if (digits > fast_digits) break;
        put_length(w, uint64_t(n), digits);
        w[0] = Py_UCS1(hex[digits - 1]);
        const auto* data = reinterpret_cast<const Py_UCS1*>(reinterpret_cast<PyASCIIObject*>(cell) + 1);
        if (n <= 16)
            copy_short_compact(w + 1 + digits, data, size_t(n));
        else
            copy_bytes(w + 1 + digits, data, size_t(n));
        w += 1 + digits + n;
    }
    run.w = w;
    return c;
}

// Writes cells[c..count) by the fast road and returns the index of the first
// cell it did not write: one that is not a str, is wider than the result,
// needs more digits than the fast road has characters for, or does not fit
// the room left.
template <typename Dst>
[[gnu::hot]] Py_ssize_t fast_cells(PyObject** cells, Py_ssize_t c, Py_ssize_t count, FastRun<Dst>& run) {
    if constexpr (sizeof(Dst) == 1) {
        if (run.out_cls == kAscii) {
            for (;;) {
                c = ascii_cells(cells, c, count, run);
                // A row may have shrunk below the index the walk had reached.
                if (c >= count) return c;
                const Py_ssize_t len = put_scalar(run.w, run.end, run.hex, run.fast_digits, cells[c]);
                if (len == 0) break;
                run.w += len;
                ++c;
            }
        }
    }
    Dst* w = run.w;
    Dst* const end = run.end;
    const char* const hex = run.hex;
    const int fast_digits = run.fast_digits;
    const int out_cls = run.out_cls;
    int written = run.written;
    for (; c < count; ++c) {
        if (c + kPrefetchAhead < count) __builtin_prefetch(cells[c + kPrefetchAhead]);
        PyObject* cell = cells[c];
        if (!PyUnicode_Check(cell)) {
            const Py_ssize_t len = put_scalar(w, end, hex, fast_digits, cell);
            if (len == 0) break;
            w += len;
            continue;
        }
        const int cls = class_of(cell);
        if (cls > out_cls) break;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(cell);
        if (n + format::kMaxLengthDigits + 1 > end - w) break;
        const void* data = PyUnicode_DATA(cell);
        if constexpr (sizeof(Dst) == 4) {
            if (cls == kUcs4) {
                // Copy first, at the place the shortest possible length
                // leaves, counting astral code points; move the text in the
                // rare case its length needs more digits than its code-point
                // count.
                const int guess = decimal_width(uint64_t(n));
                if (guess > fast_digits) break;
                const int64_t u16_len = n + copy_counting_astral(w + 1 + guess, static_cast<const Py_UCS4*>(data), n);
                const int digits = decimal_width(uint64_t(u16_len));
                if (digits > fast_digits) break;
                if (digits != guess) std::memmove(w + 1 + digits, w + 1 + guess, size_t(n) * 4);
                w[0] = Dst(hex[digits - 1]);
                write_decimal(w + 1, uint64_t(u16_len), digits);
                w += 1 + digits + n;
                written = kUcs4;
                continue;
            }
        }
        const int digits = decimal_width(uint64_t(n));
        if (digits > fast_digits) break;
        put_length(w, uint64_t(n), digits);
        w[0] = Dst(hex[digits - 1]);
        const int kind = PyUnicode_KIND(cell);
        if (size_t(kind) == sizeof(Dst)) {
            if (n * Py_ssize_t(sizeof(Dst)) <= 16 && PyUnicode_IS_COMPACT(cell))
                copy_short_compact(w + 1 + digits, data, size_t(n) * sizeof(Dst));
            else
                copy_bytes(w + 1 + digits, data, size_t(n) * sizeof(Dst));
        } else if (!(kind == PyUnicode_1BYTE_KIND && PyUnicode_IS_COMPACT(cell) &&
                     widen_short_compact(w + 1 + digits, static_cast<const Py_UCS1*>(data), n))) {
            copy_units(w + 1 + digits, data, kind, n);
        }
        w += 1 + digits + n;
        written = std::max(written, cls);
    }
    run.w = w;
    run.written = written;
    return c;
}

class Serializer {
public:
    Serializer(PyObject* lists, const Host& host) : lists_(lists), host_(host) {}

    PyObject* run() {
        if (is_sequence(lists_)) {
            table_is_sequence_ = true;
            if (!start_with_estimate()) return nullptr;
        } else {
            if (!table_iter_.start(lists_)) return nullptr;
            if (!out_.rebuild(256, kAscii)) return nullptr;
        }
        for (;;) {
            bool more;
            Step step;
            switch (out_.kind()) {
                case PyUnicode_1BYTE_KIND: step = walk<Py_UCS1>(more); break;
                case PyUnicode_2BYTE_KIND: step = walk<Py_UCS2>(more); break;
                default: step = walk<Py_UCS4>(more); break;
            }
            if (step == Step::kFail) return nullptr;
            if (!more) break;
        }
        if (bad_piece_) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", bad_index_,
                         Py_TYPE(bad_piece_.get())->tp_name);
            return nullptr;
        }
        return out_.finish(written_cls_);
    }

private:
    // Sizes the result from a sample of rows spread over the table, and
    // starts it at the widest class seen there. A few long rows among the
    // sampled ones must not make the room far larger than the document: a
    // short estimate costs a few regrowths, a long one holds memory until
    // the end.
    bool start_with_estimate() {
        const Py_ssize_t rows = size_of(lists_);
        PyObject** items = items_of(lists_);
        constexpr Py_ssize_t kSampleRows = 32, kSampleCells = 64;
        const Py_ssize_t samples = std::min(rows, kSampleRows);
        double lengths[kSampleRows];
        int cls = kAscii;
        double sampled_cells = 0, sampled_chars = 0;
        for (Py_ssize_t s = 0; s < samples; ++s) {
            PyObject* row = items[samples == rows ? s : s * (rows - 1) / (samples - 1)];
            double row_len = 1;
            if (is_sequence(row)) {
                PyObject** cells = items_of(row);
                const Py_ssize_t n = size_of(row);
                const Py_ssize_t looked = std::min(n, kSampleCells);
                double cells_len = 0;
                for (Py_ssize_t c = 0; c < looked; ++c) {
                    PyObject* cell = cells[looked == n ? c : c * (n - 1) / (looked - 1)];
                    if (PyUnicode_Check(cell)) {
                        const Py_ssize_t len = PyUnicode_GET_LENGTH(cell);
                        cells_len += double(len + 1 + decimal_width(uint64_t(len)));
                        cls = std::max(cls, class_of(cell));
                        sampled_cells += 1;
                        sampled_chars += double(len);
                    } else {
                        // A number or None: a few characters, and a short
                        // estimate only costs a regrowth.
                        cells_len += 5;
                    }
                }
                if (looked) row_len += cells_len * double(n) / double(looked);
            }
            lengths[s] = row_len;
        }
        // Rows far longer than the typical sampled row count four times that
        // row at most.
        // Long cells: reading every cell's header once more costs next to
        // nothing beside copying them, and the exact size makes each call
        // ask the allocator for the same block, which it hands back without
        // fresh pages (a larger first request would get new pages each time).
        if (sampled_cells > 0 && sampled_chars >= kLongCell * sampled_cells) {
            Py_ssize_t total;
            int exact_cls;
            if (measure_exactly(total, exact_cls)) return out_.rebuild(total, exact_cls);
        }
        std::sort(lengths, lengths + samples);
        const double cap = samples ? 4 * lengths[samples / 2] : 0;
        double sum = 0;
        for (Py_ssize_t s = 0; s < samples; ++s) sum += std::min(lengths[s], cap);
        double estimate = samples ? sum * double(rows) / double(samples) : 0;
        estimate += estimate / 16 + 64;
        if (estimate > double(PY_SSIZE_T_MAX / 4)) estimate = double(PY_SSIZE_T_MAX / 4);
        return out_.rebuild(Py_ssize_t(estimate), cls);
    }

    // The exact length of the document and the widest class of its text,
    // for an exact table whose rows are exact lists or tuples of str; false
    // for any other table. Runs no interpreter code.
    bool measure_exactly(Py_ssize_t& total, int& cls) const {
        PyObject** items = items_of(lists_);
        const Py_ssize_t rows = size_of(lists_);
        int64_t sum = 0;
        int widest = kAscii;
        for (Py_ssize_t r = 0; r < rows; ++r) {
            PyObject* row = items[r];
            if (!is_sequence(row)) return false;
            PyObject** cells = items_of(row);
            const Py_ssize_t count = size_of(row);
            for (Py_ssize_t c = 0; c < count; ++c) {
                PyObject* cell = cells[c];
                if (!PyUnicode_Check(cell)) return false;
                const Py_ssize_t n = PyUnicode_GET_LENGTH(cell);
                int digits = decimal_width(uint64_t(n));
                // Four-byte text is 1 to 2 UTF-16 units a code point: its
                // code points are counted only when that changes the digits.
                if (PyUnicode_KIND(cell) == PyUnicode_4BYTE_KIND && decimal_width(2 * uint64_t(n)) != digits)
                    digits = decimal_width(uint64_t(utf16_length_of(cell)));
                sum += 1 + digits + n;
                widest = std::max(widest, class_of(cell));
            }
            sum += 1;
        }
        if (sum <= 0 || sum > PY_SSIZE_T_MAX / 4) return false;
        total = Py_ssize_t(sum);
        cls = widest;
        return true;
    }

    // Interpreter code may have run: nothing read of HEX holds any more.
    void code_ran() { hex_.fast_digits = 0; }

    // Makes the fast road's knowledge of HEX current. Leaves fast_digits at 0
    // when HEX must be looked up the slow way.
    void refresh_hex() {
        PyObject* hex = host_.peek_hex();
        int fast = 0;
        if (hex) {
            const Py_ssize_t len = PyUnicode_GET_LENGTH(hex);
            while (fast < format::kMaxLengthDigits && fast < len) {
                const Py_UCS4 c = PyUnicode_READ_CHAR(hex, fast);
                if (c >= 0x80) break;
                hex_.chars[fast++] = char(c);
            }
        }
        hex_.fast_digits = fast;
    }

    // The next row of the table into row_, or false at the end (or on error,
    // with it pending).
    bool next_row() {
        if (table_is_sequence_) {
            const Py_ssize_t rows = size_of(lists_);
            if (row_index_ >= rows) return false;
            PyObject** items = items_of(lists_);
            row_ = Ref::borrow(items[row_index_++]);
            // The row after next is fetched now, and the first cells of the
            // next row, whose header was fetched one row ago.
            if (row_index_ + 1 < rows) __builtin_prefetch(items[row_index_ + 1]);
            if (row_index_ < rows && PyList_CheckExact(items[row_index_])) {
                PyObject* next = items[row_index_];
                PyObject** cells = items_of(next);
                const Py_ssize_t ahead = std::min(size_of(next), kPrefetchAhead);
                for (Py_ssize_t c = 0; c < ahead; ++c) __builtin_prefetch(cells[c]);
            }
        } else {
            row_ = Ref(table_iter_.next());
            code_ran();
            if (!row_) return false;
        }
        row_is_sequence_ = is_sequence(row_.get());
        cell_index_ = 0;
        if (!row_is_sequence_) {
            if (!row_iter_.start(row_.get())) return false;
            code_ran();
        }
        return true;
    }

    // Ends the current row: writes ";" and lets go of the row.
    bool end_row() {
        if (!out_.ensure(1, kAscii)) return false;
        switch (out_.kind()) {
            case PyUnicode_1BYTE_KIND: *out_.cursor<Py_UCS1>() = format::kRowTerminator; break;
            case PyUnicode_2BYTE_KIND: *out_.cursor<Py_UCS2>() = format::kRowTerminator; break;
            default: *out_.cursor<Py_UCS4>() = format::kRowTerminator; break;
        }
        out_.advance(1);
        ++pieces_;
        // Releasing a row's iterator, or the last reference to a row, may run
        // finalizers.
        if (!row_is_sequence_ || Py_REFCNT(row_.get()) == 1) code_ran();
        row_iter_.reset();
        row_.reset();
        in_row_ = false;
        return true;
    }

    // Walks rows and cells while the result keeps the width of Dst. Sets
    // more to false once the table is done.
    template <typename Dst>
    Step walk(bool& more) {
        more = true;
        for (;;) {
            if (!in_row_ && table_is_sequence_ && hex_.fast_digits > 0) lean_rows<Dst>();
            if (!in_row_) {
                if (!next_row()) {
                    if (PyErr_Occurred()) return Step::kFail;
                    more = false;
                    return Step::kRowEnd;
                }
                in_row_ = true;
            }
            const Step step = row_is_sequence_ ? sequence_row<Dst>() : iterated_row<Dst>();
            if (step != Step::kRowEnd) return step;
            if (!end_row()) return Step::kFail;
            if (out_.kind() != int(sizeof(Dst))) return Step::kRedispatch;
        }
    }

    // Whole rows of an exact list or tuple table whose rows are exact lists
    // or tuples of str, written by the fast road with rows borrowed from the
    // table: nothing here runs interpreter code, so they stay valid. Stops at
    // the first row the fast road cannot finish, which then becomes the
    // current row, held by a reference of our own, from the cell where it
    // stopped.
    template <typename Dst>
    void lean_rows() {
        PyObject** items = items_of(lists_);
        const Py_ssize_t rows = size_of(lists_);
        FastRun<Dst> run{out_.cursor<Dst>(), out_.cursor<Dst>() + out_.room(), hex_.chars,
                         hex_.fast_digits, out_.cls(), written_cls_};
        Dst* const start = run.w;
        Py_ssize_t r = row_index_;
        Py_ssize_t pieces = 0;
        for (; r < rows; ++r) {
            PyObject* row = items[r];
            if (!is_sequence(row)) break;
            // Each level of the table is fetched ahead, two rows before the
            // next level needs it: the row header six rows on, its item array
            // four rows on, the first cells two rows on.
            if (r + 6 < rows) __builtin_prefetch(items[r + 6]);
            if (r + 4 < rows && PyList_CheckExact(items[r + 4]))
                __builtin_prefetch(reinterpret_cast<PyListObject*>(items[r + 4])->ob_item);
            if (r + 2 < rows && is_sequence(items[r + 2])) {
                PyObject** next = items_of(items[r + 2]);
                const Py_ssize_t ahead = std::min(size_of(items[r + 2]), kPrefetchAhead);
                for (Py_ssize_t k = 0; k < ahead; ++k) __builtin_prefetch(next[k]);
            }
            const Py_ssize_t count = size_of(row);
            const Py_ssize_t c = fast_cells(items_of(row), 0, count, run);
            if (c < count || run.w == run.end) {
                pieces += 3 * c;
                row_ = Ref::borrow(row);
                row_index_ = r + 1;
                row_is_sequence_ = true;
                cell_index_ = c;
                in_row_ = true;
                break;
            }
            *run.w++ = Dst(format::kRowTerminator);
            pieces += 3 * count + 1;
        }
        if (!in_row_) row_index_ = r;
        out_.advance(run.w - start);
        written_cls_ = run.written;
        pieces_ += pieces;
    }

    // The cells of an exact list or tuple row, from cell_index_ on.
    template <typename Dst>
    Step sequence_row() {
        PyObject* row = row_.get();
        for (;;) {
            PyObject** cells = items_of(row);
            const Py_ssize_t count = size_of(row);
            FastRun<Dst> run{out_.cursor<Dst>(), out_.cursor<Dst>() + out_.room(), hex_.chars,
                             hex_.fast_digits, out_.cls(), written_cls_};
            const Py_ssize_t c = fast_cells(cells, cell_index_, count, run);
            out_.advance(run.w - out_.cursor<Dst>());
            const int fast_digits = hex_.fast_digits;
            const int out_cls = out_.cls();
            written_cls_ = run.written;
            pieces_ += 3 * (c - cell_index_);
            cell_index_ = c;
            if (c >= count) return Step::kRowEnd;

            // The fast road stopped at this cell.
            PyObject* cell = cells[c];
            if (PyUnicode_Check(cell) && fast_digits > 0 && class_of(cell) <= out_cls &&
                PyUnicode_GET_LENGTH(cell) + format::kMaxLengthDigits + 1 > out_.room()) {
                // Only the room was short: the fast road keeps a margin for
                // its wide moves. When the cell itself fits, as the last
                // cells of an exactly measured document do, the general
                // road writes it without growing the result.
                const Py_ssize_t n = PyUnicode_GET_LENGTH(cell);
                const uint64_t most = PyUnicode_KIND(cell) == PyUnicode_4BYTE_KIND ? 2 * uint64_t(n) : uint64_t(n);
                if (1 + decimal_width(most) + n > out_.room()) {
                    if (!out_.grow(n + format::kMaxLengthDigits + 1)) return Step::kFail;
                    continue;
                }
            }
            if (PyUnicode_Check(cell)) {
                if (fast_digits == 0) {
                    refresh_hex();
                    if (hex_.fast_digits > 0) continue;
                } else if (class_of(cell) > out_cls) {
                    if (!widen(class_of(cell))) return Step::kFail;
                    return Step::kRedispatch;
                }
            }
            ++cell_index_;
            if (!general_cell(Ref::borrow(cell))) return Step::kFail;
            if (out_.kind() != int(sizeof(Dst))) return Step::kRedispatch;
        }
    }

    // The cells of a row that is walked through its iterator. Each next
    // item may have run interpreter code, so what is known of HEX is asked
    // for again (in constant time) before a str cell takes the fast road.
    template <typename Dst>
    Step iterated_row() {
        for (;;) {
            Ref item(row_iter_.next());
            code_ran();
            if (!item) return PyErr_Occurred() ? Step::kFail : Step::kRowEnd;
            if (PyUnicode_Check(item.get())) {
                refresh_hex();
                PyObject* one[1] = {item.get()};
                FastRun<Dst> run{out_.cursor<Dst>(), out_.cursor<Dst>() + out_.room(), hex_.chars,
                                 hex_.fast_digits, out_.cls(), written_cls_};
                if (fast_cells(one, 0, 1, run) == 1) {
                    out_.advance(run.w - out_.cursor<Dst>());
                    written_cls_ = run.written;
                    pieces_ += 3;
                    // The item's last reference may go with it.
                    if (Py_REFCNT(item.get()) == 1) code_ran();
                    continue;
                }
            }
            if (!general_cell(std::move(item))) return Step::kFail;
            if (out_.kind() != int(sizeof(Dst))) return Step::kRedispatch;
        }
    }

    // Rebuilds the result at least at class cls, and at the widest class of
    // the str cells still to come, so that one rebuild serves the rest.
    [[gnu::noinline]] bool widen(int cls) {
        int target = cls;
        if (table_is_sequence_) {
            const Py_ssize_t rows = size_of(lists_);
            PyObject** items = items_of(lists_);
            for (Py_ssize_t r = row_index_ - 1; r < rows && target < kUcs4; ++r) {
                PyObject* row = r == row_index_ - 1 ? row_.get() : items[r];
                if (!is_sequence(row)) continue;
                PyObject** cells = items_of(row);
                const Py_ssize_t n = size_of(row);
                for (Py_ssize_t c = r == row_index_ - 1 ? cell_index_ : 0; c < n; ++c)
                    if (PyUnicode_Check(cells[c])) target = std::max(target, class_of(cells[c]));
            }
        }
        return out_.rebuild(out_.length() + (out_.room() > 0 ? out_.room() : 64), target);
    }

    // One cell by the general road: its string conversion, its length, HEX
    // looked up for it, then the three pieces.
    bool general_cell(Ref item) {
        const bool ok = write_general_cell(std::move(item));
        // Whatever the cell's text, the converted text or HEX had as its last
        // reference is released by now, and a finalizer may have run.
        code_ran();
        return ok;
    }

    bool write_general_cell(Ref item) {
        Ref v;
        if (PyUnicode_Check(item.get())) {
            v = std::move(item);
        } else {
            v = Ref(PyObject_Str(item.get()));
            code_ran();
            if (!v) return false;
        }
        const int64_t u16_len = utf16_length_of(v.get());
        const int digits = decimal_width(uint64_t(u16_len));
        if (hex_.fast_digits == 0) refresh_hex();
        if (digits <= hex_.fast_digits) {
            if (!out_.put_char(Py_UCS4(hex_.chars[digits - 1]))) return false;
        } else {
            Ref hex(host_.lookup_hex());
            code_ran();
            if (!hex) return false;
            if (PyUnicode_CheckExact(hex.get()) && digits <= PyUnicode_GET_LENGTH(hex.get())) {
                const Py_UCS4 c = PyUnicode_READ_CHAR(hex.get(), digits - 1);
                if (!out_.put_char(c)) return false;
                written_cls_ = std::max(written_cls_, class_of_char(c));
            } else {
                Ref piece(subscript(hex.get(), digits - 1));
                if (!piece) return false;
                if (PyUnicode_Check(piece.get())) {
                    if (!out_.put_str(piece.get())) return false;
                    if (PyUnicode_GET_LENGTH(piece.get()) > 0)
                        written_cls_ = std::max(written_cls_, class_of(piece.get()));
                } else if (!bad_piece_) {
                    // Writing goes on so that every conversion and look-up
                    // still happens in order; the TypeError that joining the
                    // pieces would give is raised at the end.
                    bad_piece_ = std::move(piece);
                    bad_index_ = pieces_;
                }
            }
        }
        if (!out_.put_number(uint64_t(u16_len), digits) || !out_.put_str(v.get())) return false;
        if (PyUnicode_GET_LENGTH(v.get()) > 0) written_cls_ = std::max(written_cls_, class_of(v.get()));
        pieces_ += 3;
        return true;
    }

    PyObject* lists_;  // borrowed: the caller holds it
    const Host& host_;
    Output out_;
    HexChars hex_;
    bool table_is_sequence_ = false;
    Py_ssize_t row_index_ = 0;
    Iteration table_iter_;
    Ref row_;
    bool in_row_ = false;
    bool row_is_sequence_ = false;
    Py_ssize_t cell_index_ = 0;
    Iteration row_iter_;
    Py_ssize_t pieces_ = 0;
    int written_cls_ = kAscii;
    Ref bad_piece_;
    Py_ssize_t bad_index_ = 0;
};

}  // namespace

PyObject* stringify(PyObject* lists, const Host& host) {
    Serializer serializer(lists, host);
    return serializer.run();
}

}  // namespace vorn::codec
