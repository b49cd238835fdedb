// Document lifecycle: creation, ownership between documents, the root
// registry and root installation.
#include <gtest/gtest.h>

#include <thread>

#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

TEST(Document, NewDocumentIsEmpty) {
    quorvel_document* doc = quorvel_document_create();
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(quorvel_document_root(doc), nullptr);
    EXPECT_EQ(quorvel_document_first_child(doc), nullptr);
    EXPECT_EQ(quorvel_document_last_error(doc), nullptr);
    EXPECT_EQ(quorvel_document_is_frozen(doc), 0);
    EXPECT_EQ(quorvel_document_freeze(doc), 0);
    EXPECT_EQ(quorvel_document_finalize_strings(doc), 0);
    EXPECT_EQ(doc->standalone, -1);
    EXPECT_EQ(doc->is_html, 0);
    quorvel_node* node = quorvel_document_node(doc);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->kind, QUORVEL_NODE_DOCUMENT);
    EXPECT_EQ(quorvel_node_first_child(node), nullptr);
    EXPECT_EQ(quorvel_document_get_dtd(doc), quorvel_document_get_dtd(doc));
    quorvel_document_free(doc);

    quorvel_document* html = quorvel_document_create_html();
    EXPECT_EQ(html->is_html, 1);
    quorvel_document_free(html);
}

TEST(Document, NullArguments) {
    EXPECT_EQ(quorvel_document_root(nullptr), nullptr);
    EXPECT_EQ(quorvel_document_first_child(nullptr), nullptr);
    EXPECT_EQ(quorvel_document_get_dtd(nullptr), nullptr);
    EXPECT_EQ(quorvel_document_freeze(nullptr), -4);
    EXPECT_EQ(quorvel_document_set_strict(nullptr, 1), -4);
    EXPECT_EQ(quorvel_document_set_allocators(nullptr, nullptr, nullptr), -4);
    EXPECT_EQ(quorvel_document_last_error(nullptr), nullptr);
    EXPECT_EQ(quorvel_document_node(nullptr), nullptr);
    EXPECT_EQ(quorvel_document_absorb(nullptr, nullptr), -4);
    EXPECT_EQ(quorvel_document_adopt_child(nullptr, nullptr), -4);
    quorvel_document_free(nullptr);
}

TEST(Document, StrictFlagAndCallerValues) {
    quorvel_document* doc = quorvel_document_create();
    EXPECT_EQ(quorvel_document_set_strict(doc, 9), 0);
    EXPECT_EQ(quorvel_document_get_strict(doc), 1);
    int x;
    EXPECT_EQ(quorvel_document_set_allocators(doc, &x, nullptr), 0);
    EXPECT_EQ(doc->caller_values[0], &x);
    quorvel_document_free(doc);
}

// Absorbed documents go with the later of the owner's and the caller's free.
TEST(Ownership, AbsorbRules) {
    quorvel_document* a = quorvel_document_create();
    quorvel_document* b = quorvel_document_create();
    quorvel_document* c = quorvel_document_create();
    EXPECT_EQ(quorvel_document_absorb(a, a), -5);
    EXPECT_EQ(quorvel_document_absorb(a, b), 0);
    EXPECT_EQ(quorvel_document_absorb(b, c), -5);  // b is itself absorbed
    EXPECT_EQ(quorvel_document_absorb(c, b), -5);  // b already has an owner
    EXPECT_EQ(quorvel_document_absorb(b, a), -5);  // would close a cycle
    quorvel_document_free(b);                      // the caller's free: b stays for a
    quorvel_document_free(a);                      // frees both
    quorvel_document_free(c);
}

TEST(Ownership, AbsorbedDocumentOutlivesItsOwnerWithItsRoot) {
    quorvel_document* owner = quorvel_document_create();
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("kept"));
    ASSERT_EQ(quorvel_document_absorb(owner, doc), 0);
    quorvel_document_free(owner);
    EXPECT_EQ(quorvel_document_root(doc), root);
    EXPECT_EQ(quorvel_element_get_document(root), doc);
    quorvel_document_free(doc);
}

// Once its owner is freed, an absorbed document keeps no way back to it:
// ownership checks made through it must not read the freed owner.
TEST(Ownership, AbsorbedDocumentForgetsItsFreedOwner) {
    quorvel_document* owner = quorvel_document_create();
    quorvel_document* doc = quorvel_document_create();
    quorvel_document* other = quorvel_document_create();
    ASSERT_EQ(quorvel_document_absorb(owner, doc), 0);
    quorvel_document_free(owner);
    EXPECT_EQ(quorvel_document_adopt_child(doc, other), 0);
    EXPECT_EQ(quorvel_document_adopt_child(other, doc), -5);  // would close a cycle
    quorvel_document_free(doc);                                // frees other too
}

