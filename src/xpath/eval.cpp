// The tree-walking evaluator: expressions over a context, location paths as
// running node sets, every axis over every node kind, node tests and
// predicates. Document walks use explicit loops, never recursion; the
// evaluator's own recursion follows the expression tree, whose height the
// parser bounds, and a depth guard covers re-entry through functions.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

using ast = quorvel_xpath_ast_node;
using nodeset = quorvel_xpath_node_set;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

bool is_synthetic(const quorvel_node* n) {
    return n->kind == kXpathAttributeNode || n->kind == kXpathNamespaceNode || n->kind == kXpathCarrierNode;
}

quorvel_xpath_result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

// A set that owns every synthetic node it holds.
nodeset* owning_set() {
    nodeset* s = xpath_nodeset_new();
    if (s) s->owns_attributes = s->owns_namespaces = s->owns_carriers = 1;
    return s;
}

// Takes over a fresh synthetic node (disposed when it cannot be added).
bool add_owned(nodeset* s, quorvel_node* n) {
    if (!n) return false;
    if (!xpath_nodeset_add_fast(s, n)) {
        xpath_nodeset_dispose_node(n);
        return false;
    }
    return true;
}

// Adds a node, copying it when it is synthetic.
bool add_node(nodeset* s, quorvel_node* n) {
    if (is_synthetic(n)) return add_owned(s, xpath_synthetic_duplicate(n));
    return xpath_nodeset_add_fast(s, n) != 0;
}

quorvel_xpath_result* nodeset_result(quorvel_xpath_context* c, nodeset* s) {
    quorvel_xpath_result* r = xpath_result_new(XPATH_NODESET);
    if (!r) {
        xpath_nodeset_free(s);
        return oom(c);
    }
    r->value.nodeset = s;
    return r;
}

quorvel_xpath_result* boolean_result(quorvel_xpath_context* c, bool v) {
    quorvel_xpath_result* r = xpath_result_new(XPATH_BOOLEAN);
    if (!r) return oom(c);
    r->value.boolean = v ? 1 : 0;
    return r;
}

quorvel_xpath_result* number_result(quorvel_xpath_context* c, double v) {
    quorvel_xpath_result* r = xpath_result_new(XPATH_NUMBER);
    if (!r) return oom(c);
    r->value.number = v;
    return r;
}

quorvel_xpath_result* string_result(quorvel_xpath_context* c, const char* text) {
    size_t n = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(n + 1));
    quorvel_xpath_result* r = copy ? xpath_result_new(XPATH_STRING) : nullptr;
    if (!r) {
        std::free(copy);
        return oom(c);
    }
    std::memcpy(copy, text, n + 1);
    r->value.string = copy;
    return r;
}

// ---- Tree navigation over every node kind ------------------------------------------------------------

quorvel_document* document_of(const quorvel_node* n) {
    switch (n->kind) {
    case kXpathAttributeNode:
        n = reinterpret_cast<const quorvel_node*>(reinterpret_cast<const quorvel_xpath_attribute_node*>(n)->owner);
        break;
    case kXpathNamespaceNode:
        n = reinterpret_cast<const quorvel_node*>(reinterpret_cast<const quorvel_xpath_namespace_node*>(n)->parent);
        break;
    case kXpathCarrierNode:
        return nullptr;
    default:
        break;
    }
    return n ? node_public_document(n) : nullptr;
}

// The document node when n stands in its document's top-level list.
quorvel_node* top_level_parent(const quorvel_node* n) {
    quorvel_document* doc = node_public_document(n);
    if (!doc) return nullptr;
    quorvel_node* docnode = xpath_document_node(doc);
    if (!docnode) return nullptr;
    if (n->kind == QUORVEL_NODE_ELEMENT && reinterpret_cast<const quorvel_element*>(n) == doc->root) return docnode;
    for (quorvel_node* t = quorvel_node_first_child(docnode); t; t = quorvel_node_next_sibling(t))
        if (t == n) return docnode;
    return nullptr;
}

// Parent in the XPath sense: the element, the document node for top-level
// nodes, the owner of attributes and namespace nodes.
quorvel_node* parent_of(const quorvel_node* n) {
    switch (n->kind) {
    case kXpathAttributeNode:
        return reinterpret_cast<quorvel_node*>(reinterpret_cast<const quorvel_xpath_attribute_node*>(n)->owner);
    case kXpathNamespaceNode:
        return reinterpret_cast<quorvel_node*>(reinterpret_cast<const quorvel_xpath_namespace_node*>(n)->parent);
    case kXpathCarrierNode:
    case QUORVEL_NODE_DOCUMENT:
    case QUORVEL_NODE_DOCTYPE:
        return nullptr;
    default:
        if (quorvel_element* p = quorvel_node_parent(n)) return reinterpret_cast<quorvel_node*>(p);
        return top_level_parent(n);
    }
}

bool has_children(const quorvel_node* n) {
    return n->kind == QUORVEL_NODE_ELEMENT || n->kind == QUORVEL_NODE_DOCUMENT;
}

quorvel_node* first_child(const quorvel_node* n) {
    return has_children(n) ? quorvel_node_first_child(n) : nullptr;
}

