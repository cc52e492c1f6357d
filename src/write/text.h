// Small helpers over the interpreter's string storage shared by the writers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "write/str_layout.h"

namespace vorn::codec {

// Copies n code points stored with src_kind bytes each into dst, which is at
// least as wide.
template <typename Dst>
inline void copy_units(Dst* dst, const void* src, int src_kind, Py_ssize_t n) {
    if (size_t(src_kind) == sizeof(Dst)) {
        std::memcpy(dst, src, size_t(n) * sizeof(Dst));
    } else if (src_kind == PyUnicode_1BYTE_KIND) {
        const auto* s = static_cast<const Py_UCS1*>(src);
        for (Py_ssize_t k = 0; k < n; ++k) dst[k] = Dst(s[k]);
    } else if (src_kind == PyUnicode_2BYTE_KIND) {
        const auto* s = static_cast<const Py_UCS2*>(src);
        for (Py_ssize_t k = 0; k < n; ++k) dst[k] = Dst(s[k]);
    } else {
        const auto* s = static_cast<const Py_UCS4*>(src);
        for (Py_ssize_t k = 0; k < n; ++k) dst[k] = Dst(s[k]);
    }
}

// The same, with the destination given as a string's storage of dst_kind
// bytes per code point, written from code point offset on.
inline void copy_units_to(void* dst, int dst_kind, Py_ssize_t offset, const void* src, int src_kind,
                          Py_ssize_t n) {
    if (dst_kind == PyUnicode_1BYTE_KIND)
        copy_units(static_cast<Py_UCS1*>(dst) + offset, src, src_kind, n);
    else if (dst_kind == PyUnicode_2BYTE_KIND)
        copy_units(static_cast<Py_UCS2*>(dst) + offset, src, src_kind, n);
    else
        copy_units(static_cast<Py_UCS4*>(dst) + offset, src, src_kind, n);
}

}  // namespace vorn::codec
