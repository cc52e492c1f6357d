// The writer's one door to interpreter code, and what it knows of HEX.
//
// A call that can run interpreter code (a string conversion, an iterator, a
// dictionary look-up with a non-str key present, __eq__, a subscription,
// the release of the last reference to anything) may rebind HEX or change
// the str it is bound to. The fast road reads the digit-count characters
// from what was read of HEX without looking it up, so every such call is
// made through Interp, which forgets that knowledge after it; the fast road
// then reads HEX afresh before it goes on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/host.h"
#include "common/ref.h"
#include "format/format.h"

namespace vorn::codec {

// Iterates an object that is not an exact list or tuple, with the next-item
// slot fetched once. Started and advanced only through Interp.
class Iteration {
public:
    explicit operator bool() const { return bool(iter_); }

private:
    Ref iter_;
    iternextfunc next_ = nullptr;
    friend class Interp;
};

class Interp {
public:
    explicit Interp(const Host& host) : host_(host) {}

    // --- What is known of HEX ------------------------------------------------

    // Digit-count characters for 1 to fast_digits() digits, all ASCII; 0
    // while nothing is known, or when HEX must be looked up the slow way.
    int fast_digits() const { return fast_digits_; }
    const char* hex_chars() const { return chars_; }

    // Reads HEX where that runs no interpreter code (Host::peek_hex).
    void refresh_hex();

    // --- Calls that may run interpreter code ----------------------------------

    // str(o), as a new reference.
    PyObject* str(PyObject* o) { return after(PyObject_Str(o)); }

    // HEX looked up as interpreter code would find it.
    PyObject* lookup_hex() { return after(host_.lookup_hex()); }

    // obj[index] through the type's own subscription, as joining would
    // take it.
    PyObject* subscript(PyObject* obj, Py_ssize_t index);

    bool start(Iteration& it, PyObject* o);

    // The next element as a new reference, or null: at the end with no error
    // pending (a StopIteration is cleared), or with the iterator's error.
    PyObject* next(Iteration& it) {
        PyObject* item = it.next_(it.iter_.get());
        forget();
        if (!item && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_StopIteration)) PyErr_Clear();
        return item;
    }

    // Lets go of r; its last reference may run a finalizer.
    void release(Ref& r) {
        if (r && Py_REFCNT(r.get()) == 1) forget();
        r.reset();
    }
    void release(Iteration& it) {
        if (it.iter_) forget();
        it.iter_.reset();
    }

    // Forgets HEX when it ends: held while a step runs whose references,
    // released at its end, may have been the last.
    class Scope {
    public:
        explicit Scope(Interp& interp) : interp_(interp) {}
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope() { interp_.forget(); }

    private:
        Interp& interp_;
    };

private:
    void forget() { fast_digits_ = 0; }
    PyObject* after(PyObject* result) {
        forget();
        return result;
    }

    const Host& host_;
    int fast_digits_ = 0;
    char chars_[format::kMaxLengthDigits];
};

}  // namespace vorn::codec
