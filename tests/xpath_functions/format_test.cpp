// The number formatters on their own: the decimal picture engine and
// format-integer's pictures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "xpath_functions/functions.h"

namespace {

std::string picture(const char* pic, double value, const quorvel_number_format_symbols* symbols = nullptr) {
    char* text = quorvel_format_number_core(pic, symbols, value);
    if (!text) return "NULL";
    std::string out = text;
    std::free(text);
    return out;
}

TEST(XpathNumberFormat, PicturesFormatTheirValues) {
    const struct {
        const char* picture;
        double value;
        const char* expected;
    } cases[] = {
        {"#,##0.00", 1234567.891, "1,234,567.89"},
        {"#,##0.00", -5, "-5.00"},
        {"#,##0.00", 0, "0.00"},
        {"0.###", 1.5, "1.5"},
        {"0.###", 2, "2"},
        {"00.00", 1.5, "01.50"},
        {"#", 0.4, "0"},
        {"#%", 0.25, "25%"},
        {"#\xE2\x80\xB0", 0.5, "500\xE2\x80\xB0"},
        {"$#,##0;($#)", -1234, "($1234)"},
        {"$#", -5, "-$5"},
        {"$#", INFINITY, "Infinity"},
        {"$#", -INFINITY, "-$Infinity"},
        {"0", NAN, "NaN"},
        {"", 12.5, "12"},
        {"#,###", 1234567, "1,234,567"},
        {"#,####", 1234567, "123,4567"},
        {"0.00", -0.0, "0.00"},
        {"0.0", 0.25, "0.2"},
        {"0.00", 9.995, "10.00"}, {"0.00", 9.985, "9.98"},
        {"0.00", 9.996, "10.00"},
        {"0", 99.5, "100"},
        {"0.0", 0.05, "0.0"},
        {"0.0", 0.051, "0.1"},
        {"0.000", 1.5e-7, "0.000"},
        {"0.#######", 1.5e-7, "0.0000002"},
    };
    for (const auto& c : cases) EXPECT_EQ(picture(c.picture, c.value), c.expected) << c.picture << " " << c.value;
}

TEST(XpathNumberFormat, NoDigitIsEverCutOff) {
    // All 201 digits of 1e200, and all digits a long picture asks for.
    std::string big = picture("0", 1e200);
    EXPECT_EQ(big, "1" + std::string(200, '0'));
    EXPECT_EQ(picture("#,##0", 1e200).size(), 201u + 66u);
    std::string zeros(300, '0');
    EXPECT_EQ(picture(zeros.c_str(), 7), std::string(299, '0') + "7");
    std::string frac = "0." + std::string(400, '0');
    EXPECT_EQ(picture(frac.c_str(), 0.5).size(), 402u);
    EXPECT_EQ(picture("0", 1.7976931348623157e308).size(), 309u);
}

TEST(XpathNumberFormat, SymbolsReplaceTheDefaults) {
    quorvel_number_format_symbols s = {",", ".", "nan", "inf", '0', '~'};
    EXPECT_EQ(picture("#.##0,00", 1234.5, &s), "1.234,50");
    EXPECT_EQ(picture("0", -3, &s), "~3");
    EXPECT_EQ(picture("0", NAN, &s), "nan");
}

std::string integer(long long n, const char* pic) {
    char digits[32];
    unsigned long long m = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    std::snprintf(digits, sizeof digits, "%llu", m);
    bool invalid = false;
    char* text = format_integer_text(n < 0, digits, pic, &invalid);
    if (invalid) return "invalid";
    if (!text) return "NULL";
    std::string out = text;
    std::free(text);
    return out;
}

TEST(XpathNumberFormat, FormatIntegerPictures) {
    const struct {
        long long value;
        const char* picture;
        const char* expected;
    } cases[] = {
        {1234, "w", "one thousand two hundred thirty-four"},
        {-21, "W", "minus TWENTY-ONE"},
        {1000000, "w", "one million"},
        {0, "w", "zero"},
        {115, "w", "one hundred fifteen"},
        {21, "Ww", "Twenty-one"},
        {3, "w;o", "third"},
        {42, "w;o", "forty-second"},
        {20, "w;o", "twentieth"},
        {7, "000", "007"},
        {-7, "00", "-07"},
        {1999, "I", "MCMXCIX"},
        {4, "i", "iv"},
        {3999, "I", "MMMCMXCIX"},
        {4000, "I", "4000"},
        {0, "I", "0"},
        {-5, "I", "-5"},
        {INT64_MAX, "I", "9223372036854775807"},
        {28, "a", "ab"},
        {26, "A", "Z"},
        {0, "a", "0"},
        {5, "x", "5"},
        {1234567, "#,##0", "1,234,567"},
        {1234567, "0,000,000,0", "0,123,456,7"},
        {12, "#,##0", "12"},
        {1234567, "# ### ### ##0", "1 234 567"},
        {1234567, "#,##,##0", "12,34,567"},
        {5, "\xD9\xA0\xD9\xA0", "\xD9\xA0\xD9\xA5"},
        {1, "1;o", "1st"},
        {12, "1;o", "12th"},
        {23, "1;o", "23rd"},
        {INT64_MIN, "1", "-9223372036854775808"},
        {1, "#0#", "invalid"},
        {1, "0,,0", "invalid"},
        {1, ",0", "invalid"},
        {1, "", "invalid"},
        {1, "0;x", "invalid"},
    };
    for (const auto& c : cases) EXPECT_EQ(integer(c.value, c.picture), c.expected) << c.value << " " << c.picture;
}

}  // namespace
