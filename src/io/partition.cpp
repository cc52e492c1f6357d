// vorn_io._scanner.Partitioner: the row-boundary finder over UTF-8 bytes,
// for vorn_io.partitions. It reads chunks of a file in place, with the
// interpreter released, and reports the row ends where ranges of at least
// a given size may end; what it finds malformed it describes, and the
// Python side words the error as parse would for the whole file.

#include "io/partition.h"

#include <new>

#include "read/boundaries.h"
#include "common/ref.h"

namespace vorn::io {

namespace {

using codec::BoundaryFault;
using codec::BoundaryFinder;

struct PartitionerObject {
    PyObject_HEAD
    BoundaryFinder* finder;
    bool busy;  // inside feed(): another thread may not enter
    bool ended;
};

const char kPartitionerDoc[] =
    "Partitioner(size, /)\n--\n\n"
    "Finds the row ends of a VORN document given as UTF-8 bytes in chunks.\n\n"
    "feed(chunk, final, cuts) reads the chunk and appends to the list cuts a\n"
    "pair (byte offset, rows before it) for each row end that closes a range\n"
    "of at least size bytes. It returns how many bytes it read: the rest of the\n"
    "chunk goes in front of the next one. With final true (no byte follows)\n"
    "it returns None for a well-formed document, or describes the fault as\n"
    "(kind, code point, position, row, byte offset), kind one of 'token',\n"
    "'end' or 'utf-8'.";

PyObject* partitioner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    long long size;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "Partitioner() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "L:Partitioner", &size)) return nullptr;
    if (size < 1) {
        PyErr_SetString(PyExc_ValueError, "size must be at least 1");
        return nullptr;
    }
    auto* self = reinterpret_cast<PartitionerObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    void* memory = PyMem_Malloc(sizeof(BoundaryFinder));
    if (!memory) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    self->finder = new (memory) BoundaryFinder(size);
    self->busy = self->ended = false;
    return reinterpret_cast<PyObject*>(self);
}

void partitioner_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<PartitionerObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    if (self->finder) {
        self->finder->~BoundaryFinder();
        PyMem_Free(self->finder);
        self->finder = nullptr;
    }
    type->tp_free(op);
    Py_DECREF(type);
}

[[gnu::cold, gnu::noinline]] PyObject* describe(const BoundaryFault& f) {
    const char* kind = "end";
    switch (f.kind) {
        case BoundaryFault::Kind::UnexpectedToken:
            kind = "token";
            break;
        case BoundaryFault::Kind::InvalidUtf8:
            kind = "utf-8";
            break;
        default:
            break;
    }
    return Py_BuildValue("(sILLL)", kind, (unsigned int)f.ch, (long long)f.position, (long long)f.row,
                         (long long)f.byte);
}

// Appends (offset, rows) to cuts; false with an exception set.
bool append_cut(PyObject* cuts, long long offset, long long rows) {
    Ref pair(Py_BuildValue("(LL)", offset, rows));
    return pair && PyList_Append(cuts, pair.get()) == 0;
}

PyObject* partitioner_feed(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    auto* self = reinterpret_cast<PartitionerObject*>(op);
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "feed() takes exactly 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* cuts = args[2];
    if (!PyList_CheckExact(cuts)) {
        PyErr_Format(PyExc_TypeError, "feed() takes a list for cuts, not %T", cuts);
        return nullptr;
    }
    const int final = PyObject_IsTrue(args[1]);
    if (final < 0) return nullptr;
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "Partitioner.feed() called while it is running");
        return nullptr;
    }
    if (self->ended) {
        PyErr_SetString(PyExc_ValueError, "Partitioner.feed() called after the final chunk or a fault");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    self->busy = true;
    // The buffer stays exported, so its bytes cannot move or change size
    // while the interpreter is released.
    const auto* data = static_cast<const uint8_t*>(view.buf);
    const size_t length = size_t(view.len);
    size_t pos = 0;
    BoundaryFinder* finder = self->finder;
    PyObject* result = nullptr;
    for (;;) {
        BoundaryFinder::Step step;
        Py_BEGIN_ALLOW_THREADS
        step = finder->feed(data, length, &pos, final != 0);
        Py_END_ALLOW_THREADS
        if (step == BoundaryFinder::Step::Cut) {
            if (!append_cut(cuts, finder->cut_offset(), finder->rows())) break;
            continue;
        }
        if (step == BoundaryFinder::Step::More) {
            result = PyLong_FromSize_t(pos);
        } else if (step == BoundaryFinder::Step::Done) {
            self->ended = true;
            result = Py_NewRef(Py_None);
        } else {
            self->ended = true;
            result = describe(finder->fault());
        }
        break;
    }
    self->busy = false;
    PyBuffer_Release(&view);
    return result;
}

PyObject* partitioner_get_rows(PyObject* op, void*) {
    return PyLong_FromLongLong(reinterpret_cast<PartitionerObject*>(op)->finder->rows());
}

PyObject* partitioner_get_position(PyObject* op, void*) {
    return PyLong_FromLongLong(reinterpret_cast<PartitionerObject*>(op)->finder->position());
}

PyMethodDef kPartitionerMethods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(partitioner_feed)), METH_FASTCALL,
     "feed(chunk, final, cuts, /)\n--\n\nReads a chunk; see the class."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kPartitionerGetSet[] = {
    {"rows", partitioner_get_rows, nullptr, "Rows ended so far.", nullptr},
    {"position", partitioner_get_position, nullptr, "UTF-16 code units read so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPartitionerSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(partitioner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(partitioner_dealloc)},
    {Py_tp_methods, kPartitionerMethods},
    {Py_tp_getset, kPartitionerGetSet},
    {Py_tp_doc, const_cast<char*>(kPartitionerDoc)},
    {0, nullptr},
};

PyType_Spec kPartitionerSpec = {
    "vorn_io._scanner.Partitioner",
    sizeof(PartitionerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kPartitionerSlots,
};

}  // namespace

int add_partition_functions(PyObject* module) {
    Ref type(PyType_FromModuleAndSpec(module, &kPartitionerSpec, nullptr));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "Partitioner", type.get());
}

}  // namespace vorn::io
