// The columnar reader: a VORN document read as a stream of Arrow record
// batches, one per block of whole rows.
//
// The bytes arrive from a source in order. Batches end at the first row
// end at or past each multiple of the block size (counted from the source's
// first byte), however many threads read them.
//
// With worker threads, nothing walks the bytes before the workers do. The
// bytes are cut where a row seems to begin past each multiple: after a ';'
// from which a few rows of the table's width read without a fault. A cell's
// text may hold such bytes, so a guess is confirmed by the walk of the
// block before it, which must end exactly there. Each block is read into
// columns and checked as UTF-8 on a worker while the next ones are cut, and
// batches are handed out in file order, at most a few blocks ahead of the
// consumer. A block whose walk does not end cleanly (a wrong guess, a fault,
// bytes that are not UTF-8) is read again on the calling thread from its
// start, which the blocks before it confirmed, with the rest of the bytes
// after it: that batch or that fault is then the one a single thread finds,
// and the guessing goes on after it.
//
// On the calling thread alone, the column walk runs over the bytes as they
// are read, so every byte is walked once. A row the bytes read so far cut
// short is taken back from the columns and read again whole once more
// bytes are in.
//
// Nothing here calls the interpreter: the source may, and says so itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/arrow_c.h"
#include "read/boundaries.h"
#include "read/columns.h"
#include "read/fault.h"

namespace vorn::codec {

// Bytes in order from a file, a stream, or anything else.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to n bytes into `into`: their count, 0 at the end, -1 on a failure
    // that message() describes.
    virtual int64_t read(uint8_t* into, size_t n) = 0;
    virtual const char* message() const = 0;
};

// A file descriptor read with the C library, which it then owns.
ByteSource* open_fd_source(int fd);

struct ReadFault {
    enum class Kind : uint8_t {
        None,
        Grammar,   // the document is malformed (or not UTF-8): see fault
        Ragged,    // row has cells cells, not width
        TooLarge,  // column slot exceeds the 32-bit layout in one batch
        NoMemory,
        Source,  // the source failed: message
    };
    Kind kind = Kind::None;
    Fault fault;  // Grammar: positions, rows and bytes count from the document's start
    int64_t row = 0;
    int64_t cells = 0;
    int64_t width = 0;
    int32_t slot = 0;
    char message[200] = {};
};

struct ReaderOptions {
    int64_t block_size = 4 << 20;
    int threads = 1;  // 1: blocks are read on the calling thread
    bool header = true;
    bool pad = false;
    int64_t max_row_size = -1;
    // Rows before the source's first byte, when it is a range of a larger
    // document: faults name rows counting from the document's first.
    int64_t row_base = 0;
};

struct Block;
class Workers;

class BatchReader {
public:
    // Takes the source.
    BatchReader(ByteSource* source, const ReaderOptions& options);
    ~BatchReader();
    BatchReader(const BatchReader&) = delete;
    BatchReader& operator=(const BatchReader&) = delete;

    // Reads the first row. False on a fault (see fault()).
    bool start();
    // The first row's cells (UTF-8, valid), after start().
    int64_t first_row_size() const { return first_count_; }
    const char* first_row_cell(int64_t k, size_t* bytes) const {
        *bytes = first_sizes_[k];
        return first_cells_[k];
    }

    // Which cells become columns: slot_of[k] for each of width cells, -1 to
    // skip (copied), and the strings' layout. Starts the workers. False when
    // memory ran out.
    bool set_plan(int64_t width, const int32_t* slot_of, int32_t slots, StringLayout layout);
    const ColumnPlan& plan() const { return plan_; }
    StringLayout layout() const { return plan_.layout; }
    int64_t max_row_size() const { return options_.max_row_size; }

    // The next batch: 1 with out filled, 0 at the end, -1 on a fault.
    int next(ArrowArray* out);
    const ReadFault& fault() const { return fault_; }

    // Rows handed out so far in batches.
    int64_t rows_out() const { return rows_out_; }

private:
    Block* produce();
    Block* cut_guessed();
    Block* out_of_memory();
    int next_serial(ArrowArray* out);
    int settle(ArrowArray* out);
    void parse_guessed(Block* block);
    int fail_serial(const ReadFault& fault);
    int rows_then_fault(ColumnSink& sink, const ReadFault& fault, ArrowArray* out);
    bool checked_utf8(size_t end);
    Block* new_block(int64_t end);
    bool read_more();
    void parse(Block* block);
    friend class Workers;

    ByteSource* source_;
    ReaderOptions options_;
    BoundaryFinder finder_;
    ColumnPlan plan_;
    int32_t* slot_of_ = nullptr;
    std::atomic<size_t>* last_sizes_ = nullptr;  // the plan's

    // Bytes read and not yet in a block: buf_[0..buf_len_) is the file from
    // buf_start_; the finder has been given them up to fed_.
    uint8_t* buf_ = nullptr;
    size_t buf_len_ = 0;
    size_t buf_capacity_ = 0;
    int64_t buf_start_ = 0;
    int64_t fed_ = 0;
    size_t read_size_;
    bool source_done_ = false;
    bool source_failed_ = false;
    bool produced_all_ = false;
    int64_t next_row_ = 0;  // rows before the next block
    int64_t next_u16_ = 0;  // UTF-16 units before it

    // The first row, copied.
    char** first_cells_ = nullptr;
    size_t* first_sizes_ = nullptr;
    int64_t first_count_ = 0;
    Block* first_block_ = nullptr;  // kept as data when there is no header

    // Blocks cut and not yet handed out, in file order.
    Block* head_ = nullptr;
    Block* tail_ = nullptr;
    int in_flight_ = 0;
    int max_in_flight_ = 1;
    Workers* workers_ = nullptr;

    // The document's counters where the first block not handed out begins
    // (or buf_[0], with no such block), which is known to begin a row; on
    // the calling thread, how much of the buffer is known to be UTF-8.
    bool serial_ = false;  // no workers
    grammar::Counters at_row_;
    size_t checked_ = 0;
    size_t scan_ = 0;  // where the search for the next guessed cut goes on

    bool failed_ = false;
    bool pending_fault_ = false;  // fault_ comes after the batch handed out
    ReadFault fault_;
    int64_t rows_out_ = 0;
};

}  // namespace vorn::codec
