// Evaluation: location paths over every axis and node kind, predicates,
// document order and node identity, operators, variables, namespaces,
// application functions, the public entry points and the result readers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quorvel.h"
#include "xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;
using xpath_test::take;

// A compact text of a result: node sets list their items (elements by
// name, @name=value, t:text, c:comment, pi:target, ns:prefix=uri, #doc).
std::string show(const quorvel_xpath_result* r) { return r ? xpath_test::show_sequence(r) : "NULL"; }

std::string eval(quorvel_document* doc, const char* expr, quorvel_node* node = nullptr) {
    quorvel_xpath_result* r = quorvel_xpath_eval(doc, node, expr);
    std::string s = r ? show(r) : std::string("ERR:") + quorvel_document_last_error(doc);
    quorvel_xpath_result_free(r);
    return s;
}

struct eval_case {
    const char* xml;
    const char* expr;
    const char* expected;
};

constexpr const char* kD1 = "<r><a id=\"1\">x</a><a id=\"2\">y<b/></a><c/></r>";
constexpr const char* kMixed = "<!--top--><r><a/>hello<b/><!--c--><?p d?></r><?after x?>";
constexpr const char* kNested = "<r><s><a/><b/></s><s><a/><c/></s><d/></r>";

const eval_case kPathCases[] = {
    // Child and positional steps.
    {kD1, "/r/a[2]/b", "[b]"},
    {kD1, "/r/a[last()]", "[a]"},
    {kD1, "/r/a[1]/text()", "[t:x]"},
    {kD1, "/r/*", "[a a c]"},
    {kD1, "r/c", "[c]"},
    {kD1, "/r/a[position() = 2]/@id", "[@id=2]"},
    {kD1, "//a/@id", "[@id=1 @id=2]"},
    {kD1, "//@*", "[@id=1 @id=2]"},
    {kD1, "/", "[#doc]"},
    {kD1, "/r/..", "[#doc]"},
    {kD1, "//b/ancestor::node()", "[#doc r a]"},
    {kD1, "//b/ancestor::*[1]", "[a]"},
    {kD1, "//b/ancestor-or-self::*", "[r a b]"},
    {kD1, "//node()", "[r a t:x a t:y b c]"},
    {kD1, "//a[@id = '2']", "[a]"},
    {kD1, "//a[@id = 2]/text()", "[t:y]"},
    {kD1, "//a[b]", "[a]"},
    {kD1, "/r/a/@id/..", "[a a]"},
    {kD1, "//c/preceding-sibling::*", "[a a]"},
    {kD1, "//c/preceding-sibling::*[1]/@id", "[@id=2]"},
    {kD1, "//a[1]/following-sibling::*", "[a c]"},
    {kD1, "//b/preceding::node()", "[a t:x t:y]"},
    {kD1, "//b/preceding::*[1]", "[a]"},
    {kD1, "//a[1]/following::*", "[a b c]"},
    {kD1, "/r/self::r", "[r]"},
    {kD1, "/r/self::a", "[]"},
    {kD1, "//a[1]/@id/following::node()", "[t:x a t:y b c]"},
    {kD1, "//a[1]/@id/ancestor::*", "[r a]"},
    {kD1, "(//a)[2]/@id", "[@id=2]"},
    {kD1, "//a[2]//text()", "[t:y]"},
    // Every node kind on the sibling and document axes, top level included.
    {kMixed, "//a/following::text()", "[t:hello]"},
    {kMixed, "//text()/following::*", "[b]"},
    {kMixed, "//a/following-sibling::node()", "[t:hello b c:c pi:p]"},
    {kMixed, "//text()/preceding-sibling::node()", "[a]"},
    {kMixed, "/r/following::node()", "[pi:after]"},
    {kMixed, "/r/preceding::node()", "[c:top]"},
    {kMixed, "/r/following-sibling::node()", "[pi:after]"},
    {kMixed, "/r/preceding-sibling::comment()", "[c:top]"},
    {kMixed, "/node()", "[c:top r pi:after]"},
    {kMixed, "//comment()", "[c:top c:c]"},
    {kMixed, "//processing-instruction('p')", "[pi:p]"},
    {kMixed, "//processing-instruction()", "[pi:p pi:after]"},
    {kMixed, "//comment()/..", "[#doc r]"},
    {kMixed, "/descendant::text()/parent::*", "[r]"},
    // Document order across several context nodes; positions per parent.
    {kNested, "//s/*", "[a b a c]"},
    {kNested, "//a/..", "[s s]"},
    {kNested, "//*[1]", "[r s a a]"},
    {kNested, "(//*)[1]", "[r]"},
    {kNested, "//s/*[last()]", "[b c]"},
    {kNested, "//a/following::*", "[b s a c d]"},
    {kNested, "//a/preceding::*", "[s a b]"},
    {kNested, "//c/preceding::*", "[s a b a]"},
    {kNested, "//c | //a | //c", "[a a c]"},
    {kNested, "//s[2]/* | //s[1]/*", "[a b a c]"},
    {kNested, "//d/preceding-sibling::*[1]/*", "[a c]"},
    {kNested, "//s/ancestor::*", "[r]"},
};

