// The XPath 1.0 string functions and their 2.0 companions: string-length,
// translate, upper-case, lower-case, normalize-space, concat, starts-with,
// ends-with, contains, substring, substring-before, substring-after and
// string-join. Texts are UTF-8; characters are counted by their lead bytes.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "xpath_functions/functions.h"

namespace {

using ast = quorvel_xpath_ast_node;
using result = quorvel_xpath_result;

constexpr const char* kCodepointCollation = "http://www.w3.org/2005/xpath-functions/collation/codepoint";
constexpr const char* kHtmlAsciiCollation = "http://www.w3.org/2005/xpath-functions/collation/html-ascii-case-insensitive";

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

result* guard_fail(quorvel_xpath_context* c, const char* message) {
    xpath_context_fail(c, "%s", message);
    return nullptr;
}

// Bytes of the character that starts at p, never past the terminating NUL:
// a sequence cut short counts as one byte.
size_t char_length(const unsigned char* p) {
    unsigned char b = *p;
    size_t n = b < 0x80 ? 1 : b >= 0xC0 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF7 ? 4 : 1;
    for (size_t i = 1; i < n; i++)
        if (!p[i]) return 1;
    return n;
}

uint32_t code_point(const unsigned char* p, size_t n) {
    switch (n) {
    case 2: return (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
    case 3: return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    case 4: return (p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
    default: return p[0];
    }
}

// The string of the context node, or of the one argument.
char* context_or_argument(quorvel_xpath_context* c, ast** args, size_t n) {
    if (n == 1) return fn_arg_string(c, args[0]);
    if (!is_item(c->node)) {
        char* empty = static_cast<char*>(std::calloc(1, 1));
        if (!empty) xpath_context_fail(c, "Out of memory");
        return empty;
    }
    char* t = get_node_text(c->node);
    if (!t) xpath_context_fail(c, "Out of memory");
    return t;
}

bool is_space(unsigned char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f'; }

unsigned char fold(unsigned char ch) { return ch >= 'A' && ch <= 'Z' ? ch + 32 : ch; }

bool equal_bytes(const char* a, const char* b, size_t n, bool folded) {
    if (!folded) return !std::memcmp(a, b, n);
    for (size_t i = 0; i < n; i++)
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

}  // namespace

quorvel_xpath_result* xpath_func_string_length(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n > 1) return guard_fail(c, "string-length() requires 0 or 1 argument");
    char* s = context_or_argument(c, args, n);
    if (!s) return nullptr;
    size_t count = 0;
    for (const auto* p = reinterpret_cast<const unsigned char*>(s); *p; p += char_length(p)) count++;
    std::free(s);
    return fn_number_result(c, static_cast<double>(count));
}

quorvel_xpath_result* xpath_func_translate(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n != 3) return guard_fail(c, "translate() requires exactly 3 arguments");
    char* texts[3] = {nullptr, nullptr, nullptr};
    for (size_t i = 0; i < 3; i++) {
        texts[i] = fn_arg_string(c, args[i]);
        if (!texts[i]) {
            for (size_t j = 0; j < i; j++) std::free(texts[j]);
            return nullptr;
        }
    }
    const auto* s = reinterpret_cast<const unsigned char*>(texts[0]);
    const auto* from = reinterpret_cast<const unsigned char*>(texts[1]);
    const auto* to = reinterpret_cast<const unsigned char*>(texts[2]);
    // The mapping: code point of each distinct from-character, and the
    // to-character at its index (length 0 deletes).
    size_t from_bytes = std::strlen(texts[1]);
    struct mapping {
        uint32_t cp;
        const unsigned char* bytes;
        size_t length;
    };
    auto* map = static_cast<mapping*>(std::malloc((from_bytes + 1) * sizeof(mapping)));
    size_t s_bytes = std::strlen(texts[0]);
    // Each character becomes at most four bytes.
    auto* out = static_cast<char*>(std::malloc(4 * (s_bytes + 1)));
    if (!map || !out) {
        std::free(map);
        std::free(out);
        for (char* t : texts) std::free(t);
        return guard_fail(c, "Out of memory");
    }
    size_t count = 0;
    const unsigned char* tp = to;
    for (const unsigned char* p = from; *p;) {
        size_t len = char_length(p);
        uint32_t cp = code_point(p, len);
        const unsigned char* target = *tp ? tp : nullptr;
        size_t target_len = target ? char_length(tp) : 0;
        if (target) tp += target_len;
        bool seen = false;
        for (size_t k = 0; k < count && !seen; k++) seen = map[k].cp == cp;
        if (!seen) map[count++] = {cp, target, target_len};
        p += len;
    }
    size_t o = 0;
    for (const unsigned char* p = s; *p;) {
        size_t len = char_length(p);
        uint32_t cp = code_point(p, len);
        const mapping* m = nullptr;
        for (size_t k = 0; k < count && !m; k++)
            if (map[k].cp == cp) m = &map[k];
        if (!m) {
            std::memcpy(out + o, p, len);
            o += len;
        } else if (m->length) {
            std::memcpy(out + o, m->bytes, m->length);
            o += m->length;
        }
        p += len;
    }
    out[o] = '\0';
    std::free(map);
    for (char* t : texts) std::free(t);
    return fn_string_result_take(c, out);
}

namespace {

result* change_case(quorvel_xpath_context* c, ast** args, size_t n, bool upper) {
    if (!c) return nullptr;
    if (n != 1) return guard_fail(c, upper ? "upper-case() requires exactly 1 argument" : "lower-case() requires exactly 1 argument");
    char* s = fn_arg_string(c, args[0]);
    if (!s) return nullptr;
    for (char* p = s; *p; p++) {
        if (upper && *p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 32);
        else if (!upper && *p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + 32);
    }
    return fn_string_result_take(c, s);
}

}  // namespace

quorvel_xpath_result* xpath_func_upper_case(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return change_case(c, args, n, true);
}

quorvel_xpath_result* xpath_func_lower_case(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return change_case(c, args, n, false);
}

quorvel_xpath_result* xpath_func_normalize_space(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n > 1) return guard_fail(c, "normalize-space() requires 0 or 1 argument");
    char* s = context_or_argument(c, args, n);
    if (!s) return nullptr;
    // In place: the text only shrinks.
    size_t o = 0;
    bool pending = false;
    for (const char* p = s; *p; p++) {
        if (is_space(static_cast<unsigned char>(*p))) {
            pending = o != 0;
            continue;
        }
        if (pending) s[o++] = ' ';
        pending = false;
        s[o++] = *p;
    }
    s[o] = '\0';
    return fn_string_result_take(c, s);
}

quorvel_xpath_result* xpath_func_concat(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n < 2) return guard_fail(c, "concat() requires at least 2 arguments");
    fn_text out;
    for (size_t i = 0; i < n; i++) {
        char* part = fn_arg_string(c, args[i]);
        if (!part) return nullptr;
        out.append(part);
        std::free(part);
    }
    char* joined = out.take();
    if (!joined) return guard_fail(c, "Out of memory");
    return fn_string_result_take(c, joined);
}

