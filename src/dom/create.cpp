// New elements: in a document, from its element blocks and name chunks with
// the document's address stored in front of the name (so the element finds
// its document in constant time, without the root registry), or in a bare
// pool for builders that have no document yet. Names are split into prefix
// and local name here; a stored name is never written after it is made.
#include <cstring>

#include "dom/dom.h"

namespace {

// Takes a block of `bytes` from the calling thread's recycle list, else
// from malloc. Blocks never come through the allocation hooks: document
// freeing hands them to the recycle lists, which hold only malloc'd blocks.
void* block_take(void*& list, size_t& list_bytes, size_t bytes) {
    if (void* b = list) {
        list = *static_cast<void**>(b);
        list_bytes -= list_bytes >= bytes ? bytes : list_bytes;
        quorvel_unpoison(b, bytes);
        return b;
    }
    return std::malloc(bytes);
}

quorvel_element* element_record_take(quorvel_document* doc) {
    if (!doc->elem_next || doc->elem_next == doc->elem_end) {
        void* block;
        if (quorvel_document_grows_in_range(doc)) {
            block = quorvel_pool_alloc(doc->pool, kElementBlockBytes);
            if (!block) return nullptr;
        } else {
            block = block_take(tls_recycle_elem, tls_recycle_elem_bytes, kElementBlockBytes);
            if (!block) return nullptr;
            *static_cast<void**>(block) = doc->elem_blocks;
            doc->elem_blocks = block;
        }
        auto* first = reinterpret_cast<quorvel_element*>(static_cast<char*>(block) + 8);
        doc->elem_next = first;
        doc->elem_end = first + 1024;
    }
    return doc->elem_next++;
}

// An entry of `size` bytes (a multiple of 8) from the document's current
// name chunk, or a new chunk when it lacks room.
char* name_chunk_take(quorvel_document* doc, size_t size) {
    if (size > kNameChunkBytes - 8) return nullptr;
    if (!doc->name_next || static_cast<size_t>(doc->name_end - doc->name_next) < size) {
        void* chunk;
        if (quorvel_document_grows_in_range(doc)) {
            chunk = quorvel_pool_alloc(doc->pool, kNameChunkBytes);
            if (!chunk) return nullptr;
        } else {
            chunk = block_take(tls_recycle_name, tls_recycle_name_bytes, kNameChunkBytes);
            if (!chunk) return nullptr;
            *static_cast<void**>(chunk) = doc->name_chunks;
            doc->name_chunks = chunk;
        }
        doc->name_next = static_cast<char*>(chunk) + 8;
        doc->name_end = static_cast<char*>(chunk) + kNameChunkBytes;
    }
    char* entry = doc->name_next;
    doc->name_next += size;
    return entry;
}

// Where a qualified name splits at creation: nothing for names of 2 bytes or
// less, names without ':' and names whose first ':' is their last byte.
// Returns the colon's position, or length when there is no split.
size_t creation_split(const char* name, size_t length) {
    if (length <= 2) return length;
    const char* colon = static_cast<const char*>(std::memchr(name, ':', length));
    if (!colon || colon == name + length - 1) return length;
    return static_cast<size_t>(colon - name);
}

quorvel_element_ext* ext_in_pool(quorvel_element* e, quorvel_pool* pool, quorvel_document* doc) {
    if (quorvel_element_ext* ext = quorvel_elem_ext(e)) return ext;
    auto* ext = static_cast<quorvel_element_ext*>(quorvel_pool_alloc(pool, sizeof(quorvel_element_ext)));
    if (!ext) return nullptr;
    *ext = quorvel_element_ext{};
    if (!quorvel_link_set(e, &e->ext, ext, doc)) return nullptr;
    return ext;
}

void set_name_fields(quorvel_element* e, const char* local, size_t length) {
    e->name_hash = quorvel_name_hash16(local, length);
    e->name_length = static_cast<uint8_t>(length > 255 ? 255 : length);
}

}  // namespace

