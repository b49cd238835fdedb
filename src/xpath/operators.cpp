// Logic, comparisons and arithmetic: or, and, the general and value
// comparisons, is, << and >>, arithmetic on numbers, durations and dates,
// unary minus, || and the range.
//
// Comparisons work item by item: each operand becomes a run of atoms
// (untyped node values, strings, numbers, booleans and typed values such as
// dates), and a pair of atoms is compared after converting an untyped value
// to the other side's type, so a node compared with a number compares its
// number value and a node compared with a date compares as a date.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/core.h"
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

result* boolean_result(quorvel_xpath_context* c, bool v) {
    result* r = xpath_result_new(XPATH_BOOLEAN);
    if (!r) return oom(c);
    r->value.boolean = v ? 1 : 0;
    return r;
}

result* number_result(quorvel_xpath_context* c, double v) {
    result* r = xpath_result_new(XPATH_NUMBER);
    if (!r) return oom(c);
    r->value.number = v;
    return r;
}

result* string_result(quorvel_xpath_context* c, const char* text, size_t n) {
    char* copy = static_cast<char*>(std::malloc(n + 1));
    result* r = copy ? xpath_result_new(XPATH_STRING) : nullptr;
    if (!r) {
        std::free(copy);
        return oom(c);
    }
    std::memcpy(copy, text, n);
    copy[n] = '\0';
    r->value.string = copy;
    return r;
}

// ---- Atoms ---------------------------------------------------------------------------------------

enum atom_kind { ATOM_UNTYPED, ATOM_STRING, ATOM_NUMBER, ATOM_BOOLEAN, ATOM_TYPED, ATOM_NONE };

struct atom {
    atom_kind kind = ATOM_NONE;
    char tag = 0;           // ATOM_TYPED: the family letter
    bool single = false;    // ATOM_NUMBER: an xs:float
    bool exact = false;     // ATOM_NUMBER: an integer past 2^53, exactly exact_value
    int64_t exact_value = 0;
    bool boolean = false;
    double number = 0;
    const char* text = "";  // ATOM_UNTYPED, ATOM_STRING, ATOM_TYPED (after the tag)
    char* owned = nullptr;

    atom() = default;
    atom(const atom&) = delete;
    atom& operator=(const atom&) = delete;
    ~atom() { std::free(owned); }
};

char family_tag(const char* type_name) {
    if (!type_name) return 0;
    for (const quorvel_xpath_family& f : xq_family_table)
        if (!std::strcmp(f.type_name, type_name)) return f.tag;
    return 0;
}

// The atom of one item of a node set; false when memory runs out. An item
// that stands for the empty sequence gives ATOM_NONE.
bool item_atom(quorvel_node* n, atom* a) {
    if (n->kind == kXpathCarrierNode) {
        auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(n);
        const char* t = c->text ? c->text : "";
        if (t[0] != kXpathTagMark) {
            a->kind = ATOM_STRING;
            a->text = t;
            return true;
        }
        switch (t[1]) {
        case kXpathTagEmpty:
            if (!t[2]) {
                a->kind = ATOM_NONE;
                return true;
            }
            break;
        case kXpathTagInteger:
        case kXpathTagDecimal:
        case kXpathTagDouble:
        case kXpathTagFloat:
            a->kind = ATOM_NUMBER;
            a->single = t[1] == kXpathTagFloat;
            a->number = xpath_string_to_number(t + 2);
            if (t[1] == kXpathTagInteger && std::fabs(a->number) >= kXpathExactDoubleLimit)
                a->exact = xpath_integer_text(t + 2, &a->exact_value);
            return true;
        case kXpathTagBoolean:
            a->kind = ATOM_BOOLEAN;
            a->boolean = t[2] == 't';
            return true;
        case 'U':
            a->kind = ATOM_UNTYPED;
            a->text = t + 2;
            return true;
        case kXpathTagNodeRef:
        case kXpathTagAttribute:
            a->owned = get_node_text(n);
            if (!a->owned) return false;
            a->kind = ATOM_UNTYPED;
            a->text = a->owned;
            return true;
        case 'M':
        case '\0':
            a->kind = ATOM_STRING;
            a->text = t;
            return true;
        default:
            break;
        }
        a->kind = ATOM_TYPED;
        a->tag = t[1];
        a->text = t + 2;
        return true;
    }
    a->owned = get_node_text(n);
    if (!a->owned) return false;
    a->kind = ATOM_UNTYPED;
    a->text = a->owned;
    return true;
}

