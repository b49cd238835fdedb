// The pattern-language matcher: syntax accepted and refused, the language a
// pattern denotes, and patterns that would make a backtracking matcher
// explode or a recursive parser overflow its stack.
#include <gtest/gtest.h>
#include <pthread.h>
#include <regex.h>

#include <string>
#include <vector>

#include "xsd/xsd.h"

namespace {

struct match_case {
    const char* pattern;
    std::string value;
    int expected;
};

TEST(RegexMatch, LanguageOfThePattern) {
    const std::vector<match_case> cases = {
        // The whole value is matched; no anchors.
        {"abc", "abc", 1},
        {"abc", "abcd", 0},
        {"abc", "xabc", 0},
        {"^abc$", "^abc$", 1},
        {"^abc$", "abc", 0},
        // Counted repeats.
        {"a{2,}", "aa", 1},
        {"a{2,}", "aaaa", 1},
        {"a{2,}", "a", 0},
        {"a{1}", "a", 1},
        {"a{0}", "", 1},
        {"a{0}", "a", 0},
        {"a{2,3}", "aaa", 1},
        {"a{2,3}", "aaaa", 0},
        {"a{2,-1}", "aaaaaa", 1},
        // Brace forms that are not quantifiers are literals.
        {"a{,3}", "a{,3}", 1},
        {"a{2", "a{2", 1},
        {"x{2}{3}", "xx{3}", 1},
        {"a{3,2}", "a{3,2}", 1},
        {"a{-1}", "a{-1}", 1},
        // The pattern's language, not the first way a repeat succeeds.
        {"(a|ab)*c", "abc", 1},
        {"(ab|a)*c", "abc", 1},
        {"(a|ab)c", "abc", 1},
        {"(a?){2}", "aa", 1},
        {"(a?){2}", "a", 1},
        {"(a?){2}", "", 1},
        {"(a*)*b", "aaab", 1},
        {"(a*)*b", "aaa", 0},
        {"a*a*a*", "aaaa", 1},
        {"(a|b)*abb", "babaabb", 1},
        {"(a|b)*abb", "babaab", 0},
        // Byte atoms.
        {".", "\xC3\xA9", 0},
        {"..", "\xC3\xA9", 1},
        {".", "\n", 1},
        {"\\s", "\x0B", 1},
        {"\\s", "\x0C", 1},
        {"\\w", "\xC3", 0},
        {"\\i", "\xC3", 1},
        {"\\c", "\xFF", 1},
        {"\\d+", "0123", 1},
        {"\\d+", "12a", 0},
        {"\\D", "a", 1},
        {"\\D", "5", 0},
        {"\\t\\n\\r", "\t\n\r", 1},
        {"a\\.b", "a.b", 1},
        {"a\\.b", "axb", 0},
        {"a\\", "a\\", 1},
        // Classes.
        {"[z-a]", "a", 0},
        {"[z-a]", "z", 0},
        {"[]a]", "]", 1},
        {"[]a]", "a", 1},
        {"[a-]", "-", 1},
        {"[a-]", "a", 1},
        {"[a-z-[aeiou]]", "b", 1},
        {"[a-z-[aeiou]]", "e", 0},
        {"[^a-z-[aeiou]]", "e", 1},
        {"[^a-z-[aeiou]]", "b", 0},
        {"[^a-z-[aeiou]]", "1", 1},
        {"[a-z-[^aeiou]]", "e", 1},
        {"[a-z-[^aeiou]]", "b", 0},
        {"[\\D]", "x", 1},
        {"[\\D]", "4", 0},
        {"[0\\D]", "0", 1},
        {"[0\\D]", "7", 0},
        {"[\\p{Cc}]", "\x01", 1},
        {"[\\p{Cc}]", "a", 0},
        {"[\\p{IsBasicLatin}]+", "abc", 1},
        {"[\\p{IsLatin-1Supplement}]", "\xC3", 1},
        {"[\\x]", "x", 1},
        {"[\\p]", "p", 1},
        {"[^a]", "b", 1},
        {"[^a]", "a", 0},
        // Alternation.
        {"a|b|c", "c", 1},
        {"a|b|c", "d", 0},
        {"(a|b)(c|d)", "bd", 1},
        // The empty value against patterns that allow it.
        {"a*", "", 1},
        {"a+", "", 0},
    };
    for (const auto& c : cases) {
        rre_program* prog = rre_compile(c.pattern);
        ASSERT_NE(prog, nullptr) << c.pattern;
        EXPECT_EQ(rre_match(prog, c.value.data(), c.value.size()), c.expected)
            << "pattern " << c.pattern << " value '" << c.value << "'";
        EXPECT_EQ(rng_regex_matches(c.pattern, c.value.c_str()), c.expected) << c.pattern;
        rre_free(prog);
    }
}

TEST(RegexMatch, RefusedPatterns) {
    const char* refused[] = {
        "",          // empty pattern
        "|a",        // empty branch
        "a|",        //
        "a||b",      //
        "()",        //
        "a**",       // second quantifier
        "a+?",       //
        "*a",        // nothing to repeat
        "a)",        // stray close
        "(a",        // unterminated group
        "[]",        // unterminated class
        "[abc",      //
        "[a-z-[aeiou]x]",  // subtraction not last
        "\\p{Cc}",   // category outside a class
        "[\\p{Lu}]", // unknown category
        "\\x",       // unknown escape
        "\\1",       //
        "a]",        //
        "a{4294967296}",        // bound past 32 bits
        "a{1,99999999999}",     //
        "(a{100000}){100000}",  // program over the size cap
        "(((((a{1000}){1000}){1000})))",
    };
    for (const char* p : refused) {
        EXPECT_EQ(rre_compile(p), nullptr) << p;
        EXPECT_EQ(rre_accepts(p), 0) << p;
        EXPECT_EQ(rng_regex_matches(p, ""), 0) << p;
        EXPECT_EQ(rng_regex_matches(p, "a"), 0) << p;
    }
}

TEST(RegexMatch, GroupDepthLimit) {
    std::string ok = std::string(32, '(') + "a" + std::string(32, ')');
    std::string deep = std::string(33, '(') + "a" + std::string(33, ')');
    EXPECT_EQ(rre_accepts(ok.c_str()), 1);
    EXPECT_EQ(rng_regex_matches(ok.c_str(), "a"), 1);
    EXPECT_EQ(rre_accepts(deep.c_str()), 0);
}

TEST(RegexMatch, NullValueAndNulBytes) {
    EXPECT_EQ(rng_regex_matches("a*", nullptr), 0);
    rre_program* prog = rre_compile(".*");
    ASSERT_NE(prog, nullptr);
    EXPECT_EQ(rre_match(prog, "a\0b", 3), 0);
    EXPECT_EQ(rre_match(prog, "", 0), 1);
    rre_free(prog);
}

// Shapes that are exponential for a backtracking matcher and deep for a
// recursive one. They finish at once here; the assertions check answers
// only (no timing), and a hang shows as the test's timeout.
TEST(RegexMatch, PathologicalShapesStayLinear) {
    std::string as(30, 'a');
    EXPECT_EQ(rng_regex_matches("(a*)*b", as.c_str()), 0);
    EXPECT_EQ(rng_regex_matches("(a*)*b", (as + "b").c_str()), 1);

    std::string alt;
    for (int i = 0; i < 40; i++) alt += "(a|a)";
    alt += "b";
    EXPECT_EQ(rng_regex_matches(alt.c_str(), std::string(40, 'a').c_str()), 0);
    EXPECT_EQ(rng_regex_matches(alt.c_str(), (std::string(40, 'a') + "b").c_str()), 1);

    std::string nested = "((a+)+)+c";
    EXPECT_EQ(rng_regex_matches(nested.c_str(), std::string(5000, 'a').c_str()), 0);

    // A long value against a counted repeat.
    rre_program* prog = rre_compile("[a-z]{1,200}x");
    ASSERT_NE(prog, nullptr);
    std::string v(200, 'q');
    EXPECT_EQ(rre_match(prog, v.data(), v.size()), 0);
    v[199] = 'x';
    EXPECT_EQ(rre_match(prog, v.data(), v.size()), 1);
    rre_free(prog);
}

struct literal_job {
    std::string pattern;
    std::string value;
    int result = -1;
    int refused_long_alternation = -1;
};

void* run_literal(void* arg) {
    auto* job = static_cast<literal_job*>(arg);
    job->result = rng_regex_matches(job->pattern.c_str(), job->value.c_str());
    // A 50 KB enumeration written as one alternation.
    std::string alt;
    for (int i = 0; i < 10000; i++) alt += (i ? "|v" : "v") + std::to_string(i);
    job->refused_long_alternation = rre_accepts(alt.c_str()) ? rng_regex_matches(alt.c_str(), "v9999") : -2;
    return nullptr;
}

TEST(RegexMatch, LongPatternsOnASmallStack) {
    literal_job job;
    job.pattern.assign(100 * 1024, 'x');
    job.value = job.pattern;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, &attr, run_literal, &job), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(job.result, 1);
    EXPECT_EQ(job.refused_long_alternation, 1);
}

}  // namespace

