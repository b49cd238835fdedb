// Sequence functions: exists, empty, the cardinality checks, head, tail,
// reverse, unordered, subsequence, remove, insert-before, distinct-values
// and index-of. Items keep their identity: nodes stay nodes and typed items
// keep their type; distinct-values and index-of compare atomized values
// (a node by its string value, as an untyped value).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

using ast = quorvel_xpath_ast_node;
using nodeset = quorvel_xpath_node_set;
using result = quorvel_xpath_result;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

// Evaluates an argument into a sequence owning its items; NULL on failure
// (the evaluator's message, or "Out of memory").
nodeset* argument_items(quorvel_xpath_context* c, const ast* argument) {
    result* r = fn_evaluate(c, argument);
    if (!r) return nullptr;
    nodeset* s = fn_owning_set();
    if (!s || !xpath_sequence_append(s, r, c->xquery_mode)) {
        if (!s) xpath_result_free(r);
        xpath_nodeset_free(s);
        oom(c);
        return nullptr;
    }
    // Readers below index items directly: drop the low markers readers skip.
    size_t kept = 0;
    for (size_t i = 0; i < s->count; i++)
        if (is_item(s->items[i])) s->items[kept++] = s->items[i];
    s->count = kept;
    return s;
}

// Moves items [from, to) of src into dst (src keeps none of them afterwards).
bool move_items(nodeset* dst, nodeset* src, size_t from, size_t to) {
    for (size_t i = from; i < to; i++) {
        if (!xpath_nodeset_add_fast(dst, src->items[i])) return false;
        src->items[i] = nullptr;
    }
    return true;
}

// Frees src after its moved items (NULL slots) are dropped.
void discard(nodeset* src) {
    size_t kept = 0;
    for (size_t i = 0; i < src->count; i++)
        if (src->items[i]) src->items[kept++] = src->items[i];
    src->count = kept;
    xpath_nodeset_free(src);
}

// The result of a function that built out: the sequence, or, when ok is
// false, out freed and "Out of memory".
result* finish(quorvel_xpath_context* c, nodeset* out, bool ok) {
    if (ok) return fn_sequence_result(c, out);
    xpath_nodeset_free(out);
    return oom(c);
}

// A new sequence of the items [from, to) of s, which is freed.
result* take_range(quorvel_xpath_context* c, nodeset* s, size_t from, size_t to) {
    nodeset* out = fn_owning_set(to - from);
    bool ok = out && move_items(out, s, from, to);
    discard(s);
    return finish(c, out, ok);
}

bool argument_number(quorvel_xpath_context* c, const ast* argument, double* out) {
    result* r = fn_evaluate(c, argument);
    if (!r) return false;
    *out = xpath_to_number(r);
    xpath_result_free(r);
    return true;
}

size_t item_count(const result* r) {
    if (r->kind != XPATH_NODESET) return 1;
    size_t n = 0;
    if (const nodeset* s = r->value.nodeset)
        for (size_t i = 0; i < s->count; i++)
            if (is_item(s->items[i])) n++;
    return n;
}

result* cardinality(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count, size_t low, size_t high,
                    const char* code) {
    if (count != 1 || !args[0]) {
        xpath_context_fail(c, "NULL AST node");
        return nullptr;
    }
    result* r = evaluate_expr(c, args[0]);
    if (!r) return nullptr;
    size_t n = item_count(r);
    if (n >= low && n <= high) return r;
    xpath_result_free(r);
    std::snprintf(c->error_code, sizeof c->error_code, "%s", code);
    xpath_context_fail(c, "Cardinality violation: sequence has %zu items", n);
    return nullptr;
}

// ---- Atomized values for distinct-values and index-of ------------------------------------------------

enum key_class : char { K_STRING = 's', K_NUMBER = 'n', K_BOOLEAN = 'b', K_DURATION = 'd', K_TYPED = 't' };

struct value_key {
    char cls = K_STRING;
    char tag = 0;
    double a = 0, b = 0;
    char* text = nullptr;  // owned: the lexical text of strings and typed values
    size_t length = 0;
};

bool numeric_tag(const char* t, size_t n) {
    if (n < 2 || t[0] != kXpathTagMark) return false;
    char tag = t[1];
    if (tag == kXpathTagInteger || tag == kXpathTagDouble || tag == kXpathTagDecimal) return true;
    return tag == kXpathTagFloat && !(n > 2 && t[2] == 'R') && !(n > 3 && t[2] == 'N' && t[3] == '\x02');
}

