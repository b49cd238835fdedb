// Tree renderings of parsed HTML documents for the HTML parser tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "quorvel.h"

namespace html_test {

inline const char* namespace_tag(quorvel_element* e) {
    const char* uri = quorvel_namespace_uri(quorvel_element_namespace(e));
    if (!uri) return "";
    if (std::string(uri) == "http://www.w3.org/2000/svg") return "svg:";
    if (std::string(uri) == "http://www.w3.org/1998/Math/MathML") return "math:";
    return "?:";
}

// Compact markup: elements with their attributes in order, text as it is,
// comments and processing instructions; foreign elements carry "svg:" or
// "math:" before their names.
inline void render(quorvel_node* n, std::string& out) {
    for (; n; n = quorvel_node_next_sibling(n)) {
        switch (quorvel_node_get_type(n)) {
            case QUORVEL_NODE_ELEMENT: {
                auto* e = quorvel_node_as_element(n);
                std::string name = std::string(namespace_tag(e)) + quorvel_element_name(e);
                out += "<" + name;
                for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a))
                    out += std::string(" ") + quorvel_attribute_get_name(a) + "=\"" + quorvel_attribute_get_value(e, a) +
                           "\"";
                out += ">";
                render(quorvel_node_first_child(n), out);
                out += "</" + name + ">";
                break;
            }
            case QUORVEL_NODE_TEXT: out += quorvel_text_node_get_content(n); break;
            case QUORVEL_NODE_COMMENT: out += std::string("<!--") + quorvel_comment_node_get_content(n) + "-->"; break;
            default: out += "<?pi?>"; break;
        }
    }
}

inline std::string render_document(quorvel_document* doc) {
    std::string out;
    if (quorvel_doctype* dt = quorvel_document_internal_subset(doc)) {
        out += std::string("<!DOCTYPE ") + quorvel_doctype_get_name(dt);
        if (const char* p = quorvel_doctype_get_public_id(dt)) out += std::string(" P=") + p;
        if (const char* s = quorvel_doctype_get_system_id(dt)) out += std::string(" S=") + s;
        out += ">";
    }
    render(quorvel_document_first_child(doc), out);
    return out;
}

// The rendering of a text parsed in HTML5 mode (or HTML 4 mode), which
// must report success; "<null>" when no document came back.
inline std::string parse_rendered(const std::string& text, bool html4) {
    int status = 1;
    quorvel_document* doc = html4 ? quorvel_parse_html4_string(text.data(), text.size(), &status)
                                  : quorvel_parse_html_string(text.data(), text.size(), &status);
    EXPECT_EQ(status, QUORVEL_OK);
    if (!doc) return "<null>";
    std::string out = render_document(doc);
    quorvel_document_free(doc);
    return out;
}

inline std::string parse5(const std::string& text) { return parse_rendered(text, false); }
inline std::string parse4(const std::string& text) { return parse_rendered(text, true); }

// A fragment in the tree every parse gives it: html, an empty head, body.
inline std::string body(const std::string& inner) { return "<html><head></head><body>" + inner + "</body></html>"; }

// The html5lib tree-dump form: one line per node, "| " and two spaces per
// depth, attributes sorted below their element.
inline void dump(quorvel_node* n, int depth, std::vector<std::string>& lines) {
    for (; n; n = quorvel_node_next_sibling(n)) {
        std::string indent = "| " + std::string(static_cast<size_t>(depth) * 2, ' ');
        switch (quorvel_node_get_type(n)) {
            case QUORVEL_NODE_ELEMENT: {
                auto* e = quorvel_node_as_element(n);
                std::string ns = namespace_tag(e);
                if (!ns.empty()) ns = ns.substr(0, ns.size() - 1) + " ";
                lines.push_back(indent + "<" + ns + quorvel_element_name(e) + ">");
                std::vector<std::pair<std::string, std::string>> attrs;
                for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a))
                    attrs.emplace_back(quorvel_attribute_get_name(a), quorvel_attribute_get_value(e, a));
                std::sort(attrs.begin(), attrs.end());
                for (auto& [k, v] : attrs) lines.push_back(indent + "  " + k + "=\"" + v + "\"");
                dump(quorvel_node_first_child(n), depth + 1, lines);
                break;
            }
            case QUORVEL_NODE_TEXT:
                lines.push_back(indent + "\"" + quorvel_text_node_get_content(n) + "\"");
                break;
            case QUORVEL_NODE_COMMENT:
                lines.push_back(indent + "<!-- " + quorvel_comment_node_get_content(n) + " -->");
                break;
            default: break;
        }
    }
}