TEST(XpathEval, Paths) {
    for (const eval_case& c : kPathCases) {
        doc_ptr d(c.xml);
        ASSERT_NE(d.doc, nullptr) << c.xml;
        EXPECT_EQ(eval(d.doc, c.expr), c.expected) << c.expr << " on " << c.xml;
    }
}

const eval_case kValueCases[] = {
    {kD1, "1 + 2 * 3", "'7'"},
    {kD1, "string(2147483647)", "'2147483647'"},
    {kD1, "2147483647", "'2147483647'"},
    {kD1, "1e10", "'10000000000'"},
    {kD1, "0.1", "'0.1'"},
    {kD1, "7 div 2", "'3.5'"},
    {kD1, "7 mod 3", "'1'"},
    {kD1, "7 idiv 0.5", "'14'"},
    {kD1, "1 idiv 0", "ERR:FOAR0001: Division by zero"},
    {kD1, "-(3)", "'-3'"},
    {kD1, "'abc'", "'abc'"},
    {kD1, "//a = 'y'", "true"},
    {kD1, "//a != 'y'", "true"},
    {kD1, "//a = 'z'", "false"},
    {kD1, "//@id > 1", "true"},
    {kD1, "//@id > 2", "false"},
    {kD1, "//a = //a[2]", "true"},
    {kD1, "//zz = //zz", "false"},
    {kD1, "//a = true()", "true"},
    {kD1, "'abc' < 1", "false"},
    {kD1, "'12abc' = 12", "false"},
    {kD1, "1 = 1 and 2 = 3", "false"},
    {kD1, "1 = 2 or 2 = 2", "true"},
    {kD1, "1[1]", "'1'"},
    {kD1, "1[2]", "[]"},
    {kD1, "position()", "'1'"},
    {kD1, "//a[last()]/@id = 2", "true"},
    {kD1, "/r/a[$nope]", "ERR:Undefined variable: nope"},
    {kD1, "//a[nope()]", "ERR:Unknown function: nope"},
    {kD1, "fn:concat('a')", "ERR:Function fn:concat expects 2--1 arguments, got 1"},
    {kD1, "1 | 2", "ERR:Union operands must be node sets"},
    {kD1, "(1, 2) union (1, 2)", "ERR:Union operands must be node sets"},
    {kD1, "/r | ('a', /r)", "ERR:Union operands must be node sets"},
};

TEST(XpathEval, ValuesAndOperators) {
    for (const eval_case& c : kValueCases) {
        doc_ptr d(c.xml);
        EXPECT_EQ(eval(d.doc, c.expr), c.expected) << c.expr;
    }
}

// Forms the parser once refused: "*:local" name tests, a lone "/" before
// an operator, a filter on ".", an arrow to a dynamic function, inline
// function bodies that are empty or hold a comma list, and the type
// operators binding tighter than comparisons.
constexpr const char* kNs = "<r xmlns:p=\"urn:p\"><p:a p:k=\"1\" k=\"2\"/><a/><b/></r>";
const eval_case kSyntaxCases[] = {
    {kNs, "count(//*:a)", "'2'"},
    {kNs, "//*:a/@*:k", "[@p:k=1 @k=2]"},
    {kNs, "/*:r/*:b", "[b]"},
    {kNs, "count(//*:nope)", "'0'"},
    {kNs, "2 *:a", "ERR:Unexpected token UNKNOWN at line 1, column 4 in primary expression"},
    {kNs, "count(/ | /)", "'1'"},
    {kNs, "/ = /", "true"},
    {kNs, "count((/, 1))", "'2'"},
    {kNs, "count(.[/ = .])", "'1'"},
    {kNs, "string-join((1, 2, 3) ! .[. > 1])", "'23'"},
    {kNs, "/r/*/.[2]", "[]"},
    {kNs, "/r/b/..[1]", "[r]"},
    {kNs, "let $f := abs#1 return -1 => $f()", "'1'"},
    {kNs, "let $f:= tokenize#1 return 'a b c' => $f() => count()", "'3'"},
    {kNs, "string(2 => (map{1: 'one', 2: 'two'})())", "'two'"},
    {kNs, "4.5 => ((ceiling#1, floor#1) => head())()", "'5'"},
    {kNs, "'x' => (concat#3)('y', 'z')", "'xyz'"},
    {kNs, "count(function() {}())", "'0'"},
    {kNs, "string-join(function($x) { $x, $x }(7))", "'77'"},
    {kNs, "'1' cast as xs:integer eq 1", "true"},
    {kNs, "1 to 3 = 2", "true"},
};

