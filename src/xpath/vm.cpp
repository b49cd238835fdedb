// The virtual machine: runs a tree's program over a running node set, with
// the same answer as the tree-walker or none at all. Steps walk the tree
// without making records for the nodes they pass; attribute tests read the
// attribute records in place; a descendant search from the document node
// reads the document's element index once a document has been searched
// twice. Whatever could differ from the tree-walker (synthetic context
// nodes, a failing predicate, memory running out) makes the machine decline
// and leave the context as it found it.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

using nodeset = quorvel_xpath_node_set;

int g_vm_enabled = 1;

// The programs of a tree: one for every path in it that the machine runs
// (the whole tree, function arguments, operands, predicates), sorted by
// the address of the path's node.
struct program_entry {
    const quorvel_xpath_ast_node* path;
    quorvel_xpath_program* program;
};

struct program_table {
    program_entry* entries;
    size_t count;
};

void table_free(program_table* t) {
    if (!t) return;
    for (size_t i = 0; i < t->count; i++) xpath_vm_program_free(t->entries[i].program);
    std::free(t->entries);
    std::free(t);
}

void free_table(void* p) { table_free(static_cast<program_table*>(p)); }

int entry_order(const void* a, const void* b) {
    auto x = reinterpret_cast<uintptr_t>(static_cast<const program_entry*>(a)->path);
    auto y = reinterpret_cast<uintptr_t>(static_cast<const program_entry*>(b)->path);
    return x < y ? -1 : x > y ? 1 : 0;
}

bool is_path(const quorvel_xpath_ast_node* e) {
    return e->type == AST_ABSOLUTE_PATH || e->type == AST_RELATIVE_PATH || e->type == AST_STEP;
}

// Paths, unions and sum() calls may have programs.
bool may_have_program(const quorvel_xpath_ast_node* e) {
    if (is_path(e)) return true;
    if (e->type == AST_OPERATOR) return static_cast<int32_t>(e->number) == OP_UNION;
    return e->type == AST_FUNCTION_CALL && e->count == 1 && e->text && !std::strcmp(e->text, "sum");
}

// Compiles every path of the tree that the machine runs. The steps of a
// path (and the nested paths the tree-walker runs inline as steps) get no
// program of their own, but the paths inside their predicates do. NULL only
// when memory ran out.
program_table* table_build(const quorvel_xpath_ast_node* root) {
    auto* t = static_cast<program_table*>(std::calloc(1, sizeof(program_table)));
    if (!t) return nullptr;
    struct item {
        const quorvel_xpath_ast_node* node;
        bool inside;  // a step or inline path of an enclosing path
    };
    item* stack = nullptr;
    size_t depth = 0, stack_capacity = 0, capacity = 0;
    bool ok = true;
    auto push = [&](const quorvel_xpath_ast_node* n, bool inside) {
        if (!n) return;
        if (depth == stack_capacity) {
            size_t fresh = stack_capacity ? stack_capacity * 2 : 64;
            auto* grown = static_cast<item*>(std::realloc(stack, fresh * sizeof(item)));
            if (!grown) {
                ok = false;
                return;
            }
            stack = grown;
            stack_capacity = fresh;
        }
        stack[depth++] = {n, inside};
    };
    push(root, false);
    while (ok && depth) {
        item it = stack[--depth];
        const quorvel_xpath_ast_node* e = it.node;
        if (!it.inside && may_have_program(e)) {
            if (quorvel_xpath_program* p = xpath_vm_compile(e)) {
                if (t->count == capacity) {
                    size_t fresh = capacity ? capacity * 2 : 8;
                    auto* grown = static_cast<program_entry*>(std::realloc(t->entries, fresh * sizeof(program_entry)));
                    if (!grown) {
                        xpath_vm_program_free(p);
                        ok = false;
                        break;
                    }
                    t->entries = grown;
                    capacity = fresh;
                }
                t->entries[t->count++] = {e, p};
            }
        }
        bool path = is_path(e) || e->type == AST_FILTER_PATH;
        for (size_t i = 0; i < e->count; i++) {
            const quorvel_xpath_ast_node* child = e->children[i];
            // A step's first child is its node test; the rest are predicates.
            bool inside = (path && i > 0 && e->type == AST_FILTER_PATH) ||
                          (path && e->type != AST_STEP && e->type != AST_FILTER_PATH && child &&
                           (child->type == AST_STEP || child->type == AST_RELATIVE_PATH));
            push(child, inside);
        }
    }
    std::free(stack);
    if (!ok) {
        table_free(t);
        return nullptr;
    }
    if (t->count > 1) std::qsort(t->entries, t->count, sizeof(program_entry), entry_order);
    return t;
}

const quorvel_xpath_program* table_find(const program_table* t, const quorvel_xpath_ast_node* path) {
    size_t lo = 0, hi = t->count;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        const quorvel_xpath_ast_node* at = t->entries[mid].path;
        if (at == path) return t->entries[mid].program;
        if (reinterpret_cast<uintptr_t>(at) < reinterpret_cast<uintptr_t>(path)) lo = mid + 1;
        else hi = mid;
    }
    return nullptr;
}

// The tree's programs: compiled by the first evaluation, published with
// one compare-and-swap so that every thread runs the same programs and none
// is ever replaced while another thread may run it. NULL when memory ran out.
const program_table* table_of(quorvel_xpath_tree* tree) {
    void* p = __atomic_load_n(&tree->program, __ATOMIC_ACQUIRE);
    if (p) return static_cast<const program_table*>(p);
    program_table* fresh = table_build(tree->root);
    if (!fresh) return nullptr;
    void (*release)(void*) = free_table;
    __atomic_store_n(&tree->program_free, release, __ATOMIC_RELEASE);
    void* expected = nullptr;
    if (__atomic_compare_exchange_n(&tree->program, &expected, static_cast<void*>(fresh), false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE))
        return fresh;
    table_free(fresh);
    return static_cast<const program_table*>(expected);
}

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

