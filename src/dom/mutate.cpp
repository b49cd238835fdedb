// Changing attributes and names: set (replace in place or append), typed
// setters, remove, raw appends for builders of fresh elements, elements made
// with their attributes, rename and move into a declared namespace.
// Elements with more than 8 attributes get their attributes entered in a
// per-document open-addressing index, so one more set on a wide element
// costs one probe sequence. The index is a cache of the attribute chains:
// whenever it cannot answer for certain, the chain is walked.
#include <cstdio>
#include <cstring>

#include "dom/dom.h"

namespace {

inline bool is_element(const quorvel_element* e) { return e && e->head.kind == QUORVEL_NODE_ELEMENT; }

// ---- The attribute index ----------------------------------------------------------------------

// {E, h, A} indexes attribute A of E (h: FNV-1a 32 of its name); {E, 0, NULL}
// is E's marker (E's attributes have been entered); {E, h, NULL} with h != 0
// is a removed entry; both pointers NULL is an empty entry.
struct attr_index_entry {
    quorvel_element* element;
    uint32_t hash;
    quorvel_attribute* attribute;
};
static_assert(sizeof(attr_index_entry) == 24);

// Header and entries are one malloc'd block, so the document releases the
// whole index with a single free.
struct attr_index {
    attr_index_entry* entries;  // right behind this header
    size_t capacity;            // a power of two
    size_t used;                // entries that are not empty
};

constexpr size_t kNoSlot = SIZE_MAX;

attr_index* index_alloc(size_t capacity) {
    size_t bytes = sizeof(attr_index) + capacity * sizeof(attr_index_entry);
    auto* idx = static_cast<attr_index*>(std::calloc(1, bytes));
    if (!idx) return nullptr;
    idx->entries = reinterpret_cast<attr_index_entry*>(idx + 1);
    idx->capacity = capacity;
    return idx;
}

inline bool entry_empty(const attr_index_entry& x) { return !x.element && !x.attribute; }

size_t slot_of(const quorvel_element* e, uint32_t h, size_t capacity) {
    uint64_t y = uint64_t(h) * 0x9E3779B97F4A7C15ull;
    uint64_t v = reinterpret_cast<uintptr_t>(e);
    uint32_t m = static_cast<uint32_t>((v ^ (v >> 33)) * 0xFF51AFD7ED558CCDull);
    return (static_cast<uint32_t>(y >> 32) ^ static_cast<uint32_t>(y) ^ m) & (capacity - 1);
}

inline attr_index* index_of(quorvel_document* doc) { return static_cast<attr_index*>(doc->attribute_index); }

// Drops the whole index: elements are entered again, from their chains,
// the next time they are set on.
void index_drop(quorvel_document* doc) {
    std::free(doc->attribute_index);
    doc->attribute_index = nullptr;
}

// Doubles the table, keeping markers and live entries and dropping removed
// ones. On failure the table stays as it was.
void attr_index_rehash(quorvel_document* doc) {
    attr_index* old = index_of(doc);
    attr_index* fresh = index_alloc(old->capacity * 2);
    if (!fresh) return;
    for (size_t i = 0; i < old->capacity; i++) {
        const attr_index_entry& x = old->entries[i];
        if (!x.element || (!x.attribute && x.hash != 0)) continue;
        size_t s = slot_of(x.element, x.hash, fresh->capacity);
        while (!entry_empty(fresh->entries[s])) s = (s + 1) & (fresh->capacity - 1);
        fresh->entries[s] = x;
        fresh->used++;
    }
    std::free(old);
    doc->attribute_index = fresh;
}

void attr_index_put(quorvel_document* doc, quorvel_element* e, uint32_t h, quorvel_attribute* a, size_t slot) {
    attr_index* idx = index_of(doc);
    attr_index_entry& x = idx->entries[slot];
    if (entry_empty(x)) idx->used++;
    x = attr_index_entry{e, h, a};
    if (idx->used * 10 >= idx->capacity * 7) attr_index_rehash(doc);
}

// Probes for a free entry for key (e, h), or finds that key already held by
// a live attribute (present = true). kNoSlot when the table is full.
size_t probe_free(const attr_index* idx, const quorvel_element* e, uint32_t h, bool* present) {
    *present = false;
    size_t s = slot_of(e, h, idx->capacity);
    for (size_t i = 0; i < idx->capacity; i++, s = (s + 1) & (idx->capacity - 1)) {
        const attr_index_entry& x = idx->entries[s];
        if (entry_empty(x)) return s;
        if (x.element == e && x.hash == h && x.attribute) {
            *present = true;
            return s;
        }
    }
    return kNoSlot;
}

// Makes sure e is entered: its marker and every attribute of its chain.
// False when the table filled up (the caller then drops the index).
bool ensure_entered(quorvel_document* doc, quorvel_element* e) {
    attr_index* idx = index_of(doc);
    size_t s = slot_of(e, 0, idx->capacity);
    size_t free_slot = kNoSlot;
    for (size_t i = 0; i < idx->capacity; i++, s = (s + 1) & (idx->capacity - 1)) {
        const attr_index_entry& x = idx->entries[s];
        if (x.element == e && x.hash == 0) return true;
        if (entry_empty(x)) {
            free_slot = s;
            break;
        }
    }
    if (free_slot == kNoSlot) return false;
    attr_index_put(doc, e, 0, nullptr, free_slot);
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        if (!a->name) continue;
        uint32_t h = quorvel_fnv1a(a->name, a->name_length);
        if (h == 0) continue;  // the marker's key: such names are always looked up in the chain
        bool present;
        size_t slot = probe_free(index_of(doc), e, h, &present);
        if (slot == kNoSlot) return false;
        if (!present) attr_index_put(doc, e, h, a, slot);
    }
    return true;
}

