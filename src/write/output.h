// The result under construction: a str sized ahead, grown when it falls
// short, rebuilt wider when a wider cell arrives, and trimmed to its exact
// length (and to the narrowest width that holds what was written) at the
// end.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>

#include "write/span.h"
#include "write/width.h"

namespace vorn::codec {

class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { Py_XDECREF(str_); }

    // The width the result is stored at; its storage has kind() bytes per
    // code point.
    Width width() const { return width_; }
    int kind() const { return kind_of_width(width_); }
    Py_ssize_t room() const { return capacity_ - len_; }
    Py_ssize_t length() const { return len_; }
    template <typename Dst>
    Dst* cursor() const {
        return static_cast<Dst*>(data_) + len_;
    }
    void advance(Py_ssize_t n) { len_ += n; }

    // The room from the cursor on, for the fast road.
    template <typename Dst>
    Span<Dst> span() const {
        return Span<Dst>(cursor<Dst>(), cursor<Dst>() + room());
    }
    // Takes what the fast road wrote into a span made by span().
    template <typename Dst>
    void commit(const Span<Dst>& done) {
        len_ = done.w - static_cast<Dst*>(data_);
    }

    // Makes room for extra more code points, and a quarter more than now.
    bool grow(Py_ssize_t extra);

    // Rebuilds at width w (wider, or narrower than anything written so far),
    // converting what is written.
    bool rebuild(Py_ssize_t capacity, Width w);

    bool ensure(Py_ssize_t extra, Width w) {
        if (w > width_) return rebuild(std::max(capacity_, len_ + extra), w);
        if (extra > capacity_ - len_) return grow(extra);
        return true;
    }

    bool put_char(Py_UCS4 c);
    bool put_str(PyObject* s);
    bool put_number(uint64_t value, int digits);

    // The document, at exactly its length and at the narrowest width that
    // holds what was written.
    PyObject* finish(Width written);

private:
    PyObject* str_ = nullptr;
    void* data_ = nullptr;
    Width width_ = Width::kAscii;
    Py_ssize_t len_ = 0;
    Py_ssize_t capacity_ = 0;
};

}  // namespace vorn::codec
