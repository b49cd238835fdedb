// Function items and the higher-order functions: results are the items the
// called function returns (nodes stay nodes, numbers stay numbers), sort
// orders by value and is stable, predicates must return one boolean, and
// unbounded recursion through function items fails cleanly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "quorvel.h"
#include "xpath/xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;

std::string eval(quorvel_document* doc, const char* expr) { return xpath_test::eval_sequence(doc, expr); }

constexpr const char* kDoc = "<r><a id=\"3\">x</a><a id=\"1\">y</a><b>10</b><b>9</b><c><d/></c></r>";

struct eval_case {
    const char* expr;
    const char* expected;
};

class HigherOrderTable : public ::testing::TestWithParam<eval_case> {};

TEST_P(HigherOrderTable, Evaluates) {
    doc_ptr d(kDoc);
    ASSERT_NE(d.doc, nullptr);
    EXPECT_EQ(eval(d.doc, GetParam().expr), GetParam().expected) << GetParam().expr;
}

const eval_case kSequenceCases[] = {
    // for-each: the function's items, in order, with their types.
    {"for-each((1, 2, 3), function($x) { $x * 2 })", "[N2 N4 N6]"},
    {"for-each(1 to 3, function($x) { ($x, 'and') })", "[N1 'and' N2 'and' N3 'and']"},
    {"for-each((), function($x) { error() })", "[]"},
    {"for-each(//a, function($e) { $e })", "[a a]"},
    {"for-each(//a, function($e) { $e/@id })", "[@id=3 @id=1]"},
    {"for-each(('<a>x</a>', 'y'), string-length#1)", "[N8 N1]"},
    {"for-each((1.5, xs:double(2)), function($x) { $x })", "[D1.5 O2]"},
    {"for-each(1 to 2, function($x) { () })", "[]"},
    // filter keeps the items themselves; its predicate must give one boolean.
    {"filter(1 to 5, function($x) { $x > 2 })", "[N3 N4 N5]"},
    {"filter((//a, //b), function($n) { name($n) = 'b' })", "[b b]"},
    {"filter(//a, function($n) { $n/@id = 1 }) ! string(@id)", "['1']"},
    {"filter((1, 'a', 2.5), function($x) { true() })", "[N1 'a' D2.5]"},
    {"filter(1 to 3, function($x) { 1 })", "ERR:XPTY0004: filter: the predicate must return one xs:boolean"},
    {"filter(1 to 3, function($x) { () })", "ERR:XPTY0004: filter: the predicate must return one xs:boolean"},
    {"filter(1 to 3, function($x) { (true(), true()) })",
     "ERR:XPTY0004: filter: the predicate must return one xs:boolean"},
    {"filter(1 to 3, function($x) { 'true' })", "ERR:XPTY0004: filter: the predicate must return one xs:boolean"},
    {"filter(1 to 3, function($x) { //a })", "ERR:XPTY0004: filter: the predicate must return one xs:boolean"},
    {"filter(1 to 3, function($x) { ($x = 2, 1)[1] })", "[N2]"},
    // fold-left sees the items first to last, fold-right last to first;
    // the accumulator keeps its type.
    {"fold-left(('a', 'b', 'c'), 'z', function($acc, $x) { concat('(', $acc, $x, ')') })", "'(((za)b)c)'"},
    {"fold-right(('a', 'b', 'c'), 'z', function($x, $acc) { concat('(', $x, $acc, ')') })", "'(a(b(cz)))'"},
    {"fold-left(1 to 5, 0, function($a, $b) { $a + $b }) instance of xs:integer", "true"},
    {"fold-left(1 to 5, 0, function($a, $b) { $a + $b })", "'15'"},
    {"fold-left((), (1, 2), function($a, $b) { 0 })", "[N1 N2]"},
    {"fold-right(1 to 3, (), function($x, $acc) { ($acc, $x) })", "[N3 N2 N1]"},
    {"fold-left(//a, (), function($acc, $e) { ($e, $acc) })", "[a a]"},
    {"fold-left(//a, (), function($acc, $e) { ($e, $acc) })[1]/@id = 1", "true"},
    {"fold-left(1 to 3, 0, function($a) { $a })",
     "ERR:XPTY0004: fold-left expects a function of 2 arguments, got one of 1"},
    // for-each-pair stops at the shorter sequence.
    {"for-each-pair((1, 2, 3), (4, 5), function($a, $b) { $a * $b })", "[N4 N10]"},
    {"for-each-pair(//a, ('p', 'q'), function($e, $s) { $e/@id || $s })", "['3p' '1q']"},
    {"for-each-pair((), 1 to 3, function($a, $b) { error() })", "[]"},
};

