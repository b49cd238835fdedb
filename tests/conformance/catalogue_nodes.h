// Reading a suite's catalogue through libxml2: element names and
// attribute values of its nodes.
#pragma once

#include <libxml/tree.h>

#include <string>

namespace catalogue {

// Whether n is an element of that name.
inline bool named(xmlNode* n, const char* name) {
    return n && n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, reinterpret_cast<const xmlChar*>(name));
}

// The value of an attribute of n, "" when it has none.
inline std::string attr(xmlNode* n, const char* name) {
    xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
    std::string s = v ? reinterpret_cast<const char*>(v) : "";
    xmlFree(v);
    return s;
}

}  // namespace catalogue
