// vorn_io._scanner.ColumnWriter: the record batches of an Arrow C stream
// (or one Arrow array) written as VORN, one piece of bytes per batch (a
// read-only memoryview over the encoder's buffer).
//
// The columns must be strings (string, large_string, string_view, or a
// dictionary of them): vorn_io.write_arrow has anything else cast to text
// first when pyarrow is there, and this type refuses it otherwise, naming the
// column and its type. Each batch is checked and encoded with the
// interpreter released.

#include "io/arrow.h"

#include <cstring>
#include <new>

#include "common/arrow_c.h"
#include "common/parallel.h"
#include "common/ref.h"
#include "write/columns.h"

namespace vorn::io {

namespace {

using write::Column;
using write::StringColumn;
using write::WriteFault;
using vorn::ParallelJobs;

// The bytes of one encoded batch, owned and handed to the writer's caller
// as a read-only memoryview over them: no copy into a bytes object.
struct PieceObject {
    PyObject_HEAD
    uint8_t* data;  // from the pool
    size_t size;
};

int piece_getbuffer(PyObject* op, Py_buffer* view, int flags) {
    auto* self = reinterpret_cast<PieceObject*>(op);
    static uint8_t nothing[1] = {0};
    return PyBuffer_FillInfo(view, op, self->data ? self->data : nothing, Py_ssize_t(self->size), 1, flags);
}

void piece_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<PieceObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    pool::release(self->data);
    type->tp_free(op);
    Py_DECREF(type);
}

PyType_Slot kPieceSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(piece_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(piece_getbuffer)},
    {Py_tp_doc, const_cast<char*>("The VORN bytes of one batch (seen through a memoryview).")},
    {0, nullptr},
};