bool is_synthetic(const quorvel_node* n) {
    return n->kind == kXpathAttributeNode || n->kind == kXpathNamespaceNode || n->kind == kXpathCarrierNode;
}

nodeset* owning_set() {
    nodeset* s = xpath_nodeset_new();
    if (s) s->owns_attributes = s->owns_namespaces = s->owns_carriers = 1;
    return s;
}

// ---- Navigation, as the tree-walker sees the tree --------------------------------------------------

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

// Parent of a tree node (never a synthetic one): the element, or the
// document node for top-level nodes.
quorvel_node* parent_of(const quorvel_node* n) {
    if (n->kind == QUORVEL_NODE_DOCUMENT || n->kind == QUORVEL_NODE_DOCTYPE) return nullptr;
    if (quorvel_element* p = quorvel_node_parent(n)) return reinterpret_cast<quorvel_node*>(p);
    return top_level_parent(n);
}

bool has_children(const quorvel_node* n) {
    return n->kind == QUORVEL_NODE_ELEMENT || n->kind == QUORVEL_NODE_DOCUMENT;
}

quorvel_node* first_child(const quorvel_node* n) {
    if (n->kind == QUORVEL_NODE_ELEMENT) return quorvel_elem_first_child_raw(reinterpret_cast<const quorvel_element*>(n));
    return n->kind == QUORVEL_NODE_DOCUMENT ? quorvel_node_first_child(n) : nullptr;
}

quorvel_node* next_sibling(const quorvel_node* n) { return quorvel_node_next_raw(n); }

// Next node in document order inside the subtree of top, or NULL; depth
// follows the moves (one down, or up as many levels as climbed).
quorvel_node* next_in_subtree(quorvel_node* n, const quorvel_node* top, long& depth) {
    if (n->kind == QUORVEL_NODE_ELEMENT)
        if (quorvel_node* down = quorvel_elem_first_child_raw(reinterpret_cast<const quorvel_element*>(n))) {
            depth++;
            return down;
        }
    while (n && n != top) {
        if (quorvel_node* next = next_sibling(n)) return next;
        n = parent_of(n);
        depth--;
    }
    return nullptr;
}

// ---- Tests and attribute predicates -------------------------------------------------------------------

struct test {
    uint8_t kind;
    const char* name;
    bool namespaces_in_use;
    // The stored 16-bit hash of the name: most other elements differ there.
    uint16_t hash = 0;
    // The stored name last found equal: a document keeps one copy of each
    // name, so most matches compare one pointer.
    mutable const char* equal = nullptr;
    // A prefixed test: its prefix, its whole name and the namespace the
    // prefix is bound to (NULL when unbound: the prefix is then compared).
    const char* prefix = nullptr;
    const char* qualified = nullptr;
    const char* uri = nullptr;
};

bool uri_equal(const char* a, const char* b) {
    if (!a || !a[0]) return !b || !b[0];
    return b && !std::strcmp(a, b);
}

inline __attribute__((always_inline)) bool test_matches(const test& t, const quorvel_node* n) {
    switch (t.kind) {
    case VM_TEST_NAME: {
        if (n->kind != QUORVEL_NODE_ELEMENT) return false;
        auto* e = reinterpret_cast<quorvel_element*>(const_cast<quorvel_node*>(n));
        if (e->name_hash != t.hash) return false;
        const char* name = quorvel_elem_name_raw(e);
        if (!name) name = "";
        if (name != t.equal) {
            // Names are short: compared in line, byte by byte.
            const char* a = name;
            const char* b = t.name;
            while (*a && *a == *b) a++, b++;
            if (*a != *b) return false;
            t.equal = name;
        }
        if (!t.namespaces_in_use) return true;
        const char* uri = quorvel_element_namespace(e);
        return !uri || !uri[0];
    }
    case VM_TEST_QNAME: {
        if (n->kind != QUORVEL_NODE_ELEMENT) return false;
        auto* e = reinterpret_cast<quorvel_element*>(const_cast<quorvel_node*>(n));
        if (std::strcmp(quorvel_element_name(e), t.name) != 0) return false;
        if (t.uri) return uri_equal(t.uri, quorvel_element_namespace(e));
        const char* p = quorvel_element_prefix(e);
        return p && !std::strcmp(p, t.prefix);
    }
    case VM_TEST_ANY_ELEMENT: return n->kind == QUORVEL_NODE_ELEMENT;
    case VM_TEST_NODE: return true;
    case VM_TEST_TEXT: return n->kind == QUORVEL_NODE_TEXT || n->kind == QUORVEL_NODE_CDATA;
    default: return n->kind == QUORVEL_NODE_COMMENT;
    }
}

// A decoded predicate. Variables are resolved when the step starts: a
// string or number binding becomes the matching comparison, any other the
// predicate's own tree.
struct predicate {
    uint8_t op;
    const char* attribute;
    const char* text;
    double number;
    const quorvel_xpath_ast_node* tree;
    // contains(): the source is an attribute (else a child element, found
    // by child); failed is set when a text could not be made.
    bool from_attribute = false;
    test child{VM_TEST_NAME, nullptr, false};
    bool* failed = nullptr;
};

bool simple(const predicate& p) {
    return p.op == VM_PRED_HAS_ATTR || p.op == VM_PRED_ATTR_EQ_STRING || p.op == VM_PRED_ATTR_EQ_NUMBER ||
           p.op == VM_PRED_CONTAINS;
}