namespace {

// Random patterns over a small alphabet, built from the constructs the
// pattern language shares with POSIX extended expressions, answer like the
// C library's matcher anchored at both ends (a differential oracle, in the
// tests only).
struct random_patterns {
    uint64_t state = 0x9E3779B97F4A7C15ull;
    unsigned next(unsigned n) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        return static_cast<unsigned>(state % n);
    }
    std::string atom(int depth) {
        switch (next(depth > 2 ? 3 : 5)) {
            case 0: return "a";
            case 1: return "b";
            case 2: return "[ab]";
            case 3: return "(" + branch(depth + 1) + ")";
            default: return "(" + branch(depth + 1) + "|" + branch(depth + 1) + ")";
        }
    }
    std::string piece(int depth) {
        std::string a = atom(depth);
        switch (next(8)) {
            case 0: return a + "*";
            case 1: return a + "+";
            case 2: return a + "?";
            case 3: {
                unsigned lo = next(3), hi = lo + next(3);
                return a + "{" + std::to_string(lo) + "," + std::to_string(hi) + "}";
            }
            case 4: return a + "{" + std::to_string(next(3)) + "}";
            default: return a;
        }
    }
    std::string branch(int depth) {
        std::string s;
        for (unsigned i = 0, n = 1 + next(3); i < n; i++) s += piece(depth);
        return s;
    }
    std::string value() {
        std::string v;
        for (unsigned i = 0, n = next(7); i < n; i++) v += "ab"[next(2)];
        return v;
    }
};

}  // namespace

TEST(RegexMatch, AgreesWithPosixOnSharedSyntax) {
    random_patterns gen;
    int compared = 0;
    for (int i = 0; i < 400; i++) {
        std::string p = gen.branch(0);
        if (gen.next(4) == 0) p += "|" + gen.branch(0);
        regex_t posix;
        if (regcomp(&posix, ("^(" + p + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) continue;
        rre_program* prog = rre_compile(p.c_str());
        ASSERT_NE(prog, nullptr) << p;
        for (int k = 0; k < 12; k++) {
            std::string v = gen.value();
            int want = regexec(&posix, v.c_str(), 0, nullptr, 0) == 0;
            EXPECT_EQ(rre_match(prog, v.data(), v.size()), want) << "pattern " << p << " value '" << v << "'";
            compared++;
        }
        rre_free(prog);
        regfree(&posix);
    }
    EXPECT_GT(compared, 1000);
}