// Absorbed again by a second owner, a document lives until that owner goes
// too, however its first owner went.
TEST(Ownership, AbsorbedAgainAfterItsOwnerWasFreed) {
    quorvel_document* first = quorvel_document_create();
    quorvel_document* second = quorvel_document_create();
    quorvel_document* doc = quorvel_document_create();
    quorvel_element* root = quorvel_element_create(second, "a");
    ASSERT_EQ(quorvel_document_set_root(second, root), 0);
    quorvel_element* moved = quorvel_element_create(doc, "m");
    ASSERT_EQ(quorvel_document_set_root(doc, moved), 0);
    ASSERT_EQ(quorvel_document_absorb(first, doc), 0);
    quorvel_document_free(first);
    ASSERT_EQ(quorvel_document_absorb(second, doc), 0);
    ASSERT_EQ(quorvel_element_append_child(root, quorvel_element_as_node(moved)), 0);
    EXPECT_EQ(quorvel_node_parent(quorvel_element_as_node(moved)), root);  // linked, not copied
    quorvel_document_free(doc);  // the caller's free: second still holds it
    char* written = quorvel_document_serialize(second, nullptr);
    EXPECT_NE(std::string(written).find("<a><m/></a>"), std::string::npos) << written;
    quorvel_free_string(written);
    quorvel_document_free(second);
}

// The owner's root may be an element that lives in an absorbed document's
// memory: freeing the owner must finish with its own tree before it frees
// the absorbed documents that the caller already let go.
TEST(Ownership, OwnerWhoseRootLivesInAnAbsorbedDocument) {
    quorvel_document* owner = quorvel_document_create();
    quorvel_document* doc = quorvel_document_create();
    quorvel_element* element = quorvel_element_create(doc, "e");  // not doc's root
    ASSERT_EQ(quorvel_document_absorb(owner, doc), 0);
    ASSERT_EQ(quorvel_document_set_root(owner, element), 0);
    ASSERT_EQ(quorvel_document_root(owner), element);  // linked, not copied
    quorvel_document_free(doc);    // the caller's free: owner still holds it
    quorvel_document_free(owner);  // frees both, its root last
}

// An element of an absorbed document that spent time in its owner's tree
// may hold children made in the owner's memory: put back into its own
// document's tree it goes in as a copy, so that document keeps nothing of
// the owner once the owner is freed.
TEST(Ownership, ElementBackFromTheOwnersTreeComesAsACopy) {
    quorvel_document* owner = quorvel_document_create();
    quorvel_document* doc = quorvel_document_create();
    quorvel_element* owner_root = quorvel_element_create(owner, "a");
    ASSERT_EQ(quorvel_document_set_root(owner, owner_root), 0);
    quorvel_element* doc_root = quorvel_element_create(doc, "b");
    ASSERT_EQ(quorvel_document_set_root(doc, doc_root), 0);
    quorvel_element* x = quorvel_element_create(doc, "x");
    ASSERT_EQ(quorvel_document_absorb(owner, doc), 0);
    ASSERT_EQ(quorvel_element_append_child(owner_root, quorvel_element_as_node(x)), 0);
    ASSERT_NE(quorvel_element_create_child(x, "c"), nullptr);  // made in the owner's tree
    ASSERT_EQ(quorvel_node_unlink(quorvel_element_as_node(x)), 0);
    ASSERT_EQ(quorvel_element_append_child(doc_root, quorvel_element_as_node(x)), 0);
    quorvel_document_free(owner);
    // Whatever the owner's memory held is handed out again.
    quorvel_document* other = quorvel_document_create();
    for (int i = 0; i < 3000; i++) quorvel_element_create(other, "zzzzzzzz");
    char* written = quorvel_document_serialize(doc, nullptr);
    EXPECT_NE(std::string(written).find("<b><x><c/></x></b>"), std::string::npos) << written;
    quorvel_free_string(written);
    quorvel_document_free(other);
    quorvel_document_free(doc);
}

TEST(Ownership, AdoptRefusesSelfDoubleAndCycles) {
    quorvel_document* a = quorvel_document_create();
    quorvel_document* b = quorvel_document_create();
    quorvel_document* c = quorvel_document_create();
    EXPECT_EQ(quorvel_document_adopt_child(a, a), -5);
    EXPECT_EQ(quorvel_document_adopt_child(a, b), 0);
    EXPECT_EQ(quorvel_document_adopt_child(c, b), -5);  // b already adopted
    EXPECT_EQ(quorvel_document_adopt_child(b, c), 0);
    EXPECT_EQ(quorvel_document_adopt_child(c, a), -5);  // a -> b -> c -> a
    EXPECT_EQ(quorvel_document_absorb(c, b), -5);       // adopted already
    quorvel_document_free(a);                           // frees a, b and c once each
}

