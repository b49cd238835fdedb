// Leaf creators the tree code needs before the leaf-node module is merged.
// Temporary: removed together with pending_tree_stubs.cpp at merge, when the
// leaf module's own declarations take their place.
#pragma once

#include "dom/dom.h"

quorvel_text* quorvel_text_create(const char* text, size_t length, quorvel_pool* pool, quorvel_document* doc);
quorvel_comment* quorvel_comment_create(const char* text, size_t length, quorvel_pool* pool);
quorvel_comment* quorvel_cdata_create(const char* text, size_t length, quorvel_pool* pool);
quorvel_pi* quorvel_pi_create(const char* target, size_t target_length, const char* data, size_t data_length,
                              quorvel_pool* pool);
quorvel_comment* quorvel_entity_ref_create(const char* name, size_t length, quorvel_pool* pool);
