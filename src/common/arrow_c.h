// The Arrow C Data Interface and C Stream Interface: the structs through
// which columnar libraries (pyarrow, polars, DuckDB, pandas) hand each other
// arrays without sharing a library. Their layout is a stable ABI, written
// here from the interface's documentation; the guard macros are the ones
// that documentation asks every copy to use, so that a translation unit that
// also includes another copy compiles.
//
// Ownership: whoever holds a struct whose release is not null owns it and
// must call release exactly once; release frees what the producer allocated
// and sets release to null. A consumer may move a child out of its parent
// (copy it and set the original's release to null) and release it on its
// own, from any thread. Nothing here touches the interpreter.
#pragma once

#include <cstdint>

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

extern "C" {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

}  // extern "C"

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

extern "C" {

struct ArrowArrayStream {
    // 0 or an errno value; the schema of every array the stream gives.
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    // 0 or an errno value; out->release is null at the end of the stream.
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    // The last error's description, valid until the next call, or null.
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

}  // extern "C"

#endif  // ARROW_C_STREAM_INTERFACE

// The capsule names of the Arrow PyCapsule interface.
namespace vorn::arrow {
inline constexpr const char kSchemaCapsule[] = "arrow_schema";
inline constexpr const char kArrayCapsule[] = "arrow_array";
inline constexpr const char kStreamCapsule[] = "arrow_array_stream";
}  // namespace vorn::arrow
