// Allocation hooks for tests that fail one allocation after another: the
// countdown says how many succeed before the failing one (-1: none fails),
// and live counts the blocks not yet freed, so a test can check that a
// failed call left nothing behind.
#pragma once

#include <cstdlib>

namespace hooks {

inline int countdown = -1;
inline int live = 0;

inline void* failing_alloc(size_t n) {
    if (countdown == 0) return nullptr;
    if (countdown > 0) countdown--;
    void* p = std::malloc(n);
    if (p) live++;
    return p;
}

inline void counted_free(void* p) {
    if (p) live--;
    std::free(p);
}

}  // namespace hooks
