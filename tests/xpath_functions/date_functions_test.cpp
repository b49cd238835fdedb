// Date, time and duration components, timezone adjustment, date and time
// formatting and IETF date parsing.
#include <gtest/gtest.h>

#include <string>

#include "quorvel.h"
#include "xpath/xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;

struct eval_case {
    const char* expr;
    const char* expected;
};

std::string eval(quorvel_document* doc, const char* expr) { return xpath_test::eval_sequence(doc, expr); }

void run_table(const eval_case* cases, size_t count) {
    doc_ptr d("<r><a>2024-03-05</a><t>10:20:30</t><p>PT2H</p></r>");
    ASSERT_NE(d.doc, nullptr);
    for (size_t i = 0; i < count; i++) EXPECT_EQ(eval(d.doc, cases[i].expr), cases[i].expected) << cases[i].expr;
}

#define DT(text) "('" text "' cast as xs:dateTime)"
#define DA(text) "('" text "' cast as xs:date)"
#define TI(text) "('" text "' cast as xs:time)"
#define DTD(text) "('" text "' cast as xs:dayTimeDuration)"
#define YMD(text) "('" text "' cast as xs:yearMonthDuration)"

// Components are the local ones, as written; 24:00:00 is the next day's
// midnight; seconds keep their fraction as a decimal.
const eval_case kComponents[] = {
    {"year-from-date(" DA("2024-03-05") ")", "'2024'"},
    {"year-from-dateTime(" DT("-0044-03-15T10:00:00Z") ")", "'-44'"},
    {"month-from-dateTime(" DT("1999-12-31T23:00:00-05:00") ")", "'12'"},
    {"day-from-dateTime(" DT("2024-02-28T24:00:00") ")", "'29'"},
    {"day-from-dateTime(" DT("2023-12-31T24:00:00") ")", "'1'"},
    {"hours-from-dateTime(" DT("2024-03-05T24:00:00") ")", "'0'"},
    {"hours-from-time(" TI("23:59:59+14:00") ")", "'23'"},
    {"minutes-from-time(" TI("10:07:00") ")", "'7'"},
    {"seconds-from-time(" TI("10:20:06.4560") ")", "'6.456'"},
    {"seconds-from-dateTime(" DT("2024-03-05T10:20:00") ")", "'0'"},
    {"seconds-from-time(" TI("10:20:06.4560") ") instance of xs:decimal", "true"},
    {"year-from-date(" DA("2024-03-05") ") instance of xs:integer", "true"},
    // Untyped values (nodes) are cast; strings are type errors.
    {"year-from-date(/r/a)", "'2024'"},
    {"hours-from-time(/r/t)", "'10'"},
    {"year-from-date('2024-03-05')", "ERR:XPTY0004: year-from-date(Time) expects an xs:dateTime or xs:date"},
    {"hours-from-time(1)", "ERR:XPTY0004: hours-from-(date)Time expects an xs:dateTime or xs:time"},
    {"year-from-date((" DA("2024-03-05") ", " DA("2024-03-06") "))",
     "ERR:XPTY0004: year-from-date(Time) expects one item, got 2"},
    {"year-from-date(())", "[]"},
    {"year-from-date(/r/zz)", "[]"},
    // Untyped values are checked: no 30 February, no hour 25, no leap day in
    // 2023.
    {"day-from-date(xs:untypedAtomic('2024-02-30'))", "ERR:FORG0001: Invalid value for day-from-date(Time): '2024-02-30'"},
    {"day-from-date(xs:untypedAtomic('2023-02-29'))", "ERR:FORG0001: Invalid value for day-from-date(Time): '2023-02-29'"},
    {"day-from-date(" DA("2024-02-29") ")", "'29'"},
    {"hours-from-time(xs:untypedAtomic('25:00:00'))", "ERR:FORG0001: Invalid value for hours-from-(date)Time: '25:00:00'"},
    {"hours-from-time(xs:untypedAtomic('24:00:01'))", "ERR:FORG0001: Invalid value for hours-from-(date)Time: '24:00:01'"},
    {"hours-from-time(xs:untypedAtomic('10:00:00+14:01'))", "ERR:FORG0001: Invalid value for hours-from-(date)Time: '10:00:00+14:01'"},
    {"year-from-date(xs:untypedAtomic('02024-01-01'))", "ERR:FORG0001: Invalid value for year-from-date(Time): '02024-01-01'"},
    {"year-from-date(" DA("12024-01-01") ")", "'12024'"},
    // Timezones as canonical day-time durations.
    {"timezone-from-dateTime(" DT("2002-03-07T10:00:00-05:00") ")", "'-PT5H'"},
    {"timezone-from-time(" TI("10:00:00-00:30") ")", "'-PT30M'"},
    {"timezone-from-date(" DA("2002-03-07+05:30") ")", "'PT5H30M'"},
    {"timezone-from-date(" DA("2002-03-07Z") ")", "'PT0S'"},
    {"timezone-from-time(" TI("10:00:00-00:00") ")", "'PT0S'"},
    {"timezone-from-date(" DA("2002-03-07") ")", "[]"},
    {"timezone-from-date(" DA("2002-03-07-05:00") ") instance of xs:dayTimeDuration", "true"},
    // Duration components come from the normalized value, with its sign.
    {"years-from-duration(" YMD("P20Y15M") ")", "'21'"},
    {"months-from-duration(" YMD("-P20Y15M") ")", "'-3'"},
    {"years-from-duration(" DTD("P400D") ")", "'0'"},
    {"days-from-duration(" DTD("P3DT55H") ")", "'5'"},
    {"hours-from-duration(" DTD("PT36H") ")", "'12'"},
    {"hours-from-duration(" DTD("-P1DT3H") ")", "'-3'"},
    {"minutes-from-duration(" DTD("-PT1M30.5S") ")", "'-1'"},
    {"minutes-from-duration(" DTD("PT90M") ")", "'30'"},
    {"seconds-from-duration(" DTD("-PT1M30.5S") ")", "'-30.5'"},
    {"seconds-from-duration(" DTD("PT150.25S") ")", "'30.25'"},
    {"seconds-from-duration(" YMD("P1Y") ")", "'0'"},
    {"days-from-duration(" YMD("P1Y2M") ")", "'0'"},
    {"days-from-duration(('P1Y2M3DT4H' cast as xs:duration))", "'3'"},
    {"months-from-duration(('P1Y2M3DT4H' cast as xs:duration))", "'2'"},
    {"days-from-duration(xs:date('2024-01-01'))", "ERR:XPTY0004: days-from-duration expects an xs:duration"},
    {"days-from-duration(/r/p)", "'0'"},
    {"hours-from-duration(/r/p)", "'2'"},
    {"days-from-duration(())", "[]"},
};

