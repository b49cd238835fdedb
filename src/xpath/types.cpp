// Sequence types at run time: matching a value against a sequence-type
// text, the lexical tests casts rely on, exact decimal comparison, and the
// instance of, castable as, cast as, treat as and typeswitch operators.
// Typed atomic values are texts with a type name (or, inside a sequence,
// carriers with a tag), so a cast checks or keeps a text and attaches a
// type name, or converts to a number.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "xpath/xpath.h"
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

bool starts_with(const char* s, const char* prefix) { return !std::strncmp(s, prefix, std::strlen(prefix)); }
bool equal(const char* a, const char* b) { return !std::strcmp(a, b); }


bool tree_node(const quorvel_node* n) { return n->kind < kXpathCarrierNode || n->kind == QUORVEL_NODE_DOCUMENT; }

// ---- Atomic types --------------------------------------------------------------------------------------

// The built-in atomic types an item or value can have, each with the type it
// is derived from (NULL for the roots below xs:anyAtomicType).
struct type_row {
    const char* name;
    const char* parent;
};

const type_row kTypes[] = {
    {"xs:string", nullptr}, {"xs:normalizedString", "xs:string"}, {"xs:token", "xs:normalizedString"},
    {"xs:language", "xs:token"}, {"xs:NMTOKEN", "xs:token"}, {"xs:Name", "xs:token"}, {"xs:NCName", "xs:Name"},
    {"xs:ID", "xs:NCName"}, {"xs:IDREF", "xs:NCName"}, {"xs:ENTITY", "xs:NCName"},
    {"xs:decimal", nullptr}, {"xs:integer", "xs:decimal"}, {"xs:long", "xs:integer"}, {"xs:int", "xs:long"},
    {"xs:short", "xs:int"}, {"xs:byte", "xs:short"}, {"xs:nonNegativeInteger", "xs:integer"},
    {"xs:positiveInteger", "xs:nonNegativeInteger"}, {"xs:unsignedLong", "xs:nonNegativeInteger"},
    {"xs:unsignedInt", "xs:unsignedLong"}, {"xs:unsignedShort", "xs:unsignedInt"},
    {"xs:unsignedByte", "xs:unsignedShort"}, {"xs:nonPositiveInteger", "xs:integer"},
    {"xs:negativeInteger", "xs:nonPositiveInteger"}, {"xs:float", nullptr}, {"xs:double", nullptr},
    {"xs:boolean", nullptr}, {"xs:duration", nullptr}, {"xs:yearMonthDuration", "xs:duration"},
    {"xs:dayTimeDuration", "xs:duration"}, {"xs:dateTime", nullptr}, {"xs:date", nullptr}, {"xs:time", nullptr},
    {"xs:gYear", nullptr}, {"xs:gYearMonth", nullptr}, {"xs:gMonthDay", nullptr}, {"xs:gDay", nullptr},
    {"xs:gMonth", nullptr}, {"xs:hexBinary", nullptr}, {"xs:base64Binary", nullptr}, {"xs:QName", nullptr},
    {"xs:anyURI", nullptr}, {"xs:untypedAtomic", nullptr},
};

const type_row* type_named(const char* name) {
    for (const type_row& t : kTypes)
        if (equal(t.name, name)) return &t;
    return nullptr;
}

// Whether an atomic value of type actual is an instance of target.
bool derives_from(const char* actual, const char* target) {
    if (equal(target, "xs:anyAtomicType")) return true;
    for (const type_row* t = type_named(actual); t; t = t->parent ? type_named(t->parent) : nullptr)
        if (equal(t->name, target)) return true;
    return false;
}

// The type of a plain number: its type name, else by its value.
const char* number_type(const char* type_name, double v) {
    if (type_name && type_named(type_name)) return type_name;
    if (!std::isfinite(v)) return "xs:double";
    return v == std::trunc(v) ? "xs:integer" : "xs:decimal";
}

const char* duration_type(const char* text) {
    double v;
    if (quorvel_dur_try_months(text, &v)) return "xs:yearMonthDuration";
    if (quorvel_dur_try_seconds(text, &v)) return "xs:dayTimeDuration";
    return "xs:duration";
}

