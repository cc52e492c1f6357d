// A growable run of bytes. Nothing here touches the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/pool.h"
#include "common/portable.h"

namespace vorn {

// A growable run of bytes from the pool (common/pool.h), so that an Arrow
// consumer can free it on any thread, with pool::release. Every buffer
// holds at least one allocated byte, since Arrow's buffers other than
// validity may not be null.
struct ByteBuffer {
    uint8_t* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;

    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { pool::release(data); }

    // Room for extra more bytes; false when memory ran out.
    bool reserve(size_t extra) {
        if (capacity - size >= extra && data) return true;
        return grow(extra);
    }
    void put(const void* p, size_t n) {
        if (n) std::memcpy(data + size, p, n);
        size += n;
    }
    // Hands the allocation over (freed with pool::release).
    uint8_t* take() {
        uint8_t* d = data;
        data = nullptr;
        size = capacity = 0;
        return d;
    }

private:
    VORN_NOINLINE bool grow(size_t extra) {
        const size_t want = size + extra;
        if (want < size) return false;
        // Twice the room, or what is asked when that is more: a first
        // request is met as asked (the pool rounds it up a quarter at most).
        size_t next = capacity ? (capacity <= SIZE_MAX / 2 ? capacity * 2 : SIZE_MAX) : 64;
        if (next < want) next = want;
        size_t granted = 0;
        uint8_t* grown = pool::allocate(next, &granted);
        if (!grown) return false;
        if (size) std::memcpy(grown, data, size);
        pool::release(data);
        data = grown;
        capacity = granted;
        return true;
    }
};

}  // namespace vorn