// The atomized value of one item. False when memory runs out.
bool key_of(const quorvel_node* n, value_key& k) {
    k = value_key{};
    const quorvel_xpath_carrier* c =
        n->kind == kXpathCarrierNode ? reinterpret_cast<const quorvel_xpath_carrier*>(n) : nullptr;
    const char* t = c && c->text ? c->text : "";
    size_t len = c ? c->length : 0;
    if (c && c->ref_kind == XPATH_REF_NONE && len >= 2 && t[0] == kXpathTagMark) {
        if (numeric_tag(t, len)) {
            k.cls = K_NUMBER;
            k.a = std::strtod(t + 2, nullptr);
            if (t[1] == kXpathTagFloat) k.a = static_cast<double>(static_cast<float>(k.a));
            if (k.a == 0) k.a = 0;  // -0 equals 0
            return true;
        }
        if (t[1] == kXpathTagBoolean) {
            k.cls = K_BOOLEAN;
            k.a = len > 2 && t[2] == 't';
            return true;
        }
        if (t[1] == 'd' && dur_ms_parse(t + 2, &k.a, &k.b)) {
            k.cls = K_DURATION;
            if (k.a == 0) k.a = 0;
            if (k.b == 0) k.b = 0;
            return true;
        }
        if (t[1] != 'U' && t[1] != kXpathTagAttribute && std::strncmp(t + 1, "MAP", 3) != 0) {
            k.cls = K_TYPED;
            k.tag = t[1];
        }
    }
    k.text = get_node_text(n);
    if (!k.text) return false;
    k.length = std::strlen(k.text);
    return true;
}

bool keys_equal(const value_key& x, const value_key& y, bool nan_equal) {
    if (x.cls != y.cls) return false;
    switch (x.cls) {
    case K_NUMBER:
        if (std::isnan(x.a) || std::isnan(y.a)) return nan_equal && std::isnan(x.a) && std::isnan(y.a);
        return x.a == y.a;
    case K_BOOLEAN: return x.a == y.a;
    case K_DURATION: return x.a == y.a && x.b == y.b;
    case K_TYPED:
        if (x.tag != y.tag) return false;
        [[fallthrough]];
    default: return x.length == y.length && !std::memcmp(x.text, y.text, x.length);
    }
}

uint64_t key_hash(const value_key& k) {
    uint64_t h = 0xcbf29ce484222325ull ^ static_cast<unsigned char>(k.cls);
    auto mix = [&](const void* p, size_t n) {
        for (size_t i = 0; i < n; i++) h = (h ^ static_cast<const unsigned char*>(p)[i]) * 0x100000001b3ull;
    };
    switch (k.cls) {
    case K_NUMBER:
        if (!std::isnan(k.a)) mix(&k.a, sizeof k.a);
        break;
    case K_BOOLEAN: mix(&k.a, sizeof k.a); break;
    case K_DURATION:
        mix(&k.a, sizeof k.a);
        mix(&k.b, sizeof k.b);
        break;
    default:
        mix(&k.tag, 1);
        mix(k.text, k.length);
        break;
    }
    return h;
}

// The item distinct-values gives for a kept value: typed items as they
// are, a node's value as an untyped string, a duration in its canonical form.
quorvel_node* distinct_item(const quorvel_node* n, const value_key& k) {
    if (k.cls == K_DURATION) {
        char text[160];
        text[0] = kXpathTagMark;
        text[1] = 'd';
        dur_ms_format(text + 2, sizeof text - 2, k.a, k.b);
        return xpath_synth_text(text, std::strlen(text));
    }
    if (n->kind == kXpathCarrierNode) {
        auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(n);
        if (c->ref_kind == XPATH_REF_NONE) return xpath_synthetic_duplicate(n);
    }
    char tagged[2] = {kXpathTagMark, 'U'};
    char* text = static_cast<char*>(std::malloc(k.length + 3));
    if (!text) return nullptr;
    std::memcpy(text, tagged, 2);
    std::memcpy(text + 2, k.text, k.length + 1);
    quorvel_node* item = xpath_synth_text(text, k.length + 2);
    std::free(text);
    return item;
}

}  // namespace

