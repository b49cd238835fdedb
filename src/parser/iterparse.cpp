// Iterparse: real elements built from pull events, each handed out at its
// end tag. Mode 0 skips the root element and builds every child of it, with
// its subtree, into a short-lived document placed in one reusable arena, so
// memory stays bounded by the largest child; mode 1 builds one whole
// document. Records are laid out as the document parser lays them out
// (namespace declarations in the extension record's list, never as
// attributes) and each element stores its document's address in front of
// its name, so finding an element's document needs no registry lookup.
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "parser/parser.h"

namespace {

constexpr size_t kArenaStart = 16384;
constexpr size_t kTreePageSize = 64 * 1024;
constexpr size_t kPrefixMax = 127;
constexpr int kStackSize = kSaxMaxDepth + 1;

struct ip_open {
    quorvel_element* element;  // NULL for the skipped root
    quorvel_node* last_child;
};

// A namespace binding of an open start tag. Bindings come and go with their
// elements, last in first out, so they live in two stacks: entries and
// their string bytes.
// A prefix map (open addressing, slot: binding index + 1) finds the newest
// binding of a prefix; each binding links to the one it hides, so ending a
// binding restores the map in constant time.
struct ip_binding {
    size_t prefix;      // offset of the NUL-terminated prefix ("" = default) in the byte stack
    size_t uri;         // offset of the NUL-terminated URI
    size_t prefix_length;
    uint64_t hash;      // of the prefix
    size_t hides;       // index + 1 of the older binding of the same prefix, 0 = none
    int32_t depth;      // depth of the declaring element + 1
    int32_t redeclared; // depth + 1 of the built element that re-declared it, 0 = none
    uint8_t hidden;     // scratch of the in-scope listing
};

template <typename T>
bool reserve(T*& data, size_t& capacity, size_t need, size_t first) {
    return stream_reserve(data, capacity, need, first);
}

}  // namespace

struct quorvel_iterparse {
    quorvel_pull* pull;
    quorvel_document* child_doc;  // mode 0: the document of the child being built
    quorvel_document* tree_doc;   // mode 1
    quorvel_arena* arena;         // mode 0 child documents live here
    int32_t depth;
    int32_t mode;
    int32_t keep_first;
    int32_t done;
    char* text;
    size_t text_length;
    size_t text_capacity;
    quorvel_element* pending;  // returned by the previous call
    int32_t pending_depth;
    char* error;

    ip_binding* bindings;
    size_t binding_count;
    size_t binding_capacity;
    char* binding_bytes;
    size_t binding_bytes_length;
    size_t binding_bytes_capacity;

    size_t* prefix_slots;  // the prefix map, a power of two in size
    size_t prefix_slot_count;
    size_t prefix_used;
    size_t* redeclared;    // indices of bindings marked redeclared, in depth order
    size_t redeclared_count;
    size_t redeclared_capacity;

    // The bindings in scope at the returned element's end tag, innermost
    // first, one per prefix: listed on first use from the entries below
    // record_scope, which stay in place until the next call.
    size_t record_scope;
    int32_t records_ready;
    size_t* records;  // binding indices
    size_t record_count;
    size_t record_capacity;

    ip_open stack[kStackSize];
};

