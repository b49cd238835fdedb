// Least behaviour of operations that other parts of the library provide in
// full, so that documents work before those parts are built. Each definition
// here is removed when its real implementation lands.
#include <cstring>

#include "dom/dom.h"
#include "dom/element_api.h"

// Without deep copy a foreign element cannot be adopted.
quorvel_element* quorvel_element_copy(quorvel_element*, quorvel_document*) { return nullptr; }
// No element index is ever built yet.
void quorvel_element_index_free(quorvel_element_index*) {}
// No attribute index is built yet, so no entry can name an element.
void attr_index_forget_element(quorvel_document*, quorvel_element*) {}

