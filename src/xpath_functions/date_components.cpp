// Dates, times and durations taken apart and moved between timezones: the
// strict lexical reader and canonical writer of xs:date, xs:dateTime and
// xs:time values that the formatting functions share, the component
// accessors (year-from-dateTime ... seconds-from-duration), timezone-from-*
// and adjust-*-to-timezone.
//
// Values arrive as typed texts. Arithmetic is done in whole minutes on
// 64-bit integers (with floor division, so instants before 1970 and negative
// offsets move the right way); seconds and their fraction are never touched
// by a timezone shift, so no precision is lost.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xpath_functions/functions.h"

namespace {

constexpr int64_t kMaxYear = 999999999;

bool digit(char c) { return c >= '0' && c <= '9'; }

// Exactly n digits at p.
bool fixed_digits(const char*& p, int n, int32_t* value) {
    int32_t v = 0;
    for (int i = 0; i < n; i++) {
        if (!digit(p[i])) return false;
        v = v * 10 + (p[i] - '0');
    }
    p += n;
    *value = v;
    return true;
}

bool leap_year(int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int32_t month_days(int64_t year, int32_t month) {
    static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : kDays[month - 1];
}

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// '-'? yyyy+ '-' mm '-' dd; a year of more than four digits has no leading
// zero.
bool read_date_part(const char*& p, dt_value* v) {
    bool negative = *p == '-';
    if (negative) p++;
    const char* start = p;
    int64_t year = 0;
    while (digit(*p)) {
        year = year * 10 + (*p - '0');
        if (year > kMaxYear) return false;
        p++;
    }
    size_t n = static_cast<size_t>(p - start);
    if (n < 4 || (n > 4 && *start == '0')) return false;
    int32_t month, day;
    if (*p++ != '-' || !fixed_digits(p, 2, &month) || *p++ != '-' || !fixed_digits(p, 2, &day)) return false;
    if (month < 1 || month > 12 || day < 1 || day > month_days(negative ? -year : year, month)) return false;
    v->year = negative ? -year : year;
    v->month = month;
    v->day = day;
    return true;
}

// hh ':' mm ':' ss ('.' digits)?; "24:00:00" is kept as hour 24 for the
// caller to move to the next day.
bool read_time_part(const char*& p, dt_value* v) {
    int32_t hour, minute, second;
    if (!fixed_digits(p, 2, &hour) || *p++ != ':' || !fixed_digits(p, 2, &minute) || *p++ != ':' ||
        !fixed_digits(p, 2, &second))
        return false;
    size_t kept = 0;
    bool nonzero = false;
    if (*p == '.') {
        p++;
        if (!digit(*p)) return false;
        // Precision is kept to 18 digits; further digits are dropped.
        for (; digit(*p); p++) {
            if (kept < sizeof v->fraction - 1) v->fraction[kept++] = *p;
            if (*p != '0') nonzero = true;
        }
    }
    while (kept && v->fraction[kept - 1] == '0') kept--;
    v->fraction[kept] = '\0';
    if (minute > 59 || second > 59 || hour > 24) return false;
    if (hour == 24 && (minute || second || nonzero)) return false;
    v->hour = hour;
    v->minute = minute;
    v->second = second;
    return true;
}

bool read_zone(const char*& p, dt_value* v) {
    v->has_zone = 0;
    v->zone_minutes = 0;
    if (!*p) return true;
    if (*p == 'Z') {
        p++;
        v->has_zone = 1;
        return true;
    }
    if (*p != '+' && *p != '-') return false;
    bool negative = *p++ == '-';
    int32_t hours, minutes;
    if (!fixed_digits(p, 2, &hours) || *p++ != ':' || !fixed_digits(p, 2, &minutes)) return false;
    if (minutes > 59 || hours * 60 + minutes > 14 * 60) return false;
    v->has_zone = 1;
    v->zone_minutes = negative ? -(hours * 60 + minutes) : hours * 60 + minutes;
    return true;
}

// Moves a value by whole minutes (days and the time of day; the seconds
// stay). Times wrap around the day.
void shift_minutes(dt_value* v, int64_t minutes) {
    int64_t of_day = v->hour * 60 + v->minute + minutes;
    int64_t days = floor_div(of_day, 1440);
    of_day -= days * 1440;
    v->hour = static_cast<int32_t>(of_day / 60);
    v->minute = static_cast<int32_t>(of_day % 60);
    if (v->kind == 't' || days == 0) return;
    int y, m, d;
    h_civil_from_days(h_days_from_civil(v->year, v->month, v->day) + days, &y, &m, &d);
    v->year = y;
    v->month = m;
    v->day = d;
}

void write_zone(char* out, size_t size, const dt_value& v) {
    if (!v.has_zone) {
        out[0] = '\0';
    } else if (v.zone_minutes == 0) {
        std::snprintf(out, size, "Z");
    } else {
        int32_t a = v.zone_minutes < 0 ? -v.zone_minutes : v.zone_minutes;
        std::snprintf(out, size, "%c%02d:%02d", v.zone_minutes < 0 ? '-' : '+', a / 60, a % 60);
    }
}

// ---- Arguments ---------------------------------------------------------------------------------

const char* kind_type_name(char kind) {
    switch (kind) {
        case 'T': return "xs:dateTime";
        case 'E': return "xs:date";
        case 't': return "xs:time";
        default: return "xs:duration";
    }
}

// The one atomic item of an argument as its lexical text and a kind letter:
// 'T', 'E', 't', 'd' (any duration), 'U' (untyped: nodes and untyped
// values), 's' (strings and anything else). 0 = empty, 1 = an item, -1 =
// failure (reported). *text is malloc'd.
int argument_item(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, const char* function,
                  char* kind, char** text) {
    quorvel_xpath_result* r = fn_evaluate(c, argument);
    if (!r) return -1;
    int status = 1;
    *kind = 's';
    *text = nullptr;
    if (r->kind == XPATH_STRING) {
        const char* t = r->type_name ? r->type_name : "";
        if (!std::strcmp(t, "xs:dateTime")) *kind = 'T';
        else if (!std::strcmp(t, "xs:date")) *kind = 'E';
        else if (!std::strcmp(t, "xs:time")) *kind = 't';
        else if (!std::strncmp(t, "xs:", 3) && std::strstr(t, "uration")) *kind = 'd';
        else if (!std::strcmp(t, "xs:untypedAtomic")) *kind = 'U';
        *text = xpath_to_string(r);
    } else if (r->kind != XPATH_NODESET) {
        *kind = 'n';
        *text = xpath_to_string(r);
    } else {
        const quorvel_xpath_node_set* set = r->value.nodeset;
        const quorvel_node* item = nullptr;
        size_t items = 0;
        for (size_t k = 0; set && k < set->count; k++)
            if (reinterpret_cast<uintptr_t>(set->items[k]) > kXpathLowestItem) {
                if (!item) item = set->items[k];
                items++;
            }
        if (items == 0) {
            status = 0;
        } else if (items > 1) {
            xpath_context_fail_code(c, "XPTY0004", "XPTY0004: %s expects one item, got %zu", function, items);
            status = -1;
        } else if (*reinterpret_cast<const int32_t*>(item) == kXpathCarrierNode) {
            const auto* carrier = reinterpret_cast<const quorvel_xpath_carrier*>(item);
            if (carrier->ref_kind != XPATH_REF_NONE) {
                *kind = 'n';
            } else if (carrier->length >= 2 && carrier->text[0] == kXpathTagMark) {
                char tag = carrier->text[1];
                *kind = tag == 'T' || tag == 'E' || tag == 't' || tag == 'd' || tag == 'U' ? tag : 'n';
            }
            *text = get_node_text(item);
        } else {
            *kind = 'U';
            *text = get_node_text(item);
        }
    }
    xpath_result_free(r);
    if (status == 1 && !*text) {
        xpath_context_fail(c, "Out of memory");
        return -1;
    }
    return status;
}

quorvel_xpath_result* empty_result(quorvel_xpath_context* c) {
    quorvel_xpath_result* r = seq_new();
    if (!r) xpath_context_fail(c, "Out of memory");
    return r;
}

quorvel_xpath_result* integer_result(quorvel_xpath_context* c, int64_t value) {
    quorvel_xpath_result* r = fn_number_result(c, static_cast<double>(value));
    if (r) {
        r->exact_integer_set = 1;
        r->exact_integer = value;
        r->type_name = "xs:integer";
    }
    return r;
}

// An xs:decimal from its text (sign, digits, optional point and digits).
quorvel_xpath_result* decimal_result(quorvel_xpath_context* c, const char* text) {
    size_t n = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(n + 1));
    quorvel_xpath_result* r = copy ? fn_number_result(c, std::strtod(text, nullptr)) : nullptr;
    if (!r) {
        std::free(copy);
        if (!copy) xpath_context_fail(c, "Out of memory");
        return nullptr;
    }
    std::memcpy(copy, text, n + 1);
    r->type_name = "xs:decimal";
    r->cached_string = copy;
    return r;
}

quorvel_xpath_result* typed_text(quorvel_xpath_context* c, const char* text, const char* type_name) {
    quorvel_xpath_result* r = fn_string_result_copy(c, text, std::strlen(text));
    if (r) r->type_name = type_name;
    return r;
}

// ---- Durations ---------------------------------------------------------------------------------

struct duration_parts {
    bool negative;
    int64_t months;
    int64_t seconds;  // whole seconds of the day-time part
    char fraction[19];
};

// Adds count units to a total; false when the total would leave the 64-bit
// range (such durations are refused rather than wrapped).
bool add_units(int64_t* total, int64_t count, int64_t unit) {
    int64_t product;
    return !__builtin_mul_overflow(count, unit, &product) && !__builtin_add_overflow(*total, product, total);
}

bool read_duration(const char* text, duration_parts* d) {
    const char* p = text;
    *d = duration_parts{};
    d->negative = *p == '-';
    if (d->negative) p++;
    if (*p++ != 'P') return false;
    static constexpr char kOrder[] = "YMDHMS";
    int next = 0;  // index into kOrder of the next allowed designator
    bool time = false, any = false, time_any = false;
    while (*p) {
        if (*p == 'T') {
            if (time) return false;
            time = true;
            next = 3;
            p++;
            continue;
        }
        if (!digit(*p)) return false;
        int64_t v = 0;
        while (digit(*p)) {
            if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, *p++ - '0', &v)) return false;
        }
        char frac[19] = "";
        if (*p == '.') {
            p++;
            if (!digit(*p)) return false;
            size_t kept = 0;
            for (; digit(*p); p++)
                if (kept < sizeof frac - 1) frac[kept++] = *p;
            while (kept && frac[kept - 1] == '0') kept--;
            frac[kept] = '\0';
            if (*p != 'S') return false;
        }
        int at = next;
        while (at < 6 && !(kOrder[at] == *p && (at >= 3) == time)) at++;
        if (at == 6) return false;
        static constexpr int64_t kUnits[6] = {12, 1, 86400, 3600, 60, 1};
        if (!add_units(at < 2 ? &d->months : &d->seconds, v, kUnits[at])) return false;
        if (at == 5) std::memcpy(d->fraction, frac, sizeof frac);
        next = at + 1;
        any = true;
        if (time) time_any = true;
        p++;
    }
    return any && !(time && !time_any);
}

