// The namespace steps of a start tag, inline in the tag reader
// (document_tags.cpp): declarations ("xmlns" and "xmlns:p" attributes) join
// the element's list; a prefixed element keeps its prefix; a prefixed
// attribute gets its namespace record, its prefix copied once and shared by
// the attributes that repeat it. URIs are resolved from the declarations
// later, when asked for.
#pragma once

#include "parser/document_parser.h"

namespace quorvel_dp {

// The pool copy of an attribute prefix, name[0, length): shared by every
// attribute with the same prefix while it holds its cache slot. word: the
// name's first 8 bytes as read before its NUL went in (a load now would
// wait on that byte store).
// True with *out set, false when memory ran out; a cache hit answers a
// constant true, so that the caller tests nothing.
inline bool attribute_prefix(dp_state* s, const char* name, size_t length, uint64_t word, char** out,
                             bool* near) {
    uint64_t key = word & byte_mask(length);
    prefix_slot& slot = s->prefixes[(key * 0x9E3779B97F4A7C15ull) >> (64 - kPrefixSlotBits)];
    if (slot.word == key && slot.length == length &&
        (length <= 8 || std::memcmp(slot.text, name, length) == 0)) [[likely]] {
        *out = const_cast<char*>(slot.text);
        return true;
    }
    auto* copy = static_cast<char*>(small_alloc(s, length + 1, near));
    if (!copy) return false;
    std::memcpy(copy, name, length);
    copy[length] = '\0';
    slot = prefix_slot{key, length, copy};
    *out = copy;
    return true;
}

// The namespace record of attribute a, whose name has a prefix ending at
// last_colon, the URI resolved later. name_word: the name's first 8 bytes as
// read before its NUL went in. False when memory ran out.
__attribute__((always_inline)) inline bool dp_attribute_namespace(dp_state* s, tag_scan& t, quorvel_attribute* a, char* name, const char* last_colon,
                            uint64_t name_word) {
    quorvel_element* e = t.element;
    quorvel_attr_ns* ns;
    if (sizeof(quorvel_attr_ns) <= static_cast<size_t>(s->small_end - s->small_next)) [[likely]] {
        ns = reinterpret_cast<quorvel_attr_ns*>(s->small_next);
        s->small_next += sizeof(quorvel_attr_ns);
    } else if (!(ns = static_cast<quorvel_attr_ns*>(small_alloc(s, sizeof(quorvel_attr_ns), &t.near)))) {
        return false;
    }
    ns->uri_view = quorvel_string_view{nullptr, 0};
    ns->ns_uri = nullptr;
    if (!attribute_prefix(s, name, static_cast<size_t>(last_colon - name), name_word, &ns->prefix, &t.near))
        return false;
    ns->owner = e;
    return tag_link(s, t, a, &a->ns, ns);
}

// A declaration's URI written with references, decoded into the pool
// (document_namespaces.cpp). False when the parse is to end.
bool dp_declaration_uri(dp_state* s, char* value, size_t value_len, char** uri);

// name is "xmlns", or "xmlns:" and a prefix, NUL-terminated in the working
// copy: the prefix is a view of its tail, which nothing writes over.
inline bool dp_namespace_declaration(dp_state* s, tag_scan& t, char* name, size_t name_len, char* value, size_t value_len,
                              bool amp) {
    auto* d = static_cast<quorvel_ns_decl*>(small_alloc(s, sizeof(quorvel_ns_decl), &t.near));
    if (!d) return false;
    d->prefix = name_len > 6 ? name + 6 : nullptr;
    d->uri = value;
    if (amp) [[unlikely]]
        DP_TRY(dp_declaration_uri(s, value, value_len, &d->uri));
    d->next = nullptr;
    quorvel_element_ext* ext = tag_ext(s, t);
    if (!ext) return false;
    if (t.last_decl)
        t.last_decl->next = d;
    else
        ext->ns_decls = d;
    t.last_decl = d;
    s->namespaces_in_use = 1;
    return true;
}

// The element's prefix, name up to last_colon (which becomes its NUL).
inline bool dp_element_prefix(dp_state* s, tag_scan& t, char* name, char* last_colon) {
    *last_colon = '\0';
    quorvel_element_ext* ext = tag_ext(s, t);
    if (!ext) return false;
    ext->prefix = name;
    return true;
}

}  // namespace quorvel_dp
