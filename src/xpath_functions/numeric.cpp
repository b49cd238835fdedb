// The math: functions, abs, round-half-to-even and format-integer.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "xpath_functions/functions.h"

namespace {

constexpr const char* kFloat = "xs:float";
constexpr const char* kDouble = "xs:double";
constexpr const char* kDecimal = "xs:decimal";
constexpr double kTwo63 = 9223372036854775808.0;


quorvel_xpath_result* evaluate_argument(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t i) {
    if (!args[i]) {
        xpath_context_fail(context, "NULL AST node");
        return nullptr;
    }
    return evaluate_expr(context, args[i]);
}

quorvel_xpath_result* empty_sequence(quorvel_xpath_context* context) {
    quorvel_xpath_result* r = seq_new();
    if (!r) xpath_context_fail(context, "Out of memory");
    return r;
}

quorvel_xpath_result* number_result(quorvel_xpath_context* context, double value, const char* type_name) {
    quorvel_xpath_result* r = xpath_result_new(XPATH_NUMBER);
    if (!r) {
        xpath_context_fail(context, "Out of memory");
        return nullptr;
    }
    r->value.number = value;
    r->type_name = type_name;
    return r;
}

quorvel_xpath_result* integer_result(quorvel_xpath_context* context, int64_t value, const char* type_name) {
    quorvel_xpath_result* r = number_result(context, static_cast<double>(value), type_name);
    if (r) {
        r->exact_integer_set = 1;
        r->exact_integer = value;
    }
    return r;
}

// One atomic value taken from a result.
enum atom_kind { ATOM_EMPTY, ATOM_STRING, ATOM_NUMBER, ATOM_BOOLEAN };

struct atom {
    atom_kind kind = ATOM_EMPTY;
    char* text = nullptr;  // ATOM_STRING: malloc'd
    double number = 0;
    bool exact = false;
    int64_t exact_value = 0;
    const char* type_name = nullptr;  // ATOM_NUMBER
    bool typed_number = false;
    bool boolean = false;
    bool untyped = false;  // ATOM_STRING read from a node or an untyped item

