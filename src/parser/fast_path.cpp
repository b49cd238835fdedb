// The fast path of the copy parse: a plain document scanned into flat
// records, then built into an ordinary document in one pass over them.
// It must build exactly the tree the document parser builds from the same
// text (names, prefixes, namespace and raw-attribute records, values,
// positions, flags), or decline so that the document parser runs.
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "parser/flat.h"

namespace {

constexpr size_t kMaxLength = 0x7FFFFFFE;
constexpr int64_t kDefaultMinSize = 65536;

thread_local int t_test_mode = -1;

const dp_env_memo& env_memo() {
    // Filled once per process (a thread-safe static); read without a lock.
    static const dp_env_memo memo = dp_env_from(std::getenv("QUORVEL_INTERLEAVED"), std::getenv("QUORVEL_IL_MIN"));
    return memo;
}

constexpr size_t round8(size_t n) { return (n + 7) & ~size_t(7); }

// Large blocks are written end to end within one parse: huge pages spare
// most of their page faults. Only for blocks the library made itself.
void advise_huge_pages(void* block, size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    if (size < 4 * kHuge) return;
    uintptr_t from = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHuge - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)block;
    (void)size;
#endif
}

// CR LF and lone CR become LF, in place. Answers the new length and writes
// a NUL there when the run shrank.
size_t normalise_lines(char* p, size_t n) {
    char* cr = static_cast<char*>(std::memchr(p, '\r', n));
    if (!cr) return n;
    char* out = cr;
    const char* in = cr;
    const char* end = p + n;
    while (in < end) {
        char c = *in++;
        if (c == '\r') {
            *out++ = '\n';
            if (in < end && *in == '\n') in++;
        } else {
            *out++ = c;
        }
    }
    size_t len = static_cast<size_t>(out - p);
    if (len < n) *out = '\0';
    return len;
}

// Attribute-value normalisation into a pool copy: TAB and LF become a
// space, CR LF or a lone CR one space.
char* normalise_value(quorvel_pool* pool, const char* v, size_t n, size_t* out_len) {
    auto* copy = static_cast<char*>(quorvel_pool_alloc(pool, n + 1));
    if (!copy) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < n; i++) {
        char c = v[i];
        if (c == '\r') {
            copy[o++] = ' ';
            if (i + 1 < n && v[i + 1] == '\n') i++;
        } else if (c == '\t' || c == '\n') {
            copy[o++] = ' ';
        } else {
            copy[o++] = c;
        }
    }
    copy[o] = '\0';
    *out_len = o;
    return copy;
}

// One element whose children are still being linked.
struct build_frame {
    int32_t record;
    quorvel_element* element;
    quorvel_node* last_child;  // NULL until the first child
    int32_t* last_link;        // first-child link, then the last child's sibling link
};

struct builder {
    quorvel_document* doc;
    quorvel_pool* pool;
    char* work;
    const il_state* st;
    quorvel_element* elements;
    quorvel_text* texts;
    quorvel_attribute* attrs;
    quorvel_raw_attribute* raws;
    quorvel_element_ext* exts;
    quorvel_elem_pos* positions;  // NULL without position records
    build_frame* frames;
    size_t frame_capacity;
    const char* last_prefix;  // pool copy of the latest attribute prefix, shared by repeats
    size_t last_prefix_length;
};

inline bool link(builder* b, const void* holder, int32_t* field, const void* target) {
    return quorvel_link_set_inline(holder, field, target, b->doc);
}

