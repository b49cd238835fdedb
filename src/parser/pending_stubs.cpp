// Minimal stand-ins for the DTD model and entity decoding: the five
// predefined entities and character references only, no declared entities.
#include <cctype>

#include "parser/pending_decls.h"

quorvel_dtd_entity* ttdtd_lookup_entity(quorvel_dtd*, const char*) { return nullptr; }
int dtd_parse_into(quorvel_dtd*, const char*, size_t, int) { return 0; }
extern "C" void quorvel_dtd_free(quorvel_dtd*) {}

namespace {

size_t put_utf8(char* out, uint32_t cp) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

char* quorvel_decode_entities_view(const quorvel_string_view* view, quorvel_pool* pool) {
    size_t n = (view && view->data) ? view->length : 0;
    char* out = pool ? static_cast<char*>(quorvel_pool_alloc(pool, n + 1)) : static_cast<char*>(std::malloc(n + 1));
    if (!out) return nullptr;
    out[0] = '\0';
    if (n == 0) return out;
    const char* s = view->data;
    size_t i = 0, o = 0;
    bool strict = g_quorvel_strict_mode != 0;
    static const struct { const char* name; size_t len; char c; } kPredefined[] = {
        {"lt;", 3, '<'}, {"gt;", 3, '>'}, {"amp;", 4, '&'}, {"apos;", 5, '\''}, {"quot;", 5, '"'}};
    while (i < n && s[i]) {
        if (s[i] != '&') {
            out[o++] = s[i++];
            continue;
        }
        bool done = false;
        for (const auto& p : kPredefined) {
            if (n - i - 1 >= p.len && std::memcmp(s + i + 1, p.name, p.len) == 0) {
                out[o++] = p.c;
                i += 1 + p.len;
                done = true;
                break;
            }
        }
        if (done) continue;
        if (i + 1 < n && s[i + 1] == '#') {
            size_t j = i + 2;
            bool hex = j < n && (s[j] == 'x' || s[j] == 'X');
            if (hex) j++;
            uint32_t cp = 0;
            size_t digits = 0;
            bool bad = false;
            for (; j < n && s[j]; j++) {
                int d;
                char c = s[j];
                if (c >= '0' && c <= '9') d = c - '0';
                else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
                else break;
                cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
                digits++;
                if (cp > 0x10FFFF) bad = true;
                if (bad) break;
            }
            bool end = j >= n || !s[j];
            if (bad || digits == 0 || (!end && s[j] != ';') || (end && strict) || cp == 0 ||
                (cp >= 0xD800 && cp <= 0xDFFF)) {
                if (!pool) std::free(out);
                return nullptr;
            }
            o += put_utf8(out + o, cp);
            i = end ? j : j + 1;
            continue;
        }
        if (strict) {
            if (!pool) std::free(out);
            return nullptr;
        }
        out[o++] = s[i++];
        while (i < n && s[i] && s[i] != ';' && s[i] != '<' && !std::isspace(static_cast<unsigned char>(s[i])))
            out[o++] = s[i++];
        if (i < n && s[i] == ';') out[o++] = s[i++];
    }
    out[o] = '\0';
    if (o == 0) {
        if (!pool) std::free(out);
        return nullptr;
    }
    return out;
}

char* quorvel_decode_entities_view_with_dtd(const quorvel_string_view* view, quorvel_dtd*, quorvel_pool* pool) {
    return quorvel_decode_entities_view(view, pool);
}
