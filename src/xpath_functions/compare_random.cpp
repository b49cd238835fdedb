// compare and codepoint-equal (code point order: UTF-8 byte order is code
// point order), random-number-generator and resolve-QName.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

using result = quorvel_xpath_result;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

// A string argument of compare and codepoint-equal: xs:string? (untyped
// values count as strings). True with *out malloc'd, NULL for ().
bool string_argument(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, const char* function,
                     char** out) {
    *out = nullptr;
    result* r = fn_evaluate(c, argument);
    if (!r) return false;
    bool typed_wrong = r->kind == XPATH_NUMBER || r->kind == XPATH_BOOLEAN;
    size_t n = 0;
    const quorvel_node* item = nullptr;
    if (r->kind == XPATH_NODESET && r->value.nodeset) {
        for (size_t i = 0; i < r->value.nodeset->count; i++) {
            const quorvel_node* x = r->value.nodeset->items[i];
            if (!is_item(x)) continue;
            if (!n) item = x;
            n++;
        }
        if (item && item->kind == kXpathCarrierNode) {
            auto* carrier = reinterpret_cast<const quorvel_xpath_carrier*>(item);
            if (carrier->ref_kind == XPATH_REF_MAP || carrier->ref_kind == XPATH_REF_FUNCTION)
                typed_wrong = true;
            else if (carrier->ref_kind == XPATH_REF_NONE && carrier->length >= 2 && carrier->text[0] == kXpathTagMark &&
                     carrier->text[1] != 'U')
                typed_wrong = true;  // numbers, booleans, dates and other typed values
        }
    }
    if (typed_wrong || n > 1) {
        xpath_result_free(r);
        xpath_context_fail_code(c, "XPTY0004", "%s() takes strings", function);
        return false;
    }
    if (r->kind == XPATH_NODESET) {
        if (!item) {
            xpath_result_free(r);
            return true;
        }
        *out = get_node_text(item);
    } else {
        *out = xpath_to_string(r);
    }
    xpath_result_free(r);
    if (!*out) return oom(c) != nullptr;
    return true;
}

result* integer_result(quorvel_xpath_context* c, int64_t value) {
    result* r = fn_number_result(c, static_cast<double>(value));
    if (r) {
        r->exact_integer_set = 1;
        r->exact_integer = value;
    }
    return r;
}

// ---- Random numbers ----------------------------------------------------------------------------------

// The seed's hash (64-bit FNV-style over its string value).
uint64_t seed_hash(const char* text) {
    uint64_t h = 0x14650FB0739D0383ULL;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++)
        h = (h ^ *p) * 0x100000001B3ULL;
    return h;
}

uint64_t xorshift(uint64_t h) {
    uint64_t t = h ^ (h >> 12);
    t ^= t << 25;
    t ^= t >> 27;
    return t;
}

double unit_number(uint64_t h) {
    return static_cast<double>((xorshift(h) * 0x2545F4914F6CDD1DULL) >> 11) * (1.0 / 9007199254740992.0);
}

}  // namespace

result* fn_compare(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count < 2 || count > 3) return nullptr;
    char *a = nullptr, *b = nullptr;
    if (!string_argument(c, args[0], "compare", &a)) return nullptr;
    if (!string_argument(c, args[1], "compare", &b)) {
        std::free(a);
        return nullptr;
    }
    if (count == 3 && !fn_check_collation(c, args[2])) {
        std::free(a);
        std::free(b);
        return nullptr;
    }
    result* r;
    if (!a || !b) {
        r = fn_sequence_of(c, nullptr);
    } else {
        int order = std::strcmp(a, b);
        r = integer_result(c, order < 0 ? -1 : order > 0 ? 1 : 0);
    }
    std::free(a);
    std::free(b);
    return r;
}

result* fn_codepoint_equal(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    char *a = nullptr, *b = nullptr;
    if (!string_argument(c, args[0], "codepoint-equal", &a)) return nullptr;
    if (!string_argument(c, args[1], "codepoint-equal", &b)) {
        std::free(a);
        return nullptr;
    }
    result* r = !a || !b ? fn_sequence_of(c, nullptr) : fn_boolean_result(c, std::strcmp(a, b) == 0);
    std::free(a);
    std::free(b);
    return r;
}

