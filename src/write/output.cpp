#include "write/output.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "write/str_layout.h"
#include "write/text.h"
#include "format/format.h"
#include "common/portable.h"

namespace vorn::codec {

namespace {

// glibc's malloc maps a block larger than its mapping threshold afresh at
// every request and unmaps it when it is freed, so every call that makes
// such a result faults in each of its pages again. The threshold starts at
// 128 KiB and rises to the size of any mapped block that is freed, up to a
// ceiling (4 MiB a byte of long: 32 MiB on 64-bit machines); below it,
// blocks come from the heap, whose freed memory the next call gets back.
// A block of half again the request's size, allocated and freed untouched
// (which costs a map and an unmap, and no page), raises the threshold above
// this request, its regrowths and the requests of tables of about its size,
// once for each new largest request of the process.
#if defined(__GLIBC__)
constexpr size_t kFirstMapped = size_t(128) << 10;
constexpr size_t kThresholdCeiling = size_t(4) * 1024 * 1024 * sizeof(long);
constexpr size_t kBlockOverhead = size_t(64) << 10;
std::atomic<size_t> largest_taught{kFirstMapped};

void keep_in_heap(Py_ssize_t units, int kind) {
    const size_t bytes = size_t(units) * size_t(kind);
    if (bytes <= largest_taught.load(std::memory_order_relaxed)) return;
    // Past the ceiling every such block is mapped: nothing to teach.
    if (bytes > kThresholdCeiling - 2 * kBlockOverhead) return;
    const size_t block = std::min(bytes + bytes / 2, kThresholdCeiling - kBlockOverhead);
    void* p = std::malloc(block);
    if (!p) return;
    std::free(p);
    largest_taught.store(block, std::memory_order_relaxed);
}
#else
void keep_in_heap(Py_ssize_t, int) {}
#endif

}  // namespace

// The room never exceeds the document by more than a quarter, and large
// strings grow in place (the allocator remaps their pages).
VORN_NOINLINE bool Output::grow(Py_ssize_t extra) {
    if (extra > PY_SSIZE_T_MAX / 2 - len_ || capacity_ > PY_SSIZE_T_MAX / 2) {
        PyErr_NoMemory();
        return false;
    }
    return rebuild(std::max(len_ + extra, capacity_ + capacity_ / 4 + 64), width_);
}

VORN_NOINLINE bool Output::rebuild(Py_ssize_t capacity, Width w) {
    keep_in_heap(capacity, kind_of_width(w));
    if (str_ && w == width_) {
        if (PyUnicode_Resize(&str_, capacity) < 0) return false;
    } else {
        PyObject* other = layout::make(capacity, w);
        if (!other) return false;
        if (str_) {
            copy_units_to(layout::data_to_fill(other), layout::kind(other), 0, data_, kind(), len_);
            Py_DECREF(str_);
        }
        str_ = other;
        width_ = w;
    }
    capacity_ = capacity;
    data_ = layout::data_to_fill(str_);
    return true;
}

bool Output::put_char(Py_UCS4 c) {
    if (!ensure(1, width_of_char(c))) return false;
    PyUnicode_WRITE(kind(), data_, len_, c);
    ++len_;
    return true;
}

bool Output::put_str(PyObject* s) {
    const Py_ssize_t n = layout::length(s);
    if (n == 0) return true;
    if (!ensure(n, layout::width(s))) return false;
    copy_units_to(data_, kind(), len_, layout::data(s), layout::kind(s), n);
    len_ += n;
    return true;
}

bool Output::put_number(uint64_t value, int digits) {
    if (!ensure(digits, Width::kAscii)) return false;
    switch (width_) {
        case Width::kAscii:
        case Width::kLatin1: format::write_decimal(cursor<Py_UCS1>(), value, digits); break;
        case Width::kUcs2: format::write_decimal(cursor<Py_UCS2>(), value, digits); break;
        default: format::write_decimal(cursor<Py_UCS4>(), value, digits); break;
    }
    len_ += digits;
    return true;
}

PyObject* Output::finish(Width written) {
    if (len_ == 0) return PyUnicode_New(0, 0);
    if (written < width_) {
        if (!rebuild(len_, written)) return nullptr;
    } else if (len_ < capacity_ && PyUnicode_Resize(&str_, len_) < 0) {
        return nullptr;
    }
    PyObject* result = str_;
    str_ = nullptr;
    return result;
}

}  // namespace vorn::codec
