// Lexical durations, times and dates: reading them into totals, writing
// totals back as canonical texts, and moving dates by seconds or months.
// Values stay texts; every helper works on the caller's text and buffers
// and allocates nothing.
#include <cctype>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xpath_functions/functions.h"

namespace {

// Every routine writes into a caller's 64-byte buffer; longer texts are cut.
__attribute__((format(printf, 2, 3))) void write_out(char* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(out, 64, format, args);
    va_end(args);
}

// Numbers inside durations start with a digit or a point: strtod alone
// would also take signs, blanks, "inf", "nan" and hexadecimal forms.
bool read_part_number(const char*& p, double* value) {
    if (!std::isdigit(static_cast<unsigned char>(*p)) && *p != '.') return false;
    char* end = nullptr;
    double v = std::strtod(p, &end);
    if (end == p || !std::isfinite(v)) return false;
    *value = v;
    p = end;
    return true;
}

// Optional "-", then "P" and at least one more character.
const char* duration_body(const char* text, bool* negative) {
    if (!text) return nullptr;
    *negative = text[0] == '-';
    const char* p = text + (*negative ? 1 : 0);
    if (p[0] != 'P' || !p[1]) return nullptr;
    return p + 1;
}

// sscanf's %d: blanks, an optional sign, at least one digit; the value is
// clamped to the int range instead of overflowing.
bool scan_int(const char*& p, int* out) {
    const char* q = p;
    while (std::isspace(static_cast<unsigned char>(*q))) q++;
    bool negative = false;
    if (*q == '+' || *q == '-') negative = *q++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*q))) return false;
    long long v = 0;
    while (std::isdigit(static_cast<unsigned char>(*q))) {
        if (v < 10000000000LL) v = v * 10 + (*q - '0');
        q++;
    }
    if (negative) v = -v;
    if (v > 2147483647LL) v = 2147483647LL;
    if (v < -2147483647LL) v = -2147483647LL;
    *out = static_cast<int>(v);
    p = q;
    return true;
}

bool scan_double(const char*& p, double* out) {
    char* end = nullptr;
    double v = std::strtod(p, &end);
    if (end == p) return false;
    *out = v;
    p = end;
    return true;
}

bool scan_char(const char*& p, char c) {
    if (*p != c) return false;
    p++;
    return true;
}

// Three "%d-%d-%d" fields from the start.
bool scan_date(const char* text, int* year, int* month, int* day) {
    const char* p = text;
    return scan_int(p, year) && scan_char(p, '-') && scan_int(p, month) && scan_char(p, '-') && scan_int(p, day);
}

// "%d:%d:%lf" as far as it matches; the count of fields read.
int scan_time(const char* p, int* hour, int* minute, double* second) {
    if (!scan_int(p, hour)) return 0;
    if (!scan_char(p, ':') || !scan_int(p, minute)) return 1;
    if (!scan_char(p, ':') || !scan_double(p, second)) return 2;
    return 3;
}

// A zone written at the end of a text: "Z", or the last six characters
// sign, two digits, ":", two digits.
bool trailing_zone(const char* text, int64_t* minutes) {
    size_t n = std::strlen(text);
    if (n && text[n - 1] == 'Z') {
        *minutes = 0;
        return true;
    }
    if (n <= 5) return false;
    const char* z = text + n - 6;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if ((z[0] != '+' && z[0] != '-') || !digit(z[1]) || !digit(z[2]) || z[3] != ':' || !digit(z[4]) || !digit(z[5]))
        return false;
    int64_t m = ((z[1] - '0') * 10 + (z[2] - '0')) * 60 + (z[4] - '0') * 10 + (z[5] - '0');
    *minutes = z[0] == '-' ? -m : m;
    return true;
}

void zone_suffix(char* out, size_t size, bool has_zone, int64_t minutes) {
    if (!has_zone) {
        out[0] = '\0';
        return;
    }
    if (minutes == 0) {
        std::snprintf(out, size, "Z");
        return;
    }
    int64_t a = minutes < 0 ? -minutes : minutes;
    std::snprintf(out, size, "%s%02d:%02d", minutes < 0 ? "-" : "+", static_cast<int>(a / 60 % 100),
                  static_cast<int>(a % 60));
}

