// Element creation: the name split, the document address stored in front of
// the name, element blocks and name chunks, and elements made in a bare pool.
#include <gtest/gtest.h>

#include <string>

#include "dom/dom.h"

namespace {

struct split_case {
    const char* name;
    const char* local;
    const char* prefix;  // as stored in the extension record; NULL for none
};

TEST(ElementCreate, SplitsAtTheFirstColon) {
    const split_case cases[] = {
        {"a:b", "b", "a"}, {"ab", "ab", nullptr}, {"x:y", "y", "x"}, {"p:q:r", "q:r", "p"}, {"item", "item", nullptr},
    };
    quorvel_document* doc = quorvel_document_create();
    // An empty prefix or local part would not parse back: no element.
    for (const char* refused : {"a:", ":ab", "::", ":"}) EXPECT_EQ(quorvel_element_create(doc, refused), nullptr) << refused;
    for (const split_case& c : cases) {
        SCOPED_TRACE(c.name);
        quorvel_element* e = quorvel_element_create(doc, c.name);
        ASSERT_NE(e, nullptr);
        EXPECT_STREQ(quorvel_element_get_name(e), c.local);
        const quorvel_element_ext* ext = quorvel_elem_ext(e);
        if (c.prefix)
            EXPECT_STREQ(ext ? ext->prefix : nullptr, c.prefix);
        else
            EXPECT_TRUE(!ext || !ext->prefix);
        EXPECT_EQ(e->name_length, std::strlen(c.local));
        EXPECT_EQ(e->name_hash, quorvel_name_hash16(c.local, std::strlen(c.local)));
        // The document is read from the address in front of the name: no
        // registry entry is needed.
        EXPECT_TRUE(e->eflags & kElemDocAddress);
        EXPECT_FALSE(e->eflags & kElemRegistered);
        EXPECT_EQ(quorvel_element_get_document(e), doc);
    }
    quorvel_document_free(doc);
}

TEST(ElementCreate, LongNamesAreSplitToo) {
    quorvel_document* doc = quorvel_document_create();
    std::string local(298, 'n');
    quorvel_element* e = quorvel_element_create(doc, ("p:" + local).c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(quorvel_element_get_name(e), local);
    EXPECT_STREQ(quorvel_element_prefix(e), "p");
    EXPECT_EQ(e->name_length, 255);
    EXPECT_EQ(quorvel_element_get_document(e), doc);

    quorvel_element* parent = quorvel_element_create(doc, "r");
    quorvel_element_add_namespace_definition(parent, "p", "urn:p");
    ASSERT_EQ(quorvel_element_append_child(parent, &e->head), 0);
    EXPECT_STREQ(quorvel_element_namespace(e), "urn:p");
    quorvel_document_free(doc);
}

TEST(ElementCreate, RefusesNullArguments) {
    quorvel_document* doc = quorvel_document_create();
    EXPECT_EQ(quorvel_element_create(nullptr, "a"), nullptr);
    EXPECT_EQ(quorvel_element_create(doc, nullptr), nullptr);
    EXPECT_EQ(quorvel_element_create_with_view("a", 0, doc->pool), nullptr);
    EXPECT_EQ(quorvel_element_create_with_view(nullptr, 1, doc->pool), nullptr);
    EXPECT_EQ(quorvel_element_create_with_view("a", 1, nullptr), nullptr);
    quorvel_document_free(doc);
}

TEST(ElementCreate, SecondBlockAfter1024AndRecycledBlocksFirst) {
    quorvel_document* doc = quorvel_document_create();
    quorvel_element* first = quorvel_element_create(doc, "e");
    for (int i = 1; i < 1024; i++) ASSERT_NE(quorvel_element_create(doc, "e"), nullptr);
    void* block = doc->elem_blocks;
    quorvel_element* next = quorvel_element_create(doc, "e");
    EXPECT_NE(doc->elem_blocks, block);  // the 1,025th came from a new block
    EXPECT_EQ(next, reinterpret_cast<quorvel_element*>(static_cast<char*>(doc->elem_blocks) + 8));
    EXPECT_EQ(first, reinterpret_cast<quorvel_element*>(static_cast<char*>(block) + 8));
    quorvel_document_free(doc);

    // The freed document's blocks went to this thread's list; the next
    // document takes one from there instead of the heap.
    void* recycled = tls_recycle_elem;
    ASSERT_NE(recycled, nullptr);
    quorvel_document* again = quorvel_document_create();
    quorvel_element_create(again, "e");
    EXPECT_EQ(again->elem_blocks, recycled);
    quorvel_document_free(again);
}

TEST(ElementCreate, InPoolNeverWritesASharedName) {
    // A pool that interns: every element named "p:x" gets the same local
    // name string, and the prefix split must not write into it.
    quorvel_document* doc = quorvel_document_create();
    doc->pool->intern = quorvel_hash_table_create(doc->pool, 16);
    quorvel_string_view view{"x", 1};
    char* shared = quorvel_sv_to_cstr_pooled(&view, doc->pool);
    quorvel_element* a = quorvel_element_create_with_view("p:x", 3, doc->pool);
    quorvel_element* b = quorvel_element_create_with_view("q:x", 3, doc->pool);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(quorvel_element_get_name(a), shared);
    EXPECT_EQ(quorvel_element_get_name(b), shared);
    EXPECT_STREQ(shared, "x");
    EXPECT_STREQ(quorvel_element_prefix(a), "p");
    EXPECT_STREQ(quorvel_element_prefix(b), "q");
    EXPECT_EQ(a->eflags & (kElemDocAddress | kElemRegistered), 0);
    EXPECT_EQ(quorvel_element_get_document(a), nullptr);  // no document until linked
    quorvel_document_free(doc);
}

TEST(ElementCreate, CarvedStringsCarryTheDocumentAddress) {
    quorvel_document* doc = quorvel_document_create();
    char* s = mut_str_carve(doc, "hello", 5);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "hello");
    quorvel_document* stored;
    std::memcpy(&stored, s - 8, sizeof stored);
    EXPECT_EQ(stored, doc);
    std::string big(1024, 'x');
    EXPECT_EQ(mut_str_carve(doc, big.c_str(), big.size()), nullptr);
    EXPECT_NE(mut_str_carve(doc, big.c_str(), 1023), nullptr);
    quorvel_document_free(doc);
}

}  // namespace
