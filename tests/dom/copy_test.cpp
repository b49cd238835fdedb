// Deep copies: everything an element carries comes along into the target
// document and survives the source; declaration attributes are not doubled;
// counts are recounted; inherited namespace bindings travel with the copy;
// any depth copies; whole documents copy with their top-level nodes.
#include <gtest/gtest.h>

#include <string>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

template <typename T>
quorvel_node* N(T* n) {
    return reinterpret_cast<quorvel_node*>(n);
}

// Everything a reader can see of a subtree, as one string.
std::string describe(const quorvel_node* n) {
    switch (n->kind) {
        case QUORVEL_NODE_ELEMENT: {
            auto* e = reinterpret_cast<const quorvel_element*>(n);
            std::string s;
            if (const char* p = quorvel_element_prefix(e)) s += std::string(p) + ":";
            s += quorvel_element_name(e);
            for (size_t i = 0; i < quorvel_element_namespace_count(e); i++) {
                const char* p = quorvel_element_namespace_decl_prefix(e, i);
                s += " xmlns" + (p ? ":" + std::string(p) : std::string()) + "=" +
                     quorvel_element_namespace_decl_uri(e, i);
            }
            for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
                s += " " + std::string(a->name) + "=" + quorvel_attribute_stored_value(a);
                if (a->hash & kAttrPendingEntities) s += "[pending]";
                if (auto* ns = static_cast<const quorvel_attr_ns*>(quorvel_link_get(a, &a->ns)))
                    s += std::string("[ns ") + (ns->prefix ? ns->prefix : "") + "]";
            }
            s += " {";
            size_t elements = 0;
            for (const quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c)) {
                if (quorvel_node_parent_raw(c) != n) s += "^";
                s += describe(c) + ";";
                elements += c->kind == QUORVEL_NODE_ELEMENT;
            }
            if (elements != quorvel_element_child_element_count(e)) s += "[count wrong]";
            return s + "}";
        }
        case QUORVEL_NODE_TEXT: {
            auto* t = reinterpret_cast<const quorvel_text*>(n);
            const char* c = quorvel_text_link_get(t, &t->content);
            return "'" + std::string(c ? c : "") + "'";
        }
        case QUORVEL_NODE_COMMENT: return "<!--" + std::string(reinterpret_cast<const quorvel_comment*>(n)->content) + "-->";
        case QUORVEL_NODE_CDATA: return "<[" + std::string(reinterpret_cast<const quorvel_comment*>(n)->content) + "]>";
        case QUORVEL_NODE_ENTITY_REF: return "&" + std::string(reinterpret_cast<const quorvel_comment*>(n)->content) + ";";
        case QUORVEL_NODE_PI: {
            auto* pi = reinterpret_cast<const quorvel_pi*>(n);
            return "<?" + std::string(pi->target) + (pi->data ? " " + std::string(pi->data) : "") + "?>";
        }
        default: return "?";
    }
}

std::string describe_top(quorvel_document* doc) {
    std::string s;
    for (quorvel_node* n = quorvel_document_first_child(doc); n; n = quorvel_node_next_raw(n)) s += describe(n) + "|";
    return s;
}

quorvel_pi* make_pi(quorvel_document* doc, const char* target, const char* data) {
    auto* pi = static_cast<quorvel_pi*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_pi)));
    if (!pi) return nullptr;
    std::memset(static_cast<void*>(pi), 0, sizeof *pi);
    pi->head.kind = QUORVEL_NODE_PI;
    pi->target = quorvel_pool_strdup(doc->pool, target);
    pi->data = data ? quorvel_pool_strdup(doc->pool, data) : nullptr;
    pi->owner = doc;
    return pi;
}

