#include "read/batches.h"

#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(_WIN32)
#include <thread>
#else
#include <pthread.h>
#endif

#include "common/pool.h"
#include "common/utf8_check.h"
#include "read/grammar.h"

namespace vorn::codec {

// A block of whole rows: its bytes, where it lies in the document, and,
// once read, its batch or its fault.
struct Block {
    uint8_t* bytes = nullptr;
    size_t size = 0;
    int64_t start = 0;  // byte offset in the document
    int64_t row0 = 0;   // rows before it
    int64_t u16_0 = 0;  // UTF-16 units before it
    ReadFault fault;    // found by the partition pass, or by the read
    ArrowArray batch = {};
    bool done = false;
    // A block cut where a row seems to begin (see cut_guessed): its rows
    // end at the first row end at or past grid_end, which its walk must
    // find exactly at its end (at the end of the input, when final). Only a
    // clean walk made a batch; its counters are relative to its start.
    bool guessed = false;
    bool final = false;
    bool clean = false;
    int64_t grid_end = 0;
    grammar::Counters walked;
    Block* next = nullptr;  // in the reader's queue
    Block* next_job = nullptr;

    ~Block() {
        pool::release(bytes);
        if (batch.release) batch.release(&batch);
    }
};

// --- Sources ---------------------------------------------------------------

namespace {

class FdSource : public ByteSource {
public:
    explicit FdSource(std::FILE* file) : file_(file) {}
    ~FdSource() override {
        if (file_) std::fclose(file_);
    }
    int64_t read(uint8_t* into, size_t n) override {
        const size_t got = std::fread(into, 1, n, file_);
        if (got == 0 && std::ferror(file_)) {
            std::snprintf(message_, sizeof message_, "reading the file failed: %s", std::strerror(errno));
            return -1;
        }
        return int64_t(got);
    }
    const char* message() const override { return message_; }

private:
    std::FILE* file_;
    char message_[160] = {};
};

}  // namespace

ByteSource* open_fd_source(int fd) {
#if defined(_WIN32)
    std::FILE* file = _fdopen(fd, "rb");
#else
    std::FILE* file = fdopen(fd, "rb");
#endif
    if (!file) return nullptr;
    // Reads are of large chunks: the C library's buffer would only copy them.
    std::setvbuf(file, nullptr, _IONBF, 0);
    auto* source = new (std::nothrow) FdSource(file);
    if (!source) std::fclose(file);
    return source;
}

// --- Workers ---------------------------------------------------------------

// Threads that read blocks into columns, taking them in the order they were
// cut. They touch nothing but the blocks and the reader's plan.
class Workers {
public:
    Workers(BatchReader* reader) : reader_(reader) {}

    // Starts up to n threads; the number started.
    int start(int n) {
        for (int k = 0; k < n && k < kMax; ++k) {
#if defined(_WIN32)
            threads_[k] = new (std::nothrow) std::thread(run, this);
            if (!threads_[k]) break;
#else
            if (pthread_create(&threads_[k], nullptr, run, this) != 0) break;
#endif
            ++count_;
        }
        return count_;
    }

    void submit(Block* block) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (jobs_tail_) jobs_tail_->next_job = block;
        else jobs_ = block;
        jobs_tail_ = block;
        work_.notify_one();
    }

    void wait(Block* block) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [block] { return block->done; });
    }

    // Ends the threads once the blocks they are reading are read; blocks
    // not yet begun stay unread.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            work_.notify_all();
        }
        for (int k = 0; k < count_; ++k) {
#if defined(_WIN32)
            threads_[k]->join();
            delete threads_[k];
#else
            pthread_join(threads_[k], nullptr);
#endif
        }
        count_ = 0;
    }

    static constexpr int kMax = 256;

private:
#if defined(_WIN32)
    static void run(Workers* self) { self->loop(); }
#else
    static void* run(void* self) {
        static_cast<Workers*>(self)->loop();
        return nullptr;
    }
