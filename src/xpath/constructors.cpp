// Computed node constructors: elements, attributes, text, comments,
// processing instructions and documents, built as document nodes. Atomic
// content always becomes text (never markup); node content is copied.
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

using ast = quorvel_xpath_ast_node;
using nodeset = quorvel_xpath_node_set;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

quorvel_xpath_result* fail_oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

// The document constructed nodes live in: made once per context and handed
// to the context document, which frees it, so results outlive the evaluation.
quorvel_document* construction_document(quorvel_xpath_context* c) {
    if (c->construction) return c->construction;
    if (!c->document) {
        xpath_context_fail(c, "Node constructors need a context document");
        return nullptr;
    }
    quorvel_document* doc = quorvel_document_create();
    if (!doc) {
        fail_oom(c);
        return nullptr;
    }
    if (xpath_adopt_document(c->document, doc) != 0) {
        quorvel_document_free(doc);
        fail_oom(c);
        return nullptr;
    }
    c->construction = doc;
    return doc;
}

struct text_buffer {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool failed = false;
    void put(const char* s, size_t n) {
        if (failed) return;
        if (length + n + 1 > capacity) {
            size_t cap = capacity ? capacity : 64;
            while (cap < length + n + 1) cap *= 2;
            char* grown = static_cast<char*>(std::realloc(data, cap));
            if (!grown) {
                failed = true;
                return;
            }
            data = grown;
            capacity = cap;
        }
        std::memcpy(data + length, s, n);
        length += n;
        data[length] = '\0';
    }
    const char* text() const { return data ? data : ""; }
    void clear() { length = 0; if (data) data[0] = '\0'; }
    ~text_buffer() { std::free(data); }
};

bool unatomizable(const quorvel_node* n) {
    if (n->kind != kXpathCarrierNode) return false;
    auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(n);
    return c->ref_kind == XPATH_REF_MAP || c->ref_kind == XPATH_REF_FUNCTION ||
           (c->text && c->length >= 3 && c->text[0] == '\x03' && c->text[1] == 'F' && c->text[2] == 'R');
}

// The string value of a result's items joined by single spaces; false
// (with the context error) for items without one.
bool atomized_text(quorvel_xpath_context* c, const quorvel_xpath_result* r, text_buffer& out, bool* empty) {
    *empty = true;
    if (r->kind != XPATH_NODESET) {
        char* t = xpath_to_string(r);
        if (!t) return fail_oom(c) != nullptr;
        out.put(t, std::strlen(t));
        std::free(t);
        *empty = false;
        return !out.failed || fail_oom(c);
    }
    const nodeset* s = r->value.nodeset;
    for (size_t i = 0; s && i < s->count; i++) {
        const quorvel_node* n = s->items[i];
        if (!is_item(n)) continue;
        if (unatomizable(n)) {
            xpath_context_fail_code(c, "FOTY0013", "A map, array or function has no string value");
            return false;
        }
        char* t = get_node_text(n);
        if (!t) return fail_oom(c) != nullptr;
        if (!*empty) out.put(" ", 1);
        out.put(t, std::strlen(t));
        std::free(t);
        *empty = false;
    }
    if (out.failed) {
        fail_oom(c);
        return false;
    }
    return true;
}

quorvel_xpath_result* node_result(quorvel_xpath_context* c, quorvel_node* n) {
    nodeset* s = xpath_nodeset_new();
    quorvel_xpath_result* r = s ? xpath_result_new(XPATH_NODESET) : nullptr;
    if (!r || !xpath_nodeset_add_fast(s, n)) {
        xpath_nodeset_free(s);
        xpath_result_free(r);
        return fail_oom(c);
    }
    s->is_sequence = 1;
    r->value.nodeset = s;
    return r;
}

quorvel_xpath_result* empty_result(quorvel_xpath_context* c) {
    nodeset* s = xpath_nodeset_new();
    quorvel_xpath_result* r = s ? xpath_result_new(XPATH_NODESET) : nullptr;
    if (!r) {
        xpath_nodeset_free(s);
        return fail_oom(c);
    }
    s->is_sequence = 1;
    r->value.nodeset = s;
    return r;
}

// Evaluates the content of a constructor: the one content expression, or
// each expression of a top-level comma sequence.
template <typename Visit>
bool for_each_content(quorvel_xpath_context* c, const ast* e, size_t first, Visit visit) {
    for (size_t i = first; i < e->count; i++) {
        const ast* x = e->children[i];
        bool flat = x->type == AST_OPERATOR && static_cast<int32_t>(x->number) == OP_SEQUENCE;
        size_t parts = flat ? x->count : 1;
        for (size_t k = 0; k < parts; k++) {
            quorvel_xpath_result* r = evaluate_expr(c, flat ? x->children[k] : x);
            if (!r) return false;
            bool ok = visit(r);
            xpath_result_free(r);
            if (!ok) return false;
        }
    }
    return true;
}

