// vorn_io._scanner.ColumnReader: a VORN document as an Arrow C stream of
// record batches (the batch engine of read/batches.h), offered through the
// Arrow PyCapsule interface.
//
// The stream may outlive the Python object and be driven and released from
// any thread (DuckDB pulls from its own threads). The engine and the
// stream's state therefore live in a native block shared, by count, by the
// object and the stream. get_next releases the interpreter when the calling
// thread holds it; a source that is a Python stream takes it back for each
// read. The release callbacks free native memory only: the one Python
// object the state may hold, such a stream, is dropped through the
// interpreter's pending calls when the releasing thread does not hold it.

#include "io/arrow.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/ref.h"
#include "io/faults.h"
#include "common/utf8_check.h"
#include "read/batches.h"

namespace vorn::io {

namespace {

using codec::BatchReader;
using codec::ReadFault;

int drop_pending(void* object) {
    Py_DECREF(static_cast<PyObject*>(object));
    return 0;
}

}  // namespace

void release_from_any_thread(PyObject* object) {
    if (!object) return;
    if (PyGILState_Check()) {
        Py_DECREF(object);
        return;
    }
    // Without the interpreter there is nothing to drop it into; the process
    // is ending, and the reference goes with it.
    if (Py_IsFinalizing()) return;
    if (Py_AddPendingCall(drop_pending, object) == 0) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(object);
    PyGILState_Release(gil);
}

namespace {

// --- A Python binary stream as a source ------------------------------------

class PyStreamSource : public codec::ByteSource {
public:
    explicit PyStreamSource(PyObject* stream) : stream_(Py_NewRef(stream)) {}
    ~PyStreamSource() override {
        release_from_any_thread(stream_);
        release_from_any_thread(error_);
    }

    int64_t read(uint8_t* into, size_t n) override {
        PyGILState_STATE gil = PyGILState_Ensure();
        const int64_t got = read_locked(into, n);
        PyGILState_Release(gil);
        return got;
    }
    const char* message() const override { return message_; }

    // The exception the stream raised, handed over (null when none).
    PyObject* take_error() {
        PyObject* e = error_;
        error_ = nullptr;
        return e;
    }

private:
    int64_t read_locked(uint8_t* into, size_t n) {
        // A view of native memory, released before returning so that a
        // stream that kept it cannot write into the buffer later.
        Ref view(PyMemoryView_FromMemory(reinterpret_cast<char*>(into), Py_ssize_t(n), PyBUF_WRITE));
        if (!view) return fail();
        Ref got(PyObject_CallMethod(stream_, "readinto", "O", view.get()));
        PyObject* raised = got ? nullptr : PyErr_GetRaisedException();
        Ref released(PyObject_CallMethod(view.get(), "release", nullptr));
        if (raised) {
            // The stream's own exception wins over one from releasing the view.
            PyErr_Clear();
            PyErr_SetRaisedException(raised);
            return fail();
        }
        if (!released) return fail();
        if (got.get() == Py_None) {
            PyErr_SetString(PyExc_BlockingIOError,
                            "the stream has no data ready: read_arrow() needs a blocking stream");
            return fail();
        }
        const Py_ssize_t count = PyLong_AsSsize_t(got.get());
        if (count == -1 && PyErr_Occurred()) return fail();
        if (count < 0 || size_t(count) > n) {
            PyErr_Format(PyExc_ValueError, "readinto() returned %zd for a buffer of %zu bytes", count, n);
            return fail();
        }
        return count;
    }

    int64_t fail() {
        PyObject* e = PyErr_GetRaisedException();
        Ref text(e ? PyObject_Str(e) : nullptr);
        const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!s) PyErr_Clear();
        std::snprintf(message_, sizeof message_, "the stream raised %s: %s", e ? Py_TYPE(e)->tp_name : "?",
                      s ? s : "");
        Py_XSETREF(error_, e);
        return -1;
    }