// The string value of an element, as the tree-walker makes it: the text of
// a lone text child in place (*owned NULL), else a new copy in *owned. NULL
// when memory ran out.
const char* element_text(const quorvel_node* e, char** owned) {
    *owned = nullptr;
    quorvel_node* first = quorvel_elem_first_child_raw(reinterpret_cast<const quorvel_element*>(e));
    if (!first) return "";
    if (first->kind == QUORVEL_NODE_TEXT && !next_sibling(first)) {
        const char* text = quorvel_text_node_get_content(first);
        return text ? text : "";
    }
    *owned = quorvel_element_get_text_content(e);
    return *owned;
}

// contains(source, text) at n: the first source node's string value ("" for
// none) holds the text.
bool contains_passes(const predicate& p, const quorvel_node* n) {
    if (!p.text[0]) return true;
    if (p.from_attribute) {
        if (n->kind != QUORVEL_NODE_ELEMENT) return false;
        auto* e = reinterpret_cast<quorvel_element*>(const_cast<quorvel_node*>(n));
        for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
            const char* name = quorvel_attribute_get_name(a);
            if (!name || std::strcmp(name, p.attribute) != 0) continue;
            const char* value = quorvel_attribute_get_value(e, a);
            return value && std::strstr(value, p.text);
        }
        return false;
    }
    if (!has_children(n)) return false;
    for (quorvel_node* x = first_child(n); x; x = next_sibling(x)) {
        if (!test_matches(p.child, x)) continue;
        char* owned;
        const char* text = element_text(x, &owned);
        if (!text) {
            *p.failed = true;
            return false;
        }
        bool found = std::strstr(text, p.text) != nullptr;
        std::free(owned);
        return found;
    }
    return false;
}

// Whether an element's attribute named p.attribute exists (and equals the
// value). Values read as the tree-walker's attribute nodes hold them:
// references decoded, a missing value empty.
bool attribute_passes(const predicate& p, const quorvel_node* n) {
    if (p.op == VM_PRED_CONTAINS) return contains_passes(p, n);
    if (n->kind != QUORVEL_NODE_ELEMENT) return false;
    auto* e = reinterpret_cast<quorvel_element*>(const_cast<quorvel_node*>(n));
    for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
        const char* name = quorvel_attribute_get_name(a);
        if (!name || std::strcmp(name, p.attribute) != 0) continue;
        if (p.op == VM_PRED_HAS_ATTR) return true;
        const char* value = quorvel_attribute_get_value(e, a);
        if (!value) value = "";
        if (p.op == VM_PRED_ATTR_EQ_STRING ? !std::strcmp(value, p.text)
                                           : xpath_string_to_number(value) == p.number)
            return true;
    }
    return false;
}

bool all_pass(const predicate* preds, size_t count, const quorvel_node* n) {
    for (size_t i = 0; i < count; i++)
        if (!attribute_passes(preds[i], n)) return false;
    return true;
}

// ---- The machine ----------------------------------------------------------------------------------------

struct machine {
    quorvel_xpath_context* c;
    const quorvel_xpath_program* program;
    const uint8_t* ip;
    bool namespaces_in_use;
    bool failed = false;  // a predicate could not be decided: decline
    // Inside sum(): attribute steps add their values here instead of
    // making nodes (summing stays true while every value is a plain integer).
    bool summing = false;
    int64_t sum_total = 0;
    size_t sum_items = 0;

    uint8_t u8() { return *ip++; }
    size_t u16() {
        size_t v = static_cast<size_t>(ip[0]) << 8 | ip[1];
        ip += 2;
        return v;
    }
    const quorvel_xpath_vm_constant* constant(size_t index) {
        return index < program->constant_count ? &program->constants[index] : nullptr;
    }
};

// Keeps the items of s (their order gives the positions) that pass the
// predicate. False when evaluation failed.
bool filter(machine& m, nodeset* s, const predicate& p) {
    size_t size = s->count, out = 0;
    quorvel_xpath_context* c = m.c;
    for (size_t i = 0; i < size; i++) {
        quorvel_node* n = s->items[i];
        bool keep;
        if (p.op == VM_PRED_POSITION) {
            keep = p.number == static_cast<double>(i + 1);
        } else if (simple(p)) {
            keep = attribute_passes(p, n);
        } else {
            c->node = n;
            c->position = i + 1;
            c->size = size;
            quorvel_xpath_result* r = evaluate_expr(c, p.tree);
            if (!r) return false;
            // A sequence of one atomic item may select by position: the
            // tree-walker's part.
            if (r->kind == XPATH_NODESET && r->value.nodeset && r->value.nodeset->count == 1 &&
                is_item(r->value.nodeset->items[0]) && r->value.nodeset->items[0]->kind == kXpathCarrierNode) {
                xpath_result_free(r);
                return false;
            }
            keep = r->kind == XPATH_NUMBER ? r->value.number == static_cast<double>(i + 1) : xpath_to_boolean(r) != 0;
            xpath_result_free(r);
        }
        if (keep) s->items[out++] = n;
    }
    s->count = out;
    return true;
}

// Calls take(node) for the nodes of the axis from n that pass the test, in
// axis order: take answers 1 when it kept the node, 0 when not, -1 to stop
// (then false). *nested (when given) is set when a node kept on a
// descendant axis lies below another one kept.
template <typename F>
bool each_on_axis(int32_t axis, const test& t, quorvel_node* n, F&& take, bool* nested = nullptr) {
    auto offer = [&](quorvel_node* x) { return !test_matches(t, x) || take(x) >= 0; };
    switch (axis) {
    case AXIS_SELF:
        return offer(n);
    case AXIS_PARENT:
        if (quorvel_node* p = parent_of(n)) return offer(p);
        return true;
    case AXIS_CHILD:
        for (quorvel_node* x = first_child(n); x; x = next_sibling(x))
            if (!offer(x)) return false;
        return true;
    default: {
        // A node is below the last one kept while every node walked since
        // is deeper than that one.
        long depth = 0, kept_depth = 0, lowest = LONG_MAX;
        bool any = false;
        auto visit = [&](quorvel_node* x) {
            if (depth < lowest) lowest = depth;
            if (!test_matches(t, x)) return true;
            int r = take(x);
            if (r < 0) return false;
            if (r > 0 && nested) {
                if (any && lowest > kept_depth) *nested = true;
                any = true;
                kept_depth = depth;
                lowest = LONG_MAX;
            }
            return true;
        };
        if (axis == AXIS_DESCENDANT_OR_SELF && !visit(n)) return false;
        depth = 1;
        for (quorvel_node* x = first_child(n); x; x = next_in_subtree(x, n, depth))
            if (!visit(x)) return false;
        return true;
    }
    }
}

