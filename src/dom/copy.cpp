// Deep copies: element subtrees into a target document's pool, and whole
// documents. A copy owns every string it holds, so it outlives its source.
// The walk keeps its levels on a heap stack, so any depth copies without
// recursion; a copy also carries the namespace bindings its source had in
// scope from above, so that it keeps its namespaces wherever it goes.
#include <cstring>

#include "core/small_stack.h"
#include "dom/dom.h"

namespace {

inline bool is_element(const quorvel_node* n) { return n && n->kind == QUORVEL_NODE_ELEMENT; }

// "xmlns" or "xmlns:p": such attributes are declarations, which the copy
// receives as declaration entries, so they are not copied as attributes too.
bool declaration_attribute(const quorvel_attribute* a) {
    const char* n = a->name;
    size_t len = a->name_length;
    if (!n || len < 5 || std::memcmp(n, "xmlns", 5) != 0) return false;
    return len == 5 || (len > 6 && n[5] == ':');
}

char* pooled_name(const char* s, size_t n, quorvel_pool* pool) {
    quorvel_string_view view{s, n};
    return quorvel_sv_to_cstr_pooled(&view, pool);
}

quorvel_element_ext* copy_ext(quorvel_element* e, quorvel_pool* pool, quorvel_document* doc) {
    if (quorvel_element_ext* ext = quorvel_elem_ext(e)) return ext;
    auto* ext = static_cast<quorvel_element_ext*>(quorvel_pool_alloc(pool, sizeof(quorvel_element_ext)));
    if (!ext) return nullptr;
    *ext = quorvel_element_ext{};
    return tree_link_write(e, &e->ext, ext, doc) ? ext : nullptr;
}

bool same_prefix(const char* a, const char* b) {
    if (!a || !b) return a == b;
    return std::strcmp(a, b) == 0;
}

// Appends a declaration entry to e's list. False when memory runs out.
bool append_declaration(quorvel_element* e, const char* prefix, const char* uri, quorvel_pool* pool,
                        quorvel_document* doc) {
    auto* d = static_cast<quorvel_ns_decl*>(quorvel_pool_alloc(pool, sizeof(quorvel_ns_decl)));
    if (!d) return false;
    d->prefix = prefix ? pooled_name(prefix, std::strlen(prefix), pool) : nullptr;
    d->uri = quorvel_pool_strdup(pool, uri);
    d->next = nullptr;
    quorvel_element_ext* ext = copy_ext(e, pool, doc);
    if ((prefix && !d->prefix) || !d->uri || !ext) return false;
    quorvel_ns_decl** tail = &ext->ns_decls;
    while (*tail) tail = &(*tail)->next;
    *tail = d;
    return true;
}

// Prefix, cached URI and the declarations made on the source element itself.
// 1 when at least one declaration was copied.
int copy_element_namespaces_pooled(quorvel_element* e, const quorvel_element* s, quorvel_pool* pool,
                                   quorvel_document* doc) {
    if (const quorvel_element_ext* src = quorvel_elem_ext(s)) {
        if (src->prefix) {
            char* prefix = pooled_name(src->prefix, std::strlen(src->prefix), pool);
            quorvel_element_ext* ext = prefix ? copy_ext(e, pool, doc) : nullptr;
            if (ext) ext->prefix = prefix;
        }
        if (src->ns_uri) {
            char* uri = quorvel_pool_strdup(pool, src->ns_uri);
            quorvel_element_ext* ext = uri ? copy_ext(e, pool, doc) : nullptr;
            if (ext) ext->ns_uri = uri;
        }
    }
    int copied = 0;
    const char *prefix, *uri;
    for (size_t i = 0; element_namespace_decl_at(s, i, &prefix, &uri); i++) {
        if (!uri) break;
        if (!append_declaration(e, prefix && *prefix ? prefix : nullptr, uri, pool, doc)) break;
        copied = 1;
    }
    return copied;
}

// True when e's own declaration list binds prefix (NULL: the default namespace).
bool declares(const quorvel_element* e, const char* prefix) {
    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    for (const quorvel_ns_decl* d = ext ? ext->ns_decls : nullptr; d; d = d->next)
        if (same_prefix(d->prefix, prefix)) return true;
    return false;
}

// Declares on the top of a copy the bindings its source inherited from its
// ancestors (the nearest binding of each prefix), unless the source makes its
// own. Without them a prefixed name of the copy would resolve to nothing once
// the copy leaves its source's tree. 1 when a declaration was added.
int copy_inherited_bindings(quorvel_element* e, const quorvel_element* s, quorvel_pool* pool, quorvel_document* doc) {
    // A default namespace undeclared on the way up means "no namespace":
    // nothing to carry, and nothing farther up counts.
    bool default_settled = declares(e, nullptr);
    int added = 0;
    const char *prefix, *uri;
    for (const quorvel_element* n = static_cast<const quorvel_element*>(quorvel_link_get(s, &s->parent)); n;
         n = static_cast<const quorvel_element*>(quorvel_link_get(n, &n->parent))) {
        for (size_t i = 0; element_namespace_decl_at(n, i, &prefix, &uri); i++) {
            if (!uri) continue;
            if (!prefix || !*prefix) {
                if (default_settled) continue;
                default_settled = true;
                if (!*uri) continue;
                prefix = nullptr;
            } else if (declares(e, prefix)) {
                continue;
            }
            if (!append_declaration(e, prefix, uri, pool, doc)) return added;
            added = 1;
        }
    }
    return added;
}

// False when memory ran out: the copy is not made then, rather than made
// without some attributes.
bool copy_attributes(quorvel_element* e, const quorvel_element* s, quorvel_pool* pool, quorvel_document* doc) {
    quorvel_attribute* last = nullptr;
    for (const quorvel_attribute* a = quorvel_elem_first_attr(s); a; a = quorvel_attr_next(a)) {
        if (!a->name || a->name_length == 0 || declaration_attribute(a)) continue;
        auto* c = static_cast<quorvel_attribute*>(quorvel_pool_alloc(pool, sizeof(quorvel_attribute)));
        if (!c) return false;
        std::memset(static_cast<void*>(c), 0, sizeof *c);
        c->name = pooled_name(a->name, a->name_length, pool);
        if (!c->name) return false;
        c->name_length = a->name_length;
        // The value exactly as stored: a value still holding references
        // stays raw, and keeps its pending mark with the cached name hash.
        uint64_t length = a->value_length & ~kAttrInlineValue;
        const char* stored = (a->value_length & kAttrInlineValue) ? a->inline_value : a->value;
        if (!stored || length == 0) {
            c->value = "";
        } else {
            c->value = quorvel_pool_strndup(pool, stored, length);
            if (!c->value) return false;
            c->value_length = length;
        }
        c->hash = a->hash;
        if (const auto* ns = static_cast<const quorvel_attr_ns*>(quorvel_link_get(a, &a->ns))) {
            auto* copy = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(pool, sizeof(quorvel_attr_ns)));
            if (!copy) return false;
            {
                std::memset(static_cast<void*>(copy), 0, sizeof *copy);
                if (ns->prefix) {
                    copy->prefix = quorvel_pool_strdup(pool, ns->prefix);
                } else if (const char* colon = static_cast<const char*>(std::memchr(c->name, ':', c->name_length))) {
                    copy->prefix = quorvel_pool_strndup(pool, c->name, static_cast<size_t>(colon - c->name));
                }
                copy->owner = e;
                if (!tree_link_write(c, &c->ns, copy, doc)) return false;
            }
        }
        bool linked;
        if (last) {
            int16_t old = last->next;
            linked = quorvel_link16_set(last, &last->next, c, doc);
            if (!linked) last->next = old;
        } else {
            linked = tree_link_write(e, &e->first_attr, c, doc);
        }
        if (!linked) return false;
        quorvel_element_attr_count_inc(e);
        last = c;
    }
    return true;
}