// Digits after the point of a fraction 0 < f < 1, at most nine, trailing
// zeros removed, at least one left.
void fraction_text(char* out, size_t size, double f) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9f", f);
    const char* dot = std::strchr(buf, '.');
    const char* digits = dot ? dot + 1 : "0";
    size_t n = std::strlen(digits);
    while (n > 1 && digits[n - 1] == '0') n--;
    if (n >= size) n = size - 1;
    std::memcpy(out, digits, n);
    out[n] = '\0';
}

bool leap_year(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int month_length(int64_t year, int64_t month) {
    static constexpr int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 31;
    return month == 2 && leap_year(year) ? 29 : kLengths[month - 1];
}

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) q--;
    return q;
}

// Years printed with their sign before at least four digits.
void year_text(char* out, size_t size, int64_t year) {
    std::snprintf(out, size, "%s%04lld", year < 0 ? "-" : "", static_cast<long long>(year < 0 ? -year : year));
}

// Shifts beyond this many seconds (about three hundred million years) would
// leave the range of a year field; they are refused.
constexpr double kMaxShiftSeconds = 1e16;
// Years a shifted value may reach, either side of year zero.
constexpr int64_t kMaxYear = 999999999;

}  // namespace

int quorvel_dur_try_months(const char* text, double* months) {
    bool negative = false;
    const char* p = duration_body(text, &negative);
    if (!p) return 0;
    double years = 0, month_value = 0;
    bool any = false;
    while (*p && *p != 'T') {
        double v;
        if (!read_part_number(p, &v)) return 0;
        switch (*p) {
        case 'Y': years = v; any = true; break;
        case 'M': month_value = v; any = true; break;
        case 'D':
            if (v != 0) return 0;
            break;
        default: return 0;
        }
        p++;
    }
    if (*p == 'T') {
        p++;
        if (!*p) return 0;
        while (*p) {
            double v;
            if (!read_part_number(p, &v) || v != 0 || !*p) return 0;
            p++;
        }
    }
    if (!any) return 0;
    double total = years * 12 + month_value;
    if (months) *months = negative ? -total : total;
    return 1;
}

int quorvel_dur_try_seconds(const char* text, double* seconds) {
    bool negative = false;
    const char* p = duration_body(text, &negative);
    if (!p) return 0;
    double days = 0, hours = 0, minutes = 0, secs = 0;
    bool any = false, time = false;
    while (*p) {
        if (*p == 'T') {
            if (time) return 0;
            time = true;
            p++;
            if (!*p && !any) return 0;
            continue;
        }
        double v;
        if (!read_part_number(p, &v)) return 0;
        char d = *p;
        if (!time && d == 'D') days = v;
        else if (time && d == 'H') hours = v;
        else if (time && d == 'M') minutes = v;
        else if (time && d == 'S') secs = v;
        else return 0;
        any = true;
        p++;
    }
    if (!any) return 0;
    double total = days * 86400 + hours * 3600 + minutes * 60 + secs;
    if (seconds) *seconds = negative ? -total : total;
    return 1;
}

