// fn:deep-equal: two sequences are deep-equal when they have as many items
// and each pair is equal: atomic values by value (numbers numerically, NaN
// equal to NaN, untyped values as strings, typed values of one type by their
// text, durations by their totals), nodes by kind, name, attributes and
// children (comments and processing instructions among children ignored).
// A node never equals an atomic value. Trees are compared with an explicit
// stack, never by recursion.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

using nodeset = quorvel_xpath_node_set;
using result = quorvel_xpath_result;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

bool same(const char* a, const char* b) { return !std::strcmp(a ? a : "", b ? b : ""); }

bool namespace_declaration(const char* name) {
    return !std::strncmp(name, "xmlns", 5) && (name[5] == '\0' || name[5] == ':');
}

// Atomic values: a class and the value.
enum atom_class { A_STRING, A_NUMBER, A_BOOLEAN, A_DURATION, A_TYPED, A_OTHER };

struct atom {
    atom_class cls = A_STRING;
    char tag = 0;
    double a = 0, b = 0;
    const char* text = "";  // borrowed
};

bool numeric_tag(const char* t, size_t n) {
    if (n < 2 || t[0] != kXpathTagMark) return false;
    char tag = t[1];
    if (tag == kXpathTagInteger || tag == kXpathTagDouble || tag == kXpathTagDecimal) return true;
    return tag == kXpathTagFloat && !(n > 2 && t[2] == 'R') && !(n > 3 && t[2] == 'N' && t[3] == '\x02');
}

atom atom_of_carrier(const quorvel_xpath_carrier* c) {
    atom x;
    const char* t = c->text ? c->text : "";
    size_t n = c->text ? c->length : 0;
    x.text = t;
    if (n < 2 || t[0] != kXpathTagMark) return x;
    if (numeric_tag(t, n)) {
        x.cls = A_NUMBER;
        x.a = std::strtod(t + 2, nullptr);
        return x;
    }
    char tag = t[1];
    if (tag == kXpathTagBoolean) {
        x.cls = A_BOOLEAN;
        x.a = n > 2 && t[2] == 't';
        return x;
    }
    if (tag == 'U') {
        x.text = t + 2;
        return x;
    }
    if (tag == 'd' && dur_ms_parse(t + 2, &x.a, &x.b)) {
        x.cls = A_DURATION;
        return x;
    }
    if (std::strchr("ETtYJKQHXWZ", tag)) {
        x.cls = A_TYPED;
        x.tag = tag;
        x.text = t + 2;
        return x;
    }
    x.cls = A_OTHER;  // maps, arrays, function items, attribute items: by their whole text
    return x;
}

bool atoms_equal(const atom& x, const atom& y) {
    if (x.cls != y.cls) return false;
    switch (x.cls) {
    case A_NUMBER: return x.a == y.a || (std::isnan(x.a) && std::isnan(y.a));
    case A_BOOLEAN: return x.a == y.a;
    case A_DURATION: return x.a == y.a && x.b == y.b;
    case A_TYPED: return x.tag == y.tag && !std::strcmp(x.text, y.text);
    default: return !std::strcmp(x.text, y.text);
    }
}

// Children that take part in the comparison (comments and processing
// instructions do not).
quorvel_node* significant(quorvel_node* n) {
    while (n && (n->kind == QUORVEL_NODE_COMMENT || n->kind == QUORVEL_NODE_PI)) n = quorvel_node_next_sibling(n);
    return n;
}

quorvel_node* first_significant_child(const quorvel_node* n) {
    if (n->kind != QUORVEL_NODE_ELEMENT && n->kind != QUORVEL_NODE_DOCUMENT) return nullptr;
    return significant(quorvel_node_first_child(n));
}

bool attributes_equal(quorvel_element* x, quorvel_element* y) {
    size_t nx = 0, ny = 0;
    for (quorvel_attribute* a = quorvel_element_first_attribute(x); a; a = quorvel_attribute_next(a))
        if (!namespace_declaration(quorvel_attribute_get_name(a))) nx++;
    for (quorvel_attribute* a = quorvel_element_first_attribute(y); a; a = quorvel_attribute_next(a))
        if (!namespace_declaration(quorvel_attribute_get_name(a))) ny++;
    if (nx != ny) return false;
    for (quorvel_attribute* a = quorvel_element_first_attribute(x); a; a = quorvel_attribute_next(a)) {
        const char* name = quorvel_attribute_get_name(a);
        if (namespace_declaration(name)) continue;
        const char* colon = std::strchr(name, ':');
        const char* local = colon ? colon + 1 : name;
        const char* uri = quorvel_attribute_namespace_uri(a);
        bool found = false;
        for (quorvel_attribute* b = quorvel_element_first_attribute(y); b && !found; b = quorvel_attribute_next(b)) {
            const char* other = quorvel_attribute_get_name(b);
            const char* other_colon = std::strchr(other, ':');
            const char* other_local = other_colon ? other_colon + 1 : other;
            if (std::strcmp(local, other_local) || !same(uri, quorvel_attribute_namespace_uri(b))) continue;
            if (namespace_declaration(other)) continue;
            found = true;
            if (!same(quorvel_attribute_get_value(x, a), quorvel_attribute_get_value(y, b))) return false;
        }
        if (!found) return false;
    }
    return true;
}