namespace {

void set_error(quorvel_iterparse* it, const char* message) {
    if (it->error) return;
    if (!message) message = "parse error";
    size_t n = std::strlen(message) + 1;
    if ((it->error = static_cast<char*>(quorvel_work_alloc(n)))) std::memcpy(it->error, message, n);
}

// Stops the iteration: a build step ran out of memory.
void out_of_memory(quorvel_iterparse* it) {
    set_error(it, "out of memory");
    it->done = 1;
}

// ---- Documents ------------------------------------------------------------------------------


quorvel_document* make_child_document(quorvel_iterparse* it) {
    if (!it->arena) return quorvel_document_create();
    quorvel_pool* pool = quorvel_pool_create_arena_backed(it->arena, 0);
    return pool ? quorvel_document_place(pool) : nullptr;
}

// Mode 1 grows one document without bound: pages, not one arena.
quorvel_document* make_tree_document() {
    quorvel_pool* pool = quorvel_pool_create_with_page_size(kTreePageSize);
    return pool ? quorvel_document_place(pool) : nullptr;
}

// After a mode-0 child: its document goes, and the arena is emptied, or
// doubled when the child filled more than three quarters of it.
void recycle_child(quorvel_iterparse* it) {
    quorvel_document_free(it->child_doc);
    it->child_doc = nullptr;
    quorvel_arena* a = it->arena;
    if (!a) return;
    if (a->exhausted || a->capacity - a->used < a->capacity / 4) {
        size_t capacity = a->capacity * 2;
        quorvel_arena_destroy(a);
        it->arena = quorvel_arena_create(capacity);
        if (!it->arena) it->arena = quorvel_arena_create(kArenaStart);
    } else {
        a->used = 0;
        a->exhausted = 0;
    }
}

// ---- Records ------------------------------------------------------------------------------------

char* pool_copy(quorvel_pool* pool, const char* s, size_t n) {
    auto* c = static_cast<char*>(quorvel_pool_alloc(pool, n + 1));
    if (!c) return nullptr;
    std::memcpy(c, s, n);
    c[n] = '\0';
    return c;
}

quorvel_element_ext* ensure_ext(quorvel_element* e, quorvel_document* doc) {
    if (auto* ext = quorvel_elem_ext(e)) return ext;
    auto* ext = static_cast<quorvel_element_ext*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_element_ext)));
    if (!ext) return nullptr;
    // Every byte: text_copy sits where padding would be expected.
    *ext = quorvel_element_ext{};
    if (!quorvel_link_set(e, &e->ext, ext, doc)) return nullptr;
    return ext;
}

// A detached element named by a qualified name, split at its last colon as
// the document parser splits names; the document's address is stored in
// front of the local name.
quorvel_element* make_element(quorvel_document* doc, const char* qname) {
    size_t n = std::strlen(qname);
    const char* colon = static_cast<const char*>(memrchr(qname, ':', n));
    const char* local = qname;
    size_t prefix_length = 0;
    if (colon && colon > qname && colon + 1 < qname + n) {
        local = colon + 1;
        prefix_length = static_cast<size_t>(colon - qname);
    }
    size_t local_length = n - static_cast<size_t>(local - qname);
    auto* e = static_cast<quorvel_element*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_element)));
    auto* entry = static_cast<char*>(quorvel_pool_alloc(doc->pool, sizeof(void*) + local_length + 1));
    if (!e || !entry) return nullptr;
    std::memset(e, 0, sizeof *e);
    std::memcpy(entry, &doc, sizeof(void*));
    char* name = entry + sizeof(void*);
    std::memcpy(name, local, local_length);
    name[local_length] = '\0';
    if (!quorvel_link_set(e, &e->name, name, doc)) return nullptr;
    e->eflags = kElemDocAddress;
    e->name_hash = quorvel_name_hash16(name, local_length);
    e->name_length = static_cast<uint8_t>(local_length < 255 ? local_length : 255);
    if (prefix_length) {
        quorvel_element_ext* ext = ensure_ext(e, doc);
        if (!ext) return nullptr;
        ext->prefix = pool_copy(doc->pool, qname, prefix_length < kPrefixMax ? prefix_length : kPrefixMax);
        if (!ext->prefix) return nullptr;
    }
    return e;
}

bool declare(quorvel_element* e, quorvel_document* doc, quorvel_ns_decl**& tail, const char* prefix,
             const char* uri) {
    quorvel_element_ext* ext = ensure_ext(e, doc);
    if (!ext) return false;
    auto* d = static_cast<quorvel_ns_decl*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_ns_decl)));
    if (!d) return false;
    d->prefix = *prefix ? pool_copy(doc->pool, prefix, std::strlen(prefix)) : nullptr;
    d->uri = pool_copy(doc->pool, uri, std::strlen(uri));
    d->next = nullptr;
    if ((*prefix && !d->prefix) || !d->uri) return false;
    if (!tail) {
        tail = &ext->ns_decls;
        while (*tail) tail = &(*tail)->next;
    }
    *tail = d;
    tail = &d->next;
    doc->namespaces_in_use = 1;
    return true;
}

