// The element index: document order and subtree ends, grouping by local
// name, attribute name and decoded value, deep trees, and what makes a
// document drop it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

const quorvel_element_index_name* name_entry(const quorvel_element_index* x, const char* name) {
    for (size_t i = 0; i < x->name_count; i++)
        if (std::string(x->names[i].name) == name) return &x->names[i];
    return nullptr;
}

const quorvel_element_index_attribute* attr_entry(const quorvel_element_index* x, const char* name) {
    for (size_t i = 0; i < x->attribute_count; i++)
        if (std::string(x->attributes[i].name) == name) return &x->attributes[i];
    return nullptr;
}

TEST(ElementIndex, PositionsAndSubtreeEnds) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* r = b.root(b.element("r"));
    quorvel_element* a = b.append(r, b.element("a"));
    b.append(a, b.text("skipped"));
    quorvel_element* bb = b.append(a, b.element("b"));
    b.append(r, b.comment("skipped too"));
    quorvel_element* c = b.append(r, b.element("c"));

    quorvel_element_index* x = quorvel_element_index_build(doc);
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(x->element_count, 4u);
    EXPECT_EQ(std::vector<quorvel_element*>(x->elements, x->elements + 4), (std::vector<quorvel_element*>{r, a, bb, c}));
    EXPECT_EQ(std::vector<uint32_t>(x->subtree_ends, x->subtree_ends + 4), (std::vector<uint32_t>{3, 2, 2, 3}));
    EXPECT_EQ(x->name_count, 4u);
    const quorvel_element_index_name* n = name_entry(x, "b");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->count, 1u);
    EXPECT_EQ(n->elements[0], bb);
    EXPECT_EQ(n->positions[0], 2u);
    quorvel_element_index_free(x);
    quorvel_element_index_free(nullptr);
    quorvel_document_free(doc);
}

TEST(ElementIndex, NamesAttributesAndDecodedValues) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* r = b.root(b.element("r"));
    b.attribute(r, "id", "root");
    quorvel_element* i1 = b.append(r, b.element("item"));
    b.attribute(i1, "id", "x");
    quorvel_element* i2 = b.append(r, b.element("item"));
    b.attribute(i2, "id", "y");
    quorvel_element* i3 = b.append(r, b.element("item"));
    b.attribute(i3, "id", "");
    quorvel_element* px = b.append(r, b.element("p:x"));
    b.attribute(px, "p:id", "x");
    b.append(r, b.element("q:x"));
    quorvel_element* pending = b.append(r, b.element("v"));
    b.attribute(pending, "id", "a&amp;b", true);

    quorvel_element_index* x = quorvel_element_index_build(doc);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(name_entry(x, "item")->count, 3u);
    EXPECT_EQ(name_entry(x, "x")->count, 2u);  // p:x and q:x share their local name

    const quorvel_element_index_attribute* id = attr_entry(x, "id");
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(id->count, 5u);        // the empty value is listed under the name
    EXPECT_EQ(quorvel_element_index_value_count(id), 4u);  // root, x, y, a&b: no entry for the empty value
    const quorvel_element_index_value* vx = quorvel_element_index_attr_lookup_value(id, "x");
    ASSERT_NE(vx, nullptr);
    ASSERT_EQ(vx->count, 1u);
    EXPECT_EQ(vx->elements[0], i1);
    EXPECT_EQ(vx->positions[0], 1u);
    EXPECT_EQ(quorvel_element_index_attr_lookup_value(id, ""), nullptr);
    EXPECT_EQ(quorvel_element_index_attr_lookup_value(id, nullptr), nullptr);
    // Values are held as readers see them.
    EXPECT_NE(quorvel_element_index_attr_lookup_value(id, "a&b"), nullptr);
    EXPECT_EQ(quorvel_element_index_attr_lookup_value(id, "a&amp;b"), nullptr);
    ASSERT_NE(attr_entry(x, "p:id"), nullptr);
    EXPECT_EQ(attr_entry(x, "p:id")->count, 1u);
    quorvel_element_index_free(x);
    quorvel_document_free(doc);
}

TEST(ElementIndex, ManyDistinctKeysAndDeepTrees) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* r = b.root(b.element("r"));
    // Enough distinct names and values to grow the build's key tables.
    for (int i = 0; i < 1000; i++) {
        quorvel_element* e = b.append(r, b.element(("n" + std::to_string(i % 300)).c_str()));
        b.attribute(e, ("a" + std::to_string(i % 200)).c_str(), ("value" + std::to_string(i)).c_str());
    }
    quorvel_element* deep = b.append(r, b.element("deep"));
    for (int i = 0; i < 100000; i++) deep = b.append(deep, b.element("d"));
    quorvel_element_index* x = quorvel_element_index_build(doc);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->element_count, 1u + 1000 + 1 + 100000);
    EXPECT_EQ(x->name_count, 1u + 300 + 2);
    EXPECT_EQ(x->attribute_count, 200u);
    EXPECT_EQ(quorvel_element_index_value_count(attr_entry(x, "a7")), 5u);
    EXPECT_EQ(x->subtree_ends[0], x->element_count - 1);
    EXPECT_EQ(x->subtree_ends[1001], x->element_count - 1);
    EXPECT_EQ(x->subtree_ends[x->element_count - 1], x->element_count - 1);
    EXPECT_EQ(x->elements[x->element_count - 1], deep);
    quorvel_element_index_free(x);
    quorvel_document_free(doc);
}