char* tree_name_entry(quorvel_document* doc, const char* s, size_t n) {
    if (!doc || !doc->pool || (!s && n)) return nullptr;
    size_t size = ((n < 8 ? 8 : n) + 16) & ~size_t(7);
    char* entry = name_chunk_take(doc, size);
    if (!entry) {
        if (n > SIZE_MAX - 9) return nullptr;
        entry = static_cast<char*>(quorvel_pool_alloc(doc->pool, n + 9));
        if (!entry) return nullptr;
    }
    std::memcpy(entry, &doc, sizeof doc);
    if (n) std::memcpy(entry + 8, s, n);
    entry[8 + n] = '\0';
    return entry + 8;
}

char* mut_str_carve(quorvel_document* doc, const char* s, size_t n) {
    if (!doc || !s || n + 1 > 1024) return nullptr;
    char* entry = name_chunk_take(doc, (n + 16) & ~size_t(7));
    if (!entry) return nullptr;
    std::memcpy(entry, &doc, sizeof doc);
    std::memcpy(entry + 8, s, n);
    entry[8 + n] = '\0';
    return entry + 8;
}

quorvel_element_ext* tree_ext(quorvel_element* e, quorvel_document* doc) {
    if (quorvel_element_ext* ext = quorvel_elem_ext(e)) return ext;
    return doc && doc->pool ? ext_in_pool(e, doc->pool, doc) : nullptr;
}

bool tree_set_element_name(quorvel_element* e, quorvel_document* doc, const char* local, size_t local_length,
                           const char* prefix, size_t prefix_length, bool has_prefix) {
    char* prefix_copy = nullptr;
    if (has_prefix) {
        prefix_copy = mut_str_carve(doc, prefix, prefix_length);
        if (!prefix_copy) prefix_copy = quorvel_pool_strndup(doc->pool, prefix, prefix_length);
        if (!prefix_copy) return false;
    }
    quorvel_element_ext* ext = quorvel_elem_ext(e);
    if (has_prefix && !ext && !(ext = tree_ext(e, doc))) return false;
    char* name = tree_name_entry(doc, local, local_length);
    if (!name || !quorvel_link_set(e, &e->name, name, doc)) return false;
    e->eflags |= kElemDocAddress;
    if (ext) ext->prefix = prefix_copy;
    set_name_fields(e, name, local_length);
    return true;
}

quorvel_element* quorvel_element_create_with_view(const char* name, size_t length, quorvel_pool* pool) {
    if (!name || length == 0 || !pool) return nullptr;
    auto* e = static_cast<quorvel_element*>(quorvel_pool_alloc(pool, sizeof(quorvel_element)));
    if (!e) return nullptr;
    std::memset(static_cast<void*>(e), 0, sizeof *e);
    size_t split = creation_split(name, length);
    const char* local = split < length ? name + split + 1 : name;
    quorvel_string_view view{local, length - (local - name)};
    // The local name may be an interned string shared with other records;
    // it is only ever read. The prefix gets a copy of its own.
    char* stored = quorvel_sv_to_cstr_pooled(&view, pool);
    if (!stored || !quorvel_link_set(e, &e->name, stored, nullptr)) return nullptr;
    set_name_fields(e, stored, view.length);
    if (split < length) {
        char* prefix = quorvel_pool_strndup(pool, name, split);
        quorvel_element_ext* ext = prefix ? ext_in_pool(e, pool, nullptr) : nullptr;
        // Without room for the prefix the element keeps only its local name.
        if (ext) ext->prefix = prefix;
    }
    return e;
}

extern "C" {

QUORVEL_API quorvel_element* quorvel_element_create(quorvel_document* doc, const char* name) {
    if (!doc || !name || !doc->pool) return nullptr;
    if (tree_name_has_empty_part(name, std::strlen(name))) return nullptr;
    quorvel_element* e = element_record_take(doc);
    if (!e) {
        e = static_cast<quorvel_element*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_element)));
        if (!e) return nullptr;
    }
    std::memset(static_cast<void*>(e), 0, sizeof *e);
    size_t length = std::strlen(name);
    size_t split = creation_split(name, length);
    bool ok = split < length
                  ? tree_set_element_name(e, doc, name + split + 1, length - split - 1, name, split, true)
                  : tree_set_element_name(e, doc, name, length, nullptr, 0, false);
    if (!ok) {
        // A record that never got a name is left behind, unreachable.
        return nullptr;
    }
    return e;
}

}  // extern "C"
