// map:size, array:size, map:keys, map:merge, the code-point, token and URI
// functions, and collection() with its error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "quorvel.h"
#include "xpath/xpath.h"
#include "xpath/xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;

// Scalars as their strings, sequences as (item item ...) with strings
// quoted and typed items tagged: i:integer, map(n) for a map of n entries.
std::string render(const quorvel_xpath_result* r) {
    if (r->kind == XPATH_BOOLEAN) return r->value.boolean ? "true()" : "false()";
    if (r->kind != XPATH_NODESET) {
        char* t = xpath_to_string(r);
        std::string out = r->kind == XPATH_STRING ? "'" + std::string(t) + "'" : std::string(t);
        std::free(t);
        return out;
    }
    std::string out = "(";
    const quorvel_xpath_node_set* s = r->value.nodeset;
    for (size_t i = 0; s && i < s->count; i++) {
        if (i) out += " ";
        const auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(s->items[i]);
        if (quorvel_node_get_type(s->items[i]) != kXpathCarrierNode) {
            out += "node";
        } else if (c->ref_kind == XPATH_REF_MAP) {
            const quorvel_xpath_map_value* m = c->ref.map;
            out += "map{";
            for (size_t k = 0; k < m->count; k++) {
                if (k) out += ",";
                out += m->entries[k].key ? m->entries[k].key : "#";
                out += ":";
                char* v = get_node_text(m->entries[k].value->count ? m->entries[k].value->items[0] : nullptr);
                out += v;
                std::free(v);
            }
            out += "}";
        } else if (c->length >= 2 && c->text[0] == '\x03' && c->text[1] == 'N') {
            out += "i:" + std::string(c->text + 2);
        } else {
            out += "'" + std::string(c->text, c->length) + "'";
        }
    }
    return out + ")";
}

std::string eval(quorvel_document* doc, const char* expression) {
    quorvel_xpath_result* r = quorvel_xpath_eval(doc, nullptr, expression);
    if (!r) {
        const char* e = quorvel_document_last_error(doc);
        return std::string("error: ") + (e ? e : "");
    }
    std::string out = render(r);
    quorvel_xpath_result_free(r);
    return out;
}

struct eval_case {
    const char* expression;
    const char* expected;
};

