// The XPath 1.0 node, boolean and number functions: last, position, count,
// boolean, not, true, false, lang, number, sum, floor, ceiling, round, the
// three name functions, id and string.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "core/core.h"
#include "dom/dom.h"
#include "dtd/dtd.h"
#include "xpath_functions/functions.h"

namespace {

using ast = quorvel_xpath_ast_node;
using result = quorvel_xpath_result;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

result* guard_fail(quorvel_xpath_context* c, const char* message) {
    xpath_context_fail(c, "%s", message);
    return nullptr;
}

// Evaluates argument i; NULL with "NULL AST node" for a missing tree.
result* argument(quorvel_xpath_context* c, ast** args, size_t i) {
    if (!args || !args[i]) {
        xpath_context_fail(c, "NULL AST node");
        return nullptr;
    }
    return evaluate_expr(c, args[i]);
}

result* empty_sequence(quorvel_xpath_context* c) {
    result* r = xpath_result_new(XPATH_NODESET);
    if (!r) xpath_context_fail(c, "Out of memory");
    return r;
}

bool is_empty_set(const result* r) { return r->kind == XPATH_NODESET && (!r->value.nodeset || !r->value.nodeset->count); }

}  // namespace

// ---- Context and logic -----------------------------------------------------------------------------

quorvel_xpath_result* xpath_func_last(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t n) {
    if (!c) return nullptr;
    if (n != 0) return guard_fail(c, "last() takes no arguments");
    return fn_number_result(c, static_cast<double>(c->size));
}

quorvel_xpath_result* xpath_func_position(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t n) {
    if (!c) return nullptr;
    if (n != 0) return guard_fail(c, "position() takes no arguments");
    return fn_number_result(c, static_cast<double>(c->position));
}

quorvel_xpath_result* xpath_func_count(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n != 1) return guard_fail(c, "count() requires exactly 1 argument");
    result* v = argument(c, args, 0);
    if (!v) return nullptr;
    size_t count = 1;
    if (v->kind == XPATH_NODESET) {
        count = 0;
        if (const quorvel_xpath_node_set* s = v->value.nodeset)
            for (size_t i = 0; i < s->count; i++)
                if (is_item(s->items[i])) count++;
    }
    xpath_result_free(v);
    return fn_number_result(c, static_cast<double>(count));
}

namespace {

result* truth(quorvel_xpath_context* c, ast** args, size_t n, const char* message, bool negate) {
    if (!c) return nullptr;
    if (n != 1) return guard_fail(c, message);
    result* v = argument(c, args, 0);
    if (!v) return nullptr;
    bool b = xpath_to_boolean(v) != 0;
    xpath_result_free(v);
    return fn_boolean_result(c, negate ? !b : b);
}

}  // namespace

quorvel_xpath_result* xpath_func_boolean(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return truth(c, args, n, "boolean() requires exactly 1 argument", false);
}

quorvel_xpath_result* xpath_func_not(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return truth(c, args, n, "not() requires exactly 1 argument", true);
}

quorvel_xpath_result* xpath_func_true(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t n) {
    if (!c) return nullptr;
    if (n != 0) return guard_fail(c, "true() takes no arguments");
    return fn_boolean_result(c, true);
}

quorvel_xpath_result* xpath_func_false(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t n) {
    if (!c) return nullptr;
    if (n != 0) return guard_fail(c, "false() takes no arguments");
    return fn_boolean_result(c, false);
}

// ---- lang ------------------------------------------------------------------------------------------

namespace {

constexpr const char* kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

// The first language attribute of an element (xml:lang, or an unprefixed
// lang), NULL when it has none.
const char* language_of(quorvel_element* e) {
    for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
        const char* name = quorvel_attribute_get_name(a);
        if (std::strcmp(name, "xml:lang") != 0 && std::strcmp(name, "lang") != 0) continue;
        const char* prefix = quorvel_attribute_prefix(a);
        const char* uri = quorvel_attribute_namespace_uri(a);
        if (uri && uri[0] && std::strcmp(uri, kXmlNamespace) != 0 && !(prefix && !std::strcmp(prefix, "xml")))
            continue;
        return quorvel_attribute_get_value(e, a);
    }
    return nullptr;
}