// Next node in document order inside the subtree of top, or NULL.
quorvel_node* next_in_subtree(quorvel_node* n, const quorvel_node* top) {
    if (quorvel_node* down = n->kind == QUORVEL_NODE_ELEMENT ? quorvel_node_first_child(n) : nullptr) return down;
    while (n && n != top) {
        if (quorvel_node* next = quorvel_node_next_sibling(n)) return next;
        n = parent_of(n);
    }
    return nullptr;
}

// Next node in document order after the subtree of n, or NULL.
quorvel_node* next_after_subtree(quorvel_node* n) {
    while (n) {
        if (n->kind != QUORVEL_NODE_DOCUMENT)
            if (quorvel_node* next = quorvel_node_next_sibling(n)) return next;
        n = parent_of(n);
    }
    return nullptr;
}

// ---- Node tests ------------------------------------------------------------------------------------

struct node_test {
    const ast* test;
    const char* uri;      // resolved namespace of a prefixed test
    bool prefix_unresolved;
    bool namespaces_in_use;  // else no element has a namespace to compare
};

const char* element_uri(quorvel_element* e) {
    const char* uri = quorvel_element_namespace(e);
    return uri && uri[0] ? uri : nullptr;
}

bool uri_equal(const char* a, const char* b) {
    if (!a || !a[0]) return !b || !b[0];
    return b && !std::strcmp(a, b);
}

// "*:local" is kept as a name test whose prefix is "*".
bool any_namespace(const ast* test) { return test->prefix && test->prefix[0] == '*' && !test->prefix[1]; }

// A name or wildcard test against an attribute's qualified name and URI.
bool attribute_name_matches(const node_test& t, const char* name, const char* uri) {
    const ast* test = t.test;
    const char* colon = std::strchr(name, ':');
    const char* local = colon ? colon + 1 : name;
    if (test->type == AST_WILDCARD) {
        if (!test->prefix) return true;
        if (t.uri) return uri_equal(t.uri, uri);
        return colon && static_cast<size_t>(colon - name) == std::strlen(test->prefix) &&
               !std::memcmp(name, test->prefix, static_cast<size_t>(colon - name));
    }
    if (!test->prefix) return !colon && !std::strcmp(name, test->local_name);
    if (any_namespace(test)) return !std::strcmp(local, test->local_name);
    if (t.uri) return !std::strcmp(local, test->local_name) && uri_equal(t.uri, uri);
    return !std::strcmp(name, test->text);
}

// Principal kind of the axis: attributes on the attribute axis, namespace
// nodes on the namespace axis, elements elsewhere.
bool test_matches(const node_test& t, quorvel_node* n, int32_t axis) {
    const ast* test = t.test;
    if (test->type == AST_KIND_TEST) {
        const char* k = test->text;
        if (!std::strcmp(k, "node")) return true;
        if (!std::strcmp(k, "text")) return n->kind == QUORVEL_NODE_TEXT || n->kind == QUORVEL_NODE_CDATA;
        if (!std::strcmp(k, "comment")) return n->kind == QUORVEL_NODE_COMMENT;
        if (!std::strcmp(k, "processing-instruction")) {
            if (n->kind != QUORVEL_NODE_PI) return false;
            if (!test->local_name) return true;
            const char* target = quorvel_pi_node_get_target(n);
            return target && !std::strcmp(target, test->local_name);
        }
        if (!std::strcmp(k, "document-node")) return n->kind == QUORVEL_NODE_DOCUMENT;
        if (!std::strcmp(k, "element")) {
            if (n->kind != QUORVEL_NODE_ELEMENT) return false;
            return !test->local_name || !std::strcmp(test->local_name, "*") ||
                   !std::strcmp(quorvel_element_name(reinterpret_cast<quorvel_element*>(n)), test->local_name);
        }
        if (!std::strcmp(k, "attribute")) {
            if (n->kind != kXpathAttributeNode) return false;
            return !test->local_name || !std::strcmp(test->local_name, "*") ||
                   !std::strcmp(reinterpret_cast<quorvel_xpath_attribute_node*>(n)->name, test->local_name);
        }
        return false;
    }
    int32_t principal = axis == AXIS_ATTRIBUTE   ? kXpathAttributeNode
                        : axis == AXIS_NAMESPACE ? kXpathNamespaceNode
                                                 : QUORVEL_NODE_ELEMENT;
    if (n->kind != principal) return false;
    if (principal == kXpathNamespaceNode) {
        if (test->type == AST_WILDCARD) return !test->prefix;
        if (test->prefix && !any_namespace(test)) return false;
        const char* p = reinterpret_cast<quorvel_xpath_namespace_node*>(n)->prefix;
        return !std::strcmp(p ? p : "", test->local_name);
    }
    if (principal == kXpathAttributeNode) {
        auto* a = reinterpret_cast<quorvel_xpath_attribute_node*>(n);
        return attribute_name_matches(t, a->name, a->namespace_uri);
    }
    auto* e = reinterpret_cast<quorvel_element*>(n);
    if (test->type == AST_WILDCARD) {
        if (!test->prefix) return true;
        if (t.uri) return uri_equal(t.uri, element_uri(e));
        const char* p = quorvel_element_prefix(e);
        return p && !std::strcmp(p, test->prefix);
    }
    if (std::strcmp(quorvel_element_name(e), test->local_name) != 0) return false;
    if (any_namespace(test)) return true;
    if (test->prefix) {
        if (t.uri) return uri_equal(t.uri, element_uri(e));
        const char* p = quorvel_element_prefix(e);
        return p && !std::strcmp(p, test->prefix);
    }
    if (!t.namespaces_in_use) return true;
    return element_uri(e) == nullptr;
}