// The atomic type of a carrier; NULL for function items, maps and arrays.
const char* carrier_type(const quorvel_xpath_carrier* c) {
    const char* t = c->text ? c->text : "";
    if (c->ref_kind != XPATH_REF_NONE) return nullptr;
    if (c->length < 2 || t[0] != kXpathTagMark) return "xs:string";
    switch (t[1]) {
    case kXpathTagInteger: return number_type(nullptr, std::strtod(t + 2, nullptr));
    case kXpathTagDecimal: return "xs:decimal";
    case kXpathTagDouble: return "xs:double";
    case kXpathTagBoolean: return "xs:boolean";
    case kXpathTagFloat:
        if ((c->length > 2 && t[2] == 'R') || (c->length > 3 && t[2] == 'N' && t[3] == '\x02')) return nullptr;
        return "xs:float";
    case 'd': return duration_type(t + 2);
    case kXpathTagAttribute: return "xs:string";
    default:
        for (const quorvel_xpath_family& f : xq_family_table)
            if (f.tag == t[1] && f.tag != 'd') return f.type_name;
        return nullptr;
    }
}

// The atomic type of a value that is not a sequence.
const char* scalar_type(const result* r) {
    switch (r->kind) {
    case XPATH_BOOLEAN: return "xs:boolean";
    case XPATH_NUMBER: return number_type(r->type_name, r->value.number);
    default:
        if (!r->type_name) return "xs:string";
        if (equal(r->type_name, "xs:duration")) {
            return duration_type(r->value.string ? r->value.string : "");
        }
        return r->type_name;
    }
}

bool kind_test_text(const char* t) {
    return equal(t, "item()") || equal(t, "node()") || equal(t, "element()") || equal(t, "attribute()") ||
           equal(t, "text()") || equal(t, "comment()") || equal(t, "processing-instruction()") ||
           equal(t, "document-node()") || starts_with(t, "element(") || starts_with(t, "attribute(");
}

// A named element or attribute test: element(N), element(*), attribute(N).
bool named_test(const char* t, const char* prefix, const char* local) {
    size_t p = std::strlen(prefix), n = std::strlen(t);
    if (n < p + 2 || t[n - 1] != ')') return false;
    const char* name = t + p;
    size_t length = n - p - 1;
    if (length == 1 && name[0] == '*') return true;
    const char* colon = static_cast<const char*>(std::memchr(name, ':', length));
    if (colon) {
        length -= static_cast<size_t>(colon + 1 - name);
        name = colon + 1;
    }
    return std::strlen(local) == length && !std::strncmp(local, name, length);
}

bool item_passes_kind(const char* t, const quorvel_node* n) {
    if (equal(t, "item()")) return true;
    if (equal(t, "node()")) return tree_node(n);
    if (equal(t, "element()")) return n->kind == QUORVEL_NODE_ELEMENT;
    if (equal(t, "attribute()")) return n->kind == kXpathAttributeNode;
    if (equal(t, "text()")) return n->kind == QUORVEL_NODE_TEXT || n->kind == QUORVEL_NODE_CDATA;
    if (equal(t, "comment()")) return n->kind == QUORVEL_NODE_COMMENT;
    if (equal(t, "processing-instruction()")) return n->kind == QUORVEL_NODE_PI;
    if (equal(t, "document-node()")) return n->kind == QUORVEL_NODE_DOCUMENT;
    if (starts_with(t, "element(")) {
        if (n->kind != QUORVEL_NODE_ELEMENT) return false;
        return named_test(t, "element(", quorvel_element_name(reinterpret_cast<const quorvel_element*>(n)));
    }
    if (starts_with(t, "attribute(")) {
        if (n->kind != kXpathAttributeNode) return false;
        const char* name = reinterpret_cast<const quorvel_xpath_attribute_node*>(n)->name;
        const char* colon = std::strchr(name, ':');
        return named_test(t, "attribute(", colon ? colon + 1 : name);
    }
    return false;
}

