// Arenas, pools and the block caches that make throwing them away cheap.
// Small arena blocks are kept per thread, large ones and reserved mappings
// in a process-wide cache behind a spin lock, and page-pool headers and
// pages on per-thread recycle lists. Only blocks made by plain malloc or
// mapped by the library are ever cached: a block made through a caller's
// hook goes straight back through its release hook.
#include <sys/mman.h>

#include <atomic>

#include "core/core.h"

constinit thread_local quorvel_block_cache g_small{};
quorvel_retain_cache g_retain;
namespace {
std::atomic<int> g_retain_lock{0};
}

constinit thread_local quorvel_recycle_list t_recycle_pools{};
constinit thread_local quorvel_recycle_list t_recycle_pages{};

void quorvel_retain_lock() {
    for (;;) {
        int expected = 0;
        if (g_retain_lock.compare_exchange_weak(expected, 1, std::memory_order_acquire)) return;
        while (g_retain_lock.load(std::memory_order_relaxed) != 0) {
        }
    }
}

void quorvel_retain_unlock() { g_retain_lock.store(0, std::memory_order_release); }

// ---- Arenas -------------------------------------------------------------------

namespace {

// A block leaving the cache for good. A mapping is unpoisoned first: the
// address range may be mapped again for something else.
void release_cached(void* block, size_t size, size_t resident, bool mapped) {
    if (mapped) {
        quorvel_unpoison(block, resident);
        munmap(block, size);
    } else {
        std::free(block);
    }
}

// Takes entry i out of the cache; the lock is held.
void retain_remove(size_t i) {
    g_retain.bytes -= g_retain.resident[i];
    g_retain.count--;
    size_t after = g_retain.count - i;
    std::memmove(g_retain.blocks + i, g_retain.blocks + i + 1, after * sizeof g_retain.blocks[0]);
    std::memmove(g_retain.sizes + i, g_retain.sizes + i + 1, after * sizeof g_retain.sizes[0]);
    std::memmove(g_retain.resident + i, g_retain.resident + i + 1, after * sizeof g_retain.resident[0]);
    std::memmove(g_retain.mapped + i, g_retain.mapped + i + 1, after * sizeof g_retain.mapped[0]);
}

// Caches a block (the oldest blocks make room: a program that moves on to
// documents of another size soon has its own blocks cached, not the last
// size's), or releases it when it alone is over the bound. Evicted blocks
// are released outside the lock. resident: the bytes that hold data,
// poisoned while cached and counted against the bound.
void retain_put(void* block, size_t size, size_t resident, bool mapped) {
    if (resident > kRetainBytes) {
        release_cached(block, size, resident, mapped);
        return;
    }
    void* evicted[kRetainSlots];
    size_t evicted_sizes[kRetainSlots];
    size_t evicted_resident[kRetainSlots];
    bool evicted_mapped[kRetainSlots];
    size_t evicted_count = 0;
    quorvel_retain_lock();
    while (g_retain.count == kRetainSlots || g_retain.bytes + resident > kRetainBytes) {
        evicted[evicted_count] = g_retain.blocks[0];
        evicted_sizes[evicted_count] = g_retain.sizes[0];
        evicted_resident[evicted_count] = g_retain.resident[0];
        evicted_mapped[evicted_count] = g_retain.mapped[0];
        evicted_count++;
        retain_remove(0);
    }
    size_t i = g_retain.count++;
    g_retain.blocks[i] = block;
    g_retain.sizes[i] = size;
    g_retain.resident[i] = resident;
    g_retain.mapped[i] = mapped;
    g_retain.bytes += resident;
    quorvel_poison(block, resident);
    quorvel_retain_unlock();
    for (size_t k = 0; k < evicted_count; k++) release_cached(evicted[k], evicted_sizes[k], evicted_resident[k], evicted_mapped[k]);
}

constexpr size_t kMapAlign = size_t(2) << 20;  // huge page boundary
constexpr size_t kReserveMin = size_t(64) << 20;
constexpr size_t kReserveMax = size_t(1) << 46;

// A fresh private mapping of size bytes (a multiple of kMapAlign), aligned
// to kMapAlign so that huge pages can back it past its first huge page.
// The first kMapAlign bytes keep small pages: a small user (a modest
// document, a short walk result) then commits only the pages it writes,
// not a whole zeroed huge page; a large one gets huge pages for the rest.
void* map_reserved(size_t size) {
    size_t span = size + kMapAlign;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto lo = reinterpret_cast<uintptr_t>(raw);
    uintptr_t start = (lo + kMapAlign - 1) & ~(kMapAlign - 1);
    if (start > lo) munmap(raw, start - lo);
    uintptr_t tail = lo + span - (start + size);
    if (tail) munmap(reinterpret_cast<void*>(start + size), tail);
    void* block = reinterpret_cast<void*>(start);
#ifdef MADV_HUGEPAGE
    if (size > kMapAlign) madvise(static_cast<char*>(block) + kMapAlign, size - kMapAlign, MADV_HUGEPAGE);
#endif
    return block;
}

}  // namespace