TEST(ElementCopy, CarriesEverythingAndOutlivesItsSource) {
    quorvel_document* src = quorvel_document_create();
    tree_builder b(src);
    quorvel_element* e = b.root(b.element("x:item"));
    b.declare(e, "x", "urn:x");
    b.declare(e, nullptr, "urn:default");
    b.attribute(e, "plain", "value that is long");
    b.attribute(e, "x:pre", "v");
    b.attribute(e, "raw", "a&amp;b", true);
    b.append(e, b.text("text"));
    b.append(e, b.comment("comment"));
    b.append(e, b.cdata("cdata"));
    b.append(e, make_pi(src, "pi", "data"));
    b.append(e, make_pi(src, "bare", nullptr));
    b.append(e, b.entity_ref("ent"));
    quorvel_element* inner = b.append(e, b.element("inner"));
    b.append(inner, b.text(""));
    const std::string expected = describe(N(e));

    quorvel_document* dst = quorvel_document_create();
    quorvel_element* copy = quorvel_element_copy(e, dst);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(describe(N(copy)), expected);
    EXPECT_EQ(quorvel_element_get_document(copy), dst);
    EXPECT_FALSE(copy->eflags & kElemDocAddress);
    EXPECT_EQ(dst->namespaces_in_use, 1);
    quorvel_document_free(src);
    EXPECT_EQ(describe(N(copy)), expected);
    EXPECT_STREQ(quorvel_element_namespace(copy), "urn:x");
    quorvel_document_free(dst);
}

TEST(ElementCopy, DeclarationAttributesAreNotDoubled) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* e = b.root(b.element("p:e"));
    b.attribute(e, "xmlns:p", "urn:p");
    b.attribute(e, "xmlns", "urn:d");
    b.attribute(e, "xmlnsish", "kept");  // an ordinary attribute
    quorvel_element* copy = quorvel_element_copy(e, doc);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(describe(N(copy)), "p:e xmlns:p=urn:p xmlns=urn:d xmlnsish=kept {}");
    quorvel_document_free(doc);
}

TEST(ElementCopy, CountsAreRecountedAndUncopyableChildrenLeftOut) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* e = b.root(b.element("e"));
    b.append(e, b.element("a"));
    quorvel_element* unnamed = b.append(e, b.element("gone"));
    unnamed->name = 0;
    b.append(e, b.element("c"));
    quorvel_element* copy = quorvel_element_copy(e, doc);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(describe(N(copy)), "e {a {};c {};}");
    EXPECT_EQ(copy->child_count, 2);
    EXPECT_EQ(quorvel_element_copy(unnamed, doc), nullptr);
    EXPECT_EQ(quorvel_element_copy(nullptr, doc), nullptr);
    EXPECT_EQ(quorvel_element_copy(e, nullptr), nullptr);
    EXPECT_EQ(quorvel_element_copy(reinterpret_cast<quorvel_element*>(b.text("t")), doc), nullptr);
    quorvel_document_free(doc);
}

TEST(ElementCopy, InheritedBindingsTravelWithTheCopy) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* r = b.root(b.element("r"));
    b.declare(r, "p", "urn:p");
    b.declare(r, nullptr, "urn:d");
    b.declare(r, "q", "urn:q-outer");
    quorvel_element* mid = b.append(r, b.element("mid"));
    b.declare(mid, "q", "urn:q-inner");
    quorvel_element* a = b.append(mid, b.element("p:a"));
    b.declare(a, "p", "urn:p-own");
    quorvel_element* inner = b.append(a, b.element("b"));

    quorvel_document* other = quorvel_document_create();
    quorvel_element* copy = quorvel_element_copy(a, other);
    ASSERT_NE(copy, nullptr);
    // The copy's own declaration first, then the nearest inherited ones.
    EXPECT_EQ(describe(N(copy)), "p:a xmlns:p=urn:p-own xmlns:q=urn:q-inner xmlns=urn:d {b {};}");
    quorvel_document_free(doc);
    EXPECT_STREQ(quorvel_element_namespace(copy), "urn:p-own");
    auto* copied_inner = reinterpret_cast<quorvel_element*>(quorvel_elem_first_child_raw(copy));
    EXPECT_STREQ(quorvel_element_namespace(copied_inner), "urn:d");
    (void)inner;
    quorvel_document_free(other);
}

