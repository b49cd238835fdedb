// Least behaviour of two operations the parser calls that are built beside
// it: both decline cleanly, so every parse runs the document parser and no
// default attribute is added. Each goes when its real version lands.
#include "parser/parser.h"

quorvel_document* dp_il_try(const char*, size_t, int, int, int) { return nullptr; }
void quorvel_dtd_apply_attribute_defaults(quorvel_document*) {}
