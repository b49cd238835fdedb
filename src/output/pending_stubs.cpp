// Least stand-ins for operations that other parts of the library provide,
// so the serializer can be built and tested alone. Temporary.
#include <cstdlib>
#include <cstring>

#include "output/pending_decls.h"

namespace {

// Encodes a code point as UTF-8; false for values that are not characters.
bool put_utf8(char*& out, unsigned long cp) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return true;
}

}  // namespace

// The five predefined entities and character references; anything else fails.
char* quorvel_decode_entities_view(const quorvel_string_view* view, quorvel_pool* pool) {
    size_t n = view && view->data ? view->length : 0;
    char* out = pool ? static_cast<char*>(quorvel_pool_alloc(pool, n + 1)) : static_cast<char*>(std::malloc(n + 1));
    if (!out) return nullptr;
    char* w = out;
    const char* s = n ? view->data : nullptr;
    const char* end = s + n;
    static const struct {
        const char* name;
        size_t length;
        char c;
    } kPredefined[] = {{"lt;", 3, '<'}, {"gt;", 3, '>'}, {"amp;", 4, '&'}, {"apos;", 5, '\''}, {"quot;", 5, '"'}};
    while (s < end) {
        if (*s != '&') {
            *w++ = *s++;
            continue;
        }
        s++;
        bool done = false;
        for (const auto& p : kPredefined) {
            if (static_cast<size_t>(end - s) >= p.length && std::memcmp(s, p.name, p.length) == 0) {
                *w++ = p.c;
                s += p.length;
                done = true;
                break;
            }
        }
        if (done) continue;
        if (s < end && *s == '#') {
            s++;
            int base = 10;
            if (s < end && *s == 'x') {
                base = 16;
                s++;
            }
            unsigned long cp = 0;
            const char* digits = s;
            while (s < end && *s != ';' && cp <= 0x10FFFF) {
                int d = *s >= '0' && *s <= '9' ? *s - '0'
                        : base == 16 && (*s | 0x20) >= 'a' && (*s | 0x20) <= 'f' ? (*s | 0x20) - 'a' + 10
                                                                                 : -1;
                if (d < 0) break;
                cp = cp * base + static_cast<unsigned long>(d);
                s++;
            }
            if (s < end && *s == ';' && s > digits && put_utf8(w, cp)) {
                s++;
                continue;
            }
        }
        if (!pool) std::free(out);
        return nullptr;
    }
    *w = '\0';
    return out;
}

// Resolves the prefix over the declaration lists of the element and its
// ancestors, without caching.
const char* quorvel_element_get_namespace_uri(quorvel_element* e) {
    if (!e) return nullptr;
    quorvel_element_ext* ext = quorvel_elem_ext(e);
    if (ext && ext->ns_uri) return ext->ns_uri;
    const char* prefix = ext ? ext->prefix : nullptr;
    if (prefix && !prefix[0]) prefix = nullptr;
    for (const quorvel_element* cur = e; cur;
         cur = static_cast<const quorvel_element*>(quorvel_link_get(cur, &cur->parent))) {
        quorvel_element_ext* x = quorvel_elem_ext(cur);
        for (quorvel_ns_decl* d = x ? x->ns_decls : nullptr; d; d = d->next) {
            bool match = prefix ? d->prefix && std::strcmp(d->prefix, prefix) == 0 : !d->prefix;
            if (match) return d->uri && d->uri[0] ? d->uri : nullptr;
        }
    }
    return nullptr;
}