PyType_Spec kPieceSpec = {
    "vorn_io._scanner._Piece",
    sizeof(PieceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kPieceSlots,
};

struct ColumnWriterObject {
    PyObject_HEAD
    ArrowArrayStream stream;  // release null when there is none
    ArrowSchema schema;       // release null when there is none
    ArrowArray single;        // the one array of an array source
    bool from_array;
    bool header_pending;
    bool has_null_text;
    bool ended;
    bool busy;
    bool source_ended;
    int threads;
    PyTypeObject* piece_type;  // the module's _Piece
    PyObject* pending;   // list of the bytes of batches encoded and not yet handed out
    PyObject* deferred;  // the fault that follows them, or null
    char* null_text;
    size_t null_size;
    int64_t rows;  // rows written so far
    int64_t count;
    // Per column: the dictionary's format (null when none) and the string kind.
    StringColumn::Kind* kinds;
    int* index_widths;  // 0: not a dictionary
    bool* index_signed;
};

// A readable name for an Arrow format string.
const char* type_name(const char* format) {
    static const struct {
        const char* format;
        const char* name;
    } kNames[] = {
        {"n", "null"},      {"b", "bool"},         {"c", "int8"},    {"C", "uint8"},      {"s", "int16"},
        {"S", "uint16"},    {"i", "int32"},        {"I", "uint32"},  {"l", "int64"},      {"L", "uint64"},
        {"e", "halffloat"}, {"f", "float"},        {"g", "double"},  {"z", "binary"},     {"Z", "large_binary"},
        {"vz", "binary_view"}, {"tdD", "date32[day]"}, {"tdm", "date64[ms]"}, {"+l", "list"}, {"+L", "large_list"},
        {"+s", "struct"},
    };
    for (const auto& entry : kNames)
        if (std::strcmp(entry.format, format) == 0) return entry.name;
    return format;
}

const char* kNeedsPyarrow =
    "only string columns are written as they are; with pyarrow installed (pip install 'vorn[arrow]') "
    "other types are cast to text first";

// Reads the schema: a struct whose children are strings or dictionaries of
// strings. False with TypeError naming the first column that is not.
bool read_schema(ColumnWriterObject* self) {
    const ArrowSchema& schema = self->schema;
    if (std::strcmp(schema.format, "+s") != 0) {
        PyErr_Format(PyExc_TypeError, "write_arrow() takes a table (an Arrow struct of columns), not %s",
                     type_name(schema.format));
        return false;
    }
    const int64_t n = schema.n_children;
    self->count = n;
    self->kinds = static_cast<StringColumn::Kind*>(PyMem_Calloc(size_t(n ? n : 1), sizeof(StringColumn::Kind)));
    self->index_widths = static_cast<int*>(PyMem_Calloc(size_t(n ? n : 1), sizeof(int)));
    self->index_signed = static_cast<bool*>(PyMem_Calloc(size_t(n ? n : 1), sizeof(bool)));
    if (!self->kinds || !self->index_widths || !self->index_signed) {
        PyErr_NoMemory();
        return false;
    }
    for (int64_t k = 0; k < n; ++k) {
        const ArrowSchema* child = schema.children[k];
        const char* name = child->name ? child->name : "";
        if (child->dictionary) {
            int width;
            bool is_signed;
            if (!write::index_kind_of(child->format, &width, &is_signed) ||
                !write::string_kind_of(child->dictionary->format, &self->kinds[k])) {
                PyErr_Format(PyExc_TypeError, "column '%s' has type dictionary<values=%s, indices=%s>: %s", name,
                             type_name(child->dictionary->format), type_name(child->format), kNeedsPyarrow);
                return false;
            }
            self->index_widths[k] = width;
            self->index_signed[k] = is_signed;
        } else if (!write::string_kind_of(child->format, &self->kinds[k])) {
            PyErr_Format(PyExc_TypeError, "column '%s' has type %s: %s", name, type_name(child->format),
                         kNeedsPyarrow);
            return false;
        }
    }
    return true;
}

const char* name_of(ColumnWriterObject* self, int32_t k) {
    const char* name = self->schema.children[k]->name;
    return name ? name : "";
}

// Resolves the batch's columns; false with an exception.
bool resolve_batch(ColumnWriterObject* self, const ArrowArray& batch, Column* columns) {
    if (batch.n_children != self->count) {
        PyErr_Format(PyExc_ValueError, "a batch has %lld columns, the schema %lld", (long long)batch.n_children,
                     (long long)self->count);
        return false;
    }
    if (batch.null_count != 0 && batch.n_buffers > 0 && batch.buffers && batch.buffers[0]) {
        PyErr_SetString(PyExc_ValueError, "write_arrow() cannot write a table whose rows themselves are null");
        return false;
    }
    for (int64_t k = 0; k < self->count; ++k) {
        const ArrowArray* child = batch.children[k];
        Column& c = columns[k];
        bool ok;
        if (self->index_widths[k]) {
            c.dictionary = true;
            c.index_width = self->index_widths[k];
            c.index_signed = self->index_signed[k];
            c.index_offset = child->offset + batch.offset;
            ok = child->n_buffers >= 2 && child->buffers && child->dictionary &&
                 (child->buffers[1] || child->length + batch.offset == 0);
            if (ok) {
                c.index_validity = child->null_count == 0 ? nullptr : static_cast<const uint8_t*>(child->buffers[0]);
                c.indices = child->buffers[1];
                ok = write::resolve_strings(child->dictionary, self->kinds[k], 0, &c.strings);
            }
        } else {
            ok = write::resolve_strings(child, self->kinds[k], batch.offset, &c.strings);
        }
        if (ok && child->length < batch.length) ok = false;
        if (!ok) {
            PyErr_Format(PyExc_ValueError, "column '%s' of a batch has buffers that describe no string array",
                         name_of(self, int32_t(k)));
            return false;
        }
    }
    return true;
}

// One batch to encode: its columns, resolved with the interpreter held, and
// what encoding them made, with it released (possibly on another thread).
struct BatchJob {
    ArrowArray batch = {};
    Column* columns = nullptr;
    int64_t rows_before = 0;
    bool header = false;
    bool ok = true;
    WriteFault fault;
    ByteBuffer out;

    BatchJob() = default;
    BatchJob(const BatchJob&) = delete;
    BatchJob& operator=(const BatchJob&) = delete;
    ~BatchJob() {
        delete[] columns;
        if (batch.release) batch.release(&batch);
    }
};

// Resolves the job's batch; false with an exception.
bool prepare_job(ColumnWriterObject* self, BatchJob& job) {
    const int64_t n = self->count;
    job.columns = new (std::nothrow) Column[size_t(n ? n : 1)];
    if (!job.columns) {
        PyErr_NoMemory();
        return false;
    }
    return resolve_batch(self, job.batch, job.columns);
}

// The header row (when due), then the batch's rows. No interpreter.
void run_job(const ColumnWriterObject* self, BatchJob& job) {
    const int64_t n = self->count;
    bool ok = true;
    if (job.header) {
        // The names are those of the schema.
        const uint8_t** cells = static_cast<const uint8_t**>(std::malloc(sizeof(uint8_t*) * size_t(n ? n : 1)));
        size_t* sizes = static_cast<size_t*>(std::malloc(sizeof(size_t) * size_t(n ? n : 1)));
        ok = cells && sizes;
        for (int64_t k = 0; ok && k < n; ++k) {
            const char* name = self->schema.children[k]->name;
            cells[k] = reinterpret_cast<const uint8_t*>(name ? name : "");
            sizes[k] = std::strlen(name ? name : "");
        }
        if (ok) ok = write::encode_row(cells, sizes, n, job.out);
        if (!ok) job.fault.kind = WriteFault::Kind::NoMemory;
        std::free(cells);
        std::free(sizes);
    }
    for (int64_t k = 0; ok && k < n; ++k)
        ok = write::check_column(job.columns[k], int32_t(k), job.batch.length, &job.fault);
    if (ok) {
        ok = write::encode_rows(job.columns, int32_t(n), job.batch.length, self->has_null_text,
                                reinterpret_cast<const uint8_t*>(self->null_text), self->null_size, job.out,
                                &job.fault);
    }
    job.ok = ok;
}

// The job's bytes, or its fault raised.
PyObject* finish_job(ColumnWriterObject* self, BatchJob& job) {
    if (job.ok) {
        auto* piece = PyObject_New(PieceObject, self->piece_type);
        if (!piece) return nullptr;
        piece->size = job.out.size;
        piece->data = job.out.take();
        Ref owner(reinterpret_cast<PyObject*>(piece));
        return PyMemoryView_FromObject(owner.get());
    }
    const WriteFault& fault = job.fault;
    const char* name = fault.kind == WriteFault::Kind::NoMemory ? "" : name_of(self, fault.column);
    const long long row = (long long)(job.rows_before + fault.row);
    switch (fault.kind) {
        case WriteFault::Kind::Null:
            PyErr_Format(PyExc_ValueError,
                         "column '%s' holds a null at row %lld (counting data rows from 0): VORN has no "
                         "null; pass null=\"...\" to write_arrow() to write nulls as that text",
                         name, row);
            break;
        case WriteFault::Kind::Utf8:
            if (job.columns[fault.column].dictionary)
                PyErr_Format(PyExc_ValueError, "column '%s' holds invalid UTF-8 in entry %lld of its dictionary",
                             name, (long long)fault.row);
            else
                PyErr_Format(PyExc_ValueError, "column '%s' holds invalid UTF-8 at row %lld", name, row);
            break;
        case WriteFault::Kind::BadIndex:
            PyErr_Format(PyExc_ValueError, "column '%s' has a dictionary index out of range at row %lld", name, row);
            break;
        case WriteFault::Kind::BadOffsets:
            PyErr_Format(PyExc_ValueError, "column '%s' has offsets that run backwards at row %lld", name, row);
            break;
        default:
            PyErr_NoMemory();
            break;
    }
    return nullptr;
}

struct RunJob {
    const ColumnWriterObject* self;
    BatchJob* jobs;
    void operator()(size_t k) { run_job(self, jobs[k]); }
};

void release_all(ColumnWriterObject* self) {
    if (self->single.release) self->single.release(&self->single);
    if (self->schema.release) self->schema.release(&self->schema);
    if (self->stream.release) self->stream.release(&self->stream);
}

PyObject* column_writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "ColumnWriter() takes no keyword arguments");
        return nullptr;
    }
    PyObject* source;
    int header;
    PyObject* null_text;
    int threads = 1;
    if (!PyArg_ParseTuple(args, "OpO|i:ColumnWriter", &source, &header, &null_text, &threads)) return nullptr;
    auto* self = reinterpret_cast<ColumnWriterObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Ref held(reinterpret_cast<PyObject*>(self));
    self->threads = threads < 1 ? 1 : threads > 64 ? 64 : threads;
    {
        PyObject* module = PyType_GetModule(type);
        if (!module) return nullptr;
        PyObject* piece_type = PyObject_GetAttrString(module, "_Piece");
        if (!piece_type) return nullptr;
        if (!PyType_Check(piece_type)) {
            Py_DECREF(piece_type);
            PyErr_SetString(PyExc_TypeError, "vorn_io._scanner._Piece is not a type");
            return nullptr;
        }
        self->piece_type = reinterpret_cast<PyTypeObject*>(piece_type);
    }
    self->pending = PyList_New(0);
    if (!self->pending) return nullptr;
    self->header_pending = header != 0;
    if (null_text != Py_None) {
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(null_text, &size);
        if (!utf8) return nullptr;
        self->null_text = static_cast<char*>(PyMem_Malloc(size_t(size) + 1));
        if (!self->null_text) return PyErr_NoMemory();
        std::memcpy(self->null_text, utf8, size_t(size) + 1);
        self->null_size = size_t(size);
        self->has_null_text = true;
    }
    if (PyTuple_Check(source)) {
        // (schema capsule, array capsule) from __arrow_c_array__.
        PyObject* schema_capsule;
        PyObject* array_capsule;
        if (!PyArg_ParseTuple(source, "OO:ColumnWriter", &schema_capsule, &array_capsule)) return nullptr;
        auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, arrow::kSchemaCapsule));
        if (!schema) return nullptr;
        auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, arrow::kArrayCapsule));
        if (!array) return nullptr;
        if (!schema->release || !array->release) {
            PyErr_SetString(PyExc_ValueError, "the Arrow capsules were already consumed");
            return nullptr;
        }
        // Moved out: the capsules keep released structs.
        self->schema = *schema;
        schema->release = nullptr;
        self->single = *array;
        array->release = nullptr;
        self->from_array = true;
    } else {
        auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(source, arrow::kStreamCapsule));
        if (!stream) return nullptr;
        if (!stream->release) {
            PyErr_SetString(PyExc_ValueError, "the Arrow stream capsule was already consumed");
            return nullptr;
        }
        self->stream = *stream;
        stream->release = nullptr;
        if (self->stream.get_schema(&self->stream, &self->schema) != 0) {
            const char* why = self->stream.get_last_error(&self->stream);
            PyErr_Format(PyExc_OSError, "the Arrow stream gave no schema: %s", why ? why : "no reason given");
            return nullptr;
        }
    }
    if (!read_schema(self)) return nullptr;
    return held.release();
}