// The best-fitting cached malloc'd block of at least size bytes, NULL when
// none fits. A block more than half as large again is left for a larger
// request: a loop of parses asks for the same few sizes each time.
void* retain_take(size_t size, size_t* actual) {
    void* block = nullptr;
    quorvel_retain_lock();
    size_t best = g_retain.count;
    for (size_t i = 0; i < g_retain.count; i++) {
        size_t have = g_retain.sizes[i];
        if (!g_retain.mapped[i] && have >= size && have - size <= size / 2 &&
            (best == g_retain.count || have < g_retain.sizes[best]))
            best = i;
    }
    if (best < g_retain.count) {
        block = g_retain.blocks[best];
        *actual = g_retain.sizes[best];
        retain_remove(best);
        quorvel_unpoison(block, *actual);
    }
    quorvel_retain_unlock();
    return block;
}

void* quorvel_large_alloc(size_t size, size_t* actual, quorvel_release_fn* release) {
    *release = nullptr;
    *actual = size;
    if (size >= kLargeBlockMin && g_quorvel_alloc_function == nullptr)
        if (void* block = retain_take(size, actual)) return block;
    return quorvel_hooked_alloc(size, release);
}


quorvel_arena* quorvel_arena_create(size_t capacity) {
    constexpr size_t header = sizeof(quorvel_arena);
    if (capacity == 0 || capacity > SIZE_MAX - header) return nullptr;
    size_t total = capacity + header;
    void* block = nullptr;
    size_t block_size = total;
    quorvel_release_fn release = nullptr;
    bool hooked = g_quorvel_alloc_function != nullptr;

    if (total >= kLargeBlockMin) {
        // The shared cache holds malloc'd blocks only; a thread whose blocks
        // must come from its hook does not take from it.
        if (!hooked) block = retain_take(total, &block_size);
    } else if (!quorvel_hooks_active()) {
        for (size_t i = g_small.count; i-- > 0;) {
            if (g_small.sizes[i] == total) {
                block = g_small.blocks[i];
                size_t last = --g_small.count;
                g_small.blocks[i] = g_small.blocks[last];
                g_small.sizes[i] = g_small.sizes[last];
                g_small.bytes -= total;
                quorvel_unpoison(block, total);
                break;
            }
        }
    }
    if (!block) {
        block = quorvel_hooked_alloc(total, &release);
        if (!block) return nullptr;
        block_size = total;
    }
    auto* a = static_cast<quorvel_arena*>(block);
    a->base = block;
    a->data = static_cast<char*>(block) + header;
    a->capacity = block_size - header;
    a->used = 0;
    a->exhausted = 0;
    a->release = release;
    a->mapped = 0;
    a->touched = 0;
    return a;
}