// The atom of a result that is not a node set.
void value_atom(const result* r, atom* a) {
    switch (r->kind) {
    case XPATH_BOOLEAN:
        a->kind = ATOM_BOOLEAN;
        a->boolean = r->value.boolean != 0;
        return;
    case XPATH_NUMBER:
        a->kind = ATOM_NUMBER;
        a->number = r->value.number;
        a->single = r->type_name && !std::strcmp(r->type_name, "xs:float");
        a->exact = r->exact_integer_set != 0;
        a->exact_value = r->exact_integer;
        return;
    default: {
        a->text = r->value.string ? r->value.string : "";
        char tag = family_tag(r->type_name);
        if (tag == 'U') a->kind = ATOM_UNTYPED;
        else if (tag) {
            a->kind = ATOM_TYPED;
            a->tag = tag;
        } else {
            a->kind = ATOM_STRING;
        }
        return;
    }
    }
}

// ---- Comparing two atoms -------------------------------------------------------------------------

// The comparison's answer from an order: d < 0 less, 0 equal, > 0 greater.
bool from_order(int32_t op, int d) {
    switch (op) {
    case OP_EQ: return d == 0;
    case OP_NE: return d != 0;
    case OP_LT: return d < 0;
    case OP_LE: return d <= 0;
    case OP_GT: return d > 0;
    default: return d >= 0;
    }
}

bool compare_numbers(int32_t op, double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return op == OP_NE;
    return from_order(op, a < b ? -1 : a > b ? 1 : 0);
}

bool compare_texts(int32_t op, const char* a, const char* b) { return from_order(op, std::strcmp(a, b)); }

double single_precision(double v) {
    if (std::fabs(v) > 3.4028234663852886e38) return std::isnan(v) ? v : (v < 0 ? -INFINITY : INFINITY);
    return static_cast<float>(v);
}

double atom_number(const atom& a) {
    switch (a.kind) {
    case ATOM_NUMBER: return a.number;
    case ATOM_BOOLEAN: return a.boolean ? 1 : 0;
    case ATOM_UNTYPED:
    case ATOM_STRING: return xpath_string_to_number(a.text);
    default: return NAN;
    }
}