#endif

    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return stopping_ || jobs_; });
            if (stopping_) return;
            Block* block = jobs_;
            jobs_ = block->next_job;
            if (!jobs_) jobs_tail_ = nullptr;
            lock.unlock();
            reader_->parse(block);
            lock.lock();
            block->done = true;
            done_.notify_all();
        }
    }

    BatchReader* reader_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    Block* jobs_ = nullptr;
    Block* jobs_tail_ = nullptr;
    bool stopping_ = false;
    int count_ = 0;
#if defined(_WIN32)
    std::thread* threads_[kMax] = {};
#else
    pthread_t threads_[kMax];
#endif
};

// --- The reader ------------------------------------------------------------

namespace {

void set_grammar_fault(ReadFault& fault, const Fault& f) {
    fault = {};
    fault.kind = ReadFault::Kind::Grammar;
    fault.fault = f;
}

void set_sink_fault(ReadFault& fault, const SinkFault& f, int64_t row0, int64_t width) {
    fault = {};
    switch (f.kind) {
        case SinkFault::Kind::Ragged:
            fault.kind = ReadFault::Kind::Ragged;
            break;
        case SinkFault::Kind::TooLarge:
            fault.kind = ReadFault::Kind::TooLarge;
            break;
        default:
            fault.kind = ReadFault::Kind::NoMemory;
            break;
    }
    fault.row = row0 + f.row;
    fault.cells = f.cells;
    fault.width = width;
    fault.slot = f.slot;
}

// Bytes at start + bad that are not UTF-8, as the grammar reports them.
void set_utf8_fault(ReadFault& fault, const uint8_t* bytes, size_t size, size_t bad, int64_t start) {
    Fault f;
    f.kind = Fault::Kind::InvalidUtf8;
    f.byte = start + int64_t(bad);
    f.byte_count = uint8_t(size - bad < 4 ? size - bad : 4);
    std::memcpy(f.bytes, bytes + bad, f.byte_count);
    set_grammar_fault(fault, f);
}

// Whether bytes[from..end) holds a byte that is not UTF-8 (bytes being
// size long and start bytes into the document); fault then names the first.
bool invalid_utf8_in(const uint8_t* bytes, size_t size, size_t from, size_t end, int64_t start,
                     ReadFault& fault) {
    if (end <= from) return false;
    const size_t bad = from + text::utf8_check(bytes + from, end - from);
    if (bad >= end) return false;
    set_utf8_fault(fault, bytes, size, bad, start);
    return true;
}

// Reads a block of whole rows with a sink, from the document's counters
// before it, and sets *stopped to the index it stopped at (the fault's, on
// a fault). The grammar gives faults with byte offsets into the block; they
// are made document offsets here. A block the partition pass ended at a
// fault may stop with Stop::Cut, at that fault; any other is whole rows,
// and a cut there means the input ended inside a cell.
// The grammar's walk over text[pos..length) with the row-size limit when
// limit is not negative: every reader here walks UTF-8 this way.
template <typename Sink>
grammar::Stop walk_text(const uint8_t* text, size_t length, size_t& pos, grammar::Counters& counters, Sink& sink,
                        int64_t limit, Fault& fault, grammar::Cut& cut) {
    grammar::Rules rules;
    if (limit < 0)
        return grammar::read_elements<grammar::Utf8, false>(text, length, pos, counters, sink, rules, fault, cut);
    rules.limit = limit;
    return grammar::read_elements<grammar::Utf8, true>(text, length, pos, counters, sink, rules, fault, cut);
}

template <typename Sink>
grammar::Stop walk(const Block& block, Sink& sink, int64_t limit, Fault& fault, size_t* stopped = nullptr) {
    grammar::Counters counters;
    counters.u16 = block.u16_0;
    counters.rows = block.row0;
    grammar::Cut cut;
    size_t pos = 0;
    grammar::Stop stop = walk_text(block.bytes, block.size, pos, counters, sink, limit, fault, cut);
    if (stopped) *stopped = stop == grammar::Stop::Fault && fault.byte >= 0 ? size_t(fault.byte) : pos;
    if (stop == grammar::Stop::Fault && fault.byte >= 0) fault.byte += block.start;
    if (stop == grammar::Stop::Cut && block.fault.kind == ReadFault::Kind::None) {
        grammar::end_at(fault, counters.u16, counters.rows, block.start + int64_t(block.size));
        stop = grammar::Stop::Fault;
    }
    return stop;
}

// The column sink as the reader on the calling thread drives it: it keeps
// where the open row began and how many UTF-16 units its cells took, so
// that a row the bytes in view cut short can be taken back, and it ends the
// batch at the first row end at or past cut_at, as the partition pass cuts
// blocks.
struct SerialSink {
    ColumnSink& inner;
    const uint8_t* text;
    int64_t cut_at;  // an index into text
    size_t needed;   // BoundaryFinder::kLookahead, or 0 at the end of the input
    size_t element = 0;  // where the element being read begins
    size_t row_at = 0;   // where the open row begins
    int64_t row_u16 = 0;  // UTF-16 units of the open row's cells so far

