// Sequence types at run time: matching a value against a sequence-type
// text, the lexical tests casts rely on, exact decimal comparison, and the
// instance of, castable as, cast as, treat as and typeswitch operators.
// Typed atomic values are texts with a type name (or, inside a sequence,
// carriers with a tag), so a cast checks or keeps a text and attaches a
// type name, or converts to a number.
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
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
    if (equal(target, "xs:numeric"))
        return derives_from(actual, "xs:decimal") || equal(actual, "xs:double") || equal(actual, "xs:float");
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

bool xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A text being built: grows by doubling; a failed growth is remembered and
// take() then gives NULL.
struct text_out {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool failed = false;
    text_out() = default;
    text_out(const text_out&) = delete;
    text_out& operator=(const text_out&) = delete;
    ~text_out() { std::free(data); }
    void put(const char* s, size_t n) {
        if (failed || n > SIZE_MAX / 4 || length > SIZE_MAX / 4) {
            failed = true;
            return;
        }
        if (length + n + 1 > capacity || !data) {
            size_t cap = capacity ? capacity : 32;
            while (cap < length + n + 1) cap *= 2;
            char* grown = static_cast<char*>(std::realloc(data, cap));
            if (!grown) {
                failed = true;
                return;
            }
            data = grown;
            capacity = cap;
        }
        if (n) std::memcpy(data + length, s, n);
        length += n;
        data[length] = '\0';
    }
    void put(const char* s) { put(s, std::strlen(s)); }
    void ch(char c) { put(&c, 1); }
    // A non-negative number with at least width digits.
    void number(uint64_t v, int width) {
        char buf[32];
        int n = std::snprintf(buf, sizeof buf, "%0*llu", width, static_cast<unsigned long long>(v));
        put(buf, static_cast<size_t>(n));
    }
    char* take() {
        if (failed) return nullptr;
        if (!data) put("", 0);
        if (failed) return nullptr;
        char* out = data;
        data = nullptr;
        length = capacity = 0;
        return out;
    }
};

// A cast's failure: its W3C code and message (code NULL: out of memory).
struct cast_failure {
    const char* code = nullptr;
    char message[240] = {};
    bool failed = false;
};

void cast_fail(cast_failure* f, const char* code, const char* format, ...) __attribute__((format(printf, 3, 4)));

void cast_fail(cast_failure* f, const char* code, const char* format, ...) {
    if (f->failed) return;
    f->failed = true;
    f->code = code;
    va_list args;
    va_start(args, format);
    std::vsnprintf(f->message, sizeof f->message, format, args);
    va_end(args);
}

void cast_oom(cast_failure* f) {
    if (f->failed) return;
    f->failed = true;
    f->code = nullptr;
    std::snprintf(f->message, sizeof f->message, "Out of memory");
}

// A text shown in a message: cut to a readable length.
struct shown_text {
    char text[64];
    explicit shown_text(const char* s, size_t n) {
        size_t k = n < sizeof text - 4 ? n : sizeof text - 4;
        std::memcpy(text, s, k);
        if (k < n) std::memcpy(text + k, "...", 3), k += 3;
        text[k] = '\0';
    }
};

void invalid_form(cast_failure* f, const char* s, size_t n, const char* type) {
    shown_text shown(s, n);
    cast_fail(f, "FORG0001", "FORG0001: Invalid lexical form for %s: '%s'", type, shown.text);
}

// The text without XML white space around it.
void trim(const char*& s, size_t& n) {
    while (n && xml_space(*s)) s++, n--;
    while (n && xml_space(s[n - 1])) n--;
}

// ---- Dates and times ---------------------------------------------------------------------------------------

enum dt_kind { DT_DATETIME, DT_DATE, DT_TIME, DT_GYEAR, DT_GYEARMONTH, DT_GMONTHDAY, DT_GDAY, DT_GMONTH };

struct dt_fields {
    int64_t year = 0;
    int month = 1, day = 1, hour = 0, minute = 0, second = 0;
    const char* fraction = "";  // digits after the point, trailing zeros dropped
    size_t fraction_length = 0;
    bool has_zone = false;
    int zone = 0;  // minutes east of UTC
};

// Years of more digits are refused: they are far past any calendar use
// and keep every day count inside 64 bits.
constexpr int kMaxYearDigits = 12;

