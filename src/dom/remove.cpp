// Taking nodes out of trees: unlink from the parent, remove a given child of
// an element or of the document node, remove all children. Nothing is freed:
// a removed node keeps its subtree and can be linked again. A removed element
// is registered as a root, so it still finds its document, and the namespace
// URIs cached in its subtree are dropped, since they may have come from the
// parent it left.
#include "dom/dom.h"

namespace {

inline quorvel_document* doc_node_document(const quorvel_node* n) {
    return reinterpret_cast<const quorvel_document_node_record*>(n)->document;
}

// Clears a node's sibling and parent links: it is detached now.
void clear_links(quorvel_node* n) {
    if (int32_t* f = quorvel_node_sibling_field(n)) *f = 0;
    if (int32_t* f = quorvel_node_parent_field(n)) *f = 0;
}

// True when a leaf records no owning document (the parsers' leaves find
// theirs through the parent only).
bool leaf_without_owner(const quorvel_node* n) {
    switch (n->kind) {
        case QUORVEL_NODE_TEXT: return reinterpret_cast<const quorvel_text*>(n)->owner == 0;
        case QUORVEL_NODE_COMMENT:
        case QUORVEL_NODE_CDATA:
        case QUORVEL_NODE_ENTITY_REF: return !reinterpret_cast<const quorvel_comment*>(n)->owner;
        case QUORVEL_NODE_PI: return !reinterpret_cast<const quorvel_pi*>(n)->owner;
        default: return false;
    }
}

// What a node needs once it has left its parent element, of document doc:
// it must still know its document (an element registers as a root, a leaf
// records its owner), or linking it elsewhere could not tell it apart from
// a node of another document. An element also drops the namespace URIs
// its subtree may have cached from the ancestors it left.
void left_parent(quorvel_node* n, quorvel_document* doc) {
    if (n->kind != QUORVEL_NODE_ELEMENT) {
        // Best effort: a detached text that cannot record its owner is a
        // text of no document, which later moves copy rather than link.
        if (doc && leaf_without_owner(n)) static_cast<void>(tree_set_leaf_owner(n, doc));
        return;
    }
    auto* e = reinterpret_cast<quorvel_element*>(n);
    if (!(e->eflags & kElemDocAddress) && doc) quorvel_root_doc_register(e, doc);
    // Only documents that ever held a declaration can have cached URIs.
    if (!doc || doc->namespaces_in_use) quorvel_namespace_cache_clear_subtree(e);
}

void forget_last_child(quorvel_document* doc, const quorvel_element* parent) {
    if (!doc) return;
    quorvel_last_child_slot& slot = doc->last_child_cache[(reinterpret_cast<uintptr_t>(parent) >> 4) & 63];
    if (slot.parent == parent) slot = quorvel_last_child_slot{};
}

// Finds k among p's children. not_found is the status for a miss.
quorvel_status find_child(const quorvel_element* p, const quorvel_node* k, quorvel_node** prev) {
    quorvel_node* before = nullptr;
    for (quorvel_node* c = quorvel_elem_first_child_raw(p); c; c = quorvel_node_next_raw(c)) {
        if (!tree_linkable(c)) break;
        if (c == k) {
            *prev = before;
            return QUORVEL_OK;
        }
        before = c;
    }
    return QUORVEL_ERR_NOT_FOUND;
}

// Takes k, found behind prev, out of element p's list.
quorvel_status detach_child(quorvel_element* p, quorvel_node* k, quorvel_node* prev, quorvel_document* doc) {
    quorvel_node* next = quorvel_node_next_raw(k);
    bool ok = prev ? tree_link_write(prev, quorvel_node_sibling_field(prev), next, doc)
                   : tree_link_write(p, &p->first_child, next, doc);
    if (!ok) return QUORVEL_ERR_MEMORY;
    clear_links(k);
    if (k->kind == QUORVEL_NODE_ELEMENT) quorvel_element_child_count_dec(p);
    left_parent(k, doc);
    if (!next) forget_last_child(doc, p);
    p->head.flags += kModStep;
    tree_structure_changed(p, doc);
    return QUORVEL_OK;
}

// The first node of doc's top-level list; the root stands in for an empty list.
quorvel_node* top_level_first(const quorvel_document* doc) {
    if (doc->first_top) return doc->first_top;
    return reinterpret_cast<quorvel_node*>(doc->root ? doc->root : doc->secondary_root);
}

void forget_root(quorvel_document* doc, const quorvel_node* n) {
    if (reinterpret_cast<const quorvel_node*>(doc->root) == n) doc->root = nullptr;
    if (reinterpret_cast<const quorvel_node*>(doc->secondary_root) == n) doc->secondary_root = nullptr;
}

// Takes k, found behind prev, out of doc's top-level list.
quorvel_status detach_top_level(quorvel_document* doc, quorvel_node* k, quorvel_node* prev, bool keep_root) {
    if (doc->first_top) {
        quorvel_node* next = quorvel_node_next_raw(k);
        if (prev) {
            if (!tree_link_write(prev, quorvel_node_sibling_field(prev), next, doc)) return QUORVEL_ERR_MEMORY;
        } else {
            doc->first_top = next;
        }
        if (doc->last_top == k) doc->last_top = prev;
    }
    clear_links(k);
    if (!keep_root) forget_root(doc, k);
    tree_top_level_changed(doc);
    return QUORVEL_OK;
}

}  // namespace

void tree_structure_changed(quorvel_element* parent, quorvel_document* doc) {
    if (doc) {
        doc->change_counter++;
        quorvel_document_drop_element_index(doc);
    }
    if (parent) {
        if (quorvel_element_ext* ext = quorvel_elem_ext(parent)) {
            ext->child_changes++;
            ext->cache_child = nullptr;
        }
    }
}