bool add_attribute(quorvel_element* e, quorvel_document* doc, quorvel_attribute*& last, const char* name,
                   const char* value) {
    size_t name_length = std::strlen(name);
    size_t value_length = std::strlen(value);
    auto* a = static_cast<quorvel_attribute*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_attribute)));
    auto* bytes = static_cast<char*>(quorvel_pool_alloc(doc->pool, name_length + value_length + 2));
    if (!a || !bytes) return false;
    std::memcpy(bytes, name, name_length + 1);
    std::memcpy(bytes + name_length + 1, value, value_length + 1);
    std::memset(a, 0, sizeof *a);
    a->name = bytes;
    a->name_length = name_length;
    a->value = bytes + name_length + 1;
    a->value_length = value_length;
    if (const char* colon = static_cast<const char*>(memrchr(bytes, ':', name_length))) {
        auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_attr_ns)));
        if (!ns) return false;
        std::memset(ns, 0, sizeof *ns);
        ns->prefix = pool_copy(doc->pool, bytes, static_cast<size_t>(colon - bytes));
        ns->owner = e;
        if (!ns->prefix || !quorvel_link_set(a, &a->ns, ns, doc)) return false;
    }
    bool linked = last ? quorvel_link16_set(last, &last->next, a, doc) : quorvel_link_set(e, &e->first_attr, a, doc);
    if (!linked) return false;
    last = a;
    quorvel_element_attr_count_inc(e);
    return true;
}

bool append_child(ip_open& parent, quorvel_node* child, quorvel_document* doc) {
    if (!quorvel_link_set(child, quorvel_node_parent_field(child), parent.element, doc)) return false;
    bool linked = parent.last_child
                      ? quorvel_link_set(parent.last_child, quorvel_node_sibling_field(parent.last_child), child, doc)
                      : quorvel_link_set(parent.element, &parent.element->first_child, child, doc);
    if (!linked) return false;
    parent.last_child = child;
    if (child->kind == QUORVEL_NODE_ELEMENT) quorvel_element_child_count_inc(parent.element);
    return true;
}

// ---- Namespace bindings -------------------------------------------------------------------------------

const char* binding_prefix(const quorvel_iterparse* it, const ip_binding& b) { return it->binding_bytes + b.prefix; }
const char* binding_uri(const quorvel_iterparse* it, const ip_binding& b) { return it->binding_bytes + b.uri; }

// The map slot of a prefix: the one holding its newest binding, or the
// empty slot where it would go.
size_t prefix_slot(const quorvel_iterparse* it, const char* prefix, size_t n, uint64_t hash) {
    size_t mask = it->prefix_slot_count - 1;
    for (size_t k = static_cast<size_t>(hash) & mask;; k = (k + 1) & mask) {
        size_t at = it->prefix_slots[k];
        if (!at) return k;
        const ip_binding& b = it->bindings[at - 1];
        if (b.hash == hash && b.prefix_length == n && std::memcmp(binding_prefix(it, b), prefix, n) == 0) return k;
    }
}

// Room for one more prefix: the map is rebuilt at twice the size when it
// would be more than half full.
bool prefix_map_reserve(quorvel_iterparse* it) {
    if ((it->prefix_used + 1) * 2 <= it->prefix_slot_count) return true;
    size_t count = it->prefix_slot_count ? it->prefix_slot_count * 2 : 32;
    auto* fresh = static_cast<size_t*>(quorvel_work_calloc(count * sizeof(size_t)));
    if (!fresh) return false;
    quorvel_work_free(it->prefix_slots);
    it->prefix_slots = fresh;
    it->prefix_slot_count = count;
    // Oldest first: each prefix ends up with its newest binding.
    for (size_t i = 0; i < it->binding_count; i++) {
        const ip_binding& b = it->bindings[i];
        it->prefix_slots[prefix_slot(it, binding_prefix(it, b), b.prefix_length, b.hash)] = i + 1;
    }
    return true;
}

