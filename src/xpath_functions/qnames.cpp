// The QName functions (fn:QName, xs:QName and the three accessors), and two
// small functions of the same group: escape-html-uri and format-number with
// the default decimal format. A QName value carries its namespace URI in its
// own text (see xpath_qname_text), so the accessors never depend on what was
// built before.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

using result = quorvel_xpath_result;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

result* empty(quorvel_xpath_context* c) {
    result* r = seq_new();
    return r ? r : oom(c);
}

result* typed_copy(quorvel_xpath_context* c, const char* text, size_t length, const char* type) {
    result* r = fn_string_result_copy(c, text, length);
    if (r) r->type_name = type;
    return r;
}

// The single item of a value: the item itself for a one-item sequence, NULL
// for the empty sequence; *many is set for more than one item.
const quorvel_node* single_item(const result* v, bool* many) {
    *many = false;
    const quorvel_node* item = nullptr;
    if (const quorvel_xpath_node_set* s = v->value.nodeset)
        for (size_t i = 0; i < s->count; i++) {
            if (!is_item(s->items[i])) continue;
            if (item) {
                *many = true;
                return nullptr;
            }
            item = s->items[i];
        }
    return item;
}

// Evaluates an argument of type xs:QName?: false on failure (reported);
// true with *text NULL for the empty sequence, else the QName's text
// (malloc'd, lexical form and namespace).
bool qname_argument(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, const char* function,
                    char** text) {
    *text = nullptr;
    result* v = fn_evaluate(c, argument);
    if (!v) return false;
    bool ok = false;
    if (v->kind == XPATH_STRING && v->type_name && !std::strcmp(v->type_name, "xs:QName")) {
        const char* s = v->value.string ? v->value.string : "";
        *text = static_cast<char*>(std::malloc(std::strlen(s) + 1));
        if (!*text) return xpath_result_free(v), oom(c), false;
        std::strcpy(*text, s);
        ok = true;
    } else if (v->kind == XPATH_NODESET) {
        bool many;
        const quorvel_node* item = single_item(v, &many);
        if (!item && !many) {
            ok = true;
        } else if (item && item->kind == kXpathCarrierNode) {
            const auto* carrier = reinterpret_cast<const quorvel_xpath_carrier*>(item);
            if (carrier->ref_kind == XPATH_REF_NONE && carrier->length >= 2 && carrier->text[0] == kXpathTagMark &&
                carrier->text[1] == 'Z') {
                *text = static_cast<char*>(std::malloc(carrier->length - 1));
                if (!*text) return xpath_result_free(v), oom(c), false;
                std::memcpy(*text, carrier->text + 2, carrier->length - 2);
                (*text)[carrier->length - 2] = '\0';
                ok = true;
            }
        }
    }
    xpath_result_free(v);
    if (!ok) xpath_context_fail_code(c, "XPTY0004", "XPTY0004: %s expects an xs:QName", function);
    return ok;
}

// Evaluates an argument of type xs:string? (or xs:string when required):
// false on failure (reported); *text NULL for the empty sequence.
bool string_argument(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, const char* function,
                     bool required, char** text) {
    *text = nullptr;
    result* v = fn_evaluate(c, argument);
    if (!v) return false;
    bool string_typed = true;
    if (v->kind == XPATH_NODESET) {
        bool many;
        const quorvel_node* item = single_item(v, &many);
        if (many || (!item && required)) {
            xpath_result_free(v);
            xpath_context_fail_code(c, "XPTY0004", "XPTY0004: %s expects %s string", function,
                                    required ? "one" : "at most one");
            return false;
        }
        if (!item) {
            xpath_result_free(v);
            return true;
        }
        // Strings, untyped values and nodes; other typed items are refused.
        if (item->kind == kXpathCarrierNode) {
            const auto* carrier = reinterpret_cast<const quorvel_xpath_carrier*>(item);
            bool tagged = carrier->length >= 2 && carrier->text[0] == kXpathTagMark;
            char tag = tagged ? carrier->text[1] : 0;
            string_typed = carrier->ref_kind == XPATH_REF_NODE ||
                           (carrier->ref_kind == XPATH_REF_NONE &&
                            (!tagged || tag == 'U' || tag == kXpathTagAttribute));
        }
    } else if (v->kind == XPATH_STRING) {
        string_typed = !v->type_name || xpath_result_matches_type(v, "xs:string") ||
                       xpath_result_matches_type(v, "xs:anyURI") || xpath_result_matches_type(v, "xs:untypedAtomic");
    } else {
        string_typed = false;
    }
    if (!string_typed) {
        xpath_result_free(v);
        xpath_context_fail_code(c, "XPTY0004", "XPTY0004: %s expects a string", function);
        return false;
    }
    *text = xpath_to_string(v);
    xpath_result_free(v);
    if (!*text) return oom(c), false;
    return true;
}

