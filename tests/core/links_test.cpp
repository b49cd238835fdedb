// Compact links at their exact boundaries, and the overflow table behind
// the links that do not fit.
#include <gtest/gtest.h>

#include <new>
#include <thread>

#include "dom/dom.h"

namespace {

template <typename F>
void on_fresh_thread(F f) {
    std::thread([&] {
        f();
        quorvel_explicit_cleanup();
    }).join();
}

// A holder record and targets at chosen distances from it. Targets are
// never dereferenced: encoders only compute distances.
struct fixture {
    alignas(8) char holder[64] = {};
    int32_t* field() { return reinterpret_cast<int32_t*>(holder + 24); }
    void* at(int64_t distance) {
        return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(holder) + static_cast<uintptr_t>(distance));
    }
};

TEST(Links, ThirtyTwoBitBoundaries) {
    on_fresh_thread([] {
        fixture f;
        EXPECT_EQ(quorvel_compact_int32_encode(f.holder, nullptr, f.field()), 0);
        EXPECT_EQ(g_overflow_table, nullptr);  // a NULL target needs no table

        EXPECT_EQ(quorvel_compact_int32_encode(f.holder, f.at(2147483646), f.field()), 2147483646);
        EXPECT_EQ(quorvel_compact_int32_encode(f.holder, f.at(-2147483647), f.field()), -2147483647);
        EXPECT_EQ(g_overflow_table, nullptr);

        EXPECT_EQ(quorvel_compact_int32_encode_doc(f.holder, f.at(2147483647), f.field(), nullptr), 2147483647);
        EXPECT_EQ(quorvel_compact_int32_encode(f.holder, f.at(2147483647), f.field()), INT32_MIN);
        EXPECT_EQ(overflow_lookup(f.field()), f.at(2147483647));

        *f.field() = quorvel_compact_int32_encode_doc(f.holder, f.at(-2147483648LL), f.field(), nullptr);
        EXPECT_EQ(*f.field(), INT32_MIN);
        EXPECT_EQ(quorvel_link_get(f.holder, f.field()), f.at(-2147483648LL));
    });
}

TEST(Links, TextContentNeverStoresTheEmptyMarkerAsAnOffset) {
    on_fresh_thread([] {
        fixture f;
        EXPECT_TRUE(quorvel_text_link_set(f.holder, f.field(), f.at(2147483647), nullptr));
        EXPECT_EQ(*f.field(), INT32_MIN);
        EXPECT_EQ(quorvel_text_link_get(f.holder, f.field()), f.at(2147483647));
        EXPECT_TRUE(quorvel_text_link_set(f.holder, f.field(), nullptr, nullptr));
        EXPECT_EQ(*f.field(), INT32_MAX);
        EXPECT_EQ(quorvel_text_link_get(f.holder, f.field()), nullptr);
    });
}

TEST(Links, SixteenBitAttributeLinks) {
    on_fresh_thread([] {
        fixture f;
        auto* field = reinterpret_cast<int16_t*>(f.holder + 36);
        struct row {
            int64_t distance;
            int16_t stored;
        } rows[] = {
            {8 * 32767, 32767},
            {-8 * 32767, -32767},
            {8, 1},
            {8 * 32768, INT16_MIN},
            {12, INT16_MIN},  // not a multiple of 8
        };
        for (const row& r : rows) {
            SCOPED_TRACE(r.distance);
            EXPECT_TRUE(quorvel_link16_set(f.holder, field, f.at(r.distance), nullptr));
            EXPECT_EQ(*field, r.stored);
            EXPECT_EQ(quorvel_link16_get(f.holder, field), f.at(r.distance));
            EXPECT_EQ(quorvel_compact_ptr16_decode(f.holder, *field, field), f.at(r.distance));
        }
    });
}

TEST(Links, ALookupNeverCreatesTheTable) {
    on_fresh_thread([] {
        int32_t field = 0;
        EXPECT_EQ(overflow_lookup(&field), nullptr);
        EXPECT_EQ(g_overflow_table, nullptr);
        EXPECT_EQ(overflow_lookup(nullptr), nullptr);
        quorvel_overflow_table* t = quorvel_overflow_table_get();
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->count, 0u);
        EXPECT_EQ(t->bucket_count, 256u);
        EXPECT_EQ(overflow_lookup(&field), nullptr);
    });
}

