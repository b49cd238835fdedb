// Taking nodes out of trees: unlink, remove a child of an element or of the
// document node, remove all children; what a removed element keeps (its
// document) and loses (namespace URIs cached from its old ancestors).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

template <typename T>
quorvel_node* N(T* n) {
    return reinterpret_cast<quorvel_node*>(n);
}

std::string names(const quorvel_node* parent) {
    std::string s;
    for (const quorvel_node* c = quorvel_node_first_child(parent); c; c = quorvel_node_next_raw(c)) {
        if (!s.empty()) s += " ";
        if (c->kind == QUORVEL_NODE_ELEMENT)
            s += quorvel_element_name(reinterpret_cast<const quorvel_element*>(c));
        else if (c->kind == QUORVEL_NODE_COMMENT)
            s += std::string("!") + reinterpret_cast<const quorvel_comment*>(c)->content;
        else
            s += "#";
    }
    return s;
}

// A parsed-looking document: records laid out by hand, so the elements do
// not carry the document's address and find it through the registry.
class RemoveTest : public ::testing::Test {
protected:
    void SetUp() override {
        doc = quorvel_document_create();
        b = new tree_builder(doc);
        head = b->top_level(b->comment("head"));
        root = b->root(b->element("r"));
        x = b->append(root, b->element("x"));
        y = b->append(root, b->element("y"));
        z = b->append(root, b->element("z"));
        tail = b->top_level(b->comment("tail"));
    }
    void TearDown() override {
        delete b;
        quorvel_document_free(doc);
    }

    quorvel_document* doc = nullptr;
    tree_builder* b = nullptr;
    quorvel_comment *head = nullptr, *tail = nullptr;
    quorvel_element *root = nullptr, *x = nullptr, *y = nullptr, *z = nullptr;
};

TEST_F(RemoveTest, UnlinkRelinksNeighboursAndKeepsTheDocument) {
    ASSERT_EQ(quorvel_node_unlink(N(y)), 0);
    EXPECT_EQ(names(N(root)), "x z");
    EXPECT_EQ(root->child_count, 2);
    EXPECT_EQ(quorvel_node_parent(N(y)), nullptr);
    EXPECT_EQ(quorvel_node_next_sibling(N(y)), nullptr);
    EXPECT_EQ(quorvel_element_get_document(y), doc);  // registered as a root on the way out
    EXPECT_EQ(quorvel_node_unlink(N(y)), -6);
    ASSERT_EQ(quorvel_node_unlink(N(x)), 0);
    ASSERT_EQ(quorvel_node_unlink(N(z)), 0);
    EXPECT_EQ(root->child_count, 0);
    EXPECT_EQ(quorvel_node_first_child(N(root)), nullptr);

    quorvel_comment* ref = b->append(b->element("holder"), b->entity_ref("amp"));
    ASSERT_EQ(quorvel_node_unlink(N(ref)), 0);
    EXPECT_EQ(quorvel_node_parent(N(ref)), nullptr);

    EXPECT_EQ(quorvel_node_unlink(N(root)), -6);  // top-level nodes have no parent
    EXPECT_EQ(quorvel_node_unlink(N(head)), -6);
    EXPECT_EQ(quorvel_node_unlink(nullptr), -4);
    EXPECT_EQ(names(quorvel_document_node(doc)), "!head r !tail");
}

TEST_F(RemoveTest, RemovedElementsFindTheirDocument) {
    ASSERT_EQ(quorvel_element_remove_child(N(root), N(x)), 0);
    EXPECT_EQ(quorvel_element_get_document(x), doc);
    EXPECT_EQ(quorvel_element_set_attribute(x, "new", "attribute"), 0);  // needs the document
    ASSERT_EQ(quorvel_element_remove_children(N(root)), 0);
    EXPECT_EQ(quorvel_element_get_document(y), doc);
    EXPECT_EQ(quorvel_element_get_document(z), doc);
    EXPECT_EQ(quorvel_node_parent(N(z)), nullptr);
    EXPECT_EQ(root->child_count, 0);
    EXPECT_EQ(names(N(root)), "");
}

TEST_F(RemoveTest, RemoveChildRefusalsChangeNothing) {
    quorvel_element* other = b->append(x, b->element("deep"));
    quorvel_element* empty = b->element("empty");
    quorvel_text* text = b->append(z, b->text("t"));
    EXPECT_EQ(quorvel_element_remove_child(N(root), N(other)), -5);  // not its child
    EXPECT_EQ(quorvel_element_remove_child(N(empty), N(x)), -5);     // empty list
    EXPECT_EQ(quorvel_element_remove_child(N(text), N(x)), -5);      // not a parent kind
    EXPECT_EQ(quorvel_element_remove_child(quorvel_document_node(doc), N(x)), -5);
    EXPECT_EQ(quorvel_element_remove_child(nullptr, N(x)), -4);
    EXPECT_EQ(quorvel_element_remove_child(N(root), nullptr), -4);
    EXPECT_EQ(names(N(root)), "x y z");
    EXPECT_EQ(names(N(x)), "deep");
    EXPECT_EQ(root->child_count, 3);
}