// ---- Attribute chains ---------------------------------------------------------------------------

inline bool name_equals(const quorvel_attribute* a, const char* name, size_t length) {
    const char* stored = a->name ? a->name : "";
    size_t stored_length = a->name ? a->name_length : 0;
    return stored_length == length && std::memcmp(stored, name, length) == 0;
}

quorvel_attribute* find_in_chain(const quorvel_element* e, const char* name, size_t length) {
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
        if (name_equals(a, name, length)) return a;
    return nullptr;
}

// The attribute of e named name, through the index for wide elements.
// *new_slot receives the index entry a new attribute of that name should
// take, or kNoSlot when it is not to be entered.
quorvel_attribute* attribute_lookup(quorvel_document* doc, quorvel_element* e, const char* name, size_t length,
                                    uint32_t* hash, size_t* new_slot) {
    *new_slot = kNoSlot;
    *hash = 0;
    if (!doc || !((e->eflags & kElemAttrIndexed) || e->attr_count > 8)) return find_in_chain(e, name, length);
    e->eflags |= kElemAttrIndexed;
    if (!doc->attribute_index && !(doc->attribute_index = index_alloc(16))) return find_in_chain(e, name, length);
    if (!ensure_entered(doc, e)) {
        index_drop(doc);
        return find_in_chain(e, name, length);
    }
    uint32_t h = quorvel_fnv1a(name, length);
    if (h == 0) return find_in_chain(e, name, length);
    attr_index* idx = index_of(doc);
    bool saw_removed = false;
    size_t s = slot_of(e, h, idx->capacity);
    for (size_t i = 0; i < idx->capacity; i++, s = (s + 1) & (idx->capacity - 1)) {
        const attr_index_entry& x = idx->entries[s];
        if (entry_empty(x)) {
            // A removed entry of this key may have hidden a same-hash name
            // that was never entered: only the chain can tell.
            if (saw_removed)
                if (quorvel_attribute* a = find_in_chain(e, name, length)) return a;
            *hash = h;
            *new_slot = s;
            return nullptr;
        }
        if (x.element != e || x.hash != h) continue;
        if (!x.attribute) {
            saw_removed = true;
            continue;
        }
        if (name_equals(x.attribute, name, length)) return x.attribute;
        return find_in_chain(e, name, length);  // another name with this hash
    }
    return find_in_chain(e, name, length);
}

uint16_t hash15(const char* name, size_t length) {
    uint32_t h = quorvel_fnv1a(name, length);
    uint32_t x = (h ^ (h >> 16)) * 0x7FEB352Du;
    x = (x ^ (x >> 15)) & 0x7FFF;
    return static_cast<uint16_t>(x ? x : 1);
}

// Writes a 16-bit next link; false (field unchanged) when it cannot be recorded.
bool link16_write(quorvel_attribute* a, const quorvel_attribute* target, quorvel_document* doc) {
    int16_t old = a->next;
    if (quorvel_link16_set(a, &a->next, target, doc)) return true;
    a->next = old;
    return false;
}

inline bool link16_fits(const void* from, const void* to) {
    ptrdiff_t d = quorvel_address_distance(from, to);
    return d != 0 && d % 8 == 0 && d / 8 >= -32767 && d / 8 <= 32767;
}