// Attributes of element e from its records, with the raw list in ext.
bool build_attributes(builder* b, quorvel_element* e, quorvel_element_ext* ext, const quorvel_sax_node_record& r,
                      quorvel_attribute** next_attr, quorvel_raw_attribute** next_raw) {
    quorvel_attribute* prev = nullptr;
    quorvel_raw_attribute* prev_raw = nullptr;
    const quorvel_sax_attr_record* records = b->st->attrs + r.first_attribute;
    for (uint32_t k = 0; k < r.attribute_count; k++) {
        const quorvel_sax_attr_record& ar = records[k];
        quorvel_attribute* a = (*next_attr)++;
        quorvel_raw_attribute* raw = (*next_raw)++;
        char* name = b->work + ar.name_offset;
        char* value = b->work + ar.value_offset;
        name[ar.name_length] = '\0';
        value[ar.value_length] = '\0';
        a->name = name;
        a->name_length = ar.name_length;
        a->ns = 0;
        a->next = 0;
        a->hash = 0;
        if (ar.needs_normalization) {
            size_t len;
            char* copy = normalise_value(b->pool, value, ar.value_length, &len);
            if (!copy) return false;
            a->value = copy;
            a->value_length = len;
        } else {
            a->value = value;
            a->value_length = ar.value_length;
        }
        if (ar.reserved[0] & kIlAttrHasColon) {
            // The namespace record takes the bytes before the last colon, as
            // the document parser's does.
            auto* colon = static_cast<const char*>(memrchr(name, ':', ar.name_length));
            size_t prefix_length = static_cast<size_t>(colon - name);
            auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(b->pool, sizeof(quorvel_attr_ns)));
            if (!ns) return false;
            std::memset(ns, 0, sizeof *ns);
            if (!b->last_prefix || b->last_prefix_length != prefix_length ||
                std::memcmp(b->last_prefix, name, prefix_length) != 0) {
                b->last_prefix = quorvel_pool_strndup(b->pool, name, prefix_length);
                b->last_prefix_length = prefix_length;
            }
            ns->prefix = const_cast<char*>(b->last_prefix);
            ns->owner = e;
            if (!ns->prefix || !link(b, a, &a->ns, ns)) return false;
        }
        bool linked = prev ? quorvel_link16_set_inline(prev, &prev->next, a, b->doc) : link(b, e, &e->first_attr, a);
        if (!linked) return false;
        prev = a;
        raw->qname = name;
        raw->raw_value = value;
        raw->next = nullptr;
        if (prev_raw)
            prev_raw->next = raw;
        else
            ext->raw_attrs = raw;
        prev_raw = raw;
    }
    return true;
}

// Fills the document's records from the scan's, in document order.
bool build_tree(builder* b, quorvel_element** root_out) {
    const il_state* st = b->st;
    quorvel_element* next_element = b->elements;
    quorvel_text* next_text = b->texts;
    quorvel_attribute* next_attr = b->attrs;
    quorvel_raw_attribute* next_raw = b->raws;
    quorvel_element_ext* next_ext = b->exts;
    quorvel_elem_pos* next_position = b->positions;
    size_t depth = 0;
    quorvel_element* root = nullptr;
    for (size_t i = 0; i < st->node_count; i++) {
        const quorvel_sax_node_record& r = st->nodes[i];
        quorvel_node* node;
        int32_t* parent_field;
        int32_t* sibling_field;
        quorvel_element* e = nullptr;
        if (r.kind == 0) {
            e = next_element++;
            e->head = quorvel_node{QUORVEL_NODE_ELEMENT, kNodeFrozen, r.start};
            e->eflags = 0;
            e->reserved = 0;
            e->attr_count = static_cast<uint8_t>(r.attribute_count < kAttrCountCap ? r.attribute_count : kAttrCountCap);
            e->child_count = 0;
            e->ext = e->parent = e->first_child = e->next_sibling = e->first_attr = e->name = 0;
            char* name = b->work + r.data_offset;
            char* name_end = name + r.data_length;
            *name_end = '\0';
            char* local = name;
            if (r.reserved[0] & kIlNameHasColon) {
                // Split at the last colon when it has bytes on both sides, as
                // the document parser splits; otherwise the whole name is local.
                auto* colon = static_cast<char*>(memrchr(name, ':', r.data_length));
                if (colon > name && colon + 1 < name_end) {
                    *colon = '\0';
                    local = colon + 1;
                }
            }
            size_t local_len = static_cast<size_t>(name_end - local);
            e->name_length = static_cast<uint8_t>(local_len < 255 ? local_len : 255);
            e->name_hash = quorvel_name_hash16(local, local_len);
            if (!link(b, e, &e->name, local)) return false;
            if (r.attribute_count || local != name) {
                quorvel_element_ext* ext = next_ext++;
                std::memset(ext, 0, sizeof *ext);
                if (local != name) ext->prefix = name;
                if (!link(b, e, &e->ext, ext)) return false;
                if (r.attribute_count && !build_attributes(b, e, ext, r, &next_attr, &next_raw)) return false;
            }
            if (next_position) *next_position++ = quorvel_elem_pos{e, r.content_start, r.end};
            node = &e->head;
            parent_field = &e->parent;
            sibling_field = &e->next_sibling;
        } else {
            quorvel_text* t = next_text++;
            char* run = b->work + r.data_offset;
            run[r.data_length] = '\0';
            size_t len = r.data_length;
            if (r.reserved[0] & kIlTextHasCr) len = normalise_lines(run, len);
            t->head = quorvel_node{QUORVEL_NODE_TEXT, kTextCounted, r.start};
            t->content = 0;
            t->length = static_cast<uint32_t>(len);
            t->next_sibling = t->parent = t->owner = 0;
            if (!quorvel_text_link_set_inline(t, &t->content, run, b->doc)) return false;
            node = &t->head;
            parent_field = &t->parent;
            sibling_field = &t->next_sibling;
        }
        if (r.parent < 0) {
            root = e;
        } else {
            // The parent is the innermost element on the path still open
            // at this record: drop the ones completed since.
            while (depth && b->frames[depth - 1].record != r.parent) depth--;
            if (!depth) return false;
            build_frame& f = b->frames[depth - 1];
            if (!link(b, node, parent_field, f.element)) return false;
            const void* holder = f.last_child ? static_cast<const void*>(f.last_child) : f.element;
            if (!link(b, holder, f.last_link, node)) return false;
            f.last_child = node;
            f.last_link = sibling_field;
            if (e && f.element->child_count < kChildCountCap) f.element->child_count++;
        }
        if (e) {
            if (depth == b->frame_capacity) {
                size_t grown = b->frame_capacity * 2;
                auto* fresh = static_cast<build_frame*>(std::realloc(b->frames, grown * sizeof(build_frame)));
                if (!fresh) return false;
                b->frames = fresh;
                b->frame_capacity = grown;
            }
            b->frames[depth++] = build_frame{static_cast<int32_t>(i), e, nullptr, &e->first_child};
        }
    }
    *root_out = root;
    return root != nullptr;
}

