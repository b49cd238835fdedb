// An element's structure as callers see it: child elements by position
// (through a one-entry cache), by name and by attribute value; element
// siblings, parent and root; children arrays; text as a string and as
// numbers and truth values. Text walks keep their own stack, never the
// call stack, and mixed text is copied into the document once per change.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "core/small_stack.h"
#include "dom/dom.h"

namespace {

inline bool is_element(const quorvel_element* e) { return e && e->head.kind == QUORVEL_NODE_ELEMENT; }


inline quorvel_node* checked(quorvel_node* n) { return n && quorvel_node_chain_kind(n) ? n : nullptr; }

inline quorvel_node* first_child(const quorvel_element* e) { return checked(quorvel_elem_first_child_raw(e)); }
inline quorvel_node* next_of(const quorvel_node* n) { return checked(quorvel_node_next_raw(n)); }

// Children of an element, or the top-level nodes of the document node.
quorvel_node* first_child_of_node(const quorvel_node* n) {
    if (n->kind == QUORVEL_NODE_ELEMENT) return first_child(reinterpret_cast<const quorvel_element*>(n));
    if (n->kind == QUORVEL_NODE_DOCUMENT) return checked(quorvel_node_first_child_internal(n));
    return nullptr;
}

inline quorvel_element* as_element(quorvel_node* n) {
    return n && n->kind == QUORVEL_NODE_ELEMENT ? reinterpret_cast<quorvel_element*>(n) : nullptr;
}

quorvel_element* next_element(quorvel_node* n) {
    for (; n; n = next_of(n))
        if (n->kind == QUORVEL_NODE_ELEMENT) return reinterpret_cast<quorvel_element*>(n);
    return nullptr;
}

inline quorvel_element* parent_of(const quorvel_element* e) {
    return static_cast<quorvel_element*>(quorvel_link_get(e, &e->parent));
}

inline bool name_is(const quorvel_element* e, const char* name) {
    const char* own = quorvel_elem_name_raw(e);
    return own && std::strcmp(own, name) == 0;
}

// A name asked for, compared by the stored length first (most children
// differ there) and then by its bytes. The length is measured without the
// name hash: a hash is a serial chain of multiplies per byte, dearer than
// the compare it would save on the short names of a record.
struct wanted_name {
    const char* name;
    size_t length;
    uint8_t stored_length;  // as the record keeps it: 255 for 255 bytes or more

