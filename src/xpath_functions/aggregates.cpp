// Aggregates: avg, min and max, and the atomizing item collector behind
// them. The argument is atomized item by item (nodes give untyped values,
// arrays give their members, recursively) into typed atoms; the aggregate
// then picks the one rule that fits every atom (numbers, year-month or
// day-time durations, strings, booleans, dates, times, binaries) and fails
// with FORG0006 when the atoms have no common ordered type.
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

// ---- Reading numbers ----------------------------------------------------------------------------------

bool digit(char ch) { return ch >= '0' && ch <= '9'; }

// The xs:double lexical forms (blanks around allowed): an optional sign,
// digits with an optional point, an optional exponent; INF, -INF, +INF, NaN.
bool read_double_lexical(const char* text, double* out) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') p++;
    const char* start = p;
    const char* end = p + std::strlen(p);
    while (end > p && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\n' || end[-1] == '\r')) end--;
    size_t n = static_cast<size_t>(end - start);
    auto is = [&](const char* word) { return n == std::strlen(word) && !std::memcmp(start, word, n); };
    if (is("INF") || is("+INF")) {
        *out = INFINITY;
        return true;
    }
    if (is("-INF")) {
        *out = -INFINITY;
        return true;
    }
    if (is("NaN")) {
        *out = NAN;
        return true;
    }
    if (p < end && (*p == '+' || *p == '-')) p++;
    size_t digits = 0;
    while (p < end && digit(*p)) p++, digits++;
    if (p < end && *p == '.') {
        p++;
        while (p < end && digit(*p)) p++, digits++;
    }
    if (!digits) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        if (p < end && (*p == '+' || *p == '-')) p++;
        if (p >= end || !digit(*p)) return false;
        while (p < end && digit(*p)) p++;
    }
    if (p != end) return false;
    *out = std::strtod(start, nullptr);
    return true;
}

double single(double v) {
    if (std::isnan(v)) return v;
    if (std::fabs(v) > 3.4028235677973366e38) return v < 0 ? -INFINITY : INFINITY;
    return static_cast<double>(static_cast<float>(v));
}

// An exact decimal: value = mantissa / 10^scale, held in 64 bits (wider
// integers would need the compiler's runtime for division).
struct decimal {
    int64_t mantissa = 0;
    int scale = 0;
};

constexpr int kMaxScale = 18;

// Reads an optional sign, digits and an optional fraction; false for any
// other text or a value beyond the exact range.
bool read_decimal(const char* text, decimal* out) {
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t m = 0;
    int scale = 0;
    bool any = false, point = false;
    for (; *p; p++) {
        if (*p == '.' && !point) {
            point = true;
            continue;
        }
        if (!digit(*p)) return false;
        any = true;
        if (point) {
            if (scale == kMaxScale) {
                if (*p != '0') return false;
                continue;
            }
            scale++;
        }
        // Accumulated negatively, so the most negative value fits too.
        if (__builtin_mul_overflow(m, 10, &m) || __builtin_sub_overflow(m, *p - '0', &m)) return false;
    }
    if (!any) return false;
    if (!negative && m == INT64_MIN) return false;
    out->mantissa = negative ? m : -m;
    out->scale = scale;
    return true;
}

// a + b at the larger scale; false when the sum leaves 64 bits.
bool decimal_add(decimal* a, const decimal& b) {
    decimal x = *a, y = b;
    int scale = x.scale > y.scale ? x.scale : y.scale;
    decimal* both[2] = {&x, &y};
    for (decimal* d : both) {
        while (d->scale < scale) {
            if (__builtin_mul_overflow(d->mantissa, 10, &d->mantissa)) return false;
            d->scale++;
        }
    }
    int64_t sum;
    if (__builtin_add_overflow(x.mantissa, y.mantissa, &sum)) return false;
    a->mantissa = sum;
    a->scale = scale;
    return true;
}