bool leap_year(int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int days_in_month(int64_t year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

enum lex_status { LEX_OK, LEX_BAD, LEX_RANGE };

lex_status read_year(const char*& p, const char* end, int64_t* year) {
    bool negative = p < end && *p == '-';
    if (negative) p++;
    const char* start = p;
    while (p < end && is_digit(*p)) p++;
    size_t n = static_cast<size_t>(p - start);
    if (n < 4 || (n > 4 && *start == '0')) return LEX_BAD;
    if (n > kMaxYearDigits) return LEX_RANGE;
    int64_t y = 0;
    for (const char* q = start; q < p; q++) y = y * 10 + (*q - '0');
    *year = negative ? -y : y;
    return LEX_OK;
}

bool read_two(const char*& p, const char* end, int* value, int low, int high) {
    if (end - p < 2 || !is_digit(p[0]) || !is_digit(p[1])) return false;
    *value = two_digits(p);
    p += 2;
    return *value >= low && *value <= high;
}

bool read_char(const char*& p, const char* end, char c) {
    if (p >= end || *p != c) return false;
    p++;
    return true;
}

// hh:mm:ss[.fff]; hour 24 only as 24:00:00 (with a zero fraction).
bool read_time(const char*& p, const char* end, dt_fields& f) {
    if (!read_two(p, end, &f.hour, 0, 24) || !read_char(p, end, ':') || !read_two(p, end, &f.minute, 0, 59) ||
        !read_char(p, end, ':') || !read_two(p, end, &f.second, 0, 59))
        return false;
    f.fraction = "";
    f.fraction_length = 0;
    if (p < end && *p == '.') {
        const char* start = ++p;
        while (p < end && is_digit(*p)) p++;
        if (p == start) return false;
        size_t n = static_cast<size_t>(p - start);
        while (n && start[n - 1] == '0') n--;
        f.fraction = start;
        f.fraction_length = n;
    }
    if (f.hour == 24 && (f.minute || f.second || f.fraction_length)) return false;
    return true;
}

bool read_zone(const char*& p, const char* end, dt_fields& f) {
    f.has_zone = false;
    f.zone = 0;
    if (p == end) return true;
    if (*p == 'Z') {
        p++;
        f.has_zone = true;
        return true;
    }
    if (*p != '+' && *p != '-') return false;
    int sign = *p++ == '-' ? -1 : 1;
    int hours, minutes;
    if (!read_two(p, end, &hours, 0, 14) || !read_char(p, end, ':') || !read_two(p, end, &minutes, 0, 59))
        return false;
    if (hours == 14 && minutes) return false;
    f.has_zone = true;
    f.zone = sign * (hours * 60 + minutes);
    return true;
}

// The day after a date (for 24:00:00).
void next_day(dt_fields& f) {
    if (++f.day <= days_in_month(f.year, f.month)) return;
    f.day = 1;
    if (++f.month <= 12) return;
    f.month = 1;
    f.year++;
}

lex_status parse_dt(const char* s, size_t n, dt_kind kind, dt_fields& f) {
    const char* p = s;
    const char* end = s + n;
    lex_status st = LEX_OK;
    auto year = [&]() {
        st = read_year(p, end, &f.year);
        return st == LEX_OK;
    };
    bool ok = false;
    switch (kind) {
    case DT_DATETIME:
    case DT_DATE:
        ok = year() && read_char(p, end, '-') && read_two(p, end, &f.month, 1, 12) && read_char(p, end, '-') &&
             read_two(p, end, &f.day, 1, 31) && f.day <= days_in_month(f.year, f.month);
        if (ok && kind == DT_DATETIME) ok = read_char(p, end, 'T') && read_time(p, end, f);
        break;
    case DT_TIME: ok = read_time(p, end, f); break;
    case DT_GYEAR: ok = year(); break;
    case DT_GYEARMONTH: ok = year() && read_char(p, end, '-') && read_two(p, end, &f.month, 1, 12); break;
    case DT_GMONTHDAY:
        ok = read_char(p, end, '-') && read_char(p, end, '-') && read_two(p, end, &f.month, 1, 12) &&
             read_char(p, end, '-') && read_two(p, end, &f.day, 1, 31) && f.day <= days_in_month(2000, f.month);
        break;
    case DT_GDAY:
        ok = read_char(p, end, '-') && read_char(p, end, '-') && read_char(p, end, '-') &&
             read_two(p, end, &f.day, 1, 31);
        break;
    case DT_GMONTH:
        ok = read_char(p, end, '-') && read_char(p, end, '-') && read_two(p, end, &f.month, 1, 12);
        break;
    }
    if (st != LEX_OK) return st;
    if (!ok || !read_zone(p, end, f) || p != end) return LEX_BAD;
    if (f.hour == 24) {
        f.hour = 0;
        if (kind == DT_DATETIME) next_day(f);
    }
    return LEX_OK;
}

void put_year(text_out& out, int64_t year) {
    if (year < 0) out.ch('-');
    out.number(static_cast<uint64_t>(year < 0 ? -year : year), 4);
}

void put_zone(text_out& out, const dt_fields& f) {
    if (!f.has_zone) return;
    if (f.zone == 0) {
        out.ch('Z');
        return;
    }
    int z = f.zone < 0 ? -f.zone : f.zone;
    out.ch(f.zone < 0 ? '-' : '+');
    out.number(static_cast<uint64_t>(z / 60), 2);
    out.ch(':');
    out.number(static_cast<uint64_t>(z % 60), 2);
}

void put_time(text_out& out, const dt_fields& f) {
    out.number(static_cast<uint64_t>(f.hour), 2);
    out.ch(':');
    out.number(static_cast<uint64_t>(f.minute), 2);
    out.ch(':');
    out.number(static_cast<uint64_t>(f.second), 2);
    if (f.fraction_length) {
        out.ch('.');
        out.put(f.fraction, f.fraction_length);
    }
}

// The canonical form of the fields as a value of the kind.
void format_dt(text_out& out, dt_kind kind, const dt_fields& f) {
    switch (kind) {
    case DT_DATETIME:
    case DT_DATE:
        put_year(out, f.year);
        out.ch('-');
        out.number(static_cast<uint64_t>(f.month), 2);
        out.ch('-');
        out.number(static_cast<uint64_t>(f.day), 2);
        if (kind == DT_DATETIME) {
            out.ch('T');
            put_time(out, f);
        }
        break;
    case DT_TIME: put_time(out, f); break;
    case DT_GYEAR: put_year(out, f.year); break;
    case DT_GYEARMONTH:
        put_year(out, f.year);
        out.ch('-');
        out.number(static_cast<uint64_t>(f.month), 2);
        break;
    case DT_GMONTHDAY:
        out.put("--");
        out.number(static_cast<uint64_t>(f.month), 2);
        out.ch('-');
        out.number(static_cast<uint64_t>(f.day), 2);
        break;
    case DT_GDAY:
        out.put("---");
        out.number(static_cast<uint64_t>(f.day), 2);
        break;
    case DT_GMONTH:
        out.put("--");
        out.number(static_cast<uint64_t>(f.month), 2);
        break;
    }
    put_zone(out, f);
}

struct dt_type {
    const char* name;
    dt_kind kind;
};
const dt_type kDateTypes[] = {
    {"xs:dateTime", DT_DATETIME}, {"xs:date", DT_DATE},           {"xs:time", DT_TIME},
    {"xs:gYear", DT_GYEAR},       {"xs:gYearMonth", DT_GYEARMONTH}, {"xs:gMonthDay", DT_GMONTHDAY},
    {"xs:gDay", DT_GDAY},         {"xs:gMonth", DT_GMONTH},
};

const dt_type* date_type(const char* name) {
    for (const dt_type& t : kDateTypes)
        if (equal(t.name, name)) return &t;
    return nullptr;
}

// Whether a value of kind from casts to kind to: itself, and a dateTime or
// a date to the parts it holds (a date also to a dateTime).
bool date_cast_allowed(dt_kind from, dt_kind to) {
    if (from == to) return true;
    if (from == DT_DATETIME) return true;
    if (from == DT_DATE) return to != DT_TIME;
    return false;
}

// ---- Durations ------------------------------------------------------------------------------------------

enum dur_kind { DUR_ANY, DUR_YEAR_MONTH, DUR_DAY_TIME };

struct dur_fields {
    bool negative = false;
    uint64_t months = 0;
    uint64_t seconds = 0;  // whole seconds
    const char* fraction = "";
    size_t fraction_length = 0;
};

// Totals stay below 2^63 so that arithmetic on them cannot overflow.
constexpr uint64_t kDurationLimit = UINT64_C(1) << 62;

bool add_scaled(uint64_t* total, uint64_t value, uint64_t scale) {
    if (value > kDurationLimit / scale) return false;
    uint64_t v = value * scale;
    if (*total > kDurationLimit - v) return false;
    *total += v;
    return true;
}

lex_status parse_duration(const char* s, size_t n, dur_kind kind, dur_fields& d) {
    const char* p = s;
    const char* end = s + n;
    d = dur_fields{};
    if (p < end && *p == '-') d.negative = true, p++;
    if (!read_char(p, end, 'P')) return LEX_BAD;
    static const char kDate[] = "YMD";
    static const char kTime[] = "HMS";
    int next = 0;  // index of the next allowed designator (0-2 date, 3-5 time)
    bool any = false, time = false, time_part = false;
    while (p < end) {
        if (*p == 'T') {
            if (time) return LEX_BAD;
            time = true;
            next = 3;
            p++;
            continue;
        }
        const char* start = p;
        uint64_t v = 0;
        bool range = false;
        while (p < end && is_digit(*p)) {
            if (v > kDurationLimit / 10) range = true;
            else v = v * 10 + static_cast<uint64_t>(*p - '0');
            p++;
        }
        const char* fraction = nullptr;
        size_t fraction_length = 0;
        if (time && p < end && *p == '.') {
            fraction = ++p;
            while (p < end && is_digit(*p)) p++;
            fraction_length = static_cast<size_t>(p - fraction);
            // Seconds need a digit before the point (".5S" is refused).
            if (fraction == start + 1) return LEX_BAD;
        } else if (p == start) {
            return LEX_BAD;
        }
        if (p >= end) return LEX_BAD;
        char designator = *p++;
        const char* set = time ? kTime : kDate;
        int base = time ? 3 : 0;
        const char* at = std::strchr(set, designator);
        if (!at || designator == '\0') return LEX_BAD;
        int index = base + static_cast<int>(at - set);
        if (index < next) return LEX_BAD;
        if (fraction && index != 5) return LEX_BAD;
        next = index + 1;
        if (range) return LEX_RANGE;
        bool ok = true;
        switch (index) {
        case 0: ok = add_scaled(&d.months, v, 12); break;
        case 1: ok = add_scaled(&d.months, v, 1); break;
        case 2: ok = add_scaled(&d.seconds, v, 86400); break;
        case 3: ok = add_scaled(&d.seconds, v, 3600); break;
        case 4: ok = add_scaled(&d.seconds, v, 60); break;
        default:
            ok = add_scaled(&d.seconds, v, 1);
            if (fraction) {
                while (fraction_length && fraction[fraction_length - 1] == '0') fraction_length--;
                d.fraction = fraction;
                d.fraction_length = fraction_length;
            }
            break;
        }
        if (!ok) return LEX_RANGE;
        if ((kind == DUR_YEAR_MONTH && index > 1) || (kind == DUR_DAY_TIME && index < 2)) return LEX_BAD;
        any = true;
        if (time) time_part = true;
    }
    if (!any || (time && !time_part)) return LEX_BAD;
    return LEX_OK;
}

void format_duration(text_out& out, dur_kind kind, dur_fields d) {
    if (kind == DUR_YEAR_MONTH) d.seconds = 0, d.fraction_length = 0;
    if (kind == DUR_DAY_TIME) d.months = 0;
    bool zero = !d.months && !d.seconds && !d.fraction_length;
    if (zero) {
        out.put(kind == DUR_YEAR_MONTH ? "P0M" : "PT0S");
        return;
    }
    if (d.negative) out.ch('-');
    out.ch('P');
    auto part = [&](uint64_t v, char designator) {
        if (!v) return;
        out.number(v, 1);
        out.ch(designator);
    };
    part(d.months / 12, 'Y');
    part(d.months % 12, 'M');
    uint64_t s = d.seconds;
    part(s / 86400, 'D');
    s %= 86400;
    if (s || d.fraction_length) {
        out.ch('T');
        part(s / 3600, 'H');
        part(s % 3600 / 60, 'M');
        s %= 60;
        if (s || d.fraction_length) {
            out.number(s, 1);
            if (d.fraction_length) {
                out.ch('.');
                out.put(d.fraction, d.fraction_length);
            }
            out.ch('S');
        }
    }
}

dur_kind duration_kind(const char* type) {
    if (equal(type, "xs:yearMonthDuration")) return DUR_YEAR_MONTH;
    if (equal(type, "xs:dayTimeDuration")) return DUR_DAY_TIME;
    return DUR_ANY;
}

bool duration_named(const char* type) {
    return equal(type, "xs:duration") || equal(type, "xs:yearMonthDuration") || equal(type, "xs:dayTimeDuration");
}

// ---- Binary -----------------------------------------------------------------------------------------------

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes hex digits into bytes (out has n / 2 bytes); false when malformed.
bool hex_decode(const char* s, size_t n, unsigned char* out) {
    if (n % 2) return false;
    for (size_t i = 0; i < n; i += 2) {
        int hi = hex_value(s[i]), lo = hex_value(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i / 2] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return true;
}

// Decodes base64 (spaces between characters allowed) into out, which has
// room for n bytes; *length gets the byte count. False when malformed,
// including padding whose unused bits are not zero.
bool base64_decode(const char* s, size_t n, unsigned char* out, size_t* length) {
    char quad[4];
    size_t q = 0, produced = 0;
    bool ended = false;
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        if (xml_space(c)) continue;
        if (ended) return false;
        quad[q++] = c;
        if (q < 4) continue;
        q = 0;
        int v[4];
        for (int k = 0; k < 4; k++) v[k] = quad[k] == '=' ? -2 : base64_value(quad[k]);
        if (v[0] < 0 || v[1] < 0) return false;
        if (v[2] == -2) {
            // xx==: the second character keeps only its top two bits.
            if (v[3] != -2 || (v[1] & 15)) return false;
            out[produced++] = static_cast<unsigned char>(v[0] << 2 | v[1] >> 4);
            ended = true;
        } else if (v[3] == -2) {
            if (v[2] < 0 || (v[2] & 3)) return false;
            out[produced++] = static_cast<unsigned char>(v[0] << 2 | v[1] >> 4);
            out[produced++] = static_cast<unsigned char>((v[1] & 15) << 4 | v[2] >> 2);
            ended = true;
        } else {
            if (v[2] < 0 || v[3] < 0) return false;
            out[produced++] = static_cast<unsigned char>(v[0] << 2 | v[1] >> 4);
            out[produced++] = static_cast<unsigned char>((v[1] & 15) << 4 | v[2] >> 2);
            out[produced++] = static_cast<unsigned char>((v[2] & 3) << 6 | v[3]);
        }
    }
    if (q) return false;
    *length = produced;
    return true;
}

void hex_encode(text_out& out, const unsigned char* bytes, size_t n) {
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; i++) {
        char pair[2] = {kHex[bytes[i] >> 4], kHex[bytes[i] & 15]};
        out.put(pair, 2);
    }
}

void base64_encode(text_out& out, const unsigned char* b, size_t n) {
    for (size_t i = 0; i < n; i += 3) {
        unsigned v = static_cast<unsigned>(b[i]) << 16;
        if (i + 1 < n) v |= static_cast<unsigned>(b[i + 1]) << 8;
        if (i + 2 < n) v |= b[i + 2];
        char quad[4] = {kBase64[v >> 18 & 63], kBase64[v >> 12 & 63], i + 1 < n ? kBase64[v >> 6 & 63] : '=',
                        i + 2 < n ? kBase64[v & 63] : '='};
        out.put(quad, 4);
    }
}

// ---- Names ---------------------------------------------------------------------------------------------

// One UTF-8 character at p (before end): its length, or 0 when malformed.
size_t utf8_char(const unsigned char* p, const unsigned char* end, uint32_t* cp) {
    if (p >= end) return 0;
    unsigned char c = *p;
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (!n || static_cast<size_t>(end - p) < n) return 0;
    uint32_t v = n == 1 ? c : n == 2 ? c & 31 : n == 3 ? c & 15 : c & 7;
    for (size_t i = 1; i < n; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        v = v << 6 | (p[i] & 63);
    }
    *cp = v;
    return n;
}

bool name_start(uint32_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 0xC0 && c <= 0xD6) ||
           (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
           (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
           (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool name_char(uint32_t c) {
    return name_start(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Whether s[0, n) is a run of name characters, the first a name start
// (unless any_start), with colons allowed where colons is set.
bool name_run(const char* s, size_t n, bool any_start, bool colons) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    const auto* end = p + n;
    if (p == end) return false;
    bool first = true;
    while (p < end) {
        uint32_t c;
        size_t k = utf8_char(p, end, &c);
        if (!k) return false;
        bool ok = c == ':' ? colons : first && !any_start ? name_start(c) : name_char(c);
        if (!ok) return false;
        first = false;
        p += k;
    }
    return true;
}

bool is_ncname(const char* s, size_t n) { return name_run(s, n, false, false); }

bool is_language(const char* s, size_t n) {
    size_t i = 0;
    bool first = true;
    while (true) {
        size_t start = i;
        while (i < n && i - start < 9 &&
               (std::isalpha(static_cast<unsigned char>(s[i])) ||
                (!first && std::isdigit(static_cast<unsigned char>(s[i])))))
            i++;
        size_t k = i - start;
        if (k < 1 || k > 8) return false;
        if (i == n) return true;
        if (s[i] != '-') return false;
        i++;
        first = false;
    }
}

// ---- The atomic value being cast ---------------------------------------------------------------------------

// One atomic value seen by a cast: its type, its lexical text (QNames with
// their namespace after 0x01) and, for numbers and booleans, the value.
struct atomic_view {
    const char* type = nullptr;
    char* text = nullptr;  // owned
    size_t length = 0;
    double number = 0;
    bool exact = false;
    int64_t exact_value = 0;
    bool boolean = false;
    atomic_view() = default;
    atomic_view(const atomic_view&) = delete;
    atomic_view& operator=(const atomic_view&) = delete;
    ~atomic_view() { std::free(text); }
};

bool is_numeric_type(const char* t) {
    return derives_from(t, "xs:decimal") || equal(t, "xs:double") || equal(t, "xs:float");
}

bool is_stringlike(const char* t) { return derives_from(t, "xs:string") || equal(t, "xs:untypedAtomic"); }

bool set_text(atomic_view& a, const char* s, size_t n) {
    a.text = static_cast<char*>(std::malloc(n + 1));
    if (!a.text) return false;
    if (n) std::memcpy(a.text, s, n);
    a.text[n] = '\0';
    a.length = n;
    return true;
}

bool set_text(atomic_view& a, char* owned) {
    if (!owned) return false;
    a.text = owned;
    a.length = std::strlen(owned);
    return true;
}

// The value of one item or scalar result; false (with the failure) when it
// cannot be atomized into one atomic value.
bool view_of(const result* v, atomic_view& a, cast_failure* f) {
    switch (v->kind) {
    case XPATH_NUMBER:
        a.type = scalar_type(v);
        a.number = v->value.number;
        a.exact = v->exact_integer_set != 0;
        a.exact_value = v->exact_integer;
        if (v->cached_string ? !set_text(a, v->cached_string, std::strlen(v->cached_string))
                             : !set_text(a, xpath_to_string(v)))
            return cast_oom(f), false;
        return true;
    case XPATH_BOOLEAN:
        a.type = "xs:boolean";
        a.boolean = v->value.boolean != 0;
        a.number = a.boolean ? 1 : 0;
        if (!set_text(a, a.boolean ? "true" : "false", a.boolean ? 4 : 5)) return cast_oom(f), false;
        return true;
    case XPATH_STRING: {
        a.type = scalar_type(v);
        const char* s = v->value.string ? v->value.string : "";
        if (!set_text(a, s, std::strlen(s))) return cast_oom(f), false;
        return true;
    }
    default: break;
    }
    const quorvel_node* item = nullptr;
    if (const nodeset* s = v->value.nodeset)
        for (size_t i = 0; i < s->count && !item; i++)
            if (is_item(s->items[i])) item = s->items[i];
    if (!item) {
        cast_fail(f, "XPTY0004", "XPTY0004: An empty sequence cannot be cast");
        return false;
    }
    if (item->kind == kXpathCarrierNode) {
        const auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(item);
        if (c->ref_kind == XPATH_REF_NODE) {
            item = c->ref.node;
        } else if (c->ref_kind != XPATH_REF_NONE) {
            cast_fail(f, "FOTY0013", "FOTY0013: A function item, map or array cannot be cast");
            return false;
        } else {
            const char* type = carrier_type(c);
            if (!type || (c->length >= 2 && c->text[0] == kXpathTagMark && c->text[1] == kXpathTagAttribute))
                type = "xs:untypedAtomic";
            a.type = type;
            bool tagged = c->length >= 2 && c->text[0] == kXpathTagMark;
            if (tagged && c->text[1] != kXpathTagAttribute) {
                if (!set_text(a, c->text + 2, c->length - 2)) return cast_oom(f), false;
            } else if (!set_text(a, get_node_text(item))) {
                return cast_oom(f), false;
            }
            if (c->length == 2 && tagged && c->text[1] == kXpathTagEmpty) {
                cast_fail(f, "XPTY0004", "XPTY0004: An empty sequence cannot be cast");
                return false;
            }
            if (equal(type, "xs:boolean")) {
                a.boolean = equal(a.text, "true");
                a.number = a.boolean ? 1 : 0;
            } else if (is_numeric_type(type)) {
                a.number = xpath_string_to_number(a.text);
                if (equal(a.text, "INF")) a.number = INFINITY;
                if (equal(a.text, "-INF")) a.number = -INFINITY;
                if (derives_from(type, "xs:integer")) {
                    char* end = nullptr;
                    errno = 0;
                    long long e = std::strtoll(a.text, &end, 10);
                    if (!errno && end && !*end && end != a.text) a.exact = true, a.exact_value = e;
                }
            }
            return true;
        }
    }
    a.type = "xs:untypedAtomic";
    if (!set_text(a, get_node_text(item))) return cast_oom(f), false;
    return true;
}

// ---- Numbers ------------------------------------------------------------------------------------------

// (+|-)?digits
bool integer_lexical(const char* s, size_t n) {
    size_t i = n && (s[0] == '+' || s[0] == '-') ? 1 : 0;
    if (i == n) return false;
    for (; i < n; i++)
        if (!is_digit(s[i])) return false;
    return true;
}

// (+|-)?(digits(.digits?)?|.digits)
bool decimal_lexical(const char* s, size_t n) {
    size_t i = n && (s[0] == '+' || s[0] == '-') ? 1 : 0;
    bool digit = false;
    while (i < n && is_digit(s[i])) i++, digit = true;
    if (i < n && s[i] == '.') {
        i++;
        while (i < n && is_digit(s[i])) i++, digit = true;
    }
    return digit && i == n;
}

bool double_lexical(const char* s, size_t n) {
    size_t sign = n && (s[0] == '+' || s[0] == '-') ? 1 : 0;
    if (n - sign == 3 && !std::memcmp(s + sign, "INF", 3)) return true;
    if (n == 3 && !std::memcmp(s, "NaN", 3)) return true;
    size_t e = 0;
    while (e < n && s[e] != 'e' && s[e] != 'E') e++;
    if (!decimal_lexical(s, e)) return false;
    if (e == n) return true;
    return integer_lexical(s + e + 1, n - e - 1);
}

double double_value(const char* s) {
    const char* p = s;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') p++;
    if (equal(p, "INF")) return negative ? -INFINITY : INFINITY;
    if (equal(s, "NaN")) return NAN;
    return std::strtod(s, nullptr);
}

// The canonical decimal text of a decimal lexical form: no "+", no leading
// zeros, no trailing fraction zeros, "-" only before a value that is not 0.
char* canonical_decimal_text(const char* s, size_t n) {
    bool negative = n && s[0] == '-';
    if (n && (s[0] == '+' || s[0] == '-')) s++, n--;
    const char* point = static_cast<const char*>(std::memchr(s, '.', n));
    size_t int_length = point ? static_cast<size_t>(point - s) : n;
    const char* fraction = point ? point + 1 : s + n;
    size_t fraction_length = point ? n - int_length - 1 : 0;
    while (int_length > 1 && *s == '0') s++, int_length--;
    if (int_length == 1 && *s == '0') int_length = 0;
    while (fraction_length && fraction[fraction_length - 1] == '0') fraction_length--;
    text_out out;
    if (negative && (int_length || fraction_length)) out.ch('-');
    if (int_length) out.put(s, int_length);
    else out.ch('0');
    if (fraction_length) {
        out.ch('.');
        out.put(fraction, fraction_length);
    }
    return out.take();
}

// The plain decimal digits of a finite double (no exponent).
char* decimal_text_of(double x) {
    char buf[400];
    if (x == std::trunc(x) && std::fabs(x) < 1e300) {
        std::snprintf(buf, sizeof buf, "%.0f", x);
    } else {
        // Shortest round trip, written out without an exponent.
        int p = 1;
        char probe[64];
        for (; p < 17; p++) {
            std::snprintf(probe, sizeof probe, "%.*e", p, x);
            if (std::strtod(probe, nullptr) == x) break;
        }
        const char* e = std::strchr(probe, 'e');
        int exponent = e ? std::atoi(e + 1) : 0;
        int decimals = p - exponent;
        if (decimals < 0) decimals = 0;
        if (decimals > 340) decimals = 340;
        std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
    }
    return canonical_decimal_text(buf, std::strlen(buf));
}

// Bounds of the integer types, as digit texts beside their 64-bit values;
// NULL bounds are unbounded.
struct integer_bounds {
    const char* name;
    const char* low;
    const char* high;
};
const integer_bounds kIntegerBounds[] = {
    {"xs:integer", nullptr, nullptr},
    {"xs:long", "-9223372036854775808", "9223372036854775807"},
    {"xs:int", "-2147483648", "2147483647"},
    {"xs:short", "-32768", "32767"},
    {"xs:byte", "-128", "127"},
    {"xs:nonNegativeInteger", "0", nullptr},
    {"xs:positiveInteger", "1", nullptr},
    {"xs:unsignedLong", "0", "18446744073709551615"},
    {"xs:unsignedInt", "0", "4294967295"},
    {"xs:unsignedShort", "0", "65535"},
    {"xs:unsignedByte", "0", "255"},
    {"xs:nonPositiveInteger", nullptr, "0"},
    {"xs:negativeInteger", nullptr, "-1"},
};

const integer_bounds* integer_type(const char* t) {
    for (const integer_bounds& b : kIntegerBounds)
        if (equal(b.name, t)) return &b;
    return nullptr;
}

// Compares two canonical integer texts.
int integer_text_cmp(const char* a, const char* b) {
    bool na = *a == '-', nb = *b == '-';
    if (na != nb) return na ? -1 : 1;
    size_t la = std::strlen(a), lb = std::strlen(b);
    int d = la != lb ? (la < lb ? -1 : 1) : std::strcmp(a, b);
    if (d) d = d < 0 ? -1 : 1;
    return na ? -d : d;
}

result* number_value(double x, const char* type) {
    result* r = xpath_result_new(XPATH_NUMBER);
    if (!r) return nullptr;
    r->value.number = x;
    r->type_name = type;
    return r;
}

// An integer of the type from its canonical digits: exact when it fits 64
// bits, else a double that keeps its digits for its string value.
result* integer_value(char* digits_text, const char* type, const char* shown, cast_failure* f) {
    const integer_bounds* b = integer_type(type);
    if ((b->low && integer_text_cmp(digits_text, b->low) < 0) ||
        (b->high && integer_text_cmp(digits_text, b->high) > 0)) {
        cast_fail(f, "FORG0001", "FORG0001: Value %s out of range for %s", shown, type);
        std::free(digits_text);
        return nullptr;
    }
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(digits_text, &end, 10);
    bool fits = errno == 0 && end && !*end;
    result* r = number_value(fits ? static_cast<double>(v) : std::strtod(digits_text, nullptr), type);
    if (!r) {
        std::free(digits_text);
        cast_oom(f);
        return nullptr;
    }
    if (fits) {
        r->exact_integer_set = 1;
        r->exact_integer = v;
        std::free(digits_text);
    } else {
        r->cached_string = digits_text;
    }
    return r;
}

result* cast_to_number(const atomic_view& a, const char* target, const char* s, size_t n, cast_failure* f) {
    bool from_text = is_stringlike(a.type);
    if (!from_text && !is_numeric_type(a.type) && !equal(a.type, "xs:boolean")) {
        cast_fail(f, "XPTY0004", "XPTY0004: Cannot cast %s to %s", a.type, target);
        return nullptr;
    }
    if (equal(target, "xs:double") || equal(target, "xs:float")) {
        double x;
        if (from_text) {
            if (!double_lexical(s, n)) return invalid_form(f, s, n, target), nullptr;
            char buf[128];
            char* copy = n < sizeof buf ? buf : static_cast<char*>(std::malloc(n + 1));
            if (!copy) return cast_oom(f), nullptr;
            std::memcpy(copy, s, n);
            copy[n] = '\0';
            x = double_value(copy);
            if (copy != buf) std::free(copy);
        } else {
            x = a.exact ? static_cast<double>(a.exact_value) : a.number;
        }
        bool is_float = equal(target, "xs:float");
        if (is_float) x = static_cast<double>(static_cast<float>(x));
        result* r = number_value(x, is_float ? "xs:float" : "xs:double");
        if (!r) return cast_oom(f), nullptr;
        r->typed_number = 1;
        return r;
    }
    // xs:decimal and the integer types: a text of digits first.
    char* digits_text = nullptr;
    const integer_bounds* bounds = integer_type(target);
    if (from_text) {
        if (bounds ? !integer_lexical(s, n) : !decimal_lexical(s, n)) return invalid_form(f, s, n, target), nullptr;
        digits_text = canonical_decimal_text(s, n);
    } else if (equal(a.type, "xs:boolean")) {
        digits_text = static_cast<char*>(std::malloc(2));
        if (digits_text) digits_text[0] = a.boolean ? '1' : '0', digits_text[1] = '\0';
    } else if (a.exact) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(a.exact_value));
        digits_text = canonical_decimal_text(buf, std::strlen(buf));
    } else if (!std::isfinite(a.number)) {
        cast_fail(f, "FOCA0002", "FOCA0002: Cannot cast %s to %s", std::isnan(a.number) ? "NaN" : "INF", target);
        return nullptr;
    } else if (derives_from(a.type, "xs:decimal") && a.text && decimal_lexical(a.text, a.length)) {
        digits_text = canonical_decimal_text(a.text, a.length);
    } else {
        digits_text = decimal_text_of(bounds ? std::trunc(a.number) : a.number);
    }
    if (!digits_text) return cast_oom(f), nullptr;
    if (bounds) {
        // Truncate toward zero: drop any fraction.
        if (char* point = std::strchr(digits_text, '.')) *point = '\0';
        if (equal(digits_text, "-0")) std::memmove(digits_text, digits_text + 1, 2);
        shown_text shown(from_text ? s : digits_text, from_text ? n : std::strlen(digits_text));
        return integer_value(digits_text, target, shown.text, f);
    }
    double x = std::strtod(digits_text, nullptr);
    result* r = number_value(x, "xs:decimal");
    if (!r) {
        std::free(digits_text);
        return cast_oom(f), nullptr;
    }
    // A whole decimal that fits 64 bits is exact; others keep their digits.
    errno = 0;
    char* end = nullptr;
    long long whole = std::strtoll(digits_text, &end, 10);
    if (!errno && end && !*end) {
        r->exact_integer_set = 1;
        r->exact_integer = whole;
        std::free(digits_text);
    } else {
        r->cached_string = digits_text;
    }
    return r;
}

// ---- QNames ---------------------------------------------------------------------------------------------

// Prefixes every expression knows without declaring them.
const struct {
    const char* prefix;
    const char* uri;
} kKnownPrefixes[] = {
    {"fn", "http://www.w3.org/2005/xpath-functions"},
    {"xml", "http://www.w3.org/XML/1998/namespace"},
    {"xs", "http://www.w3.org/2001/XMLSchema"},
    {"xsi", "http://www.w3.org/2001/XMLSchema-instance"},
    {"math", "http://www.w3.org/2005/xpath-functions/math"},
    {"map", "http://www.w3.org/2005/xpath-functions/map"},
    {"array", "http://www.w3.org/2005/xpath-functions/array"},
    {"err", "http://www.w3.org/2005/xqt-errors"},
    {"local", "http://www.w3.org/2005/xquery-local-functions"},
};

// Whether s is a lexical QName: NCName or NCName:NCName.
bool qname_lexical(const char* s, size_t n, size_t* colon) {
    const char* c = static_cast<const char*>(std::memchr(s, ':', n));
    *colon = c ? static_cast<size_t>(c - s) : n;
    if (!c) return is_ncname(s, n);
    return is_ncname(s, *colon) && is_ncname(c + 1, n - *colon - 1);
}

}  // namespace

const char* xpath_static_prefix_uri(quorvel_xpath_context* context, const char* prefix, size_t length) {
    if (length == 3 && !std::memcmp(prefix, "xml", 3)) return kKnownPrefixes[1].uri;
    if (const char* uri = xpath_expr_prefix_uri(context, prefix, length)) return uri;
    for (const auto& k : kKnownPrefixes)
        if (std::strlen(k.prefix) == length && !std::memcmp(k.prefix, prefix, length)) return k.uri;
    return nullptr;
}

char* xpath_qname_text(const char* lexical, size_t length, const char* uri) {
    size_t u = uri ? std::strlen(uri) : 0;
    char* out = static_cast<char*>(std::malloc(length + u + 2));
    if (!out) return nullptr;
    char* w = out;
    if (u) {
        std::memcpy(w, uri, u);
        w += u;
        *w++ = kXpathQNameUriMark;
    }
    if (length) std::memcpy(w, lexical, length);
    w[length] = '\0';
    return out;
}

int xpath_is_ncname(const char* s, size_t n) { return s && is_ncname(s, n); }

namespace {

// The one item of r when r is a set holding exactly one; NULL otherwise.
const quorvel_node* sole_item(const quorvel_xpath_result* r) {
    if (r->kind != XPATH_NODESET || !r->value.nodeset) return nullptr;
    const quorvel_node* item = nullptr;
    const quorvel_xpath_node_set* s = r->value.nodeset;
    for (size_t i = 0; i < s->count; i++) {
        if (!is_item(s->items[i])) continue;
        if (item) return nullptr;
        item = s->items[i];
    }
    return item;
}

}  // namespace

bool xpath_integer_text(const char* text, int64_t* out) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') return false;
    *out = v;
    return true;
}

bool xpath_exact_integer(const quorvel_xpath_result* r, int64_t* out) {
    if (r->kind == XPATH_NUMBER) {
        if (r->exact_integer_set) {
            *out = r->exact_integer;
            return true;
        }
        double v = r->value.number;
        if (std::fabs(v) >= kXpathExactDoubleLimit || v != std::trunc(v)) return false;
        // Untagged numbers and plain integers skip the type table: arithmetic
        // asks this of every operand.
        const char* t = r->type_name;
        if (t && !equal(t, "xs:integer") && !derives_from(number_type(t, v), "xs:integer")) return false;
        *out = static_cast<int64_t>(v);
        return true;
    }
    const quorvel_node* item = sole_item(r);
    if (!item || item->kind != kXpathCarrierNode) return false;
    auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(item);
    if (c->ref_kind != XPATH_REF_NONE || c->length < 3 || c->text[0] != kXpathTagMark ||
        c->text[1] != kXpathTagInteger)
        return false;
    return xpath_integer_text(c->text + 2, out);
}

const char* xpath_numeric_type(const quorvel_xpath_result* r) {
    const char* t = nullptr;
    if (r->kind == XPATH_NUMBER) {
        if (!r->type_name) return number_type(nullptr, r->value.number);
        t = scalar_type(r);
    } else if (const quorvel_node* item = sole_item(r)) {
        // A single typed item keeps its type; nodes, untyped items and
        // longer sequences read as doubles.
        if (item->kind == kXpathCarrierNode) t = carrier_type(reinterpret_cast<const quorvel_xpath_carrier*>(item));
    }
    if (!t) return "xs:double";
    if (derives_from(t, "xs:integer")) return "xs:integer";
    if (equal(t, "xs:decimal")) return "xs:decimal";
    return equal(t, "xs:float") ? "xs:float" : "xs:double";
}

const char* xpath_qname_lexical(const char* text) {
    const char* mark = text ? std::strchr(text, kXpathQNameUriMark) : nullptr;
    return mark ? mark + 1 : text ? text : "";
}

size_t xpath_qname_uri_length(const char* text) {
    const char* mark = text ? std::strchr(text, kXpathQNameUriMark) : nullptr;
    return mark ? static_cast<size_t>(mark - text) : 0;
}

int xpath_qname_equal(const char* a, const char* b) {
    if (!a || !b) return 0;
    auto local = [](const char* t) {
        const char* lexical = xpath_qname_lexical(t);
        const char* colon = std::strchr(lexical, ':');
        return colon ? colon + 1 : lexical;
    };
    size_t ua = xpath_qname_uri_length(a), ub = xpath_qname_uri_length(b);
    return ua == ub && !std::memcmp(a, b, ua) && equal(local(a), local(b));
}

namespace {

result* typed_text(char* text, const char* type, cast_failure* f) {
    if (!text) return cast_oom(f), nullptr;
    result* r = xpath_result_new(XPATH_STRING);
    if (!r) {
        std::free(text);
        return cast_oom(f), nullptr;
    }
    r->value.string = text;
    r->type_name = type;
    return r;
}

result* cast_to_string_type(const atomic_view& a, const char* target, cast_failure* f) {
    // The string form of a QName is its lexical form, without its namespace.
    const char* s = equal(a.type, "xs:QName") ? xpath_qname_lexical(a.text) : a.text;
    size_t n = a.length - static_cast<size_t>(s - a.text);
    if (equal(target, "xs:string")) {
        result* r = typed_text(xpath_qname_text(s, n, nullptr), nullptr, f);
        return r;
    }
    if (equal(target, "xs:untypedAtomic")) return typed_text(xpath_qname_text(s, n, nullptr), "xs:untypedAtomic", f);
    const char* name = type_named(target)->name;
    text_out out;
    if (equal(target, "xs:normalizedString")) {
        for (size_t i = 0; i < n; i++) out.ch(xml_space(s[i]) ? ' ' : s[i]);
        return typed_text(out.take(), name, f);
    }
    // Every other string type collapses white space.
    trim(s, n);
    for (size_t i = 0; i < n; i++) {
        if (xml_space(s[i])) {
            if (!xml_space(s[i - 1])) out.ch(' ');
        } else {
            out.ch(s[i]);
        }
    }
    char* text = out.take();
    if (!text) return cast_oom(f), nullptr;
    size_t m = std::strlen(text);
    bool ok = true;
    if (equal(target, "xs:language")) ok = is_language(text, m);
    else if (equal(target, "xs:NMTOKEN")) ok = name_run(text, m, true, true);
    else if (equal(target, "xs:Name")) ok = name_run(text, m, false, true);
    else if (!equal(target, "xs:token")) ok = is_ncname(text, m);
    if (!ok) {
        invalid_form(f, text, m, name);
        std::free(text);
        return nullptr;
    }
    return typed_text(text, name, f);
}

bool cast_not_allowed(const atomic_view& a, const char* target, cast_failure* f) {
    cast_fail(f, "XPTY0004", "XPTY0004: Cannot cast %s to %s", a.type, target);
    return false;
}

result* cast_core(quorvel_xpath_context* c, const atomic_view& a, const char* target, cast_failure* f) {
    if (equal(target, "xs:anyAtomicType") || equal(target, "xs:NOTATION")) {
        cast_fail(f, "XPST0080", "XPST0080: Cannot cast to the abstract type %s", target);
        return nullptr;
    }
    if (equal(target, "xs:numeric")) {
        // The union of the numeric types: numbers stay what they are, other
        // values become doubles.
        target = is_numeric_type(a.type) ? a.type : "xs:double";
        if (!type_named(target)) target = "xs:double";
    }
    const type_row* row = type_named(target);
    if (!row) {
        cast_fail(f, "XPST0051", "XPST0051: Unknown atomic type %s", target);
        return nullptr;
    }
    target = row->name;
    if (derives_from(target, "xs:string") || equal(target, "xs:untypedAtomic")) return cast_to_string_type(a, target, f);
    bool from_text = is_stringlike(a.type);
    const char* s = a.text;
    size_t n = a.length;
    if (from_text) trim(s, n);
    if (equal(target, "xs:anyURI")) {
        if (!from_text && !equal(a.type, "xs:anyURI")) return cast_not_allowed(a, target, f), nullptr;
        return typed_text(xpath_qname_text(s, n, nullptr), "xs:anyURI", f);
    }
    if (equal(target, "xs:boolean")) {
        bool yes;
        if (from_text) {
            if ((n == 4 && !std::memcmp(s, "true", 4)) || (n == 1 && *s == '1')) yes = true;
            else if ((n == 5 && !std::memcmp(s, "false", 5)) || (n == 1 && *s == '0')) yes = false;
            else return invalid_form(f, s, n, target), nullptr;
        } else if (equal(a.type, "xs:boolean")) {
            yes = a.boolean;
        } else if (is_numeric_type(a.type)) {
            yes = a.exact ? a.exact_value != 0 : a.number != 0 && !std::isnan(a.number);
        } else {
            return cast_not_allowed(a, target, f), nullptr;
        }
        result* r = xpath_result_new(XPATH_BOOLEAN);
        if (!r) return cast_oom(f), nullptr;
        r->value.boolean = yes;
        return r;
    }
    if (is_numeric_type(target)) return cast_to_number(a, target, s, n, f);
    text_out out;
    if (const dt_type* to = date_type(target)) {
        const dt_type* from = date_type(a.type);
        if (!from_text && !(from && date_cast_allowed(from->kind, to->kind)))
            return cast_not_allowed(a, target, f), nullptr;
        dt_fields fields;
        lex_status st = parse_dt(s, n, from_text ? to->kind : from->kind, fields);
        if (st == LEX_RANGE) {
            shown_text shown(s, n);
            cast_fail(f, "FODT0001", "FODT0001: Year out of range in '%s'", shown.text);
            return nullptr;
        }
        if (st != LEX_OK) return invalid_form(f, s, n, target), nullptr;
        if (!from_text && from->kind == DT_DATE && to->kind == DT_DATETIME) fields.hour = fields.minute = fields.second = 0;
        format_dt(out, to->kind, fields);
        return typed_text(out.take(), target, f);
    }
    if (duration_named(target)) {
        if (!from_text && !duration_named(a.type)) return cast_not_allowed(a, target, f), nullptr;
        dur_fields d;
        lex_status st = parse_duration(s, n, from_text ? duration_kind(target) : DUR_ANY, d);
        if (st == LEX_RANGE) {
            shown_text shown(s, n);
            cast_fail(f, "FODT0002", "FODT0002: Duration out of range: '%s'", shown.text);
            return nullptr;
        }
        if (st != LEX_OK) return invalid_form(f, s, n, target), nullptr;
        format_duration(out, duration_kind(target), d);
        return typed_text(out.take(), target, f);
    }
    if (equal(target, "xs:hexBinary") || equal(target, "xs:base64Binary")) {
        bool from_hex = equal(a.type, "xs:hexBinary");
        if (!from_text && !from_hex && !equal(a.type, "xs:base64Binary"))
            return cast_not_allowed(a, target, f), nullptr;
        bool read_hex = from_text ? equal(target, "xs:hexBinary") : from_hex;
        unsigned char small[256];
        unsigned char* bytes = n <= sizeof small ? small : static_cast<unsigned char*>(std::malloc(n));
        if (!bytes) return cast_oom(f), nullptr;
        size_t count = n / 2;
        bool ok = read_hex ? hex_decode(s, n, bytes) : base64_decode(s, n, bytes, &count);
        if (ok) {
            if (equal(target, "xs:hexBinary")) hex_encode(out, bytes, count);
            else base64_encode(out, bytes, count);
            out.put("", 0);
        }
        if (bytes != small) std::free(bytes);
        if (!ok) return invalid_form(f, s, n, target), nullptr;
        return typed_text(out.take(), target, f);
    }
    if (equal(target, "xs:QName")) {
        if (equal(a.type, "xs:QName")) return typed_text(xpath_qname_text(a.text, a.length, nullptr), target, f);  // as it is
        if (!from_text) return cast_not_allowed(a, target, f), nullptr;
        size_t colon;
        if (!qname_lexical(s, n, &colon)) return invalid_form(f, s, n, target), nullptr;
        const char* uri = nullptr;
        if (colon < n) {
            uri = xpath_static_prefix_uri(c, s, colon);
            if (!uri) {
                shown_text shown(s, colon);
                cast_fail(f, "FONS0004", "FONS0004: No namespace is bound to the prefix '%s'", shown.text);
                return nullptr;
            }
        } else if (c && c->default_element_ns) {
            uri = c->default_element_ns;
        }
        return typed_text(xpath_qname_text(s, n, uri), target, f);
    }
    return cast_not_allowed(a, target, f), nullptr;
}

size_t item_count(const result* r);

// Casts a value of one item; the failure is recorded, not reported.
result* cast_value(quorvel_xpath_context* c, const result* v, const char* target, cast_failure* f) {
    atomic_view a;
    if (!view_of(v, a, f)) return nullptr;
    return cast_core(c, a, target, f);
}

void report(quorvel_xpath_context* c, const cast_failure& f) {
    if (!f.code) {
        xpath_context_fail(c, "%s", f.message);
        return;
    }
    if (c->error[0]) return;
    std::snprintf(c->error_code, sizeof c->error_code, "%s", f.code);
    xpath_context_fail(c, "%s", f.message);
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

result* empty_result(quorvel_xpath_context* c) {
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

// Casts to an abstract type are refused whatever the operand.
bool abstract_target(quorvel_xpath_context* c, const seq_type& st) {
    if (!equal(st.text, "xs:anyAtomicType") && !equal(st.text, "xs:NOTATION")) return false;
    xpath_context_fail_code(c, "XPST0080", "XPST0080: Cannot cast to the abstract type %s", st.text);
    return true;
}

result* eval_castable(quorvel_xpath_context* c, const ast* e) {
    seq_type st(e->text);
    if (abstract_target(c, st)) return nullptr;
    result* v = evaluate_expr(c, e->children[0]);
    if (!v) return nullptr;
    size_t count = item_count(v);
    bool yes;
    if (count != 1) {
        yes = count == 0 && st.occurrence == '?';
    } else {
        cast_failure f;
        result* r = cast_value(c, v, st.text, &f);
        yes = r != nullptr;
        xpath_result_free(r);
        // Only a value that does not fit the type makes the answer false.
        if (f.failed && (!f.code || starts_with(f.code, "XPST"))) {
            xpath_result_free(v);
            report(c, f);
            return nullptr;
        }
    }
    xpath_result_free(v);
    result* r = xpath_result_new(XPATH_BOOLEAN);
    if (!r) return oom(c);
    r->value.boolean = yes;
    return r;
}

result* eval_cast(quorvel_xpath_context* c, const ast* e) {
    seq_type st(e->text);
    if (abstract_target(c, st)) return nullptr;
    result* v = evaluate_expr(c, e->children[0]);
    if (!v) return nullptr;
    size_t count = item_count(v);
    if (count != 1) {
        xpath_result_free(v);
        if (count == 0 && st.occurrence == '?') return empty_result(c);
        xpath_context_fail_code(c, "XPTY0004", "XPTY0004: Cannot cast a sequence of %zu items to %s", count, st.text);
        return nullptr;
    }
    cast_failure f;
    result* r = cast_value(c, v, st.text, &f);
    xpath_result_free(v);
    if (!r) report(c, f);
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

quorvel_xpath_result* xpath_cast_value(quorvel_xpath_context* context, const quorvel_xpath_result* value,
                                       const char* target) {
    cast_failure f;
    result* r = cast_value(context, value, target, &f);
    if (!r) report(context, f);
    return r;
}

int xpath_castable_value(quorvel_xpath_context* context, const quorvel_xpath_result* value, const char* target) {
    cast_failure f;
    result* r = cast_value(context, value, target, &f);
    xpath_result_free(r);
    return r != nullptr;
}

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