namespace html5lib_form {

inline const char* namespace_prefix(quorvel_element* e) {
    const char* uri = quorvel_namespace_uri(quorvel_element_namespace(e));
    if (!uri) return "";
    if (std::strcmp(uri, "http://www.w3.org/2000/svg") == 0) return "svg ";
    if (std::strcmp(uri, "http://www.w3.org/1998/Math/MathML") == 0) return "math ";
    return "";
}

// html5lib names the attributes that foreign elements carry in the XLink,
// XML and XMLNS namespaces "xlink href", "xml lang", "xmlns xlink"; the
// parser keeps them as written ("xlink:href").
inline std::string attribute_name(const std::string& name, bool foreign) {
    static const char* const kNamespaced[] = {"xlink:actuate", "xlink:arcrole", "xlink:href", "xlink:role",
                                              "xlink:show",    "xlink:title",   "xlink:type", "xml:lang",
                                              "xml:space",     "xmlns:xlink"};
    if (!foreign) return name;
    for (const char* n : kNamespaced)
        if (name == n) {
            std::string out = name;
            out[out.find(':')] = ' ';
            return out;
        }
    return name;
}

inline void dump5(quorvel_node* n, int depth, std::string& out) {
    for (; n; n = quorvel_node_next_sibling(n)) {
        std::string indent = "| " + std::string(static_cast<size_t>(depth) * 2, ' ');
        switch (quorvel_node_get_type(n)) {
            case QUORVEL_NODE_ELEMENT: {
                auto* e = quorvel_node_as_element(n);
                std::string prefix = namespace_prefix(e);
                std::string name = quorvel_element_name(e);
                // An HTML element named "xyz:abc" keeps its whole name.
                const char* element_prefix = quorvel_element_prefix(e);
                if (prefix.empty() && element_prefix && *element_prefix) name = std::string(element_prefix) + ":" + name;
                out += indent + "<" + prefix + name + ">\n";
                std::vector<std::pair<std::string, std::string>> attrs;
                for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a))
                    attrs.emplace_back(attribute_name(quorvel_attribute_get_name(a), !prefix.empty()),
                                       quorvel_attribute_get_value(e, a));
                std::sort(attrs.begin(), attrs.end());
                for (auto& [k, v] : attrs) out += indent + "  " + k + "=\"" + v + "\"\n";
                // The parser keeps a template's content as its children.
                if (prefix.empty() && name == "template") {
                    out += indent + "  content\n";
                    dump5(quorvel_node_first_child(n), depth + 2, out);
                } else {
                    dump5(quorvel_node_first_child(n), depth + 1, out);
                }
                break;
            }
            case QUORVEL_NODE_TEXT:
                out += indent + "\"" + quorvel_text_node_get_content(n) + "\"\n";
                break;
            case QUORVEL_NODE_COMMENT:
                out += indent + "<!-- " + quorvel_comment_node_get_content(n) + " -->\n";
                break;
            default: out += indent + "<?>\n"; break;
        }
    }
}

// A document in html5lib's tree-dump form, as its test data writes it.
inline std::string html5lib_dump(quorvel_document* doc) {
    std::string out;
    if (quorvel_doctype* dt = quorvel_document_internal_subset(doc)) {
        const char* name = quorvel_doctype_get_name(dt);
        const char* p = quorvel_doctype_get_public_id(dt);
        const char* s = quorvel_doctype_get_system_id(dt);
        out += std::string("| <!DOCTYPE ") + (name ? name : "");
        if ((p && *p) || (s && *s)) out += std::string(" \"") + (p ? p : "") + "\" \"" + (s ? s : "") + "\"";
        out += ">\n";
    }
    dump5(quorvel_document_first_child(doc), 0, out);
    return out;
}

}  // namespace html5lib_form

using html5lib_form::html5lib_dump;

}  // namespace html_test
