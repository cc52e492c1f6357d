// The columnar reader's sink: each cell's UTF-8 bytes appended to the
// buffers of its column (Arrow's layouts: 32- or 64-bit offsets and the
// bytes, or 16-byte views and the bytes of the cells that do not fit in
// one), so that a range of whole rows becomes one record batch without an
// object per cell. The boundary finder walks the rows and hands each cell
// over (read/grammar.h); nothing here calls the interpreter.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/arrow_c.h"
#include "common/byte_buffer.h"
#include "common/portable.h"

namespace vorn::codec {

using vorn::ByteBuffer;

// Bytes readable past the end of the columnar reader's input, so that a
// short payload at its end is copied in one sixteen-byte move.
inline constexpr size_t kInputPadding = 64;

enum class StringLayout : uint8_t {
    Large,  // 64-bit offsets (Arrow "U")
    Small,  // 32-bit offsets (Arrow "u"); a batch holds at most 2^31 - 1 bytes
    View,   // 16-byte views (Arrow "vu"), one data buffer
};

// What a reader builds of each row: the cells a row must have, which of
// them become which column, and the limits.
struct ColumnPlan {
    int64_t width = 0;                // cells per row (the header's)
    const int32_t* slot_of = nullptr;  // per cell: the column it goes to, or -1
    int32_t slots = 0;                 // columns built
    bool pad = false;                  // short rows are filled with empty cells
    StringLayout layout = StringLayout::Large;
    // Per column, the bytes of data and of index the last batch took (two
    // entries a column, or null): the next batch reserves about as much.
    // Any thread that makes a batch updates them; a stale value only makes
    // a buffer grow once more, or reserve more than it needs.
    std::atomic<size_t>* last_sizes = nullptr;
};

// What the sink refused. Rows count from the start of the sink's input.
struct SinkFault {
    enum class Kind : uint8_t {
        None,
        Ragged,  // row has cells cells, not width
        NoMemory,
        TooLarge,  // a column of the batch exceeds the 32-bit layout
    };
    Kind kind = Kind::None;
    int64_t row = 0;
    int64_t cells = 0;
    int32_t slot = 0;  // TooLarge: the column
};

struct ColumnBuffers {
    ByteBuffer index;  // offsets, or views
    ByteBuffer data;
};

class ColumnSink {
public:
    static constexpr bool kCells = true;

    explicit ColumnSink(const ColumnPlan& plan) : plan_(plan) {}
    ColumnSink(const ColumnSink&) = delete;
    ColumnSink& operator=(const ColumnSink&) = delete;
    ~ColumnSink() { delete[] columns_; }

    // Allocates the columns for input of about input_size bytes; false
    // when memory ran out. Room is reserved, not touched: the pages of an
    // estimate too large are never faulted in.
    bool init(size_t input_size = 0);

    VORN_ALWAYS_INLINE bool cell(const uint8_t* payload, size_t bytes, int64_t, uint32_t) {
        const int64_t col = cell_++;
        if (col >= plan_.width) return true;  // counted; refused at the row's end
        const int32_t slot = plan_.slot_of[col];
        if (slot < 0) return true;
        return append(columns_[slot], slot, payload, bytes);
    }

    VORN_ALWAYS_INLINE bool row_end(size_t, int64_t) {
        if (cell_ != plan_.width && !finish_short_row()) return false;
        ++rows_;
        cell_ = 0;
        return true;
    }

    // Takes back the cells of the row still open, as if the walk had
    // stopped before it: a reader of pieces reads that row again whole.
    void unwind_open_row();

    // Rows ended, and each column's buffers.
    int64_t rows() const { return rows_; }
    ColumnBuffers* columns() { return columns_; }
    const SinkFault& fault() const { return fault_; }

private:
    bool append(ColumnBuffers& column, int32_t slot, const uint8_t* payload, size_t bytes) {
        ByteBuffer& data = column.data;
        ByteBuffer& index = column.index;
        switch (plan_.layout) {
            case StringLayout::Large: {
                if (!data.reserve(bytes + 16) || !index.reserve(8)) return refuse(SinkFault::Kind::NoMemory);
                put_cell(data, payload, bytes);
                const int64_t end = int64_t(data.size);
                index.put(&end, 8);
                return true;
            }
            case StringLayout::Small: {
                if (data.size + bytes > size_t(INT32_MAX)) return too_large(slot);
                if (!data.reserve(bytes + 16) || !index.reserve(4)) return refuse(SinkFault::Kind::NoMemory);
                put_cell(data, payload, bytes);
                const int32_t end = int32_t(data.size);
                index.put(&end, 4);
                return true;
            }
            case StringLayout::View:
                if (bytes <= 12) {
                    if (!index.reserve(16)) return refuse(SinkFault::Kind::NoMemory);
                    put_short_view(index, payload, bytes);
                    return true;
                }
                return append_long_view(column, slot, payload, bytes);
        }
        return true;
    }

