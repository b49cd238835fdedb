// The XPath tokenizer: cuts a whole expression into tokens (views into the
// caller's text, with line and column) before parsing starts.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "xpath/xpath.h"

const char* const xpath_token_type_names[49] = {
    "EOF", "SLASH", "DOUBLE_SLASH", "AT", "DOT", "DOUBLE_DOT", "LPAREN", "RPAREN", "LBRACKET", "RBRACKET", "COMMA",
    "DOUBLE_COLON", "NCNAME", "QNAME", "STRING", "NUMBER", "EQUALS", "NOT_EQUALS", "LT", "LE", "GT", "GE", "PLUS",
    "MINUS", "STAR", "PIPE", "AND", "OR", "DIV", "MOD", "ANCESTOR", "ANCESTOR_OR_SELF", "ATTRIBUTE", "CHILD",
    "DESCENDANT", "DESCENDANT_OR_SELF", "FOLLOWING", "FOLLOWING_SIBLING", "NAMESPACE", "PARENT", "PRECEDING",
    "PRECEDING_SIBLING", "SELF", "COMMENT", "TEXT", "PROCESSING_INSTRUCTION", "NODE", "DOLLAR",
    "VARIABLE_REFERENCE"};

const char* xpath_token_kind_name(int32_t kind) {
    if (kind >= 0 && kind <= 10) return xpath_token_type_names[kind];
    if (kind >= 14 && kind <= 50) return xpath_token_type_names[kind - 3];
    return "UNKNOWN";
}

