// The 2.0 compound expressions over sequences: the sequence constructor,
// intersect and except, if, switch, for (positional variable, where, order
// by), let, the simple map "!" and the quantifiers.
//
// Every sequence made here owns each synthetic item it holds: items taken
// from a result the handler owns move over, items of anything else are
// copied. Variables are bound in a private overlay of the caller's variable
// set, so an outer binding of the same name is shadowed, never changed, and
// comes back when the construct ends; the caller's set is never written.
// Every failure inside a construct fails the construct with its message.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

using ast = quorvel_xpath_ast_node;
using nodeset = quorvel_xpath_node_set;
using result = quorvel_xpath_result;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

bool is_synthetic(const quorvel_node* n) {
    return n->kind == kXpathAttributeNode || n->kind == kXpathNamespaceNode || n->kind == kXpathCarrierNode;
}

result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

result* take_set(quorvel_xpath_context* c, nodeset* s) {
    if (!s) return oom(c);
    result* r = xpath_result_new(XPATH_NODESET);
    if (!r) {
        xpath_nodeset_free(s);
        return oom(c);
    }
    r->value.nodeset = s;
    return r;
}

result* boolean_value(quorvel_xpath_context* c, bool v) {
    result* r = xpath_result_new(XPATH_BOOLEAN);
    if (!r) return oom(c);
    r->value.boolean = v ? 1 : 0;
    return r;
}

// Adds a copy of n (a node as it is, a synthetic node duplicated).
bool add_copy(nodeset* s, quorvel_node* n) {
    if (!is_synthetic(n)) return xpath_nodeset_add_fast(s, n) != 0;
    quorvel_node* d = xpath_synthetic_duplicate(n);
    if (!d) return false;
    if (!xpath_nodeset_add_fast(s, d)) {
        xpath_nodeset_dispose_node(d);
        return false;
    }
    return true;
}

bool owned_by(const nodeset* s, const quorvel_node* n) {
    return (n->kind == kXpathAttributeNode && s->owns_attributes) ||
           (n->kind == kXpathNamespaceNode && s->owns_namespaces) ||
           (n->kind == kXpathCarrierNode && s->owns_carriers);
}

// ---- Identity of nodes (two records of one attribute or namespace node are one node) ----------------

bool same_node(const quorvel_node* a, const quorvel_node* b) {
    if (a == b) return true;
    if (a->kind != b->kind) return false;
    if (a->kind == kXpathAttributeNode) {
        auto* x = reinterpret_cast<const quorvel_xpath_attribute_node*>(a);
        auto* y = reinterpret_cast<const quorvel_xpath_attribute_node*>(b);
        return x->owner && x->owner == y->owner && !std::strcmp(x->name, y->name);
    }
    if (a->kind == kXpathNamespaceNode) {
        auto* x = reinterpret_cast<const quorvel_xpath_namespace_node*>(a);
        auto* y = reinterpret_cast<const quorvel_xpath_namespace_node*>(b);
        return x->parent && x->parent == y->parent &&
               !std::strcmp(x->prefix ? x->prefix : "", y->prefix ? y->prefix : "");
    }
    return false;
}

uint64_t identity_hash(const quorvel_node* n) {
    const void* base = n;
    const char* name = nullptr;
    if (n->kind == kXpathAttributeNode) {
        auto* a = reinterpret_cast<const quorvel_xpath_attribute_node*>(n);
        if (a->owner) base = a->owner, name = a->name;
    } else if (n->kind == kXpathNamespaceNode) {
        auto* s = reinterpret_cast<const quorvel_xpath_namespace_node*>(n);
        if (s->parent) base = s->parent, name = s->prefix ? s->prefix : "";
    }
    uint64_t h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(base)) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<uint64_t>(n->kind) << 7;
    for (; name && *name; name++) h = (h ^ static_cast<unsigned char>(*name)) * 0x100000001B3ull;
    return h ^ (h >> 29);
}

// An open-addressing set of node identities.
struct identity_set {
    const quorvel_node** slots = nullptr;
    size_t mask = 0;

    bool build(const nodeset* s) {
        size_t n = s ? s->count : 0, capacity = 16;
        while (capacity < n * 2) capacity <<= 1;
        slots = static_cast<const quorvel_node**>(std::calloc(capacity, sizeof(quorvel_node*)));
        if (!slots) return false;
        mask = capacity - 1;
        for (size_t i = 0; i < n; i++) {
            const quorvel_node* x = s->items[i];
            if (!is_item(x)) continue;
            size_t k = static_cast<size_t>(identity_hash(x)) & mask;
            while (slots[k] && !same_node(slots[k], x)) k = (k + 1) & mask;
            slots[k] = x;
        }
        return true;
    }
    bool contains(const quorvel_node* x) const {
        size_t k = static_cast<size_t>(identity_hash(x)) & mask;
        for (; slots[k]; k = (k + 1) & mask)
            if (same_node(slots[k], x)) return true;
        return false;
    }
    ~identity_set() { std::free(slots); }
};

