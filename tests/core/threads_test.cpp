// Documents made and freed on many threads, with and without allocation
// hooks: every block goes back to the allocator that made it, and nothing
// leaks once the threads have cleaned up (the sanitizer build checks that).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/tree_builder.h"

namespace {

std::atomic<long> g_allocs{0};
std::atomic<long> g_releases{0};

void* counting_alloc(size_t n) {
    g_allocs++;
    return std::malloc(n);
}
void counting_release(void* p) {
    if (p) g_releases++;
    std::free(p);
}

void churn(bool hooked, int rounds) {
    if (hooked) quorvel_set_memory_management_functions(counting_alloc, counting_release);
    for (int i = 0; i < rounds; i++) {
        quorvel_document* doc = (i & 1) ? quorvel_document_create_html() : quorvel_document_create();
        ASSERT_NE(doc, nullptr);
        test_support::tree_builder b(doc);
        quorvel_element* root = b.root(b.element("r"));
        for (int k = 0; k < 50; k++) b.append(root, b.element("child-with-a-longer-name"));
        quorvel_document_node(doc);
        // Some documents outgrow their first arena into separate blocks.
        if (i % 7 == 0) quorvel_pool_alloc(doc->pool, 200000);
        quorvel_document_free(doc);
    }
    quorvel_thread_cleanup();
    quorvel_explicit_cleanup();
    quorvel_set_memory_management_functions(nullptr, nullptr);
}

TEST(Threads, CreateAndFreeOnManyThreads) {
    g_allocs = g_releases = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) threads.emplace_back(churn, t % 2 == 0, 2000);
    for (auto& th : threads) th.join();
    EXPECT_GT(g_allocs.load(), 0);
    EXPECT_EQ(g_allocs.load(), g_releases.load());
}

TEST(Threads, DocumentFromAHookedThreadFreedOnAnother) {
    g_allocs = g_releases = 0;
    std::vector<quorvel_document*> docs;
    std::thread([&] {
        quorvel_set_memory_management_functions(counting_alloc, counting_release);
        for (int i = 0; i < 20; i++) {
            quorvel_document* doc = quorvel_document_create();
            quorvel_pool_alloc(doc->pool, 300000);  // a separate, hook-made block
            docs.push_back(doc);
        }
        quorvel_set_memory_management_functions(nullptr, nullptr);
    }).join();
    long made = g_allocs.load();
    EXPECT_GT(made, 0);
    std::thread([&] {
        for (quorvel_document* doc : docs) quorvel_document_free(doc);
        quorvel_thread_cleanup();
        quorvel_explicit_cleanup();
    }).join();
    EXPECT_EQ(g_releases.load(), made);
}

TEST(Threads, ThreadExitReleasesCachesWithoutCleanupCalls) {
    // Under LeakSanitizer this fails if the exit destructor misses a cache.
    std::thread([] {
        for (int i = 0; i < 50; i++) {
            quorvel_document* doc = quorvel_document_create();
            quorvel_pool* pages = quorvel_pool_create_with_page_size(10000);
            quorvel_pool_alloc(pages, 9000);
            quorvel_pool_alloc(pages, 9000);
            quorvel_pool_destroy(pages);
            quorvel_document_free(doc);
        }
        int32_t field = 0;
        overflow_lookup(&field);  // creates the overflow table
    }).join();
    SUCCEED();
}

}  // namespace