TEST_F(RemoveTest, ThroughTheDocumentNode) {
    quorvel_node* dn = quorvel_document_node(doc);
    ASSERT_EQ(quorvel_element_remove_child(dn, N(tail)), 0);
    EXPECT_EQ(doc->last_top, N(root));
    EXPECT_EQ(names(dn), "!head r");
    ASSERT_EQ(quorvel_element_remove_child(dn, N(head)), 0);
    EXPECT_EQ(doc->first_top, N(root));

    // Removing the root takes it out of the document altogether.
    ASSERT_EQ(quorvel_element_remove_child(dn, N(root)), 0);
    EXPECT_EQ(quorvel_document_root(doc), nullptr);
    EXPECT_EQ(quorvel_document_first_child(doc), nullptr);
    EXPECT_EQ(doc->last_top, nullptr);
    EXPECT_EQ(quorvel_element_remove_child(dn, N(root)), -5);
}

TEST_F(RemoveTest, RemoveAllThroughTheDocumentNode) {
    quorvel_node* dn = quorvel_document_node(doc);
    uint32_t counter = doc->change_counter;
    ASSERT_EQ(quorvel_element_remove_children(dn), 0);
    EXPECT_EQ(doc->change_counter, counter + 1);
    EXPECT_EQ(quorvel_document_first_child(doc), nullptr);
    EXPECT_EQ(quorvel_document_root(doc), nullptr);
    EXPECT_EQ(quorvel_node_next_sibling(N(head)), nullptr);
    EXPECT_EQ(names(N(root)), "x y z");  // the subtree itself is untouched
    EXPECT_EQ(quorvel_element_remove_children(N(b->text("leaf"))), 0);
    EXPECT_EQ(quorvel_element_remove_children(nullptr), -4);
}

TEST_F(RemoveTest, EveryRemovalDoesTheBookkeeping) {
    quorvel_element_ext* ext = b->ext(root);
    struct step {
        const char* what;
        std::function<int()> run;
    };
    const step steps[] = {
        {"unlink", [&] { return quorvel_node_unlink(N(z)); }},
        {"remove child", [&] { return quorvel_element_remove_child(N(root), N(y)); }},
        {"remove all", [&] { return quorvel_element_remove_children(N(root)); }},
        {"remove all again, empty", [&] { return quorvel_element_remove_children(N(root)); }},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.what);
        doc->element_index = quorvel_element_index_build(doc);
        ASSERT_NE(doc->element_index, nullptr);
        uint32_t counter = doc->change_counter;
        uint32_t changes = ext->child_changes;
        uint32_t mods = root->head.flags;
        ext->cache_child = N(x);
        ASSERT_EQ(s.run(), 0);
        EXPECT_EQ(doc->element_index, nullptr);
        EXPECT_EQ(doc->change_counter, counter + 1);
        EXPECT_EQ(ext->child_changes, changes + 1);
        EXPECT_EQ(ext->cache_child, nullptr);
        EXPECT_EQ(root->head.flags - mods, kModStep);
    }
}

TEST_F(RemoveTest, LeavingAParentDropsNamespacesCachedFromIt) {
    b->declare(root, "p", "urn:first");
    quorvel_element* e = b->append(x, b->element("p:e"));
    quorvel_element* f = b->append(e, b->element("p:f"));
    EXPECT_STREQ(quorvel_element_namespace(e), "urn:first");
    EXPECT_STREQ(quorvel_element_namespace(f), "urn:first");
    b->declare(y, "p", "urn:second");
    ASSERT_EQ(quorvel_element_append_child(y, N(e)), 0);
    EXPECT_STREQ(quorvel_element_namespace(e), "urn:second");
    EXPECT_STREQ(quorvel_element_namespace(f), "urn:second");
    ASSERT_EQ(quorvel_node_unlink(N(e)), 0);
    EXPECT_EQ(quorvel_element_namespace(e), nullptr);
    EXPECT_EQ(quorvel_element_namespace(f), nullptr);
    ASSERT_EQ(quorvel_element_insert_before(N(z), N(e)), 0);
    EXPECT_STREQ(quorvel_element_namespace(f), "urn:first");
    ASSERT_EQ(quorvel_element_remove_child(N(root), N(e)), 0);
    EXPECT_EQ(quorvel_element_namespace(f), nullptr);
}

TEST(RemoveCounts, ChildCountsPastSixteenBits) {
    quorvel_document* doc = quorvel_document_create();
    quorvel_element* root = quorvel_element_create(doc, "r");
    quorvel_document_set_root(doc, root);
    quorvel_element* first = quorvel_element_create_child(root, "c");
    for (int i = 1; i < 65540; i++) ASSERT_NE(quorvel_element_create_child(root, "c"), nullptr);
    EXPECT_EQ(quorvel_node_child_count(&root->head), 65540u);
    ASSERT_EQ(quorvel_node_unlink(&first->head), 0);
    for (int i = 0; i < 9; i++) ASSERT_EQ(quorvel_node_unlink(quorvel_node_first_child(&root->head)), 0);
    EXPECT_EQ(quorvel_node_child_count(&root->head), 65530u);
    EXPECT_EQ(root->child_count, 65530);  // recounted once below the cap
    ASSERT_EQ(quorvel_element_remove_children(&root->head), 0);
    EXPECT_EQ(quorvel_node_child_count(&root->head), 0u);
    quorvel_document_free(doc);
}

}  // namespace