namespace {

enum match_kind { kStartsWith, kEndsWith, kContains };

result* match_function(quorvel_xpath_context* c, ast** args, size_t n, match_kind kind, const char* name) {
    if (!c) return nullptr;
    if (n != 2 && n != 3) {
        xpath_context_fail(c, "%s() requires 2 or 3 arguments, got %zu", name, n);
        return nullptr;
    }
    char* s = fn_arg_string(c, args[0]);
    if (!s) return nullptr;
    char* t = fn_arg_string(c, args[1]);
    if (!t) {
        std::free(s);
        return nullptr;
    }
    bool folded = false;
    if (n == 3) {
        char* collation = fn_arg_string(c, args[2]);
        if (!collation || (std::strcmp(collation, kCodepointCollation) && std::strcmp(collation, kHtmlAsciiCollation))) {
            if (collation) xpath_context_fail(c, "unknown collation %s", collation);
            std::free(collation);
            std::free(s);
            std::free(t);
            return nullptr;
        }
        folded = !std::strcmp(collation, kHtmlAsciiCollation);
        std::free(collation);
    }
    size_t ns = std::strlen(s), nt = std::strlen(t);
    bool found = false;
    if (nt == 0) {
        found = true;
    } else if (nt <= ns) {
        switch (kind) {
        case kStartsWith: found = equal_bytes(s, t, nt, folded); break;
        case kEndsWith: found = equal_bytes(s + ns - nt, t, nt, folded); break;
        case kContains:
            if (!folded) found = std::strstr(s, t) != nullptr;
            else
                for (size_t i = 0; i + nt <= ns && !found; i++) found = equal_bytes(s + i, t, nt, true);
            break;
        }
    }
    std::free(s);
    std::free(t);
    return fn_boolean_result(c, found);
}

// Rounds half up, keeping zero and the infinities.
double round_position(double v) {
    if (v == 0 || std::isinf(v)) return v;
    double f = std::floor(v);
    return v - f >= 0.5 ? f + 1 : f;
}

}  // namespace

quorvel_xpath_result* xpath_func_starts_with(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return match_function(c, args, n, kStartsWith, "starts-with");
}

quorvel_xpath_result* xpath_func_ends_with(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return match_function(c, args, n, kEndsWith, "ends-with");
}