    ~atom() { std::free(text); }
};

// The single atomic value of r: nodes and untyped items give their string
// value, typed number and boolean items their value. False (reported) for
// more than one item or no memory. r stays the caller's.
bool atomize_one(quorvel_xpath_context* context, const quorvel_xpath_result* r, atom& a) {
    switch (r->kind) {
        case XPATH_STRING: {
            const char* s = r->value.string ? r->value.string : "";
            a.text = static_cast<char*>(std::malloc(std::strlen(s) + 1));
            if (!a.text) return xpath_context_fail(context, "Out of memory"), false;
            std::strcpy(a.text, s);
            a.kind = ATOM_STRING;
            return true;
        }
        case XPATH_NUMBER:
            a.kind = ATOM_NUMBER;
            a.number = r->value.number;
            a.exact = r->exact_integer_set != 0;
            a.exact_value = r->exact_integer;
            a.type_name = r->type_name;
            a.typed_number = r->typed_number != 0;
            return true;
        case XPATH_BOOLEAN:
            a.kind = ATOM_BOOLEAN;
            a.boolean = r->value.boolean != 0;
            return true;
        default: break;
    }
    const quorvel_xpath_node_set* set = r->value.nodeset;
    const quorvel_node* item = nullptr;
    size_t items = 0;
    if (set)
        for (size_t k = 0; k < set->count; k++)
            if (reinterpret_cast<uintptr_t>(set->items[k]) > kXpathLowestItem) {
                if (!item) item = set->items[k];
                items++;
            }
    if (items == 0) return true;
    if (items > 1) {
        fn_fail_code(context, "XPTY0004", "A sequence of more than one item is not allowed here");
        return false;
    }
    if (*reinterpret_cast<const int32_t*>(item) == kXpathCarrierNode) {
        const quorvel_xpath_carrier* c = reinterpret_cast<const quorvel_xpath_carrier*>(item);
        if (c->length >= 2 && c->text[0] == kXpathTagMark) {
            char tag = c->text[1];
            if (tag == kXpathTagEmpty && c->length == 2) return true;
            if (tag == kXpathTagBoolean) {
                a.kind = ATOM_BOOLEAN;
                a.boolean = c->length > 2 && c->text[2] == 't';
                return true;
            }
            if ((tag == kXpathTagInteger || tag == kXpathTagDecimal || tag == kXpathTagDouble ||
                 (tag == kXpathTagFloat && c->length > 2 && c->text[2] != 'R' && c->text[2] != 'N')) &&
                c->length > 2) {
                a.kind = ATOM_NUMBER;
                a.number = xpath_string_to_number(c->text + 2);
                if (tag == kXpathTagDecimal) a.type_name = kDecimal;
                if (tag == kXpathTagDouble) a.type_name = kDouble, a.typed_number = true;
                if (tag == kXpathTagFloat) a.type_name = kFloat, a.typed_number = true;
                if (tag == kXpathTagInteger && std::fabs(a.number) < kTwo63 && a.number == std::trunc(a.number))
                    a.exact = xpath_integer_text(c->text + 2, &a.exact_value);
                return true;
            }
        }
    }
    a.text = get_node_text(item);
    if (!a.text) return xpath_context_fail(context, "Out of memory"), false;
    a.kind = ATOM_STRING;
    // Nodes and untyped items convert to numbers; string items do not.
    a.untyped = true;
    if (*reinterpret_cast<const int32_t*>(item) == kXpathCarrierNode) {
        const quorvel_xpath_carrier* c = reinterpret_cast<const quorvel_xpath_carrier*>(item);
        a.untyped = c->length >= 2 && c->text[0] == kXpathTagMark && c->text[1] == 'U';
    }
    return true;
}

// Evaluates argument i into one atom; false (reported) on failure.
bool argument_atom(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t i, atom& a) {
    quorvel_xpath_result* r = evaluate_argument(context, args, i);
    if (!r) return false;
    bool ok = atomize_one(context, r, a);
    xpath_result_free(r);
    return ok;
}

// Argument i as a number for the numeric functions: strings and booleans
// are type errors, nodes and untyped values are read as numbers.
bool numeric_argument(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t i, atom& a,
                      const char* function) {
    if (!argument_atom(context, args, i, a)) return false;
    if (a.kind == ATOM_BOOLEAN || (a.kind == ATOM_STRING && !a.untyped)) {
        fn_fail_code(context, "XPTY0004", "%s expects a number", function);
        return false;
    }
    return true;
}

double atom_number(const atom& a) {
    switch (a.kind) {
        case ATOM_NUMBER: return a.number;
        case ATOM_BOOLEAN: return a.boolean ? 1.0 : 0.0;
        case ATOM_STRING: return xpath_string_to_number(a.text);
        default: return NAN;
    }
}

bool atom_is_float(const atom& a) { return a.kind == ATOM_NUMBER && a.type_name && !std::strcmp(a.type_name, kFloat); }

// ---- One-argument math ------------------------------------------------------------------------------

using unary = double (*)(double);

double exp10_of(double x) { return std::pow(10.0, x); }

quorvel_xpath_result* math_unary(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count,
                                 unary f, const char* name) {
    if (!context || count != 1) return nullptr;
    atom a;
    if (!numeric_argument(context, args, 0, a, name)) return nullptr;
    if (a.kind == ATOM_EMPTY) return empty_sequence(context);
    double v = f(atom_number(a));
    if (atom_is_float(a)) {
        quorvel_xpath_result* r = number_result(context, static_cast<double>(static_cast<float>(v)), kFloat);
        if (r) r->typed_number = 1;
        return r;
    }
    quorvel_xpath_result* r = number_result(context, v, nullptr);
    if (r) r->typed_number = a.typed_number;
    return r;
}

double rounded_half_even(double v) {
    if (!std::isfinite(v)) return v;
    double r = std::floor(v);
    double result;
    if (v - r != 0.5)
        result = std::floor(v + 0.5);
    else
        result = std::fmod(r, 2.0) == 0 ? r : r + 1;
    return result == 0 ? 0.0 : result;
}

}  // namespace

