// Number formatting: the decimal picture engine behind format-number, and
// format-integer (decimal digit patterns, English words, Roman numerals,
// letters). Every text is built in growing buffers: no picture or value can
// make a digit disappear.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "xpath_functions/functions.h"

const quorvel_number_format_symbols kDefaultNumberFormatSymbols = {".", ",", "NaN", "Infinity", '0', '-'};

namespace {

using out_text = fn_text;

const char kPerMille[] = "\xE2\x80\xB0";

bool at(const char* p, const char* end, const char* symbol) {
    size_t n = std::strlen(symbol);
    return n && static_cast<size_t>(end - p) >= n && std::memcmp(p, symbol, n) == 0;
}

// Parses one sub-picture [start, end).
void parse_one(const char* start, const char* end, quorvel_number_subpicture* s, const char* dec, const char* grp) {
    *s = quorvel_number_subpicture{};
    s->multiplier = 1;
    const char* p = start;
    while (p < end && *p != '0' && *p != '#' && !at(p, end, dec)) {
        if (*p == '%') s->multiplier = 100;
        if (at(p, end, kPerMille)) s->multiplier = 1000;
        if (at(p, end, dec)) s->has_decimal_separator = 1;
        p++;
    }
    s->prefix = start;
    s->prefix_length = static_cast<size_t>(p - start);
    if (p == end) {
        s->suffix = end;
        return;
    }
    bool fraction = false;
    while (p < end) {
        if (!fraction) {
            if (*p == '0' || *p == '#') {
                if (*p == '0') s->min_integer_digits++;
                if (s->grouping_seen) s->grouping_size++;
                p++;
            } else if (at(p, end, dec)) {
                s->has_decimal_separator = 1;
                fraction = true;
                p += std::strlen(dec);
            } else if (at(p, end, grp)) {
                s->grouping_seen = 1;
                s->grouping_size = 0;
                p += std::strlen(grp);
            } else {
                break;
            }
        } else if (*p == '0') {
            s->min_fraction_digits++;
            s->max_fraction_digits++;
            p++;
        } else if (*p == '#') {
            s->max_fraction_digits++;
            p++;
        } else {
            break;
        }
    }
    s->suffix = p;
    s->suffix_length = static_cast<size_t>(end - p);
    if (p < end && *p == '%') s->multiplier = 100;
    if (at(p, end, kPerMille)) s->multiplier = 1000;
}

// The decimal digits of a finite non-negative double, from its shortest
// text that reads back as the same double (so 1e200 is a one and 200
// zeros, as written), rounded half to even at max_frac fraction digits.
// malloc'd "int.frac" text (no point when no fraction digit is kept), or
// NULL when memory runs out.
char* decimal_digits(double value, size_t max_frac) {
    char mantissa[40];
    size_t m = 0;
    int exponent = 0;
    for (int p = 1; p <= 17; p++) {
        char text[48];
        std::snprintf(text, sizeof text, "%.*e", p - 1, value);
        if (std::strtod(text, nullptr) == value || p == 17) {
            const char* q = text;
            for (; *q && *q != 'e'; q++)
                if (*q >= '0' && *q <= '9') mantissa[m++] = *q;
            exponent = std::atoi(q + 1);
            break;
        }
    }
    // value = M[0].M[1..] x 10^exponent
    size_t int_length = exponent >= 0 ? static_cast<size_t>(exponent) + 1 : 1;
    size_t lead = exponent < 0 ? static_cast<size_t>(-exponent - 1) : 0;  // fraction zeros before M
    size_t frac_length = exponent >= 0 ? (m > int_length ? m - int_length : 0) : lead + m;
    // One slot for a carry, the digits, a point and the NUL.
    char* buf = static_cast<char*>(std::malloc(int_length + frac_length + 3));
    if (!buf) return nullptr;
    char* d = buf + 1;
    buf[0] = '0';
    for (size_t k = 0; k < int_length; k++) d[k] = exponent < 0 ? '0' : (k < m ? mantissa[k] : '0');
    char* f = d + int_length;
    for (size_t k = 0; k < frac_length; k++) {
        if (exponent >= 0)
            f[k] = mantissa[int_length + k];
        else
            f[k] = k < lead ? '0' : mantissa[k - lead];
    }
    size_t kept = frac_length;
    if (frac_length > max_frac) {
        kept = max_frac;
        char first = f[kept];
        bool more = false;
        for (size_t k = kept + 1; k < frac_length; k++) more |= f[k] != '0';
        char last = kept ? f[kept - 1] : d[int_length - 1];
        if (first > '5' || (first == '5' && (more || ((last - '0') & 1)))) {
            char* k = f + kept;
            while (k > buf) {
                --k;
                if (*k == '9') {
                    *k = '0';
                } else {
                    ++*k;
                    break;
                }
            }
        }
    }
    // Drop the carry slot when unused and place the point.
    char* start = buf[0] == '0' ? d : buf;
    size_t ints = static_cast<size_t>(f - start);
    char* out = buf;
    std::memmove(out, start, ints);
    if (kept) {
        std::memmove(out + ints + 1, f, kept);
        out[ints] = '.';
        out[ints + 1 + kept] = '\0';
    } else {
        out[ints] = '\0';
    }
    return out;
}

// The digits of a non-negative, scaled value under a sub-picture.
void format_value(out_text& out, const quorvel_number_subpicture* s, const char* dec, const char* grp, char zero,
                  double value) {
    char* digits = decimal_digits(value, static_cast<size_t>(s->max_fraction_digits));
    if (!digits) {
        out.failed = true;
        return;
    }
    char* point = std::strchr(digits, '.');
    size_t int_length = point ? static_cast<size_t>(point - digits) : std::strlen(digits);
    const char* frac = point ? point + 1 : "";
    size_t frac_length = std::strlen(frac);
    size_t min_frac = static_cast<size_t>(s->min_fraction_digits);
    size_t max_frac = static_cast<size_t>(s->max_fraction_digits);
    if (frac_length > max_frac) frac_length = max_frac;
    size_t padded = frac_length < min_frac ? min_frac : frac_length;
    // Trailing zeros go while more than the minimum remain.
    size_t keep = frac_length;
    if (padded == frac_length)
        while (keep > min_frac && (frac[keep - 1] == '0' || frac[keep - 1] == zero)) keep--;
    size_t added = padded > frac_length ? padded - frac_length : 0;

    out.append(s->prefix, s->prefix_length);
    size_t min_int = static_cast<size_t>(s->min_integer_digits);
    // A zero integer part with no mandatory integer digit is left out when
    // the picture has fraction digits (".2" for the picture ".#"); with
    // nothing else to show, the fraction shows one zero (".0").
    if (min_int == 0 && max_frac > 0 && int_length == 1 && digits[0] == '0') {
        int_length = 0;
        if (keep + added == 0) added = 1;
    }
    size_t lead = min_int > int_length ? min_int - int_length : 0;
    size_t total = lead + int_length;
    size_t group = s->grouping_size > 0 ? static_cast<size_t>(s->grouping_size) : 3;
    for (size_t k = 0; k < total && !out.failed; k++) {
        if (s->grouping_seen && k > 0 && (total - k) % group == 0) out.append(grp);
        if (k < lead)
            out.append(&zero, 1);
        else
            out.append(digits + (k - lead), 1);
    }
    if (keep + added > 0) {
        out.append(dec);
        out.append(frac, keep);
        out.repeat(zero, added);
    }
    out.append(s->suffix, s->suffix_length);
    std::free(digits);
}

}  // namespace