quorvel_arena* quorvel_arena_reserve(size_t capacity) {
    constexpr size_t header = sizeof(quorvel_arena);
    if (g_quorvel_alloc_function != nullptr || capacity == 0 || capacity > kReserveMax) return nullptr;
    // Lengths in steps of powers of two: documents of about one size share
    // their warm mappings.
    size_t size = kReserveMin;
    while (size < capacity + header) size <<= 1;
    void* block = nullptr;
    size_t resident = 0;
    quorvel_retain_lock();
    size_t best = g_retain.count;
    for (size_t i = 0; i < g_retain.count; i++)
        if (g_retain.mapped[i] && g_retain.sizes[i] >= size &&
            (best == g_retain.count || g_retain.sizes[i] < g_retain.sizes[best]))
            best = i;
    if (best < g_retain.count) {
        block = g_retain.blocks[best];
        size = g_retain.sizes[best];
        resident = g_retain.resident[best];
        retain_remove(best);
    }
    quorvel_retain_unlock();
    if (block) {
        quorvel_unpoison(block, resident);
    } else {
        block = map_reserved(size);
        if (!block) return nullptr;
    }
    auto* a = static_cast<quorvel_arena*>(block);
    a->base = block;
    a->data = static_cast<char*>(block) + header;
    a->capacity = size - header;
    a->used = 0;
    a->exhausted = 0;
    a->release = nullptr;
    a->mapped = size;
    a->touched = resident > header ? resident - header : 0;
    return a;
}

void quorvel_arena_destroy(quorvel_arena* arena) {
    if (!arena) return;
    if (arena->mapped) {
        // What the kernel has committed of the mapping stays committed while
        // it is cached: that is what counts against the cache's bound.
        size_t touched = arena->used > arena->touched ? arena->used : arena->touched;
        size_t page = 4096;
        size_t resident = (sizeof(quorvel_arena) + touched + page - 1) & ~(page - 1);
        if (resident > arena->mapped) resident = arena->mapped;
        retain_put(arena->base, arena->mapped, resident, true);
        return;
    }
    retain_give(arena->base, arena->capacity + sizeof(quorvel_arena), arena->release);
}

void retain_give(void* block, size_t size, quorvel_release_fn release) {
    if (!block) return;
    if (release) {
        release(block);
        return;
    }
    if (size >= kLargeBlockMin) {
        retain_put(block, size, size, false);
        return;
    }
    if (!quorvel_hooks_active() && g_small.count < kSmallCacheSlots &&
        g_small.bytes + size <= kSmallCacheBytes) {
        quorvel_thread_register_exit();
        g_small.blocks[g_small.count] = block;
        g_small.sizes[g_small.count] = size;
        g_small.count++;
        g_small.bytes += size;
        quorvel_poison(block, size);
        return;
    }
    std::free(block);
}

void quorvel_retain_release_all() {
    quorvel_retain_lock();
    while (g_retain.count) {
        size_t last = g_retain.count - 1;
        void* block = g_retain.blocks[last];
        size_t size = g_retain.sizes[last];
        bool mapped = g_retain.mapped[last];
        size_t resident = g_retain.resident[last];
        retain_remove(last);
        release_cached(block, size, resident, mapped);
    }
    quorvel_retain_unlock();
}

// ---- Recycle lists ---------------------------------------------------------------

