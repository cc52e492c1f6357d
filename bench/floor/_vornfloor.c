/* Lower bounds for the codec: the object work a parser and a serializer of
 * tables of strings cannot avoid, with no format work at all.
 *
 * decode_floor((doc, spans, rows)) builds the table that parsing doc gives,
 * but is told where every cell lies instead of reading the document:
 *   doc    the document (a str);
 *   spans  a buffer of native int64 triples (start, length, maxchar), one per
 *          cell in document order: the code-point offset and length of the
 *          cell's payload in doc and the upper bound of its width class
 *          (127, 255, 65535 or 1114111, as PyUnicode_MAX_CHAR_VALUE gives);
 *   rows   a buffer of native int64 cell counts, one per row.
 * Each cell is made with the cheapest public call for it: the shared empty
 * string and the cached one-character Latin-1 strings where the interpreter
 * has them, PyUnicode_New plus memcpy when the cell is stored at the
 * document's width, and PyUnicode_FromKindAndData (which finds the narrower
 * width itself, as a parser would have to) otherwise. Lists are made at their
 * exact size and filled with PyList_SET_ITEM.
 *
 * encode_floor(table) writes the text of every cell of a list (or tuple) of
 * lists (or tuples) of str into one new str: one pass measures the total
 * length and the widest character, PyUnicode_New is called once, a second
 * pass copies the cells. No prefixes or separators are written.
 *
 * encode_floor_single((table, length, maxchar)) is the same copy in one pass:
 * it is handed the total length and the widest character of the cells
 * (computed by the caller, outside any timing), calls PyUnicode_New once and
 * reads and copies every cell once. A writer that makes one pass cannot know
 * these two figures without reading the table, so this is a lower bound for
 * any design, one-pass or two-pass: the cost of reading each cell's header
 * once and copying its text once into a result allocated once at its exact
 * size. The figures are checked as the copy goes (a cell that would overrun
 * the result or is wider than it raises ValueError), never trusted.
 */

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>

static int
kind_of_maxchar(int64_t maxchar)
{
    if (maxchar < 256) return PyUnicode_1BYTE_KIND;
    if (maxchar < 65536) return PyUnicode_2BYTE_KIND;
    return PyUnicode_4BYTE_KIND;
}

static PyObject *
decode_floor(PyObject *module, PyObject *shape)
{
    PyObject *doc;
    Py_buffer spans, rows;
    PyObject *out = NULL;

    if (!PyTuple_Check(shape)) {
        PyErr_SetString(PyExc_TypeError, "decode_floor() takes a tuple (doc, spans, rows)");
        return NULL;
    }
    if (!PyArg_ParseTuple(shape, "Uy*y*:decode_floor", &doc, &spans, &rows)) return NULL;

    const int64_t *sp = (const int64_t *)spans.buf;
    const int64_t *rs = (const int64_t *)rows.buf;
    const Py_ssize_t cell_count = spans.len / (Py_ssize_t)(3 * sizeof(int64_t));
    const Py_ssize_t row_count = rows.len / (Py_ssize_t)sizeof(int64_t);
    const Py_ssize_t doc_len = PyUnicode_GET_LENGTH(doc);
    const int kind = PyUnicode_KIND(doc);
    const char *data = (const char *)PyUnicode_DATA(doc);

    if (spans.len % (Py_ssize_t)(3 * sizeof(int64_t)) || rows.len % (Py_ssize_t)sizeof(int64_t)) {
        PyErr_SetString(PyExc_ValueError, "spans or rows buffer has a partial entry");
        goto done;
    }
    out = PyList_New(row_count);
    if (!out) goto done;

    Py_ssize_t k = 0;
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        const int64_t n = rs[r];
        if (n < 0 || n > cell_count - k) {
            PyErr_SetString(PyExc_ValueError, "row sizes exceed the spans given");
            goto fail;
        }
        PyObject *row = PyList_New((Py_ssize_t)n);
        if (!row) goto fail;
        PyList_SET_ITEM(out, r, row);
        for (Py_ssize_t c = 0; c < n; ++c, ++k) {
            const int64_t start = sp[3 * k], len = sp[3 * k + 1], maxchar = sp[3 * k + 2];
            if (start < 0 || len < 0 || start > doc_len - len) {
                PyErr_SetString(PyExc_ValueError, "span outside the document");
                goto fail;
            }
            const char *p = data + (size_t)start * (size_t)kind;
            PyObject *cell;
            if (len == 0) {
                cell = PyUnicode_New(0, 0);
            } else if (len == 1) {
                cell = PyUnicode_FromOrdinal(PyUnicode_READ(kind, data, start));
            } else if (kind_of_maxchar(maxchar) == kind) {
                cell = PyUnicode_New((Py_ssize_t)len, (Py_UCS4)maxchar);
                if (cell) memcpy(PyUnicode_DATA(cell), p, (size_t)len * (size_t)kind);
            } else {
                cell = PyUnicode_FromKindAndData(kind, p, (Py_ssize_t)len);
            }
            if (!cell) goto fail;
            PyList_SET_ITEM(row, c, cell);
        }
    }
    goto done;

fail:
    Py_CLEAR(out);
done:
    PyBuffer_Release(&spans);
    PyBuffer_Release(&rows);
    return out;
}

static int
is_sequence(PyObject *o)
{
    return PyList_Check(o) || PyTuple_Check(o);
}

/* Copies the text of cell to out, whose storage is out_kind bytes per code
 * point and at least as wide as the cell's; returns the end of the copy. */
