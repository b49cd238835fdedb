// Declarations of operations that other parts of the library provide; the
// serializer calls them. Temporary: removed once those parts are merged.
#pragma once

#include "dom/dom.h"

// Decoded copy of a value holding character and entity references, in the
// pool (or malloc'd without one); NULL when it cannot be decoded.
char* quorvel_decode_entities_view(const quorvel_string_view* view, quorvel_pool* pool);
// The element's namespace URI; NULL when it is in no namespace.
const char* quorvel_element_get_namespace_uri(quorvel_element* e);