// The document's element index when a descendant search from its document
// node may read it: the index is built on the second search of a document,
// and read only when the document's one top-level element is the root the
// index was made from.
const quorvel_element_index* index_for(quorvel_document* doc) {
    if (!doc || !doc->root) return nullptr;
    quorvel_node* docnode = xpath_document_node(doc);
    if (!docnode) return nullptr;
    size_t elements = 0;
    for (quorvel_node* t = quorvel_node_first_child(docnode); t; t = quorvel_node_next_sibling(t)) {
        if (t->kind != QUORVEL_NODE_ELEMENT) continue;
        if (reinterpret_cast<quorvel_element*>(t) != doc->root || ++elements > 1) return nullptr;
    }
    if (elements != 1) return nullptr;
    auto* index = __atomic_load_n(&doc->element_index, __ATOMIC_ACQUIRE);
    if (index) return index;
    if (__atomic_add_fetch(&doc->descendant_scans, 1, __ATOMIC_RELAXED) < 2) return nullptr;
    quorvel_element_index* fresh = quorvel_element_index_build(doc);
    if (!fresh) return nullptr;
    quorvel_element_index* expected = nullptr;
    if (__atomic_compare_exchange_n(&doc->element_index, &expected, fresh, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return fresh;
    quorvel_element_index_free(fresh);
    return expected;
}

// A descendant name search from the document node through the index: the
// members of the narrowest entry, in document order. False when the index
// cannot answer (the caller walks).
bool search_index(const quorvel_element_index* index, const test& t, const predicate* preds, size_t count,
                  nodeset* out, bool* ok, bool* nested) {
    const quorvel_element_index_name* entry = quorvel_element_index_find_name(index, t.name, std::strlen(t.name));
    if (!entry) return true;  // no element has the name
    quorvel_element* const* members = entry->elements;
    const uint32_t* positions = entry->positions;
    size_t member_count = entry->count;
    // An attribute entry narrows the search further; an empty value is not
    // grouped, so that one search walks its name entry instead.
    for (size_t p = 0; p < count; p++) {
        const predicate& pr = preds[p];
        if (pr.op == VM_PRED_ATTR_EQ_NUMBER || pr.op == VM_PRED_CONTAINS || (pr.op == VM_PRED_ATTR_EQ_STRING && !pr.text[0]))
            continue;
        const quorvel_element_index_attribute* attribute =
            quorvel_element_index_find_attribute(index, pr.attribute, std::strlen(pr.attribute));
        if (!attribute) return true;  // no element has the attribute
        if (pr.op == VM_PRED_HAS_ATTR) {
            if (attribute->count < member_count) {
                members = attribute->elements;
                positions = attribute->positions;
                member_count = attribute->count;
            }
            continue;
        }
        const quorvel_element_index_value* v = nullptr;
        if (!quorvel_element_index_find_value(attribute, pr.text, std::strlen(pr.text), &v)) return false;
        if (!v) return true;
        members = v->elements;
        positions = v->positions;
        member_count = v->count;
        break;
    }
    quorvel_element* last = nullptr;
    bool any = false;
    uint32_t kept_end = 0;  // the last element of the last kept one's subtree
    for (size_t i = 0; i < member_count; i++) {
        quorvel_element* e = members[i];
        if (e == last) continue;  // an element listed once per attribute of the name
        last = e;
        auto* n = reinterpret_cast<quorvel_node*>(e);
        if (!test_matches(t, n) || !all_pass(preds, count, n)) continue;
        uint32_t position = positions[i];
        if (position >= index->element_count) {
            *nested = true;
        } else {
            if (any && position <= kept_end) *nested = true;
            any = true;
            kept_end = index->subtree_ends[position];
        }
        if (!xpath_nodeset_add_fast(out, n)) {
            *ok = false;
            return true;
        }
    }
    return true;
}

// Whether a step's nodes from a set where no node is below another, in
// document order, are again such a set (descendants: when none of them is
// below another).
bool keeps_flat(int32_t axis) { return axis == AXIS_CHILD || axis == AXIS_SELF; }

// Whether the function names the machine reads (sum, contains) are the
// standard functions: an application function may take their names.
bool standard_functions(const quorvel_xpath_context* c) {
    return !c->registry_borrowed && !(c->document && c->document->user_functions);
}

bool is_namespace_declaration(const char* name) {
    return !std::strncmp(name, "xmlns", 5) && (name[5] == '\0' || name[5] == ':');
}

// Whether an attribute passes the test of an attribute step.
bool attribute_matches(const test& t, const char* name, const quorvel_attribute* a) {
    if (is_namespace_declaration(name)) return false;
    switch (t.kind) {
    case VM_TEST_NAME: return !std::strchr(name, ':') && !std::strcmp(name, t.name);
    case VM_TEST_QNAME: {
        if (!t.uri) return !std::strcmp(name, t.qualified);
        const char* colon = std::strchr(name, ':');
        return !std::strcmp(colon ? colon + 1 : name, t.name) &&
               uri_equal(t.uri, quorvel_attribute_namespace_uri(const_cast<quorvel_attribute*>(a)));
    }
    case VM_TEST_ANY_ELEMENT:
    case VM_TEST_NODE: return true;
    default: return false;
    }
}

// The attribute node record the tree-walker makes for a, in one block: the
// record, then its name, value and namespace texts (which the record's
// disposal knows to leave). NULL when memory ran out.
quorvel_node* attribute_node(quorvel_element* owner, quorvel_attribute* a) {
    const char* name = quorvel_attribute_get_name(a);
    const char* value = quorvel_attribute_get_value(owner, a);
    const char* uri = quorvel_attribute_namespace_uri(a);
    if (!name) name = "";
    if (!value) value = "";
    size_t name_size = std::strlen(name) + 1, value_size = std::strlen(value) + 1;
    size_t uri_size = uri && uri[0] ? std::strlen(uri) + 1 : 0;
    auto* s = static_cast<quorvel_xpath_attribute_node*>(
        std::malloc(sizeof(quorvel_xpath_attribute_node) + name_size + value_size + uri_size));
    if (!s) return nullptr;
    char* text = reinterpret_cast<char*>(s + 1);
    s->kind = kXpathAttributeNode;
    s->owner = owner;
    s->name = static_cast<char*>(std::memcpy(text, name, name_size));
    s->value = static_cast<char*>(std::memcpy(text + name_size, value, value_size));
    s->namespace_uri = uri_size ? static_cast<char*>(std::memcpy(text + name_size + value_size, uri, uri_size)) : nullptr;
    return reinterpret_cast<quorvel_node*>(s);
}

// Calls take(element, attribute, name) for the attributes of the elements of
// input that pass the test, in document order (input being so ordered);
// false when take returned false.
template <typename F>
bool each_attribute(const nodeset* input, const test& t, F&& take) {
    for (size_t i = 0; i < input->count; i++) {
        quorvel_node* n = input->items[i];
        if (n->kind != QUORVEL_NODE_ELEMENT) continue;
        auto* e = reinterpret_cast<quorvel_element*>(n);
        for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
            const char* name = quorvel_attribute_get_name(a);
            if (!name) name = "";
            if (attribute_matches(t, name, a) && !take(e, a)) return false;
        }
    }
    return true;
}

bool add_integer_text(const char* s, int64_t* total);

// A closing attribute step: the attribute nodes of the input's elements, in
// a set that owns them (inside sum(), their values added up instead).
// Consumes input; NULL when memory ran out or a value is not a plain integer.
nodeset* attribute_step(machine& m, nodeset* input, const test& t) {
    nodeset* out = owning_set();
    bool ok = out != nullptr;
    if (ok && m.summing)
        ok = each_attribute(input, t, [&](quorvel_element* e, quorvel_attribute* a) {
            m.sum_items++;
            const char* value = quorvel_attribute_get_value(e, a);
            return add_integer_text(value ? value : "", &m.sum_total);
        });
    else if (ok)
        ok = each_attribute(input, t, [&](quorvel_element* e, quorvel_attribute* a) {
            quorvel_node* s = attribute_node(e, a);
            if (s && xpath_nodeset_add_fast(out, s)) return true;
            if (s) xpath_nodeset_dispose_node(s);
            return false;
        });
    xpath_nodeset_free(input);
    if (!ok) {
        xpath_nodeset_free(out);
        return nullptr;
    }
    return out;
}

// Runs one step (its operands at m.ip) over input, which it consumes. NULL
// when the machine declines.
nodeset* run_step(machine& m, nodeset* input, bool& flat) {
    auto axis = static_cast<int32_t>(m.u8());
    test t{m.u8(), nullptr, m.namespaces_in_use};
    size_t name = m.u16();
    uint8_t flags = m.u8();
    size_t count = m.u8();
    if (t.kind == VM_TEST_NAME) {
        const quorvel_xpath_vm_constant* k = m.constant(name);
        if (!k || !k->text) return nullptr;
        t.name = k->text;
        t.hash = quorvel_name_hash16(t.name, std::strlen(t.name));
    } else if (t.kind == VM_TEST_QNAME) {
        const quorvel_xpath_vm_constant* k = m.constant(name);
        if (!k || !k->tree || !k->tree->prefix || !k->tree->local_name || !k->tree->text) return nullptr;
        t.name = k->tree->local_name;
        t.prefix = k->tree->prefix;
        t.qualified = k->tree->text;
        t.uri = xpath_expr_prefix_uri(m.c, t.prefix, std::strlen(t.prefix));
    }
    if (axis == AXIS_ATTRIBUTE) {
        if (count) {
            xpath_nodeset_free(input);
            return nullptr;
        }
        return attribute_step(m, input, t);
    }
    predicate preds[255];
    bool all_simple = true;
    for (size_t i = 0; i < count; i++) {
        predicate& p = preds[i];
        p = predicate{m.u8(), nullptr, nullptr, 0, nullptr};
        const quorvel_xpath_vm_constant* a = nullptr;
        const quorvel_xpath_vm_constant* b = nullptr;
        switch (p.op) {
        case VM_PRED_POSITION:
            if (!(a = m.constant(m.u16()))) return nullptr;
            p.number = a->number;
            break;
        case VM_PRED_HAS_ATTR:
            if (!(a = m.constant(m.u16())) || !a->text) return nullptr;
            p.attribute = a->text;
            break;
        case VM_PRED_ATTR_EQ_STRING:
        case VM_PRED_ATTR_EQ_NUMBER:
            a = m.constant(m.u16());
            b = m.constant(m.u16());
            if (!a || !b || !a->text) return nullptr;
            p.attribute = a->text;
            p.text = b->text;
            p.number = b->number;
            if (p.op == VM_PRED_ATTR_EQ_STRING && !p.text) return nullptr;
            break;
        case VM_PRED_ATTR_EQ_VAR: {
            a = m.constant(m.u16());
            b = m.constant(m.u16());
            const quorvel_xpath_vm_constant* tree = m.constant(m.u16());
            if (!a || !b || !tree || !a->text || !b->text || !tree->tree) return nullptr;
            p.attribute = a->text;
            const quorvel_xpath_variable_binding* v = xpath_variable_find(m.c->variables, b->text);
            if (v && v->kind == XPATH_BIND_STRING) {
                p.op = VM_PRED_ATTR_EQ_STRING;
                p.text = v->value.string ? v->value.string : "";
            } else if (v && v->kind == XPATH_BIND_NUMBER) {
                p.op = VM_PRED_ATTR_EQ_NUMBER;
                p.number = v->value.number;
            } else {
                p.op = VM_PRED_TREE;
                p.tree = tree->tree;
            }
            break;
        }
        case VM_PRED_TREE:
            if (!(a = m.constant(m.u16())) || !a->tree) return nullptr;
            p.tree = a->tree;
            break;
        case VM_PRED_CONTAINS: {
            p.from_attribute = m.u8() == 1;
            a = m.constant(m.u16());
            b = m.constant(m.u16());
            const quorvel_xpath_vm_constant* tree = m.constant(m.u16());
            if (!a || !b || !tree || !a->text || !b->text || !tree->tree) return nullptr;
            if (!standard_functions(m.c)) {
                p.op = VM_PRED_TREE;
                p.tree = tree->tree;
                break;
            }
            p.attribute = a->text;
            p.text = b->text;
            p.child = test{VM_TEST_NAME, a->text, m.namespaces_in_use};
            p.child.hash = quorvel_name_hash16(a->text, std::strlen(a->text));
            p.failed = &m.failed;
            break;
        }
        default:
            return nullptr;
        }
        if (!simple(p)) all_simple = false;
    }
    // The machine's sets hold tree nodes only: nothing in them to dispose
    // of. A child step usually gives about one node per input.
    nodeset* out = axis == AXIS_CHILD && input->count > 16 ? xpath_nodeset_new_with_capacity(input->count)
                                                           : xpath_nodeset_new();
    if (!out) return nullptr;
    bool ok = true;
    quorvel_xpath_context* c = m.c;
    quorvel_node* saved_node = c->node;
    size_t saved_position = c->position, saved_size = c->size;

    // A descendant name search from the document node: the index, when the
    // document has one to read.
    bool searched = false;
    bool nested = false;  // some node kept below another one kept
    if (all_simple && input->count == 1 && t.kind == VM_TEST_NAME && !(flags & kXpathVmFromDescendants) &&
        (axis == AXIS_DESCENDANT || axis == AXIS_DESCENDANT_OR_SELF) && c->document &&
        input->items[0] == xpath_document_node(c->document)) {
        if (const quorvel_element_index* index = index_for(c->document))
            searched = search_index(index, t, preds, count, out, &ok, &nested);
    }

    // Child elements by name without predicates, the commonest step: one
    // tight loop over the sibling links.
    if (!searched && !count && axis == AXIS_CHILD && !(flags & kXpathVmFromDescendants) &&
        (t.kind == VM_TEST_NAME || t.kind == VM_TEST_ANY_ELEMENT)) {
        searched = true;
        for (size_t i = 0; ok && i < input->count; i++) {
            quorvel_node* n = input->items[i];
            if (n->kind != QUORVEL_NODE_ELEMENT && n->kind != QUORVEL_NODE_DOCUMENT) continue;
            for (quorvel_node* x = first_child(n); x; x = next_sibling(x)) {
                if (x->kind != QUORVEL_NODE_ELEMENT) continue;
                if (t.kind == VM_TEST_NAME && !test_matches(t, x)) continue;
                if (!xpath_nodeset_add_fast(out, x)) {
                    ok = false;
                    break;
                }
            }
        }
    }

    nodeset* scratch = nullptr;
    for (size_t i = 0; ok && !searched && i < input->count; i++) {
        quorvel_node* n = input->items[i];
        if (all_simple) {
            auto take = [&](quorvel_node* x) {
                if (!all_pass(preds, count, x)) return 0;
                return (ok = xpath_nodeset_add_fast(out, x) != 0) ? 1 : -1;
            };
            if (flags & kXpathVmFromDescendants) {
                auto from = [&](quorvel_node* x) { return !has_children(x) || each_on_axis(axis, t, x, take) ? 0 : -1; };
                each_on_axis(AXIS_DESCENDANT_OR_SELF, test{VM_TEST_NODE, nullptr, false}, n, from);
            } else {
                each_on_axis(axis, t, n, take, &nested);
            }
            continue;
        }
        // Predicates that count positions or need the tree-walker: the
        // step's nodes from each input in axis order, filtered in turn.
        if (!scratch && !(scratch = xpath_nodeset_new())) {
            ok = false;
            break;
        }
        nested = true;  // not followed through the predicates
        auto one = [&](quorvel_node* x) {
            scratch->count = 0;
            each_on_axis(axis, t, x,
                         [&](quorvel_node* y) { return (ok = xpath_nodeset_add_fast(scratch, y) != 0) ? 1 : -1; });
            for (size_t p = 0; ok && p < count && scratch->count; p++) ok = filter(m, scratch, preds[p]);
            for (size_t k = 0; ok && k < scratch->count; k++) ok = xpath_nodeset_add_fast(out, scratch->items[k]) != 0;
            return ok;
        };
        if (flags & kXpathVmFromDescendants)
            each_on_axis(AXIS_DESCENDANT_OR_SELF, test{VM_TEST_NODE, nullptr, false}, n,
                         [&](quorvel_node* x) { return !has_children(x) || one(x) ? 0 : -1; });
        else
            one(n);
    }
    c->node = saved_node;
    c->position = saved_position;
    c->size = saved_size;
    if (m.failed) ok = false;
    if (scratch) xpath_nodeset_free(scratch);
    size_t inputs = input->count;
    xpath_nodeset_free(input);
    bool descends = axis == AXIS_DESCENDANT || axis == AXIS_DESCENDANT_OR_SELF;
    bool ordered = !(flags & kXpathVmFromDescendants) && flat && (keeps_flat(axis) || descends);
    if (ok && out->count > 1 && (!ordered && (inputs > 1 || (flags & kXpathVmFromDescendants))))
        ok = xpath_nodeset_sort_doc_order(c, out);
    if (!ok) {
        xpath_nodeset_free(out);
        return nullptr;
    }
    // Children of nodes none of which is below another are again such
    // nodes; so are descendants when none kept lies below another.
    flat = flat && !(flags & kXpathVmFromDescendants) && (keeps_flat(axis) || (descends && !nested));
    return out;
}

// The root of the context node's tree, as an absolute path starts from it.
quorvel_node* root_of(quorvel_xpath_context* c) {
    quorvel_node* top = c->node;
    while (quorvel_node* p = parent_of(top)) top = p;
    if (top->kind == QUORVEL_NODE_DOCUMENT) return top;
    quorvel_document* doc = node_public_document(top);
    if (doc && top == reinterpret_cast<quorvel_node*>(doc->root))
        if (quorvel_node* d = xpath_document_node(doc)) return d;
    return top;
}

// Runs one path (its start instruction at m.ip) to its VM_END: a set that
// owns whatever synthetic nodes it holds, or NULL when the machine declines.
nodeset* run_path(machine& m) {
    quorvel_xpath_context* c = m.c;
    nodeset* current = owning_set();
    if (!current) return nullptr;
    uint8_t start_op = m.u8();
    if (start_op != VM_ROOT && start_op != VM_CONTEXT) {
        xpath_nodeset_free(current);
        return nullptr;
    }
    quorvel_node* start = start_op == VM_ROOT ? root_of(c) : c->node;
    if (!xpath_nodeset_add_fast(current, start)) {
        xpath_nodeset_free(current);
        return nullptr;
    }
    bool flat = true;
    while (current) {
        uint8_t op = m.u8();
        if (op == VM_END) break;
        if (op != VM_STEP) {
            xpath_nodeset_free(current);
            return nullptr;
        }
        current = run_step(m, current, flat);
    }
    // Only a closing attribute step gives a set that owns its nodes: the
    // others hold tree nodes, which freeing the set need not visit.
    return current;
}

// Adds a text that is a plain integer ("-" and up to 18 digits) to the
// total: the one case where sum() of untyped values is an exact integer
// that the machine reaches without the function library. False for any
// other text (or an overflow): the machine then declines.
bool add_integer_text(const char* s, int64_t* total) {
    bool negative = *s == '-';
    if (negative) s++;
    if (!*s) return false;
    int64_t v = 0;
    for (size_t digits = 0; *s; s++) {
        if (*s < '0' || *s > '9' || ++digits > 18) return false;
        v = v * 10 + (*s - '0');
    }
    return !__builtin_add_overflow(*total, negative ? -v : v, total);
}

// sum() of a path whose nodes are attributes or elements holding plain
// integers; NULL (decline) for anything else.
quorvel_xpath_result* run_sum(machine& m) {
    if (!standard_functions(m.c)) return nullptr;
    m.summing = true;
    nodeset* s = run_path(m);
    if (!s) return nullptr;
    int64_t total = m.sum_total;
    bool ok = true;
    for (size_t i = 0; ok && i < s->count; i++) {
        quorvel_node* n = s->items[i];
        if (n->kind == kXpathAttributeNode) {
            ok = add_integer_text(reinterpret_cast<quorvel_xpath_attribute_node*>(n)->value, &total);
        } else if (n->kind == QUORVEL_NODE_ELEMENT) {
            quorvel_node* text = quorvel_elem_first_child_raw(reinterpret_cast<const quorvel_element*>(n));
            ok = text && text->kind == QUORVEL_NODE_TEXT && !next_sibling(text);
            const char* content = ok ? quorvel_text_node_get_content(text) : nullptr;
            ok = content && add_integer_text(content, &total);
        } else {
            ok = false;
        }
    }
    size_t items = s->count + m.sum_items;
    xpath_nodeset_free(s);
    if (!ok) return nullptr;
    quorvel_xpath_result* r = xpath_result_new(XPATH_NUMBER);
    if (!r) return nullptr;
    r->value.number = static_cast<double>(total);
    if (items) {
        r->exact_integer_set = 1;
        r->exact_integer = total;
    }
    return r;
}

// Merges sets each in document order into out, in document order, each node
// once: one walk of the tree from top, taking at every node the heads of the
// sets that stand there (attributes after their owner, in the owner's order).
// Consumes the sets' items; false when memory ran out or a node was not met.
bool merge_in_order(nodeset** sets, size_t count, quorvel_node* top, nodeset* out) {
    size_t heads[255] = {};
    size_t left = 0;
    for (size_t i = 0; i < count; i++) left += sets[i]->count;
    auto take = [&](size_t i, bool keep) {
        quorvel_node* n = sets[i]->items[heads[i]];
        sets[i]->items[heads[i]++] = nullptr;
        left--;
        if (keep) return xpath_nodeset_add_fast(out, n) != 0 || (xpath_nodeset_dispose_node(n), false);
        xpath_nodeset_dispose_node(n);
        return true;
    };
    long depth = 1;
    auto visit = [&](quorvel_node* x) {
        bool kept = false;
        for (size_t i = 0; i < count; i++)
            if (heads[i] < sets[i]->count && sets[i]->items[heads[i]] == x) {
                if (!take(i, !kept)) return false;
                kept = true;
            }
        if (x->kind != QUORVEL_NODE_ELEMENT) return true;
        auto* e = reinterpret_cast<quorvel_element*>(x);
        for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
            const char* name = quorvel_attribute_get_name(a);
            bool taken = false;
            for (size_t i = 0; i < count; i++) {
                if (heads[i] >= sets[i]->count) continue;
                quorvel_node* h = sets[i]->items[heads[i]];
                if (h->kind != kXpathAttributeNode) continue;
                auto* an = reinterpret_cast<quorvel_xpath_attribute_node*>(h);
                if (an->owner != e || !name || std::strcmp(an->name, name) != 0) continue;
                if (!take(i, !taken)) return false;
                taken = true;
            }
        }
        return true;
    };
    if (!visit(top)) return false;
    for (quorvel_node* x = first_child(top); x && left; x = next_in_subtree(x, top, depth))
        if (!visit(x)) return false;
    return left == 0;
}