quorvel_document* build_document(const char* text, size_t length, const il_state* st, int positions) {
    size_t elements = st->element_count;
    size_t texts = st->node_count - elements;
    size_t attrs = st->attr_count;
    size_t element_bytes = round8(elements * sizeof(quorvel_element));
    size_t text_bytes = texts * sizeof(quorvel_text);
    size_t attr_bytes = attrs * sizeof(quorvel_attribute);
    size_t raw_bytes = attrs * sizeof(quorvel_raw_attribute);
    size_t ext_bytes = st->elements_with_ext * sizeof(quorvel_element_ext);
    // Namespace records with their prefix copies, normalised values (each
    // rounded up to 8), the pool header, the document record and the
    // intern table: all from the same arena.
    size_t extra = st->colon_attrs * (sizeof(quorvel_attr_ns) + 8) + st->colon_attr_bytes + st->normalized_bytes +
                   attrs * 8 + round8(sizeof(quorvel_pool)) + round8(sizeof(quorvel_document)) + 8192;
    size_t arena_size = round8(length + 65) + round8(length + 1) + element_bytes + attr_bytes + text_bytes + ext_bytes +
                        raw_bytes + extra;
    quorvel_arena* arena = quorvel_arena_create(arena_size);
    if (!arena) return nullptr;
    if (!arena->release) advise_huge_pages(arena->data, arena->capacity);
    quorvel_pool* pool = quorvel_pool_create_arena_backed(arena, 1);
    if (!pool) {
        quorvel_arena_destroy(arena);
        return nullptr;
    }
    if (length > 255) pool->intern = quorvel_hash_table_create(pool, 128);

    auto* work = static_cast<char*>(quorvel_pool_alloc(pool, length + 65));
    auto* retained = static_cast<char*>(quorvel_pool_alloc(pool, length + 1));
    auto* element_area = static_cast<char*>(quorvel_pool_alloc(pool, element_bytes));
    char* attr_area = attrs ? static_cast<char*>(quorvel_pool_alloc(pool, attr_bytes)) : nullptr;
    char* text_area = texts ? static_cast<char*>(quorvel_pool_alloc(pool, text_bytes)) : nullptr;
    char* ext_area = ext_bytes ? static_cast<char*>(quorvel_pool_alloc(pool, ext_bytes)) : nullptr;
    char* raw_area = attrs ? static_cast<char*>(quorvel_pool_alloc(pool, raw_bytes)) : nullptr;
    auto* doc = static_cast<quorvel_document*>(quorvel_pool_alloc(pool, sizeof(quorvel_document)));
    if (!work || !retained || !element_area || (attrs && (!attr_area || !raw_area)) || (texts && !text_area) ||
        (ext_bytes && !ext_area) || !doc) {
        quorvel_pool_destroy(pool);
        return nullptr;
    }
    std::memcpy(work, text, length);
    std::memset(work + length, 0, 65);
    std::memcpy(retained, text, length);
    retained[length] = '\0';
    quorvel_document_init(doc, pool);
    doc->record_in_pool = 1;
    doc->retained_input = retained;
    doc->retained_length = length;
    doc->retained_owned = 0;
    doc->working_copy = work;
    doc->working_not_owned = 1;

    builder b{};
    b.doc = doc;
    b.pool = pool;
    b.work = work;
    b.st = st;
    b.elements = reinterpret_cast<quorvel_element*>(element_area);
    b.texts = reinterpret_cast<quorvel_text*>(text_area);
    b.attrs = reinterpret_cast<quorvel_attribute*>(attr_area);
    b.raws = reinterpret_cast<quorvel_raw_attribute*>(raw_area);
    b.exts = reinterpret_cast<quorvel_element_ext*>(ext_area);
    if (positions) {
        auto* records = static_cast<quorvel_elem_pos*>(std::malloc(elements * sizeof(quorvel_elem_pos)));
        if (!records) {
            quorvel_document_free(doc);
            return nullptr;
        }
        advise_huge_pages(records, elements * sizeof(quorvel_elem_pos));
        doc->pos_records = records;
        doc->pos_capacity = elements;
        doc->pos_count = elements;
        b.positions = records;
    }
    b.frame_capacity = 256;
    b.frames = static_cast<build_frame*>(std::malloc(b.frame_capacity * sizeof(build_frame)));
    quorvel_element* root = nullptr;
    bool ok = b.frames && build_tree(&b, &root);
    std::free(b.frames);
    if (!ok) {
        quorvel_document_free(doc);
        return nullptr;
    }
    doc->root = root;
    doc->first_top = doc->last_top = &root->head;
    quorvel_root_doc_register(root, doc);
    return doc;
}

}  // namespace

