// The xs: constructor functions and the casts they share: lexical checks,
// canonical forms, conversions between types, their W3C errors, and the
// agreement of every constructor with `cast as` and `castable as`.
#include <gtest/gtest.h>

#include <string>

#include "quorvel.h"
#include "xpath/xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;

constexpr const char* kDoc = "<r><d>2024-01-31</d><n> 12 </n><e/></r>";

struct ctor_case {
    const char* expr;
    const char* expected;  // "ERR:CODE" matches any message starting with CODE
};

std::string eval(quorvel_document* doc, const std::string& expr) {
    return xpath_test::eval_sequence(doc, expr.c_str());
}

bool matches(const std::string& actual, const std::string& expected) {
    if (expected.rfind("ERR:", 0) == 0) return actual.rfind(expected, 0) == 0;
    return actual == expected;
}

const ctor_case kDates[] = {
    {"xs:date('2024-03-05')", "'2024-03-05'"},
    {"xs:date(' 2024-03-05\n')", "'2024-03-05'"},
    {"xs:date('2024-02-29')", "'2024-02-29'"},
    {"xs:date('2023-02-29')", "ERR:FORG0001"},
    {"xs:date('2024-04-31')", "ERR:FORG0001"},
    {"xs:date('1900-02-29')", "ERR:FORG0001"},
    {"xs:date('2000-02-29')", "'2000-02-29'"},
    {"xs:date('2024-3-05')", "ERR:FORG0001"},
    {"xs:date('2024-03-05 ')", "'2024-03-05'"},
    {"xs:date('2024 -03-05')", "ERR:FORG0001"},
    {"xs:date('02024-01-01')", "ERR:FORG0001"},
    {"xs:date('12345-01-01')", "'12345-01-01'"},
    {"xs:date('-0044-03-15')", "'-0044-03-15'"},
    {"xs:date('2024-03-05+00:00')", "'2024-03-05Z'"},
    {"xs:date('2024-03-05-00:00')", "'2024-03-05Z'"},
    {"xs:date('2024-03-05+14:00')", "'2024-03-05+14:00'"},
    {"xs:date('2024-03-05+14:01')", "ERR:FORG0001"},
    {"xs:date('2024-03-05+05:60')", "ERR:FORG0001"},
    {"xs:date('2024-03-05T00:00:00')", "ERR:FORG0001"},
    {"xs:date('')", "ERR:FORG0001"},
    {"xs:date(xs:dateTime('2024-03-05T10:11:12-05:00'))", "'2024-03-05-05:00'"},
    {"xs:date(/r/d)", "'2024-01-31'"},
    {"xs:date(1)", "ERR:XPTY0004"},
    {"xs:date(xs:time('10:00:00'))", "ERR:XPTY0004"},
    {"xs:dateTime('2024-12-31T24:00:00')", "'2025-01-01T00:00:00'"},
    {"xs:dateTime('2024-02-28T24:00:00Z')", "'2024-02-29T00:00:00Z'"},
    {"xs:dateTime('2024-03-05T10:11:12.500')", "'2024-03-05T10:11:12.5'"},
    {"xs:dateTime('2024-03-05T10:11:12.000Z')", "'2024-03-05T10:11:12Z'"},
    {"xs:dateTime('2024-03-05T10:11:12.')", "ERR:FORG0001"},
    {"xs:dateTime('2024-03-05T24:00:01')", "ERR:FORG0001"},
    {"xs:dateTime('2024-03-05T10:60:00')", "ERR:FORG0001"},
    {"xs:dateTime('2024-03-05T10:00:60')", "ERR:FORG0001"},
    {"xs:dateTime('2024-03-05T1:00:00')", "ERR:FORG0001"},
    {"xs:dateTime('2024-03-05')", "ERR:FORG0001"},
    {"xs:dateTime(xs:date('2024-03-05Z'))", "'2024-03-05T00:00:00Z'"},
    {"xs:dateTime('1234567890123-01-01T00:00:00')", "ERR:FODT0001"},
    {"xs:time('24:00:00')", "'00:00:00'"},
    {"xs:time('24:00:00.000+01:00')", "'00:00:00+01:00'"},
    {"xs:time('24')", "ERR:FORG0001"},
    {"xs:time('24:30:00')", "ERR:FORG0001"},
    {"xs:time('23:59:59.999')", "'23:59:59.999'"},
    {"xs:time(xs:dateTime('2024-03-05T10:11:12Z'))", "'10:11:12Z'"},
    {"xs:time(xs:date('2024-03-05'))", "ERR:XPTY0004"},
    // The partial dates, from text and from the dates that hold them.
    {"xs:gYear('2024')", "'2024'"},
    {"xs:gYear('abc')", "ERR:FORG0001"},
    {"xs:gYear('24')", "ERR:FORG0001"},
    {"xs:gYear(xs:dateTime('2024-03-05T10:11:12+02:00'))", "'2024+02:00'"},
    {"xs:gYearMonth('2024-12')", "'2024-12'"},
    {"xs:gYearMonth('2024-13')", "ERR:FORG0001"},
    {"xs:gYearMonth(xs:date('2024-03-05'))", "'2024-03'"},
    {"xs:gMonthDay('--02-29')", "'--02-29'"},
    {"xs:gMonthDay('--02-30')", "ERR:FORG0001"},
    {"xs:gMonthDay('--04-31')", "ERR:FORG0001"},
    {"xs:gMonthDay(xs:date('2024-03-05Z'))", "'--03-05Z'"},
    {"xs:gDay('---31')", "'---31'"},
    {"xs:gDay('---32')", "ERR:FORG0001"},
    {"xs:gDay('--31')", "ERR:FORG0001"},
    {"xs:gDay(xs:date('2024-03-05'))", "'---05'"},
    {"xs:gMonth('--12')", "'--12'"},
    {"xs:gMonth('--12--')", "ERR:FORG0001"},
    {"xs:gMonth('--13')", "ERR:FORG0001"},
    {"xs:gMonth(xs:dateTime('2024-03-05T00:00:00'))", "'--03'"},
    {"xs:gDay(xs:gMonth('--01'))", "ERR:XPTY0004"},
    {"xs:gYear(xs:gYearMonth('2024-01'))", "ERR:XPTY0004"},
};