namespace {

struct recycle_entry {
    recycle_entry* next;
    size_t size;
};

// Takes an entry of exactly size bytes; a miss raises the limit by one.
void* recycle_take(quorvel_recycle_list& list, size_t size) {
    recycle_entry** link = reinterpret_cast<recycle_entry**>(&list.head);
    for (recycle_entry* e = *link; e; link = &e->next, e = e->next) {
        if (e->size == size) {
            *link = e->next;
            list.count--;
            list.misses = 0;
            quorvel_unpoison(e, size);
            return e;
        }
    }
    if (list.limit < 64) list.limit++;
    return nullptr;
}

// Pushes a malloc'd block or frees it, adapting the limit as described for
// the pool recycle lists: evictions shrink it while it is above 2.
void recycle_put(quorvel_recycle_list& list, void* block, size_t size) {
    if (list.count < list.limit) {
        quorvel_thread_register_exit();
        auto* e = static_cast<recycle_entry*>(block);
        e->next = static_cast<recycle_entry*>(list.head);
        e->size = size;
        list.head = e;
        list.count++;
        list.misses = 0;
        quorvel_poison(reinterpret_cast<char*>(e) + sizeof *e, size - sizeof *e);
        return;
    }
    if (list.misses >= list.limit && list.limit > 2 && list.head) {
        list.limit--;
        recycle_entry** link = reinterpret_cast<recycle_entry**>(&list.head);
        while ((*link)->next) link = &(*link)->next;
        std::free(*link);
        *link = nullptr;
        list.count--;
    }
    list.misses++;
    std::free(block);
}

void* page_data(quorvel_pool_page* page) { return page + 1; }

quorvel_pool_page* page_new(size_t page_size, bool from_recycle) {
    size_t alloc = sizeof(quorvel_pool_page) + page_size;
    void* block = nullptr;
    quorvel_release_fn release = nullptr;
    if (from_recycle && !quorvel_hooks_active()) block = recycle_take(t_recycle_pages, alloc);
    if (!block) block = quorvel_hooked_alloc(alloc, &release);
    if (!block) return nullptr;
    auto* page = static_cast<quorvel_pool_page*>(block);
    page->next = nullptr;
    page->capacity = page_size;
    page->used = 0;
    page->release = release;
    page->alloc_size = alloc;
    return page;
}

}  // namespace

// ---- Pools ------------------------------------------------------------------------

quorvel_pool* quorvel_pool_create_with_page_size(size_t requested) {
    size_t page = requested > SIZE_MAX - 7 - 4096 ? SIZE_MAX : (requested + 7) & ~size_t(7);
    if (page < 4096) page = 4096;
    size_t header = (sizeof(quorvel_pool) + 7) & ~size_t(7);
    if (page > SIZE_MAX - header - sizeof(quorvel_pool_page)) return nullptr;
    size_t alloc = header + sizeof(quorvel_pool_page) + page;

    void* block = nullptr;
    quorvel_release_fn release = nullptr;
    if (!quorvel_hooks_active()) block = recycle_take(t_recycle_pools, alloc);
    if (!block) block = quorvel_hooked_alloc(alloc, &release);
    if (!block) return nullptr;

    auto* pool = static_cast<quorvel_pool*>(block);
    std::memset(pool, 0, sizeof *pool);
    auto* first = reinterpret_cast<quorvel_pool_page*>(static_cast<char*>(block) + header);
    first->next = nullptr;
    first->capacity = page;
    first->used = 0;
    first->release = nullptr;  // part of the header block
    first->alloc_size = 0;
    pool->first_page = pool->current_page = first;
    pool->page_count = 1;
    pool->page_size = page;
    pool->first_page_inline = 1;
    pool->over_tail = &pool->over_head;
    pool->release = release;
    pool->header_alloc_size = alloc;

    if (page > 8191) {
        if (quorvel_pool_page* second = page_new(page, true)) {
            first->next = second;
            pool->current_page = second;
            pool->page_count = 2;
        }
    }
    return pool;
}

quorvel_pool* quorvel_pool_create_arena_backed(quorvel_arena* arena, int owns) {
    if (!arena) return nullptr;
    quorvel_pool* pool = nullptr;
    quorvel_release_fn release = nullptr;
    size_t header = (sizeof(quorvel_pool) + 7) & ~size_t(7);
    int in_arena = 0;
    if (owns && arena->capacity - arena->used >= header) {
        pool = reinterpret_cast<quorvel_pool*>(arena->data + arena->used);
        arena->used += header;
        in_arena = 1;
    } else {
        pool = static_cast<quorvel_pool*>(quorvel_hooked_alloc(sizeof(quorvel_pool), &release));
        if (!pool) return nullptr;
    }
    std::memset(pool, 0, sizeof *pool);
    pool->header_in_arena = in_arena;
    pool->over_tail = &pool->over_head;
    pool->arena = arena;
    pool->owns_arena = owns ? 1 : 0;
    pool->release = release;
    return pool;
}