char* quorvel_format_number_core(const char* picture, const quorvel_number_format_symbols* symbols, double value) {
    const quorvel_number_format_symbols* sym = symbols ? symbols : &kDefaultNumberFormatSymbols;
    out_text out;
    if (std::isnan(value)) {
        out.append(sym->nan_text ? sym->nan_text : "NaN");
        return out.take();
    }
    if (!picture || !*picture) picture = "0";
    const char* dec = sym->decimal_separator ? sym->decimal_separator : ".";
    const char* grp = sym->grouping_separator ? sym->grouping_separator : ",";
    const char* inf = sym->infinity_text ? sym->infinity_text : "Infinity";
    const char* end = picture + std::strlen(picture);
    const char* split = nullptr;
    int depth = 0;
    for (const char* p = picture; p < end; p++) {
        if (*p == '[') depth++;
        else if (*p == ']') depth--;
        else if (*p == ';' && depth == 0) {
            split = p;
            break;
        }
    }
    if (split && split + 1 == end) {
        end = split;
        split = nullptr;
    }
    quorvel_number_subpicture positive, negative;
    parse_one(picture, split ? split : end, &positive, dec, grp);
    bool derived = !split;
    if (split)
        parse_one(split + 1, end, &negative, dec, grp);
    else
        negative = positive;
    constexpr double kMax = 1.7976931348623157e308;
    if (!std::signbit(value) || value == 0) {
        if (value == 0) value = 0.0;  // no sign on a negative zero
        double scaled = value * positive.multiplier;
        if (scaled > kMax) {
            out.append(inf);
            return out.take();
        }
        format_value(out, &positive, dec, grp, sym->zero_digit, scaled);
        return out.take();
    }
    double magnitude = -value * negative.multiplier;
    if (magnitude > kMax) {
        if (derived) out.append(&sym->minus_sign, 1);
        out.append(negative.prefix, negative.prefix_length);
        out.append(inf);
        return out.take();
    }
    if (derived) {
        // The derived negative form: the minus sign before the positive prefix.
        out.append(&sym->minus_sign, 1);
    }
    format_value(out, &negative, dec, grp, sym->zero_digit, magnitude);
    return out.take();
}

