#include "read/scanner.h"

#include "format/format.h"
#include "format/utf16.h"

namespace vorn::codec {

namespace {

using format::is_decimal_digit;
using format::kRowTerminator;
using format::length_digits_of;

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

// UTF-16 units of one code point.
inline int64_t units_of(uint32_t ch) { return ch >= 0x10000u ? 2 : 1; }

}  // namespace

Scanner::Status Scanner::malformed(Malformation::Kind kind, uint32_t ch, int64_t position) {
    failed_ = true;
    malformation_ = {kind, ch, position, rows_};
    return Status::Malformed;
}

Scanner::Status Scanner::push_cell(PyObject* cell) {
    if (!cell || !cells_.push(cell)) {
        failed_ = true;
        return Status::Error;
    }
    return Status::Ok;
}

Scanner::Status Scanner::push_part(PyObject* part) {
    if (!part) {
        failed_ = true;
        return Status::Error;
    }
    Ref held(part);
    if (!parts_) {
        parts_.reset(PyList_New(0));
        if (!parts_) {
            failed_ = true;
            return Status::Error;
        }
    }
    if (PyList_Append(parts_.get(), part) < 0) {
        failed_ = true;
        return Status::Error;
    }
    return Status::Ok;
}

// A complete prefix announcing h_digits digits of value n: checks the row's
// size and either adds the empty cell or enters its payload.
Scanner::Status Scanner::begin_cell(int64_t h_digits, int64_t n, int64_t cell_u16, int64_t payload_u16) {
    if (max_row_size_ >= 0 && row_size_ + 2 + h_digits + n > max_row_size_)
        return malformed(Malformation::Kind::RowTooLong, 0, cell_u16);
    row_size_ += 1 + h_digits + n;
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
Scanner::Status Scanner::resume_digits(const Unit* data, Py_ssize_t length, Py_ssize_t& i, int64_t& u16) {
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
        // With every digit present, a document holding a character from
        // U+10000 up reports the non-digit; any other waits for one more
        // unit, without which the input ended inside the cell.
        if (seen_astral_ || i < length) return pending_token();
        state_ = State::Decide;
        return Status::Ok;
    }
    return begin_cell(h_digits_, n_, cell_u16_, u16);
}

// Reads the rest of a payload: whole when it ends inside this piece,
// otherwise kept as a part (unless the input ends here).
template <typename Unit, bool Ascii>
Scanner::Status Scanner::resume_payload(const Unit* data, Py_ssize_t length, Py_ssize_t& i, int64_t& u16) {
    const Py_ssize_t start = i;
    PyObject* cell;
    if constexpr (!kWide<Unit>) {
        const Py_ssize_t avail = length - i;
        if (owed_ > avail) {
            owed_ -= avail;
            i = length;
            u16 += avail;
            return final_ ? Status::Ok : push_part(make_cell<Unit, Ascii>(data + start, avail));
        }
        i += Py_ssize_t(owed_);
        u16 += owed_;
        owed_ = 0;
        if (final_ && i == length) {
            // Nothing can follow the cell: the document ends unfinished.
            state_ = State::Row;
            return Status::Ok;
        }
        cell = make_cell<Unit, Ascii>(data + start, i - start);
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
            return final_ ? Status::Ok : push_part(make_cell_ucs4(data + start, i - start, widest));
        }
        if (accum > owed_) {
            // The declared length ends between the two UTF-16 units of ch.
            return malformed(Malformation::Kind::UnexpectedToken, format::trailing_surrogate(ch),
                             payload_u16_ + target_);
        }
        u16 += accum;
        owed_ = 0;
        if (final_ && i == length) {
            state_ = State::Row;
            return Status::Ok;
        }
        cell = make_cell_ucs4(data + start, i - start, widest);
    }
    state_ = State::Row;
    if (!parts_) return push_cell(cell);
    if (push_part(cell) != Status::Ok) return Status::Error;
    // The cell's pieces joined once, so a cell spread over many pieces is
    // copied twice at most whatever its length.
    Ref parts(parts_.release());
    Ref empty(PyUnicode_New(0, 0));
    if (!empty) {
        failed_ = true;
        return Status::Error;
    }
    return push_cell(PyUnicode_Join(empty.get(), parts.get()));
}

