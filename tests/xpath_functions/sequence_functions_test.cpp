// Sequence functions, deep-equal, the clock functions and the duration
// helpers behind distinct-values and timezones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "quorvel.h"
#include "xpath_functions/functions.h"
#include "xpath/xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;
using xpath_test::take;

std::string eval(quorvel_document* doc, const char* expr) { return xpath_test::eval_sequence(doc, expr); }

constexpr const char* kDoc =
    "<r><a id=\"1\">x</a><a id=\"2\">y</a><c/><e id=\"9\"/>"
    "<p a=\"1\" b=\"2\"><q>t</q><!--c--></p><p b=\"2\" a=\"1\"><q>t</q></p><p a=\"1\" b=\"2\"><q>u</q></p></r>";

struct eval_case {
    const char* expr;
    const char* expected;
};

const eval_case kCases[] = {
    // exists, empty and the cardinality checks (which return their argument).
    {"exists('')", "true"},
    {"exists(())", "false"},
    {"empty(//zz)", "true"},
    {"empty(//a)", "false"},
    {"zero-or-one(//c)", "[c]"},
    {"one-or-more(//a)", "[a a]"},
    {"exactly-one((1, 2))", "ERR:Cardinality violation: sequence has 2 items"},
    {"zero-or-one(//a)", "ERR:Cardinality violation: sequence has 2 items"},
    {"one-or-more(())", "ERR:Cardinality violation: sequence has 0 items"},
    {"exactly-one('x')", "'x'"},
    // Reshaping keeps the items themselves: nodes stay nodes, types stay.
    {"head(//a)", "[a]"},
    {"head(())", "[]"},
    {"head((1.5, 'x'))", "[D1.5]"},
    {"tail((1, 2, 3))", "[N2 N3]"},
    {"tail(//@id)", "[@id=2 @id=9]"},
    {"reverse((//c, //e, 1))", "[N1 e c]"},
    {"unordered((2, 1))", "[N2 N1]"},
    {"subsequence((1, 2, 3, 4, 5), 1.5)", "[N2 N3 N4 N5]"},
    {"subsequence((1, 2, 3, 4, 5), 0, 3)", "[N1 N2]"},
    {"subsequence((1, 2, 3), -1 div 0, 1 div 0)", "[]"},
    {"subsequence((1, 2, 3), 2, 0 div 0)", "[]"},
    {"subsequence((1, 2, 3), 2, -0.0)", "[]"},
    {"subsequence((1, 2, 3), 2, 1 div 0)", "[N2 N3]"},
    {"subsequence(//@id, 2, 1)", "[@id=2]"},
    {"remove((1, 2, 3), 2.9)", "[N1 N3]"},
    {"remove((1, 2, 3), 0)", "[N1 N2 N3]"},
    {"remove((1, 2, 3), 4)", "[N1 N2 N3]"},
    {"remove(//@id, 1)", "[@id=2 @id=9]"},
    {"insert-before((1, 2, 3), 0, 9)", "[N9 N1 N2 N3]"},
    {"insert-before((1, 2, 3), 10, 9)", "[N1 N2 N3 N9]"},
    {"insert-before(//a, 2, //c)", "[a c a]"},
    {"insert-before((), 1, ())", "[]"},
    // distinct-values compares values: numbers numerically, node values as
    // untyped strings, NaN equal to NaN, durations by their totals.
    {"distinct-values((1, 2, 1))", "[N1 N2]"},
    {"distinct-values((1, 1.0, '1'))", "[N1 '1']"},
    {"distinct-values((//@id, '1', '9'))", "[U1 U2 U9]"},
    {"distinct-values((0 div 0, 0 div 0))", "[NNaN]"},
    {"distinct-values(('P1Y' cast as xs:yearMonthDuration, 'P12M' cast as xs:yearMonthDuration))", "[dP1Y]"},
    {"distinct-values(('PT24H' cast as xs:dayTimeDuration, 'P1D' cast as xs:dayTimeDuration))", "[dP1D]"},
    {"distinct-values(('P1M' cast as xs:yearMonthDuration, 'P30D' cast as xs:dayTimeDuration))", "[dP1M dP30D]"},
    {"distinct-values(('PT0S' cast as xs:dayTimeDuration, 'P0D' cast as xs:dayTimeDuration))", "[dPT0S]"},
    {"distinct-values(('a', 'A', 'a'), 'http://www.w3.org/2005/xpath-functions/collation/codepoint')", "['a' 'A']"},
    {"distinct-values(())", "[]"},
    {"distinct-values(('a'), 'http://example.com/other')", "ERR:FOCH0002: Unsupported collation: http://example.com/other"},
    {"index-of((1, 2), 1, ())", "ERR:FOCH0002: Unsupported collation: (not one string)"},
    // index-of atomizes nodes; positions are integers.
    {"index-of((10, 20, 10), 10)", "[N1 N3]"},
    {"index-of(//a, 'x')", "[N1]"},
    {"index-of(//@id, 9)", "[]"},
    {"index-of((0 div 0, 1), 0 div 0)", "[]"},
    {"index-of(('a', 'b'), 'c')", "[]"},
    {"index-of((1, 2), (1, 2))", "ERR:XPTY0004: index-of() needs one search value, got 2 items"},
    // deep-equal.
    {"deep-equal((1, 2), (1, 2.0))", "true"},
    {"deep-equal((), ())", "true"},
    {"deep-equal((), '')", "false"},
    {"deep-equal(0 div 0, 0 div 0)", "true"},
    {"deep-equal('1', 1)", "false"},
    {"deep-equal('x', //a[1])", "false"},
    {"deep-equal(//a[1]/text(), //a[1]/text())", "true"},
    {"deep-equal(//p[1], //p[2])", "true"},
    {"deep-equal(//p[1], //p[3])", "false"},
    {"deep-equal(//a[1], //a[2])", "false"},
    {"deep-equal(//p[1]/@a, //p[2]/@a)", "true"},
    {"deep-equal(//p[1]/@a, //p[1]/@b)", "false"},
    {"deep-equal(('2024-01-01' cast as xs:date), ('2024-01-01' cast as xs:date))", "true"},
    {"deep-equal('2024-01-01' cast as xs:date, '2024-01-01')", "false"},
    {"deep-equal('a', 'a' cast as xs:untypedAtomic)", "true"},
    {"deep-equal((1, 2), (1, 2), 'http://www.w3.org/2005/xpath-functions/collation/codepoint')", "true"},
    // Maps and arrays compare by their keys and values, members in order.
    {"deep-equal([], [1])", "false"},
    {"deep-equal([], [()])", "false"},
    {"deep-equal([1, (2, 3)], [1, (2, 3)])", "true"},
    {"deep-equal([[1, 2]], [[2, 1]])", "false"},
    {"deep-equal(map{1: 2}, map{})", "false"},
    {"deep-equal(map{}, map{1: ()})", "false"},
    {"deep-equal(map{'a': 1, 'b': [2]}, map{'b': [2], 'a': 1})", "true"},
    {"deep-equal(map{'a': 1}, map{'A': 1})", "false"},
    {"deep-equal(map{'a': //p[1]}, map{'a': //p[2]})", "true"},
    {"deep-equal(map{'a': //p[1]}, map{'a': //p[3]})", "false"},
    {"deep-equal([1], map{1: 1})", "false"},
    {"deep-equal([1], 1)", "false"},
    {"deep-equal(fold-left(1 to 5000, [], function($a, $i) { [$a] }), fold-left(1 to 5000, [], function($a, $i) { [$a] }))",
     "ERR:Out of memory or maps nested too deeply"},
    // Clock functions.
    {"current-dateTime() = current-dateTime()", "true"},
    {"current-date() instance of xs:date", "true"},
    {"implicit-timezone()", "'PT0S'"},
    // Failures of arguments fail the call.
    {"exists($undefined)", "ERR:Undefined variable: undefined"},
    {"subsequence((1, 2), $undefined)", "ERR:Undefined variable: undefined"},
    {"insert-before((1, 2), 1, $undefined)", "ERR:Undefined variable: undefined"},
    {"index-of((1, 2), $undefined)", "ERR:Undefined variable: undefined"},
    {"deep-equal(1, $undefined)", "ERR:Undefined variable: undefined"},
};

