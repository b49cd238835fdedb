// Element names, prefixes and namespaces: prefix resolution over the
// ancestors, the element's own namespace URI (cached in its extension record
// until a clear function drops it), and the namespace declarations an
// element carries, read by index, added and removed.
#include <cstring>

#include "dom/dom.h"

namespace {

inline bool is_element(const quorvel_element* e) { return e && e->head.kind == QUORVEL_NODE_ELEMENT; }

inline const quorvel_element* parent_of(const quorvel_element* e) {
    return static_cast<const quorvel_element*>(quorvel_link_get(e, &e->parent));
}

// stored is NUL-terminated; prefix is length bytes. strncmp stops at the end
// of stored, so a shorter stored prefix never reads past its NUL.
inline bool prefix_equals(const char* stored, const char* prefix, size_t length) {
    return std::strncmp(stored, prefix, length) == 0 && stored[length] == '\0';
}

// Nearest binding of a prefix (NULL: the default namespace). Declaration
// attributes in attribute chains are not consulted, only declaration lists.
const char* resolve(const quorvel_element* e, const char* prefix, size_t length) {
    for (; e; e = parent_of(e)) {
        const quorvel_element_ext* ext = quorvel_elem_ext(e);
        if (!ext) continue;
        for (const quorvel_ns_decl* d = ext->ns_decls; d; d = d->next) {
            if (prefix ? d->prefix && prefix_equals(d->prefix, prefix, length) : !d->prefix) return d->uri;
        }
    }
    return nullptr;
}

// The cached URI, NULL until resolved. Readers on several threads may
// resolve and store it at once (the same answer): it is accessed atomically.
inline const char* cached_uri(const quorvel_element_ext* ext) {
    return __atomic_load_n(&ext->ns_uri, __ATOMIC_ACQUIRE);
}
inline void remember_uri(quorvel_element_ext* ext, char* uri) { __atomic_store_n(&ext->ns_uri, uri, __ATOMIC_RELEASE); }

inline bool same_prefix(const char* a, const char* b) { return a == b || (a && b && std::strcmp(a, b) == 0); }

// As resolve for an element's own prefix, except that an ancestor with the
// same prefix and a cached URI answers for itself and all above it: a
// chain looked up from the top down costs one step per element.
const char* resolve_remembered(const quorvel_element* e, const char* prefix) {
    size_t length = prefix ? std::strlen(prefix) : 0;
    for (; e; e = parent_of(e)) {
        const quorvel_element_ext* ext = quorvel_elem_ext(e);
        if (!ext) continue;
        if (same_prefix(ext->prefix, prefix)) {
            if (const char* cached = cached_uri(ext)) return cached;
        }
        for (const quorvel_ns_decl* d = ext->ns_decls; d; d = d->next) {
            if (prefix ? d->prefix && prefix_equals(d->prefix, prefix, length) : !d->prefix) return d->uri;
        }
    }
    return nullptr;
}

// A declaration kept as an ordinary attribute: exactly "xmlns", or "xmlns:"
// followed by a non-empty prefix. Names such as "xmlnsfoo" or "xmlns:" are
// ordinary attributes, not declarations.
bool declaration_attribute(const quorvel_attribute* a, const char** prefix) {
    const char* n = a->name;
    size_t len = a->name_length;
    if (!n || len < 5 || std::memcmp(n, "xmlns", 5) != 0) return false;
    if (len == 5) {
        *prefix = nullptr;
        return true;
    }
    if (len > 6 && n[5] == ':') {
        *prefix = n + 6;
        return true;
    }
    return false;
}

size_t declaration_count(const quorvel_element* e) {
    size_t n = 0;
    if (const quorvel_element_ext* ext = quorvel_elem_ext(e))
        for (const quorvel_ns_decl* d = ext->ns_decls; d; d = d->next) n++;
    const char* ignored;
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
        if (declaration_attribute(a, &ignored)) n++;
    return n;
}

}  // namespace

quorvel_element_ext* quorvel_element_ext_create(quorvel_element* e, quorvel_document* doc) {
    if (!e || !doc || !doc->pool) return nullptr;
    auto* ext = static_cast<quorvel_element_ext*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_element_ext)));
    if (!ext) return nullptr;
    *ext = quorvel_element_ext{};  // pool memory is not cleared
    if (!quorvel_link_set(e, &e->ext, ext, doc)) return nullptr;
    return ext;
}

const char* quorvel_element_get_name(const quorvel_element* e) {
    if (!is_element(e)) return nullptr;
    return quorvel_elem_name_raw(e);
}