    VORN_ALWAYS_INLINE bool cell(const uint8_t* payload, size_t bytes, int64_t utf16, uint32_t widest) {
        if (!inner.cell(payload, bytes, utf16, widest)) return false;
        const size_t at = size_t(payload - text);
        // The prefix is ASCII: its bytes are its units.
        row_u16 += int64_t(at - element) + utf16;
        element = at + bytes;
        return true;
    }
    VORN_ALWAYS_INLINE bool row_end(size_t next, int64_t rows) {
        if (!inner.row_end(next, rows)) return false;
        row_at = element = next;
        row_u16 = 0;
        return int64_t(next) < cut_at;
    }
    VORN_ALWAYS_INLINE size_t lookahead() const { return needed; }
};

// The first offset past a multiple of size from the source's start: batches
// end at the first row end at or past it, however the bytes were read.
inline int64_t next_grid(int64_t at, int64_t size) { return (at / size + 1) * size; }

constexpr size_t kMinRead = 4096;
// The most a batch's columns reserve at first: a block size far past the
// input would otherwise reserve room it never needs.
constexpr size_t kMostReserved = size_t(16) << 20;
constexpr size_t kMaxRead = 1 << 20;

}  // namespace

BatchReader::BatchReader(ByteSource* source, const ReaderOptions& options)
    : source_(source), options_(options), finder_(1) {
    // Bytes after a cut are copied into the next block's buffer, so reads
    // stay a fraction of a block.
    size_t read = size_t(options.block_size / 8);
    read_size_ = read < kMinRead ? kMinRead : read > kMaxRead ? kMaxRead : read;
    plan_.pad = options.pad;
}

BatchReader::~BatchReader() {
    if (workers_) {
        workers_->stop();
        delete workers_;
    }
    while (head_) {
        Block* b = head_;
        head_ = b->next;
        delete b;
    }
    delete first_block_;
    for (int64_t k = 0; k < first_count_; ++k) std::free(first_cells_[k]);
    std::free(first_cells_);
    std::free(first_sizes_);
    std::free(slot_of_);
    delete[] last_sizes_;
    pool::release(buf_);
    delete source_;
}

bool BatchReader::read_more() {
    // A source that failed is not read again: its fault stands.
    if (source_failed_) return false;
    // Room for the read and the padding that stays readable past it.
    const size_t room = read_size_ + kInputPadding;
    if (buf_capacity_ - buf_len_ < room) {
        size_t capacity = buf_capacity_ ? buf_capacity_ * 2 : room;
        while (capacity - buf_len_ < room) capacity *= 2;
        size_t granted = 0;
        uint8_t* grown = pool::allocate(capacity, &granted);
        if (!grown) {
            fault_.kind = ReadFault::Kind::NoMemory;
            return false;
        }
        if (buf_len_) std::memcpy(grown, buf_, buf_len_);
        pool::release(buf_);
        buf_ = grown;
        buf_capacity_ = granted;
    }
    const int64_t got = source_->read(buf_ + buf_len_, read_size_);
    if (got < 0) {
        source_failed_ = true;
        fault_ = {};
        fault_.kind = ReadFault::Kind::Source;
        std::snprintf(fault_.message, sizeof fault_.message, "%s", source_->message());
        return false;
    }
    if (got == 0) source_done_ = true;
    buf_len_ += size_t(got);
    return true;
}

