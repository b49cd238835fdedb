// Arenas, pools, block caches, string copies and the string hash table.
#include <gtest/gtest.h>

#include <thread>

#include "core/core.h"

namespace {

// Each test runs on a thread of its own so that caches start empty and the
// test's blocks never mix with another test's.
template <typename F>
void on_fresh_thread(F f) {
    std::thread([&] {
        f();
        quorvel_thread_cleanup();
        quorvel_explicit_cleanup();
    }).join();
}

TEST(Pool, AllocationRoundsToEightAndRejectsZero) {
    on_fresh_thread([] {
        quorvel_arena* arena = quorvel_arena_create(1024);
        quorvel_pool* pool = quorvel_pool_create_arena_backed(arena, 1);
        ASSERT_NE(pool, nullptr);
        size_t before = arena->used;
        EXPECT_NE(quorvel_pool_alloc(pool, 1), nullptr);
        EXPECT_EQ(arena->used - before, 8u);
        EXPECT_NE(quorvel_pool_alloc(pool, 8), nullptr);
        EXPECT_EQ(arena->used - before, 16u);
        EXPECT_EQ(quorvel_pool_alloc(pool, 0), nullptr);
        EXPECT_EQ(quorvel_pool_alloc(nullptr, 8), nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(quorvel_pool_alloc(pool, 3)) % 8, 0u);
        // Past the arena's end requests go to separate blocks and still work.
        char* big = static_cast<char*>(quorvel_pool_alloc(pool, 4096));
        ASSERT_NE(big, nullptr);
        std::memset(big, 1, 4096);
        EXPECT_EQ(arena->exhausted, 1);
        EXPECT_NE(quorvel_pool_alloc(pool, 8), nullptr);  // smaller ones still fit
        quorvel_pool_destroy(pool);
    });
}

TEST(Pool, SmallRequestsPastTheArenaShareSpillChunks) {
    on_fresh_thread([] {
        quorvel_arena* arena = quorvel_arena_create(64);
        quorvel_pool* pool = quorvel_pool_create_arena_backed(arena, 0);
        ASSERT_NE(quorvel_pool_alloc(pool, 64), nullptr);  // fills the arena
        char* a = static_cast<char*>(quorvel_pool_alloc(pool, 16));
        char* b = static_cast<char*>(quorvel_pool_alloc(pool, 16));
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(b, a + 16);
        for (int i = 0; i < 100000; i++) ASSERT_NE(quorvel_pool_alloc(pool, 24), nullptr);
        size_t blocks = 0;
        for (quorvel_oversized* o = pool->over_head; o; o = o->next) blocks++;
        EXPECT_LT(blocks, 10u);
        quorvel_pool_destroy(pool);
        quorvel_arena_destroy(arena);
    });
}

TEST(Pool, PageSizes) {
    on_fresh_thread([] {
        struct row {
            size_t requested, page;
            size_t pages;
        } rows[] = {{100, 4096, 1}, {4097, 4104, 1}, {8192, 8192, 2}};
        for (const row& r : rows) {
            SCOPED_TRACE(r.requested);
            quorvel_pool* pool = quorvel_pool_create_with_page_size(r.requested);
            ASSERT_NE(pool, nullptr);
            EXPECT_EQ(pool->page_size, r.page);
            EXPECT_EQ(pool->page_count, r.pages);
            quorvel_pool_destroy(pool);
        }
    });
}

TEST(Pool, OversizedRequestKeepsThePageForLaterRequests) {
    on_fresh_thread([] {
        quorvel_pool* pool = quorvel_pool_create_with_page_size(4096);
        void* small = quorvel_pool_alloc(pool, 16);
        size_t used = pool->current_page->used;
        void* big = quorvel_pool_alloc(pool, 10000);
        ASSERT_NE(big, nullptr);
        std::memset(big, 0, 10000);
        EXPECT_EQ(pool->page_count, 1u);
        EXPECT_LE(pool->current_page->used - used, 32u);  // only the list node
        char* next = static_cast<char*>(quorvel_pool_alloc(pool, 16));
        EXPECT_EQ(next, static_cast<char*>(small) + 16 + (pool->current_page->used - used - 16));
        quorvel_pool_destroy(pool);
    });
}

TEST(Pool, StrdupAndViews) {
    on_fresh_thread([] {
        quorvel_pool* pool = quorvel_pool_create_with_page_size(4096);
        EXPECT_EQ(quorvel_pool_strdup(nullptr, "x"), nullptr);
        EXPECT_STREQ(quorvel_pool_strdup(pool, "abc"), "abc");

        quorvel_string_view empty{nullptr, 0};
        char* m = quorvel_sv_to_cstr_pooled(&empty, nullptr);
        EXPECT_STREQ(m, "");
        std::free(m);
        EXPECT_STREQ(quorvel_sv_to_cstr_pooled(&empty, pool), "");

        const char text[] = "name-and-more";
        quorvel_string_view v{text, 4};
        char* copy = quorvel_sv_to_cstr_pooled(&v, pool);
        EXPECT_STREQ(copy, "name");
        EXPECT_NE(copy, quorvel_sv_to_cstr_pooled(&v, pool));  // no intern table: new copies

        pool->intern = quorvel_hash_table_create(pool, 128);
        char* first = quorvel_sv_to_cstr_pooled(&v, pool);
        const char other[] = "name";
        quorvel_string_view w{other, 4};
        EXPECT_EQ(first, quorvel_sv_to_cstr_pooled(&w, pool));
        EXPECT_EQ(pool->intern->hits, 1u);
        EXPECT_EQ(pool->intern->misses, 1u);
        quorvel_string_view null_view{nullptr, 3};
        EXPECT_EQ(quorvel_sv_to_cstr_pooled(&null_view, pool), nullptr);
        quorvel_pool_destroy(pool);
    });
}

TEST(Arena, CreateRejectsZeroAndOverflow) {
    EXPECT_EQ(quorvel_arena_create(0), nullptr);
    EXPECT_EQ(quorvel_arena_create(SIZE_MAX - 47), nullptr);
}

TEST(Arena, SmallBlocksAreReusedByExactSizeOnTheSameThread) {
    on_fresh_thread([] {
        quorvel_arena* a = quorvel_arena_create(1000);
        void* block = a->base;
        quorvel_arena_destroy(a);
        EXPECT_EQ(g_small.count, 1u);
        quorvel_arena* b = quorvel_arena_create(1000);
        quorvel_arena* c = quorvel_arena_create(1000);
        EXPECT_EQ(b->base, block);
        EXPECT_NE(c->base, block);
        quorvel_arena_destroy(b);
        quorvel_arena_destroy(c);
    });
}

TEST(Arena, LargeBlocksAreSharedAcrossThreadsBestFit) {
    quorvel_thread_cleanup();
    void* block = nullptr;
    std::thread([&] {
        quorvel_arena* a = quorvel_arena_create(300 * 1024);
        block = a->base;
        quorvel_arena_destroy(a);
    }).join();
    std::thread([&] {
        quorvel_arena* b = quorvel_arena_create(280 * 1024);
        EXPECT_EQ(b->base, block);
        EXPECT_EQ(b->capacity, 300u * 1024);  // the whole reused block
        quorvel_arena_destroy(b);
    }).join();
    std::thread([] {
        quorvel_thread_cleanup();
        // The closest fit is taken, and a block more than half as large again
        // as the request is left for a larger one.
        quorvel_arena* big = quorvel_arena_create(900 * 1024);
        quorvel_arena* mid = quorvel_arena_create(400 * 1024);
        void* big_block = big->base;
        void* mid_block = mid->base;
        quorvel_arena_destroy(big);
        quorvel_arena_destroy(mid);
        quorvel_arena* again = quorvel_arena_create(390 * 1024);
        EXPECT_EQ(again->base, mid_block);
        quorvel_arena* small = quorvel_arena_create(300 * 1024);
        EXPECT_NE(small->base, big_block);
        quorvel_arena_destroy(again);
        quorvel_arena_destroy(small);
        quorvel_thread_cleanup();
    }).join();
    // Past the slot count the oldest block makes room for the newest.
    std::thread([] {
        quorvel_thread_cleanup();
        quorvel_arena* arenas[kRetainSlots + 1];
        for (auto& a : arenas) a = quorvel_arena_create(260 * 1024);
        void* newest = arenas[kRetainSlots]->base;
        for (auto& a : arenas) quorvel_arena_destroy(a);
        quorvel_retain_lock();
        size_t cached = g_retain.count;
        void* last = g_retain.blocks[cached - 1];
        quorvel_retain_unlock();
        EXPECT_EQ(cached, kRetainSlots);
        EXPECT_EQ(last, newest);
        quorvel_thread_cleanup();
    }).join();
}

// The copies of a large input go back to the shared cache with the
// document and are taken again by the next parse of the same size.
TEST(Arena, LargeParseBlocksStayWarmForTheNextParse) {
    quorvel_thread_cleanup();
    std::string text = "<r>";
    while (text.size() < (4u << 20)) text += "<item a='1'>some text</item>";
    text += "</r>";
    int status = 0;
    quorvel_document_free(quorvel_parse_string(text.data(), text.size(), &status));
    quorvel_retain_lock();
    size_t kept = g_retain.count;
    size_t bytes = g_retain.bytes;
    quorvel_retain_unlock();
    EXPECT_GE(kept, 1u);  // the document's reserved range, copies and records in one
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), &status);
    ASSERT_NE(doc, nullptr);
    quorvel_retain_lock();
    size_t left = g_retain.bytes;
    quorvel_retain_unlock();
    EXPECT_LT(left, bytes);  // the second parse took warm blocks
    quorvel_document_free(doc);
    quorvel_thread_cleanup();
}

