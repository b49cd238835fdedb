// Maps, arrays, lookups, function items and dynamic calls, try/catch and
// the computed node constructors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quorvel.h"
#include "xpath/xpath.h"
#include "xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;

std::string render_items(const quorvel_xpath_node_set* s);

std::string render_map(const quorvel_xpath_map_value* m) {
    std::string out = m->is_array ? "[" : "map{";
    for (size_t i = 0; i < m->count; i++) {
        if (i) out += ",";
        if (!m->is_array) out += std::string(m->entries[i].key, m->entries[i].key_length) + ":";
        out += render_items(m->entries[i].value);
    }
    return out + (m->is_array ? "]" : "}");
}

// Items with their kinds: 'string', integers as digits, n:double, true(),
// <element>, @name=value, text:..., fn, maps and arrays by content.
std::string render_item(const quorvel_node* n) {
    switch (quorvel_node_get_type(n)) {
    case QUORVEL_NODE_ELEMENT:
        return "<" + std::string(quorvel_element_name(reinterpret_cast<const quorvel_element*>(n))) + ">";
    case QUORVEL_NODE_TEXT: return "text:" + std::string(quorvel_text_node_get_content(n));
    case QUORVEL_NODE_COMMENT: return "comment:" + std::string(quorvel_comment_node_get_content(n));
    case QUORVEL_NODE_PI: return "pi:" + std::string(quorvel_pi_node_get_target(n));
    case QUORVEL_NODE_DOCUMENT: return "#doc";
    case kXpathAttributeNode: {
        auto* a = reinterpret_cast<const quorvel_xpath_attribute_node*>(n);
        return "@" + std::string(a->name) + "=" + a->value;
    }
    case kXpathCarrierNode: {
        auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(n);
        if (c->ref_kind == XPATH_REF_MAP) return render_map(c->ref.map);
        if (c->ref_kind == XPATH_REF_FUNCTION) return "fn";
        std::string t(c->text, c->length);
        if (t.size() >= 2 && t[0] == '\x03') {
            if (t[1] == 'B') return t[2] == 't' ? "true()" : "false()";
            if (t[1] == 'N') return t.substr(2);
            if (t[1] == 'O') return "n:" + t.substr(2);
            if (t[1] == 'D') return "dec:" + t.substr(2);
            if (t[1] == 'F' && t[2] == 'R') return "fn:" + t.substr(3);
            return "tag" + t.substr(1);
        }
        return "'" + t + "'";
    }
    default: return "?";
    }
}

std::string render_items(const quorvel_xpath_node_set* s) {
    if (!s || s->count != 1) {
        std::string out = "(";
        for (size_t i = 0; s && i < s->count; i++) out += (i ? " " : "") + render_item(s->items[i]);
        return out + ")";
    }
    return render_item(s->items[0]);
}

std::string render(const quorvel_xpath_result* r) {
    switch (r->kind) {
    case XPATH_BOOLEAN: return r->value.boolean ? "true()" : "false()";
    case XPATH_NUMBER: {
        char* t = xpath_to_string(r);
        std::string out = t;
        std::free(t);
        return out;
    }
    case XPATH_STRING: return "'" + std::string(r->value.string ? r->value.string : "") + "'";
    default: return render_items(r->value.nodeset);
    }
}

// The rendered result, or "error: " with the document's error text.
std::string eval(quorvel_document* doc, const char* expression, quorvel_xpath_variable_set* vars = nullptr) {
    quorvel_xpath_result* r = vars ? quorvel_xpath_eval_with_vars(doc, expression, vars)
                                   : quorvel_xpath_eval(doc, nullptr, expression);
    if (!r) {
        const char* e = quorvel_document_last_error(doc);
        return std::string("error: ") + (e ? e : "");
    }
    std::string out = render(r);
    quorvel_xpath_result_free(r);
    return out;
}

const char* const kXml = "<r><a id='1'>x</a><a id='2'>y<b/></a><c/></r>";