INSTANTIATE_TEST_SUITE_P(Sequences, HigherOrderTable, ::testing::ValuesIn(kSequenceCases));

const eval_case kSortCases[] = {
    // Numbers numerically, strings by code point, nodes by their untyped
    // string values; the items themselves come back.
    {"sort((10, 9, 1))", "[N1 N9 N10]"},
    {"sort((2.5, 1, xs:double(-3), xs:float(2)))", "[O-3 N1 F2 D2.5]"},
    {"sort(('b', 'a', 'B', '\xc3\xa9', 'z', 'aa'))", "['B' 'a' 'aa' 'b' 'z' '\xc3\xa9']"},
    {"sort(//b) ! string()", "['10' '9']"},
    {"sort(//b, (), function($n) { number($n) }) ! string()", "['9' '10']"},
    {"sort(//a, (), function($e) { xs:integer($e/@id) }) ! string(@id)", "['1' '3']"},
    {"sort((true(), false(), true()))", "[Bfalse Btrue Btrue]"},
    {"sort((xs:float('NaN'), 1, 0 div 0, -1))", "[FNaN NNaN N-1 N1]"},
    {"sort(())", "[]"},
    {"sort(reverse(1 to 5), (), function($x) { -$x })", "[N5 N4 N3 N2 N1]"},
    // Equal keys keep their order.
    {"sort(('b1', 'a1', 'b2', 'a2', 'b3'), (), function($s) { substring($s, 1, 1) })",
     "['a1' 'a2' 'b1' 'b2' 'b3']"},
    {"sort(('b1', 'a1', 'b2', 'a2', 'b3'), (), function($s) { 0 })", "['b1' 'a1' 'b2' 'a2' 'b3']"},
    // Keys are sequences compared item by item; a shorter prefix comes first.
    {"sort(([2, 1], [1, 2, 3], [1, 2], [()]))?1", "[N1 N1 N2]"},
    {"sort(([2, 1], [1, 2, 3], [1, 2], [()])) ! array:size(.)", "[N1 N2 N3 N2]"},
    {"sort((1, [()]))", "[MAP N1]"},
    {"sort(1 to 5, (), [10, 9, 8, 7, 6])", "[N5 N4 N3 N2 N1]"},
    // Other orderable types.
    {"sort(('PT2H' cast as xs:dayTimeDuration, 'PT1H30M' cast as xs:dayTimeDuration))", "[dPT1H30M dPT2H]"},
    {"sort(('P1Y' cast as xs:yearMonthDuration, 'P11M' cast as xs:yearMonthDuration))", "[dP11M dP1Y]"},
    {"sort(('10:00:00' cast as xs:time, '09:30:00' cast as xs:time))", "[t09:30:00 t10:00:00]"},
    {"sort(('2020-01-01T00:00:00+02:00' cast as xs:dateTime, '2019-12-31T23:00:00Z' cast as xs:dateTime))",
     "[T2020-01-01T00:00:00+02:00 T2019-12-31T23:00:00Z]"},
    // Keys that cannot be compared, collations, keys that cannot be atomized.
    {"sort((1, 'a'))", "ERR:XPTY0004: sort: the sort keys cannot be compared"},
    {"sort((1, //a))", "ERR:XPTY0004: sort: the sort keys cannot be compared"},
    {"sort(('PT1H' cast as xs:dayTimeDuration, 'P1M' cast as xs:yearMonthDuration))",
     "ERR:XPTY0004: sort: the sort keys cannot be compared"},
    {"sort((1, 'a'), (), string#1)", "[N1 'a']"},
    {"sort((3, 1), 'http://www.w3.org/2005/xpath-functions/collation/codepoint')", "[N1 N3]"},
    {"sort((3, 1), default-collation())", "[N1 N3]"},
    {"sort((3, 1), 'http://example.com/other')", "ERR:FOCH0002: Unsupported collation: http://example.com/other"},
    {"sort((map{'a': 1}, map{'a': 2}))", "ERR:FOTY0013: A map has no typed value"},
    {"sort((concat#2, 1))", "ERR:FOTY0013: A function item has no typed value"},
    {"sort((1, 2), (), concat#2)", "ERR:XPTY0004: sort expects a function of 1 arguments, got one of 2"},
};

