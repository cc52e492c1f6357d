#include "module/state.h"

#include "format/format.h"

namespace vorn {

ProcessState g_state;

namespace {

struct StringEntry {
    PyObject* Constants::*slot;
    const char* text;
    bool intern;
};

// The module's fixed strings. Identifiers are interned; texts are not.
constexpr StringEntry kStrings[] = {
    {&Constants::sys, "sys", true},
    {&Constants::all, "__all__", true},
    {&Constants::hex, "HEX", true},
    {&Constants::err_unexpected_end, "ErrUnexpectedEndOfInput", true},
    {&Constants::utf16_codec, "UTF16_CODEC", true},
    {&Constants::stringify, "stringify", true},
    {&Constants::parse, "parse", true},
    {&Constants::test, "__test__", true},
    {&Constants::byteorder, "byteorder", true},
    {&Constants::add_note, "add_note", true},
    {&Constants::vorn, "vorn", true},
    {&Constants::lists, "lists", true},
    {&Constants::ret, "return", true},
    {&Constants::big, "big", true},
    {&Constants::str_name, "str", true},
    {&Constants::list_name, "list", true},
    {&Constants::hex_default, format::kDefaultHex, false},
    {&Constants::msg_unexpected_end, "Unexpected end of input", false},
    {&Constants::codec_be, "utf-16-be", false},
    {&Constants::codec_le, "utf-16-le", false},
    {&Constants::doc_stringify, "Serialize a 2D iterable of strings into a VORN string.", false},
    {&Constants::doc_parse, "Parse a VORN string into a 2D list of strings.", false},
    {&Constants::module_name, "vorn", true},
};

}  // namespace

bool build_constants() {
    Constants& k = g_state.k;
    Py_CLEAR(k.empty_tuple);
    if (!(k.empty_tuple = PyTuple_New(0))) return false;
    for (const StringEntry& e : kStrings) {
        PyObject* s = e.intern ? PyUnicode_InternFromString(e.text) : PyUnicode_FromString(e.text);
        if (!s) return false;
        // Hash now so that dictionary look-ups by these names never compute it.
        if (PyObject_Hash(s) == -1) {
            Py_DECREF(s);
            return false;
        }
        Py_XSETREF(k.*(e.slot), s);
    }
    return true;
}

}  // namespace vorn