struct eval_case {
    const char* expression;
    const char* expected;
};

TEST(XpathConstructs, MapsAndArrays) {
    doc_ptr d(kXml);
    const eval_case cases[] = {
        {"map{'b':2,'a':1}?a", "1"},
        {"map{'b':2,'a':1}", "map{a:1,b:2}"},
        {"map{}", "map{}"},
        {"[]", "[]"},
        {"map{'a':1}?b", "()"},
        {"[1, 'x', 1 = 1, 0.5]", "[1,'x',true(),dec:0.5]"},
        {"[1, 2]?2", "2"},
        {"[0 div 0, 1 div 0, -1 div 0]", "[n:NaN,n:Infinity,n:-Infinity]"},
        {"array{1, 2, 3}", "[1,2,3]"},
        {"array{/r/a}", "[<a>,<a>]"},
        {"[/r/a]", "[(<a> <a>)]"},
        // Nesting of any depth keeps its structure.
        {"[[1,2],[3]]", "[[1,2],[3]]"},
        {"[[1,2],[3]]?1", "[1,2]"},
        {"[[1,2],[3]]?1?2", "2"},
        {"map{'o': map{'m': map{'x': 1}}}?o?m?x", "1"},
        {"map{'o': [map{'x': [[5]]}]}?o?1?x", "[[5]]"},
        // Values keep every item, nodes as nodes.
        {"map{'e': /r/a}?e", "(<a> <a>)"},
        {"map{'e': /r/a}?e/@id", "(@id=1 @id=2)"},
        {"map{'e': /r/a[2]}?e/b", "<b>"},
        {"map{1: 'one'}?1", "'one'"},
        {"map{'f': function($x) { $x }}?f", "fn"},
        {"map{'a':/r/a}?a?x", "error: The lookup operator needs a map or an array"},
        {"[1,2]?3", "error: Array index 3 out of bounds (1 to 2)"},
        {"[1,2]?x", "error: An array is looked up by integer position, not 'x'"},
        {"map{'a':1, 'a':2}", "error: Duplicate key in map constructor"},
        {"map{(/r/a): 1}", "error: A map key must be a single atomic value, got 2 items"},
        {"map{map{}: 1}", "error: A map, array or function cannot be a map key"},
        {"'x'?a", "error: The lookup operator needs a map or an array"},
        // Wildcard, computed and unary lookups.
        {"[[1,2],[3]]?*?*", "(1 2 3)"},
        {"map{'b':2,'a':1}?*", "(1 2)"},
        {"[10,20,30]?(3, 1)", "(30 10)"},
        {"[10,20,30]?(5)", "error: Array index 5 out of bounds (1 to 3)"},
        {"map{'a':1,'b':2}?(('b','z'))", "2"},
        {"(map{'a':1}, map{'a':2})[?a = 2]?a", "2"},
        {"(map{'a':1}, map{'a':2}) ! .?a", "(1 2)"},
        {"[]?*", "()"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval(d.doc, c.expression), c.expected) << c.expression;
}

TEST(XpathConstructs, FunctionItemsAndDynamicCalls) {
    doc_ptr d(kXml);
    const eval_case cases[] = {
        {"function($a) { $a + 1 }(2)", "3"},
        {"function() { 7 }()", "7"},
        {"function($a, $b) { $a - $b }(10, 3)", "7"},
        {"function($n) { $n/@id }(/r/a[2])", "@id=2"},
        {"function($f) { $f(4) }(function($x) { $x * 2 })", "8"},
        {"function($x) { function($y) { $y + 1 } }(1)(5)", "6"},
        {"map{'k': 9}('k')", "9"},
        {"[10, 20](2)", "20"},
        {"[10, 20](3)", "error: Array index 3 out of bounds (1 to 2)"},
        {"function($a) { $a }(1, 2)", "error: Function item expects 1 arguments, got 2"},
        {"'f'(1)", "error: Not a function item"},
        {"(/r/a)(1)", "error: A dynamic call needs exactly one function item, got 2 items"},
        {"function($a) { $a }($undefined)", "error: Undefined variable: undefined"},
        {"function($a) { $a?x }(1)", "error: The lookup operator needs a map or an array"},
        {"nosuch#1", "error: XPST0017: No function nosuch#1"},
        {"concat#1", "error: XPST0017: No function concat#1"},
        {"concat#2", "fn:concat#2"},
        {"concat#2('a', 'b', 'c')", "error: Function concat#2 called with 3 arguments"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval(d.doc, c.expression), c.expected) << c.expression;
}

// A parameter hides a caller's binding of any kind for the call only.
TEST(XpathConstructs, ParametersRestoreTheCallersBindings) {
    doc_ptr d(kXml);
    quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
    ASSERT_EQ(quorvel_xpath_variable_set_number(vars, "x", 5), 0);
    EXPECT_EQ(eval(d.doc, "function($x) { $x + 100 }(1)", vars), "101");
    EXPECT_EQ(eval(d.doc, "$x", vars), "5");
    EXPECT_EQ(eval(d.doc, "function($y) { $y }(1)", vars), "1");
    EXPECT_EQ(eval(d.doc, "$y", vars), "error: Undefined variable: y");
    EXPECT_EQ(eval(d.doc, "try { [1](9) } catch * { $err:code }", vars), "'FOAY0001'");
    EXPECT_EQ(eval(d.doc, "$err:code", vars), "error: Undefined variable: err:code");
    quorvel_xpath_variable_set_free(vars);
}

// Texts that merely look like function items or maps carry no address.
TEST(XpathConstructs, ForgedFunctionTextsAreRefused) {
    doc_ptr d(kXml);
    const char* forged[] = {"\x03" "FN\x02\x02" "00000000deadbeef", "\x03" "FN\x02" "x\x02" "0000000000001000",
                            "\x03" "P0000000000001000", "\x03" "FN"};
    for (const char* text : forged) {
        quorvel_xpath_variable_set* vars = xpath_variable_set_new();
        quorvel_xpath_node_set* s = xpath_nodeset_new();
        s->owns_carriers = s->is_sequence = 1;
        xpath_nodeset_add(s, xpath_synth_text(text, std::strlen(text)));
        xpath_variable_set_nodeset(xpath_variable_set_add(vars, "f", XPATH_BIND_NODESET), s);
        EXPECT_EQ(eval(d.doc, "$f()", vars).rfind("error: ", 0), 0u);
        EXPECT_EQ(eval(d.doc, "$f(0)", vars).rfind("error: ", 0), 0u);
        EXPECT_EQ(eval(d.doc, "$f?x", vars), "error: The lookup operator needs a map or an array");
        xpath_variable_set_free(vars);
    }
}

// A function item outlives the text that defined it, in the cache or not.
TEST(XpathConstructs, FunctionItemOutlivesItsExpression) {
    doc_ptr d(kXml);
    quorvel_xpath_result* f = quorvel_xpath_eval(d.doc, nullptr, "function($x) { $x * 3 + 1 }");
    quorvel_xpath_result* m = quorvel_xpath_eval(d.doc, nullptr, "map{'g': function($x) { $x - 1 }}");
    ASSERT_NE(f, nullptr);
    ASSERT_NE(m, nullptr);
    for (int i = 0; i < 100; i++) {
        std::string other = std::to_string(i) + " + 1";
        quorvel_xpath_result_free(quorvel_xpath_eval(d.doc, nullptr, other.c_str()));
    }
    xpath_cache_clear();
    quorvel_xpath_variable_set* vars = xpath_variable_set_new();
    xpath_variable_set_nodeset(xpath_variable_set_add(vars, "f", XPATH_BIND_NODESET),
                               xpath_nodeset_deep_copy(f->value.nodeset));
    xpath_variable_set_nodeset(xpath_variable_set_add(vars, "m", XPATH_BIND_NODESET),
                               xpath_nodeset_deep_copy(m->value.nodeset));
    quorvel_xpath_result_free(f);
    quorvel_xpath_result_free(m);
    EXPECT_EQ(eval(d.doc, "$f(2)", vars), "7");
    EXPECT_EQ(eval(d.doc, "$m?g(10)", vars), "9");
    xpath_variable_set_free(vars);
}

// Evaluated directly on a tree, without a shared tree: the item copies its body.
TEST(XpathConstructs, FunctionItemWithoutSharedTree) {
    doc_ptr d(kXml);
    const char* text = "function($x) { $x + 40 }";
    quorvel_xpath_ast_node* tree = xpath_parse_text(text, std::strlen(text), nullptr, 0);
    ASSERT_NE(tree, nullptr);
    quorvel_xpath_context c;
    xpath_context_init(&c, d.doc, quorvel_document_node(d.doc));
    quorvel_xpath_result* f = evaluate_expr(&c, tree);
    xpath_context_cleanup(&c);
    ast_node_free(tree);
    ASSERT_NE(f, nullptr);
    xpath_context_init(&c, d.doc, quorvel_document_node(d.doc));
    quorvel_xpath_result* two = xpath_result_new(XPATH_NUMBER);
    two->value.number = 2;
    const quorvel_xpath_result* args[] = {two};
    quorvel_xpath_result* r = xpath_call_function_values(&c, f->value.nodeset->items[0], args, 1);
    ASSERT_NE(r, nullptr) << c.error;
    EXPECT_EQ(render(r), "42");
    xpath_result_free(r);
    xpath_result_free(two);
    xpath_result_free(f);
    xpath_context_cleanup(&c);
}

TEST(XpathConstructs, TryCatch) {
    doc_ptr d(kXml);
    const eval_case cases[] = {
        {"try { [1](2) } catch * { 'caught' }", "'caught'"},
        {"try { [1](2) } catch err:FOAY0001 { $err:code }", "'FOAY0001'"},
        {"try { [1](2) } catch err:XPTY0004 { 1 } catch err:FOAY0001 { 2 }", "2"},
        {"try { [1](2) } catch * { $err:description }", "'Array index 2 out of bounds (1 to 1)'"},
        {"try { 7 idiv 0 } catch err:FOAR0001 { 'div' }", "'div'"},
        {"try { $nope } catch * { $err:description }", "'Undefined variable: nope'"},
        {"try { 1 } catch * { 2 }", "1"},
        // A clause for another code lets the failure through with its message.
        {"try { [1](2) } catch err:XPTY0004 { 1 }", "error: Array index 2 out of bounds (1 to 1)"},
        {"try { try { [1](2) } catch err:XPTY0004 { 1 } } catch * { $err:code }", "'FOAY0001'"},
        // A failing handler fails the whole expression.
        {"try { [1](2) } catch * { $nope }", "error: Undefined variable: nope"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval(d.doc, c.expression), c.expected) << c.expression;
}

TEST(XpathConstructs, NodeConstructors) {
    doc_ptr d(kXml);
    const eval_case cases[] = {
        {"element a { attribute x { 1 }, 'hi' }", "<a>"},
        {"(element a { attribute x { 1 }, 'hi' })/@x", "@x=1"},
        {"(element a { attribute x { 1 }, 'hi' })/text()", "text:hi"},
        // Strings are text, never markup.
        {"(element a { '<b/>' })/node()", "text:<b/>"},
        {"(element a { '<b/>' })/b", "()"},
        {"(element a { 'x & y < z' })/text()", "text:x & y < z"},
        {"(element a { })/node()", "()"},
        {"(element a { /r/a[2] })/a/b", "<b>"},
        {"(element a { /r/a/@id })/@id", "@id=2"},
        {"(element a { 'p', 'q', element b {}, 'r' })/node()", "(text:p q <b> text:r)"},
        {"(element a { /r/a[1]/text() })/text()", "text:x"},
        {"attribute y { 'v', 'w' }", "@y=v w"},
        {"text { 'abc' }", "text:abc"},
        {"text { () }", "()"},
        {"comment { 'note' }", "comment:note"},
        {"comment { 'a--b' }", "error: Comment content cannot hold '--' or end with '-'"},
        {"processing-instruction pi { 'data' }", "pi:pi"},
        {"document { element r { 'x' } }", "#doc"},
        {"(document { element r { 'x' } })/r", "<r>"},
        {"element a { attribute x { [1] } }", "error: A map, array or function has no string value"},
        {"element a { map{} }", "error: A map, array or function cannot be element content"},
        {"element a { element b {}, attribute x { 1 } }", "error: An attribute cannot follow element content"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval(d.doc, c.expression), c.expected) << c.expression;
}

// Constructed nodes stay valid after the evaluation, owned by the document.
TEST(XpathConstructs, ConstructedNodesOutliveTheEvaluation) {
    doc_ptr d(kXml);
    quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, "element out { /r/a[1], 'tail' }");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(quorvel_xpath_result_count(r), 1u);
    quorvel_element* e = reinterpret_cast<quorvel_element*>(quorvel_xpath_result_get_node(r, 0));
    char* xml = quorvel_element_serialize(e, nullptr);
    EXPECT_STREQ(xml, "<out><a id=\"1\">x</a>tail</out>");
    std::free(xml);
    quorvel_xpath_result_free(r);
}

// The text form of maps: the builder, decoding, lookups and array members.
TEST(XpathConstructs, MapTextsAndBuilder) {
    quorvel_xpath_map_builder* b = static_cast<quorvel_xpath_map_builder*>(std::calloc(1, sizeof *b));
    xpath_map_builder_add(b, "b", "2");
    xpath_map_builder_add(b, "a", "1");
    xpath_map_builder_add(b, "a", "3");
    xpath_map_builder_add(b, "e", nullptr);
    quorvel_xpath_result* r = xpath_map_builder_finish(b);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(render(r), "map{a:'1',b:'2',e:''}");
    char* v = xpath_map_lookup_result(r, "a");
    EXPECT_STREQ(v, "1");
    std::free(v);
    EXPECT_EQ(xpath_map_lookup_result(r, "ab"), nullptr);
    xpath_result_free(r);

    // Nested arrays round-trip through their text at any depth.
    doc_ptr d(kXml);
    quorvel_xpath_result* nested = quorvel_xpath_eval(d.doc, nullptr, "[[1, [2, 'a']], [], map{'k': [3]}]");
    ASSERT_NE(nested, nullptr);
    char* text = fn_item_arg_string(nested);
    ASSERT_NE(text, nullptr);
    char** members = nullptr;
    size_t count = 0;
    ASSERT_EQ(xpath_array_members_of(text, &members, &count), 1);
    ASSERT_EQ(count, 3u);
    quorvel_xpath_node_set* back = xpath_value_of_item_text(text);
    EXPECT_EQ(render_items(back), "map{1:map{1:1,2:map{1:2,2:'a'}},2:map{},3:map{k:map{1:3}}}");
    xpath_nodeset_free(back);
    char** inner = nullptr;
    size_t inner_count = 0;
    ASSERT_EQ(xpath_array_members_of(members[0], &inner, &inner_count), 1);
    EXPECT_EQ(inner_count, 2u);
    for (size_t i = 0; i < inner_count; i++) std::free(inner[i]);
    std::free(inner);
    for (size_t i = 0; i < count; i++) std::free(members[i]);
    std::free(members);
    std::free(text);
    xpath_result_free(nested);

    EXPECT_EQ(xpath_array_members_of("\x03MAP\x02" "2\x01x", &members, &count), 0);
    EXPECT_EQ(xpath_array_members_of("plain", &members, &count), 0);
    EXPECT_EQ(members, nullptr);
}

}  // namespace