TEST(XpathDateFunctions, Components) { run_table(kComponents, sizeof kComponents / sizeof *kComponents); }

// Adjusting converts a value with a timezone, attaches the timezone to a
// value without one, and with () drops the timezone keeping the local time.
// Seconds and their fractions never change.
const eval_case kAdjust[] = {
    {"adjust-dateTime-to-timezone(" DT("2002-03-07T10:00:00-07:00") ", " DTD("PT10H") ")",
     "'2002-03-08T03:00:00+10:00'"},
    {"adjust-dateTime-to-timezone(" DT("2002-03-07T10:00:00-07:00") ", ())", "'2002-03-07T10:00:00'"},
    {"adjust-dateTime-to-timezone(" DT("2002-03-07T10:00:00-07:00") ")", "'2002-03-07T17:00:00Z'"},
    {"adjust-dateTime-to-timezone(" DT("2002-03-07T10:00:00") ")", "'2002-03-07T10:00:00Z'"},
    {"adjust-dateTime-to-timezone(" DT("2002-03-07T10:00:00") ", " DTD("-PT10H") ")",
     "'2002-03-07T10:00:00-10:00'"},
    {"adjust-dateTime-to-timezone(" DT("2002-03-07T10:00:00") ", ())", "'2002-03-07T10:00:00'"},
    {"adjust-dateTime-to-timezone(" DT("2002-03-07T10:00:00.125+01:00") ")", "'2002-03-07T09:00:00.125Z'"},
    // Before 1970 and across a year, negative offsets move backwards.
    {"adjust-dateTime-to-timezone(" DT("1970-01-01T00:00:00.5Z") ", " DTD("-PT1M") ")",
     "'1969-12-31T23:59:00.5-00:01'"},
    {"adjust-dateTime-to-timezone(" DT("0001-01-01T01:00:00+05:00") ")", "'0000-12-31T20:00:00Z'"},
    {"adjust-dateTime-to-timezone(" DT("-0001-03-01T00:00:00Z") ", " DTD("-PT1H") ")",
     "'-0001-02-28T23:00:00-01:00'"},
    {"adjust-dateTime-to-timezone(" DT("2002-03-07T10:00:00Z") ", " DTD("PT0S") ") instance of xs:dateTime",
     "true"},
    {"adjust-date-to-timezone(" DA("2002-03-07-07:00") ", " DTD("-PT10H") ")", "'2002-03-06-10:00'"},
    {"adjust-date-to-timezone(" DA("2002-03-07") ", " DTD("-PT10H") ")", "'2002-03-07-10:00'"},
    {"adjust-date-to-timezone(" DA("2002-03-07-07:00") ", ())", "'2002-03-07'"},
    {"adjust-date-to-timezone(" DA("2002-03-07+13:00") ")", "'2002-03-06Z'"},
    {"adjust-time-to-timezone(" TI("23:30:00Z") ", " DTD("PT1H") ")", "'00:30:00+01:00'"},
    {"adjust-time-to-timezone(" TI("00:30:00+01:00") ", " DTD("-PT14H") ")", "'09:30:00-14:00'"},
    {"adjust-time-to-timezone(" TI("10:00:00.5Z") ", " DTD("PT0S") ")", "'10:00:00.5Z'"},
    {"adjust-time-to-timezone(" TI("24:00:00") ")", "'00:00:00Z'"},
    {"adjust-time-to-timezone(())", "[]"},
    // The timezone must be whole minutes within 14 hours, and a dayTimeDuration.
    {"adjust-time-to-timezone(" TI("10:00:00Z") ", " DTD("PT14H1M") ")",
     "ERR:FODT0003: Invalid timezone for adjust-time-to-timezone: whole minutes from -PT14H to PT14H are allowed"},
    {"adjust-time-to-timezone(" TI("10:00:00Z") ", " DTD("PT1H30S") ")",
     "ERR:FODT0003: Invalid timezone for adjust-time-to-timezone: whole minutes from -PT14H to PT14H are allowed"},
    {"adjust-dateTime-to-timezone((), " DTD("-PT15H") ")",
     "ERR:FODT0003: Invalid timezone for adjust-dateTime-to-timezone: whole minutes from -PT14H to PT14H are "
     "allowed"},
    {"adjust-time-to-timezone(" TI("10:00:00Z") ", 'PT1H')",
     "ERR:XPTY0004: the timezone of adjust-time-to-timezone must be an xs:dayTimeDuration"},
    {"adjust-time-to-timezone(" TI("10:00:00Z") ", " YMD("P1M") ")",
     "ERR:XPTY0004: the timezone of adjust-time-to-timezone must be an xs:dayTimeDuration"},
    {"adjust-time-to-timezone(" TI("10:00:00Z") ", /r/p)", "'12:00:00+02:00'"},
    {"adjust-date-to-timezone(" DT("2002-03-07T10:00:00Z") ")",
     "ERR:XPTY0004: adjust-date-to-timezone expects an xs:date"},
};