// One loop per storage width. The fast road reads a whole cell when its
// prefix and payload lie inside the piece with at least one unit after
// them, as parse of a whole document does, keeping its state in locals; a
// cell cut by the end of the piece is read on the resumable road.
template <typename Unit, bool Ascii, bool Limited>
Scanner::Status Scanner::run(const Unit* data, Py_ssize_t length, PyObject* out) {
    Py_ssize_t i = 0;
    int64_t u16 = u16_;
    Status status = Status::Ok;

    // Whatever the previous piece left open.
    switch (state_) {
        case State::Row:
            break;
        case State::Decide:
            if (length > 0) return pending_token();
            break;
        case State::Digits:
            status = resume_digits(data, length, i, u16);
            if (status == Status::Ok && state_ == State::Payload)
                status = resume_payload<Unit, Ascii>(data, length, i, u16);
            break;
        case State::Payload:
            status = resume_payload<Unit, Ascii>(data, length, i, u16);
            break;
    }

    const int64_t limit = max_row_size_ < 0 ? INT64_MAX : max_row_size_;
    while (status == Status::Ok && state_ == State::Row && i < length) {
        // The open row's cells, held in a local on the fast road so that
        // the loop keeps them in registers; handed back on every way out.
        LocalCells cells(cells_);
        int64_t row_size = row_size_;
        bool after_terminator = after_terminator_;
        int64_t h_digits = 0;
        int64_t n = 0;
        bool cut = false;  // the cell reaches the end of the piece
        // In one- and two-byte storage every unit is one UTF-16 unit, so the
        // offset follows from the index and is not kept in the loop.
        const int64_t base = u16 - i;
        auto offset = [&](Py_ssize_t at) { return kWide<Unit> ? u16 + (at - i) : base + at; };
        while (i < length) {
            const uint32_t c = data[i];
            if (c == kRowTerminator) {
                if (!append_row(cells.stack, out)) {
                    failed_ = true;
                    return Status::Error;
                }
                ++rows_;
                row_size = 0;
                ++i;
                if constexpr (kWide<Unit>) ++u16;
                after_terminator = true;
                continue;
            }
            after_terminator = false;
            h_digits = length_digits_of(c);
            if (h_digits == 0) return malformed(Malformation::Kind::UnexpectedToken, c, offset(i));
            const Py_ssize_t char_start = i + 1 + Py_ssize_t(h_digits);
            if (char_start >= length) {
                cut = true;
                break;
            }
            n = 0;
            for (Py_ssize_t j = i + 1; j < char_start; ++j) {
                const uint32_t d = data[j];
                // A unit follows the digits, so this is the report whatever
                // the rest of the document holds.
                if (!is_decimal_digit(d))
                    return malformed(Malformation::Kind::UnexpectedToken, d, offset(j));
                n = n * 10 + int64_t(d - '0');
            }
            if (Limited && row_size + 2 + h_digits + n > limit)
                return malformed(Malformation::Kind::RowTooLong, 0, offset(i));
            PyObject* cell = nullptr;
            Py_ssize_t next = 0;
            if constexpr (!kWide<Unit>) {
                if (n < length - char_start) {
                    cell = make_cell<Unit, Ascii>(data + char_start, Py_ssize_t(n));
                    next = char_start + Py_ssize_t(n);
                }
            } else {
                // A payload that holds nothing above U+FFFF is as many code
                // points long as its declared length: tried first, and
                // confirmed by one vectorized pass that also gives the
                // cell's storage class.
                if (n < length - char_start) {
                    const uint32_t bits = format::or_fold(data + char_start, n);
                    if (bits < 0x10000u) {
                        cell = make_cell_ucs4(data + char_start, Py_ssize_t(n), bits);
                        next = char_start + Py_ssize_t(n);
                    }
                }
                if (!next) {
                    // Walk the payload's code points; whole blocks of eight
                    // add at most sixteen units, so while more than that is
                    // missing none of them can end the payload.
                    int64_t accum = 0;
                    uint32_t widest = 0;
                    uint32_t ch = 0;
                    Py_ssize_t k = char_start;
                    while (accum < n) {
                        while (length - k >= 8 && n - accum > 16) {
                            const format::Ucs4Summary block = format::summarize_ucs4(data + k, 8);
                            accum += 8 + block.astral;
                            widest = block.max > widest ? block.max : widest;
                            k += 8;
                        }
                        if (k == length) break;
                        ch = data[k];
                        accum += units_of(ch);
                        widest = ch > widest ? ch : widest;
                        ++k;
                    }
                    if (accum > n) {
                        return malformed(Malformation::Kind::UnexpectedToken, format::trailing_surrogate(ch),
                                         u16 + 1 + h_digits + n);
                    }
                    if (accum == n && k < length) {
                        cell = make_cell_ucs4(data + char_start, k - char_start, widest);
                        next = k;
                    }
                }
            }
            if (!next) {
                cut = true;
                break;
            }
            if (!cell || !cells.stack.push(cell)) {
                failed_ = true;
                return Status::Error;
            }
            if constexpr (Limited) row_size += 1 + h_digits + n;
            if constexpr (kWide<Unit>) u16 += 1 + h_digits + n;
            i = next;
        }
        if constexpr (!kWide<Unit>) u16 = base + i;
        row_size_ = row_size;
        after_terminator_ = after_terminator;
        cells.give_back();
        if (!cut) break;
        // The resumable road, from the digit-count character on.
        state_ = State::Digits;
        h_digits_ = digits_left_ = h_digits;
        n_ = 0;
        pending_ = false;
        cell_u16_ = u16;
        ++i;
        ++u16;
        status = resume_digits(data, length, i, u16);
        if (status == Status::Ok && state_ == State::Payload)
            status = resume_payload<Unit, Ascii>(data, length, i, u16);
    }
    u16_ = u16;
    if (status == Status::Error) failed_ = true;
    return status;
}

