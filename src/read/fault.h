// What is wrong with a document, and where: the one description of a
// malformed document that every reader fills in, whatever it reads (str
// units or UTF-8 bytes) and whatever it builds. Each kind of exception has
// one translator (read/errors.h for parse's SyntaxError, vorn_io's module
// for its DecodeError). Nothing here touches the interpreter.
#pragma once

#include <cstdint>

namespace vorn::codec {

struct Fault {
    enum class Kind : uint8_t {
        None,
        UnexpectedToken,  // ch at position
        UnexpectedEnd,    // the input ended; position is the document's length
        RowTooLong,       // the cell at position makes the row pass the limit
        InvalidUtf8,      // the bytes at byte do not begin a valid UTF-8 sequence
    };
    Kind kind = Kind::None;
    // The offending code point (UnexpectedToken).
    uint32_t ch = 0;
    // UTF-16 offset from the start of the document: of the offending code
    // point, of the first unit of the cell that made the row too long, or,
    // for an unexpected end, of the end of the input.
    int64_t position = 0;
    // 0-based index of the row being read when it was found.
    int64_t row = 0;
    // Byte offset of the fault from the start of the document, for readers
    // of UTF-8 bytes (-1 where the reader reads str).
    int64_t byte = -1;
    // InvalidUtf8: up to four of the bytes found there.
    uint8_t bytes[4] = {0, 0, 0, 0};
    uint8_t byte_count = 0;

    explicit operator bool() const { return kind != Kind::None; }
};

}  // namespace vorn::codec