TEST(Links, BucketsDoubleAtTheTwoHundredFiftySixthEntry) {
    on_fresh_thread([] {
        quorvel_overflow_table* t = quorvel_overflow_table_get();
        static int32_t fields[300];
        for (int i = 0; i < 256; i++) {
            EXPECT_EQ(t->bucket_count, 256u);
            ASSERT_EQ(quorvel_compact_overflow_set(t, &fields[i], &fields[i + 1], nullptr), 0);
        }
        EXPECT_EQ(t->bucket_count, 512u);
        for (int i = 0; i < 256; i++) EXPECT_EQ(overflow_lookup(&fields[i]), &fields[i + 1]);
        // Updating keeps one entry.
        ASSERT_EQ(quorvel_compact_overflow_set(t, &fields[0], &fields[5], nullptr), 0);
        EXPECT_EQ(t->count, 256u);
        EXPECT_EQ(overflow_lookup(&fields[0]), &fields[5]);
        EXPECT_EQ(quorvel_compact_overflow_set(t, nullptr, &fields[5], nullptr), -1);
    });
}

TEST(Links, DocumentTiedEntriesLeaveWithTheirDocument) {
    on_fresh_thread([] {
        quorvel_document* a = quorvel_document_create();
        quorvel_document* b = quorvel_document_create();
        fixture fa, fb;
        ASSERT_TRUE(quorvel_link_set(fa.holder, fa.field(), fa.at(1LL << 40), a));
        ASSERT_TRUE(quorvel_link_set(fb.holder, fb.field(), fb.at(1LL << 40), b));
        ASSERT_NE(g_overflow_table, nullptr);
        EXPECT_EQ(g_overflow_table->count, 2u);
        quorvel_document_free(a);
        EXPECT_EQ(g_overflow_table->count, 1u);
        EXPECT_EQ(overflow_lookup(fb.field()), fb.at(1LL << 40));
        quorvel_document_free(b);
        EXPECT_EQ(g_overflow_table, nullptr);  // the last entry took the table with it
        fixture fc;
        ASSERT_TRUE(quorvel_link_set(fc.holder, fc.field(), fc.at(1LL << 40), nullptr));
        ASSERT_NE(g_overflow_table, nullptr);
        EXPECT_EQ(g_overflow_table->bucket_count, 256u);
    });
}

TEST(Links, ExplicitCleanupKeepsEntriesOfLiveDocuments) {
    on_fresh_thread([] {
        quorvel_document* doc = quorvel_document_create();
        fixture tied, loose;
        ASSERT_TRUE(quorvel_link_set(tied.holder, tied.field(), tied.at(1LL << 40), doc));
        ASSERT_TRUE(quorvel_link_set(loose.holder, loose.field(), loose.at(1LL << 40), nullptr));
        quorvel_explicit_cleanup();
        EXPECT_EQ(overflow_lookup(tied.field()), tied.at(1LL << 40));
        EXPECT_EQ(overflow_lookup(loose.field()), nullptr);
        quorvel_document_free(doc);  // walks valid entries only
        EXPECT_EQ(g_overflow_table, nullptr);
    });
}

TEST(Links, WritersTieOverflowEntriesToTheNodesDocument) {
    on_fresh_thread([] {
        quorvel_document* doc = quorvel_document_create();
        void* mem = quorvel_pool_alloc(doc->pool, sizeof(quorvel_comment));
        ASSERT_NE(mem, nullptr);
        auto* c = new (mem) quorvel_comment{};
        c->head.kind = QUORVEL_NODE_COMMENT;
        c->owner = doc;
        auto* far = reinterpret_cast<quorvel_node*>(reinterpret_cast<uintptr_t>(c) + (1ULL << 40));
        ASSERT_TRUE(quorvel_node_set_next_sibling(&c->head, far));
        EXPECT_EQ(c->next_sibling, INT32_MIN);
        EXPECT_EQ(quorvel_node_next_sibling(&c->head), far);
        quorvel_document_free(doc);
        EXPECT_EQ(g_overflow_table, nullptr);
    });
}

}  // namespace