    explicit wanted_name(const char* n) : name(n), length(0) {
        // Short names: measured in line rather than through a call.
        while (n[length]) length++;
        stored_length = static_cast<uint8_t>(length < 255 ? length : 255);
    }
    bool matches(const quorvel_element* e) const {
        if (e->name_length != stored_length) return false;
        const char* own = quorvel_elem_name_raw(e);
        if (!own) return false;
        // Names are short: bytes compared in line, the NUL included, rather
        // than through a call.
        if (length < 24) {
            for (size_t i = 0; i <= length; i++)
                if (own[i] != name[i]) return false;
            return true;
        }
        return std::memcmp(own, name, length) == 0 && own[length] == '\0';
    }
};

// The first element named as wanted in the sibling chain from n (n
// included), elements tested first; a node of a kind that does not stand
// in chains ends the walk, as next_of would.
quorvel_element* find_named(quorvel_node* n, const wanted_name& wanted) {
    while (n) {
        const int32_t* link;
        if (n->kind == QUORVEL_NODE_ELEMENT) {
            auto* e = reinterpret_cast<quorvel_element*>(n);
            if (wanted.matches(e)) return e;
            link = &e->next_sibling;
        } else {
            if (!quorvel_node_chain_kind(n)) return nullptr;
            link = quorvel_node_sibling_field(n);
        }
        n = static_cast<quorvel_node*>(quorvel_link_get(n, link));
    }
    return nullptr;
}

// ---- Text runs ---------------------------------------------------------------------------

// Content of a text node: a counted run is read by its stored length.
const char* text_run(const quorvel_text* t, size_t* length) {
    const char* s = quorvel_text_link_get(t, &t->content);
    if (!s) {
        *length = 0;
        return "";
    }
    *length = (t->head.flags & kTextCounted) ? t->length : std::strlen(s);
    return s;
}

// Calls emit(bytes, length) for every text, CDATA and entity-reference run
// below node, in document order. False when memory for the walk ran out.
template <typename Emit>
bool for_each_text_run(const quorvel_node* node, Emit&& emit) {
    quorvel_small_stack<quorvel_node*, 32> resume;  // where each open level carries on
    quorvel_node* c = first_child_of_node(node);
    for (;;) {
        while (c) {
            switch (c->kind) {
                case QUORVEL_NODE_TEXT: {
                    size_t length;
                    const char* s = text_run(reinterpret_cast<quorvel_text*>(c), &length);
                    emit(s, length);
                    break;
                }
                case QUORVEL_NODE_CDATA:
                    if (const char* s = reinterpret_cast<quorvel_comment*>(c)->content) emit(s, std::strlen(s));
                    break;
                case QUORVEL_NODE_ENTITY_REF:
                    if (const char* s = quorvel_entity_ref_resolve(c)) emit(s, std::strlen(s));
                    break;
                case QUORVEL_NODE_ELEMENT:
                    if (quorvel_node* child = first_child(reinterpret_cast<quorvel_element*>(c))) {
                        if (!resume.push(next_of(c))) return false;
                        c = child;
                        continue;
                    }
                    break;
                default: break;  // comments and processing instructions hold no text
            }
            c = next_of(c);
        }
        if (resume.empty()) return true;
        c = resume.top();
        resume.pop();
    }
}

// Measures node's text; false when the walk could not be made.
bool measure_text(const quorvel_node* node, size_t* total) {
    size_t n = 0;
    bool ok = for_each_text_run(node, [&](const char*, size_t length) { n += length; });
    *total = n;
    return ok;
}

// Writes node's text into out, which has room for capacity bytes and a NUL.
bool fill_text(const quorvel_node* node, char* out, size_t capacity) {
    size_t pos = 0;
    bool fits = true;
    bool ok = for_each_text_run(node, [&](const char* s, size_t length) {
        if (!fits || length > capacity - pos) {
            fits = false;
            return;
        }
        std::memcpy(out + pos, s, length);
        pos += length;
    });
    out[pos] = '\0';
    return ok && fits && pos == capacity;
}

// True when copy holds exactly node's current text of total bytes.
bool text_unchanged(const quorvel_node* node, const char* copy, size_t total) {
    if (std::strlen(copy) != total) return false;
    size_t pos = 0;
    bool same = true;
    bool ok = for_each_text_run(node, [&](const char* s, size_t length) {
        if (!same || length > total - pos || std::memcmp(copy + pos, s, length) != 0)
            same = false;
        else
            pos += length;
    });
    return ok && same && pos == total;
}

// The text of a node with several children (or one that cannot be handed
// out in place), copied into the document's pool. The copy is remembered in
// the holder's text_copy link and handed out again while the text is
// unchanged, so repeated reads do not grow the document. element is the
// node as an element (NULL for the document node, whose document is doc).
const char* pooled_text_locked(const quorvel_node* node, quorvel_element* element, quorvel_document* doc,
                               void* holder, int32_t* copy_link) {
    size_t total;
    if (!measure_text(node, &total)) return "";
    if (copy_link) {
        auto* cached = static_cast<const char*>(quorvel_link_get(holder, copy_link));
        if (cached && text_unchanged(node, cached, total)) return cached;
    }
    if (!doc->pool || total == SIZE_MAX) return "";
    auto* copy = static_cast<char*>(quorvel_pool_alloc(doc->pool, total + 1));
    if (!copy || !fill_text(node, copy, total)) return "";
    if (!copy_link && element) {
        if (quorvel_element_ext* ext = quorvel_element_ext_create(element, doc)) {
            holder = ext;
            copy_link = &ext->text_copy;
        }
    }
    // Not remembering only costs a copy on the next read.
    if (copy_link) (void)quorvel_link_set(holder, copy_link, copy, doc);
    return copy;
}

// The copy, its link and the extension record that holds it are stores
// into the document that several reading threads may make at once: all
// under the document's lazy lock. The link is read under it too.
const char* pooled_text(const quorvel_node* node, quorvel_element* element, quorvel_document* doc, void* holder,
                        int32_t* copy_link) {
    if (element) doc = quorvel_element_get_document(element);
    if (!doc) return "";
    quorvel_document_lazy_lock(doc);
    if (element && !copy_link) {
        // Made by another reader since the caller looked.
        if (quorvel_element_ext* ext = quorvel_elem_ext(element)) {
            holder = ext;
            copy_link = &ext->text_copy;
        }
    }
    const char* text = pooled_text_locked(node, element, doc, holder, copy_link);
    quorvel_document_lazy_unlock(doc);
    return text;
}

// ---- Typed text ----------------------------------------------------------------------------

inline const char* text_of(const quorvel_element* e) { return e ? quorvel_element_text(&e->head) : ""; }

inline bool text_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline const char* skip_text_space(const char* p) {
    while (text_space(*p)) p++;
    return p;
}

// The rest of the text, all of it digits of the base (at least one), as a
// 64-bit value; false for anything else or a value past 64 bits.
bool all_digits(const char* p, unsigned base, uint64_t* value) {
    uint64_t v = 0;
    if (!*p) return false;
    if (base == 10) {
        // Up to 19 decimal digits cannot pass 64 bits: no overflow test
        // (and no division) until then.
        const char* q = p;
        while (static_cast<unsigned>(*q - '0') < 10 && q - p < 19) v = v * 10 + static_cast<unsigned>(*q++ - '0');
        if (!*q) {
            *value = v;
            return true;
        }
        if (static_cast<unsigned>(*q - '0') >= 10) return false;
        p = q;  // a 20th digit: the checked loop decides
    }
    for (; *p; p++) {
        unsigned c = static_cast<unsigned char>(*p);
        unsigned d = c >= '0' && c <= '9'   ? c - '0'
                     : c >= 'a' && c <= 'f' ? c - 'a' + 10
                     : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                            : 99;
        if (d >= base) return false;
        if (v > (UINT64_MAX - d) / base) return false;
        v = v * base + d;
    }
    *value = v;
    return true;
}

inline const char* hex_prefix(const char* p, unsigned* base) {
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        *base = 16;
        return p + 2;
    }
    *base = 10;
    return p;
}

}  // namespace

