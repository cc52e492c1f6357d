// A reader of VORN documents that takes its text in pieces.
//
// Each piece is a str of any storage width; the scanner reads its units in
// place, with one loop per width, and keeps between pieces exactly what a
// document split at an arbitrary point leaves open: the cells of the open
// row, the length digits read so far, the UTF-16 units a payload still owes
// (with the part of it already seen), the absolute UTF-16 offset, and whether
// a character from U+10000 up has been seen. Rows are handed over as soon as
// their terminator is read.
//
// Fed the whole document at once and then finished, it accepts and rejects
// exactly what parse does, with the same report: parse is this scanner fed
// once. Only one outcome depends on the end of the document in a way the
// reader cannot know early: a non-digit among length digits that end exactly
// at the end of the input is an unexpected token when the document holds a
// character from U+10000 up and an unexpected end otherwise. Such a digit is
// therefore kept pending until one more unit arrives or the input ends.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/portable.h"

#include <cstdint>

#include "read/cells.h"
#include "common/ref.h"

namespace vorn::codec {

// What is wrong with a document, and where.
struct Malformation {
    enum class Kind : uint8_t { None, UnexpectedToken, UnexpectedEnd, RowTooLong };
    Kind kind = Kind::None;
    // The offending code point (UnexpectedToken).
    uint32_t ch = 0;
    // UTF-16 offset from the start of the document: of the offending code
    // point, of the first unit of the cell that made the row too long, or,
    // for an unexpected end, of the end of the input.
    int64_t position = 0;
    // 0-based index of the row being read when it was found.
    int64_t row = 0;
};

class Scanner {
public:
    enum class Status : uint8_t {
        Ok,         // every unit was consumed; rows completed were appended
        Malformed,  // the document is malformed: see malformation()
        Error,      // the interpreter raised (memory); its exception is set
    };

    // max_row_size: the most UTF-16 units a row may occupy in the document,
    // prefixes and terminator included; negative for no limit.
    explicit Scanner(int64_t max_row_size = -1) : max_row_size_(max_row_size) {}
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Reads text (a str) and appends every row it completes to out (a
    // list). final says that no text will follow, so the part of a payload
    // that the input cuts short need not be kept.
    Status feed(PyObject* text, PyObject* out, bool final = false);

    // The input has ended: Ok when the document is complete.
    Status finish();

    const Malformation& malformation() const { return malformation_; }
    // Rows completed so far.
    int64_t rows() const { return rows_; }
    // UTF-16 units consumed so far.
    int64_t position() const { return u16_; }
    // Whether text has been read that does not end a row.
    bool row_open() const { return state_ != State::Row || !after_terminator_; }

private:
    enum class State : uint8_t {
        Row,      // at a row element
        Digits,   // inside a length prefix
        Decide,   // a non-digit was read among digits that are now complete
        Payload,  // inside a payload
    };

    template <typename Unit, bool Ascii, bool Limited>
    Status run(const Unit* data, Py_ssize_t length, PyObject* out);
    template <typename Unit, bool Ascii>
    Status run_limited(const Unit* data, Py_ssize_t length, PyObject* out);
    template <typename Unit>
    Status resume_digits(const Unit* data, Py_ssize_t length, Py_ssize_t& i, int64_t& u16);
    template <typename Unit, bool Ascii>
    Status resume_payload(const Unit* data, Py_ssize_t length, Py_ssize_t& i, int64_t& u16);

    Status begin_cell(int64_t h_digits, int64_t n, int64_t cell_u16, int64_t payload_u16);
    Status push_cell(PyObject* cell);
    Status push_part(PyObject* part);

    VORN_COLD Status malformed(Malformation::Kind kind, uint32_t ch, int64_t position);
    Status pending_token() { return malformed(Malformation::Kind::UnexpectedToken, pending_ch_, pending_u16_); }

    State state_ = State::Row;
    bool after_terminator_ = false;  // the last unit consumed ended a row
    bool seen_astral_ = false;       // a piece held a code point from U+10000 up
    bool final_ = false;
    bool failed_ = false;
    int64_t u16_ = 0;   // UTF-16 units consumed
    int64_t rows_ = 0;  // rows completed

    // Inside a length prefix.
    int64_t h_digits_ = 0;     // digits the prefix announces
    int64_t digits_left_ = 0;  // digits still to read
    int64_t n_ = 0;            // value of the digits read
    int64_t cell_u16_ = 0;     // offset of the prefix's first unit
    bool pending_ = false;     // a non-digit was read among the digits
    uint32_t pending_ch_ = 0;
    int64_t pending_u16_ = 0;

    // Inside a payload.
    int64_t target_ = 0;        // declared length
    int64_t owed_ = 0;          // units still to come
    int64_t payload_u16_ = 0;   // offset of the payload's first unit
    Ref parts_;                 // list of the pieces of it read so far, or null

    int64_t max_row_size_;
    int64_t row_size_ = 0;  // units of the open row counted so far
    CellStack cells_;
    Malformation malformation_;
};

}  // namespace vorn::codec
