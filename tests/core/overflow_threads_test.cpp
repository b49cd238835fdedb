// Links that do not fit their field read the same on every thread: a
// document built or edited on one thread is read and freed on another, and
// nothing of it stays behind when the thread that built it has ended (the
// sanitizer builds check the leaks; a ThreadSanitizer build checks the
// table's sharing).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dom/dom.h"
#include "support/failing_alloc.h"

namespace {

size_t walked_attributes(const quorvel_element* e) {
    size_t n = 0;
    for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) n++;
    return n;
}

std::string big_document() {
    std::string text = "<root a='1'>";
    while (text.size() < 3u << 20) text += "<item id='x' kind='filler'>some text</item>";
    return text + "</root>";
}

// A record whose link field points 2^40 bytes away: never fits, always an
// overflow entry. Targets are never dereferenced.
struct far_link {
    alignas(8) char holder[64] = {};
    int32_t* field() { return reinterpret_cast<int32_t*>(holder + 24); }
    void* target() { return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(holder) + (uintptr_t(1) << 40)); }
};

TEST(OverflowAcrossThreads, BuiltOnOneThreadReadAndFreedOnAnother) {
    std::string text = big_document();
    quorvel_document* doc = nullptr;
    quorvel_element* root = nullptr;
    far_link far;
    std::thread([&] {
        int status = 0;
        doc = quorvel_parse_string(text.data(), text.size(), &status);
        ASSERT_NE(doc, nullptr);
        root = quorvel_document_root(doc);
        for (int i = 0; i < 40; i++) {
            std::string name = "added" + std::to_string(i);
            ASSERT_EQ(quorvel_element_set_attribute(root, name.c_str(), "a value past the inline bytes"), QUORVEL_OK);
        }
        ASSERT_TRUE(quorvel_link_set(far.holder, far.field(), far.target(), doc));
    }).join();
    ASSERT_NE(doc, nullptr);
    std::thread([&] {
        EXPECT_EQ(*far.field(), kLinkOverflow);
        EXPECT_EQ(quorvel_link_get(far.holder, far.field()), far.target());
        EXPECT_EQ(quorvel_element_attribute_count(root), 41u);
        EXPECT_EQ(walked_attributes(root), quorvel_element_attribute_count(root));
        EXPECT_STREQ(quorvel_element_attribute(root, "added39"), "a value past the inline bytes");
        quorvel_document_free(doc);
    }).join();
    // The entries went with their document, whichever thread freed it.
    EXPECT_EQ(g_overflow_table, nullptr);
}

TEST(OverflowAcrossThreads, DocumentsOnSeveralThreadsAtOnce) {
    constexpr int kThreads = 4;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&failures] {
            for (int round = 0; round < 50; round++) {
                quorvel_document* doc = quorvel_document_create();
                std::vector<far_link> links(20);
                for (far_link& l : links)
                    if (!quorvel_link_set(l.holder, l.field(), l.target(), doc)) failures++;
                for (far_link& l : links)
                    if (quorvel_link_get(l.holder, l.field()) != l.target()) failures++;
                quorvel_document_free(doc);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(g_overflow_table, nullptr);
}

}  // namespace

namespace {

// When the overflow entry cannot be made the writers say so and leave the
// link as it was; the table's memory comes through the caller's hooks.
TEST(OverflowFailures, WritersReportAndKeepTheOldLink) {
    std::thread([] {
        quorvel_document* doc = quorvel_document_create();
        auto* c = static_cast<quorvel_comment*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_comment)));
        ASSERT_NE(c, nullptr);
        *c = quorvel_comment{};
        c->head.kind = QUORVEL_NODE_COMMENT;
        c->owner = doc;
        quorvel_element* e = quorvel_element_create(doc, "e");  // knows its document
        ASSERT_NE(e, nullptr);
        auto* far = reinterpret_cast<quorvel_node*>(reinterpret_cast<uintptr_t>(c) + (uintptr_t(1) << 40));

        struct step {
            const char* name;
            std::function<bool(quorvel_node*)> write;
            int32_t* field;
        };
        const std::vector<step> steps = {
            {"next sibling", [&](quorvel_node* t) { return quorvel_node_set_next_sibling(&c->head, t); }, &c->next_sibling},
            {"first child", [&](quorvel_node* t) { return quorvel_elem_set_first_child(e, t); }, &e->first_child},
            {"checked link", [&](quorvel_node* t) { return quorvel_link_set(e, &e->next_sibling, t, doc); }, nullptr},
        };
        // Fill the table's free slots (untied entries, dropped at the end),
        // so that the next entry needs a new block.
        static int32_t keys[1024];
        size_t used = 0;
        auto exhaust = [&] {
            quorvel_overflow_table* t = quorvel_overflow_table_get();
            ASSERT_NE(t, nullptr);
            while (t->free_left || t->free_list) {
                ASSERT_LT(used, 1024u);
                ASSERT_EQ(quorvel_compact_overflow_set(t, &keys[used], far, nullptr), 0);
                used++;
            }
        };
        for (const step& s : steps) {
            exhaust();
            quorvel_set_memory_management_functions(hooks::failing_alloc, hooks::counted_free);
            hooks::countdown = 0;
            int32_t before = s.field ? *s.field : 0;
            EXPECT_FALSE(s.write(far)) << s.name;
            if (s.field) {
                EXPECT_EQ(*s.field, before) << s.name;
            }
            hooks::countdown = -1;
            EXPECT_TRUE(s.write(far)) << s.name;
            quorvel_set_memory_management_functions(nullptr, nullptr);
        }
        EXPECT_EQ(quorvel_node_next_sibling(&c->head), far);
        quorvel_document_free(doc);
        quorvel_explicit_cleanup();
        EXPECT_EQ(g_overflow_table, nullptr);
        EXPECT_EQ(hooks::live, 0);  // the blocks made through the hooks went back through them
    }).join();
}

}  // namespace
