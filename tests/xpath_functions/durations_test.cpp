// Durations, times and date shifting, and atomic item equality.
#include <gtest/gtest.h>
#include <cmath>
#include <string>

#include "xpath_functions/functions.h"

namespace {

constexpr double kRefused = -12345;

double months(const char* t) {
    double v = kRefused;
    return quorvel_dur_try_months(t, &v) ? v : kRefused;
}
double seconds(const char* t) {
    double v = kRefused;
    return quorvel_dur_try_seconds(t, &v) ? v : kRefused;
}

TEST(XpathDurations, ReadingDurations) {
    struct {
        const char* text;
        double months, seconds;
    } cases[] = {
        {"P1Y2M", 14, kRefused},      {"-P1Y", -12, kRefused},        {"P1Y0D", 12, kRefused},
        {"P1Y1D", kRefused, kRefused}, {"P1D", kRefused, 86400},       {"P", kRefused, kRefused},
        {"PT0S", kRefused, 0},         {"P1YT0H0S", 12, kRefused},     {"P1YT1H", kRefused, kRefused},
        {"P1YT", kRefused, kRefused},  {"P1DT2H3M4.5S", kRefused, 93784.5}, {"-PT1M", kRefused, -60},
        {"P1DT", kRefused, 86400},     {"PT", kRefused, kRefused},     {"P1M", 1, kRefused},
        {"P0Y1D", kRefused, kRefused}, {"P1W", kRefused, kRefused},    {"PinfY", kRefused, kRefused},
        {"PTnanS", kRefused, kRefused}, {"P0x10D", kRefused, kRefused}, {"", kRefused, kRefused},
        {"PT1H30M", kRefused, 5400},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(months(c.text), c.months) << c.text;
        EXPECT_EQ(seconds(c.text), c.seconds) << c.text;
    }
    EXPECT_EQ(quorvel_dur_try_months(nullptr, nullptr), 0);
    EXPECT_EQ(quorvel_dur_try_seconds(nullptr, nullptr), 0);
}

TEST(XpathDurations, TimesOfDay) {
    struct {
        const char* text;
        int ok;
        double seconds, raw;
    } cases[] = {
        {"10:00:00+02:00", 1, 28800, 28800}, {"01:00:00+02:00", 1, 82800, -3600}, {"24:00:00", 1, 0, 0},
        {"23:59:60", 1, 0, 86400},           {"10:00:00+15:00", 0, 0, 0},         {"10:60:00", 0, 0, 0},
        {"10:00:00.25Z", 1, 36000.25, 36000.25}, {"10:00:00.", 0, 0, 0},          {"x10:00:00", 0, 0, 0},
        {"10:00:00Zx", 0, 0, 0},              {"99999999999999999999:00:00", 0, 0, 0},
    };
    for (const auto& c : cases) {
        double s = -1, r = -1;
        EXPECT_EQ(quorvel_time_norm_seconds(c.text, &s, &r), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(s, c.seconds) << c.text;
            EXPECT_EQ(r, c.raw) << c.text;
        }
    }
}

std::string months_text(double m) {
    char buf[40];
    quorvel_dur_format_months(buf, sizeof buf, m);
    return buf;
}
std::string seconds_text(double s) {
    char buf[64];
    quorvel_dur_format(buf, s);
    return buf;
}

TEST(XpathDurations, WritingDurations) {
    EXPECT_EQ(months_text(14), "P1Y2M");
    EXPECT_EQ(months_text(-14), "-P1Y2M");
    EXPECT_EQ(months_text(12), "P1Y");
    EXPECT_EQ(months_text(5), "P5M");
    EXPECT_EQ(months_text(0.5), "P0M");
    EXPECT_EQ(months_text(NAN), "P0M");
    EXPECT_EQ(months_text(1e300).substr(0, 2), "P7");
    EXPECT_EQ(seconds_text(0), "PT0S");
    EXPECT_EQ(seconds_text(-0.0), "-PT0S");
    EXPECT_EQ(seconds_text(86400 + 3600 + 60 + 1.5), "P1DT1H1M1.5S");
    EXPECT_EQ(seconds_text(86400), "P1D");
    EXPECT_EQ(seconds_text(-3600), "-PT1H");
    EXPECT_EQ(seconds_text(60), "PT1M");
    EXPECT_EQ(seconds_text(1.0000000001), "PT1S");
    EXPECT_EQ(seconds_text(NAN), "PT0S");
    EXPECT_EQ(seconds_text(1e23), "PT0S");
    EXPECT_EQ(seconds_text(8e22).substr(0, 2), "P9");
}

std::string shift(const char* text, double s) {
    char out[64];
    return quorvel_dt_shift(text, out, s) ? out : "refused";
}
std::string shift_months(const char* text, double m) {
    char out[64];
    return quorvel_dt_shift_months(text, out, m) ? out : "refused";
}

TEST(XpathDurations, ShiftingDates) {
    EXPECT_EQ(shift_months("2020-01-31", 1), "2020-02-29");
    EXPECT_EQ(shift_months("2019-01-31", 1), "2019-02-28");
    EXPECT_EQ(shift_months("2020-03-15", -3), "2019-12-15");
    EXPECT_EQ(shift_months("2020-01-01", 1.9), "2020-02-01");
    EXPECT_EQ(shift_months("0001-01-01", -12), "0000-01-01");
    EXPECT_EQ(shift_months("-0001-01-01", 0), "-0001-01-01");
    EXPECT_EQ(shift_months("2020-05-31T10:20:30.250+05:30", 1), "2020-06-30T10:20:30.25+05:30");
    EXPECT_EQ(shift_months("10:00:00", 1), "refused");
    EXPECT_EQ(shift_months("2020-01-01", INFINITY), "refused");
    EXPECT_EQ(shift_months("2020-01-01", 1e300), "refused");
    EXPECT_EQ(shift("23:30:00Z", 3600), "00:30:00Z");
    EXPECT_EQ(shift("00:10:00", -1200), "23:50:00");
    EXPECT_EQ(shift("10:00:00.5", 0), "10:00:00");
    EXPECT_EQ(shift("2020-12-31", 86400), "2021-01-01");
    EXPECT_EQ(shift("2020-12-31", -1), "2020-12-30");
    EXPECT_EQ(shift("2020-02-28T23:59:59Z", 1), "2020-02-29T00:00:00Z");
    EXPECT_EQ(shift("2020-01-01T00:00:00.5", 0.7), "2020-01-01T00:00:01.5");
    EXPECT_EQ(shift("2020-01-01T00:00:00-05:00", 60), "2020-01-01T00:01:00-05:00");
    EXPECT_EQ(shift("nonsense", 1), "refused");
    EXPECT_EQ(shift("2020-01-01", NAN), "refused");
    EXPECT_EQ(shift("2020-01-01", 8e22), "refused");
    EXPECT_EQ(shift("99999999999-01-01", 0).substr(0, 4), "2147");
}

std::string tagged(char tag, const char* text) { return std::string("\x03") + tag + text; }

TEST(XpathEquality, AtomicItems) {
    auto eq = [](const std::string& a, const std::string& b, int nan_equal = 0) {
        return quorvel_atom_seq_eq_n(a.c_str(), b.c_str(), nan_equal);
    };
    EXPECT_EQ(eq("10:00:00+01:00", "09:00:00Z"), 1);
    EXPECT_EQ(eq(tagged('N', "1"), tagged('D', "1.0")), 1);
    EXPECT_EQ(eq(tagged('D', "1.0"), tagged('D', "1")), 0);
    EXPECT_EQ(eq(tagged('F', "0.1"), tagged('O', "0.1")), 0);
    EXPECT_EQ(eq(tagged('F', "0.1"), tagged('D', "0.1")), 1);
    EXPECT_EQ(eq(tagged('F', "1e300"), tagged('F', "1e301")), 1);  // both beyond single precision
    EXPECT_EQ(eq(tagged('N', "NaN"), tagged('N', "NaN"), 1), 1);
    EXPECT_EQ(eq(tagged('N', "NaN"), tagged('N', "NaN"), 0), 0);
    EXPECT_EQ(eq(tagged('B', "t"), tagged('N', "1")), 0);
    EXPECT_EQ(eq(tagged('B', "true"), tagged('B', "t")), 1);
    EXPECT_EQ(eq("abc", tagged('U', "abc")), 0);
    EXPECT_EQ(eq(tagged('d', "P1Y"), tagged('d', "P12M")), 1);
    EXPECT_EQ(eq(tagged('d', "PT1H"), tagged('d', "PT60M")), 1);
    EXPECT_EQ(eq(tagged('t', "10:00:00+01:00"), tagged('t', "09:00:00Z")), 1);
    EXPECT_EQ(eq(tagged('E', "2020-01-01"), tagged('E', "2020-01-01Z")), 0);
    EXPECT_EQ(eq(tagged('A', "x"), "x"), 0);
    EXPECT_EQ(eq("x", "x"), 1);
    EXPECT_EQ(quorvel_atom_seq_eq_n(nullptr, "", 0), 1);
}

}  // namespace
