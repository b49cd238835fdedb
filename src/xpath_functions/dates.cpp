// Dates, times and durations: reading any duration into its month and
// second totals and writing it back canonically, timezone durations in
// minutes, and the clock functions (implicit-timezone and the three
// current- functions, which agree on one instant per evaluation).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "xpath_functions/functions.h"

namespace {

bool leading_number(const char* p) { return (*p >= '0' && *p <= '9') || *p == '.'; }

quorvel_xpath_result* typed_string(quorvel_xpath_context* c, const char* text, const char* type_name) {
    quorvel_xpath_result* r = fn_string_result_copy(c, text, std::strlen(text));
    if (r) r->type_name = type_name;
    return r;
}

// The evaluation's instant: read once per context, so every clock function
// of one evaluation sees the same second.
time_t instant(quorvel_xpath_context* c) {
    if (!c) return std::time(nullptr);
    if (!c->instant_cached) {
        c->instant = static_cast<int64_t>(std::time(nullptr));
        c->instant_cached = 1;
    }
    return static_cast<time_t>(c->instant);
}

quorvel_xpath_result* clock_text(quorvel_xpath_context* c, const char* format, const char* type_name) {
    time_t now = instant(c);
    struct tm parts;
    char text[40];
    if (!gmtime_r(&now, &parts) || !std::strftime(text, sizeof text, format, &parts)) text[0] = '\0';
    return typed_string(c, text, type_name);
}

}  // namespace

int dur_ms_parse(const char* text, double* months, double* seconds) {
    if (!text) return 0;
    const char* p = text;
    bool negative = *p == '-';
    if (negative) p++;
    if (*p++ != 'P' || !*p) return 0;
    double m = 0, s = 0;
    bool time = false, ended_on_part = false;
    while (*p) {
        if (*p == 'T') {
            if (time) return 0;
            time = true;
            ended_on_part = false;
            p++;
            continue;
        }
        if (!leading_number(p)) return 0;
        char* end = nullptr;
        double v = std::strtod(p, &end);
        if (end == p || !*end) return 0;
        char designator = *end;
        p = end + 1;
        if (!time && designator == 'Y') m += 12 * v;
        else if (!time && designator == 'M') m += v;
        else if (!time && designator == 'D') s += 86400 * v;
        else if (time && designator == 'H') s += 3600 * v;
        else if (time && designator == 'M') s += 60 * v;
        else if (time && designator == 'S') s += v;
        else return 0;
        ended_on_part = true;
    }
    if (!ended_on_part) return 0;
    *months = negative ? -m : m;
    *seconds = negative ? -s : s;
    return 1;
}

void dur_ms_format(char* out, size_t size, double months, double seconds) {
    if (!size) return;
    size_t at = 0;
    auto put = [&](const char* format, auto value) {
        if (at >= size) return;
        int n = std::snprintf(out + at, size - at, format, value);
        if (n > 0) at = at + static_cast<size_t>(n) < size ? at + static_cast<size_t>(n) : size - 1;
    };
    if (!std::isfinite(months) || !std::isfinite(seconds) || std::fabs(months) > 9e18 || std::fabs(seconds) > 9e18) {
        std::snprintf(out, size, "PT0S");
        return;
    }
    bool negative = months < 0 || (months >= 0 && seconds < 0);
    double m = std::fabs(months), s = std::fabs(seconds);
    put("%s", negative ? "-P" : "P");
    auto years = static_cast<long long>(m / 12);
    auto rest = static_cast<long long>(m) - 12 * years;
    if (years) put("%lldY", years);
    if (rest) put("%lldM", rest);
    auto days = static_cast<long long>(s / 86400);
    double r = s - 86400.0 * static_cast<double>(days);
    auto hours = static_cast<long long>(r / 3600);
    r -= 3600.0 * static_cast<double>(hours);
    auto minutes = static_cast<long long>(r / 60);
    r -= 60.0 * static_cast<double>(minutes);
    if (days) put("%lldD", days);
    if (hours || minutes) {
        put("%s", "T");
        if (hours) put("%lldH", hours);
        if (minutes) put("%lldM", minutes);
        if (r != 0) put("%.12gS", r);
    } else if (r != 0) {
        put("%s", "T");
        put("%.12gS", r);
    } else if (!years && !rest && !days) {
        put("%s", "T0S");
    }
}

int64_t h_tz_duration_min(const char* text) {
    constexpr int64_t kFail = INT64_MIN;
    if (!text) return kFail;
    const char* p = text;
    bool negative = *p == '-';
    if (negative) p++;
    if (std::strncmp(p, "PT", 2) != 0) return kFail;
    p += 2;
    double hours = 0, minutes = 0, secs = 0;
    while (*p) {
        char* end = nullptr;
        double v = std::strtod(p, &end);
        if (end == p || !std::isfinite(v)) return kFail;
        if (*end == 'H') hours = std::trunc(v);
        else if (*end == 'M') minutes = std::trunc(v);
        else if (*end == 'S') secs = v;
        else return kFail;
        p = end + 1;
    }
    double total = minutes + 60 * hours;
    if (secs != 0 || std::fabs(total) > 840) return kFail;
    auto result = static_cast<int64_t>(total);
    return negative ? -result : result;
}

quorvel_xpath_result* fn_implicit_tz(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t) {
    return typed_string(c, "PT0S", "xs:dayTimeDuration");
}

quorvel_xpath_result* fn_current_dt(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t) {
    return clock_text(c, "%Y-%m-%dT%H:%M:%SZ", "xs:dateTime");
}

quorvel_xpath_result* fn_current_date(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t) {
    return clock_text(c, "%Y-%m-%dZ", "xs:date");
}

quorvel_xpath_result* fn_current_time(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t) {
    return clock_text(c, "%H:%M:%SZ", "xs:time");
}