TEST(XpathEval, SyntaxForms) {
    for (const eval_case& c : kSyntaxCases) {
        doc_ptr d(c.xml);
        EXPECT_EQ(eval(d.doc, c.expr), c.expected) << c.expr;
    }
}

TEST(XpathEval, ContextNodeAndRelativePaths) {
    doc_ptr d(kD1);
    quorvel_xpath_result* second = quorvel_xpath_eval(d.doc, nullptr, "/r/a[2]");
    ASSERT_EQ(quorvel_xpath_result_count(second), 1u);
    quorvel_node* a2 = quorvel_xpath_result_get_node(second, 0);
    EXPECT_EQ(eval(d.doc, "b", a2), "[b]");
    EXPECT_EQ(eval(d.doc, ".", a2), "[a]");
    EXPECT_EQ(eval(d.doc, "@id", a2), "[@id=2]");
    EXPECT_EQ(eval(d.doc, "../c", a2), "[c]");
    EXPECT_EQ(eval(d.doc, "/r/c", a2), "[c]");
    EXPECT_EQ(eval(d.doc, "preceding-sibling::a/text()", a2), "[t:x]");
    quorvel_xpath_result_free(second);
}

TEST(XpathEval, AttributeAndNamespaceNodesHaveOneIdentity) {
    doc_ptr d("<r xmlns:p=\"urn:p\"><e a=\"1\" b=\"2\"/></r>");
    EXPECT_EQ(eval(d.doc, "//@a | //@a"), "[@a=1]");
    EXPECT_EQ(eval(d.doc, "//e/@b | //@*"), "[@a=1 @b=2]");
    EXPECT_EQ(eval(d.doc, "//e/@a/.. | //e"), "[e]");
    EXPECT_EQ(eval(d.doc, "//e/namespace::p | //e/namespace::p"), "[ns:p=urn:p]");
    EXPECT_EQ(eval(d.doc, "//e/@*/self::node()"), "[@a=1 @b=2]");
    // Attributes are never namespace declarations.
    EXPECT_EQ(eval(d.doc, "/r/@*"), "[]");
}

TEST(XpathEval, NamespacesThroughASet) {
    doc_ptr d("<p:r xmlns:p=\"urn:x\"><p:a/><a/></p:r>");
    quorvel_xpath_ns_set* ns = quorvel_xpath_ns_set_new();
    ASSERT_EQ(quorvel_xpath_ns_set_add(ns, "q", "urn:x"), 0);
    quorvel_xpath_result* r = quorvel_xpath_eval_ns(d.doc, nullptr, "/q:r/q:a", ns);
    EXPECT_EQ(show(r), "[a]");
    quorvel_xpath_result_free(r);
    r = quorvel_xpath_eval_ns(d.doc, nullptr, "/q:r/a", ns);
    EXPECT_EQ(show(r), "[a]") << "an unprefixed test matches no-namespace elements only";
    quorvel_xpath_result_free(r);
    r = quorvel_xpath_eval_ns(d.doc, nullptr, "/q:r/q:*", ns);
    EXPECT_EQ(quorvel_xpath_result_count(r), 1u);
    quorvel_xpath_result_free(r);
    r = quorvel_xpath_eval_ns(d.doc, nullptr, "/r", ns);
    EXPECT_EQ(show(r), "[]");
    quorvel_xpath_result_free(r);
    quorvel_xpath_ns_set_free(ns);

    const quorvel_xpath_ns_pair good[] = {{"a", "urn:a"}, {"b", "urn:b"}};
    const quorvel_xpath_ns_pair bad[] = {{"a", "urn:a"}, {"b", ""}};
    quorvel_xpath_ns_set* set = quorvel_xpath_ns_set_new_from_pairs(good, 2);
    EXPECT_NE(set, nullptr);
    EXPECT_EQ(quorvel_xpath_ns_set_add(set, "a", "urn:other"), 0);
    EXPECT_EQ(quorvel_xpath_ns_set_add(set, "", "urn:x"), -4);
    EXPECT_EQ(quorvel_xpath_ns_set_add(nullptr, "x", "urn:x"), -4);
    quorvel_xpath_ns_set_free(set);
    EXPECT_EQ(quorvel_xpath_ns_set_new_from_pairs(bad, 2), nullptr);
    EXPECT_EQ(quorvel_xpath_ns_set_new_from_pairs(good, 0), nullptr);
}