TEST(XpathSequenceFunctions, ExpressionTable) {
    doc_ptr d(kDoc);
    ASSERT_NE(d.doc, nullptr);
    for (const eval_case& c : kCases) EXPECT_EQ(eval(d.doc, c.expr), c.expected) << c.expr;
}

TEST(XpathSequenceFunctions, DeepEqualOfDeepTrees) {
    std::string a, b;
    for (int i = 0; i < 20000; i++) a += "<d>";
    a += "x";
    for (int i = 0; i < 20000; i++) a += "</d>";
    b = "<r>" + a + a + "</r>";
    int saved = quorvel_get_max_depth();
    quorvel_set_max_depth(30000);
    doc_ptr d(b.c_str());
    quorvel_set_max_depth(saved);
    ASSERT_NE(d.doc, nullptr);
    EXPECT_EQ(eval(d.doc, "deep-equal(/r/d[1], /r/d[2])"), "true");
}

TEST(XpathSequenceFunctions, ClockTextsHaveTheirForms) {
    doc_ptr d("<r/>");
    const struct {
        const char* expr;
        const char* pattern;
    } cases[] = {
        {"current-dateTime()", R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"},
        {"current-date()", R"(\d{4}-\d\d-\d\dZ)"},
        {"current-time()", R"(\d\d:\d\d:\d\dZ)"},
    };
    for (const auto& c : cases) {
        quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, c.expr);
        ASSERT_NE(r, nullptr) << c.expr;
        std::string text = take(quorvel_xpath_result_string(r));
        EXPECT_TRUE(std::regex_match(text, std::regex(c.pattern))) << c.expr << ": " << text;
        quorvel_xpath_result_free(r);
    }
}