char* quorvel_element_get_text_content(const quorvel_node* node) {
    if (!node) return nullptr;
    size_t total;
    if (!measure_text(node, &total) || total == SIZE_MAX) return nullptr;
    auto* out = static_cast<char*>(std::malloc(total + 1));
    if (!out) return nullptr;
    if (!fill_text(node, out, total)) {
        std::free(out);
        return nullptr;
    }
    return out;
}

extern "C" {

// ---- Child elements by position -----------------------------------------------------------

QUORVEL_API size_t quorvel_element_child_count(const quorvel_element* element) {
    return is_element(element) ? quorvel_element_child_element_count(element) : 0;
}

QUORVEL_API quorvel_element* quorvel_element_child(quorvel_element* element, size_t index) {
    if (!is_element(element)) return nullptr;
    // Below the cap the narrow count is exact; at the cap the walk decides.
    if (element->child_count < kChildCountCap && index >= element->child_count) return nullptr;
    quorvel_element_ext* ext = quorvel_elem_ext(element);
    if (!ext && element->child_count > 1) {
        // Only elements with several element children get a record for the cache.
        if (quorvel_document* doc = quorvel_element_get_document(element))
            ext = quorvel_element_ext_create(element, doc);
    }
    quorvel_node* c;
    size_t k;
    if (ext && ext->cache_child && ext->cache_counter == ext->child_changes && ext->cache_index <= index) {
        c = ext->cache_child;
        k = ext->cache_index;
    } else {
        c = first_child(element);
        k = 0;
    }
    for (; c; c = next_of(c)) {
        if (c->kind != QUORVEL_NODE_ELEMENT) continue;
        if (k == index) {
            if (ext && index <= UINT32_MAX) {
                ext->cache_index = static_cast<uint32_t>(index);
                ext->cache_child = c;
                ext->cache_counter = ext->child_changes;
            }
            return reinterpret_cast<quorvel_element*>(c);
        }
        k++;
    }
    return nullptr;
}

// ---- Family ---------------------------------------------------------------------------------

QUORVEL_API quorvel_element* quorvel_element_parent(const quorvel_element* element) {
    return is_element(element) ? parent_of(element) : nullptr;
}

QUORVEL_API quorvel_element* quorvel_element_root(quorvel_element* element) {
    if (!is_element(element)) return nullptr;
    while (quorvel_element* p = parent_of(element)) element = p;
    return element;
}

QUORVEL_API quorvel_element* quorvel_element_first_child_any(const quorvel_element* element) {
    return is_element(element) ? next_element(first_child(element)) : nullptr;
}

QUORVEL_API quorvel_element* quorvel_element_last_child_any(const quorvel_element* element) {
    if (!is_element(element)) return nullptr;
    quorvel_element* last = nullptr;
    for (quorvel_node* c = first_child(element); c; c = next_of(c))
        if (quorvel_element* e = as_element(c)) last = e;
    return last;
}

QUORVEL_API quorvel_element* quorvel_element_next_sibling_any(const quorvel_element* element) {
    return is_element(element) ? next_element(next_of(&element->head)) : nullptr;
}

QUORVEL_API quorvel_element* quorvel_element_previous_sibling_any(const quorvel_element* element) {
    if (!is_element(element)) return nullptr;
    quorvel_element* parent = parent_of(element);
    if (!parent) return nullptr;  // top-level and detached elements have none
    quorvel_element* last = nullptr;
    for (quorvel_node* c = first_child(parent); c; c = next_of(c)) {
        if (c == &element->head) return last;
        if (quorvel_element* e = as_element(c)) last = e;
    }
    return nullptr;
}

QUORVEL_API quorvel_element* quorvel_element_first_child(const quorvel_element* element, const char* name) {
    if (!name) return quorvel_element_first_child_any(element);
    if (!is_element(element) || !*name) return nullptr;
    return find_named(quorvel_elem_first_child_raw(element), wanted_name(name));
}

QUORVEL_API quorvel_element* quorvel_element_last_child(const quorvel_element* element, const char* name) {
    if (!name) return quorvel_element_last_child_any(element);
    if (!is_element(element)) return nullptr;
    uint16_t h = quorvel_name_hash16(name, std::strlen(name));
    quorvel_element* last = nullptr;
    for (quorvel_node* c = first_child(element); c; c = next_of(c)) {
        quorvel_element* e = as_element(c);
        if (e && e->name_hash == h && name_is(e, name)) last = e;
    }
    return last;
}

QUORVEL_API quorvel_element* quorvel_element_next_sibling(const quorvel_element* element, const char* name) {
    if (!name) return quorvel_element_next_sibling_any(element);
    if (!is_element(element)) return nullptr;
    return find_named(quorvel_node_next_raw(&element->head), wanted_name(name));
}

QUORVEL_API quorvel_element* quorvel_element_previous_sibling(const quorvel_element* element, const char* name) {
    if (!name) return quorvel_element_previous_sibling_any(element);
    if (!is_element(element)) return nullptr;
    quorvel_element* parent = parent_of(element);
    if (!parent) return nullptr;
    quorvel_element* last = nullptr;
    for (quorvel_node* c = first_child(parent); c; c = next_of(c)) {
        if (c == &element->head) return last;
        quorvel_element* e = as_element(c);
        if (e && name_is(e, name)) last = e;
    }
    return nullptr;
}

QUORVEL_API quorvel_element* quorvel_element_find_child(const quorvel_element* element, const char* name) {
    return name ? quorvel_element_first_child(element, name) : nullptr;
}

QUORVEL_API quorvel_element* quorvel_element_find_child_by_attr(const quorvel_element* element, const char* name,
                                                                const char* attribute_name, const char* value) {
    if (!is_element(element) || !attribute_name || !value) return nullptr;
    for (quorvel_node* c = first_child(element); c; c = next_of(c)) {
        quorvel_element* e = as_element(c);
        if (!e || (name && !name_is(e, name))) continue;
        const char* v = quorvel_element_attribute(e, attribute_name);
        if (v && std::strcmp(v, value) == 0) return e;
    }
    return nullptr;
}

// ---- Children arrays --------------------------------------------------------------------------

QUORVEL_API size_t quorvel_element_children(const quorvel_element* element, quorvel_element** children,
                                            size_t capacity) {
    if (!is_element(element) || !children || !capacity) return 0;
    size_t n = 0;
    for (quorvel_node* c = first_child(element); c && n < capacity; c = next_of(c))
        if (quorvel_element* e = as_element(c)) children[n++] = e;
    return n;
}

QUORVEL_API size_t quorvel_node_children_ex(const quorvel_node* node, quorvel_node** children, int* kinds,
                                            size_t capacity) {
    if (!node) return 0;
    size_t n = 0;
    quorvel_node* c = first_child_of_node(node);
    if (!children) {
        for (; c; c = next_of(c)) n++;
        return n;
    }
    for (; c && n < capacity; c = next_of(c), n++) {
        children[n] = c;
        if (kinds) kinds[n] = c->kind;
    }
    return n;
}

QUORVEL_API size_t quorvel_node_children(const quorvel_node* node, quorvel_node** children, size_t capacity) {
    return quorvel_node_children_ex(node, children, nullptr, capacity);
}

// ---- Text ---------------------------------------------------------------------------------------

QUORVEL_API const char* quorvel_element_text(const quorvel_node* node) {
    if (!node) return "";
    // A node whose only child is an element has that element's text: follow
    // such chains down (in a loop, they can be deep) before copying anything.
    quorvel_node* first;
    for (;;) {
        first = first_child_of_node(node);
        if (!first) return "";
        if (next_of(first) || first->kind != QUORVEL_NODE_ELEMENT) break;
        node = first;
    }
    if (!next_of(first)) {
        if (first->kind == QUORVEL_NODE_TEXT) {
            size_t length;
            const char* s = text_run(reinterpret_cast<quorvel_text*>(first), &length);
            // A counted run not followed by a NUL cannot be handed out in place.
            if (s[length] == '\0') return s;
        } else if (first->kind == QUORVEL_NODE_CDATA) {
            const char* s = reinterpret_cast<quorvel_comment*>(first)->content;
            return s ? s : "";
        }
    }
    if (node->kind == QUORVEL_NODE_DOCUMENT) {
        auto* rec = reinterpret_cast<quorvel_document_node_record*>(const_cast<quorvel_node*>(node));
        return pooled_text(node, nullptr, rec->document, rec, &rec->text_copy);
    }
    auto* e = const_cast<quorvel_element*>(reinterpret_cast<const quorvel_element*>(node));
    return pooled_text(node, e, nullptr, nullptr, nullptr);
}

QUORVEL_API int quorvel_element_text_int(const quorvel_element* element, int default_value) {
    const char* p = skip_text_space(text_of(element));
    bool negative = *p == '-';
    if (negative || *p == '+') p++;
    unsigned base;
    const char* digits = hex_prefix(p, &base);
    uint64_t magnitude;
    if (!all_digits(digits, base, &magnitude)) return default_value;
    // Out of range is unreadable, not cut to 32 bits.
    if (negative)
        return magnitude <= uint64_t(INT_MAX) + 1 ? static_cast<int>(-static_cast<int64_t>(magnitude)) : default_value;
    return magnitude <= INT_MAX ? static_cast<int>(magnitude) : default_value;
}

QUORVEL_API unsigned quorvel_element_text_uint(const quorvel_element* element, unsigned default_value) {
    const char* p = skip_text_space(text_of(element));
    unsigned base;
    bool negative = false;
    const char* digits = hex_prefix(p, &base);
    if (base == 10) {
        negative = *p == '-';
        if (negative || *p == '+') digits = p + 1;
    }
    uint64_t magnitude;
    if (!all_digits(digits, base, &magnitude) || magnitude > UINT_MAX) return default_value;
    // As with the attribute reader, a minus negates modulo 2^32.
    unsigned m = static_cast<unsigned>(magnitude);
    return negative ? 0u - m : m;
}

QUORVEL_API double quorvel_element_text_double(const quorvel_element* element, double default_value) {
    const char* text = text_of(element);
    char* end;
    double r = std::strtod(text, &end);
    return end != text && *end == '\0' ? r : default_value;
}

QUORVEL_API float quorvel_element_text_float(const quorvel_element* element, float default_value) {
    const char* text = text_of(element);
    char* end;
    float r = std::strtof(text, &end);
    return end != text && *end == '\0' ? r : default_value;
}

QUORVEL_API int quorvel_element_text_bool(const quorvel_element* element) {
    const char* p = skip_text_space(text_of(element));
    size_t n = std::strlen(p);
    while (n && text_space(p[n - 1])) n--;
    if (!n) return 0;
    static const char* const kFalse[] = {"0", "no", "off", "false"};
    for (const char* f : kFalse)
        if (std::strlen(f) == n && strncasecmp(p, f, n) == 0) return 0;
    return 1;
}

}  // extern "C"