bool atom_boolean(const atom& a) {
    switch (a.kind) {
    case ATOM_BOOLEAN: return a.boolean;
    case ATOM_NUMBER: return a.number != 0 && !std::isnan(a.number);
    case ATOM_UNTYPED:
        // An untyped value read as a boolean takes its lexical forms.
        return !std::strcmp(a.text, "true") || !std::strcmp(a.text, "1");
    default: return a.text[0] != '\0';
    }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool date_shaped(const char* t) {
    size_t n = std::strlen(t);
    return n > 7 && t[4] == '-' && t[7] == '-';
}

// "24:" read as the midnight it names.
void midnight_text(const char* t, char* out, size_t size) {
    if (!std::strncmp(t, "24:", 3)) std::snprintf(out, size, "00:%s", t + 3);
    else std::snprintf(out, size, "%s", t);
}

// Two strings: durations by value, times by their seconds, date-like texts
// as texts, anything else as strings in code point order.
bool compare_string_pair(int32_t op, const char* a, const char* b) {
    double x, y;
    bool ad = quorvel_dur_try_seconds(a, &x), bd = quorvel_dur_try_seconds(b, &y);
    if (ad && bd) return compare_numbers(op, x, y);
    double mx, my;
    bool am = quorvel_dur_try_months(a, &mx), bm = quorvel_dur_try_months(b, &my);
    if (am && bm) return compare_numbers(op, mx, my);
    if ((ad || am) && (bd || bm)) {
        bool a_zero = ad ? x == 0 : mx == 0;
        bool b_zero = bd ? y == 0 : my == 0;
        if (a_zero && b_zero) return from_order(op, 0);
        if (op == OP_EQ) return false;
        if (op == OP_NE) return true;
    }
    if (is_digit(a[0]) && is_digit(b[0]) && (std::strchr(a, ':') || date_shaped(a))) {
        bool a_colon = std::strchr(a, ':') != nullptr, b_colon = std::strchr(b, ':') != nullptr;
        double sa, sb, ra, rb;
        if (a_colon && b_colon && quorvel_time_norm_seconds(a, &sa, &ra) && quorvel_time_norm_seconds(b, &sb, &rb))
            return op == OP_EQ || op == OP_NE ? compare_numbers(op, sa, sb) : compare_numbers(op, ra, rb);
        if (b_colon || date_shaped(b)) {
            char ta[48], tb[48];
            midnight_text(a, ta, sizeof ta);
            midnight_text(b, tb, sizeof tb);
            return compare_texts(op, ta, tb);
        }
    }
    return compare_texts(op, a, b);
}

// Two values of one typed family, given as their texts after the tag.
bool compare_typed(int32_t op, char tag, const char* a, const char* b) {
    if (tag == 'Z') {
        // QNames have equality only: namespace and local part, not prefix.
        if (op == OP_EQ || op == OP_NE) return from_order(op, xpath_qname_equal(a, b) ? 0 : 1);
        return false;
    }
    if (tag == 'd') {
        double x, y;
        if (quorvel_dur_try_months(a, &x) && quorvel_dur_try_months(b, &y)) return compare_numbers(op, x, y);
        if (quorvel_dur_try_seconds(a, &x) && quorvel_dur_try_seconds(b, &y)) return compare_numbers(op, x, y);
        if (op == OP_EQ || op == OP_NE) return from_order(op, std::strcmp(a, b) ? 1 : 0);
        return false;
    }
    if (tag == 't') {
        double sa, sb, ra, rb;
        if (quorvel_time_norm_seconds(a, &sa, &ra) && quorvel_time_norm_seconds(b, &sb, &rb))
            return op == OP_EQ || op == OP_NE ? compare_numbers(op, sa, sb) : compare_numbers(op, ra, rb);
    }
    return compare_texts(op, a, b);
}

// The integer an exact number atom holds, or a whole one within the
// doubles' exact range; false for anything else.
bool atom_integer(const atom& a, int64_t* out) {
    if (a.kind != ATOM_NUMBER) return false;
    if (a.exact) {
        *out = a.exact_value;
        return true;
    }
    if (std::fabs(a.number) >= kXpathExactDoubleLimit || a.number != std::trunc(a.number)) return false;
    *out = static_cast<int64_t>(a.number);
    return true;
}

bool compare_atoms(int32_t op, const atom& a, const atom& b) {
    if (a.kind == ATOM_NONE || b.kind == ATOM_NONE) return false;
    if (a.kind == ATOM_BOOLEAN || b.kind == ATOM_BOOLEAN) {
        if (op == OP_EQ || op == OP_NE) return from_order(op, atom_boolean(a) == atom_boolean(b) ? 0 : 1);
        return compare_numbers(op, atom_boolean(a) ? 1 : 0, atom_boolean(b) ? 1 : 0);
    }
    if (a.kind == ATOM_NUMBER || b.kind == ATOM_NUMBER) {
        int64_t i, j;
        if ((a.exact || b.exact) && atom_integer(a, &i) && atom_integer(b, &j))
            return from_order(op, i < j ? -1 : i > j ? 1 : 0);
        double x = atom_number(a), y = atom_number(b);
        if (a.single || b.single) {
            x = single_precision(x);
            y = single_precision(y);
        }
        return compare_numbers(op, x, y);
    }
    if (a.kind == ATOM_TYPED || b.kind == ATOM_TYPED) {
        char tag = a.kind == ATOM_TYPED ? a.tag : b.tag;
        bool comparable = (a.kind == ATOM_TYPED || a.kind == ATOM_UNTYPED) &&
                          (b.kind == ATOM_TYPED || b.kind == ATOM_UNTYPED) &&
                          (a.kind != ATOM_TYPED || b.kind != ATOM_TYPED || a.tag == b.tag);
        if (!comparable) return op == OP_NE;
        return compare_typed(op, tag, a.text, b.text);
    }
    if (a.kind == ATOM_STRING && b.kind == ATOM_STRING) return compare_string_pair(op, a.text, b.text);
    if (op == OP_EQ || op == OP_NE) return compare_texts(op, a.text, b.text);
    // Two node values order as numbers; a node value against a string as
    // strings.
    if (a.kind == ATOM_UNTYPED && b.kind == ATOM_UNTYPED)
        return compare_numbers(op, xpath_string_to_number(a.text), xpath_string_to_number(b.text));
    return compare_texts(op, a.text, b.text);
}

// ---- Comparisons of two operands -------------------------------------------------------------------

int32_t flip(int32_t op) {
    switch (op) {
    case OP_LT: return OP_GT;
    case OP_LE: return OP_GE;
    case OP_GT: return OP_LT;
    case OP_GE: return OP_LE;
    default: return op;
    }
}

// Some item of the set compared with the value; -1 when memory runs out.
int compare_set_atom(int32_t op, const nodeset* s, const atom& v) {
    if (!s) return 0;
    for (size_t i = 0; i < s->count; i++) {
        if (!is_item(s->items[i])) continue;
        atom a;
        if (!item_atom(s->items[i], &a)) return -1;
        if (compare_atoms(op, a, v)) return 1;
    }
    return 0;
}

int compare_sets(int32_t op, const nodeset* a, const nodeset* b) {
    size_t na = a ? a->count : 0, nb = b ? b->count : 0;
    if (!na || !nb) return 0;
    if (nb == 1) {
        atom right;
        if (!is_item(b->items[0])) return 0;
        if (!item_atom(b->items[0], &right)) return -1;
        return compare_set_atom(op, a, right);
    }
    auto* right = static_cast<atom*>(std::malloc(nb * sizeof(atom)));
    if (!right) return -1;
    for (size_t j = 0; j < nb; j++) new (&right[j]) atom();
    int found = 0;
    for (size_t j = 0; j < nb && found >= 0; j++)
        if (is_item(b->items[j]) && !item_atom(b->items[j], &right[j])) found = -1;
    for (size_t i = 0; i < na && found == 0; i++) {
        if (!is_item(a->items[i])) continue;
        atom left;
        if (!item_atom(a->items[i], &left)) {
            found = -1;
            break;
        }
        for (size_t j = 0; j < nb && !found; j++)
            if (compare_atoms(op, left, right[j])) found = 1;
    }
    for (size_t j = 0; j < nb; j++) right[j].~atom();
    std::free(right);
    return found;
}

bool set_has_items(const nodeset* s) {
    if (!s) return false;
    for (size_t i = 0; i < s->count; i++)
        if (is_item(s->items[i])) return true;
    return false;
}

result* evaluate_comparison(quorvel_xpath_context* c, int32_t op, const result* a, const result* b) {
    int v;
    bool a_set = a->kind == XPATH_NODESET, b_set = b->kind == XPATH_NODESET;
    if (a_set && b_set) {
        v = compare_sets(op, a->value.nodeset, b->value.nodeset);
    } else if (a_set || b_set) {
        const result* set = a_set ? a : b;
        const result* other = a_set ? b : a;
        int32_t set_op = a_set ? op : flip(op);
        if (other->kind == XPATH_BOOLEAN) {
            // A node set against a boolean: its own boolean value.
            atom x, y;
            x.kind = y.kind = ATOM_BOOLEAN;
            x.boolean = set_has_items(set->value.nodeset);
            y.boolean = other->value.boolean != 0;
            v = compare_atoms(set_op, x, y);
        } else {
            atom value;
            value_atom(other, &value);
            v = compare_set_atom(set_op, set->value.nodeset, value);
        }
    } else {
        atom x, y;
        value_atom(a, &x);
        value_atom(b, &y);
        v = compare_atoms(op, x, y);
    }
    if (v < 0) return oom(c);
    return boolean_result(c, v != 0);
}

// ---- Node comparisons ------------------------------------------------------------------------------

quorvel_node* first_node(const result* r) {
    if (r->kind != XPATH_NODESET || !r->value.nodeset) return nullptr;
    const nodeset* s = r->value.nodeset;
    for (size_t i = 0; i < s->count; i++)
        if (is_item(s->items[i])) return s->items[i];
    return nullptr;
}

result* evaluate_node_comparison(quorvel_xpath_context* c, int32_t op, const result* a, const result* b) {
    quorvel_node* x = first_node(a);
    quorvel_node* y = first_node(b);
    if (!x || !y) return boolean_result(c, false);
    bool xc = x->kind == kXpathCarrierNode, yc = y->kind == kXpathCarrierNode;
    if (op == OP_IS && (xc || yc)) {
        if (xc != yc) return boolean_result(c, false);
        char* tx = get_node_text(x);
        char* ty = get_node_text(y);
        bool same = tx && ty && !std::strcmp(tx, ty);
        std::free(tx);
        std::free(ty);
        if (!tx || !ty) return oom(c);
        return boolean_result(c, same);
    }
    if (x == y) return boolean_result(c, op == OP_IS);
    // Two records of one attribute or namespace node are one node: the
    // document-order sort keeps one of them.
    nodeset* pair = xpath_nodeset_new();
    if (!pair || !xpath_nodeset_add_fast(pair, x) || !xpath_nodeset_add_fast(pair, y)) {
        xpath_nodeset_free(pair);
        return oom(c);
    }
    if (!xpath_nodeset_sort_doc_order(c, pair)) {
        xpath_nodeset_free(pair);
        return oom(c);
    }
    bool same = pair->count == 1;
    bool x_first = pair->items[0] == x;
    xpath_nodeset_free(pair);
    if (op == OP_IS) return boolean_result(c, same);
    if (same) return boolean_result(c, false);
    return boolean_result(c, op == OP_PRECEDES ? x_first : !x_first);
}

// ---- Arithmetic ------------------------------------------------------------------------------------

result* fail(quorvel_xpath_context* c, const char* message) {
    xpath_context_fail(c, "%s", message);
    return nullptr;
}

result* numeric_arithmetic(quorvel_xpath_context* c, int32_t op, double a, double b) {
    switch (op) {
    case OP_ADD: return number_result(c, a + b);
    case OP_SUB: return number_result(c, a - b);
    case OP_MUL: return number_result(c, a * b);
    case OP_DIV: return number_result(c, a / b);
    case OP_MOD: return number_result(c, std::fmod(a, b));
    default: {
        // Integer division of the numbers as given: never a C integer
        // division, so no operand can trap.
        if (b == 0) return fail(c, "FOAR0001: Division by zero");
        if (std::isnan(a) || std::isnan(b) || std::isinf(a))
            return fail(c, "FOAR0002: Numeric operation overflow/underflow");
        double q = std::trunc(a / b);
        if (std::isnan(q) || std::fabs(q) >= 9223372036854775808.0)
            return fail(c, "FOAR0002: Numeric operation overflow/underflow");
        return number_result(c, q + 0.0);
    }
    }
}

result* exact_integer_result(quorvel_xpath_context* c, int64_t v) {
    result* r = number_result(c, static_cast<double>(v));
    if (r && std::fabs(r->value.number) >= kXpathExactDoubleLimit) {
        r->exact_integer_set = 1;
        r->exact_integer = v;
    }
    return r;
}

// Integer arithmetic on two integers, exact past the doubles' 2^53. A
// result past 64 bits is left to the doubles (*handled false).
result* exact_arithmetic(quorvel_xpath_context* c, int32_t op, int64_t x, int64_t y, bool* handled) {
    int64_t v = 0;
    bool overflow = false;
    switch (op) {
    case OP_ADD: overflow = __builtin_add_overflow(x, y, &v); break;
    case OP_SUB: overflow = __builtin_sub_overflow(x, y, &v); break;
    case OP_MUL: overflow = __builtin_mul_overflow(x, y, &v); break;
    case OP_MOD:
        // A zero divisor keeps the doubles' NaN, as mod has always given.
        if (y == 0) return nullptr;
        v = y == -1 ? 0 : x % y;
        break;
    case OP_IDIV:
        if (y == 0) {
            *handled = true;
            return fail(c, "FOAR0001: Division by zero");
        }
        if (x == INT64_MIN && y == -1) {
            *handled = true;
            return fail(c, "FOAR0002: Numeric operation overflow/underflow");
        }
        v = x / y;
        break;
    default: return nullptr;
    }
    if (overflow) return nullptr;
    *handled = true;
    return exact_integer_result(c, v);
}

// Where a numeric type stands in promotion: integer, decimal, float, double.
int numeric_rank(const char* type) {
    static const char* const order[] = {"xs:integer", "xs:decimal", "xs:float"};
    for (int i = 0; i < 3; i++)
        if (!std::strcmp(type, order[i])) return i;
    return 3;
}

// Gives r the numeric type an operation on operands of that type yields.
// Integers stay untagged: their type follows from their whole value, and a
// result too large for an integer then reads as a double. A decimal or
// integer operation that leaves the finite numbers (a division by zero, as
// numbers have always divided here) stays an untagged double.
result* with_numeric_type(result* r, const char* type, bool typed, bool integer_division) {
    if (!r) return nullptr;
    int rank = numeric_rank(type);
    if (rank < 2 && !std::isfinite(r->value.number)) return r;
    switch (rank) {
    case 0:
        if (integer_division) r->type_name = "xs:decimal";
        return r;
    case 2:
        r->value.number = single_precision(r->value.number);
        r->typed_number = 1;
        break;
    case 3:
        r->typed_number = typed;
        break;
    default:
        break;
    }
    r->type_name = type;
    return r;
}

// Arithmetic on numbers: both operands are promoted to their common type,
// and integers divide into a decimal; idiv always gives an integer.
result* typed_arithmetic(quorvel_xpath_context* c, int32_t op, const result* a, const result* b) {
    int64_t x, y;
    if (op != OP_DIV && xpath_exact_integer(a, &x) && xpath_exact_integer(b, &y)) {
        bool handled = false;
        result* exact = exact_arithmetic(c, op, x, y, &handled);
        if (handled) return exact;
    }
    result* r = numeric_arithmetic(c, op, xpath_to_number(a), xpath_to_number(b));
    if (op == OP_IDIV) return r;
    const char* ta = xpath_numeric_type(a);
    const char* tb = xpath_numeric_type(b);
    bool typed = (a->kind == XPATH_NUMBER && a->typed_number) || (b->kind == XPATH_NUMBER && b->typed_number);
    return with_numeric_type(r, numeric_rank(ta) >= numeric_rank(tb) ? ta : tb, typed, op == OP_DIV);
}

// What an arithmetic operand is when a duration, date or time may take
// part. Typed values (casts, constructors, typed items) know their type;
// untyped values and plain strings are read by their text, as before
// typed values existed, and never raise a type error.
enum temporal_kind { TK_NONE, TK_YEAR_MONTH, TK_DAY_TIME, TK_DURATION, TK_DATE, TK_DATE_TIME, TK_TIME, TK_OTHER };

struct temporal {
    temporal_kind kind = TK_NONE;
    bool typed = false;
    const char* text = nullptr;
    double amount = 0;  // months or seconds of a duration
};

temporal_kind kind_of_tag(char tag) {
    switch (tag) {
    case 'E': return TK_DATE;
    case 'T': return TK_DATE_TIME;
    case 't': return TK_TIME;
    default: return TK_OTHER;
    }
}

void read_duration(temporal* t) {
    if (quorvel_dur_try_seconds(t->text, &t->amount)) t->kind = TK_DAY_TIME;
    else if (quorvel_dur_try_months(t->text, &t->amount)) t->kind = TK_YEAR_MONTH;
    else t->kind = TK_DURATION;
}

// An untyped text: a duration or date-shaped text takes part by its form.
void read_untyped(temporal* t) {
    const char* x = t->text;
    if (quorvel_dur_try_seconds(x, &t->amount)) t->kind = TK_DAY_TIME;
    else if (quorvel_dur_try_months(x, &t->amount)) t->kind = TK_YEAR_MONTH;
    else if (is_digit(x[0]) || (x[0] == '-' && is_digit(x[1]))) {
        const char* colon = std::strchr(x, ':');
        const char* dash = std::strchr(x + 1, '-');
        if (colon && (!dash || colon < dash)) t->kind = TK_TIME;
        else if (std::strchr(x, 'T')) t->kind = TK_DATE_TIME;
        else if (dash) t->kind = TK_DATE;
    }
}

temporal temporal_of(const result* r) {
    temporal t;
    if (r->kind == XPATH_STRING) {
        t.text = r->value.string ? r->value.string : "";
        char tag = family_tag(r->type_name);
        if (!tag || tag == 'U') {
            read_untyped(&t);
            return t;
        }
        t.typed = true;
        if (tag == 'd') {
            read_duration(&t);
            if (!std::strcmp(r->type_name, "xs:duration")) t.kind = TK_DURATION;
        } else {
            t.kind = kind_of_tag(tag);
        }
        return t;
    }
    if (r->kind != XPATH_NODESET || !r->value.nodeset || r->value.nodeset->count != 1) return t;
    quorvel_node* n = r->value.nodeset->items[0];
    if (!is_item(n) || n->kind != kXpathCarrierNode) return t;
    auto* carrier = reinterpret_cast<const quorvel_xpath_carrier*>(n);
    const char* x = carrier->text;
    if (!x || carrier->ref_kind != XPATH_REF_NONE) return t;
    if (x[0] != kXpathTagMark) {
        t.text = x;
        read_untyped(&t);
        return t;
    }
    char tag = x[1];
    if (tag == 'U') {
        t.text = x + 2;
        read_untyped(&t);
        return t;
    }
    if (tag == 'd' || tag == 'T' || tag == 't' || (tag == kXpathTagEmpty && x[2])) {
        t.text = x + 2;
        t.typed = true;
        if (tag == 'd') read_duration(&t);
        else t.kind = kind_of_tag(tag);
        return t;
    }
    for (const quorvel_xpath_family& f : xq_family_table)
        if (f.tag == tag) {
            t.kind = TK_OTHER;
            t.typed = true;
            t.text = x + 2;
        }
    return t;
}

result* typed_string_result(quorvel_xpath_context* c, const char* text, const char* type_name) {
    result* r = string_result(c, text, std::strlen(text));
    if (r) r->type_name = type_name;
    return r;
}

result* day_time_result(quorvel_xpath_context* c, double seconds) {
    if (std::isnan(seconds)) return fail(c, "FOCA0005: NaN supplied as float/double value");
    if (!std::isfinite(seconds) || std::fabs(seconds) > 8e22) return fail(c, "FODT0002: Duration value out of range");
    char buf[64];
    quorvel_dur_format(buf, seconds == 0 ? 0.0 : seconds);
    return typed_string_result(c, buf, "xs:dayTimeDuration");
}

result* year_month_result(quorvel_xpath_context* c, double months) {
    if (std::isnan(months)) return fail(c, "FOCA0005: NaN supplied as float/double value");
    // The nearest month, halves rounded up (as round() does).
    double rounded = std::floor(months + 0.5);
    if (!std::isfinite(rounded) || std::fabs(rounded) >= 9.2e18)
        return fail(c, "FODT0002: Duration value out of range");
    char buf[40];
    quorvel_dur_format_months(buf, sizeof buf, rounded);
    return typed_string_result(c, buf, "xs:yearMonthDuration");
}

const char* type_of_kind(temporal_kind k) {
    return k == TK_DATE ? "xs:date" : k == TK_DATE_TIME ? "xs:dateTime" : "xs:time";
}

result* shifted_result(quorvel_xpath_context* c, const temporal& date, double amount, bool months, bool* handled) {
    char buf[64];
    int ok = months ? quorvel_dt_shift_months(date.text, buf, amount) : quorvel_dt_shift(date.text, buf, amount);
    if (ok < 0) return fail(c, "FODT0001: Overflow/underflow in date/time operation");
    if (!ok) {
        *handled = date.typed;
        return date.typed ? fail(c, "FORG0001: Invalid date/time value") : nullptr;
    }
    return typed_string_result(c, buf, date.typed ? type_of_kind(date.kind) : nullptr);
}

// The difference of two dates, dateTimes or times as a dayTimeDuration.
result* difference_result(quorvel_xpath_context* c, const temporal& a, const temporal& b, bool* handled) {
    int64_t wa, wb;
    double fa, fb;
    if (!quorvel_dt_instant(a.text, &wa, &fa) || !quorvel_dt_instant(b.text, &wb, &fb)) {
        *handled = a.typed || b.typed;
        return *handled ? fail(c, "FORG0001: Invalid date/time value") : nullptr;
    }
    double seconds = static_cast<double>(wa - wb) + (fa - fb);
    // Fractions below the nanosecond are noise of the binary fractions.
    seconds = std::nearbyint(seconds * 1e9) / 1e9;
    return day_time_result(c, seconds);
}

bool empty_operand(const result* r) { return r->kind == XPATH_NODESET && !set_has_items(r->value.nodeset); }

bool is_duration(temporal_kind k) { return k == TK_YEAR_MONTH || k == TK_DAY_TIME; }
bool is_instant(temporal_kind k) { return k == TK_DATE || k == TK_DATE_TIME || k == TK_TIME; }

result* type_error(quorvel_xpath_context* c, int32_t op) {
    static const char* const names[] = {"+", "-", "*", "div", "mod", "idiv"};
    const char* name = op >= OP_ADD && op <= OP_IDIV ? names[op - OP_ADD] : "?";
    xpath_context_fail_code(c, "XPTY0004", "XPTY0004: Operator %s is not defined for these operand types", name);
    return nullptr;
}

// Arithmetic where a duration, date or time takes part; NULL with *handled
// false when no temporal rule applies (numbers, or untyped texts that fit
// no rule).
result* temporal_arithmetic(quorvel_xpath_context* c, int32_t op, const result* a, const result* b, bool* handled) {
    *handled = false;
    temporal x = temporal_of(a), y = temporal_of(b);
    if (x.kind == TK_NONE && y.kind == TK_NONE) return nullptr;
    bool any_typed = (x.typed && x.kind != TK_NONE) || (y.typed && y.kind != TK_NONE);
    *handled = true;
    double sign = op == OP_SUB ? -1 : 1;
    bool plus_minus = op == OP_ADD || op == OP_SUB;
    if (plus_minus && x.kind == y.kind && is_duration(x.kind)) {
        return x.kind == TK_DAY_TIME ? day_time_result(c, x.amount + sign * y.amount)
                                     : year_month_result(c, x.amount + sign * y.amount);
    }
    if (op == OP_DIV && x.kind == y.kind && is_duration(x.kind)) {
        if (y.amount == 0) return fail(c, "FOAR0001: Division by zero");
        result* r = number_result(c, x.amount / y.amount);
        if (r) r->type_name = "xs:decimal";
        return r;
    }
    if (plus_minus && is_instant(x.kind) && is_duration(y.kind) &&
        (x.kind != TK_TIME || y.kind == TK_DAY_TIME)) {
        result* r = shifted_result(c, x, sign * y.amount, y.kind == TK_YEAR_MONTH, handled);
        if (r || *handled) return r;
    }
    if (op == OP_ADD && is_duration(x.kind) && is_instant(y.kind) && (y.kind != TK_TIME || x.kind == TK_DAY_TIME)) {
        result* r = shifted_result(c, y, x.amount, x.kind == TK_YEAR_MONTH, handled);
        if (r || *handled) return r;
    }
    if (op == OP_SUB && is_instant(x.kind) && x.kind == y.kind) {
        result* r = difference_result(c, x, y, handled);
        if (r || *handled) return r;
    }
    bool x_duration = is_duration(x.kind), y_duration = is_duration(y.kind);
    if ((op == OP_MUL && x_duration != y_duration && (x.kind == TK_NONE || y.kind == TK_NONE)) ||
        (op == OP_DIV && x_duration && y.kind == TK_NONE)) {
        const temporal& d = x_duration ? x : y;
        double n = xpath_to_number(x_duration ? b : a);
        if (op == OP_DIV && n == 0) return fail(c, "FODT0002: Duration value out of range");
        double v = op == OP_MUL ? d.amount * n : d.amount / n;
        if (std::isnan(n)) v = NAN;
        return d.kind == TK_DAY_TIME ? day_time_result(c, v) : year_month_result(c, v);
    }
    if (any_typed) {
        // An empty operand makes the empty sequence, whatever the other is.
        if (empty_operand(a) || empty_operand(b)) {
            result* r = seq_new();
            return r ? r : oom(c);
        }
        return type_error(c, op);
    }
    *handled = false;
    return nullptr;
}

// ---- Range ------------------------------------------------------------------------------------------

int64_t range_bound(double v) {
    if (v > 9e18) return INT64_MAX;
    if (v < -9e18) return INT64_MIN;
    return static_cast<int64_t>(std::trunc(v));
}

result* evaluate_range(quorvel_xpath_context* c, const result* a, const result* b) {
    double lo = xpath_to_number(a), hi = xpath_to_number(b);
    result* r = seq_new();
    if (!r) return oom(c);
    if (std::isnan(lo) || std::isnan(hi)) return r;
    int64_t low = range_bound(lo), high = range_bound(hi);
    if (low > high) return r;
    // Every item asked for is made, up to what a sequence can hold.
    uint64_t count = static_cast<uint64_t>(high) - static_cast<uint64_t>(low) + 1;
    if (count == 0 || count > kXpathMaxNodesetCapacity) {
        xpath_result_free(r);
        xpath_context_fail(c, "Range %lld to %lld holds more items than a sequence can (%zu)",
                           static_cast<long long>(low), static_cast<long long>(high), kXpathMaxNodesetCapacity);
        return nullptr;
    }
    nodeset* s = r->value.nodeset;
    if (count > s->capacity) {
        // One growth to the final size instead of a doubling series.
        nodeset* sized = xpath_nodeset_new_with_capacity(static_cast<size_t>(count));
        if (!sized) {
            xpath_result_free(r);
            return oom(c);
        }
        sized->owns_carriers = 1;
        sized->is_sequence = 1;
        xpath_nodeset_free(s);
        r->value.nodeset = s = sized;
    }
    char text[32];
    for (uint64_t i = 0; i < count; i++) {
        int n = std::snprintf(text, sizeof text, "%cN%lld", kXpathTagMark,
                              static_cast<long long>(static_cast<uint64_t>(low) + i));
        quorvel_node* item = xpath_synth_text(text, static_cast<size_t>(n));
        if (!item || !xpath_nodeset_add_fast(s, item)) {
            if (item) xpath_nodeset_dispose_node(item);
            xpath_result_free(r);
            return oom(c);
        }
    }
    return r;
}

result* evaluate_concat(quorvel_xpath_context* c, const result* a, const result* b) {
    char* x = xpath_to_string(a);
    char* y = xpath_to_string(b);
    result* r = nullptr;
    if (x && y) {
        size_t nx = std::strlen(x), ny = std::strlen(y);
        char* joined = static_cast<char*>(std::malloc(nx + ny + 1));
        if (joined) {
            std::memcpy(joined, x, nx);
            std::memcpy(joined + nx, y, ny + 1);
            r = xpath_result_new(XPATH_STRING);
            if (r) r->value.string = joined;
            else std::free(joined);
        }
    }
    std::free(x);
    std::free(y);
    return r ? r : oom(c);
}

}  // namespace