// The block of the buffered bytes up to the document offset end; the bytes
// after it stay buffered.
Block* BatchReader::new_block(int64_t end) {
    auto* block = new (std::nothrow) Block;
    if (!block) return nullptr;
    const size_t size = size_t(end - buf_start_);
    const size_t rest = buf_len_ - size;
    uint8_t* kept = nullptr;
    size_t capacity = 0;
    if (rest > 0 || !source_done_) {
        // Room for the next block as a whole, so that it is read without
        // growing (and its buffer is one the pool keeps for the next).
        const size_t whole = size_t(options_.block_size) < kMostReserved ? size_t(options_.block_size) : kMostReserved;
        kept = pool::allocate(rest + whole + read_size_ + kInputPadding, &capacity);
        if (!kept) {
            delete block;
            return nullptr;
        }
        std::memcpy(kept, buf_ + size, rest);
    }
    block->bytes = buf_;
    block->size = size;
    block->start = buf_start_;
    block->row0 = options_.row_base + next_row_;
    block->u16_0 = next_u16_;
    buf_ = kept;
    buf_len_ = rest;
    buf_capacity_ = capacity;
    buf_start_ = end;
    return block;
}

Block* BatchReader::produce() {
    for (;;) {
        size_t pos = 0;
        const size_t at = size_t(fed_ - buf_start_);
        const BoundaryFinder::Step step = finder_.feed(buf_ ? buf_ + at : nullptr, buf_len_ - at, &pos, source_done_);
        fed_ += int64_t(pos);
        switch (step) {
            case BoundaryFinder::Step::Cut: {
                finder_.advance(pos);
                Block* block = new_block(finder_.cut_offset());
                if (!block) break;
                next_row_ = finder_.rows();
                next_u16_ = finder_.position();
                return block;
            }
            case BoundaryFinder::Step::Done: {
                produced_all_ = true;
                if (buf_len_ == 0) return nullptr;
                Block* block = new_block(buf_start_ + int64_t(buf_len_));
                if (!block) break;
                return block;
            }
            case BoundaryFinder::Step::Malformed: {
                produced_all_ = true;
                const Fault& f = finder_.fault();
                int64_t end = f.byte < buf_start_ ? buf_start_ : f.byte;
                if (end > buf_start_ + int64_t(buf_len_)) end = buf_start_ + int64_t(buf_len_);
                Block* block = new_block(end);
                if (!block) break;
                set_grammar_fault(block->fault, f);
                block->fault.fault.row += options_.row_base;
                return block;
            }
            case BoundaryFinder::Step::More:
                if (read_more()) continue;
                produced_all_ = true;
                return nullptr;  // fault_ says why
        }
        // Memory ran out making the block.
        produced_all_ = true;
        fault_.kind = ReadFault::Kind::NoMemory;
        return nullptr;
    }
}

// With workers: the next block of the buffered bytes, cut without walking
// them where a row seems to begin at or past the next multiple of the block
// size. buf_ begins where the walk of the block before it should end.
Block* BatchReader::cut_guessed() {
    const int64_t grid = next_grid(buf_start_, options_.block_size);
    for (;;) {
        const size_t from = size_t(grid - buf_start_);
        if (buf_len_ > from || source_done_) {
            // A row begins after a ';' (scan_ is where the search goes on).
            if (scan_ < from) scan_ = from ? from - 1 : 0;
            while (scan_ < buf_len_) {
                const void* hit = std::memchr(buf_ + scan_, format::kRowTerminator, buf_len_ - scan_);
                if (!hit) {
                    scan_ = buf_len_;
                    break;
                }
                const size_t at = size_t(static_cast<const uint8_t*>(hit) - buf_) + 1;
                if (at >= buf_len_ && source_done_) {
                    scan_ = buf_len_;
                    break;
                }
                const Sync sync = seems_row_start(buf_ + at, buf_len_ - at, source_done_, plan_.width, plan_.pad);
                if (sync == Sync::More) break;
                if (sync == Sync::Yes) {
                    Block* block = new_block(buf_start_ + int64_t(at));
                    if (!block) return out_of_memory();
                    block->guessed = true;
                    block->grid_end = grid;
                    scan_ = 0;
                    return block;
                }
                scan_ = at;
            }
            if (source_done_ && scan_ >= buf_len_) {
                produced_all_ = true;
                if (buf_len_ == 0) return nullptr;
                Block* block = new_block(buf_start_ + int64_t(buf_len_));
                if (!block) return out_of_memory();
                block->guessed = true;
                block->final = true;
                block->grid_end = grid;
                scan_ = 0;
                return block;
            }
        }
        if (!read_more()) {
            produced_all_ = true;
            return nullptr;  // fault_ says why
        }
    }
}

