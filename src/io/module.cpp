// vorn_io._scanner: the native part of vorn_io. It gives the streaming
// reader its incremental decoder, built on the same scanner as vorn.parse,
// and the error type that decoder raises.
//
// Messages are those of vorn.parse; the end-of-input message is read from
// the vorn module's global ErrUnexpectedEndOfInput at the moment of raising,
// as parse reads it, so rebinding that global changes both alike.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/portable.h"

#include <initializer_list>
#include <new>

#include "common/ref.h"
#include "io/faults.h"
#include "io/measure.h"
#include "io/partition.h"
#include "format/utf16.h"
#include "format/utf8.h"
#include "io/arrow.h"
#include "read/errors.h"
#include "read/scanner.h"

namespace vorn::io {

namespace {

using codec::Fault;
using codec::Scanner;

// Process-wide, set once by the execution step; like vorn itself, this
// module serves the main interpreter only.
PyObject* g_vorn = nullptr;          // the vorn module, kept alive
PyObject* g_decode_error = nullptr;  // vorn_io.DecodeError
PyObject* g_err_name = nullptr;      // "ErrUnexpectedEndOfInput", interned

// ErrUnexpectedEndOfInput as vorn.parse finds it: vorn's globals, then the
// builtins, else NameError.
PyObject* lookup_err_unexpected_end() {
    PyObject* value = nullptr;
    PyObject* globals = PyModule_GetDict(g_vorn);
    if (globals) {
        if (PyDict_GetItemRef(globals, g_err_name, &value) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
        }
        if (value) return value;
    }
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return nullptr;
    if (PyObject_GetOptionalAttr(builtins.get(), g_err_name, &value) < 0) return nullptr;
    if (!value) PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_err_name);
    return value;
}

// The message of a fault, as parse words it.
PyObject* message_of(const Fault& f, int64_t max_row_size) {
    switch (f.kind) {
        case Fault::Kind::UnexpectedToken:
            return codec::unexpected_token_message(f.ch, f.position);
        case Fault::Kind::RowTooLong:
            return PyUnicode_FromFormat("Row %lld is longer than max_row_size (%lld characters) at position %lld",
                                        (long long)f.row, (long long)max_row_size, (long long)f.position);
        default:
            return lookup_err_unexpected_end();
    }
}

// UnicodeDecodeError for bytes at a byte offset of the document that begin
// no UTF-8 sequence.
void raise_invalid_utf8(const Fault& f) {
    Ref reason(PyUnicode_FromFormat("invalid UTF-8 at byte offset %lld of the document", (long long)f.byte));
    if (!reason) return;
    const char* text = PyUnicode_AsUTF8(reason.get());
    if (!text) return;
    Ref exc(PyUnicodeDecodeError_Create("utf-8", reinterpret_cast<const char*>(f.bytes), f.byte_count, 0,
                                        f.byte_count ? 1 : 0, text));
    if (exc) PyErr_SetObject(PyExc_UnicodeDecodeError, exc.get());
}

}  // namespace

void raise_fault(const Fault& f, int64_t max_row_size, int64_t index) {
    if (f.kind == Fault::Kind::InvalidUtf8) {
        raise_invalid_utf8(f);
        return;
    }
    Ref message(message_of(f, max_row_size));
    if (!message) return;
    Ref exc(PyObject_CallOneArg(g_decode_error, message.get()));
    if (!exc) return;
    Ref position(PyLong_FromLongLong(f.position));
    Ref row(PyLong_FromLongLong(f.row));
    Ref at(index >= 0 ? PyLong_FromLongLong(index) : Py_NewRef(Py_None));
    if (!position || !row || !at || PyObject_SetAttrString(exc.get(), "position", position.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "row", row.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "index", at.get()) < 0)
        return;
    PyErr_SetObject(g_decode_error, exc.get());
}

namespace {

// --- Decoder ---------------------------------------------------------------

// A piece of text fed, kept so that a fault's UTF-16 position can be given
// as a code-point index too.
struct Piece {
    PyObject* text = nullptr;  // strong reference, or null
    int64_t u16 = 0;           // UTF-16 offset of its start in the document
    int64_t points = 0;        // code-point index of its start
};

struct DecoderObject {
    PyObject_HEAD
    Scanner* scanner;
    int64_t max_row_size;
    bool closed;
    bool busy;         // inside feed() or close(): a finalizer may call back
    bool has_pending;  // a malformation found after rows that were returned
    Fault pending;
    int64_t pending_index;
    // The last pieces that held text, newest at recent[newest]: a fault lies
    // in the last, or, when reported once its length digits have ended, up
    // to sixteen code points before it, in one of the pieces before. Pieces
    // further back are not kept.
    static constexpr int kKept = 18;
    Piece recent[kKept];
    int newest;
    int64_t points;  // code points fed
};

// Code points of text before UTF-16 offset k of it: the index of the code
// point that covers offset k (its second unit included), or its length when
// k is at or past its end.
int64_t points_before(PyObject* text, int64_t k) {
    const int64_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_KIND(text) != PyUnicode_4BYTE_KIND) return k < length ? k : length;
    const format::Ucs4Hop hop = format::hop_ucs4(PyUnicode_4BYTE_DATA(text), size_t(length), k);
    return int64_t(hop.points) - (hop.units > k ? 1 : 0);
}

