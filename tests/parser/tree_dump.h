// A compact text form of a parsed document for tests: every node of the
// top-level list and every element's children, attributes as stored (a
// value still pending decoding is marked with '~'), namespace declarations
// and prefixes. Two parses build the same tree when their dumps are equal.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dom/dom.h"

namespace test_support {

inline const quorvel_element* as_element(const quorvel_node* n) { return reinterpret_cast<const quorvel_element*>(n); }

inline std::string attribute_value(const quorvel_attribute* a) {
    if (a->value_length & kAttrInlineValue) return std::string(a->inline_value);
    return std::string(a->value, static_cast<size_t>(a->value_length));
}

inline void dump_node(const quorvel_node* n, std::string& out) {
    switch (n->kind) {
        case QUORVEL_NODE_ELEMENT: {
            const quorvel_element* e = as_element(n);
            out += "<";
            quorvel_element_ext* ext = quorvel_elem_ext(e);
            if (ext && ext->prefix) out += std::string(ext->prefix) + ":";
            out += quorvel_elem_name_raw(e);
            if (ext)
                for (quorvel_ns_decl* d = ext->ns_decls; d; d = d->next)
                    out += std::string(" xmlns") + (d->prefix ? ":" + std::string(d->prefix) : "") + "=" + d->uri;
            for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
                out += std::string(" ") + a->name + ((a->hash & kAttrPendingEntities) ? "~" : "") + "=[" +
                       attribute_value(a) + "]";
            out += ">";
            for (quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c)) dump_node(c, out);
            out += "</>";
            break;
        }
        case QUORVEL_NODE_TEXT: {
            auto* t = reinterpret_cast<const quorvel_text*>(n);
            out += "\"" + std::string(quorvel_text_get_content(t), t->length) + "\"";
            break;
        }
        case QUORVEL_NODE_COMMENT: out += "<!--" + std::string(reinterpret_cast<const quorvel_comment*>(n)->content) + "-->"; break;
        case QUORVEL_NODE_CDATA:
            out += "<![" + std::string(reinterpret_cast<const quorvel_comment*>(n)->content) + "]]>";
            break;
        case QUORVEL_NODE_ENTITY_REF: out += "&" + std::string(reinterpret_cast<const quorvel_comment*>(n)->content) + ";"; break;
        case QUORVEL_NODE_PI: {
            auto* pi = reinterpret_cast<const quorvel_pi*>(n);
            out += "<?" + std::string(pi->target) + (pi->data ? "|" + std::string(pi->data) : "") + "?>";
            break;
        }
        default: out += "?"; break;
    }
}

// The top-level list, or "<null>" for no document.
inline std::string dump(const quorvel_document* doc) {
    if (!doc) return "<null>";
    std::string out;
    for (const quorvel_node* n = doc->first_top; n; n = quorvel_node_next_raw(n)) dump_node(n, out);
    if (!doc->first_top && doc->root) dump_node(&doc->root->head, out);
    return out;
}

// Every view the parser hands out ends in a NUL where its length says.
inline void expect_terminated(const quorvel_node* n) {
    if (n->kind == QUORVEL_NODE_TEXT) {
        auto* t = reinterpret_cast<const quorvel_text*>(n);
        const char* c = quorvel_text_get_content(t);
        EXPECT_EQ(c[t->length], '\0');
        return;
    }
    if (n->kind != QUORVEL_NODE_ELEMENT) return;
    const quorvel_element* e = as_element(n);
    const char* name = quorvel_elem_name_raw(e);
    if (e->name_length < 255) {
        EXPECT_EQ(std::strlen(name), e->name_length);
    }
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        EXPECT_EQ(std::strlen(a->name), a->name_length);
        if (!(a->value_length & kAttrInlineValue)) {
            EXPECT_EQ(a->value[a->value_length], '\0');
        }
    }
    for (quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c)) expect_terminated(c);
}

}  // namespace test_support
