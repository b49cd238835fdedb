// Moving through trees: kinds, children, siblings, parents, the document
// node, the two link writers other subsystems splice with, and the walks.
// Every walk keeps its own growable stack, so depth costs heap memory, never
// call frames, and no level is silently skipped.
#include "core/small_stack.h"
#include "dom/dom.h"

namespace {

// Children of a node for the walks: the document node leads to the
// top-level nodes, an element to its first child.
quorvel_node* walk_first_child(const quorvel_node* n) {
    if (n->kind == QUORVEL_NODE_ELEMENT)
        return quorvel_elem_first_child_raw(reinterpret_cast<const quorvel_element*>(n));
    if (n->kind == QUORVEL_NODE_DOCUMENT) return quorvel_node_first_child_internal(n);
    return nullptr;
}

// The overflow-path link writers tie their entry to the node's document when
// it can be found, so that freeing the document removes it.
// False, with the field unchanged, when the overflow entry cannot be made.
bool write_link(quorvel_node* holder, int32_t* field, const quorvel_node* target) {
    if (!target) {
        *field = 0;
        return true;
    }
    if (quorvel_link_fits(holder, target)) {
        *field = static_cast<int32_t>(quorvel_address_distance(holder, target));
        return true;
    }
    quorvel_document* doc = node_public_document(holder);
    if (!doc) doc = node_public_document(target);
    int32_t old = *field;
    if (quorvel_link_set(holder, field, target, doc)) return true;
    *field = old;
    return false;
}

}  // namespace

quorvel_node* quorvel_node_first_child_internal(const quorvel_node* node) {
    if (!node) return nullptr;
    if (node->kind == QUORVEL_NODE_ELEMENT)
        return quorvel_elem_first_child_raw(reinterpret_cast<const quorvel_element*>(node));
    if (node->kind == QUORVEL_NODE_DOCUMENT) {
        quorvel_document* doc = reinterpret_cast<const quorvel_document_node_record*>(node)->document;
        if (!doc) return nullptr;
        if (doc->first_top) return doc->first_top;
        return reinterpret_cast<quorvel_node*>(doc->root ? doc->root : doc->secondary_root);
    }
    return nullptr;
}

// Made on first use, which may come from several threads reading the
// document at once (two first XPath evaluations): made under the lazy lock
// and published whole.
quorvel_node* quorvel_document_get_node(quorvel_document* doc) {
    if (!doc || !doc->pool) return nullptr;
    quorvel_document_node_record* rec = __atomic_load_n(&doc->document_node, __ATOMIC_ACQUIRE);
    if (rec) return &rec->head;
    quorvel_document_lazy_lock(doc);
    rec = __atomic_load_n(&doc->document_node, __ATOMIC_RELAXED);
    if (!rec) {
        rec = static_cast<quorvel_document_node_record*>(
            quorvel_pool_alloc(doc->pool, sizeof(quorvel_document_node_record)));
        if (rec) {
            *rec = quorvel_document_node_record{};
            rec->head = quorvel_node{QUORVEL_NODE_DOCUMENT, 0, 0};
            rec->document = doc;
            __atomic_store_n(&doc->document_node, rec, __ATOMIC_RELEASE);
        }
    }
    quorvel_document_lazy_unlock(doc);
    return rec ? &rec->head : nullptr;
}

quorvel_document* node_public_document(const quorvel_node* node) {
    if (!node) return nullptr;
    if (node->kind == QUORVEL_NODE_ELEMENT)
        return quorvel_element_get_document(reinterpret_cast<const quorvel_element*>(node));
    if (quorvel_node* parent = quorvel_node_parent_raw(node); parent && parent->kind == QUORVEL_NODE_ELEMENT)
        return quorvel_element_get_document(reinterpret_cast<quorvel_element*>(parent));
    switch (node->kind) {
        case QUORVEL_NODE_TEXT: {
            auto* t = reinterpret_cast<const quorvel_text*>(node);
            return static_cast<quorvel_document*>(quorvel_link_get(t, &t->owner));
        }
        case QUORVEL_NODE_COMMENT:
        case QUORVEL_NODE_CDATA: return reinterpret_cast<const quorvel_comment*>(node)->owner;
        case QUORVEL_NODE_PI: return reinterpret_cast<const quorvel_pi*>(node)->owner;
        default: return nullptr;
    }
}

