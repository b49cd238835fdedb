// Internal entry points for building and changing trees: element creation,
// the linking step tree builders splice with, raw attribute appends, bulk
// removal, deep copies and the element index the XPath engine reads.
// Every change of a child list ends with tree_structure_changed, so caches
// keyed on structure (element index, indexed child, document order) drop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dom/dom.h"

// ---- Element creation ------------------------------------------------------------

// A new element in the pool, with no document and not registered: it finds
// its document once it is linked below an element that has one. The name
// is split at its first colon into prefix and local name (copies: a name
// interned in the pool is never written). NULL for a NULL name or pool, a
// length of 0 or no memory.
quorvel_element* quorvel_element_create_with_view(const char* name, size_t length, quorvel_pool* pool);

// ---- Linking --------------------------------------------------------------------------

// The linking step: K becomes P's last child. K is first detached from its
// parent when it has one; its own next-sibling link is cleared. last_child,
// when given, must be P's current last child (the caller vouches); otherwise
// the document's last-child cache or a walk finds it. Nodes of kinds that
// cannot be children are ignored, and so is a P that is not an element. Only
// P's modification counter moves: callers do the structural bookkeeping
// (tree_structure_changed) themselves. K must belong to P's document
// already and must not be an ancestor of P.
void quorvel_element_append_child_hint_doc(quorvel_element* parent, quorvel_node* child, quorvel_document* doc,
                                           quorvel_node* last_child);
// The same without a hint; nothing happens when parent or child is NULL.
void quorvel_element_append_child_internal_doc(quorvel_element* parent, quorvel_node* child, quorvel_document* doc);

// The bookkeeping every change of P's children ends with: the document's
// change counter moves and its element index is dropped; P's extension
// record (if any) counts a child change and forgets its indexed child.
// doc may be NULL (then only the extension record is touched).
void tree_structure_changed(quorvel_element* parent, quorvel_document* doc);

// ---- Attributes --------------------------------------------------------------------------

// Appends an attribute without a duplicate check, for builders of fresh
// elements: the value is decoded at once when it holds '&' (kept raw and
// marked pending when it does not decode). Neither the attribute index nor
// the last-attribute cache is updated, so it must not be used on an element
// quorvel_element_set_attribute has worked on. False, with nothing added,
// for a NULL element, name or pool, a name length of 0, or no memory.
bool quorvel_element_add_attribute(quorvel_element* element, const char* name, size_t name_length,
                                   const char* value, size_t value_length, quorvel_pool* pool);

// NUL-terminated copy of n bytes from the document's name chunks (the 8
// bytes before it hold the document's address). NULL for n + 1 > 1024 or
// when no chunk can be had.
char* mut_str_carve(quorvel_document* doc, const char* s, size_t n);

// ---- Removal -------------------------------------------------------------------------------

// Detaches every child of an element, or every top-level node of the
// document node (which also clears the document's root). Removed elements
// are registered as roots of their document. 0, -4 for NULL.
quorvel_status quorvel_element_remove_all_children(quorvel_node* parent);

// ---- Copies ---------------------------------------------------------------------------------

// A deep copy of source made in pool for doc (which may be NULL), not
// registered and not entered in parent's child list; its parent link names
// parent (NULL: detached). The copy carries the namespace bindings source
// had in scope, so it resolves its names on its own. NULL for a non-element
// or unnamed source, or no memory for the top element (descendants,
// attributes and declarations that cannot be made are left out).
quorvel_element* copy_subtree_detached(const quorvel_element* source, quorvel_element* parent, quorvel_pool* pool,
                                       quorvel_document* doc);

// ---- Element index --------------------------------------------------------------------------

// A snapshot of the primary root's subtree, all of it heap memory owned by
// the index. Positions are indexes into the element array (pre-order).
struct quorvel_element_index_value {
    char* value;  // decoded value, NUL-terminated
    size_t length;
    quorvel_element** elements;
    size_t count;
    size_t capacity;
    uint64_t* positions;  // parallel to elements
};

struct quorvel_element_index_attribute {
    char* name;  // stored qualified name, prefix included
    size_t length;
    quorvel_element** elements;
    size_t count;
    size_t capacity;
    uint64_t* positions;
    quorvel_element_index_value* values;  // one per distinct non-empty value
    size_t value_count;
    size_t value_capacity;
};

struct quorvel_element_index_name {
    char* name;  // local name
    size_t length;
    quorvel_element** elements;
    size_t count;
    size_t capacity;
    uint64_t* positions;
};

