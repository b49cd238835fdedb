// The XPath tokenizer: token kinds, lengths and positions, and lexical errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xpath/xpath.h"

namespace {

struct scanned {
    std::vector<int> kinds;
    std::vector<std::string> texts;
    std::string lexer_error;
    std::vector<std::pair<int, int>> positions;
};

scanned scan(const std::string& text) {
    scanned out;
    quorvel_xpath_parser* p = xpath_parser_new(text.data(), text.size());
    EXPECT_NE(p, nullptr);
    if (!p) return out;
    for (size_t i = 0; i < p->token_count; i++) {
        out.kinds.push_back(p->tokens[i].kind);
        out.texts.emplace_back(p->tokens[i].start, p->tokens[i].length);
        out.positions.emplace_back(p->tokens[i].line, p->tokens[i].column);
    }
    out.lexer_error = p->lexer->error;
    EXPECT_EQ(p->pos, 0u);
    EXPECT_EQ(p->error[0], '\0');
    xpath_parser_free(p);
    return out;
}

TEST(XpathTokenizer, KindsOfEachForm) {
    struct row {
        const char* text;
        std::vector<int> kinds;  // the end token included
    } rows[] = {
        {"", {TOK_EOF}},
        {"child::a", {36, 14, 15, 0}},
        {"child :: a", {15, 14, 15, 0}},
        {"foo::a", {15, 14, 15, 0}},
        {"text()", {47, 6, 7, 0}},
        {"text ()", {15, 6, 7, 0}},
        {"and(", {29, 6, 0}},
        {"x:y", {16, 0}},
        {"x:*", {15, 27, 0}},
        {"x::y", {15, 14, 15, 0}},
        {"'it''s'", {17, 0}},
        {".5 5. 1e10 1E-3", {18, 18, 18, 18, 0}},
        {"1e", {18, 15, 0}},
        {"1.2.3", {18, 0}},
        {"a!=b", {15, 20, 15, 0}},
        {"a!b", {15, 52, 15, 0}},
        {"$x :=1", {50, 15, 51, 18, 0}},
        {"$x:=1", {50, 15, 51, 18, 0}},
        {"a-b - 5-3", {15, 26, 18, 26, 18, 0}},
        {"/ // @ . .. ( ) [ ] , : ? #", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0}},
        {"= != < <= > >= + - * | and or div mod $", {19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 50, 0}},
        {":= ! => || { } << >>", {51, 52, 53, 54, 55, 56, 57, 58, 0}},
        {"ancestor:: ancestor-or-self:: attribute:: descendant:: descendant-or-self:: following::",
         {33, 14, 34, 14, 35, 14, 37, 14, 38, 14, 39, 14, 0}},
        {"following-sibling:: namespace:: parent:: preceding:: preceding-sibling:: self::",
         {40, 14, 41, 14, 42, 14, 43, 14, 44, 14, 45, 14, 0}},
        {"comment() processing-instruction() node()", {46, 6, 7, 48, 6, 7, 49, 6, 7, 0}},
        {"div::x", {31, 14, 15, 0}},  // a length no axis name has: an operator word
        {"\xc3\xa9l\xc3\xa9ment", {15, 0}},
        {"for $x in y return z", {15, 50, 15, 15, 15, 15, 15, 0}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        scanned s = scan(r.text);
        EXPECT_EQ(s.kinds, r.kinds);
        EXPECT_EQ(s.lexer_error, "");
    }
}

TEST(XpathTokenizer, TextsAndPositions) {
    scanned s = scan("x:* 'it''s'");
    EXPECT_EQ(s.texts[0], "x");
    EXPECT_EQ(s.texts[2], "'it''s'");
    EXPECT_EQ(s.texts[2].size(), 7u);
    EXPECT_EQ(s.positions[1], std::make_pair(1, 3));

    s = scan("'a\nb' c\td");
    EXPECT_EQ(s.positions[0], std::make_pair(1, 1));
    EXPECT_EQ(s.positions[1], std::make_pair(2, 4));
    EXPECT_EQ(s.positions[2], std::make_pair(2, 6));  // a tab counts as one column
    s = scan("  \n  a");
    EXPECT_EQ(s.positions[0], std::make_pair(2, 3));
    EXPECT_EQ(s.positions[1], std::make_pair(2, 4));

    // NUL bytes inside the given length are not an end.
    scanned nul = scan(std::string("a\0b", 3));
    EXPECT_EQ(nul.kinds, (std::vector<int>{15, 0}));
    EXPECT_EQ(nul.lexer_error, "Invalid character '\\x00' at line 1, column 2");
}

TEST(XpathTokenizer, LexicalErrorsEndTheStream) {
    struct row {
        const char* text;
        std::vector<int> kinds;
        const char* lexer_error;
        const char* thread_error;
    } rows[] = {
        {"1 % 2", {18, 0}, "Invalid character '%' at line 1, column 3", "Invalid character '%' in XPath expression"},
        {"a ^b", {15, 0}, "Invalid character '^' at line 1, column 3", "Invalid character '^' in XPath expression"},
        {"x\n  ;", {15, 0}, "Invalid character ';' at line 2, column 3", "Invalid character ';' in XPath expression"},
        {"'abc", {0}, "Unterminated string literal at line 1", "Unterminated string literal"},
        {"a\n\"b'", {15, 0}, "Unterminated string literal at line 2", "Unterminated string literal"},
        {"'a\x01" "b'", {0}, "Invalid character in string literal at line 1, column 3",
         "Invalid character in string literal"},
        {"concat('x', \"\x1f\")", {15, 6, 17, 10, 0}, "Invalid character in string literal at line 1, column 14",
         "Invalid character in string literal"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        scanned s = scan(r.text);
        EXPECT_EQ(s.kinds, r.kinds);
        EXPECT_EQ(s.lexer_error, r.lexer_error);
        ASSERT_NE(quorvel_last_error(), nullptr);
        EXPECT_STREQ(quorvel_last_error(), r.thread_error);
    }
    // Tabs, line feeds and carriage returns are allowed inside literals.
    EXPECT_EQ(scan("'a\tb\r\nc'").lexer_error, "");
}

TEST(XpathTokenizer, PrintedNamesAndExpect) {
    EXPECT_STREQ(xpath_token_kind_name(TOK_EOF), "EOF");
    EXPECT_STREQ(xpath_token_kind_name(TOK_COMMA), "COMMA");
    EXPECT_STREQ(xpath_token_kind_name(TOK_COLON), "UNKNOWN");
    EXPECT_STREQ(xpath_token_kind_name(TOK_DOUBLE_COLON), "DOUBLE_COLON");
    EXPECT_STREQ(xpath_token_kind_name(TOK_NCNAME), "NCNAME");
    EXPECT_STREQ(xpath_token_kind_name(TOK_MOD), "MOD");
    EXPECT_STREQ(xpath_token_kind_name(45), "SELF");
    EXPECT_STREQ(xpath_token_kind_name(TOK_DOLLAR), "DOLLAR");
    EXPECT_STREQ(xpath_token_kind_name(TOK_RBRACE), "UNKNOWN");
    EXPECT_STREQ(xpath_token_kind_name(59), "UNKNOWN");

    const char text[] = "a }";
    quorvel_xpath_parser* p = xpath_parser_new(text, sizeof text - 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(consume_token(p, TOK_NCNAME, "Expected name"), 1);
    EXPECT_EQ(consume_token(p, TOK_RPAREN, "Expected ')'"), 0);
    EXPECT_STREQ(p->error, "Expected ')' at line 1, column 3 (got UNKNOWN)");
    EXPECT_STREQ(quorvel_last_error(), "Expected ')' (got UNKNOWN)");
    EXPECT_EQ(p->pos, 1u);
    p->pos = p->token_count;
    p->error[0] = '\0';
    EXPECT_EQ(consume_token(p, TOK_RPAREN, "Expected ')'"), 0);
    EXPECT_STREQ(p->error, "Expected ')' at EOF");
    char* copy = token_to_string(&p->tokens[0]);
    EXPECT_STREQ(copy, "a");
    std::free(copy);
    EXPECT_EQ(token_to_string(&p->tokens[p->token_count - 1]), nullptr);
    xpath_parser_free(p);
    EXPECT_EQ(consume_token(nullptr, TOK_EOF, "x"), 0);
    EXPECT_EQ(xpath_parser_new(nullptr, 0), nullptr);
}

}  // namespace