namespace {

constexpr const char* kAxisNames[13] = {
    "ancestor", "ancestor-or-self", "attribute", "child", "descendant", "descendant-or-self", "following",
    "following-sibling", "namespace", "parent", "preceding", "preceding-sibling", "self"};

inline bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_alpha(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool name_start(unsigned char c) { return is_alpha(c) || c == '_' || c >= 0x80; }
inline bool name_char(unsigned char c) {
    return name_start(c) || is_digit(c) || c == '-' || c == '.';
}

bool word_is(const char* s, size_t n, const char* word) { return std::strlen(word) == n && !std::memcmp(s, word, n); }

struct scanner {
    quorvel_xpath_parser* parser;
    quorvel_xpath_lexer* lx;
    size_t capacity;

    bool append(int32_t kind, const char* start, size_t length, int32_t line, int32_t column) {
        if (parser->token_count == capacity) {
            if (capacity > SIZE_MAX / 2 / sizeof(quorvel_xpath_token)) return false;
            auto* grown = static_cast<quorvel_xpath_token*>(
                std::realloc(parser->tokens, capacity * 2 * sizeof(quorvel_xpath_token)));
            if (!grown) return false;
            parser->tokens = grown;
            capacity *= 2;
        }
        parser->tokens[parser->token_count++] = {kind, start, length, line, column};
        return true;
    }

    unsigned char at(const char* p) const { return p < lx->end ? static_cast<unsigned char>(*p) : 0; }
    bool has(const char* p) const { return p < lx->end; }

    // Kind of a name [s, s+n) whose following byte is at `after`.
    int32_t name_kind(const char* s, size_t n, const char* after, bool may_be_axis) const {
        if (may_be_axis && at(after) == ':' && has(after + 1) && at(after + 1) == ':') {
            for (int i = 0; i < 13; i++)
                if (word_is(s, n, kAxisNames[i])) return TOK_AXIS_FIRST + i;
            if (n == 4 || n == 5 || n == 6 || n == 8 || n == 9 || n == 10 || n == 16 || n == 17 || n == 18)
                return TOK_NCNAME;
        }
        if (has(after) && at(after) == '(') {
            if (word_is(s, n, "comment")) return TOK_COMMENT;
            if (word_is(s, n, "text")) return TOK_TEXT;
            if (word_is(s, n, "processing-instruction")) return TOK_PI;
            if (word_is(s, n, "node")) return TOK_NODE;
            if (n == 4 || n == 7 || n == 22) return TOK_NCNAME;
        }
        if (word_is(s, n, "and")) return TOK_AND;
        if (word_is(s, n, "or")) return TOK_OR;
        if (word_is(s, n, "div")) return TOK_DIV;
        if (word_is(s, n, "mod")) return TOK_MOD;
        return TOK_NCNAME;
    }
};


// The usual prefix of a namespace the engine binds by itself.
constexpr const char* kPreboundNames[][2] = {
    {"http://www.w3.org/2005/xpath-functions", "fn"},
    {"http://www.w3.org/2001/XMLSchema", "xs"},
    {"http://www.w3.org/2005/xpath-functions/math", "math"},
    {"http://www.w3.org/2005/xpath-functions/map", "map"},
    {"http://www.w3.org/2005/xpath-functions/array", "array"},
    {"http://www.w3.org/2005/xqt-errors", "err"},
};

// Moves the line and column past one byte.
inline void step_over(quorvel_xpath_lexer* lx, char c) {
    if (c == '\n') {
        lx->line++;
        lx->column = 1;
    } else {
        lx->column++;
    }
}

// Skips a comment "(: ... :)" starting at p, comments nesting; the end of the
// comment, or NULL when it is not closed. Lines and columns follow.
const char* skip_comment(quorvel_xpath_lexer* lx, const char* p) {
    int depth = 0;
    while (p < lx->end) {
        if (*p == '(' && p + 1 < lx->end && p[1] == ':') {
            depth++;
            p += 2;
            lx->column += 2;
        } else if (*p == ':' && p + 1 < lx->end && p[1] == ')') {
            p += 2;
            lx->column += 2;
            if (--depth == 0) return p;
        } else {
            step_over(lx, *p++);
        }
    }
    return nullptr;
}

}  // namespace

void xpath_parser_free(quorvel_xpath_parser* parser) {
    if (!parser) return;
    std::free(parser->names);
    std::free(parser->tokens);
    std::free(parser->lexer);
    std::free(parser);
}

quorvel_xpath_parser* xpath_parser_new(const char* text, size_t length) {
    if (!text) return nullptr;
    auto* parser = static_cast<quorvel_xpath_parser*>(std::calloc(1, sizeof(quorvel_xpath_parser)));
    if (!parser) return nullptr;
    parser->lexer = static_cast<quorvel_xpath_lexer*>(std::calloc(1, sizeof(quorvel_xpath_lexer)));
    parser->tokens = static_cast<quorvel_xpath_token*>(std::malloc(16 * sizeof(quorvel_xpath_token)));
    if (!parser->lexer || !parser->tokens) {
        xpath_parser_free(parser);
        return nullptr;
    }
    quorvel_xpath_lexer* lx = parser->lexer;
    lx->text = text;
    lx->cursor = text;
    lx->end = text + length;
    lx->line = 1;
    lx->column = 1;
    scanner sc{parser, lx, 16};

    for (;;) {
        const char* p = lx->cursor;
        bool unclosed_comment = false;
        for (;;) {
            while (p < lx->end && is_space(static_cast<unsigned char>(*p))) step_over(lx, *p++);
            if (p + 1 >= lx->end || p[0] != '(' || p[1] != ':') break;
            const char* after = skip_comment(lx, p);
            if (!after) {
                unclosed_comment = true;
                break;
            }
            p = after;
        }
        lx->cursor = p;
        int32_t line = lx->line, column = lx->column;
        if (unclosed_comment) {
            quorvel_set_last_error("Unterminated comment");
            std::snprintf(lx->error, sizeof lx->error, "Unterminated comment starting before line %d", line);
            if (!sc.append(TOK_EOF, p, 0, line, column)) break;
            return parser;
        }
        if (p >= lx->end) {
            if (!sc.append(TOK_EOF, p, 0, line, column)) break;
            return parser;
        }
        unsigned char c = static_cast<unsigned char>(*p);
        unsigned char c1 = sc.at(p + 1);
        int32_t kind = -1;
        size_t n = 1;
        switch (c) {
        case '/': kind = c1 == '/' ? (n = 2, TOK_DOUBLE_SLASH) : TOK_SLASH; break;
        case ':': kind = c1 == ':' ? (n = 2, TOK_DOUBLE_COLON) : c1 == '=' ? (n = 2, TOK_ASSIGN) : TOK_COLON; break;
        case '=': kind = c1 == '>' ? (n = 2, TOK_ARROW) : TOK_EQUALS; break;
        case '!': kind = c1 == '=' ? (n = 2, TOK_NOT_EQUALS) : TOK_BANG; break;
        case '<': kind = c1 == '<' ? (n = 2, TOK_PRECEDES) : c1 == '=' ? (n = 2, TOK_LE) : TOK_LT; break;
        case '>': kind = c1 == '>' ? (n = 2, TOK_FOLLOWS) : c1 == '=' ? (n = 2, TOK_GE) : TOK_GT; break;
        case '|': kind = c1 == '|' ? (n = 2, TOK_CONCAT) : TOK_PIPE; break;
        case '.':
            if (c1 == '.') {
                kind = TOK_DOUBLE_DOT;
                n = 2;
            } else if (!is_digit(c1)) {
                kind = TOK_DOT;
            }
            break;
        case '@': kind = TOK_AT; break;
        case '(': kind = TOK_LPAREN; break;
        case ')': kind = TOK_RPAREN; break;
        case '[': kind = TOK_LBRACKET; break;
        case ']': kind = TOK_RBRACKET; break;
        case ',': kind = TOK_COMMA; break;
        case '?': kind = TOK_QUESTION; break;
        case '#': kind = TOK_HASH; break;
        case '+': kind = TOK_PLUS; break;
        case '-': kind = TOK_MINUS; break;
        case '*': kind = TOK_STAR; break;
        case '$': kind = TOK_DOLLAR; break;
        case '{': kind = TOK_LBRACE; break;
        case '}': kind = TOK_RBRACE; break;
        default: break;
        }
        if (kind < 0 && (is_digit(c) || c == '.')) {
            const char* q = p;
            while (q < lx->end && (is_digit(static_cast<unsigned char>(*q)) || *q == '.')) q++;
            if ((sc.at(q) == 'e' || sc.at(q) == 'E') && sc.has(q + 1)) {
                const char* d = q + 1;
                if ((*d == '+' || *d == '-') && sc.has(d + 1)) d++;
                if (is_digit(sc.at(d))) {
                    q = d;
                    while (q < lx->end && is_digit(static_cast<unsigned char>(*q))) q++;
                }
            }
            kind = TOK_NUMBER;
            n = static_cast<size_t>(q - p);
        } else if (kind < 0 && (c == '"' || c == '\'')) {
            const char* q = p + 1;
            int32_t l = line, col = column + 1;
            bool closed = false;
            while (q < lx->end) {
                unsigned char b = static_cast<unsigned char>(*q);
                if (b == c) {
                    if (sc.at(q + 1) == c && sc.has(q + 1)) {
                        q += 2;
                        col += 2;
                        continue;
                    }
                    closed = true;
                    q++;
                    col++;
                    break;
                }
                // A string item must hold XML characters only.
                if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') {
                    quorvel_set_last_error("Invalid character in string literal");
                    std::snprintf(lx->error, sizeof lx->error,
                                  "Invalid character in string literal at line %d, column %d", l, col);
                    sc.append(TOK_EOF, p, 0, line, column);
                    return parser;
                }
                if (b == '\n') {
                    l++;
                    col = 1;
                } else {
                    col++;
                }
                q++;
            }
            if (!closed) {
                quorvel_set_last_error("Unterminated string literal");
                std::snprintf(lx->error, sizeof lx->error, "Unterminated string literal at line %d", line);
                if (!sc.append(TOK_EOF, p, 0, line, column)) break;
                return parser;
            }
            if (!sc.append(TOK_STRING, p, static_cast<size_t>(q - p), line, column)) break;
            lx->cursor = q;
            lx->line = l;
            lx->column = col;
            continue;
        } else if (kind < 0 && c == 'Q' && c1 == '{') {
            // Q{uri}local: one name token whatever the URI holds.
            const char* close = static_cast<const char*>(std::memchr(p + 2, '}', static_cast<size_t>(lx->end - p - 2)));
            const char* brace = static_cast<const char*>(std::memchr(p + 2, '{', static_cast<size_t>(lx->end - p - 2)));
            if (!close || (brace && brace < close) || !name_start(sc.at(close + 1))) {
                quorvel_set_last_error("Malformed Q{uri}name");
                std::snprintf(lx->error, sizeof lx->error, "Malformed Q{uri}name at line %d, column %d", line, column);
                if (!sc.append(TOK_EOF, p, 0, line, column)) break;
                return parser;
            }
            const char* q = close + 2;
            while (q < lx->end && name_char(static_cast<unsigned char>(*q))) q++;
            n = static_cast<size_t>(q - p);
            kind = TOK_QNAME;
            const char* uri = p + 2;
            size_t uri_length = static_cast<size_t>(close - uri), local_length = static_cast<size_t>(q - close - 1);
            const char* prefix = nullptr;
            for (const auto& b : kPreboundNames)
                if (std::strlen(b[0]) == uri_length && !std::memcmp(b[0], uri, uri_length)) prefix = b[1];
            if (prefix || !uri_length) {
                // Every rewritten name is shorter than its source, so one
                // buffer of the expression's length holds them all.
                if (!parser->names) {
                    parser->names = static_cast<char*>(std::malloc(static_cast<size_t>(lx->end - lx->text)));
                    if (!parser->names) break;
                }
                char* out = parser->names + parser->names_used;
                size_t m = 0;
                if (prefix) {
                    m = std::strlen(prefix);
                    std::memcpy(out, prefix, m);
                    out[m++] = ':';
                }
                std::memcpy(out + m, close + 1, local_length);
                m += local_length;
                parser->names_used += m;
                if (!sc.append(TOK_QNAME, out, m, line, column)) break;
                lx->cursor = q;
                lx->column += static_cast<int32_t>(n);
                continue;
            }
        } else if (kind < 0 && name_start(c)) {
            const char* q = p + 1;
            while (q < lx->end && name_char(static_cast<unsigned char>(*q))) q++;
            const char* name_end = q;
            kind = -2;
            if (sc.at(q) == ':' && sc.has(q + 1) && sc.at(q + 1) != ':' && sc.at(q + 1) != '=') {
                const char* local = q + 1;
                if (name_start(sc.at(local))) {
                    q = local + 1;
                    while (q < lx->end && name_char(static_cast<unsigned char>(*q))) q++;
                    kind = TOK_QNAME;
                    n = static_cast<size_t>(q - p);
                } else {
                    // The colon is swallowed: the prefix stands alone and
                    // "p:*" is recognised by the parser from the bytes after it.
                    kind = sc.name_kind(p, static_cast<size_t>(name_end - p), local, false);
                    if (!sc.append(kind, p, static_cast<size_t>(name_end - p), line, column)) break;
                    lx->column += static_cast<int32_t>(local - p);
                    lx->cursor = local;
                    continue;
                }
            }
            if (kind == -2) {
                n = static_cast<size_t>(name_end - p);
                kind = sc.name_kind(p, n, name_end, true);
            }
        }
        if (kind < 0) {
            // Control bytes are shown as escapes: a raw NUL would cut the message.
            char shown[8];
            if (c < 0x20 || c == 0x7F)
                std::snprintf(shown, sizeof shown, "\\x%02X", c);
            else
                std::snprintf(shown, sizeof shown, "%c", c);
            quorvel_set_last_errorf("Invalid character '%s' in XPath expression", shown);
            std::snprintf(lx->error, sizeof lx->error, "Invalid character '%s' at line %d, column %d", shown, line,
                          column);
            if (!sc.append(TOK_EOF, p, 0, line, column)) break;
            return parser;
        }
        if (!sc.append(kind, p, n, line, column)) break;
        lx->cursor = p + n;
        lx->column += static_cast<int32_t>(n);
    }
    xpath_parser_free(parser);
    return nullptr;
}

