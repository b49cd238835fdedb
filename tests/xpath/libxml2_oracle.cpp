// libxml2's XPath 1.0 as a test oracle (see libxml2_oracle.h).
#include "xpath/libxml2_oracle.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace xpath_oracle {

std::string step_text(const std::string& test, int index) { return "/" + test + "[" + std::to_string(index) + "]"; }

std::string number_text(double v) {
    if (std::isnan(v)) return "NaN";
    if (v == 0) return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

namespace {

std::string libxml_path(xmlNodePtr n) {
    if (n->type == XML_DOCUMENT_NODE) return "/";
    if (n->type == XML_ATTRIBUTE_NODE)
        return libxml_path(n->parent) + "/@" + reinterpret_cast<const char*>(n->name);
    int index = 1;
    for (xmlNodePtr s = n->prev; s; s = s->prev)
        if (s->type == n->type && (n->type != XML_ELEMENT_NODE || !xmlStrcmp(s->name, n->name))) index++;
    std::string test = n->type == XML_ELEMENT_NODE   ? std::string(reinterpret_cast<const char*>(n->name))
                       : n->type == XML_COMMENT_NODE ? "comment()"
                       : n->type == XML_PI_NODE      ? "processing-instruction()"
                                                     : "text()";
    std::string up = n->parent && n->parent->type != XML_DOCUMENT_NODE ? libxml_path(n->parent) : "";
    return up + step_text(test, index);
}

std::string libxml_result(xmlXPathObjectPtr o) {
    if (!o) return "error";
    switch (o->type) {
    case XPATH_NODESET: {
        std::string out = "nodes:";
        if (o->nodesetval)
            for (int i = 0; i < o->nodesetval->nodeNr; i++) out += " " + libxml_path(o->nodesetval->nodeTab[i]);
        return out;
    }
    case XPATH_BOOLEAN: return o->boolval ? "boolean:true" : "boolean:false";
    case XPATH_NUMBER: return "number:" + number_text(o->floatval);
    case XPATH_STRING: return "string:" + std::string(reinterpret_cast<const char*>(o->stringval));
    default: return "other";
    }
}

}  // namespace

document::document(const char* xml) : doc_(nullptr), context_(nullptr) {
    xmlInitParser();
    xmlDocPtr doc = xmlReadMemory(xml, static_cast<int>(std::strlen(xml)), "doc.xml", nullptr, 0);
    if (!doc) return;
    doc_ = doc;
    context_ = xmlXPathNewContext(doc);
}

document::~document() {
    if (context_) xmlXPathFreeContext(static_cast<xmlXPathContextPtr>(context_));
    if (doc_) xmlFreeDoc(static_cast<xmlDocPtr>(doc_));
}

std::string document::eval(const std::string& expr) {
    auto* context = static_cast<xmlXPathContextPtr>(context_);
    context->node = reinterpret_cast<xmlNodePtr>(doc_);
    xmlXPathObjectPtr o = xmlXPathEval(reinterpret_cast<const xmlChar*>(expr.c_str()), context);
    std::string out = libxml_result(o);
    xmlXPathFreeObject(o);
    return out;
}

}  // namespace xpath_oracle