// The parts of a QName text.
struct qname_parts {
    const char* prefix;
    size_t prefix_length;  // 0: no prefix
    const char* local;
    size_t local_length;
    const char* uri;
    size_t uri_length;
};

qname_parts parts_of(const char* text) {
    const char* lexical = xpath_qname_lexical(text);
    size_t n = std::strlen(lexical);
    const char* colon = std::strchr(lexical, ':');
    qname_parts p{};
    p.uri = text;
    p.uri_length = xpath_qname_uri_length(text);
    if (colon) {
        p.prefix = lexical;
        p.prefix_length = static_cast<size_t>(colon - lexical);
        p.local = colon + 1;
        p.local_length = n - p.prefix_length - 1;
    } else {
        p.prefix = "";
        p.local = lexical;
        p.local_length = n;
    }
    return p;
}

bool is_qname(const char* s, size_t n) {
    const char* colon = static_cast<const char*>(std::memchr(s, ':', n));
    if (!colon) return xpath_is_ncname(s, n);
    size_t k = static_cast<size_t>(colon - s);
    return xpath_is_ncname(s, k) && xpath_is_ncname(colon + 1, n - k - 1);
}

}  // namespace

quorvel_xpath_result* fn_qname(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) {
    if (!context || count != 2) return nullptr;
    char* uri = nullptr;
    char* lexical = nullptr;
    if (!string_argument(context, args[0], "QName", false, &uri)) return nullptr;
    if (!string_argument(context, args[1], "QName", true, &lexical)) {
        std::free(uri);
        return nullptr;
    }
    size_t n = std::strlen(lexical);
    result* r = nullptr;
    if (!is_qname(lexical, n)) {
        xpath_context_fail_code(context, "FOCA0002", "FOCA0002: '%.100s' is not a lexical QName", lexical);
    } else if ((!uri || !*uri) && std::memchr(lexical, ':', n)) {
        xpath_context_fail_code(context, "FOCA0002", "FOCA0002: The prefixed name '%.100s' needs a namespace URI",
                                lexical);
    } else {
        char* text = xpath_qname_text(lexical, n, uri);
        r = text ? fn_string_result_take(context, text) : oom(context);
        if (r) r->type_name = "xs:QName";
    }
    std::free(uri);
    std::free(lexical);
    return r;
}

quorvel_xpath_result* fn_qname_ctor(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) {
    if (count == 2) return fn_qname(context, args, count);
    return fn_construct(context, args, count, "xs:QName");
}

quorvel_xpath_result* fn_local_from_qname(quorvel_xpath_context* context, quorvel_xpath_ast_node** args,
                                          size_t count) {
    if (!context || count != 1) return nullptr;
    char* text;
    if (!qname_argument(context, args[0], "local-name-from-QName", &text)) return nullptr;
    if (!text) return empty(context);
    qname_parts p = parts_of(text);
    result* r = typed_copy(context, p.local, p.local_length, "xs:NCName");
    std::free(text);
    return r;
}

quorvel_xpath_result* fn_prefix_from_qname(quorvel_xpath_context* context, quorvel_xpath_ast_node** args,
                                           size_t count) {
    if (!context || count != 1) return nullptr;
    char* text;
    if (!qname_argument(context, args[0], "prefix-from-QName", &text)) return nullptr;
    if (!text) return empty(context);
    qname_parts p = parts_of(text);
    result* r = p.prefix_length ? typed_copy(context, p.prefix, p.prefix_length, "xs:NCName") : empty(context);
    std::free(text);
    return r;
}

quorvel_xpath_result* fn_ns_from_qname(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) {
    if (!context || count != 1) return nullptr;
    char* text;
    if (!qname_argument(context, args[0], "namespace-uri-from-QName", &text)) return nullptr;
    if (!text) return empty(context);
    qname_parts p = parts_of(text);
    result* r = typed_copy(context, p.uri, p.uri_length, "xs:anyURI");
    std::free(text);
    return r;
}