Block* BatchReader::out_of_memory() {
    produced_all_ = true;
    fault_.kind = ReadFault::Kind::NoMemory;
    return nullptr;
}

bool BatchReader::start() {
    Block* block = produce();
    if (!block) {
        // No bytes at all: a document of no rows, as vorn_io reads an empty
        // stream, so no first row and no batch.
        if (fault_.kind == ReadFault::Kind::None) return true;
        failed_ = true;
        return false;
    }
    // The first row is checked as UTF-8 up to what it holds, then read.
    const size_t limit = block->fault.kind != ReadFault::Kind::None
                             ? size_t(block->fault.fault.byte - block->start)
                             : block->size;
    if (invalid_utf8_in(block->bytes, block->size, 0, limit, block->start, fault_)) {
        // fault_ names the byte.
    } else if (block->fault.kind != ReadFault::Kind::None) {
        fault_ = block->fault;
    } else {
        FirstRowSink sink;
        Fault f;
        if (walk(*block, sink, options_.max_row_size, f) == grammar::Stop::Fault) {
            set_grammar_fault(fault_, f);
        } else if (!sink.ended()) {
            fault_.kind = ReadFault::Kind::NoMemory;
        } else {
            const int64_t n = sink.size();
            first_cells_ = static_cast<char**>(std::calloc(size_t(n ? n : 1), sizeof(char*)));
            first_sizes_ = static_cast<size_t*>(std::calloc(size_t(n ? n : 1), sizeof(size_t)));
            bool ok = first_cells_ && first_sizes_;
            for (int64_t k = 0; ok && k < n; ++k) {
                const FirstRowSink::Cell& c = sink.cells()[k];
                first_cells_[k] = static_cast<char*>(std::malloc(c.bytes + 1));
                if (!first_cells_[k]) {
                    ok = false;
                    break;
                }
                std::memcpy(first_cells_[k], c.data, c.bytes);
                first_cells_[k][c.bytes] = '\0';
                first_sizes_[k] = c.bytes;
                first_count_ = k + 1;
            }
            if (!ok) fault_.kind = ReadFault::Kind::NoMemory;
        }
    }
    if (fault_.kind != ReadFault::Kind::None) {
        delete block;
        failed_ = true;
        return false;
    }
    if (options_.header) {
        delete block;
    } else {
        first_block_ = block;
    }
    finder_.set_size(options_.block_size);
    return true;
}

bool BatchReader::set_plan(int64_t width, const int32_t* slot_of, int32_t slots, StringLayout layout) {
    plan_.layout = layout;
    slot_of_ = static_cast<int32_t*>(std::malloc(size_t(width ? width : 1) * sizeof(int32_t)));
    if (!slot_of_) return false;
    if (width) std::memcpy(slot_of_, slot_of, size_t(width) * sizeof(int32_t));
    plan_.width = width;
    plan_.slot_of = slot_of_;
    plan_.slots = slots;
    last_sizes_ = new (std::nothrow) std::atomic<size_t>[size_t(slots > 0 ? slots : 1) * 2]();
    if (!last_sizes_) return false;
    plan_.last_sizes = last_sizes_;
    if (options_.threads > 1) {
        workers_ = new (std::nothrow) Workers(this);
        if (workers_ && workers_->start(options_.threads) == 0) {
            delete workers_;
            workers_ = nullptr;
        }
    }
    // A few blocks ahead of the consumer: one per worker and one more.
    max_in_flight_ = workers_ ? options_.threads + 1 : 1;
    // The walk takes up after the first row, from the finder's counters.
    serial_ = !workers_;
    at_row_ = finder_.counters();
    at_row_.rows += options_.row_base;
    at_row_.after_terminator = true;
    checked_ = 0;
    if (first_block_) {
        head_ = tail_ = first_block_;
        first_block_ = nullptr;
        ++in_flight_;
        if (workers_) workers_->submit(head_);
    }
    return true;
}

