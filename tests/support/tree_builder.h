// Builds node records directly in a document's pool, the way the parsers
// lay them out, for tests of code that reads trees before the library has
// its own builders. Links go through the checked link writers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <unordered_map>

#include "dom/dom.h"

namespace test_support {

class tree_builder {
public:
    explicit tree_builder(quorvel_document* doc) : doc_(doc) {}

    quorvel_element* element(const char* local_name) {
        auto* e = static_cast<quorvel_element*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_element)));
        EXPECT_NE(e, nullptr);
        std::memset(e, 0, sizeof *e);
        size_t len = std::strlen(local_name);
        char* name = quorvel_pool_strdup(doc_->pool, local_name);
        EXPECT_TRUE(quorvel_link_set(e, &e->name, name, doc_));
        e->name_hash = quorvel_name_hash16(name, len);
        e->name_length = static_cast<uint8_t>(len > 255 ? 255 : len);
        return e;
    }

    quorvel_text* text(const char* content) {
        auto* t = static_cast<quorvel_text*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_text)));
        EXPECT_NE(t, nullptr);
        std::memset(t, 0, sizeof *t);
        t->head.kind = QUORVEL_NODE_TEXT;
        size_t len = std::strlen(content);
        char* copy = len ? quorvel_pool_strdup(doc_->pool, content) : nullptr;
        EXPECT_TRUE(quorvel_text_link_set(t, &t->content, copy, doc_));
        t->length = static_cast<uint32_t>(len);
        return t;
    }

    quorvel_comment* comment(const char* content, int kind = QUORVEL_NODE_COMMENT) {
        auto* c = static_cast<quorvel_comment*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_comment)));
        EXPECT_NE(c, nullptr);
        std::memset(c, 0, sizeof *c);
        c->head.kind = kind;
        c->content = quorvel_pool_strdup(doc_->pool, content);
        c->owner = doc_;
        return c;
    }

    // Appends child (any kind) as the last child of parent.
    template <typename Node>
    Node* append(quorvel_element* parent, Node* child) {
        auto* node = reinterpret_cast<quorvel_node*>(child);
        EXPECT_TRUE(quorvel_link_set(node, quorvel_node_parent_field(node), parent, doc_));
        auto cached = last_child_.find(parent);
        quorvel_node* last = cached != last_child_.end() ? cached->second : quorvel_node_last_child(&parent->head);
        last_child_[parent] = node;
        if (last)
            EXPECT_TRUE(quorvel_link_set(last, quorvel_node_sibling_field(last), node, doc_));
        else
            EXPECT_TRUE(quorvel_link_set(parent, &parent->first_child, node, doc_));
        if (node->kind == QUORVEL_NODE_ELEMENT) quorvel_element_child_count_inc(parent);
        return child;
    }

    // Appends a node to the document's top-level list.
    template <typename Node>
    Node* top_level(Node* child) {
        auto* node = reinterpret_cast<quorvel_node*>(child);
        if (doc_->last_top)
            EXPECT_TRUE(quorvel_link_set(doc_->last_top, quorvel_node_sibling_field(doc_->last_top), node, doc_));
        else
            doc_->first_top = node;
        doc_->last_top = node;
        return child;
    }

    // Makes e the document's root, listed at top level and registered.
    quorvel_element* root(quorvel_element* e) {
        top_level(e);
        doc_->root = e;
        quorvel_root_doc_register(e, doc_);
        return e;
    }

private:
    quorvel_document* doc_;
    std::unordered_map<quorvel_element*, quorvel_node*> last_child_;
};

}  // namespace test_support