// ---- Binding scopes ----------------------------------------------------------------------------------

void binding_value_free(quorvel_xpath_variable_binding* b) {
    if (b->kind == XPATH_BIND_STRING) std::free(b->value.string);
    if (b->kind == XPATH_BIND_NODESET) xpath_nodeset_free(b->value.nodeset);
    b->kind = XPATH_BIND_BOOLEAN;
    b->value.boolean = 0;
}

// The bindings one construct makes, seen by its sub-expressions through an
// overlay: a copy of the enclosing set's binding pointers in which the
// construct's own bindings replace those of the same name.
struct scope {
    quorvel_xpath_context* c;
    quorvel_xpath_variable_set* outer;
    quorvel_xpath_variable_set overlay{};
    quorvel_xpath_variable_binding** own = nullptr;
    size_t own_count = 0;
    bool ready = false;

    explicit scope(quorvel_xpath_context* context) : c(context), outer(context->variables) {}

    bool open(size_t expected) {
        size_t n = outer ? outer->count : 0;
        overlay.capacity = n + expected + 1;
        overlay.bindings =
            static_cast<quorvel_xpath_variable_binding**>(std::malloc(overlay.capacity * sizeof(void*)));
        own = static_cast<quorvel_xpath_variable_binding**>(std::malloc((expected + 1) * sizeof(void*)));
        if (!overlay.bindings || !own) return false;
        if (n) std::memcpy(overlay.bindings, outer->bindings, n * sizeof(void*));
        overlay.count = n;
        c->variables = &overlay;
        ready = true;
        return true;
    }

    // A binding of this scope for name (made on first use, then reused).
    quorvel_xpath_variable_binding* slot(const char* name, size_t length, size_t expected) {
        for (size_t i = 0; i < own_count; i++)
            if (!std::strncmp(own[i]->name, name, length) && own[i]->name[length] == '\0') return own[i];
        if (own_count > expected) return nullptr;
        auto* b = static_cast<quorvel_xpath_variable_binding*>(std::calloc(1, sizeof(quorvel_xpath_variable_binding)));
        if (!b) return nullptr;
        b->name = static_cast<char*>(std::malloc(length + 1));
        if (!b->name) {
            std::free(b);
            return nullptr;
        }
        std::memcpy(b->name, name, length);
        b->name[length] = '\0';
        b->kind = XPATH_BIND_BOOLEAN;
        own[own_count++] = b;
        for (size_t i = 0; i < overlay.count; i++)
            if (!std::strcmp(overlay.bindings[i]->name, b->name)) {
                overlay.bindings[i] = b;
                return b;
            }
        overlay.bindings[overlay.count++] = b;
        return b;
    }

    ~scope() {
        if (ready) c->variables = outer;
        for (size_t i = 0; i < own_count; i++) {
            binding_value_free(own[i]);
            std::free(own[i]->name);
            std::free(own[i]);
        }
        std::free(own);
        std::free(overlay.bindings);
    }
};

// Binds b to one item: an untagged string carrier as a string, any other
// item as a one-item sequence holding (a copy of) it.
bool bind_item(quorvel_xpath_variable_binding* b, quorvel_node* item) {
    binding_value_free(b);
    if (item->kind == kXpathCarrierNode) {
        auto* carrier = reinterpret_cast<const quorvel_xpath_carrier*>(item);
        const char* t = carrier->text ? carrier->text : "";
        if (t[0] != kXpathTagMark && carrier->ref_kind == XPATH_REF_NONE) {
            char* copy = static_cast<char*>(std::malloc(carrier->length + 1));
            if (!copy) return false;
            std::memcpy(copy, t, carrier->length);
            copy[carrier->length] = '\0';
            b->kind = XPATH_BIND_STRING;
            b->value.string = copy;
            return true;
        }
    }
    nodeset* s = xpath_nodeset_new();
    if (!s) return false;
    s->owns_attributes = s->owns_namespaces = s->owns_carriers = 1;
    s->is_sequence = 1;
    if (!add_copy(s, item)) {
        xpath_nodeset_free(s);
        return false;
    }
    b->kind = XPATH_BIND_NODESET;
    b->value.nodeset = s;
    return true;
}

bool bind_number(quorvel_xpath_variable_binding* b, double v) {
    binding_value_free(b);
    b->kind = XPATH_BIND_NUMBER;
    b->value.number = v;
    return true;
}

bool has_family_type(const result* r);

