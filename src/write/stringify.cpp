// Writing a table as one VORN document, in one pass, straight into the
// result string: the walk over rows and cells.
//
// The result (output.h) is sized before writing starts (sizing.h, from a
// sample of rows), grown when that falls short (interpreter code run
// during the walk may have changed the table), and rebuilt wider when a
// wider cell arrives, then at the width the rest of the table needs, so that
// it widens once.
//
// Cells that are str, or scalars whose text is known without interpreter
// code, take the fast road (fast_road.h) while the digit-count characters
// are known from HEX. Everything else (a cell that needs its string
// conversion, an HEX that must be looked up the slow way, a row that is an
// iterator) takes the general road for that cell, in the order the
// conversions and HEX look-ups must happen.
//
// The rule both roads live by: a call that can run interpreter code may
// change every list, row and global. No pointer, length or size read before
// such a call is used after it: rows and cells that are still needed are
// held by references of our own, and a list's items and length are read
// again after every such call. Every such call goes through Interp
// (interp.h), which forgets what was read of HEX. The fast road makes no
// such call at all.

#include "write/stringify.h"

#include <algorithm>

#include "write/fast_road.h"
#include "write/interp.h"
#include "write/output.h"
#include "common/ref.h"
#include "write/rows.h"
#include "write/sizing.h"
#include "write/str_layout.h"
#include "write/width.h"
#include "format/format.h"
#include "common/portable.h"

namespace vorn::codec {

namespace {

using format::decimal_width;

enum class Step { kRowEnd, kRedispatch, kFail };

class Serializer {
public:
    Serializer(PyObject* lists, const Host& host) : lists_(lists), interp_(host) {}

    PyObject* run() {
        if (is_sequence(lists_)) {
            table_is_sequence_ = true;
            const Sizing sizing = size_result(lists_);
            if (!out_.rebuild(sizing.capacity, sizing.width)) return nullptr;
        } else {
            if (!interp_.start(table_iter_, lists_)) return nullptr;
            if (!out_.rebuild(256, Width::kAscii)) return nullptr;
        }
        for (;;) {
            bool more;
            Step step;
            switch (out_.kind()) {
                case PyUnicode_1BYTE_KIND: step = walk<Py_UCS1>(more); break;
                case PyUnicode_2BYTE_KIND: step = walk<Py_UCS2>(more); break;
                default: step = walk<Py_UCS4>(more); break;
            }
            if (step == Step::kFail) return nullptr;
            if (!more) break;
        }
        if (bad_piece_) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", bad_index_,
                         Py_TYPE(bad_piece_.get())->tp_name);
            return nullptr;
        }
        return out_.finish(written_);
    }

private:
    // The fast road's working set, from the cursor of the result.
    template <typename Dst>
    fast::Run<Dst> fast_run() const {
        return fast::Run<Dst>{out_.span<Dst>(), interp_.hex_chars(), interp_.fast_digits(), out_.width(),
                              written_};
    }

    // Takes what the fast road wrote: its units, and the cells and row ends
    // it wrote counted as the pieces a join would have had.
    template <typename Dst>
    void commit(const fast::Run<Dst>& run, Py_ssize_t pieces) {
        out_.commit(run.at);
        written_ = run.written;
        pieces_ += pieces;
    }

    // The next row of the table into row_, or false at the end (or on error,
    // with it pending).
    bool next_row() {
        if (table_is_sequence_) {
            const Py_ssize_t rows = size_of(lists_);
            if (row_index_ >= rows) return false;
            PyObject** items = items_of(lists_);
            row_ = Ref::borrow(items[row_index_++]);
            // The row after next is fetched now, and the first cells of the
            // next row, whose header was fetched one row ago.
            if (row_index_ + 1 < rows) VORN_PREFETCH(items[row_index_ + 1]);
            if (row_index_ < rows && PyList_CheckExact(items[row_index_])) {
                PyObject* next = items[row_index_];
                PyObject** cells = items_of(next);
                const Py_ssize_t ahead = std::min(size_of(next), fast::kPrefetchAhead);
                for (Py_ssize_t c = 0; c < ahead; ++c) VORN_PREFETCH(cells[c]);
            }
        } else {
            row_ = Ref(interp_.next(table_iter_));
            if (!row_) return false;
        }
        row_is_sequence_ = is_sequence(row_.get());
        cell_index_ = 0;
        if (!row_is_sequence_ && !interp_.start(row_iter_, row_.get())) return false;
        return true;
    }

    // Ends the current row: writes ";" and lets go of the row (and of its
    // iterator, whose release may run finalizers).
    bool end_row() {
        if (!out_.ensure(1, Width::kAscii)) return false;
        switch (out_.kind()) {
            case PyUnicode_1BYTE_KIND: *out_.cursor<Py_UCS1>() = format::kRowTerminator; break;
            case PyUnicode_2BYTE_KIND: *out_.cursor<Py_UCS2>() = format::kRowTerminator; break;
            default: *out_.cursor<Py_UCS4>() = format::kRowTerminator; break;
        }
        out_.advance(1);
        ++pieces_;
        interp_.release(row_iter_);
        interp_.release(row_);
        in_row_ = false;
        return true;
    }