// The code-point index of the document's UTF-16 offset position (at or
// after the start of the oldest piece kept).
int64_t index_of(const DecoderObject* self, int64_t position) {
    for (int k = 0; k < DecoderObject::kKept; ++k) {
        const Piece& piece = self->recent[(self->newest + DecoderObject::kKept - k) % DecoderObject::kKept];
        if (!piece.text) break;
        if (position >= piece.u16) return piece.points + points_before(piece.text, position - piece.u16);
    }
    return position;  // nothing fed: the start
}

// Keeps text as the last piece, fed at UTF-16 offset u16.
void keep_piece(DecoderObject* self, PyObject* text, int64_t u16) {
    if (PyUnicode_GET_LENGTH(text) == 0) return;
    self->newest = (self->newest + 1) % DecoderObject::kKept;
    Piece& piece = self->recent[self->newest];
    Py_XSETREF(piece.text, Py_NewRef(text));
    piece.u16 = u16;
    piece.points = self->points;
    self->points += PyUnicode_GET_LENGTH(text);
    // Pieces behind seventeen code points of newer text are let go.
    int64_t newer = 0;
    for (int k = 0; k < DecoderObject::kKept; ++k) {
        Piece& p = self->recent[(self->newest + DecoderObject::kKept - k) % DecoderObject::kKept];
        if (!p.text) break;
        if (newer >= 17) Py_CLEAR(p.text);
        else newer += PyUnicode_GET_LENGTH(p.text);
    }
}

const char kDecoderDoc[] =
    "Decoder(*, max_row_size=None)\n--\n\n"
    "Incremental VORN decoder: feed it a document in pieces of text, of any\n"
    "size and split anywhere.\n\n"
    "feed(text) returns the rows completed so far (a list of lists of str);\n"
    "close() ends the document and returns what is left, or raises DecodeError\n"
    "when the document is incomplete. Errors are those of vorn.parse on the\n"
    "whole text, raised once the rows before them have been returned.\n\n"
    "max_row_size limits the characters (UTF-16 code units) a row may take in\n"
    "the document, prefixes and terminator included; a row that would exceed\n"
    "it raises DecodeError before its cells are read.";

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"max_row_size", nullptr};
    PyObject* limit = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:Decoder", const_cast<char**>(kwlist), &limit))
        return nullptr;
    int64_t max_row_size = -1;
    if (limit != Py_None) {
        if (!PyLong_Check(limit)) {
            PyErr_Format(PyExc_TypeError, "max_row_size must be an int or None, not %T", limit);
            return nullptr;
        }
        max_row_size = PyLong_AsLongLong(limit);
        if (max_row_size == -1 && PyErr_Occurred()) return nullptr;
        if (max_row_size < 0) {
            PyErr_SetString(PyExc_ValueError, "max_row_size must not be negative");
            return nullptr;
        }
    }
    auto* self = reinterpret_cast<DecoderObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    void* memory = PyMem_Malloc(sizeof(Scanner));
    if (!memory) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    self->scanner = new (memory) Scanner(max_row_size);
    self->max_row_size = max_row_size;
    self->closed = self->busy = self->has_pending = false;
    self->pending_index = -1;
    for (Piece& piece : self->recent) piece = Piece{};
    self->newest = 0;
    self->points = 0;
    return reinterpret_cast<PyObject*>(self);
}

void decoder_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<DecoderObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    for (Piece& piece : self->recent) Py_CLEAR(piece.text);
    if (self->scanner) {
        self->scanner->~Scanner();
        PyMem_Free(self->scanner);
        self->scanner = nullptr;
    }
    type->tp_free(op);
    Py_DECREF(type);
}

// Refuses a call while another is running on the same decoder or after the
// decoder has ended; otherwise marks it busy until the guard goes.
class Entry {
public:
    Entry(DecoderObject* self, const char* what) : self_(self) {
        if (self->busy) {
            PyErr_Format(PyExc_RuntimeError, "Decoder.%s() called while the decoder is running", what);
        } else if (self->closed) {
            PyErr_Format(PyExc_ValueError, "Decoder.%s() called after the decoder was closed", what);
        } else {
            self->busy = true;
            ok_ = true;
        }
    }
    ~Entry() {
        if (ok_) self_->busy = false;
    }
    bool ok() const { return ok_; }

private:
    DecoderObject* self_;
    bool ok_ = false;
};