// The node itself, without its children.
bool shallow_equal(quorvel_node* x, quorvel_node* y) {
    if (x->kind != y->kind) return false;
    switch (x->kind) {
    case QUORVEL_NODE_ELEMENT: {
        auto* ex = reinterpret_cast<quorvel_element*>(x);
        auto* ey = reinterpret_cast<quorvel_element*>(y);
        return same(quorvel_element_name(ex), quorvel_element_name(ey)) &&
               same(quorvel_element_namespace(ex), quorvel_element_namespace(ey)) && attributes_equal(ex, ey);
    }
    case QUORVEL_NODE_TEXT:
    case QUORVEL_NODE_CDATA:
    case QUORVEL_NODE_COMMENT: {
        char* a = get_node_text(x);
        char* b = get_node_text(y);
        bool eq = a && b && !std::strcmp(a, b);
        std::free(a);
        std::free(b);
        return eq;
    }
    case QUORVEL_NODE_PI:
        return same(quorvel_pi_node_get_target(x), quorvel_pi_node_get_target(y)) &&
               same(quorvel_pi_node_get_data(x), quorvel_pi_node_get_data(y));
    case kXpathAttributeNode: {
        auto* a = reinterpret_cast<quorvel_xpath_attribute_node*>(x);
        auto* b = reinterpret_cast<quorvel_xpath_attribute_node*>(y);
        const char* la = std::strchr(a->name, ':');
        const char* lb = std::strchr(b->name, ':');
        return same(la ? la + 1 : a->name, lb ? lb + 1 : b->name) && same(a->namespace_uri, b->namespace_uri) &&
               same(a->value, b->value);
    }
    case kXpathNamespaceNode: {
        auto* a = reinterpret_cast<quorvel_xpath_namespace_node*>(x);
        auto* b = reinterpret_cast<quorvel_xpath_namespace_node*>(y);
        return same(a->prefix, b->prefix) && same(a->uri, b->uri);
    }
    case QUORVEL_NODE_DOCUMENT:
        return true;
    default:
        return x == y;
    }
}

struct frame {
    quorvel_node* x;
    quorvel_node* y;
};

// Deep equality of two nodes; -1 when memory runs out.
int nodes_equal(quorvel_node* x, quorvel_node* y) {
    if (x == y) return 1;
    if (!shallow_equal(x, y)) return 0;
    size_t capacity = 16, depth = 0;
    auto* stack = static_cast<frame*>(std::malloc(capacity * sizeof(frame)));
    if (!stack) return -1;
    stack[depth++] = {first_significant_child(x), first_significant_child(y)};
    int answer = 1;
    while (depth) {
        frame& f = stack[depth - 1];
        if (!f.x || !f.y) {
            if (f.x || f.y) {
                answer = 0;
                break;
            }
            if (--depth == 0) break;
            frame& up = stack[depth - 1];
            up.x = significant(quorvel_node_next_sibling(up.x));
            up.y = significant(quorvel_node_next_sibling(up.y));
            continue;
        }
        if (!shallow_equal(f.x, f.y)) {
            answer = 0;
            break;
        }
        quorvel_node* cx = first_significant_child(f.x);
        quorvel_node* cy = first_significant_child(f.y);
        if (!cx && !cy) {
            f.x = significant(quorvel_node_next_sibling(f.x));
            f.y = significant(quorvel_node_next_sibling(f.y));
            continue;
        }
        if (depth == capacity) {
            capacity *= 2;
            auto* grown = static_cast<frame*>(std::realloc(stack, capacity * sizeof(frame)));
            if (!grown) {
                answer = -1;
                break;
            }
            stack = grown;
        }
        stack[depth++] = {cx, cy};
    }
    std::free(stack);
    return answer;
}

// Items of a value: the set's items, or one item made from a scalar.
nodeset* items_of(quorvel_xpath_context* c, result* r) {
    nodeset* s = xpath_nodeset_new();
    if (!s) {
        xpath_result_free(r);
        return nullptr;
    }
    s->owns_attributes = s->owns_namespaces = s->owns_carriers = s->is_sequence = 1;
    if (!xpath_sequence_append(s, r, c->xquery_mode)) {
        xpath_nodeset_free(s);
        return nullptr;
    }
    size_t kept = 0;
    for (size_t i = 0; i < s->count; i++)
        if (is_item(s->items[i])) s->items[kept++] = s->items[i];
    s->count = kept;
    return s;
}

