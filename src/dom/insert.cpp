// Putting nodes into trees: the linking step every append goes through (with
// the document's last-child cache), adoption of nodes from other documents,
// append, prepend, insert before and after (also among the top-level nodes),
// create child, set text, the first-leaf text and the copy-and-link forms.
// Every operation checks everything it can refuse before it moves a node,
// so a refusal leaves both trees as they were.
#include <cstring>

#include "dom/dom.h"

namespace {

inline bool is_element(const quorvel_node* n) { return n && n->kind == QUORVEL_NODE_ELEMENT; }
inline quorvel_element* as_element(quorvel_node* n) { return reinterpret_cast<quorvel_element*>(n); }
inline quorvel_node* as_node(quorvel_element* e) { return reinterpret_cast<quorvel_node*>(e); }

// True when candidate is e or one of e's ancestors: linking candidate below
// e would close a cycle. Every ancestor is looked at, however deep the tree.
bool is_self_or_ancestor(const quorvel_node* candidate, const quorvel_node* e) {
    // An ancestor has children: a leaf, or an element without children (a
    // fresh one, the usual case), needs no walk.
    if (candidate != e && (candidate->kind != QUORVEL_NODE_ELEMENT ||
                           reinterpret_cast<const quorvel_element*>(candidate)->first_child == 0))
        return false;
    for (const quorvel_node* a = e; a; a = quorvel_node_parent_raw(a))
        if (a == candidate) return true;
    return false;
}

quorvel_last_child_slot& cache_slot(quorvel_document* doc, const quorvel_element* parent) {
    return doc->last_child_cache[(reinterpret_cast<uintptr_t>(parent) >> 4) & 63];
}

// True while a cache slot still describes its parent's last child.
bool slot_valid(const quorvel_last_child_slot& slot) {
    return slot.parent && slot.last && quorvel_node_parent_raw(slot.last) == as_node(slot.parent) &&
           !quorvel_node_next_raw(slot.last);
}

// Slots are shared by every parent whose address maps there. A parent with
// fewer element children does not push out a longer list that is still
// valid: losing a short list costs a short walk, losing a long one a long
// walk at each of its next appends.
void remember_last_child(quorvel_document* doc, quorvel_element* p, quorvel_node* k) {
    quorvel_last_child_slot& slot = cache_slot(doc, p);
    if (slot.parent != p && slot_valid(slot) && slot.parent->child_count > p->child_count) return;
    slot = quorvel_last_child_slot{p, k};
}

// P's last child: the hint, else the cache while it still describes P's
// last child, else a walk.
quorvel_node* last_child_of(quorvel_element* p, quorvel_document* doc, quorvel_node* hint) {
    if (hint) return hint;
    if (doc) {
        quorvel_last_child_slot& slot = cache_slot(doc, p);
        if (slot.parent == p && slot_valid(slot)) return slot.last;
    }
    quorvel_node* last = nullptr;
    for (quorvel_node* c = quorvel_elem_first_child_raw(p); c && tree_linkable(c); c = quorvel_node_next_raw(c))
        last = c;
    return last;
}

// Links a detached node k as p's last child. False (k still detached, p
// unchanged) when a link cannot be recorded.
bool link_last(quorvel_element* p, quorvel_node* k, quorvel_document* doc, quorvel_node* hint) {
    quorvel_node* last = last_child_of(p, doc, hint);
    int32_t* parent_field = quorvel_node_parent_field(k);
    if (!tree_link_write(k, parent_field, p, doc)) return false;
    bool ok = last ? tree_link_write(last, quorvel_node_sibling_field(last), k, doc)
                   : tree_link_write(p, &p->first_child, k, doc);
    if (!ok) {
        *parent_field = 0;
        return false;
    }
    *quorvel_node_sibling_field(k) = 0;
    if (k->kind == QUORVEL_NODE_ELEMENT) quorvel_element_child_count_inc(p);
    if (doc) remember_last_child(doc, p, k);
    p->head.flags += kModStep;
    return true;
}

// Links a detached node k into p's list right behind prev (at the front when
// prev is NULL). False, with nothing changed, when a link cannot be recorded.
bool link_after(quorvel_element* p, quorvel_node* prev, quorvel_node* k, quorvel_document* doc) {
    int32_t* parent_field = quorvel_node_parent_field(k);
    int32_t* sibling_field = quorvel_node_sibling_field(k);
    quorvel_node* next = prev ? quorvel_node_next_raw(prev) : quorvel_elem_first_child_raw(p);
    if (!tree_link_write(k, parent_field, p, doc)) return false;
    if (!tree_link_write(k, sibling_field, next, doc)) {
        *parent_field = 0;
        return false;
    }
    bool ok = prev ? tree_link_write(prev, quorvel_node_sibling_field(prev), k, doc)
                   : tree_link_write(p, &p->first_child, k, doc);
    if (!ok) {
        *parent_field = 0;
        *sibling_field = 0;
        return false;
    }
    if (k->kind == QUORVEL_NODE_ELEMENT) quorvel_element_child_count_inc(p);
    p->head.flags += kModStep;
    tree_structure_changed(p, doc);
    return true;
}

// The element among doc's top-level nodes (the root while the list is
// empty), NULL when there is none.
quorvel_node* top_level_element(const quorvel_document* doc) {
    if (!doc->first_top) return reinterpret_cast<quorvel_node*>(doc->root ? doc->root : doc->secondary_root);
    for (quorvel_node* n = doc->first_top; n && tree_linkable(n); n = quorvel_node_next_raw(n))
        if (is_element(n)) return n;
    return nullptr;
}

// Links a detached node k into doc's top-level list behind prev (first when
// prev is NULL). An empty list that stood for the root alone is made real.
bool link_top_level_after(quorvel_document* doc, quorvel_node* prev, quorvel_node* k) {
    if (k->kind != QUORVEL_NODE_ELEMENT && !tree_set_leaf_owner(k, doc)) return false;
    if (!doc->first_top) {
        quorvel_node* root = reinterpret_cast<quorvel_node*>(doc->root ? doc->root : doc->secondary_root);
        doc->first_top = doc->last_top = root;
    }
    quorvel_node* next = prev ? quorvel_node_next_raw(prev) : doc->first_top;
    int32_t* sibling_field = quorvel_node_sibling_field(k);
    if (!tree_link_write(k, sibling_field, next, doc)) return false;
    if (prev) {
        if (!tree_link_write(prev, quorvel_node_sibling_field(prev), k, doc)) {
            *sibling_field = 0;
            return false;
        }
    } else {
        doc->first_top = k;
    }
    if (!next) doc->last_top = k;
    tree_top_level_changed(doc);
    return true;
}

// The leaf x made again in target, alone: its siblings stay where they are.
quorvel_node* copy_leaf(const quorvel_node* x, quorvel_document* target) {
    quorvel_node* copy = tree_copy_leaf(x, target->pool, target);
    if (copy && !tree_set_leaf_owner(copy, target)) return nullptr;
    return copy;
}

// Insert before or after reference r (after: r's successor becomes n's).
quorvel_status insert_near(quorvel_node* r, quorvel_node* n, bool after, bool adopt) {
    if (!r || !n) return QUORVEL_ERR_NULL_ARGUMENT;
    if (n == r || !tree_linkable(n) || !tree_linkable(r)) return QUORVEL_ERR_INVALID_ARGUMENT;
    quorvel_node* p = quorvel_node_parent_raw(r);
    if (is_element(n) && p && is_self_or_ancestor(n, p)) return QUORVEL_ERR_INVALID_ARGUMENT;

    if (p) {
        auto* parent = as_element(p);
        quorvel_document* doc = quorvel_element_get_document(parent);
        // Inserting after r needs no walk: every operation keeps parent links
        // true, so r is in p's list. Before r, its predecessor is needed.
        quorvel_node* prev = nullptr;
        if (!after) {
            bool found = false;
            for (quorvel_node* c = quorvel_elem_first_child_raw(parent); c && tree_linkable(c);
                 c = quorvel_node_next_raw(c)) {
                if (c == r) {
                    found = true;
                    break;
                }
                prev = c;
            }
            if (!found) return QUORVEL_ERR_INVALID_ARGUMENT;
        }
        quorvel_node* m = adopt ? adopt_for_splice(n, doc) : n;
        if (!m) return QUORVEL_ERR_MEMORY;
        if (m == n) {
            bool sibling = quorvel_node_parent_raw(n) == p;
            if (quorvel_status st = tree_detach(n, false); st != QUORVEL_OK) return st;
            if (sibling && !after) {
                // n left the same list: r's predecessor may have changed.
                prev = nullptr;
                for (quorvel_node* c = quorvel_elem_first_child_raw(parent); c && c != r; c = quorvel_node_next_raw(c))
                    prev = c;
            }
        }
        return link_after(parent, after ? r : prev, m, doc) ? QUORVEL_OK : QUORVEL_ERR_MEMORY;
    }

    // A reference without a parent: a top-level node of its document. One
    // that is in no list at all (detached) has no siblings to go among.
    quorvel_document* doc = tree_node_document(r);
    quorvel_node* prev;
    if (!doc || !tree_top_level_find(doc, r, &prev)) return QUORVEL_ERR_INVALID_ARGUMENT;
    // A document has one top-level element: only that element itself may
    // move among its top-level siblings.
    if (is_element(n) && top_level_element(doc) != n) return QUORVEL_ERR_INVALID_ARGUMENT;
    quorvel_node* m = adopt ? adopt_for_splice(n, doc) : n;
    if (!m) return QUORVEL_ERR_MEMORY;
    if (m == n) {
        quorvel_node* ignored;
        bool top_level = !quorvel_node_parent_raw(n) && tree_top_level_find(doc, n, &ignored);
        if (quorvel_status st = tree_detach(n, top_level); st != QUORVEL_OK) return st;
        if (top_level && !tree_top_level_find(doc, r, &prev)) return QUORVEL_ERR_INVALID_ARGUMENT;
    }
    return link_top_level_after(doc, after ? r : prev, m) ? QUORVEL_OK : QUORVEL_ERR_MEMORY;
}

quorvel_status append_node(quorvel_element* p, quorvel_node* k) {
    if (!p || !k) return QUORVEL_ERR_NULL_ARGUMENT;
    if (!is_element(as_node(p)) || k == as_node(p)) return QUORVEL_ERR_INVALID_ARGUMENT;
    if (!tree_linkable(k)) return QUORVEL_OK;  // nothing that could be a child: nothing to do
    if (is_element(k) && is_self_or_ancestor(k, as_node(p))) return QUORVEL_ERR_INVALID_ARGUMENT;
    quorvel_document* doc = quorvel_element_get_document(p);
    quorvel_node* m = adopt_for_splice(k, doc);
    if (!m) return QUORVEL_ERR_MEMORY;
    if (m == k) {
        if (quorvel_status st = tree_detach(k, false); st != QUORVEL_OK) return st;
    }
    if (!link_last(p, m, doc, nullptr)) return QUORVEL_ERR_MEMORY;
    tree_structure_changed(p, doc);
    return QUORVEL_OK;
}

quorvel_status prepend_node(quorvel_element* p, quorvel_node* k, bool adopt) {
    if (!p || !k) return QUORVEL_ERR_NULL_ARGUMENT;
    if (!is_element(as_node(p)) || is_self_or_ancestor(k, as_node(p))) return QUORVEL_ERR_INVALID_ARGUMENT;
    if (!tree_linkable(k)) return QUORVEL_OK;
    quorvel_document* doc = quorvel_element_get_document(p);
    quorvel_node* m = adopt ? adopt_for_splice(k, doc) : k;
    if (!m) return QUORVEL_ERR_MEMORY;
    if (m == k) {
        if (quorvel_status st = tree_detach(k, false); st != QUORVEL_OK) return st;
    }
    return link_after(p, nullptr, m, doc) ? QUORVEL_OK : QUORVEL_ERR_MEMORY;
}

// The target parent's document, when it can hold a copy.
quorvel_document* copy_target(const quorvel_element* parent) {
    quorvel_document* doc = quorvel_element_get_document(parent);
    return doc && doc->pool ? doc : nullptr;
}

quorvel_element* make_copy(const quorvel_element* source, quorvel_document* doc) {
    if (!is_element(reinterpret_cast<const quorvel_node*>(source)) || !doc) return nullptr;
    return copy_subtree_detached(source, nullptr, doc->pool, doc);
}

}  // namespace