// ---- Synthetic nodes -------------------------------------------------------------------------------

char* dup_text(const char* s) {
    if (!s) s = "";
    size_t n = std::strlen(s);
    char* c = static_cast<char*>(std::malloc(n + 1));
    if (c) std::memcpy(c, s, n + 1);
    return c;
}

quorvel_node* make_attribute(quorvel_element* owner, quorvel_attribute* a) {
    auto* s = static_cast<quorvel_xpath_attribute_node*>(std::calloc(1, sizeof(quorvel_xpath_attribute_node)));
    if (!s) return nullptr;
    s->kind = kXpathAttributeNode;
    s->owner = owner;
    s->name = dup_text(quorvel_attribute_get_name(a));
    s->value = dup_text(quorvel_attribute_get_value(owner, a));
    const char* uri = quorvel_attribute_namespace_uri(a);
    s->namespace_uri = uri && uri[0] ? dup_text(uri) : nullptr;
    if (!s->name || !s->value || (uri && uri[0] && !s->namespace_uri)) {
        xpath_nodeset_dispose_node(reinterpret_cast<quorvel_node*>(s));
        return nullptr;
    }
    return reinterpret_cast<quorvel_node*>(s);
}

quorvel_node* make_namespace(quorvel_element* parent, const char* prefix, const char* uri) {
    auto* s = static_cast<quorvel_xpath_namespace_node*>(std::calloc(1, sizeof(quorvel_xpath_namespace_node)));
    if (!s) return nullptr;
    s->kind = kXpathNamespaceNode;
    s->parent = parent;
    s->prefix = dup_text(prefix);
    s->uri = dup_text(uri);
    if (!s->prefix || !s->uri) {
        xpath_nodeset_dispose_node(reinterpret_cast<quorvel_node*>(s));
        return nullptr;
    }
    return reinterpret_cast<quorvel_node*>(s);
}

bool is_namespace_declaration(const char* name) {
    return !std::strncmp(name, "xmlns", 5) && (name[5] == '\0' || name[5] == ':');
}

// ---- Axes ----------------------------------------------------------------------------------------

bool reverse_axis(int32_t axis) {
    return axis == AXIS_ANCESTOR || axis == AXIS_ANCESTOR_OR_SELF || axis == AXIS_PARENT ||
           axis == AXIS_PRECEDING || axis == AXIS_PRECEDING_SIBLING;
}