// One element of the copy, with name, namespace data and attributes, its
// parent link naming parent. NULL for an unnamed source or no memory.
quorvel_element* copy_element(const quorvel_element* s, quorvel_element* parent, quorvel_pool* pool,
                              quorvel_document* doc) {
    // An empty local name (a rename to "p:" makes one) is copied like any
    // other; only a name that cannot be read at all stops the copy.
    const char* name = quorvel_elem_name_raw(s);
    if (!name) return nullptr;
    size_t length = std::strlen(name);
    auto* e = static_cast<quorvel_element*>(quorvel_pool_alloc(pool, sizeof(quorvel_element)));
    if (!e) return nullptr;
    std::memset(static_cast<void*>(e), 0, sizeof *e);
    // The stored local name is copied as it is, never split again.
    char* stored = pooled_name(name, length, pool);
    if (!stored || !tree_link_write(e, &e->name, stored, doc)) return nullptr;
    e->name_hash = quorvel_name_hash16(stored, length);
    e->name_length = static_cast<uint8_t>(length > 255 ? 255 : length);
    if (parent && !tree_link_write(e, &e->parent, parent, doc)) return nullptr;
    if (copy_element_namespaces_pooled(e, s, pool, doc) && doc) doc->namespaces_in_use = 1;
    if (!copy_attributes(e, s, pool, doc)) return nullptr;
    return e;
}

}  // namespace