// Binds b to a whole value, taking it over. Typed scalars become one typed
// item, so their type survives the binding.
bool bind_value(quorvel_xpath_variable_binding* b, result* r) {
    binding_value_free(b);
    bool ok = true;
    switch (r->kind) {
    case XPATH_NODESET: {
        nodeset* s = r->value.nodeset;
        r->value.nodeset = nullptr;
        if (!s) {
            s = xpath_nodeset_new();
            if (s) s->owns_attributes = s->owns_namespaces = s->owns_carriers = s->is_sequence = 1;
        } else if (!s->owns_attributes || !s->owns_namespaces || !s->owns_carriers) {
            // Make the binding own every synthetic item it holds.
            nodeset* copy = xpath_nodeset_new_with_capacity(s->count);
            if (copy) {
                copy->owns_attributes = copy->owns_namespaces = copy->owns_carriers = 1;
                copy->is_sequence = s->is_sequence;
                for (size_t i = 0; i < s->count && copy; i++)
                    if (is_item(s->items[i]) && !add_copy(copy, s->items[i])) {
                        xpath_nodeset_free(copy);
                        copy = nullptr;
                    }
            }
            xpath_nodeset_free(s);
            s = copy;
        }
        ok = s != nullptr;
        if (ok) {
            b->kind = XPATH_BIND_NODESET;
            b->value.nodeset = s;
        }
        break;
    }
    case XPATH_BOOLEAN:
        b->kind = XPATH_BIND_BOOLEAN;
        b->value.boolean = r->value.boolean;
        break;
    case XPATH_NUMBER:
        if (r->type_name || r->exact_integer_set || r->cached_string) {
            quorvel_node* item = xpath_value_to_item(r, 0);
            nodeset* s = item ? xpath_nodeset_new() : nullptr;
            if (!s || !xpath_nodeset_add_fast(s, item)) {
                if (item) xpath_nodeset_dispose_node(item);
                xpath_nodeset_free(s);
                ok = false;
                break;
            }
            s->owns_attributes = s->owns_namespaces = s->owns_carriers = s->is_sequence = 1;
            b->kind = XPATH_BIND_NODESET;
            b->value.nodeset = s;
        } else {
            b->kind = XPATH_BIND_NUMBER;
            b->value.number = r->value.number;
        }
        break;
    case XPATH_STRING:
        if (has_family_type(r)) {
            quorvel_node* item = xpath_value_to_item(r, 0);
            nodeset* s = item ? xpath_nodeset_new() : nullptr;
            if (!s || !xpath_nodeset_add_fast(s, item)) {
                if (item) xpath_nodeset_dispose_node(item);
                xpath_nodeset_free(s);
                ok = false;
                break;
            }
            s->owns_attributes = s->owns_namespaces = s->owns_carriers = s->is_sequence = 1;
            b->kind = XPATH_BIND_NODESET;
            b->value.nodeset = s;
        } else {
            b->kind = XPATH_BIND_STRING;
            b->value.string = r->value.string ? r->value.string : static_cast<char*>(std::calloc(1, 1));
            r->value.string = nullptr;
            ok = b->value.string != nullptr;
            if (!ok) b->kind = XPATH_BIND_BOOLEAN;
        }
        break;
    default:
        ok = false;
        break;
    }
    xpath_result_free(r);
    return ok;
}

char family_letter(const char* type_name) {
    if (!type_name) return 0;
    for (const quorvel_xpath_family& f : xq_family_table)
        if (!std::strcmp(f.type_name, type_name)) return f.tag;
    return 0;
}

bool has_family_type(const result* r) { return family_letter(r->type_name) != 0; }

// ---- Items of a value ---------------------------------------------------------------------------------

// Appends the items of r to out and frees r: a sequence's items move over
// (copied where r does not own them); any other value becomes one item.
bool append_result(nodeset* out, result* r, int xquery_mode) {
    bool ok = true;
    if (r->kind == XPATH_NODESET) {
        if (nodeset* s = r->value.nodeset) {
            size_t i = 0;
            for (; i < s->count && ok; i++) {
                quorvel_node* n = s->items[i];
                if (!is_item(n)) continue;
                if (is_synthetic(n) && owned_by(s, n)) {
                    if (!xpath_nodeset_add_fast(out, n)) {
                        ok = false;
                        break;  // n stays with s and is freed there
                    }
                    s->items[i] = nullptr;
                } else {
                    ok = add_copy(out, n);
                }
            }
            // Moved items were cleared; the rest are freed with s.
            size_t kept = 0;
            for (size_t k = 0; k < s->count; k++)
                if (s->items[k]) s->items[kept++] = s->items[k];
            s->count = kept;
        }
    } else {
        quorvel_node* item = xpath_value_to_item(r, xquery_mode);
        ok = item && xpath_nodeset_add_fast(out, item);
        if (item && !ok) xpath_nodeset_dispose_node(item);
    }
    xpath_result_free(r);
    return ok;
}

// Sequences are bounded like node sets: a construct that would go past the
// bound fails instead of growing without limit.
bool too_long(quorvel_xpath_context* c, const nodeset* s) {
    if (s->count <= kXpathMaxNodesetCapacity) return false;
    xpath_context_fail(c, "Sequence of more than %zu items", kXpathMaxNodesetCapacity);
    return true;
}

nodeset* new_sequence() {
    nodeset* s = xpath_nodeset_new();
    if (s) s->owns_attributes = s->owns_namespaces = s->owns_carriers = s->is_sequence = 1;
    return s;
}

