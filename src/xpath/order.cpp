// Document order: ranks of a document's nodes (built once per evaluation
// with an explicit-stack walk) and the sort with duplicate removal.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "xpath/xpath.h"

struct quorvel_xpath_rank_table {
    const quorvel_node** keys;  // open addressing; NULL = empty
    uint64_t* ranks;
    size_t mask;
    const quorvel_node* document_node;
};

namespace {

size_t slot_of(const quorvel_node* n, size_t mask) {
    uintptr_t a = reinterpret_cast<uintptr_t>(n);
    return static_cast<size_t>((a >> 3) * 0x9E3779B97F4A7C15ull >> 17) & mask;
}

bool table_put(quorvel_xpath_rank_table* t, const quorvel_node* n, uint64_t rank) {
    size_t i = slot_of(n, t->mask);
    while (t->keys[i]) {
        if (t->keys[i] == n) return true;
        i = (i + 1) & t->mask;
    }
    t->keys[i] = n;
    t->ranks[i] = rank;
    return true;
}

bool table_get(const quorvel_xpath_rank_table* t, const quorvel_node* n, uint64_t* rank) {
    size_t i = slot_of(n, t->mask);
    while (t->keys[i]) {
        if (t->keys[i] == n) {
            *rank = t->ranks[i];
            return true;
        }
        i = (i + 1) & t->mask;
    }
    return false;
}

// Calls visit for every node below docnode in document order, with no
// memory and no recursion: down to the first child, else along, else up.
template <typename Visit>
void for_each_below(const quorvel_node* docnode, Visit&& visit) {
    quorvel_node* n = quorvel_node_first_child(docnode);
    while (n) {
        visit(n);
        quorvel_node* down = n->kind == QUORVEL_NODE_ELEMENT ? quorvel_node_first_child(n) : nullptr;
        if (down) {
            n = down;
            continue;
        }
        while (n) {
            if (quorvel_node* next = quorvel_node_next_sibling(n)) {
                n = next;
                break;
            }
            n = reinterpret_cast<quorvel_node*>(quorvel_node_parent(n));
        }
    }
}

size_t count_nodes(const quorvel_node* docnode) {
    size_t count = 1;
    for_each_below(docnode, [&](quorvel_node*) { count++; });
    return count;
}

quorvel_xpath_rank_table* build_table(quorvel_node* docnode) {
    size_t count = count_nodes(docnode);
    size_t capacity = 16;
    while (capacity < count * 2) capacity <<= 1;
    auto* t = static_cast<quorvel_xpath_rank_table*>(std::calloc(1, sizeof(quorvel_xpath_rank_table)));
    if (!t) return nullptr;
    t->keys = static_cast<const quorvel_node**>(std::calloc(capacity, sizeof(quorvel_node*)));
    t->ranks = static_cast<uint64_t*>(std::malloc(capacity * sizeof(uint64_t)));
    if (!t->keys || !t->ranks) {
        xpath_rank_table_free(t);
        return nullptr;
    }
    t->mask = capacity - 1;
    t->document_node = docnode;
    uint64_t rank = 0;
    table_put(t, docnode, rank++);
    for_each_below(docnode, [&](quorvel_node* n) { table_put(t, n, rank++); });
    return t;
}

struct sort_key {
    uint64_t primary;    // rank of the node, or of the owner of a synthetic node
    uint64_t secondary;  // 0 the node itself, 1+ namespace nodes, 2^32+ attributes
    uintptr_t tiebreak;  // nodes outside the table: address
    quorvel_node* node;
};

bool key_less(const sort_key& a, const sort_key& b) {
    if (a.primary != b.primary) return a.primary < b.primary;
    if (a.secondary != b.secondary) return a.secondary < b.secondary;
    return a.tiebreak < b.tiebreak;
}

// Position of an attribute among its owner's attributes (by name), or of a
// namespace node among the in-scope prefixes (by prefix bytes: namespace
// nodes have no order of their own).
uint64_t attribute_index(const quorvel_xpath_attribute_node* a) {
    uint64_t i = 1;
    for (quorvel_attribute* r = quorvel_element_first_attribute(a->owner); r; r = quorvel_attribute_next(r), i++)
        if (!std::strcmp(quorvel_attribute_get_name(r), a->name)) return i;
    return i;
}

uint64_t owner_rank(const quorvel_xpath_rank_table* t, const quorvel_node* n, uintptr_t* tiebreak) {
    uint64_t r;
    if (t && table_get(t, n, &r)) return r;
    // Not in the context document: after it, grouped by the record address.
    *tiebreak = reinterpret_cast<uintptr_t>(n);
    return UINT64_MAX - 1;
}

sort_key key_of(const quorvel_xpath_rank_table* t, quorvel_node* n) {
    sort_key k{0, 0, 0, n};
    switch (n->kind) {
    case kXpathAttributeNode: {
        auto* a = reinterpret_cast<quorvel_xpath_attribute_node*>(n);
        if (!a->owner) {
            k.primary = UINT64_MAX;
            k.tiebreak = reinterpret_cast<uintptr_t>(n);
            break;
        }
        k.primary = owner_rank(t, reinterpret_cast<quorvel_node*>(a->owner), &k.tiebreak);
        k.secondary = (uint64_t(1) << 32) + attribute_index(a);
        break;
    }
    case kXpathNamespaceNode: {
        auto* s = reinterpret_cast<quorvel_xpath_namespace_node*>(n);
        if (!s->parent) {
            k.primary = UINT64_MAX;
            k.tiebreak = reinterpret_cast<uintptr_t>(n);
            break;
        }
        k.primary = owner_rank(t, reinterpret_cast<quorvel_node*>(s->parent), &k.tiebreak);
        // Prefix bytes as a number keep equal prefixes together.
        uint64_t v = 0;
        for (int i = 0; i < 3 && s->prefix && s->prefix[i]; i++) v |= uint64_t(uint8_t(s->prefix[i])) << (16 - 8 * i);
        k.secondary = 1 + v;
        break;
    }
    case kXpathCarrierNode:
        k.primary = UINT64_MAX;
        k.tiebreak = reinterpret_cast<uintptr_t>(n);
        break;
    default:
        k.primary = owner_rank(t, n, &k.tiebreak);
        break;
    }
    return k;
}

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
        return x->parent && x->parent == y->parent && !std::strcmp(x->prefix ? x->prefix : "", y->prefix ? y->prefix : "");
    }
    return false;
}

}  // namespace