// A union of paths: their nodes in document order, each once.
quorvel_xpath_result* run_union(machine& m) {
    size_t count = m.u8();
    nodeset* sets[255];
    size_t made = 0;
    bool ok = true;
    for (; ok && made < count; made++)
        if (!(sets[made] = run_path(m))) ok = false;
    if (!ok) made--;
    nodeset* out = ok ? owning_set() : nullptr;
    if (out) ok = merge_in_order(sets, made, root_of(m.c), out);
    for (size_t i = 0; i < made; i++) {
        // Items merged were taken out (NULL); the rest are disposed of.
        nodeset* s = sets[i];
        size_t k = 0;
        for (size_t j = 0; j < s->count; j++)
            if (s->items[j]) s->items[k++] = s->items[j];
        s->count = k;
        s->owns_attributes = 1;
        xpath_nodeset_free(s);
    }
    if (!out || !ok) {
        xpath_nodeset_free(out);
        return nullptr;
    }
    quorvel_xpath_result* r = xpath_result_new(XPATH_NODESET);
    if (!r) {
        xpath_nodeset_free(out);
        return nullptr;
    }
    r->value.nodeset = out;
    return r;
}

quorvel_xpath_result* run(machine& m) {
    if (*m.ip == VM_SUM) {
        m.ip++;
        return run_sum(m);
    }
    if (*m.ip == VM_UNION) {
        m.ip++;
        return run_union(m);
    }
    nodeset* current = run_path(m);
    if (!current) return nullptr;
    quorvel_xpath_result* r = xpath_result_new(XPATH_NODESET);
    if (!r) {
        xpath_nodeset_free(current);
        return nullptr;
    }
    r->value.nodeset = current;
    return r;
}

}  // namespace