// Names written Q{uri}local need no prefix binding; Q{} is no namespace.
TEST(XpathEval, NamesWithTheirUri) {
    doc_ptr d("<p:r xmlns:p=\"urn:x\"><p:a/><a/></p:r>");
    const struct {
        const char* expression;
        const char* expected;
    } rows[] = {
        {"/Q{urn:x}r/Q{urn:x}a", "[a]"},
        {"/Q{urn:x}r/Q{}a", "[a]"},
        {"/Q{urn:y}r", "[]"},
        {"/Q{urn:x}r/@Q{urn:x}a", "[]"},
        {"Q{http://www.w3.org/2005/xpath-functions}string-length('abc') (: a comment :)", "'3'"},
        {"Q{http://www.w3.org/2005/xpath-functions/math}pi() > 3", "true"},
        {"xs:integer('4') instance of Q{http://www.w3.org/2001/XMLSchema}integer", "true"},
    };
    for (const auto& row : rows) {
        quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, row.expression);
        EXPECT_EQ(show(r), row.expected) << row.expression;
        quorvel_xpath_result_free(r);
    }
}

TEST(XpathEval, Variables) {
    doc_ptr d(kD1);
    quorvel_xpath_variable_set* vs = quorvel_xpath_variable_set_new();
    ASSERT_NE(vs, nullptr);
    EXPECT_EQ(quorvel_xpath_variable_set_number(vs, "n", 2), 0);
    EXPECT_EQ(quorvel_xpath_variable_set_string(vs, "n", "x"), -5);
    EXPECT_EQ(quorvel_xpath_variable_set_string(vs, "s", nullptr), 0);
    EXPECT_EQ(quorvel_xpath_variable_set_boolean(vs, "b", 5), 0);
    EXPECT_EQ(quorvel_xpath_variable_set_number(nullptr, "n", 1), -4);
    EXPECT_EQ(quorvel_xpath_variable_set_number(vs, nullptr, 1), -4);
    EXPECT_EQ(quorvel_xpath_variable_set_number(vs, "", 1), -1);

    quorvel_xpath_result* r = quorvel_xpath_eval_with_vars(d.doc, "$n", vs);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(quorvel_xpath_result_number(r), 2);
    quorvel_xpath_result_free(r);

    r = quorvel_xpath_eval_with_vars(d.doc, "/r/a[$n]/@id", vs);
    EXPECT_EQ(show(r), "[@id=2]");
    quorvel_xpath_result_free(r);
    r = quorvel_xpath_eval_with_vars(d.doc, "$s", vs);
    EXPECT_EQ(show(r), "''");
    quorvel_xpath_result_free(r);
    r = quorvel_xpath_eval_with_vars(d.doc, "$b", vs);
    EXPECT_EQ(show(r), "true");
    quorvel_xpath_result_free(r);

    EXPECT_EQ(quorvel_xpath_eval_with_vars(d.doc, "$m", vs), nullptr);
    EXPECT_STREQ(quorvel_document_last_error(d.doc), "Undefined variable: m");

    quorvel_xpath_result* second = quorvel_xpath_eval(d.doc, nullptr, "/r/a[2]");
    r = quorvel_xpath_eval_with_vars_context(d.doc, quorvel_xpath_result_get_node(second, 0), "b[$b]", vs);
    EXPECT_EQ(show(r), "[b]");
    quorvel_xpath_result_free(r);
    quorvel_xpath_result_free(second);
    quorvel_xpath_variable_set_free(vs);
}

char* greet(const char** args, int count, void* user) {
    std::string s = static_cast<const char*>(user);
    for (int i = 0; i < count; i++) s += std::string("|") + args[i];
    return strdup(s.c_str());
}

char* refuse(const char**, int, void*) { return nullptr; }

