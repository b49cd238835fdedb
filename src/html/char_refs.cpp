// Character references in text runs and attribute values.
#include <cstring>

#include "html/html.h"

namespace html {

namespace {

// Numeric references to 0x80-0x9F name the Windows-1252 characters; the
// values without an entry are written unchanged.
constexpr uint16_t kC1[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                              0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                              0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The longest name examined after '&'.
constexpr size_t kNameWindow = 40;
// Legacy names (recognised without ';') are at most this long.
constexpr size_t kLegacyMax = 6;

inline bool is_alnum(unsigned char c) { return is_ascii_alpha(c) || is_ascii_digit(c); }

inline int hex_value(unsigned char c) {
    if (is_ascii_digit(c)) return c - '0';
    c = static_cast<unsigned char>(c | 0x20);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline char* put_utf8(char* o, uint32_t cp) {
    if (cp < 0x80) {
        *o++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *o++ = static_cast<char>(0xC0 | (cp >> 6));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *o++ = static_cast<char>(0xE0 | (cp >> 12));
        *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *o++ = static_cast<char>(0xF0 | (cp >> 18));
        *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return o;
}

int compare_name(const entity& e, const char* name, size_t length) {
    size_t n = e.length < length ? e.length : length;
    int c = std::memcmp(e.name, name, n);
    if (c != 0) return c;
    return e.length < length ? -1 : (e.length > length ? 1 : 0);
}

}  // namespace

const entity* entity_lookup(const char* name, size_t length) {
    size_t lo = 0, hi = kEntityCount;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        int c = compare_name(kEntities[mid], name, length);
        if (c == 0) return &kEntities[mid];
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

char* decode_refs(scratch* m, const char* start, const char* end, bool in_attribute, bool html5, size_t* out_length) {
    size_t n = start < end ? static_cast<size_t>(end - start) : 0;
    // No reference writes more than 6 bytes for the 5 it spans ("&nGt;"),
    // so a fifth more than the input always suffices.
    size_t capacity = n + n / 4 + 8;
    char* out = static_cast<char*>(scratch_alloc(m, capacity));
    if (!out) return nullptr;
    char* o = out;
    const char* p = start;
    while (p < end) {
        const char* amp = static_cast<const char*>(std::memchr(p, '&', static_cast<size_t>(end - p)));
        if (!amp) amp = end;
        std::memcpy(o, p, static_cast<size_t>(amp - p));
        o += amp - p;
        p = amp;
        if (p >= end) break;
        if (p + 1 >= end) {
            *o++ = '&';
            p++;
            break;
        }
        if (p[1] == '#') {
            const char* q = p + 2;
            bool hex = q < end && (*q == 'x' || *q == 'X');
            if (hex) q++;
            const char* digits = q;
            // Read by value: leading zeros add nothing, and anything past the
            // largest code point stays past it.
            uint32_t value = 0;
            for (; q < end; q++) {
                int d = hex ? hex_value(static_cast<unsigned char>(*q))
                            : (is_ascii_digit(static_cast<unsigned char>(*q)) ? *q - '0' : -1);
                if (d < 0) break;
                value = value * (hex ? 16u : 10u) + static_cast<uint32_t>(d);
                if (value > 0x10FFFF) value = 0x110000;
            }
            if (q == digits) {
                *o++ = '&';
                p++;
                continue;
            }
            bool semicolon = q < end && *q == ';';
            if (!html5) {
                if (value >= 1 && value <= 0x10FFFF && semicolon) {
                    o = put_utf8(o, value);
                    p = q + 1;
                } else {
                    *o++ = '&';
                    p++;
                }
                continue;
            }
            if (semicolon) q++;
            if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
                value = 0xFFFD;
            else if (value >= 0x80 && value <= 0x9F && kC1[value - 0x80])
                value = kC1[value - 0x80];
            else if (value == 0x0D)
                value = 0x0A;
            o = put_utf8(o, value);
            p = q;
            continue;
        }
        const char* name = p + 1;
        const char* q = name;
        while (q < end && static_cast<size_t>(q - name) < kNameWindow && is_alnum(static_cast<unsigned char>(*q))) q++;
        size_t length = static_cast<size_t>(q - name);
        if (length == 0) {
            *o++ = '&';
            p++;
            continue;
        }
        bool semicolon = q < end && *q == ';';
        size_t from = length;
        if (semicolon) {
            if (const entity* e = entity_lookup(name, length)) {
                o = put_utf8(o, e->first);
                if (e->second) o = put_utf8(o, e->second);
                p = q + 1;
                continue;
            }
            from = length - 1;
        }
        if (!html5) {
            *o++ = '&';
            p++;
            continue;
        }
        const entity* found = nullptr;
        size_t used = 0;
        for (size_t l = from < kLegacyMax ? from : kLegacyMax; l >= 1; l--) {
            const entity* e = entity_lookup(name, l);
            if (!e || !e->legacy) continue;
            const char* after = name + l;
            if (in_attribute && after < end &&
                (is_alnum(static_cast<unsigned char>(*after)) || *after == '='))
                continue;
            found = e;
            used = l;
            break;
        }
        if (!found) {
            *o++ = '&';
            p++;
            continue;
        }
        o = put_utf8(o, found->first);
        p = name + used;
    }
    *o = '\0';
    if (out_length) *out_length = static_cast<size_t>(o - out);
    return out;
}

}  // namespace html