// ---- Accessors ---------------------------------------------------------------------------------

enum component : int {
    kYear, kMonth, kDay, kHours, kMinutes, kSeconds,
};

quorvel_xpath_result* component_of(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count,
                                   const char* kinds, const char* function, component which) {
    if (count != 1) {
        xpath_context_fail(c, "Function %s expects 1 argument, got %zu", function, count);
        return nullptr;
    }
    dt_value v;
    int status = dt_argument(c, args[0], kinds, function, &v);
    if (status < 0) return nullptr;
    if (status == 0) return empty_result(c);
    switch (which) {
        case kYear: return integer_result(c, v.year);
        case kMonth: return integer_result(c, v.month);
        case kDay: return integer_result(c, v.day);
        case kHours: return integer_result(c, v.hour);
        case kMinutes: return integer_result(c, v.minute);
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "%d%s%s", v.second, v.fraction[0] ? "." : "", v.fraction);
            return decimal_result(c, text);
        }
    }
}

enum duration_component : int {
    kDurYears, kDurMonths, kDurDays, kDurHours, kDurMinutes, kDurSeconds,
};

quorvel_xpath_result* duration_component_of(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count,
                                            const char* function, duration_component which) {
    if (count != 1) {
        xpath_context_fail(c, "Function %s expects 1 argument, got %zu", function, count);
        return nullptr;
    }
    char kind;
    char* text = nullptr;
    int status = argument_item(c, args[0], function, &kind, &text);
    if (status < 0) return nullptr;
    if (status == 0) return empty_result(c);
    duration_parts d;
    bool ok = read_duration(text, &d);
    std::free(text);
    if (kind != 'd' && kind != 'U') {
        xpath_context_fail_code(c, "XPTY0004", "XPTY0004: %s expects an xs:duration", function);
        return nullptr;
    }
    if (!ok) {
        xpath_context_fail_code(c, "FORG0001", "FORG0001: Invalid xs:duration value for %s", function);
        return nullptr;
    }
    int64_t value = 0;
    switch (which) {
        case kDurYears: value = d.months / 12; break;
        case kDurMonths: value = d.months % 12; break;
        case kDurDays: value = d.seconds / 86400; break;
        case kDurHours: value = d.seconds % 86400 / 3600; break;
        case kDurMinutes: value = d.seconds % 3600 / 60; break;
        case kDurSeconds: {
            char out[48];
            bool zero = d.seconds % 60 == 0 && !d.fraction[0];
            std::snprintf(out, sizeof out, "%s%d%s%s", d.negative && !zero ? "-" : "",
                          static_cast<int>(d.seconds % 60), d.fraction[0] ? "." : "", d.fraction);
            return decimal_result(c, out);
        }
    }
    return integer_result(c, d.negative ? -value : value);
}