    // Walks rows and cells while the result keeps the width of Dst. Sets
    // more to false once the table is done.
    template <typename Dst>
    Step walk(bool& more) {
        more = true;
        for (;;) {
            if (!in_row_ && table_is_sequence_ && interp_.fast_digits() > 0) lean_rows<Dst>();
            if (!in_row_) {
                if (!next_row()) {
                    if (PyErr_Occurred()) return Step::kFail;
                    more = false;
                    return Step::kRowEnd;
                }
                in_row_ = true;
            }
            const Step step = row_is_sequence_ ? sequence_row<Dst>() : iterated_row<Dst>();
            if (step != Step::kRowEnd) return step;
            if (!end_row()) return Step::kFail;
            if (out_.kind() != int(sizeof(Dst))) return Step::kRedispatch;
        }
    }

    // Whole rows of an exact list or tuple table whose rows are exact lists
    // or tuples of str, written by the fast road with rows borrowed from the
    // table: nothing here runs interpreter code, so they stay valid. Stops at
    // the first row the fast road cannot finish, which then becomes the
    // current row, held by a reference of our own, from the cell where it
    // stopped.
    template <typename Dst>
    void lean_rows() {
        PyObject** items = items_of(lists_);
        const Py_ssize_t rows = size_of(lists_);
        fast::Run<Dst> run = fast_run<Dst>();
        Py_ssize_t r = row_index_;
        Py_ssize_t pieces = 0;
        for (; r < rows; ++r) {
            PyObject* row = items[r];
            if (!is_sequence(row)) break;
            // Each level of the table is fetched ahead, two rows before the
            // next level needs it: the row header six rows on, its item array
            // four rows on, the first cells two rows on.
            if (r + 6 < rows) VORN_PREFETCH(items[r + 6]);
            if (r + 4 < rows && PyList_CheckExact(items[r + 4]))
                VORN_PREFETCH(reinterpret_cast<PyListObject*>(items[r + 4])->ob_item);
            if (r + 2 < rows && is_sequence(items[r + 2])) {
                PyObject** next = items_of(items[r + 2]);
                const Py_ssize_t ahead = std::min(size_of(items[r + 2]), fast::kPrefetchAhead);
                for (Py_ssize_t k = 0; k < ahead; ++k) VORN_PREFETCH(next[k]);
            }
            const Py_ssize_t count = size_of(row);
            const Py_ssize_t c = fast::cells(items_of(row), 0, count, run);
            if (c < count || run.at.w == run.at.end) {
                pieces += 3 * c;
                row_ = Ref::borrow(row);
                row_index_ = r + 1;
                row_is_sequence_ = true;
                cell_index_ = c;
                in_row_ = true;
                break;
            }
            *run.at.w++ = Dst(format::kRowTerminator);
            pieces += 3 * count + 1;
        }
        if (!in_row_) row_index_ = r;
        commit(run, pieces);
    }

    // The cells of an exact list or tuple row, from cell_index_ on.
    template <typename Dst>
    Step sequence_row() {
        PyObject* row = row_.get();
        for (;;) {
            PyObject** cells = items_of(row);
            const Py_ssize_t count = size_of(row);
            fast::Run<Dst> run = fast_run<Dst>();
            const Py_ssize_t c = fast::cells(cells, cell_index_, count, run);
            commit(run, 3 * (c - cell_index_));
            const int fast_digits = run.fast_digits;
            const Width out = run.out;
            cell_index_ = c;
            if (c >= count) return Step::kRowEnd;

            // The fast road stopped at this cell.
            PyObject* cell = cells[c];
            if (PyUnicode_Check(cell) && fast_digits > 0 && layout::width(cell) <= out &&
                layout::length(cell) + kCellReserve > out_.room()) {
                // Only the room was short: the fast road keeps a margin for
                // its wide moves. When the cell itself fits, as the last
                // cells of a well estimated document may, the general road
                // writes it without growing the result.
                const Py_ssize_t n = layout::length(cell);
                const uint64_t most = layout::kind(cell) == PyUnicode_4BYTE_KIND ? 2 * uint64_t(n) : uint64_t(n);
                if (1 + decimal_width(most) + n > out_.room()) {
                    if (!out_.grow(n + kCellReserve)) return Step::kFail;
                    continue;
                }
            }
            if (PyUnicode_Check(cell)) {
                if (fast_digits == 0) {
                    interp_.refresh_hex();
                    if (interp_.fast_digits() > 0) continue;
                } else if (layout::width(cell) > out) {
                    if (!widen(layout::width(cell))) return Step::kFail;
                    return Step::kRedispatch;
                }
            }
            ++cell_index_;
            if (!general_cell(Ref::borrow(cell))) return Step::kFail;
            if (out_.kind() != int(sizeof(Dst))) return Step::kRedispatch;
        }
    }