const ctor_case kDurations[] = {
    {"xs:duration('P1Y13M')", "'P2Y1M'"},
    {"xs:duration('PT90M')", "'PT1H30M'"},
    {"xs:duration('P0Y')", "'PT0S'"},
    {"xs:duration('-P0D')", "'PT0S'"},
    {"xs:duration('-P1Y2M3DT4H5M6.70S')", "'-P1Y2M3DT4H5M6.7S'"},
    {"xs:duration('PT1.5S')", "'PT1.5S'"},
    {"xs:duration('PT.5S')", "ERR:FORG0001"},
    {"xs:duration('PT1.S')", "'PT1S'"},
    {"xs:duration('PT0.000S')", "'PT0S'"},
    {"xs:duration('P1DT')", "ERR:FORG0001"},
    {"xs:duration('P')", "ERR:FORG0001"},
    {"xs:duration('P1.5D')", "ERR:FORG0001"},
    {"xs:duration('P1M1Y')", "ERR:FORG0001"},
    {"xs:duration('P1Y1Y')", "ERR:FORG0001"},
    {"xs:duration('PT1D')", "ERR:FORG0001"},
    {"xs:duration('P-1Y')", "ERR:FORG0001"},
    {"xs:duration('1Y')", "ERR:FORG0001"},
    {"xs:duration('P99999999999999999999Y')", "ERR:FODT0002"},
    {"xs:duration(xs:dayTimeDuration('PT1H'))", "'PT1H'"},
    {"xs:yearMonthDuration('P1Y6M')", "'P1Y6M'"},
    {"xs:yearMonthDuration('P18M')", "'P1Y6M'"},
    {"xs:yearMonthDuration('-P0Y')", "'P0M'"},
    {"xs:yearMonthDuration('P1D')", "ERR:FORG0001"},
    {"xs:yearMonthDuration('P1Y1D')", "ERR:FORG0001"},
    {"xs:yearMonthDuration(xs:duration('-P1Y2M3D'))", "'-P1Y2M'"},
    {"xs:yearMonthDuration(xs:dayTimeDuration('P3D'))", "'P0M'"},
    {"xs:dayTimeDuration('PT36H')", "'P1DT12H'"},
    {"xs:dayTimeDuration('P1Y')", "ERR:FORG0001"},
    {"xs:dayTimeDuration(xs:duration('-P1Y2M3D'))", "'-P3D'"},
    {"xs:dayTimeDuration(xs:date('2024-01-01'))", "ERR:XPTY0004"},
    {"xs:duration(1)", "ERR:XPTY0004"},
};

