// parse-ietf-date: the dates of mail and web protocol headers
// ("Wed, 06 Jun 1994 07:29:35 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
// "Sun Nov  6 08:49:37 1994", "... +0530 (IST)") read by one recursive
// descent over the W3C grammar, case-insensitively, into an xs:dateTime that
// keeps the written offset. Anything the grammar does not take, and any
// field out of range, is FORG0010.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xpath_functions/functions.h"

namespace {

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool digit(char c) { return c >= '0' && c <= '9'; }
bool letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

struct reader {
    const char* p;

    bool skip_space() {
        const char* s = p;
        while (space(*p)) p++;
        return p != s;
    }
    // A run of letters compared case-insensitively with one of words (NULL
    // ended); its index, or -1 (nothing consumed).
    int word(const char* const* words) {
        size_t n = 0;
        while (letter(p[n])) n++;
        for (int i = 0; words[i]; i++) {
            if (std::strlen(words[i]) != n) continue;
            bool same = true;
            for (size_t k = 0; k < n && same; k++) same = lower(p[k]) == words[i][k];
            if (same) {
                p += n;
                return i;
            }
        }
        return -1;
    }
    // From min to max digits, not followed by another digit.
    bool number(int min, int max, int32_t* value, int* count = nullptr) {
        int n = 0;
        int32_t v = 0;
        while (digit(p[n]) && n <= max) v = v * 10 + (p[n++] - '0');
        if (n < min || n > max) return false;
        p += n;
        *value = v;
        if (count) *count = n;
        return true;
    }
};

const char* const kDayNames[] = {"mon",     "tue",      "wed",       "thu",      "fri",    "sat",      "sun",
                                 "monday",  "tuesday",  "wednesday", "thursday", "friday", "saturday", "sunday",
                                 nullptr};
const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul",
                               "aug", "sep", "oct", "nov", "dec", nullptr};
const char* const kZoneNames[] = {"ut", "utc", "gmt", "est", "edt", "cst", "cdt", "mst", "mdt", "pst", "pdt", nullptr};
constexpr int32_t kZoneOffsets[] = {0, 0, 0, -300, -240, -360, -300, -420, -360, -480, -420};

struct ietf_fields {
    int32_t day, month, year, hour, minute, second;
    char fraction[19];
    int32_t zone;  // minutes east
};

// dsep ::= S | (S? "-" S?)
bool date_separator(reader& r) {
    bool spaced = r.skip_space();
    if (*r.p == '-') {
        r.p++;
        r.skip_space();
        return true;
    }
    return spaced;
}

bool year(reader& r, ietf_fields* f) {
    int n = 0;
    if (!r.number(2, 4, &f->year, &n) || n == 3) return false;
    if (n == 2) f->year += 1900;
    return true;
}

// tzoffset ::= ("+"|"-") tzhours ":"? tzminutes?
bool zone_offset(reader& r, ietf_fields* f) {
    bool negative = *r.p++ == '-';
    int32_t hours = 0, minutes = 0;
    int n = 0;
    const char* start = r.p;
    int32_t run;
    if (!r.number(1, 4, &run, &n)) return false;
    if (*r.p == ':') {
        if (n > 2) return false;
        hours = run;
        r.p++;
        if (!r.number(2, 2, &minutes)) return false;
    } else if (n <= 2) {
        hours = run;
    } else {
        // hmm or hhmm: the last two digits are the minutes.
        hours = (start[0] - '0') * (n == 4 ? 10 : 1) + (n == 4 ? start[1] - '0' : 0);
        minutes = (start[n - 2] - '0') * 10 + (start[n - 1] - '0');
    }
    if (minutes > 59 || hours * 60 + minutes > 14 * 60) return false;
    f->zone = negative ? -(hours * 60 + minutes) : hours * 60 + minutes;
    return true;
}

// timezone ::= tzname | tzoffset (S? "(" S? tzname S? ")")?
bool zone(reader& r, ietf_fields* f) {
    if (*r.p == '+' || *r.p == '-') {
        if (!zone_offset(r, f)) return false;
        const char* after = r.p;
        r.skip_space();
        if (*r.p != '(') {
            r.p = after;
            return true;
        }
        r.p++;
        r.skip_space();
        if (r.word(kZoneNames) < 0) return false;
        r.skip_space();
        return *r.p++ == ')';
    }
    int z = r.word(kZoneNames);
    if (z < 0) return false;
    f->zone = kZoneOffsets[z];
    return true;
}