    PyObject* stream_;
    PyObject* error_ = nullptr;
    char message_[180] = {};
};

// --- The shared state ------------------------------------------------------

struct ReaderState {
    std::atomic<int> refs{1};
    BatchReader* reader = nullptr;
    PyStreamSource* py_source = nullptr;  // owned by the reader, when it is one
    char** names = nullptr;
    size_t* name_sizes = nullptr;
    int64_t count = 0;
    char* end_text = nullptr;  // ErrUnexpectedEndOfInput when the reader was made
    bool failed = false;
    bool header = true;
    ReadFault fault;
    char last_error[512] = {};
};

void unref(ReaderState* state) {
    if (state->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    delete state->reader;  // stops its threads first
    for (int64_t k = 0; k < state->count; ++k) std::free(state->names[k]);
    std::free(state->names);
    std::free(state->name_sizes);
    std::free(state->end_text);
    delete state;
}

// The code point as UTF-8 (surrogates in the generalised form), into out.
void put_utf8(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = char(cp);
        out[1] = 0;
    } else if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        out[2] = 0;
    } else if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        out[3] = 0;
    } else {
        out[0] = char(0xF0 | (cp >> 18));
        out[1] = char(0x80 | ((cp >> 12) & 0x3F));
        out[2] = char(0x80 | ((cp >> 6) & 0x3F));
        out[3] = char(0x80 | (cp & 0x3F));
        out[4] = 0;
    }
}

const char* column_name(const ReaderState* s, int32_t slot) {
    return slot >= 0 && slot < s->count ? s->names[slot] : "?";
}

const char* kPadHint = "; ragged='pad' fills short rows with empty cells";

// The fault as text, for get_last_error (no interpreter needed).
void describe(ReaderState* s, const ReadFault& f, int64_t max_row_size, const char* of_what) {
    char ch[8];
    const codec::Fault& g = f.fault;
    switch (f.kind) {
        case ReadFault::Kind::Grammar:
            switch (g.kind) {
                case codec::Fault::Kind::UnexpectedToken:
                    put_utf8(g.ch, ch);
                    std::snprintf(s->last_error, sizeof s->last_error, "Unexpected token '%s' at position %lld", ch,
                                  (long long)g.position);
                    break;
                case codec::Fault::Kind::RowTooLong:
                    std::snprintf(s->last_error, sizeof s->last_error,
                                  "Row %lld is longer than max_row_size (%lld characters) at position %lld",
                                  (long long)g.row, (long long)max_row_size, (long long)g.position);
                    break;
                case codec::Fault::Kind::InvalidUtf8:
                    std::snprintf(s->last_error, sizeof s->last_error,
                                  "invalid UTF-8 at byte offset %lld of the document", (long long)g.byte);
                    break;
                default:
                    std::snprintf(s->last_error, sizeof s->last_error, "%s", s->end_text ? s->end_text : "");
                    break;
            }
            break;
        case ReadFault::Kind::Ragged:
            std::snprintf(s->last_error, sizeof s->last_error, "row %lld has %lld cells, %s than the %lld columns of %s%s",
                          (long long)f.row, (long long)f.cells, f.cells < f.width ? "fewer" : "more",
                          (long long)f.width, of_what, f.cells < f.width ? kPadHint : "");
            break;
        case ReadFault::Kind::TooLarge:
            std::snprintf(s->last_error, sizeof s->last_error,
                          "column '%s' holds more than 2 GiB of text in one batch, beyond what "
                          "string_type='string' can hold: use string_type='large_string' or a smaller block_size",
                          column_name(s, f.slot));
            break;
        case ReadFault::Kind::NoMemory:
            std::snprintf(s->last_error, sizeof s->last_error, "out of memory");
            break;
        case ReadFault::Kind::Source:
            std::snprintf(s->last_error, sizeof s->last_error, "%s", f.message);
            break;
        default:
            s->last_error[0] = 0;
            break;
    }
}

// Raises the fault as the Python exception it stands for.
VORN_COLD void raise_read_fault(ReaderState* s, const ReadFault& f, int64_t max_row_size, const char* of_what) {
    using Kind = ReadFault::Kind;
    switch (f.kind) {
        case Kind::Grammar:
            io::raise_fault(f.fault, max_row_size);
            return;
        case Kind::NoMemory:
            PyErr_NoMemory();
            return;
        case Kind::Source:
            if (s->py_source) {
                if (PyObject* e = s->py_source->take_error()) {
                    PyErr_SetRaisedException(e);
                    return;
                }
            }
            PyErr_SetString(PyExc_OSError, f.message);
            return;
        default:
            describe(s, f, max_row_size, of_what);
            PyErr_SetString(PyExc_ValueError, s->last_error);
            return;
    }
}