int quorvel_time_norm_seconds(const char* text, double* seconds, double* raw) {
    if (!text || !std::isdigit(static_cast<unsigned char>(text[0]))) return 0;
    const char* p = text;
    long hour = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (hour <= 24) hour = hour * 10 + (*p - '0');
        p++;
    }
    if (*p != ':' || hour > 24) return 0;
    p++;
    auto two = [](const char* q, int* v) {
        if (!std::isdigit(static_cast<unsigned char>(q[0])) || !std::isdigit(static_cast<unsigned char>(q[1])))
            return false;
        *v = (q[0] - '0') * 10 + (q[1] - '0');
        return true;
    };
    int minute, second;
    if (!two(p, &minute) || minute >= 60 || p[2] != ':') return 0;
    p += 3;
    if (!two(p, &second) || second > 60) return 0;
    p += 2;
    double value = second;
    if (*p == '.') {
        if (!std::isdigit(static_cast<unsigned char>(p[1]))) return 0;
        const char* q = p + 1;
        while (std::isdigit(static_cast<unsigned char>(*q))) q++;
        value += std::strtod(p, nullptr);
        p = q;
    }
    double zone = 0;
    if (*p == 'Z') {
        p++;
    } else if (*p == '+' || *p == '-') {
        int zh, zm;
        if (!two(p + 1, &zh) || zh > 14 || p[3] != ':' || !two(p + 4, &zm) || zm >= 60) return 0;
        zone = zh * 3600.0 + zm * 60.0;
        if (*p == '-') zone = -zone;
        p += 6;
    }
    if (*p) return 0;
    double v = static_cast<double>(hour % 24) * 3600 + minute * 60 + value;
    double r = v - zone;
    double norm = std::fmod(r, 86400.0);
    if (norm < 0) norm += 86400.0;
    if (raw) *raw = r;
    if (seconds) *seconds = norm;
    return 1;
}

void quorvel_dur_format_months(char* buffer, size_t size, double months) {
    if (!buffer || !size) return;
    // Callers pass finite totals; anything else reads as zero rather than
    // reaching an undefined conversion.
    if (!std::isfinite(months)) months = 0;
    double a = std::fabs(months);
    if (a > 9.2e18) a = 9.2e18;
    long long years = static_cast<long long>(std::trunc(a / 12));
    long long rest = static_cast<long long>(std::trunc(a - 12.0 * static_cast<double>(years)));
    if (rest >= 12) rest = 11;  // rounding of huge totals
    if (rest < 0) rest = 0;
    if (years == 0 && rest == 0) {
        std::snprintf(buffer, size, "P0M");
        return;
    }
    const char* sign = months < 0 ? "-" : "";
    if (years && rest) std::snprintf(buffer, size, "%sP%lldY%lldM", sign, years, rest);
    else if (years) std::snprintf(buffer, size, "%sP%lldY", sign, years);
    else std::snprintf(buffer, size, "%sP%lldM", sign, rest);
}

void quorvel_dur_format(char* out, double x) {
    if (!out) return;
    if (std::isnan(x) || std::isinf(x) || std::fabs(x) > 8e22) {
        write_out(out, "PT0S");
        return;
    }
    if (x == 0) {
        write_out(out, "%s", std::signbit(x) ? "-PT0S" : "PT0S");
        return;
    }
    double a = std::fabs(x);
    double days = std::trunc(a / 86400);
    double rest = a - days * 86400;
    double hours = std::trunc(rest / 3600);
    rest -= hours * 3600;
    double minutes = std::trunc(rest / 60);
    double r = rest - minutes * 60;
    if (r < 0) r = 0;
    double whole = std::trunc(r);
    char secs[48];
    if (r == whole) {
        std::snprintf(secs, sizeof secs, "%lldS", static_cast<long long>(whole));
    } else {
        char frac[16];
        fraction_text(frac, sizeof frac, r - whole);
        if (!std::strcmp(frac, "0")) std::snprintf(secs, sizeof secs, "%lldS", static_cast<long long>(whole));
        else std::snprintf(secs, sizeof secs, "%lld.%sS", static_cast<long long>(whole), frac);
    }
    char time[96];
    size_t n = 0;
    time[0] = '\0';
    if (hours != 0) n += std::snprintf(time + n, sizeof time - n, "%lldH", static_cast<long long>(hours));
    if (minutes != 0) n += std::snprintf(time + n, sizeof time - n, "%lldM", static_cast<long long>(minutes));
    if (std::strcmp(secs, "0S") != 0) std::snprintf(time + n, sizeof time - n, "%s", secs);
    const char* sign = x < 0 ? "-" : "";
    if (days == 0) write_out(out, "%sPT%s", sign, time[0] ? time : "0S");
    else if (!time[0]) write_out(out, "%sP%lldD", sign, static_cast<long long>(days));
    else write_out(out, "%sP%lldDT%s", sign, static_cast<long long>(days), time);
}