TEST(XpathEval, ApplicationFunctions) {
    doc_ptr d(kD1);
    doc_ptr other(kD1);
    EXPECT_EQ(quorvel_xpath_register_function(d.doc, "hello", greet, const_cast<char*>("first")), 0);
    EXPECT_EQ(quorvel_xpath_register_function(d.doc, "hello", greet, const_cast<char*>("second")), 0);
    EXPECT_EQ(quorvel_xpath_register_function(d.doc, "fails", refuse, nullptr), 0);
    EXPECT_EQ(quorvel_xpath_register_function(nullptr, "x", greet, nullptr), -4);
    EXPECT_EQ(quorvel_xpath_register_function(d.doc, nullptr, greet, nullptr), -4);
    EXPECT_EQ(quorvel_xpath_register_function(d.doc, "x", nullptr, nullptr), -4);

    EXPECT_EQ(eval(d.doc, "hello('x', //a[2]/@id, 1 + 1)"), "'first|x|2|2'");
    EXPECT_EQ(eval(d.doc, "//a[hello() = 'first']/@id"), "[@id=1 @id=2]");
    EXPECT_EQ(eval(other.doc, "hello()"), "ERR:Unknown function: hello");
    EXPECT_EQ(quorvel_xpath_eval(d.doc, nullptr, "fails()"), nullptr);
    // A failing argument fails the call.
    EXPECT_EQ(eval(d.doc, "hello($undefined)"), "ERR:Undefined variable: undefined");

    EXPECT_EQ(quorvel_xpath_function_supported("translate"), 1);
    EXPECT_EQ(quorvel_xpath_function_supported("matches"), 0);
    EXPECT_EQ(quorvel_xpath_function_supported(nullptr), 0);
    const char* const* names = quorvel_xpath_supported_functions();
    size_t n = 0;
    while (names[n]) n++;
    EXPECT_STREQ(names[0], "last");
    EXPECT_STREQ(names[n - 1], "name");
}

TEST(XpathEval, FailuresPropagate) {
    doc_ptr d(kD1);
    const char* failing[] = {
        "//a[$x]", "//a[1][nope()]", "(//a)[$x]", "1[$x]", "//a[@id = $x] | //c", "-$x", "$x or 1", "1 and $x",
    };
    for (const char* e : failing) {
        EXPECT_EQ(quorvel_xpath_eval(d.doc, nullptr, e), nullptr) << e;
        int status = 0;
        EXPECT_EQ(quorvel_xpath_eval_versioned(d.doc, nullptr, e, 3, &status), nullptr) << e;
        EXPECT_EQ(status, -3) << e;
    }
}

TEST(XpathEval, VersionedEvaluation) {
    doc_ptr d(kD1);
    struct {
        const char* expr;
        int version;
        int status;
        bool result;
    } cases[] = {
        {"1 != 2", 1, 0, true},
        {"'a!b'", 1, 0, true},
        {"@let = 1", 1, 0, true},
        {"/r/map | /r/array", 1, 0, true},
        {"//function", 1, 0, true},
        {"1 ! 2", 1, -5, false},
        {"1 => f()", 1, -5, false},
        {"let $x := 1 return $x", 1, -5, false},
        {"map { 'a': 1 }", 1, -5, false},
        {"array { 1 }", 1, -5, false},
        {"function($x) { $x }", 1, -5, false},
        {"1", 2, -5, false},
        {"1", 3, 0, true},
        {"$nope", 1, -3, false},
    };
    for (const auto& c : cases) {
        int status = 99;
        quorvel_xpath_result* r = quorvel_xpath_eval_versioned(d.doc, nullptr, c.expr, c.version, &status);
        EXPECT_EQ(status, c.status) << c.expr;
        EXPECT_EQ(r != nullptr, c.result) << c.expr;
        if (c.status == -5 && c.version == 1) {
            EXPECT_STREQ(quorvel_last_error(), "XPath 3.x syntax rejected in QUORVEL_XPATH_10 mode");
        }
        quorvel_xpath_result_free(r);
    }
    int status = 0;
    EXPECT_EQ(quorvel_xpath_eval_versioned(nullptr, nullptr, "1", 3, &status), nullptr);
    EXPECT_EQ(status, -4);
}