bool quorvel_node_set_next_sibling(quorvel_node* node, quorvel_node* next) {
    if (!node) return true;
    if (int32_t* field = quorvel_node_sibling_field(node)) return write_link(node, field, next);
    return true;
}

void quorvel_node_clear_next_sibling(quorvel_node* node) {
    if (!node) return;
    if (int32_t* field = quorvel_node_sibling_field(node)) *field = 0;
}

bool quorvel_elem_set_first_child(quorvel_element* element, quorvel_node* child) {
    if (!element) return true;
    return write_link(&element->head, &element->first_child, child);
}

void quorvel_node_freeze(quorvel_node* node) {
    if (!node) return;
    node->flags |= kNodeFrozen;
    if (node->kind != QUORVEL_NODE_ELEMENT) return;
    // Pre-order over descendant elements only; the stack holds, per open
    // level, the next child still to look at.
    quorvel_small_stack<quorvel_node*, 64> stack;
    quorvel_node* cursor = quorvel_elem_first_child_raw(reinterpret_cast<quorvel_element*>(node));
    for (;;) {
        while (cursor && cursor->kind != QUORVEL_NODE_ELEMENT) cursor = quorvel_node_next_raw(cursor);
        if (!cursor) {
            if (stack.empty()) return;
            cursor = stack.top();
            stack.pop();
            continue;
        }
        cursor->flags |= kNodeFrozen;
        quorvel_node* child = quorvel_elem_first_child_raw(reinterpret_cast<quorvel_element*>(cursor));
        quorvel_node* next = quorvel_node_next_raw(cursor);
        if (child) {
            if (next && !stack.push(next)) {
                // Out of memory for the walk: finish this subtree, then
                // carry on from the sibling instead of losing it.
                quorvel_node_freeze(child);
                cursor = next;
                continue;
            }
            cursor = child;
        } else {
            cursor = next;
        }
    }
}

extern "C" {

QUORVEL_API int quorvel_node_get_type(const quorvel_node* node) { return node ? node->kind : 0; }

QUORVEL_API quorvel_node* quorvel_node_first_child(const quorvel_node* node) {
    return quorvel_node_first_child_internal(node);
}

QUORVEL_API quorvel_node* quorvel_node_last_child(const quorvel_node* node) {
    if (!node || node->kind != QUORVEL_NODE_ELEMENT) return nullptr;
    quorvel_node* c = quorvel_elem_first_child_raw(reinterpret_cast<const quorvel_element*>(node));
    if (!c) return nullptr;
    while (quorvel_node* n = quorvel_node_next_raw(c)) c = n;
    return c;
}

QUORVEL_API quorvel_node* quorvel_node_next_sibling(const quorvel_node* node) {
    return node ? quorvel_node_next_raw(node) : nullptr;
}

QUORVEL_API quorvel_node* quorvel_node_get_next_sibling(const quorvel_node* node) {
    return node ? quorvel_node_next_raw(node) : nullptr;
}

QUORVEL_API quorvel_node* quorvel_node_previous_sibling(const quorvel_node* node) {
    if (!node) return nullptr;
    quorvel_node* parent = quorvel_node_parent_raw(node);
    if (!parent || parent->kind != QUORVEL_NODE_ELEMENT) return nullptr;
    quorvel_node* prev = nullptr;
    for (quorvel_node* c = quorvel_elem_first_child_raw(reinterpret_cast<quorvel_element*>(parent)); c;
         c = quorvel_node_next_raw(c)) {
        if (c == node) return prev;
        prev = c;
    }
    return nullptr;
}

QUORVEL_API quorvel_element* quorvel_node_parent(const quorvel_node* node) {
    if (!node) return nullptr;
    return reinterpret_cast<quorvel_element*>(quorvel_node_parent_raw(node));
}

QUORVEL_API quorvel_element* quorvel_node_as_element(quorvel_node* node) {
    return node && node->kind == QUORVEL_NODE_ELEMENT ? reinterpret_cast<quorvel_element*>(node) : nullptr;
}

QUORVEL_API quorvel_node* quorvel_element_as_node(quorvel_element* element) {
    return reinterpret_cast<quorvel_node*>(element);
}

QUORVEL_API size_t quorvel_node_child_count(const quorvel_node* node) {
    if (!node || node->kind != QUORVEL_NODE_ELEMENT) return 0;
    return quorvel_element_child_element_count(reinterpret_cast<const quorvel_element*>(node));
}

QUORVEL_API int quorvel_node_compare(const quorvel_node* a, const quorvel_node* b) {
    if (!a || !b || a == b) return 0;
    return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b) ? -1 : 1;
}