static char *
copy_cell(char *out, int out_kind, PyObject *cell)
{
    const Py_ssize_t len = PyUnicode_GET_LENGTH(cell);
    const int kind = PyUnicode_KIND(cell);
    const void *src = PyUnicode_DATA(cell);
    if (kind == out_kind) {
        memcpy(out, src, (size_t)len * (size_t)kind);
    } else if (out_kind == PyUnicode_2BYTE_KIND) {
        const Py_UCS1 *s = (const Py_UCS1 *)src;
        Py_UCS2 *d = (Py_UCS2 *)out;
        for (Py_ssize_t i = 0; i < len; ++i) d[i] = s[i];
    } else if (kind == PyUnicode_1BYTE_KIND) {
        const Py_UCS1 *s = (const Py_UCS1 *)src;
        Py_UCS4 *d = (Py_UCS4 *)out;
        for (Py_ssize_t i = 0; i < len; ++i) d[i] = s[i];
    } else {
        const Py_UCS2 *s = (const Py_UCS2 *)src;
        Py_UCS4 *d = (Py_UCS4 *)out;
        for (Py_ssize_t i = 0; i < len; ++i) d[i] = s[i];
    }
    return out + (size_t)len * (size_t)out_kind;
}

static PyObject *
encode_floor(PyObject *module, PyObject *table)
{
    if (!is_sequence(table)) {
        PyErr_SetString(PyExc_TypeError, "encode_floor() takes a list of lists of str");
        return NULL;
    }
    PyObject **rows = PySequence_Fast_ITEMS(table);
    const Py_ssize_t row_count = PySequence_Fast_GET_SIZE(table);
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 0;
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        PyObject *row = rows[r];
        if (!is_sequence(row)) {
            PyErr_SetString(PyExc_TypeError, "encode_floor() takes a list of lists of str");
            return NULL;
        }
        PyObject **cells = PySequence_Fast_ITEMS(row);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(row);
        for (Py_ssize_t c = 0; c < n; ++c) {
            PyObject *cell = cells[c];
            if (!PyUnicode_Check(cell)) {
                PyErr_SetString(PyExc_TypeError, "encode_floor() takes a list of lists of str");
                return NULL;
            }
            total += PyUnicode_GET_LENGTH(cell);
            const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(cell);
            if (m > maxchar) maxchar = m;
        }
    }

    PyObject *result = PyUnicode_New(total, maxchar);
    if (!result) return NULL;
    const int out_kind = PyUnicode_KIND(result);
    char *out = (char *)PyUnicode_DATA(result);
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        PyObject *row = rows[r];
        PyObject **cells = PySequence_Fast_ITEMS(row);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(row);
        for (Py_ssize_t c = 0; c < n; ++c) out = copy_cell(out, out_kind, cells[c]);
    }
    return result;
}

static PyObject *
encode_floor_single(PyObject *module, PyObject *arg)
{
    PyObject *table;
    Py_ssize_t total;
    unsigned long maxchar;
    if (!PyArg_ParseTuple(arg, "Onk:encode_floor_single", &table, &total, &maxchar)) return NULL;
    if (!is_sequence(table) || total < 0 || maxchar > 0x10FFFF) {
        PyErr_SetString(PyExc_TypeError,
                        "encode_floor_single() takes (list of lists of str, length, maxchar)");
        return NULL;
    }
    PyObject *result = PyUnicode_New(total, (Py_UCS4)maxchar);
    if (!result) return NULL;
    const int out_kind = PyUnicode_KIND(result);
    const Py_UCS4 out_max = PyUnicode_MAX_CHAR_VALUE(result);
    char *out = (char *)PyUnicode_DATA(result);
    Py_ssize_t room = total;
    PyObject **rows = PySequence_Fast_ITEMS(table);
    const Py_ssize_t row_count = PySequence_Fast_GET_SIZE(table);
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        PyObject *row = rows[r];
        if (!is_sequence(row)) goto not_a_table;
        PyObject **cells = PySequence_Fast_ITEMS(row);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(row);
        for (Py_ssize_t c = 0; c < n; ++c) {
            PyObject *cell = cells[c];
            if (!PyUnicode_Check(cell)) goto not_a_table;
            const Py_ssize_t len = PyUnicode_GET_LENGTH(cell);
            if (len > room || PyUnicode_MAX_CHAR_VALUE(cell) > out_max) goto wrong_figures;
            room -= len;
            out = copy_cell(out, out_kind, cell);
        }
    }
    if (room != 0) goto wrong_figures;
    return result;

not_a_table:
    Py_DECREF(result);
    PyErr_SetString(PyExc_TypeError, "encode_floor_single() takes a list of lists of str");
    return NULL;
wrong_figures:
    Py_DECREF(result);
    PyErr_SetString(PyExc_ValueError, "length or maxchar do not match the table");
    return NULL;
}

static PyMethodDef methods[] = {
    {"decode_floor", decode_floor, METH_O,
     "decode_floor((doc, spans, rows)) -> list of lists of str made from the given spans of doc."},
    {"encode_floor", encode_floor, METH_O,
     "encode_floor(table) -> str holding the text of every cell, concatenated."},
    {"encode_floor_single", encode_floor_single, METH_O,
     "encode_floor_single((table, length, maxchar)) -> the same str, written in one pass."},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_vornfloor",
    .m_doc = "Allocation-only lower bounds for parsing and writing tables of strings.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
};

PyMODINIT_FUNC
PyInit__vornfloor(void)
{
    return PyModuleDef_Init(&module_def);
}
