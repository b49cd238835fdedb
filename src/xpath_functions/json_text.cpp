// Byte-level helpers of the JSON functions: reading a JSON string, and
// writing text with XML or JSON escaping.
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "xpath_functions/functions.h"

namespace {

bool grow(char** buffer, size_t* capacity, size_t needed) {
    if (needed <= *capacity && *buffer) return true;
    size_t c = *capacity ? *capacity : 16;
    while (c < needed) c *= 2;
    char* grown = static_cast<char*>(std::realloc(*buffer, c));
    if (!grown) return false;
    *buffer = grown;
    *capacity = c;
    return true;
}

// Appends n bytes, keeping room for a terminator; false when the buffer
// cannot grow.
bool append(char** buffer, size_t* length, size_t* capacity, const char* bytes, size_t n) {
    if (!grow(buffer, capacity, *length + n + 1)) return false;
    std::memcpy(*buffer + *length, bytes, n);
    *length += n;
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at p as a number, or -1.
long hex4(const char* p) {
    long v = 0;
    for (int i = 0; i < 4; i++) {
        int d = hex_digit(p[i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}


}  // namespace

int json_string(quorvel_json_reader* reader, char** out) {
    if (out) *out = nullptr;
    if (!reader || !out) return 0;
    const char* p = reader->cursor;
    if (!p || *p != '"') {
        reader->ok = 0;
        return 0;
    }
    p++;
    char* buffer = nullptr;
    size_t length = 0, capacity = 0;
    bool ok = grow(&buffer, &capacity, 16);
    while (ok) {
        unsigned char b = static_cast<unsigned char>(*p);
        if (b == '"') break;
        if (b == '\0' || b < 0x20) {
            ok = false;
            break;
        }
        if (b != '\\') {
            ok = append(&buffer, &length, &capacity, p, 1);
            p++;
            continue;
        }
        char e = p[1];
        const char* simple = nullptr;
        switch (e) {
        case '"': simple = "\""; break;
        case '\\': simple = "\\"; break;
        case '/': simple = "/"; break;
        case 'b': simple = "\b"; break;
        case 'f': simple = "\f"; break;
        case 'n': simple = "\n"; break;
        case 'r': simple = "\r"; break;
        case 't': simple = "\t"; break;
        default: break;
        }
        if (simple) {
            ok = append(&buffer, &length, &capacity, simple, 1);
            p += 2;
            continue;
        }
        if (e != 'u') {
            ok = false;
            break;
        }
        long cp = hex4(p + 2);
        p += 6;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            long low = p[0] == '\\' && p[1] == 'u' ? hex4(p + 2) : -1;
            if (low < 0xDC00 || low > 0xDFFF) {
                ok = false;
                break;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            p += 6;
        } else if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF) || cp == 0) {
            ok = false;
            break;
        }
        char bytes[4];
        ok = append(&buffer, &length, &capacity, bytes, quorvel_utf8_encode(static_cast<uint32_t>(cp), bytes));
    }
    if (!ok) {
        std::free(buffer);
        reader->ok = 0;
        return 0;
    }
    buffer[length] = '\0';
    reader->cursor = p + 1;
    *out = buffer;
    return 1;
}

void xml_esc(char** buffer, size_t* length, size_t* capacity, const char* text) {
    if (!buffer || !length || !capacity) return;
    for (const char* p = text; p && *p; p++) {
        const char* piece = nullptr;
        switch (*p) {
        case '"': piece = "&quot;"; break;
        case '&': piece = "&amp;"; break;
        case '<': piece = "&lt;"; break;
        case '>': piece = "&gt;"; break;
        default: break;
        }
        if (!(piece ? append(buffer, length, capacity, piece, std::strlen(piece))
                    : append(buffer, length, capacity, p, 1)))
            break;
    }
    if (grow(buffer, capacity, *length + 1)) (*buffer)[*length] = '\0';
}

void json_out(char** buffer, size_t* length, size_t* capacity, const char* text) {
    if (!buffer || !length || !capacity) return;
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char* p = text; p && *p; p++) {
        unsigned char b = static_cast<unsigned char>(*p);
        char piece[7];
        size_t n = 2;
        piece[0] = '\\';
        switch (b) {
        case '"': piece[1] = '"'; break;
        case '\\': piece[1] = '\\'; break;
        case '\b': piece[1] = 'b'; break;
        case '\f': piece[1] = 'f'; break;
        case '\n': piece[1] = 'n'; break;
        case '\r': piece[1] = 'r'; break;
        case '\t': piece[1] = 't'; break;
        default:
            if (b < 0x20 || b == 0x7F) {
                piece[1] = 'u';
                piece[2] = '0';
                piece[3] = '0';
                piece[4] = kHex[b >> 4];
                piece[5] = kHex[b & 15];
                n = 6;
            } else {
                piece[0] = static_cast<char>(b);
                n = 1;
            }
            break;
        }
        if (!append(buffer, length, capacity, piece, n)) return;
    }
}

const char* jtype_of(const char* text) {
    if (!text || !*text) return "string";
    if (!std::strcmp(text, "true") || !std::strcmp(text, "false")) return "boolean";
    if (!std::strcmp(text, "null")) return "null";
    char* end = nullptr;
    std::strtod(text, &end);
    return end && *end == '\0' && end != text ? "number" : "string";
}