// Appends to out, in axis order, the nodes of the axis from n that pass the
// test. False when memory runs out.
bool collect_axis(const node_test& t, int32_t axis, quorvel_node* n, nodeset* out) {
    auto take = [&](quorvel_node* x) { return !test_matches(t, x, axis) || add_node(out, x); };
    switch (axis) {
    case AXIS_SELF:
        return take(n);
    case AXIS_CHILD:
        for (quorvel_node* c = first_child(n); c; c = quorvel_node_next_sibling(c))
            if (!take(c)) return false;
        return true;
    case AXIS_DESCENDANT_OR_SELF:
        if (!take(n)) return false;
        [[fallthrough]];
    case AXIS_DESCENDANT:
        for (quorvel_node* c = first_child(n); c; c = next_in_subtree(c, n))
            if (!take(c)) return false;
        return true;
    case AXIS_PARENT:
        if (quorvel_node* p = parent_of(n)) return take(p);
        return true;
    case AXIS_ANCESTOR_OR_SELF:
        if (!take(n)) return false;
        [[fallthrough]];
    case AXIS_ANCESTOR:
        for (quorvel_node* p = parent_of(n); p; p = parent_of(p))
            if (!take(p)) return false;
        return true;
    case AXIS_FOLLOWING_SIBLING:
        if (is_synthetic(n) || n->kind == QUORVEL_NODE_DOCUMENT || !parent_of(n)) return true;
        for (quorvel_node* s = quorvel_node_next_sibling(n); s; s = quorvel_node_next_sibling(s))
            if (!take(s)) return false;
        return true;
    case AXIS_PRECEDING_SIBLING: {
        if (is_synthetic(n) || n->kind == QUORVEL_NODE_DOCUMENT) return true;
        quorvel_node* p = parent_of(n);
        if (!p) return true;
        size_t start = out->count;
        for (quorvel_node* s = first_child(p); s && s != n; s = quorvel_node_next_sibling(s))
            if (!take(s)) return false;
        for (size_t i = start, j = out->count; i + 1 < j; i++, j--) {
            quorvel_node* x = out->items[i];
            out->items[i] = out->items[j - 1];
            out->items[j - 1] = x;
        }
        return true;
    }
    case AXIS_FOLLOWING: {
        if (n->kind == kXpathCarrierNode || n->kind == QUORVEL_NODE_DOCUMENT) return true;
        quorvel_node* from = n;
        if (n->kind == kXpathAttributeNode || n->kind == kXpathNamespaceNode) {
            // Everything after the owner's start: its descendants first.
            from = parent_of(n);
            if (!from) return true;
            for (quorvel_node* c = first_child(from); c; c = next_in_subtree(c, from))
                if (!take(c)) return false;
        }
        for (quorvel_node* x = next_after_subtree(from); x; x = next_in_subtree(x, nullptr))
            if (!take(x)) return false;
        return true;
    }
    case AXIS_PRECEDING: {
        if (n->kind == kXpathCarrierNode || n->kind == QUORVEL_NODE_DOCUMENT) return true;
        quorvel_node* target = n;
        if (n->kind == kXpathAttributeNode || n->kind == kXpathNamespaceNode) target = parent_of(n);
        if (!target) return true;
        // Ancestors-or-self from the top down; the nodes before each one
        // among its siblings, with their subtrees, are the axis in document
        // order. The run is then turned around: nearest first.
        size_t depth = 0;
        for (quorvel_node* p = target; p; p = parent_of(p)) depth++;
        auto** chain = static_cast<quorvel_node**>(std::malloc(depth * sizeof(quorvel_node*)));
        if (!chain) return false;
        size_t k = depth;
        for (quorvel_node* p = target; p; p = parent_of(p)) chain[--k] = p;
        size_t start = out->count;
        bool ok = true;
        for (size_t level = 1; ok && level < depth; level++) {
            quorvel_node* stop = chain[level];
            for (quorvel_node* s = first_child(chain[level - 1]); ok && s && s != stop; s = quorvel_node_next_sibling(s)) {
                ok = take(s);
                for (quorvel_node* x = first_child(s); ok && x; x = next_in_subtree(x, s)) ok = take(x);
            }
        }
        std::free(chain);
        if (!ok) return false;
        for (size_t i = start, j = out->count; i + 1 < j; i++, j--) {
            quorvel_node* x = out->items[i];
            out->items[i] = out->items[j - 1];
            out->items[j - 1] = x;
        }
        return true;
    }
    case AXIS_ATTRIBUTE: {
        if (n->kind != QUORVEL_NODE_ELEMENT) return true;
        auto* e = reinterpret_cast<quorvel_element*>(n);
        for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
            const char* name = quorvel_attribute_get_name(a);
            if (is_namespace_declaration(name)) continue;
            // Name tests are decided on the record itself: only attributes
            // that may pass are copied out.
            if (t.test->type != AST_KIND_TEST) {
                const char* uri = t.uri ? quorvel_attribute_namespace_uri(a) : nullptr;
                if (!attribute_name_matches(t, name, uri)) continue;
            }
            quorvel_node* s = make_attribute(e, a);
            if (!s) return false;
            if (!test_matches(t, s, axis)) {
                xpath_nodeset_dispose_node(s);
                continue;
            }
            if (!add_owned(out, s)) return false;
        }
        return true;
    }
    case AXIS_NAMESPACE: {
        if (n->kind != QUORVEL_NODE_ELEMENT) return true;
        auto* e = reinterpret_cast<quorvel_element*>(n);
        size_t start = out->count;
        quorvel_node* xml = make_namespace(e, "xml", "http://www.w3.org/XML/1998/namespace");
        if (!xml) return false;
        if (!test_matches(t, xml, axis)) xpath_nodeset_dispose_node(xml);
        else if (!add_owned(out, xml)) return false;
        // Nearest declaration of each prefix wins; undeclarations hide.
        for (quorvel_element* x = e; x; x = quorvel_node_parent(reinterpret_cast<quorvel_node*>(x))) {
            size_t count = quorvel_element_namespace_count(x);
            for (size_t i = 0; i < count; i++) {
                const char* prefix = quorvel_element_namespace_decl_prefix(x, i);
                const char* uri = quorvel_element_namespace_decl_uri(x, i);
                const char* p = prefix ? prefix : "";
                if (!std::strcmp(p, "xml")) continue;
                bool seen = false;
                for (quorvel_element* y = e; y != x && !seen; y = quorvel_node_parent(reinterpret_cast<quorvel_node*>(y))) {
                    size_t m = quorvel_element_namespace_count(y);
                    for (size_t j = 0; j < m; j++) {
                        const char* q = quorvel_element_namespace_decl_prefix(y, j);
                        if (!std::strcmp(q ? q : "", p)) seen = true;
                    }
                }
                for (size_t j = 0; j < i && !seen; j++) {
                    const char* q = quorvel_element_namespace_decl_prefix(x, j);
                    if (!std::strcmp(q ? q : "", p)) seen = true;
                }
                if (seen || !uri || !uri[0]) continue;
                quorvel_node* s = make_namespace(e, p, uri);
                if (!s) return false;
                if (!test_matches(t, s, axis)) {
                    xpath_nodeset_dispose_node(s);
                    continue;
                }
                if (!add_owned(out, s)) return false;
            }
        }
        (void)start;
        return true;
    }
    default:
        return true;
    }
}

// ---- Predicates ----------------------------------------------------------------------------------

