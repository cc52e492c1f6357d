// Runs jobs 0..n-1 on up to `threads` threads, the calling one among them,
// each job taken by the next free thread; returns when all are done. A
// thread that cannot be started leaves its share to the others. Nothing
// here touches the interpreter.
#pragma once

#include <atomic>
#include <cstddef>

#if defined(_WIN32)
#include <new>
#include <thread>
#else
#include <pthread.h>
#endif

namespace vorn {

template <typename Job>
class ParallelJobs {
public:
    ParallelJobs(Job& job, size_t n) : job_(job), n_(n) {}

    void run(int threads) {
        constexpr int kMax = 64;
        if (threads > kMax) threads = kMax;
        if (size_t(threads) > n_) threads = int(n_);
#if defined(_WIN32)
        std::thread* started[kMax] = {};
#else
        pthread_t started[kMax];
#endif
        int count = 0;
        for (int k = 1; k < threads; ++k) {
#if defined(_WIN32)
            started[count] = new (std::nothrow) std::thread(work, this);
            if (!started[count]) break;
#else
            if (pthread_create(&started[count], nullptr, work, this) != 0) break;
#endif
            ++count;
        }
        loop();
        for (int k = 0; k < count; ++k) {
#if defined(_WIN32)
            started[k]->join();
            delete started[k];
#else
            pthread_join(started[k], nullptr);
#endif
        }
    }

private:
#if defined(_WIN32)
    static void work(ParallelJobs* self) { self->loop(); }
#else
    static void* work(void* self) {
        static_cast<ParallelJobs*>(self)->loop();
        return nullptr;
    }
#endif
    void loop() {
        for (;;) {
            const size_t k = next_.fetch_add(1, std::memory_order_relaxed);
            if (k >= n_) return;
            job_(k);
        }
    }

    Job& job_;
    size_t n_;
    std::atomic<size_t> next_{0};
};

}  // namespace vorn
