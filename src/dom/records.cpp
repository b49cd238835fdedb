// Per-kind descriptors and the narrow counters of the
// element record.
#include "dom/dom.h"
#include "output/output.h"

const quorvel_node_vtable kElementVtable = {element_serialize, "element", QUORVEL_NODE_ELEMENT};
const quorvel_node_vtable kTextVtable = {text_serialize, "text", QUORVEL_NODE_TEXT};
const quorvel_node_vtable kCommentVtable = {comment_serialize, "comment", QUORVEL_NODE_COMMENT};
const quorvel_node_vtable kCdataVtable = {cdata_serialize, "cdata", QUORVEL_NODE_CDATA};
const quorvel_node_vtable kPiVtable = {pi_serialize, "pi", QUORVEL_NODE_PI};
const quorvel_node_vtable kDoctypeVtable = {doctype_serialize, "doctype", QUORVEL_NODE_DOCTYPE};
const quorvel_node_vtable kDocumentVtable = {document_serialize_impl, "document", QUORVEL_NODE_DOCUMENT};
const quorvel_node_vtable kEntityRefVtable = {entity_ref_serialize, "entity_ref", QUORVEL_NODE_ENTITY_REF};

// ORDER: quorvel_node_kind
const quorvel_node_vtable* const g_node_vtables[11] = {
    &kElementVtable, &kTextVtable, &kCommentVtable, &kCdataVtable, &kPiVtable, &kDoctypeVtable,
    nullptr,         nullptr,      nullptr,         &kDocumentVtable, &kEntityRefVtable,
};
static_assert(sizeof g_node_vtables / sizeof g_node_vtables[0] == 11);

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
