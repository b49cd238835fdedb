// Temporary: declarations of the entity decoder and of entity-reference
// resolution, whose real definitions are being built elsewhere. Deleted
// together with pending_entities_stubs.cpp when those land.
#pragma once

#include "dom/dom.h"

// Decoded copy of a raw value (character references and the five predefined
// entities), in pool or malloc'd without one; NULL when it cannot be decoded.
char* quorvel_decode_entities_view(const quorvel_string_view* view, quorvel_pool* pool);

// Replacement text of an entity-reference node, or NULL.
const char* quorvel_entity_ref_resolve(const quorvel_node* node);
