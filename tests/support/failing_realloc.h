// Fails every growth of the serializer's working memory after the first
// `allowed` ones on this thread, and puts the previous function back.
#pragma once

#include <cstdlib>

#include "output/output.h"

struct failing_realloc {
    explicit failing_realloc(int allowed) : previous(g_ser_realloc) {
        remaining = allowed;
        g_ser_realloc = [](void* p, size_t n) -> void* { return remaining-- > 0 ? std::realloc(p, n) : nullptr; };
    }
    failing_realloc(const failing_realloc&) = delete;
    failing_realloc& operator=(const failing_realloc&) = delete;
    ~failing_realloc() { g_ser_realloc = previous; }
    ser_realloc_fn previous;
    static inline thread_local int remaining = 0;
};
