// Lazy decoding of stored values. Parsers keep attribute values with
// references raw and flagged; the first read decodes them here, once, and
// stores the result. Decoding never grows its output (every reference is
// longer than what it stands for), and a value that fails to decode leaves
// no trace in the pool, so a failing value can be read again and again.
#include <cstdlib>
#include <cstring>

#include "core/small_stack.h"
#include "dom/dom.h"
#include "dtd/dtd.h"

namespace {

// Values up to this long are decoded on the stack before their pool copy.
constexpr size_t kStackDecodeBytes = 512;

inline bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char* empty_string(quorvel_pool* pool) {
    char* s = pool ? static_cast<char*>(quorvel_pool_alloc(pool, 1)) : static_cast<char*>(std::malloc(1));
    if (s) s[0] = '\0';
    return s;
}

// Decodes s[0, n) (no NUL inside) into out, which has room for n bytes.
// Returns the decoded length, or SIZE_MAX when the value cannot be decoded.
size_t decode_into(const char* s, size_t n, char* out, bool strict) {
    const char* end = s + n;
    size_t o = 0;
    while (s < end) {
        const char* amp = static_cast<const char*>(std::memchr(s, '&', static_cast<size_t>(end - s)));
        size_t literal = amp ? static_cast<size_t>(amp - s) : static_cast<size_t>(end - s);
        std::memcpy(out + o, s, literal);
        o += literal;
        if (!amp) break;
        const char* p = amp + 1;
        size_t rest = static_cast<size_t>(end - p);
        // Predefined entities, tested in this order, each with its ';'.
        if (rest >= 3 && p[1] == 't' && p[2] == ';' && (p[0] == 'l' || p[0] == 'g')) {
            out[o++] = p[0] == 'l' ? '<' : '>';
            s = p + 3;
            continue;
        }
        if (rest >= 4 && std::memcmp(p, "amp;", 4) == 0) {
            out[o++] = '&';
            s = p + 4;
            continue;
        }
        if (rest >= 5 && (std::memcmp(p, "apos;", 5) == 0 || std::memcmp(p, "quot;", 5) == 0)) {
            out[o++] = p[0] == 'a' ? '\'' : '"';
            s = p + 5;
            continue;
        }
        if (rest >= 1 && *p == '#') {
            uint32_t code_point = 0;
            const char* after = nullptr;
            switch (quorvel_char_ref_parse(p + 1, end, &code_point, &after)) {
                case char_ref_result::complete: break;
                case char_ref_result::cut_off:
                    if (strict) return SIZE_MAX;
                    after = end;
                    break;
                case char_ref_result::malformed: return SIZE_MAX;
            }
            o += quorvel_utf8_encode(code_point, out + o);
            s = after;
            continue;
        }
        // An undeclared entity: copied as written unless strict. The name
        // run ends at ';' (copied), white space or '<' (left for the next
        // round), so a lone '&' stays a plain '&'.
        if (strict) return SIZE_MAX;
        out[o++] = '&';
        s = p;
        while (s < end && *s != ';' && *s != '<' && !is_space(static_cast<unsigned char>(*s))) out[o++] = *s++;
        if (s < end && *s == ';') out[o++] = *s++;
    }
    return o;
}

void finalize_attributes(quorvel_element* e, quorvel_pool* pool) {
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        if (a->hash & kAttrPendingEntities) {
            bool is_inline = (a->value_length & kAttrInlineValue) != 0;
            size_t length = static_cast<size_t>(a->value_length & ~kAttrInlineValue);
            const char* raw = is_inline ? a->inline_value : a->value;
            if (raw && length) {
                quorvel_string_view view{raw, length};
                if (char* decoded = quorvel_decode_entities_view(&view, pool)) {
                    a->value = decoded;
                    a->value_length = std::strlen(decoded);
                    a->hash = static_cast<uint16_t>(a->hash & ~kAttrPendingEntities);
                }
            }
        }
        if (a->ns) {
            auto* ns = static_cast<quorvel_attr_ns*>(quorvel_link_get(a, &a->ns));
            if (ns && !ns->ns_uri && ns->uri_view.data && ns->uri_view.length)
                ns->ns_uri = quorvel_sv_to_cstr_pooled(&ns->uri_view, pool);
        }
    }
}

}  // namespace