bool item_instance(const char* t, const quorvel_node* n) {
    if (kind_test_text(t)) return item_passes_kind(t, n);
    if (n->kind != kXpathCarrierNode) return false;
    const char* type = carrier_type(reinterpret_cast<const quorvel_xpath_carrier*>(n));
    return type && derives_from(type, t);
}


// ---- Lexical forms --------------------------------------------------------------------------------------

bool digits(const char*& p, int n) {
    for (int i = 0; i < n; i++)
        if (!std::isdigit(static_cast<unsigned char>(p[i]))) return false;
    p += n;
    return true;
}

int two_digits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

bool month_at(const char*& p) {
    const char* s = p;
    if (!digits(p, 2)) return false;
    int m = two_digits(s);
    return m >= 1 && m <= 12;
}

bool day_at(const char*& p) {
    const char* s = p;
    if (!digits(p, 2)) return false;
    int d = two_digits(s);
    return d >= 1 && d <= 31;
}

bool year_at(const char*& p) {
    if (*p == '-') p++;
    return digits(p, 4);
}

bool tz_end(const char* p) { return xq_valid_tz_opt(&p) && *p == '\0'; }

bool date_part(const char*& p) {
    return year_at(p) && *p++ == '-' && month_at(p) && *p++ == '-' && day_at(p);
}

// The value range of the bounded integer types; false for other names.
bool integer_range(const char* t, double* low, double* high) {
    static const struct {
        const char* name;
        double low, high;
    } ranges[] = {
        {"xs:byte", -128, 127}, {"xs:short", -32768, 32767}, {"xs:int", -2147483648.0, 2147483647.0},
        {"xs:long", -9223372036854775808.0, 9223372036854775807.0}, {"xs:unsignedByte", 0, 255},
        {"xs:unsignedShort", 0, 65535}, {"xs:unsignedInt", 0, 4294967295.0},
        {"xs:unsignedLong", 0, 18446744073709551615.0}, {"xs:nonNegativeInteger", 0, INFINITY},
        {"xs:positiveInteger", 1, INFINITY}, {"xs:nonPositiveInteger", -INFINITY, 0},
        {"xs:negativeInteger", -INFINITY, -1},
    };
    for (const auto& r : ranges)
        if (equal(r.name, t)) {
            *low = r.low;
            *high = r.high;
            return true;
        }
    return false;
}

// Whether the whole number v lies in the range of the integer type t.
bool in_integer_range(const char* t, double v) {
    double low, high;
    if (!integer_range(t, &low, &high)) return std::isfinite(v);
    return std::isfinite(v) && v >= low && v <= high;
}