// The items of a value as a sequence (taking r over); NULL when memory runs out.
nodeset* items_of(result* r, int xquery_mode) {
    nodeset* s = new_sequence();
    if (!s) {
        xpath_result_free(r);
        return nullptr;
    }
    if (!append_result(s, r, xquery_mode)) {
        xpath_nodeset_free(s);
        return nullptr;
    }
    return s;
}

// ---- Atoms: items seen as values for comparisons ----------------------------------------------------

enum atom_class { ATOM_EMPTY, ATOM_STRING, ATOM_NUMBER, ATOM_BOOLEAN, ATOM_UNTYPED, ATOM_TYPED };

struct atom {
    atom_class kind = ATOM_EMPTY;
    char tag = 0;          // carrier tag of a typed atom
    double number = 0;
    char* text = nullptr;  // owned
    ~atom() { std::free(text); }
};

bool is_numeric_tag(const char* t, size_t n) {
    if (n < 2 || t[0] != kXpathTagMark) return false;
    char tag = t[1];
    if (tag == kXpathTagInteger || tag == kXpathTagDouble || tag == kXpathTagDecimal) return true;
    if (tag != kXpathTagFloat) return false;
    return !(n > 2 && t[2] == 'R') && !(n > 3 && t[2] == 'N' && t[3] == '\x02');
}

// Reads one item (a node by its string value, untyped) into a.
bool atom_of_item(const quorvel_node* n, atom& a) {
    a.text = get_node_text(n);
    if (!a.text) return false;
    if (n->kind != kXpathCarrierNode) {
        a.kind = ATOM_UNTYPED;
        return true;
    }
    auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(n);
    const char* t = c->text ? c->text : "";
    if (t[0] != kXpathTagMark || c->ref_kind == XPATH_REF_NODE) {
        a.kind = c->ref_kind == XPATH_REF_NODE ? ATOM_UNTYPED : ATOM_STRING;
        return true;
    }
    if (is_numeric_tag(t, c->length)) {
        a.kind = ATOM_NUMBER;
        a.number = std::strtod(t + 2, nullptr);
        return true;
    }
    if (c->length >= 2 && t[1] == kXpathTagBoolean) {
        a.kind = ATOM_BOOLEAN;
        a.number = c->length > 2 && t[2] == 't';
        return true;
    }
    if (c->length >= 2 && t[1] == 'U') {
        a.kind = ATOM_UNTYPED;
        return true;
    }
    a.kind = ATOM_TYPED;
    a.tag = c->length >= 2 ? t[1] : 0;
    return true;
}

// Reads a value of at most one item into a; false when memory runs out.
// More than one item: the first counts.
bool atom_of(const result* r, atom& a) {
    switch (r->kind) {
    case XPATH_NUMBER:
        a.kind = ATOM_NUMBER;
        a.number = r->value.number;
        return true;
    case XPATH_BOOLEAN:
        a.kind = ATOM_BOOLEAN;
        a.number = r->value.boolean ? 1 : 0;
        return true;
    case XPATH_STRING: {
        char letter = family_letter(r->type_name);
        a.kind = letter == 'U' ? ATOM_UNTYPED : letter ? ATOM_TYPED : ATOM_STRING;
        a.tag = letter;
        a.text = xpath_to_string(r);
        return a.text != nullptr;
    }
    default: {
        const nodeset* s = r->value.nodeset;
        for (size_t i = 0; s && i < s->count; i++)
            if (is_item(s->items[i])) return atom_of_item(s->items[i], a);
        a.kind = ATOM_EMPTY;
        return true;
    }
    }
}

// Equality of two atoms as switch cases compare them: numbers by value (NaN
// equal to NaN), untyped values as strings, typed values of one kind by text.
bool atoms_equal(const atom& a, const atom& b) {
    atom_class x = a.kind == ATOM_UNTYPED ? ATOM_STRING : a.kind;
    atom_class y = b.kind == ATOM_UNTYPED ? ATOM_STRING : b.kind;
    if (x != y) return false;
    switch (x) {
    case ATOM_EMPTY: return true;
    case ATOM_NUMBER: return a.number == b.number || (std::isnan(a.number) && std::isnan(b.number));
    case ATOM_BOOLEAN: return a.number == b.number;
    case ATOM_TYPED: return a.tag == b.tag && !std::strcmp(a.text, b.text);
    default: return !std::strcmp(a.text, b.text);
    }
}

// ---- Handlers -----------------------------------------------------------------------------------------

result* eval_sequence(quorvel_xpath_context* c, const ast* e) {
    nodeset* out = new_sequence();
    if (!out) return oom(c);
    for (size_t i = 0; i < e->count; i++) {
        result* r = evaluate_expr(c, e->children[i]);
        if (!r) {
            xpath_nodeset_free(out);
            return nullptr;
        }
        if (!append_result(out, r, c->xquery_mode)) {
            xpath_nodeset_free(out);
            return oom(c);
        }
        if (too_long(c, out)) {
            xpath_nodeset_free(out);
            return nullptr;
        }
    }
    return take_set(c, out);
}