TEST(XpathEval, ErrorTexts) {
    doc_ptr d(kD1);
    EXPECT_EQ(quorvel_xpath_eval(d.doc, nullptr, "1 +"), nullptr);
    std::string syntax = quorvel_document_last_error(d.doc);
    EXPECT_NE(syntax.find("column 4"), std::string::npos) << syntax;
    // Success leaves the old message.
    quorvel_xpath_result_free(quorvel_xpath_eval(d.doc, nullptr, "1"));
    EXPECT_EQ(quorvel_document_last_error(d.doc), syntax);
    // Compiling entry points report syntax errors to the thread only.
    EXPECT_EQ(quorvel_xpath_eval_ns(d.doc, nullptr, "1 *", nullptr), nullptr);
    EXPECT_EQ(quorvel_document_last_error(d.doc), syntax);
    EXPECT_EQ(quorvel_xpath_eval(nullptr, nullptr, "1"), nullptr);
    EXPECT_EQ(quorvel_xpath_eval(d.doc, nullptr, nullptr), nullptr);
}

TEST(XpathEval, CompiledHandles) {
    doc_ptr d(kD1);
    quorvel_xpath_compiled* c = quorvel_xpath_compile("a[@id = $n]/text()");
    ASSERT_NE(c, nullptr);
    quorvel_xpath_result* root = quorvel_xpath_eval(d.doc, nullptr, "/r");
    quorvel_node* r = quorvel_xpath_result_get_node(root, 0);
    quorvel_xpath_variable_set* vs = quorvel_xpath_variable_set_new();
    for (int n = 1; n <= 2; n++) {
        ASSERT_EQ(quorvel_xpath_variable_set_number(vs, "n", n), 0);
        quorvel_xpath_result* res = quorvel_xpath_compiled_eval_vars(c, d.doc, r, vs);
        EXPECT_EQ(show(res), n == 1 ? "[t:x]" : "[t:y]");
        quorvel_xpath_result_free(res);
        res = quorvel_xpath_compiled_eval_ns_vars(c, d.doc, r, nullptr, vs);
        EXPECT_EQ(quorvel_xpath_result_count(res), 1u);
        quorvel_xpath_result_free(res);
    }
    EXPECT_EQ(quorvel_xpath_compiled_eval(c, d.doc, r), nullptr);
    EXPECT_STREQ(quorvel_document_last_error(d.doc), "Undefined variable: n");
    EXPECT_EQ(quorvel_xpath_compiled_eval(nullptr, d.doc, r), nullptr);
    EXPECT_EQ(quorvel_xpath_compiled_eval(c, nullptr, r), nullptr);
    // Many other texts through the cache: the handle still evaluates.
    for (int i = 0; i < 40; i++) {
        std::string e = "/r/a[" + std::to_string(i) + "]";
        quorvel_xpath_result_free(quorvel_xpath_eval(d.doc, nullptr, e.c_str()));
    }
    quorvel_xpath_result* res = quorvel_xpath_compiled_eval_vars(c, d.doc, r, vs);
    EXPECT_EQ(show(res), "[t:y]");
    quorvel_xpath_result_free(res);
    quorvel_xpath_compiled* ns = quorvel_xpath_compile("//a");
    res = quorvel_xpath_compiled_eval_ns(ns, d.doc, nullptr, nullptr);
    EXPECT_EQ(show(res), "[a a]");
    quorvel_xpath_result_free(res);
    quorvel_xpath_compiled_free(ns);
    quorvel_xpath_variable_set_free(vs);
    quorvel_xpath_result_free(root);
    quorvel_xpath_compiled_free(c);
}

TEST(XpathEval, GatherOverSeveralContextNodes) {
    doc_ptr d(kNested);
    quorvel_xpath_result* all = quorvel_xpath_eval(d.doc, nullptr, "//*");
    ASSERT_EQ(quorvel_xpath_result_count(all), 8u);
    // d, then r (whose results overlap d's), then NULL: each node once, in order.
    const quorvel_node* nodes[] = {quorvel_xpath_result_get_node(all, 7), nullptr,
                                   quorvel_xpath_result_get_node(all, 0)};
    quorvel_xpath_result* r = quorvel_xpath_eval_nodeset(d.doc, nodes, 3, "preceding-sibling::* | .//a | @*");
    EXPECT_EQ(show(r), "[s a s a]");
    quorvel_xpath_result_free(r);
    // A first NULL entry still sorts.
    const quorvel_node* later[] = {nullptr, quorvel_xpath_result_get_node(all, 7),
                                   quorvel_xpath_result_get_node(all, 1)};
    r = quorvel_xpath_eval_nodeset(d.doc, later, 3, "self::* | ..");
    EXPECT_EQ(show(r), "[r s d]");
    quorvel_xpath_result_free(r);
    doc_ptr attrs("<r><e a='1'/><e a='2'/></r>");
    quorvel_xpath_result* es = quorvel_xpath_eval(attrs.doc, nullptr, "//e");
    const quorvel_node* both[] = {quorvel_xpath_result_get_node(es, 1), quorvel_xpath_result_get_node(es, 0),
                                  quorvel_xpath_result_get_node(es, 1)};
    r = quorvel_xpath_eval_nodeset(attrs.doc, both, 3, "@a");
    EXPECT_EQ(show(r), "[@a=1 @a=2]");
    quorvel_xpath_result_free(r);
    quorvel_xpath_result_free(es);
    EXPECT_EQ(quorvel_xpath_eval_nodeset(d.doc, nodes, 0, "."), nullptr);
    quorvel_xpath_result_free(all);
}