// The text of value / count: the value's own fraction digits and
// kMaxScale more (truncated), trailing zeros removed.
void decimal_quotient_text(const decimal& value, size_t count, char* out, size_t size) {
    bool negative = value.mantissa < 0;
    uint64_t m = negative ? 0 - static_cast<uint64_t>(value.mantissa) : static_cast<uint64_t>(value.mantissa);
    uint64_t n = count;
    // q in units of 10^-scale, then the remainder's digits by long division
    // (rest < n, so rest * 10 stays far inside 64 bits).
    uint64_t q = m / n, rest = m % n;
    uint64_t unit = 1;
    for (int i = 0; i < value.scale; i++) unit *= 10;
    uint64_t whole = q / unit, below = q % unit;
    char digits_text[2 * kMaxScale + 1];
    int fraction = 0;
    for (int i = value.scale - 1; i >= 0; i--) {
        digits_text[i] = static_cast<char>('0' + below % 10);
        below /= 10;
    }
    fraction = value.scale;
    for (int i = 0; rest != 0 && i < kMaxScale; i++) {
        rest *= 10;
        digits_text[fraction++] = static_cast<char>('0' + rest / n);
        rest %= n;
    }
    while (fraction > 0 && digits_text[fraction - 1] == '0') fraction--;
    bool is_zero = whole == 0 && fraction == 0;
    char integer_text[24];
    int k = 0;
    do {
        integer_text[k++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    size_t at = 0;
    if (negative && !is_zero && at + 1 < size) out[at++] = '-';
    while (k > 0 && at + 1 < size) out[at++] = integer_text[--k];
    if (fraction && at + 1 < size) out[at++] = '.';
    for (int i = 0; i < fraction && at + 1 < size; i++) out[at++] = digits_text[i];
    out[at] = '\0';
}

// ---- Atoms ----------------------------------------------------------------------------------------------

enum atom_class : uint8_t {
    A_INTEGER,
    A_DECIMAL,
    A_FLOAT,
    A_DOUBLE,
    A_UNTYPED,  // read as an xs:double
    A_STRING,
    A_BOOLEAN,
    A_YEAR_MONTH,
    A_DAY_TIME,
    A_DATE_TIME,
    A_DATE,
    A_TIME,
    A_HEX,
    A_BASE64,
    A_UNORDERED,  // xs:duration, the g- types, xs:QName
};

struct agg_atom {
    atom_class cls;
    double number;       // numbers, durations (months or seconds), instants, booleans
    const char* text;    // the lexical text (borrowed or owned)
    const char* type;    // the value's own type name when known, else NULL
    char* owned;
};

// The collected atoms of one argument. Texts are borrowed from the
// evaluated value and the arrays met in it, which the list keeps alive.
struct atom_list {
    agg_atom* atoms = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    result* source = nullptr;
    quorvel_xpath_map_value** arrays = nullptr;
    size_t array_count = 0;
    size_t array_capacity = 0;

    atom_list() = default;
    atom_list(const atom_list&) = delete;
    atom_list& operator=(const atom_list&) = delete;
    ~atom_list() {
        for (size_t i = 0; i < count; i++) std::free(atoms[i].owned);
        std::free(atoms);
        for (size_t i = 0; i < array_count; i++) xpath_map_value_release(arrays[i]);
        std::free(arrays);
        xpath_result_free(source);
    }

    // Takes over one reference on an array; false (reference released)
    // when memory runs out.
    bool keep(quorvel_xpath_map_value* array) {
        if (array_count == array_capacity) {
            size_t grown = array_capacity ? array_capacity * 2 : 8;
            auto* more = static_cast<quorvel_xpath_map_value**>(std::realloc(arrays, grown * sizeof *arrays));
            if (!more) {
                xpath_map_value_release(array);
                return false;
            }
            arrays = more;
            array_capacity = grown;
        }
        arrays[array_count++] = array;
        return true;
    }

    agg_atom* push() {
        if (count == capacity) {
            size_t grown = capacity ? capacity * 2 : 16;
            auto* more = static_cast<agg_atom*>(std::realloc(atoms, grown * sizeof(agg_atom)));
            if (!more) return nullptr;
            atoms = more;
            capacity = grown;
        }
        agg_atom* a = &atoms[count++];
        *a = agg_atom{A_STRING, 0, "", nullptr, nullptr};
        return a;
    }
};

// Seconds from 1970-01-01T00:00:00Z of a date, dateTime or time text.
bool instant_of(const char* text, double* out) {
    int64_t whole;
    double fraction;
    if (!quorvel_dt_instant(text, &whole, &fraction)) return false;
    *out = static_cast<double>(whole) + fraction;
    return true;
}

// Fills an atom from a lexical text and a type tag (0 for an untagged
// string). False with the context's error for values that cannot be
// atomized or read.
bool classify(quorvel_xpath_context* c, agg_atom* a, char tag, const char* text) {
    a->text = text;
    switch (tag) {
    case 0: a->cls = A_STRING; return true;
    case kXpathTagInteger:
    case kXpathTagDecimal:
    case kXpathTagDouble:
    case kXpathTagFloat:
        a->cls = tag == kXpathTagInteger ? A_INTEGER
                 : tag == kXpathTagDecimal ? A_DECIMAL
                 : tag == kXpathTagFloat   ? A_FLOAT
                                           : A_DOUBLE;
        if (!read_double_lexical(text, &a->number)) a->number = std::strtod(text, nullptr);
        if (a->cls == A_FLOAT) a->number = single(a->number);
        // Plain numbers of the 1.0 functions travel with the integer tag;
        // one that is not a whole number is a double.
        if (a->cls == A_INTEGER && !(std::isfinite(a->number) && a->number == std::trunc(a->number)))
            a->cls = A_DOUBLE;
        return true;
    case kXpathTagBoolean:
        a->cls = A_BOOLEAN;
        a->number = text[0] == 't' || text[0] == '1' ? 1 : 0;
        return true;
    case 'U':
        a->cls = A_UNTYPED;
        if (!read_double_lexical(text, &a->number)) {
            xpath_context_fail_code(c, "FORG0001", "FORG0001: Cannot convert '%.60s' to xs:double", text);
            return false;
        }
        return true;
    case 'd':
        if (quorvel_dur_try_months(text, &a->number)) a->cls = A_YEAR_MONTH;
        else if (quorvel_dur_try_seconds(text, &a->number)) a->cls = A_DAY_TIME;
        else a->cls = A_UNORDERED;
        return true;
    case 'T':
    case 'E':
    case 't':
        a->cls = tag == 'T' ? A_DATE_TIME : tag == 'E' ? A_DATE : A_TIME;
        if (!instant_of(text, &a->number)) a->cls = A_UNORDERED;
        return true;
    case 'X': a->cls = A_HEX; return true;
    case 'W': a->cls = A_BASE64; return true;
    default: a->cls = A_UNORDERED; return true;
    }
}

// The tag a value's type name stands for (0 for plain and string-derived
// strings and xs:anyURI).
char tag_of_type(const char* type_name) {
    if (!type_name) return 0;
    for (const quorvel_xpath_family& f : xq_family_table)
        if (!std::strcmp(f.type_name, type_name)) return f.tag;
    return 0;
}

bool fail_function_item(quorvel_xpath_context* c) {
    xpath_context_fail_code(c, "FOTY0013", "FOTY0013: A map or function item cannot be atomized");
    return false;
}

// A pending array while its members are collected (the atom list holds
// the reference).
struct pending {
    const quorvel_xpath_map_value* array;
    size_t member;
    size_t item;
};

struct pending_stack {
    pending* frames = nullptr;
    size_t count = 0;
    size_t capacity = 0;

    pending_stack() = default;
    pending_stack(const pending_stack&) = delete;
    pending_stack& operator=(const pending_stack&) = delete;
    ~pending_stack() { std::free(frames); }
    bool push(const quorvel_xpath_map_value* array) {
        if (count == capacity) {
            size_t grown = capacity ? capacity * 2 : 8;
            auto* more = static_cast<pending*>(std::realloc(frames, grown * sizeof(pending)));
            if (!more) return false;
            frames = more;
            capacity = grown;
        }
        frames[count++] = pending{array, 0, 0};
        return true;
    }
};

// Atomizes one item into the list; arrays are pushed for their members.
bool collect_item(quorvel_xpath_context* c, const quorvel_node* n, atom_list& out, pending_stack& arrays) {
    if (n->kind == kXpathCarrierNode) {
        auto* carrier = reinterpret_cast<const quorvel_xpath_carrier*>(n);
        const char* t = carrier->text ? carrier->text : "";
        if (carrier->ref_kind == XPATH_REF_FUNCTION) return fail_function_item(c);
        if (carrier->ref_kind == XPATH_REF_MAP || !std::strncmp(t, "\x03MAP", 4)) {
            quorvel_xpath_map_value* m = xpath_map_of_item(n);
            if (!m) {
                oom(c);
                return false;
            }
            if (!m->is_array) {
                xpath_map_value_release(m);
                return fail_function_item(c);
            }
            if (!out.keep(m) || !arrays.push(m)) {
                oom(c);
                return false;
            }
            return true;
        }
        if (t[0] == kXpathTagMark) {
            char tag = t[1];
            if (tag == kXpathTagEmpty && !t[2]) return true;  // the empty sequence
            if (tag == kXpathTagFloat && (t[2] == 'R' || (t[2] == 'N' && t[3] == '\x02')))
                return fail_function_item(c);
            if (tag != kXpathTagNodeRef && tag != kXpathTagAttribute) {
                agg_atom* a = out.push();
                if (!a) {
                    oom(c);
                    return false;
                }
                return classify(c, a, tag, t + 2);
            }
        } else {
            agg_atom* a = out.push();
            if (!a) {
                oom(c);
                return false;
            }
            return classify(c, a, 0, t);
        }
    }
    // A node: its string value as an untyped value.
    char* text = get_node_text(n);
    agg_atom* a = text ? out.push() : nullptr;
    if (!a) {
        std::free(text);
        oom(c);
        return false;
    }
    a->owned = text;
    return classify(c, a, 'U', text);
}

// Evaluates the argument and atomizes it. False with the context's error.
bool collect_atoms(quorvel_xpath_context* c, const ast* argument, atom_list& out) {
    result* v = fn_evaluate(c, argument);
    if (!v) return false;
    bool ok = true;
    if (v->kind != XPATH_NODESET) {
        agg_atom* a = out.push();
        char* text = nullptr;
        if (a) text = v->kind == XPATH_NUMBER && v->cached_string ? nullptr : scalar_str(v);
        if (a && v->kind == XPATH_NUMBER && v->cached_string) {
            size_t n = std::strlen(v->cached_string);
            text = static_cast<char*>(std::malloc(n + 1));
            if (text) std::memcpy(text, v->cached_string, n + 1);
        }
        if (!a || !text) {
            std::free(text);
            xpath_result_free(v);
            oom(c);
            return false;
        }
        a->owned = text;
        char tag = 0;
        if (v->kind == XPATH_NUMBER) {
            const char* tn = v->type_name;
            tag = !tn                                   ? (v->exact_integer_set || v->value.number == std::trunc(v->value.number)
                                                              ? kXpathTagInteger
                                                              : kXpathTagDouble)
                  : !std::strcmp(tn, "xs:float")   ? kXpathTagFloat
                  : !std::strcmp(tn, "xs:double")  ? kXpathTagDouble
                  : !std::strcmp(tn, "xs:decimal") ? kXpathTagDecimal
                                                   : kXpathTagInteger;
        } else if (v->kind == XPATH_BOOLEAN) {
            tag = kXpathTagBoolean;
        } else {
            tag = tag_of_type(v->type_name);
        }
        ok = classify(c, a, tag, text);
        // A plain xs:duration has no order and no mean, whatever its parts.
        if (ok && v->type_name && !std::strcmp(v->type_name, "xs:duration")) a->cls = A_UNORDERED;
        if (ok && v->kind == XPATH_NUMBER) a->number = tag == kXpathTagFloat ? single(v->value.number) : v->value.number;
        if (a->cls != A_UNTYPED) a->type = v->type_name;  // static type names
        xpath_result_free(v);
        return ok;
    }
    out.source = v;
    const nodeset* s = v->value.nodeset;
    pending_stack arrays;
    for (size_t i = 0; ok && s && i < s->count; i++) {
        if (!is_item(s->items[i])) continue;
        ok = collect_item(c, s->items[i], out, arrays);
        // Members of arrays met on the way, depth first, in order.
        while (ok && arrays.count) {
            pending& top = arrays.frames[arrays.count - 1];
            if (top.member >= top.array->count) {
                arrays.count--;
                continue;
            }
            const nodeset* member = top.array->entries[top.member].value;
            if (!member || top.item >= member->count) {
                top.member++;
                top.item = 0;
                continue;
            }
            const quorvel_node* item = member->items[top.item++];
            if (is_item(item)) ok = collect_item(c, item, out, arrays);
        }
    }
    return ok;
}

// ---- Results ----------------------------------------------------------------------------------------------

result* typed_text(quorvel_xpath_context* c, const char* text, const char* type_name) {
    result* r = fn_string_result_copy(c, text, std::strlen(text));
    if (r) r->type_name = type_name;
    return r;
}

bool is_numeric(atom_class k) { return k <= A_UNTYPED; }

// The class numbers promote to: integer < decimal < float < double, an
// untyped value counting as a double.
atom_class promoted(const atom_list& atoms) {
    atom_class top = A_INTEGER;
    for (size_t i = 0; i < atoms.count; i++) {
        atom_class k = atoms.atoms[i].cls == A_UNTYPED ? A_DOUBLE : atoms.atoms[i].cls;
        if (k > top) top = k;
    }
    return top;
}

result* number_of_class(quorvel_xpath_context* c, atom_class k, double v) {
    result* r = fn_number_result(c, k == A_FLOAT ? single(v) : v);
    if (!r) return nullptr;
    r->type_name = k == A_FLOAT ? "xs:float" : k == A_DOUBLE ? "xs:double" : k == A_DECIMAL ? "xs:decimal" : "xs:integer";
    r->typed_number = k == A_FLOAT || k == A_DOUBLE;
    return r;
}

// A decimal or integer result from its exact text.
result* decimal_result(quorvel_xpath_context* c, const char* text, const char* type_name) {
    result* r = fn_number_result(c, std::strtod(text, nullptr));
    if (!r) return nullptr;
    r->type_name = type_name;
    decimal d;
    if (read_decimal(text, &d) && d.scale == 0) {
        r->exact_integer_set = 1;
        r->exact_integer = static_cast<int64_t>(d.mantissa);
        return r;
    }
    size_t n = std::strlen(text);
    r->cached_string = static_cast<char*>(std::malloc(n + 1));
    if (!r->cached_string) {
        xpath_result_free(r);
        return oom(c);
    }
    std::memcpy(r->cached_string, text, n + 1);
    return r;
}

result* forg0006(quorvel_xpath_context* c, const char* function) {
    xpath_context_fail_code(c, "FORG0006", "FORG0006: %s() needs values of one type that can be %s", function,
                            std::strcmp(function, "avg") ? "ordered" : "averaged");
    return nullptr;
}

constexpr double kMaxMonths = 9223372036854775807.0;  // a month count that still fits 64 bits
constexpr double kMaxSeconds = 8e22;    // beyond it, no exact second count prints

result* average(quorvel_xpath_context* c, const atom_list& atoms) {
    size_t n = atoms.count;
    atom_class first = atoms.atoms[0].cls;
    if (first == A_YEAR_MONTH || first == A_DAY_TIME) {
        double sum = 0;
        for (size_t i = 0; i < n; i++) {
            if (atoms.atoms[i].cls != first) return forg0006(c, "avg");
            sum += atoms.atoms[i].number;
            if (std::fabs(sum) > (first == A_YEAR_MONTH ? kMaxMonths : kMaxSeconds)) {
                xpath_context_fail_code(c, "FODT0002", "FODT0002: Duration value out of range");
                return nullptr;
            }
        }
        double mean = sum / static_cast<double>(n);
        char buf[64];
        if (first == A_YEAR_MONTH) {
            quorvel_dur_format_months(buf, sizeof buf, std::floor(mean + 0.5));
            return typed_text(c, buf, "xs:yearMonthDuration");
        }
        quorvel_dur_format(buf, mean == 0 ? 0.0 : mean);
        return typed_text(c, buf, "xs:dayTimeDuration");
    }
    for (size_t i = 0; i < n; i++)
        if (!is_numeric(atoms.atoms[i].cls)) return forg0006(c, "avg");
    atom_class k = promoted(atoms);
    if (k == A_INTEGER || k == A_DECIMAL) {
        decimal sum;
        bool exact = true;
        for (size_t i = 0; i < n && exact; i++) {
            decimal d;
            exact = read_decimal(atoms.atoms[i].text, &d) && decimal_add(&sum, d);
        }
        if (exact) {
            char text[96];
            decimal_quotient_text(sum, n, text, sizeof text);
            return decimal_result(c, text, "xs:decimal");
        }
    }
    double sum = 0;
    for (size_t i = 0; i < n; i++) {
        sum += atoms.atoms[i].number;
        if (k == A_FLOAT) sum = single(sum);
    }
    // The mean of integers is a decimal.
    return number_of_class(c, k == A_INTEGER ? A_DECIMAL : k, sum / static_cast<double>(n));
}

// Byte order of two hexBinary texts (case apart) or two base64Binary texts
// (by their decoded octets).
int base64_value(char ch) {
    if (ch >= 'A' && ch <= 'Z') return ch - 'A';
    if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
    if (ch >= '0' && ch <= '9') return ch - '0' + 52;
    if (ch == '+') return 62;
    if (ch == '/') return 63;
    return -1;
}

// The next octet of a binary text at *p; -1 at the end.
int next_octet(const char*& p, bool hex, int* bits, int* have) {
    if (hex) {
        auto nibble = [](char ch) {
            return ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
        };
        if (!p[0] || !p[1]) return -1;
        int hi = nibble(p[0]), lo = nibble(p[1]);
        p += 2;
        return hi < 0 || lo < 0 ? 0 : hi * 16 + lo;
    }
    while (*have < 8) {
        while (*p == ' ') p++;
        if (!*p || *p == '=') return -1;
        int v = base64_value(*p++);
        if (v < 0) continue;
        *bits = (*bits << 6) | v;
        *have += 6;
    }
    *have -= 8;
    return (*bits >> *have) & 0xFF;
}

int compare_binary(const char* a, const char* b, bool hex) {
    int bits_a = 0, have_a = 0, bits_b = 0, have_b = 0;
    for (;;) {
        int x = next_octet(a, hex, &bits_a, &have_a);
        int y = next_octet(b, hex, &bits_b, &have_b);
        if (x != y) return x < y ? -1 : 1;
        if (x < 0) return 0;
    }
}

// Order of two atoms of one comparable class: -1, 0 or 1.
int compare_atoms(const agg_atom& x, const agg_atom& y) {
    switch (x.cls) {
    case A_STRING: {
        int d = std::strcmp(x.text, y.text);
        return d < 0 ? -1 : d > 0;
    }
    case A_HEX:
    case A_BASE64: return compare_binary(x.text, y.text, x.cls == A_HEX);
    default: return x.number < y.number ? -1 : x.number > y.number;
    }
}

result* extreme(quorvel_xpath_context* c, const atom_list& atoms, bool want_max) {
    const char* name = want_max ? "max" : "min";
    size_t n = atoms.count;
    atom_class first = atoms.atoms[0].cls;
    if (is_numeric(first)) {
        for (size_t i = 0; i < n; i++)
            if (!is_numeric(atoms.atoms[i].cls)) return forg0006(c, name);
        atom_class k = promoted(atoms);
        size_t best = 0;
        for (size_t i = 0; i < n; i++) {
            double v = atoms.atoms[i].number;
            if (k == A_FLOAT) v = single(v);
            if (std::isnan(v)) return number_of_class(c, k, NAN);
            double b = atoms.atoms[best].number;
            if (want_max ? v > b : v < b) best = i;
        }
        const agg_atom& win = atoms.atoms[best];
        if (k == A_INTEGER || k == A_DECIMAL) {
            decimal d;
            if (read_decimal(win.text, &d)) {
                // A single value keeps its own type (xs:unsignedShort stays
                // one); otherwise the promoted type.
                const char* type = n == 1 && win.type ? win.type : k == A_DECIMAL ? "xs:decimal" : "xs:integer";
                return decimal_result(c, win.text, type);
            }
        }
        result* r = number_of_class(c, k, win.number);
        if (r && n == 1 && win.type) r->type_name = win.type;
        return r;
    }
    if (first == A_UNORDERED) return forg0006(c, name);
    size_t best = 0;
    for (size_t i = 0; i < n; i++) {
        if (atoms.atoms[i].cls != first) return forg0006(c, name);
        int d = compare_atoms(atoms.atoms[i], atoms.atoms[best]);
        if (want_max ? d > 0 : d < 0) best = i;
    }
    const agg_atom& win = atoms.atoms[best];
    switch (first) {
    case A_BOOLEAN: return fn_boolean_result(c, win.number != 0);
    case A_STRING: {
        // Mixed string types give a plain string.
        bool same_type = true;
        for (size_t i = 0; i < n; i++)
            if (atoms.atoms[i].type != win.type) same_type = false;
        return typed_text(c, win.text, same_type ? win.type : nullptr);
    }
    case A_YEAR_MONTH: {
        char buf[64];
        quorvel_dur_format_months(buf, sizeof buf, win.number);
        return typed_text(c, buf, "xs:yearMonthDuration");
    }
    case A_DAY_TIME: {
        char buf[64];
        quorvel_dur_format(buf, win.number == 0 ? 0.0 : win.number);
        return typed_text(c, buf, "xs:dayTimeDuration");
    }
    case A_DATE_TIME: return typed_text(c, win.text, "xs:dateTime");
    case A_DATE: return typed_text(c, win.text, "xs:date");
    case A_TIME: return typed_text(c, win.text, "xs:time");
    case A_HEX: return typed_text(c, win.text, "xs:hexBinary");
    default: return typed_text(c, win.text, "xs:base64Binary");
    }
}

enum aggregate { kAvg, kMin, kMax };

result* run_aggregate(quorvel_xpath_context* c, ast** args, size_t count, aggregate which) {
    if (!c) return nullptr;
    if (count < 1 || !args || !args[0]) {
        xpath_context_fail(c, "NULL AST node");
        return nullptr;
    }
    if (count > 1 && !fn_check_collation(c, args[1])) return nullptr;
    atom_list atoms;
    if (!collect_atoms(c, args[0], atoms)) return nullptr;
    if (!atoms.count) {
        result* r = seq_new();
        return r ? r : oom(c);
    }
    return which == kAvg ? average(c, atoms) : extreme(c, atoms, which == kMax);
}

}  // namespace

quorvel_xpath_result* fn_avg(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    return run_aggregate(c, args, count, kAvg);
}

quorvel_xpath_result* fn_min(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    return run_aggregate(c, args, count, kMin);
}

quorvel_xpath_result* fn_max(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    return run_aggregate(c, args, count, kMax);
}