void xpath_vm_set_enabled(int enabled) { __atomic_store_n(&g_vm_enabled, enabled ? 1 : 0, __ATOMIC_RELAXED); }

int xpath_vm_enabled() { return __atomic_load_n(&g_vm_enabled, __ATOMIC_RELAXED); }

namespace {

// Runs one program; on a decline the context is left as it was found.
quorvel_xpath_result* run_program(const quorvel_xpath_program* program, quorvel_xpath_context* c) {
    // Synthetic context nodes keep their own identities in the tree-walker.
    if (!c->node || !is_item(c->node) || is_synthetic(c->node)) return nullptr;
    machine m{c, program, program->code, !c->document || c->document->namespaces_in_use != 0};
    int32_t depth = c->depth;
    char error[sizeof c->error], code[sizeof c->error_code];
    std::memcpy(error, c->error, sizeof error);
    std::memcpy(code, c->error_code, sizeof code);
    c->error[0] = '\0';
    quorvel_xpath_result* r = run(m);
    if (!r) {
        // An evaluation inside failed: the tree-walker will meet the same
        // failure, and need not meet it once more for every enclosing path.
        if (c->error[0]) c->vm_declined = 1;
        std::memcpy(c->error, error, sizeof error);
        std::memcpy(c->error_code, code, sizeof code);
        c->depth = depth;
    }
    return r;
}

}  // namespace