quorvel_element* owner_element(quorvel_node* n) {
    if (!n) return nullptr;
    switch (n->kind) {
    case QUORVEL_NODE_ELEMENT: return reinterpret_cast<quorvel_element*>(n);
    case kXpathAttributeNode: return reinterpret_cast<quorvel_xpath_attribute_node*>(n)->owner;
    case kXpathNamespaceNode: return reinterpret_cast<quorvel_xpath_namespace_node*>(n)->parent;
    case kXpathCarrierNode:
    case QUORVEL_NODE_DOCUMENT: return nullptr;
    default: return quorvel_node_parent(n);
    }
}

}  // namespace

quorvel_xpath_result* xpath_func_lang(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n != 1) {
        xpath_context_fail(c, "lang() requires exactly 1 argument, got %zu", n);
        return nullptr;
    }
    char* s = fn_arg_string(c, args[0]);
    if (!s) return nullptr;
    size_t len = std::strlen(s);
    bool found = false;
    for (quorvel_element* e = is_item(c->node) ? owner_element(c->node) : nullptr; e; e = quorvel_node_parent(
             reinterpret_cast<quorvel_node*>(e))) {
        const char* v = language_of(e);
        if (!v || !v[0]) continue;
        found = std::strlen(v) >= len && !strncasecmp(v, s, len) && (v[len] == '\0' || v[len] == '-');
        break;
    }
    std::free(s);
    return fn_boolean_result(c, found);
}

// ---- Numbers ---------------------------------------------------------------------------------------

namespace {

result* double_result(quorvel_xpath_context* c, double v) {
    result* r = fn_number_result(c, v);
    if (r) r->type_name = "xs:double";
    return r;
}

}  // namespace

quorvel_xpath_result* xpath_func_number(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n > 1) return guard_fail(c, "number() takes 0 or 1 argument");
    if (n == 1) {
        double v;
        if (!fn_arg_number(c, args[0], &v)) return nullptr;
        return double_result(c, v);
    }
    char* text = is_item(c->node) ? get_node_text(c->node) : nullptr;
    if (is_item(c->node) && !text) return guard_fail(c, "Out of memory");
    double v = xpath_string_to_number(text ? text : "");
    std::free(text);
    return double_result(c, v);
}

namespace {

enum rounding { kFloor, kCeiling };

// Rounding keeps its argument's numeric type; integers need no tag.
void keep_numeric_type(result* r, const char* type) {
    if (std::strcmp(type, "xs:integer") != 0) r->type_name = type;
}

result* floor_or_ceiling(quorvel_xpath_context* c, ast** args, size_t n, rounding mode, const char* message) {
    if (!c) return nullptr;
    if (n != 1) return guard_fail(c, message);
    result* v = argument(c, args, 0);
    if (!v) return nullptr;
    if (c->xquery_mode && is_empty_set(v)) {
        xpath_result_free(v);
        return empty_sequence(c);
    }
    bool exact = v->exact_integer_set != 0;
    int64_t exact_value = v->exact_integer;
    bool single = xpath_result_is_float(v) != 0;
    int32_t typed = v->typed_number;
    const char* type = xpath_numeric_type(v);
    double x = xpath_to_number(v);
    xpath_result_free(v);
    double y = mode == kFloor ? std::floor(x) : std::ceil(x);
    result* r = fn_number_result(c, single && !exact ? static_cast<double>(static_cast<float>(y)) : y);
    if (!r) return nullptr;
    if (exact) {
        r->exact_integer_set = 1;
        r->exact_integer = exact_value;
    } else {
        keep_numeric_type(r, type);
        r->typed_number = typed;
    }
    return r;
}

// Half-way cases go up; the addition of 0.5 is avoided where it would round
// a value just below one half up to a whole number.
double round_half_up(double x) {
    if (std::isinf(x) || x == 0 || std::isnan(x)) return x;
    double f = std::floor(x);
    double m = x - f >= 0.5 ? f + 1 : f;
    if (x > -0.5 && x < 0) return -0.0;
    return m;
}

}  // namespace

quorvel_xpath_result* xpath_func_floor(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return floor_or_ceiling(c, args, n, kFloor, "floor() requires exactly 1 argument");
}

quorvel_xpath_result* xpath_func_ceiling(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return floor_or_ceiling(c, args, n, kCeiling, "ceiling() requires exactly 1 argument");
}