TEST(XpathDurationHelpers, AnyDurationToTotals) {
    const struct {
        const char* text;
        int ok;
        double months, seconds;
    } cases[] = {
        {"P1Y1D", 1, 12, 86400},    {"PT1H30M", 1, 0, 5400},  {"-P1M2DT1S", 1, -1, -172801},
        {"P1Y2Y", 1, 36, 0},        {"PT1.5S", 1, 0, 1.5},    {"P1DT", 0, 0, 0},
        {"P", 0, 0, 0},             {"1D", 0, 0, 0},          {"P1W", 0, 0, 0},
        {"PT1D", 0, 0, 0},          {"P1H", 0, 0, 0},         {"P-1D", 0, 0, 0},
        {"P1", 0, 0, 0},
    };
    for (const auto& c : cases) {
        double m = -7, s = -7;
        EXPECT_EQ(dur_ms_parse(c.text, &m, &s), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(m, c.months) << c.text;
            EXPECT_EQ(s, c.seconds) << c.text;
        }
    }
    EXPECT_EQ(dur_ms_parse(nullptr, nullptr, nullptr), 0);
}

TEST(XpathDurationHelpers, CanonicalText) {
    const struct {
        double months, seconds;
        const char* text;
    } cases[] = {
        {12, 0, "P1Y"},        {14, 86400, "P1Y2M1D"}, {0, 0, "PT0S"},          {0, 5400, "PT1H30M"},
        {0, 1.5, "PT1.5S"},    {0, 90061, "P1DT1H1M1S"}, {-1, 0, "-P1M"},       {0, -60, "-PT1M"},
        {0, 86400, "P1D"},     {NAN, 0, "PT0S"},
    };
    for (const auto& c : cases) {
        char out[96];
        dur_ms_format(out, sizeof out, c.months, c.seconds);
        EXPECT_STREQ(out, c.text) << c.months << " " << c.seconds;
    }
    char tiny[4];
    dur_ms_format(tiny, sizeof tiny, 14, 90061);
    EXPECT_EQ(std::strlen(tiny), 3u);
}

TEST(XpathDurationHelpers, TimezoneMinutes) {
    const struct {
        const char* text;
        int64_t minutes;
    } cases[] = {
        {"-PT5H", -300}, {"PT14H", 840}, {"PT5H30M", 330}, {"PT", 0},
        {"PT14H1M", INT64_MIN}, {"PT5H30S", INT64_MIN}, {"P0D", INT64_MIN}, {"PTxH", INT64_MIN},
        {"-PT15H", INT64_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(h_tz_duration_min(c.text), c.minutes) << c.text;
}

}  // namespace