// Reads a block cut at a guess into columns, from counters of its own. The
// walk is clean when it ends at the block's end at the first row end at or
// past grid_end (at the end of the input after a ';', for the last block),
// meets no fault, and the bytes are UTF-8; only then is a batch made. Any
// other walk is settled by the reader, which reads those bytes again from
// where a row is known to begin. The bytes are kept for that.
void BatchReader::parse_guessed(Block* block) {
    block->clean = false;
    ColumnSink sink(plan_);
    if (!sink.init(block->size)) return;
    SerialSink walker{sink, block->bytes, block->grid_end - block->start, 0};
    grammar::Counters counters;  // relative to the block, which begins a row
    counters.after_terminator = true;
    grammar::Cut cut;
    Fault f;
    size_t pos = 0;
    const grammar::Stop stop =
        walk_text(block->bytes, block->size, pos, counters, walker, options_.max_row_size, f, cut);
    const bool ended = stop == grammar::Stop::Sink ? sink.fault().kind == SinkFault::Kind::None && pos == block->size
                       : stop == grammar::Stop::End ? block->final && counters.after_terminator
                                                    : false;
    if (!ended || text::utf8_check(block->bytes, block->size) != block->size) return;
    if (!export_batch(sink, plan_, &block->batch)) return;
    block->walked = counters;
    block->clean = true;
}

// Reads a block into columns and checks its bytes as UTF-8. The first
// fault in the document's order is the one reported: one the read finds
// (a ragged row, a row too long) before the fault the partition pass ended
// the block at is that fault, and bytes that are not UTF-8 before either
// come first.
void BatchReader::parse(Block* block) {
    ReadFault& fault = block->fault;
    if (block->guessed) {
        parse_guessed(block);
        return;
    }
    const bool cut_short = fault.kind != ReadFault::Kind::None;
    size_t limit = block->size;
    if (cut_short && fault.kind == ReadFault::Kind::Grammar && fault.fault.byte >= block->start &&
        size_t(fault.fault.byte - block->start) < limit)
        limit = size_t(fault.fault.byte - block->start);
    auto utf8_before = [&](size_t end) {
        return invalid_utf8_in(block->bytes, block->size, 0, end < block->size ? end : block->size, block->start,
                               fault);
    };
    ColumnSink sink(plan_);
    if (!sink.init(block->size)) {
        fault = {};
        fault.kind = ReadFault::Kind::NoMemory;
        return;
    }
    Fault f;
    size_t stopped = 0;
    const grammar::Stop stop = walk(*block, sink, options_.max_row_size, f, &stopped);
    if (stop == grammar::Stop::Fault && (!cut_short || stopped < limit)) {
        if (!utf8_before(stopped)) set_grammar_fault(fault, f);
        return;
    }
    if (stop == grammar::Stop::Sink) {
        if (!utf8_before(stopped)) set_sink_fault(fault, sink.fault(), block->row0, plan_.width);
        return;
    }
    if (utf8_before(limit) || cut_short) return;
    if (!export_batch(sink, plan_, &block->batch)) fault.kind = ReadFault::Kind::NoMemory;
    pool::release(block->bytes);
    block->bytes = nullptr;
}

// The rows a walk ended before a fault in the document, as a batch, with
// the fault kept for the next call; the fault alone when there are none.
int BatchReader::rows_then_fault(ColumnSink& sink, const ReadFault& fault, ArrowArray* out) {
    sink.unwind_open_row();
    if (sink.rows() == 0 || !export_batch(sink, plan_, out)) return fail_serial(fault);
    fault_ = fault;
    pending_fault_ = true;
    produced_all_ = true;
    rows_out_ += out->length;
    return 1;
}

int BatchReader::fail_serial(const ReadFault& fault) {
    fault_ = fault;
    failed_ = true;
    produced_all_ = true;
    return -1;
}