INSTANTIATE_TEST_SUITE_P(Sort, HigherOrderTable, ::testing::ValuesIn(kSortCases));

const eval_case kFunctionItemCases[] = {
    // function-lookup finds registered functions by name and arity.
    {"function-lookup('fn:concat', 3)('a', 'b', 'c')", "'abc'"},
    {"function-lookup('concat', 5) => function-arity()", "'5'"},
    {"function-lookup('concat', 1)", "[]"},
    {"function-lookup('concat', 2.5)", "[]"},
    {"function-lookup('no-such-function', 0)", "[]"},
    {"function-lookup('math:pi', 0)() > 3.14", "true"},
    {"function-lookup('Q{http://www.w3.org/2005/xpath-functions/math}pi', 0)() > 3.14", "true"},
    {"function-lookup('Q{http://www.w3.org/2005/xpath-functions}string-length', 1)('abc')", "'3'"},
    {"function-lookup('Q{http://example.com/}pi', 0)", "[]"},
    // function-name and function-arity.
    {"function-name(concat#3) ! (prefix-from-QName(.), local-name-from-QName(.), namespace-uri-from-QName(.))",
     "['fn' 'concat' 'http://www.w3.org/2005/xpath-functions']"},
    {"function-name(fn:concat#3) eq QName('http://www.w3.org/2005/xpath-functions', 'concat')", "true"},
    {"namespace-uri-from-QName(function-name(math:pi#0))", "'http://www.w3.org/2005/xpath-functions/math'"},
    {"string(function-name(function-lookup('fn:substring', 2)))", "'fn:substring'"},
    // A QName built by fn:QName or xs:QName names a function too.
    {"function-lookup(QName('http://www.w3.org/2005/xpath-functions', 'abs'), 1)(-2)", "'2'"},
    {"function-lookup(xs:QName('math:sqrt'), 1)(16)", "'4'"},
    {"function-lookup(QName('http://www.w3.org/2005/xpath-functions/math', 'm:pi'), 0)() > 3.14", "true"},
    {"function-lookup(QName('http://example.com/', 'abs'), 1)", "[]"},
    {"function-lookup(function-name(concat#2), 3)('a', 'b', 'c')", "'abc'"},
    {"function-lookup(function-name(math:pow#2), 2)(2, 10)", "'1024'"},
    {"function-lookup(function-name(math:pow#2), 1)", "[]"},
    {"function-name(function($a) { $a })", "[]"},
    {"function-name(map{})", "[]"},
    {"function-name(1)", "ERR:XPTY0004: function-name expects one function item"},
    {"function-arity(function($a, $b) { $a })", "'2'"},
    {"function-arity(function() { 1 })", "'0'"},
    {"function-arity(concat#3)", "'3'"},
    {"function-arity([1, 2])", "'1'"},
    {"function-arity(substring(?, 1, ?))", "'2'"},
    {"function-arity(()) ", "ERR:XPTY0004: function-arity expects one function item"},
    {"function-arity((concat#2, concat#3))", "ERR:XPTY0004: function-arity expects one function item"},
    // apply passes each member as one argument, unchanged: strings stay
    // strings (markup is not parsed), nodes stay nodes, sequences stay whole.
    {"apply(concat#3, ['a', 'b', 'c'])", "'abc'"},
    {"apply(string-length#1, ['<a>x</a>'])", "'8'"},
    {"apply(function($e) { name($e) }, [//a[1]])", "'a'"},
    {"apply(function($s) { count($s) }, [(1, 2, 3)])", "'3'"},
    {"apply(function($x) { $x }, [2.5]) instance of xs:decimal", "true"},
    {"apply(function() { 'none' }, [])", "'none'"},
    {"apply(['p', 'q'], [2])", "['q']"},
    {"apply(concat#3, ['a', 'b'])", "ERR:FOAP0001: apply: the function takes 3 arguments, the array has 2 members"},
    {"apply(concat#2, ('a', 'b'))", "ERR:XPTY0004: apply expects one array"},
};

