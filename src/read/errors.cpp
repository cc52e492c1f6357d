#include "read/errors.h"

#include "common/ref.h"

namespace vorn::codec {

namespace {

// Calls SyntaxError with the message as its one argument and raises the
// instance, so that any object serves as the message unchanged.
void raise_syntax_error(PyObject* message) {
    Ref exc(PyObject_CallOneArg(PyExc_SyntaxError, message));
    if (exc) PyErr_SetObject(PyExc_SyntaxError, exc.get());
}

}  // namespace

void raise_unexpected_end(const Host& host) {
    Ref message(host.lookup_err_unexpected_end());
    if (message) raise_syntax_error(message.get());
}

PyObject* unexpected_token_message(uint32_t ch, int64_t position) {
    Ref token(PyUnicode_FromOrdinal(int(ch)));
    if (!token) return nullptr;
    return PyUnicode_FromFormat("Unexpected token '%U' at position %lld", token.get(), (long long)position);
}

void raise_unexpected_token(uint32_t ch, int64_t position) {
    Ref message(unexpected_token_message(ch, position));
    if (message) raise_syntax_error(message.get());
}

void raise_parse_fault(const Fault& fault, const Host& host) {
    if (fault.kind == Fault::Kind::UnexpectedToken)
        raise_unexpected_token(fault.ch, fault.position);
    else
        raise_unexpected_end(host);
}

}  // namespace vorn::codec