// Whether buf_[checked_..end) is UTF-8; on false, fault_ names the first
// byte that is not.
bool BatchReader::checked_utf8(size_t end) {
    if (end <= checked_) return true;
    ReadFault f;
    if (invalid_utf8_in(buf_, buf_len_, checked_, end, buf_start_, f)) {
        fail_serial(f);
        return false;
    }
    checked_ = end;
    return true;
}

int BatchReader::next_serial(ArrowArray* out) {
    if (produced_all_) return 0;
    ColumnSink sink(plan_);
    const size_t reserve = size_t(options_.block_size) < kMostReserved ? size_t(options_.block_size) : kMostReserved;
    if (!sink.init(reserve + read_size_)) {
        ReadFault f;
        f.kind = ReadFault::Kind::NoMemory;
        return fail_serial(f);
    }
    const int64_t row0 = at_row_.rows;
    const int64_t cut = next_grid(buf_start_, options_.block_size);
    size_t want = read_size_;
    // buf_ begins a row throughout, with at_row_ the counters there.
    auto drop = [this](size_t n) {
        if (n == 0) return;
        std::memmove(buf_, buf_ + n, buf_len_ - n);
        buf_len_ -= n;
        buf_start_ += int64_t(n);
        checked_ = checked_ > n ? checked_ - n : 0;
    };
    for (;;) {
        while (!source_done_ && buf_len_ < want) {
            if (!read_more()) return fail_serial(fault_);
        }
        const bool final = source_done_;
        SerialSink walker{sink, buf_, cut - buf_start_, final ? 0 : BoundaryFinder::kLookahead};
        grammar::Counters counters = at_row_;
        grammar::Cut stopped;
        Fault f;
        size_t pos = 0;
        const grammar::Stop stop = walk_text(buf_, buf_len_, pos, counters, walker, options_.max_row_size, f, stopped);
        switch (stop) {
            case grammar::Stop::Fault: {
                const size_t at = f.byte >= 0 && size_t(f.byte) < buf_len_ ? size_t(f.byte) : pos;
                if (!checked_utf8(at)) return -1;
                if (f.byte >= 0) f.byte += buf_start_;
                ReadFault rf;
                set_grammar_fault(rf, f);
                return rows_then_fault(sink, rf, out);
            }
            case grammar::Stop::Sink: {
                if (!checked_utf8(pos)) return -1;
                if (sink.fault().kind != SinkFault::Kind::None) {
                    ReadFault rf;
                    set_sink_fault(rf, sink.fault(), row0, plan_.width);
                    if (sink.fault().kind != SinkFault::Kind::Ragged) return fail_serial(rf);
                    return rows_then_fault(sink, rf, out);
                }
                // The batch ends at a row end at or past the cut.
                at_row_ = counters;
                drop(pos);
                break;
            }
            case grammar::Stop::End:
                if (!checked_utf8(pos)) return -1;
                if (!final) {
                    at_row_ = counters;
                    drop(pos);
                    want = read_size_;
                    continue;
                }
                if (counters.after_terminator || buf_len_ == 0) {
                    at_row_ = counters;
                    drop(pos);
                    produced_all_ = true;
                    break;
                }
                [[fallthrough]];  // (not reached: the walk ends past a ';')
            case grammar::Stop::Cut: {
                // The open row is read again once more bytes are in.
                const size_t row_at = walker.row_at;
                sink.unwind_open_row();
                counters.u16 -= walker.row_u16;
                counters.row_size = 0;
                counters.after_terminator = true;
                if (!checked_utf8(row_at)) return -1;
                if (final) {
                    // Malformed at the end of the input: the finder reports
                    // it as the partition pass would.
                    BoundaryFinder tail(1);
                    tail.resume(counters, buf_start_ + int64_t(row_at));
                    size_t q = 0;
                    Fault end_fault;
                    if (tail.feed(buf_ + row_at, buf_len_ - row_at, &q, true) ==
                        BoundaryFinder::Step::Malformed) {
                        end_fault = tail.fault();
                    } else {
                        grammar::end_at(end_fault, counters.u16, counters.rows, buf_start_ + int64_t(buf_len_));
                    }
                    const int64_t at = end_fault.byte - buf_start_;
                    if (!checked_utf8(at >= 0 && size_t(at) < buf_len_ ? size_t(at) : buf_len_)) return -1;
                    ReadFault rf;
                    set_grammar_fault(rf, end_fault);
                    return rows_then_fault(sink, rf, out);
                }
                const size_t element = pos - row_at;
                at_row_ = counters;
                drop(row_at);
                // At least twice the open row's bytes in view, so that a
                // long row is walked a bounded number of times, and at least
                // the bytes its cut cell is known to take.
                want = buf_len_ * 2 > buf_len_ + read_size_ ? buf_len_ * 2 : buf_len_ + read_size_;
                if (stopped.prefix_whole) {
                    const uint64_t need = uint64_t(element) + 2 + uint64_t(stopped.digits) +
                                          uint64_t(stopped.length) + BoundaryFinder::kLookahead;
                    if (need > want && need < (uint64_t(1) << 62)) want = size_t(need);
                }
                continue;
            }
        }
        break;
    }
    if (sink.rows() == 0) return 0;
    if (!export_batch(sink, plan_, out)) {
        ReadFault rf;
        rf.kind = ReadFault::Kind::NoMemory;
        return fail_serial(rf);
    }
    rows_out_ += out->length;
    return 1;
}