namespace {

constexpr size_t kSpillMaxRequest = 4096;
constexpr size_t kSpillFirstChunk = 64u * 1024;
constexpr size_t kSpillMaxChunk = 4u * 1024 * 1024;

// Separate block of size bytes listed on the pool's oversized list.
void* oversized_block(quorvel_pool* pool, size_t size) {
    quorvel_release_fn release;
    void* block = quorvel_hooked_alloc(size, &release);
    if (!block) return nullptr;
    if (!quorvel_pool_adopt_block(pool, block, size, release)) {
        quorvel_hooked_release(block, release);
        return nullptr;
    }
    return block;
}

}  // namespace

bool quorvel_pool_adopt_block(quorvel_pool* pool, void* block, size_t size, quorvel_release_fn release) {
    if (!pool || !pool->arena || !block) return false;
    quorvel_release_fn node_release;
    auto* node = static_cast<quorvel_oversized*>(quorvel_hooked_alloc(sizeof(quorvel_oversized), &node_release));
    if (!node) return false;
    // The block was made under the calling thread's hooks, as the node is:
    // one release function serves both.
    node->next = nullptr;
    node->block = block;
    node->size = size;
    node->release = release;
    *pool->over_tail = node;
    pool->over_tail = &node->next;
    return true;
}

void* quorvel_pool_alloc_slow(quorvel_pool* pool, size_t size, size_t /*requested*/) {
    if (quorvel_arena* a = pool->arena) {
        a->exhausted = 1;
        if (size > kSpillMaxRequest) return oversized_block(pool, size);
        // Small requests past the arena's end share growing spill chunks:
        // a document that outgrows its first arena must not pay two
        // allocations per record.
        if (static_cast<size_t>(pool->spill_end - pool->spill_next) < size) {
            size_t chunk = pool->spill_chunk ? pool->spill_chunk : kSpillFirstChunk;
            char* block = static_cast<char*>(oversized_block(pool, chunk));
            if (!block) return nullptr;
            pool->spill_next = block;
            pool->spill_end = block + chunk;
            pool->spill_chunk = chunk < kSpillMaxChunk ? chunk * 2 : chunk;
        }
        void* p = pool->spill_next;
        pool->spill_next += size;
        return p;
    }
    if (size > pool->page_size) {
        quorvel_release_fn release;
        void* block = quorvel_hooked_alloc(size, &release);
        if (!block) return nullptr;
        // The list node lives in the pool's pages; it must not recurse here.
        quorvel_oversized* node = nullptr;
        quorvel_pool_page* pg = pool->current_page;
        size_t need = (sizeof(quorvel_oversized) + 7) & ~size_t(7);
        if (pg && pg->capacity - pg->used >= need) {
            node = reinterpret_cast<quorvel_oversized*>(static_cast<char*>(page_data(pg)) + pg->used);
            pg->used += need;
        } else {
            quorvel_pool_page* fresh = page_new(pool->page_size, false);
            if (!fresh) {
                quorvel_hooked_release(block, release);
                return nullptr;
            }
            if (pg) pg->next = fresh; else pool->first_page = fresh;
            pool->current_page = fresh;
            pool->page_count++;
            node = static_cast<quorvel_oversized*>(page_data(fresh));
            fresh->used = need;
        }
        node->next = nullptr;
        node->block = block;
        node->size = size;
        node->release = release;
        *pool->over_tail = node;
        pool->over_tail = &node->next;
        return block;
    }
    quorvel_pool_page* fresh = page_new(pool->page_size, false);
    if (!fresh) return nullptr;
    if (pool->current_page) pool->current_page->next = fresh; else pool->first_page = fresh;
    pool->current_page = fresh;
    pool->page_count++;
    fresh->used = size;
    return page_data(fresh);
}