bool fn_check_collation(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument) {
    result* r = fn_evaluate(c, argument);
    if (!r) return false;
    bool single = r->kind != XPATH_NODESET || item_count(r) == 1;
    char* uri = single ? xpath_to_string(r) : nullptr;
    xpath_result_free(r);
    if (single && !uri) {
        oom(c);
        return false;
    }
    bool ok = uri && !std::strcmp(uri, "http://www.w3.org/2005/xpath-functions/collation/codepoint");
    if (!ok) {
        std::snprintf(c->error_code, sizeof c->error_code, "FOCH0002");
        xpath_context_fail(c, "FOCH0002: Unsupported collation: %.200s", uri ? uri : "(not one string)");
    }
    std::free(uri);
    return ok;
}

quorvel_xpath_result* fn_exists(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1 || !args[0]) {
        xpath_context_fail(c, "NULL AST node");
        return nullptr;
    }
    result* r = evaluate_expr(c, args[0]);
    if (!r) return nullptr;
    bool any = item_count(r) > 0;
    xpath_result_free(r);
    return fn_boolean_result(c, any);
}

quorvel_xpath_result* fn_empty(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    result* r = fn_exists(c, args, count);
    if (r) r->value.boolean = !r->value.boolean;
    return r;
}

quorvel_xpath_result* fn_zero_or_one(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    return cardinality(c, args, count, 0, 1, "FORG0003");
}

quorvel_xpath_result* fn_one_or_more(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    return cardinality(c, args, count, 1, SIZE_MAX, "FORG0004");
}

quorvel_xpath_result* fn_exactly_one(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    return cardinality(c, args, count, 1, 1, "FORG0005");
}

quorvel_xpath_result* fn_head(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    nodeset* s = argument_items(c, args[0]);
    if (!s) return nullptr;
    return take_range(c, s, 0, s->count ? 1 : 0);
}

quorvel_xpath_result* fn_tail(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    nodeset* s = argument_items(c, args[0]);
    if (!s) return nullptr;
    return take_range(c, s, s->count ? 1 : 0, s->count);
}

quorvel_xpath_result* fn_reverse(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    nodeset* s = argument_items(c, args[0]);
    if (!s) return nullptr;
    for (size_t i = 0, j = s->count; i + 1 < j; i++, j--) {
        quorvel_node* x = s->items[i];
        s->items[i] = s->items[j - 1];
        s->items[j - 1] = x;
    }
    return fn_sequence_result(c, s);
}

quorvel_xpath_result* fn_unordered(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    nodeset* s = argument_items(c, args[0]);
    return s ? fn_sequence_result(c, s) : nullptr;
}

quorvel_xpath_result* fn_subsequence(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    nodeset* s = argument_items(c, args[0]);
    if (!s) return nullptr;
    double start = 0, length = INFINITY;
    if (!argument_number(c, args[1], &start) || (count > 2 && !argument_number(c, args[2], &length))) {
        xpath_nodeset_free(s);
        return nullptr;
    }
    // Positions p with round(start) <= p < round(start) + round(length),
    // computed in double precision (infinities and NaN included).
    double b = std::floor(start + 0.5);
    double end = count > 2 ? b + std::floor(length + 0.5) : INFINITY;
    nodeset* out = fn_owning_set();
    bool ok = out != nullptr;
    if (ok && !std::isnan(b) && !std::isnan(end)) {
        for (size_t i = 0; ok && i < s->count; i++) {
            double p = static_cast<double>(i + 1);
            if (p >= b && p < end) ok = move_items(out, s, i, i + 1);
        }
    }
    discard(s);
    return finish(c, out, ok);
}

quorvel_xpath_result* fn_remove(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    nodeset* s = argument_items(c, args[0]);
    if (!s) return nullptr;
    double position = 0;
    if (!argument_number(c, args[1], &position)) {
        xpath_nodeset_free(s);
        return nullptr;
    }
    double p = std::trunc(position);
    if (p >= 1 && p <= static_cast<double>(s->count)) {
        auto at = static_cast<size_t>(p) - 1;
        quorvel_node* gone = s->items[at];
        std::memmove(s->items + at, s->items + at + 1, (s->count - at - 1) * sizeof(quorvel_node*));
        s->count--;
        xpath_nodeset_dispose_node(gone);  // only synthetic items are freed
    }
    return fn_sequence_result(c, s);
}

