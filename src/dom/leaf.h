// Leaf nodes (text, comment, CDATA, processing instruction, entity
// reference, doctype): the pool creators every tree builder uses, the
// internal content reader and entity-reference resolution. A new leaf is
// always detached; callers link it and, for a top-level node, set its owner.
#pragma once

#include "dom/dom.h"

// Each creator copies its strings into the pool (record and strings in one
// block when the pool can hand one out) and returns NULL for a NULL pool or
// when memory runs out. text may be NULL only with a length of 0. doc only
// ties an overflowed content link to that document.
quorvel_text* quorvel_text_create(const char* text, size_t length, quorvel_pool* pool, quorvel_document* doc);
quorvel_comment* quorvel_comment_create(const char* text, size_t length, quorvel_pool* pool);
quorvel_comment* quorvel_cdata_create(const char* text, size_t length, quorvel_pool* pool);
// NULL for a NULL target or a target length of 0; a data length of 0 gives no data.
quorvel_pi* quorvel_pi_create(const char* target, size_t target_length, const char* data, size_t data_length,
                              quorvel_pool* pool);
// Entity references use the comment layout; content is the name. NULL for an empty name.
quorvel_comment* quorvel_entity_ref_create(const char* name, size_t length, quorvel_pool* pool);
// Name held inline behind the record; NULL for a NULL name.
quorvel_doctype* quorvel_doctype_create(const char* name, size_t length, quorvel_pool* pool);

// Content of a text (or CDATA) record without a kind test; "" when empty.
const char* quorvel_text_get_content(const quorvel_text* text);

// Replacement text of an entity-reference node: the five predefined
// entities without a document, else the internal entities of the owning
// document's DTD (created empty on first use), unexpanded. NULL otherwise.
const char* quorvel_entity_ref_resolve(const quorvel_node* node);
