// The regular-expression matcher on its own: syntax accepted and refused,
// what a search finds (groups included), priorities of greedy and reluctant
// quantifiers, flags, and the bounds that keep hostile patterns cheap.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "xpath_functions/functions.h"

namespace {

// "error N" for a pattern that does not compile, "none" for no match, else
// the match and each group ("-" when a group took no part), joined by "|".
std::string first_match(const std::string& pattern, const char* flags, const std::string& input, size_t start = 0) {
    xre_status status;
    xre_program* prog = xre_compile(pattern.data(), pattern.size(), flags, &status);
    if (!prog) return "error " + std::to_string(status);
    xre_matcher* m = xre_matcher_new(prog);
    std::vector<int64_t> groups(2 * (xre_group_count(prog) + 1));
    int r = xre_search(m, input.data(), input.size(), start, groups.data(), &status);
    std::string out;
    if (r < 0) {
        out = "failed " + std::to_string(status);
    } else if (r == 0) {
        out = "none";
    } else {
        for (size_t g = 0; g < groups.size(); g += 2) {
            if (g) out += "|";
            if (groups[g] < 0)
                out += "-";
            else
                out += input.substr(groups[g], groups[g + 1] - groups[g]);
        }
    }
    xre_matcher_free(m);
    xre_free(prog);
    return out;
}

struct search_case {
    const char* pattern;
    const char* flags;
    const char* input;
    const char* expected;
};

TEST(XpathRegex, SearchesFindWhatABacktrackingMatcherFindsFirst) {
    const search_case cases[] = {
        {"b", "", "abc", "b"},
        {"B", "i", "abc", "b"},
        {"[A-Z]+", "i", "xyZ1", "xyZ"},
        {"(b)(c)", "", "abcd", "bc|b|c"},
        {"(?:b)(c)", "", "abcd", "bc|c"},
        {"X.*?X", "", "aXbXcXd", "XbX"},
        {"X.*X", "", "aXbXcXd", "XbXcX"},
        {"a*?b", "", "aab", "aab"},
        {"a+?", "", "aaa", "a"},
        {"a{2,3}?", "", "aaaa", "aa"},
        {"a{2}", "", "aaaa", "aa"},
        {"a{2,}", "", "aaaa", "aaaa"},
        {"(a|ab)(c|bcd)", "", "abcd", "abcd|a|bcd"},
        {"(a*)*", "", "b", "|-"},
        {"(a*)+", "", "b", "|"},
        {"", "", "abc", ""},
        {"a|", "", "b", ""},
        {"^b", "", "ab", "none"},
        {"^b", "m", "a\nb", "b"},
        {"a$", "", "a\nb", "none"},
        {"a$", "m", "a\nb", "a"},
        {"a.c", "", "a\nc", "none"},
        {"a.c", "s", "a\nc", "a\nc"},
        {"a b", "x", "ab", "ab"},
        {"[a b]+", "x", "a b", "a b"},
        {"a.b*", "q", "xa.b*b", "a.b*"}, {"a.b*", "q", "xaxbb", "none"},
        {"A.B", "qi", "a.b", "a.b"},
        {"\\d+", "", "ab123c", "123"},
        {"\\w+", "", "--héllo--", "héllo"},
        {"\\s+", "", "a \t\nb", " \t\n"},
        {"[^a-c]+", "", "abcdef", "def"},
        {"[a-z-[aeiou]]+", "", "aebcdo", "bcd"},
        {"[\\-a]+", "", "x-a-y", "-a-"},
        {"\\p{Lu}+", "", "aBÉc", "BÉ"},
        {"\\P{L}+", "", "ab12c", "12"},
        {"[\\p{N}x]+", "", "ax٣2y", "x٣2"},
        {"\\p{IsBasicLatin}+", "", "ab\u0100", "ab"},
        {"\\P{IsBasicLatin}", "", "ab\u0100", "\u0100"},
        {"\\p{IsNoSuchBlock}", "", "a", "error 2"},
        {"\\p{Xx}", "", "a", "error 2"},
        {"\\d+", "", "a٣٤b", "٣٤"},
        {"σ+", "i", "ΣσΣ", "ΣσΣ"},
        {"k", "i", "\u212A", "\u212A"},
        {"[a-z]+", "i", "ÀxYz", "xYz"},
        {"é.", "", "aéèb", "éè"},
        {"(a)\\1", "", "xaab", "aa|a"},
        {"(a)(b)?\\2c", "", "ac", "ac|a|-"},
        {"([a-c])x\\1", "i", "bxB", "bxB|b"},
        {"\\i\\c*", "", " _x1-y ", "_x1-y"},
    };
    for (const search_case& c : cases)
        EXPECT_EQ(first_match(c.pattern, c.flags, c.input), c.expected) << c.pattern << " flags " << c.flags;
}

TEST(XpathRegex, ResumedSearchesSeeTheWholeInput) {
    // The caret belongs to the start of the input, not to the resumed position.
    EXPECT_EQ(first_match("^a", "", "aa", 1), "none");
    EXPECT_EQ(first_match("a", "", "aa", 1), "a");
    EXPECT_EQ(first_match("\\ba", "", "aa", 1), "error 2");
}

TEST(XpathRegex, MalformedPatternsAndFlagsAreRefused) {
    const char* bad[] = {"*a", "a|*b", "a**", "[ab", "a{2", "a{3,2}", "(a", "a)", "[]", "[^]",
                         "\\", "\\x", "\\0", "(?=a)", "a{,2}", "}", "]", "{", "[a-\\d]", "[z-a]",
                         "\\1(a)", "(a\\1)", "[a[b]]"};
    for (const char* p : bad) EXPECT_EQ(first_match(p, "", "a"), "error 2") << p;
    EXPECT_EQ(first_match("a", "k", "a"), "error 1");
    EXPECT_EQ(first_match("a", "smixq", "a"), "a");
}

TEST(XpathRegex, OversizedProgramsAreRefusedBeforeTheyAreBuilt) {
    EXPECT_EQ(first_match("(a{1000}){1000}", "", "a"), "error 3");
    EXPECT_EQ(first_match("a{99999999999}", "", "a"), "error 3");
    EXPECT_EQ(first_match("((a{100}){100}){100}", "", "a"), "error 3");
}

TEST(XpathRegex, BackReferencesRunUnderABudget) {
    // Nested unbounded loops over a back-reference: exponential for plain
    // backtracking, refused once the budget is spent.
    std::string input(40, 'a');
    input += "b";
    EXPECT_EQ(first_match("((a*)*)*\\1c", "", input), "failed 5");
}

TEST(XpathRegex, LongInputsStayLinear) {
    // A reluctant quantifier that never finds its end on a long input, and
    // a classic exponential pattern for backtracking matchers.
    std::string as(200000, 'a');
    EXPECT_EQ(first_match("a*?b", "", as), "none");
    std::string aab(30, 'a');
    EXPECT_EQ(first_match("^(a+)+$", "", aab + "b"), "none");
    EXPECT_EQ(first_match("(x+x+)+y", "", std::string(5000, 'x')), "none");
}

TEST(XpathRegex, EmptyMatchesAreReported) {
    auto matches_empty = [](const char* pattern) {
        xre_status status;
        xre_program* prog = xre_compile(pattern, std::strlen(pattern), "", &status);
        if (!prog) return -2;
        xre_matcher* m = xre_matcher_new(prog);
        int r = xre_matches_empty(m, &status);
        xre_matcher_free(m);
        xre_free(prog);
        return r;
    };
    EXPECT_EQ(matches_empty("a*"), 1);
    EXPECT_EQ(matches_empty("^$"), 1);
    EXPECT_EQ(matches_empty("a|"), 1);
    EXPECT_EQ(matches_empty("a"), 0);
    EXPECT_EQ(matches_empty("a+?"), 0);
}

}  // namespace