quorvel_node* adopt_for_splice(quorvel_node* x, quorvel_document* target) {
    if (!x) return nullptr;
    if (!target) return x;
    if (x->kind == QUORVEL_NODE_ELEMENT) {
        auto* e = as_element(x);
        quorvel_document* home = quorvel_element_get_document(e);
        if (!home || home == target || home->owner == target) return x;
        return as_node(quorvel_element_copy(e, target));
    }
    quorvel_node* top = x;
    while (quorvel_node* up = quorvel_node_parent_raw(top)) top = up;
    quorvel_document* home = tree_node_document(top);
    if (!home || home == target || home->owner == target) return x;
    return copy_leaf(x, target);
}

void quorvel_element_append_child_hint_doc(quorvel_element* parent, quorvel_node* child, quorvel_document* doc,
                                           quorvel_node* last_child) {
    if (!parent || !child || !is_element(as_node(parent)) || !tree_linkable(child)) return;
    if (quorvel_node_parent_raw(child) && tree_unlink(child) != QUORVEL_OK) return;
    link_last(parent, child, doc, last_child);
}

void quorvel_element_append_child_internal_doc(quorvel_element* parent, quorvel_node* child, quorvel_document* doc) {
    quorvel_element_append_child_hint_doc(parent, child, doc, nullptr);
}

