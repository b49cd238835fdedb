// Shared types of the digest and the diff: the digest walker, which the diff
// drives with a memo so that every element is digested once per call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvel.h"

// Element -> digest, open addressing over element addresses. Filled by one
// walk per compared tree; the diff then only looks digests up.
struct digest_memo {
    const quorvel_element** keys = nullptr;
    uint64_t* values = nullptr;
    size_t capacity = 0;  // power of two, 0 before the first insert
    size_t count = 0;
};

void digest_memo_free(digest_memo* memo);
// True with *out set when element was recorded.
bool digest_memo_find(const digest_memo* memo, const quorvel_element* element, uint64_t* out);

// The digest of node with flags already completed from the environment.
// With a memo, every element of the subtree is recorded in it. *failed is
// set (and 0 returned) when memory for the walk or the memo ran out.
uint64_t digest_node(const quorvel_node* node, unsigned flags, digest_memo* memo, bool* failed);

// Flags completed from QUORVEL_DIGEST_ATTR_ORDER (read once per call).
unsigned digest_flags_from_environment(unsigned flags);

// A text node's content and length (a counted run may lack its NUL).
const char* digest_text(const quorvel_node* node, size_t* length);

// True for a text node (kind 1) that is empty or holds only TAB, LF, CR and space.
bool digest_blank_text(const quorvel_node* node);

// Attribute values as readers see them: pending references decoded the way
// the lazy reader decodes them (the predefined entities and character
// references; undeclared references kept as written, or the raw value when
// strict mode refuses them), without writing to the document.
// The decoded length, or SIZE_MAX when the stored value is used as it is.
size_t digest_value_decoded_length(const quorvel_attribute* attribute);
// Writes the decoded value (digest_value_decoded_length bytes) to out.
void digest_value_decode(const quorvel_attribute* attribute, char* out);
// The stored bytes and their length (up to the first NUL).
const char* digest_value_stored(const quorvel_attribute* attribute, size_t* length);
// True for an attribute that declares a namespace ("xmlns", "xmlns:p").
bool digest_is_declaration(const quorvel_attribute* attribute);