// ---- format-integer ------------------------------------------------------------------------------------

namespace {

const char* const kUnits[20] = {"zero",    "one",     "two",       "three",    "four",
                                "five",    "six",     "seven",     "eight",    "nine",
                                "ten",     "eleven",  "twelve",    "thirteen", "fourteen",
                                "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
const char* const kTens[10] = {"", "", "twenty", "thirty", "forty", "fifty", "sixty", "seventy", "eighty", "ninety"};
const char* const kScales[7] = {"", " thousand", " million", " billion", " trillion", " quadrillion", " quintillion"};

void words999(out_text& out, unsigned n) {
    if (n > 99) {
        out.append(kUnits[n / 100]);
        out.append(" hundred");
        n %= 100;
        if (n == 0) return;
        out.append(" ");
    }
    if (n == 0) return;
    if (n < 20) {
        out.append(kUnits[n]);
        return;
    }
    out.append(kTens[n / 10]);
    if (n % 10) {
        out.append("-");
        out.append(kUnits[n % 10]);
    }
}

void words(out_text& out, uint64_t n) {
    if (n == 0) {
        out.append("zero");
        return;
    }
    unsigned parts[7];
    int count = 0;
    while (n) {
        parts[count++] = static_cast<unsigned>(n % 1000);
        n /= 1000;
    }
    bool first = true;
    for (int k = count - 1; k >= 0; k--) {
        if (!parts[k]) continue;
        if (!first) out.append(" ");
        words999(out, parts[k]);
        out.append(kScales[k]);
        first = false;
    }
}

// Turns the last word of a cardinal into its ordinal.
void ordinal_words(out_text& out) {
    if (out.failed || !out.length) return;
    size_t start = out.length;
    while (start > 0 && out.data[start - 1] != ' ' && out.data[start - 1] != '-') start--;
    static constexpr const char* kIrregular[][2] = {{"one", "first"},   {"two", "second"}, {"three", "third"},
                                                   {"five", "fifth"},  {"eight", "eighth"}, {"nine", "ninth"},
                                                   {"twelve", "twelfth"}};
    const char* word = out.data + start;
    for (const auto& pair : kIrregular) {
        if (std::strcmp(word, pair[0]) == 0) {
            out.length = start;
            out.append(pair[1]);
            return;
        }
    }
    if (out.data[out.length - 1] == 'y') {
        out.length--;
        out.append("ieth");
    } else {
        out.append("th");
    }
}

const char* ordinal_suffix(uint64_t n) {
    if (n % 100 >= 11 && n % 100 <= 13) return "th";
    switch (n % 10) {
        case 1: return "st";
        case 2: return "nd";
        case 3: return "rd";
        default: return "th";
    }
}

void append_utf8(out_text& out, uint32_t c) {
    char b[4];
    size_t n;
    if (c < 0x80) {
        b[0] = static_cast<char>(c);
        n = 1;
    } else if (c < 0x800) {
        b[0] = static_cast<char>(0xC0 | (c >> 6));
        b[1] = static_cast<char>(0x80 | (c & 0x3F));
        n = 2;
    } else if (c < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (c >> 12));
        b[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (c & 0x3F));
        n = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (c >> 18));
        b[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (c & 0x3F));
        n = 4;
    }
    out.append(b, n);
}

