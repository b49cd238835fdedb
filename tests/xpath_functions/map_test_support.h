// Helpers of the map, array and JSON tests: values rendered with their
// types and nesting, W3C error codes read from the evaluation context.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "quorvel.h"
#include "xpath/xpath.h"
#include "xpath/xpath_test_support.h"

namespace map_test {

using xpath_test::doc_ptr;

inline std::string render_items(const quorvel_xpath_node_set* s);

// One item: maps as map{key:value,...} in key order, arrays as [m,m],
// integers i:, doubles o:, decimals d:, booleans true()/false(), strings
// quoted, elements <name>.
inline std::string render_item(const quorvel_node* n) {
    if (quorvel_node_get_type(n) == QUORVEL_NODE_ELEMENT)
        return "<" + std::string(quorvel_element_name(reinterpret_cast<const quorvel_element*>(n))) + ">";
    if (quorvel_node_get_type(n) != kXpathCarrierNode) return "node";
    const auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(n);
    if (c->ref_kind == XPATH_REF_MAP) {
        const quorvel_xpath_map_value* m = c->ref.map;
        std::string out = m->is_array ? "[" : "map{";
        for (size_t k = 0; k < m->count; k++) {
            if (k) out += ",";
            if (!m->is_array) out += std::string(m->entries[k].key, m->entries[k].key_length) + ":";
            out += render_items(m->entries[k].value);
        }
        return out + (m->is_array ? "]" : "}");
    }
    std::string t(c->text, c->length);
    if (t.size() >= 2 && t[0] == '\x03') {
        switch (t[1]) {
        case 'N': return "i:" + t.substr(2);
        case 'O': return "o:" + t.substr(2);
        case 'D': return "d:" + t.substr(2);
        case 'B': return t[2] == 't' ? "true()" : "false()";
        default: return t.substr(1);
        }
    }
    return "'" + t + "'";
}

// A sequence: its single item bare, else (item item ...).
inline std::string render_items(const quorvel_xpath_node_set* s) {
    size_t n = s ? s->count : 0;
    if (n == 1) return render_item(s->items[0]);
    std::string out = "(";
    for (size_t i = 0; i < n; i++) out += (i ? " " : "") + render_item(s->items[i]);
    return out + ")";
}

inline std::string render(const quorvel_xpath_result* r) {
    switch (r->kind) {
    case XPATH_BOOLEAN: return r->value.boolean ? "true()" : "false()";
    case XPATH_NODESET: return render_items(r->value.nodeset);
    default: {
        char* t = xpath_to_string(r);
        std::string out = r->kind == XPATH_STRING ? "'" + std::string(t) + "'" : std::string(t);
        std::free(t);
        return out;
    }
    }
}

// The result rendered, or "error CODE" (the W3C code when one was given,
// else "error: " and the message). Evaluated in a context of its own so
// that the code can be read.
inline std::string eval(quorvel_document* doc, const char* expression) {
    char message[256];
    quorvel_xpath_ast_node* tree = xpath_parse_text(expression, std::strlen(expression), message, sizeof message);
    if (!tree) return std::string("syntax: ") + message;
    quorvel_xpath_context c;
    xpath_context_init(&c, doc, xpath_document_node(doc));
    quorvel_xpath_result* r = evaluate_expr(&c, tree);
    std::string out;
    if (!r) out = c.error_code[0] ? std::string("error ") + c.error_code : std::string("error: ") + c.error;
    else out = render(r);
    xpath_result_free(r);
    xpath_context_cleanup(&c);
    ast_node_free(tree);
    return out;
}

struct eval_case {
    const char* expression;
    const char* expected;
};

inline void check(const char* xml, const eval_case* cases, size_t n) {
    doc_ptr d(xml);
    ASSERT_NE(d.doc, nullptr);
    for (size_t i = 0; i < n; i++) EXPECT_EQ(eval(d.doc, cases[i].expression), cases[i].expected) << cases[i].expression;
}

}  // namespace map_test
