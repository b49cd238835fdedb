// The JSON text helpers: reading JSON strings, XML and JSON escaping, and
// the JSON type of a text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "xpath_functions/functions.h"

namespace {

struct read_case {
    const char* json;
    const char* expected;  // NULL: refused
    const char* rest;      // what follows the string
};

TEST(JsonText, ReadsStrings) {
    const read_case cases[] = {
        {"\"abc\",", "abc", ","},
        {"\"a\\\"b\"", "a\"b", ""},
        {"\"\\\\\\/\\b\\f\\n\\r\\t\"", "\\/\b\f\n\r\t", ""},
        {"\"\\u0041\\u00e9\\u20AC\"", "A\xC3\xA9\xE2\x82\xAC", ""},
        {"\"\\ud83d\\ude00\"]", "\xF0\x9F\x98\x80", "]"},
        {"\"\"", "", ""},
        {"\"unterminated", nullptr, nullptr},
        {"\"ends in backslash\\", nullptr, nullptr},
        {"\"\\ud83d alone\"", nullptr, nullptr},
        {"\"\\ude00\"", nullptr, nullptr},
        {"\"\\u12\"", nullptr, nullptr},
        {"\"\\x\"", nullptr, nullptr},
        {"\"\\u0000\"", nullptr, nullptr},
        {"\"raw\ttab\"", nullptr, nullptr},
        {"abc", nullptr, nullptr},
    };
    for (const read_case& c : cases) {
        quorvel_json_reader r{c.json, 1};
        char* out = nullptr;
        int got = json_string(&r, &out);
        if (!c.expected) {
            EXPECT_EQ(got, 0) << c.json;
            EXPECT_EQ(r.ok, 0) << c.json;
            EXPECT_EQ(out, nullptr) << c.json;
            continue;
        }
        ASSERT_EQ(got, 1) << c.json;
        EXPECT_STREQ(out, c.expected) << c.json;
        EXPECT_STREQ(r.cursor, c.rest) << c.json;
        std::free(out);
    }
}

TEST(JsonText, Escaping) {
    char* buffer = nullptr;
    size_t length = 0, capacity = 0;
    xml_esc(&buffer, &length, &capacity, "a<b & \"c\" > 'd'");
    EXPECT_STREQ(buffer, "a&lt;b &amp; &quot;c&quot; &gt; 'd'");
    std::free(buffer);

    buffer = nullptr;
    length = capacity = 0;
    json_out(&buffer, &length, &capacity, "t\tq\"b\\s/\x01\x1f\n\xC3\xA9");
    EXPECT_EQ(std::string(buffer, length), "t\\tq\\\"b\\\\s/\\u0001\\u001f\\n\xC3\xA9");
    std::free(buffer);
}

TEST(JsonText, TypeOfText) {
    const char* const cases[][2] = {
        {"1e3", "number"},  {" 1", "number"},   {"1 ", "string"},    {"", "string"},   {"nulls", "string"},
        {"null", "null"},   {"true", "boolean"}, {"false", "boolean"}, {"-0.5", "number"}, {"x", "string"},
    };
    for (const auto& c : cases) EXPECT_STREQ(jtype_of(c[0]), c[1]) << c[0];
    EXPECT_STREQ(jtype_of(nullptr), "string");
}

}  // namespace