// Every byte outside printable ASCII is written as %HH (UTF-8 bytes each on
// their own), as HTML user agents expect in attribute URIs.
quorvel_xpath_result* fn_escape_html_uri(quorvel_xpath_context* context, quorvel_xpath_ast_node** args,
                                         size_t count) {
    if (!context || count != 1) return nullptr;
    char* text;
    if (!string_argument(context, args[0], "escape-html-uri", false, &text)) return nullptr;
    if (!text) return fn_string_result_copy(context, "", 0);
    size_t n = std::strlen(text), escaped = 0;
    for (size_t i = 0; i < n; i++) {
        auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x20 || b > 0x7E) escaped++;
    }
    char* out = static_cast<char*>(std::malloc(n + 2 * escaped + 1));
    if (!out) {
        std::free(text);
        return oom(context);
    }
    static const char kHex[] = "0123456789ABCDEF";
    char* w = out;
    for (size_t i = 0; i < n; i++) {
        auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x20 || b > 0x7E) {
            *w++ = '%';
            *w++ = kHex[b >> 4];
            *w++ = kHex[b & 15];
        } else {
            *w++ = static_cast<char>(b);
        }
    }
    *w = '\0';
    std::free(text);
    return fn_string_result_take(context, out);
}

// ---- format-number with the default decimal format -------------------------------------------------

