// Element names, prefix resolution, the cached namespace URI and the
// declarations an element carries, on trees laid out as the parser does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

class NamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        doc = quorvel_document_create();
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override { quorvel_document_free(doc); }

    quorvel_document* doc = nullptr;
};

TEST_F(NamesTest, NameReadersOnOddInput) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("p:item"));
    quorvel_text* t = b.append(root, b.text("x"));
    auto* as_element = reinterpret_cast<quorvel_element*>(t);

    EXPECT_STREQ(quorvel_element_name(root), "item");
    EXPECT_STREQ(quorvel_element_prefix(root), "p");
    EXPECT_STREQ(quorvel_element_name(nullptr), "");
    EXPECT_STREQ(quorvel_element_name(as_element), "");
    EXPECT_EQ(quorvel_element_get_name(nullptr), nullptr);
    EXPECT_EQ(quorvel_element_get_name(as_element), nullptr);
    EXPECT_EQ(quorvel_element_prefix(as_element), nullptr);
    EXPECT_EQ(quorvel_element_namespace_count(as_element), 0u);

    // An element never given a name.
    quorvel_element* unnamed = b.element("x");
    unnamed->name = 0;
    EXPECT_EQ(quorvel_element_get_name(unnamed), nullptr);
    EXPECT_STREQ(quorvel_element_name(unnamed), "");
    EXPECT_EQ(quorvel_element_prefix(b.element("plain")), nullptr);

    const char *local = "?", *prefix = "?", *uri = "?";
    quorvel_element_expanded_name(nullptr, &local, &prefix, &uri);
    EXPECT_EQ(local, nullptr);
    EXPECT_EQ(prefix, nullptr);
    EXPECT_EQ(uri, nullptr);
    quorvel_element_expanded_name(root, &local, nullptr, nullptr);  // NULL outputs are skipped
    EXPECT_STREQ(local, "item");

    EXPECT_EQ(quorvel_element_hash_value(reinterpret_cast<uintptr_t>(root)), reinterpret_cast<uintptr_t>(root));
    quorvel_namespace handle = "urn:h";
    EXPECT_EQ(quorvel_namespace_uri(handle), handle);
    EXPECT_EQ(quorvel_namespace_prefix(handle), nullptr);
}

TEST_F(NamesTest, PrefixResolvedThroughAncestorAndCached) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    b.declare(root, "p", "urn:x");
    quorvel_element* item = b.append(root, b.element("p:item"));

    const char* first = quorvel_element_get_namespace_uri(item);
    EXPECT_STREQ(first, "urn:x");
    EXPECT_EQ(quorvel_element_namespace(item), first);  // same pointer, from the cache
    EXPECT_EQ(quorvel_elem_ext(item)->ns_uri, first);

    const char *local, *prefix, *uri;
    quorvel_element_expanded_name(item, &local, &prefix, &uri);
    EXPECT_STREQ(local, "item");
    EXPECT_STREQ(prefix, "p");
    EXPECT_EQ(uri, first);

    EXPECT_STREQ(quorvel_element_namespace_for_prefix(item, "p"), "urn:x");
    EXPECT_EQ(quorvel_element_namespace_for_prefix(item, "q"), nullptr);
    EXPECT_EQ(quorvel_element_namespace_for_prefix(item, ""), nullptr);
    EXPECT_EQ(quorvel_element_namespace_for_prefix(nullptr, "p"), nullptr);
    // Unprefixed root in no namespace: nothing is cached for it.
    EXPECT_EQ(quorvel_element_get_namespace_uri(root), nullptr);
    EXPECT_EQ(quorvel_elem_ext(root)->ns_uri, nullptr);
}

TEST_F(NamesTest, UndeclaredDefaultAndUnboundXmlPrefix) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    b.declare(root, nullptr, "urn:d");
    quorvel_element* inner = b.append(root, b.element("inner"));
    b.declare(inner, nullptr, "");
    quorvel_element* thing = b.append(root, b.element("xml:thing"));

    EXPECT_STREQ(quorvel_element_get_namespace_uri(root), "urn:d");
    EXPECT_EQ(quorvel_element_get_namespace_uri(inner), nullptr);
    EXPECT_STREQ(quorvel_element_lookup_namespace(inner, nullptr), "");
    EXPECT_STREQ(quorvel_element_lookup_namespace(root, nullptr), "urn:d");
    EXPECT_EQ(quorvel_element_get_namespace_uri(thing), nullptr);
}