quorvel_node* tree_copy_leaf(const quorvel_node* x, quorvel_pool* pool, quorvel_document* doc) {
    if (!x || !pool) return nullptr;
    switch (x->kind) {
        case QUORVEL_NODE_TEXT: {
            auto* t = reinterpret_cast<const quorvel_text*>(x);
            const char* content = quorvel_text_link_get(t, &t->content);
            return reinterpret_cast<quorvel_node*>(quorvel_text_create(content, content ? t->length : 0, pool, doc));
        }
        case QUORVEL_NODE_COMMENT:
        case QUORVEL_NODE_CDATA: {
            const char* content = reinterpret_cast<const quorvel_comment*>(x)->content;
            size_t length = content ? std::strlen(content) : 0;
            return reinterpret_cast<quorvel_node*>(x->kind == QUORVEL_NODE_COMMENT
                                                       ? quorvel_comment_create(content, length, pool)
                                                       : quorvel_cdata_create(content, length, pool));
        }
        case QUORVEL_NODE_PI: {
            auto* pi = reinterpret_cast<const quorvel_pi*>(x);
            if (!pi->target) return nullptr;
            const char* data = pi->data ? pi->data : "";
            return reinterpret_cast<quorvel_node*>(
                quorvel_pi_create(pi->target, std::strlen(pi->target), data, std::strlen(data), pool));
        }
        case QUORVEL_NODE_ENTITY_REF: {
            const char* name = reinterpret_cast<const quorvel_comment*>(x)->content;
            if (!name || !*name) return nullptr;
            return reinterpret_cast<quorvel_node*>(quorvel_entity_ref_create(name, std::strlen(name), pool));
        }
        default: return nullptr;
    }
}

