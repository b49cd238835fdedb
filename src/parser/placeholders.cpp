// Least behaviour of an operation the parser calls that is built beside
// it: no default attribute is added. It goes when its real version lands.
#include "parser/parser.h"

void quorvel_dtd_apply_attribute_defaults(quorvel_document*) {}
