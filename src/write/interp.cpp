#include "write/interp.h"

#include "write/str_layout.h"

namespace vorn::codec {

void Interp::refresh_hex() {
    PyObject* hex = host_.peek_hex();
    int fast = 0;
    if (hex) {
        const Py_ssize_t len = layout::length(hex);
        while (fast < format::kMaxLengthDigits && fast < len) {
            const Py_UCS4 c = layout::char_at(hex, fast);
            if (c >= 0x80) break;
            chars_[fast++] = char(c);
        }
    }
    fast_digits_ = fast;
}

PyObject* Interp::subscript(PyObject* obj, Py_ssize_t index) {
    PyTypeObject* tp = Py_TYPE(obj);
    PyObject* result;
    if (tp->tp_as_mapping && tp->tp_as_mapping->mp_subscript) {
        Ref key(PyLong_FromSsize_t(index));
        result = key ? tp->tp_as_mapping->mp_subscript(obj, key.get()) : nullptr;
    } else if (tp->tp_as_sequence && tp->tp_as_sequence->sq_item) {
        result = tp->tp_as_sequence->sq_item(obj, index);
    } else {
        Ref key(PyLong_FromSsize_t(index));
        result = key ? PyObject_GetItem(obj, key.get()) : nullptr;
    }
    return after(result);
}

bool Interp::start(Iteration& it, PyObject* o) {
    it.iter_ = Ref(PyObject_GetIter(o));
    forget();
    if (!it.iter_) return false;
    it.next_ = Py_TYPE(it.iter_.get())->tp_iternext;
    return true;
}

}  // namespace vorn::codec