// --- The C stream ----------------------------------------------------------

const char* of_what(const ReaderState* s) { return s->header ? "the header" : "the first row"; }

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* s = static_cast<ReaderState*>(stream->private_data);
    if (!codec::export_schema(s->reader->layout(), s->names, s->name_sizes, s->count, out)) {
        std::snprintf(s->last_error, sizeof s->last_error, "out of memory");
        return ENOMEM;
    }
    return 0;
}

int next_batch(ReaderState* s, ArrowArray* out, int64_t max_row_size) {
    if (s->failed) {
        out->release = nullptr;
        return EINVAL;
    }
    const int got = s->reader->next(out);
    if (got >= 0) {
        if (got == 0) out->release = nullptr;
        return 0;
    }
    s->failed = true;
    s->fault = s->reader->fault();
    describe(s, s->fault, max_row_size, of_what(s));
    out->release = nullptr;
    return s->fault.kind == ReadFault::Kind::NoMemory ? ENOMEM
           : s->fault.kind == ReadFault::Kind::Source ? EIO
                                                      : EINVAL;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* s = static_cast<ReaderState*>(stream->private_data);
    const int64_t limit = s->reader->max_row_size();
    if (PyGILState_Check()) {
        PyThreadState* saved = PyEval_SaveThread();
        const int rc = next_batch(s, out, limit);
        PyEval_RestoreThread(saved);
        return rc;
    }
    return next_batch(s, out, limit);
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
    auto* s = static_cast<ReaderState*>(stream->private_data);
    return s->last_error[0] ? s->last_error : nullptr;
}

void stream_release(ArrowArrayStream* stream) {
    if (!stream->release) return;
    unref(static_cast<ReaderState*>(stream->private_data));
    stream->release = nullptr;
}

void schema_capsule_destructor(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, arrow::kSchemaCapsule));
    if (!schema) {
        PyErr_Clear();
        return;
    }
    if (schema->release) schema->release(schema);
    std::free(schema);
}

void stream_capsule_destructor(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, arrow::kStreamCapsule));
    if (!stream) {
        PyErr_Clear();
        return;
    }
    if (stream->release) stream->release(stream);
    std::free(stream);
}

// --- ColumnReader ----------------------------------------------------------

struct ColumnReaderObject {
    PyObject_HEAD
    ReaderState* state;
    bool planned;
    bool exported;  // the stream was handed out
};

const char kColumnReaderDoc[] =
    "ColumnReader(source, header, threads, block_size, pad, max_row_size, end_text, row_base=0, named=False, /)\n--\n\n"
    "The engine of vorn_io.read_arrow: reads the first row on creation, then,\n"
    "once planned, offers the document as an Arrow C stream of record batches.\n"
    "row_base: rows before the source (a range of a larger document), counted\n"
    "in the rows that faults name; named: the columns' names were given.";

