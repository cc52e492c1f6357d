// Memory for large buffers that is kept for reuse once freed.
//
// A buffer of a table's column is written once, handed to a consumer and
// freed when the consumer lets go of it; from the C library it comes as
// fresh pages, and faulting them in cost about as much as filling them.
// Buffers from 64 KiB to 64 MiB are therefore rounded up to one of four
// sizes per power of two, and a freed one is kept, up to 128 MiB in all,
// for the next request of its size (or of up to half its size): a read that follows another, or a batch
// that follows one a consumer has freed, writes into memory already in
// place. Other sizes come from the C heap and go back to it.
//
// Any thread may allocate and free (an Arrow consumer releases buffers on
// the thread of its choice). A sanitizer build, or VORN_NO_POOL in the
// environment (as the memcheck job sets it), keeps nothing, so that a use
// after free still reaches the tools. Nothing here touches the interpreter.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace vorn::pool {

// Bytes before each buffer: its capacity, and room that keeps the buffer
// at the C heap's alignment.
inline constexpr size_t kHeader = 64;
inline constexpr size_t kSmallest = size_t(64) << 10;
inline constexpr size_t kLargest = size_t(64) << 20;
inline constexpr size_t kKept = size_t(128) << 20;
inline constexpr int kClasses = (26 - 16) * 4 + 1;  // 64 KiB (2^16) to 64 MiB (2^26)
inline constexpr int kSlots = 512;
inline constexpr int kLarger = 4;  // classes above a request's that may serve it

// The size class of a request in [kSmallest, kLargest]: its index, and the
// size it is rounded up to (a power of two times 1, 1.25, 1.5 or 1.75).
struct Class {
    int index;
    size_t size;
};

inline Class class_of(size_t n) {
    const int k = 63 - std::countl_zero(uint64_t(n));
    const size_t step = size_t(1) << (k - 2);
    const size_t size = (n + step - 1) & ~(step - 1);
    return {(k - 16) * 4 + int(size >> (k - 2)) - 4, size};
}

struct State {
    std::mutex mutex;
    void* slots[kClasses][kSlots];
    int count[kClasses] = {};
    size_t kept = 0;
    bool enabled = true;
};

inline State& state() {
    // Never destroyed: buffers may be freed after static destructors ran.
    static State* s = [] {
        auto* made = new State;
#if defined(__SANITIZE_ADDRESS__)
        made->enabled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
        made->enabled = false;
#endif
#endif
        if (std::getenv("VORN_NO_POOL")) made->enabled = false;
        return made;
    }();
    return *s;
}

inline bool pooled(size_t n) { return n >= kSmallest && n <= kLargest; }

// A buffer of at least n bytes (its capacity in *capacity), or null.
inline uint8_t* allocate(size_t n, size_t* capacity) {
    size_t size = n;
    if (pooled(n)) {
        const Class c = class_of(n);
        size = c.size;
        State& s = state();
        if (s.enabled) {
            // A kept buffer of the size, or else of up to twice the size.
            std::lock_guard<std::mutex> lock(s.mutex);
            for (int k = c.index; k <= c.index + kLarger && k < kClasses; ++k) {
                if (s.count[k] == 0) continue;
                auto* base = static_cast<uint8_t*>(s.slots[k][--s.count[k]]);
                const size_t kept = *reinterpret_cast<size_t*>(base);
                s.kept -= kept;
                *capacity = kept;
                return base + kHeader;
            }
        }
    }
    if (size > SIZE_MAX - kHeader) return nullptr;
    auto* base = static_cast<uint8_t*>(std::malloc(size + kHeader));
    if (!base) return nullptr;
    *reinterpret_cast<size_t*>(base) = size;
    *capacity = size;
    return base + kHeader;
}

// Frees a buffer from allocate (null is ignored).
inline void release(void* buffer) {
    if (!buffer) return;
    uint8_t* base = static_cast<uint8_t*>(buffer) - kHeader;
    const size_t size = *reinterpret_cast<size_t*>(base);
    if (pooled(size)) {
        State& s = state();
        if (s.enabled) {
            const Class c = class_of(size);
            std::lock_guard<std::mutex> lock(s.mutex);
            if (s.count[c.index] < kSlots && s.kept + size <= kKept) {
                s.slots[c.index][s.count[c.index]++] = base;
                s.kept += size;
                return;
            }
        }
    }
    std::free(base);
}

}  // namespace vorn::pool