// A predicate value that selects by position: a number, or a sequence of
// one numeric item.
bool predicate_number(const quorvel_xpath_result* r, double* n) {
    if (r->kind == XPATH_NUMBER) {
        *n = r->value.number;
        return true;
    }
    const quorvel_xpath_node_set* s = r->kind == XPATH_NODESET ? r->value.nodeset : nullptr;
    if (!s || s->count != 1 || !is_item(s->items[0]) || s->items[0]->kind != kXpathCarrierNode) return false;
    auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(s->items[0]);
    if (!c->text || c->length < 3 || c->text[0] != kXpathTagMark) return false;
    char tag = c->text[1];
    bool numeric = tag == kXpathTagInteger || tag == kXpathTagDecimal || tag == kXpathTagDouble ||
                   (tag == kXpathTagFloat && c->text[2] != 'R' && !(c->text[2] == 'N' && c->text[3] == '\x02'));
    if (numeric) *n = std::strtod(c->text + 2, nullptr);
    return numeric;
}

// Keeps the items of s (in their current order, which gives the positions)
// that pass every predicate children[first..]. False on failure.
bool apply_predicates(quorvel_xpath_context* c, nodeset* s, const ast* const* predicates, size_t count) {
    quorvel_node* saved_node = c->node;
    size_t saved_position = c->position, saved_size = c->size;
    bool ok = true;
    for (size_t p = 0; ok && p < count && s->count; p++) {
        size_t size = s->count, out = 0;
        for (size_t i = 0; i < size; i++) {
            quorvel_node* n = s->items[i];
            bool keep = false;
            if (ok) {
                c->node = n;
                c->position = i + 1;
                c->size = size;
                quorvel_xpath_result* r = evaluate_expr(c, predicates[p]);
                if (!r) {
                    ok = false;
                } else {
                    double n;
                    keep = predicate_number(r, &n) ? n == static_cast<double>(i + 1) : xpath_to_boolean(r) != 0;
                    xpath_result_free(r);
                }
            }
            if (keep) s->items[out++] = n;
            else if (is_synthetic(n)) xpath_nodeset_dispose_node(n);
        }
        s->count = out;
    }
    c->node = saved_node;
    c->position = saved_position;
    c->size = saved_size;
    return ok;
}

// ---- Steps and paths ---------------------------------------------------------------------------------

bool resolve_test(quorvel_xpath_context* c, const ast* test, node_test* t) {
    t->test = test;
    t->uri = nullptr;
    t->prefix_unresolved = false;
    t->namespaces_in_use = !c->document || c->document->namespaces_in_use;
    if ((test->type == AST_NAME_TEST || test->type == AST_WILDCARD) && test->prefix && !any_namespace(test)) {
        t->uri = xpath_expr_prefix_uri(c, test->prefix, std::strlen(test->prefix));
        t->prefix_unresolved = !t->uri;
    }
    return true;
}

// One step over every node of input; the result in document order, each
// node once. Consumes input.
nodeset* evaluate_step(quorvel_xpath_context* c, const ast* step, nodeset* input, bool flat) {
    if (step->count == 0) {
        xpath_nodeset_free(input);
        xpath_context_fail(c, "Step without node test");
        return nullptr;
    }
    node_test t;
    resolve_test(c, step->children[0], &t);
    nodeset* out = owning_set();
    if (!out) {
        xpath_nodeset_free(input);
        oom(c);
        return nullptr;
    }
    int32_t axis = step->axis;
    const ast* const* predicates = step->children + 1;
    size_t npred = step->count - 1;
    bool ok = true;
    nodeset* scratch = npred ? owning_set() : nullptr;
    if (npred && !scratch) ok = false;
    for (size_t i = 0; ok && i < input->count; i++) {
        quorvel_node* n = input->items[i];
        if (!is_item(n)) continue;
        if (!npred) {
            size_t before = out->count;
            if (!collect_axis(t, axis, n, out)) ok = false;
            else if (reverse_axis(axis)) {
                for (size_t a = before, b = out->count; a + 1 < b; a++, b--) {
                    quorvel_node* x = out->items[a];
                    out->items[a] = out->items[b - 1];
                    out->items[b - 1] = x;
                }
            }
            continue;
        }
        scratch->count = 0;
        if (!collect_axis(t, axis, n, scratch)) {
            ok = false;
            oom(c);
            break;
        }
        if (!apply_predicates(c, scratch, predicates, npred)) {
            ok = false;
            break;
        }
        if (reverse_axis(axis)) {
            for (size_t a = 0, b = scratch->count; a + 1 < b; a++, b--) {
                quorvel_node* x = scratch->items[a];
                scratch->items[a] = scratch->items[b - 1];
                scratch->items[b - 1] = x;
            }
        }
        for (size_t k = 0; k < scratch->count; k++) {
            if (!xpath_nodeset_add_fast(out, scratch->items[k])) {
                for (size_t m = k; m < scratch->count; m++)
                    if (is_synthetic(scratch->items[m])) xpath_nodeset_dispose_node(scratch->items[m]);
                ok = false;
                break;
            }
        }
        scratch->count = 0;
    }
    if (scratch) xpath_nodeset_free(scratch);
    size_t inputs = input->count;
    xpath_nodeset_free(input);
    // Over a set in document order where no node is below another, the
    // downward axes give their nodes in document order, each once.
    bool ordered = flat && (axis == AXIS_CHILD || axis == AXIS_ATTRIBUTE || axis == AXIS_SELF ||
                            axis == AXIS_NAMESPACE || axis == AXIS_DESCENDANT || axis == AXIS_DESCENDANT_OR_SELF);
    if (ok && !ordered && inputs > 1 && out->count > 1 && !xpath_nodeset_sort_doc_order(c, out)) ok = false;
    if (!ok) {
        xpath_nodeset_free(out);
        oom(c);
        return nullptr;
    }
    return out;
}