bool castable_text(const char* t, const char* s, bool from_string) {
    if (equal(t, "xs:integer") || equal(t, "xs:long") || equal(t, "xs:int") || equal(t, "xs:short") ||
        equal(t, "xs:byte") || starts_with(t, "xs:unsigned") || std::strstr(t, "Integer")) {
        if (!xq_numeric_lexical(s)) return false;
        if (!in_integer_range(t, std::trunc(std::strtod(s, nullptr)))) return false;
        if (from_string) {
            const char* p = s;
            while (std::isspace(static_cast<unsigned char>(*p))) p++;
            if (*p == '-') p++;
            if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
            while (std::isdigit(static_cast<unsigned char>(*p))) p++;
            while (std::isspace(static_cast<unsigned char>(*p))) p++;
            return *p == '\0';
        }
        return true;
    }
    if (equal(t, "xs:decimal") || equal(t, "xs:float") || equal(t, "xs:double")) return xq_numeric_lexical(s);
    if (equal(t, "xs:boolean"))
        return equal(s, "true") || equal(s, "false") || equal(s, "1") || equal(s, "0");
    if (equal(t, "xs:QName")) {
        const char* colon = std::strchr(s, ':');
        if (!colon || colon == s || std::strchr(colon + 1, ':') || !colon[1]) return false;
        for (const char* p = s; *p; p++)
            if (p != colon && !(std::isalnum(static_cast<unsigned char>(*p)) || *p == '_' || *p == '-' || *p == '.'))
                return false;
        return true;
    }
    const char* p = s;
    if (equal(t, "xs:gYear")) return year_at(p) && tz_end(p);
    if (equal(t, "xs:gYearMonth")) return year_at(p) && *p++ == '-' && month_at(p) && tz_end(p);
    if (equal(t, "xs:gMonthDay"))
        return *p++ == '-' && *p++ == '-' && month_at(p) && *p++ == '-' && day_at(p) && tz_end(p);
    if (equal(t, "xs:gDay")) return *p++ == '-' && *p++ == '-' && *p++ == '-' && day_at(p) && tz_end(p);
    if (equal(t, "xs:gMonth")) return *p++ == '-' && *p++ == '-' && month_at(p) && tz_end(p);
    if (equal(t, "xs:date")) return date_part(p) && tz_end(p);
    if (equal(t, "xs:dateTime")) return date_part(p) && *p++ == 'T' && quorvel_time_norm_seconds(p, nullptr, nullptr);
    if (equal(t, "xs:time")) return quorvel_time_norm_seconds(s, nullptr, nullptr) != 0;
    if (equal(t, "xs:hexBinary")) {
        size_t n = std::strlen(s);
        if (!n || n % 2) return false;
        for (; *p; p++)
            if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
        return true;
    }
    if (equal(t, "xs:base64Binary")) {
        size_t n = std::strlen(s);
        if (!n || n % 4) return false;
        for (size_t i = 0; i < n; i++) {
            char ch = s[i];
            if (ch == '=') {
                if (i + 2 < n) return false;
                if (i + 1 < n && s[i + 1] != '=') return false;
                continue;
            }
            if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '+' || ch == '/')) return false;
        }
        return true;
    }
    double v;
    if (equal(t, "xs:yearMonthDuration")) return quorvel_dur_try_months(s, &v) != 0;
    if (equal(t, "xs:dayTimeDuration")) return quorvel_dur_try_seconds(s, &v) != 0;
    if (equal(t, "xs:duration")) return quorvel_dur_try_months(s, &v) || quorvel_dur_try_seconds(s, &v);
    return true;
}

// ---- Operators ------------------------------------------------------------------------------------------

// The working copy of a sequence type: the occurrence indicator taken off.
struct seq_type {
    char text[80];
    char occurrence = 0;

    explicit seq_type(const char* t) {
        if (!t) t = "";
        size_t n = std::strlen(t);
        if (n && (t[n - 1] == '?' || t[n - 1] == '*' || t[n - 1] == '+')) occurrence = t[--n];
        if (n > sizeof text - 1) n = sizeof text - 1;
        std::memcpy(text, t, n);
        text[n] = '\0';
    }
};

bool integer_derived(const char* t) {
    static const char* const names[] = {"xs:integer", "xs:int", "xs:long", "xs:short", "xs:byte",
                                        "xs:nonNegativeInteger", "xs:nonPositiveInteger", "xs:positiveInteger",
                                        "xs:negativeInteger", "xs:unsignedLong", "xs:unsignedInt",
                                        "xs:unsignedShort", "xs:unsignedByte"};
    for (const char* n : names)
        if (equal(t, n)) return true;
    return false;
}

bool instance_of(const result* r, const seq_type& st) {
    const char* t = st.text;
    if (r->kind == XPATH_NODESET) {
        const nodeset* s = r->value.nodeset;
        size_t count = 0;
        for (size_t i = 0; s && i < s->count; i++)
            if (is_item(s->items[i])) count++;
        if (equal(t, "empty-sequence()")) return count == 0;
        bool fits = st.occurrence == '*' || (st.occurrence == '?' && count <= 1) ||
                    (st.occurrence == '+' && count >= 1) || (!st.occurrence && count == 1);
        if (!fits) return false;
        for (size_t i = 0; s && i < s->count; i++)
            if (is_item(s->items[i]) && !item_instance(t, s->items[i])) return false;
        return true;
    }
    if (equal(t, "empty-sequence()")) return false;
    if (kind_test_text(t)) return equal(t, "item()");
    return derives_from(scalar_type(r), t);
}


size_t item_count(const result* r) {
    if (r->kind != XPATH_NODESET) return 1;
    size_t count = 0;
    if (const nodeset* s = r->value.nodeset)
        for (size_t i = 0; i < s->count; i++)
            if (is_item(s->items[i])) count++;
    return count;
}

