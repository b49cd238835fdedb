// Least behaviour of operations that other parts of the library provide in
// full, so that documents work before those parts are built. Each definition
// here is removed when its real implementation lands.
#include "dom/dom.h"
