// Allocation hooks that count what the library holds on this thread, by
// usable block size, and the peak of it: a benchmark installs them around
// an operation to learn what the operation asks of the heap at its highest.
#pragma once

#include <malloc.h>

#include <cstdint>
#include <cstdlib>

namespace bench_memory {

inline thread_local int64_t g_live = 0, g_peak = 0;

inline void* counting_alloc(size_t n) {
    void* p = std::malloc(n);
    if (p) {
        g_live += static_cast<int64_t>(malloc_usable_size(p));
        if (g_live > g_peak) g_peak = g_live;
    }
    return p;
}

inline void counting_free(void* p) {
    if (p) g_live -= static_cast<int64_t>(malloc_usable_size(p));
    std::free(p);
}

}  // namespace bench_memory