// Evaluates both operands of a node operator into sequences of nodes.
bool node_operands(quorvel_xpath_context* c, const ast* e, result** a, result** b, const char* what) {
    *a = *b = nullptr;
    if (e->count != 2) {
        xpath_context_fail(c, "Malformed expression");
        return false;
    }
    *a = evaluate_expr(c, e->children[0]);
    if (!*a) return false;
    *b = evaluate_expr(c, e->children[1]);
    if (!*b) {
        xpath_result_free(*a);
        return false;
    }
    for (result* r : {*a, *b}) {
        bool nodes = r->kind == XPATH_NODESET;
        for (size_t i = 0; nodes && r->value.nodeset && i < r->value.nodeset->count; i++) {
            quorvel_node* n = r->value.nodeset->items[i];
            if (is_item(n) && n->kind == kXpathCarrierNode) nodes = false;
        }
        if (!nodes) {
            xpath_context_fail(c, "XPTY0004: The operands of %s must be nodes", what);
            xpath_result_free(*a);
            xpath_result_free(*b);
            return false;
        }
    }
    return true;
}

result* eval_intersect_except(quorvel_xpath_context* c, const ast* e, bool intersect) {
    result *a, *b;
    if (!node_operands(c, e, &a, &b, intersect ? "intersect" : "except")) return nullptr;
    identity_set right;
    nodeset* out = new_sequence();
    bool ok = out && right.build(b->value.nodeset);
    if (const nodeset* s = a->value.nodeset)
        for (size_t i = 0; ok && i < s->count; i++) {
            quorvel_node* n = s->items[i];
            if (is_item(n) && right.contains(n) == intersect) ok = add_copy(out, n);
        }
    if (ok) ok = xpath_nodeset_sort_doc_order(c, out);
    xpath_result_free(a);
    xpath_result_free(b);
    if (!ok) {
        xpath_nodeset_free(out);
        return oom(c);
    }
    return take_set(c, out);
}

result* eval_if(quorvel_xpath_context* c, const ast* e) {
    if (e->count != 3) {
        xpath_context_fail(c, "Malformed if expression");
        return nullptr;
    }
    result* cond = evaluate_expr(c, e->children[0]);
    if (!cond) return nullptr;
    bool yes = xpath_to_boolean(cond) != 0;
    xpath_result_free(cond);
    return evaluate_expr(c, e->children[yes ? 1 : 2]);
}

result* empty_sequence(quorvel_xpath_context* c) { return take_set(c, new_sequence()); }

result* eval_switch(quorvel_xpath_context* c, const ast* e) {
    bool has_default = e->text && !std::strcmp(e->text, "__switch_default");
    if (e->count < 1) {
        xpath_context_fail(c, "Malformed switch expression");
        return nullptr;
    }
    size_t cases_end = has_default ? e->count - 1 : e->count;
    result* operand = evaluate_expr(c, e->children[0]);
    if (!operand) return nullptr;
    atom key;
    bool ok = atom_of(operand, key);
    xpath_result_free(operand);
    if (!ok) return oom(c);
    for (size_t i = 1; i + 1 < cases_end; i += 2) {
        const ast* value_tree = e->children[i];
        // Several "case" values for one return are one sequence node.
        bool several = value_tree->type == AST_OPERATOR && static_cast<int32_t>(value_tree->number) == OP_SEQUENCE &&
                       value_tree->count > 1;
        size_t n = several ? value_tree->count : 1;
        bool match = false;
        for (size_t k = 0; k < n && !match; k++) {
            result* v = evaluate_expr(c, several ? value_tree->children[k] : value_tree);
            if (!v) return nullptr;
            atom candidate;
            ok = atom_of(v, candidate);
            xpath_result_free(v);
            if (!ok) return oom(c);
            match = atoms_equal(key, candidate);
        }
        if (match) return evaluate_expr(c, e->children[i + 1]);
    }
    if (has_default) return evaluate_expr(c, e->children[e->count - 1]);
    return empty_sequence(c);
}

// One key of an order by clause.
struct order_key {
    bool empty = true;
    bool numeric = false;
    double number = 0;
    char* text = nullptr;
};

bool wholly_numeric(const char* t, double* v) {
    if (!t || !*t) return false;
    char* end = nullptr;
    *v = std::strtod(t, &end);
    return end != t && *end == '\0';
}

bool read_key(const result* r, order_key& k) {
    atom a;
    if (!atom_of(r, a)) return false;
    k.empty = a.kind == ATOM_EMPTY;
    if (k.empty) return true;
    if (a.kind == ATOM_NUMBER) {
        k.numeric = true;
        k.number = a.number;
        return true;
    }
    if (a.kind == ATOM_UNTYPED && wholly_numeric(a.text, &k.number)) {
        k.numeric = true;
        return true;
    }
    if (a.kind == ATOM_BOOLEAN) {
        k.text = static_cast<char*>(std::malloc(6));
        if (!k.text) return false;
        std::strcpy(k.text, a.number != 0 ? "true" : "false");
        return true;
    }
    k.text = a.text;
    a.text = nullptr;
    return true;
}

