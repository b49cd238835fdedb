// The XPath parser: tree shapes of the 1.0 to 3.1 syntax, the exact error
// texts, and the limits that keep hostile expressions from exhausting the
// stack.
#include <gtest/gtest.h>

#include <string>

#include "xpath_test_support.h"

namespace {

using xpath_test::parse;

struct row {
    const char* text;
    const char* expected;  // the tree, or "error: " and the message
};

void check(const row* rows, size_t n) {
    for (size_t i = 0; i < n; i++) {
        SCOPED_TRACE(rows[i].text);
        EXPECT_EQ(parse(rows[i].text), rows[i].expected);
    }
}

TEST(XpathParser, PathsAndSteps) {
    const row rows[] = {
        {"a", "step:child:3(name:a)"},
        {"a/b", "rel(step:child:3(name:a),step:child:3(name:b))"},
        {"/a/b", "abs(rel(step:child:3(name:a),step:child:3(name:b)))"},
        {"//a", "abs(step:descendant-or-self:5(kind:node),rel(step:child:3(name:a)))"},
        {"a//b", "rel(step:child:3(name:a),step:descendant-or-self:5(kind:node),step:child:3(name:b))"},
        {"/", "abs"},
        {"(/)", "abs"},
        {"/ | x", "op14(abs,step:child:3(name:x))"},
        {"count(/)", "call:count(abs)"},
        {"//*", "abs(step:descendant-or-self:5(*))"},
        {"//*/a", "path(abs(step:descendant-or-self:5(*)),rel(step:child:3(name:a)))"},
        // A position counts among the children of each parent, so "//*[1]"
        // keeps the general shape instead of one fused step.
        {"//*[1]", "abs(step:descendant-or-self:5(kind:node),rel(step:child:3(*,num:1)))"},
        {"@id", "step:attribute:2(name:id)"},
        {".", "step:self:12(kind:node)"},
        {"..", "step:parent:9(kind:node)"},
        {"(.)[1]", "filter(step:self:12(kind:node),num:1)"},
        {"ancestor-or-self::x:y[2][@a]",
         "step:ancestor-or-self:1(name:x:y{x|y},num:2,step:attribute:2(name:a))"},
        {"x:*", "step:child:3(x:*)"},
        {"x: *", "step:child:3(x:*)"},
        {"*", "step:child:3(*)"},
        {"div/mod", "rel(step:child:3(name:div),step:child:3(name:mod))"},
        {"text()", "step:child:3(kind:text)"},
        {"text ()", "call:text"},
        {"processing-instruction('x')", "step:child:3(kind:processing-instruction[x])"},
        {"node()/a", "path(step:child:3(kind:node),rel(step:child:3(name:a)))"},
        {"$x/a", "path($x,rel(step:child:3(name:a)))"},
        {"$x//a", "path($x,step:descendant-or-self:5(kind:node),rel(step:child:3(name:a)))"},
        {"a/count(.)", "op20(step:child:3(name:a),call:count(step:self:12(kind:node)))"},
        {"$x/name()", "op20($x,call:name)"},
        {"$x/f()/a", "op20(op20($x,call:f),rel(step:child:3(name:a)))"},
        {"/a/count(.)/b",
         "op20(op20(abs(step:child:3(name:a)),call:count(step:self:12(kind:node))),rel(step:child:3(name:b)))"},
        // "//" in front of a function call keeps its descendant-or-self step.
        {"a//f()", "op20(rel(step:child:3(name:a),step:descendant-or-self:5(kind:node)),call:f)"},
        {"$x//f()", "op20(path($x,rel(step:descendant-or-self:5(kind:node))),call:f)"},
        {"a/f()//b",
         "op20(op20(step:child:3(name:a),call:f),rel(step:descendant-or-self:5(kind:node),step:child:3(name:b)))"},
        {"$x/f()//b",
         "op20(op20($x,call:f),rel(step:descendant-or-self:5(kind:node),step:child:3(name:b)))"},
    };
    check(rows, std::size(rows));
}

TEST(XpathParser, PrimariesAndPostfixOperators) {
    const row rows[] = {
        {"1", "num:1"},
        {"1.0", "num:1:xs:decimal"},
        {"1e0", "num:1:xs:double"},
        {"1.2.3", "num:1.2:xs:decimal"},
        {"'a''b'", "str:'a'b'"},
        {"\"a\"\"b\"", "str:'a\"b'"},
        {"'&lt;x&gt;'", "str:'<x>'"},
        {"'&#65;&#x42;&#X43;'", "str:'ABC'"},
        {"'&#0;&bogus;&#xD800;&amp'", "str:'&#0;&bogus;&#xD800;&amp'"},
        {"'&#233;'", "str:'\xc3\xa9'"},
        {"()", "op23"},
        {"(1, 2)", "op23(num:1,num:2)"},
        {"1, 2", "op23(num:1,num:2)"},
        {"f(?, 2)", "op31:%1(call:f($%1,num:2))"},
        {"f(?, ?)", "op31:%1\\1%2(call:f($%1,$%2))"},
        {"fn:concat#3", "op32:fn:concat#3"},
        {"count#1(1)", "op33(op32:count#1,num:1)"},
        {"$m?name", "op30:name($m)"},
        {"$m?1", "op30:1($m)"},
        {"$m?*", "op30($m)"},
        {"$m?($k, 'a')", "op30($m,op23($k,str:'a'))"},
        {"?a", "op30:a(step:self:12(kind:node))"},
        {"f(?a, ?)", "op31:%1(call:f(op30:a(step:self:12(kind:node)),$%1))"},
        {"(: a (: nested :) comment :) 1", "num:1"},
        {"Q{http://www.w3.org/2005/xpath-functions}concat#3", "op32:fn:concat#3"},
        {"Q{}a", "step:child:3(name:a)"},
        {"$f(1, 2)", "op33($f,num:1,num:2)"},
        {"$f()", "op33($f)"},
        {"(1)[2][3]", "filter(filter(num:1,num:2),num:3)"},
        {"[1, 2]", "op29(num:1,num:2)"},
        {"[]", "op29"},
        {"array {1, 2}", "op50(num:1,num:2)"},
        {"array {}", "op50"},
        {"map { 'a' : 1, 'b' : (2, 3) }", "op28(str:'a',num:1,str:'b',op23(num:2,num:3))"},
        {"map {}", "op28"},
        {"map{'a':1}?a", "op30:a(op28(str:'a',num:1))"},
        {"$x", "$x"},
        {"$p:x", "$p:x"},
    };
    check(rows, std::size(rows));
}

TEST(XpathParser, OperatorLadder) {
    const row rows[] = {
        {"1 or 2 and 3", "op0(num:1,op1(num:2,num:3))"},
        {"1 to 3 = 2", "op2(op18(num:1,num:3),num:2)"},
        {"'a' || 1 to 2", "op21(str:'a',op18(num:1,num:2))"},
        {"1 + 2 to 4", "op18(op8(num:1,num:2),num:4)"},
        {"a = b = c", "op2(op2(step:child:3(name:a),step:child:3(name:b)),step:child:3(name:c))"},
        {"1 eq 1 = true()", "op2(op2(num:1,num:1),call:true)"},
        {"1 < 2 != 3 >= 4", "op3(op4(num:1,num:2),op7(num:3,num:4))"},
        {"$a eq $b", "op2($a,$b)"},
        {"$a eq 'b'", "op2($a,str:'b')"},
        {"$a eq b()", "op2($a,call:b)"},
        {"$a ne 1 and $b lt 2", "op1(op3($a,num:1),op4($b,num:2))"},
        {"$a le 1 or $b gt 2 or $c ge 3",
         "op0(op0(op5($a,num:1),op6($b,num:2)),op7($c,num:3))"},
        {"$a is $b", "op42($a,$b)"},
        {"a is b", "op42(step:child:3(name:a),step:child:3(name:b))"},
        {"$a << $b", "op43($a,$b)"},
        {"$a >> $b", "op44($a,$b)"},
        {"'a' || 'b' || 'c'", "op21(op21(str:'a',str:'b'),str:'c')"},
        {"1 + 2 * 3 - 4", "op9(op8(num:1,op10(num:2,num:3)),num:4)"},
        {"6 div 2 mod 4 idiv 1", "op13(op12(op11(num:6,num:2),num:4),num:1)"},
        {"5-3", "op9(num:5,num:3)"},
        {"--1", "op15(op15(num:1))"},
        {"+-+1", "op15(num:1)"},
        // Signs bind tighter than the arrow, the arrow tighter than the type
        // operators, and those tighter than union, intersect and except.
        {"-a | b", "op14(op15(step:child:3(name:a)),step:child:3(name:b))"},
        {"a | b => f()", "op14(step:child:3(name:a),call:f(step:child:3(name:b)))"},
        {"-2 => abs()", "call:abs(op15(num:2))"},
        {"a union b", "op14(step:child:3(name:a),step:child:3(name:b))"},
        {"union union union", "op14(step:child:3(name:union),step:child:3(name:union))"},
        {"/a union /b", "op14(abs(rel(step:child:3(name:a))),abs(rel(step:child:3(name:b))))"},
        {"$x => f(1) => g()", "call:g(call:f($x,num:1))"},
        {"$a intersect $b except $c", "op46(op45($a,$b),$c)"},
        {"(1, 2) ! (. + 1)", "op20(op23(num:1,num:2),op8(step:self:12(kind:node),num:1))"},
        {"$x cast as xs:integer + 1", "op8(op26:xs:integer($x),num:1)"},
        {"'1' cast as xs:integer eq 1", "op2(op26:xs:integer(str:'1'),num:1)"},
        {"1 + $x cast as xs:integer", "op8(num:1,op26:xs:integer($x))"},
        {"$x cast as xs:integer castable as xs:string treat as item() instance of item()",
         "op24:item()(op27:item()(op25:xs:string(op26:xs:integer($x))))"},
        {"$x instance of item() | $y", "op14(op24:item()($x),$y)"},
        {"-$x cast as xs:string", "op26:xs:string(op15($x))"},
        {"$x instance of xs:integer*", "op24:xs:integer*($x)"},
        {"$x instance of xs:integer * 2", "op10(op24:xs:integer($x),num:2)"},
        {"$x instance of item()?", "op24:item()?($x)"},
        {"$x treat as node()+", "op27:node()+($x)"},
        {"$x castable as xs:double?", "op25:xs:double?($x)"},
        {"1 instance of empty-sequence()", "op24:empty-sequence()(num:1)"},
    };
    check(rows, std::size(rows));
}

TEST(XpathParser, KeywordExpressions) {
    const row rows[] = {
        {"for $x at $i in (1, 2) return $i", "op17:x\\1i(op23(num:1,num:2),$i)"},
        {"for $x in A, $y in $x/b return $y",
         "op17:x(step:child:3(name:A),op17:y(path($x,rel(step:child:3(name:b))),$y))"},
        {"for $x in (3, 1) where $x > 1 order by $x descending empty least, $x return $x",
         "op17:x(op23(num:3,num:1),op16(op6($x,num:1),$x,op23),$x,num:3,$x,num:0)"},
        {"for $x in 1 stable order by $x ascending collation 'c' return $x",
         "op17:x(num:1,$x,$x,num:0)"},
        {"let $a := 1, $b := 2 return $a + $b", "op19:a b(num:1,num:2,op8($a,$b))"},
        {"some $x in (1, 2) satisfies $x > 1", "op47(op49:x(op23(num:1,num:2)),op6($x,num:1))"},
        {"every $x in 1, $y in 2 satisfies $x", "op48(op49:x(num:1),op49:y(num:2),$x)"},
        {"if (1) then 2 else 3", "op16(num:1,num:2,num:3)"},
        {"switch ($x) case 1 case 2 return 'a' default return 'b'",
         "op22:__switch_default($x,op23(num:1,num:2),str:'a',str:'b')"},
        {"typeswitch ($x) case xs:integer return 1 case $s as xs:string return 2 default return 3",
         "op41:xs:integer\\1s\\2xs:string\\1\\1($x,num:1,num:2,num:3)"},
        {"typeswitch ($x) case element(a) return 1 case node() return 2 default return 3",
         "op41:element(a)\\1node()\\1\\1($x,num:1,num:2,num:3)"},
        {"try { 1 div 0 } catch * { 0 }", "op40:*(op11(num:1,num:0),num:0)"},
        {"try { 1 } catch err:FOAR0001 { 2 } catch err:* { 3 }",
         "op40:err:FOAR0001\\1err:*(num:1,num:2,num:3)"},
        {"function($a as xs:integer) as xs:integer { $a + 1 }", "op31:a(op8($a,num:1))"},
        {"function($a, $b) { $a }(1, 2)", "op33(op31:a\\1b($a),num:1,num:2)"},
        {"function() { 1 }", "op31:(num:1)"},
        {"element a { 'x', 1 }", "op34:a(str:'x',num:1)"},
        {"element div {}", "op34:div"},
        {"attribute x { 1 }", "op35:x(num:1)"},
        {"text { 'x' }", "op36(str:'x')"},
        {"comment {}", "op39(op23)"},
        {"processing-instruction pi { 'd' }", "op38:pi(str:'d')"},
        {"document { 1, 2 }", "op37(num:1,num:2)"},
        {"for $x in 1 return $x", "op17:x(num:1,$x)"},
        // Keywords are names anywhere else.
        {"for", "step:child:3(name:for)"},
        {"if/then", "rel(step:child:3(name:if),step:child:3(name:then))"},
        {"map", "step:child:3(name:map)"},
        {"element", "step:child:3(name:element)"},
    };
    check(rows, std::size(rows));
}

// The texts of every failure, exactly: what the parser reports with line and
// column, and what a failure without message reports.
TEST(XpathParser, ErrorTexts) {
    const row rows[] = {
        {"1 +", "error: Unexpected token EOF at line 1, column 4 in primary expression"},
        {"1 to 2 to 3", "error: Unexpected token after expression: NCNAME at line 1, column 8"},
        // A lone "/" ends where no step can begin; "." and ".." take filters.
        {"/ , 1", "op23(abs,num:1)"},
        {"/ = 1", "op2(abs,num:1)"},
        {".[1]", "step:self:12(kind:node,num:1)"},
        {"..[1]", "step:parent:9(kind:node,num:1)"},
        {"/a/[1]", "error: Expected node test at line 1, column 4"},
        {"a/f()/g()", "error: Unexpected token after expression: LPAREN at line 1, column 8"},
        {"child :: a", "error: Unexpected token after expression: DOUBLE_COLON at line 1, column 7"},
        {"$a eq b", "error: Unexpected token after expression: NCNAME at line 1, column 4"},
        {"map{a:1}", "error: XPath syntax error"},
        {"1 % 2", "error: Invalid character '%' at line 1, column 3"},
        {"count(//a) & 1", "error: Invalid character '&' at line 1, column 12"},
        {"'abc", "error: Unterminated string literal at line 1"},
        {"'a\x01'", "error: Invalid character in string literal at line 1, column 3"},
        {"(1, 2", "error: Expected ')' after sequence at line 1, column 6 (got EOF)"},
        {"(1 2)", "error: Expected ')' after expression at line 1, column 4 (got NUMBER)"},
        {"f(1 2)", "error: Expected ')' after function arguments at line 1, column 5 (got NUMBER)"},
        {"a[1", "error: Expected ']' to end predicate at line 1, column 4 (got EOF)"},
        {"child::", "error: Expected node test at line 1, column 8"},
        {"child:: 1", "error: Expected node test at line 1, column 9"},
        {"child", "step:child:3(name:child)"},
        {"comment(1)", "error: Expected ')' after node type at line 1, column 9 (got NUMBER)"},
        {"$", "error: Expected variable name after $ at line 1, column 1"},
        {"$1", "error: Expected variable name after $ at line 1, column 1"},
        {")", "error: Unexpected token RPAREN at line 1, column 1 in primary expression"},
        {"1 + }", "error: Unexpected token UNKNOWN at line 1, column 5 in primary expression"},
        {"1 => 2", "error: Expected function name after '=>'"},
        {"1 => f", "error: Expected '(' after arrow function name at line 1, column 7 (got EOF)"},
        {"1 => f(2", "error: Expected ')' after arrow arguments at line 1, column 9 (got EOF)"},
        {"let $a = 1 return 2", "error: Expected ':=' in let binding"},
        {"let $a := 1, b := 2 return 3", "error: Expected '$' variable in let binding"},
        {"let $a := 1 retrun 2", "error: Expected 'return' in let expression"},
        {"let $ := 1 return 2", "error: Expected variable name in let"},
        {"for $x 1 return 2", "error: Expected 'in' in for expression"},
        {"for $x in 1, y in 2 return 3", "error: Expected '$' variable after ',' in for"},
        {"for $x at i in 1 return 2", "error: Expected '$' position variable after at"},
        {"for $x at $1 in 1 return 2", "error: Expected position variable name"},
        {"for $x in 1 order $x return 2", "error: Expected 'by' after 'order'"},
        {"for $x in 1 retrun 2", "error: Expected 'return' in for expression"},
        {"some $x in 1 satisfy 2", "error: Expected 'satisfies' in quantified expression"},
        {"some $x of 1 satisfies 2", "error: Expected 'in' in quantified expression"},
        {"every $1 in 1 satisfies 2", "error: Expected variable name in quantified expression"},
        {"if (1) 2 else 3", "error: Expected 'then' in if expression"},
        {"if (1) then 2", "error: Expected 'else' in if expression"},
        {"if (1 2) then 3 else 4", "error: Expected ')' after if condition"},
        {"switch (1) case 1 return 2", "error: Expected 'case' or 'default' in switch"},
        {"switch (1) case 1 2", "error: Expected 'return' after switch case"},
        {"switch (1) default 2", "error: Expected 'return' after switch default"},
        {"switch (1 2) default return 2", "error: Expected ')' after switch operand"},
        {"try { 1 }", "error: XPath syntax error"},
        {"function($a { 1 }", "error: XPath syntax error"},
        {"element a { 1", "error: XPath syntax error"},
        {"$m?", "error: Expected a key after '?' at line 1, column 3"},
        {"$m?1.5", "error: Expected a key after '?' at line 1, column 3"},
        {"$m?p:k", "error: Expected a key after '?' at line 1, column 3"},
        {"(: a (: nested :) comment :) 1 (: end", "error: Unterminated comment starting before line 1"},
        {"Q{u", "error: Malformed Q{uri}name at line 1, column 1"},
        {"$f(1", "error: XPath syntax error"},
        {"f#x", "error: XPath syntax error"},
        {"array { 1", "error: Expected '}' after array content at line 1, column 10 (got EOF)"},
        {"$x instance of", "error: XPath syntax error"},
        {"", "error: Unexpected token EOF at line 1, column 1 in primary expression"},
        {"1 1", "error: Unexpected token after expression: NUMBER at line 1, column 3"},
        {"a\n  b", "error: Unexpected token after expression: NCNAME at line 2, column 3"},
    };
    check(rows, std::size(rows));
}

// The thread's last-error text gets the short form of the same failures.
TEST(XpathParser, ShortFormsInTheThreadText) {
    struct short_row {
        const char* text;
        const char* thread;
    } rows[] = {
        {"1 +", "Unexpected token in primary expression: EOF"},
        {"1 1", "Unexpected token after expression: NUMBER"},
        {"/a/, 1", "Expected node test"},
        {"(1, 2", "Expected ')' after sequence (got EOF)"},
        {"1 % 2", "Invalid character '%' in XPath expression"},
    };
    for (const short_row& r : rows) {
        SCOPED_TRACE(r.text);
        parse(r.text);
        EXPECT_STREQ(quorvel_last_error(), r.thread);
    }
}

TEST(XpathParser, ClauseListsGrowWithTheirClauses) {
    // Many long clauses: every type keeps its place before its own return.
    std::string ts = "typeswitch ($x) ";
    std::string clauses;
    for (int i = 0; i < 40; i++) {
        std::string type = "p:type-with-a-rather-long-name-number-" + std::to_string(i);
        ts += "case $variable-name-that-is-long-" + std::to_string(i) + " as " + type + " return " +
              std::to_string(i) + " ";
        if (i) clauses += '\x01';
        clauses += "variable-name-that-is-long-" + std::to_string(i) + "\x02" + type;
    }
    ts += "default return -1";
    char message[256];
    quorvel_xpath_ast_node* tree = xpath_parse_text(ts.data(), ts.size(), message, sizeof message);
    ASSERT_NE(tree, nullptr) << message;
    EXPECT_EQ(std::string(tree->text), clauses + "\x01\x01");
    ASSERT_EQ(tree->count, 42u);
    EXPECT_EQ(tree->children[40]->number, 39);
    ast_node_free(tree);

    std::string tc = "try { 1 }";
    std::string tests;
    for (int i = 0; i < 40; i++) {
        std::string name = "err:ERROR-CODE-NUMBER-" + std::to_string(i);
        tc += " catch " + name + " { " + std::to_string(i) + " }";
        if (i) tests += '\x01';
        tests += name;
    }
    tree = xpath_parse_text(tc.data(), tc.size(), message, sizeof message);
    ASSERT_NE(tree, nullptr) << message;
    EXPECT_EQ(std::string(tree->text), tests);
    EXPECT_EQ(tree->count, 41u);
    ast_node_free(tree);
}

std::string repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; i++) out += s;
    return out;
}