bool is_string_value(const result* r) {
    if (r->kind == XPATH_STRING) return true;
    return r->kind == XPATH_NODESET;  // atomized: an untyped value or a string item
}

result* eval_instance_of(quorvel_xpath_context* c, const ast* e) {
    result* v = evaluate_expr(c, e->children[0]);
    if (!v) return nullptr;
    seq_type st(e->text);
    bool yes = instance_of(v, st);
    xpath_result_free(v);
    result* r = xpath_result_new(XPATH_BOOLEAN);
    if (!r) return oom(c);
    r->value.boolean = yes;
    return r;
}

result* eval_castable(quorvel_xpath_context* c, const ast* e) {
    result* v = evaluate_expr(c, e->children[0]);
    if (!v) return nullptr;
    seq_type st(e->text);
    size_t count = item_count(v);
    bool yes;
    if (count != 1) {
        yes = count == 0 && st.occurrence == '?';
    } else {
        char* s = xpath_to_string(v);
        if (!s) {
            xpath_result_free(v);
            return oom(c);
        }
        yes = castable_text(st.text, s, is_string_value(v));
        std::free(s);
    }
    xpath_result_free(v);
    result* r = xpath_result_new(XPATH_BOOLEAN);
    if (!r) return oom(c);
    r->value.boolean = yes;
    return r;
}

const char* static_family_name(const char* t) {
    for (const quorvel_xpath_family& f : xq_family_table)
        if (equal(f.type_name, t)) return f.type_name;
    return nullptr;
}

bool string_derived(const char* t) {
    static const char* const names[] = {"xs:normalizedString", "xs:token", "xs:language", "xs:NMTOKEN", "xs:Name",
                                        "xs:NCName", "xs:ID", "xs:IDREF", "xs:ENTITY"};
    for (const char* n : names)
        if (equal(t, n)) return true;
    return false;
}

result* string_value_result(quorvel_xpath_context* c, char* text, const char* type_name) {
    result* r = xpath_result_new(XPATH_STRING);
    if (!r) {
        std::free(text);
        return oom(c);
    }
    r->value.string = text;
    r->type_name = type_name;
    return r;
}

