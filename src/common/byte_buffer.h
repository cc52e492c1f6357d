// A growable run of bytes. Nothing here touches the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/portable.h"

namespace vorn {

// A growable run of bytes in the C heap, so that an Arrow consumer can free
// it on any thread. Every buffer holds at least one allocated byte, since
// Arrow's buffers other than validity may not be null.
struct ByteBuffer {
    uint8_t* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;

    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { std::free(data); }

    // Room for extra more bytes; false when memory ran out.
    bool reserve(size_t extra) {
        if (capacity - size >= extra && data) return true;
        return grow(extra);
    }
    void put(const void* p, size_t n) {
        if (n) std::memcpy(data + size, p, n);
        size += n;
    }
    // Hands the allocation over.
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
        size_t next = capacity ? capacity : 64;
        while (next < want) next *= 2;
        auto* grown = static_cast<uint8_t*>(std::realloc(data, next));
        if (!grown) return false;
        data = grown;
        capacity = next;
        return true;
    }
};

}  // namespace vorn