quorvel_element* copy_subtree_detached(const quorvel_element* source, quorvel_element* parent, quorvel_pool* pool,
                                       quorvel_document* doc) {
    if (!is_element(reinterpret_cast<const quorvel_node*>(source)) || !pool) return nullptr;
    quorvel_element* top = copy_element(source, parent, pool, doc);
    if (!top) return nullptr;
    if (copy_inherited_bindings(top, source, pool, doc) && doc) doc->namespaces_in_use = 1;

    struct level {
        const quorvel_element* source;
        quorvel_element* copy;
        quorvel_node* last;   // last child linked into copy so far
        size_t elements;      // element children linked so far
    };
    quorvel_small_stack<level, 32> stack;
    const quorvel_node* cursor = quorvel_elem_first_child_raw(source);
    if (!stack.push(level{source, top, nullptr, 0})) return top;  // no memory for the walk: no children
    while (!stack.empty()) {
        if (!cursor) {
            level& done = stack.top();
            done.copy->child_count = done.elements >= kChildCountCap ? kChildCountCap
                                                                     : static_cast<uint16_t>(done.elements);
            const quorvel_element* finished = done.source;
            stack.pop();
            if (!stack.empty()) cursor = quorvel_node_next_raw(&finished->head);
            continue;
        }
        level& f = stack.top();
        const quorvel_node* c = cursor;
        cursor = quorvel_node_next_raw(c);
        quorvel_node* made;
        const quorvel_element* child_source = nullptr;
        if (c->kind == QUORVEL_NODE_ELEMENT) {
            child_source = reinterpret_cast<const quorvel_element*>(c);
            made = reinterpret_cast<quorvel_node*>(copy_element(child_source, f.copy, pool, doc));
        } else {
            made = tree_copy_leaf(c, pool, doc);
            if (made && !tree_link_write(made, quorvel_node_parent_field(made), f.copy, doc)) made = nullptr;
        }
        if (!made) continue;  // left out; the copy goes on
        bool linked = f.last ? tree_link_write(f.last, quorvel_node_sibling_field(f.last), made, doc)
                             : tree_link_write(f.copy, &f.copy->first_child, made, doc);
        if (!linked) continue;
        f.last = made;
        if (!child_source) continue;
        f.elements++;
        if (const quorvel_node* first = quorvel_elem_first_child_raw(child_source)) {
            // f is not used past this push, which may move the stack.
            if (stack.push(level{child_source, reinterpret_cast<quorvel_element*>(made), nullptr, 0})) cursor = first;
        }
    }
    return top;
}

quorvel_element* quorvel_element_copy(quorvel_element* source, quorvel_document* target) {
    if (!source || !target || !target->pool) return nullptr;
    quorvel_element* e = copy_subtree_detached(source, nullptr, target->pool, target);
    if (e) quorvel_root_doc_register(e, target);
    return e;
}

extern "C" {

QUORVEL_API quorvel_document* quorvel_document_copy(quorvel_document* source) {
    if (!source) return nullptr;
    auto* d = static_cast<quorvel_document*>(std::calloc(1, sizeof(quorvel_document)));
    if (!d) return nullptr;
    size_t page = source->pool && source->pool->page_size ? source->pool->page_size : 4096;
    quorvel_pool* pool = quorvel_pool_create_with_page_size(page);
    if (!pool) {
        std::free(d);
        return nullptr;
    }
    quorvel_document_init(d, pool);
    d->strict = source->strict;
    d->standalone = source->standalone;
    d->has_declaration = source->has_declaration;
    if ((source->declared_encoding && !(d->declared_encoding = xsd_strdup(source->declared_encoding))) ||
        (source->declared_version && !(d->declared_version = xsd_strdup(source->declared_version)))) {
        quorvel_document_free(d);
        return nullptr;
    }

    quorvel_element* root = source->root ? source->root : source->secondary_root;
    quorvel_element* root_copy = nullptr;
    if (root) {
        root_copy = quorvel_element_copy(root, d);
        if (!root_copy) {
            quorvel_document_free(d);
            return nullptr;
        }
        if (source->root == root) d->root = root_copy;
        if (source->secondary_root == root) d->secondary_root = root_copy;
    }

    // The top-level list in order: the root's place is taken by its copy,
    // leaves are copied (white space between top-level nodes included),
    // other elements and the doctype are not copied.
    quorvel_node* last = nullptr;
    for (quorvel_node* n = source->first_top; n && tree_linkable(n); n = quorvel_node_next_raw(n)) {
        quorvel_node* made;
        if (n->kind == QUORVEL_NODE_ELEMENT) {
            if (!root || n != &root->head) continue;
            made = &root_copy->head;
        } else {
            made = tree_copy_leaf(n, pool, d);
            if (!made) {
                quorvel_document_free(d);
                return nullptr;
            }
            if (!tree_set_leaf_owner(made, d)) {
                quorvel_document_free(d);
                return nullptr;
            }
        }
        if (last) {
            if (!tree_link_write(last, quorvel_node_sibling_field(last), made, d)) {
                quorvel_document_free(d);
                return nullptr;
            }
        } else {
            d->first_top = made;
        }
        last = made;
    }
    d->last_top = last;
    return d;
}

}  // extern "C"