quorvel_xpath_result* xpath_func_round(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n != 1 && n != 2) return guard_fail(c, "round() requires 1 or 2 arguments");
    result* v = argument(c, args, 0);
    if (!v) return nullptr;
    if (c->xquery_mode && is_empty_set(v)) {
        xpath_result_free(v);
        return empty_sequence(c);
    }
    bool exact = v->exact_integer_set != 0;
    int64_t exact_value = v->exact_integer;
    int32_t typed = v->typed_number;
    const char* type = xpath_numeric_type(v);
    double x = xpath_to_number(v);
    xpath_result_free(v);
    double scale = 1;
    if (n == 2) {
        double p;
        if (!fn_arg_number(c, args[1], &p)) return nullptr;
        if (std::isnan(p) || p < -100 || p > 100) return guard_fail(c, "round(): precision out of range");
        scale = std::pow(10.0, p);
    }
    double value;
    if (scale == 1) {
        value = round_half_up(x);
    } else {
        double scaled = x * scale;
        value = std::isnan(scaled) ? scaled : round_half_up(scaled) / scale;
        if (std::isinf(scaled) && std::isfinite(x)) value = x;  // no digits to drop
    }
    result* r = fn_number_result(c, value);
    if (!r) return nullptr;
    if (exact && scale == 1) {
        r->exact_integer_set = 1;
        r->exact_integer = exact_value;
        return r;
    }
    keep_numeric_type(r, type);
    r->typed_number = typed;
    return r;
}

// ---- sum -------------------------------------------------------------------------------------------

namespace {

struct sum_totals {
    double total = 0;
    bool nan = false;
    int64_t integer = 0;
    bool all_integer = true;
    bool overflow = false;
};

bool is_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f'; }

// Adds one item text; an empty or blank text adds nothing.
void sum_add_item(const char* text, sum_totals* t) {
    const char* p = text;
    while (is_space(*p)) p++;
    if (!*p) return;
    double v = xpath_string_to_number(p);
    if (std::isnan(v)) {
        t->nan = true;
        return;
    }
    t->total += v;
    if (!t->all_integer) return;
    char* end = nullptr;
    errno = 0;
    long long i = std::strtoll(p, &end, 10);
    if (end == p || *end || errno == ERANGE) {
        t->all_integer = false;
        return;
    }
    int64_t out;
    if (__builtin_add_overflow(t->integer, static_cast<int64_t>(i), &out)) t->overflow = true;
    else t->integer = out;
}

}  // namespace