void column_writer_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<ColumnWriterObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    release_all(self);
    Py_XDECREF(self->pending);
    Py_XDECREF(self->deferred);
    Py_XDECREF(self->piece_type);
    PyMem_Free(self->null_text);
    PyMem_Free(self->kinds);
    PyMem_Free(self->index_widths);
    PyMem_Free(self->index_signed);
    type->tp_free(op);
    Py_DECREF(type);
}

// Takes up to `threads` batches from the source, encodes them at once on as
// many threads with the interpreter released, and keeps their bytes in
// order in `pending`. A fault is kept in `deferred`, raised once the bytes
// of the batches before it have been handed out.
bool fill(ColumnWriterObject* self) {
    const int want = self->from_array ? 1 : self->threads;
    BatchJob* jobs = new (std::nothrow) BatchJob[size_t(want)];
    if (!jobs) {
        PyErr_NoMemory();
        return false;
    }
    struct Free {
        BatchJob* j;
        ~Free() { delete[] j; }
    } free_jobs{jobs};
    int taken = 0;
    PyObject* failure = nullptr;
    int64_t rows = self->rows;
    while (taken < want) {
        BatchJob& job = jobs[taken];
        if (self->from_array) {
            if (!self->single.release) break;
            job.batch = self->single;
            self->single.release = nullptr;
        } else {
            // Producers may need the interpreter to make a batch (pyarrow's
            // readers over Python iterators do), so it is held here.
            const int rc = self->stream.get_next(&self->stream, &job.batch);
            if (rc != 0) {
                job.batch.release = nullptr;
                const char* why = self->stream.get_last_error(&self->stream);
                PyErr_Format(PyExc_OSError, "the Arrow stream failed: %s", why ? why : "no reason given");
                failure = PyErr_GetRaisedException();
                break;
            }
            if (!job.batch.release) break;
        }
        if (!prepare_job(self, job)) {
            failure = PyErr_GetRaisedException();
            break;
        }
        job.header = self->header_pending && taken == 0;
        job.rows_before = rows;
        rows += job.batch.length;
        ++taken;
    }
    if (taken == 0 && !failure) self->source_ended = true;
    RunJob runner{self, jobs};
    ParallelJobs<RunJob> parallel(runner, size_t(taken));
    Py_BEGIN_ALLOW_THREADS
    parallel.run(self->threads);
    Py_END_ALLOW_THREADS
    for (int k = 0; k < taken; ++k) {
        PyObject* piece = finish_job(self, jobs[k]);
        if (!piece) {
            Py_XDECREF(failure);
            failure = PyErr_GetRaisedException();
            break;
        }
        self->header_pending = false;
        self->rows += jobs[k].batch.length;
        const int rc = PyList_Append(self->pending, piece);
        Py_DECREF(piece);
        if (rc < 0) {
            Py_XDECREF(failure);
            failure = PyErr_GetRaisedException();
            break;
        }
    }
    if (failure) {
        self->deferred = failure;
        self->source_ended = true;
    }
    return true;
}

