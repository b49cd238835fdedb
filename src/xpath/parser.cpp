// The XPath 1.0 to 3.1 parser: recursive descent over the token array, from
// the whole expression and its operator ladder down to paths, steps, node
// tests, primaries and their postfix operators. Every parse function returns
// a new tree or NULL, and on NULL nothing it built survives.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>

#include "core/core.h"
#include "xpath/xpath.h"

namespace {

using node = quorvel_xpath_ast_node;
using parser_t = quorvel_xpath_parser;

constexpr const char* kNestedTooDeeply = "expression nested too deeply";

// ---- Token access ----------------------------------------------------------------------------

const quorvel_xpath_token* peek(const parser_t* p, size_t k = 0) {
    return p->pos + k < p->token_count ? &p->tokens[p->pos + k] : nullptr;
}
int32_t kind_at(const parser_t* p, size_t k = 0) {
    const quorvel_xpath_token* t = peek(p, k);
    return t ? t->kind : -1;
}
bool token_is(const quorvel_xpath_token* t, const char* word) {
    size_t n = std::strlen(word);
    return t && t->kind == TOK_NCNAME && t->length == n && std::memcmp(t->start, word, n) == 0;
}
bool word_at(const parser_t* p, size_t k, const char* word) { return token_is(peek(p, k), word); }
bool is_name(int32_t kind) { return kind == TOK_NCNAME || kind == TOK_QNAME; }
bool is_kind_test(int32_t kind) { return kind >= TOK_COMMENT && kind <= TOK_NODE; }
bool is_axis(int32_t kind) { return kind >= TOK_AXIS_FIRST && kind <= TOK_AXIS_LAST; }
bool is_operator_word(int32_t kind) { return kind >= TOK_AND && kind <= TOK_MOD; }

// The byte just after a token in the expression text (0 at the end).
unsigned char byte_after(const parser_t* p, const quorvel_xpath_token* t) {
    const char* q = t->start + t->length;
    return q < p->lexer->end ? static_cast<unsigned char>(*q) : 0;
}

// ---- Messages --------------------------------------------------------------------------------

// A message written where a failure is found; outer levels keep it.
void fail(parser_t* p, const char* format, ...) __attribute__((format(printf, 2, 3)));
void fail(parser_t* p, const char* format, ...) {
    if (p->error[0]) return;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(p->error, sizeof p->error, format, ap);
    va_end(ap);
}

void fail_nested(parser_t* p) {
    quorvel_set_last_error(kNestedTooDeeply);
    std::snprintf(p->error, sizeof p->error, "%s", kNestedTooDeeply);
}

// ---- Node helpers --------------------------------------------------------------------------

char* copy_bytes(const char* s, size_t n) {
    char* out = static_cast<char*>(std::malloc(n + 1));
    if (!out) return nullptr;
    if (n) std::memcpy(out, s, n);
    out[n] = '\0';
    return out;
}

node* new_text_node(int32_t type, const char* s, size_t n) {
    node* x = ast_node_new(type);
    if (!x) return nullptr;
    x->text = copy_bytes(s, n);
    if (!x->text) {
        ast_node_free(x);
        return nullptr;
    }
    return x;
}

node* new_op(int32_t op) {
    node* x = ast_node_new(AST_OPERATOR);
    if (x) x->number = op;
    return x;
}

// Appends child to parent; on failure both are freed and false returned.
bool add(node* parent, node* child) {
    if (!child) {
        ast_node_free(parent);
        return false;
    }
    if (ast_node_add_child(parent, child)) return true;
    ast_node_free(child);
    ast_node_free(parent);
    return false;
}

node* binary(int32_t op, node* left, node* right) {
    if (!right) {
        ast_node_free(left);
        return nullptr;
    }
    return create_operator_node(op, left, right);
}

// A growing byte buffer for the texts that join several names.
struct text_buffer {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool failed = false;
    ~text_buffer() { std::free(data); }
    void append(const char* s, size_t n) {
        if (failed) return;
        if (length + n + 1 > capacity) {
            size_t cap = capacity ? capacity : 32;
            while (cap < length + n + 1) cap *= 2;
            char* grown = static_cast<char*>(std::realloc(data, cap));
            if (!grown) {
                failed = true;
                return;
            }
            data = grown;
            capacity = cap;
        }
        if (n) std::memcpy(data + length, s, n);
        length += n;
        data[length] = '\0';
    }
    void append(char c) { append(&c, 1); }
    void append(const quorvel_xpath_token* t) { append(t->start, t->length); }
    // The text handed over, or NULL when memory ran out.
    char* take() {
        if (failed) return nullptr;
        if (!data) append("", 0);
        char* out = data;
        data = nullptr;
        return out;
    }
};

node* parse_or_expr(parser_t* p);
node* parse_unary_expr(parser_t* p);
node* parse_path_expr(parser_t* p);
node* parse_location_path(parser_t* p);
node* parse_relative_location_path(parser_t* p);
node* parse_step(parser_t* p);
node* parse_postfix_ops(parser_t* p, node* primary);
node* parse_parenthesized(parser_t* p);
node* parse_path_continuation(parser_t* p, node* primary);
node* parse_function_call(parser_t* p, const char* name, size_t length);

// ---- Literals ----------------------------------------------------------------------------------

void append_utf8(text_buffer& b, unsigned long cp) {
    char u[4];
    size_t n;
    if (cp < 0x80) {
        u[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        u[0] = static_cast<char>(0xC0 | (cp >> 6));
        u[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        u[0] = static_cast<char>(0xE0 | (cp >> 12));
        u[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        u[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        u[0] = static_cast<char>(0xF0 | (cp >> 18));
        u[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        u[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        u[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    b.append(u, n);
}

// Length of a reference "&...;" at s (up to end) that decodes, with its
// text in b; 0 when it stays a literal "&".
size_t decode_reference(const char* s, const char* end, text_buffer& b) {
    const char* semi = nullptr;
    for (const char* q = s + 1; q < end && q - s <= 12; q++)
        if (*q == ';') {
            semi = q;
            break;
        }
    if (!semi) return 0;
    size_t n = static_cast<size_t>(semi - s) + 1;
    static constexpr struct {
        const char* name;
        char c;
    } kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto& e : kEntities)
        if (std::strlen(e.name) == n && std::memcmp(s, e.name, n) == 0) {
            b.append(e.c);
            return n;
        }
    if (s[1] != '#') return 0;
    const char* q = s + 2;
    bool hex = q < semi && (*q == 'x' || *q == 'X');
    if (hex) q++;
    if (q == semi) return 0;
    unsigned long cp = 0;
    for (; q < semi; q++) {
        unsigned char c = static_cast<unsigned char>(*q);
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f')
            d = (c | 0x20) - 'a' + 10;
        else
            return 0;
        cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(d);
        if (cp > 1114113) cp = 1114113;
    }
    bool ok = cp == 9 || cp == 10 || cp == 13 || (cp >= 32 && cp <= 1114111 && !(cp >= 55296 && cp <= 57343));
    if (!ok) return 0;
    append_utf8(b, cp);
    return n;
}

node* string_literal(parser_t* p) {
    const quorvel_xpath_token* t = peek(p);
    const char* s = t->start + 1;
    const char* end = t->start + t->length - 1;
    char quote = t->start[0];
    p->pos++;
    if (!std::memchr(s, '&', static_cast<size_t>(end - s)) && !std::memchr(s, quote, static_cast<size_t>(end - s)))
        return new_text_node(AST_STRING, s, static_cast<size_t>(end - s));
    text_buffer b;
    b.append("", 0);
    for (const char* q = s; q < end;) {
        if (*q == quote && q + 1 < end && q[1] == quote) {
            b.append(quote);
            q += 2;
            continue;
        }
        if (*q == '&') {
            size_t n = decode_reference(q, end, b);
            if (n) {
                q += n;
                continue;
            }
        }
        b.append(*q++);
    }
    char* text = b.take();
    if (!text) return nullptr;
    node* x = ast_node_new(AST_STRING);
    if (!x) {
        std::free(text);
        return nullptr;
    }
    x->text = text;
    return x;
}

node* number_literal(parser_t* p) {
    const quorvel_xpath_token* t = peek(p);
    p->pos++;
    char buf[128];
    size_t n = t->length < sizeof buf - 1 ? t->length : sizeof buf - 1;
    std::memcpy(buf, t->start, n);
    buf[n] = '\0';
    node* x = ast_node_new(AST_NUMBER);
    if (!x) return nullptr;
    x->number = std::strtod(buf, nullptr);
    const char* type = nullptr;
    if (std::memchr(t->start, 'e', t->length) || std::memchr(t->start, 'E', t->length))
        type = "xs:double";
    else if (std::memchr(t->start, '.', t->length))
        type = "xs:decimal";
    else if (std::fabs(x->number) >= kXpathExactDoubleLimit && n == t->length)
        type = buf;  // an integer a double cannot hold keeps its digits
    if (type) {
        x->text = copy_bytes(type, std::strlen(type));
        if (!x->text) {
            ast_node_free(x);
            return nullptr;
        }
    }
    return x;
}

// ---- Operator ladder --------------------------------------------------------------------------

// Whether the token at k can begin an operand of "is", "intersect" and "except".
bool operand_start(int32_t k) {
    switch (k) {
    case TOK_SLASH: case TOK_DOUBLE_SLASH: case TOK_AT: case TOK_DOT: case TOK_DOUBLE_DOT: case TOK_LPAREN:
    case TOK_NCNAME: case TOK_QNAME: case TOK_STRING: case TOK_NUMBER: case TOK_STAR: case TOK_DOLLAR:
        return true;
    default:
        return false;
    }
}

// Whether a word operator at the current position is taken as an operator,
// judged by the token after it.
bool kw_operand_boundary(const parser_t* p) {
    const quorvel_xpath_token* next = peek(p, 1);
    if (!next) return true;
    switch (next->kind) {
    case TOK_EOF: case TOK_LPAREN: case TOK_RPAREN: case TOK_COMMA: case TOK_STRING: case TOK_NUMBER:
    case TOK_PLUS: case TOK_MINUS: case TOK_DOLLAR: case TOK_LBRACE: case TOK_RBRACE:
        return true;
    case TOK_NCNAME: case TOK_QNAME:
        if (kind_at(p, 2) == TOK_LPAREN) return true;
        return kind_at(p, 2) == TOK_COLON && kind_at(p, 3) == TOK_NCNAME && kind_at(p, 4) == TOK_LPAREN &&
               peek(p, 5) != nullptr;
    default:
        return false;
    }
}

node* parse_simple_map_expr(parser_t* p) {
    node* left = parse_path_expr(p);
    while (left && kind_at(p) == TOK_BANG) {
        p->pos++;
        left = binary(OP_SIMPLE_MAP, left, parse_path_expr(p));
    }
    return left;
}

node* parse_type_op_expr(parser_t* p);

node* parse_intersect_except_expr(parser_t* p) {
    node* left = parse_type_op_expr(p);
    while (left) {
        int32_t op;
        if (word_at(p, 0, "intersect"))
            op = OP_INTERSECT;
        else if (word_at(p, 0, "except"))
            op = OP_EXCEPT;
        else
            break;
        if (!operand_start(kind_at(p, 1))) break;
        p->pos++;
        left = binary(op, left, parse_type_op_expr(p));
    }
    return left;
}

// Arguments of a call after its "(" up to and including ")"; placeholders
// ("?") become variables %1, %2, ... when allowed.
bool parse_arguments(parser_t* p, node* call, const char* close_message, size_t* placeholders) {
    if (kind_at(p) == TOK_RPAREN) {
        p->pos++;
        return true;
    }
    for (;;) {
        node* arg;
        if (placeholders && kind_at(p) == TOK_QUESTION && (kind_at(p, 1) == TOK_COMMA || kind_at(p, 1) == TOK_RPAREN)) {
            p->pos++;
            char name[32];
            int n = std::snprintf(name, sizeof name, "%%%zu", ++*placeholders);
            arg = new_text_node(AST_VARIABLE, name, static_cast<size_t>(n));
        } else {
            arg = parse_expr(p);
        }
        if (!arg || !ast_node_add_child(call, arg)) {
            ast_node_free(arg);
            return false;
        }
        if (kind_at(p) == TOK_COMMA) {
            p->pos++;
            continue;
        }
        if (close_message) return consume_token(p, TOK_RPAREN, close_message) != 0;
        if (kind_at(p) != TOK_RPAREN) return false;
        p->pos++;
        return true;
    }
}

node* parse_union_expr(parser_t* p) {
    node* left = parse_intersect_except_expr(p);
    while (left && (kind_at(p) == TOK_PIPE || (word_at(p, 0, "union") && operand_start(kind_at(p, 1))))) {
        p->pos++;
        left = binary(OP_UNION, left, parse_intersect_except_expr(p));
    }
    return left;
}

node* parse_unary_expr(parser_t* p) {
    // Signs are read in a loop: a long run of them costs no stack.
    size_t minus = 0;
    for (;;) {
        int32_t k = kind_at(p);
        if (k == TOK_PLUS) {
            p->pos++;
        } else if (k == TOK_MINUS) {
            p->pos++;
            minus++;
            if (minus > static_cast<size_t>(kXpathMaxNesting)) {
                fail_nested(p);
                return nullptr;
            }
        } else {
            break;
        }
    }
    node* operand = parse_simple_map_expr(p);
    while (operand && minus--) {
        node* neg = new_op(OP_NEGATE);
        if (!neg || !add(neg, operand)) {
            if (!neg) ast_node_free(operand);
            return nullptr;
        }
        operand = neg;
    }
    return operand;
}

node* parse_arrow_expr(parser_t* p) {
    node* left = parse_unary_expr(p);
    while (left && kind_at(p) == TOK_ARROW) {
        p->pos++;
        const quorvel_xpath_token* name = peek(p);
        if (name && (name->kind == TOK_DOLLAR || name->kind == TOK_LPAREN)) {
            // "=> $f(...)" and "=> (expr)(...)": a dynamic call with the
            // left operand as its first argument.
            node* function = nullptr;
            if (name->kind == TOK_DOLLAR) {
                const quorvel_xpath_token* v = peek(p, 1);
                if (v && is_name(v->kind)) {
                    p->pos += 2;
                    function = new_text_node(AST_VARIABLE, v->start, v->length);
                } else {
                    fail(p, "Expected variable name after $ at line %d, column %d", name->line, name->column);
                }
            } else {
                function = parse_parenthesized(p);
            }
            node* call = function ? new_op(OP_DYNAMIC_CALL) : nullptr;
            if (!call) {
                ast_node_free(function);
                ast_node_free(left);
                return nullptr;
            }
            if (!add(call, function)) {
                ast_node_free(left);
                return nullptr;
            }
            if (!add(call, left)) return nullptr;
            if (!consume_token(p, TOK_LPAREN, "Expected '(' after arrow function") ||
                !parse_arguments(p, call, "Expected ')' after arrow arguments", nullptr)) {
                ast_node_free(call);
                return nullptr;
            }
            left = call;
            continue;
        }
        if (!name || !is_name(name->kind)) {
            fail(p, "Expected function name after '=>'");
            ast_node_free(left);
            return nullptr;
        }
        p->pos++;
        node* call = new_text_node(AST_FUNCTION_CALL, name->start, name->length);
        if (!call || !add(call, left)) {
            if (!call) ast_node_free(left);
            return nullptr;
        }
        if (!consume_token(p, TOK_LPAREN, "Expected '(' after arrow function name") ||
            !parse_arguments(p, call, "Expected ')' after arrow arguments", nullptr)) {
            ast_node_free(call);
            return nullptr;
        }
        left = call;
    }
    return left;
}

char* parse_sequence_type(parser_t* p);

// "cast as", "castable as", "treat as" and "instance of", each at most once
// and in that order, bind tighter than every binary operator but looser
// than the arrow and the signs.
node* parse_type_op_expr(parser_t* p) {
    static constexpr struct {
        const char* first;
        const char* second;
        int32_t op;
    } kTypeOps[] = {{"cast", "as", OP_CAST},
                    {"castable", "as", OP_CASTABLE},
                    {"treat", "as", OP_TREAT},
                    {"instance", "of", OP_INSTANCE_OF}};
    node* e = parse_arrow_expr(p);
    for (const auto& op : kTypeOps) {
        if (!e) break;
        if (!word_at(p, 0, op.first) || !word_at(p, 1, op.second)) continue;
        p->pos += 2;
        char* type = parse_sequence_type(p);
        node* x = type ? new_op(op.op) : nullptr;
        if (!x) {
            std::free(type);
            ast_node_free(e);
            return nullptr;
        }
        x->text = type;
        if (!add(x, e)) return nullptr;
        e = x;
    }
    return e;
}

node* parse_multiplicative_expr(parser_t* p) {
    node* left = parse_union_expr(p);
    while (left) {
        int32_t op;
        int32_t k = kind_at(p);
        if (k == TOK_STAR)
            op = OP_MUL;
        else if (k == TOK_DIV)
            op = OP_DIV;
        else if (k == TOK_MOD)
            op = OP_MOD;
        else if (word_at(p, 0, "idiv") && kw_operand_boundary(p))
            op = OP_IDIV;
        else
            break;
        p->pos++;
        left = binary(op, left, parse_union_expr(p));
    }
    return left;
}

node* parse_additive_expr(parser_t* p) {
    node* left = parse_multiplicative_expr(p);
    while (left && (kind_at(p) == TOK_PLUS || kind_at(p) == TOK_MINUS)) {
        int32_t op = kind_at(p) == TOK_PLUS ? OP_ADD : OP_SUB;
        p->pos++;
        left = binary(op, left, parse_multiplicative_expr(p));
    }
    return left;
}

node* parse_range_expr(parser_t* p) {
    node* left = parse_additive_expr(p);
    if (left && word_at(p, 0, "to")) {
        p->pos++;
        left = binary(OP_RANGE, left, parse_additive_expr(p));
    }
    return left;
}

node* parse_string_concat_expr(parser_t* p) {
    node* left = parse_range_expr(p);
    while (left && kind_at(p) == TOK_CONCAT) {
        p->pos++;
        left = binary(OP_CONCAT, left, parse_range_expr(p));
    }
    return left;
}

node* parse_relational_expr(parser_t* p) {
    node* left = parse_string_concat_expr(p);
    while (left) {
        int32_t op = -1;
        switch (kind_at(p)) {
        case TOK_LT: op = OP_LT; break;
        case TOK_LE: op = OP_LE; break;
        case TOK_GT: op = OP_GT; break;
        case TOK_GE: op = OP_GE; break;
        case TOK_PRECEDES: op = OP_PRECEDES; break;
        case TOK_FOLLOWS: op = OP_FOLLOWS; break;
        case TOK_NCNAME: {
            static constexpr struct {
                const char* word;
                int32_t op;
            } kWords[] = {{"eq", OP_EQ}, {"ne", OP_NE}, {"lt", OP_LT}, {"le", OP_LE}, {"gt", OP_GT}, {"ge", OP_GE}};
            for (const auto& w : kWords)
                if (word_at(p, 0, w.word) && kw_operand_boundary(p)) op = w.op;
            if (word_at(p, 0, "is") && (kw_operand_boundary(p) || operand_start(kind_at(p, 1)))) op = OP_IS;
            break;
        }
        default:
            break;
        }
        if (op < 0) break;
        p->pos++;
        left = binary(op, left, parse_string_concat_expr(p));
    }
    return left;
}

node* parse_equality_expr(parser_t* p) {
    node* left = parse_relational_expr(p);
    while (left && (kind_at(p) == TOK_EQUALS || kind_at(p) == TOK_NOT_EQUALS)) {
        int32_t op = kind_at(p) == TOK_EQUALS ? OP_EQ : OP_NE;
        p->pos++;
        left = binary(op, left, parse_relational_expr(p));
    }
    return left;
}

node* parse_and_expr(parser_t* p) {
    node* left = parse_equality_expr(p);
    while (left && kind_at(p) == TOK_AND) {
        p->pos++;
        left = binary(OP_AND, left, parse_equality_expr(p));
    }
    return left;
}

node* parse_or_expr(parser_t* p) {
    node* left = parse_and_expr(p);
    while (left && kind_at(p) == TOK_OR) {
        p->pos++;
        left = binary(OP_OR, left, parse_and_expr(p));
    }
    return left;
}

// ---- Sequence types ------------------------------------------------------------------------------

bool can_begin_operand(int32_t k) {
    return operand_start(k) || k == TOK_MINUS || is_kind_test(k);
}

char* parse_sequence_type(parser_t* p) {
    const quorvel_xpath_token* t = peek(p);
    if (!t || !(is_name(t->kind) || is_kind_test(t->kind)) || t->length > 91) return nullptr;
    p->pos++;
    text_buffer b;
    b.append(t);
    if (kind_at(p) == TOK_LPAREN) {
        if (kind_at(p, 1) != TOK_RPAREN) return nullptr;
        p->pos += 2;
        b.append("()", 2);
    }
    int32_t k = kind_at(p);
    if (k == TOK_QUESTION || ((k == TOK_STAR || k == TOK_PLUS) && !can_begin_operand(kind_at(p, 1)))) {
        b.append(*peek(p)->start);
        p->pos++;
    }
    return b.take();
}

// ---- Keyword-led expressions ------------------------------------------------------------------------

bool expect_word(parser_t* p, const char* word, const char* message) {
    if (word_at(p, 0, word)) {
        p->pos++;
        return true;
    }
    fail(p, "%s", message);
    return false;
}

// "$" and a variable name; the name token, or NULL with the message given.
const quorvel_xpath_token* variable_name(parser_t* p, const char* dollar_message, const char* name_message) {
    if (kind_at(p) != TOK_DOLLAR) {
        fail(p, "%s", dollar_message);
        return nullptr;
    }
    p->pos++;
    const quorvel_xpath_token* t = peek(p);
    if (!t || !is_name(t->kind)) {
        fail(p, "%s", name_message);
        return nullptr;
    }
    p->pos++;
    return t;
}

node* parse_let_expr(parser_t* p) {
    p->pos++;  // let
    node* let = new_op(OP_LET);
    if (!let) return nullptr;
    text_buffer names;
    for (;;) {
        const quorvel_xpath_token* name =
            variable_name(p, "Expected '$' variable in let binding", "Expected variable name in let");
        if (!name) {
            ast_node_free(let);
            return nullptr;
        }
        if (names.length) names.append(' ');
        names.append(name);
        if (kind_at(p) != TOK_ASSIGN) {
            fail(p, "Expected ':=' in let binding");
            ast_node_free(let);
            return nullptr;
        }
        p->pos++;
        if (!add(let, parse_expr(p))) return nullptr;
        if (kind_at(p) != TOK_COMMA) break;
        p->pos++;
    }
    if (!expect_word(p, "return", "Expected 'return' in let expression")) {
        ast_node_free(let);
        return nullptr;
    }
    if (!add(let, parse_expr(p))) return nullptr;
    let->text = names.take();
    if (!let->text) {
        ast_node_free(let);
        return nullptr;
    }
    return let;
}

struct for_binding {
    const quorvel_xpath_token* name;
    const quorvel_xpath_token* position;  // NULL for none
    node* sequence;
};

node* parse_for_expr(parser_t* p) {
    p->pos++;  // for
    for_binding* bindings = nullptr;
    size_t count = 0, capacity = 0;
    node* where = nullptr;
    node* keys = nullptr;  // a holder for (key, flags) pairs
    node* result = nullptr;
    bool ok = false;
    for (bool first = true;; first = false) {
        const quorvel_xpath_token* name =
            variable_name(p, first ? "Expected '$' variable after for" : "Expected '$' variable after ',' in for",
                          "Expected variable name in for");
        if (!name) goto done;
        const quorvel_xpath_token* position = nullptr;
        if (word_at(p, 0, "at")) {
            p->pos++;
            position = variable_name(p, "Expected '$' position variable after at", "Expected position variable name");
            if (!position) goto done;
        }
        if (!expect_word(p, "in", "Expected 'in' in for expression")) goto done;
        node* sequence = parse_expr(p);
        if (!sequence) goto done;
        if (count == capacity) {
            size_t cap = capacity ? capacity * 2 : 4;
            auto* grown = static_cast<for_binding*>(std::realloc(bindings, cap * sizeof(for_binding)));
            if (!grown) {
                ast_node_free(sequence);
                goto done;
            }
            bindings = grown;
            capacity = cap;
        }
        bindings[count++] = {name, position, sequence};
        if (kind_at(p) != TOK_COMMA) break;
        p->pos++;
    }
    if (word_at(p, 0, "where")) {
        p->pos++;
        where = parse_expr(p);
        if (!where) goto done;
    }
    if (word_at(p, 0, "stable")) p->pos++;
    if (word_at(p, 0, "order")) {
        p->pos++;
        if (!expect_word(p, "by", "Expected 'by' after 'order'")) goto done;
        keys = new_op(OP_SEQUENCE);
        if (!keys) goto done;
        for (;;) {
            node* key = parse_expr(p);
            if (!key || !ast_node_add_child(keys, key)) {
                ast_node_free(key);
                goto done;
            }
            int flags = 0;
            if (word_at(p, 0, "ascending")) {
                p->pos++;
            } else if (word_at(p, 0, "descending")) {
                p->pos++;
                flags |= kXpathOrderDescending;
            }
            if (word_at(p, 0, "empty")) {
                p->pos++;
                if (word_at(p, 0, "greatest")) {
                    p->pos++;
                } else if (word_at(p, 0, "least")) {
                    p->pos++;
                    flags |= kXpathOrderEmptyLeast;
                }
            } else if (word_at(p, 0, "collation") && kind_at(p, 1) == TOK_STRING) {
                p->pos += 2;
            }
            node* f = ast_node_new(AST_NUMBER);
            if (!f || !ast_node_add_child(keys, f)) {
                ast_node_free(f);
                goto done;
            }
            f->number = flags;
            if (kind_at(p) != TOK_COMMA) break;
            p->pos++;
        }
    }
    if (!expect_word(p, "return", "Expected 'return' in for expression")) goto done;
    {
        node* body = parse_expr(p);
        if (!body) goto done;
        if (where) {
            node* cond = new_op(OP_IF);
            node* empty = new_op(OP_SEQUENCE);
            if (!cond || !empty) {
                ast_node_free(cond);
                ast_node_free(empty);
                ast_node_free(body);
                goto done;
            }
            bool built = add(cond, where);
            where = nullptr;
            if (!built) {
                ast_node_free(body);
                ast_node_free(empty);
                goto done;
            }
            if (!add(cond, body)) {
                ast_node_free(empty);
                goto done;
            }
            if (!add(cond, empty)) goto done;
            body = cond;
        }
        // Innermost binding first: it holds the return expression and the
        // order keys; each earlier binding holds the next.
        node* inner = body;
        for (size_t i = count; i-- > 0;) {
            node* f = new_op(OP_FOR);
            text_buffer t;
            t.append(bindings[i].name);
            if (bindings[i].position) {
                t.append('\x01');
                t.append(bindings[i].position);
            }
            if (f) f->text = t.take();
            if (!f || !f->text) {
                ast_node_free(f);
                ast_node_free(inner);
                goto done;
            }
            node* sequence = bindings[i].sequence;
            bindings[i].sequence = nullptr;
            if (!add(f, sequence)) {
                ast_node_free(inner);
                goto done;
            }
            if (!add(f, inner)) goto done;
            if (i == count - 1 && keys) {
                // Children stay owned by keys until each moves over.
                bool moved = true;
                for (size_t k = 0; k < keys->count; k++) {
                    if (moved && ast_node_add_child(f, keys->children[k])) {
                        keys->children[k] = nullptr;
                    } else {
                        moved = false;
                    }
                }
                if (!moved) {
                    ast_node_free(f);
                    goto done;
                }
            }
            inner = f;
        }
        result = inner;
        ok = true;
    }
done:
    for (size_t i = 0; i < count; i++) ast_node_free(bindings[i].sequence);
    std::free(bindings);
    ast_node_free(where);
    ast_node_free(keys);
    return ok ? result : nullptr;
}

node* parse_quantified_expr(parser_t* p, int32_t op) {
    p->pos++;  // some / every
    node* q = new_op(op);
    if (!q) return nullptr;
    for (;;) {
        const quorvel_xpath_token* name = variable_name(p, "Expected '$' variable in quantified expression",
                                                        "Expected variable name in quantified expression");
        if (!name || !expect_word(p, "in", "Expected 'in' in quantified expression")) {
            ast_node_free(q);
            return nullptr;
        }
        node* binding = new_text_node(AST_OPERATOR, name->start, name->length);
        if (!binding) {
            ast_node_free(q);
            return nullptr;
        }
        binding->number = OP_BINDING;
        if (!add(binding, parse_expr(p))) {
            ast_node_free(q);
            return nullptr;
        }
        if (!add(q, binding)) return nullptr;
        if (kind_at(p) != TOK_COMMA) break;
        p->pos++;
    }
    if (!expect_word(p, "satisfies", "Expected 'satisfies' in quantified expression")) {
        ast_node_free(q);
        return nullptr;
    }
    if (!add(q, parse_expr(p))) return nullptr;
    return q;
}

node* parse_if_expr(parser_t* p) {
    p->pos += 2;  // if (
    node* x = new_op(OP_IF);
    if (!x) return nullptr;
    if (!add(x, parse_expr(p))) return nullptr;
    if (kind_at(p) != TOK_RPAREN) {
        fail(p, "Expected ')' after if condition");
        ast_node_free(x);
        return nullptr;
    }
    p->pos++;
    if (!expect_word(p, "then", "Expected 'then' in if expression")) {
        ast_node_free(x);
        return nullptr;
    }
    if (!add(x, parse_expr(p))) return nullptr;
    if (!expect_word(p, "else", "Expected 'else' in if expression")) {
        ast_node_free(x);
        return nullptr;
    }
    if (!add(x, parse_expr(p))) return nullptr;
    return x;
}

node* parse_switch_expr(parser_t* p) {
    p->pos++;  // switch
    node* x = new_op(OP_SWITCH);
    if (!x) return nullptr;
    if (kind_at(p) != TOK_LPAREN) {
        fail(p, "Expected '(' after switch");
        ast_node_free(x);
        return nullptr;
    }
    p->pos++;
    if (!add(x, parse_expr(p))) return nullptr;
    if (kind_at(p) != TOK_RPAREN) {
        fail(p, "Expected ')' after switch operand");
        ast_node_free(x);
        return nullptr;
    }
    p->pos++;
    for (;;) {
        if (word_at(p, 0, "case")) {
            p->pos++;
            node* operand = parse_expr(p);
            if (!operand) {
                ast_node_free(x);
                return nullptr;
            }
            if (word_at(p, 0, "case")) {
                node* seq = new_op(OP_SEQUENCE);
                if (!seq) {
                    ast_node_free(operand);
                    ast_node_free(x);
                    return nullptr;
                }
                if (!add(seq, operand)) {
                    ast_node_free(x);
                    return nullptr;
                }
                while (word_at(p, 0, "case")) {
                    p->pos++;
                    if (!add(seq, parse_expr(p))) {
                        ast_node_free(x);
                        return nullptr;
                    }
                }
                operand = seq;
            }
            if (!add(x, operand)) return nullptr;
            if (!expect_word(p, "return", "Expected 'return' after switch case")) {
                ast_node_free(x);
                return nullptr;
            }
            if (!add(x, parse_expr(p))) return nullptr;
            continue;
        }
        if (word_at(p, 0, "default")) {
            p->pos++;
            if (!expect_word(p, "return", "Expected 'return' after switch default")) {
                ast_node_free(x);
                return nullptr;
            }
            if (!add(x, parse_expr(p))) return nullptr;
            x->text = copy_bytes("__switch_default", 16);
            if (!x->text) {
                ast_node_free(x);
                return nullptr;
            }
            return x;
        }
        fail(p, "Expected 'case' or 'default' in switch");
        ast_node_free(x);
        return nullptr;
    }
}

// A typeswitch case type: names and kind-test names joined with ":", then an
// optional "()" or "(arg)".
bool typeswitch_type(parser_t* p, text_buffer& b) {
    bool any = false;
    for (;;) {
        const quorvel_xpath_token* t = peek(p);
        if (!t || !(is_name(t->kind) || is_kind_test(t->kind)) || token_is(t, "return")) break;
        if (any) b.append(':');
        b.append(t);
        any = true;
        p->pos++;
    }
    if (!any) return false;
    if (kind_at(p) == TOK_LPAREN) {
        p->pos++;
        if (kind_at(p) == TOK_RPAREN) {
            p->pos++;
            if (!(b.length && b.data[b.length - 1] == ')')) b.append("()", 2);
            return true;
        }
        const quorvel_xpath_token* arg = peek(p);
        if (!arg || !(is_name(arg->kind) || arg->kind == TOK_STAR) || kind_at(p, 1) != TOK_RPAREN) return false;
        b.append('(');
        b.append(arg);
        b.append(')');
        p->pos += 2;
    }
    return true;
}

node* parse_typeswitch_expr(parser_t* p) {
    p->pos += 2;  // typeswitch (
    node* x = new_op(OP_TYPESWITCH);
    if (!x) return nullptr;
    if (!add(x, parse_expr(p))) return nullptr;
    if (!consume_token(p, TOK_RPAREN, "Expected ')' after typeswitch operand")) {
        ast_node_free(x);
        return nullptr;
    }
    // The clause list grows with the clauses: every clause keeps its place,
    // so each return expression stays paired with its own type.
    text_buffer clauses;
    size_t cases = 0;
    for (;;) {
        if (word_at(p, 0, "case")) {
            p->pos++;
            if (cases++) clauses.append('\x01');
            if (kind_at(p) == TOK_DOLLAR) {
                p->pos++;
                const quorvel_xpath_token* name = peek(p);
                if (!name || !is_name(name->kind) || !word_at(p, 1, "as")) {
                    ast_node_free(x);
                    return nullptr;
                }
                p->pos += 2;
                clauses.append(name);
                clauses.append('\x02');
            }
            if (!typeswitch_type(p, clauses) ||
                !expect_word(p, "return", "Expected 'return' in typeswitch case")) {
                ast_node_free(x);
                return nullptr;
            }
            if (!add(x, parse_expr(p))) return nullptr;
            continue;
        }
        if (word_at(p, 0, "default")) {
            p->pos++;
            if (!expect_word(p, "return", "Expected 'return' after typeswitch default")) {
                ast_node_free(x);
                return nullptr;
            }
            if (!add(x, parse_expr(p))) return nullptr;
            clauses.append("\x01\x01", 2);
            break;
        }
        if (cases) break;
        fail(p, "Expected 'case' in typeswitch");
        ast_node_free(x);
        return nullptr;
    }
    x->text = clauses.take();
    if (!x->text) {
        ast_node_free(x);
        return nullptr;
    }
    return x;
}

node* parse_try_expr(parser_t* p) {
    p->pos += 2;  // try {
    node* x = new_op(OP_TRY);
    if (!x) return nullptr;
    if (!add(x, parse_expr(p))) return nullptr;
    if (kind_at(p) != TOK_RBRACE) {
        ast_node_free(x);
        return nullptr;
    }
    p->pos++;
    text_buffer tests;
    size_t catches = 0;
    while (word_at(p, 0, "catch")) {
        p->pos++;
        if (catches++) tests.append('\x01');
        const quorvel_xpath_token* t = peek(p);
        if (t && t->kind == TOK_STAR) {
            tests.append('*');
            p->pos++;
        } else if (t && is_name(t->kind) && t->length < 128) {
            tests.append(t);
            p->pos++;
            const quorvel_xpath_token* next = peek(p);
            if (t->kind == TOK_NCNAME && next && next->kind == TOK_STAR && byte_after(p, t) == ':') {
                // "p:*": the tokenizer swallowed the colon.
                tests.append(":*", 2);
                p->pos++;
            } else if (next && next->kind == TOK_COLON) {
                const quorvel_xpath_token* local = peek(p, 1);
                if (!local || !(local->kind == TOK_STAR || is_name(local->kind))) {
                    ast_node_free(x);
                    return nullptr;
                }
                tests.append(':');
                tests.append(local);
                p->pos += 2;
            }
        } else {
            ast_node_free(x);
            return nullptr;
        }
        if (kind_at(p) != TOK_LBRACE) {
            ast_node_free(x);
            return nullptr;
        }
        p->pos++;
        if (!add(x, parse_expr(p))) return nullptr;
        if (kind_at(p) != TOK_RBRACE) {
            ast_node_free(x);
            return nullptr;
        }
        p->pos++;
    }
    if (!catches) {
        ast_node_free(x);
        return nullptr;
    }
    x->text = tests.take();
    if (!x->text) {
        ast_node_free(x);
        return nullptr;
    }
    return x;
}

node* parse_inline_function(parser_t* p) {
    p->pos += 2;  // function (
    text_buffer params;
    size_t count = 0;
    if (kind_at(p) != TOK_RPAREN) {
        for (;;) {
            if (kind_at(p) != TOK_DOLLAR || !is_name(kind_at(p, 1))) return nullptr;
            if (count++) params.append('\x01');
            params.append(peek(p, 1));
            p->pos += 2;
            if (word_at(p, 0, "as")) {
                p->pos++;
                char* type = parse_sequence_type(p);
                if (!type) return nullptr;
                std::free(type);
            }
            if (kind_at(p) != TOK_COMMA) break;
            p->pos++;
        }
    }
    if (kind_at(p) != TOK_RPAREN) return nullptr;
    p->pos++;
    if (word_at(p, 0, "as")) {
        p->pos++;
        char* type = parse_sequence_type(p);
        if (!type) return nullptr;
        std::free(type);
    }
    if (kind_at(p) != TOK_LBRACE) return nullptr;
    p->pos++;
    node* x = new_op(OP_INLINE_FUNCTION);
    if (!x) return nullptr;
    // The body is an expression list, empty or with commas.
    node* body = kind_at(p) == TOK_RBRACE ? new_op(OP_SEQUENCE) : parse_expr(p);
    if (body && kind_at(p) == TOK_COMMA) {
        node* seq = new_op(OP_SEQUENCE);
        if (!seq) {
            ast_node_free(body);
            body = nullptr;
        } else if (add(seq, body)) {
            body = seq;
            while (body && kind_at(p) == TOK_COMMA) {
                p->pos++;
                if (!add(body, parse_expr(p))) body = nullptr;
            }
        } else {
            body = nullptr;
        }
    }
    if (!add(x, body)) return nullptr;
    if (kind_at(p) != TOK_RBRACE) {
        ast_node_free(x);
        return nullptr;
    }
    p->pos++;
    x->text = params.take();
    if (!x->text) {
        ast_node_free(x);
        return nullptr;
    }
    return x;
}

node* parse_map_constructor(parser_t* p) {
    p->pos += 2;  // map {
    node* x = new_op(OP_MAP);
    if (!x) return nullptr;
    if (kind_at(p) != TOK_RBRACE) {
        for (;;) {
            if (!add(x, parse_expr(p))) return nullptr;
            if (kind_at(p) != TOK_COLON) {
                ast_node_free(x);
                return nullptr;
            }
            p->pos++;
            if (!add(x, parse_expr(p))) return nullptr;
            if (kind_at(p) != TOK_COMMA) break;
            p->pos++;
        }
    }
    if (kind_at(p) != TOK_RBRACE) {
        ast_node_free(x);
        return nullptr;
    }
    p->pos++;
    return x;
}

// Expressions separated by "," up to the closing token (consumed); none
// when it follows at once.
bool parse_member_list(parser_t* p, node* x, int32_t close, const char* message) {
    if (kind_at(p) != close) {
        for (;;) {
            node* member = parse_expr(p);
            if (!member || !ast_node_add_child(x, member)) {
                ast_node_free(member);
                return false;
            }
            if (kind_at(p) != TOK_COMMA) break;
            p->pos++;
        }
    }
    if (message) return consume_token(p, close, message) != 0;
    if (kind_at(p) != close) return false;
    p->pos++;
    return true;
}

node* parse_array(parser_t* p, bool curly) {
    p->pos += curly ? 2 : 1;
    node* x = new_op(curly ? OP_CURLY_ARRAY : OP_ARRAY);
    if (!x) return nullptr;
    if (!parse_member_list(p, x, curly ? TOK_RBRACE : TOK_RBRACKET,
                           curly ? "Expected '}' after array content" : "Expected ']' after array members")) {
        ast_node_free(x);
        return nullptr;
    }
    return x;
}

// Computed constructors; name_token is the name of element, attribute and
// processing-instruction constructors, else NULL.
node* parse_constructor(parser_t* p, int32_t op, const quorvel_xpath_token* name_token, bool many) {
    p->pos += name_token ? 3 : 2;
    node* x = new_op(op);
    if (!x) return nullptr;
    if (name_token) {
        if (name_token->length > 127) {
            ast_node_free(x);
            return nullptr;
        }
        x->text = copy_bytes(name_token->start, name_token->length);
        if (!x->text) {
            ast_node_free(x);
            return nullptr;
        }
    }
    if (many) {
        if (!parse_member_list(p, x, TOK_RBRACE, nullptr)) {
            ast_node_free(x);
            return nullptr;
        }
        return x;
    }
    node* content = kind_at(p) == TOK_RBRACE ? new_op(OP_SEQUENCE) : parse_expr(p);
    if (!add(x, content)) return nullptr;
    if (kind_at(p) != TOK_RBRACE) {
        ast_node_free(x);
        return nullptr;
    }
    p->pos++;
    return x;
}

bool constructor_name(const quorvel_xpath_token* t) {
    if (!t) return false;
    if (is_name(t->kind)) return true;
    unsigned char c = t->length ? static_cast<unsigned char>(t->start[0]) : 0;
    return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}

// ---- Steps, paths and primaries ------------------------------------------------------------------

node* descendant_or_self_step() {
    node* step = new_text_node(AST_STEP, "descendant-or-self", 18);
    if (!step) return nullptr;
    step->axis = AXIS_DESCENDANT_OR_SELF;
    node* test = new_text_node(AST_KIND_TEST, "node", 4);
    if (!add(step, test)) return nullptr;
    return step;
}

node* parse_node_test(parser_t* p) {
    const quorvel_xpath_token* t = peek(p);
    if (!t) {
        quorvel_set_last_error("Expected node test, got end of expression");
        fail(p, "Expected node test at EOF");
        return nullptr;
    }
    if (is_kind_test(t->kind)) {
        p->pos++;
        node* test = new_text_node(AST_KIND_TEST, t->start, t->length);
        if (!test) return nullptr;
        if (!consume_token(p, TOK_LPAREN, "Expected '(' after node type")) {
            ast_node_free(test);
            return nullptr;
        }
        if (kind_at(p) == TOK_STRING) {
            const quorvel_xpath_token* s = peek(p);
            const char* v = s->start;
            size_t n = s->length;
            if (n >= 2 && v[0] == v[n - 1]) {
                v++;
                n -= 2;
            }
            test->local_name = copy_bytes(v, n);
            if (!test->local_name) {
                ast_node_free(test);
                return nullptr;
            }
            p->pos++;
        }
        if (!consume_token(p, TOK_RPAREN, "Expected ')' after node type")) {
            ast_node_free(test);
            return nullptr;
        }
        return test;
    }
    if (t->kind == TOK_STAR) {
        // "*:local": any namespace, that local name. The three tokens must
        // touch: "* : a" is no name test.
        const quorvel_xpath_token* colon = peek(p, 1);
        const quorvel_xpath_token* local = peek(p, 2);
        if (colon && local && colon->kind == TOK_COLON && colon->start == t->start + 1 &&
            (local->kind == TOK_NCNAME || is_operator_word(local->kind)) && local->start == colon->start + 1) {
            p->pos += 3;
            node* test = new_text_node(AST_NAME_TEST, t->start, 2 + local->length);
            if (!test) return nullptr;
            test->prefix = copy_bytes("*", 1);
            test->local_name = copy_bytes(local->start, local->length);
            if (!test->prefix || !test->local_name) {
                ast_node_free(test);
                return nullptr;
            }
            return test;
        }
        p->pos++;
        return ast_node_new(AST_WILDCARD);
    }
    if (t->kind == TOK_NCNAME && kind_at(p, 1) == TOK_STAR && byte_after(p, t) == ':') {
        const char* q = t->start + t->length + 1;
        while (q < p->lexer->end && (*q == ' ' || (*q >= '\t' && *q <= '\r'))) q++;
        if (q < p->lexer->end && *q == '*') {
            p->pos += 2;
            node* test = new_text_node(AST_WILDCARD, "*", 1);
            if (!test) return nullptr;
            test->prefix = copy_bytes(t->start, t->length);
            if (!test->prefix) {
                ast_node_free(test);
                return nullptr;
            }
            return test;
        }
    }
    if (is_name(t->kind) || is_operator_word(t->kind)) {
        p->pos++;
        node* test = new_text_node(AST_NAME_TEST, t->start, t->length);
        if (!test) return nullptr;
        const char* colon = t->kind == TOK_QNAME ? static_cast<const char*>(std::memchr(t->start, ':', t->length))
                                                 : nullptr;
        if (t->kind == TOK_QNAME && t->length > 2 && t->start[0] == 'Q' && t->start[1] == '{') {
            // Q{uri}local: the prefix is kept as "Q{uri", which the prefix
            // resolver answers with the URI itself.
            colon = static_cast<const char*>(std::memchr(t->start, '}', t->length));
        }
        if (colon) {
            test->prefix = copy_bytes(t->start, static_cast<size_t>(colon - t->start));
            test->local_name = copy_bytes(colon + 1, static_cast<size_t>(t->start + t->length - colon - 1));
        } else {
            test->local_name = copy_bytes(t->start, t->length);
        }
        if (!test->local_name || (colon && !test->prefix)) {
            ast_node_free(test);
            return nullptr;
        }
        return test;
    }
    quorvel_set_last_error("Expected node test");
    fail(p, "Expected node test at line %d, column %d", t->line, t->column);
    return nullptr;
}

bool parse_predicates(parser_t* p, node* target) {
    while (kind_at(p) == TOK_LBRACKET) {
        p->pos++;
        node* predicate = parse_expr(p);
        if (!predicate) return false;
        if (!ast_node_add_child(target, predicate)) {
            ast_node_free(predicate);
            return false;
        }
        if (!consume_token(p, TOK_RBRACKET, "Expected ']' to end predicate")) return false;
    }
    return true;
}

node* parse_step(parser_t* p) {
    const quorvel_xpath_token* t = peek(p);
    int32_t k = t ? t->kind : -1;
    if (k == TOK_DOT || k == TOK_DOUBLE_DOT) {
        p->pos++;
        bool self = k == TOK_DOT;
        node* step = self ? new_text_node(AST_STEP, "self", 4) : new_text_node(AST_STEP, "parent", 6);
        if (!step) return nullptr;
        step->axis = self ? AXIS_SELF : AXIS_PARENT;
        // ".." is parent::node(): the parent of a top-level node is the
        // document node, which no element test would pass.
        node* test = new_text_node(AST_KIND_TEST, "node", 4);
        if (!add(step, test)) return nullptr;
        // "a/.[1]" and "..[@id]" filter the one node they name.
        if (!parse_predicates(p, step)) {
            ast_node_free(step);
            return nullptr;
        }
        return step;
    }
    node* step;
    if (k == TOK_AT) {
        p->pos++;
        step = new_text_node(AST_STEP, "attribute", 9);
        if (step) step->axis = AXIS_ATTRIBUTE;
    } else if (is_axis(k)) {
        p->pos++;
        step = new_text_node(AST_STEP, t->start, t->length);
        if (step) step->axis = k - TOK_AXIS_FIRST;
        if (step && !consume_token(p, TOK_DOUBLE_COLON, "Expected '::' after axis name")) {
            ast_node_free(step);
            return nullptr;
        }
    } else {
        step = new_text_node(AST_STEP, "child", 5);
    }
    if (!step) return nullptr;
    if (!add(step, parse_node_test(p))) return nullptr;
    if (!parse_predicates(p, step)) {
        ast_node_free(step);
        return nullptr;
    }
    return step;
}

bool function_call_ahead(const parser_t* p) { return is_name(kind_at(p)) && kind_at(p, 1) == TOK_LPAREN; }

// A relative path (kind 2) of "//"'s inserted step (when asked) and one step.
node* path_of_next_step(parser_t* p, bool descendant) {
    node* rel = ast_node_new(AST_RELATIVE_PATH);
    if (!rel) return nullptr;
    if (descendant && !add(rel, descendant_or_self_step())) return nullptr;
    if (!add(rel, parse_step(p))) return nullptr;
    return rel;
}

node* parse_relative_location_path(parser_t* p) {
    node* rel = ast_node_new(AST_RELATIVE_PATH);
    if (!rel) return nullptr;
    if (!add(rel, parse_step(p))) return nullptr;
    node* tree = rel;   // the whole path so far
    bool map_mode = false;
    while (kind_at(p) == TOK_SLASH || kind_at(p) == TOK_DOUBLE_SLASH) {
        bool descendant = kind_at(p) == TOK_DOUBLE_SLASH;
        p->pos++;
        if (!map_mode && function_call_ahead(p)) {
            // "a//f()" keeps its descendant-or-self step: f maps over every
            // node below a, not over a alone.
            if (descendant && !add(rel, descendant_or_self_step())) return nullptr;
            const quorvel_xpath_token* name = peek(p);
            if (rel->count == 1) {
                // A one-step path stands as the bare step.
                tree = rel->children[0];
                rel->count = 0;
                ast_node_free(rel);
                rel = nullptr;
            }
            tree = binary(OP_SIMPLE_MAP, tree, parse_function_call(p, name->start, name->length));
            if (!tree) return nullptr;
            map_mode = true;
            continue;
        }
        if (map_mode) {
            tree = binary(OP_SIMPLE_MAP, tree, path_of_next_step(p, descendant));
            if (!tree) return nullptr;
            continue;
        }
        if (descendant && !add(rel, descendant_or_self_step())) return nullptr;
        if (!add(rel, parse_step(p))) return nullptr;
    }
    return tree;
}

// The slot of a map chain that holds its leftmost operand (a relative path
// or a bare step).
node** leftmost_slot(node* chain) {
    node* holder = chain;
    while (holder->children[0]->type == AST_OPERATOR) holder = holder->children[0];
    return &holder->children[0];
}

// Heights along the chain's leftmost edge after its leftmost operand changed.
void fix_left_heights(node* chain) {
    node* path[kXpathMaxNesting + 1];
    size_t n = 0;
    for (node* x = chain; x->type == AST_OPERATOR && n <= static_cast<size_t>(kXpathMaxNesting); x = x->children[0])
        path[n++] = x;
    while (n-- > 0)
        if (path[n]->height < path[n]->children[0]->height + 1) path[n]->height = path[n]->children[0]->height + 1;
}

// Moves the steps of the leftmost path inside a map chain into the absolute
// node, which then takes that path's place.
bool merge_absolute(node* absolute, node* chain) {
    node** slot = leftmost_slot(chain);
    node* first = *slot;
    if (first->type == AST_RELATIVE_PATH) {
        for (size_t i = 0; i < first->count; i++) {
            if (!ast_node_add_child(absolute, first->children[i])) return false;
            first->children[i] = nullptr;
        }
        ast_node_free(first);
    } else {
        if (!ast_node_add_child(absolute, first)) return false;
    }
    *slot = absolute;
    fix_left_heights(chain);
    return true;
}

// Whether the token at the current position can begin a step of a path.
bool step_start(const parser_t* p) {
    int32_t k = kind_at(p);
    switch (k) {
    case TOK_NCNAME: case TOK_QNAME: case TOK_STAR: case TOK_AT: case TOK_DOT: case TOK_DOUBLE_DOT:
        return true;
    default:
        return is_kind_test(k) || is_operator_word(k) || is_axis(k);
    }
}

node* parse_location_path(parser_t* p) {
    int32_t k = kind_at(p);
    if (k == TOK_SLASH || k == TOK_DOUBLE_SLASH) {
        p->pos++;
        node* absolute = ast_node_new(AST_ABSOLUTE_PATH);
        if (!absolute) return nullptr;
        if (k == TOK_SLASH) {
            // A lone "/" is the document node: so it is whenever the next
            // token cannot begin a step ("/ < 5", "/ = $a", "(/, 1)").
            if (!step_start(p)) return absolute;
        } else if (kind_at(p) == TOK_STAR && kind_at(p, 1) != TOK_LBRACKET && kind_at(p, 1) != TOK_COLON) {
            // "//*" as one step; with predicates it keeps the general shape,
            // where a position counts among the children of one parent.
            p->pos++;
            node* step = new_text_node(AST_STEP, "descendant-or-self", 18);
            if (step) step->axis = AXIS_DESCENDANT_OR_SELF;
            if (!step || !add(step, ast_node_new(AST_WILDCARD)) || !add(absolute, step)) {
                if (!step) ast_node_free(absolute);
                return nullptr;
            }
            return parse_path_continuation(p, absolute);
        } else {
            if (!add(absolute, descendant_or_self_step())) return nullptr;
        }
        node* rel = parse_relative_location_path(p);
        if (!rel) {
            ast_node_free(absolute);
            return nullptr;
        }
        if (rel->type == AST_OPERATOR) {
            if (!merge_absolute(absolute, rel)) {
                ast_node_free(absolute);
                ast_node_free(rel);
                return nullptr;
            }
            return rel;
        }
        if (!add(absolute, rel)) return nullptr;
        return absolute;
    }
    node* rel = parse_relative_location_path(p);
    if (rel && rel->type == AST_RELATIVE_PATH && rel->count == 1) {
        node* only = rel->children[0];
        rel->count = 0;
        ast_node_free(rel);
        return only;
    }
    return rel;
}

node* parse_function_call(parser_t* p, const char* name, size_t length) {
    node* call = new_text_node(AST_FUNCTION_CALL, name, length);
    if (!call) return nullptr;
    p->pos++;  // the name
    size_t placeholders = 0;
    if (!consume_token(p, TOK_LPAREN, "Expected '(' after function name") ||
        !parse_arguments(p, call, "Expected ')' after function arguments", &placeholders)) {
        ast_node_free(call);
        return nullptr;
    }
    if (!placeholders) return call;
    text_buffer params;
    for (size_t i = 1; i <= placeholders; i++) {
        char buf[32];
        int n = std::snprintf(buf, sizeof buf, "%s%%%zu", i > 1 ? "\x01" : "", i);
        params.append(buf, static_cast<size_t>(n));
    }
    node* fn = new_op(OP_INLINE_FUNCTION);
    if (!fn) {
        ast_node_free(call);
        return nullptr;
    }
    fn->text = params.take();
    if (!fn->text) {
        ast_node_free(call);
        ast_node_free(fn);
        return nullptr;
    }
    if (!add(fn, call)) return nullptr;
    return fn;
}

// "?key" after e (the token at p is the "?"). The lookup node holds e as
// its first child and the key as its text; "?*" has no text and no second
// child, "?(expr)" has the key expression as its second child.
node* parse_lookup(parser_t* p, node* e) {
    const quorvel_xpath_token* key = peek(p, 1);
    int32_t k = key ? key->kind : -1;
    bool integer = k == TOK_NUMBER;
    for (size_t i = 0; integer && i < key->length; i++) integer = key->start[i] >= '0' && key->start[i] <= '9';
    if (!(k == TOK_NCNAME || integer || k == TOK_STAR || k == TOK_LPAREN)) {
        const quorvel_xpath_token* at = peek(p);
        fail(p, "Expected a key after '?' at line %d, column %d", at->line, at->column);
        ast_node_free(e);
        return nullptr;
    }
    p->pos += k == TOK_LPAREN ? 1 : 2;
    // The key is kept whole: a shortened key would look up another entry.
    node* lookup = k == TOK_NCNAME || integer ? new_text_node(AST_OPERATOR, key->start, key->length)
                                                 : ast_node_new(AST_OPERATOR);
    if (!lookup) {
        ast_node_free(e);
        return nullptr;
    }
    lookup->number = OP_LOOKUP;
    if (!add(lookup, e)) return nullptr;
    if (k == TOK_LPAREN && !add(lookup, parse_parenthesized(p))) return nullptr;
    return lookup;
}

node* parse_postfix_ops(parser_t* p, node* e) {
    while (e) {
        int32_t k = kind_at(p);
        if (k == TOK_LBRACKET) {
            p->pos++;
            node* predicate = parse_expr(p);
            if (!predicate) {
                ast_node_free(e);
                return nullptr;
            }
            node* filter = ast_node_new(AST_FILTER);
            if (!filter) {
                ast_node_free(predicate);
                ast_node_free(e);
                return nullptr;
            }
            if (!add(filter, e)) {
                ast_node_free(predicate);
                return nullptr;
            }
            if (!add(filter, predicate)) return nullptr;
            e = filter;
            if (!consume_token(p, TOK_RBRACKET, "Expected ']' to end predicate")) {
                ast_node_free(e);
                return nullptr;
            }
        } else if (k == TOK_QUESTION) {
            e = parse_lookup(p, e);
            if (!e) return nullptr;
        } else if (k == TOK_LPAREN) {
            p->pos++;
            node* call = new_op(OP_DYNAMIC_CALL);
            if (!call) {
                ast_node_free(e);
                return nullptr;
            }
            if (!add(call, e)) return nullptr;
            if (!parse_arguments(p, call, nullptr, nullptr)) {
                ast_node_free(call);
                return nullptr;
            }
            e = call;
        } else {
            break;
        }
    }
    return e;
}

// Puts step first in the leftmost path of tree (a relative path, or a map
// chain whose leftmost operand is a relative path or a bare step).
bool prepend_step(node* tree, node* step) {
    if (!step) return false;
    node** slot = tree->type == AST_OPERATOR ? leftmost_slot(tree) : nullptr;
    node* rel = slot ? *slot : tree;
    if (rel->type != AST_RELATIVE_PATH) {
        node* wrap = ast_node_new(AST_RELATIVE_PATH);
        if (!wrap || !ast_node_add_child(wrap, step)) {
            ast_node_free(wrap);
            ast_node_free(step);
            return false;
        }
        if (!ast_node_add_child(wrap, rel)) {
            ast_node_free(wrap);
            return false;
        }
        *slot = wrap;
        fix_left_heights(tree);
        return true;
    }
    if (!ast_node_add_child(rel, step)) {
        ast_node_free(step);
        return false;
    }
    std::memmove(rel->children + 1, rel->children, (rel->count - 1) * sizeof(node*));
    rel->children[0] = step;
    if (slot) fix_left_heights(tree);
    return true;
}

node* parse_path_continuation(parser_t* p, node* e) {
    if (!e) return nullptr;
    int32_t k = kind_at(p);
    if (k != TOK_SLASH && k != TOK_DOUBLE_SLASH) return e;
    bool descendant = k == TOK_DOUBLE_SLASH;
    p->pos++;
    if (!function_call_ahead(p)) {
        node* path = ast_node_new(AST_FILTER_PATH);
        if (!path) {
            ast_node_free(e);
            return nullptr;
        }
        if (!add(path, e)) return nullptr;
        if (descendant && !add(path, descendant_or_self_step())) return nullptr;
        if (!add(path, parse_relative_location_path(p))) return nullptr;
        return path;
    }
    if (descendant) {
        // "E//f()" maps f over every node below E, not over E alone.
        node* below = ast_node_new(AST_FILTER_PATH);
        if (!below) {
            ast_node_free(e);
            return nullptr;
        }
        if (!add(below, e)) return nullptr;
        node* rel = ast_node_new(AST_RELATIVE_PATH);
        if (!rel) {
            ast_node_free(below);
            return nullptr;
        }
        if (!add(rel, descendant_or_self_step())) {
            ast_node_free(below);
            return nullptr;
        }
        if (!add(below, rel)) return nullptr;
        e = below;
    }
    const quorvel_xpath_token* name = peek(p);
    node* map = binary(OP_SIMPLE_MAP, e, parse_function_call(p, name->start, name->length));
    if (!map) return nullptr;
    k = kind_at(p);
    if (k != TOK_SLASH && k != TOK_DOUBLE_SLASH) return map;
    p->pos++;
    node* rest = parse_relative_location_path(p);
    if (!rest) {
        ast_node_free(map);
        return nullptr;
    }
    if (k == TOK_DOUBLE_SLASH && !prepend_step(rest, descendant_or_self_step())) {
        ast_node_free(rest);
        ast_node_free(map);
        return nullptr;
    }
    return binary(OP_SIMPLE_MAP, map, rest);
}

node* parse_function_reference(parser_t* p) {
    const quorvel_xpath_token* name = peek(p);
    const quorvel_xpath_token* arity = peek(p, 2);
    if (!arity || arity->kind != TOK_NUMBER || name->length > 127 || name->length + 1 + arity->length > 159)
        return nullptr;
    p->pos += 3;
    char buf[160];
    int n = std::snprintf(buf, sizeof buf, "%.*s#%.*s", static_cast<int>(name->length), name->start,
                          static_cast<int>(arity->length), arity->start);
    node* x = new_text_node(AST_OPERATOR, buf, static_cast<size_t>(n));
    if (x) x->number = OP_FUNCTION_REF;
    return parse_postfix_ops(p, x);
}

node* parse_parenthesized(parser_t* p) {
    p->pos++;  // (
    if (kind_at(p) == TOK_RPAREN) {
        p->pos++;
        return new_op(OP_SEQUENCE);
    }
    node* first = parse_expr(p);
    if (!first) return nullptr;
    if (kind_at(p) != TOK_COMMA) {
        if (!consume_token(p, TOK_RPAREN, "Expected ')' after expression")) {
            ast_node_free(first);
            return nullptr;
        }
        return first;
    }
    node* seq = new_op(OP_SEQUENCE);
    if (!seq) {
        ast_node_free(first);
        return nullptr;
    }
    if (!add(seq, first)) return nullptr;
    while (kind_at(p) == TOK_COMMA) {
        p->pos++;
        if (!add(seq, parse_expr(p))) return nullptr;
    }
    if (!consume_token(p, TOK_RPAREN, "Expected ')' after sequence")) {
        ast_node_free(seq);
        return nullptr;
    }
    return seq;
}

node* postfix_and_continuation(parser_t* p, node* e) { return parse_path_continuation(p, parse_postfix_ops(p, e)); }

node* parse_keyword_expr(parser_t* p, bool* matched) {
    *matched = true;
    int32_t next = kind_at(p, 1);
    if (next == TOK_DOLLAR) {
        if (word_at(p, 0, "for")) return postfix_and_continuation(p, parse_for_expr(p));
        if (word_at(p, 0, "let")) return postfix_and_continuation(p, parse_let_expr(p));
        if (word_at(p, 0, "some")) return postfix_and_continuation(p, parse_quantified_expr(p, OP_SOME));
        if (word_at(p, 0, "every")) return postfix_and_continuation(p, parse_quantified_expr(p, OP_EVERY));
    } else if (next == TOK_LPAREN) {
        if (word_at(p, 0, "if")) return postfix_and_continuation(p, parse_if_expr(p));
        if (word_at(p, 0, "switch")) return postfix_and_continuation(p, parse_switch_expr(p));
        if (word_at(p, 0, "typeswitch")) return parse_postfix_ops(p, parse_typeswitch_expr(p));
        if (word_at(p, 0, "function")) return parse_postfix_ops(p, parse_inline_function(p));
    } else if (next == TOK_LBRACE) {
        if (word_at(p, 0, "map")) return postfix_and_continuation(p, parse_map_constructor(p));
        if (word_at(p, 0, "array")) return postfix_and_continuation(p, parse_array(p, true));
        if (word_at(p, 0, "try")) return parse_postfix_ops(p, parse_try_expr(p));
        if (word_at(p, 0, "document")) return postfix_and_continuation(p, parse_constructor(p, OP_DOCUMENT, nullptr, true));
        if (word_at(p, 0, "text")) return parse_postfix_ops(p, parse_constructor(p, OP_TEXT, nullptr, false));
        if (word_at(p, 0, "comment")) return parse_postfix_ops(p, parse_constructor(p, OP_COMMENT, nullptr, false));
    } else if (kind_at(p, 2) == TOK_LBRACE) {
        const quorvel_xpath_token* name = peek(p, 1);
        if ((word_at(p, 0, "element") || word_at(p, 0, "attribute")) && constructor_name(name))
            return parse_postfix_ops(
                p, parse_constructor(p, word_at(p, 0, "element") ? OP_ELEMENT : OP_ATTRIBUTE, name, true));
        if (word_at(p, 0, "processing-instruction") && is_name(name->kind))
            return parse_postfix_ops(p, parse_constructor(p, OP_PI, name, false));
    }
    *matched = false;
    return nullptr;
}

node* parse_path_expr(parser_t* p) {
    const quorvel_xpath_token* t = peek(p);
    if (!t) {
        quorvel_set_last_error("Unexpected end of XPath expression");
        fail(p, "Unexpected EOF in primary expression");
        return nullptr;
    }
    switch (t->kind) {
    case TOK_DOT:
        // The context item with a lookup or a filter after it: a primary,
        // not a step (the item may be atomic).
        if (kind_at(p, 1) == TOK_QUESTION || kind_at(p, 1) == TOK_LBRACKET)
            return postfix_and_continuation(p, parse_step(p));
        return parse_location_path(p);
    case TOK_QUESTION: {
        // A unary lookup applies to the context item.
        node* dot = new_text_node(AST_STEP, "self", 4);
        if (!dot) return nullptr;
        dot->axis = AXIS_SELF;
        if (!add(dot, new_text_node(AST_KIND_TEST, "node", 4))) return nullptr;
        return postfix_and_continuation(p, parse_lookup(p, dot));
    }
    case TOK_SLASH: case TOK_DOUBLE_SLASH: case TOK_AT: case TOK_DOUBLE_DOT: case TOK_STAR:
        return parse_location_path(p);
    case TOK_NCNAME: {
        bool matched;
        node* x = parse_keyword_expr(p, &matched);
        if (matched) return x;
        [[fallthrough]];
    }
    case TOK_QNAME:
        if (kind_at(p, 1) == TOK_HASH) return parse_function_reference(p);
        if (kind_at(p, 1) == TOK_LPAREN) return postfix_and_continuation(p, parse_function_call(p, t->start, t->length));
        return parse_location_path(p);
    case TOK_LPAREN:
        return postfix_and_continuation(p, parse_parenthesized(p));
    case TOK_LBRACKET:
        return parse_postfix_ops(p, parse_array(p, false));
    case TOK_STRING:
        return postfix_and_continuation(p, string_literal(p));
    case TOK_NUMBER:
        return postfix_and_continuation(p, number_literal(p));
    case TOK_DOLLAR: {
        const quorvel_xpath_token* name = peek(p, 1);
        if (!name || !is_name(name->kind)) {
            fail(p, "Expected variable name after $ at line %d, column %d", t->line, t->column);
            return nullptr;
        }
        p->pos += 2;
        return postfix_and_continuation(p, new_text_node(AST_VARIABLE, name->start, name->length));
    }
    default:
        break;
    }
    if (is_operator_word(t->kind) || is_axis(t->kind)) return parse_location_path(p);
    if (is_kind_test(t->kind) && kind_at(p, 1) == TOK_LPAREN) {
        node* step = new_text_node(AST_STEP, "child", 5);
        if (!step || !add(step, parse_node_test(p))) return nullptr;
        return postfix_and_continuation(p, step);
    }
    const char* name = xpath_token_kind_name(t->kind);
    quorvel_set_last_errorf("Unexpected token in primary expression: %s", name);
    fail(p, "Unexpected token %s at line %d, column %d in primary expression", name, t->line, t->column);
    return nullptr;
}

}  // namespace

// ---- Whole expressions ---------------------------------------------------------------------------

quorvel_xpath_ast_node* parse_expr(quorvel_xpath_parser* p) {
    if (++p->depth > kXpathMaxNesting) {
        p->depth--;
        fail_nested(p);
        return nullptr;
    }
    node* e = parse_or_expr(p);
    p->depth--;
    if (e && e->height > kXpathMaxNesting) {
        ast_node_free(e);
        fail_nested(p);
        return nullptr;
    }
    return e;
}

quorvel_xpath_ast_node* xpath_parse(quorvel_xpath_parser* p) {
    if (!p) return nullptr;
    // A lexical error fails the whole parse with its own message: the tokens
    // before it must not be taken for the expression.
    if (p->lexer && p->lexer->error[0]) {
        std::snprintf(p->error, sizeof p->error, "%s", p->lexer->error);
        return nullptr;
    }
    node* e = parse_expr(p);
    if (!e) return nullptr;
    if (kind_at(p) == TOK_COMMA) {
        node* seq = new_op(OP_SEQUENCE);
        if (!seq) {
            ast_node_free(e);
            return nullptr;
        }
        if (!add(seq, e)) return nullptr;
        while (kind_at(p) == TOK_COMMA) {
            p->pos++;
            if (!add(seq, parse_expr(p))) return nullptr;
        }
        e = seq;
        if (e->height > kXpathMaxNesting) {
            ast_node_free(e);
            fail_nested(p);
            return nullptr;
        }
    }
    const quorvel_xpath_token* t = peek(p);
    if (!t) {
        fail(p, "Unexpected token after expression");
        ast_node_free(e);
        return nullptr;
    }
    if (t->kind != TOK_EOF) {
        const char* name = xpath_token_kind_name(t->kind);
        quorvel_set_last_errorf("Unexpected token after expression: %s", name);
        fail(p, "Unexpected token after expression: %s at line %d, column %d", name, t->line, t->column);
        ast_node_free(e);
        return nullptr;
    }
    return e;
}

quorvel_xpath_ast_node* xpath_parse_text(const char* text, size_t length, char* message, size_t message_size) {
    if (message && message_size) message[0] = '\0';
    quorvel_xpath_parser* p = xpath_parser_new(text, length);
    if (!p) return nullptr;
    node* tree = xpath_parse(p);
    if (!tree && message && message_size)
        std::snprintf(message, message_size, "%s", p->error[0] ? p->error : "XPath syntax error");
    xpath_parser_free(p);
    return tree;
}