#define QUORVEL_MATH_UNARY(name, function)                                                                 \
    quorvel_xpath_result* fn_##name(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) { \
        return math_unary(context, args, count, function, "math:" #name);                                   \
    }

QUORVEL_MATH_UNARY(sqrt, [](double x) { return std::sqrt(x); })
QUORVEL_MATH_UNARY(exp, [](double x) { return std::exp(x); })
QUORVEL_MATH_UNARY(exp10, exp10_of)
QUORVEL_MATH_UNARY(log, [](double x) { return std::log(x); })
QUORVEL_MATH_UNARY(log10, [](double x) { return std::log10(x); })
QUORVEL_MATH_UNARY(sin, [](double x) { return std::sin(x); })
QUORVEL_MATH_UNARY(cos, [](double x) { return std::cos(x); })
QUORVEL_MATH_UNARY(tan, [](double x) { return std::tan(x); })
QUORVEL_MATH_UNARY(asin, [](double x) { return std::asin(x); })
QUORVEL_MATH_UNARY(acos, [](double x) { return std::acos(x); })
QUORVEL_MATH_UNARY(atan, [](double x) { return std::atan(x); })
#undef QUORVEL_MATH_UNARY

quorvel_xpath_result* fn_pi(quorvel_xpath_context* context, quorvel_xpath_ast_node**, size_t count) {
    if (!context || count != 0) return nullptr;
    return number_result(context, 3.141592653589793, nullptr);
}

namespace {

quorvel_xpath_result* math_binary(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count,
                                  bool power) {
    if (!context || count != 2) return nullptr;
    atom a, b;
    const char* name = power ? "math:pow" : "math:atan2";
    if (!numeric_argument(context, args, 0, a, name) || !numeric_argument(context, args, 1, b, name)) return nullptr;
    if (power && a.kind == ATOM_EMPTY) return empty_sequence(context);
    if (!power && (a.kind == ATOM_EMPTY || b.kind == ATOM_EMPTY)) {
        fn_fail_code(context, "XPTY0004", "math:atan2 expects two numbers");
        return nullptr;
    }
    if (power && b.kind == ATOM_EMPTY) {
        fn_fail_code(context, "XPTY0004", "math:pow expects a number as its second argument");
        return nullptr;
    }
    double x = atom_number(a), y = atom_number(b);
    return number_result(context, power ? std::pow(x, y) : std::atan2(x, y), nullptr);
}

}  // namespace

quorvel_xpath_result* fn_pow(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) {
    return math_binary(context, args, count, true);
}

quorvel_xpath_result* fn_atan2(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) {
    return math_binary(context, args, count, false);
}

quorvel_xpath_result* fn_abs(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) {
    if (!context || count != 1) return nullptr;
    atom a;
    if (!numeric_argument(context, args, 0, a, "abs")) return nullptr;
    if (a.kind == ATOM_EMPTY) return empty_sequence(context);
    double v = atom_number(a);
    if (a.exact && a.exact_value != INT64_MIN) {
        int64_t m = a.exact_value < 0 ? -a.exact_value : a.exact_value;
        quorvel_xpath_result* r = integer_result(context, m, a.type_name);
        if (r) r->typed_number = a.typed_number;
        return r;
    }
    double m = std::fabs(v);
    const char* type = a.type_name;
    if (atom_is_float(a)) m = static_cast<double>(static_cast<float>(m));
    quorvel_xpath_result* r = number_result(context, m, type);
    if (r) r->typed_number = a.typed_number;
    return r;
}