bool is_map_item(const quorvel_node* n) {
    if (n->kind != kXpathCarrierNode) return false;
    const auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(n);
    return k->ref_kind == XPATH_REF_MAP ||
           (k->ref_kind == XPATH_REF_NONE && k->length >= 4 && !std::memcmp(k->text, "\x03MAP", 4));
}

// Maps and arrays nest through their values; a chain this deep is refused
// rather than walked on the machine stack.
constexpr int kMaxMapDepth = 1000;

int sequences_equal(const nodeset* a, const nodeset* b, int depth);

// Two maps: the same keys, each with a deep-equal value; two arrays: the
// same size, members deep-equal in order. -1 when memory runs out or the
// nesting is too deep.
int maps_equal(const quorvel_node* x, const quorvel_node* y, int depth) {
    if (depth >= kMaxMapDepth) return -1;
    quorvel_xpath_map_value* mx = xpath_map_of_item(x);
    quorvel_xpath_map_value* my = mx ? xpath_map_of_item(y) : nullptr;
    int answer = -1;
    if (mx && my) {
        answer = mx->is_array == my->is_array && mx->count == my->count;
        // Map entries are kept in key order: equal maps line up entry by entry.
        for (size_t i = 0; answer == 1 && i < mx->count; i++) {
            const quorvel_xpath_map_entry& ex = mx->entries[i];
            const quorvel_xpath_map_entry& ey = my->entries[i];
            if (!mx->is_array &&
                (ex.key_length != ey.key_length || (ex.key_length && std::memcmp(ex.key, ey.key, ex.key_length))))
                answer = 0;
            else
                answer = sequences_equal(ex.value, ey.value, depth + 1);
        }
    }
    if (mx) xpath_map_value_release(mx);
    if (my) xpath_map_value_release(my);
    return answer;
}

int sequences_equal(const nodeset* a, const nodeset* b, int depth) {
    size_t na = 0, nb = 0;
    for (size_t i = 0; i < a->count; i++) na += is_item(a->items[i]);
    for (size_t i = 0; i < b->count; i++) nb += is_item(b->items[i]);
    int answer = na == nb;
    for (size_t i = 0, j = 0; answer == 1 && i < a->count && j < b->count; i++, j++) {
        while (i < a->count && !is_item(a->items[i])) i++;
        while (j < b->count && !is_item(b->items[j])) j++;
        if (i >= a->count || j >= b->count) break;
        quorvel_node* x = a->items[i];
        quorvel_node* y = b->items[j];
        bool ax = x->kind == kXpathCarrierNode, ay = y->kind == kXpathCarrierNode;
        if (ax != ay) {
            answer = 0;
        } else if (ax) {
            const auto* cx = reinterpret_cast<const quorvel_xpath_carrier*>(x);
            const auto* cy = reinterpret_cast<const quorvel_xpath_carrier*>(y);
            bool mx = is_map_item(x), my = is_map_item(y);
            if (mx || my)
                answer = mx == my ? maps_equal(x, y, depth) : 0;
            else if (cx->ref_kind == XPATH_REF_NODE || cy->ref_kind == XPATH_REF_NODE)
                answer = cx->ref_kind == cy->ref_kind ? nodes_equal(cx->ref.node, cy->ref.node) : 0;
            else
                answer = atoms_equal(atom_of_carrier(cx), atom_of_carrier(cy));
        } else {
            answer = nodes_equal(x, y);
        }
    }
    return answer;
}

}  // namespace

quorvel_xpath_result* xpath_func_deep_equal(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (!c) return nullptr;
    if (count < 2 || count > 3) {
        xpath_context_fail(c, "deep-equal() requires 2 or 3 arguments, got %zu", count);
        return nullptr;
    }
    for (size_t i = 0; i < count; i++)
        if (!args[i]) {
            xpath_context_fail(c, "NULL AST node");
            return nullptr;
        }
    if (count == 3 && !fn_check_collation(c, args[2])) return nullptr;
    nodeset* sides[2] = {nullptr, nullptr};
    for (int k = 0; k < 2; k++) {
        result* r = evaluate_expr(c, args[k]);
        if (!r || !(sides[k] = items_of(c, r))) {
            xpath_nodeset_free(sides[0]);
            if (r) xpath_context_fail(c, "Out of memory");
            return nullptr;
        }
    }
    int answer = sequences_equal(sides[0], sides[1], 0);
    xpath_nodeset_free(sides[0]);
    xpath_nodeset_free(sides[1]);
    if (answer < 0) {
        xpath_context_fail(c, "Out of memory or maps nested too deeply");
        return nullptr;
    }
    return fn_boolean_result(c, answer == 1);
}