PyObject* column_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "ColumnReader() takes no keyword arguments");
        return nullptr;
    }
    PyObject* source;
    int header, pad;
    int threads;
    long long block_size, max_row_size;
    PyObject* end_text;
    long long row_base = 0;
    int named = 0;
    if (!PyArg_ParseTuple(args, "OpiLpLU|Lp:ColumnReader", &source, &header, &threads, &block_size, &pad,
                          &max_row_size, &end_text, &row_base, &named))
        return nullptr;
    if (threads < 1 || block_size < 1 || row_base < 0) {
        PyErr_SetString(PyExc_ValueError, "ColumnReader(): threads and block_size must be positive");
        return nullptr;
    }
    codec::ReaderOptions options;
    options.block_size = block_size;
    options.threads = threads;
    options.header = header != 0;
    options.pad = pad != 0;
    options.max_row_size = max_row_size;
    options.row_base = row_base;

    Py_ssize_t end_size;
    const char* end_utf8 = PyUnicode_AsUTF8AndSize(end_text, &end_size);
    if (!end_utf8) return nullptr;

    codec::ByteSource* bytes = nullptr;
    PyStreamSource* py_source = nullptr;
    if (PyLong_Check(source)) {
        const int fd = PyLong_AsInt(source);
        if (fd == -1 && PyErr_Occurred()) return nullptr;
        bytes = codec::open_fd_source(fd);
        if (!bytes) return PyErr_SetFromErrno(PyExc_OSError);
    } else {
        py_source = new (std::nothrow) PyStreamSource(source);
        bytes = py_source;
        if (!bytes) return PyErr_NoMemory();
    }
    auto* state = new (std::nothrow) ReaderState;
    BatchReader* reader = state ? new (std::nothrow) BatchReader(bytes, options) : nullptr;
    char* end_copy = static_cast<char*>(std::malloc(size_t(end_size) + 1));
    if (!state || !reader || !end_copy) {
        if (reader) delete reader;
        else delete bytes;
        delete state;
        std::free(end_copy);
        return PyErr_NoMemory();
    }
    std::memcpy(end_copy, end_utf8, size_t(end_size) + 1);
    state->reader = reader;
    state->py_source = py_source;
    state->end_text = end_copy;
    // Names given for a source without a header row stand for its header.
    state->header = options.header || named;
    auto* self = reinterpret_cast<ColumnReaderObject*>(type->tp_alloc(type, 0));
    if (!self) {
        unref(state);
        return nullptr;
    }
    self->state = state;
    self->planned = self->exported = false;
    bool started;
    Py_BEGIN_ALLOW_THREADS
    started = reader->start();
    Py_END_ALLOW_THREADS
    if (!started) {
        raise_read_fault(state, reader->fault(), max_row_size, of_what(state));
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(self);
}

void column_reader_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<ColumnReaderObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    if (self->state) {
        ReaderState* state = self->state;
        self->state = nullptr;
        // The last reference joins the worker threads, which never wait for
        // the interpreter.
        Py_BEGIN_ALLOW_THREADS
        unref(state);
        Py_END_ALLOW_THREADS
    }
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject* column_reader_first_row(PyObject* op, PyObject*) {
    BatchReader* reader = reinterpret_cast<ColumnReaderObject*>(op)->state->reader;
    const int64_t n = reader->first_row_size();
    Ref row(PyList_New(Py_ssize_t(n)));
    if (!row) return nullptr;
    for (int64_t k = 0; k < n; ++k) {
        size_t bytes;
        const char* cell = reader->first_row_cell(k, &bytes);
        PyObject* s = PyUnicode_DecodeUTF8(cell, Py_ssize_t(bytes), "strict");
        if (!s) return nullptr;
        PyList_SET_ITEM(row.get(), k, s);
    }
    return row.release();
}