QUORVEL_API quorvel_node* quorvel_document_node(quorvel_document* doc) { return quorvel_document_get_node(doc); }

}  // extern "C"

namespace {

// Depth-first visit. At the document node the top-level nodes are visited
// in turn at depth 0 and the document node itself is not reported.
void visit(quorvel_node* start, quorvel_visit_callback callback, void* user, bool leaving_calls) {
    if (!start || !callback) return;
    struct frame {
        quorvel_node* element;  // open element awaiting its leaving call
        quorvel_node* next;     // next child of that element to visit
    };
    quorvel_small_stack<frame, 64> stack;
    // Only a walk from the document node follows a sibling chain at depth 0.
    bool follow_top_chain = start->kind == QUORVEL_NODE_DOCUMENT;
    quorvel_node* cursor = follow_top_chain ? quorvel_node_first_child_internal(start) : start;
    while (cursor) {
        int depth = static_cast<int>(stack.size());
        callback(user, cursor, 1, depth);
        quorvel_node* child =
            cursor->kind == QUORVEL_NODE_ELEMENT ? quorvel_elem_first_child_raw(reinterpret_cast<quorvel_element*>(cursor))
                                                 : nullptr;
        if (cursor->kind == QUORVEL_NODE_ELEMENT) {
            if (!stack.push(frame{cursor, child})) return;  // out of memory: stop
        } else if (stack.empty()) {
            cursor = follow_top_chain ? quorvel_node_next_raw(cursor) : nullptr;
            continue;
        }
        // Find the next node to enter, closing finished elements.
        cursor = nullptr;
        while (!stack.empty()) {
            frame& f = stack.top();
            if (f.next) {
                cursor = f.next;
                f.next = quorvel_node_next_raw(cursor);
                break;
            }
            quorvel_node* done = f.element;
            stack.pop();
            if (leaving_calls) callback(user, done, 0, static_cast<int>(stack.size()));
            if (stack.empty()) {
                cursor = follow_top_chain ? quorvel_node_next_raw(done) : nullptr;
                break;
            }
        }
    }
}

}  // namespace

extern "C" {

QUORVEL_API void quorvel_node_visit(quorvel_node* node, quorvel_visit_callback callback, void* user) {
    visit(node, callback, user, true);
}

QUORVEL_API void quorvel_node_visit_entering(quorvel_node* node, quorvel_visit_callback callback, void* user) {
    visit(node, callback, user, false);
}

QUORVEL_API int quorvel_node_traverse(quorvel_node* node, int order, quorvel_traverse_callback callback,
                                      void* user) {
    if (!node || !callback || (order != 0 && order != 1)) return -1;
    struct entry {
        quorvel_node* node;
        int handled;
    };
    quorvel_small_stack<entry, 256> stack;
    if (!stack.push(entry{node, 0})) return -1;
    int count = 0;
    // The bottom entry moves on along the start node's sibling chain like
    // every other entry, so a walk from an element also covers its
    // following siblings; the document node has none.
    while (!stack.empty()) {
        entry& top = stack.top();
        if (!top.handled) {
            top.handled = 1;
            if (order == 0) {
                if (callback(top.node, user) != 0) return count;
                count++;
            }
            if (quorvel_node* child = walk_first_child(top.node)) {
                if (!stack.push(entry{child, 0})) return -1;
            }
            continue;
        }
        if (order == 1) {
            if (callback(top.node, user) != 0) return count;
            count++;
        }
        quorvel_node* next = top.node->kind == QUORVEL_NODE_DOCUMENT ? nullptr : quorvel_node_next_raw(top.node);
        if (next) {
            top = entry{next, 0};
        } else {
            stack.pop();
        }
    }
    return count;
}

}  // extern "C"
