// format-date, format-time and format-dateTime: the picture language of
// variable markers ([Y0001], [MNn,3-3], [D1o], [f001], [Z01:01], [z], [ZZ]
// ...) over English names and the proleptic Gregorian calendar. Numbers go
// through format-integer's engine, so every digit family, word and Roman
// form it knows works here too; width modifiers pad, abbreviate names and
// cut years. Output is built in a growing buffer: nothing is cut short.
// A language other than English and a calendar other than the Gregorian
// ones fall back to them, saying so with a "[Language: en]" or
// "[Calendar: AD]" prefix.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xpath_functions/functions.h"

namespace {

using out_text = fn_text;

uint32_t read_utf8(const char*& p) {
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    unsigned char b = s[0];
    if (b >= 0xC0 && b < 0xE0 && (s[1] & 0xC0) == 0x80) {
        p += 2;
        return (static_cast<uint32_t>(b & 0x1F) << 6) | (s[1] & 0x3F);
    }
    if (b >= 0xE0 && b < 0xF0 && (s[1] & 0xC0) == 0x80 && (s[2] & 0xC0) == 0x80) {
        p += 3;
        return (static_cast<uint32_t>(b & 0x0F) << 12) | (static_cast<uint32_t>(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    }
    if (b >= 0xF0 && (s[1] & 0xC0) == 0x80 && (s[2] & 0xC0) == 0x80 && (s[3] & 0xC0) == 0x80) {
        p += 4;
        return (static_cast<uint32_t>(b & 0x07) << 18) | (static_cast<uint32_t>(s[1] & 0x3F) << 12) |
               (static_cast<uint32_t>(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
    }
    p++;
    return b;
}


bool ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

const char* const kMonthNames[12] = {"january", "february", "march",     "april",   "may",      "june",
                                     "july",    "august",   "september", "october", "november", "december"};
const char* const kDayNames[7] = {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};

constexpr size_t kUnbounded = static_cast<size_t>(-1);

// One variable marker, taken apart.
struct marker {
    char component;
    const char* first;  // first presentation modifier (into the marker text)
    size_t first_length;
    bool ordinal;
    bool traditional;
    bool has_width;
    size_t min_width;  // 0 when not given
    size_t max_width;  // kUnbounded when not given
};

struct format_state {
    quorvel_xpath_context* context;
    const dt_value* value;
    const char* function;
    out_text* out;
};

bool fail_picture(format_state& s, const char* why) {
    xpath_context_fail_code(s.context, "FOFD1340", "FOFD1340: Invalid picture for %s: %s", s.function, why);
    return false;
}

// ",min(-max)?" with "*" for either bound.
bool read_width(const char* p, const char* end, marker& m) {
    auto bound = [&](size_t* out) {
        if (p < end && *p == '*') {
            p++;
            *out = kUnbounded;
            return true;
        }
        if (p >= end || *p < '0' || *p > '9') return false;
        size_t v = 0;
        while (p < end && *p >= '0' && *p <= '9') {
            if (v < 1000000) v = v * 10 + static_cast<size_t>(*p - '0');
            p++;
        }
        if (v == 0) return false;
        *out = v;
        return true;
    };
    size_t low, high = kUnbounded;
    if (!bound(&low)) return false;
    if (p < end && *p == '-') {
        p++;
        if (!bound(&high)) return false;
    }
    if (p != end) return false;
    if (low != kUnbounded && high != kUnbounded && high < low) return false;
    m.has_width = true;
    m.min_width = low == kUnbounded ? 0 : low;
    m.max_width = high;
    return true;
}

// Splits a marker's text (white space already removed) into its parts.
bool read_marker(format_state& s, const char* text, size_t length, marker& m) {
    m = marker{};
    m.max_width = kUnbounded;
    if (length == 0) return fail_picture(s, "an empty variable marker");
    m.component = text[0];
    if (!std::strchr("YMDdFWwHhPmsfZzCE", m.component)) return fail_picture(s, "an unknown component");
    const char* p = text + 1;
    const char* end = text + length;
    const char* comma = nullptr;
    for (const char* q = p; q < end; q++)
        if (*q == ',') comma = q;
    if (comma) {
        if (!read_width(comma + 1, end, m)) return fail_picture(s, "a malformed width modifier");
        end = comma;
    }
    if (p == end) return true;
    // The first modifier: a name form, a word or letter form, or a digit
    // pattern (which runs up to the first letter).
    const char* first_end = p;
    if (!std::strncmp(p, "Nn", 2) && end - p >= 2) first_end = p + 2;
    else if (!std::strncmp(p, "Ww", 2) && end - p >= 2) first_end = p + 2;
    else if (ascii_letter(*p)) first_end = p + 1;
    else
        while (first_end < end && !ascii_letter(*first_end)) first_end++;
    m.first = p;
    m.first_length = static_cast<size_t>(first_end - p);
    // The second modifier: [co] with an optional parenthesized variant,
    // then [at].
    p = first_end;
    if (p < end && (*p == 'o' || *p == 'c')) {
        m.ordinal = *p == 'o';
        p++;
        if (p < end && *p == '(') {
            const char* close = static_cast<const char*>(std::memchr(p, ')', static_cast<size_t>(end - p)));
            if (!close) return fail_picture(s, "an unclosed modifier variant");
            p = close + 1;
        }
    }
    if (p < end && (*p == 'a' || *p == 't')) {
        m.traditional = *p == 't';
        p++;
    }
    if (p != end) return fail_picture(s, "a malformed presentation modifier");
    return true;
}

bool is(const marker& m, const char* token) {
    return m.first_length == std::strlen(token) && !std::strncmp(m.first, token, m.first_length);
}

bool digit_pattern(const marker& m) {
    if (!m.first_length) return false;
    const char* p = m.first;
    if (*p == '#') return true;
    return xre_digit_zero(read_utf8(p)) >= 0;
}

// Digit positions of a pattern: mandatory digits and '#' signs; the zero of
// its family.
void pattern_positions(const marker& m, size_t* mandatory, size_t* positions, uint32_t* zero) {
    *mandatory = *positions = 0;
    *zero = '0';
    const char* end = m.first + m.first_length;
    for (const char* p = m.first; p < end;) {
        uint32_t c = read_utf8(p);
        if (c == '#') {
            (*positions)++;
        } else if (int64_t z = xre_digit_zero(c); z >= 0) {
            (*mandatory)++;
            (*positions)++;
            *zero = static_cast<uint32_t>(z);
        }
    }
}

void pad_right(out_text& out, size_t from, size_t min_width) {
    size_t chars = 0;
    for (const char* p = out.data ? out.data + from : ""; *p; chars++) read_utf8(p);
    for (; chars < min_width && !out.failed; chars++) out.append(" ", 1);
}

// A name in the case the modifier asks for, cut to the maximum width and
// padded to the minimum.
void write_name(format_state& s, const marker& m, const char* name, bool upper_default) {
    out_text& out = *s.out;
    size_t from = out.length;
    size_t n = std::strlen(name);
    if (m.max_width != kUnbounded && n > m.max_width) n = m.max_width;
    bool upper = is(m, "N") || (!m.first_length && upper_default);
    bool title = is(m, "Nn");
    for (size_t k = 0; k < n; k++) {
        char c = name[k];
        if ((upper || (title && k == 0)) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        out.append(&c, 1);
    }
    pad_right(out, from, m.min_width);
}

// A number under the marker's first modifier (default_token when there is
// none or the one given is not known), honouring width and ordinal.
bool write_number(format_state& s, const marker& m, int64_t value, const char* default_token, bool is_year) {
    out_text& out = *s.out;
    marker use = m;
    bool known = digit_pattern(m) || is(m, "a") || is(m, "A") || is(m, "i") || is(m, "I") || is(m, "w") ||
                 is(m, "W") || is(m, "Ww");
    if (!known) {
        use.first = default_token;
        use.first_length = std::strlen(default_token);
    }
    bool digits = digit_pattern(use);
    size_t mandatory = 0, positions = 0;
    uint32_t zero = '0';
    if (digits) pattern_positions(use, &mandatory, &positions, &zero);
    // A year is cut to its last max-width digits; a digit pattern of two or
    // more positions sets that width when no width modifier does.
    size_t max_width = m.max_width;
    if (digits && !m.has_width && positions >= 2 && known) max_width = positions;
    // Years before year one are written as their magnitude (the era tells).
    bool negative = value < 0 && !is_year;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    if (is_year && max_width != kUnbounded && max_width < 19) {
        uint64_t modulus = 1;
        for (size_t k = 0; k < max_width; k++) modulus *= 10;
        magnitude %= modulus;
    }
    char number[24];
    std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(magnitude));
    // The picture handed to the integer formatter: the token widened to the
    // minimum width (optional '#' signs nearest the digits turned into zeros
    // of the family first, then zeros in front), and the modifier after the
    // last ';' (always written, so a ';' inside the token is a separator).
    out_text picture;
    if (digits && m.min_width > mandatory) {
        uint32_t cps[256];
        size_t n = 0;
        const char* end = use.first + use.first_length;
        for (const char* p = use.first; p < end && n < sizeof cps / sizeof *cps;) cps[n++] = read_utf8(p);
        size_t needed = m.min_width - mandatory;
        size_t first_digit = 0;
        while (first_digit < n && cps[first_digit] == '#') first_digit++;
        for (size_t k = first_digit; k-- > 0 && needed > 0;) {
            if (cps[k] == '#') {
                cps[k] = zero;
                needed--;
            }
        }
        for (size_t k = 0; k < needed && k < 1000; k++) picture.append_code_point(zero);
        for (size_t k = 0; k < n; k++) picture.append_code_point(cps[k]);
    } else {
        picture.append(use.first, use.first_length);
    }
    picture.append(m.ordinal ? ";o" : ";");
    if (picture.failed) {
        xpath_context_fail(s.context, "Out of memory");
        return false;
    }
    bool invalid = false;
    char* text = format_integer_text(negative, number, picture.data, &invalid);
    if (invalid) return fail_picture(s, "a malformed digit pattern");
    if (!text) {
        xpath_context_fail(s.context, "Out of memory");
        return false;
    }
    size_t from = out.length;
    out.append(text);
    std::free(text);
    if (!digits) pad_right(out, from, m.min_width);
    return true;
}

// Fractional seconds: digits of the fraction, cut (never rounded) to the
// maximum width and filled with zeros to the minimum; separators of the
// pattern stay where they are counted from the left, and optional '#'
// signs may only follow the mandatory digits.
bool write_fraction(format_state& s, const marker& m) {
    marker use = m;
    if (!digit_pattern(m)) {
        use.first = "1";
        use.first_length = 1;
    }
    size_t mandatory, positions;
    uint32_t zero;
    pattern_positions(use, &mandatory, &positions, &zero);
    uint32_t separators[16];
    size_t separator_at[16];
    size_t separator_count = 0, seen = 0;
    bool optional_seen = false;
    const char* end = use.first + use.first_length;
    for (const char* p = use.first; p < end;) {
        uint32_t c = read_utf8(p);
        if (c == '#') {
            optional_seen = true;
            seen++;
        } else if (xre_digit_zero(c) >= 0) {
            if (optional_seen) return fail_picture(s, "a '#' before a digit of fractional seconds");
            seen++;
        } else if (separator_count < 16) {
            separators[separator_count] = c;
            separator_at[separator_count++] = seen;
        }
    }
    size_t min_width = mandatory, max_width = positions > 1 ? positions : kUnbounded;
    if (m.has_width) {
        min_width = m.min_width > mandatory ? m.min_width : mandatory;
        max_width = m.max_width == kUnbounded || m.max_width >= min_width ? m.max_width : min_width;
    }
    if (min_width == 0) min_width = 1;
    const char* digits = s.value->fraction;
    size_t n = std::strlen(digits);
    if (max_width != kUnbounded && n > max_width) n = max_width;
    // Zeros the cut leaves at the end are dropped down to the minimum width.
    while (n > min_width && digits[n - 1] == '0') n--;
    size_t total = n < min_width ? (min_width < 1000 ? min_width : 1000) : n;
    for (size_t k = 0; k < total; k++) {
        if (k > 0)
            for (size_t q = 0; q < separator_count; q++)
                if (separator_at[q] == k) s.out->append_code_point(separators[q]);
        uint32_t d = k < n ? static_cast<uint32_t>(digits[k] - '0') : 0;
        s.out->append_code_point(zero + d);
    }
    return true;
}

void write_digits(out_text& out, uint32_t zero, int64_t value, size_t min_digits) {
    char text[24];
    int n = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    for (size_t k = static_cast<size_t>(n); k < min_digits; k++) out.append_code_point(zero);
    for (int k = 0; k < n; k++) out.append_code_point(zero + static_cast<uint32_t>(text[k] - '0'));
}

// Timezones: "+05:30" by default; [Z0] hours and any minutes; [Z0000]
// hours and minutes run together; [Z00:00] with that separator; [ZZ]
// military letters; t writes Z for UTC; z puts GMT in front.
void write_zone(format_state& s, const marker& m) {
    out_text& out = *s.out;
    const dt_value& v = *s.value;
    bool military = m.component == 'Z' && is(m, "Z");
    if (!v.has_zone) {
        if (military) out.append("J");
        return;
    }
    int32_t offset = v.zone_minutes;
    if (military && offset % 60 == 0 && offset >= -12 * 60 && offset <= 12 * 60) {
        static constexpr char kEast[] = "ZABCDEFGHIKLM";
        static constexpr char kWest[] = "ZNOPQRSTUVWXY";
        int32_t hours = offset / 60;
        char letter = hours >= 0 ? kEast[hours] : kWest[-hours];
        out.append(&letter, 1);
        return;
    }
    if (m.component == 'z') out.append("GMT");
    if (m.traditional && offset == 0) {
        out.append("Z");
        return;
    }
    marker use = m;
    if (!digit_pattern(m)) {
        use.first = "01:01";
        use.first_length = 5;
    }
    // Digits before the first separator, the separator, digits after it.
    size_t before = 0, after = 0;
    uint32_t zero = '0', separator = 0;
    const char* end = use.first + use.first_length;
    for (const char* p = use.first; p < end;) {
        uint32_t c = read_utf8(p);
        int64_t z = c == '#' ? '0' : xre_digit_zero(c);
        if (z >= 0) {
            if (c != '#') zero = static_cast<uint32_t>(z);
            (separator ? after : before)++;
        } else if (!separator) {
            separator = c;
        }
    }
    int32_t a = offset < 0 ? -offset : offset;
    out.append(offset < 0 ? "-" : "+");
    if (separator) {
        write_digits(out, zero, a / 60, before);
        out.append_code_point(separator);
        write_digits(out, zero, a % 60, after < 2 ? 2 : after);
    } else if (before <= 2) {
        write_digits(out, zero, a / 60, before);
        if (a % 60) {
            out.append(":");
            write_digits(out, zero, a % 60, 2);
        }
    } else {
        write_digits(out, zero, a / 60 * 100 + a % 60, before);
    }
}

int64_t day_number(const dt_value& v) { return h_days_from_civil(v.year, v.month, v.day); }

// 1 = Monday ... 7 = Sunday.
int32_t iso_weekday(int64_t days) { return static_cast<int32_t>(((days % 7) + 7 + 3) % 7 + 1); }

bool write_component(format_state& s, const marker& m) {
    const dt_value& v = *s.value;
    bool has_date = v.kind != 't', has_time = v.kind != 'E';
    bool date_part = std::strchr("YMDdFWwE", m.component) != nullptr;
    bool time_part = std::strchr("HhPmsf", m.component) != nullptr;
    if ((date_part && !has_date) || (time_part && !has_time)) {
        xpath_context_fail_code(s.context, "FOFD1350",
                                "FOFD1350: %s has no component [%c]", s.function, m.component);
        return false;
    }
    bool names = is(m, "N") || is(m, "n") || is(m, "Nn");
    int64_t days = has_date ? day_number(v) : 0;
    switch (m.component) {
        case 'Y': return write_number(s, m, v.year, "1", true);
        case 'M':
            if (names) return write_name(s, m, kMonthNames[v.month - 1], false), true;
            return write_number(s, m, v.month, "1", false);
        case 'D': return write_number(s, m, v.day, "1", false);
        case 'd': return write_number(s, m, days - h_days_from_civil(v.year, 1, 1) + 1, "1", false);
        case 'F':
            if (names || !m.first_length || !(digit_pattern(m) || is(m, "w") || is(m, "W") || is(m, "Ww")))
                return write_name(s, m, kDayNames[iso_weekday(days) - 1], false), true;
            return write_number(s, m, iso_weekday(days), "1", false);
        case 'W': {
            int64_t thursday = days - (iso_weekday(days) - 1) + 3;
            int y, mo, d;
            h_civil_from_days(thursday, &y, &mo, &d);
            return write_number(s, m, (thursday - h_days_from_civil(y, 1, 1)) / 7 + 1, "1", false);
        }
        case 'w': {
            int64_t thursday = days - (iso_weekday(days) - 1) + 3;
            int y, mo, d;
            h_civil_from_days(thursday, &y, &mo, &d);
            return write_number(s, m, (d - 1) / 7 + 1, "1", false);
        }
        case 'H': return write_number(s, m, v.hour, "1", false);
        case 'h': return write_number(s, m, v.hour % 12 == 0 ? 12 : v.hour % 12, "1", false);
        case 'P': return write_name(s, m, v.hour < 12 ? "am" : "pm", false), true;
        case 'm': return write_number(s, m, v.minute, "01", false);
        case 's': return write_number(s, m, v.second, "01", false);
        case 'f': return write_fraction(s, m);
        case 'Z':
        case 'z': return write_zone(s, m), true;
        case 'C': return write_name(s, m, "ad", false), true;
        default: return write_name(s, m, v.year > 0 ? "ad" : "bc", false), true;
    }
}

// Walks the picture: "[[" and "]]" are literal brackets, "[...]" a
// variable marker (white space inside ignored), anything else literal.
bool walk_picture(format_state& s, const char* picture) {
    out_text& out = *s.out;
    out_text marker_text;
    for (const char* p = picture; *p;) {
        if (*p == '[' && p[1] == '[') {
            out.append("[", 1);
            p += 2;
        } else if (*p == ']' && p[1] == ']') {
            out.append("]", 1);
            p += 2;
        } else if (*p == '[') {
            const char* close = std::strchr(p + 1, ']');
            if (!close) return fail_picture(s, "a '[' without its ']'");
            marker_text.length = 0;
            marker_text.append("", 0);
            for (const char* q = p + 1; q < close; q++)
                if (*q != ' ' && *q != '\t' && *q != '\n' && *q != '\r') marker_text.append(q, 1);
            if (marker_text.failed) break;
            marker m;
            if (!read_marker(s, marker_text.data, marker_text.length, m) || !write_component(s, m)) return false;
            p = close + 1;
        } else {
            out.append(p, 1);
            p++;
        }
    }
    if (out.failed || marker_text.failed) {
        xpath_context_fail(s.context, "Out of memory");
        return false;
    }
    return true;
}

bool ncname(const char* p, const char* end) {
    if (p >= end || !(ascii_letter(*p) || *p == '_' || static_cast<unsigned char>(*p) >= 0x80)) return false;
    for (; p < end; p++)
        if (!(ascii_letter(*p) || (*p >= '0' && *p <= '9') || *p == '_' || *p == '-' || *p == '.' ||
              static_cast<unsigned char>(*p) >= 0x80))
            return false;
    return true;
}

// 1 = a Gregorian calendar, 0 = another valid one (fall back), -1 = not a
// calendar name.
int calendar_kind(const char* name) {
    static const char* const kDesignators[] = {"AD", "AH", "AME", "AM", "AP", "AS", "BE", "CB", "CE",
                                               "CL", "CS", "EE",  "FE", "ISO", "JE", "KE", "KY", "ME",
                                               "MH", "OS", "RS",  "SE", "SH", "SS", "TE", "VE", "VS"};
    const char* p = name;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') p++;
    const char* end = p + std::strlen(p);
    while (end > p && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\n' || end[-1] == '\r')) end--;
    if (!std::strncmp(p, "Q{", 2)) {
        const char* close = static_cast<const char*>(std::memchr(p, '}', static_cast<size_t>(end - p)));
        if (!close || !ncname(close + 1, end)) return -1;
        if (close == p + 2) {
            p = close + 1;  // no namespace: one of the designators
        } else {
            return 0;
        }
    } else if (const char* colon = static_cast<const char*>(std::memchr(p, ':', static_cast<size_t>(end - p)))) {
        return ncname(p, colon) && ncname(colon + 1, end) ? 0 : -1;
    }
    if (!ncname(p, end)) return -1;
    size_t n = static_cast<size_t>(end - p);
    for (const char* d : kDesignators)
        if (std::strlen(d) == n && !std::strncmp(d, p, n))
            return (n == 2 && !std::strncmp(p, "AD", 2)) || (n == 3 && !std::strncmp(p, "ISO", 3)) ? 1 : 0;
    return -1;
}

// An optional string argument: 1 with *text (malloc'd), 0 for the empty
// sequence, -1 on failure.
int optional_string(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, char** text) {
    *text = nullptr;
    quorvel_xpath_result* r = fn_evaluate(c, argument);
    if (!r) return -1;
    if (r->kind == XPATH_NODESET && (!r->value.nodeset || r->value.nodeset->count == 0)) {
        xpath_result_free(r);
        return 0;
    }
    if (r->kind == XPATH_NUMBER || r->kind == XPATH_BOOLEAN ||
        (r->kind == XPATH_NODESET && r->value.nodeset->count > 1)) {
        xpath_result_free(r);
        xpath_context_fail_code(c, "XPTY0004", "XPTY0004: expected one string");
        return -1;
    }
    *text = xpath_to_string(r);
    xpath_result_free(r);
    if (!*text) {
        xpath_context_fail(c, "Out of memory");
        return -1;
    }
    return 1;
}

quorvel_xpath_result* format(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count, char kind,
                             const char* function) {
    if (count != 2 && count != 5) {
        xpath_context_fail_code(c, "XPST0017", "XPST0017: %s takes 2 or 5 arguments, not %zu", function, count);
        return nullptr;
    }
    const char kinds[2] = {kind, '\0'};
    dt_value value;
    int status = dt_argument(c, args[0], kinds, function, &value);
    if (status < 0) return nullptr;
    char* picture = nullptr;
    int picture_status = optional_string(c, args[1], &picture);
    if (picture_status < 0) return nullptr;
    if (picture_status == 0) {
        xpath_context_fail_code(c, "XPTY0004", "XPTY0004: the picture of %s must be a string", function);
        return nullptr;
    }
    out_text out;
    bool ok = true;
    if (count == 5) {
        char* language = nullptr;
        char* calendar = nullptr;
        char* place = nullptr;
        ok = optional_string(c, args[2], &language) >= 0 && optional_string(c, args[3], &calendar) >= 0 &&
             optional_string(c, args[4], &place) >= 0;
        if (ok && language && language[0] &&
            !((language[0] == 'e' || language[0] == 'E') && (language[1] == 'n' || language[1] == 'N') &&
              (language[2] == '\0' || language[2] == '-' || language[2] == '_')))
            out.append("[Language: en]");
        if (ok && calendar) {
            int kind_of = calendar_kind(calendar);
            if (kind_of < 0) {
                xpath_context_fail_code(c, "FOFD1340", "FOFD1340: Invalid calendar for %s: '%.60s'", function,
                                        calendar);
                ok = false;
            } else if (kind_of == 0) {
                out.append("[Calendar: AD]");
            }
        }
        // Place names only choose among names in other languages; offsets
        // from place names are not applied: values keep their own timezone.
        std::free(language);
        std::free(calendar);
        std::free(place);
    }
    if (ok && status == 0) {
        std::free(picture);
        quorvel_xpath_result* empty = seq_new();
        if (!empty) xpath_context_fail(c, "Out of memory");
        return empty;
    }
    format_state s{c, &value, function, &out};
    if (ok) ok = walk_picture(s, picture);
    std::free(picture);
    if (!ok) return nullptr;
    if (out.failed) {
        xpath_context_fail(c, "Out of memory");
        return nullptr;
    }
    if (!out.data) out.append("", 0);
    char* text = out.data;
    out.data = nullptr;
    return fn_string_result_take(c, text);
}

}  // namespace

quorvel_xpath_result* fn_format_dttz(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return format(c, a, n, 'T', "format-dateTime");
}
quorvel_xpath_result* fn_format_dtetz(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return format(c, a, n, 'E', "format-date");
}
quorvel_xpath_result* fn_format_ttz(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return format(c, a, n, 't', "format-time");
}