// Appends content items to a parent element (or, for parent NULL, to a
// document as its root element and nothing else).
struct content_builder {
    quorvel_xpath_context* c;
    quorvel_document* doc;
    quorvel_element* parent;
    text_buffer pending;  // adjacent atomic values, joined by spaces
    bool pending_any = false;
    bool children_seen = false;

    bool flush() {
        if (!pending_any) return true;
        pending_any = false;
        if (pending.failed) return fail_oom(c) != nullptr;
        if (pending.length && parent) {
            quorvel_node* t = quorvel_text_node_create(doc, pending.text());
            if (!t || quorvel_element_append_child(parent, t) != 0) return fail_oom(c) != nullptr;
            children_seen = true;
        }
        pending.clear();
        return true;
    }

    bool append(quorvel_node* n) {
        if (!n) return fail_oom(c) != nullptr;
        if (!parent) return true;
        if (quorvel_element_append_child(parent, n) != 0) return fail_oom(c) != nullptr;
        children_seen = true;
        return true;
    }

    bool copy_node(const quorvel_node* n) {
        switch (n->kind) {
        case QUORVEL_NODE_ELEMENT: {
            quorvel_element* copy = quorvel_element_copy(
                const_cast<quorvel_element*>(reinterpret_cast<const quorvel_element*>(n)), doc);
            if (!copy) return fail_oom(c) != nullptr;
            if (!parent) {
                if (quorvel_document_root(doc)) {
                    xpath_context_fail(c, "A constructed document holds one root element");
                    return false;
                }
                if (quorvel_document_set_root(doc, copy) != 0) return fail_oom(c) != nullptr;
                return true;
            }
            return append(reinterpret_cast<quorvel_node*>(copy));
        }
        case QUORVEL_NODE_TEXT:
        case QUORVEL_NODE_CDATA: {
            const char* t = quorvel_text_node_get_content(n);
            if (!t || !t[0]) return true;
            return append(quorvel_text_node_create(doc, t));
        }
        case QUORVEL_NODE_COMMENT:
            return append(quorvel_comment_node_create(doc, quorvel_comment_node_get_content(n)));
        case QUORVEL_NODE_PI:
            return append(quorvel_pi_node_create(doc, quorvel_pi_node_get_target(n), quorvel_pi_node_get_data(n)));
        case QUORVEL_NODE_DOCUMENT:
            for (quorvel_node* k = quorvel_node_first_child(n); k; k = quorvel_node_next_sibling(k))
                if (!copy_node(k)) return false;
            return true;
        default:
            return true;
        }
    }

    bool add(const quorvel_xpath_result* r) {
        if (r->kind != XPATH_NODESET) {
            char* t = xpath_to_string(r);
            if (!t) return fail_oom(c) != nullptr;
            if (pending_any) pending.put(" ", 1);
            pending.put(t, std::strlen(t));
            pending_any = true;
            std::free(t);
            return true;
        }
        const nodeset* s = r->value.nodeset;
        for (size_t i = 0; s && i < s->count; i++) {
            const quorvel_node* n = s->items[i];
            if (!is_item(n)) continue;
            if (n->kind == kXpathCarrierNode) {
                if (unatomizable(n)) {
                    xpath_context_fail_code(c, "XQTY0105", "A map, array or function cannot be element content");
                    return false;
                }
                char* t = get_node_text(n);
                if (!t) return fail_oom(c) != nullptr;
                if (pending_any) pending.put(" ", 1);
                pending.put(t, std::strlen(t));
                pending_any = true;
                std::free(t);
                continue;
            }
            if (!flush()) return false;
            if (n->kind == kXpathAttributeNode) {
                auto* a = reinterpret_cast<const quorvel_xpath_attribute_node*>(n);
                if (!parent) continue;
                if (children_seen) {
                    xpath_context_fail_code(c, "XQTY0024", "An attribute cannot follow element content");
                    return false;
                }
                if (quorvel_element_set_attribute(parent, a->name, a->value) != 0) return fail_oom(c) != nullptr;
                continue;
            }
            if (n->kind == kXpathNamespaceNode) continue;
            if (!copy_node(n)) return false;
        }
        return true;
    }
};

quorvel_xpath_result* construct_element(quorvel_xpath_context* c, const ast* e) {
    quorvel_document* doc = construction_document(c);
    if (!doc) return nullptr;
    const char* name = e->text && e->text[0] ? e->text : nullptr;
    if (!name) {
        xpath_context_fail_code(c, "XQDY0074", "Element constructor without a name");
        return nullptr;
    }
    quorvel_element* element = quorvel_element_create(doc, name);
    if (!element) return fail_oom(c);
    content_builder b{c, doc, element, {}, false, false};
    if (!for_each_content(c, e, 0, [&](const quorvel_xpath_result* r) { return b.add(r); })) return nullptr;
    if (!b.flush()) return nullptr;
    return node_result(c, reinterpret_cast<quorvel_node*>(element));
}