// A reserved arena is one mapping that the kernel commits as it is
// touched; it goes back to the shared cache counting what was touched, and
// the next reservation that fits takes it warm, small or large.
TEST(Arena, ReservedMappingsStayWarmAndCountWhatWasTouched) {
    std::thread([] {
        quorvel_thread_cleanup();
        quorvel_arena* a = quorvel_arena_reserve(100 * 1024);
        ASSERT_NE(a, nullptr);
        EXPECT_GE(a->capacity, 100u * 1024);
        EXPECT_EQ(a->mapped, a->capacity + sizeof(quorvel_arena));
        EXPECT_EQ(a->release, nullptr);
        void* block = a->base;
        // Touch 3 MiB through the arena as a pool would.
        a->used = 3u << 20;
        std::memset(a->data, 1, a->used);
        quorvel_arena_destroy(a);
        quorvel_retain_lock();
        ASSERT_EQ(g_retain.count, 1u);
        EXPECT_TRUE(g_retain.mapped[0]);
        EXPECT_EQ(g_retain.bytes, g_retain.resident[0]);
        EXPECT_GE(g_retain.resident[0], (3u << 20) + sizeof(quorvel_arena));
        EXPECT_LT(g_retain.resident[0], (3u << 20) + 2 * 4096);
        quorvel_retain_unlock();

        // Malloc'd blocks are never served from a mapping, nor the other way.
        quorvel_arena* plain = quorvel_arena_create(300 * 1024);
        EXPECT_NE(plain->base, block);
        EXPECT_EQ(plain->mapped, 0u);
        quorvel_arena* again = quorvel_arena_reserve(10);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->base, block);
        EXPECT_GE(again->touched, 3u << 20);  // remembered across uses
        EXPECT_LT(again->touched, (3u << 20) + 4096);
        EXPECT_EQ(again->data[(3u << 20) - 1], 1);
        again->used = 4096;
        quorvel_arena_destroy(again);
        quorvel_arena_destroy(plain);
        quorvel_retain_lock();
        EXPECT_EQ(g_retain.count, 2u);
        size_t mapped_resident = 0;
        for (size_t i = 0; i < g_retain.count; i++)
            if (g_retain.mapped[i]) mapped_resident = g_retain.resident[i];
        EXPECT_GE(mapped_resident, 3u << 20);  // the high-water mark, not the last use
        quorvel_retain_unlock();

        // A larger request than any cached mapping maps a new one; eviction
        // and clean-up release both kinds.
        quorvel_arena* big = quorvel_arena_reserve(size_t(200) << 20);
        ASSERT_NE(big, nullptr);
        EXPECT_NE(big->base, block);
        EXPECT_GE(big->capacity, size_t(200) << 20);
        big->data[big->capacity - 1] = 7;  // the far end is usable
        quorvel_arena_destroy(big);
        quorvel_arena* fill[kRetainSlots];
        for (auto& f : fill) f = quorvel_arena_create(260 * 1024);
        for (auto& f : fill) quorvel_arena_destroy(f);
        quorvel_retain_lock();
        EXPECT_EQ(g_retain.count, kRetainSlots);
        for (size_t i = 0; i < g_retain.count; i++) EXPECT_FALSE(g_retain.mapped[i]);
        quorvel_retain_unlock();
        quorvel_thread_cleanup();
        quorvel_retain_lock();
        EXPECT_EQ(g_retain.count, 0u);
        EXPECT_EQ(g_retain.bytes, 0u);
        quorvel_retain_unlock();
    }).join();
}