const char* quorvel_element_lookup_namespace(const quorvel_element* e, const char* prefix) {
    if (!is_element(e)) return nullptr;
    return resolve(e, prefix, prefix ? std::strlen(prefix) : 0);
}

const char* quorvel_element_lookup_namespace_n(const quorvel_element* e, const char* prefix, size_t length) {
    if (!is_element(e)) return nullptr;
    return resolve(e, prefix, length);
}

const char* quorvel_element_get_namespace_uri(quorvel_element* e) {
    if (!is_element(e)) return nullptr;
    quorvel_element_ext* ext = quorvel_elem_ext(e);
    if (ext) {
        if (const char* cached = cached_uri(ext)) return cached;
    }
    quorvel_document* doc = quorvel_element_get_document(e);
    // Nothing in the document declares a namespace: nothing to climb for.
    if (doc && !doc->namespaces_in_use) return nullptr;
    const char* uri = resolve_remembered(e, ext ? ext->prefix : nullptr);
    // No binding and an undeclaration both mean "no namespace"; neither is
    // cached, since NULL is the cache's own "not resolved" mark.
    if (!uri || !*uri) return nullptr;
    if (!ext && doc) {
        // Several readers may get here at once: one record is made.
        quorvel_document_lazy_lock(doc);
        ext = quorvel_elem_ext(e);
        if (!ext) ext = quorvel_element_ext_create(e, doc);
        quorvel_document_lazy_unlock(doc);
    }
    // Nowhere to cache: the answer is still right, only not remembered.
    if (ext) remember_uri(ext, const_cast<char*>(uri));
    return uri;
}

void quorvel_element_namespace_cache_clear(quorvel_element* e) {
    if (!is_element(e)) return;
    if (quorvel_element_ext* ext = quorvel_elem_ext(e)) remember_uri(ext, nullptr);
}

void quorvel_namespace_cache_clear_subtree(quorvel_element* top) {
    if (!is_element(top)) return;
    // Pre-order through first-child, next-sibling and parent links: no
    // stack, so it cannot fail half-way and leave stale entries behind.
    quorvel_node* n = &top->head;
    for (;;) {
        if (n->kind == QUORVEL_NODE_ELEMENT) {
            auto* e = reinterpret_cast<quorvel_element*>(n);
            if (quorvel_element_ext* ext = quorvel_elem_ext(e)) remember_uri(ext, nullptr);
            if (quorvel_node* child = quorvel_elem_first_child_raw(e)) {
                n = child;
                continue;
            }
        }
        for (;;) {
            if (n == &top->head) return;
            if (quorvel_node* next = quorvel_node_next_raw(n)) {
                n = next;
                break;
            }
            n = quorvel_node_parent_raw(n);
            if (!n) return;
        }
    }
}

int element_namespace_decl_at(const quorvel_element* e, size_t index, const char** prefix, const char** uri) {
    if (!is_element(e)) return 0;
    if (const quorvel_element_ext* ext = quorvel_elem_ext(e)) {
        for (const quorvel_ns_decl* d = ext->ns_decls; d; d = d->next) {
            if (index-- == 0) {
                *prefix = d->prefix;
                *uri = d->uri;
                return 1;
            }
        }
    }
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        const char* p;
        if (!declaration_attribute(a, &p)) continue;
        if (index-- == 0) {
            *prefix = p;
            *uri = quorvel_attribute_stored_value(a);
            return 1;
        }
    }
    return 0;
}