dp_env_memo dp_env_from(const char* interleaved, const char* il_min) {
    dp_env_memo memo{0, kDefaultMinSize};
    memo.enabled = interleaved && *interleaved;
    if (il_min && *il_min) {
        long v = std::strtol(il_min, nullptr, 10);
        memo.min_size = v <= 0 ? 0 : static_cast<int64_t>(v);
    }
    return memo;
}

void dp_il_set_test_mode(int mode) { t_test_mode = mode; }

quorvel_document* dp_il_try_flags(const char* text, size_t length, int drop_ws, int keep_refs, int apply_defaults,
                                  int no_positions) {
    int mode = t_test_mode;
    if (mode == 0) return nullptr;
    if (mode < 0) {
        const dp_env_memo& memo = env_memo();
        if (!memo.enabled || static_cast<int64_t>(length) < memo.min_size) return nullptr;
    }
    if (keep_refs || apply_defaults || !text || length == 0 || length > kMaxLength) return nullptr;
    il_state st;
    if (!il_state_init(&st, length)) return nullptr;
    int32_t root;
    size_t root_end, trailing;
    if (!il_scan_body(text, length, drop_ws, &st, &root, &root_end, &trailing)) {
        il_state_release(&st);
        return nullptr;
    }
    if (const char* stats = std::getenv("QUORVEL_IL_STATS"); stats && *stats)
        std::fprintf(stderr, "il: records=%zu attrs=%zu\n", st.node_count, st.attr_count);
    quorvel_document* doc = build_document(text, length, &st, !no_positions);
    il_state_release(&st);
    return doc;
}

quorvel_document* dp_il_try(const char* text, size_t length, int drop_ws, int keep_refs, int apply_defaults) {
    return dp_il_try_flags(text, length, drop_ws, keep_refs, apply_defaults, 0);
}