TEST(XpathDateFunctions, AdjustToTimezone) { run_table(kAdjust, sizeof kAdjust / sizeof *kAdjust); }

// IETF dates: the three header styles, case-insensitive names, numeric
// offsets with or without a colon (hours and minutes, never minutes alone),
// zone names in parentheses; the offset is kept.
const eval_case kIetf[] = {
    {"parse-ietf-date('Wed, 06 Jun 1994 07:29:35 GMT')", "'1994-06-06T07:29:35Z'"},
    {"parse-ietf-date('Sunday, 06-Nov-94 08:49:37 GMT')", "'1994-11-06T08:49:37Z'"},
    {"parse-ietf-date('Sun Nov  6 08:49:37 1994')", "'1994-11-06T08:49:37Z'"},
    {"parse-ietf-date('wed, 6 jun 94 07:29:35 gmt')", "'1994-06-06T07:29:35Z'"},
    {"parse-ietf-date(' 6 Nov 1994 08:49:37 +0100 ')", "'1994-11-06T08:49:37+01:00'"},
    {"parse-ietf-date('Wed, 06 Jun 1994 07:29:35 +05:30')", "'1994-06-06T07:29:35+05:30'"},
    {"parse-ietf-date('Wed, 06 Jun 1994 07:29:35 +530')", "'1994-06-06T07:29:35+05:30'"},
    {"parse-ietf-date('Wed, 06 Jun 1994 07:29:35 -5')", "'1994-06-06T07:29:35-05:00'"},
    {"parse-ietf-date('Wed, 06 Jun 1994 07:29:35 EST')", "'1994-06-06T07:29:35-05:00'"},
    {"parse-ietf-date('Wed, 06 Jun 1994 07:29:35 -0700 (PDT)')", "'1994-06-06T07:29:35-07:00'"},
    {"parse-ietf-date('Wed Jun 06 11:54:45 EST 2013')", "'2013-06-06T11:54:45-05:00'"},
    {"parse-ietf-date('06 Jun 1994 07:29')", "'1994-06-06T07:29:00Z'"},
    {"parse-ietf-date('06 Jun 1994 07:29:35.250')", "'1994-06-06T07:29:35.25Z'"},
    {"parse-ietf-date('Aug 20 24:00 2014')", "'2014-08-21T00:00:00Z'"},
    {"parse-ietf-date('29 Feb 2000 00:00')", "'2000-02-29T00:00:00Z'"},
    {"parse-ietf-date('06 Jun 29 07:29')", "'1929-06-06T07:29:00Z'"},
    {"parse-ietf-date('06 Jun 1994 07:29') instance of xs:dateTime", "true"},
    {"parse-ietf-date(())", "[]"},
    // Unreadable input and fields out of range are errors, not "".
    {"parse-ietf-date('29 Feb 2100 00:00')", "ERR:FORG0010: Invalid IETF date: '29 Feb 2100 00:00'"},
    {"parse-ietf-date('31 Feb 2021 10:00')", "ERR:FORG0010: Invalid IETF date: '31 Feb 2021 10:00'"},
    {"parse-ietf-date('Aug 20 24:00:01 2014')", "ERR:FORG0010: Invalid IETF date: 'Aug 20 24:00:01 2014'"},
    {"parse-ietf-date('06 Jun 1994 07:29 -14:01')", "ERR:FORG0010: Invalid IETF date: '06 Jun 1994 07:29 -14:01'"},
    {"parse-ietf-date('06/11/1994 07:29')", "ERR:FORG0010: Invalid IETF date: '06/11/1994 07:29'"},
    {"parse-ietf-date('06 Jun 1994')", "ERR:FORG0010: Invalid IETF date: '06 Jun 1994'"},
    {"parse-ietf-date('06 Jun 1994 07:29 (GMT)')", "ERR:FORG0010: Invalid IETF date: '06 Jun 1994 07:29 (GMT)'"},
    {"parse-ietf-date('06 Jun 1994 07:29 foo')", "ERR:FORG0010: Invalid IETF date: '06 Jun 1994 07:29 foo'"},
    {"parse-ietf-date('Someday, 06 Jun 1994 07:29')",
     "ERR:FORG0010: Invalid IETF date: 'Someday, 06 Jun 1994 07:29'"},
    {"parse-ietf-date('')", "ERR:FORG0010: Invalid IETF date: ''"},
    {"parse-ietf-date(string-join((1 to 100) ! 'x'))",
     "ERR:FORG0010: Invalid IETF date: 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...'"},
    {"parse-ietf-date(1)", "ERR:XPTY0004: parse-ietf-date expects a string"},
};

