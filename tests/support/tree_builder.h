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

    // A name with a colon is split as start tags are: the bytes after the
    // last colon are the local name, the bytes before it the prefix, kept in
    // the element's extension record.
    quorvel_element* element(const char* qname) {
        auto* e = static_cast<quorvel_element*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_element)));
        EXPECT_NE(e, nullptr);
        std::memset(e, 0, sizeof *e);
        const char* colon = std::strrchr(qname, ':');
        const char* local_name = colon && colon != qname ? colon + 1 : qname;
        size_t len = std::strlen(local_name);
        char* name = quorvel_pool_strdup(doc_->pool, local_name);
        EXPECT_TRUE(quorvel_link_set(e, &e->name, name, doc_));
        e->name_hash = quorvel_name_hash16(name, len);
        e->name_length = static_cast<uint8_t>(len > 255 ? 255 : len);
        if (local_name != qname)
            ext(e)->prefix = quorvel_pool_strndup(doc_->pool, qname, static_cast<size_t>(colon - qname));
        return e;
    }

    // The element's extension record, made all-zero on first use.
    quorvel_element_ext* ext(quorvel_element* e) {
        if (quorvel_element_ext* x = quorvel_elem_ext(e)) return x;
        auto* x = static_cast<quorvel_element_ext*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_element_ext)));
        EXPECT_NE(x, nullptr);
        *x = quorvel_element_ext{};
        EXPECT_TRUE(quorvel_link_set(e, &e->ext, x, doc_));
        return x;
    }

    // Appends a namespace declaration (prefix NULL: the default namespace)
    // to the element's list, as the parser does for xmlns attributes.
    void declare(quorvel_element* e, const char* prefix, const char* uri) {
        auto* d = static_cast<quorvel_ns_decl*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_ns_decl)));
        d->prefix = prefix ? quorvel_pool_strdup(doc_->pool, prefix) : nullptr;
        d->uri = quorvel_pool_strdup(doc_->pool, uri);
        d->next = nullptr;
        quorvel_ns_decl** tail = &ext(e)->ns_decls;
        while (*tail) tail = &(*tail)->next;
        *tail = d;
        doc_->namespaces_in_use = 1;
    }

    // Appends an attribute record the way the parser lays it out: values
    // under 8 bytes inline, longer ones by pointer, a namespace record with
    // the bytes before the last colon for prefixed names. pending marks a
    // value that still holds undecoded references.
    quorvel_attribute* attribute(quorvel_element* e, const char* name, const char* value, bool pending = false) {
        auto* a = static_cast<quorvel_attribute*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_attribute)));
        EXPECT_NE(a, nullptr);
        std::memset(a, 0, sizeof *a);
        a->name = quorvel_pool_strdup(doc_->pool, name);
        a->name_length = std::strlen(name);
        size_t vlen = std::strlen(value);
        if (vlen < 8) {
            std::memcpy(a->inline_value, value, vlen + 1);
            a->value_length = vlen | kAttrInlineValue;
        } else {
            a->value = quorvel_pool_strdup(doc_->pool, value);
            a->value_length = vlen;
        }
        if (pending) a->hash |= kAttrPendingEntities;
        if (const char* colon = std::strrchr(name, ':')) {
            auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_attr_ns)));
            std::memset(ns, 0, sizeof *ns);
            ns->prefix = quorvel_pool_strndup(doc_->pool, name, static_cast<size_t>(colon - name));
            ns->owner = e;
            EXPECT_TRUE(quorvel_link_set(a, &a->ns, ns, doc_));
        }
        auto last = last_attr_.find(e);
        if (last != last_attr_.end())
            EXPECT_TRUE(quorvel_link16_set(last->second, &last->second->next, a, doc_));
        else
            EXPECT_TRUE(quorvel_link_set(e, &e->first_attr, a, doc_));
        last_attr_[e] = a;
        quorvel_element_attr_count_inc(e);
        return a;
    }

    // Appends an entry to the element's list of attributes as written.
    void raw_attribute(quorvel_element* e, const char* qname, const char* raw_value) {
        auto* r = static_cast<quorvel_raw_attribute*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_raw_attribute)));
        r->qname = quorvel_pool_strdup(doc_->pool, qname);
        r->raw_value = quorvel_pool_strdup(doc_->pool, raw_value);
        r->next = nullptr;
        quorvel_raw_attribute** tail = &ext(e)->raw_attrs;
        while (*tail) tail = &(*tail)->next;
        *tail = r;
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

    quorvel_comment* cdata(const char* content) { return comment(content, QUORVEL_NODE_CDATA); }
    // An entity-reference node holds the entity name without '&' and ';'.
    quorvel_comment* entity_ref(const char* name) { return comment(name, QUORVEL_NODE_ENTITY_REF); }

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

    // An element named prefix:local (prefix kept in the extension record).
    quorvel_element* prefixed(const char* prefix, const char* local_name) {
        quorvel_element* e = element(local_name);
        ext(e)->prefix = quorvel_pool_strdup(doc_->pool, prefix);
        return e;
    }

    quorvel_pi* pi(const char* target, const char* data) {
        auto* p = static_cast<quorvel_pi*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_pi)));
        EXPECT_NE(p, nullptr);
        std::memset(p, 0, sizeof *p);
        p->head.kind = QUORVEL_NODE_PI;
        p->target = target ? quorvel_pool_strdup(doc_->pool, target) : nullptr;
        p->data = data ? quorvel_pool_strdup(doc_->pool, data) : nullptr;
        p->owner = doc_;
        return p;
    }

    // Installs a doctype on the document (NULL strings stay absent).
    quorvel_doctype* doctype(const char* name, const char* public_id, const char* system_id, const char* subset) {
        auto* d = static_cast<quorvel_doctype*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_doctype)));
        EXPECT_NE(d, nullptr);
        std::memset(d, 0, sizeof *d);
        d->head.kind = QUORVEL_NODE_DOCTYPE;
        auto copy = [this](const char* s) { return s ? quorvel_pool_strdup(doc_->pool, s) : nullptr; };
        d->name = copy(name);
        d->public_id = copy(public_id);
        d->system_id = copy(system_id);
        d->internal_subset = copy(subset);
        doc_->doctype = d;
        return d;
    }

    // Records an XML declaration as the parser would (NULL values absent).
    void declaration(const char* version, const char* encoding, int standalone) {
        std::free(doc_->declared_version);
        std::free(doc_->declared_encoding);
        doc_->declared_version = version ? strdup(version) : nullptr;
        doc_->declared_encoding = encoding ? strdup(encoding) : nullptr;
        doc_->standalone = standalone;
        doc_->has_declaration = 1;
    }

private:
    quorvel_document* doc_;
    std::unordered_map<quorvel_element*, quorvel_node*> last_child_;
    std::unordered_map<quorvel_element*, quorvel_attribute*> last_attr_;
};

}  // namespace test_support