bool is_plain_descendant_step(const ast* s) {
    return s->type == AST_STEP && s->axis == AXIS_DESCENDANT_OR_SELF && s->count == 1 &&
           s->children[0]->type == AST_KIND_TEST && !std::strcmp(s->children[0]->text, "node");
}

// Runs the steps over a running set. "descendant-or-self::node()/child::T"
// without predicates becomes one descendant step: the same nodes, without
// the intermediate set.
// Whether the nodes an axis gives from a set where no node is below
// another are again such a set.
bool keeps_flat(int32_t axis) {
    return axis == AXIS_CHILD || axis == AXIS_ATTRIBUTE || axis == AXIS_SELF || axis == AXIS_NAMESPACE;
}

// A child step that selects the same nodes below every node as
// descendant:: would from their ancestor: no predicate that counts.
bool child_step_without_positions(const ast* s) {
    if (s->type != AST_STEP || s->axis != AXIS_CHILD) return false;
    for (size_t i = 1; i < s->count; i++)
        if (!xpath_boolean_predicate(s->children[i])) return false;
    return true;
}

// The step after steps[i], looking into a relative path that follows.
const ast* next_step(const ast* const* steps, size_t count, size_t i, bool* nested) {
    *nested = false;
    if (i + 1 >= count) return nullptr;
    const ast* n = steps[i + 1];
    if (n->type == AST_RELATIVE_PATH && n->count) {
        *nested = true;
        return n->children[0];
    }
    return n;
}

// flat: the set is in document order and no node of it is below another.
nodeset* run_steps(quorvel_xpath_context* c, nodeset* current, const ast* const* steps, size_t count, bool& flat) {
    for (size_t i = 0; current && i < count; i++) {
        const ast* s = steps[i];
        if (s->type == AST_RELATIVE_PATH) {
            current = run_steps(c, current, s->children, s->count, flat);
            continue;
        }
        if (s->type == AST_STEP) {
            bool nested = false;
            const ast* following = next_step(steps, count, i, &nested);
            if (is_plain_descendant_step(s) && following && child_step_without_positions(following)) {
                ast shortcut = *following;
                shortcut.axis = AXIS_DESCENDANT;
                current = evaluate_step(c, &shortcut, current, flat);
                flat = false;
                i++;
                if (nested && current) current = run_steps(c, current, steps[i]->children + 1, steps[i]->count - 1, flat);
                continue;
            }
            current = evaluate_step(c, s, current, flat);
            flat = flat && keeps_flat(s->axis);
            continue;
        }
        flat = false;
        // Any other expression as a step: evaluated once per node, node sets
        // joined in document order.
        nodeset* out = owning_set();
        if (!out) {
            xpath_nodeset_free(current);
            oom(c);
            return nullptr;
        }
        quorvel_node* saved = c->node;
        size_t saved_position = c->position, saved_size = c->size;
        bool ok = true;
        for (size_t k = 0; ok && k < current->count; k++) {
            c->node = current->items[k];
            c->position = k + 1;
            c->size = current->count;
            quorvel_xpath_result* r = evaluate_expr(c, s);
            if (!r) {
                ok = false;
                break;
            }
            if (r->kind != XPATH_NODESET) {
                xpath_result_free(r);
                xpath_context_fail(c, "Path step must give nodes");
                ok = false;
                break;
            }
            if (nodeset* items = r->value.nodeset)
                for (size_t m = 0; ok && m < items->count; m++)
                    if (is_item(items->items[m]) && !add_node(out, items->items[m])) ok = !oom(c);
            xpath_result_free(r);
        }
        c->node = saved;
        c->position = saved_position;
        c->size = saved_size;
        size_t inputs = current->count;
        xpath_nodeset_free(current);
        // Nodes come out in document order; atomic values (a last step
        // such as string()) keep the order of the nodes that made them.
        bool atomic = false;
        for (size_t m = 0; m < out->count && !atomic; m++) atomic = out->items[m]->kind == kXpathCarrierNode;
        if (ok && inputs > 1 && !atomic && !xpath_nodeset_sort_doc_order(c, out)) ok = !oom(c);
        if (!ok) {
            xpath_nodeset_free(out);
            return nullptr;
        }
        current = out;
    }
    return current;
}

nodeset* single(quorvel_xpath_context* c, quorvel_node* n) {
    nodeset* s = owning_set();
    if (!s || (n && !add_node(s, n))) {
        if (s) xpath_nodeset_free(s);
        oom(c);
        return nullptr;
    }
    return s;
}

