// The expression cache and compiled handles: a handle keeps its own tree
// whatever the cache does, equal texts share one tree, eviction follows the
// probe rules, and threads may compile and free overlapping texts at once.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "xpath_test_support.h"

namespace {

std::string handle_tree(const quorvel_xpath_compiled* h) { return xpath_test::dump(h->tree->root); }

class XpathCache : public ::testing::Test {
protected:
    void SetUp() override { xpath_cache_clear(); }
    void TearDown() override { xpath_cache_clear(); }
};

TEST_F(XpathCache, CompileReportsSyntaxErrorsInTheThreadText) {
    EXPECT_EQ(quorvel_xpath_compile(nullptr), nullptr);
    EXPECT_EQ(quorvel_xpath_compile(""), nullptr);
    struct row {
        const char* text;
        const char* message;
    } rows[] = {
        {"1 +", "Unexpected token EOF at line 1, column 4 in primary expression"},
        {"1 to 2 to 3", "Unexpected token after expression: NCNAME at line 1, column 8"},
        {"map{a:1}", "XPath syntax error"},
        {"1 % 2", "Invalid character '%' at line 1, column 3"},
        {"count(//a) & 1", "Invalid character '&' at line 1, column 12"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(quorvel_xpath_compile(r.text), nullptr);
        ASSERT_NE(quorvel_last_error(), nullptr);
        EXPECT_STREQ(quorvel_last_error(), r.message);
    }
    EXPECT_EQ(quorvel_xpath_compiled_text(nullptr), nullptr);
    quorvel_xpath_compiled_free(nullptr);
    quorvel_xpath_result_free(nullptr);
}

TEST_F(XpathCache, EqualTextsShareOneTree) {
    quorvel_xpath_compiled* a = quorvel_xpath_compile("//item[@id = 1]");
    quorvel_xpath_compiled* b = quorvel_xpath_compile("//item[@id = 1]");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->tree, b->tree);
    EXPECT_EQ(a->tree->refs, 3);  // the cache and two handles
    EXPECT_STREQ(quorvel_xpath_compiled_text(a), "//item[@id = 1]");
    EXPECT_NE(quorvel_xpath_compiled_text(a), quorvel_xpath_compiled_text(b));
    quorvel_xpath_compiled_free(a);
    EXPECT_EQ(b->tree->refs, 2);
    quorvel_xpath_compiled_free(b);

    // An insert that meets the same text keeps the cached tree and releases
    // the new one.
    char message[64];
    quorvel_xpath_tree* first = xpath_cache_insert("1", 1, xpath_tree_new(xpath_parse_text("1", 1, message, 64)));
    quorvel_xpath_tree* second = xpath_cache_insert("1", 1, xpath_tree_new(xpath_parse_text("1", 1, message, 64)));
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->refs, 3);
    xpath_tree_release(first);
    xpath_tree_release(second);
}

TEST_F(XpathCache, HandleSurvivesEvictionOfItsEntry) {
    quorvel_xpath_compiled* first = quorvel_xpath_compile("count(//a[@id = '7']/b) + 1");
    ASSERT_NE(first, nullptr);
    const std::string expected = handle_tree(first);
    // Twenty texts with the same home slot: the table fills, then the
    // home slot, where the first text sits, is taken over.
    const uint32_t home = xpath_cache_hash(first->text, first->length) % kXpathCacheSlots;
    std::vector<quorvel_xpath_compiled*> others;
    for (int i = 0; others.size() < 20; i++) {
        std::string text = "//x" + std::to_string(i);
        if (xpath_cache_hash(text.data(), text.size()) % kXpathCacheSlots != home) continue;
        others.push_back(quorvel_xpath_compile(text.c_str()));
        ASSERT_NE(others.back(), nullptr);
    }
    for (auto* h : others) quorvel_xpath_compiled_free(h);
    bool still_cached = false;
    for (size_t slot = 0; slot < kXpathCacheSlots; slot++)
        if (xpath_cache_slot_tree(slot) == first->tree) still_cached = true;
    EXPECT_FALSE(still_cached);  // the cache let go of it...
    EXPECT_EQ(first->tree->refs, 1);  // ...and the handle still holds it
    EXPECT_EQ(handle_tree(first), expected);
    // Compiling the text again makes a new tree; the old handle keeps its own.
    quorvel_xpath_compiled* again = quorvel_xpath_compile("count(//a[@id = '7']/b) + 1");
    EXPECT_NE(again->tree, first->tree);
    EXPECT_EQ(handle_tree(again), expected);
    quorvel_xpath_compiled_free(first);
    EXPECT_EQ(handle_tree(again), expected);
    quorvel_xpath_compiled_free(again);
}