char* token_to_string(const quorvel_xpath_token* token) {
    if (!token || token->length == 0) return nullptr;
    char* s = static_cast<char*>(std::malloc(token->length + 1));
    if (!s) return nullptr;
    std::memcpy(s, token->start, token->length);
    s[token->length] = '\0';
    return s;
}

int consume_token(quorvel_xpath_parser* parser, int32_t kind, const char* message) {
    if (!parser) return 0;
    if (parser->pos < parser->token_count) {
        const quorvel_xpath_token& t = parser->tokens[parser->pos];
        if (t.kind == kind) {
            parser->pos++;
            return 1;
        }
        if (!parser->lexer || !parser->lexer->text) {
            std::snprintf(parser->error, sizeof parser->error, "%s", message);
            return 0;
        }
        const char* name = xpath_token_kind_name(t.kind);
        quorvel_set_last_errorf("%s (got %s)", message, name);
        std::snprintf(parser->error, sizeof parser->error, "%s at line %d, column %d (got %s)", message, t.line,
                      t.column, name);
        return 0;
    }
    if (!parser->lexer || !parser->lexer->text) {
        std::snprintf(parser->error, sizeof parser->error, "%s", message);
        return 0;
    }
    quorvel_set_last_error(message);
    std::snprintf(parser->error, sizeof parser->error, "%s at EOF", message);
    return 0;
}