    // The cells of a row that is walked through its iterator. Each next
    // item may have run interpreter code, so what is known of HEX is asked
    // for again (in constant time) before a str cell takes the fast road.
    template <typename Dst>
    Step iterated_row() {
        for (;;) {
            Ref item(interp_.next(row_iter_));
            if (!item) return PyErr_Occurred() ? Step::kFail : Step::kRowEnd;
            if (PyUnicode_Check(item.get())) {
                interp_.refresh_hex();
                PyObject* one[1] = {item.get()};
                fast::Run<Dst> run = fast_run<Dst>();
                if (fast::cells(one, 0, 1, run) == 1) {
                    commit(run, 3);
                    interp_.release(item);
                    continue;
                }
            }
            if (!general_cell(std::move(item))) return Step::kFail;
            if (out_.kind() != int(sizeof(Dst))) return Step::kRedispatch;
        }
    }

    // Rebuilds the result at least at width w, and at the widest width of
    // the str cells still to come, so that one rebuild serves the rest.
    VORN_NOINLINE bool widen(Width w) {
        Width target = w;
        if (table_is_sequence_) {
            const Py_ssize_t rows = size_of(lists_);
            PyObject** items = items_of(lists_);
            for (Py_ssize_t r = row_index_ - 1; r < rows && target < Width::kUcs4; ++r) {
                PyObject* row = r == row_index_ - 1 ? row_.get() : items[r];
                if (!is_sequence(row)) continue;
                PyObject** cells = items_of(row);
                const Py_ssize_t n = size_of(row);
                for (Py_ssize_t c = r == row_index_ - 1 ? cell_index_ : 0; c < n; ++c)
                    if (PyUnicode_Check(cells[c])) target = widest(target, layout::width(cells[c]));
            }
        }
        return out_.rebuild(out_.length() + (out_.room() > 0 ? out_.room() : 64), target);
    }

    // One cell by the general road: its string conversion, its length, HEX
    // looked up for it, then the three pieces. Whatever the cell's text, the
    // converted text or HEX had as its last reference is released by the
    // end of the step, and a finalizer may have run then.
    bool general_cell(Ref item) {
        Interp::Scope step(interp_);
        Ref held = std::move(item);
        return write_general_cell(held);
    }

    bool write_general_cell(Ref& item) {
        Ref v;
        if (PyUnicode_Check(item.get())) {
            v = std::move(item);
        } else {
            v = Ref(interp_.str(item.get()));
            if (!v) return false;
        }
        const int64_t u16_len = layout::utf16_length(v.get());
        const int digits = decimal_width(uint64_t(u16_len));
        if (interp_.fast_digits() == 0) interp_.refresh_hex();
        if (digits <= interp_.fast_digits()) {
            if (!out_.put_char(Py_UCS4(interp_.hex_chars()[digits - 1]))) return false;
        } else {
            Ref hex(interp_.lookup_hex());
            if (!hex) return false;
            if (PyUnicode_CheckExact(hex.get()) && digits <= layout::length(hex.get())) {
                const Py_UCS4 c = layout::char_at(hex.get(), digits - 1);
                if (!out_.put_char(c)) return false;
                written_ = widest(written_, width_of_char(c));
            } else {
                Ref piece(interp_.subscript(hex.get(), digits - 1));
                if (!piece) return false;
                if (PyUnicode_Check(piece.get())) {
                    if (!out_.put_str(piece.get())) return false;
                    if (layout::length(piece.get()) > 0) written_ = widest(written_, layout::width(piece.get()));
                } else if (!bad_piece_) {
                    // Writing goes on so that every conversion and look-up
                    // still happens in order; the TypeError that joining the
                    // pieces would give is raised at the end.
                    bad_piece_ = std::move(piece);
                    bad_index_ = pieces_;
                }
            }
        }
        if (!out_.put_number(uint64_t(u16_len), digits) || !out_.put_str(v.get())) return false;
        if (layout::length(v.get()) > 0) written_ = widest(written_, layout::width(v.get()));
        pieces_ += 3;
        return true;
    }

    PyObject* lists_;  // borrowed: the caller holds it
    Interp interp_;
    Output out_;
    bool table_is_sequence_ = false;
    Py_ssize_t row_index_ = 0;
    Iteration table_iter_;
    Ref row_;
    bool in_row_ = false;
    bool row_is_sequence_ = false;
    Py_ssize_t cell_index_ = 0;
    Iteration row_iter_;
    // Pieces a join of the document would have had so far (three per cell,
    // one per row end), for its "sequence item N" message.
    Py_ssize_t pieces_ = 0;
    // The widest width written so far: the result is trimmed to it.
    Width written_ = Width::kAscii;
    Ref bad_piece_;
    Py_ssize_t bad_index_ = 0;
};

}  // namespace

PyObject* stringify(PyObject* lists, const Host& host) {
    Serializer serializer(lists, host);
    return serializer.run();
}

}  // namespace vorn::codec