quorvel_xpath_result* xpath_func_sum(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n != 1 && n != 2) return guard_fail(c, "sum() requires 1 or 2 arguments");
    // The zero value, evaluated first.
    bool has_zero = n == 2, zero_empty = false, zero_numeric = false, zero_integral = false;
    double zero_value = 0;
    long long zero_integer = 0;
    char* zero_text = nullptr;
    char zero_type[40] = "";
    if (has_zero) {
        result* z = argument(c, args, 1);
        if (!z) return nullptr;
        if (is_empty_set(z)) {
            zero_empty = true;
        } else {
            const char* tn = z->type_name ? z->type_name : "";
            if (!std::strncmp(tn, "xs:", 3)) tn += 3;
            std::snprintf(zero_type, sizeof zero_type, "%s", tn);
            zero_text = xpath_to_string(z);
            if (!zero_text) {
                xpath_result_free(z);
                return guard_fail(c, "Out of memory");
            }
            char* e1 = nullptr;
            char* e2 = nullptr;
            errno = 0;
            zero_integer = std::strtoll(zero_text, &e1, 10);
            bool int_ok = errno != ERANGE && e1 != zero_text && !*e1;
            errno = 0;
            zero_value = std::strtod(zero_text, &e2);
            bool dbl_ok = e2 != zero_text && !*e2;
            if (dbl_ok) {
                zero_numeric = true;
                zero_integral = int_ok && errno != ERANGE;
            }
        }
        xpath_result_free(z);
    }
    result* v = argument(c, args, 0);
    if (!v) {
        std::free(zero_text);
        return nullptr;
    }
    sum_totals t;
    bool all_float = false;
    size_t items = 0;
    result* out = nullptr;
    if (v->kind == XPATH_NUMBER) {
        items = 1;
        if (std::isnan(v->value.number)) t.nan = true;
        else t.total = v->value.number + 0.0;
        if (v->exact_integer_set) t.integer = v->exact_integer;
        else t.all_integer = false;
        all_float = v->type_name && !std::strcmp(v->type_name, "xs:float");
    } else if (v->kind != XPATH_NODESET) {
        items = 1;
        char* s = xpath_to_string(v);
        if (!s) {
            xpath_result_free(v);
            std::free(zero_text);
            return guard_fail(c, "Out of memory");
        }
        sum_add_item(s, &t);
        std::free(s);
    } else if (const quorvel_xpath_node_set* set = v->value.nodeset) {
        for (size_t i = 0; i < set->count; i++)
            if (is_item(set->items[i])) items++;
        if (items) {
            // Durations: every item a year-month duration, or every item a
            // day-time duration, sums to a duration.
            bool all_months = true, all_seconds = true;
            double months = 0, seconds = 0;
            bool failed = false;
            for (size_t i = 0; i < set->count && (all_months || all_seconds); i++) {
                if (!is_item(set->items[i])) continue;
                char* text = get_node_text(set->items[i]);
                if (!text) {
                    failed = true;
                    break;
                }
                double m, s;
                if (all_months && quorvel_dur_try_months(text, &m)) months += m;
                else all_months = false;
                if (all_seconds && quorvel_dur_try_seconds(text, &s)) seconds += s;
                else all_seconds = false;
                std::free(text);
            }
            if (failed) {
                xpath_result_free(v);
                std::free(zero_text);
                return guard_fail(c, "Out of memory");
            }
            if (all_months || all_seconds) {
                char buf[64];
                if (all_months) {
                    if (!std::isfinite(months)) months = 0;
                    quorvel_dur_format_months(buf, sizeof buf, months);
                } else {
                    quorvel_dur_format(buf, seconds == 0 ? 0.0 : seconds);
                }
                out = fn_string_result_copy(c, buf, std::strlen(buf));
                if (out) out->type_name = all_months ? "xs:yearMonthDuration" : "xs:dayTimeDuration";
                xpath_result_free(v);
                std::free(zero_text);
                return out;
            }
            all_float = true;
            for (size_t i = 0; i < set->count; i++) {
                quorvel_node* item = set->items[i];
                if (!is_item(item)) continue;
                bool float_item = false;
                if (item->kind == kXpathCarrierNode) {
                    const char* ct = reinterpret_cast<const quorvel_xpath_carrier*>(item)->text;
                    float_item = ct && ct[0] == kXpathTagMark && ct[1] == kXpathTagFloat && ct[2] != 'R' &&
                                 !(ct[2] == 'N' && ct[3] == '\x02');
                }
                if (!float_item) all_float = false;
                char* text = get_node_text(item);
                if (!text) {
                    failed = true;
                    break;
                }
                sum_add_item(text, &t);
                std::free(text);
            }
            if (failed) {
                xpath_result_free(v);
                std::free(zero_text);
                return guard_fail(c, "Out of memory");
            }
        }
    }
    xpath_result_free(v);
    if (t.nan) {
        out = fn_number_result(c, NAN);
    } else if (!items) {
        if (!has_zero) {
            out = fn_number_result(c, 0);
        } else if (zero_empty) {
            out = empty_sequence(c);
        } else if (zero_numeric) {
            out = fn_number_result(c, zero_integral ? static_cast<double>(zero_integer) : zero_value);
            if (out && zero_integral) {
                out->exact_integer_set = 1;
                out->exact_integer = zero_integer;
            }
        } else {
            const char* zt = zero_text;
            if (zt[0] == kXpathTagMark && zt[1] == 'd') zt += 2;
            double d;
            bool zero_duration = (quorvel_dur_try_months(zt, &d) && d == 0) || (quorvel_dur_try_seconds(zt, &d) && d == 0);
            if (zero_duration) {
                bool ym = !std::strcmp(zero_type, "yearMonthDuration");
                out = fn_string_result_copy(c, ym ? "P0M" : "PT0S", ym ? 3 : 4);
                if (out) out->type_name = ym ? "xs:yearMonthDuration" : "xs:dayTimeDuration";
            } else {
                out = fn_string_result_copy(c, zero_text, std::strlen(zero_text));
            }
        }
    } else if (t.all_integer && !t.overflow && (!has_zero || zero_empty || zero_integral)) {
        out = fn_number_result(c, static_cast<double>(t.integer));
        if (out) {
            out->exact_integer_set = 1;
            out->exact_integer = t.integer;
        }
    } else {
        out = fn_number_result(c, t.total + 0.0);
        if (out && all_float) out->type_name = "xs:float";
    }
    std::free(zero_text);
    return out;
}