quorvel_attribute* last_attribute(quorvel_document* doc, const quorvel_element* e) {
    if (doc && doc->last_attr_element == e && doc->last_attr && doc->last_attr->next == 0) return doc->last_attr;
    quorvel_attribute* last = nullptr;
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) last = a;
    return last;
}

quorvel_attribute* attribute_record_take(quorvel_document* doc) {
    if (!doc->attr_next || doc->attr_next == doc->attr_end) {
        if (quorvel_document_grows_in_range(doc)) {
            auto* block = static_cast<char*>(quorvel_pool_alloc(doc->pool, kAttrBlockBytes));
            if (!block) return nullptr;
            auto* first = reinterpret_cast<quorvel_attribute*>(block + 8);
            doc->attr_next = first;
            doc->attr_end = first + 128;
            return doc->attr_next++;
        }
        void* block = tls_recycle_attr;
        if (block) {
            tls_recycle_attr = *static_cast<void**>(block);
            tls_recycle_attr_bytes -= tls_recycle_attr_bytes >= kAttrBlockBytes ? kAttrBlockBytes : tls_recycle_attr_bytes;
            quorvel_unpoison(block, kAttrBlockBytes);
        } else {
            block = std::malloc(kAttrBlockBytes);
        }
        if (!block) return static_cast<quorvel_attribute*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_attribute)));
        *static_cast<void**>(block) = doc->attr_blocks;
        doc->attr_blocks = block;
        auto* first = reinterpret_cast<quorvel_attribute*>(static_cast<char*>(block) + 8);
        doc->attr_next = first;
        doc->attr_end = first + 128;
    }
    return doc->attr_next++;
}

// A namespace record for an attribute whose name has a prefix (the bytes
// before the first colon). False when memory ran out.
[[nodiscard]] bool attach_namespace_record(quorvel_attribute* a, quorvel_element* owner, const char* name, size_t length,
                             quorvel_pool* pool, quorvel_document* doc) {
    const char* colon = static_cast<const char*>(std::memchr(name, ':', length));
    if (!colon) return true;
    auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(pool, sizeof(quorvel_attr_ns)));
    if (!ns) return false;
    std::memset(static_cast<void*>(ns), 0, sizeof *ns);
    ns->prefix = quorvel_pool_strndup(pool, name, static_cast<size_t>(colon - name));
    if (!ns->prefix) return false;
    ns->owner = owner;
    return tree_link_write(a, &a->ns, ns, doc);
}

// Stores a value by the storage rule: NULL as empty, under 8 bytes inline,
// else a copy in the document (never the caller's pointer). False when no
// copy can be made.
bool store_value(quorvel_attribute* a, const char* value, quorvel_document* doc, bool fresh) {
    if (!value) {
        a->value = nullptr;
        a->value_length = 0;
        return true;
    }
    size_t length = std::strlen(value);
    if (length < 8) {
        std::memcpy(a->inline_value, value, length + 1);
        a->value_length = length | kAttrInlineValue;
        return true;
    }
    if (!doc || !doc->pool) return false;
    char* copy = fresh ? mut_str_carve(doc, value, length) : nullptr;
    if (!copy) copy = quorvel_pool_strndup(doc->pool, value, length);
    if (!copy) return false;
    a->value = copy;
    a->value_length = length;
    return true;
}

void attribute_changed(quorvel_element* e, quorvel_document* doc) {
    e->head.flags += kModStep;
    quorvel_document_drop_element_index(doc);
}