TEST(XpathMapFunctions, SizeKeysMerge) {
    doc_ptr d("<r><a>1</a><a>2</a></r>");
    const eval_case cases[] = {
        {"map:size(map{'a':1,'b':2})", "2"},
        {"map:size(map{})", "0"},
        {"array:size([1,2,3])", "3"},
        {"array:size([[1,2],[3]])", "2"},
        {"array:size([[1,2],[3]]?1)", "2"},
        {"array:size([])", "0"},
        {"array:size(array{/r/a})", "2"},
        {"map:keys(map{'b':1,'a':2})", "('a' 'b')"},
        {"map:keys(map{})", "()"},
        {"map:size('x')", "error: map:size expects one map or array"},
        {"map:size(/r/a)", "error: map:size expects one map or array"},
        {"map:keys(1)", "error: map:keys expects one map or array"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval(d.doc, c.expression), c.expected) << c.expression;
}

// The first map's entry of a repeated key stays; the others are kept.
TEST(XpathMapFunctions, MergeKeepsTheFirstDuplicate) {
    doc_ptr d("<r/>");
    quorvel_xpath_variable_set* vars = xpath_variable_set_new();
    quorvel_xpath_result* maps[] = {quorvel_xpath_eval(d.doc, nullptr, "map{'a':1,'b':2}"),
                                    quorvel_xpath_eval(d.doc, nullptr, "map{'a':3,'c':4}")};
    quorvel_xpath_node_set* both = xpath_nodeset_new();
    both->owns_carriers = both->is_sequence = 1;
    for (quorvel_xpath_result* m : maps) {
        ASSERT_NE(m, nullptr);
        xpath_nodeset_add(both, xpath_synthetic_duplicate(m->value.nodeset->items[0]));
        quorvel_xpath_result_free(m);
    }
    xpath_variable_set_nodeset(xpath_variable_set_add(vars, "maps", XPATH_BIND_NODESET), both);
    quorvel_xpath_result* r = quorvel_xpath_eval_with_vars(d.doc, "map:merge($maps)", vars);
    ASSERT_NE(r, nullptr) << quorvel_document_last_error(d.doc);
    EXPECT_EQ(render(r), "(map{a:1,b:2,c:4})");
    quorvel_xpath_result_free(r);
    EXPECT_EQ(eval(d.doc, "map:merge(/r/none)"), "(map{})");
    EXPECT_EQ(eval(d.doc, "map:merge([1])"), "error: map:merge expects a sequence of maps");
    xpath_variable_set_free(vars);
}

TEST(XpathStringFunctions, CodePointsTokensAndUris) {
    doc_ptr d("<r><a> x  y </a></r>");
    const eval_case cases[] = {
        {"codepoints-to-string(72)", "'H'"},
        {"codepoints-to-string([72, 233, 8364, 128512](1))", "'H'"},
        {"string-to-codepoints('H\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80')", "(i:72 i:233 i:8364 i:128512)"},
        {"string-to-codepoints('')", "()"},
        {"codepoints-to-string(3)", "error: Code point 3 is not a valid XML character"},
        {"codepoints-to-string(55296)", "error: Code point 55296 is not a valid XML character"},
        {"codepoints-to-string(1114112)", "error: Code point 1114112 is not a valid XML character"},
        {"codepoints-to-string(-1)", "error: Code point -1 is not a valid XML character"},
        {"codepoints-to-string(1.5)", "error: codepoints-to-string expects integers, got '1.5'"},
        {"contains-token('red green blue', ' green ')", "true()"},
        {"contains-token('red green', 'gre')", "false()"},
        {"contains-token('', 'a')", "false()"},
        {"contains-token('a b', '  ')", "false()"},
        {"contains-token(/r/a, 'y')", "true()"},
        {"encode-for-uri('a b/c~')", "'a%20b%2Fc~'"},
        {"encode-for-uri('\xC3\xA9')", "'%C3%A9'"},
        {"encode-for-uri('100% <x>')", "'100%25%20%3Cx%3E'"},
        {"iri-to-uri('a b/c%20')", "'a%20b/c%20'"},
        {"iri-to-uri('{x}|\"^`\\')", "'%7Bx%7D%7C%22%5E%60%5C'"},
        {"'red green' => contains-token('green')", "true()"},
        {"[1, [2, 3]] => array:size()", "2"},
        {"contains-token#2('a b', 'b')", "true()"},
        {"map:size#1(map{'k': 1})", "1"},
        {"concat#2('a', 'b')", "'ab'"},
        {"'a' => concat('b')", "'ab'"},
        {"function($f) { $f('x', 'y') }(concat#2)", "'xy'"},
        {"concat#2('a')", "error: Function concat#2 called with 1 arguments"},
        {"count(map{'e': /r//node()}?e)", "2"},
        {"string(map{'k': /r/a}?k)", "' x  y '"},
        {"map{'n': 2}?n + 1", "3"},
        {"[3, 4]?1 * [3, 4]?2", "12"},
        {"codepoints-to-string(3) || 'FN'", "error: Code point 3 is not a valid XML character"},
        {"default-language()", "'en'"},
        {"default-collation()", "'http://www.w3.org/2005/xpath-functions/collation/codepoint'"},
        {"collection()", "error: No default collection has been defined"},
        {"collection('x')", "error: No default collection has been defined"},
        {"try { collection() } catch err:FODC0002 { 'none' }", "'none'"},
        {"try { codepoints-to-string(0) } catch err:FOCH0001 { 'bad' }", "'bad'"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval(d.doc, c.expression), c.expected) << c.expression;
}

// A code point that would start a tagged item text is refused, so no
// string can pose as a function item or node reference.
TEST(XpathStringFunctions, NoStringPosesAsATaggedItem) {
    doc_ptr d("<r/>");
    const char* cases[] = {"codepoints-to-string(3)", "function($s) { $s }(codepoints-to-string(3))",
                           "codepoints-to-string(2)", "codepoints-to-string(1)"};
    for (const char* c : cases) EXPECT_EQ(eval(d.doc, c).rfind("error: ", 0), 0u) << c;
}

// Function items handed over as texts: named references call through the
// registry with typed argument texts; a text cannot name an inline body.
TEST(XpathFunctionItemTexts, CallByText) {
    doc_ptr d("<r/>");
    quorvel_xpath_context c;
    xpath_context_init(&c, d.doc, quorvel_document_node(d.doc));
    const char* args[] = {"a b", "b"};
    quorvel_xpath_result* r = xpath_call_function_item(&c, "\x03" "FRcontains-token#2", args, 2);
    ASSERT_NE(r, nullptr) << c.error;
    EXPECT_EQ(render(r), "true()");
    xpath_result_free(r);
    const char* array_arg[] = {"\x03MAP\x02" "1\x01" "x\x02" "2\x01" "y"};
    r = xpath_call_function_item(&c, "\x03" "FRarray:size#1", array_arg, 1);
    ASSERT_NE(r, nullptr) << c.error;
    EXPECT_EQ(render(r), "2");
    xpath_result_free(r);
    const char* one[] = {"1"};
    EXPECT_EQ(xpath_call_function_item(&c, "\x03" "FN\x02" "x\x02" "00000000deadbeef", one, 1), nullptr);
    EXPECT_EQ(xpath_call_function_item(&c, "plain", one, 1), nullptr);
    EXPECT_STREQ(c.error, "");
    xpath_context_cleanup(&c);
}

}  // namespace
