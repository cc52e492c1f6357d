// Row boundaries of a VORN document held as UTF-8 bytes, found without
// decoding it: each cell's payload is hopped over by its declared length,
// counting UTF-16 units in its bytes (a sequence of four bytes counts two,
// every other sequence one), so a ';' or a digit inside a cell never passes
// for structure.
//
// The bytes may come in chunks. A chunk is read up to a point the finder
// can resume from and the unread tail (a few dozen bytes at most) is left
// to the caller, who hands it back in front of the next chunk. The finder
// reports every row end at or after a moving byte threshold: the cuts that
// split a file into ranges of about a given size.
//
// It checks the document's structure as parse does, and reports what parse
// would report for the whole text, but not that the cell texts are valid
// UTF-8: each range is decoded strictly when it is read. Nothing here calls
// the interpreter.
//
// The finder is a template over a sink that is told of every cell and every
// row end. NullSink (the partition pass) is told nothing and costs nothing;
// a sink that keeps cells (the columnar reader) needs each payload in view
// whole, so it is fed a whole document, or a range of whole rows, at once
// and final.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::codec {

struct BoundaryFault {
    enum class Kind : uint8_t {
        None,
        UnexpectedToken,  // ch at position
        UnexpectedEnd,    // the input ended: position is the document's length
        InvalidUtf8,  // a structural character is not valid UTF-8, at byte
        Stopped,      // the sink refused a cell or a row (it says why)
    };
    Kind kind = Kind::None;
    uint32_t ch = 0;
    int64_t position = 0;  // UTF-16 units from the start of the document
    int64_t row = 0;
    int64_t byte = 0;  // byte offset from the start of the document
};

// The sink of the partition pass: told nothing.
struct NullSink {
    static constexpr bool kCells = false;
    bool cell(const uint8_t*, size_t, int64_t, int64_t) { return true; }
    bool row_end(int64_t) { return true; }
};

// A sink has kCells true and two calls, each returning false to stop the
// read: cell(payload, bytes, prefix_u16, end_u16) for each cell, with the
// UTF-16 offsets of its prefix and of the unit after its payload, and
// row_end(u16) for each row terminator, at its offset.
template <typename Sink>
class BasicBoundaryFinder {
public:
    enum class Step : uint8_t {
        More,       // read up to `consumed`; hand back the rest with more bytes
        Cut,        // a row ends at cut_offset(): a range may end there
        Done,       // the final chunk ends a well-formed document
        Malformed,  // see fault()
    };

    // size: the least bytes of a range before it may end at a row end.
    // Sizes beyond any file are taken as 2^62, so that offsets plus a size
    // stay far from overflowing.
    explicit BasicBoundaryFinder(int64_t size, Sink* sink = nullptr)
        : size_(size < kLargest ? size : kLargest), next_cut_(size_), sink_(sink) {}

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

    const BoundaryFault& fault() const { return fault_; }
    int64_t cut_offset() const { return cut_offset_; }
    int64_t rows() const { return rows_; }
    int64_t position() const { return u16_; }

private:
    static constexpr int64_t kLargest = int64_t(1) << 62;

    Step hop_payload(const uint8_t* data, size_t length, size_t& p, bool final);
    [[gnu::cold, gnu::noinline]] Step prefix_fault(const uint8_t* data, size_t length, size_t p);
    [[gnu::cold, gnu::noinline]] Step end_fault(const uint8_t* data, size_t length, size_t p);
    [[gnu::cold, gnu::noinline]] Step token_fault(const uint8_t* data, size_t length, size_t p, int64_t u16);

    int64_t size_;
    int64_t next_cut_;
    Sink* sink_;
    int64_t cut_offset_ = 0;
    int64_t base_ = 0;   // byte offset of the chunk's first byte
    int64_t u16_ = 0;    // UTF-16 units read
    int64_t rows_ = 0;   // rows ended
    int64_t owed_ = 0;   // units a payload still owes
    bool in_payload_ = false;   // hopping a payload (owed_ == 0: its last sequence's tail)
    bool after_terminator_ = false;
    bool seen_astral_ = false;  // a character from U+10000 up was hopped
    BoundaryFault fault_;
};

using BoundaryFinder = BasicBoundaryFinder<NullSink>;

}  // namespace vorn::codec