TEST_F(NamesTest, DetachedElementResolvesWithoutCaching) {
    tree_builder b(doc);
    // Neither element is below a registered root: no document is found.
    quorvel_element* top = b.element("top");
    b.declare(top, "p", "urn:p");
    quorvel_element* child = b.append(top, b.element("p:c"));
    quorvel_element* bare = b.append(top, b.element("q"));
    b.declare(top, nullptr, "urn:d");

    EXPECT_EQ(quorvel_element_get_document(bare), nullptr);
    EXPECT_STREQ(quorvel_element_get_namespace_uri(bare), "urn:d");
    EXPECT_EQ(quorvel_elem_ext(bare), nullptr);  // nowhere to keep a cache: not made
    EXPECT_STREQ(quorvel_element_get_namespace_uri(child), "urn:p");
}

// A declaration added or removed on the element or an ancestor, a rename
// and a move each make the next read resolve again.
TEST_F(NamesTest, CachedUriFollowsDeclarationChanges) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    b.declare(root, nullptr, "urn:d");
    b.declare(root, "p", "urn:a");
    quorvel_element* mid = b.append(root, b.element("mid"));
    quorvel_element* leaf = b.append(mid, b.element("leaf"));
    quorvel_element* pleaf = b.append(mid, b.element("p:leaf"));

    EXPECT_STREQ(quorvel_element_get_namespace_uri(leaf), "urn:d");
    EXPECT_STREQ(quorvel_element_get_namespace_uri(pleaf), "urn:a");

    ASSERT_EQ(quorvel_element_set_default_namespace(leaf, "urn:e"), QUORVEL_OK);
    EXPECT_STREQ(quorvel_element_get_namespace_uri(leaf), "urn:e");
    ASSERT_EQ(quorvel_element_add_namespace_definition(mid, "p", "urn:b"), QUORVEL_OK);
    EXPECT_STREQ(quorvel_element_get_namespace_uri(pleaf), "urn:b");

    ASSERT_EQ(quorvel_element_remove_namespace_definition(leaf, nullptr), QUORVEL_OK);
    EXPECT_STREQ(quorvel_element_get_namespace_uri(leaf), "urn:d");
    ASSERT_EQ(quorvel_element_remove_namespace_definition(mid, "p"), QUORVEL_OK);
    EXPECT_STREQ(quorvel_element_get_namespace_uri(pleaf), "urn:a");
    EXPECT_EQ(doc->namespaces_in_use, 1);
}

TEST_F(NamesTest, ClearFunctionsCoverRenameAndMove) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    quorvel_element* left = b.append(root, b.element("left"));
    quorvel_element* right = b.append(root, b.element("right"));
    b.declare(left, "p", "urn:left");
    b.declare(right, "p", "urn:right");
    b.declare(right, "q", "urn:q");
    quorvel_element* mover = b.append(left, b.element("mover"));
    quorvel_element* inner = b.append(mover, b.element("p:inner"));

    EXPECT_STREQ(quorvel_element_get_namespace_uri(inner), "urn:left");

    // Move mover from left to right by hand, then do what moving code must.
    ASSERT_TRUE(quorvel_link_set(left, &left->first_child, nullptr, doc));
    left->child_count = 0;
    ASSERT_TRUE(quorvel_link_set(right, &right->first_child, mover, doc));
    ASSERT_TRUE(quorvel_link_set(mover, &mover->parent, right, doc));
    right->child_count = 1;
    EXPECT_STREQ(quorvel_element_get_namespace_uri(inner), "urn:left");  // stale until cleared
    quorvel_namespace_cache_clear_subtree(mover);
    EXPECT_STREQ(quorvel_element_get_namespace_uri(inner), "urn:right");

    // Rename p:inner to q:inner by hand; clearing its own entry is enough.
    quorvel_elem_ext(inner)->prefix = quorvel_pool_strdup(doc->pool, "q");
    quorvel_element_namespace_cache_clear(inner);
    EXPECT_STREQ(quorvel_element_get_namespace_uri(inner), "urn:q");

    // The clears accept anything.
    quorvel_namespace_cache_clear_subtree(nullptr);
    quorvel_element_namespace_cache_clear(nullptr);
}