TEST(Ownership, AdoptedDocumentFreedDirectlyLeavesItsOwnersList) {
    quorvel_document* a = quorvel_document_create();
    quorvel_document* b = quorvel_document_create();
    quorvel_document* c = quorvel_document_create();
    ASSERT_EQ(quorvel_document_adopt_child(a, b), 0);
    ASSERT_EQ(quorvel_document_adopt_child(a, c), 0);
    quorvel_document_free(b);
    EXPECT_EQ(a->adopted_head, c);
    quorvel_document_free(a);
}

TEST(Registry, FindsTheDocumentOfAnyElement) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("r"));
    quorvel_element* leaf = b.append(b.append(root, b.element("a")), b.element("b"));
    EXPECT_EQ(quorvel_element_get_document(leaf), doc);
    EXPECT_EQ(quorvel_element_get_document(leaf), doc);  // through the memo
    quorvel_element* detached = b.element("loose");
    EXPECT_EQ(quorvel_element_get_document(detached), nullptr);
    EXPECT_EQ(quorvel_element_get_document(nullptr), nullptr);
    // Another thread finds it through the registry.
    std::thread([&] { EXPECT_EQ(quorvel_element_get_document(leaf), doc); }).join();
    quorvel_document_free(doc);
}

TEST(Registry, StaleMemoIsNotTrustedAfterFree) {
    quorvel_document* d1 = quorvel_document_create();
    tree_builder b1(d1);
    quorvel_element* r1 = b1.root(b1.element("r"));
    EXPECT_EQ(quorvel_element_get_document(r1), d1);
    quorvel_document_free(d1);
    // A new document may reuse the same storage; lookups must not return d1.
    quorvel_document* d2 = quorvel_document_create();
    tree_builder b2(d2);
    quorvel_element* r2 = b2.root(b2.element("r"));
    EXPECT_EQ(quorvel_element_get_document(r2), d2);
    quorvel_document_free(d2);
}

TEST(SetRoot, StatusesAndMessages) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* out = reinterpret_cast<quorvel_element*>(1);
    EXPECT_EQ(quorvel_document_set_root_ex(doc, nullptr, &out), -4);
    EXPECT_EQ(out, nullptr);
    EXPECT_STREQ(quorvel_last_error(), "set_root: NULL document or element");

    quorvel_element* parent = b.root(b.element("p"));
    quorvel_element* child = b.append(parent, b.element("c"));
    EXPECT_EQ(quorvel_document_set_root_ex(doc, child, &out), -5);
    EXPECT_STREQ(quorvel_last_error(), "set_root: element is attached to a parent");
    EXPECT_EQ(quorvel_document_root(doc), parent);

    // An element the document cannot find as its own is installed as a copy.
    quorvel_element* loose = b.element("loose");
    EXPECT_EQ(quorvel_document_set_root_ex(doc, loose, &out), 0);
    EXPECT_NE(out, loose);
    EXPECT_EQ(quorvel_document_root(doc), out);
    EXPECT_STREQ(quorvel_element_name(out), "loose");
    quorvel_document_free(doc);
}

TEST(SetRoot, ReplacesTheRootInPlaceKeepingTrailingNodes) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* old_root = b.root(b.element("old"));
    quorvel_comment* after = b.top_level(b.comment("after"));
    quorvel_element* fresh = b.element("new");
    quorvel_root_doc_register(fresh, doc);
    quorvel_element* out = nullptr;
    ASSERT_EQ(quorvel_document_set_root_ex(doc, fresh, &out), 0);
    EXPECT_EQ(out, fresh);
    EXPECT_EQ(quorvel_document_root(doc), fresh);
    EXPECT_EQ(quorvel_document_first_child(doc), &fresh->head);
    EXPECT_EQ(quorvel_node_next_sibling(&fresh->head), &after->head);
    EXPECT_EQ(doc->last_top, &after->head);
    EXPECT_EQ(quorvel_element_get_document(old_root), doc);  // keeps its registration
    quorvel_document_free(doc);
}

TEST(SetRoot, EmptyDocumentKeepsAnEmptyTopLevelList) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* e = b.element("r");
    quorvel_root_doc_register(e, doc);
    ASSERT_EQ(quorvel_document_set_root(doc, e), 0);
    EXPECT_EQ(doc->first_top, nullptr);
    EXPECT_EQ(quorvel_document_first_child(doc), &e->head);
    EXPECT_EQ(quorvel_node_first_child(quorvel_document_node(doc)), &e->head);
    quorvel_document_free(doc);
}

}  // namespace