// plan(slot_of, names, layout): slot_of[k] is the column of the row's k-th
// cell, or -1; names the columns' names in order; layout the strings'
// layout (0 large, 1 32-bit offsets, 2 views). Reading starts here, so the
// first consumer may still choose the layout.
PyObject* column_reader_plan(PyObject* op, PyObject* args) {
    auto* self = reinterpret_cast<ColumnReaderObject*>(op);
    PyObject* slot_list;
    PyObject* name_list;
    int layout;
    if (!PyArg_ParseTuple(args, "O!O!i:plan", &PyList_Type, &slot_list, &PyList_Type, &name_list, &layout))
        return nullptr;
    if (layout < 0 || layout > 2) {
        PyErr_SetString(PyExc_ValueError, "plan(): layout must be 0, 1 or 2");
        return nullptr;
    }
    if (self->planned) {
        PyErr_SetString(PyExc_RuntimeError, "ColumnReader.plan() called twice");
        return nullptr;
    }
    const Py_ssize_t width = PyList_GET_SIZE(slot_list);
    const Py_ssize_t count = PyList_GET_SIZE(name_list);
    ReaderState* s = self->state;
    auto* slot_of = static_cast<int32_t*>(std::malloc(size_t(width ? width : 1) * sizeof(int32_t)));
    s->names = static_cast<char**>(std::calloc(size_t(count ? count : 1), sizeof(char*)));
    s->name_sizes = static_cast<size_t*>(std::calloc(size_t(count ? count : 1), sizeof(size_t)));
    if (!slot_of || !s->names || !s->name_sizes) {
        std::free(slot_of);
        return PyErr_NoMemory();
    }
    for (Py_ssize_t k = 0; k < width; ++k) {
        const long v = PyLong_AsLong(PyList_GET_ITEM(slot_list, k));
        if (v == -1 && PyErr_Occurred()) {
            std::free(slot_of);
            return nullptr;
        }
        if (v < -1 || v >= count) {
            std::free(slot_of);
            PyErr_SetString(PyExc_ValueError, "plan(): a slot out of range");
            return nullptr;
        }
        slot_of[k] = int32_t(v);
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(name_list, k), &size);
        if (!utf8) {
            std::free(slot_of);
            return nullptr;
        }
        s->names[k] = static_cast<char*>(std::malloc(size_t(size) + 1));
        if (!s->names[k]) {
            std::free(slot_of);
            return PyErr_NoMemory();
        }
        std::memcpy(s->names[k], utf8, size_t(size) + 1);
        s->name_sizes[k] = size_t(size);
        s->count = k + 1;
    }
    const bool ok = s->reader->set_plan(width, slot_of, int32_t(count), codec::StringLayout(layout));
    std::free(slot_of);
    if (!ok) return PyErr_NoMemory();
    self->planned = true;
    Py_RETURN_NONE;
}

bool check_planned(ColumnReaderObject* self) {
    if (!self->planned) {
        PyErr_SetString(PyExc_RuntimeError, "ColumnReader used before plan()");
        return false;
    }
    return true;
}

PyObject* column_reader_schema(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<ColumnReaderObject*>(op);
    if (!check_planned(self)) return nullptr;
    auto* schema = static_cast<ArrowSchema*>(std::calloc(1, sizeof(ArrowSchema)));
    if (!schema) return PyErr_NoMemory();
    ReaderState* s = self->state;
    if (!codec::export_schema(s->reader->layout(), s->names, s->name_sizes, s->count, schema)) {
        std::free(schema);
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(schema, arrow::kSchemaCapsule, schema_capsule_destructor);
    if (!capsule) {
        schema->release(schema);
        std::free(schema);
    }
    return capsule;
}

PyObject* column_reader_stream(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(kwlist),
                                     &requested))
        return nullptr;
    auto* self = reinterpret_cast<ColumnReaderObject*>(op);
    if (!check_planned(self)) return nullptr;
    if (self->exported) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the batches of this read_arrow() result were already consumed: a stream "
                        "is read once; call read_arrow() again to read the file again");
        return nullptr;
    }
    auto* stream = static_cast<ArrowArrayStream*>(std::calloc(1, sizeof(ArrowArrayStream)));
    if (!stream) return PyErr_NoMemory();
    stream->get_schema = stream_get_schema;
    stream->get_next = stream_get_next;
    stream->get_last_error = stream_get_last_error;
    stream->release = stream_release;
    stream->private_data = self->state;
    self->state->refs.fetch_add(1, std::memory_order_relaxed);
    PyObject* capsule = PyCapsule_New(stream, arrow::kStreamCapsule, stream_capsule_destructor);
    if (!capsule) {
        stream->release(stream);
        std::free(stream);
        return nullptr;
    }
    self->exported = true;
    return capsule;
}

// Raises the fault that ended the stream, if one did; None otherwise.
PyObject* column_reader_raise_fault(PyObject* op, PyObject*) {
    ReaderState* s = reinterpret_cast<ColumnReaderObject*>(op)->state;
    if (!s->failed) Py_RETURN_NONE;
    raise_read_fault(s, s->fault, s->reader->max_row_size(), of_what(s));
    return nullptr;
}

PyObject* column_reader_get_exported(PyObject* op, void*) {
    return PyBool_FromLong(reinterpret_cast<ColumnReaderObject*>(op)->exported);
}