TEST(ElementIndex, NoRootNoIndex) {
    EXPECT_EQ(quorvel_element_index_build(nullptr), nullptr);
    quorvel_document* doc = quorvel_document_create();
    EXPECT_EQ(quorvel_element_index_build(doc), nullptr);
    // A document keeps its index until a change drops it or it is freed.
    quorvel_element* r = quorvel_element_create(doc, "r");
    quorvel_document_set_root(doc, r);
    doc->element_index = quorvel_element_index_build(doc);
    ASSERT_NE(doc->element_index, nullptr);
    quorvel_document_free(doc);  // frees the index with it (checked under the sanitizers)
}

}  // namespace

namespace {

// Value lookups through the hash groups against a plain scan of the
// attribute entry: every value (shared, unique, decoded, differing only in
// length) finds exactly its elements, in document order.
TEST(ElementIndex, ValueGroupsMatchAScan) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* r = b.root(b.element("r"));
    std::vector<std::pair<quorvel_element*, std::string>> expected;
    for (int i = 0; i < 3000; i++) {
        quorvel_element* e = b.append(r, b.element(i % 2 ? "a" : "b"));
        // Short inline values, long ones, shared ones and prefixes of each other.
        std::string v = i % 5 == 0 ? "shared" : i % 7 == 0 ? std::string(i % 40 + 1, 'x') : "v" + std::to_string(i);
        b.attribute(e, "k", v.c_str());
        expected.emplace_back(e, v);
    }
    quorvel_element* pending = b.append(r, b.element("a"));
    b.attribute(pending, "k", "s&amp;t", true);
    expected.emplace_back(pending, "s&t");
    quorvel_element_index* x = quorvel_element_index_build(doc);
    ASSERT_NE(x, nullptr);
    const quorvel_element_index_attribute* k = quorvel_element_index_find_attribute(x, "k", 1);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k, attr_entry(x, "k"));
    EXPECT_EQ(quorvel_element_index_find_attribute(x, "kk", 2), nullptr);
    EXPECT_EQ(quorvel_element_index_find_name(x, "a", 1), name_entry(x, "a"));
    EXPECT_EQ(quorvel_element_index_find_name(x, "ab", 2), nullptr);
    std::vector<std::string> probes = {"shared", "v1", "v2999", "x", "xx", std::string(40, 'x'), "s&t", "s&amp;t",
                                       "v", "nope", std::string(41, 'x')};
    for (const std::string& probe : probes) {
        std::vector<quorvel_element*> want;
        for (const auto& [e, v] : expected)
            if (v == probe) want.push_back(e);
        const quorvel_element_index_value* found = nullptr;
        ASSERT_TRUE(quorvel_element_index_find_value(k, probe.data(), probe.size(), &found)) << probe;
        std::vector<quorvel_element*> got;
        if (found) got.assign(found->elements, found->elements + found->count);
        EXPECT_EQ(got, want) << probe;
        if (found) {
            for (size_t i = 0; i < found->count; i++) EXPECT_EQ(x->elements[found->positions[i]], found->elements[i]);
        }
    }
    quorvel_element_index_free(x);
    quorvel_document_free(doc);
}

// The first value lookups of one name, made by several threads at once on
// a fresh index: one grouping wins, every thread reads the same answers.
TEST(ElementIndexThread, FirstValueLookupsRace) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* r = b.root(b.element("r"));
    for (int i = 0; i < 2000; i++) b.attribute(b.append(r, b.element("e")), "id", std::to_string(i % 500).c_str());
    for (int round = 0; round < 5; round++) {
        quorvel_element_index* x = quorvel_element_index_build(doc);
        ASSERT_NE(x, nullptr);
        const quorvel_element_index_attribute* id = quorvel_element_index_find_attribute(x, "id", 2);
        ASSERT_NE(id, nullptr);
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; t++)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 200; i++) {
                    std::string v = std::to_string((i * 7 + t) % 600);
                    const quorvel_element_index_value* found = nullptr;
                    if (!quorvel_element_index_find_value(id, v.data(), v.size(), &found)) wrong++;
                    size_t want = (i * 7 + t) % 600 < 500 ? 4 : 0;
                    if ((found ? found->count : 0) != want) wrong++;
                }
            });
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_EQ(quorvel_element_index_value_count(id), 500u);
        quorvel_element_index_free(x);
    }
    quorvel_document_free(doc);
}

}  // namespace
