// avg, min and max: their typing rules over numbers, untyped values,
// durations, dates, strings and booleans, their errors, and the atomizing
// of nodes and arrays.
#include <gtest/gtest.h>

#include <string>

#include "quorvel.h"
#include "xpath/xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;

constexpr const char* kDoc = "<r><a>1</a><a>2</a><a>4</a><b>x</b><d>2020-01-01</d><e/></r>";

struct eval_case {
    const char* expr;
    const char* expected;
};

// Results are wrapped in a sequence so that the item shows its type tag:
// N integer, D decimal, F float, O double, d duration, E date, T dateTime,
// t time, B boolean, U untyped, a quoted text for a string.
std::string typed(quorvel_document* doc, const char* expr) {
    std::string wrapped = std::string("(") + expr + ", ())";
    return xpath_test::eval_sequence(doc, wrapped.c_str());
}

const eval_case kAverages[] = {
    // Integers and decimals average exactly, as a decimal.
    {"avg((1, 2))", "[D1.5]"},
    {"avg((1, 2, 4))", "[D2.333333333333333333]"},
    {"avg((-1, 0))", "[D-0.5]"},
    {"avg((-5, -0, -3, -6))", "[D-3.5]"},
    {"avg(5)", "[D5]"},
    {"avg((3, 4, 5))", "[D4]"},
    {"avg((1.01, 12))", "[D6.505]"},
    {"avg((1.5, 0.25))", "[D0.875]"},
    {"avg((0.1, 0.2, 0.3, 0.1))", "[D0.175]"},
    {"avg((xs:decimal('-1.5'), xs:decimal('-0.25')))", "[D-0.875]"},
    {"avg((xs:decimal('-0.001'), 0))", "[D-0.0005]"},
    {"avg((xs:decimal('-0.003'), 0.001, 0.001))", "[D-0.000333333333333333333]"},
    {"avg((9007199254740993 to 9007199254740995))", "[D9007199254740994]"},
    // A double or an untyped value makes the mean a double; floats stay
    // floats.
    {"avg((1.5e0, 2))", "[O1.75]"},
    {"avg(('3' cast as xs:untypedAtomic, 1))", "[O2]"},
    {"avg(//a)", "[O2.3333333333333335]"},
    {"avg(('1' cast as xs:float, '2' cast as xs:float))", "[F1.5]"},
    {"avg(('1' cast as xs:float, 3, '3' cast as xs:float))", "[F2.3333333]"},
    {"avg(('1' cast as xs:float, 2e0))", "[O1.5]"},
    {"avg(('INF' cast as xs:float, '-INF' cast as xs:float))", "[FNaN]"},
    {"avg((1, 2, 'NaN' cast as xs:double))", "[ONaN]"},
    {"avg(('INF' cast as xs:double, 2, 3))", "[OINF]"},
    // Durations of one kind average to that kind; months round half up.
    {"avg(('P1Y' cast as xs:yearMonthDuration, 'P2M' cast as xs:yearMonthDuration))", "[dP7M]"},
    {"avg(('P20Y' cast as xs:yearMonthDuration, 'P10M' cast as xs:yearMonthDuration))", "[dP10Y5M]"},
    {"avg(('P1M' cast as xs:yearMonthDuration, 'P0M' cast as xs:yearMonthDuration))", "[dP1M]"},
    {"avg(('-P1M' cast as xs:yearMonthDuration, 'P0M' cast as xs:yearMonthDuration))", "[dP0M]"},
    {"avg(('PT1H' cast as xs:dayTimeDuration, 'PT2H' cast as xs:dayTimeDuration))", "[dPT1H30M]"},
    {"avg(('P1DT2H' cast as xs:dayTimeDuration, 'PT22H' cast as xs:dayTimeDuration, 'P1D' cast as "
     "xs:dayTimeDuration))",
     "[dP1D]"},
    // Arrays are flattened, nested ones too; empty input gives ().
    {"avg([1, [2, 3], []])", "[D2]"},
    {"avg(())", "[]"},
    {"avg(((), []))", "[]"},
    {"avg(//zz)", "[]"},
    // No common type, or a value that cannot be read as a number.
    {"avg(('a', 'b'))", "ERR:FORG0006: avg() needs values of one type that can be averaged"},
    {"avg((1, 'a'))", "ERR:FORG0006: avg() needs values of one type that can be averaged"},
    {"avg((true(), 1))", "ERR:FORG0006: avg() needs values of one type that can be averaged"},
    {"avg(('P1Y' cast as xs:yearMonthDuration, 'P1D' cast as xs:dayTimeDuration))",
     "ERR:FORG0006: avg() needs values of one type that can be averaged"},
    {"avg(('P1Y' cast as xs:yearMonthDuration, 1))",
     "ERR:FORG0006: avg() needs values of one type that can be averaged"},
    {"avg(('P1Y1M1D' cast as xs:duration))", "ERR:FORG0006: avg() needs values of one type that can be averaged"},
    {"avg(('2020-01-01' cast as xs:date))", "ERR:FORG0006: avg() needs values of one type that can be averaged"},
    {"avg(//b)", "ERR:FORG0001: Cannot convert 'x' to xs:double"},
    {"avg(//e)", "ERR:FORG0001: Cannot convert '' to xs:double"},
    {"avg(map{1: 2})", "ERR:FOTY0013: A map or function item cannot be atomized"},
    {"avg((1 to 11) ! xs:yearMonthDuration('P70000000000000000Y'))", "ERR:FODT0002: Duration value out of range"},
    {"avg((1 to 10) ! xs:yearMonthDuration('P70000000000000000Y'))", "[dP70000000000000000Y]"},
};

