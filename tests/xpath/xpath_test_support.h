// Helpers of the XPath tests: a parsed document owned for a test's scope,
// a compact text form of a syntax tree and a parse that reports either that
// tree or the parser's message, and tables of expressions checked against
// the texts of their results.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quorvel.h"
#include "xpath/xpath.h"

namespace xpath_test {

// A document parsed from text, freed at the end of the scope (NULL when the
// text does not parse).
struct doc_ptr {
    quorvel_document* doc = nullptr;
    explicit doc_ptr(const char* xml) {
        int status = 0;
        doc = quorvel_parse_string(xml, std::strlen(xml), &status);
    }
    ~doc_ptr() { quorvel_document_free(doc); }
    doc_ptr(const doc_ptr&) = delete;
    doc_ptr& operator=(const doc_ptr&) = delete;
};

// A string the library returned, as std::string, freed ("(null)" for NULL).
inline std::string take(char* s) {
    std::string out = s ? s : "(null)";
    std::free(s);
    return out;
}

inline std::string escaped(const char* s) {
    std::string out;
    for (; s && *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c < 0x20) {
            out += '\\';
            out += std::to_string(c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// step:axis(test,predicates) name:n *:p kind:text num:1 str:'a' $v call:f(..)
// abs(..) rel(..) path(..) filter(..) opN[:text](..)
inline std::string dump(const quorvel_xpath_ast_node* n) {
    if (!n) return "NULL";
    std::string s;
    char buf[64];
    switch (n->type) {
    case AST_FILTER_PATH: s = "path"; break;
    case AST_ABSOLUTE_PATH: s = "abs"; break;
    case AST_RELATIVE_PATH: s = "rel"; break;
    case AST_STEP: s = "step:" + escaped(n->text) + ":" + std::to_string(n->axis); break;
    case AST_FILTER: s = "filter"; break;
    case AST_FUNCTION_CALL: s = "call:" + escaped(n->text); break;
    case AST_NUMBER:
        std::snprintf(buf, sizeof buf, "num:%.17g", n->number);
        s = buf;
        if (n->text) s += ":" + escaped(n->text);
        break;
    case AST_STRING: s = "str:'" + escaped(n->text) + "'"; break;
    case AST_VARIABLE: s = "$" + escaped(n->text); break;
    case AST_OPERATOR:
        s = "op" + std::to_string(static_cast<int>(n->number));
        if (n->text) s += ":" + escaped(n->text);
        break;
    case AST_NAME_TEST:
        s = "name:" + escaped(n->text);
        if (n->prefix) s += "{" + escaped(n->prefix) + "|" + escaped(n->local_name) + "}";
        break;
    case AST_KIND_TEST:
        s = "kind:" + escaped(n->text);
        if (n->local_name) s += "[" + escaped(n->local_name) + "]";
        break;
    case AST_WILDCARD: s = n->prefix ? escaped(n->prefix) + ":*" : "*"; break;
    default: s = "?" + std::to_string(n->type); break;
    }
    if (n->count) {
        s += "(";
        for (size_t i = 0; i < n->count; i++) {
            if (i) s += ",";
            s += dump(n->children[i]);
        }
        s += ")";
    }
    return s;
}

// The tree's text form, or "error: " and the parser's message.
inline std::string parse(const std::string& text) {
    char message[256];
    quorvel_xpath_ast_node* tree = xpath_parse_text(text.data(), text.size(), message, sizeof message);
    if (!tree) return std::string("error: ") + message;
    std::string out = dump(tree);
    ast_node_free(tree);
    return out;
}

// A result as text, for tables of expected results. Scalars as 'text'
// (booleans bare); sequences as [items]: elements by name, text and CDATA
// nodes as t:text, c:comment, pi:target, #doc, @name=value, ns:prefix=uri,
// typed items as tag letter + text (N1, Btrue, D1.5), plain strings quoted.
inline std::string show_sequence(const quorvel_xpath_result* r) {
    switch (quorvel_xpath_result_type(r)) {
    case 1: return quorvel_xpath_result_boolean(r) ? "true" : "false";
    case 2:
    case 3: return "'" + take(quorvel_xpath_result_string(r)) + "'";
    default: break;
    }
    std::string out = "[";
    for (size_t i = 0; i < quorvel_xpath_result_count(r); i++) {
        if (i) out += ' ';
        quorvel_node* n = quorvel_xpath_result_get_node(r, i);
        const char* name = quorvel_xpath_result_node_name(r, i);
        const char* value = quorvel_xpath_result_node_value(r, i);
        switch (quorvel_node_get_type(n)) {
        case QUORVEL_NODE_ELEMENT: out += name ? name : "?"; break;
        case QUORVEL_NODE_TEXT:
        case QUORVEL_NODE_CDATA: out += std::string("t:") + (value ? value : ""); break;
        case QUORVEL_NODE_COMMENT: out += std::string("c:") + (value ? value : ""); break;
        case QUORVEL_NODE_PI: out += std::string("pi:") + quorvel_pi_node_get_target(n); break;
        case QUORVEL_NODE_DOCUMENT: out += "#doc"; break;
        case kXpathAttributeNode: out += std::string("@") + (name ? name : "?") + "=" + (value ? value : ""); break;
        case kXpathNamespaceNode: out += std::string("ns:") + (name ? name : "") + "=" + (value ? value : ""); break;
        case kXpathCarrierNode: {
            auto* c = reinterpret_cast<quorvel_xpath_carrier*>(n);
            std::string t(c->text, c->length);
            if (!t.empty() && t[0] == kXpathTagMark) out += t.substr(1);
            else out += "'" + t + "'";
            break;
        }
        default: out += "?"; break;
        }
    }
    return out + "]";
}

// The result of an expression over doc as show_sequence gives it, or
// "ERR:" and the message.
inline std::string eval_sequence(quorvel_document* doc, const char* expr) {
    quorvel_xpath_result* r = quorvel_xpath_eval(doc, nullptr, expr);
    std::string s = r ? show_sequence(r) : std::string("ERR:") + quorvel_document_last_error(doc);
    quorvel_xpath_result_free(r);
    return s;
}

// An expression and the text its result should give.
struct expr_case {
    const char* expr;
    const char* expected;
};

// How a table writes a node set: "[2]" by count, "[a b]" by node names or
// "[x|y]" by node values ("?" for a node without one).
enum class node_set_form { count, names, values };

// The result of an expression over doc as a table writes it: node sets in
// the form given, other values by their string value, failures as "ERR:"
// and the message.
inline std::string eval_text(quorvel_document* doc, const char* expr, node_set_form form) {
    quorvel_xpath_result* r = quorvel_xpath_eval(doc, nullptr, expr);
    if (!r) return std::string("ERR:") + quorvel_document_last_error(doc);
    std::string out;
    if (quorvel_xpath_result_type(r) != 0) {
        out = take(quorvel_xpath_result_string(r));
    } else if (form == node_set_form::count) {
        out = "[" + std::to_string(quorvel_xpath_result_count(r)) + "]";
    } else {
        out = "[";
        for (size_t i = 0; i < quorvel_xpath_result_count(r); i++) {
            const char* text = form == node_set_form::names ? quorvel_xpath_result_node_name(r, i)
                                                            : quorvel_xpath_result_node_value(r, i);
            if (i) out += form == node_set_form::names ? " " : "|";
            out += text ? text : "?";
        }
        out += "]";
    }
    quorvel_xpath_result_free(r);
    return out;
}

// Checks every case of a table over one document parsed from xml.
inline void check_cases(const char* xml, const expr_case* cases, size_t n, node_set_form form) {
    doc_ptr d(xml);
    ASSERT_NE(d.doc, nullptr);
    for (size_t i = 0; i < n; i++) EXPECT_EQ(eval_text(d.doc, cases[i].expr, form), cases[i].expected) << cases[i].expr;
}

}  // namespace xpath_test