INSTANTIATE_TEST_SUITE_P(FunctionItems, HigherOrderTable, ::testing::ValuesIn(kFunctionItemCases));

const eval_case kMapArrayCases[] = {
    // array:for-each and array:filter make arrays of whole members.
    {"array:size(array:for-each([1, 2, 3], function($x) { ($x, $x) }))", "'3'"},
    {"array:for-each([1, 2, 3], function($x) { ($x, $x) })?2", "[N2 N2]"},
    {"let $a := array:for-each([(1, 2), ()], function($m) { count($m) }) return ($a(1), $a(2))", "[N2 N0]"},
    {"array:size(array:for-each([], function($x) { $x }))", "'0'"},
    {"array:for-each([//a], function($m) { $m })?1 ! string(@id)", "['3' '1']"},
    {"array:size(array:filter([1, 2, 3, 4], function($x) { $x mod 2 = 0 }))", "'2'"},
    {"let $a := array:filter([1, 2, 3, 4], function($x) { $x mod 2 = 0 }) return ($a(1), $a(2))", "[N2 N4]"},
    {"array:filter([(1, 2), (), 3], function($m) { exists($m) })?1", "[N1 N2]"},
    {"array:filter([1, 2], function($x) { 'yes' })", "ERR:XPTY0004: array:filter: the predicate must return one xs:boolean"},
    {"array:for-each((1, 2), function($x) { $x })", "ERR:XPTY0004: array:for-each expects one array"},
    {"array:for-each(map{}, function($x) { $x })", "ERR:XPTY0004: array:for-each expects one array"},
    // The array folds see whole members.
    {"array:fold-left([1, 2, 3], 0, function($a, $x) { $a + $x })", "'6'"},
    {"array:fold-left([(1, 2), 3], 0, function($a, $m) { $a + count($m) })", "'3'"},
    {"array:fold-left([], 'zero', function($a, $x) { $x })", "'zero'"},
    {"array:fold-right([1, 2, 3], (), function($x, $a) { ($a, $x) })", "[N3 N2 N1]"},
    {"array:fold-right(['a', 'b'], 'z', concat#2)", "'abz'"},
    // map:for-each: one call per entry, results concatenated.
    {"map:for-each(map{'a': 1, 'b': (2, 3)}, function($k, $v) { $k || count($v) })", "['a1' 'b2']"},
    {"map:for-each(map{'e': //a}, function($k, $v) { $v })", "[a a]"},
    {"map:for-each(map{}, function($k, $v) { 1 })", "[]"},
    {"map:for-each([1], function($k, $v) { 1 })", "ERR:XPTY0004: map:for-each expects one map"},
};

INSTANTIATE_TEST_SUITE_P(MapsAndArrays, HigherOrderTable, ::testing::ValuesIn(kMapArrayCases));

