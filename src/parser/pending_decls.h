// Declarations of the DTD model and of entity decoding that the parser and
// the leaf nodes call, until their own headers join the tree.
#pragma once

#include "dom/dom.h"

struct quorvel_dtd_entity {
    char* name;
    int is_external;
    char* value;
    char* system_id;
    char* public_id;
    char* notation;
};

quorvel_dtd_entity* ttdtd_lookup_entity(quorvel_dtd* dtd, const char* name);
int dtd_parse_into(quorvel_dtd* dtd, const char* text, size_t length, int level);

char* quorvel_decode_entities_view(const quorvel_string_view* view, quorvel_pool* pool);
char* quorvel_decode_entities_view_with_dtd(const quorvel_string_view* view, quorvel_dtd* dtd, quorvel_pool* pool);

extern "C" void quorvel_dtd_free(quorvel_dtd* dtd);
