// Working memory with its release function in a header (see core.h).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/core.h"

namespace {

// Keeps the data 16-aligned behind the release function.
struct alignas(16) work_header {
    quorvel_release_fn release;
};
static_assert(sizeof(work_header) == 16);

inline work_header* header_of(void* block) { return static_cast<work_header*>(block) - 1; }

}  // namespace

void* quorvel_work_alloc(size_t n) {
    if (n > SIZE_MAX - sizeof(work_header)) return nullptr;
    quorvel_release_fn release;
    auto* h = static_cast<work_header*>(quorvel_hooked_alloc(n + sizeof(work_header), &release));
    if (!h) return nullptr;
    h->release = release;
    return h + 1;
}

void* quorvel_work_calloc(size_t n) {
    void* block = quorvel_work_alloc(n);
    if (block) std::memset(block, 0, n);
    return block;
}

void* quorvel_work_realloc(void* block, size_t keep, size_t n) {
    if (!block) return quorvel_work_alloc(n);
    if (n > SIZE_MAX - sizeof(work_header)) return nullptr;
    work_header* h = header_of(block);
    if (!h->release && !quorvel_hooks_active()) {
        // Plain malloc both ways: realloc may grow in place.
        auto* fresh = static_cast<work_header*>(std::realloc(h, n + sizeof(work_header)));
        return fresh ? fresh + 1 : nullptr;
    }
    void* fresh = quorvel_work_alloc(n);
    if (!fresh) return nullptr;
    std::memcpy(fresh, block, keep < n ? keep : n);
    quorvel_work_free(block);
    return fresh;
}

void quorvel_work_free(void* block) {
    if (!block) return;
    work_header* h = header_of(block);
    quorvel_hooked_release(h, h->release);
}