PyMethodDef kColumnReaderMethods[] = {
    {"first_row", column_reader_first_row, METH_NOARGS, "The first row's cells."},
    {"plan", column_reader_plan, METH_VARARGS, "plan(slot_of, names, layout, /): the columns to build, and start."},
    {"__arrow_c_schema__", column_reader_schema, METH_NOARGS, "The batches' schema, as a capsule."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_reader_stream)),
     METH_VARARGS | METH_KEYWORDS, "The batches, as a stream capsule; once only."},
    {"raise_fault", column_reader_raise_fault, METH_NOARGS, "Raises what ended the stream, if anything did."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kColumnReaderGetSet[] = {
    {"exported", column_reader_get_exported, nullptr, "Whether the stream was handed out.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kColumnReaderSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(column_reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(column_reader_dealloc)},
    {Py_tp_methods, kColumnReaderMethods},
    {Py_tp_getset, kColumnReaderGetSet},
    {Py_tp_doc, const_cast<char*>(kColumnReaderDoc)},
    {0, nullptr},
};

PyType_Spec kColumnReaderSpec = {
    "vorn_io._scanner.ColumnReader",
    sizeof(ColumnReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kColumnReaderSlots,
};

// _utf8_check(data, kernel="auto"): the offset of the first invalid UTF-8
// sequence in data, or its length, found by the kernel named ("auto": the
// one readers use). A kernel this build or CPU lacks is a ValueError.
PyObject* utf8_check(PyObject*, PyObject* args) {
    Py_buffer view;
    const char* kernel = "auto";
    if (!PyArg_ParseTuple(args, "y*|s:_utf8_check", &view, &kernel)) return nullptr;
    const auto* data = static_cast<const uint8_t*>(view.buf);
    const size_t n = size_t(view.len);
    size_t at = 0;
    if (std::strcmp(kernel, "auto") == 0) {
        at = text::utf8_check(data, n);
    } else if (std::strcmp(kernel, "plain") == 0) {
        at = text::utf8_check_plain(data, n);
#if VORN_SSE2_64
    } else if (std::strcmp(kernel, "sse2") == 0) {
        at = text::utf8_check_sse2(data, n);
#endif
#if VORN_AVX2_DISPATCH
    } else if (std::strcmp(kernel, "avx2") == 0 && text::utf8_avx2_available()) {
        at = text::utf8_check_avx2(data, n);
#endif
    } else {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_ValueError, "no UTF-8 kernel %s here", kernel);
        return nullptr;
    }
    PyBuffer_Release(&view);
    return PyLong_FromSize_t(at);
}

// _utf8_kernels(): the names _utf8_check takes on this build and CPU.
PyObject* utf8_kernels(PyObject*, PyObject*) {
    Ref names(PyList_New(0));
    if (!names) return nullptr;
    const char* kernels[] = {
        "plain",
#if VORN_SSE2_64
        "sse2",
#endif
#if VORN_AVX2_DISPATCH
        text::utf8_avx2_available() ? "avx2" : nullptr,
#endif
    };
    for (const char* name : kernels) {
        if (!name) continue;
        Ref item(PyUnicode_FromString(name));
        if (!item || PyList_Append(names.get(), item.get()) < 0) return nullptr;
    }
    return names.release();
}

PyMethodDef kArrowFunctions[] = {
    {"_utf8_check", utf8_check, METH_VARARGS,
     "_utf8_check(data, kernel='auto', /)\n--\n\nOffset of the first invalid UTF-8 sequence, or the length."},
    {"_utf8_kernels", utf8_kernels, METH_NOARGS,
     "_utf8_kernels()\n--\n\nThe UTF-8 validation kernels of this build and CPU."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_column_writer(PyObject* module);

int add_arrow_types(PyObject* module) {
    Ref type(PyType_FromModuleAndSpec(module, &kColumnReaderSpec, nullptr));
    if (!type) return -1;
    if (PyModule_AddObjectRef(module, "ColumnReader", type.get()) < 0) return -1;
    if (PyModule_AddFunctions(module, kArrowFunctions) < 0) return -1;
    return add_column_writer(module);
}

}  // namespace vorn::io
