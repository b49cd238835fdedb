// The attribute setter the DTD defaults walk calls, declared here until the
// attribute-mutation module is merged. Temporary: removed together with
// pending_valid_stubs.cpp at merge, when the public header declares it.
#pragma once

#include "dom/dom.h"

extern "C" quorvel_status quorvel_element_set_attribute(quorvel_element* element, const char* name,
                                                        const char* value);