struct hook_counts {
    int allocs = 0, releases = 0;
};
thread_local hook_counts t_counts;
void* count_alloc(size_t n) {
    t_counts.allocs++;
    return std::malloc(n);
}
void count_release(void* p) {
    t_counts.releases++;
    std::free(p);
}

TEST(Arena, HookMadeBlocksNeverEnterTheCaches) {
    on_fresh_thread([] {
        quorvel_thread_cleanup();
        quorvel_set_memory_management_functions(count_alloc, count_release);
        EXPECT_EQ(quorvel_arena_reserve(400 * 1024), nullptr);  // memory comes from the hooks
        quorvel_arena* big = quorvel_arena_create(400 * 1024);
        quorvel_arena* small = quorvel_arena_create(100);
        quorvel_pool* pool = quorvel_pool_create_with_page_size(10000);
        quorvel_pool_alloc(pool, 20000);
        quorvel_set_memory_management_functions(nullptr, nullptr);
        // Released without hooks in force: still through the hook that made them.
        quorvel_arena_destroy(big);
        quorvel_arena_destroy(small);
        quorvel_pool_destroy(pool);
        EXPECT_EQ(t_counts.allocs, t_counts.releases);
        EXPECT_EQ(g_small.count, 0u);
        quorvel_retain_lock();
        EXPECT_EQ(g_retain.count, 0u);
        quorvel_retain_unlock();
    });
}