// The header row alone, for a source of no batch.
PyObject* header_alone(ColumnWriterObject* self) {
    self->header_pending = false;
    ByteBuffer out;
    const int64_t n = self->count;
    const uint8_t** cells = static_cast<const uint8_t**>(PyMem_Malloc(sizeof(uint8_t*) * size_t(n ? n : 1)));
    size_t* sizes = static_cast<size_t*>(PyMem_Malloc(sizeof(size_t) * size_t(n ? n : 1)));
    PyObject* result = nullptr;
    if (cells && sizes) {
        for (int64_t k = 0; k < n; ++k) {
            const char* name = name_of(self, int32_t(k));
            cells[k] = reinterpret_cast<const uint8_t*>(name);
            sizes[k] = std::strlen(name);
        }
        if (write::encode_row(cells, sizes, n, out))
            result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data), Py_ssize_t(out.size));
        else
            PyErr_NoMemory();
    } else {
        PyErr_NoMemory();
    }
    PyMem_Free(cells);
    PyMem_Free(sizes);
    return result;
}

PyObject* column_writer_next(PyObject* op) {
    auto* self = reinterpret_cast<ColumnWriterObject*>(op);
    if (self->ended) return nullptr;
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "ColumnWriter used while it is running");
        return nullptr;
    }
    self->busy = true;
    PyObject* result = nullptr;
    if (PyList_GET_SIZE(self->pending) == 0 && !self->deferred && !self->source_ended) fill(self);
    if (!PyErr_Occurred()) {
        if (PyList_GET_SIZE(self->pending) > 0) {
            result = Py_NewRef(PyList_GET_ITEM(self->pending, 0));
            if (PyList_SetSlice(self->pending, 0, 1, nullptr) < 0) Py_CLEAR(result);
        } else if (self->deferred) {
            PyErr_SetRaisedException(self->deferred);
            self->deferred = nullptr;
        } else if (self->header_pending) {
            result = header_alone(self);
        }
    }
    self->busy = false;
    if (!result) {
        self->ended = true;
        release_all(self);
    }
    return result;
}

