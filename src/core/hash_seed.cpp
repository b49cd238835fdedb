// The process's hash seed (see core.h), taken from the random bytes the
// kernel hands every process.
#include <sys/auxv.h>

#include <cstdint>
#include <cstring>

#include "core/core.h"

uint64_t g_quorvel_hash_seed = 0;

uint64_t quorvel_hash_seed_init() {
    uint64_t seed = 0x243F6A8885A308D3ull;
    if (auto* random = reinterpret_cast<const unsigned char*>(getauxval(AT_RANDOM))) {
        uint64_t r;
        std::memcpy(&r, random, sizeof r);
        seed ^= r;
    }
    seed |= 1;
    // Threads that race here compute the same value.
    __atomic_store_n(&g_quorvel_hash_seed, seed, __ATOMIC_RELAXED);
    return seed;
}