    // A view of at most 12 bytes holds them after its length, the rest of
    // its 16 bytes zero. Built from two 8-byte loads of the payload, which
    // has sixteen readable bytes past it (kInputPadding).
    static VORN_ALWAYS_INLINE void put_short_view(ByteBuffer& index, const uint8_t* payload, size_t bytes) {
        uint8_t* view = index.data + index.size;
        index.size += 16;
        if constexpr (std::endian::native == std::endian::little) {
            uint64_t lo, hi;
            std::memcpy(&lo, payload, 8);
            std::memcpy(&hi, payload + 8, 8);
            const unsigned used = unsigned(bytes) + 4;  // 4 to 16 bytes of the view
            const uint64_t keep0 = used >= 8 ? ~uint64_t(0) : ~uint64_t(0) >> (64 - 8 * used);
            const uint64_t keep1 = used <= 8 ? 0 : ~uint64_t(0) >> (128 - 8 * used);
            const uint64_t w0 = (uint64_t(uint32_t(bytes)) | (lo << 32)) & keep0;
            const uint64_t w1 = ((lo >> 32) | (hi << 32)) & keep1;
            std::memcpy(view, &w0, 8);
            std::memcpy(view + 8, &w1, 8);
        } else {
            std::memset(view, 0, 16);
            const int32_t length = int32_t(bytes);
            std::memcpy(view, &length, 4);
            for (size_t k = 0; k < bytes; ++k) view[4 + k] = payload[k];
        }
    }

    // Copies a payload, a short one as sixteen bytes at once: the input
    // holds sixteen readable bytes past any payload (kInputPadding) and the
    // buffer has room for them.
    static VORN_ALWAYS_INLINE void put_cell(ByteBuffer& data, const uint8_t* payload, size_t bytes) {
        if (bytes <= 16) {
            std::memcpy(data.data + data.size, payload, 16);
            data.size += bytes;
        } else {
            std::memcpy(data.data + data.size, payload, bytes);
            data.size += bytes;
        }
    }

    // A view of more than 12 bytes, which go to the data buffer.
    bool append_long_view(ColumnBuffers& column, int32_t slot, const uint8_t* payload, size_t bytes);
    VORN_COLD bool finish_short_row();
    VORN_COLD bool too_large(int32_t slot);
    VORN_COLD bool refuse(SinkFault::Kind kind);

    const ColumnPlan& plan_;
    ColumnBuffers* columns_ = nullptr;
    int64_t rows_ = 0;
    int64_t cell_ = 0;  // cells of the open row so far
    SinkFault fault_;
};

// The first row of a document, cell by cell: the header's names, or the
// width of a table without one. The cells point into the finder's input.
class FirstRowSink {
public:
    FirstRowSink() = default;
    FirstRowSink(const FirstRowSink&) = delete;
    FirstRowSink& operator=(const FirstRowSink&) = delete;
    ~FirstRowSink() { std::free(cells_); }

    struct Cell {
        const uint8_t* data;
        size_t bytes;
    };

    bool cell(const uint8_t* payload, size_t bytes, int64_t, uint32_t);
    bool row_end(size_t, int64_t) {
        ended_ = true;
        return false;  // one row only
    }

    bool ended() const { return ended_; }
    bool out_of_memory() const { return out_of_memory_; }
    const Cell* cells() const { return cells_; }
    int64_t size() const { return size_; }

private:
    Cell* cells_ = nullptr;
    int64_t size_ = 0;
    int64_t capacity_ = 0;
    bool ended_ = false;
    bool out_of_memory_ = false;
};

// The columns of a sink as an Arrow struct array of string columns, which
// then owns their buffers (the sink is left without columns). Its release
// callbacks free only memory from the C heap and may run on any thread.
// False when memory ran out (out is then untouched).
bool export_batch(ColumnSink& sink, const ColumnPlan& plan, ArrowArray* out);

// The Arrow format string of a layout.
const char* layout_format(StringLayout layout);

// The schema of such batches: a struct of nullable string columns with these
// names (UTF-8, each copied). False when memory ran out.
bool export_schema(StringLayout layout, const char* const* names, const size_t* name_sizes, int64_t count,
                   ArrowSchema* out);

}  // namespace vorn::codec