extern "C" {

QUORVEL_API const char* quorvel_element_name(const quorvel_element* element) {
    const char* name = quorvel_element_get_name(element);
    return name ? name : "";
}

QUORVEL_API const char* quorvel_element_prefix(const quorvel_element* element) {
    if (!is_element(element)) return nullptr;
    const quorvel_element_ext* ext = quorvel_elem_ext(element);
    return ext && ext->prefix && *ext->prefix ? ext->prefix : nullptr;
}

QUORVEL_API const char* quorvel_element_namespace_for_prefix(const quorvel_element* element, const char* prefix) {
    return quorvel_element_lookup_namespace(element, prefix);
}

QUORVEL_API quorvel_namespace quorvel_element_namespace(quorvel_element* element) {
    return quorvel_element_get_namespace_uri(element);
}

QUORVEL_API const char* quorvel_namespace_uri(quorvel_namespace ns) { return ns; }

QUORVEL_API const char* quorvel_namespace_prefix(quorvel_namespace) { return nullptr; }

QUORVEL_API void quorvel_element_expanded_name(quorvel_element* element, const char** local_name, const char** prefix,
                                               const char** uri) {
    if (local_name) *local_name = quorvel_element_get_name(element);
    if (prefix) *prefix = quorvel_element_prefix(element);
    if (uri) *uri = quorvel_element_get_namespace_uri(element);
}

QUORVEL_API uintptr_t quorvel_element_hash_value(uintptr_t value) { return value; }

QUORVEL_API size_t quorvel_element_namespace_count(const quorvel_element* element) {
    return is_element(element) ? declaration_count(element) : 0;
}

QUORVEL_API const char* quorvel_element_namespace_decl_prefix(const quorvel_element* element, size_t index) {
    const char *prefix, *uri;
    return element_namespace_decl_at(element, index, &prefix, &uri) ? prefix : nullptr;
}

QUORVEL_API const char* quorvel_element_namespace_decl_uri(const quorvel_element* element, size_t index) {
    const char *prefix, *uri;
    return element_namespace_decl_at(element, index, &prefix, &uri) ? uri : nullptr;
}

QUORVEL_API quorvel_status quorvel_element_add_namespace_definition(quorvel_element* element, const char* prefix,
                                                                    const char* uri) {
    if (!element || !uri) return QUORVEL_ERR_NULL_ARGUMENT;
    if (element->head.kind != QUORVEL_NODE_ELEMENT) return QUORVEL_ERR_INVALID_ARGUMENT;
    if (prefix && !*prefix) prefix = nullptr;
    quorvel_document* doc = quorvel_element_get_document(element);
    quorvel_element_ext* ext = quorvel_elem_ext(element);
    quorvel_ns_decl* decl;
    if (doc && doc->pool) {
        decl = static_cast<quorvel_ns_decl*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_ns_decl)));
        if (!decl) return QUORVEL_ERR_MEMORY;
        decl->prefix = prefix ? quorvel_pool_strdup(doc->pool, prefix) : nullptr;
        decl->uri = quorvel_pool_strdup(doc->pool, uri);
        if ((prefix && !decl->prefix) || !decl->uri) return QUORVEL_ERR_MEMORY;
        if (!ext && !(ext = quorvel_element_ext_create(element, doc))) return QUORVEL_ERR_MEMORY;
    } else {
        // No document: only an element that already has an extension record
        // can hold the declaration (on the heap; the library never frees
        // it). Without one there is nowhere to keep it, which is an error,
        // not a silent success.
        if (!ext) return QUORVEL_ERR_INVALID_ARGUMENT;
        decl = static_cast<quorvel_ns_decl*>(std::malloc(sizeof(quorvel_ns_decl)));
        if (!decl) return QUORVEL_ERR_MEMORY;
        decl->prefix = prefix ? xsd_strdup(prefix) : nullptr;
        decl->uri = xsd_strdup(uri);
        if ((prefix && !decl->prefix) || !decl->uri) {
            std::free(decl->prefix);
            std::free(decl->uri);
            std::free(decl);
            return QUORVEL_ERR_MEMORY;
        }
    }
    decl->next = nullptr;
    if (doc) doc->namespaces_in_use = 1;
    quorvel_ns_decl** tail = &ext->ns_decls;
    while (*tail) tail = &(*tail)->next;
    *tail = decl;
    // A new declaration can be nearer than the one a cached URI came from,
    // for this element and for every element below it.
    quorvel_namespace_cache_clear_subtree(element);
    return QUORVEL_OK;
}

QUORVEL_API quorvel_status quorvel_element_set_default_namespace(quorvel_element* element, const char* uri) {
    return quorvel_element_add_namespace_definition(element, nullptr, uri);
}

QUORVEL_API quorvel_status quorvel_element_remove_namespace_definition(quorvel_element* element, const char* prefix) {
    if (!element) return QUORVEL_ERR_NULL_ARGUMENT;
    if (element->head.kind != QUORVEL_NODE_ELEMENT) return QUORVEL_ERR_INVALID_ARGUMENT;
    if (prefix && !*prefix) prefix = nullptr;
    quorvel_element_ext* ext = quorvel_elem_ext(element);
    if (!ext) return QUORVEL_ERR_NOT_FOUND;
    for (quorvel_ns_decl** link = &ext->ns_decls; *link; link = &(*link)->next) {
        quorvel_ns_decl* d = *link;
        if (prefix ? d->prefix && std::strcmp(d->prefix, prefix) == 0 : !d->prefix) {
            *link = d->next;  // the entry's memory stays with the document
            quorvel_namespace_cache_clear_subtree(element);
            return QUORVEL_OK;
        }
    }
    return QUORVEL_ERR_NOT_FOUND;
}

}  // extern "C"
