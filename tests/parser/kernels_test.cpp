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

}  // namespace