TEST(ElementCopy, AnyDepthWithoutRecursion) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* top = b.root(b.element("top"));
    quorvel_element* e = top;
    const int depth = 100000;
    for (int i = 0; i < depth; i++) e = b.append(e, b.element("d"));
    b.append(e, b.text("bottom"));
    quorvel_document* other = quorvel_document_create();
    quorvel_element* copy = quorvel_element_copy(top, other);
    ASSERT_NE(copy, nullptr);
    int levels = 0;
    quorvel_element* c = copy;
    while (quorvel_node* first = quorvel_elem_first_child_raw(c)) {
        if (first->kind != QUORVEL_NODE_ELEMENT) {
            EXPECT_EQ(describe(first), "'bottom'");
            break;
        }
        EXPECT_EQ(c->child_count, 1);
        c = reinterpret_cast<quorvel_element*>(first);
        levels++;
    }
    EXPECT_EQ(levels, depth);
    quorvel_document_free(doc);
    quorvel_document_free(other);
}

TEST(DocumentCopy, TopLevelNodesIncludingWhiteSpace) {
    quorvel_document* src = quorvel_document_create();
    tree_builder b(src);
    b.top_level(b.comment("prolog"));
    b.top_level(b.text("\n"));
    quorvel_element* root = b.root(b.element("root"));
    b.attribute(root, "a", "1");
    b.append(root, b.text("content"));
    b.top_level(b.text("\n"));
    b.top_level(make_pi(src, "end", "data"));
    src->declared_version = xsd_strdup("1.0");
    src->declared_encoding = xsd_strdup("UTF-8");
    src->standalone = 1;
    src->has_declaration = 1;
    const std::string expected = describe_top(src);

    quorvel_document* copy = quorvel_document_copy(src);
    ASSERT_NE(copy, nullptr);
    quorvel_element* copied_root = quorvel_document_root(copy);
    ASSERT_NE(copied_root, nullptr);
    EXPECT_NE(copied_root, root);
    quorvel_document_free(src);
    EXPECT_EQ(describe_top(copy), expected);
    EXPECT_EQ(describe_top(copy), "<!--prolog-->|'\n'|root a=1 {'content';}|'\n'|<?end data?>|");
    EXPECT_EQ(copy->last_top->kind, QUORVEL_NODE_PI);
    EXPECT_STREQ(copy->declared_version, "1.0");
    EXPECT_STREQ(copy->declared_encoding, "UTF-8");
    EXPECT_EQ(copy->standalone, 1);
    EXPECT_EQ(copy->has_declaration, 1);
    EXPECT_EQ(quorvel_element_get_document(copied_root), copy);
    // The copy is a document like any other: it changes and frees.
    EXPECT_NE(quorvel_element_create_child(copied_root, "more"), nullptr);
    quorvel_document_free(copy);
}

TEST(DocumentCopy, WithoutRootAndFromHtml) {
    EXPECT_EQ(quorvel_document_copy(nullptr), nullptr);
    quorvel_document* html = quorvel_document_create_html();
    tree_builder b(html);
    b.top_level(b.comment("only"));
    quorvel_document* copy = quorvel_document_copy(html);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->is_html, 0);
    EXPECT_EQ(quorvel_document_root(copy), nullptr);
    EXPECT_EQ(describe_top(copy), "<!--only-->|");
    quorvel_document_free(html);
    quorvel_document_free(copy);

    // A root that set_root installed without a top-level list.
    quorvel_document* plain = quorvel_document_create();
    quorvel_document_set_root(plain, quorvel_element_create(plain, "solo"));
    quorvel_document* again = quorvel_document_copy(plain);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(describe_top(again), "solo {}|");
    quorvel_document_free(plain);
    quorvel_document_free(again);
}

}  // namespace