quorvel_xpath_result* fn_insert_before(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    nodeset* target = argument_items(c, args[0]);
    if (!target) return nullptr;
    double position = 0;
    if (!argument_number(c, args[1], &position)) {
        xpath_nodeset_free(target);
        return nullptr;
    }
    nodeset* inserts = argument_items(c, args[2]);
    if (!inserts) {
        xpath_nodeset_free(target);
        return nullptr;
    }
    double p = std::trunc(position);
    size_t n = target->count;
    size_t q = !(p >= 1) ? 1 : p > static_cast<double>(n + 1) ? n + 1 : static_cast<size_t>(p);
    nodeset* out = fn_owning_set(n + inserts->count);
    bool ok = out && move_items(out, target, 0, q - 1) && move_items(out, inserts, 0, inserts->count) &&
              move_items(out, target, q - 1, n);
    discard(target);
    discard(inserts);
    return finish(c, out, ok);
}

quorvel_xpath_result* fn_distinct_values(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    nodeset* s = argument_items(c, args[0]);
    if (!s) return nullptr;
    if (count > 1 && !fn_check_collation(c, args[1])) {
        xpath_nodeset_free(s);
        return nullptr;
    }
    size_t n = s->count, capacity = 16;
    while (capacity < n * 2) capacity <<= 1;
    auto* keys = static_cast<value_key*>(std::calloc(n ? n : 1, sizeof(value_key)));
    auto* slots = static_cast<size_t*>(std::malloc(capacity * sizeof(size_t)));  // kept key index + 1; 0 empty
    nodeset* out = fn_owning_set();
    bool ok = keys && slots && out;
    if (slots) std::memset(slots, 0, capacity * sizeof(size_t));
    size_t made = 0;
    for (size_t i = 0; ok && i < n; i++) {
        value_key& k = keys[made];
        if (!key_of(s->items[i], k)) {
            ok = false;
            break;
        }
        size_t h = static_cast<size_t>(key_hash(k)) & (capacity - 1);
        bool seen = false;
        for (; slots[h]; h = (h + 1) & (capacity - 1))
            if (keys_equal(keys[slots[h] - 1], k, true)) {
                seen = true;
                break;
            }
        if (seen) {
            std::free(k.text);
            k = value_key{};
            continue;
        }
        slots[h] = ++made;
        ok = fn_set_add_owned(out, distinct_item(s->items[i], k));
    }
    for (size_t i = 0; keys && i < n; i++) std::free(keys[i].text);
    std::free(keys);
    std::free(slots);
    xpath_nodeset_free(s);
    return finish(c, out, ok);
}

quorvel_xpath_result* fn_index_of(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    nodeset* s = argument_items(c, args[0]);
    if (!s) return nullptr;
    nodeset* search = argument_items(c, args[1]);
    if (!search) {
        xpath_nodeset_free(s);
        return nullptr;
    }
    if (count > 2 && !fn_check_collation(c, args[2])) {
        xpath_nodeset_free(s);
        xpath_nodeset_free(search);
        return nullptr;
    }
    if (search->count != 1) {
        size_t n = search->count;
        xpath_nodeset_free(s);
        xpath_nodeset_free(search);
        std::snprintf(c->error_code, sizeof c->error_code, "XPTY0004");
        xpath_context_fail(c, "XPTY0004: index-of() needs one search value, got %zu items", n);
        return nullptr;
    }
    value_key wanted;
    nodeset* out = fn_owning_set();
    bool ok = out && key_of(search->items[0], wanted);
    for (size_t i = 0; ok && i < s->count; i++) {
        value_key k;
        if (!key_of(s->items[i], k)) {
            ok = false;
            break;
        }
        bool equal = keys_equal(k, wanted, false);
        std::free(k.text);
        if (!equal) continue;
        char text[32];
        int len = std::snprintf(text, sizeof text, "%cN%zu", kXpathTagMark, i + 1);
        ok = fn_set_add_owned(out, xpath_synth_text(text, static_cast<size_t>(len)));
    }
    std::free(wanted.text);
    xpath_nodeset_free(s);
    xpath_nodeset_free(search);
    return finish(c, out, ok);
}

nodeset* fn_argument_items(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument) {
    return argument_items(c, argument);
}
