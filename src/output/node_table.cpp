// The node table: per kind, the operation that writes a node of that kind.
// The document model declares the table; the writers that fill it live here.
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