quorvel_xpath_result* fn_round_half_even(quorvel_xpath_context* context, quorvel_xpath_ast_node** args,
                                         size_t count) {
    if (!context || count < 1 || count > 2) return nullptr;
    atom a;
    if (!numeric_argument(context, args, 0, a, "round-half-to-even")) return nullptr;
    if (a.kind == ATOM_EMPTY) return empty_sequence(context);
    double x = atom_number(a);
    double precision = 0;
    if (count == 2) {
        atom p;
        if (!argument_atom(context, args, 1, p)) return nullptr;
        precision = atom_number(p);
        if (std::isnan(precision)) precision = 0;
        precision = std::trunc(precision);
        if (precision > 400) precision = 400;
        if (precision < -400) precision = -400;
    }
    double result = x;
    if (std::isfinite(x)) {
        if (precision == 0) {
            result = rounded_half_even(x);
        } else if (precision > 0) {
            double f = std::pow(10.0, precision);
            double scaled = x * f;
            // Past the double's digits the value has nothing left to round.
            if (std::isfinite(f) && std::isfinite(scaled) && std::fabs(scaled) < 4503599627370496.0)
                result = rounded_half_even(scaled) / f;
        } else {
            double g = std::pow(10.0, -precision);
            result = std::isfinite(g) ? rounded_half_even(x / g) * g : 0.0;
        }
        if (result == 0) result = 0.0;
    }
    bool as_float = atom_is_float(a);
    if (as_float) result = static_cast<double>(static_cast<float>(result));
    quorvel_xpath_result* r;
    if (a.exact && precision >= 0)
        r = integer_result(context, a.exact_value, a.type_name);
    else if (a.exact && std::fabs(result) < kTwo63)
        r = integer_result(context, static_cast<int64_t>(result), a.type_name);
    else
        r = number_result(context, result, as_float ? kFloat : a.type_name);
    if (r) r->typed_number = a.typed_number;
    return r;
}

// ---- format-integer -------------------------------------------------------------------------------------

quorvel_xpath_result* fn_format_integer(quorvel_xpath_context* context, quorvel_xpath_ast_node** args,
                                        size_t count) {
    if (!context || count < 2 || count > 3) return nullptr;
    atom value, picture;
    if (!argument_atom(context, args, 0, value)) return nullptr;
    quorvel_xpath_result* pr = evaluate_argument(context, args, 1);
    if (!pr) return nullptr;
    char* picture_text = xpath_to_string(pr);
    xpath_result_free(pr);
    if (!picture_text) return xpath_context_fail(context, "Out of memory"), nullptr;
    picture.text = picture_text;
    if (count == 3) {
        quorvel_xpath_result* language = evaluate_argument(context, args, 2);
        if (!language) return nullptr;
        xpath_result_free(language);
    }
    char digits[400];
    bool negative = false;
    if (value.kind == ATOM_EMPTY) {
        digits[0] = '\0';
    } else if (value.exact) {
        negative = value.exact_value < 0;
        uint64_t m = negative ? 0 - static_cast<uint64_t>(value.exact_value) : static_cast<uint64_t>(value.exact_value);
        std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(m));
    } else {
        double v = atom_number(value);
        if (!std::isfinite(v)) {
            fn_fail_code(context, "FOCA0002", "format-integer expects an integer, not %s", std::isnan(v) ? "NaN" : "INF");
            return nullptr;
        }
        v = std::trunc(v);
        negative = v < 0;
        std::snprintf(digits, sizeof digits, "%.0f", std::fabs(v));
    }
    char* text = nullptr;
    if (value.kind == ATOM_EMPTY) {
        text = static_cast<char*>(std::calloc(1, 1));
    } else {
        bool invalid = false;
        text = format_integer_text(negative, digits, picture.text, &invalid);
        if (invalid) {
            fn_fail_code(context, "FODF1310", "Invalid picture for format-integer: %s", picture.text);
            return nullptr;
        }
    }
    if (!text) return xpath_context_fail(context, "Out of memory"), nullptr;
    quorvel_xpath_result* r = xpath_result_new(XPATH_STRING);
    if (!r) {
        std::free(text);
        return xpath_context_fail(context, "Out of memory"), nullptr;
    }
    r->value.string = text;
    return r;
}

void fn_fail_code(quorvel_xpath_context* context, const char* code, const char* format, ...) {
    if (!context || context->error[0]) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(context->error, sizeof context->error, format, args);
    va_end(args);
    std::snprintf(context->error_code, sizeof context->error_code, "%s", code);
}