int h_dt_parse(const char* text, int* year, int* month, int* day, int* hour, int* minute, double* second,
               int64_t* zone_minutes, int* has_zone) {
    *year = *month = *day = *hour = *minute = 0;
    *second = 0;
    *zone_minutes = 0;
    *has_zone = 0;
    if (!text) return 0;
    if (scan_date(text, year, month, day)) {
        if (const char* t = std::strchr(text, 'T')) scan_time(t + 1, hour, minute, second);
    } else if (scan_time(text, hour, minute, second) != 3) {
        return 0;
    }
    int64_t z;
    if (trailing_zone(text, &z)) {
        *zone_minutes = z;
        *has_zone = 1;
    }
    return 1;
}

void h_civil_from_days(int64_t z, int* year, int* month, int* day) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(y + (m <= 2 ? 1 : 0));
    *month = static_cast<int>(m);
    *day = static_cast<int>(d);
}

int64_t h_days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

namespace {

constexpr int64_t kNanos = 1000000000;

// Whole seconds and nanoseconds of a non-negative number of seconds below
// one day's worth of rounding trouble: the fraction rounded to the
// nanosecond, a rounding up to a whole second carried over.
void split_seconds(double value, int64_t* whole, int64_t* nanos) {
    double w = std::floor(value);
    auto n = static_cast<int64_t>(std::llround((value - w) * 1e9));
    auto whole_part = static_cast<int64_t>(w);
    if (n >= kNanos) {
        n -= kNanos;
        whole_part++;
    }
    *whole = whole_part;
    *nanos = n;
}

// The seconds field: two digits, then the fraction's digits (trailing
// zeros removed) when there is one.
void seconds_field(char* out, size_t size, int64_t whole, int64_t nanos) {
    if (!nanos) {
        std::snprintf(out, size, "%02lld", static_cast<long long>(whole));
        return;
    }
    char digits[24];
    std::snprintf(digits, sizeof digits, "%09lld", static_cast<long long>(nanos));
    size_t n = 9;
    while (n > 1 && digits[n - 1] == '0') n--;
    digits[n] = '\0';
    std::snprintf(out, size, "%02lld.%s", static_cast<long long>(whole), digits);
}

// Days beyond which a year leaves kMaxYear.
constexpr int64_t kMaxDays = static_cast<int64_t>(kMaxYear) * 366;

}  // namespace

int quorvel_dt_shift_months(const char* text, char* out, double months) {
    if (!text || !out) return 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0;
    const char* t = std::strchr(text, 'T');
    if (scan_date(text, &year, &month, &day)) {
        if (t) scan_time(t + 1, &hour, &minute, &second);
    } else if (scan_time(text, &hour, &minute, &second) != 3) {
        return 0;
    }
    int64_t zone = 0;
    bool has_zone = trailing_zone(text, &zone);
    if (!std::strchr(text, '-') || !std::isfinite(second) || second < 0) return 0;
    // Month counts past the year range are refused before any conversion.
    if (!std::isfinite(months) || std::fabs(months) > 12.0 * 2 * kMaxYear) return -1;
    int64_t total = static_cast<int64_t>(year) * 12 + (month - 1) + static_cast<int64_t>(std::trunc(months));
    int64_t new_year = floor_div(total, 12);
    if (new_year > kMaxYear || new_year < -kMaxYear) return -1;
    int64_t new_month = total - new_year * 12 + 1;
    int64_t new_day = day < month_length(new_year, new_month) ? day : month_length(new_year, new_month);
    char y[32], z[16];
    year_text(y, sizeof y, new_year);
    zone_suffix(z, sizeof z, has_zone, zone);
    if (!t) {
        write_out(out, "%s-%02lld-%02lld%s", y, static_cast<long long>(new_month),
                      static_cast<long long>(new_day), z);
        return 1;
    }
    int64_t whole, nanos;
    split_seconds(second, &whole, &nanos);
    char secs[32];
    seconds_field(secs, sizeof secs, whole, nanos);
    write_out(out, "%s-%02lld-%02lldT%02d:%02d:%s%s", y, static_cast<long long>(new_month),
                  static_cast<long long>(new_day), hour, minute, secs, z);
    return 1;
}

