// The record builder: how a tree builder links the records it places while
// a tree grows at its end, in document order. The document parser and its
// fast path build through it, and so should every later builder (the HTML
// parser, XPath's node constructors) instead of a copy of its own.
//
// A builder places records itself (from areas of its document's pool or
// arena) and then links each one exactly once: to its parent and after the
// previous sibling, or after the previous top-level node. Links are the
// compact ones of dom.h: a 32-bit offset from the record holding the field,
// or an overflow entry tied to the document when the offset does not fit.
//
// What the builder does not do, and its callers must: count modifications,
// register roots, set owners of top-level leaves, and run
// tree_structure_changed when the tree being grown is already visible to
// readers (a parser's tree is not: it is published when the parse ends).
#pragma once

#include "dom/dom.h"

// An element whose children are being appended. The builder keeps where
// the next child is linked from, so an append writes two links and reads
// no other record.
struct quorvel_build_parent {
    quorvel_element* element;
    const void* last_holder;  // the record holding last_link: the element, then its last child
    int32_t* last_link;       // the element's first-child link, then its last child's sibling link
};

// Starts appending to e, which must have no children yet.
inline void quorvel_build_open(quorvel_build_parent* parent, quorvel_element* e) {
    parent->element = e;
    parent->last_holder = e;
    parent->last_link = &e->first_child;
}

// Links field of holder to target: two distinct records the builder placed,
// never a record to itself and never NULL, so only the range is in question.
// Near: the caller vouches that both lie within 2 GiB of each other (one
// arena of under 2 GiB) and the offset is stored unchecked. False only when
// the offset does not fit and no overflow entry can be made: the build must
// then stop, and its document be freed.
template <bool Near = false>
[[nodiscard]] inline bool quorvel_build_link(quorvel_document* doc, const void* holder, int32_t* field,
                                             const void* target) {
    ptrdiff_t d = quorvel_address_distance(holder, target);
    if (Near || static_cast<uint64_t>(d) + uint64_t(INT32_MAX) <= uint64_t(2) * INT32_MAX) [[likely]] {
        *field = static_cast<int32_t>(d);
        return true;
    }
    return quorvel_link_set(holder, field, target, doc);
}

// Appends child as parent's last child; parent_field and sibling_field are
// the child's own parent and next-sibling links (callers that know the kind
// name them directly; quorvel_build_append_node finds them). The child's
// sibling link is left as it is: zero in a freshly placed record. Element
// children are not counted here (see quorvel_build_append_node).
template <bool Near = false>
[[nodiscard]] inline bool quorvel_build_append(quorvel_document* doc, quorvel_build_parent* parent,
                                               quorvel_node* child, int32_t* parent_field, int32_t* sibling_field) {
    if (!quorvel_build_link<Near>(doc, child, parent_field, parent->element) ||
        !quorvel_build_link<Near>(doc, parent->last_holder, parent->last_link, child))
        return false;
    parent->last_holder = child;
    parent->last_link = sibling_field;
    return true;
}

// The same for a child of any kind that stands in a child list, finding its
// link fields by kind, and counting an element child in the parent's
// child_count.
[[nodiscard]] inline bool quorvel_build_append_node(quorvel_document* doc, quorvel_build_parent* parent,
                                                    quorvel_node* child) {
    if (!quorvel_build_append(doc, parent, child, quorvel_node_parent_field(child), quorvel_node_sibling_field(child)))
        return false;
    if (child->kind == QUORVEL_NODE_ELEMENT) quorvel_element_child_count_inc(parent->element);
    return true;
}

// A list of top-level nodes being built (the document's first_top and
// last_top once published), chained by their next-sibling links.
struct quorvel_build_list {
    quorvel_node* first;
    quorvel_node* last;
};

// Appends node, a record of a chain kind, to the list.
[[nodiscard]] inline bool quorvel_build_list_append(quorvel_document* doc, quorvel_build_list* list,
                                                    quorvel_node* node) {
    if (list->last) {
        if (!quorvel_build_link(doc, list->last, quorvel_node_sibling_field(list->last), node)) return false;
    } else {
        list->first = node;
    }
    list->last = node;
    return true;
}