const eval_case kExtremes[] = {
    // Numbers: the promoted type of all of them; NaN wins.
    {"min((3, 1, 2))", "[N1]"},
    {"max((3, 1, 2))", "[N3]"},
    {"max((1, 2.5))", "[D2.5]"},
    {"max((1, 1.0))", "[D1]"},
    {"max((5, 3.0e0))", "[O5]"},
    {"max((1, '2' cast as xs:float, 1.5))", "[F2]"},
    {"max((1, '2' cast as xs:float, 3e0))", "[O3]"},
    {"max((1, number('NaN'), 3))", "[ONaN]"},
    {"min(('NaN' cast as xs:float, 1))", "[FNaN]"},
    {"min((3, 'NaN' cast as xs:double))", "[ONaN]"},
    {"min(('-INF' cast as xs:double, 1))", "[O-INF]"},
    {"max((9007199254740993 to 9007199254740995))", "[N9007199254740995]"},
    // Untyped values are doubles, so node values compare as numbers.
    {"max(//a)", "[O4]"},
    {"min(('10' cast as xs:untypedAtomic, '9' cast as xs:untypedAtomic))", "[O9]"},
    {"max(('3' cast as xs:untypedAtomic, 1))", "[O3]"},
    {"max((1, 'NaN' cast as xs:untypedAtomic))", "[ONaN]"},
    // Strings by code point; booleans false before true.
    {"min(('b', 'a', 'c'))", "['a']"},
    {"max(('b', 'a', 'c'))", "['c']"},
    {"max(('10', '9'))", "['9']"},
    {"max(('z', '\xc3\xa9'))", "['\xc3\xa9']"},
    {"min((true(), false()))", "[Bfalse]"},
    {"max((true(), false()))", "[Btrue]"},
    {"max(('a', 'b'), 'http://www.w3.org/2005/xpath-functions/collation/codepoint')", "['b']"},
    // Durations by value, written canonically.
    {"max(('PT90M' cast as xs:dayTimeDuration, 'PT1H' cast as xs:dayTimeDuration))", "[dPT1H30M]"},
    {"min(('P1Y' cast as xs:yearMonthDuration, 'P13M' cast as xs:yearMonthDuration))", "[dP1Y]"},
    // Dates and times on the time line (no zone reads as UTC); the
    // value keeps its own zone.
    {"max(('2020-01-01T10:00:00+05:00' cast as xs:dateTime, '2020-01-01T06:00:00Z' cast as xs:dateTime))",
     "[T2020-01-01T06:00:00Z]"},
    {"min(('2020-01-02' cast as xs:date, '2020-01-01-05:00' cast as xs:date))", "[E2020-01-01-05:00]"},
    {"max(('1066-10-02' cast as xs:date, '2011-06-29' cast as xs:date, '1588-08-08' cast as xs:date))",
     "[E2011-06-29]"},
    {"max(('23:00:00+02:00' cast as xs:time, '22:00:00Z' cast as xs:time))", "[t22:00:00Z]"},
    {"min(('0A' cast as xs:hexBinary, '0b' cast as xs:hexBinary, '0B01' cast as xs:hexBinary))", "[X0A]"},
    {"max(('0A' cast as xs:hexBinary, '0b' cast as xs:hexBinary, '0B01' cast as xs:hexBinary))", "[X0B01]"},
    {"max([1, [7, 3]])", "[N7]"},
    {"min(())", "[]"},
    {"max(//zz)", "[]"},
    // Values without one common ordered type.
    {"max((1, 'a'))", "ERR:FORG0006: max() needs values of one type that can be ordered"},
    {"min(('a', true()))", "ERR:FORG0006: min() needs values of one type that can be ordered"},
    {"max(('P1Y' cast as xs:yearMonthDuration, 'P1D' cast as xs:dayTimeDuration))",
     "ERR:FORG0006: max() needs values of one type that can be ordered"},
    {"max(('P1Y1M1D' cast as xs:duration))", "ERR:FORG0006: max() needs values of one type that can be ordered"},
    {"max(('2020-01-01' cast as xs:date, '2020-01-01T00:00:00' cast as xs:dateTime))",
     "ERR:FORG0006: max() needs values of one type that can be ordered"},
    {"max(xs:duration('P1Y'))", "ERR:FORG0006: max() needs values of one type that can be ordered"},
    {"max(('2020' cast as xs:gYear))", "ERR:FORG0006: max() needs values of one type that can be ordered"},
    {"max(('0A' cast as xs:hexBinary, 'AA==' cast as xs:base64Binary))",
     "ERR:FORG0006: max() needs values of one type that can be ordered"},
    {"min((3, 'three' cast as xs:untypedAtomic))", "ERR:FORG0001: Cannot convert 'three' to xs:double"},
    {"max(//b)", "ERR:FORG0001: Cannot convert 'x' to xs:double"},
    {"max(true#0)", "ERR:FOTY0013: A map or function item cannot be atomized"},
    {"max(('a', 'b'), 'http://example.com/other')", "ERR:FOCH0002: Unsupported collation: http://example.com/other"},
};