int quorvel_dt_shift(const char* text, char* out, double shift) {
    if (!text || !out) return 0;
    int year, month, day, hour, minute, has_zone;
    double second;
    int64_t zone;
    if (!h_dt_parse(text, &year, &month, &day, &hour, &minute, &second, &zone, &has_zone)) return 0;
    if (!std::isfinite(second) || second < 0) return 0;
    if (!std::isfinite(shift) || std::fabs(shift) > kMaxShiftSeconds) return -1;
    if (year > kMaxYear || year < -kMaxYear) return -1;
    char z[16];
    zone_suffix(z, sizeof z, has_zone != 0, zone);
    // Whole seconds and nanoseconds kept apart, so that no fraction is
    // lost or rounded into the whole seconds of a value before 1970.
    int64_t in_whole, in_nanos, shift_whole, shift_nanos;
    split_seconds(second, &in_whole, &in_nanos);
    split_seconds(shift, &shift_whole, &shift_nanos);
    int64_t nanos = in_nanos + shift_nanos;
    int64_t carry = nanos / kNanos;
    nanos %= kNanos;
    const char* colon = std::strchr(text, ':');
    const char* dash = std::strchr(text, '-');
    char secs[32];
    if (colon && (!dash || colon < dash)) {
        int64_t s = hour * 3600 + minute * 60 + in_whole + shift_whole % 86400 + carry;
        int64_t sod = s - floor_div(s, 86400) * 86400;
        seconds_field(secs, sizeof secs, sod % 60, nanos);
        write_out(out, "%02d:%02d:%s%s", static_cast<int>(sod / 3600), static_cast<int>(sod % 3600 / 60), secs, z);
        return 1;
    }
    int64_t d = h_days_from_civil(year, month, day);
    char y[32];
    int ny, nm, nd;
    if (!std::strchr(text, 'T')) {
        // A date counts as its midnight; the fraction never reaches a day.
        int64_t nd_count = d + floor_div(shift_whole, 86400);
        if (nd_count > kMaxDays || nd_count < -kMaxDays) return -1;
        h_civil_from_days(nd_count, &ny, &nm, &nd);
        if (ny > kMaxYear || ny < -kMaxYear) return -1;
        year_text(y, sizeof y, ny);
        write_out(out, "%s-%02d-%02d%s", y, nm, nd, z);
        return 1;
    }
    int64_t total = d * 86400 + hour * 3600 + minute * 60 + in_whole + shift_whole + carry;
    int64_t days = floor_div(total, 86400);
    if (days > kMaxDays || days < -kMaxDays) return -1;
    int64_t sod = total - days * 86400;
    h_civil_from_days(days, &ny, &nm, &nd);
    if (ny > kMaxYear || ny < -kMaxYear) return -1;
    year_text(y, sizeof y, ny);
    seconds_field(secs, sizeof secs, sod % 60, nanos);
    write_out(out, "%s-%02d-%02dT%02d:%02d:%s%s", y, nm, nd, static_cast<int>(sod / 3600),
                  static_cast<int>(sod % 3600 / 60), secs, z);
    return 1;
}

int quorvel_dt_instant(const char* text, int64_t* whole, double* fraction) {
    if (!text) return 0;
    const char* colon = std::strchr(text, ':');
    const char* dash = std::strchr(text, '-');
    if (colon && (!dash || colon < dash)) {
        double seconds, raw;
        if (!quorvel_time_norm_seconds(text, &seconds, &raw)) return 0;
        // A time stands on 1972-12-31.
        double w = std::floor(raw);
        *whole = h_days_from_civil(1972, 12, 31) * 86400 + static_cast<int64_t>(w);
        *fraction = raw - w;
        return 1;
    }
    int year, month, day, hour, minute, has_zone;
    double second;
    int64_t zone;
    if (!h_dt_parse(text, &year, &month, &day, &hour, &minute, &second, &zone, &has_zone)) return 0;
    if (!std::isfinite(second) || second < 0 || second >= 62) return 0;
    double w = std::floor(second);
    *whole = h_days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + static_cast<int64_t>(w) -
             zone * 60;
    *fraction = second - w;
    return 1;
}