TEST_F(XpathCache, ProbingAndEvictionOfTheHomeSlot) {
    // Seventeen texts with one home slot.
    std::vector<std::string> texts;
    const uint32_t home = xpath_cache_hash("a0", 2) % kXpathCacheSlots;
    for (int i = 0; texts.size() < 17; i++) {
        std::string t = "a" + std::to_string(i);
        if (xpath_cache_hash(t.data(), t.size()) % kXpathCacheSlots == home) texts.push_back(t);
    }
    std::vector<quorvel_xpath_tree*> trees;
    for (const std::string& t : texts) {
        char message[64];
        quorvel_xpath_tree* tree =
            xpath_cache_insert(t.data(), t.size(), xpath_tree_new(xpath_parse_text(t.data(), t.size(), message, 64)));
        ASSERT_NE(tree, nullptr);
        trees.push_back(tree);
    }
    // The first took the home slot and was evicted by the seventeenth.
    EXPECT_EQ(xpath_cache_slot_tree(home), trees[16]);
    EXPECT_EQ(xpath_cache_get(texts[0].data(), texts[0].size()), nullptr);
    for (size_t i = 1; i < 17; i++) {
        quorvel_xpath_tree* hit = xpath_cache_get(texts[i].data(), texts[i].size());
        EXPECT_EQ(hit, trees[i]) << texts[i];
        xpath_tree_release(hit);
    }
    EXPECT_EQ(trees[0]->refs, 1);  // alive for its one user
    EXPECT_EQ(xpath_test::dump(trees[0]->root), "step:child:3(name:" + texts[0] + ")");
    for (quorvel_xpath_tree* t : trees) xpath_tree_release(t);
    EXPECT_EQ(xpath_cache_hash("", 0), 2166136261u);
}

// Many threads compile and free overlapping texts (more texts than slots, so
// entries are evicted all the time) and use handles long after their
// entries left the cache.
TEST_F(XpathCache, ThreadsShareTheCache) {
    std::vector<std::string> texts;
    std::vector<std::string> shapes;
    for (int i = 0; i < 40; i++) {
        texts.push_back("//item[@id = '" + std::to_string(i) + "']/name | $v" + std::to_string(i % 7));
        shapes.push_back(xpath_test::parse(texts.back()));
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            std::vector<std::pair<quorvel_xpath_compiled*, int>> held;
            for (int round = 0; round < 2000; round++) {
                int i = static_cast<int>(rng() % texts.size());
                quorvel_xpath_compiled* h = quorvel_xpath_compile(texts[i].c_str());
                if (!h) {
                    failures++;
                    continue;
                }
                held.emplace_back(h, i);
                if (held.size() > 24 || rng() % 3 == 0) {
                    size_t k = rng() % held.size();
                    auto [old, j] = held[k];
                    if (xpath_test::dump(old->tree->root) != shapes[j]) failures++;
                    quorvel_xpath_compiled_free(old);
                    held.erase(held.begin() + static_cast<long>(k));
                }
            }
            for (auto [h, j] : held) {
                if (xpath_test::dump(h->tree->root) != shapes[j]) failures++;
                quorvel_xpath_compiled_free(h);
            }
            quorvel_thread_cleanup();
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    // Whatever is left is held by the cache alone.
    for (size_t slot = 0; slot < kXpathCacheSlots; slot++) {
        const quorvel_xpath_tree* tree = xpath_cache_slot_tree(slot);
        if (tree) {
            EXPECT_EQ(__atomic_load_n(&tree->refs, __ATOMIC_ACQUIRE), 1);
        }
    }
}

}  // namespace
