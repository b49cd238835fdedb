// The 2.0 compound expressions: sequences, if, switch, for, let, "!", the
// quantifiers, ranges, intersect and except, and the sequence-type
// operators (instance of, castable, cast, treat, typeswitch), with the
// ownership of items shared between bindings and results.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "quorvel.h"
#include "xpath/xpath.h"
#include "xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;
using xpath_test::take;

std::string show(const quorvel_xpath_result* r) { return xpath_test::show_sequence(r); }
std::string eval(quorvel_document* doc, const char* expr) { return xpath_test::eval_sequence(doc, expr); }

constexpr const char* kDoc = "<r><a id=\"1\" k=\"p\">x</a><a id=\"2\">y<b/></a><c/><e id=\"9\" k=\"2\" z=\"3\"/></r>";

struct eval_case {
    const char* expr;
    const char* expected;
};

const eval_case kCases[] = {
    // Sequence constructor: values become typed items, sequences flatten.
    {"()", "[]"},
    {"(1, 'a', 1 = 1, 1.5, 2e0)", "[N1 'a' Btrue D1.5 O2]"},
    {"(1, (2, 3), ())", "[N1 N2 N3]"},
    {"(//c, 1, //c)", "[c N1 c]"},
    {"(1 to 5)[. > 3]", "[N4 N5]"},
    {"(1 to 100000)[last()]", "[N100000]"},
    // if and switch.
    {"if (//b) then 'yes' else 'no'", "'yes'"},
    {"if (()) then 1 else (2, 3)", "[N2 N3]"},
    {"switch (2) case 1 return 'a' case 2 return 'b' default return 'c'", "'b'"},
    {"switch ('x') case 'y' return 1 default return 0", "'0'"},
    {"switch (4) case 1 case 4 return 'one or four' default return 'other'", "'one or four'"},
    {"switch ('1') case 1 return 'number' default return 'string'", "'string'"},
    {"switch (()) case () return 'empty' default return 'x'", "'empty'"},
    {"switch (//a[1]/@id) case '1' return 'untyped as string' default return 'x'", "'untyped as string'"},
    // for: positional variable, where, order by; nodes stay nodes.
    {"for $x in (1, 2) return $x * 10", "[N10 N20]"},
    {"for $e in //a return $e", "[a a]"},
    {"for $x in () return error-never-called()", "[]"},
    {"for $s at $i in ('p', 'q') return $i", "[N1 N2]"},
    {"for $x in (3, 1, 2) order by $x return $x", "[N1 N2 N3]"},
    {"for $x in (3, 1, 2) order by $x descending return $x", "[N3 N2 N1]"},
    {"for $x in ('b', 'a', 'c') order by $x return $x", "['a' 'b' 'c']"},
    {"for $x in ('10', '9', '11') order by $x return $x", "['10' '11' '9']"},
    {"for $e in //*[@id] order by $e/@id descending return $e/@id", "[@id=9 @id=2 @id=1]"},
    {"for $x in (2, (), 1) order by $x empty least return $x", "[N1 N2]"},
    {"for $x in (2, 1) order by (), $x return $x", "[N1 N2]"},
    {"for $x in (1, 2, 3, 4) where $x mod 2 = 0 return $x", "[N2 N4]"},
    {"for $x in (1, 2), $y in (10, 20) return $x + $y", "[N11 N21 N12 N22]"},
    {"for $x in (1, 2), $y in ($x, $x) return $y", "[N1 N1 N2 N2]"},
    {"for $x in ('', 'a') return if ($x) then 1 else 0", "[N0 N1]"},
    {"for $i in (2, 1) return (10, 20)[$i]", "[N20 N10]"},
    {"(10, 20, 30)[(2)]", "[N20]"},
    {"(10, 20, 30)[(2, 3)]", "[N10 N20 N30]"},
    // let.
    {"let $a := 1, $b := $a + 1 return $b", "'2'"},
    {"let $s := //a return ($s, $s)", "[a a a a]"},
    {"let $a := 1, $a := $a + 5 return $a", "'6'"},
    {"let $x := 1 return (let $x := 2 return $x, $x)", "[N2 N1]"},
    {"let $s := ('') return if ($s) then 'true' else 'false'", "'false'"},
    {"typeswitch ((1, //c)) case $v as item() return $v default return ()", "[N1 c]"},
    // Simple map: the context item is each item, atomic ones included.
    {"(1, 2) ! (. * 2)", "[N2 N4]"},
    {"('a', 'b') ! (. = 'b')", "[Bfalse Btrue]"},
    {"//a ! @id", "[@id=1 @id=2]"},
    {"//a ! position()", "[N1 N2]"},
    {"for $r in /r return $r//a/string()", "['x' 'y']"},
    // Quantifiers.
    {"some $x in (1, 2), $y in (3) satisfies $x + $y = 5", "true"},
    {"every $x in (1, 2) satisfies $x > 1", "false"},
    {"some $x in () satisfies true()", "false"},
    {"every $x in () satisfies false()", "true"},
    {"some $x in (1, 2), $y in ($x + 1) satisfies $y = 3", "true"},
    {"every $a in //a satisfies $a/@id", "true"},
    // intersect and except: node identity, document order.
    {"//a/@id | //a/@id", "[@id=1 @id=2]"},
    {"//a intersect //a[2]", "[a]"},
    {"/r/e/@* except /r/e/@id", "[@k=2 @z=3]"},
    {"/r/e/@* intersect /r/e/@z", "[@z=3]"},
    {"(//c, //a) intersect (//a, //c)", "[a a c]"},
    {"//a except //a", "[]"},
    {"(3, 1, 2, //c) | (5, 4)", "ERR:Union operands must be node sets"},
    // instance of and treat.
    {"5 instance of xs:integer", "true"},
    {"5.5 instance of xs:integer", "false"},
    {"(1, 2) instance of xs:integer", "false"},
    {"(1, 2) instance of xs:integer+", "true"},
    {"() instance of xs:string?", "true"},
    {"() instance of xs:string", "false"},
    {"() instance of empty-sequence()", "true"},
    {"'abc' instance of xs:string", "true"},
    {"//a instance of element()+", "true"},
    {"//a[1] instance of xs:string", "false"},
    {"//a[1]/@id instance of attribute()", "true"},
    {"(/) instance of document-node()", "true"},
    {"(/) instance of node()", "true"},
    {"(1 = 1) instance of xs:boolean", "true"},
    {"(1, 'a') instance of item()*", "true"},
    {"'abc' instance of xs:date", "false"},
    {"1e3 instance of xs:integer", "false"},
    {"1e3 instance of xs:double", "true"},
    {"5 instance of xs:decimal", "true"},
    {"5 instance of xs:anyAtomicType", "true"},
    {"(5 cast as xs:byte) instance of xs:short", "true"},
    {"('a' cast as xs:NCName) instance of xs:string", "true"},
    {"('P1Y' cast as xs:yearMonthDuration) instance of xs:duration", "true"},
    {"(1 = 1, 2) instance of xs:boolean+", "false"},
    // Arithmetic and rounding give the promoted type, whatever the value.
    {"(1.5 + 2.5) instance of xs:integer", "false"},
    {"(1.5 + 2.5) instance of xs:decimal", "true"},
    {"(4 div 2) instance of xs:integer", "false"},
    {"(7 idiv 2) instance of xs:integer", "true"},
    {"(3 * 2) instance of xs:integer", "true"},
    {"(2 + 1e0) instance of xs:double", "true"},
    {"(-(2.5e0)) instance of xs:double", "true"},
    {"(//a[1]/@id + 1) instance of xs:double", "true"},
    {"(xs:float('1.1') + 1) instance of xs:float", "true"},
    {"string(xs:float('1.1') + 1)", "'2.1'"},
    {"string(xs:double('0.1') + xs:double('0.2'))", "'0.30000000000000004'"},
    {"floor(12.5e0) instance of xs:double", "true"},
    {"ceiling(12.5) instance of xs:integer", "false"},
    {"round(2.5e0) instance of xs:double", "true"},
    {"floor(12) instance of xs:integer", "true"},
    {"number(true()) instance of xs:double", "true"},
    {"number('3') instance of xs:integer", "false"},
    // Integers past 2^53 stay exact through literals, arithmetic, items,
    // comparisons and sum().
    {"string(9007199254740993)", "'9007199254740993'"},
    {"string(9007199254740992 + 1)", "'9007199254740993'"},
    {"string(-9007199254740993 - 2)", "'-9007199254740995'"},
    {"string(9007199254740993 idiv 2)", "'4503599627370496'"},
    {"string(9007199254740993 mod 10)", "'3'"},
    {"string(sum((9007199254740993, 1)))", "'9007199254740994'"},
    {"9007199254740993 = 9007199254740992", "false"},
    {"(9007199254740993, 1) = 9007199254740992", "false"},
    {"9007199254740993 > 9007199254740992", "true"},
    {"string(-9223372036854775807 - 1)", "'-9223372036854775808'"},
    {"(-9223372036854775807 - 1) idiv -1", "ERR:FOAR0002: Numeric operation overflow/underflow"},
    {"string(5 mod 0)", "'NaN'"},

    {"(1, 2) treat as xs:integer+", "[N1 N2]"},
    // castable as and cast as.
    {"'12' castable as xs:integer", "true"},
    {"'1.5' castable as xs:integer", "false"},
    {"'-7' castable as xs:integer", "true"},
    {"'+7' castable as xs:integer", "true"},
    {"' 12 ' castable as xs:double", "true"},
    {"'2024-13-01' castable as xs:date", "false"},
    {"'2024-02-28Z' castable as xs:date", "true"},
    {"'maybe' castable as xs:boolean", "false"},
    {"'xs:b' castable as xs:QName", "true"},
    {"'a:b' castable as xs:QName", "false"},
    {"'abc' castable as xs:hexBinary", "false"},
    {"() castable as xs:integer?", "true"},
    {"(1, 2) castable as xs:integer", "false"},
    {"'abc' cast as xs:integer", "ERR:FORG0001: Invalid lexical form for xs:integer: 'abc'"},
    {"'128' castable as xs:byte", "false"},
    {"-128 castable as xs:byte", "true"},
    {"0 castable as xs:positiveInteger", "false"},
    {"'-1' castable as xs:unsignedInt", "false"},
    {"1e300 castable as xs:integer", "true"},
    {"(0 div 0) castable as xs:integer", "false"},
    {"300 cast as xs:byte", "ERR:FORG0001: Value 300 out of range for xs:byte"},
    {"(1 div 0) cast as xs:integer", "ERR:FOCA0002: Cannot cast INF to xs:integer"},
    {"//a[1] cast as xs:integer", "ERR:FORG0001: Invalid lexical form for xs:integer: 'x'"},
    {"3.7 cast as xs:integer", "'3'"},
    {"-3.7 cast as xs:int", "'-3'"},
    {"'1' cast as xs:boolean", "true"},
    {"'12' cast as xs:double", "'12'"},
    {"(1.5 cast as xs:float) instance of xs:float", "true"},
    {"('12' cast as xs:integer) + 1", "'13'"},
    {"() cast as xs:integer?", "[]"},
    {"(1, 2) cast as xs:integer", "ERR:XPTY0004: Cannot cast a sequence of 2 items to xs:integer"},
    {"'2024-01-15' cast as xs:date", "'2024-01-15'"},
    {"('2024-01-15' cast as xs:date, 1)", "[E2024-01-15 N1]"},
    // typeswitch: the matching case binds the operand.
    {"typeswitch ((1, 2)) case $v as xs:integer return $v default return ()", "[N1 N2]"},
    {"typeswitch ('a') case xs:integer return 'int' case xs:string return 'str' default return 'other'", "'str'"},
    {"typeswitch (//a) case $e as element() return ($e, $e) default return 0", "[a a a a]"},
    {"typeswitch (1 = 1) case xs:integer return 1 default return 'default'", "'default'"},
    {"typeswitch (()) case xs:string return 1 case empty-sequence() return 'none' default return 2", "'none'"},
    {"typeswitch (1.5) case xs:integer return 'i' case xs:decimal return 'd' default return 'x'", "'d'"},
    {"typeswitch (//a[1]/@id) case $a as attribute(id) return $a default return 'x'", "[@id=1]"},
    // Failures inside a construct fail the whole expression.
    {"for $x in (1, 2) return $undefined", "ERR:Undefined variable: undefined"},
    {"switch (1) case 1 return $undefined default return 'x'", "ERR:Undefined variable: undefined"},
    {"some $x in (1, 2) satisfies $undefined", "ERR:Undefined variable: undefined"},
    {"let $a := $undefined return 1", "ERR:Undefined variable: undefined"},
    {"(1, 2) ! $undefined", "ERR:Undefined variable: undefined"},
    {"(1, $undefined)", "ERR:Undefined variable: undefined"},
    {"if ($undefined) then 1 else 2", "ERR:Undefined variable: undefined"},
    {"(1, 2) intersect //a", "ERR:XPTY0004: The operands of intersect must be nodes"},
    {"(1 to 3000) ! (1 to 3000)", "ERR:Sequence of more than 4000000 items"},
};