extern "C" {

QUORVEL_API quorvel_status quorvel_element_append_child(quorvel_element* parent, quorvel_node* child) {
    return append_node(parent, child);
}

QUORVEL_API quorvel_status quorvel_element_add_child_addr(quorvel_element* parent, quorvel_node* child) {
    if (!parent || !child) return QUORVEL_ERR_NULL_ARGUMENT;
    return append_node(parent, child);
}

QUORVEL_API quorvel_status quorvel_element_add_child_addr_installed(quorvel_element* parent, quorvel_node* child,
                                                                    quorvel_node** installed) {
    if (!parent || !child) return QUORVEL_ERR_NULL_ARGUMENT;
    if (installed) *installed = child;
    if (!is_element(as_node(parent))) return QUORVEL_ERR_INVALID_ARGUMENT;
    quorvel_document* doc = quorvel_element_get_document(parent);
    if (tree_node_document(child) == doc) return append_node(parent, child);
    if (!tree_linkable(child)) return QUORVEL_OK;
    if (is_element(child) && is_self_or_ancestor(child, as_node(parent))) return QUORVEL_ERR_INVALID_ARGUMENT;
    quorvel_node* m = adopt_for_splice(child, doc);
    if (!m) return QUORVEL_ERR_MEMORY;
    quorvel_status st = append_node(parent, m);
    if (st == QUORVEL_OK && installed) *installed = m;
    return st;
}

QUORVEL_API quorvel_element* quorvel_element_create_child(quorvel_element* parent, const char* name) {
    if (!parent || !name || !is_element(as_node(parent))) return nullptr;
    quorvel_document* doc = quorvel_element_get_document(parent);
    if (!doc || !doc->pool) return nullptr;
    quorvel_element* e = quorvel_element_create(doc, name);
    if (!e || !link_last(parent, as_node(e), doc, nullptr)) return nullptr;
    tree_structure_changed(parent, doc);
    return e;
}

QUORVEL_API quorvel_status quorvel_element_prepend_child(quorvel_element* parent, quorvel_node* child) {
    return prepend_node(parent, child, true);
}

QUORVEL_API quorvel_status quorvel_element_insert_before(quorvel_node* reference, quorvel_node* node) {
    return insert_near(reference, node, false, true);
}

QUORVEL_API quorvel_status quorvel_element_insert_after(quorvel_node* reference, quorvel_node* node) {
    return insert_near(reference, node, true, true);
}

QUORVEL_API quorvel_status quorvel_element_set_text(quorvel_element* element, const char* text) {
    if (!element) return QUORVEL_ERR_NULL_ARGUMENT;
    if (!is_element(as_node(element))) return QUORVEL_ERR_INVALID_ARGUMENT;
    quorvel_element_remove_all_children(as_node(element));
    if (!text) return QUORVEL_OK;
    quorvel_document* doc = quorvel_element_get_document(element);
    quorvel_text* t = quorvel_text_create(text, std::strlen(text), doc ? doc->pool : nullptr, doc);
    if (!t || !link_last(element, reinterpret_cast<quorvel_node*>(t), doc, nullptr)) return QUORVEL_ERR_MEMORY;
    tree_structure_changed(element, doc);
    return QUORVEL_OK;
}

QUORVEL_API const char* quorvel_element_child_value(const quorvel_element* element) {
    if (!element || !is_element(reinterpret_cast<const quorvel_node*>(element))) return nullptr;
    const quorvel_node* n = quorvel_elem_first_child_raw(element);
    while (n) {
        switch (n->kind) {
            case QUORVEL_NODE_ELEMENT: n = quorvel_elem_first_child_raw(reinterpret_cast<const quorvel_element*>(n)); break;
            case QUORVEL_NODE_TEXT: {
                auto* t = reinterpret_cast<const quorvel_text*>(n);
                const char* content = quorvel_text_link_get(t, &t->content);
                return content ? content : "";
            }
            case QUORVEL_NODE_CDATA: return reinterpret_cast<const quorvel_comment*>(n)->content;
            default: return nullptr;
        }
    }
    return nullptr;
}

QUORVEL_API quorvel_element* quorvel_element_append_copy(quorvel_element* parent, const quorvel_element* source) {
    if (!parent || !source || !is_element(as_node(parent))) return nullptr;
    quorvel_document* doc = copy_target(parent);
    if (!doc || !quorvel_element_get_document(source)) return nullptr;
    quorvel_element* copy = make_copy(source, doc);
    if (!copy || !link_last(parent, as_node(copy), doc, nullptr)) return nullptr;
    tree_structure_changed(parent, doc);
    return copy;
}

QUORVEL_API quorvel_element* quorvel_element_prepend_copy(quorvel_element* parent, const quorvel_element* source) {
    if (!parent || !source || !is_element(as_node(parent))) return nullptr;
    quorvel_element* copy = make_copy(source, copy_target(parent));
    if (!copy || prepend_node(parent, as_node(copy), false) != QUORVEL_OK) return nullptr;
    return copy;
}

QUORVEL_API quorvel_element* quorvel_element_insert_copy_after(quorvel_node* reference, const quorvel_element* source) {
    if (!reference || !source) return nullptr;
    quorvel_node* p = quorvel_node_parent_raw(reference);
    if (!p) return nullptr;
    quorvel_element* copy = make_copy(source, copy_target(as_element(p)));
    if (!copy || insert_near(reference, as_node(copy), true, false) != QUORVEL_OK) return nullptr;
    return copy;
}

QUORVEL_API quorvel_element* quorvel_element_insert_copy_before(quorvel_node* reference,
                                                                const quorvel_element* source) {
    if (!reference || !source) return nullptr;
    quorvel_node* p = quorvel_node_parent_raw(reference);
    if (!p) return nullptr;
    quorvel_element* copy = make_copy(source, copy_target(as_element(p)));
    if (!copy || insert_near(reference, as_node(copy), false, false) != QUORVEL_OK) return nullptr;
    return copy;
}

}  // extern "C"