// Names are never shortened: a cut lookup key or variable name would refer
// to something else.
TEST(XpathParser, LongNamesAreKeptWhole) {
    const std::string key = repeat("k", 200);
    EXPECT_EQ(parse("$m?" + key), "op30:" + key + "($m)");
    const std::string var = repeat("v", 120);
    EXPECT_EQ(parse("typeswitch (1) case $" + var + " as xs:string return $" + var + " default return 0"),
              "op41:" + var + "\\2xs:string\\1\\1(num:1,$" + var + ",num:0)");
}

// Deep or long input fails with one message, or parses into a tree no
// taller than the limit; it never runs the stack out.
TEST(XpathParser, NestingLimits) {
    struct deep {
        std::string text;
        bool accepted;
    } rows[] = {
        {repeat("(", 100000) + "1" + repeat(")", 100000), false},
        {repeat("-", 100000) + "1", false},
        {"1" + repeat("+1", 100000), false},
        {repeat("[", 100000) + repeat("]", 100000), false},
        {repeat("f(", 100000) + repeat(")", 100000), false},
        {"(a)" + repeat("[1]", 100000), false},
        {"a" + repeat("[1]", 100000), true},  // predicates of one step: flat
        {"$m" + repeat("?a", 100000), false},
        {"a/f()" + repeat("/b", 100000), false},
        {repeat("if (1) then ", 100000) + "1" + repeat(" else 2", 100000), false},
        {"a" + repeat("/b", 100000), true},  // one path node with many steps: flat
        {repeat("(", 900) + "1" + repeat(")", 900), true},
        {repeat("-", 900) + "1", true},
        {"1" + repeat("+1", 900), true},
    };
    for (const deep& r : rows) {
        SCOPED_TRACE(r.text.substr(0, 20));
        std::string result = parse(r.text).substr(0, 100);
        if (r.accepted)
            EXPECT_EQ(result.rfind("error", 0), std::string::npos) << result;
        else
            EXPECT_EQ(result, "error: expression nested too deeply");
    }
    char message[256];
    std::string sum = "1" + repeat("+1", 999);
    quorvel_xpath_ast_node* tree = xpath_parse_text(sum.data(), sum.size(), message, sizeof message);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->height, 1000);
    ast_node_free(tree);
    std::string longer = sum + "+1";
    EXPECT_EQ(xpath_parse_text(longer.data(), longer.size(), message, sizeof message), nullptr);
    EXPECT_STREQ(message, "expression nested too deeply");
}

}  // namespace