void quorvel_pool_destroy(quorvel_pool* pool) {
    if (!pool) return;
    if (quorvel_arena* a = pool->arena) {
        for (quorvel_oversized* node = pool->over_head; node;) {
            quorvel_oversized* next = node->next;
            quorvel_release_fn release = node->release;
            retain_give(node->block, node->size, release);  // a large plain block stays warm for the next parse
            quorvel_hooked_release(node, release);
            node = next;
        }
        bool in_arena = pool->header_in_arena;
        quorvel_release_fn release = pool->release;
        int owns = pool->owns_arena;
        // The header may live in the arena: read everything before giving it back.
        if (owns) quorvel_arena_destroy(a);
        if (!in_arena) quorvel_hooked_release(pool, release);
        return;
    }
    for (quorvel_oversized* node = pool->over_head; node;) {
        quorvel_oversized* next = node->next;  // nodes live in the pages
        quorvel_hooked_release(node->block, node->release);
        node = next;
    }
    bool recycle = !quorvel_hooks_active();
    quorvel_pool_page* page = pool->first_page;
    if (pool->first_page_inline && page) page = page->next;
    while (page) {
        quorvel_pool_page* next = page->next;
        if (page->release) {
            page->release(page);
        } else if (recycle) {
            recycle_put(t_recycle_pages, page, page->alloc_size);
        } else {
            std::free(page);
        }
        page = next;
    }
    if (pool->release) {
        pool->release(pool);
    } else if (recycle) {
        recycle_put(t_recycle_pools, pool, pool->header_alloc_size);
    } else {
        std::free(pool);
    }
}

