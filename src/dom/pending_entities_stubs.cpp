// Temporary least-behaviour definitions for pending_entities.h: the five
// predefined entities and character references only. Deleted when the real
// decoder and entity-reference resolution land.
#include <cctype>
#include <cstring>

#include "dom/pending_entities.h"

namespace {

struct predefined {
    const char* name;
    size_t length;
    char byte;
    const char* text;
};
constexpr predefined kPredefined[] = {
    {"lt", 2, '<', "<"}, {"gt", 2, '>', ">"}, {"amp", 3, '&', "&"}, {"apos", 4, '\'', "'"}, {"quot", 4, '"', "\""},
};

size_t put_utf8(char* out, unsigned long cp) {
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
    size_t n = view && view->data ? view->length : 0;
    char* out = static_cast<char*>(pool ? quorvel_pool_alloc(pool, n + 1) : std::malloc(n + 1));
    if (!out) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        char c = view->data[i];
        if (c != '&') {
            out[o++] = c;
            i++;
            continue;
        }
        const char* rest = view->data + i + 1;
        size_t left = n - i - 1;
        bool done = false;
        for (const predefined& p : kPredefined) {
            if (left > p.length && std::memcmp(rest, p.name, p.length) == 0 && rest[p.length] == ';') {
                out[o++] = p.byte;
                i += p.length + 2;
                done = true;
                break;
            }
        }
        if (done) continue;
        if (left > 0 && rest[0] == '#') {
            bool hex = left > 1 && (rest[1] == 'x' || rest[1] == 'X');
            size_t k = hex ? 2 : 1;
            unsigned long cp = 0;
            size_t digits = 0;
            while (k < left && (hex ? std::isxdigit(static_cast<unsigned char>(rest[k]))
                                    : std::isdigit(static_cast<unsigned char>(rest[k])))) {
                int d = std::isdigit(static_cast<unsigned char>(rest[k])) ? rest[k] - '0'
                                                                          : (std::tolower(rest[k]) - 'a' + 10);
                cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(d);
                if (cp > 0x10FFFF) break;
                k++;
                digits++;
            }
            if (!digits || k >= left || rest[k] != ';' || cp == 0 || cp > 0x10FFFF) {
                if (!pool) std::free(out);
                return nullptr;
            }
            o += put_utf8(out + o, cp);
            i += k + 2;
            continue;
        }
        out[o++] = c;  // an undeclared reference stays as written
        i++;
    }
    out[o] = '\0';
    return out;
}

const char* quorvel_entity_ref_resolve(const quorvel_node* node) {
    if (!node || node->kind != QUORVEL_NODE_ENTITY_REF) return nullptr;
    const char* name = reinterpret_cast<const quorvel_comment*>(node)->content;
    if (!name) return nullptr;
    for (const predefined& p : kPredefined)
        if (std::strcmp(name, p.name) == 0) return p.text;
    return nullptr;
}