TEST(XpathEval, ResultReaders) {
    doc_ptr d("<r><a id=\"1\">x</a><a id=\"2\">y<b/></a><c/><n> 12 </n><m>12</m></r>");
    quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, "//a/@id | //a/text() | //c");
    ASSERT_EQ(quorvel_xpath_result_count(r), 5u);
    EXPECT_EQ(quorvel_xpath_result_type(r), 0);
    EXPECT_EQ(quorvel_xpath_result_node_kind(r, 0), 1);
    EXPECT_EQ(quorvel_xpath_result_node_kind(r, 1), 2);
    EXPECT_EQ(quorvel_xpath_result_node_kind(r, 4), 0);
    EXPECT_EQ(quorvel_xpath_result_node_kind(r, 5), 3);
    EXPECT_EQ(quorvel_xpath_result_get(r, 1), nullptr);
    EXPECT_NE(quorvel_xpath_result_get_node(r, 1), nullptr);
    EXPECT_NE(quorvel_xpath_result_get(r, 4), nullptr);
    EXPECT_EQ(quorvel_xpath_result_get_node(r, 9), nullptr);
    EXPECT_STREQ(quorvel_xpath_result_node_name(r, 0), "id");
    EXPECT_STREQ(quorvel_xpath_result_node_value(r, 0), "1");
    EXPECT_STREQ(quorvel_xpath_result_node_value(r, 1), "x");
    EXPECT_EQ(quorvel_xpath_result_node_value(r, 4), nullptr);
    EXPECT_EQ(quorvel_xpath_result_node_name(r, 1), nullptr);
    EXPECT_EQ(quorvel_xpath_result_get_nodes_ex(r, nullptr, nullptr, 2), 2u);
    quorvel_node* nodes[8];
    int kinds[8];
    EXPECT_EQ(quorvel_xpath_result_get_nodes_ex(r, nodes, kinds, 8), 5u);
    EXPECT_EQ(kinds[2], 1);
    quorvel_element* elements[8];
    EXPECT_EQ(quorvel_xpath_result_get_nodes(r, elements, 8), 1u);
    EXPECT_EQ(take(quorvel_xpath_result_string(r)), "1");
    EXPECT_EQ(quorvel_xpath_result_number(r), 1);
    EXPECT_EQ(quorvel_xpath_result_boolean(r), 1);
    quorvel_xpath_result_free(r);

    r = quorvel_xpath_eval(d.doc, nullptr, "/");
    EXPECT_EQ(quorvel_xpath_result_node_kind(r, 0), 3);
    EXPECT_EQ(quorvel_node_get_type(quorvel_xpath_result_get_node(r, 0)), QUORVEL_NODE_DOCUMENT);
    EXPECT_EQ(take(quorvel_xpath_result_string(r)), "xy 12 12");
    quorvel_xpath_result_free(r);

    r = quorvel_xpath_eval(d.doc, nullptr, "//n");
    EXPECT_TRUE(std::isnan(quorvel_xpath_result_number(r))) << "the reader allows no trailing blanks";
    quorvel_xpath_result_free(r);
    r = quorvel_xpath_eval(d.doc, nullptr, "//m");
    EXPECT_EQ(quorvel_xpath_result_number(r), 12);
    quorvel_xpath_result_free(r);
    r = quorvel_xpath_eval(d.doc, nullptr, "//zz");
    EXPECT_EQ(take(quorvel_xpath_result_string(r)), "");
    EXPECT_EQ(quorvel_xpath_result_boolean(r), 0);
    EXPECT_TRUE(std::isnan(quorvel_xpath_result_number(r)));
    quorvel_xpath_result_free(r);
    EXPECT_EQ(quorvel_xpath_result_type(nullptr), 3);
    EXPECT_EQ(quorvel_xpath_result_count(nullptr), 0u);
    EXPECT_EQ(take(quorvel_xpath_result_string(nullptr)), "");
    EXPECT_TRUE(std::isnan(quorvel_xpath_result_number(nullptr)));
}