TEST(HigherOrder, SortIsStableAndOrderedOnLongInput) {
    doc_ptr d("<r/>");
    ASSERT_NE(d.doc, nullptr);
    // A merge sort on reversed, then interleaved input: every key and the
    // original order among equal keys checked by the engine itself.
    EXPECT_EQ(eval(d.doc, "deep-equal(sort(reverse(1 to 20000)), 1 to 20000)"), "true");
    EXPECT_EQ(eval(d.doc,
                   "let $in := (1 to 5000) ! (. mod 7 * 10000 + .), "
                   "$s := sort($in, (), function($x) { $x idiv 10000 }) "
                   "return every $in-order in for-each-pair($s, tail($s), function($x, $y) { "
                   "$x idiv 10000 lt $y idiv 10000 or ($x idiv 10000 eq $y idiv 10000 and $x lt $y) }) "
                   "satisfies $in-order"),
              "true");
}

// A user function that counts its calls and answers with its argument.
char* counting_identity(const char** arguments, int count, void* user_data) {
    ++*static_cast<int*>(user_data);
    const char* a = count > 0 && arguments[0] ? arguments[0] : "";
    char* out = static_cast<char*>(std::malloc(std::strlen(a) + 1));
    if (out) std::strcpy(out, a);
    return out;
}

TEST(HigherOrder, SortCallsTheKeyFunctionOncePerItem) {
    doc_ptr d("<r/>");
    ASSERT_NE(d.doc, nullptr);
    int calls = 0;
    ASSERT_EQ(quorvel_xpath_register_function(d.doc, "key", counting_identity, &calls), 0);
    EXPECT_EQ(eval(d.doc, "sort(('d', 'b', 'e', 'a', 'c', 'f', 'b'), (), key#1)"), "['a' 'b' 'b' 'c' 'd' 'e' 'f']");
    EXPECT_EQ(calls, 7);
}

TEST(HigherOrder, DeeplyNestedArraysFromAFoldAreUsedAndFreed) {
    doc_ptr d("<r/>");
    ASSERT_NE(d.doc, nullptr);
    // A fold nests an array 300,000 levels deep; freeing it must not
    // recurse once per level.
    EXPECT_EQ(eval(d.doc, "array:size(fold-left(1 to 300000, [], function($a, $x) { [$a] }))"), "'1'");
    EXPECT_EQ(eval(d.doc, "fold-left(1 to 3, [0], function($a, $x) { [$x, $a] })(2)(2)(1)"), "[N1]");
    EXPECT_EQ(eval(d.doc, "sort(fold-left(1 to 300, [], function($a, $x) { [$a] }))"), "ERR:Arrays nested too deeply");
}

TEST(HigherOrder, UnboundedRecursionFailsWithAClearError) {
    doc_ptr d("<r/>");
    ASSERT_NE(d.doc, nullptr);
    const char* const kRecursions[] = {
        // Directly through a dynamic call of the function to itself.
        "let $f := function($f, $n) { if ($n = 0) then 0 else $f($f, $n - 1) } return $f($f, 1000000)",
        // Through the higher-order functions.
        "let $f := function($f, $n) { for-each(1, function($x) { $f($f, $n + 1) }) } return $f($f, 0)",
        "let $f := function($f) { filter(1, function($x) { exists($f($f)) }) } return $f($f)",
        "let $f := function($f) { sort(1, (), function($x) { $f($f) }) } return $f($f)",
        "let $f := function($f) { fold-left(1, 0, function($a, $x) { $f($f) }) } return $f($f)",
        "let $f := function($f) { apply($f, [$f]) } return $f($f)",
        "let $f := function($f) { array:for-each([1], function($x) { $f($f) }) } return $f($f)",
    };
    for (const char* expr : kRecursions) {
        std::string got = eval(d.doc, expr);
        EXPECT_EQ(got, "ERR:Expression nested too deeply") << expr;
    }
    // Recursion of a modest depth still works.
    EXPECT_EQ(eval(d.doc, "let $f := function($f, $n) { if ($n = 0) then 'done' else $f($f, $n - 1) } "
                          "return $f($f, 100)"),
              "'done'");
}

}  // namespace
