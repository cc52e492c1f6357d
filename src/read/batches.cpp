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
    Block* next = nullptr;  // in the reader's queue
    Block* next_job = nullptr;

    ~Block() {
        std::free(bytes);
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

void set_sink_fault(ReadFault& fault, const SinkFault& f, const Block& block, int64_t width) {
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
    fault.row = block.row0 + f.row;
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

// Reads a block of whole rows with a sink, from the document's counters
// before it. The grammar gives faults with byte offsets into the block.
template <typename Sink>
grammar::Stop walk(const Block& block, Sink& sink, int64_t limit, Fault& fault) {
    grammar::Counters counters;
    counters.u16 = block.u16_0;
    counters.rows = block.row0;
    grammar::Rules rules;
    grammar::Cut cut;
    size_t pos = 0;
    grammar::Stop stop;
    if (limit >= 0) {
        rules.limit = limit;
        stop = grammar::read_elements<grammar::Utf8, true>(block.bytes, block.size, pos, counters, sink, rules,
                                                            fault, cut);
    } else {
        stop = grammar::read_elements<grammar::Utf8, false>(block.bytes, block.size, pos, counters, sink, rules,
                                                             fault, cut);
    }
    if (stop == grammar::Stop::Fault && fault.byte >= 0) fault.byte += block.start;
    if (stop == grammar::Stop::Cut) {
        // A block ends with a row's ';', so nothing is cut short; were it
        // to be, the input would have ended inside a cell.
        grammar::end_at(fault, counters.u16, counters.rows, block.start + int64_t(block.size));
        stop = grammar::Stop::Fault;
    }
    return stop;
}

constexpr size_t kMinRead = 4096;
constexpr size_t kMaxRead = 1 << 20;

}  // namespace

BatchReader::BatchReader(ByteSource* source, const ReaderOptions& options)
    : source_(source), options_(options), finder_(1) {
    // Bytes after a cut are copied into the next block's buffer, so reads
    // stay a fraction of a block.
    size_t read = size_t(options.block_size / 8);
    read_size_ = read < kMinRead ? kMinRead : read > kMaxRead ? kMaxRead : read;
    plan_.pad = options.pad;
    plan_.layout = options.layout;
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
    std::free(buf_);
    delete source_;
}

bool BatchReader::read_more() {
    // Room for the read and the padding that stays readable past it.
    const size_t room = read_size_ + kInputPadding;
    if (buf_capacity_ - buf_len_ < room) {
        size_t capacity = buf_capacity_ ? buf_capacity_ * 2 : room;
        while (capacity - buf_len_ < room) capacity *= 2;
        auto* grown = static_cast<uint8_t*>(std::realloc(buf_, capacity));
        if (!grown) {
            fault_.kind = ReadFault::Kind::NoMemory;
            return false;
        }
        buf_ = grown;
        buf_capacity_ = capacity;
    }
    const int64_t got = source_->read(buf_ + buf_len_, read_size_);
    if (got < 0) {
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
        capacity = rest + read_size_ + kInputPadding;
        kept = static_cast<uint8_t*>(std::malloc(capacity));
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
    const size_t bad = text::utf8_check(block->bytes, limit);
    if (bad < limit) {
        fault_ = {};
        set_utf8_fault(fault_, block->bytes, block->size, bad, block->start);
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

bool BatchReader::set_plan(int64_t width, const int32_t* slot_of, int32_t slots) {
    slot_of_ = static_cast<int32_t*>(std::malloc(size_t(width ? width : 1) * sizeof(int32_t)));
    if (!slot_of_) return false;
    if (width) std::memcpy(slot_of_, slot_of, size_t(width) * sizeof(int32_t));
    plan_.width = width;
    plan_.slot_of = slot_of_;
    plan_.slots = slots;
    if (options_.threads > 1) {
        workers_ = new (std::nothrow) Workers(this);
        if (workers_ && workers_->start(options_.threads) == 0) {
            delete workers_;
            workers_ = nullptr;
        }
    }
    // A few blocks ahead of the consumer: one per worker and one more.
    max_in_flight_ = workers_ ? options_.threads + 1 : 1;
    if (first_block_) {
        head_ = tail_ = first_block_;
        first_block_ = nullptr;
        ++in_flight_;
        if (workers_) workers_->submit(head_);
    }
    return true;
}

// Checks a block's bytes as UTF-8 and reads them into columns. A fault the
// partition pass found in it is reported unless invalid UTF-8 comes first.
void BatchReader::parse(Block* block) {
    ReadFault& fault = block->fault;
    const bool cut_short = fault.kind != ReadFault::Kind::None;
    size_t limit = block->size;
    if (cut_short && fault.kind == ReadFault::Kind::Grammar && fault.fault.byte >= block->start &&
        size_t(fault.fault.byte - block->start) < limit)
        limit = size_t(fault.fault.byte - block->start);
    const size_t bad = text::utf8_check(block->bytes, limit);
    if (bad < limit) {
        set_utf8_fault(fault, block->bytes, block->size, bad, block->start);
        return;
    }
    if (cut_short) return;
    ColumnSink sink(plan_);
    if (!sink.init(block->size)) {
        fault.kind = ReadFault::Kind::NoMemory;
        return;
    }
    Fault f;
    const grammar::Stop stop = walk(*block, sink, options_.max_row_size, f);
    if (stop == grammar::Stop::Fault) {
        set_grammar_fault(fault, f);
        return;
    }
    if (stop == grammar::Stop::Sink) {
        set_sink_fault(fault, sink.fault(), *block, plan_.width);
        return;
    }
    if (!export_batch(sink, plan_, &block->batch)) fault.kind = ReadFault::Kind::NoMemory;
    std::free(block->bytes);
    block->bytes = nullptr;
}

int BatchReader::next(ArrowArray* out) {
    if (failed_) return -1;
    while (!produced_all_ && in_flight_ < max_in_flight_) {
        Block* block = produce();
        if (!block) break;
        if (tail_) tail_->next = block;
        else head_ = block;
        tail_ = block;
        ++in_flight_;
        if (workers_) workers_->submit(block);
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
    head_ = block->next;
    if (!head_) tail_ = nullptr;
    --in_flight_;
    if (block->fault.kind != ReadFault::Kind::None) {
        fault_ = block->fault;
        failed_ = true;
        delete block;
        return -1;
    }
    *out = block->batch;
    block->batch.release = nullptr;
    rows_out_ += out->length;
    delete block;
    return 1;
}

}  // namespace vorn::codec