uint32_t read_utf8(const char*& p, const char* end) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(p);
    unsigned char b = s[0];
    size_t avail = static_cast<size_t>(end - p);
    if (b >= 0xC0 && b < 0xE0 && avail >= 2) {
        p += 2;
        return (static_cast<uint32_t>(b & 0x1F) << 6) | (s[1] & 0x3F);
    }
    if (b >= 0xE0 && b < 0xF0 && avail >= 3) {
        p += 3;
        return (static_cast<uint32_t>(b & 0x0F) << 12) | (static_cast<uint32_t>(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    }
    if (b >= 0xF0 && avail >= 4) {
        p += 4;
        return (static_cast<uint32_t>(b & 0x07) << 18) | (static_cast<uint32_t>(s[1] & 0x3F) << 12) |
               (static_cast<uint32_t>(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
    }
    p++;
    return b;
}

// Letters and numbers (categories L and N) are no grouping separators.
bool is_alnum_cp(uint32_t c) {
    if (c < 0x80) return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const xre_category_range* r = xre_category_range_of(c);
    if (!r) return false;
    char major = kXreCategoryNames[r->category][0];
    return major == 'L' || major == 'N';
}

// A decimal digit pattern: how many digits are mandatory, the family, and
// where separators go (counted in digit positions from the right).
struct digit_pattern {
    uint32_t zero;
    size_t mandatory;
    uint32_t separators[64];
    size_t positions[64];
    size_t separator_count;
    bool regular;
    size_t interval;
};

// Reads a decimal digit pattern; false when it is malformed.
bool read_digit_pattern(const char* begin, const char* end, digit_pattern& dp) {
    dp = digit_pattern{};
    uint32_t cps[512];
    size_t n = 0;
    for (const char* p = begin; p < end;) {
        if (n == sizeof cps / sizeof *cps) return false;
        cps[n++] = read_utf8(p, end);
    }
    int64_t family = -1;
    bool seen_digit = false;
    size_t digits = 0;  // positions, '#' included
    uint32_t seps[64];
    size_t sep_at[64];  // digit positions before the separator
    size_t sep_count = 0;
    bool last_was_sep = true;  // a separator may not come first
    for (size_t k = 0; k < n; k++) {
        uint32_t c = cps[k];
        int64_t z = xre_digit_zero(c);
        if (c == '#') {
            if (seen_digit) return false;
            digits++;
            last_was_sep = false;
        } else if (z >= 0) {
            if (family >= 0 && z != family) return false;
            family = z;
            seen_digit = true;
            dp.mandatory++;
            digits++;
            last_was_sep = false;
        } else if (is_alnum_cp(c)) {
            return false;
        } else {
            if (last_was_sep || sep_count == 64) return false;
            seps[sep_count] = c;
            sep_at[sep_count++] = digits;
            last_was_sep = true;
        }
    }
    if (!seen_digit || last_was_sep) return false;
    dp.zero = static_cast<uint32_t>(family);
    dp.separator_count = sep_count;
    for (size_t k = 0; k < sep_count; k++) {
        dp.separators[k] = seps[k];
        dp.positions[k] = digits - sep_at[k];
    }
    // Regular: one separator at positions N, 2N, 3N... from the right, with
    // at most N digit positions left of the leftmost one.
    if (sep_count > 0) {
        size_t interval = dp.positions[sep_count - 1];
        bool regular = interval > 0;
        for (size_t k = 0; k < sep_count && regular; k++) {
            if (dp.separators[k] != dp.separators[0]) regular = false;
            if (dp.positions[k] != interval * (sep_count - k)) regular = false;
        }
        if (regular && digits - dp.positions[0] > interval) regular = false;
        dp.regular = regular;
        dp.interval = interval;
    }
    return true;
}

void format_digits(out_text& out, const char* magnitude_digits, const digit_pattern& dp) {
    size_t len = std::strlen(magnitude_digits);
    size_t total = len < dp.mandatory ? dp.mandatory : len;
    for (size_t k = 0; k < total && !out.failed; k++) {
        size_t from_right = total - k;  // digits to the right of this one, itself included
        if (k > 0) {
            size_t right = from_right;  // a separator goes before this digit when `right` digits follow it
            if (dp.regular) {
                if (right % dp.interval == 0) append_utf8(out, dp.separators[0]);
            } else {
                for (size_t s = 0; s < dp.separator_count; s++)
                    if (dp.positions[s] == right) append_utf8(out, dp.separators[s]);
            }
        }
        size_t pad = total - len;
        uint32_t d = k < pad ? 0 : static_cast<uint32_t>(magnitude_digits[k - pad] - '0');
        append_utf8(out, dp.zero + d);
    }
}

}  // namespace

char* format_integer_text(bool negative, const char* magnitude_digits, const char* picture, bool* invalid) {
    *invalid = false;
    out_text out;
    const char* end = picture + std::strlen(picture);
    const char* semicolon = std::strrchr(picture, ';');
    const char* primary_end = semicolon ? semicolon : end;
    bool ordinal = false;
    if (semicolon) {
        // Modifier: [co]("(" ... ")")? [at]?
        const char* m = semicolon + 1;
        if (*m == 'c' || *m == 'o') {
            ordinal = *m == 'o';
            m++;
            if (*m == '(') {
                const char* close = std::strchr(m, ')');
                if (!close || close == m + 1) return *invalid = true, nullptr;
                m = close + 1;
            }
        }
        if (*m == 'a' || *m == 't') m++;
        if (*m) return *invalid = true, nullptr;
    }
    size_t primary_length = static_cast<size_t>(primary_end - picture);
    if (primary_length == 0) return *invalid = true, nullptr;
    // The magnitude as a number when it fits 64 bits.
    bool fits = std::strlen(magnitude_digits) <= 19;
    uint64_t magnitude = 0;
    if (fits)
        for (const char* d = magnitude_digits; *d; d++) magnitude = magnitude * 10 + static_cast<uint64_t>(*d - '0');
    auto is = [&](const char* token) {
        return primary_length == std::strlen(token) && std::memcmp(picture, token, primary_length) == 0;
    };
    auto decimal = [&]() {
        if (negative) out.append("-");
        out.append(magnitude_digits);
        if (ordinal) out.append(ordinal_suffix(magnitude));
    };
    if (is("w") || is("W") || is("Ww")) {
        if (!fits) {
            decimal();
            return out.take();
        }
        if (negative) out.append("minus ");
        size_t from = out.length;
        words(out, magnitude);
        if (ordinal) ordinal_words(out);
        if (!out.failed && !is("w")) {
            bool start = true;
            for (size_t k = from; k < out.length; k++) {
                char& c = out.data[k];
                if (is("W") || start)
                    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
                start = c == ' ';
            }
        }
        return out.take();
    }
    if (is("I") || is("i")) {
        // Roman numerals exist from 1 to 3999; other values are written in digits.
        if (!fits || negative || magnitude < 1 || magnitude > 3999) {
            decimal();
            return out.take();
        }
        static constexpr struct {
            unsigned value;
            const char* letters;
        } kRoman[] = {{1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"}, {50, "l"},
                      {40, "xl"},  {10, "x"},   {9, "ix"},  {5, "v"},    {4, "iv"},  {1, "i"}};
        uint64_t rest = magnitude;
        size_t from = out.length;
        for (const auto& r : kRoman)
            while (rest >= r.value) {
                out.append(r.letters);
                rest -= r.value;
            }
        if (!out.failed && is("I"))
            for (size_t k = from; k < out.length; k++) out.data[k] = static_cast<char>(out.data[k] - 32);
        return out.take();
    }
    if (is("a") || is("A")) {
        if (!fits || magnitude == 0) {
            decimal();
            return out.take();
        }
        char letters[16];
        size_t count = 0;
        for (uint64_t rest = magnitude; rest;) {
            letters[count++] = static_cast<char>((is("A") ? 'A' : 'a') + (rest - 1) % 26);
            rest = (rest - 1) / 26;
        }
        if (negative) out.append("-");
        while (count) out.append(&letters[--count], 1);
        return out.take();
    }
    bool has_digit = false;
    for (const char* p = picture; p < primary_end;)
        if (xre_digit_zero(read_utf8(p, primary_end)) >= 0) has_digit = true;
    if (!has_digit) {
        // A numbering sequence this library does not have: plain digits.
        decimal();
        return out.take();
    }
    digit_pattern dp;
    if (!read_digit_pattern(picture, primary_end, dp)) return *invalid = true, nullptr;
    if (negative) out.append("-");
    format_digits(out, magnitude_digits, dp);
    if (ordinal) out.append(ordinal_suffix(fits ? magnitude : 0));
    return out.take();
}