quorvel_status set_attribute(quorvel_element* e, const char* name, const char* value) {
    if (!e || !name) return QUORVEL_ERR_NULL_ARGUMENT;
    if (!is_element(e)) return QUORVEL_ERR_INVALID_ARGUMENT;
    quorvel_document* doc = quorvel_element_get_document(e);
    size_t length = std::strlen(name);
    if (tree_name_has_empty_part(name, length)) return QUORVEL_ERR_INVALID_ARGUMENT;
    uint32_t h;
    size_t slot;
    if (quorvel_attribute* a = attribute_lookup(doc, e, name, length, &h, &slot)) {
        quorvel_attribute replaced = *a;
        if (!store_value(a, value, doc, false)) {
            *a = replaced;
            return QUORVEL_ERR_MEMORY;
        }
        a->hash &= static_cast<uint16_t>(~kAttrPendingEntities);
        attribute_changed(e, doc);
        return QUORVEL_OK;
    }

    if (!doc || !doc->pool) return QUORVEL_ERR_MEMORY;
    quorvel_attribute* a = attribute_record_take(doc);
    if (!a) return QUORVEL_ERR_MEMORY;
    std::memset(static_cast<void*>(a), 0, sizeof *a);
    char* stored_name = mut_str_carve(doc, name, length);
    if (!stored_name) stored_name = quorvel_pool_strndup(doc->pool, name, length);
    if (!stored_name || !store_value(a, value, doc, true)) return QUORVEL_ERR_MEMORY;
    a->name = stored_name;
    a->name_length = length;
    a->hash = hash15(name, length);
    if (!attach_namespace_record(a, e, name, length, doc->pool, doc)) return QUORVEL_ERR_MEMORY;

    quorvel_attribute* last = last_attribute(doc, e);
    bool linked = last ? link16_write(last, a, doc) : tree_link_write(e, &e->first_attr, a, doc);
    if (!linked) return QUORVEL_ERR_MEMORY;  // the record stays unused in the document
    doc->last_attr_element = e;
    doc->last_attr = a;
    quorvel_element_attr_count_inc(e);
    if (slot != kNoSlot && doc->attribute_index) attr_index_put(doc, e, h, a, slot);
    attribute_changed(e, doc);
    return QUORVEL_OK;
}

// The index entry that holds a, made a removed entry.
void index_forget(quorvel_document* doc, quorvel_element* e, const quorvel_attribute* a) {
    attr_index* idx = index_of(doc);
    if (!idx || !a->name) return;
    uint32_t h = quorvel_fnv1a(a->name, a->name_length);
    size_t s = slot_of(e, h, idx->capacity);
    for (size_t i = 0; i < idx->capacity; i++, s = (s + 1) & (idx->capacity - 1)) {
        attr_index_entry& x = idx->entries[s];
        if (entry_empty(x)) return;
        if (x.element == e && x.hash == h && (x.attribute || h == 0)) {
            if (x.attribute == a) x.attribute = nullptr;
            return;
        }
    }
}

// Where a namespace binding for prefix (NULL or "": the default namespace)
// is found from e upwards, counting e's declaration attributes too.
bool declaration_matches(const char* prefix, const char* wanted) {
    bool default_wanted = !wanted || !*wanted;
    bool is_default = !prefix || !*prefix;
    if (default_wanted || is_default) return default_wanted && is_default;
    return std::strcmp(prefix, wanted) == 0;
}

}  // namespace

void attr_index_forget_element(quorvel_document* doc, quorvel_element* e) {
    if (!doc || !e) return;
    if (attr_index* idx = index_of(doc)) {
        for (size_t i = 0; i < idx->capacity; i++) {
            attr_index_entry& x = idx->entries[i];
            if (x.element == e && x.hash != 0) x.attribute = nullptr;
        }
    }
    if (doc->last_attr_element == e) {
        doc->last_attr_element = nullptr;
        doc->last_attr = nullptr;
    }
    // Every attribute of e went: the element index holds them no longer.
    quorvel_document_drop_element_index(doc);
}

bool quorvel_element_add_attribute(quorvel_element* e, const char* name, size_t name_length, const char* value,
                                   size_t value_length, quorvel_pool* pool) {
    if (!e || !name || !name_length || !pool) return false;
    auto* a = static_cast<quorvel_attribute*>(quorvel_pool_alloc(pool, sizeof(quorvel_attribute)));
    if (!a) return false;
    std::memset(static_cast<void*>(a), 0, sizeof *a);
    quorvel_string_view name_view{name, name_length};
    char* stored_name = quorvel_sv_to_cstr_pooled(&name_view, pool);
    if (!stored_name) return false;
    a->name = stored_name;
    a->name_length = name_length;
    a->hash = hash15(name, name_length);
    if (!value) value_length = 0;
    if (char* copy = quorvel_pool_strndup(pool, value ? value : "", value_length)) {
        a->value = copy;
        a->value_length = value_length;
        if (std::memchr(copy, '&', value_length)) {
            quorvel_string_view view{copy, value_length};
            if (char* decoded = quorvel_decode_entities_view(&view, pool)) {
                a->value = decoded;
                a->value_length = std::strlen(decoded);
            } else {
                a->hash |= kAttrPendingEntities;  // readers try again later
            }
        }
    } else {
        return false;
    }
    // Links are tied to the element's document when they overflow; finding
    // it costs a walk, so only then.
    quorvel_attribute* last = nullptr;
    for (quorvel_attribute* x = quorvel_elem_first_attr(e); x; x = quorvel_attr_next(x)) last = x;
    bool fits = last ? link16_fits(last, a) : quorvel_link_fits(e, a);
    quorvel_document* doc = fits ? nullptr : quorvel_element_get_document(e);
    if (std::memchr(name, ':', name_length) && !attach_namespace_record(a, e, stored_name, name_length, pool, doc))
        return false;
    bool linked = last ? link16_write(last, a, doc) : tree_link_write(e, &e->first_attr, a, doc);
    if (linked) quorvel_element_attr_count_inc(e);
    return linked;
}

