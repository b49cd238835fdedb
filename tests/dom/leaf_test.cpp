// Leaf nodes: creators in a document and in a bare pool, getters by kind,
// setters and how they find the document, entity-reference resolution.
#include <gtest/gtest.h>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

class LeafTest : public ::testing::Test {
protected:
    void SetUp() override {
        doc = quorvel_document_create();
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override { quorvel_document_free(doc); }
    quorvel_document* doc = nullptr;
};

TEST_F(LeafTest, CreatorsInADocument) {
    quorvel_node* t = quorvel_text_node_create(doc, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(quorvel_text_node_get_content(t), "");
    EXPECT_EQ(reinterpret_cast<quorvel_text*>(t)->length, 0u);
    EXPECT_EQ(t->source_pos, 0u);
    EXPECT_EQ(node_public_document(t), doc);

    quorvel_node* c = quorvel_cdata_node_create(doc, "x<y");
    EXPECT_STREQ(quorvel_text_node_get_content(c), "x<y");
    EXPECT_STREQ(quorvel_cdata_node_get_content(c), "x<y");
    EXPECT_EQ(quorvel_cdata_node_get_content(t), nullptr);
    EXPECT_EQ(quorvel_comment_node_get_content(c), nullptr);

    EXPECT_EQ(quorvel_pi_node_create(doc, "", "d"), nullptr);
    EXPECT_EQ(quorvel_pi_node_create(doc, nullptr, "d"), nullptr);
    quorvel_node* pi = quorvel_pi_node_create(doc, "t", "");
    ASSERT_NE(pi, nullptr);
    EXPECT_STREQ(quorvel_pi_node_get_target(pi), "t");
    EXPECT_EQ(quorvel_pi_node_get_data(pi), nullptr);
    EXPECT_EQ(quorvel_pi_node_set_data(pi, nullptr), QUORVEL_OK);
    EXPECT_STREQ(quorvel_pi_node_get_data(pi), "");

    EXPECT_EQ(quorvel_entity_ref_node_create(doc, ""), nullptr);
    quorvel_node* ref = quorvel_entity_ref_node_create(doc, "nbsp");
    EXPECT_STREQ(quorvel_entity_ref_node_name(ref), "nbsp");
    EXPECT_EQ(quorvel_entity_ref_node_name(pi), nullptr);
    EXPECT_EQ(quorvel_text_node_create(nullptr, "x"), nullptr);
}

TEST_F(LeafTest, SettersCheckKindAndFindTheDocument) {
    quorvel_node* t = quorvel_text_node_create(doc, "old");
    quorvel_node* c = quorvel_comment_node_create(doc, "c");
    quorvel_node* pi = quorvel_pi_node_create(doc, "t", "d");
    EXPECT_EQ(quorvel_text_node_set_content(t, "new"), QUORVEL_OK);
    EXPECT_STREQ(quorvel_text_node_get_content(t), "new");
    EXPECT_EQ(reinterpret_cast<quorvel_text*>(t)->length, 3u);
    EXPECT_EQ(quorvel_text_node_set_content(t, nullptr), QUORVEL_OK);
    EXPECT_STREQ(quorvel_text_node_get_content(t), "");
    EXPECT_EQ(quorvel_text_node_set_content(c, "x"), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_text_node_set_content(nullptr, "x"), QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_comment_node_set_content(c, "y"), QUORVEL_OK);
    EXPECT_STREQ(quorvel_comment_node_get_content(c), "y");
    EXPECT_EQ(quorvel_pi_node_set_target(pi, nullptr), QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_pi_node_set_target(c, nullptr), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_pi_node_set_target(pi, ""), QUORVEL_OK);
    EXPECT_STREQ(quorvel_pi_node_get_target(pi), "");

    // A comment made in a bare pool has no document to copy into.
    quorvel_comment* bare = quorvel_comment_create("b", 1, doc->pool);
    EXPECT_EQ(quorvel_comment_node_set_content(&bare->head, "z"), QUORVEL_ERR_INVALID_ARGUMENT);
    // Attached under an element of the document, it finds it through the parent.
    test_support::tree_builder b(doc);
    quorvel_element* root = b.root(b.element("r"));
    b.append(root, bare);
    EXPECT_EQ(quorvel_comment_node_set_content(&bare->head, "z"), QUORVEL_OK);
    EXPECT_STREQ(bare->content, "z");
}

TEST_F(LeafTest, PoolCreatorsCopyExactlyTheBytes) {
    const char bytes[] = "abcdef";
    quorvel_text* t = quorvel_text_create(bytes, 3, doc->pool, doc);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(quorvel_text_get_content(t), "abc");
    EXPECT_NE(quorvel_text_get_content(t), bytes);
    EXPECT_EQ(quorvel_text_create(nullptr, 2, doc->pool, doc), nullptr);
    EXPECT_STREQ(quorvel_text_get_content(quorvel_text_create(nullptr, 0, doc->pool, doc)), "");
    EXPECT_EQ(quorvel_text_create("x", 1, nullptr, nullptr), nullptr);

    quorvel_pi* pi = quorvel_pi_create("target", 3, "data", 2, doc->pool);
    ASSERT_NE(pi, nullptr);
    EXPECT_STREQ(pi->target, "tar");
    EXPECT_STREQ(pi->data, "da");
    EXPECT_EQ(quorvel_pi_create("t", 0, "d", 1, doc->pool), nullptr);
    EXPECT_EQ(quorvel_pi_create("t", 1, "d", 0, doc->pool)->data, nullptr);

    quorvel_doctype* dt = quorvel_doctype_create("html5", 4, doc->pool);
    ASSERT_NE(dt, nullptr);
    EXPECT_EQ(dt->head.kind, QUORVEL_NODE_DOCTYPE);
    EXPECT_STREQ(dt->name, "html");
    EXPECT_EQ(dt->public_id, nullptr);
    EXPECT_EQ(quorvel_doctype_create(nullptr, 0, doc->pool), nullptr);
    EXPECT_EQ(quorvel_entity_ref_create("x", 0, doc->pool), nullptr);
}

TEST_F(LeafTest, EntityReferencesResolve) {
    const struct {
        const char* name;
        const char* text;
    } predefined[] = {{"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"apos", "'"}, {"quot", "\""}};
    for (const auto& p : predefined) {
        quorvel_comment* bare = quorvel_entity_ref_create(p.name, std::strlen(p.name), doc->pool);
        EXPECT_STREQ(quorvel_entity_ref_resolve(&bare->head), p.text);
    }
    quorvel_comment* unknown = quorvel_entity_ref_create("nbsp", 4, doc->pool);
    EXPECT_EQ(quorvel_entity_ref_resolve(&unknown->head), nullptr);
    quorvel_node* owned = quorvel_entity_ref_node_create(doc, "nbsp");
    EXPECT_EQ(quorvel_entity_ref_resolve(owned), nullptr);
    EXPECT_EQ(quorvel_entity_ref_resolve(nullptr), nullptr);
}

}  // namespace