TEST(XpathDateFunctions, ParseIetfDate) { run_table(kIetf, sizeof kIetf / sizeof *kIetf); }

// The picture language: components, names, ordinals, words and numerals,
// digit patterns in any digit family, width modifiers, timezones, escaped
// brackets, and the fallback prefixes for language and calendar.
const eval_case kFormat[] = {
    {"format-date(xs:date('2024-03-05'), '[D01]/[M01]/[Y0001]')", "'05/03/2024'"},
    {"format-date(xs:date('2024-03-05'), '[FNn], [MNn] [D]')", "'Tuesday, March 5'"},
    {"format-date(xs:date('2024-03-05'), '[F] [FN] [Fn,*-3] [FNn,3-3] [MN,3-3] [Mn] [MNn,2-2]')",
     "'tuesday TUESDAY tue Tue MAR march Ma'"},
    {"format-date(xs:date('2024-03-05'), '[MNn,8]|[D,3-*]|[D01o]|[Dwo]|[DWwo]|[D1o]|[MI]|[Ma]')",
     "'March   |005|05th|fifth|Fifth|5th|III|c'"},
    {"format-date(xs:date('2003-09-07'), '[[[Y0001]-[M01]-[D01]]] a]b')", "'[2003-09-07] a]b'"},
    {"format-date(xs:date('2003-09-07'), '([Y01]-[M01]-[D01]) [ D 01 ]')", "'(03-09-07) 07'"},
    {"format-date(xs:date('2003-09-07'), '[Y' || codepoints-to-string((3664, 3664, 3664, 3665)) || ']')",
     "'๒๐๐๓'"},
    // Years: a pattern of two or more digit positions, or a maximum width,
    // keeps the last digits; a minimum width pads; grouping separators stay.
    {"format-date(xs:date('0985-03-01'), '[Y,4-4] [Y,3] [Y,2-2] [M,4-4] [M,*-2] [Y##9]')",
     "'0985 985 85 0003 3 985'"},
    {"format-date(xs:date('654321-01-01'), '[Y#0,2-5] [Y] [Y9,999,*]')", "'54321 654321 654,321'"},
    {"format-date(xs:date('2012-05-18'), '[Y9;999] [Y#.0]')", "'2;012 1.2'"},
    {"format-date(xs:date('2012-05-18'), '[Yi,3-3]|[YI]|[Yw]|[YWw]|[Y1o]')",
     "'xii|MMXII|two thousand twelve|Two Thousand Twelve|2012th'"},
    {"format-date(xs:date('-0044-03-15'), '[Y] [E] [EN] [Y0001]')", "'44 bc BC 0044'"},
    // Day of year, ISO weeks (the week of a Thursday) and weeks of the month.
    {"format-date(xs:date('2016-02-01'), '[d] [F1] [W] [w]')", "'32 1 5 1'"},
    {"format-date(xs:date('2005-01-01'), '[W] [w] [F01]')", "'53 5 06'"},
    {"format-date(xs:date('2024-12-30'), '[W] [w] [d]')", "'1 1 365'"},
    {"format-date(xs:date('2005-12-04'), '[w]')", "'1'"},
    // Times: 12-hour clock, am/pm, fractions cut and never rounded.
    {"format-time(xs:time('09:05:07.9'), '[H01]:[m01]:[s01]')", "'09:05:07'"},
    {"format-time(xs:time('00:15:06'), '[h]~[m][P] [PN] [PNn] [h01]')", "'12~15am AM Am 12'"},
    {"format-time(xs:time('12:00:00'), '[h]:[m] [P]')", "'12:00 pm'"},
    {"format-dateTime(xs:dateTime('2003-09-07T09:15:06.456'), '[f1,1-1] [f01] [f001] [f,4-4] [f,*-2] [f] [f9#]')",
     "'4 45 456 4560 45 456 45'"},
    {"format-time(xs:time('12:01:01.135'), \"[f0'0'0] [f00'0] [f111,2-2]\")", "'1'3'5 13'5 135'"},
    {"format-time(xs:time('12:01:01'), '[f] [f001] [mA].[sa]')", "'0 000 A.a'"},
    {"format-time(xs:time('09:15:06.006'), '[f,*-2] [f,2-2] [f01] [f]')", "'0 00 00 006'"},
    {"format-time(xs:time('12:01:01.123'), '[f#99]')",
     "ERR:FOFD1340: Invalid picture for format-time: a '#' before a digit of fractional seconds"},
    // Timezones.
    {"format-date(xs:date('1987-12-13+05:30'), '[ZZ] [Z] [z] [Z0] [Z999] [Z99] [Z0t] [z00~00]')",
     "'+05:30 +05:30 GMT+05:30 +5:30 +530 +05:30 +5:30 GMT+05~30'"},
    {"format-date(xs:date('1987-12-13-10:00'), '[ZZ] [Z0000] [z0]')", "'W -1000 GMT-10'"},
    {"format-date(xs:date('1987-12-13Z'), '[ZZ] [Z] [Z0t] [z0] [Z00:00t]')", "'Z +00:00 Z GMT+0 Z'"},
    {"format-dateTime(xs:dateTime('2024-03-05T10:00:00'), '[Z][z]|[ZZ]')", "'|J'"},
    {"format-time(xs:time('23:59:59+14:00'), '[Z0000] [Z9:99] [ZN]')", "'+1400 +14:00 +14:00'"},
    // Language, calendar and place.
    {"format-date(xs:date('2024-03-05'), '[D01]', 'fr', (), ())", "'[Language: en]05'"},
    {"format-date(xs:date('2024-03-05'), '[MNn]', 'en-GB', 'ISO', 'gb')", "'March'"},
    {"format-date(xs:date('2024-03-05'), '[D01]', (), 'OS', ())", "'[Calendar: AD]05'"},
    {"format-date(xs:date('2024-03-05'), '[D01]', 'de', 'Q{http://example.com/c}lunar', ())",
     "'[Language: en][Calendar: AD]05'"},
    {"format-date(xs:date('2024-03-05'), '[D01]', 'en', 'ZODIAC', ())",
     "ERR:FOFD1340: Invalid calendar for format-date: 'ZODIAC'"},
    {"format-date(xs:date('2024-03-05'), '[D01]', 'en', 'Q{}1', ())",
     "ERR:FOFD1340: Invalid calendar for format-date: 'Q{}1'"},
    // Errors and the empty sequence.
    {"format-date((), '[D]')", "[]"},
    {"format-date(xs:date('2024-03-05'), 'a[b')",
     "ERR:FOFD1340: Invalid picture for format-date: a '[' without its ']'"},
    {"format-date(xs:date('2024-03-05'), '[]')", "ERR:FOFD1340: Invalid picture for format-date: an empty variable marker"},
    {"format-date(xs:date('2024-03-05'), '[bla]')", "ERR:FOFD1340: Invalid picture for format-date: an unknown component"},
    {"format-date(xs:date('2024-03-05'), '[D,0]')",
     "ERR:FOFD1340: Invalid picture for format-date: a malformed width modifier"},
    {"format-date(xs:date('2016-01-01'), '[Y#.0,4-3]')",
     "ERR:FOFD1340: Invalid picture for format-date: a malformed width modifier"},
    {"format-date(xs:date('2012-05-18'), '[Y##9#]')",
     "ERR:FOFD1340: Invalid picture for format-date: a malformed digit pattern"},
    {"format-date(xs:date('2024-03-05'), '[H]')", "ERR:FOFD1350: format-date has no component [H]"},
    {"format-time(xs:time('10:00:00'), '[Y]')", "ERR:FOFD1350: format-time has no component [Y]"},
    {"format-date('2024-03-05', '[D]')", "ERR:XPTY0004: format-date expects an xs:date"},
    {"format-date(xs:date('2024-03-05'), '[D]', 'en')", "ERR:XPST0017: format-date takes 2 or 5 arguments, not 3"},
    {"format-dateTime(xs:dateTime('2024-03-05T10:00:00'), '[D]', 'en', (), 5)",
     "ERR:XPTY0004: expected one string"},
    // Long output is never cut.
    {"string-length(format-date(xs:date('2024-03-05'), string-join((1 to 500) ! '[MNn] ')))", "'3000'"},
};

TEST(XpathDateFunctions, FormatPictures) { run_table(kFormat, sizeof kFormat / sizeof *kFormat); }

}  // namespace