char* quorvel_pool_strndup(quorvel_pool* pool, const char* s, size_t n) {
    if (!pool || !s || n == SIZE_MAX) return nullptr;
    char* copy = static_cast<char*>(quorvel_pool_alloc(pool, n + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, s, n);
    copy[n] = '\0';
    return copy;
}

char* quorvel_pool_strdup(quorvel_pool* pool, const char* s) {
    if (!pool || !s) return nullptr;
    return quorvel_pool_strndup(pool, s, std::strlen(s));
}

char* quorvel_sv_to_cstr_pooled(const quorvel_string_view* view, quorvel_pool* pool) {
    size_t len = view ? view->length : 0;
    const char* data = view ? view->data : nullptr;
    if (len == 0 || (!pool && !data)) {
        char* empty = pool ? static_cast<char*>(quorvel_pool_alloc(pool, 1))
                           : static_cast<char*>(std::malloc(1));
        if (empty) empty[0] = '\0';
        return empty;
    }
    if (!data) return nullptr;
    if (!pool) {
        char* copy = static_cast<char*>(std::malloc(len + 1));
        if (!copy) return nullptr;
        std::memcpy(copy, data, len);
        copy[len] = '\0';
        return copy;
    }
    quorvel_hash_table* table = pool->intern;
    if (!table) return quorvel_pool_strndup(pool, data, len);
    if (quorvel_hash_entry* hit = quorvel_hash_table_find(table, data, len)) {
        table->hits++;
        return static_cast<char*>(hit->value);
    }
    table->misses++;
    char* copy = quorvel_pool_strndup(pool, data, len);
    if (!copy) return nullptr;
    auto* entry = static_cast<quorvel_hash_entry*>(quorvel_pool_alloc(pool, sizeof(quorvel_hash_entry)));
    char* key = entry ? quorvel_pool_strndup(pool, data, len) : nullptr;
    if (!entry || !key) return copy;  // still a valid copy, just not shared
    entry->key = key;
    entry->key_length = len;
    entry->value = copy;
    size_t b = quorvel_fnv1a(data, len) % table->bucket_count;
    entry->next = table->buckets[b];
    table->buckets[b] = entry;
    table->count++;
    hash_table_maybe_grow(table, pool);
    return copy;
}

// ---- String hash table ---------------------------------------------------------------

quorvel_hash_table* quorvel_hash_table_create(quorvel_pool* pool, size_t bucket_count) {
    if (!pool || bucket_count == 0) return nullptr;
    auto* table = static_cast<quorvel_hash_table*>(quorvel_pool_alloc(pool, sizeof(quorvel_hash_table)));
    if (!table) return nullptr;
    auto* buckets = static_cast<quorvel_hash_entry**>(
        quorvel_pool_alloc(pool, bucket_count * sizeof(quorvel_hash_entry*)));
    if (!buckets) return nullptr;
    std::memset(buckets, 0, bucket_count * sizeof(quorvel_hash_entry*));
    table->buckets = buckets;
    table->bucket_count = bucket_count;
    table->count = table->hits = table->misses = 0;
    return table;
}

int quorvel_hash_table_set(quorvel_hash_table* table, const char* key, size_t len, void* value,
                           quorvel_pool* pool) {
    if (!table || !key || len == 0 || !table->bucket_count) return 0;
    if (quorvel_hash_entry* e = quorvel_hash_table_find(table, key, len)) {
        e->value = value;
        return 1;
    }
    quorvel_hash_entry* entry;
    char* copy;
    if (pool) {
        entry = static_cast<quorvel_hash_entry*>(quorvel_pool_alloc(pool, sizeof *entry));
        if (!entry) return 0;
        copy = quorvel_pool_strndup(pool, key, len);
        if (!copy) return 0;
    } else {
        // Tables without a pool are owned by callers that free entries and
        // keys with free; they are made by malloc for that reason.
        entry = static_cast<quorvel_hash_entry*>(std::malloc(sizeof *entry));
        if (!entry) return 0;
        copy = static_cast<char*>(std::malloc(len + 1));
        if (!copy) {
            std::free(entry);
            return 0;
        }
        std::memcpy(copy, key, len);
        copy[len] = '\0';
    }
    entry->key = copy;
    entry->key_length = len;
    entry->value = value;
    size_t b = quorvel_fnv1a(key, len) % table->bucket_count;
    entry->next = table->buckets[b];
    table->buckets[b] = entry;
    table->count++;
    hash_table_maybe_grow(table, pool);
    return 1;
}

void hash_table_maybe_grow(quorvel_hash_table* table, quorvel_pool* pool) {
    if (!pool || !table) return;
    if (table->count < ((table->bucket_count * 3) >> 2)) return;
    if (table->bucket_count >= 16777216) return;
    size_t n = table->bucket_count * 2;
    auto* fresh = static_cast<quorvel_hash_entry**>(quorvel_pool_alloc(pool, n * sizeof(quorvel_hash_entry*)));
    if (!fresh) return;
    std::memset(fresh, 0, n * sizeof(quorvel_hash_entry*));
    for (size_t b = 0; b < table->bucket_count; b++) {
        for (quorvel_hash_entry* e = table->buckets[b]; e;) {
            quorvel_hash_entry* next = e->next;
            size_t nb = quorvel_fnv1a(e->key, e->key_length) % n;
            e->next = fresh[nb];
            fresh[nb] = e;
            e = next;
        }
    }
    table->buckets = fresh;
    table->bucket_count = n;
}

// Element blocks, name chunks and attribute blocks of freed documents.
constinit thread_local void* tls_recycle_elem = nullptr;
constinit thread_local void* tls_recycle_name = nullptr;
constinit thread_local void* tls_recycle_attr = nullptr;
constinit thread_local size_t tls_recycle_elem_bytes = 0;
constinit thread_local size_t tls_recycle_name_bytes = 0;
constinit thread_local size_t tls_recycle_attr_bytes = 0;