// ---- Names -----------------------------------------------------------------------------------------

namespace {

enum name_kind { kName, kLocalName, kNamespaceUri };

const char* after_colon(const char* s) {
    const char* colon = std::strrchr(s, ':');
    return colon ? colon + 1 : s;
}

// The name text of one node; "" for nodes without one. buf holds a
// prefixed element name.
const char* name_text(quorvel_node* node, name_kind kind, char** made) {
    *made = nullptr;
    switch (node->kind) {
    case QUORVEL_NODE_ELEMENT: {
        auto* e = reinterpret_cast<quorvel_element*>(node);
        if (kind == kNamespaceUri) {
            const char* uri = quorvel_element_get_namespace_uri(e);
            return uri ? uri : "";
        }
        const char* local = quorvel_element_name(e);
        const char* prefix = quorvel_element_prefix(e);
        if (kind == kLocalName) return after_colon(local);
        if (!prefix || !prefix[0]) return local;
        size_t np = std::strlen(prefix), nl = std::strlen(local);
        char* full = static_cast<char*>(std::malloc(np + nl + 2));
        if (!full) return nullptr;
        std::memcpy(full, prefix, np);
        full[np] = ':';
        std::memcpy(full + np + 1, local, nl + 1);
        *made = full;
        return full;
    }
    case kXpathAttributeNode: {
        auto* a = reinterpret_cast<quorvel_xpath_attribute_node*>(node);
        if (kind == kNamespaceUri) return a->namespace_uri ? a->namespace_uri : "";
        const char* name = a->name ? a->name : "";
        return kind == kLocalName ? after_colon(name) : name;
    }
    case kXpathNamespaceNode: {
        auto* ns = reinterpret_cast<quorvel_xpath_namespace_node*>(node);
        if (kind == kNamespaceUri) return ns->uri ? ns->uri : "";
        const char* p = ns->prefix ? ns->prefix : "";
        return kind == kLocalName ? after_colon(p) : p;
    }
    case QUORVEL_NODE_PI: {
        if (kind == kNamespaceUri) return "";
        const char* target = quorvel_pi_node_get_target(node);
        if (!target) return "";
        return kind == kLocalName ? after_colon(target) : target;
    }
    default:
        return "";
    }
}

result* name_function(quorvel_xpath_context* c, ast** args, size_t n, name_kind kind, const char* message) {
    if (!c) return nullptr;
    if (n > 1) return guard_fail(c, message);
    quorvel_node* node = c->node;
    result* v = nullptr;
    if (n == 1) {
        v = argument(c, args, 0);
        if (!v) return nullptr;
        node = nullptr;
        if (v->kind == XPATH_NODESET && v->value.nodeset && v->value.nodeset->count)
            node = v->value.nodeset->items[0];
    }
    char* made = nullptr;
    const char* text = is_item(node) ? name_text(node, kind, &made) : "";
    result* r = text ? fn_string_result_copy(c, text, std::strlen(text)) : guard_fail(c, "Out of memory");
    std::free(made);
    xpath_result_free(v);
    return r;
}

}  // namespace

quorvel_xpath_result* xpath_func_name(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return name_function(c, args, n, kName, "name() requires 0 or 1 argument");
}

quorvel_xpath_result* xpath_func_local_name(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return name_function(c, args, n, kLocalName, "local-name() requires 0 or 1 argument");
}

quorvel_xpath_result* xpath_func_namespace_uri(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    return name_function(c, args, n, kNamespaceUri, "namespace-uri() requires 0 or 1 argument");
}

// ---- id --------------------------------------------------------------------------------------------

