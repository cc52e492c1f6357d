// vorn_io._scanner's partitioning: the row-boundary finder over UTF-8 bytes,
// for vorn_io.partitions. Partitioner reads chunks a caller hands it (any
// binary stream); _partition_file reads a regular file itself, with
// positioned reads into one reused buffer and the interpreter released. A
// malformed document raises vorn_io.DecodeError here, as the decoder would
// for the whole text.

#include "io/partition.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define VORN_HAVE_PREAD 1
#else
#define VORN_HAVE_PREAD 0
#endif

#include "common/parallel.h"
#include "common/ref.h"
#include "format/format.h"
#include "io/faults.h"
#include "read/boundaries.h"
#include "read/grammar.h"

namespace vorn::io {

namespace {

using codec::BoundaryFinder;

// --- Partitioner: chunks from the caller -------------------------------------

struct PartitionerObject {
    PyObject_HEAD
    BoundaryFinder* finder;
    bool busy;  // inside feed(): another thread may not enter
    bool ended;
};

const char kPartitionerDoc[] =
    "Partitioner(size, /)\n--\n\n"
    "Finds the row ends of a VORN document given as UTF-8 bytes in chunks.\n\n"
    "feed(chunk, final, cuts) reads the chunk and appends to the list cuts a\n"
    "pair (byte offset, rows before it) for each row end that closes a range\n"
    "of at least size bytes. It returns how many bytes it read: the rest of the\n"
    "chunk goes in front of the next one. With final true (no byte follows)\n"
    "it returns None for a well-formed document. A malformed document raises\n"
    "DecodeError (UnicodeDecodeError where its structure is not UTF-8).";

PyObject* partitioner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    long long size;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "Partitioner() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "L:Partitioner", &size)) return nullptr;
    if (size < 1) {
        PyErr_SetString(PyExc_ValueError, "size must be at least 1");
        return nullptr;
    }
    auto* self = reinterpret_cast<PartitionerObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    void* memory = PyMem_Malloc(sizeof(BoundaryFinder));
    if (!memory) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    self->finder = new (memory) BoundaryFinder(size);
    self->busy = self->ended = false;
    return reinterpret_cast<PyObject*>(self);
}

void partitioner_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<PartitionerObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    if (self->finder) {
        self->finder->~BoundaryFinder();
        PyMem_Free(self->finder);
        self->finder = nullptr;
    }
    type->tp_free(op);
    Py_DECREF(type);
}

// Appends (offset, rows) to cuts; false with an exception set.
bool append_cut(PyObject* cuts, long long offset, long long rows) {
    Ref pair(Py_BuildValue("(LL)", offset, rows));
    return pair && PyList_Append(cuts, pair.get()) == 0;
}

PyObject* partitioner_feed(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    auto* self = reinterpret_cast<PartitionerObject*>(op);
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "feed() takes exactly 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* cuts = args[2];
    if (!PyList_CheckExact(cuts)) {
        PyErr_Format(PyExc_TypeError, "feed() takes a list for cuts, not %T", cuts);
        return nullptr;
    }
    const int final = PyObject_IsTrue(args[1]);
    if (final < 0) return nullptr;
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "Partitioner.feed() called while it is running");
        return nullptr;
    }
    if (self->ended) {
        PyErr_SetString(PyExc_ValueError, "Partitioner.feed() called after the final chunk or a fault");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    self->busy = true;
    // The buffer stays exported, so its bytes cannot move or change size
    // while the interpreter is released.
    const auto* data = static_cast<const uint8_t*>(view.buf);
    const size_t length = size_t(view.len);
    size_t pos = 0;
    BoundaryFinder* finder = self->finder;
    PyObject* result = nullptr;
    for (;;) {
        BoundaryFinder::Step step;
        Py_BEGIN_ALLOW_THREADS
        step = finder->feed(data, length, &pos, final != 0);
        Py_END_ALLOW_THREADS
        if (step == BoundaryFinder::Step::Cut) {
            if (!append_cut(cuts, finder->cut_offset(), finder->rows())) break;
            continue;
        }
        if (step == BoundaryFinder::Step::More) {
            result = PyLong_FromSize_t(pos);
        } else if (step == BoundaryFinder::Step::Done) {
            self->ended = true;
            result = Py_NewRef(Py_None);
        } else {
            self->ended = true;
            raise_fault(finder->fault());
        }
        break;
    }
    self->busy = false;
    PyBuffer_Release(&view);
    return result;
}

PyObject* partitioner_get_rows(PyObject* op, void*) {
    return PyLong_FromLongLong(reinterpret_cast<PartitionerObject*>(op)->finder->rows());
}