bool xpath_is_core_operator(int32_t op) {
    return (op >= OP_OR && op <= OP_IDIV) || op == OP_NEGATE || op == OP_RANGE || op == OP_CONCAT ||
           op == OP_IS || op == OP_PRECEDES || op == OP_FOLLOWS;
}

quorvel_xpath_result* xpath_evaluate_core_operator(quorvel_xpath_context* c, const quorvel_xpath_ast_node* e) {
    if (!c || !e) return nullptr;
    auto op = static_cast<int32_t>(e->number);
    if (op == OP_NEGATE) {
        if (e->count < 1) return fail(c, "Malformed expression");
        result* v = evaluate_expr(c, e->children[0]);
        if (!v) return nullptr;
        int64_t exact;
        if (xpath_exact_integer(v, &exact) && exact != INT64_MIN) {
            xpath_result_free(v);
            return exact_integer_result(c, -exact);
        }
        double x = xpath_to_number(v);
        const char* type = xpath_numeric_type(v);
        bool typed = v->kind == XPATH_NUMBER && v->typed_number;
        xpath_result_free(v);
        return with_numeric_type(number_result(c, -x), type, typed, false);
    }
    if (e->count < 2) return fail(c, "Malformed expression");
    result* a = evaluate_expr(c, e->children[0]);
    if (!a) return nullptr;
    if (op == OP_OR || op == OP_AND) {
        bool left = xpath_to_boolean(a) != 0;
        xpath_result_free(a);
        if (op == OP_OR && left) return boolean_result(c, true);
        if (op == OP_AND && !left) return boolean_result(c, false);
        result* b = evaluate_expr(c, e->children[1]);
        if (!b) return nullptr;
        bool right = xpath_to_boolean(b) != 0;
        xpath_result_free(b);
        return boolean_result(c, right);
    }
    result* b = evaluate_expr(c, e->children[1]);
    if (!b) {
        xpath_result_free(a);
        return nullptr;
    }
    result* r;
    if (op >= OP_EQ && op <= OP_GE) {
        r = evaluate_comparison(c, op, a, b);
    } else if (op == OP_IS || op == OP_PRECEDES || op == OP_FOLLOWS) {
        r = evaluate_node_comparison(c, op, a, b);
    } else if (op == OP_RANGE) {
        r = evaluate_range(c, a, b);
    } else if (op == OP_CONCAT) {
        r = evaluate_concat(c, a, b);
    } else {
        bool handled = false;
        r = temporal_arithmetic(c, op, a, b, &handled);
        if (!handled) r = typed_arithmetic(c, op, a, b);
    }
    xpath_result_free(a);
    xpath_result_free(b);
    return r;
}
