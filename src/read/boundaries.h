// Row boundaries of a VORN document held as UTF-8 bytes, found without
// decoding it: each cell's payload is hopped over by its declared length,
// counting UTF-16 units in its bytes (format/utf8.h), so a ';' or a digit
// inside a cell never passes for structure. It is the read grammar's walk
// (read/grammar.h) over UTF-8 with a sink that keeps only row ends.
//
// The bytes may come in chunks. A chunk is read up to a point the finder
// can resume from and the unread tail (a few dozen bytes at most) is left
// to the caller, who hands it back in front of the next chunk. The finder
// reports every row end at or after a moving byte threshold: the cuts that
// split a file into ranges of about a given size.
//
// It checks the document's structure as parse does, and reports what parse
// would report for the whole text, but not that the cell texts are valid
// UTF-8: each range is decoded strictly when it is read. No bytes at all
// are a document of no rows. Nothing here calls the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "read/fault.h"
#include "read/grammar.h"

namespace vorn::codec {

class BoundaryFinder {
public:
    enum class Step : uint8_t {
        More,       // read up to `consumed`; hand back the rest with more bytes
        Cut,        // a row ends at cut_offset(): a range may end there
        Done,       // the final chunk ends a well-formed document
        Malformed,  // see fault()
    };

    // Bytes a row element needs in view to be read without resuming: the
    // digit-count character, up to 16 digits (four bytes each should they be
    // something else) and one character after them, which settles how a
    // malformed prefix is reported. A caller's chunks hold more than this.
    static constexpr size_t kLookahead = 80;

    // size: the least bytes of a range before it may end at a row end.
    // Sizes beyond any file are taken as 2^62, so that offsets plus a size
    // stay far from overflowing.
    explicit BoundaryFinder(int64_t size)
        : size_(size < kLargest ? size : kLargest), next_cut_(size_) {}

    // Reads data[pos..length) from *pos, which it advances. final says that
    // no byte follows data[length - 1]. Returns at each cut, so the caller
    // calls again with the same chunk and the advanced pos until More.
    Step feed(const uint8_t* data, size_t length, size_t* pos, bool final);

    // After a Cut: the next call's data begins pos bytes further on (with
    // pos 0), instead of the same chunk again with the advanced pos, so that
    // the caller may move the bytes after the cut elsewhere.
    void advance(size_t pos) { base_ += int64_t(pos); }
    // From the last cut on, ranges take at least size bytes.
    void set_size(int64_t size) {
        size_ = size < kLargest ? size : kLargest;
        next_cut_ = cut_offset_ + size_;
    }

    // Takes up the walk at a row start, base bytes into the document, with
    // the counters a reader kept up to there; no cut is made after it.
    void resume(const grammar::Counters& counters, int64_t base) {
        counters_ = counters;
        base_ = cut_offset_ = base;
        owed_ = 0;
        in_payload_ = false;
        size_ = next_cut_ = kLargest;
    }

    // Byte offsets in it count from the start of the document.
    const Fault& fault() const { return fault_; }
    int64_t cut_offset() const { return cut_offset_; }
    int64_t rows() const { return counters_.rows; }
    int64_t position() const { return counters_.u16; }
    const grammar::Counters& counters() const { return counters_; }

private:
    static constexpr int64_t kLargest = int64_t(1) << 62;

    Step hop_payload(const uint8_t* data, size_t length, size_t& p, bool final);
    Step malformed();

    int64_t size_;
    int64_t next_cut_;
    int64_t cut_offset_ = 0;
    int64_t base_ = 0;     // byte offset of the chunk's first byte
    int64_t owed_ = 0;     // units a payload still owes
    bool in_payload_ = false;   // hopping a payload (owed_ == 0: its last sequence's tail)
    grammar::Counters counters_;
    Fault fault_;
};

// Whether a row seems to begin at text[0], with length bytes in view and
// final when nothing follows them: the rows read from there, up to a few
// or 64 KiB, meet no fault and have `width` cells each (fewer too, when
// pad; any width the first of them has, when width is negative). A guess
// only: a cell's text may hold such bytes, so whoever cuts at a guess has
// it confirmed by a walk from a known row start. More when the bytes in
// view (fewer than the window, not final) do not settle it.
enum class Sync : uint8_t { Yes, No, More };
Sync seems_row_start(const uint8_t* text, size_t length, bool final, int64_t width, bool pad);

}  // namespace vorn::codec