// ---- Timezones ---------------------------------------------------------------------------------

// The minutes of a timezone argument: 0 = empty sequence, 1 = *minutes set,
// -1 = failure (reported).
int timezone_argument(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, const char* function,
                      int64_t* minutes) {
    char kind;
    char* text = nullptr;
    int status = argument_item(c, argument, function, &kind, &text);
    if (status <= 0) return status;
    duration_parts d;
    bool ok = read_duration(text, &d);
    // A day-time duration has no Y and no M before its T.
    bool day_time = ok;
    if (ok) {
        const char* t = std::strchr(text, 'T');
        for (const char* p = text; *p && p != t; p++)
            if (*p == 'Y' || *p == 'M') day_time = false;
    }
    std::free(text);
    if (kind != 'U' && kind != 'd') {
        xpath_context_fail_code(c, "XPTY0004", "XPTY0004: the timezone of %s must be an xs:dayTimeDuration", function);
        return -1;
    }
    if (!ok || !day_time) {
        xpath_context_fail_code(c, kind == 'U' && !ok ? "FORG0001" : "XPTY0004",
                                "%s: the timezone of %s must be an xs:dayTimeDuration",
                                kind == 'U' && !ok ? "FORG0001" : "XPTY0004", function);
        return -1;
    }
    if (d.fraction[0] || d.seconds % 60 != 0 || d.seconds > 14 * 3600) {
        xpath_context_fail_code(c, "FODT0003",
                                "FODT0003: Invalid timezone for %s: whole minutes from -PT14H to PT14H are allowed",
                                function);
        return -1;
    }
    int64_t m = d.seconds / 60;
    *minutes = d.negative ? -m : m;
    return 1;
}

