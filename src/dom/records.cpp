// The narrow counters of the element record.
#include "dom/dom.h"

size_t quorvel_element_child_element_count(const quorvel_element* e) {
    if (e->child_count < kChildCountCap) return e->child_count;
    size_t n = 0;
    for (quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c))
        if (c->kind == QUORVEL_NODE_ELEMENT) n++;
    return n;
}

// Also the exported attribute count, so it accepts any node.
size_t quorvel_element_attribute_count(const quorvel_element* e) {
    if (!e || e->head.kind != QUORVEL_NODE_ELEMENT) return 0;
    if (e->attr_count < kAttrCountCap) return e->attr_count;
    size_t n = 0;
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) n++;
    return n;
}

void quorvel_element_child_count_inc(quorvel_element* e) {
    if (e->child_count < kChildCountCap) e->child_count++;
}

void quorvel_element_child_count_dec(quorvel_element* e) {
    if (e->child_count < kChildCountCap) {
        if (e->child_count) e->child_count--;
        return;
    }
    // Saturated: the stored value says nothing; count what is left.
    size_t n = quorvel_element_child_element_count(e);
    e->child_count = n >= kChildCountCap ? kChildCountCap : static_cast<uint16_t>(n);
}

void quorvel_element_attr_count_inc(quorvel_element* e) {
    if (e->attr_count < kAttrCountCap) e->attr_count++;
}

void quorvel_element_attr_count_dec(quorvel_element* e) {
    if (e->attr_count < kAttrCountCap) {
        if (e->attr_count) e->attr_count--;
        return;
    }
    size_t n = quorvel_element_attribute_count(e);
    e->attr_count = n >= kAttrCountCap ? kAttrCountCap : static_cast<uint8_t>(n);
}