int compare_keys(const order_key& a, const order_key& b, int flags) {
    if (a.empty || b.empty) {
        if (a.empty && b.empty) return 0;
        int empty_first = (flags & kXpathOrderEmptyLeast) ? -1 : 1;
        int d = a.empty ? empty_first : -empty_first;
        return (flags & kXpathOrderDescending) ? -d : d;
    }
    int d;
    if (a.numeric && b.numeric) {
        bool na = std::isnan(a.number), nb = std::isnan(b.number);
        d = na || nb ? (na && nb ? 0 : na ? -1 : 1) : (a.number < b.number ? -1 : a.number > b.number ? 1 : 0);
    } else {
        char buf_a[64], buf_b[64];
        const char* x = a.text;
        const char* y = b.text;
        if (!x) xpath_format_number(a.number, buf_a), x = buf_a;
        if (!y) xpath_format_number(b.number, buf_b), y = buf_b;
        d = std::strcmp(x, y);
        d = d < 0 ? -1 : d > 0 ? 1 : 0;
    }
    return (flags & kXpathOrderDescending) ? -d : d;
}

// One contribution of a for expression with order keys: its items are
// out->items[start, start + count).
struct ordered_run {
    size_t start, count;
    order_key* keys;
};

void free_runs(ordered_run* runs, size_t n, size_t key_count) {
    for (size_t i = 0; i < n; i++) {
        for (size_t k = 0; k < key_count; k++) std::free(runs[i].keys[k].text);
        std::free(runs[i].keys);
    }
    std::free(runs);
}

// Stable merge sort of the runs by their keys.
bool sort_runs(ordered_run* runs, size_t n, const ast* e, size_t key_count) {
    auto* tmp = static_cast<ordered_run*>(std::malloc((n ? n : 1) * sizeof(ordered_run)));
    if (!tmp) return false;
    auto less_equal = [&](const ordered_run& x, const ordered_run& y) {
        for (size_t k = 0; k < key_count; k++) {
            int flags = static_cast<int>(e->children[3 + 2 * k]->number);
            int d = compare_keys(x.keys[k], y.keys[k], flags);
            if (d) return d < 0;
        }
        return true;
    };
    for (size_t width = 1; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            size_t mid = lo + width < n ? lo + width : n, hi = lo + 2 * width < n ? lo + 2 * width : n;
            size_t i = lo, j = mid, o = lo;
            while (i < mid && j < hi) tmp[o++] = less_equal(runs[i], runs[j]) ? runs[i++] : runs[j++];
            while (i < mid) tmp[o++] = runs[i++];
            while (j < hi) tmp[o++] = runs[j++];
        }
        std::memcpy(runs, tmp, n * sizeof(ordered_run));
    }
    std::free(tmp);
    return true;
}

result* eval_for(quorvel_xpath_context* c, const ast* e) {
    if (e->count < 2 || !e->text) {
        xpath_context_fail(c, "Malformed for expression");
        return nullptr;
    }
    const char* name = e->text;
    const char* sep = std::strchr(name, '\x01');
    size_t name_length = sep ? static_cast<size_t>(sep - name) : std::strlen(name);
    size_t key_count = e->count >= 4 ? (e->count - 2) / 2 : 0;

    result* domain_value = evaluate_expr(c, e->children[0]);
    if (!domain_value) return nullptr;
    nodeset* domain = items_of(domain_value, c->xquery_mode);
    if (!domain) return oom(c);

    scope sc(c);
    nodeset* out = new_sequence();
    ordered_run* runs = key_count && domain->count
                            ? static_cast<ordered_run*>(std::calloc(domain->count, sizeof(ordered_run)))
                            : nullptr;
    size_t run_count = 0;
    bool ok = out && sc.open(2) && (!key_count || !domain->count || runs);
    quorvel_xpath_variable_binding* var = ok ? sc.slot(name, name_length, 2) : nullptr;
    quorvel_xpath_variable_binding* pos = ok && sep ? sc.slot(sep + 1, std::strlen(sep + 1), 2) : nullptr;
    bool failed = false;  // an inner evaluation failed with its own message
    if (ok && (!var || (sep && !pos))) ok = false;
    for (size_t i = 0; ok && !failed && i < domain->count; i++) {
        if (!bind_item(var, domain->items[i]) || (pos && !bind_number(pos, static_cast<double>(i + 1)))) {
            ok = false;
            break;
        }
        result* r = evaluate_expr(c, e->children[1]);
        if (!r) {
            failed = true;
            break;
        }
        size_t start = out->count;
        if (!append_result(out, r, c->xquery_mode)) {
            ok = false;
            break;
        }
        if (too_long(c, out)) {
            failed = true;
            break;
        }
        if (!key_count) continue;
        ordered_run& run = runs[run_count];
        run.start = start;
        run.count = out->count - start;
        run.keys = static_cast<order_key*>(std::calloc(key_count, sizeof(order_key)));
        if (!run.keys) {
            ok = false;
            break;
        }
        run_count++;
        for (size_t k = 0; k < key_count; k++) {
            result* kv = evaluate_expr(c, e->children[2 + 2 * k]);
            if (!kv) {
                failed = true;
                break;
            }
            bool read = read_key(kv, run.keys[k]);
            xpath_result_free(kv);
            if (!read) {
                ok = false;
                break;
            }
        }
    }
    if (ok && !failed && key_count && run_count) {
        nodeset* sorted = xpath_nodeset_new_with_capacity(out->count);
        ok = sorted && sort_runs(runs, run_count, e, key_count);
        if (ok) {
            sorted->owns_attributes = sorted->owns_namespaces = sorted->owns_carriers = sorted->is_sequence = 1;
            for (size_t r = 0; r < run_count; r++)
                for (size_t k = 0; k < runs[r].count; k++)
                    xpath_nodeset_add_fast(sorted, out->items[runs[r].start + k]);  // capacity suffices
            out->count = 0;
            xpath_nodeset_free(out);
            out = sorted;
        } else {
            xpath_nodeset_free(sorted);
        }
    }
    free_runs(runs, run_count, key_count);
    xpath_nodeset_free(domain);
    if (failed || !ok) {
        xpath_nodeset_free(out);
        return failed ? nullptr : oom(c);
    }
    return take_set(c, out);
}