// time ::= hours ":" minutes (":" seconds)? (S? timezone)?
bool time(reader& r, ietf_fields* f) {
    if (!r.number(1, 2, &f->hour) || *r.p++ != ':' || !r.number(2, 2, &f->minute)) return false;
    if (*r.p == ':') {
        r.p++;
        if (!r.number(2, 2, &f->second)) return false;
        if (*r.p == '.') {
            r.p++;
            if (!digit(*r.p)) return false;
            size_t kept = 0;
            for (; digit(*r.p); r.p++)
                if (kept < sizeof f->fraction - 1) f->fraction[kept++] = *r.p;
            while (kept && f->fraction[kept - 1] == '0') kept--;
            f->fraction[kept] = '\0';
        }
    }
    const char* after = r.p;
    r.skip_space();
    bool zone_start = *r.p == '+' || *r.p == '-' || letter(*r.p);
    if (zone_start) {
        reader probe{r.p};
        if (letter(*r.p) && probe.word(kZoneNames) < 0) {
            // A word that is no zone name: left for the caller, which refuses
            // it (no year starts with a letter).
            r.p = after;
            return true;
        }
        return zone(r, f);
    }
    r.p = after;
    return true;
}

bool parse(const char* text, ietf_fields* f) {
    reader r{text};
    *f = ietf_fields{};
    r.skip_space();
    if (letter(*r.p) && r.word(kDayNames) >= 0) {
        if (*r.p == ',') r.p++;
        if (!r.skip_space()) return false;
    }
    if (digit(*r.p)) {
        // datespec S time
        if (!r.number(1, 2, &f->day) || !date_separator(r)) return false;
        int m = r.word(kMonths);
        if (m < 0) return false;
        f->month = m + 1;
        if (!date_separator(r) || !year(r, f) || !r.skip_space() || !time(r, f)) return false;
    } else {
        // asctime ::= monthname dsep daynum S time S year
        int m = r.word(kMonths);
        if (m < 0) return false;
        f->month = m + 1;
        if (!date_separator(r) || !r.number(1, 2, &f->day) || !r.skip_space() || !time(r, f) || !r.skip_space() ||
            !year(r, f))
            return false;
    }
    r.skip_space();
    return *r.p == '\0';
}

bool leap_year(int32_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

}  // namespace

quorvel_xpath_result* fn_parse_ietf_date(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1 || !args[0]) {
        xpath_context_fail(c, count != 1 ? "Function parse-ietf-date expects 1 argument" : "NULL AST node");
        return nullptr;
    }
    quorvel_xpath_result* v = evaluate_expr(c, args[0]);
    if (!v) return nullptr;
    if (v->kind == XPATH_NODESET && (!v->value.nodeset || v->value.nodeset->count == 0)) return v;
    if (v->kind == XPATH_NODESET && v->value.nodeset->count > 1) {
        xpath_result_free(v);
        xpath_context_fail_code(c, "XPTY0004", "XPTY0004: parse-ietf-date expects one string");
        return nullptr;
    }
    if (v->kind == XPATH_NUMBER || v->kind == XPATH_BOOLEAN) {
        xpath_result_free(v);
        xpath_context_fail_code(c, "XPTY0004", "XPTY0004: parse-ietf-date expects a string");
        return nullptr;
    }
    char* text = xpath_to_string(v);
    xpath_result_free(v);
    if (!text) {
        xpath_context_fail(c, "Out of memory");
        return nullptr;
    }
    ietf_fields f;
    bool ok = parse(text, &f);
    static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (ok) {
        int32_t last = f.month == 2 && leap_year(f.year) ? 29 : kDays[f.month - 1];
        ok = f.day >= 1 && f.day <= last && f.minute <= 59 && f.second <= 59 &&
             (f.hour <= 23 || (f.hour == 24 && f.minute == 0 && f.second == 0 && !f.fraction[0]));
    }
    if (!ok) {
        char shown[64];
        std::snprintf(shown, sizeof shown, "%s", text);
        std::free(text);
        xpath_context_fail_code(c, "FORG0010", "FORG0010: Invalid IETF date: '%s%s'", shown,
                                std::strlen(shown) == sizeof shown - 1 ? "..." : "");
        return nullptr;
    }
    std::free(text);
    dt_value out{};
    out.kind = 'T';
    out.year = f.year;
    out.month = f.month;
    out.day = f.day;
    out.hour = f.hour;
    out.minute = f.minute;
    out.second = f.second;
    std::memcpy(out.fraction, f.fraction, sizeof out.fraction);
    out.has_zone = 1;
    out.zone_minutes = f.zone;
    if (out.hour == 24) {
        // The end of a day is the start of the next.
        int y, m, d;
        h_civil_from_days(h_days_from_civil(out.year, out.month, out.day) + 1, &y, &m, &d);
        out.year = y;
        out.month = m;
        out.day = d;
        out.hour = 0;
    }
    char written[kDtTextSize];
    dt_write(out, written);
    quorvel_xpath_result* r = fn_string_result_copy(c, written, std::strlen(written));
    if (r) r->type_name = "xs:dateTime";
    return r;
}