bool push_binding(quorvel_iterparse* it, const char* prefix, const char* uri) {
    if (!prefix) prefix = "";
    if (!uri) uri = "";
    size_t pn = std::strlen(prefix), un = std::strlen(uri);
    if (!reserve(it->bindings, it->binding_capacity, it->binding_count + 1, 16) ||
        !reserve(it->binding_bytes, it->binding_bytes_capacity, it->binding_bytes_length + pn + un + 2, 256) ||
        !prefix_map_reserve(it))
        return false;
    size_t index = it->binding_count++;
    ip_binding& b = it->bindings[index];
    b.prefix = it->binding_bytes_length;
    std::memcpy(it->binding_bytes + b.prefix, prefix, pn + 1);
    b.uri = b.prefix + pn + 1;
    std::memcpy(it->binding_bytes + b.uri, uri, un + 1);
    it->binding_bytes_length = b.uri + un + 1;
    b.prefix_length = pn;
    b.hash = stream_name_hash(prefix, pn);
    b.depth = it->depth + 1;
    b.redeclared = 0;
    b.hidden = 0;
    size_t k = prefix_slot(it, prefix, pn, b.hash);
    b.hides = it->prefix_slots[k];
    if (!b.hides) it->prefix_used++;
    it->prefix_slots[k] = index + 1;
    return true;
}

// Empties slot k of the map, moving later entries of its probe run back.
void prefix_map_erase(quorvel_iterparse* it, size_t k) {
    size_t mask = it->prefix_slot_count - 1;
    for (size_t j = (k + 1) & mask; it->prefix_slots[j]; j = (j + 1) & mask) {
        size_t home = static_cast<size_t>(it->bindings[it->prefix_slots[j] - 1].hash) & mask;
        // The entry at j may fill the hole at k unless its home lies in (k, j].
        bool stays = k <= j ? (home > k && home <= j) : (home > k || home <= j);
        if (stays) continue;
        it->prefix_slots[k] = it->prefix_slots[j];
        k = j;
    }
    it->prefix_slots[k] = 0;
    it->prefix_used--;
}

// Bindings of elements at depth `old_depth` - 1 or deeper end.
void pop_bindings(quorvel_iterparse* it, int32_t old_depth) {
    while (it->redeclared_count && it->bindings[it->redeclared[it->redeclared_count - 1]].redeclared >= old_depth)
        it->bindings[it->redeclared[--it->redeclared_count]].redeclared = 0;
    while (it->binding_count && it->bindings[it->binding_count - 1].depth >= old_depth) {
        it->binding_count--;
        const ip_binding& b = it->bindings[it->binding_count];
        size_t k = prefix_slot(it, binding_prefix(it, b), b.prefix_length, b.hash);
        if (b.hides)
            it->prefix_slots[k] = b.hides;
        else
            prefix_map_erase(it, k);
        it->binding_bytes_length = b.prefix;
    }
}

ip_binding* newest_binding(quorvel_iterparse* it, const char* prefix, size_t n) {
    if (!it->prefix_slot_count) return nullptr;
    size_t at = it->prefix_slots[prefix_slot(it, prefix, n, stream_name_hash(prefix, n))];
    return at ? &it->bindings[at - 1] : nullptr;
}