// Outcome of a scanner call: the rows in out, or the error raised. A
// malformation found after rows were completed in the same call is kept and
// raised by the next call, so that no row before an error is lost.
PyObject* conclude(DecoderObject* self, Scanner::Status status, Ref& out) {
    if (status == Scanner::Status::Ok) return out.release();
    self->closed = true;
    if (status == Scanner::Status::Error) return nullptr;
    const Fault& fault = self->scanner->fault();
    const int64_t index = index_of(self, fault.position);
    if (PyList_GET_SIZE(out.get()) > 0) {
        self->has_pending = true;
        self->pending = fault;
        self->pending_index = index;
        self->closed = false;
        return out.release();
    }
    raise_fault(fault, self->max_row_size, index);
    return nullptr;
}

// Raises the malformation kept by the previous call.
PyObject* raise_pending(DecoderObject* self) {
    self->closed = true;
    self->has_pending = false;
    raise_fault(self->pending, self->max_row_size, self->pending_index);
    return nullptr;
}

PyObject* decoder_feed(PyObject* op, PyObject* text) {
    auto* self = reinterpret_cast<DecoderObject*>(op);
    if (!PyUnicode_Check(text)) {
        if (PyBytes_Check(text) || PyByteArray_Check(text) || PyObject_CheckBuffer(text))
            return PyErr_Format(PyExc_TypeError,
                                "Decoder.feed() takes str, not %T: decode the bytes first "
                                "(vorn_io.reader decodes binary files)",
                                text);
        return PyErr_Format(PyExc_TypeError, "Decoder.feed() takes str, not %T", text);
    }
    Entry entry(self, "feed");
    if (!entry.ok()) return nullptr;
    if (self->has_pending) return raise_pending(self);
    // The text is held by the caller for the whole call and is immutable;
    // the scanner runs no interpreter code while it reads it.
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    keep_piece(self, text, self->scanner->position());
    return conclude(self, self->scanner->feed(text, out.get()), out);
}

PyObject* decoder_close(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<DecoderObject*>(op);
    Entry entry(self, "close");
    if (!entry.ok()) return nullptr;
    if (self->has_pending) return raise_pending(self);
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    PyObject* result = conclude(self, self->scanner->finish(), out);
    self->closed = true;
    return result;
}

PyObject* decoder_get_position(PyObject* op, void*) {
    return PyLong_FromLongLong(reinterpret_cast<DecoderObject*>(op)->scanner->position());
}

PyObject* decoder_get_rows(PyObject* op, void*) {
    return PyLong_FromLongLong(reinterpret_cast<DecoderObject*>(op)->scanner->rows());
}

PyObject* decoder_get_row_open(PyObject* op, void*) {
    return PyBool_FromLong(reinterpret_cast<DecoderObject*>(op)->scanner->row_open());
}

