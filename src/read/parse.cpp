// Reading a whole document: the resumable scanner fed once, told that no
// text follows, then finished. Its loops read the input in place, one per
// storage width; cells of a row are collected on a small stack and moved into
// a list of exactly the right size when the row ends.

#include "read/parse.h"

#include "read/errors.h"
#include "common/ref.h"
#include "read/scanner.h"

namespace vorn::codec {

PyObject* parse(PyObject* text, const Host& host) {
    // A reader of pieces takes no text for a document of no rows; parse
    // does not.
    if (PyUnicode_GET_LENGTH(text) == 0) {
        raise_unexpected_end(host);
        return nullptr;
    }
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    Scanner scanner;
    Scanner::Status status = scanner.feed(text, out.get(), /*final=*/true);
    if (status == Scanner::Status::Ok) status = scanner.finish();
    if (status == Scanner::Status::Ok) return out.release();
    if (status == Scanner::Status::Malformed) raise_parse_fault(scanner.fault(), host);
    return nullptr;
}

}  // namespace vorn::codec