// The element's own declarations, and the bindings it uses (its prefix, or
// the default namespace, and its attributes' prefixes) that were declared
// outside the tree being built, each declared once: a returned element
// must read and serialize the same on its own.
bool declare_namespaces(quorvel_iterparse* it, quorvel_element* e, quorvel_document* doc, const quorvel_pull_event* ev) {
    quorvel_ns_decl** tail = nullptr;
    int32_t own = it->depth + 1;
    // The element's own bindings are the newest, at the top of the stack.
    size_t first = it->binding_count;
    while (first && it->bindings[first - 1].depth == own) first--;
    for (size_t i = first; i < it->binding_count; i++) {
        const ip_binding& b = it->bindings[i];
        if (!declare(e, doc, tail, binding_prefix(it, b), binding_uri(it, b))) return false;
    }
    // Built trees start at depth 0 in mode 1 and at depth 1 in mode 0.
    int32_t outside = it->mode == 1 ? 0 : 1;
    if (outside == 0) return true;
    auto needs = [&](const char* prefix, size_t n) -> bool {
        ip_binding* b = newest_binding(it, prefix, n);
        if (!b || b->depth > outside || b->redeclared) return true;
        if (!*binding_uri(it, *b) && n == 0) return true;  // undeclared default: nothing to carry
        if (!reserve(it->redeclared, it->redeclared_capacity, it->redeclared_count + 1, 16)) return false;
        it->redeclared[it->redeclared_count++] = static_cast<size_t>(b - it->bindings);
        b->redeclared = own;
        return declare(e, doc, tail, binding_prefix(it, *b), binding_uri(it, *b));
    };
    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    const char* prefix = ext && ext->prefix ? ext->prefix : "";
    if (!needs(prefix, std::strlen(prefix))) return false;
    for (size_t i = 0; i < ev->attribute_count; i++) {
        const char* name = ev->attributes[2 * i];
        const char* colon = std::strrchr(name, ':');
        if (!colon || colon == name) continue;
        size_t n = static_cast<size_t>(colon - name);
        if ((n == 5 && std::memcmp(name, "xmlns", 5) == 0) || (n == 3 && std::memcmp(name, "xml", 3) == 0)) continue;
        if (!needs(name, n)) return false;
    }
    return true;
}

inline bool is_declaration(const char* name) {
    return std::strncmp(name, "xmlns", 5) == 0 && (name[5] == '\0' || (name[5] == ':' && name[6] != '\0'));
}

// The bindings in scope at the returned element's end tag, innermost
// first, one per prefix: a binding hidden by a newer one in scope is left
// out. Linear in the bindings in scope.
bool list_records(quorvel_iterparse* it) {
    if (it->records_ready) return true;
    size_t scope = it->record_scope;
    if (!reserve(it->records, it->record_capacity, scope, 8)) return false;
    for (size_t i = 0; i < scope; i++) it->bindings[i].hidden = 0;
    for (size_t i = 0; i < scope; i++)
        if (it->bindings[i].hides) it->bindings[it->bindings[i].hides - 1].hidden = 1;
    it->record_count = 0;
    for (size_t i = scope; i-- > 0;)
        if (!it->bindings[i].hidden) it->records[it->record_count++] = i;
    it->records_ready = 1;
    return true;
}

void drop_records(quorvel_iterparse* it) {
    it->record_scope = 0;
    it->record_count = 0;
    it->records_ready = 1;
}

// ---- Events -----------------------------------------------------------------------------------

quorvel_document* build_document(const quorvel_iterparse* it) {
    return it->mode == 1 ? it->tree_doc : it->child_doc;
}

bool flush_text(quorvel_iterparse* it) {
    size_t n = it->text_length;
    it->text_length = 0;
    if (!n || it->depth == 0) return true;
    quorvel_document* doc = build_document(it);
    ip_open& parent = it->stack[it->depth - 1];
    if (!doc || !parent.element) return true;  // the skipped root's own text
    quorvel_text* t = quorvel_text_create(it->text, n, doc->pool, doc);
    return t && append_child(parent, &t->head, doc);
}

bool append_text(quorvel_iterparse* it, const char* s, size_t n) {
    if (!reserve(it->text, it->text_capacity, it->text_length + n + 1, 128)) return false;
    std::memcpy(it->text + it->text_length, s, n);
    it->text_length += n;
    return true;
}