namespace {

bool digit_family(char c) { return c >= '0' && c <= '9'; }

// Active characters of the default decimal format (the exponent separator
// aside, which is active only between two active characters).
bool active(char c) { return digit_family(c) || c == '#' || c == '.' || c == ',' || c == '%' || c == ';'; }

const char kPerMille[] = "\xE2\x80\xB0";

bool per_mille_at(const char* p, const char* end) { return end - p >= 3 && !std::memcmp(p, kPerMille, 3); }

// Checks one sub-picture [p, end) against the rules of the picture syntax.
bool valid_subpicture(const char* p, const char* end) {
    int decimal = 0, percent = 0, per_mille = 0, digits = 0;
    bool seen_active = false, passive_after_active = false;
    bool in_fraction = false, mandatory_in_int = false, optional_in_fraction = false;
    char previous = 0;  // the previous active character
    for (const char* q = p; q < end;) {
        bool is_per_mille = per_mille_at(q, end);
        char c = *q;
        if (!is_per_mille && !active(c)) {
            if (seen_active) passive_after_active = true;
            q++;
            continue;
        }
        if (passive_after_active) return false;  // a passive character between active ones
        seen_active = true;
        if (is_per_mille) {
            per_mille++;
            q += 3;
            previous = '%';
            continue;
        }
        if (c == '%') percent++;
        else if (c == '.') {
            if (++decimal > 1 || previous == ',') return false;
            in_fraction = true;
        } else if (c == ',') {
            if (previous == ',' || previous == '.') return false;
        } else if (digit_family(c)) {
            digits++;
            if (!in_fraction) mandatory_in_int = true;
            else if (optional_in_fraction) return false;
        } else if (c == '#') {
            digits++;
            if (!in_fraction && mandatory_in_int) return false;
            if (in_fraction) optional_in_fraction = true;
        }
        previous = c;
        q++;
    }
    if (!digits || percent + per_mille > 1) return false;
    // A grouping separator may not end the integer part.
    const char* last_int = nullptr;
    for (const char* q = p; q < end; q++) {
        if (*q == '.') break;
        if (digit_family(*q) || *q == '#' || *q == ',') last_int = q;
    }
    return !last_int || *last_int != ',';
}

// The exponent part of a sub-picture [p, end): an "e" between two active
// characters. NULL when there is none.
const char* exponent_at(const char* p, const char* end) {
    for (const char* q = p + 1; q + 1 < end; q++)
        if (*q == 'e' && (active(q[-1]) || q[-1] == '\xB0') && active(q[1])) return q;
    return nullptr;
}

// A sub-picture with an exponent: its mantissa checks as a sub-picture
// without percent or per-mille, the exponent is decimal digits, and no
// active character follows them.
bool valid_with_exponent(const char* p, const char* end) {
    const char* e = exponent_at(p, end);
    if (!e) return valid_subpicture(p, end);
    for (const char* q = p; q < e; q++)
        if (*q == '%' || per_mille_at(q, e)) return false;
    const char* q = e + 1;
    while (q < end && digit_family(*q)) q++;
    if (q == e + 1) return false;
    for (; q < end; q++)
        if (active(*q) || per_mille_at(q, end)) return false;
    return valid_subpicture(p, e);
}

bool valid_picture(const char* picture) {
    const char* end = picture + std::strlen(picture);
    const char* split = static_cast<const char*>(std::memchr(picture, ';', static_cast<size_t>(end - picture)));
    if (!split) return valid_with_exponent(picture, end);
    if (std::memchr(split + 1, ';', static_cast<size_t>(end - split - 1))) return false;
    return valid_with_exponent(picture, split) && valid_with_exponent(split + 1, end);
}

double half_even(double x) {
    double r = std::nearbyint(x);  // the default rounding mode rounds half to even
    return r;
}

// Formats a finite value under a sub-picture [p, end) that has an exponent
// (at e): the mantissa is scaled to as many integer digits as the mantissa
// has mandatory ones (into [0.1, 1) for none), formatted with the mantissa's
// picture, then the exponent with at least as many digits as the picture's.
char* format_exponent(const char* p, const char* end, const char* e, double magnitude) {
    int mandatory = 0, max_fraction = 0;
    bool fraction = false;
    for (const char* q = p; q < e; q++) {
        if (*q == '.') fraction = true;
        else if (*q == '0' && !fraction) mandatory++;
        else if ((*q == '0' || *q == '#') && fraction) max_fraction++;
    }
    const char* digits_end = e + 1;
    while (digits_end < end && digit_family(*digits_end)) digits_end++;
    int exponent_digits = static_cast<int>(digits_end - e - 1);
    // The mantissa's picture; with no digit to show in either part, one
    // fraction digit after a zero.
    size_t mantissa_length = static_cast<size_t>(e - p);
    char* mantissa_picture = static_cast<char*>(std::malloc(mantissa_length + 4));
    if (!mantissa_picture) return nullptr;
    std::memcpy(mantissa_picture, p, mantissa_length);
    mantissa_picture[mantissa_length] = '\0';
    if (mandatory == 0 && max_fraction == 0) {
        char* dot = std::strchr(mantissa_picture, '.');
        if (dot) {
            // "#." shows as "0.0": a zero before the point, one digit after.
            std::memmove(dot + 2, dot + 1, std::strlen(dot + 1) + 1);
            dot[1] = '0';
            char* last = nullptr;
            for (char* q = mantissa_picture; q < dot; q++)
                if (*q == '#') last = q;
            if (last) *last = '0';
        } else {
            // "#" alone: "0.0" in place of the last digit sign.
            char* last = std::strrchr(mantissa_picture, '#');
            if (last) {
                std::memmove(last + 3, last + 1, std::strlen(last + 1) + 1);
                last[0] = '0', last[1] = '.', last[2] = '0';
            }
        }
        max_fraction = 1;
    }
    long exponent = 0;
    double m = magnitude;
    if (m != 0) {
        exponent = static_cast<long>(std::floor(std::log10(m))) + 1 - mandatory;
        m = magnitude / std::pow(10.0, static_cast<double>(exponent));
        double high = std::pow(10.0, mandatory), low = high / 10;
        if (m >= high) m /= 10, exponent++;
        if (m < low) m *= 10, exponent--;
        double unit = std::pow(10.0, max_fraction);
        if (half_even(m * unit) / unit >= high) m /= 10, exponent++;
    }
    char* mantissa = quorvel_format_number_core(mantissa_picture, &kDefaultNumberFormatSymbols, m);
    std::free(mantissa_picture);
    if (!mantissa) return nullptr;
    char number[32];
    int n = std::snprintf(number, sizeof number, "%s%0*ld", exponent < 0 ? "-" : "", exponent_digits,
                          exponent < 0 ? -exponent : exponent);
    size_t ml = std::strlen(mantissa), sl = static_cast<size_t>(end - digits_end);
    char* out = static_cast<char*>(std::realloc(mantissa, ml + 1 + static_cast<size_t>(n) + sl + 1));
    if (!out) {
        std::free(mantissa);
        return nullptr;
    }
    out[ml] = 'e';
    std::memcpy(out + ml + 1, number, static_cast<size_t>(n));
    std::memcpy(out + ml + 1 + n, digits_end, sl);
    out[ml + 1 + n + sl] = '\0';
    return out;
}

// format-number's text: the picture engine, with exponents handled here.
char* format_number_text(const char* picture, double value) {
    const char* end = picture + std::strlen(picture);
    const char* split = std::strchr(picture, ';');
    bool negative = std::signbit(value) && value != 0 && !std::isnan(value);
    const char* p = negative && split ? split + 1 : picture;
    const char* sub_end = split && !negative ? split : end;
    const char* e = exponent_at(p, sub_end);
    if (!e || !std::isfinite(value)) return quorvel_format_number_core(picture, &kDefaultNumberFormatSymbols, value);
    char* text = format_exponent(p, sub_end, e, std::fabs(value));
    if (!text || !negative || split) return text;
    // The derived negative form: a minus sign before the positive one.
    size_t n = std::strlen(text);
    char* out = static_cast<char*>(std::malloc(n + 2));
    if (out) {
        out[0] = '-';
        std::memcpy(out + 1, text, n + 1);
    }
    std::free(text);
    return out;
}

}  // namespace

