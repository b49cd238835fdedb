// The record builder: children appended in order with both links and the
// element count right, a top-level list, and links between records too far
// apart for an offset, which go through overflow entries tied to the
// document and leave with it.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>

#include "dom/dom.h"
#include "dom/record_builder.h"

namespace {

struct RecordBuilderTest : testing::Test {
    quorvel_document* doc_ = quorvel_document_create();
    void TearDown() override { quorvel_document_free(doc_); }

    quorvel_element* element(const char* name) {
        return quorvel_element_create_with_view(name, std::strlen(name), doc_->pool);
    }
    quorvel_node* text(const char* content) {
        return &quorvel_text_create(content, std::strlen(content), doc_->pool, doc_)->head;
    }

    // The children of e as "name" / "#text" words, checking each child's parent link.
    static std::string children(quorvel_element* e) {
        std::string out;
        for (quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c)) {
            EXPECT_EQ(quorvel_node_parent_raw(c), &e->head);
            if (!out.empty()) out += ' ';
            out += c->kind == QUORVEL_NODE_ELEMENT ? quorvel_elem_name_raw(reinterpret_cast<quorvel_element*>(c))
                                                   : std::string("#text");
        }
        return out;
    }
};

TEST_F(RecordBuilderTest, AppendsChildrenInOrder) {
    quorvel_element* root = element("r");
    ASSERT_NE(root, nullptr);
    quorvel_build_parent parent;
    quorvel_build_open(&parent, root);
    EXPECT_EQ(children(root), "");
    ASSERT_TRUE(quorvel_build_append_node(doc_, &parent, &element("a")->head));
    ASSERT_TRUE(quorvel_build_append_node(doc_, &parent, text("t")));
    quorvel_element* b = element("b");
    ASSERT_TRUE(quorvel_build_append(doc_, &parent, &b->head, &b->parent, &b->next_sibling));
    EXPECT_EQ(children(root), "a #text b");
    // append_node counts element children; the field form leaves counting to its caller.
    EXPECT_EQ(root->child_count, 1u);

    // A second level opens on a child and leaves the first level's state alone.
    quorvel_build_parent inner;
    quorvel_build_open(&inner, b);
    ASSERT_TRUE(quorvel_build_append_node(doc_, &inner, &element("c")->head));
    ASSERT_TRUE(quorvel_build_append_node(doc_, &parent, &element("d")->head));
    EXPECT_EQ(children(b), "c");
    EXPECT_EQ(children(root), "a #text b d");
}

TEST_F(RecordBuilderTest, BuildsATopLevelList) {
    quorvel_build_list list{nullptr, nullptr};
    quorvel_node* comment = &quorvel_comment_create("c", 1, doc_->pool)->head;
    quorvel_element* root = element("r");
    ASSERT_TRUE(quorvel_build_list_append(doc_, &list, comment));
    ASSERT_TRUE(quorvel_build_list_append(doc_, &list, &root->head));
    EXPECT_EQ(list.first, comment);
    EXPECT_EQ(list.last, &root->head);
    EXPECT_EQ(quorvel_node_next_raw(comment), &root->head);
    EXPECT_EQ(quorvel_node_next_raw(&root->head), nullptr);
}

// A child placed more than 2 GiB away from its parent: both links need
// overflow entries, which the document's free takes away.
TEST_F(RecordBuilderTest, FarRecordsLinkThroughTheOverflowTable) {
    quorvel_element* root = element("r");
    constexpr size_t kFar = size_t(8) << 30;
    void* hint = reinterpret_cast<char*>(root) + kFar;
    void* block = mmap(hint, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(block, MAP_FAILED);
    if (quorvel_link_fits(root, block)) {
        munmap(block, 4096);
        GTEST_SKIP() << "no address far enough from the pool";
    }
    auto* far = static_cast<quorvel_element*>(block);
    std::memset(far, 0, sizeof *far);
    far->head.kind = QUORVEL_NODE_ELEMENT;

    quorvel_build_parent parent;
    quorvel_build_open(&parent, root);
    ASSERT_TRUE(quorvel_build_append_node(doc_, &parent, &far->head));
    EXPECT_EQ(far->parent, kLinkOverflow);
    EXPECT_EQ(root->first_child, kLinkOverflow);
    EXPECT_EQ(quorvel_elem_first_child_raw(root), &far->head);
    EXPECT_EQ(quorvel_node_parent_raw(&far->head), &root->head);
    ASSERT_NE(doc_->overflow_entries, nullptr);

    quorvel_document_free(doc_);
    doc_ = nullptr;
    EXPECT_EQ(overflow_lookup(&far->parent), nullptr);
    munmap(block, 4096);
}

}  // namespace