PyObject* partitioner_get_position(PyObject* op, void*) {
    return PyLong_FromLongLong(reinterpret_cast<PartitionerObject*>(op)->finder->position());
}

PyMethodDef kPartitionerMethods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(partitioner_feed)), METH_FASTCALL,
     "feed(chunk, final, cuts, /)\n--\n\nReads a chunk; see the class."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kPartitionerGetSet[] = {
    {"rows", partitioner_get_rows, nullptr, "Rows ended so far.", nullptr},
    {"position", partitioner_get_position, nullptr, "UTF-16 code units read so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPartitionerSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(partitioner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(partitioner_dealloc)},
    {Py_tp_methods, kPartitionerMethods},
    {Py_tp_getset, kPartitionerGetSet},
    {Py_tp_doc, const_cast<char*>(kPartitionerDoc)},
    {0, nullptr},
};

PyType_Spec kPartitionerSpec = {
    "vorn_io._scanner.Partitioner",
    sizeof(PartitionerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kPartitionerSlots,
};

#if VORN_HAVE_PREAD

// --- _partition_file: a regular file, read by offset ------------------------

constexpr size_t kRoom = 2 * BoundaryFinder::kLookahead;  // the tail handed back

// The cuts found, kept natively while the interpreter is released.
class CutList {
public:
    CutList() = default;
    CutList(const CutList&) = delete;
    CutList& operator=(const CutList&) = delete;
    ~CutList() { PyMem_RawFree(items_); }

    bool push(int64_t offset, int64_t rows) {
        if (size_ == capacity_) {
            const size_t capacity = capacity_ ? capacity_ * 2 : 64;
            auto* items = static_cast<int64_t*>(PyMem_RawRealloc(items_, capacity * 2 * sizeof(int64_t)));
            if (!items) return false;
            items_ = items;
            capacity_ = capacity;
        }
        items_[2 * size_] = offset;
        items_[2 * size_ + 1] = rows;
        ++size_;
        return true;
    }
    size_t size() const { return size_; }
    int64_t offset(size_t k) const { return items_[2 * k]; }
    int64_t rows(size_t k) const { return items_[2 * k + 1]; }

private:
    int64_t* items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

struct RawBuffer {
    explicit RawBuffer(size_t n) : data(static_cast<uint8_t*>(PyMem_RawMalloc(n))) {}
    ~RawBuffer() { PyMem_RawFree(data); }
    RawBuffer(const RawBuffer&) = delete;
    RawBuffer& operator=(const RawBuffer&) = delete;
    uint8_t* data;
};

// Reads up to n bytes at offset into out, retrying interrupted reads: the
// count (0 at the end of the file), or -1 with errno.
ssize_t read_at(int fd, uint8_t* out, size_t n, int64_t offset) {
    for (;;) {
        const ssize_t got = pread(fd, out, n, off_t(offset));
        if (got >= 0 || errno != EINTR) return got;
    }
}

// --- The pass on several threads --------------------------------------------
//
// A large file is walked in segments at once. Each segment but the first
// begins where a row seems to begin: after a ';' from which a few rows of
// one width read without a fault (a cell's text may hold such bytes). Each
// walk must end exactly where the next segment begins, at the end of a row
// (the last at the end of the file, of a well-formed document): that
// confirms every guess, in order from the first. Along the way each walk
// keeps a row end every 64 KiB or so with the rows before it. The cuts are
// then found from those, each by a short walk from the kept row end before
// its threshold, so they are the ones one walk of the whole file finds. A
// wrong guess, a fault, or a file that changes size sends the whole pass
// to one thread, which reports what one thread reports.

constexpr int64_t kParallelFrom = int64_t(16) << 20;  // smaller files: one walk
constexpr int64_t kSegmentLeast = int64_t(8) << 20;
// Each cut is a walk from the last row end known before it, kept every
// kSampleEvery bytes: with ranges of fewer bytes than this, those walks
// would add up to another pass.
constexpr int64_t kParallelSizeFrom = int64_t(1) << 20;
constexpr int64_t kSampleEvery = int64_t(64) << 10;
// Bytes read where a segment is to begin, so that each ';' in the first
// half has the bytes a guess reads after it.
constexpr size_t kSyncWindow = size_t(128) << 10;
constexpr int kMaxSegments = 64;

// A row end and the rows before it (offsets from origin).
struct RowMark {
    int64_t offset;
    int64_t rows;
};

// What one segment's walk found.
struct Segment {
    int64_t start = 0;  // a guessed row start (0 for the first)
    int64_t end = 0;    // the next segment's start, or the file's end
    bool clean = false;
    int64_t rows = 0;  // rows ended in it
    RowMark* marks = nullptr;  // row ends, rows counted from the segment's start
    size_t mark_count = 0;
    size_t mark_capacity = 0;
    ~Segment() { PyMem_RawFree(marks); }
    bool mark(int64_t offset, int64_t rows_before) {
        if (mark_count == mark_capacity) {
            const size_t capacity = mark_capacity ? mark_capacity * 2 : 256;
            auto* grown = static_cast<RowMark*>(PyMem_RawRealloc(marks, capacity * sizeof(RowMark)));
            if (!grown) return false;
            marks = grown;
            mark_capacity = capacity;
        }
        marks[mark_count++] = {offset, rows_before};
        return true;
    }
};

// Walks [from, to) of the file from a row start with the counters given,
// reading chunk bytes at a time into buffer (chunk + kRoom bytes): at each
// cut (the first row end at or past every `every` bytes from the last),
// on_cut(offset, rows) (false stops the walk and fails it); true when the
// walk ends at `to` as a well-formed document ends (to being the end of a
// row), with *rows the rows ended. stop_after: the walk may end once a cut
// is found (the threshold walks).
template <typename OnCut>
bool walk_range(int fd, int64_t origin, int64_t from, int64_t to, int64_t every, int64_t rows0, uint8_t* buffer,
                size_t chunk, OnCut&& on_cut, int64_t* rows, bool stop_after = false) {
    BoundaryFinder finder(every);
    codec::grammar::Counters counters;
    counters.rows = rows0;
    counters.after_terminator = true;
    finder.resume(counters, from);
    finder.set_size(every);
    size_t kept = 0;
    int64_t read = from;
    for (;;) {
        const size_t want = size_t(std::min<int64_t>(int64_t(chunk + kRoom - kept), to - read));
        const ssize_t got = want ? read_at(fd, buffer + kept, want, origin + read) : 0;
        if (got < 0 || (got == 0 && read < to)) return false;
        read += got;
        const size_t length = kept + size_t(got);
        const bool final = read == to;
        size_t pos = 0;
        BoundaryFinder::Step step;
        for (;;) {
            step = finder.feed(buffer, length, &pos, final);
            if (step != BoundaryFinder::Step::Cut) break;
            if (!on_cut(finder.cut_offset(), finder.rows())) return false;
            if (stop_after) {
                *rows = finder.rows();
                return true;
            }
        }
        if (step == BoundaryFinder::Step::Malformed) return false;
        if (step == BoundaryFinder::Step::Done) {
            *rows = finder.rows();
            return true;
        }
        kept = length - pos;
        std::memmove(buffer, buffer + pos, kept);
    }
}

// The guessed start of the segment from about `at` on: a row start after
// it, or -1 when none is found in a window of the file there.
int64_t guess_row_start(int fd, int64_t origin, int64_t at, int64_t end, uint8_t* window) {
    const size_t want = size_t(std::min<int64_t>(int64_t(kSyncWindow + kRoom), end - at));
    const ssize_t got = read_at(fd, window, want, origin + at);
    if (got <= 0) return -1;
    const size_t length = size_t(got);
    const bool to_end = at + int64_t(length) == end;
    size_t scan = 0;
    while (scan < length) {
        const void* hit = std::memchr(window + scan, format::kRowTerminator, length - scan);
        if (!hit) return -1;
        const size_t start = size_t(static_cast<const uint8_t*>(hit) - window) + 1;
        scan = start;
        if (start >= length) return -1;
        // Rows of one width, whichever it is: a file's ranges need no header.
        const codec::Sync sync = codec::seems_row_start(window + start, length - start, to_end, -1, false);
        if (sync == codec::Sync::Yes) return at + int64_t(start);
        if (sync == codec::Sync::More) return -1;
    }
    return -1;
}

// The cuts of the whole pass, found on `threads` threads; false when the
// pass must be made on one (see above). cuts are those one walk finds.
bool partition_in_parallel(int fd, int64_t origin, int64_t expected, int64_t size, int threads, size_t chunk,
                           CutList& cuts) {
    int count = int(std::min<int64_t>(threads, expected / kSegmentLeast));
    if (count > kMaxSegments) count = kMaxSegments;
    if (count < 2) return false;
    Segment segments[kMaxSegments];
    RawBuffer window(kSyncWindow + kRoom);
    if (!window.data) return false;
    segments[0].start = 0;
    for (int k = 1; k < count; ++k) {
        const int64_t at = expected / count * k;
        const int64_t start = guess_row_start(fd, origin, at, expected, window.data);
        if (start < 0 || start <= segments[k - 1].start) return false;
        segments[k].start = start;
    }
    for (int k = 0; k < count; ++k) segments[k].end = k + 1 < count ? segments[k + 1].start : expected;
    struct Job {
        int fd;
        int64_t origin;
        size_t chunk;
        Segment* segments;
        void operator()(size_t k) {
            Segment& seg = segments[k];
            RawBuffer buffer(chunk + kRoom);
            if (!buffer.data) return;
            int64_t rows = 0;
            seg.clean = walk_range(
                fd, origin, seg.start, seg.end, kSampleEvery, 0, buffer.data, chunk,
                [&seg](int64_t offset, int64_t before) { return seg.mark(offset, before); }, &rows);
            seg.rows = rows;
        }
    } job{fd, origin, chunk, segments};
    ParallelJobs<Job> parallel(job, size_t(count));
    parallel.run(count);
    // The guesses hold when every walk ended where the next began.
    for (int k = 0; k < count; ++k)
        if (!segments[k].clean) return false;
    // Each cut from the last row end known before its threshold: the last
    // cut, a segment's start or a kept row end, whichever is latest.
    RawBuffer buffer(chunk + kRoom);
    if (!buffer.data) return false;
    int64_t cut = 0;       // the last cut (0: the start)
    int64_t cut_rows = 0;  // rows before it
    int64_t rows_at = 0;   // rows before segment k
    int k = 0;
    size_t m = 0;  // the next kept row end of segment k
    for (;;) {
        const int64_t threshold = cut + size;
        if (threshold > expected) return true;
        while (k + 1 < count && segments[k + 1].start < threshold) {
            rows_at += segments[k].rows;
            ++k;
            m = 0;
        }
        int64_t from = cut;
        int64_t from_rows = cut_rows;
        if (segments[k].start > from) {
            from = segments[k].start;
            from_rows = rows_at;
        }
        for (; m < segments[k].mark_count && segments[k].marks[m].offset < threshold; ++m) {
            if (segments[k].marks[m].offset > from) {
                from = segments[k].marks[m].offset;
                from_rows = rows_at + segments[k].marks[m].rows;
            }
        }
        bool found = false;
        int64_t at = 0;
        int64_t at_rows = 0;
        int64_t rows = 0;
        const bool ok = walk_range(
            fd, origin, from, expected, threshold - from, from_rows, buffer.data, chunk,
            [&](int64_t offset, int64_t r) {
                found = true;
                at = offset;
                at_rows = r;
                return true;
            },
            &rows, true);
        if (!ok) return false;
        if (!found) return true;  // the document ends first
        if (!cuts.push(at, at_rows)) return false;
        cut = at;
        cut_rows = at_rows;
    }
}

const char kPartitionFileDoc[] =
    "_partition_file(fd, origin, size, chunk, threads=1, /)\n--\n\n"
    "The row ends of the VORN document in the regular file fd from byte origin\n"
    "on, read with positioned reads (the file's position is left alone): a pair\n"
    "(cuts, total), cuts a list of (byte offset from origin, rows before it)\n"
    "for each row end that closes a range of at least size bytes, total the\n"
    "bytes read. Raises DecodeError for a malformed document, OSError when a\n"
    "read fails, and ValueError when the file ends before the size it had when\n"
    "the pass began (it was truncated meanwhile). chunk: the bytes of each read;\n"
    "threads: how many walk a large file at once (the cuts are the same).";

PyObject* cut_pairs(const CutList& cuts, long long read) {
    Ref list(PyList_New(Py_ssize_t(cuts.size())));
    if (!list) return nullptr;
    for (size_t k = 0; k < cuts.size(); ++k) {
        PyObject* pair = Py_BuildValue("(LL)", (long long)cuts.offset(k), (long long)cuts.rows(k));
        if (!pair) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(k), pair);
    }
    return Py_BuildValue("(OL)", list.get(), read);
}

PyObject* partition_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 && nargs != 5)
        return PyErr_Format(PyExc_TypeError, "_partition_file() takes 4 or 5 arguments (%zd given)", nargs);
    int threads = 1;
    if (nargs == 5) {
        threads = PyLong_AsInt(args[4]);
        if (threads == -1 && PyErr_Occurred()) return nullptr;
    }
    const int fd = PyLong_AsInt(args[0]);
    if (fd == -1 && PyErr_Occurred()) return nullptr;
    const long long origin = PyLong_AsLongLong(args[1]);
    if (origin == -1 && PyErr_Occurred()) return nullptr;
    const long long size = PyLong_AsLongLong(args[2]);
    if (size == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t chunk_arg = PyLong_AsSsize_t(args[3]);
    if (chunk_arg == -1 && PyErr_Occurred()) return nullptr;
    if (origin < 0 || size < 1 || chunk_arg < 1 || size_t(chunk_arg) > (size_t(1) << 40)) {
        PyErr_SetString(PyExc_ValueError, "origin must not be negative, and size and chunk must be positive");
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) < 0) return PyErr_SetFromErrno(PyExc_OSError);
    const int64_t expected = int64_t(info.st_size) > origin ? int64_t(info.st_size) - origin : 0;
#if defined(POSIX_FADV_SEQUENTIAL)
    (void)posix_fadvise(fd, off_t(origin), 0, POSIX_FADV_SEQUENTIAL);
#endif

    const size_t kChunk = size_t(chunk_arg);
    if (threads > 1 && expected >= kParallelFrom && size >= kParallelSizeFrom) {
        CutList parallel_cuts;
        bool done = false;
        Py_BEGIN_ALLOW_THREADS
        done = partition_in_parallel(fd, origin, expected, size, threads, kChunk, parallel_cuts);
        // A file that changed size meanwhile is read again by one walk.
        struct stat after;
        if (done && (fstat(fd, &after) < 0 || int64_t(after.st_size) - origin != expected)) done = false;
        Py_END_ALLOW_THREADS
        if (done) return cut_pairs(parallel_cuts, (long long)expected);
    }
    RawBuffer buffer(kChunk + kRoom);
    void* memory = PyMem_Malloc(sizeof(BoundaryFinder));
    if (!buffer.data || !memory) {
        PyMem_Free(memory);
        return PyErr_NoMemory();
    }
    BoundaryFinder* finder = new (memory) BoundaryFinder(size);
    struct FinderGuard {
        BoundaryFinder* f;
        ~FinderGuard() {
            f->~BoundaryFinder();
            PyMem_Free(f);
        }
    } guard{finder};

    CutList cuts;
    size_t kept = 0;   // bytes handed back at the front of the buffer
    int64_t read = 0;  // bytes read from origin on
    for (;;) {
        ssize_t got;
        int error = 0;
        bool out_of_memory = false;
        size_t length = 0;
        size_t pos = 0;
        BoundaryFinder::Step step = BoundaryFinder::Step::More;
        Py_BEGIN_ALLOW_THREADS
        got = read_at(fd, buffer.data + kept, kChunk + kRoom - kept, origin + read);
        if (got < 0) {
            error = errno;
        } else {
            read += got;
            length = kept + size_t(got);
            const bool final = got == 0;
            for (;;) {
                step = finder->feed(buffer.data, length, &pos, final);
                if (step != BoundaryFinder::Step::Cut) break;
                if (!cuts.push(finder->cut_offset(), finder->rows())) {
                    out_of_memory = true;
                    break;
                }
            }
        }
        Py_END_ALLOW_THREADS
        if (got < 0) {
            errno = error;
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        if (out_of_memory) return PyErr_NoMemory();
        if (got == 0 && read < expected) {
            // What was read is not the file that the pass began on.
            return PyErr_Format(PyExc_ValueError,
                                "the file was truncated while it was partitioned: it ended at byte %lld "
                                "of the %lld it held when the pass began",
                                (long long)(origin + read), (long long)(origin + expected));
        }
        if (step == BoundaryFinder::Step::Malformed) {
            raise_fault(finder->fault());
            return nullptr;
        }
        if (step == BoundaryFinder::Step::Done) break;
        kept = length - pos;
        std::memmove(buffer.data, buffer.data + pos, kept);
        if (PyErr_CheckSignals() < 0) return nullptr;
    }

    return cut_pairs(cuts, (long long)read);
}

PyMethodDef kPartitionFunctions[] = {
    {"_partition_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(partition_file)), METH_FASTCALL,
     kPartitionFileDoc},
    {nullptr, nullptr, 0, nullptr},
};

#endif  // VORN_HAVE_PREAD

}  // namespace

int add_partition_functions(PyObject* module) {
    Ref type(PyType_FromModuleAndSpec(module, &kPartitionerSpec, nullptr));
    if (!type) return -1;
    if (PyModule_AddObjectRef(module, "Partitioner", type.get()) < 0) return -1;
#if VORN_HAVE_PREAD
    if (PyModule_AddFunctions(module, kPartitionFunctions) < 0) return -1;
#endif
    return 0;
}

}  // namespace vorn::io