quorvel_xpath_result* xpath_func_contains(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return match_function(c, args, n, kContains, "contains");
}

quorvel_xpath_result* xpath_func_substring(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n != 2 && n != 3) return guard_fail(c, "substring() requires 2 or 3 arguments");
    char* s = fn_arg_string(c, args[0]);
    if (!s) return nullptr;
    double start;
    if (!fn_arg_number(c, args[1], &start)) {
        std::free(s);
        return nullptr;
    }
    double length = INFINITY;
    if (!std::isnan(start) && n == 3 && !fn_arg_number(c, args[2], &length)) {
        std::free(s);
        return nullptr;
    }
    if (std::isnan(start) || std::isnan(length)) {
        s[0] = '\0';
        return fn_string_result_take(c, s);
    }
    start = round_position(start);
    double end = n == 3 ? start + round_position(length) : INFINITY;
    size_t o = 0;
    double position = 1;
    for (const auto* p = reinterpret_cast<const unsigned char*>(s); *p; position++) {
        size_t len = char_length(p);
        if (position >= start && position < end) {
            std::memmove(s + o, p, len);
            o += len;
        }
        p += len;
    }
    s[o] = '\0';
    return fn_string_result_take(c, s);
}

namespace {

result* before_or_after(quorvel_xpath_context* c, ast** args, size_t n, bool after) {
    if (!c) return nullptr;
    const char* name = after ? "substring-after" : "substring-before";
    if (n != 2 && n != 3) {
        xpath_context_fail(c, "%s() requires exactly 2 or 3 arguments", name);
        return nullptr;
    }
    if (n == 3) {
        if (!args[2]) return guard_fail(c, "NULL AST node");
        result* collation = evaluate_expr(c, args[2]);
        if (!collation) return nullptr;
        bool accepted = collation->kind == XPATH_STRING && collation->value.string &&
                        (!collation->value.string[0] || !std::strcmp(collation->value.string, kCodepointCollation));
        xpath_result_free(collation);
        if (!accepted) {
            xpath_context_fail(c, "%s(): unsupported collation", name);
            return nullptr;
        }
    }
    char* s = fn_arg_string(c, args[0]);
    if (!s) return nullptr;
    char* t = fn_arg_string(c, args[1]);
    if (!t) {
        std::free(s);
        return nullptr;
    }
    result* r;
    if (!t[0]) {
        if (!after) s[0] = '\0';
        r = fn_string_result_take(c, s);
    } else {
        const char* hit = std::strstr(s, t);
        if (!hit) r = fn_string_result_copy(c, "", 0);
        else if (after) r = fn_string_result_copy(c, hit + std::strlen(t), std::strlen(hit + std::strlen(t)));
        else r = fn_string_result_copy(c, s, static_cast<size_t>(hit - s));
        std::free(s);
    }
    std::free(t);
    return r;
}

}  // namespace

quorvel_xpath_result* xpath_func_substring_before(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return before_or_after(c, args, n, false);
}

quorvel_xpath_result* xpath_func_substring_after(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return before_or_after(c, args, n, true);
}

quorvel_xpath_result* xpath_func_string_join(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n != 1 && n != 2) return guard_fail(c, "string-join() requires 1 or 2 arguments");
    if (!args[0]) return guard_fail(c, "NULL AST node");
    result* v = evaluate_expr(c, args[0]);
    if (!v) return nullptr;
    char* separator = nullptr;
    if (n == 2) {
        separator = fn_arg_string(c, args[1]);
        if (!separator) {
            xpath_result_free(v);
            return nullptr;
        }
    }
    const char* sep = separator ? separator : "";
    size_t sep_length = std::strlen(sep);
    // Grows geometrically: a join of a million parts must not copy the
    // whole text once per part.
    fn_text out;
    bool ok = true;
    if (v->kind != XPATH_NODESET || !v->value.nodeset) {
        char* t = v->kind == XPATH_NODESET ? nullptr : xpath_to_string(v);
        if (t) out.append(t);
        else if (v->kind != XPATH_NODESET) ok = false;
        std::free(t);
    } else {
        const quorvel_xpath_node_set* s = v->value.nodeset;
        bool first = true;
        for (size_t i = 0; ok && i < s->count; i++) {
            if (!is_item(s->items[i])) continue;
            char* t = get_node_text(s->items[i]);
            if (!t) {
                ok = false;
                break;
            }
            if (!first) out.append(sep, sep_length);
            first = false;
            out.append(t);
            std::free(t);
        }
    }
    xpath_result_free(v);
    std::free(separator);
    char* joined = ok ? out.take() : nullptr;
    if (!joined) return guard_fail(c, "Out of memory");
    return fn_string_result_take(c, joined);
}