quorvel_xpath_result* construct_document(quorvel_xpath_context* c, const ast* e) {
    if (!c->document) {
        xpath_context_fail(c, "Node constructors need a context document");
        return nullptr;
    }
    quorvel_document* doc = quorvel_document_create();
    if (!doc) return fail_oom(c);
    if (xpath_adopt_document(c->document, doc) != 0) {
        quorvel_document_free(doc);
        return fail_oom(c);
    }
    content_builder b{c, doc, nullptr, {}, false, false};
    if (!for_each_content(c, e, 0, [&](const quorvel_xpath_result* r) { return b.add(r); })) return nullptr;
    quorvel_node* node = quorvel_document_node(doc);
    return node ? node_result(c, node) : fail_oom(c);
}

// The content of a leaf constructor; false on failure, *empty for an empty
// sequence.
bool leaf_content(quorvel_xpath_context* c, const ast* e, size_t index, text_buffer& out, bool* empty) {
    *empty = true;
    bool first = true;
    return for_each_content(c, e, index, [&](const quorvel_xpath_result* r) {
        text_buffer part;
        bool part_empty = true;
        if (!atomized_text(c, r, part, &part_empty)) return false;
        if (!part_empty) {
            if (!first) out.put(" ", 1);
            out.put(part.text(), part.length);
            first = false;
            *empty = false;
        }
        return !out.failed || fail_oom(c) != nullptr;
    });
}

quorvel_xpath_result* construct_attribute(quorvel_xpath_context* c, const ast* e) {
    const char* name = e->text ? e->text : "";
    if (!name[0]) {
        xpath_context_fail_code(c, "XQDY0074", "Attribute constructor without a name");
        return nullptr;
    }
    text_buffer value;
    bool empty = true;
    if (!leaf_content(c, e, 0, value, &empty)) return nullptr;
    auto* a = static_cast<quorvel_xpath_attribute_node*>(std::calloc(1, sizeof(quorvel_xpath_attribute_node)));
    if (!a) return fail_oom(c);
    a->kind = kXpathAttributeNode;
    size_t nl = std::strlen(name);
    a->name = static_cast<char*>(std::malloc(nl + 1));
    a->value = static_cast<char*>(std::malloc(value.length + 1));
    nodeset* s = xpath_nodeset_new();
    quorvel_xpath_result* r = s ? xpath_result_new(XPATH_NODESET) : nullptr;
    if (!a->name || !a->value || !r) {
        xpath_nodeset_dispose_node(reinterpret_cast<quorvel_node*>(a));
        xpath_nodeset_free(s);
        xpath_result_free(r);
        return fail_oom(c);
    }
    std::memcpy(a->name, name, nl + 1);
    std::memcpy(a->value, value.text(), value.length + 1);
    s->owns_attributes = s->is_sequence = 1;
    if (!xpath_nodeset_add_fast(s, reinterpret_cast<quorvel_node*>(a))) {
        xpath_nodeset_dispose_node(reinterpret_cast<quorvel_node*>(a));
        xpath_nodeset_free(s);
        xpath_result_free(r);
        return fail_oom(c);
    }
    r->value.nodeset = s;
    return r;
}

quorvel_xpath_result* construct_leaf(quorvel_xpath_context* c, const ast* e, int32_t op) {
    text_buffer content;
    bool empty = true;
    if (!leaf_content(c, e, 0, content, &empty)) return nullptr;
    if (op == OP_TEXT && empty) return empty_result(c);
    quorvel_document* doc = construction_document(c);
    if (!doc) return nullptr;
    quorvel_node* n = nullptr;
    if (op == OP_TEXT) {
        n = quorvel_text_node_create(doc, content.text());
    } else if (op == OP_COMMENT) {
        if (std::strstr(content.text(), "--") || (content.length && content.text()[content.length - 1] == '-')) {
            xpath_context_fail_code(c, "XQDY0072", "Comment content cannot hold '--' or end with '-'");
            return nullptr;
        }
        n = quorvel_comment_node_create(doc, content.text());
    } else {
        const char* target = e->text ? e->text : "";
        if (!target[0] || std::strstr(content.text(), "?>")) {
            xpath_context_fail_code(c, "XQDY0026", "Invalid processing-instruction content");
            return nullptr;
        }
        const char* data = content.text();
        while (*data == ' ' || *data == '\t' || *data == '\n' || *data == '\r') data++;
        n = quorvel_pi_node_create(doc, target, data);
    }
    return n ? node_result(c, n) : fail_oom(c);
}

}  // namespace

quorvel_xpath_result* xpath_evaluate_node_constructor(quorvel_xpath_context* c, const quorvel_xpath_ast_node* e) {
    auto op = static_cast<int32_t>(e->number);
    switch (op) {
    case OP_ELEMENT: return construct_element(c, e);
    case OP_ATTRIBUTE: return construct_attribute(c, e);
    case OP_DOCUMENT: return construct_document(c, e);
    case OP_TEXT:
    case OP_COMMENT:
    case OP_PI: return construct_leaf(c, e, op);
    default:
        xpath_context_fail(c, "Unsupported expression");
        return nullptr;
    }
}