struct quorvel_element_index {
    quorvel_element** elements;  // pre-order
    size_t element_count;
    uint64_t* subtree_ends;  // position of the last element inside each subtree
    quorvel_element_index_name* names;
    size_t name_count;
    size_t name_capacity;
    quorvel_element_index_attribute* attributes;
    size_t attribute_count;
    size_t attribute_capacity;
};

// A new index of doc's primary root subtree; NULL for a NULL document, no
// root, or no memory. The caller keeps it (in doc->element_index).
quorvel_element_index* quorvel_element_index_build(quorvel_document* doc);
// The value entry of an attribute entry with exactly these bytes, or NULL.
quorvel_element_index_value* quorvel_element_index_attr_lookup_value(const quorvel_element_index_attribute* entry,
                                                                     const char* value);
// Frees doc's element index, if any, and clears the field.
inline void quorvel_document_drop_element_index(quorvel_document* doc) {
    if (doc && doc->element_index) {
        quorvel_element_index_free(doc->element_index);
        doc->element_index = nullptr;
    }
}

// ---- Shared by the tree files ---------------------------------------------------------------

// Kinds that can be children: element, text, comment, CDATA, PI, entity reference.
inline bool tree_linkable(const quorvel_node* n) {
    return n && ((n->kind >= QUORVEL_NODE_ELEMENT && n->kind <= QUORVEL_NODE_PI) || n->kind == QUORVEL_NODE_ENTITY_REF);
}

// Writes a link through the checked writer; when the overflow entry cannot
// be made the field keeps its old value and the answer is false.
[[nodiscard]] inline bool tree_link_write(const void* holder, int32_t* field, const void* target, quorvel_document* doc) {
    int32_t old = *field;
    if (quorvel_link_set(holder, field, target, doc)) return true;
    *field = old;
    return false;
}

// True for a qualified name with an empty prefix or local part (":a",
// "a:", ":"): the parsers refuse those, so the tree never takes one and its
// output always parses back.
inline bool tree_name_has_empty_part(const char* name, size_t length) {
    return length && (name[0] == ':' || name[length - 1] == ':');
}

// The document a node of any kind belongs to, or NULL.
quorvel_document* tree_node_document(const quorvel_node* node);

// A name entry: n bytes and a NUL behind doc's address (flag 0x40 layout),
// from a name chunk or, for long names, the pool. NULL when out of memory.
char* tree_name_entry(quorvel_document* doc, const char* s, size_t n);
// e's extension record, created (zeroed) from doc's pool when it has none.
quorvel_element_ext* tree_ext(quorvel_element* e, quorvel_document* doc);
// Gives e a new local name (stored behind doc's address, flag 0x40 set) and
// prefix; has_prefix false clears the prefix. False, with e unchanged, when
// memory runs out.
bool tree_set_element_name(quorvel_element* e, quorvel_document* doc, const char* local, size_t local_length,
                           const char* prefix, size_t prefix_length, bool has_prefix);

// quorvel_node_unlink: takes a node out of its parent's child list.
quorvel_status tree_unlink(quorvel_node* node);
// Takes a node out of wherever it sits before it moves: its parent's child
// list, or its document's top-level list (then, unless keep_root, it stops
// being the document's root). A detached node needs nothing.
quorvel_status tree_detach(quorvel_node* node, bool keep_root);
// True when node is in doc's top-level list (or is its root while the list
// is empty); *prev receives its predecessor, NULL for the first.
bool tree_top_level_find(quorvel_document* doc, const quorvel_node* node, quorvel_node** prev);
// Bookkeeping of a change of the document's top-level list.
void tree_top_level_changed(quorvel_document* doc);
// Records doc as the owner of a leaf placed at top level; false (owner
// unchanged) when a text's owner link cannot be recorded.
[[nodiscard]] bool tree_set_leaf_owner(quorvel_node* node, quorvel_document* doc);

// A copy of one leaf (text, comment, CDATA, PI, entity reference) in pool,
// detached and without owner; NULL for other kinds or no memory.
quorvel_node* tree_copy_leaf(const quorvel_node* leaf, quorvel_pool* pool, quorvel_document* doc);

// The node itself when it can be linked into a tree of target as it is, or
// a copy made in target (an element of another document is deep-copied, a
// leaf of another document is copied alone); NULL when the copy fails.
quorvel_node* adopt_for_splice(quorvel_node* node, quorvel_document* target);
