// matches, replace, tokenize, format-integer, the math functions, abs,
// round-half-to-even and the numeric and boolean constructors through the
// public evaluation call.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "quorvel.h"
#include "xpath/xpath_test_support.h"

namespace {

using eval_case = xpath_test::expr_case;

// A scalar as its string value; a sequence as [v1|v2|...]; a failure as
// "ERR:" and the message.
void run(const char* xml, const eval_case* cases, size_t n) {
    xpath_test::check_cases(xml, cases, n, xpath_test::node_set_form::values);
}

const eval_case kRegexCases[] = {
    {"matches('abc', 'B', 'i')", "true"},
    {"matches('abc', 'B')", "false"},
    {"matches('abc', '')", "true"},
    {"matches('abc', '^a.c$')", "true"},
    {"matches('a\u00e9c', '^a.c$')", "true"},
    {"matches('abc', 'B', 'k')", "ERR:Invalid regular expression flags: k"},
    {"matches('abc', '(')", "ERR:Invalid regular expression: ("},
    {"matches('abc', '\\p{IsBasic}')", "ERR:Invalid regular expression: \\p{IsBasic}"},
    {"matches('aBc', '\\p{Lu}')", "true"},
    {"matches(/r/a, '^x+$')", "true"},
    {"matches('q', '[^Q]', 'i')", "false"},
    {"matches('Q', '[q-r]', 'i')", "true"},
    {"matches('m', '\\p{Lu}', 'i')", "false"},
    {"matches('m', '[\\p{Lu}]', 'i')", "false"},
    {"matches('M', '\\P{Ll}', 'i')", "true"},
    {"matches('333a334', '^(\\d*){2,}a\\1$')", "false"},
    {"matches('333a333', '^(\\d*){2,}a\\1$')", "true"},
    {"replace('abcd', '(b)(c)', '[$2$1]')", "a[cb]d"},
    {"replace('abcd', '(?:b)(c)', '[$1]')", "a[c]d"},
    {"replace('aXbXc', 'X.*?X', '-')", "a-c"},
    {"replace('aXbXcXd', 'X.*X', '-')", "a-d"},
    {"replace('aaa', 'a*', 'x')", "ERR:Pattern matches zero-length string: a*"},
    {"replace('abc', 'x|', 'y')", "ERR:Pattern matches zero-length string: x|"},
    {"replace('a$b', '\\$', '\\$')", "a$b"},
    {"replace('abc', 'b', '$')", "ERR:Trailing '$' in replacement"},
    {"replace('abc', 'x', '$')", "ERR:Trailing '$' in replacement"},
    {"replace('abc', 'b', '$x')", "ERR:Invalid '$' reference in replacement"},
    {"replace('abc', 'b', '\\x')", "ERR:Invalid '\\' escape in replacement"},
    {"replace('abc', 'b', '[$5]')", "a[]c"},
    {"replace('abc', '(b)', '$10')", "ab0c"},
    {"replace('abc', '(b)', '$0$1')", "abbc"},
    {"replace('abc', 'B', 'x', 'i')", "axc"},
    {"replace('a.b.c', '.', '-', 'q')", "a-b-c"},
    {"replace('abc', 'b', '$1', 'q')", "a$1c"},
    {"replace('hello world', '(\\w+) (\\w+)', '$2 $1')", "world hello"},
    {"replace('aaa', '^a', 'b')", "baa"},
    {"tokenize(' a  b ')", "[a|b]"},
    {"tokenize('a,b,', ',')", "[a|b|]"},
    {"tokenize(',a', ',')", "[|a]"},
    {"tokenize('', ',')", "[]"},
    {"tokenize('a1b22c', '\\d+')", "[a|b|c]"},
    {"tokenize('aXbxc', 'x', 'i')", "[a|b|c]"},
    {"tokenize('abc', 'x*')", "ERR:Pattern matches zero-length string: x*"},
};

TEST(XpathRegexFunctions, MatchReplaceAndTokenize) {
    run("<r><a>xxx</a></r>", kRegexCases, sizeof kRegexCases / sizeof *kRegexCases);
}

const eval_case kNumericCases[] = {
    {"format-integer(1999, 'I')", "MCMXCIX"},
    {"format-integer(1234, 'w')", "one thousand two hundred thirty-four"},
    {"format-integer(7, '000')", "007"},
    {"format-integer(4000, 'I')", "4000"},
    {"format-integer(28, 'a')", "ab"},
    {"format-integer(1234567, '#,##0')", "1,234,567"},
    {"format-integer(1234, '#,\U000104A0\U000104A0\U000104A0')", "\U000104A1,\U000104A2\U000104A3\U000104A4"},
    {"format-integer(/e/none, 'I')", ""},
    {"format-integer(1, '#0#')", "ERR:Invalid picture for format-integer: #0#"},
    {"math:sqrt(16)", "4"},
    {"math:sqrt(-1)", "NaN"},
    {"math:pow(2, 10)", "1024"},
    {"math:pow('x', 2)", "ERR:math:pow expects a number"},
    {"abs('-1')", "ERR:abs expects a number"},
    {"abs(xs:boolean('1'))", "ERR:abs expects a number"},
    {"abs(/e/@n)", "3"},
    {"math:exp10(2)", "100"},
    {"math:log(0)", "-Infinity"},
    {"math:pi()", "3.141592653589793"},
    {"math:atan2(1, 0) = math:pi() div 2", "true"},
    {"math:sqrt(/e/none)", "[]"},
    {"abs(-5)", "5"},
    {"abs(5)", "5"},
    {"abs(/e/none)", "[]"},
    {"round-half-to-even(2.5)", "2"},
    {"round-half-to-even(3.5)", "4"},
    {"round-half-to-even(-2.5)", "-2"},
    {"round-half-to-even(1.25, 1)", "1.2"},
    {"round-half-to-even(125, -1)", "120"},
    {"round-half-to-even(135, -1)", "140"},
    {"round-half-to-even(1.5, 400)", "1.5"},
    {"round-half-to-even(1e300, 20)", "1e+300"},
    {"xs:byte('128')", "ERR:FORG0001: Value 128 out of range for xs:byte"},
    {"xs:byte(' -12 ')", "-12"},
    {"xs:byte(127)", "127"},
    {"xs:unsignedByte(-1)", "ERR:FORG0001: Value -1 out of range for xs:unsignedByte"},
    {"xs:int('1e3')", "ERR:FORG0001: Invalid lexical form for xs:int: '1e3'"},
    {"xs:unsignedLong('9223372036854775808')", "9223372036854775808"},
    {"xs:positiveInteger(0)", "ERR:FORG0001: Value 0 out of range for xs:positiveInteger"},
    {"xs:long('-9223372036854775808')", "-9223372036854775808"},
    {"xs:decimal('-007.500')", "-7.5"},
    {"xs:decimal('12')", "12"},
    {"xs:decimal('1e3')", "ERR:FORG0001: Invalid lexical form for xs:decimal: '1e3'"},
    {"xs:integer(' 42 ')", "42"},
    {"xs:integer('4.2')", "ERR:FORG0001: Invalid lexical form for xs:integer: '4.2'"},
    {"xs:integer(4.7)", "4"},
    {"xs:integer(-4.7)", "-4"},
    {"xs:integer(xs:double('NaN'))", "ERR:FOCA0002: Cannot cast NaN to xs:integer"},
    {"xs:double('INF')", "INF"},
    {"xs:double('-1.5E2')", "-150"},
    {"xs:double('inf')", "ERR:FORG0001: Invalid lexical form for xs:double: 'inf'"},
    {"xs:double('0x10')", "ERR:FORG0001: Invalid lexical form for xs:double: '0x10'"},
    {"xs:double(xs:float('0.1')) = 0.1e0", "false"},
    {"xs:float('0.5') = 0.5", "true"},
    {"xs:boolean(/e/@f)", "false"},
    {"xs:boolean(/e/@t)", "true"},
    {"xs:boolean(/e/@*)", "ERR:XPTY0004: xs:boolean expects at most one item, not 3"},
    {"xs:boolean(' true ')", "true"},
    {"xs:boolean('TRUE')", "ERR:FORG0001: Invalid lexical form for xs:boolean: 'TRUE'"},
    {"xs:boolean(0.0)", "false"},
    {"xs:boolean(xs:double('NaN'))", "false"},
    {"xs:boolean(2)", "true"},
};

TEST(XpathNumericFunctions, FormattingMathAndConstructors) {
    run("<e f=\"false\" t=\" 1 \" n=\"-3\"/>", kNumericCases, sizeof kNumericCases / sizeof *kNumericCases);
}

}  // namespace