result* eval_cast(quorvel_xpath_context* c, const ast* e) {
    result* v = evaluate_expr(c, e->children[0]);
    if (!v) return nullptr;
    seq_type st(e->text);
    const char* t = st.text;
    size_t count = item_count(v);
    if (count != 1) {
        xpath_result_free(v);
        if (count == 0 && st.occurrence == '?') {
            nodeset* s = xpath_nodeset_new();
            if (!s) return oom(c);
            s->owns_attributes = s->owns_namespaces = s->owns_carriers = s->is_sequence = 1;
            result* r = xpath_result_new(XPATH_NODESET);
            if (!r) {
                xpath_nodeset_free(s);
                return oom(c);
            }
            r->value.nodeset = s;
            return r;
        }
        std::snprintf(c->error_code, sizeof c->error_code, "XPTY0004");
        xpath_context_fail(c, "XPTY0004: Cannot cast a sequence of %zu items to %s", count, t);
        return nullptr;
    }
    char* s = xpath_to_string(v);
    if (!s) {
        xpath_result_free(v);
        return oom(c);
    }
    if (equal(t, "xs:string") || equal(t, "xs:anyURI")) {
        xpath_result_free(v);
        return string_value_result(c, s, nullptr);
    }
    if (equal(t, "xs:untypedAtomic")) {
        if (xq_numeric_lexical(s)) {
            char* canonical = xpath_number_to_string_xq_typed(nullptr, xpath_result_is_float(v), xpath_to_number(v));
            std::free(s);
            s = canonical;
        }
        xpath_result_free(v);
        if (!s) return oom(c);
        return string_value_result(c, s, "xs:untypedAtomic");
    }
    if (const char* family = static_family_name(t)) {
        xpath_result_free(v);
        return string_value_result(c, s, family);
    }
    if (string_derived(t)) {
        xpath_result_free(v);
        return string_value_result(c, s, type_named(t)->name);
    }
    if (equal(t, "xs:boolean")) {
        bool yes;
        if (v->kind == XPATH_NUMBER || v->kind == XPATH_BOOLEAN) yes = xpath_to_boolean(v) != 0;
        else yes = equal(s, "true") || equal(s, "1");
        std::free(s);
        xpath_result_free(v);
        result* r = xpath_result_new(XPATH_BOOLEAN);
        if (!r) return oom(c);
        r->value.boolean = yes;
        return r;
    }
    if (v->kind != XPATH_NUMBER && v->kind != XPATH_BOOLEAN && !xq_numeric_lexical(s)) {
        std::snprintf(c->error_code, sizeof c->error_code, "FORG0001");
        char shown[200];
        std::snprintf(shown, sizeof shown, "%s", s);
        xpath_context_fail(c, "Cannot cast '%s' to %s", shown, t);
        std::free(s);
        xpath_result_free(v);
        return nullptr;
    }
    std::free(s);
    double x = xpath_to_number(v);
    xpath_result_free(v);
    result* r = xpath_result_new(XPATH_NUMBER);
    if (!r) return oom(c);
    if (integer_derived(t) || std::strstr(t, "Integer") || starts_with(t, "xs:unsigned")) {
        x = std::trunc(x);
        if (!in_integer_range(t, x)) {
            xpath_result_free(r);
            std::snprintf(c->error_code, sizeof c->error_code, "FOCA0003");
            xpath_context_fail(c, "FOCA0003: Value out of range for %s", t);
            return nullptr;
        }
        if (const type_row* row = type_named(t)) r->type_name = row->name;
        if (std::isfinite(x) && std::fabs(x) < 9223372036854775808.0) {
            r->exact_integer_set = 1;
            r->exact_integer = static_cast<int64_t>(x);
        }
    } else if (equal(t, "xs:float")) {
        x = static_cast<double>(static_cast<float>(x));
        r->type_name = "xs:float";
    } else if (equal(t, "xs:double")) {
        r->type_name = "xs:double";
    } else if (equal(t, "xs:decimal")) {
        r->type_name = "xs:decimal";
        r->cached_string = xpath_number_to_string_xq_typed(nullptr, 0, x);
        if (!r->cached_string) {
            xpath_result_free(r);
            return oom(c);
        }
    }
    r->value.number = x;
    return r;
}

result* eval_typeswitch(quorvel_xpath_context* c, const ast* e) {
    if (e->count < 2 || !e->text) {
        xpath_context_fail(c, "Malformed typeswitch expression");
        return nullptr;
    }
    result* v = evaluate_expr(c, e->children[0]);
    if (!v) return nullptr;
    size_t cases = e->count - 2;
    const char* clause = e->text;
    for (size_t i = 1; i <= cases; i++) {
        size_t length = std::strcspn(clause, "\x01");
        const char* split = static_cast<const char*>(std::memchr(clause, '\x02', length));
        const char* type = split ? split + 1 : clause;
        char text[80];
        size_t n = static_cast<size_t>(clause + length - type);
        if (n > sizeof text - 1) n = sizeof text - 1;
        std::memcpy(text, type, n);
        text[n] = '\0';
        if (xpath_result_matches_type(v, text)) {
            if (!split) {
                xpath_result_free(v);
                return evaluate_expr(c, e->children[i]);
            }
            // The value moves into the binding: the branch's result never
            // shares items with a value freed before it is returned.
            return xpath_eval_bound(c, clause, static_cast<size_t>(split - clause), v, e->children[i]);
        }
        clause += length;
        if (*clause) clause++;
    }
    xpath_result_free(v);
    return evaluate_expr(c, e->children[e->count - 1]);
}

}  // namespace

// A case type written without an occurrence indicator (typeswitch cases
// cannot carry one) takes one or more items, each of the type.
int xpath_result_matches_type(const quorvel_xpath_result* value, const char* type) {
    if (!value || !type) return 0;
    seq_type st(type);
    if (!st.occurrence && !equal(st.text, "empty-sequence()")) st.occurrence = '+';
    return instance_of(value, st);
}

