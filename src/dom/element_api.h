// Internal entry points of the element API: names and namespaces, attribute
// lookup and value reading, children and text. Other subsystems (XPath, XSLT,
// the serializer, schemas, copy and mutation code) call these rather than the
// exports. Mutation code must keep the namespace caches honest through the
// two clear functions below.
#pragma once

#include "dom/dom.h"

// ---- Extension records ------------------------------------------------------------

// A new, all-zero extension record for e from doc's pool, linked from e.
// NULL when memory runs out (e is unchanged then).
quorvel_element_ext* quorvel_element_ext_create(quorvel_element* e, quorvel_document* doc);

// ---- Names and namespaces ---------------------------------------------------------

// Local name; NULL for NULL, a non-element, an unnamed element, or a name
// link this thread cannot read.
const char* quorvel_element_get_name(const quorvel_element* e);

// URI bound to prefix (NULL = the default namespace) by the nearest
// declaration on e or an ancestor, as stored ("" for an undeclaration);
// NULL when none. "xml" has no built-in binding here.
const char* quorvel_element_lookup_namespace(const quorvel_element* e, const char* prefix);
// The same for a prefix given by pointer and length (not NUL-terminated).
const char* quorvel_element_lookup_namespace_n(const quorvel_element* e, const char* prefix, size_t length);

// The element's namespace URI: NULL when it is in no namespace. Resolved on
// first use and cached in the extension record (ns_uri), pointing at the
// declaration's own URI string, which the document keeps until it is freed.
const char* quorvel_element_get_namespace_uri(quorvel_element* e);

// The cache holds until one of the clear functions runs. Callers:
// - after e's prefix changed (rename, move into a namespace):
//   quorvel_element_namespace_cache_clear(e);
// - after a namespace declaration on e was added or removed (done by the
//   declaration functions of this API), and whenever an element leaves a
//   parent element (unlink, removal, the detach step of a move):
//   quorvel_namespace_cache_clear_subtree(e).
// Linking a node that has no parent element needs nothing: every URI cached
// inside a detached subtree was found inside it and stays the nearest.
void quorvel_element_namespace_cache_clear(quorvel_element* e);
void quorvel_namespace_cache_clear_subtree(quorvel_element* e);

// Declaration number index of e: its own declaration list first, then its
// declaration attributes ("xmlns", "xmlns:p") in attribute order. 1 with
// both outputs written, 0 past the end.
int element_namespace_decl_at(const quorvel_element* e, size_t index, const char** prefix, const char** uri);

// ---- Attributes -------------------------------------------------------------------------

// The namespace the prefix "xml" is bound to without a declaration.
extern const char kXmlNamespaceUri[];

// The 15-bit attribute name hash cached in bits 0-14 of the hash word; never 0.
uint16_t quorvel_attribute_hash15(const char* name, size_t length);

quorvel_attribute* quorvel_element_get_first_attribute(const quorvel_element* e);
// First attribute whose stored name (prefix included) is exactly these bytes.
quorvel_attribute* quorvel_dom_attr_find(quorvel_element* e, const char* name, size_t length);
// First attribute of e with this expanded name; uri NULL or "" = no namespace.
quorvel_attribute* find_attr_expanded_len(quorvel_element* e, const char* uri, const char* local_name,
                                          size_t local_length);

// The value as stored (inline bytes or pointer), references not decoded;
// "" for an empty value.
inline const char* quorvel_attribute_stored_value(const quorvel_attribute* a) {
    if (a->value_length & kAttrInlineValue) return a->inline_value;
    return a->value ? a->value : "";
}
// The value, decoding pending references into the owner's document pool on
// first read (the record then holds the decoded text). Without a document,
// or when decoding fails, the raw text and the pending flag stay.
const char* quorvel_attribute_read_value(quorvel_element* owner, quorvel_attribute* a);

// Marks every attribute-index entry of e's attributes removed (the index
// belongs to attribute mutation; see placeholders until it is built).
void attr_index_forget_element(quorvel_document* doc, quorvel_element* e);

// ---- Children and text --------------------------------------------------------------------

// All descendant text of an element or the document node, in document
// order, entity references resolved: a malloc'd string the caller frees with
// quorvel_free_string; NULL for NULL or when memory runs out.
char* quorvel_element_get_text_content(const quorvel_node* node);

// Replacement text of an entity-reference node (predefined entities, or the
// document's DTD); NULL when it cannot be resolved.
const char* quorvel_entity_ref_resolve(const quorvel_node* node);
