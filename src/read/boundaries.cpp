#include "read/boundaries.h"

#include "format/format.h"
#include "format/utf8.h"

namespace vorn::codec {

namespace {

// The boundary finder's sink: cells are hopped and kept nowhere; the walk
// stops at the first row end at or after the next cut.
struct CutSink {
    int64_t cut_at;  // as an index into the chunk
    size_t needed;   // BoundaryFinder::kLookahead, or 0 in the final chunk

    VORN_ALWAYS_INLINE bool cell(const uint8_t*, size_t, int64_t, uint32_t) { return true; }
    VORN_ALWAYS_INLINE bool row_end(size_t next, int64_t) { return int64_t(next) < cut_at; }
    VORN_ALWAYS_INLINE size_t lookahead() const { return needed; }
};

}  // namespace

BoundaryFinder::Step BoundaryFinder::malformed() {
    // The walk's byte offsets are indexes into the chunk.
    if (fault_.byte >= 0) fault_.byte += base_;
    return Step::Malformed;
}

// Hops the rest of a payload: Done when it ends inside data (pos then just
// after it), More when data ends first, Malformed when the declared length
// ends inside a character of two UTF-16 units or the input ends.
BoundaryFinder::Step BoundaryFinder::hop_payload(const uint8_t* data, size_t length, size_t& pos, bool final) {
    size_t p = pos;
    if (owed_ > 0) {
        const format::Utf16Hop hop = format::hop_utf16(data + p, length - p, owed_);
        counters_.astral |= hop.astral;
        p += hop.bytes;
        owed_ -= hop.units;
        counters_.u16 += hop.units;
        if (owed_ > 0) {
            pos = p;
            if (p < length) {
                // One unit owed, and a character of two begins at data[p].
                if (!final && length - p < 4) return Step::More;
                uint32_t cp = 0;
                if (format::decode_utf8(data + p, length - p, &cp))
                    grammar::split_character(fault_, cp, counters_.u16 + 1, counters_.rows, int64_t(p));
                else
                    grammar::invalid_utf8(fault_, data + p, length - p, counters_.u16, counters_.rows, int64_t(p));
                return malformed();
            }
            if (!final) return Step::More;
            grammar::end_at(fault_, counters_.u16, counters_.rows, int64_t(length));
            return malformed();
        }
    }
    // The rest of the payload's last character.
    while (p < length && format::is_continuation(data[p])) ++p;
    pos = p;
    if (p == length && !final) return Step::More;
    in_payload_ = false;
    return Step::Done;
}

BoundaryFinder::Step BoundaryFinder::feed(const uint8_t* data, size_t length, size_t* pos, bool final) {
    size_t p = *pos;
    Step step = Step::More;
    if (in_payload_) {
        step = hop_payload(data, length, p, final);
        if (step != Step::Done) {
            if (step == Step::More) base_ += int64_t(p);
            *pos = p;
            return step;
        }
    }
    // The end-of-input rule asks whether the document holds a character from
    // U+10000 up before the fault; in a well-formed document only a payload
    // can, and the walk and the hops keep that in counters_.astral.
    const grammar::Rules rules;
    for (;;) {
        CutSink sink{next_cut_ - base_, final ? 0 : kLookahead};
        grammar::Cut cut;
        const grammar::Stop stop = grammar::read_elements<grammar::Utf8, false>(data, length, p, counters_, sink,
                                                                                 rules, fault_, cut);
        if (stop == grammar::Stop::End) break;
        if (stop == grammar::Stop::Sink) {
            cut_offset_ = base_ + int64_t(p);
            next_cut_ = cut_offset_ + size_;
            *pos = p;
            return Step::Cut;
        }
        if (stop == grammar::Stop::Fault) {
            *pos = p;
            return malformed();
        }
        // An element the chunk cuts short.
        if (!cut.prefix_whole) {
            if (!final) break;  // its bytes are handed back
            *pos = p;
            grammar::prefix_fault<grammar::Utf8>(fault_, data, length, p, counters_.u16, counters_.rows, counters_.astral);
            return malformed();
        }
        // A payload the chunk cuts short: hopped on from its first byte.
        p += size_t(1 + cut.digits);
        counters_.u16 += 1 + cut.digits;
        owed_ = cut.length;
        in_payload_ = true;
        step = hop_payload(data, length, p, final);
        if (step != Step::Done) {
            if (step == Step::More) base_ += int64_t(p);
            *pos = p;
            return step;
        }
    }
    *pos = p;
    if (final) {
        // No bytes at all are a document of no rows.
        if (p == length && (counters_.after_terminator || counters_.u16 == 0)) return Step::Done;
        grammar::end_at(fault_, counters_.u16 + format::utf16_units(data + p, length - p), counters_.rows,
                        int64_t(length));
        return malformed();
    }
    base_ += int64_t(p);
    return Step::More;
}

namespace {

struct SyncSink {
    int64_t width;  // negative: the first row's
    bool pad;
    int64_t cells = 0;
    int rows = 0;
    bool bad = false;

    static constexpr int kRows = 4;

    VORN_ALWAYS_INLINE bool cell(const uint8_t*, size_t, int64_t, uint32_t) {
        ++cells;
        if (width < 0 || cells <= width) return true;
        bad = true;
        return false;
    }
    VORN_ALWAYS_INLINE bool row_end(size_t, int64_t) {
        if (width < 0) width = cells;
        if (cells != width && !(pad && cells < width)) {
            bad = true;
            return false;
        }
        cells = 0;
        return ++rows < kRows;
    }
};

constexpr size_t kSyncWindow = size_t(64) << 10;

}  // namespace

Sync seems_row_start(const uint8_t* text, size_t length, bool final, int64_t width, bool pad) {
    const size_t window = length < kSyncWindow ? length : kSyncWindow;
    const bool whole = window == length;
    SyncSink sink{width, pad};
    grammar::Counters counters;
    counters.after_terminator = true;
    grammar::Rules rules;
    grammar::Cut cut;
    Fault fault;
    size_t pos = 0;
    const grammar::Stop stop =
        grammar::read_elements<grammar::Utf8, false>(text, window, pos, counters, sink, rules, fault, cut);
    if (sink.bad || stop == grammar::Stop::Fault) return Sync::No;
    if (stop == grammar::Stop::Sink) return Sync::Yes;
    if (!whole) return Sync::Yes;  // rows longer than the window: no fault in it
    if (!final) return Sync::More;
    // At the end of the input: whole rows, or a malformed end.
    return stop == grammar::Stop::End && counters.after_terminator ? Sync::Yes : Sync::No;
}

}  // namespace vorn::codec