quorvel_xpath_result* adjust(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count, char kind,
                             const char* function) {
    if (count < 1 || count > 2) {
        xpath_context_fail(c, "Function %s expects 1-2 arguments, got %zu", function, count);
        return nullptr;
    }
    const char kinds[2] = {kind, '\0'};
    dt_value v;
    int status = dt_argument(c, args[0], kinds, function, &v);
    if (status < 0) return nullptr;
    // The timezone argument is checked even when the value is empty.
    int64_t zone = 0;  // the implicit timezone
    int zone_status = 1;
    if (count == 2) {
        zone_status = timezone_argument(c, args[1], function, &zone);
        if (zone_status < 0) return nullptr;
    }
    if (status == 0) return empty_result(c);
    if (zone_status == 0) {
        // No timezone asked for: the local value without its zone.
        v.has_zone = 0;
        v.zone_minutes = 0;
    } else {
        if (v.has_zone) shift_minutes(&v, zone - v.zone_minutes);
        v.has_zone = 1;
        v.zone_minutes = static_cast<int32_t>(zone);
    }
    char text[kDtTextSize];
    dt_write(v, text);
    return typed_text(c, text, kind_type_name(kind));
}

}  // namespace

// ---- Shared readers and writers ---------------------------------------------------------------

bool dt_read(const char* text, char kind, dt_value* out) {
    if (!text || !out) return false;
    dt_value v{};
    v.kind = kind;
    const char* p = text;
    switch (kind) {
        case 'T':
            if (!read_date_part(p, &v) || *p++ != 'T' || !read_time_part(p, &v)) return false;
            break;
        case 'E':
            if (!read_date_part(p, &v)) return false;
            break;
        case 't':
            if (!read_time_part(p, &v)) return false;
            break;
        default:
            return false;
    }
    if (!read_zone(p, &v) || *p) return false;
    if (v.hour == 24) {
        v.hour = 0;
        if (kind == 'T') {
            int y, m, d;
            h_civil_from_days(h_days_from_civil(v.year, v.month, v.day) + 1, &y, &m, &d);
            if (y > kMaxYear) return false;
            v.year = y;
            v.month = m;
            v.day = d;
        }
    }
    *out = v;
    return true;
}

