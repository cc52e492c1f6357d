#include "read/scanner.h"

#include "format/format.h"
#include "format/utf16.h"

namespace vorn::codec {

namespace {

using format::is_decimal_digit;

template <typename Unit>
inline constexpr bool kWide = sizeof(Unit) == 4;

// Takes a scanner's open-row cells into a local for the length of a loop and
// puts them back when told or when it goes out of scope.
struct LocalCells {
    explicit LocalCells(CellStack& owner) : owner(owner) { stack.swap(owner); }
    ~LocalCells() { give_back(); }
    void give_back() {
        if (!given_back) stack.swap(owner);
        given_back = true;
    }
    CellStack& owner;
    CellStack stack;
    bool given_back = false;
};

// The object-building sink of the read grammar: a new str per cell, pushed
// on the open row's stack, and a list per row, appended to out. A failed
// allocation stops the walk with MemoryError set.
template <typename Unit, bool Ascii>
struct ObjectSink {
    CellStack& cells;
    PyObject* out;

    VORN_ALWAYS_INLINE bool cell(const Unit* text, size_t units, int64_t, uint32_t widest) {
        PyObject* cell;
        if constexpr (kWide<Unit>)
            cell = make_cell_ucs4(text, Py_ssize_t(units), widest);
        else
            cell = make_cell<Unit, Ascii>(text, Py_ssize_t(units));
        return cell && cells.push(cell);
    }
    VORN_ALWAYS_INLINE bool row_end(size_t, int64_t) { return append_row(cells, out); }
};

// UTF-16 units of one code point.
inline int64_t units_of(uint32_t ch) { return ch >= 0x10000u ? 2 : 1; }

}  // namespace

Scanner::Status Scanner::pending_token() {
    grammar::token_at(fault_, pending_ch_, pending_u16_, counters_.rows);
    return Status::Malformed;
}

Scanner::Status Scanner::push_cell(PyObject* cell) {
    if (!cell || !cells_.push(cell)) return Status::Error;
    return Status::Ok;
}

Scanner::Status Scanner::push_part(PyObject* part) {
    if (!part) return Status::Error;
    Ref held(part);
    if (!parts_) {
        parts_.reset(PyList_New(0));
        if (!parts_) return Status::Error;
    }
    if (PyList_Append(parts_.get(), part) < 0) return Status::Error;
    return Status::Ok;
}

// A complete prefix announcing h_digits digits of value n: checks the row's
// size and either adds the empty cell or enters its payload.
Scanner::Status Scanner::begin_cell(int64_t h_digits, int64_t n, int64_t cell_u16, int64_t payload_u16) {
    if (max_row_size_ >= 0 && grammar::passes_limit(counters_.row_size, h_digits, n, max_row_size_)) {
        grammar::row_too_long(fault_, cell_u16, counters_.rows);
        return Status::Malformed;
    }
    counters_.row_size += grammar::cell_size(h_digits, n);
    if (n == 0) {
        state_ = State::Row;
        return push_cell(PyUnicode_New(0, 0));
    }
    state_ = State::Payload;
    target_ = owed_ = n;
    payload_u16_ = payload_u16;
    return Status::Ok;
}

// Reads the rest of a length prefix that an earlier piece began.
template <typename Unit>
Scanner::Status Scanner::resume_digits(const Unit* data, size_t length, size_t& i) {
    int64_t& u16 = counters_.u16;
    while (digits_left_ > 0 && i < length) {
        const uint32_t ch = data[i];
        if (is_decimal_digit(ch)) {
            n_ = n_ * 10 + int64_t(ch - '0');
        } else if (!pending_) {
            pending_ = true;
            pending_ch_ = ch;
            pending_u16_ = u16;
        }
        ++i;
        u16 += kWide<Unit> ? units_of(ch) : 1;
        --digits_left_;
    }
    if (digits_left_ > 0) return Status::Ok;
    if (pending_) {
        // With a unit after the digits, the non-digit is the report; at the
        // end of a piece, a document holding a character from U+10000 up
        // reports it whatever follows, and any other waits for one more
        // unit, without which the input ended inside the cell.
        if (i < length || grammar::digits_end_report(seen_astral_) == Fault::Kind::UnexpectedToken)
            return pending_token();
        state_ = State::Decide;
        return Status::Ok;
    }
    return begin_cell(h_digits_, n_, cell_u16_, u16);
}

// Reads the rest of a payload: whole when it ends inside this piece,
// otherwise kept as a part (unless the input ends here).
template <typename Unit, bool Ascii>
Scanner::Status Scanner::resume_payload(const Unit* data, size_t length, size_t& i) {
    int64_t& u16 = counters_.u16;
    const size_t start = i;
    PyObject* cell;
    if constexpr (!kWide<Unit>) {
        const size_t avail = length - i;
        if (uint64_t(owed_) > avail) {
            owed_ -= int64_t(avail);
            i = length;
            u16 += int64_t(avail);
            return final_ ? Status::Ok : push_part(make_cell<Unit, Ascii>(data + start, Py_ssize_t(avail)));
        }
        i += size_t(owed_);
        u16 += owed_;
        owed_ = 0;
        if (final_ && i == length) {
            // Nothing can follow the cell: the document ends unfinished.
            state_ = State::Row;
            return Status::Ok;
        }
        cell = make_cell<Unit, Ascii>(data + start, Py_ssize_t(i - start));
    } else {
        int64_t accum = 0;
        uint32_t widest = 0;
        uint32_t ch = 0;
        while (accum < owed_ && i < length) {
            ch = data[i];
            accum += units_of(ch);
            widest = ch > widest ? ch : widest;
            ++i;
        }
        if (accum < owed_) {
            owed_ -= accum;
            u16 += accum;
            return final_ ? Status::Ok : push_part(make_cell_ucs4(data + start, Py_ssize_t(i - start), widest));
        }
        if (accum > owed_) {
            grammar::split_character(fault_, ch, payload_u16_ + target_, counters_.rows);
            return Status::Malformed;
        }
        u16 += accum;
        owed_ = 0;
        if (final_ && i == length) {
            state_ = State::Row;
            return Status::Ok;
        }
        cell = make_cell_ucs4(data + start, Py_ssize_t(i - start), widest);
    }
    state_ = State::Row;
    if (!parts_) return push_cell(cell);
    if (push_part(cell) != Status::Ok) return Status::Error;
    // The cell's pieces joined once, so a cell spread over many pieces is
    // copied twice at most whatever its length.
    Ref parts(parts_.release());
    Ref empty(PyUnicode_New(0, 0));
    if (!empty) return Status::Error;
    return push_cell(PyUnicode_Join(empty.get(), parts.get()));
}

// One loop per storage width. The read grammar's walk reads every element
// that lies whole in the piece with at least one unit after it, as parse of
// a whole document does; a cell cut by the end of the piece is read on the
// resumable road.
template <typename Enc, bool Ascii, bool Limited>
Scanner::Status Scanner::run(const typename Enc::Unit* data, size_t length, PyObject* out) {
    using Unit = typename Enc::Unit;
    size_t i = 0;
    Status status = Status::Ok;

    // Whatever the previous piece left open.
    switch (state_) {
        case State::Row:
            break;
        case State::Decide:
            if (length > 0) return pending_token();
            break;
        case State::Digits:
            status = resume_digits(data, length, i);
            if (status == Status::Ok && state_ == State::Payload) status = resume_payload<Unit, Ascii>(data, length, i);
            break;
        case State::Payload:
            status = resume_payload<Unit, Ascii>(data, length, i);
            break;
    }

    grammar::Rules rules;
    if constexpr (Limited) rules.limit = max_row_size_;
    rules.document_has_astral = seen_astral_;
    while (status == Status::Ok && state_ == State::Row && i < length) {
        // The open row's cells, held in a local on the fast road so that
        // the loop keeps them in registers; handed back on every way out.
        LocalCells cells(cells_);
        ObjectSink<Unit, Ascii> sink{cells.stack, out};
        grammar::Cut cut;
        const grammar::Stop stop =
            grammar::read_elements<Enc, Limited>(data, length, i, counters_, sink, rules, fault_, cut);
        cells.give_back();
        switch (stop) {
            case grammar::Stop::End:
                return Status::Ok;
            case grammar::Stop::Sink:
                return Status::Error;
            case grammar::Stop::Fault:
                return Status::Malformed;
            case grammar::Stop::Cut:
                break;
        }
        // The resumable road, from the digit-count character on.
        state_ = State::Digits;
        h_digits_ = digits_left_ = cut.digits;
        n_ = 0;
        pending_ = false;
        cell_u16_ = counters_.u16;
        counters_.after_terminator = false;
        ++i;
        ++counters_.u16;
        status = resume_digits(data, length, i);
        if (status == Status::Ok && state_ == State::Payload) status = resume_payload<Unit, Ascii>(data, length, i);
    }
    return status;
}

// The row-size limit is a template argument, so that reading without one
// (parse, and most decoders) pays nothing for it.
template <typename Enc, bool Ascii>
Scanner::Status Scanner::run_limited(const typename Enc::Unit* data, size_t length, PyObject* out) {
    if (max_row_size_ >= 0) return run<Enc, Ascii, true>(data, length, out);
    return run<Enc, Ascii, false>(data, length, out);
}

Scanner::Status Scanner::feed(PyObject* text, PyObject* out, bool final) {
    final_ = final;
    const size_t length = size_t(PyUnicode_GET_LENGTH(text));
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            if (PyUnicode_IS_ASCII(text))
                return run_limited<grammar::Ucs1, true>(static_cast<const Py_UCS1*>(data), length, out);
            return run_limited<grammar::Ucs1, false>(static_cast<const Py_UCS1*>(data), length, out);
        case PyUnicode_2BYTE_KIND:
            return run_limited<grammar::Ucs2, false>(static_cast<const Py_UCS2*>(data), length, out);
        default:
            // Four-byte storage is chosen only for text holding a code point
            // from U+10000 up.
            seen_astral_ = true;
            return run_limited<grammar::Ucs4, false>(static_cast<const Py_UCS4*>(data), length, out);
    }
}

Scanner::Status Scanner::finish() {
    switch (state_) {
        case State::Row:
            // Nothing read at all is a document of no rows.
            if (counters_.after_terminator || counters_.u16 == 0) return Status::Ok;
            break;
        case State::Decide:
            if (grammar::digits_end_report(seen_astral_) == Fault::Kind::UnexpectedToken) return pending_token();
            break;
        case State::Digits:
        case State::Payload:
            break;
    }
    grammar::end_at(fault_, counters_.u16, counters_.rows);
    return Status::Malformed;
}

}  // namespace vorn::codec