// The generator is a map of three entries: the number, a function giving
// the next generator, and a function permuting a sequence. Everything
// follows from the seed, so a seed always gives the same numbers and
// permutations. The map is written as an expression and evaluated: its
// function items then keep their bodies alive like any inline function.
result* fn_random_number_generator(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count > 1) return nullptr;
    uint64_t h;
    bool seeded = false;
    if (count == 1) {
        if (!args[0]) {
            xpath_context_fail(c, "NULL AST node");
            return nullptr;
        }
        result* v = evaluate_expr(c, args[0]);
        if (!v) return nullptr;
        char* seed = nullptr;
        if (v->kind != XPATH_NODESET) {
            seed = xpath_to_string(v);
        } else if (v->value.nodeset) {
            size_t n = 0;
            for (size_t i = 0; i < v->value.nodeset->count; i++) {
                const quorvel_node* x = v->value.nodeset->items[i];
                if (!is_item(x)) continue;
                if (!n++) seed = get_node_text(x);
            }
            if (n > 1) {
                std::free(seed);
                xpath_result_free(v);
                xpath_context_fail_code(c, "XPTY0004", "random-number-generator() takes at most one seed");
                return nullptr;
            }
        }
        xpath_result_free(v);
        if (seed) {
            h = seed_hash(seed);
            seeded = true;
            std::free(seed);
        }
    }
    if (!seeded) {
        // No seed: the evaluation's instant, the one its clock functions
        // read, so every unseeded call of one evaluation gives the same
        // generator, as a function without side effects must.
        if (!c->instant_cached) {
            c->instant = static_cast<int64_t>(std::time(nullptr));
            c->instant_cached = 1;
        }
        h = (static_cast<uint64_t>(c->instant) * 0x5851F42D4C957F2DULL) ^ 0x14650FB0739D0383ULL;
    }
    const double number = unit_number(h);
    const uint64_t next = xorshift(h) * 0x2545F4914F6CDD1DULL;
    const unsigned long long rotate = (h >> 17) % 1000000007ULL;
    char text[768];
    int n = std::snprintf(text, sizeof text,
                          "map{'number': %.17e, "
                          "'next': function() { random-number-generator('#%016llx') }, "
                          "'permute': function($s) { let $n := count($s) return if ($n le 1) then $s else "
                          "let $k := %llu mod $n return (subsequence($s, $k + 1), subsequence($s, 1, $k)) }}",
                          number, static_cast<unsigned long long>(next), rotate);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text) {
        xpath_context_fail(c, "random-number-generator(): internal text too long");
        return nullptr;
    }
    char message[256];
    quorvel_xpath_ast_node* root = xpath_parse_text(text, static_cast<size_t>(n), message, sizeof message);
    quorvel_xpath_tree* tree = root ? xpath_tree_new(root) : nullptr;
    if (!tree) return oom(c);
    quorvel_xpath_tree* saved = c->tree;
    c->tree = tree;
    result* r = evaluate_expr(c, tree->root);
    c->tree = saved;
    xpath_tree_release(tree);
    return r;
}

result* fn_resolve_qname(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    char* lexical = nullptr;
    if (!fn_optional_string(c, args[0], &lexical)) return nullptr;
    if (!args[1]) {
        std::free(lexical);
        xpath_context_fail(c, "NULL AST node");
        return nullptr;
    }
    result* e = evaluate_expr(c, args[1]);
    if (!e) {
        std::free(lexical);
        return nullptr;
    }
    quorvel_element* element = nullptr;
    size_t items = 0;
    if (e->kind == XPATH_NODESET && e->value.nodeset)
        for (size_t i = 0; i < e->value.nodeset->count; i++) {
            quorvel_node* x = e->value.nodeset->items[i];
            if (!is_item(x)) continue;
            if (x->kind == kXpathCarrierNode) x = xpath_carrier_referenced_node(x);
            if (!items++ && x && x->kind == QUORVEL_NODE_ELEMENT) element = reinterpret_cast<quorvel_element*>(x);
        }
    xpath_result_free(e);
    if (!element || items != 1) {
        std::free(lexical);
        xpath_context_fail_code(c, "XPTY0004", "resolve-QName() needs one element");
        return nullptr;
    }
    if (!lexical) return fn_sequence_of(c, nullptr);
    // The lexical form: NCName or NCName:NCName, blanks around allowed.
    char* start = lexical;
    while (*start == ' ' || *start == '\t' || *start == '\n' || *start == '\r') start++;
    char* end = start + std::strlen(start);
    while (end > start && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\n' || end[-1] == '\r')) end--;
    *end = '\0';
    auto name_start = [](unsigned char ch) { return ch >= 0x80 || ch == '_' || ((ch | 0x20) >= 'a' && (ch | 0x20) <= 'z'); };
    auto name_char = [&](unsigned char ch) {
        return name_start(ch) || ch == '-' || ch == '.' || (ch >= '0' && ch <= '9');
    };
    char* colon = std::strchr(start, ':');
    bool valid = *start && name_start(static_cast<unsigned char>(*start));
    for (char* p = start; valid && *p; p++) {
        if (p == colon) valid = p[1] && name_start(static_cast<unsigned char>(p[1]));
        else valid = name_char(static_cast<unsigned char>(*p));
    }
    if (!valid) {
        xpath_context_fail_code(c, "FOCA0002", "resolve-QName(): not a lexical QName: %.100s", start);
        std::free(lexical);
        return nullptr;
    }
    if (colon) {
        *colon = '\0';
        bool bound = !std::strcmp(start, "xml");
        if (!bound) {
            const char* uri = quorvel_element_namespace_for_prefix(element, start);
            bound = uri && uri[0];
        }
        *colon = ':';
        if (!bound) {
            xpath_context_fail_code(c, "FONS0004", "resolve-QName(): no namespace is bound to the prefix of %.100s",
                                    start);
            std::free(lexical);
            return nullptr;
        }
    }
    size_t n = std::strlen(start);
    char* text = static_cast<char*>(std::malloc(n + 3));
    if (!text) {
        std::free(lexical);
        return oom(c);
    }
    text[0] = kXpathTagMark;
    text[1] = 'Z';
    std::memcpy(text + 2, start, n + 1);
    std::free(lexical);
    quorvel_node* item = xpath_synth_text(text, n + 2);
    std::free(text);
    result* r = item ? fn_sequence_of(c, nullptr) : nullptr;
    if (!r || !xpath_nodeset_add_fast(r->value.nodeset, item)) {
        if (item) xpath_nodeset_dispose_node(item);
        xpath_result_free(r);
        return oom(c);
    }
    return r;
}