void xpath_rank_table_free(quorvel_xpath_rank_table* table) {
    if (!table) return;
    std::free(table->keys);
    std::free(table->ranks);
    std::free(table);
}

bool xpath_nodeset_sort_doc_order(quorvel_xpath_context* context, quorvel_xpath_node_set* set) {
    if (!set || set->count < 2) return true;
    if (context && !context->ranks && context->document) {
        quorvel_node* docnode = xpath_document_node(context->document);
        if (docnode) {
            context->ranks = build_table(docnode);
            if (!context->ranks) return false;
        }
    }
    const quorvel_xpath_rank_table* table = context ? context->ranks : nullptr;
    auto* keys = static_cast<sort_key*>(std::malloc(set->count * sizeof(sort_key)));
    if (!keys) return false;
    size_t n = 0;
    for (size_t i = 0; i < set->count; i++)
        if (reinterpret_cast<uintptr_t>(set->items[i]) > kXpathLowestItem) {
            keys[n] = key_of(table, set->items[i]);
            // Atomic values have no document position: they keep their order.
            if (set->items[i]->kind == kXpathCarrierNode) keys[n].tiebreak = i;
            n++;
        }
    std::sort(keys, keys + n, key_less);
    size_t out = 0;
    for (size_t i = 0; i < n; i++) {
        quorvel_node* node = keys[i].node;
        if (out && keys[i].primary == keys[i - 1].primary && same_node(set->items[out - 1], node)) {
            bool owned = (node->kind == kXpathAttributeNode && set->owns_attributes) ||
                         (node->kind == kXpathNamespaceNode && set->owns_namespaces) ||
                         (node->kind == kXpathCarrierNode && set->owns_carriers);
            if (owned && node != set->items[out - 1]) xpath_nodeset_dispose_node(node);
            continue;
        }
        set->items[out++] = node;
    }
    set->count = out;
    std::free(keys);
    return true;
}