void start_element(quorvel_iterparse* it, const quorvel_pull_event* ev) {
    if (!flush_text(it)) return out_of_memory(it);
    if (it->depth == 0 && it->mode != 1) {
        it->stack[0] = ip_open{nullptr, nullptr};
        it->depth = 1;
        return;
    }
    if (it->depth >= kStackSize) return out_of_memory(it);  // the SAX parser stops well before
    quorvel_document* doc;
    if (it->mode == 1) {
        if (!it->tree_doc && !(it->tree_doc = make_tree_document())) return out_of_memory(it);
        doc = it->tree_doc;
    } else {
        if (it->depth == 1 && !it->child_doc && !(it->child_doc = make_child_document(it))) return out_of_memory(it);
        doc = it->child_doc;
    }
    quorvel_element* e = make_element(doc, ev->name);
    if (!e || !declare_namespaces(it, e, doc, ev)) return out_of_memory(it);
    quorvel_attribute* last = nullptr;
    for (size_t i = 0; i < ev->attribute_count; i++) {
        const char* name = ev->attributes[2 * i];
        const char* value = ev->attributes[2 * i + 1];
        if (!name || is_declaration(name)) continue;
        if (it->keep_first) {
            bool repeated = false;
            for (size_t j = 0; j < i && !repeated; j++) repeated = std::strcmp(ev->attributes[2 * j], name) == 0;
            if (repeated) continue;
        }
        if (!add_attribute(e, doc, last, name, value ? value : "")) return out_of_memory(it);
    }
    bool top = it->depth == (it->mode == 1 ? 0 : 1);
    if (top) {
        doc->root = e;
        doc->secondary_root = e;
    } else if (!append_child(it->stack[it->depth - 1], &e->head, doc)) {
        return out_of_memory(it);
    }
    it->stack[it->depth] = ip_open{e, nullptr};
    it->depth++;
}

// The element to return, or NULL to go on.
quorvel_element* end_element(quorvel_iterparse* it) {
    if (!flush_text(it)) {
        out_of_memory(it);
        return nullptr;
    }
    if (it->depth == 0) return nullptr;
    int32_t old_depth = it->depth;
    quorvel_element* e = it->stack[old_depth - 1].element;
    bool wanted = e && (it->mode == 1 || old_depth == 2);
    if (wanted) {
        it->record_scope = it->binding_count;
        it->records_ready = 0;
    }
    it->depth--;
    pop_bindings(it, old_depth);
    if (!wanted) return nullptr;
    it->pending = e;
    it->pending_depth = old_depth;
    return e;
}

}  // namespace