char* quorvel_decode_entities_view(const quorvel_string_view* view, quorvel_pool* pool) {
    if (!view || !view->data || view->length == 0) return empty_string(pool);
    const char* s = view->data;
    size_t n = view->length;
    if (const void* nul = std::memchr(s, '\0', n)) n = static_cast<size_t>(static_cast<const char*>(nul) - s);
    if (n == 0) return nullptr;  // nothing before the first NUL: no byte to return
    bool strict = g_quorvel_strict_mode != 0;

    if (!pool) {
        auto* out = static_cast<char*>(std::malloc(n + 1));
        if (!out) return nullptr;
        size_t length = decode_into(s, n, out, strict);
        if (length == SIZE_MAX) {
            std::free(out);
            return nullptr;
        }
        out[length] = '\0';
        return out;
    }
    // Into the pool only once the value is known to decode: a pool cannot
    // take a block back, and a value that fails is decoded again on every read.
    char stack[kStackDecodeBytes];
    char* scratch = n <= sizeof stack ? stack : static_cast<char*>(std::malloc(n));
    if (!scratch) return nullptr;
    size_t length = decode_into(s, n, scratch, strict);
    char* out = nullptr;
    if (length != SIZE_MAX) out = quorvel_pool_strndup(pool, scratch, length);
    if (scratch != stack) std::free(scratch);
    return out;
}

char* quorvel_decode_entities_view_with_dtd(const quorvel_string_view* view, quorvel_dtd* dtd, quorvel_pool* pool) {
    if (!view || !view->data || view->length == 0) return empty_string(pool);
    const char* storage[16];
    dtd_entity_chain chain = dtd_chain_on(storage, 16);
    char* out = dtd_expand_text(dtd, view->data, view->length, &chain, pool, nullptr);
    dtd_chain_release(&chain);
    return out;
}

int finalize_element_strings(quorvel_element* root, quorvel_pool* pool) {
    if (!root) return 1;
    finalize_attributes(root, pool);
    // Where to go on once a subtree is done: the next sibling of each
    // element whose children are being walked.
    quorvel_small_stack<quorvel_node*, 64> resume;
    quorvel_node* node = quorvel_elem_first_child_raw(root);
    for (;;) {
        while (node) {
            if (node->kind == QUORVEL_NODE_ELEMENT) {
                auto* e = reinterpret_cast<quorvel_element*>(node);
                finalize_attributes(e, pool);
                if (quorvel_node* child = quorvel_elem_first_child_raw(e)) {
                    if (!resume.push(quorvel_node_next_raw(node))) return 0;
                    node = child;
                    continue;
                }
            }
            node = quorvel_node_next_raw(node);
        }
        if (resume.empty()) return 1;
        node = resume.top();
        resume.pop();
    }
}

extern "C" {

QUORVEL_API int quorvel_str_has_nonstandard_entity(const char* text, size_t length) {
    constexpr size_t kMaxName = 64;
    if (!text || length <= 2) return 0;
    const char* end = text + length;
    for (const char* p = text; p < end; p++) {
        if (*p != '&' || p + 1 >= end) continue;
        const char* name = p + 1;
        const char* q = name;
        while (q < end && q - name <= static_cast<ptrdiff_t>(kMaxName) && *q != '&' && *q != ';' && *q != '<') q++;
        if (q >= end || *q != ';') continue;
        size_t n = static_cast<size_t>(q - name);
        if (n == 0 || n > kMaxName) continue;
        if (name[0] == '#' || quorvel_predefined_entity(name, n)) continue;
        return 1;
    }
    return 0;
}

}  // extern "C"