// The row-size limit is a template argument, so that reading without one
// (parse, and most decoders) pays nothing for it.
template <typename Unit, bool Ascii>
Scanner::Status Scanner::run_limited(const Unit* data, Py_ssize_t length, PyObject* out) {
    if (max_row_size_ >= 0) return run<Unit, Ascii, true>(data, length, out);
    return run<Unit, Ascii, false>(data, length, out);
}

Scanner::Status Scanner::feed(PyObject* text, PyObject* out, bool final) {
    final_ = final;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            if (PyUnicode_IS_ASCII(text))
                return run_limited<Py_UCS1, true>(static_cast<const Py_UCS1*>(data), length, out);
            return run_limited<Py_UCS1, false>(static_cast<const Py_UCS1*>(data), length, out);
        case PyUnicode_2BYTE_KIND:
            return run_limited<Py_UCS2, false>(static_cast<const Py_UCS2*>(data), length, out);
        default:
            // Four-byte storage is chosen only for text holding a code point
            // from U+10000 up.
            seen_astral_ = true;
            return run_limited<uint32_t, false>(static_cast<const uint32_t*>(data), length, out);
    }
}

Scanner::Status Scanner::finish() {
    switch (state_) {
        case State::Row:
            if (after_terminator_) return Status::Ok;
            break;
        case State::Decide:
            if (seen_astral_) return pending_token();
            break;
        case State::Digits:
        case State::Payload:
            break;
    }
    return malformed(Malformation::Kind::UnexpectedEnd, 0, u16_);
}

}  // namespace vorn::codec