result* eval_let(quorvel_xpath_context* c, const ast* e) {
    if (e->count < 2 || !e->text) {
        xpath_context_fail(c, "Malformed let expression");
        return nullptr;
    }
    size_t bindings = e->count - 1;
    scope sc(c);
    if (!sc.open(bindings)) return oom(c);
    const char* names = e->text;
    for (size_t i = 0; i < bindings; i++) {
        while (*names == ' ') names++;
        size_t length = std::strcspn(names, " ");
        if (!length) {
            xpath_context_fail(c, "Malformed let expression");
            return nullptr;
        }
        result* v = evaluate_expr(c, e->children[i]);
        if (!v) return nullptr;
        quorvel_xpath_variable_binding* b = sc.slot(names, length, bindings);
        if (!b) {
            xpath_result_free(v);
            return oom(c);
        }
        if (!bind_value(b, v)) return oom(c);
        names += length;
    }
    return evaluate_expr(c, e->children[bindings]);
}

result* eval_simple_map(quorvel_xpath_context* c, const ast* e) {
    if (e->count != 2) {
        xpath_context_fail(c, "Malformed expression");
        return nullptr;
    }
    result* left = evaluate_expr(c, e->children[0]);
    if (!left) return nullptr;
    nodeset* input = items_of(left, c->xquery_mode);
    if (!input) return oom(c);
    nodeset* out = new_sequence();
    quorvel_node* saved = c->node;
    size_t saved_position = c->position, saved_size = c->size;
    bool ok = out != nullptr, failed = false;
    for (size_t i = 0; ok && i < input->count; i++) {
        c->node = input->items[i];
        c->position = i + 1;
        c->size = input->count;
        result* r = evaluate_expr(c, e->children[1]);
        if (!r) {
            failed = true;
            break;
        }
        ok = append_result(out, r, c->xquery_mode);
        if (ok && too_long(c, out)) {
            failed = true;
            break;
        }
    }
    c->node = saved;
    c->position = saved_position;
    c->size = saved_size;
    xpath_nodeset_free(input);
    if (failed || !ok) {
        xpath_nodeset_free(out);
        return failed ? nullptr : oom(c);
    }
    return take_set(c, out);
}

// some / every: the bindings vary like nested loops, the last fastest; a
// domain sees the variables bound before it.
result* eval_quantified(quorvel_xpath_context* c, const ast* e, bool some) {
    if (e->count < 2) {
        xpath_context_fail(c, "Malformed quantified expression");
        return nullptr;
    }
    size_t n = e->count - 1;
    for (size_t i = 0; i < n; i++) {
        const ast* b = e->children[i];
        if (b->type != AST_OPERATOR || static_cast<int32_t>(b->number) != OP_BINDING || !b->text || b->count != 1) {
            xpath_context_fail(c, "Malformed quantified expression");
            return nullptr;
        }
    }
    scope sc(c);
    auto** domains = static_cast<nodeset**>(std::calloc(n, sizeof(nodeset*)));
    auto* index = static_cast<size_t*>(std::calloc(n, sizeof(size_t)));
    auto** vars = static_cast<quorvel_xpath_variable_binding**>(std::calloc(n, sizeof(void*)));
    bool ok = domains && index && vars && sc.open(n);
    for (size_t i = 0; ok && i < n; i++) {
        vars[i] = sc.slot(e->children[i]->text, std::strlen(e->children[i]->text), n);
        ok = vars[i] != nullptr;
    }
    bool failed = false, answer = !some;
    size_t level = 0;
    if (ok) {
        result* d = evaluate_expr(c, e->children[0]->children[0]);
        if (!d) failed = true;
        else if (!(domains[0] = items_of(d, c->xquery_mode))) ok = false;
    }
    while (ok && !failed) {
        if (index[level] >= domains[level]->count) {
            xpath_nodeset_free(domains[level]);
            domains[level] = nullptr;
            if (level == 0) break;
            level--;
            index[level]++;
            continue;
        }
        if (!bind_item(vars[level], domains[level]->items[index[level]])) {
            ok = false;
            break;
        }
        if (level + 1 < n) {
            result* d = evaluate_expr(c, e->children[level + 1]->children[0]);
            if (!d) {
                failed = true;
                break;
            }
            level++;
            index[level] = 0;
            if (!(domains[level] = items_of(d, c->xquery_mode))) ok = false;
            continue;
        }
        result* t = evaluate_expr(c, e->children[n]);
        if (!t) {
            failed = true;
            break;
        }
        bool v = xpath_to_boolean(t) != 0;
        xpath_result_free(t);
        if (v == some) {
            answer = some;
            break;
        }
        index[level]++;
    }
    for (size_t i = 0; domains && i < n; i++) xpath_nodeset_free(domains[i]);
    std::free(domains);
    std::free(index);
    std::free(vars);
    if (failed) return nullptr;
    if (!ok) return oom(c);
    return boolean_value(c, answer);
}

}  // namespace