const ctor_case kStrings[] = {
    {"xs:string(12)", "'12'"},
    {"xs:string(xs:date('2024-03-05'))", "'2024-03-05'"},
    {"xs:untypedAtomic(1.5)", "'1.5'"},
    {"xs:anyURI(' http://example.com/a b ')", "'http://example.com/a b'"},
    {"xs:anyURI(1)", "ERR:XPTY0004"},
    {"xs:NCName(' abc ')", "'abc'"},
    {"xs:NCName('a:b')", "ERR:FORG0001"},
    {"xs:NCName('12')", "ERR:FORG0001"},
    {"xs:NCName(12)", "ERR:FORG0001"},
    {"xs:NCName('caf\xC3\xA9')", "'caf\xC3\xA9'"},
    {"xs:NCName('a b')", "ERR:FORG0001"},
    {"xs:NCName('')", "ERR:FORG0001"},
    {"xs:Name('a:b')", "'a:b'"},
    {"xs:Name('-a')", "ERR:FORG0001"},
    {"xs:ID('x1')", "'x1'"},
    {"xs:IDREF('1x')", "ERR:FORG0001"},
    {"xs:ENTITY('e.f-g')", "'e.f-g'"},
    {"xs:NMTOKEN('12')", "'12'"},
    {"xs:NMTOKEN('a b')", "ERR:FORG0001"},
    {"xs:token('  a \n\n b  ')", "'a b'"},
    {"xs:token('')", "''"},
    {"xs:normalizedString(concat(' a', codepoints-to-string(9), 'b '))", "' a b '"},
    {"xs:language('en-US')", "'en-US'"},
    {"xs:language('x-1234')", "'x-1234'"},
    {"xs:language('1en')", "ERR:FORG0001"},
    {"xs:language('english')", "'english'"},
    {"xs:language('english9')", "ERR:FORG0001"},
    {"xs:language('englishes')", "ERR:FORG0001"},
    {"xs:language('en-')", "ERR:FORG0001"},
    {"xs:hexBinary('0fA1')", "'0FA1'"},
    {"xs:hexBinary('')", "''"},
    {"xs:hexBinary('0')", "ERR:FORG0001"},
    {"xs:hexBinary('0g')", "ERR:FORG0001"},
    {"xs:base64Binary('AQID')", "'AQID'"},
    {"xs:base64Binary('AQI=')", "'AQI='"},
    {"xs:base64Binary('AQ==')", "'AQ=='"},
    {"xs:base64Binary('AQJ=')", "ERR:FORG0001"},
    {"xs:base64Binary('AR==')", "ERR:FORG0001"},
    {"xs:base64Binary('AQI')", "ERR:FORG0001"},
    {"xs:base64Binary('AQ==AQID')", "ERR:FORG0001"},
    {"xs:base64Binary(' AQ ID ')", "'AQID'"},
    {"xs:hexBinary(xs:base64Binary('AQID'))", "'010203'"},
    {"xs:base64Binary(xs:hexBinary('01020304'))", "'AQIDBA=='"},
    {"xs:hexBinary(1)", "ERR:XPTY0004"},
};

const ctor_case kNumbers[] = {
    {"xs:integer(' 42 ')", "'42'"},
    {"xs:integer('+7')", "'7'"},
    {"xs:integer('4.0')", "ERR:FORG0001"},
    {"xs:integer(4.7)", "'4'"},
    {"xs:integer(-2.7)", "'-2'"},
    {"xs:integer(xs:double('NaN'))", "ERR:FOCA0002"},
    {"xs:integer(true())", "'1'"},
    {"xs:integer(/r/n)", "'12'"},
    {"xs:integer('99999999999999999999')", "'99999999999999999999'"},
    {"xs:byte('127')", "'127'"},
    {"xs:byte('128')", "ERR:FORG0001: Value 128 out of range for xs:byte"},
    {"xs:byte(-129)", "ERR:FORG0001"},
    {"xs:byte(' +1 ')", "'1'"},
    {"xs:short(1.9)", "'1'"},
    {"xs:unsignedByte('-0')", "'0'"},
    {"xs:unsignedByte(-1)", "ERR:FORG0001"},
    {"xs:unsignedInt('4294967295')", "'4294967295'"},
    {"xs:unsignedLong('18446744073709551615')", "'18446744073709551615'"},
    {"xs:unsignedLong('18446744073709551616')", "ERR:FORG0001"},
    {"xs:long('9223372036854775808')", "ERR:FORG0001"},
    {"xs:long('-9223372036854775808')", "'-9223372036854775808'"},
    {"xs:positiveInteger('0')", "ERR:FORG0001"},
    {"xs:negativeInteger('-1')", "'-1'"},
    {"xs:nonPositiveInteger('1')", "ERR:FORG0001"},
    {"xs:nonNegativeInteger('00')", "'0'"},
    {"xs:decimal('1.50')", "'1.5'"},
    {"xs:decimal('-.5')", "'-0.5'"},
    {"xs:decimal('1e3')", "ERR:FORG0001"},
    {"xs:decimal(xs:double('INF'))", "ERR:FOCA0002"},
    {"xs:double('-INF')", "'-INF'"},
    {"xs:double('1e')", "ERR:FORG0001"},
    {"xs:double('inf')", "ERR:FORG0001"},
    {"xs:float('NaN')", "'NaN'"},
    {"xs:boolean('1')", "true"},
    {"xs:boolean(' false ')", "false"},
    {"xs:boolean('yes')", "ERR:FORG0001"},
    {"xs:boolean(0.0)", "false"},
    {"xs:boolean(xs:date('2024-01-01'))", "ERR:XPTY0004"},
};