TEST(XpathAggregates, Averages) {
    doc_ptr d(kDoc);
    ASSERT_NE(d.doc, nullptr);
    for (const auto& c : kAverages) EXPECT_EQ(typed(d.doc, c.expr), c.expected) << c.expr;
}

TEST(XpathAggregates, MinimaAndMaxima) {
    doc_ptr d(kDoc);
    ASSERT_NE(d.doc, nullptr);
    for (const auto& c : kExtremes) EXPECT_EQ(typed(d.doc, c.expr), c.expected) << c.expr;
}

// The result's own type, as instance of sees it: a lone value keeps its
// declared type, mixed ones take the promoted type.
TEST(XpathAggregates, ResultTypes) {
    doc_ptr d(kDoc);
    ASSERT_NE(d.doc, nullptr);
    const eval_case cases[] = {
        {"max(('1' cast as xs:unsignedShort)) instance of xs:unsignedShort", "true"},
        {"max((1, 1.0)) instance of xs:decimal", "true"},
        {"max((1, 2)) instance of xs:integer", "true"},
        {"avg((1, 2)) instance of xs:integer", "false"},
        {"avg((1, 2)) instance of xs:decimal", "true"},
        {"avg((1, 2)) * 2", "'3'"},
        {"string(avg((1, 2, 4)))", "'2.333333333333333333'"},
        {"min(('1' cast as xs:untypedAtomic)) instance of xs:double", "true"},
        {"avg(('P1D' cast as xs:dayTimeDuration)) instance of xs:dayTimeDuration", "true"},
        {"max(('2020-01-01' cast as xs:date)) instance of xs:date", "true"},
        {"max(('a' cast as xs:NCName)) instance of xs:NCName", "true"},
    };
    for (const auto& c : cases) EXPECT_EQ(xpath_test::eval_sequence(d.doc, c.expr), c.expected) << c.expr;
}

}  // namespace
