#pragma once
// Counts heap allocations of the whole process (every thread, every library) for benchmarks that
// report allocations per frame: the malloc family is interposed on glibc's own entry points, so
// that operator new and allocations inside third-party libraries (OpenCV) are seen too.
//
// Include this header in exactly one source file of a benchmark program: it defines malloc,
// calloc, realloc, posix_memalign and aligned_alloc for the program.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <vector>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
}

namespace KovonBench {
inline std::atomic<long> allocationCount{0};

// Allocations since the program started.
inline long AllocationCount() {
    return allocationCount.load(std::memory_order_relaxed);
}

// False when the interposed allocator is not the one in use (a sanitizer's, say): the counts
// are then meaningless.
inline bool AllocationCountingActive() {
    const long before = AllocationCount();
    benchmark::DoNotOptimize(std::vector<unsigned char>(4096).data());
    return AllocationCount() != before;
}
}  // namespace KovonBench

extern "C" {
void* malloc(std::size_t n) {
    KovonBench::allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t s) {
    KovonBench::allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, s);
}
void* realloc(void* p, std::size_t n) {
    KovonBench::allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    KovonBench::allocationCount.fetch_add(1, std::memory_order_relaxed);
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void* aligned_alloc(std::size_t alignment, std::size_t n) {
    KovonBench::allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, n);
}
}