quorvel_xpath_result* evaluate_absolute(quorvel_xpath_context* c, const ast* e) {
    quorvel_node* root = nullptr;
    if (c->node && is_item(c->node)) {
        quorvel_node* top = c->node;
        while (quorvel_node* p = parent_of(top)) top = p;
        root = top->kind == QUORVEL_NODE_DOCUMENT ? top : nullptr;
        if (!root) {
            quorvel_document* doc = document_of(c->node);
            if (doc && top == reinterpret_cast<quorvel_node*>(doc->root)) root = xpath_document_node(doc);
        }
        if (!root && top->kind != kXpathCarrierNode) root = top;
    }
    if (!root && c->document) root = xpath_document_node(c->document);
    if (!root) {
        xpath_context_fail(c, "No document node for an absolute path");
        return nullptr;
    }
    nodeset* s = single(c, root);
    if (!s) return nullptr;
    bool flat = true;
    s = run_steps(c, s, e->children, e->count, flat);
    return s ? nodeset_result(c, s) : nullptr;
}

quorvel_xpath_result* evaluate_relative(quorvel_xpath_context* c, const ast* const* steps, size_t count,
                                        nodeset* start, bool flat) {
    nodeset* s = run_steps(c, start, steps, count, flat);
    return s ? nodeset_result(c, s) : nullptr;
}

// ---- Operators ----------------------------------------------------------------------------------------

quorvel_xpath_result* evaluate_union(quorvel_xpath_context* c, quorvel_xpath_result* a, quorvel_xpath_result* b) {
    // Atomic values and function items travel in node sets as carrier
    // records: they are no more welcome than a number.
    bool nodes = a->kind == XPATH_NODESET && b->kind == XPATH_NODESET;
    for (const quorvel_xpath_result* r : {a, b})
        for (size_t i = 0; nodes && r->value.nodeset && i < r->value.nodeset->count; i++)
            if (is_item(r->value.nodeset->items[i]) && r->value.nodeset->items[i]->kind == kXpathCarrierNode)
                nodes = false;
    if (!nodes) {
        xpath_context_fail_code(c, "XPTY0004", "Union operands must be node sets");
        return nullptr;
    }
    nodeset* out = owning_set();
    if (!out) return oom(c);
    for (const quorvel_xpath_result* r : {a, b})
        if (const nodeset* s = r->value.nodeset)
            for (size_t i = 0; i < s->count; i++)
                if (is_item(s->items[i]) && !add_node(out, s->items[i])) {
                    xpath_nodeset_free(out);
                    return oom(c);
                }
    if (!xpath_nodeset_sort_doc_order(c, out)) {
        xpath_nodeset_free(out);
        return oom(c);
    }
    return nodeset_result(c, out);
}

quorvel_xpath_result* evaluate_operator(quorvel_xpath_context* c, const ast* e) {
    auto op = static_cast<int32_t>(e->number);
    quorvel_xpath_result* handled = nullptr;
    if (xpath_eval_sequence_op(c, e, op, &handled) || xpath_eval_type_op(c, e, op, &handled)) return handled;
    if (xpath_is_core_operator(op)) return xpath_evaluate_core_operator(c, e);
    if (xpath_is_construct_operator(op)) return evaluate_construct(c, e);
    if (op > OP_UNION && op != OP_IDIV) {
        xpath_context_fail(c, "Unsupported expression");
        return nullptr;
    }
    if (e->count != 2) {
        xpath_context_fail(c, "Malformed expression");
        return nullptr;
    }
    quorvel_xpath_result* a = evaluate_expr(c, e->children[0]);
    if (!a) return nullptr;
    quorvel_xpath_result* b = evaluate_expr(c, e->children[1]);
    if (!b) {
        xpath_result_free(a);
        return nullptr;
    }
    quorvel_xpath_result* r = evaluate_union(c, a, b);
    xpath_result_free(a);
    xpath_result_free(b);
    return r;
}

// ---- Primaries ----------------------------------------------------------------------------------------

quorvel_xpath_result* evaluate_variable(quorvel_xpath_context* c, const ast* e) {
    const char* name = e->text ? e->text : "";
    if (name[0] == '$') name++;
    const quorvel_xpath_variable_binding* b = xpath_variable_find(c->variables, name);
    if (!b) {
        xpath_context_fail(c, "Undefined variable: %s", name);
        return nullptr;
    }
    switch (b->kind) {
    case XPATH_BIND_BOOLEAN: return boolean_result(c, b->value.boolean != 0);
    case XPATH_BIND_NUMBER: return number_result(c, b->value.number);
    case XPATH_BIND_STRING: return string_result(c, b->value.string ? b->value.string : "");
    default: {
        nodeset* s = owning_set();
        if (!s) return oom(c);
        if (b->value.nodeset) s->is_sequence = b->value.nodeset->is_sequence;  // a sequence stays one
        if (const nodeset* v = b->value.nodeset)
            for (size_t i = 0; i < v->count; i++)
                if (is_item(v->items[i]) && !add_node(s, v->items[i])) {
                    xpath_nodeset_free(s);
                    return oom(c);
                }
        return nodeset_result(c, s);
    }
    }
}