quorvel_xpath_result* xpath_vm_run(quorvel_xpath_tree* tree, quorvel_xpath_context* c) {
    if (!tree || !c || !tree->root || !xpath_vm_enabled() || c->vm_declined) return nullptr;
    const program_table* t = table_of(tree);
    const quorvel_xpath_program* program = t ? table_find(t, tree->root) : nullptr;
    if (!program || !program->length) return nullptr;
    return run_program(program, c);
}

quorvel_xpath_result* xpath_vm_run_path(quorvel_xpath_context* c, const quorvel_xpath_ast_node* path) {
    quorvel_xpath_tree* tree = c->tree;
    if (!tree || c->vm_declined || !xpath_vm_enabled()) return nullptr;
    // The public calls have offered the whole tree to the machine already.
    if (path == tree->root && c->depth <= 1) return nullptr;
    const program_table* t = table_of(tree);
    const quorvel_xpath_program* program = t ? table_find(t, path) : nullptr;
    if (!program || !program->length) return nullptr;
    quorvel_xpath_result* r = run_program(program, c);
    // The tree-walker's operators may add synthetic nodes to a set they are
    // handed: the set owns whatever joins it.
    if (r && r->kind == XPATH_NODESET && r->value.nodeset) {
        nodeset* s = r->value.nodeset;
        s->owns_attributes = s->owns_namespaces = s->owns_carriers = 1;
    }
    return r;
}

size_t xpath_vm_path_count(const quorvel_xpath_ast_node* root) {
    program_table* t = root ? table_build(root) : nullptr;
    size_t n = t ? t->count : 0;
    table_free(t);
    return n;
}