int xq_numeric_lexical(const char* text) {
    if (!text) return 0;
    while (std::isspace(static_cast<unsigned char>(*text))) text++;
    size_t n = std::strlen(text);
    while (n && std::isspace(static_cast<unsigned char>(text[n - 1]))) n--;
    if (!n) return 0;
    char buf[128];
    char* copy = n < sizeof buf ? buf : static_cast<char*>(std::malloc(n + 1));
    if (!copy) return 0;
    std::memcpy(copy, text, n);
    copy[n] = '\0';
    char* end = nullptr;
    std::strtod(copy, &end);
    int ok = end == copy + n;
    if (copy != buf) std::free(copy);
    return ok;
}

int xq_valid_tz_opt(const char** cursor) {
    const char* p = *cursor;
    if (*p == 'Z') {
        *cursor = p + 1;
        return 1;
    }
    if (*p != '+' && *p != '-') return 1;
    const char* q = p + 1;
    if (!digits(q, 2) || *q != ':') return 0;
    q++;
    if (!digits(q, 2)) return 0;
    int hours = two_digits(p + 1), minutes = two_digits(p + 4);
    if (hours > 14 || minutes >= 60) return 0;
    *cursor = q;
    return 1;
}

int xq_dec_str_cmp(const char* a, const char* b) {
    if (std::strpbrk(a, "eE") || std::strpbrk(b, "eE")) {
        double x = std::strtod(a, nullptr), y = std::strtod(b, nullptr);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    struct parts {
        bool negative;
        const char* integer;
        size_t integer_length;
        const char* fraction;
        size_t fraction_length;
    };
    auto split = [](const char* s) {
        parts p{};
        p.negative = *s == '-';
        if (*s == '-' || *s == '+') s++;
        const char* dot = std::strchr(s, '.');
        size_t n = dot ? static_cast<size_t>(dot - s) : std::strlen(s);
        while (n > 1 && *s == '0') s++, n--;
        p.integer = s;
        p.integer_length = n;
        p.fraction = dot ? dot + 1 : "";
        p.fraction_length = std::strlen(p.fraction);
        return p;
    };
    auto all_zero = [](const parts& p) {
        for (size_t i = 0; i < p.integer_length; i++)
            if (p.integer[i] != '0') return false;
        for (size_t i = 0; i < p.fraction_length; i++)
            if (p.fraction[i] != '0') return false;
        return true;
    };
    parts x = split(a), y = split(b);
    bool zx = all_zero(x), zy = all_zero(y);
    if (zx && zy) return 0;
    bool nx = x.negative && !zx, ny = y.negative && !zy;
    if (nx != ny) return nx ? -1 : 1;
    int d = 0;
    if (x.integer_length != y.integer_length) {
        d = x.integer_length < y.integer_length ? -1 : 1;
    } else {
        int k = std::strncmp(x.integer, y.integer, x.integer_length);
        d = k < 0 ? -1 : k > 0 ? 1 : 0;
        size_t m = x.fraction_length > y.fraction_length ? x.fraction_length : y.fraction_length;
        for (size_t i = 0; !d && i < m; i++) {
            char p = i < x.fraction_length ? x.fraction[i] : '0';
            char q = i < y.fraction_length ? y.fraction[i] : '0';
            d = p < q ? -1 : p > q ? 1 : 0;
        }
    }
    return nx ? -d : d;
}

bool xpath_eval_type_op(quorvel_xpath_context* c, const quorvel_xpath_ast_node* e, int32_t op,
                        quorvel_xpath_result** out) {
    if (op != OP_INSTANCE_OF && op != OP_CASTABLE && op != OP_CAST && op != OP_TREAT && op != OP_TYPESWITCH)
        return false;
    if (e->count < 1) {
        xpath_context_fail(c, "Malformed expression");
        *out = nullptr;
        return true;
    }
    switch (op) {
    case OP_INSTANCE_OF: *out = eval_instance_of(c, e); break;
    case OP_CASTABLE: *out = eval_castable(c, e); break;
    case OP_CAST: *out = eval_cast(c, e); break;
    case OP_TREAT: *out = evaluate_expr(c, e->children[0]); break;
    default: *out = eval_typeswitch(c, e); break;
    }
    return true;
}