quorvel_xpath_result* evaluate_filter(quorvel_xpath_context* c, const ast* e) {
    if (e->count < 2) {
        xpath_context_fail(c, "Malformed filter");
        return nullptr;
    }
    quorvel_xpath_result* v = evaluate_expr(c, e->children[0]);
    if (!v) return nullptr;
    if (v->kind == XPATH_NODESET) {
        nodeset* s = v->value.nodeset;
        if (!s) return v;
        if (!apply_predicates(c, s, e->children + 1, e->count - 1)) {
            xpath_result_free(v);
            return nullptr;
        }
        return v;
    }
    // A single value filtered: it is item 1 of 1.
    size_t saved_position = c->position, saved_size = c->size;
    c->position = c->size = 1;
    bool keep = true;
    for (size_t p = 1; keep && p < e->count; p++) {
        quorvel_xpath_result* r = evaluate_expr(c, e->children[p]);
        if (!r) {
            c->position = saved_position;
            c->size = saved_size;
            xpath_result_free(v);
            return nullptr;
        }
        double n;
        keep = predicate_number(r, &n) ? n == 1.0 : xpath_to_boolean(r) != 0;
        xpath_result_free(r);
    }
    c->position = saved_position;
    c->size = saved_size;
    if (keep) return v;
    xpath_result_free(v);
    nodeset* empty = owning_set();
    return empty ? nodeset_result(c, empty) : oom(c);
}

quorvel_xpath_result* evaluate_filter_path(quorvel_xpath_context* c, const ast* e) {
    quorvel_xpath_result* head = evaluate_expr(c, e->children[0]);
    if (!head) return nullptr;
    if (head->kind != XPATH_NODESET) {
        xpath_result_free(head);
        xpath_context_fail(c, "Path must start from nodes");
        return nullptr;
    }
    nodeset* s = head->value.nodeset;
    head->value.nodeset = nullptr;
    xpath_result_free(head);
    if (!s) s = owning_set();
    if (!s) return oom(c);
    return evaluate_relative(c, e->children + 1, e->count - 1, s, s->count < 2);
}

}  // namespace

// Whether a predicate can only give a boolean (so never selects by
// position): a comparison or logical operator with no position() or last()
// inside.
bool xpath_boolean_predicate(const quorvel_xpath_ast_node* p) {
    if (p->type != AST_OPERATOR) return false;
    auto op = static_cast<int32_t>(p->number);
    if (op < OP_OR || op > OP_GE) return false;
    const quorvel_xpath_ast_node* stack[64];
    size_t n = 0;
    stack[n++] = p;
    while (n) {
        const quorvel_xpath_ast_node* x = stack[--n];
        if (x->type == AST_FUNCTION_CALL && x->text && (!std::strcmp(x->text, "position") || !std::strcmp(x->text, "last")))
            return false;
        for (size_t i = 0; i < x->count; i++) {
            if (n == 64) return false;
            stack[n++] = x->children[i];
        }
    }
    return true;
}

quorvel_xpath_result* evaluate_expr(quorvel_xpath_context* c, const quorvel_xpath_ast_node* e) {
    if (!c) return nullptr;
    if (!e) {
        xpath_context_fail(c, "NULL AST node");
        return nullptr;
    }
    if (c->depth >= kXpathMaxEvalDepth) {
        xpath_context_fail(c, "Expression nested too deeply");
        return nullptr;
    }
    c->depth++;
    quorvel_xpath_result* r = nullptr;
    switch (e->type) {
    case AST_NUMBER:
        // A literal's type: xs:double with an exponent, xs:decimal with a point, else xs:integer.
        r = number_result(c, e->number);
        if (!r) break;
        if (e->text && e->text[0] >= '0' && e->text[0] <= '9') {
            r->type_name = "xs:integer";
            int64_t exact;
            if (xpath_integer_text(e->text, &exact)) {
                r->exact_integer_set = 1;
                r->exact_integer = exact;
            }
            break;
        }
        r->type_name = !e->text ? "xs:integer" : !std::strcmp(e->text, "xs:double") ? "xs:double" : "xs:decimal";
        break;
    case AST_STRING:
        r = string_result(c, e->text ? e->text : "");
        break;
    case AST_VARIABLE:
        r = evaluate_variable(c, e);
        break;
    case AST_FUNCTION_CALL:
        if (e->count == 1 && (r = xpath_vm_run_path(c, e))) break;
        r = evaluate_function_call_impl(c, e);
        break;
    case AST_OPERATOR:
        if (static_cast<int32_t>(e->number) == OP_UNION && (r = xpath_vm_run_path(c, e))) break;
        r = evaluate_operator(c, e);
        break;
    case AST_FILTER:
        r = evaluate_filter(c, e);
        break;
    case AST_ABSOLUTE_PATH:
        // A path the bytecode machine runs gives its answer from there.
        if ((r = xpath_vm_run_path(c, e))) break;
        r = evaluate_absolute(c, e);
        break;
    case AST_FILTER_PATH:
        r = e->count ? evaluate_filter_path(c, e) : nullptr;
        break;
    case AST_RELATIVE_PATH:
    case AST_STEP: {
        if (!c->node || !is_item(c->node)) {
            xpath_context_fail(c, "No context node for a path");
            break;
        }
        if ((r = xpath_vm_run_path(c, e))) break;
        nodeset* s = single(c, c->node);
        if (!s) break;
        if (e->type == AST_STEP) r = evaluate_relative(c, &e, 1, s, true);
        else r = evaluate_relative(c, e->children, e->count, s, true);
        break;
    }
    default:
        xpath_context_fail(c, "Unsupported AST node type: %d", e->type);
        break;
    }
    c->depth--;
    return r;
}

quorvel_node* xpath_document_node(quorvel_document* document) {
    return document ? quorvel_document_node(document) : nullptr;
}