void dt_write(const dt_value& v, char* out) {
    char zone[16];
    write_zone(zone, sizeof zone, v);
    char year[24];
    int64_t a = v.year < 0 ? -v.year : v.year;
    std::snprintf(year, sizeof year, "%s%04lld", v.year < 0 ? "-" : "", static_cast<long long>(a));
    const char* point = v.fraction[0] ? "." : "";
    // Fields are in range, so the text (at most 10 + 15 + 19 + 6 bytes) fits
    // kDtTextSize; the wide buffer only spares the compiler the proof.
    char text[192];
    switch (v.kind) {
        case 'E':
            std::snprintf(text, sizeof text, "%s-%02d-%02d%s", year, v.month, v.day, zone);
            break;
        case 't':
            std::snprintf(text, sizeof text, "%02d:%02d:%02d%s%s%s", v.hour, v.minute, v.second, point, v.fraction,
                          zone);
            break;
        default:
            std::snprintf(text, sizeof text, "%s-%02d-%02dT%02d:%02d:%02d%s%s%s", year, v.month, v.day, v.hour,
                          v.minute, v.second, point, v.fraction, zone);
            break;
    }
    size_t n = std::strlen(text);
    if (n >= kDtTextSize) n = kDtTextSize - 1;
    std::memcpy(out, text, n);
    out[n] = '\0';
}

int dt_argument(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, const char* kinds,
                const char* function, dt_value* out) {
    char kind;
    char* text = nullptr;
    int status = argument_item(c, argument, function, &kind, &text);
    if (status <= 0) return status;
    bool accepted = kind == 'U' || (kind != '\0' && std::strchr(kinds, kind));
    bool ok = false;
    if (kind == 'U') {
        // An untyped value is cast to the first accepted type it reads as.
        for (const char* k = kinds; *k && !ok; k++) ok = dt_read(text, *k, out);
    } else if (accepted) {
        ok = dt_read(text, kind, out);
    }
    char shown[64];
    std::snprintf(shown, sizeof shown, "%s", text);
    std::free(text);
    if (!accepted) {
        char wanted[64] = "";
        for (const char* k = kinds; *k; k++) {
            size_t used = std::strlen(wanted);
            std::snprintf(wanted + used, sizeof wanted - used, "%s%s", k == kinds ? "" : k[1] ? ", " : " or ",
                          kind_type_name(*k));
        }
        xpath_context_fail_code(c, "XPTY0004", "XPTY0004: %s expects an %s", function, wanted);
        return -1;
    }
    if (!ok) {
        xpath_context_fail_code(c, "FORG0001", "FORG0001: Invalid value for %s: '%s'", function, shown);
        return -1;
    }
    return 1;
}