TEST_F(NamesTest, SamePrefixDeclaredTwice) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    ASSERT_EQ(quorvel_element_add_namespace_definition(root, "p", "urn:1"), QUORVEL_OK);
    ASSERT_EQ(quorvel_element_add_namespace_definition(root, "p", "urn:2"), QUORVEL_OK);
    EXPECT_EQ(quorvel_element_namespace_count(root), 2u);
    EXPECT_STREQ(quorvel_element_namespace_decl_uri(root, 0), "urn:1");
    EXPECT_STREQ(quorvel_element_namespace_decl_uri(root, 1), "urn:2");
    EXPECT_STREQ(quorvel_element_namespace_decl_prefix(root, 1), "p");
    EXPECT_STREQ(quorvel_element_lookup_namespace(root, "p"), "urn:1");
    ASSERT_EQ(quorvel_element_remove_namespace_definition(root, "p"), QUORVEL_OK);
    EXPECT_STREQ(quorvel_element_lookup_namespace(root, "p"), "urn:2");
    EXPECT_EQ(quorvel_element_namespace_count(root), 1u);
}

TEST_F(NamesTest, DeclarationsByIndexIncludeDeclarationAttributes) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    b.declare(root, "p", "urn:p");
    b.attribute(root, "a", "1");
    b.attribute(root, "xmlns:q", "urn:q");
    b.attribute(root, "xmlnsfoo", "urn:not-a-declaration");
    b.attribute(root, "xmlns:", "urn:not-either");
    b.attribute(root, "xmlns", "urn:default-attr");

    ASSERT_EQ(quorvel_element_namespace_count(root), 3u);
    EXPECT_STREQ(quorvel_element_namespace_decl_prefix(root, 0), "p");
    EXPECT_STREQ(quorvel_element_namespace_decl_uri(root, 0), "urn:p");
    EXPECT_STREQ(quorvel_element_namespace_decl_prefix(root, 1), "q");
    EXPECT_STREQ(quorvel_element_namespace_decl_uri(root, 1), "urn:q");
    EXPECT_EQ(quorvel_element_namespace_decl_prefix(root, 2), nullptr);
    EXPECT_STREQ(quorvel_element_namespace_decl_uri(root, 2), "urn:default-attr");
    EXPECT_EQ(quorvel_element_namespace_decl_prefix(root, 3), nullptr);
    EXPECT_EQ(quorvel_element_namespace_decl_uri(root, 3), nullptr);
    // Resolution reads declaration lists only.
    EXPECT_EQ(quorvel_element_lookup_namespace(root, "q"), nullptr);
    EXPECT_EQ(quorvel_element_lookup_namespace(root, nullptr), nullptr);
}

TEST_F(NamesTest, AddAndRemoveStatuses) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    quorvel_text* t = b.append(root, b.text("x"));

    EXPECT_EQ(quorvel_element_add_namespace_definition(nullptr, "p", "u"), QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_element_add_namespace_definition(root, "p", nullptr), QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_element_add_namespace_definition(reinterpret_cast<quorvel_element*>(t), "p", "u"),
              QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_element_remove_namespace_definition(nullptr, "p"), QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_element_remove_namespace_definition(root, "p"), QUORVEL_ERR_NOT_FOUND);

    // An empty prefix means the default namespace, for adding and removing.
    ASSERT_EQ(quorvel_element_add_namespace_definition(root, "", "urn:d"), QUORVEL_OK);
    EXPECT_EQ(quorvel_element_namespace_decl_prefix(root, 0), nullptr);
    EXPECT_EQ(quorvel_element_remove_namespace_definition(root, "p"), QUORVEL_ERR_NOT_FOUND);
    EXPECT_EQ(quorvel_element_remove_namespace_definition(root, ""), QUORVEL_OK);
    EXPECT_EQ(quorvel_element_namespace_count(root), 0u);
    EXPECT_EQ(quorvel_element_remove_namespace_definition(root, nullptr), QUORVEL_ERR_NOT_FOUND);
}

TEST_F(NamesTest, AddOnElementWithoutDocument) {
    tree_builder b(doc);
    quorvel_element* loose = b.element("loose");  // no document can be found for it
    EXPECT_EQ(quorvel_element_add_namespace_definition(loose, "p", "urn:p"), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_element_namespace_count(loose), 0u);

    // With an extension record the declaration goes on the heap.
    quorvel_element_ext* ext = b.ext(loose);
    ASSERT_EQ(quorvel_element_add_namespace_definition(loose, "p", "urn:p"), QUORVEL_OK);
    EXPECT_STREQ(quorvel_element_lookup_namespace(loose, "p"), "urn:p");
    quorvel_ns_decl* d = ext->ns_decls;
    ext->ns_decls = nullptr;
    std::free(d->prefix);
    std::free(d->uri);
    std::free(d);
}

}  // namespace
