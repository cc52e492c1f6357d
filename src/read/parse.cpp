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
    if (status == Scanner::Status::Malformed) {
        const Malformation& m = scanner.malformation();
        if (m.kind == Malformation::Kind::UnexpectedToken)
            raise_unexpected_token(m.ch, m.position);
        else
            raise_unexpected_end(host);
    }
    return nullptr;
}

}  // namespace vorn::codec