// A chain of depth elements built through the API.
quorvel_document* deep_document(size_t depth) {
    int status = 0;
    quorvel_document* doc = quorvel_parse_string("<d/>", 4, &status);
    quorvel_element* e = quorvel_document_root(doc);
    for (size_t i = 0; i < depth; i++) {
        quorvel_element* child = quorvel_element_new_with_attributes(doc, "d", nullptr, nullptr, 0);
        if (!child || quorvel_element_append_child(e, reinterpret_cast<quorvel_node*>(child)) != 0) {
            quorvel_document_free(doc);
            return nullptr;
        }
        e = child;
    }
    quorvel_node* text = quorvel_text_node_create(doc, "end");
    if (quorvel_element_append_child(e, text) != 0) {
        quorvel_document_free(doc);
        return nullptr;
    }
    return doc;
}

TEST(XpathEval, DeepDocuments) {
    quorvel_document* doc = deep_document(100000);
    ASSERT_NE(doc, nullptr);
    struct {
        const char* expr;
        const char* expected;
    } cases[] = {
        {"count-free: //text()", "[t:end]"},
        {"//text()/ancestor::d[last()]/@x", "[]"},
        {"(//d)[last()]/text()", "[t:end]"},
        {"//text()/preceding::node()", "[]"},
        {"/d/following::text()", "[]"},
        {"//d[text()]/text()", "[t:end]"},
        {"//text()/ancestor::node()[last()]", "[#doc]"},
    };
    for (const auto& c : cases) {
        const char* e = std::strncmp(c.expr, "count-free: ", 12) ? c.expr : c.expr + 12;
        EXPECT_EQ(eval(doc, e), c.expected) << e;
    }
    quorvel_xpath_result* r = quorvel_xpath_eval(doc, nullptr, "//d/..");
    EXPECT_EQ(quorvel_xpath_result_count(r), 100001u);
    quorvel_xpath_result_free(r);
    quorvel_document_free(doc);
}

}  // namespace

namespace {

TEST(XpathEval, MillionElements) {
    std::string xml = "<r>";
    for (int i = 0; i < 1000000 / 4; i++) xml += "<g><e/><e/><e/></g>";
    xml += "</r>";
    doc_ptr d(xml.c_str());
    ASSERT_NE(d.doc, nullptr);
    struct {
        const char* expr;
        size_t count;
    } cases[] = {{"//*", 1000001}, {"//e", 750000}, {"/r/g/e[2]", 250000}, {"//g[last()]/e", 3}, {"//e/..", 250000}};
    for (const auto& c : cases) {
        quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, c.expr);
        EXPECT_EQ(quorvel_xpath_result_count(r), c.count) << c.expr;
        quorvel_xpath_result_free(r);
    }
}

}  // namespace

namespace {

// "//x" runs as one descendant step where that selects the same nodes; a
// predicate that counts keeps the per-parent positions.
TEST(XpathEval, DescendantShortcutKeepsPositions) {
    doc_ptr d("<r><s><a i='1'/><a i='2'/></s><s><a i='3'/></s><a i='4'><a i='5'/></a></r>");
    const eval_case cases[] = {
        {nullptr, "//a[1]/@i", "[@i=1 @i=3 @i=4 @i=5]"},
        {nullptr, "//a[last()]/@i", "[@i=2 @i=3 @i=4 @i=5]"},
        {nullptr, "//a[2]/@i", "[@i=2]"},
        {nullptr, "//a[@i > 2]/@i", "[@i=3 @i=4 @i=5]"},
        {nullptr, "//a[@i > 1 and position() = 1]/@i", "[@i=3 @i=4 @i=5]"},
        {nullptr, "//s//a/@i", "[@i=1 @i=2 @i=3]"},
        {nullptr, "/r//a[@i = 5]/../@i", "[@i=4]"},
        {nullptr, "//a//a/@i", "[@i=5]"},
        {nullptr, "//s/a[1]/@i", "[@i=1 @i=3]"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval(d.doc, c.expr), c.expected) << c.expr;
}

}  // namespace