extern "C" {

QUORVEL_API quorvel_status quorvel_element_set_attribute(quorvel_element* element, const char* name,
                                                         const char* value) {
    return set_attribute(element, name, value);
}

QUORVEL_API quorvel_status quorvel_element_set_attribute_int(quorvel_element* element, const char* name, int value) {
    if (!element || !name) return QUORVEL_ERR_NULL_ARGUMENT;
    char text[32];
    std::snprintf(text, sizeof text, "%d", value);
    return set_attribute(element, name, text);
}

QUORVEL_API quorvel_status quorvel_element_set_attribute_uint(quorvel_element* element, const char* name,
                                                              unsigned int value) {
    if (!element || !name) return QUORVEL_ERR_NULL_ARGUMENT;
    char text[32];
    std::snprintf(text, sizeof text, "%u", value);
    return set_attribute(element, name, text);
}

QUORVEL_API quorvel_status quorvel_element_set_attribute_double(quorvel_element* element, const char* name,
                                                                double value) {
    if (!element || !name) return QUORVEL_ERR_NULL_ARGUMENT;
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return set_attribute(element, name, text);
}

QUORVEL_API quorvel_status quorvel_element_set_attribute_float(quorvel_element* element, const char* name,
                                                               float value) {
    if (!element || !name) return QUORVEL_ERR_NULL_ARGUMENT;
    // Nine significant digits are what it takes for every float to read
    // back as the same float.
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return set_attribute(element, name, text);
}

QUORVEL_API quorvel_status quorvel_element_set_attribute_bool(quorvel_element* element, const char* name, int value) {
    if (!element || !name) return QUORVEL_ERR_NULL_ARGUMENT;
    return set_attribute(element, name, value ? "true" : "false");
}

QUORVEL_API quorvel_status quorvel_element_remove_attribute(quorvel_element* element, const char* name) {
    if (!element || !name) return QUORVEL_ERR_NULL_ARGUMENT;
    if (!is_element(element)) return QUORVEL_ERR_INVALID_ARGUMENT;
    size_t length = std::strlen(name);
    quorvel_attribute* prev = nullptr;
    quorvel_attribute* a = quorvel_elem_first_attr(element);
    while (a && !name_equals(a, name, length)) {
        prev = a;
        a = quorvel_attr_next(a);
    }
    if (!a) return QUORVEL_ERR_NOT_FOUND;
    quorvel_document* doc = quorvel_element_get_document(element);
    quorvel_attribute* next = quorvel_attr_next(a);
    bool ok = prev ? link16_write(prev, next, doc) : tree_link_write(element, &element->first_attr, next, doc);
    if (!ok) return QUORVEL_ERR_MEMORY;
    if (doc) {
        if (doc->last_attr_element == element && doc->last_attr == a) {
            doc->last_attr_element = nullptr;
            doc->last_attr = nullptr;
        }
        index_forget(doc, element, a);
    }
    quorvel_element_attr_count_dec(element);
    attribute_changed(element, doc);
    return QUORVEL_OK;
}

QUORVEL_API quorvel_element* quorvel_element_new_with_attributes(quorvel_document* doc, const char* name,
                                                                 const char* const* names,
                                                                 const char* const* values, size_t count) {
    quorvel_element* e = quorvel_element_create(doc, name);
    if (!e) return nullptr;
    if (count == 0) return e;
    if (!names) return nullptr;
    for (size_t i = 0; i < count; i++) {
        if (!names[i]) return nullptr;
        const char* value = values && values[i] ? values[i] : "";
        if (set_attribute(e, names[i], value) != QUORVEL_OK) return nullptr;
    }
    return e;
}

QUORVEL_API quorvel_status quorvel_element_set_name(quorvel_element* element, const char* name) {
    if (!element) return QUORVEL_ERR_NULL_ARGUMENT;
    if (!name || !is_element(element)) return QUORVEL_ERR_INVALID_ARGUMENT;
    quorvel_document* doc = quorvel_element_get_document(element);
    // The new name must live somewhere the element's document frees.
    if (!doc || !doc->pool) return QUORVEL_ERR_INVALID_ARGUMENT;
    size_t length = std::strlen(name);
    if (tree_name_has_empty_part(name, length)) return QUORVEL_ERR_INVALID_ARGUMENT;
    const char* colon = static_cast<const char*>(std::memchr(name, ':', length));
    bool split = colon && colon != name;
    bool ok = split ? tree_set_element_name(element, doc, colon + 1, length - static_cast<size_t>(colon - name) - 1,
                                            name, static_cast<size_t>(colon - name), true)
                    : tree_set_element_name(element, doc, name, length, nullptr, 0, false);
    if (!ok) return QUORVEL_ERR_MEMORY;
    quorvel_element_namespace_cache_clear(element);
    attribute_changed(element, doc);
    return QUORVEL_OK;
}

QUORVEL_API quorvel_status quorvel_element_set_namespace(quorvel_element* element, const char* uri) {
    if (!element) return QUORVEL_ERR_NULL_ARGUMENT;
    if (!is_element(element)) return QUORVEL_ERR_INVALID_ARGUMENT;
    quorvel_document* doc = quorvel_element_get_document(element);
    if (!doc || !doc->pool) return QUORVEL_ERR_INVALID_ARGUMENT;

    if (uri && *uri) {
        const char* prefix = nullptr;
        for (const quorvel_element* n = element; n && !prefix;
             n = static_cast<const quorvel_element*>(quorvel_link_get(n, &n->parent))) {
            const char *p, *u;
            for (size_t i = 0; element_namespace_decl_at(n, i, &p, &u); i++) {
                // A prefix that a nearer declaration binds elsewhere would
                // not name this namespace here.
                if (p && *p && u && std::strcmp(u, uri) == 0) {
                    const char* here = quorvel_element_lookup_namespace(element, p);
                    if (here && std::strcmp(here, uri) == 0) {
                        prefix = p;
                        break;
                    }
                }
            }
        }
        if (!prefix) return QUORVEL_ERR_NOT_FOUND;
        char* prefix_copy = quorvel_pool_strdup(doc->pool, prefix);
        char* uri_copy = quorvel_pool_strdup(doc->pool, uri);
        quorvel_element_ext* ext = prefix_copy && uri_copy ? tree_ext(element, doc) : nullptr;
        if (!ext) return QUORVEL_ERR_MEMORY;
        ext->prefix = prefix_copy;
        ext->ns_uri = uri_copy;
        element->head.flags += kModStep;
        return QUORVEL_OK;
    }

    quorvel_element_ext* ext = tree_ext(element, doc);
    if (!ext) return QUORVEL_ERR_MEMORY;
    // The nearest default-namespace binding decides: a real URI must be
    // undeclared here; an undeclaration already in force needs nothing more.
    quorvel_ns_decl* own_default = nullptr;
    for (quorvel_ns_decl* d = ext->ns_decls; d; d = d->next)
        if (!d->prefix || !*d->prefix) {
            own_default = d;
            break;
        }
    bool default_in_force = false;
    if (own_default) {
        default_in_force = own_default->uri && *own_default->uri;
    } else {
        const char* bound = nullptr;
        bool found = false;
        for (const quorvel_element* n = element; n && !found;
             n = static_cast<const quorvel_element*>(quorvel_link_get(n, &n->parent))) {
            const char *p, *u;
            for (size_t i = 0; element_namespace_decl_at(n, i, &p, &u); i++) {
                if (declaration_matches(p, nullptr)) {
                    bound = u;
                    found = true;
                    break;
                }
            }
        }
        default_in_force = bound && *bound;
    }
    if (default_in_force) {
        if (own_default) {
            // Undeclaring it here, next to the declaration, would give the
            // element two default declarations; the declaration itself goes.
            char* empty = quorvel_pool_strdup(doc->pool, "");
            if (!empty) return QUORVEL_ERR_MEMORY;
            own_default->uri = empty;
            quorvel_namespace_cache_clear_subtree(element);
        } else if (quorvel_status st = quorvel_element_add_namespace_definition(element, nullptr, "");
                   st != QUORVEL_OK) {
            return st;
        }
    }
    ext->prefix = nullptr;
    ext->ns_uri = nullptr;
    element->head.flags += kModStep;
    return QUORVEL_OK;
}

}  // extern "C"