PyMethodDef kDecoderMethods[] = {
    {"feed", decoder_feed, METH_O,
     "feed(text, /)\n--\n\nReads the next piece of the document and returns the rows it completes."},
    {"close", decoder_close, METH_NOARGS,
     "close()\n--\n\nEnds the document: returns the rows left, or raises DecodeError when it is "
     "incomplete."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kDecoderGetSet[] = {
    {"position", decoder_get_position, nullptr, "UTF-16 code units of the document read so far.", nullptr},
    {"rows", decoder_get_rows, nullptr, "Rows completed so far.", nullptr},
    {"row_open", decoder_get_row_open, nullptr, "Whether text read so far leaves a row unfinished.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kDecoderSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_methods, kDecoderMethods},
    {Py_tp_getset, kDecoderGetSet},
    {Py_tp_doc, const_cast<char*>(kDecoderDoc)},
    {0, nullptr},
};

PyType_Spec kDecoderSpec = {
    "vorn_io.Decoder",
    sizeof(DecoderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kDecoderSlots,
};

// --- Module ----------------------------------------------------------------

// Test hooks for the UTF-16 counter, so that tests compare it with a model
// at every length and alignment: _utf16_units(data) and _hop_utf16(data, k)
// -> (bytes passed, units counted), data any buffer.
PyObject* utf16_units_hook(PyObject*, PyObject* arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
    const int64_t units = format::utf16_units(static_cast<const uint8_t*>(view.buf), size_t(view.len));
    PyBuffer_Release(&view);
    return PyLong_FromLongLong(units);
}

PyObject* hop_utf16_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) return PyErr_Format(PyExc_TypeError, "_hop_utf16() takes 2 arguments (%zd given)", nargs);
    const long long k = PyLong_AsLongLong(args[1]);
    if (k == -1 && PyErr_Occurred()) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    const format::Utf16Hop hop = format::hop_utf16(static_cast<const uint8_t*>(view.buf), size_t(view.len), k);
    PyBuffer_Release(&view);
    return Py_BuildValue("(nL)", Py_ssize_t(hop.bytes), (long long)hop.units);
}

// _hop_ucs4(data, k, start) -> (code points passed, units counted): the hop
// over k UTF-16 units of four-byte storage, from code point start of data
// (a buffer of 4-byte items, such as array('I')), to its end.
PyObject* hop_ucs4_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) return PyErr_Format(PyExc_TypeError, "_hop_ucs4() takes 3 arguments (%zd given)", nargs);
    const long long k = PyLong_AsLongLong(args[1]);
    if (k == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t start = PyLong_AsSsize_t(args[2]);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_FORMAT) < 0) return nullptr;
    PyObject* result = nullptr;
    const Py_ssize_t n = view.len / 4;
    if (view.itemsize != 4 || (reinterpret_cast<uintptr_t>(view.buf) & 3) != 0)
        PyErr_SetString(PyExc_ValueError, "_hop_ucs4() takes an aligned buffer of 4-byte items");
    else if (start < 0 || start > n)
        PyErr_SetString(PyExc_ValueError, "_hop_ucs4() start out of range");
    else {
        const format::Ucs4Hop hop =
            format::hop_ucs4(static_cast<const uint32_t*>(view.buf) + start, size_t(n - start), k);
        result = Py_BuildValue("(nL)", Py_ssize_t(hop.points), (long long)hop.units);
    }
    PyBuffer_Release(&view);
    return result;
}

PyMethodDef kModuleMethods[] = {
    {"_utf16_units", utf16_units_hook, METH_O,
     "_utf16_units(data, /)\n--\n\nUTF-16 units of the UTF-8 sequences that begin in data."},
    {"_hop_utf16", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hop_utf16_hook)), METH_FASTCALL,
     "_hop_utf16(data, k, /)\n--\n\nHops k UTF-16 units of data: (bytes passed, units counted)."},
    {"_hop_ucs4", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hop_ucs4_hook)), METH_FASTCALL,
     "_hop_ucs4(data, k, start, /)\n--\n\nHops k UTF-16 units of the code points data[start:]: "
     "(code points passed, units counted)."},
    {nullptr, nullptr, 0, nullptr},
};

const char kDecodeErrorDoc[] =
    "A malformed VORN document.\n\n"
    "Its message is that of vorn.parse for the same text. 'position' is the\n"
    "offset of the error in UTF-16 code units from the start of the document\n"
    "(for an unexpected end, the length of the document), 'index' the same\n"
    "place as an index of code points (None where the reader reads bytes), and\n"
    "'row' the 0-based index of the row being read. It is a SyntaxError, as parse's\n"
    "errors are, and a ValueError, as json's are.";

int exec_module(PyObject* module) {
    if (!g_vorn) {
        Ref vorn(PyImport_ImportModule("vorn"));
        if (!vorn) return -1;
        Ref name(PyUnicode_InternFromString("ErrUnexpectedEndOfInput"));
        if (!name) return -1;
        Ref bases(PyTuple_Pack(2, PyExc_SyntaxError, PyExc_ValueError));
        if (!bases) return -1;
        Ref error(PyErr_NewExceptionWithDoc("vorn_io.DecodeError", kDecodeErrorDoc, bases.get(), nullptr));
        if (!error) return -1;
        g_vorn = vorn.release();
        g_err_name = name.release();
        g_decode_error = error.release();
    }
    Ref decoder(PyType_FromModuleAndSpec(module, &kDecoderSpec, nullptr));
    if (!decoder) return -1;
    if (PyModule_AddObjectRef(module, "Decoder", decoder.get()) < 0) return -1;
    if (PyModule_AddObjectRef(module, "DecodeError", g_decode_error) < 0) return -1;
    if (PyModule_AddFunctions(module, kModuleMethods) < 0) return -1;
    if (add_arrow_types(module) < 0) return -1;
    if (add_measure_type(module) < 0) return -1;
    return add_partition_functions(module);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "vorn_io._scanner", "Native decoder of vorn_io.", 0, nullptr, kSlots,
    nullptr,               nullptr,            nullptr,
};

}  // namespace

}  // namespace vorn::io

PyMODINIT_FUNC PyInit__scanner() { return PyModuleDef_Init(&vorn::io::kModule); }