// Reads again, on the calling thread, the bytes of the blocks not yet
// handed out and those after them, from the first of them, where a row is
// known to begin: one batch ends at the row end the blocks' walk should
// have ended at, and a fault is reported with the document's counters.
int BatchReader::settle(ArrowArray* out) {
    size_t total = buf_len_;
    for (Block* b = head_; b; b = b->next) {
        workers_->wait(b);
        total += b->size;
    }
    size_t capacity = 0;
    uint8_t* joined = pool::allocate(total + read_size_ + kInputPadding, &capacity);
    if (!joined) {
        ReadFault f;
        f.kind = ReadFault::Kind::NoMemory;
        return fail_serial(f);
    }
    const int64_t start = head_->start;
    size_t at = 0;
    while (head_) {
        Block* b = head_;
        head_ = b->next;
        std::memcpy(joined + at, b->bytes, b->size);
        at += b->size;
        delete b;
    }
    tail_ = nullptr;
    in_flight_ = 0;
    if (buf_len_) std::memcpy(joined + at, buf_, buf_len_);
    pool::release(buf_);
    buf_ = joined;
    buf_len_ = total;
    buf_capacity_ = capacity;
    buf_start_ = start;
    checked_ = 0;
    scan_ = 0;
    produced_all_ = false;
    return next_serial(out);
}

int BatchReader::next(ArrowArray* out) {
    if (failed_) return -1;
    if (pending_fault_) {
        failed_ = true;
        return -1;
    }
    if (serial_ && !head_) return next_serial(out);
    // (On the calling thread, the queue holds at most the first row of a
    // table without a header.)
    while (workers_ && !produced_all_ && in_flight_ < max_in_flight_) {
        Block* block = cut_guessed();
        if (!block) break;
        if (tail_) tail_->next = block;
        else head_ = block;
        tail_ = block;
        ++in_flight_;
        workers_->submit(block);
    }
    Block* block = head_;
    if (!block) {
        if (fault_.kind != ReadFault::Kind::None) {
            failed_ = true;
            return -1;
        }
        return 0;
    }
    if (workers_) {
        workers_->wait(block);
    } else {
        parse(block);
    }
    if (block->guessed && !block->clean) return settle(out);
    head_ = block->next;
    if (!head_) tail_ = nullptr;
    --in_flight_;
    if (block->fault.kind != ReadFault::Kind::None) {
        fault_ = block->fault;
        failed_ = true;
        delete block;
        return -1;
    }
    if (block->guessed) {
        at_row_.rows += block->walked.rows;
        at_row_.u16 += block->walked.u16;
        at_row_.astral = at_row_.astral || block->walked.astral;
    }
    *out = block->batch;
    block->batch.release = nullptr;
    rows_out_ += out->length;
    delete block;
    return 1;
}

}  // namespace vorn::codec