void tree_top_level_changed(quorvel_document* doc) {
    doc->change_counter++;
    quorvel_document_drop_element_index(doc);
    if (doc->document_node) doc->document_node->head.flags += kModStep;
}

quorvel_document* tree_node_document(const quorvel_node* node) {
    if (!node) return nullptr;
    // Entity references keep an owner pointer like comments; the general
    // lookup does not know it.
    if (node->kind == QUORVEL_NODE_ENTITY_REF && !quorvel_node_parent_raw(node))
        return reinterpret_cast<const quorvel_comment*>(node)->owner;
    return node_public_document(node);
}

bool tree_set_leaf_owner(quorvel_node* node, quorvel_document* doc) {
    switch (node->kind) {
        case QUORVEL_NODE_TEXT: {
            auto* t = reinterpret_cast<quorvel_text*>(node);
            return tree_link_write(t, &t->owner, doc, doc);
        }
        case QUORVEL_NODE_COMMENT:
        case QUORVEL_NODE_CDATA:
        case QUORVEL_NODE_ENTITY_REF: reinterpret_cast<quorvel_comment*>(node)->owner = doc; break;
        case QUORVEL_NODE_PI: reinterpret_cast<quorvel_pi*>(node)->owner = doc; break;
        default: break;
    }
    return true;
}

bool tree_top_level_find(quorvel_document* doc, const quorvel_node* node, quorvel_node** prev) {
    if (!doc || !node) return false;
    if (!doc->first_top) {
        *prev = nullptr;
        return node == top_level_first(doc);
    }
    quorvel_node* before = nullptr;
    for (quorvel_node* n = doc->first_top; n; n = quorvel_node_next_raw(n)) {
        if (n == node) {
            *prev = before;
            return true;
        }
        if (!tree_linkable(n)) return false;
        before = n;
    }
    return false;
}

quorvel_status tree_unlink(quorvel_node* k) {
    if (!k) return QUORVEL_ERR_NULL_ARGUMENT;
    quorvel_node* p = quorvel_node_parent_raw(k);
    if (!p || p->kind != QUORVEL_NODE_ELEMENT) return QUORVEL_ERR_NOT_FOUND;
    auto* parent = reinterpret_cast<quorvel_element*>(p);
    quorvel_node* prev;
    if (find_child(parent, k, &prev) != QUORVEL_OK) return QUORVEL_ERR_NOT_FOUND;
    return detach_child(parent, k, prev, quorvel_element_get_document(parent));
}

quorvel_status tree_detach(quorvel_node* node, bool keep_root) {
    if (quorvel_node_parent_raw(node)) return tree_unlink(node);
    quorvel_document* doc = tree_node_document(node);
    quorvel_node* prev;
    if (doc && tree_top_level_find(doc, node, &prev)) return detach_top_level(doc, node, prev, keep_root);
    return QUORVEL_OK;
}

quorvel_status quorvel_element_remove_all_children(quorvel_node* parent) {
    if (!parent) return QUORVEL_ERR_NULL_ARGUMENT;
    if (parent->kind == QUORVEL_NODE_ELEMENT) {
        auto* p = reinterpret_cast<quorvel_element*>(parent);
        quorvel_document* doc = quorvel_element_get_document(p);
        for (quorvel_node* c = quorvel_elem_first_child_raw(p); c && tree_linkable(c);) {
            quorvel_node* next = quorvel_node_next_raw(c);
            clear_links(c);
            left_parent(c, doc);
            c = next;
        }
        p->first_child = 0;
        p->child_count = 0;
        forget_last_child(doc, p);
        p->head.flags += kModStep;
        tree_structure_changed(p, doc);
        return QUORVEL_OK;
    }
    if (parent->kind == QUORVEL_NODE_DOCUMENT) {
        quorvel_document* doc = doc_node_document(parent);
        if (!doc) return QUORVEL_OK;
        for (quorvel_node* n = top_level_first(doc); n && tree_linkable(n);) {
            quorvel_node* next = doc->first_top ? quorvel_node_next_raw(n) : nullptr;
            clear_links(n);
            n = next;
        }
        doc->first_top = doc->last_top = nullptr;
        // The root went with the list; leaving it recorded would bring it
        // back through the root readers and the serializer.
        doc->root = doc->secondary_root = nullptr;
        tree_top_level_changed(doc);
    }
    return QUORVEL_OK;
}

extern "C" {

QUORVEL_API quorvel_status quorvel_node_unlink(quorvel_node* node) { return tree_unlink(node); }

QUORVEL_API quorvel_status quorvel_element_remove_child(quorvel_node* parent, quorvel_node* child) {
    if (!parent || !child) return QUORVEL_ERR_NULL_ARGUMENT;
    if (parent->kind == QUORVEL_NODE_ELEMENT) {
        auto* p = reinterpret_cast<quorvel_element*>(parent);
        quorvel_node* prev;
        if (find_child(p, child, &prev) != QUORVEL_OK) return QUORVEL_ERR_INVALID_ARGUMENT;
        return detach_child(p, child, prev, quorvel_element_get_document(p));
    }
    if (parent->kind == QUORVEL_NODE_DOCUMENT) {
        quorvel_document* doc = doc_node_document(parent);
        quorvel_node* prev;
        if (!doc || !tree_top_level_find(doc, child, &prev)) return QUORVEL_ERR_INVALID_ARGUMENT;
        return detach_top_level(doc, child, prev, false);
    }
    return QUORVEL_ERR_INVALID_ARGUMENT;
}

QUORVEL_API quorvel_status quorvel_element_remove_children(quorvel_node* parent) {
    return quorvel_element_remove_all_children(parent);
}

}  // extern "C"
