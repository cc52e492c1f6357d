// Owning reference to an interpreter object. Holding every new reference in
// a Ref makes "release everything on failure" hold by construction: an early
// return drops whatever the function made so far.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn {

class Ref {
public:
    Ref() = default;
    // Takes ownership of a new reference (which may be null).
    explicit Ref(PyObject* p) : p_(p) {}
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // Replaces the held reference (taking ownership of p), releasing the old
    // one only after the new one is stored, as Py_XSETREF does.
    void reset(PyObject* p = nullptr) {
        PyObject* old = p_;
        p_ = p;
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace vorn