quorvel_xpath_result* fn_format_number_plain(quorvel_xpath_context* context, quorvel_xpath_ast_node** args,
                                             size_t count) {
    if (!context || count < 2 || count > 3) return nullptr;
    if (!args[0]) {
        xpath_context_fail(context, "NULL AST node");
        return nullptr;
    }
    result* v = evaluate_expr(context, args[0]);
    if (!v) return nullptr;
    double value = NAN;
    bool ok = true;
    if (v->kind == XPATH_NUMBER) {
        value = v->value.number;
    } else if (v->kind == XPATH_NODESET) {
        bool many;
        const quorvel_node* item = single_item(v, &many);
        if (many) {
            ok = false;
        } else if (item) {
            const auto* carrier = item->kind == kXpathCarrierNode ? reinterpret_cast<const quorvel_xpath_carrier*>(item)
                                                                  : nullptr;
            bool tagged = carrier && carrier->length >= 2 && carrier->text[0] == kXpathTagMark;
            char tag = tagged ? carrier->text[1] : 0;
            bool number = tag == kXpathTagInteger || tag == kXpathTagDecimal || tag == kXpathTagDouble ||
                          (tag == kXpathTagFloat && carrier->length > 2 && carrier->text[2] != 'R' &&
                           carrier->text[2] != 'N');
            // Numbers, and untyped values read as doubles; strings are refused.
            ok = number || !carrier || tag == 'U' || tag == kXpathTagAttribute;
            if (ok) {
                char* t = get_node_text(item);
                if (!t) return xpath_result_free(v), oom(context);
                value = xpath_string_to_number(t);
                if (!std::strcmp(t, "INF")) value = INFINITY;
                if (!std::strcmp(t, "-INF")) value = -INFINITY;
                std::free(t);
            }
        }
    } else {
        ok = false;
    }
    xpath_result_free(v);
    if (!ok) {
        xpath_context_fail_code(context, "XPTY0004", "XPTY0004: format-number expects a number");
        return nullptr;
    }
    char* picture = nullptr;
    if (!string_argument(context, args[1], "format-number", true, &picture)) return nullptr;
    if (count == 3) {
        char* name = nullptr;
        if (!string_argument(context, args[2], "format-number", false, &name)) {
            std::free(picture);
            return nullptr;
        }
        // No decimal formats are declared in an expression's static context:
        // only the default one (no name) exists.
        if (name) {
            xpath_context_fail_code(context, "FODF1280", "FODF1280: Unknown decimal format '%.100s'", name);
            std::free(name);
            std::free(picture);
            return nullptr;
        }
    }
    if (!valid_picture(picture)) {
        xpath_context_fail_code(context, "FODF1310", "FODF1310: Invalid picture for format-number: '%.100s'", picture);
        std::free(picture);
        return nullptr;
    }
    // Every digit of the family is a mandatory digit, as 0 is.
    for (char* p = picture; *p; p++)
        if (*p >= '1' && *p <= '9') *p = '0';
    char* text = format_number_text(picture, value);
    std::free(picture);
    return text ? fn_string_result_take(context, text) : oom(context);
}