PyObject* column_writer_names(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<ColumnWriterObject*>(op);
    if (!self->schema.release) return PyList_New(0);
    Ref names(PyList_New(Py_ssize_t(self->count)));
    if (!names) return nullptr;
    for (int64_t k = 0; k < self->count; ++k) {
        PyObject* s = PyUnicode_DecodeUTF8(name_of(self, int32_t(k)), Py_ssize_t(std::strlen(name_of(self, int32_t(k)))),
                                           "strict");
        if (!s) return nullptr;
        PyList_SET_ITEM(names.get(), k, s);
    }
    return names.release();
}

PyMethodDef kColumnWriterMethods[] = {
    {"names", column_writer_names, METH_NOARGS, "The columns' names."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kColumnWriterSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(column_writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(column_writer_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(column_writer_next)},
    {Py_tp_methods, kColumnWriterMethods},
    {Py_tp_doc, const_cast<char*>("ColumnWriter(source, header, null, threads=1, /)\n--\n\n"
                                  "Iterates the VORN bytes of each batch of an Arrow stream capsule, or of an\n"
                                  "(schema, array) capsule pair; the header row comes with the first.")},
    {0, nullptr},
};

PyType_Spec kColumnWriterSpec = {
    "vorn_io._scanner.ColumnWriter",
    sizeof(ColumnWriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kColumnWriterSlots,
};

}  // namespace

int add_column_writer(PyObject* module) {
    Ref piece(PyType_FromModuleAndSpec(module, &kPieceSpec, nullptr));
    if (!piece) return -1;
    if (PyModule_AddObjectRef(module, "_Piece", piece.get()) < 0) return -1;
    Ref type(PyType_FromModuleAndSpec(module, &kColumnWriterSpec, nullptr));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "ColumnWriter", type.get());
}

}  // namespace vorn::io
