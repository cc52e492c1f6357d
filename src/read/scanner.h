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
// once. Cells that lie whole in a piece are read by the read grammar's walk
// (read/grammar.h), with this scanner's object-building sink; a cell that a
// piece cuts short is taken up unit by unit on the resumable road here.
// Fed nothing (or only empty pieces) and finished, it has read a document of
// no rows. Only one outcome depends on the end of the document in a way the
// reader cannot know early: a non-digit among length digits that end exactly
// at the end of the input is an unexpected token when the document holds a
// character from U+10000 up and an unexpected end otherwise. Such a digit is
// therefore kept pending until one more unit arrives or the input ends.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/portable.h"

#include <cstdint>

#include "common/ref.h"
#include "read/cells.h"
#include "read/fault.h"
#include "read/grammar.h"

namespace vorn::codec {

class Scanner {
public:
    enum class Status : uint8_t {
        Ok,         // every unit was consumed; rows completed were appended
        Malformed,  // the document is malformed: see fault()
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

    const Fault& fault() const { return fault_; }
    // Rows completed so far.
    int64_t rows() const { return counters_.rows; }
    // UTF-16 units consumed so far: up to the element a fault was found in.
    int64_t position() const { return counters_.u16; }
    // Whether text has been read that does not end a row.
    bool row_open() const {
        return state_ != State::Row || (counters_.u16 > 0 && !counters_.after_terminator);
    }

private:
    enum class State : uint8_t {
        Row,      // at a row element
        Digits,   // inside a length prefix
        Decide,   // a non-digit was read among digits that are now complete
        Payload,  // inside a payload
    };

    template <typename Enc, bool Ascii, bool Limited>
    Status run(const typename Enc::Unit* data, size_t length, PyObject* out);
    template <typename Enc, bool Ascii>
    Status run_limited(const typename Enc::Unit* data, size_t length, PyObject* out);
    template <typename Unit>
    Status resume_digits(const Unit* data, size_t length, size_t& i);
    template <typename Unit, bool Ascii>
    Status resume_payload(const Unit* data, size_t length, size_t& i);

    Status begin_cell(int64_t h_digits, int64_t n, int64_t cell_u16, int64_t payload_u16);
    Status push_cell(PyObject* cell);
    Status push_part(PyObject* part);

    VORN_COLD Status pending_token();

    State state_ = State::Row;
    bool seen_astral_ = false;  // a piece held a code point from U+10000 up
    bool final_ = false;
    // UTF-16 units consumed, rows completed, the open row's size, and whether
    // the last unit consumed ended a row.
    grammar::Counters counters_;

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
    CellStack cells_;
    Fault fault_;
};

}  // namespace vorn::codec