TEST(HashTable, SetReplaceAndGrowth) {
    on_fresh_thread([] {
        quorvel_pool* pool = quorvel_pool_create_with_page_size(4096);
        quorvel_hash_table* t = quorvel_hash_table_create(pool, 128);
        int v1 = 1, v2 = 2;
        EXPECT_EQ(quorvel_hash_table_set(t, "ab", 2, &v1, pool), 1);
        EXPECT_EQ(quorvel_hash_table_set(t, "ab", 2, &v2, pool), 1);
        EXPECT_EQ(t->count, 1u);
        EXPECT_EQ(quorvel_hash_table_get(t, "ab", 2), &v2);
        // Keys are counted bytes: "ab" and "ab\0c" differ.
        EXPECT_EQ(quorvel_hash_table_set(t, "ab\0c", 4, &v1, pool), 1);
        EXPECT_EQ(quorvel_hash_table_get(t, "ab\0c", 4), &v1);
        EXPECT_EQ(quorvel_hash_table_get(t, "ab", 2), &v2);
        EXPECT_EQ(quorvel_hash_table_set(t, "x", 0, &v1, pool), 0);
        EXPECT_EQ(t->count, 2u);

        quorvel_hash_table* g = quorvel_hash_table_create(pool, 128);
        char key[16];
        for (int i = 0; i < 192; i++) {
            int n = std::snprintf(key, sizeof key, "k%d", i);
            quorvel_hash_table_set(g, key, static_cast<size_t>(n), &v1, pool);
            size_t expected = i < 95 ? 128 : i < 191 ? 256 : 512;
            EXPECT_EQ(g->bucket_count, expected) << "after insert " << i + 1;
        }
        EXPECT_EQ(g->bucket_count, 512u);
        for (int i = 0; i < 192; i++) {
            int n = std::snprintf(key, sizeof key, "k%d", i);
            EXPECT_EQ(quorvel_hash_table_get(g, key, static_cast<size_t>(n)), &v1);
        }
        // Without a pool a table never grows.
        quorvel_hash_table fixed{};
        quorvel_hash_entry* buckets[4] = {};
        fixed.buckets = buckets;
        fixed.bucket_count = 4;
        for (int i = 0; i < 10; i++) {
            int n = std::snprintf(key, sizeof key, "k%d", i);
            quorvel_hash_table_set(&fixed, key, static_cast<size_t>(n), &v1, nullptr);
        }
        EXPECT_EQ(fixed.bucket_count, 4u);
        for (auto* head : buckets) {
            for (quorvel_hash_entry* e = head; e;) {
                quorvel_hash_entry* next = e->next;
                std::free(e->key);
                std::free(e);
                e = next;
            }
        }
        quorvel_pool_destroy(pool);
    });
}

}  // namespace