// Arguments that are not one item.
const ctor_case kCardinality[] = {
    {"xs:date(())", "[]"},
    {"xs:NCName(/r/none)", "[]"},
    {"xs:date(('2024-01-01', '2024-01-02'))", "ERR:XPTY0004"},
    {"xs:integer((1, 2))", "ERR:XPTY0004"},
    {"xs:string(/r/*)", "ERR:XPTY0004"},
    {"xs:string(/r/e)", "''"},
};

class Constructors : public ::testing::TestWithParam<ctor_case> {};

TEST_P(Constructors, GivesValueOrError) {
    doc_ptr doc(kDoc);
    ASSERT_NE(doc.doc, nullptr);
    const ctor_case& c = GetParam();
    std::string actual = eval(doc.doc, c.expr);
    EXPECT_TRUE(matches(actual, c.expected)) << c.expr << "\n  got:      " << actual << "\n  expected: " << c.expected;
}

// A constructor call xs:T(arg) and `arg cast as xs:T?` are one operation:
// same value or same error; `castable as` says whether it succeeds.
TEST_P(Constructors, AgreesWithCastAndCastable) {
    doc_ptr doc(kDoc);
    ASSERT_NE(doc.doc, nullptr);
    std::string expr = GetParam().expr;
    size_t open = expr.find('(');
    ASSERT_NE(open, std::string::npos);
    std::string type = expr.substr(0, open);
    std::string argument = expr.substr(open);
    std::string constructed = eval(doc.doc, expr);
    std::string cast = eval(doc.doc, argument + " cast as " + type + "?");
    std::string castable = eval(doc.doc, argument + " castable as " + type + "?");
    if (constructed.rfind("ERR:XPTY0004: xs:", 0) == 0) return;  // more than one item: no cast of the sequence
    EXPECT_EQ(constructed.substr(0, 12), cast.substr(0, 12)) << expr;
    if (constructed.rfind("ERR:", 0) != 0) {
        EXPECT_EQ(constructed, cast) << expr;
    }
    EXPECT_EQ(castable, constructed.rfind("ERR:", 0) == 0 ? "false" : "true") << expr;
}

INSTANTIATE_TEST_SUITE_P(Dates, Constructors, ::testing::ValuesIn(kDates));
INSTANTIATE_TEST_SUITE_P(Durations, Constructors, ::testing::ValuesIn(kDurations));
INSTANTIATE_TEST_SUITE_P(Strings, Constructors, ::testing::ValuesIn(kStrings));
INSTANTIATE_TEST_SUITE_P(Numbers, Constructors, ::testing::ValuesIn(kNumbers));
INSTANTIATE_TEST_SUITE_P(Cardinality, Constructors, ::testing::ValuesIn(kCardinality));

// Constructed values keep their type: in instance tests, in sequences and
// through variables.
const ctor_case kTypes[] = {
    {"xs:date('2024-01-01') instance of xs:date", "true"},
    {"xs:yearMonthDuration('P1Y') instance of xs:duration", "true"},
    {"xs:dayTimeDuration('P1D') instance of xs:yearMonthDuration", "false"},
    {"xs:NCName('a') instance of xs:Name", "true"},
    {"xs:token('a') instance of xs:NCName", "false"},
    {"xs:byte(1) instance of xs:short", "true"},
    {"xs:unsignedLong('18446744073709551615') instance of xs:integer", "true"},
    {"let $d := xs:date('2024-02-28') return string($d + xs:dayTimeDuration('P1D'))", "'2024-02-29'"},
    {"(xs:time('24:00:00'), xs:gDay('---01'))", "[t00:00:00 Q---01]"},
    {"xs:anyURI('a') instance of xs:anyURI", "true"},
    {"'P1Y' castable as xs:dayTimeDuration", "false"},
    {"() castable as xs:date", "false"},
    {"() cast as xs:date", "ERR:XPTY0004"},
    {"'a' cast as xs:anyAtomicType", "ERR:XPST0080"},
    {"'a' castable as xs:NOTATION", "ERR:XPST0080"},
};

TEST(ConstructorTypes, ValuesKeepTheirType) {
    doc_ptr doc(kDoc);
    ASSERT_NE(doc.doc, nullptr);
    for (const ctor_case& c : kTypes) {
        std::string actual = eval(doc.doc, c.expr);
        EXPECT_TRUE(matches(actual, c.expected)) << c.expr << "\n  got:      " << actual << "\n  expected: " << c.expected;
    }
}

}  // namespace
