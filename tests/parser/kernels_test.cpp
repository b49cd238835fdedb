// Byte-scan kernels: the installed (vectorised) kernels keep the scalar
// contracts on every length and alignment, including the tails.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "parser/parser.h"

namespace {

TEST(ScanKernels, ScalarContracts) {
    EXPECT_EQ(find3_scalar("--->", 4, '-', '-', '>'), 1);
    EXPECT_EQ(find3_scalar("a-->", 4, '-', '-', '>'), 1);
    EXPECT_EQ(find3_scalar("->", 2, '-', '-', '>'), -1);
    EXPECT_EQ(find3_scalar("-->", 0, '-', '-', '>'), -1);
    EXPECT_EQ(count_scalar("abc", 3, 'x'), 0u);
    EXPECT_EQ(count_scalar("", 0, 'x'), 0u);
    std::string sixteen(16, 'a'), seventeen(17, 'a');
    sixteen.back() = 'x';
    seventeen.back() = 'x';
    EXPECT_TRUE(contains_scalar(sixteen.data(), 16, 'x'));
    EXPECT_TRUE(contains_scalar(seventeen.data(), 17, 'x'));
    EXPECT_FALSE(contains_scalar(seventeen.data(), 16, 'x'));
    EXPECT_FALSE(contains_scalar("x", 0, 'x'));
}

TEST(ScanKernels, InstalledKernelsMatchScalarOnes) {
    ASSERT_NE(g_count_fn, nullptr);
    ASSERT_NE(g_find3_fn, nullptr);
    ASSERT_NE(g_contains_fn, nullptr);
    std::mt19937 rng(12345);
    const char alphabet[] = "-->]]<'\"ab";
    for (int round = 0; round < 2000; round++) {
        size_t length = rng() % 300;
        size_t offset = rng() % 32;
        std::string buffer(offset + length, 'z');
        for (size_t i = 0; i < buffer.size(); i++) buffer[i] = alphabet[rng() % (sizeof alphabet - 1)];
        const char* p = buffer.data() + offset;
        EXPECT_EQ(g_count_fn(p, length, '<'), count_scalar(p, length, '<'));
        EXPECT_EQ(g_find3_fn(p, length, '-', '-', '>'), find3_scalar(p, length, '-', '-', '>'));
        EXPECT_EQ(g_find3_fn(p, length, ']', ']', '>'), find3_scalar(p, length, ']', ']', '>'));
        EXPECT_EQ(g_contains_fn(p, length, 'a'), contains_scalar(p, length, 'a'));
        size_t lt = 0, quotes = 0;
        quorvel_count_markup(p, length, &lt, &quotes);
        EXPECT_EQ(lt, count_scalar(p, length, '<'));
        EXPECT_EQ(quotes, count_scalar(p, length, '"') + count_scalar(p, length, '\''));
    }
    // Counters fold before their byte lanes overflow.
    std::string many(100000, '<');
    EXPECT_EQ(g_count_fn(many.data(), many.size(), '<'), many.size());
    size_t lt = 0, quotes = 0;
    quorvel_count_markup(many.data(), many.size(), &lt, &quotes);
    EXPECT_EQ(lt, many.size());
    EXPECT_EQ(quotes, 0u);
}

}  // namespace

namespace {

TEST(ByteClasses, TableFollowsItsBits) {
    struct {
        unsigned char byte;
        uint8_t bits;
    } rows[] = {{'a', kCharNameStart | kCharName}, {'Z', kCharNameStart | kCharName}, {':', kCharNameStart | kCharName},
                {'_', kCharNameStart | kCharName}, {'-', kCharName},  {'.', kCharName},  {'7', kCharName},
                {0x80, kCharHigh},  {0xFF, kCharHigh}, {' ', kCharSpace}, {'\t', kCharSpace}, {'\r', kCharSpace},
                {'\n', kCharSpace}, {'>', kCharGt}, {'/', kCharSlash}, {'=', kCharEquals}, {'"', kCharQuote},
                {'\'', kCharQuote}, {'<', 0}, {'&', 0}, {0, 0}, {0x0B, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.byte));
        EXPECT_EQ(quorvel_chartype_table[r.byte], r.bits);
    }
    EXPECT_TRUE(dp_is_name_start(0xC3));
    EXPECT_FALSE(dp_is_name_start('-'));
    EXPECT_TRUE(dp_is_name_char('-'));
}

// A decoder written from the code-point ranges, byte by byte: the first
// offset that is a NUL or starts no well-formed sequence.
size_t reference_utf8_check(const std::string& t) {
    size_t i = 0;
    while (i < t.size()) {
        auto c = static_cast<unsigned char>(t[i]);
        if (c == 0) return i;
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (n == 0 || c > 0xF7 || i + n > t.size()) return i;
        uint32_t cp = c & (0x7F >> n);
        for (size_t k = 1; k < n; k++) {
            auto b = static_cast<unsigned char>(t[i + k]);
            if ((b & 0xC0) != 0x80) return i;
            cp = cp << 6 | (b & 0x3F);
        }
        uint32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        i += n;
    }
    return t.size();
}

TEST(ScanKernels, Utf8CheckFindsTheFirstBadByte) {
    std::mt19937 rng(7);
    // Mostly ASCII with characters of every length and now and then a bad
    // byte, at every offset against the 16-byte blocks and near the end.
    const std::string pieces[] = {"a", "bc", "<x>", std::string(20, 'q'), "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                  "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xEF\xBF\xBF"};
    const std::string bad[] = {std::string(1, '\0'), "\xC0\x80", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                               "\xF8", "\x80", "\xC3", "\xE2\x82", "\xF0\x9F\x98"};
    for (int round = 0; round < 4000; round++) {
        std::string t;
        size_t target = rng() % 80;
        while (t.size() < target) t += pieces[rng() % 10];
        if (round % 3) t.insert(rng() % (t.size() + 1), bad[rng() % 10]);
        SCOPED_TRACE(testing::PrintToString(t));
        ASSERT_EQ(quorvel_utf8_check(t.data(), t.size()), reference_utf8_check(t));
    }
}

}  // namespace