TEST(XpathSequences, ExpressionTable) {
    doc_ptr d(kDoc);
    ASSERT_NE(d.doc, nullptr);
    for (const eval_case& c : kCases) EXPECT_EQ(eval(d.doc, c.expr), c.expected) << c.expr;
}

// Items bound by a for clause, a typeswitch case or a let and then combined
// with other sequences: every set frees only what it owns, once.
TEST(XpathSequences, SharedItemsAreFreedOnce) {
    doc_ptr d(kDoc);
    EXPECT_EQ(eval(d.doc, "for $a in //@id return ($a, //@id)[last()]"), "[@id=9 @id=9 @id=9]");
    EXPECT_EQ(eval(d.doc, "for $a in //@id return count(($a, //@id))"), "[N4 N4 N4]");
    EXPECT_EQ(eval(d.doc, "count((1 to 5)[. > 3])"), "'2'");
    EXPECT_EQ(eval(d.doc, "sum(('P1M', 'P2M'))"), "'P3M'");
    EXPECT_EQ(eval(d.doc, "for $a in //@id return ($a, $a) | //@k"), "[@id=1 @k=p @k=2 @k=p @id=2 @k=2 @k=p @id=9 @k=2]");
    EXPECT_EQ(eval(d.doc, "typeswitch ((1, 2)) case $v as xs:integer return ($v, $v) default return ()"),
              "[N1 N2 N1 N2]");
    EXPECT_EQ(eval(d.doc, "let $i := //@id return ($i, $i) except //a/@id"), "[@id=9]");
    EXPECT_EQ(eval(d.doc, "some $x in //@id satisfies ($x, //@id, $x)[5]"), "true");
}