namespace {

bool is_token_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

// Whether an element carries an ID attribute whose value is one of the
// tokens (a run of tokens separated by blanks).
bool has_id_among(quorvel_document* doc, quorvel_element* e, const char* tokens) {
    size_t count = quorvel_element_attribute_count(e);
    for (size_t i = 0; i < count; i++) {
        const char* name = quorvel_element_attribute_name_at(e, i);
        const char* value = quorvel_element_attribute_value_at(e, i);
        if (!name || !value || !value[0]) continue;
        bool is_id = !std::strcmp(name, "id") || !std::strcmp(name, "xml:id");
        if (!is_id && doc && doc->dtd) {
            quorvel_dtd_attribute_decl* d = ttdtd_lookup_attribute(doc->dtd, quorvel_element_name(e), name);
            is_id = d && d->type && !std::strcmp(d->type, "ID");
        }
        if (!is_id) continue;
        size_t vn = std::strlen(value);
        for (const char* p = tokens; *p;) {
            while (is_token_space(*p)) p++;
            const char* start = p;
            while (*p && !is_token_space(*p)) p++;
            if (static_cast<size_t>(p - start) == vn && !std::memcmp(start, value, vn)) return true;
        }
    }
    return false;
}

}  // namespace

quorvel_xpath_result* xpath_func_id(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n != 1) return guard_fail(c, "id() requires exactly 1 argument");
    result* v = argument(c, args, 0);
    if (!v) return nullptr;
    // Every token of every item, as one blank-separated list.
    fn_text list;
    bool ok = true;
    auto append_tokens = [&](char* t) {
        ok = ok && t;
        if (t) {
            list.append(' ');
            list.append(t);
        }
        std::free(t);
    };
    if (v->kind == XPATH_NODESET) {
        if (const quorvel_xpath_node_set* s = v->value.nodeset)
            for (size_t i = 0; ok && i < s->count; i++)
                if (is_item(s->items[i])) append_tokens(get_node_text(s->items[i]));
    } else {
        append_tokens(xpath_to_string(v));
    }
    xpath_result_free(v);
    ok = ok && !list.failed;
    const char* tokens = list.data;
    quorvel_xpath_node_set* out = xpath_nodeset_new();
    if (!ok || !out) {
        xpath_nodeset_free(out);
        return guard_fail(c, "Out of memory");
    }
    quorvel_document* doc = c->document;
    quorvel_element* root = doc ? quorvel_document_root(doc) : nullptr;
    if (root && tokens) {
        // Document order, each element once, walked without recursion.
        quorvel_node* top = reinterpret_cast<quorvel_node*>(root);
        quorvel_node* node = top;
        while (node && ok) {
            if (node->kind == QUORVEL_NODE_ELEMENT) {
                auto* e = reinterpret_cast<quorvel_element*>(node);
                if (has_id_among(doc, e, tokens) && !xpath_nodeset_add_fast(out, node)) ok = false;
                if (quorvel_node* child = quorvel_node_first_child(node)) {
                    node = child;
                    continue;
                }
            }
            while (node && node != top && !quorvel_node_next_sibling(node))
                node = reinterpret_cast<quorvel_node*>(quorvel_node_parent(node));
            node = node && node != top ? quorvel_node_next_sibling(node) : nullptr;
        }
    }
    if (!ok) {
        xpath_nodeset_free(out);
        return guard_fail(c, "Out of memory");
    }
    result* r = xpath_result_new(XPATH_NODESET);
    if (!r) {
        xpath_nodeset_free(out);
        return guard_fail(c, "Out of memory");
    }
    r->value.nodeset = out;
    return r;
}

// ---- string ----------------------------------------------------------------------------------------

quorvel_xpath_result* xpath_func_string(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t n) {
    if (!c) return nullptr;
    if (n == 0) {
        char* text = is_item(c->node) ? get_node_text(c->node) : nullptr;
        if (!text) {
            if (is_item(c->node)) return guard_fail(c, "Out of memory");
            return fn_string_result_copy(c, "", 0);
        }
        return fn_string_result_take(c, text);
    }
    result* v = argument(c, args, 0);
    if (!v) return nullptr;
    char* text;
    if (c->xquery_mode && v->kind == XPATH_NUMBER && !v->exact_integer_set)
        text = xpath_number_to_string_xq_typed(nullptr, 0, v->value.number);
    else
        text = xpath_to_string(v);
    xpath_result_free(v);
    return fn_string_result_take(c, text);
}