quorvel_node* xpath_value_to_item(const quorvel_xpath_result* r, int xquery_mode) {
    char tag = 0;
    char* text = nullptr;
    switch (r->kind) {
    case XPATH_NUMBER: {
        const char* type = r->type_name;
        tag = !type                              ? kXpathTagInteger
              : !std::strcmp(type, "xs:float")   ? kXpathTagFloat
              : !std::strcmp(type, "xs:decimal") ? kXpathTagDecimal
              : !std::strcmp(type, "xs:double")  ? kXpathTagDouble
                                                 : kXpathTagInteger;
        if (r->cached_string) {
            size_t n = std::strlen(r->cached_string);
            text = static_cast<char*>(std::malloc(n + 1));
            if (text) std::memcpy(text, r->cached_string, n + 1);
        } else if (xquery_mode && !r->exact_integer_set) {
            text = xpath_number_to_string_xq_typed(nullptr, tag == kXpathTagFloat, r->value.number);
        } else {
            text = xpath_to_string(r);
        }
        break;
    }
    case XPATH_BOOLEAN: {
        const char* v = r->value.boolean ? "true" : "false";
        text = static_cast<char*>(std::malloc(6));
        if (text) std::strcpy(text, v);
        tag = kXpathTagBoolean;
        break;
    }
    default:
        tag = family_letter(r->type_name);
        // A QName's text keeps its namespace after its lexical form.
        text = tag == 'Z' && r->value.string ? xpath_qname_text(r->value.string, std::strlen(r->value.string), nullptr)
                                                     : xpath_to_string(r);
        break;
    }
    if (!text) return nullptr;
    size_t n = std::strlen(text);
    quorvel_node* item;
    if (tag) {
        char* tagged = static_cast<char*>(std::malloc(n + 3));
        if (!tagged) {
            std::free(text);
            return nullptr;
        }
        tagged[0] = kXpathTagMark;
        tagged[1] = tag;
        std::memcpy(tagged + 2, text, n + 1);
        item = xpath_synth_text(tagged, n + 2);
        std::free(tagged);
    } else {
        item = xpath_synth_text(text, n);
    }
    std::free(text);
    return item;
}

bool xpath_sequence_append(quorvel_xpath_node_set* out, quorvel_xpath_result* value, int xquery_mode) {
    return append_result(out, value, xquery_mode);
}

quorvel_xpath_result* xpath_eval_bound(quorvel_xpath_context* c, const char* name, size_t length,
                                       quorvel_xpath_result* value, const quorvel_xpath_ast_node* body) {
    scope sc(c);
    quorvel_xpath_variable_binding* b = sc.open(1) ? sc.slot(name, length, 1) : nullptr;
    if (!b) {
        xpath_result_free(value);
        return oom(c);
    }
    if (!bind_value(b, value)) return oom(c);
    return evaluate_expr(c, body);
}

bool xpath_eval_sequence_op(quorvel_xpath_context* c, const quorvel_xpath_ast_node* e, int32_t op,
                            quorvel_xpath_result** out) {
    switch (op) {
    case OP_SEQUENCE: *out = eval_sequence(c, e); return true;
    case OP_INTERSECT: *out = eval_intersect_except(c, e, true); return true;
    case OP_EXCEPT: *out = eval_intersect_except(c, e, false); return true;
    case OP_IF: *out = eval_if(c, e); return true;
    case OP_SWITCH: *out = eval_switch(c, e); return true;
    case OP_FOR: *out = eval_for(c, e); return true;
    case OP_LET: *out = eval_let(c, e); return true;
    case OP_SIMPLE_MAP: *out = eval_simple_map(c, e); return true;
    case OP_SOME: *out = eval_quantified(c, e, true); return true;
    case OP_EVERY: *out = eval_quantified(c, e, false); return true;
    default: return false;
    }
}