extern "C" {

QUORVEL_API quorvel_iterparse* quorvel_iterparse_new_ex_flags(const char* text, size_t length, int mode,
                                                              int skip_flags) {
    if (!text || length == 0) return nullptr;
    auto* it = static_cast<quorvel_iterparse*>(quorvel_work_calloc(sizeof(quorvel_iterparse)));
    if (!it) return nullptr;
    it->pull = quorvel_pull_new_flags(text, length, skip_flags);
    if (!it->pull) {
        quorvel_work_free(it);
        return nullptr;
    }
    it->mode = mode;
    it->keep_first = (skip_flags & 0x08) != 0;
    it->arena = quorvel_arena_create(kArenaStart);
    return it;
}

QUORVEL_API quorvel_iterparse* quorvel_iterparse_new_ex(const char* text, size_t length, int mode) {
    return quorvel_iterparse_new_ex_flags(text, length, mode, 0);
}

QUORVEL_API quorvel_iterparse* quorvel_iterparse_new(const char* text, size_t length) {
    return quorvel_iterparse_new_ex(text, length, 0);
}

QUORVEL_API quorvel_iterparse* quorvel_iterparse_new_file_ex_flags(const char* path, int mode, int skip_flags) {
    if (!path || !*path) return nullptr;
    auto* it = static_cast<quorvel_iterparse*>(quorvel_work_calloc(sizeof(quorvel_iterparse)));
    if (!it) return nullptr;
    it->pull = quorvel_pull_new_file_flags(path, skip_flags);
    if (!it->pull) {
        quorvel_work_free(it);
        return nullptr;
    }
    it->mode = mode;
    it->keep_first = (skip_flags & 0x08) != 0;
    it->arena = quorvel_arena_create(kArenaStart);
    return it;
}

QUORVEL_API quorvel_iterparse* quorvel_iterparse_new_file_ex(const char* path, int mode) {
    return quorvel_iterparse_new_file_ex_flags(path, mode, 0);
}

QUORVEL_API quorvel_iterparse* quorvel_iterparse_new_file(const char* path) {
    return quorvel_iterparse_new_file_ex(path, 0);
}

QUORVEL_API quorvel_element* quorvel_iterparse_next(quorvel_iterparse* it) {
    if (!it || it->done) return nullptr;
    if (it->mode != 0 && it->mode != 1) {
        set_error(it, "unsupported iterparse mode");
        it->done = 1;
        return nullptr;
    }
    // The bindings listed for the previous element are about to be reused.
    drop_records(it);
    if (it->pending) {
        int32_t depth = it->pending_depth;
        it->pending = nullptr;
        if (it->mode == 0 && depth <= 2) {
            recycle_child(it);
            it->depth = 1;
        }
    }
    while (quorvel_pull_event* ev = quorvel_pull_next(it->pull)) {
        switch (ev->kind) {
            case QUORVEL_PULL_START_ELEMENT: start_element(it, ev); break;
            case QUORVEL_PULL_END_ELEMENT:
                if (quorvel_element* e = end_element(it)) return e;
                break;
            case QUORVEL_PULL_CHARACTERS:
            case QUORVEL_PULL_CDATA:
                if (!append_text(it, ev->text, ev->text_length)) out_of_memory(it);
                break;
            case QUORVEL_PULL_START_PREFIX_MAPPING:
                if (!push_binding(it, ev->name, ev->text)) out_of_memory(it);
                break;
            case QUORVEL_PULL_ERROR:
                set_error(it, ev->text);
                it->done = 1;
                return nullptr;
            case QUORVEL_PULL_END_DOCUMENT:
                it->done = 1;
                if (it->depth != 0) set_error(it, "truncated XML document");
                return nullptr;
            case QUORVEL_PULL_END_PREFIX_MAPPING: break;
            default:
                if (!flush_text(it)) out_of_memory(it);
                break;
        }
        if (it->done) return nullptr;
    }
    it->done = 1;
    if (it->depth != 0) set_error(it, "truncated XML document");
    return nullptr;
}

// The listing is made on first use: a caller that never asks pays nothing
// per element (the const in the signature is the caller's view).
QUORVEL_API size_t quorvel_iterparse_ns_count(const quorvel_iterparse* it) {
    if (!it) return 0;
    auto* self = const_cast<quorvel_iterparse*>(it);
    if (!list_records(self)) {
        set_error(self, "out of memory");
        return 0;
    }
    return it->record_count;
}

QUORVEL_API const char* quorvel_iterparse_ns_uri(const quorvel_iterparse* it, const char* prefix) {
    if (!it) return nullptr;
    if (!prefix) prefix = "";
    auto* self = const_cast<quorvel_iterparse*>(it);
    if (!list_records(self)) {
        set_error(self, "out of memory");
        return nullptr;
    }
    for (size_t i = 0; i < it->record_count; i++) {
        const ip_binding& b = it->bindings[it->records[i]];
        if (std::strcmp(binding_prefix(it, b), prefix) == 0) return binding_uri(it, b);
    }
    return nullptr;
}

QUORVEL_API const char* quorvel_iterparse_error(const quorvel_iterparse* it) { return it ? it->error : nullptr; }

QUORVEL_API void quorvel_iterparse_free(quorvel_iterparse* it) {
    if (!it) return;
    quorvel_pull_free(it->pull);
    quorvel_document_free(it->child_doc);
    quorvel_document_free(it->tree_doc);
    quorvel_arena_destroy(it->arena);
    quorvel_work_free(it->text);
    quorvel_work_free(it->error);
    quorvel_work_free(it->bindings);
    quorvel_work_free(it->binding_bytes);
    quorvel_work_free(it->records);
    quorvel_work_free(it->prefix_slots);
    quorvel_work_free(it->redeclared);
    quorvel_work_free(it);
}

}  // extern "C"