// A caller's variable of the same name is hidden inside a binding
// construct, whatever its kind, and is intact afterwards.
TEST(XpathSequences, OuterBindingsSurvive) {
    doc_ptr d(kDoc);
    quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
    ASSERT_EQ(quorvel_xpath_variable_set_number(vars, "x", 5), 0);
    ASSERT_EQ(quorvel_xpath_variable_set_string(vars, "s", "outer"), 0);
    const eval_case cases[] = {
        {"some $x in (1, 2) satisfies $x = 1", "true"},
        {"every $x in (1, 2) satisfies $x < 3", "true"},
        {"for $x in //a return $x", "[a a]"},
        {"let $x := 'shadow' return $x", "'shadow'"},
        {"typeswitch ('t') case $x as xs:string return $x default return 0", "'t'"},
        {"(for $x in (1, 2) return $x, $x)", "[N1 N2 N5]"},
        {"let $s := //a return ($s, $s)", "[a a a a]"},
        {"($x, $s)", "[N5 'outer']"},
    };
    for (const eval_case& c : cases) {
        quorvel_xpath_result* r = quorvel_xpath_eval_with_vars(d.doc, c.expr, vars);
        EXPECT_EQ(r ? show(r) : "ERR", c.expected) << c.expr;
        quorvel_xpath_result_free(r);
        quorvel_xpath_result* x = quorvel_xpath_eval_with_vars(d.doc, "$x", vars);
        ASSERT_NE(x, nullptr) << c.expr;
        EXPECT_EQ(quorvel_xpath_result_number(x), 5) << c.expr;
        quorvel_xpath_result_free(x);
    }
    quorvel_xpath_variable_set_free(vars);
}

}  // namespace