void dt_write_duration_minutes(int64_t minutes, char* out, size_t size) {
    if (minutes == 0) {
        std::snprintf(out, size, "PT0S");
        return;
    }
    int64_t a = minutes < 0 ? -minutes : minutes;
    char hours[24] = "", mins[24] = "";
    if (a / 60) std::snprintf(hours, sizeof hours, "%lldH", static_cast<long long>(a / 60));
    if (a % 60) std::snprintf(mins, sizeof mins, "%lldM", static_cast<long long>(a % 60));
    std::snprintf(out, size, "%sPT%s%s", minutes < 0 ? "-" : "", hours, mins);
}

// ---- Registered functions ----------------------------------------------------------------------

quorvel_xpath_result* fn_year_from_dt(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return component_of(c, a, n, "TE", "year-from-date(Time)", kYear);
}
quorvel_xpath_result* fn_month_from_dt(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return component_of(c, a, n, "TE", "month-from-date(Time)", kMonth);
}
quorvel_xpath_result* fn_day_from_dt(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return component_of(c, a, n, "TE", "day-from-date(Time)", kDay);
}
quorvel_xpath_result* fn_hours_from_t(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return component_of(c, a, n, "Tt", "hours-from-(date)Time", kHours);
}
quorvel_xpath_result* fn_minutes_from_t(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return component_of(c, a, n, "Tt", "minutes-from-(date)Time", kMinutes);
}
quorvel_xpath_result* fn_seconds_from_t(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return component_of(c, a, n, "Tt", "seconds-from-(date)Time", kSeconds);
}

quorvel_xpath_result* fn_years_from_dur(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return duration_component_of(c, a, n, "years-from-duration", kDurYears);
}
quorvel_xpath_result* fn_months_from_dur(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return duration_component_of(c, a, n, "months-from-duration", kDurMonths);
}
quorvel_xpath_result* fn_days_from_dur(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return duration_component_of(c, a, n, "days-from-duration", kDurDays);
}
quorvel_xpath_result* fn_hours_from_dur(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return duration_component_of(c, a, n, "hours-from-duration", kDurHours);
}
quorvel_xpath_result* fn_minutes_from_dur(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return duration_component_of(c, a, n, "minutes-from-duration", kDurMinutes);
}
quorvel_xpath_result* fn_seconds_from_dur(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return duration_component_of(c, a, n, "seconds-from-duration", kDurSeconds);
}

quorvel_xpath_result* fn_timezone_from(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    if (n != 1) {
        xpath_context_fail(c, "Function timezone-from-dateTime expects 1 argument, got %zu", n);
        return nullptr;
    }
    dt_value v;
    int status = dt_argument(c, a[0], "TEt", "timezone-from-*", &v);
    if (status < 0) return nullptr;
    if (status == 0 || !v.has_zone) return empty_result(c);
    char text[48];
    dt_write_duration_minutes(v.zone_minutes, text, sizeof text);
    return typed_text(c, text, "xs:dayTimeDuration");
}

quorvel_xpath_result* fn_adjust_dttz(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return adjust(c, a, n, 'T', "adjust-dateTime-to-timezone");
}
quorvel_xpath_result* fn_adjust_dtetz(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return adjust(c, a, n, 'E', "adjust-date-to-timezone");
}
quorvel_xpath_result* fn_adjust_ttz(quorvel_xpath_context* c, quorvel_xpath_ast_node** a, size_t n) {
    return adjust(c, a, n, 't', "adjust-time-to-timezone");
}
