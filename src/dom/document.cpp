// Documents: creation, the ordered release of everything a document owns,
// ownership between documents, the process-wide registry that maps root
// elements to their documents (with a per-thread memo in front of it), and
// root installation.
#include <pthread.h>

#include <atomic>
#include <cstdio>

#include "dom/dom.h"
#include "dtd/dtd.h"

// ---- Root registry --------------------------------------------------------------------

struct quorvel_root_entry {
    quorvel_element* root;
    quorvel_document* document;
    quorvel_root_entry* next_in_bucket;
    quorvel_root_entry* next_of_document;
};

namespace {

constexpr size_t kEntriesPerChunk = 128;

quorvel_root_entry* g_root_doc_buckets[256];
void* g_entry_chunks = nullptr;  // chunks link through their first word; never freed
quorvel_root_entry* g_entry_cursor = nullptr;
quorvel_root_entry* g_entry_end = nullptr;
quorvel_root_entry* g_free_list = nullptr;
pthread_mutex_t g_root_doc_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<uint64_t> g_rootmap_generation{0};

thread_local const quorvel_element* g_memo_root = nullptr;
thread_local quorvel_document* g_memo_doc = nullptr;
thread_local uint64_t g_memo_generation = 0;

size_t bucket_of(const void* p) {
    uintptr_t v = reinterpret_cast<uintptr_t>(p);
    return (v ^ (v >> 8) ^ (v >> 16) ^ (v >> 24)) & 0xFF;
}

struct registry_lock {
    registry_lock() { pthread_mutex_lock(&g_root_doc_lock); }
    ~registry_lock() { pthread_mutex_unlock(&g_root_doc_lock); }
};

quorvel_root_entry* entry_new() {
    if (quorvel_root_entry* e = g_free_list) {
        g_free_list = e->next_in_bucket;
        return e;
    }
    if (g_entry_cursor == g_entry_end) {
        // First slot of a chunk holds the link to the previous chunk.
        auto* chunk = static_cast<quorvel_root_entry*>(std::malloc((kEntriesPerChunk + 1) * sizeof(quorvel_root_entry)));
        if (!chunk) return nullptr;
        *reinterpret_cast<void**>(chunk) = g_entry_chunks;
        g_entry_chunks = chunk;
        g_entry_cursor = chunk + 1;
        g_entry_end = chunk + 1 + kEntriesPerChunk;
    }
    return g_entry_cursor++;
}

// Both unlinks run under the registry lock.
void unlink_from_bucket(quorvel_root_entry* entry) {
    for (quorvel_root_entry** link = &g_root_doc_buckets[bucket_of(entry->root)]; *link;
         link = &(*link)->next_in_bucket) {
        if (*link == entry) {
            *link = entry->next_in_bucket;
            return;
        }
    }
}

void unlink_from_document(quorvel_root_entry* entry) {
    if (!entry->document) return;
    for (quorvel_root_entry** link = &entry->document->registry_entries; *link;
         link = &(*link)->next_of_document) {
        if (*link == entry) {
            *link = entry->next_of_document;
            return;
        }
    }
}

quorvel_root_entry* find_entry(const quorvel_element* root) {
    for (quorvel_root_entry* e = g_root_doc_buckets[bucket_of(root)]; e; e = e->next_in_bucket)
        if (e->root == root) return e;
    return nullptr;
}

void memo_forget_root(const quorvel_element* root) {
    if (g_memo_root == root) {
        g_memo_root = nullptr;
        g_memo_doc = nullptr;
    }
}

// The owning document stored in the 8 bytes before the name.
quorvel_document* stored_document_address(const quorvel_element* e) {
    const char* name = quorvel_elem_name_raw(e);
    if (!name) return nullptr;
    quorvel_document* doc;
    std::memcpy(&doc, name - sizeof doc, sizeof doc);
    return doc;
}

}  // namespace

void quorvel_rootmap_bump() { g_rootmap_generation.fetch_add(1, std::memory_order_seq_cst); }
uint64_t quorvel_rootmap_generation() { return g_rootmap_generation.load(std::memory_order_acquire); }

void quorvel_memo_reset() {
    g_memo_root = nullptr;
    g_memo_doc = nullptr;
    g_memo_generation = quorvel_rootmap_generation();
}

namespace {

// The memo is the document model's only per-thread state.
const quorvel_teardown_hooks kDocumentModelTeardown = {nullptr, quorvel_memo_reset};
__attribute__((constructor)) void register_document_model_teardown() {
    quorvel_teardown_register(&kDocumentModelTeardown);
}

}  // namespace

void quorvel_root_doc_register(quorvel_element* root, quorvel_document* doc) {
    if (!root || !doc) return;
    registry_lock lock;
    quorvel_rootmap_bump();
    if (root->eflags & kElemRegistered) {
        if (quorvel_root_entry* e = find_entry(root)) {
            if (e->document != doc) {
                unlink_from_document(e);
                e->document = doc;
                e->next_of_document = doc->registry_entries;
                doc->registry_entries = e;
            }
            return;
        }
    }
    quorvel_root_entry* e = entry_new();
    if (!e) return;  // unregistered: found only through a stored address
    e->root = root;
    e->document = doc;
    size_t b = bucket_of(root);
    e->next_in_bucket = g_root_doc_buckets[b];
    g_root_doc_buckets[b] = e;
    e->next_of_document = doc->registry_entries;
    doc->registry_entries = e;
    root->eflags |= kElemRegistered;
}

namespace {

// The document of the topmost element top of a tree whose name carries its
// document's address. An absorbed document's element that is not its root
// may have been in the owner's tree and hold children made there: it counts
// as the owner's, so it goes back into its own document only as a copy.
quorvel_document* document_of_top(const quorvel_element* top) {
    quorvel_document* stored = stored_document_address(top);
    if (!stored || !stored->owner) return stored;
    if (top == stored->root || top == stored->secondary_root) return stored;
    return stored->owner;
}

}  // namespace

quorvel_document* quorvel_element_get_document(const quorvel_element* n) {
    if (!n) return nullptr;
    if (n->eflags & kElemDocAddress) {
        // Elements move between documents only as copies, except into the
        // document that absorbed theirs: only then does the climb decide.
        quorvel_document* stored = stored_document_address(n);
        if (!stored || !stored->owner) return stored;
    }
    const quorvel_element* top = n;
    for (;;) {
        if (top == g_memo_root && !(top->eflags & kElemDocAddress) &&
            g_memo_generation == quorvel_rootmap_generation())
            return g_memo_doc;
        auto* parent = static_cast<const quorvel_element*>(quorvel_link_get(top, &top->parent));
        if (!parent) break;
        top = parent;
    }
    if (top->eflags & kElemDocAddress) return document_of_top(top);
    quorvel_document* doc = nullptr;
    uint64_t generation;
    {
        registry_lock lock;
        if (quorvel_root_entry* e = find_entry(top)) doc = e->document;
        generation = quorvel_rootmap_generation();
    }
    if (doc) {
        g_memo_root = top;
        g_memo_doc = doc;
        g_memo_generation = generation;
    }
    return doc;
}

// ---- Creation ------------------------------------------------------------------------------

void quorvel_document_init(quorvel_document* doc, quorvel_pool* pool) {
    std::memset(doc, 0, sizeof *doc);
    doc->refcount = 1;
    doc->standalone = -1;
    doc->pool = pool;
    doc->strict = g_quorvel_strict_mode;
}

quorvel_document* quorvel_document_new(int html) {
    quorvel_arena* arena = quorvel_arena_create(0x10080);
    if (!arena) return nullptr;
    quorvel_pool* pool = quorvel_pool_create_arena_backed(arena, 1);
    if (!pool) {
        quorvel_arena_destroy(arena);
        return nullptr;
    }
    quorvel_document* doc = quorvel_document_place(pool);
    if (doc) doc->is_html = html ? 1 : 0;
    return doc;
}

quorvel_document* quorvel_document_place(quorvel_pool* pool) {
    auto* doc = static_cast<quorvel_document*>(quorvel_pool_alloc(pool, sizeof(quorvel_document)));
    if (!doc) {
        quorvel_pool_destroy(pool);
        return nullptr;
    }
    quorvel_document_init(doc, pool);
    doc->record_in_pool = 1;
    return doc;
}

// ---- Freeing -----------------------------------------------------------------------------------

namespace {

void recycle_blocks(void* head, void*& list, size_t& bytes, size_t budget, size_t block_size) {
    for (void* p = head; p;) {
        void* next = *static_cast<void**>(p);
        if (bytes < budget) {
            quorvel_thread_register_exit();
            *static_cast<void**>(p) = list;
            list = p;
            bytes += block_size;
            quorvel_poison(static_cast<char*>(p) + sizeof(void*), block_size - sizeof(void*));
        } else {
            std::free(p);
        }
        p = next;
    }
}

void document_release(quorvel_document* d);

// Frees an adopted or owned document as its owner goes. An absorbed one
// whose caller still owes a free is left to that caller, root intact.
void release_child(quorvel_document* child) {
    child->adopter = nullptr;
    child->adopted_next = nullptr;
    if (!child->owner || child->pending_frees <= 0) {
        child->owner = nullptr;
        child->pending_frees = 0;
        document_release(child);
    } else {
        // The owner is going: the caller's outstanding free is now the one
        // that frees the child, and nothing may reach the owner through it.
        child->owner_released = 1;
        child->owner = nullptr;
        child->pending_frees = 0;
    }
}

void document_release(quorvel_document* d) {
    if (d == g_memo_doc) {
        quorvel_rootmap_bump();
        g_memo_root = nullptr;
        g_memo_doc = nullptr;
    }
    if (!d) return;
    if (d->owner && !d->owner_released) {
        if (d->pending_frees > 0) d->pending_frees--;
        return;
    }
    if (d->refcount != 0) {
        if (--d->refcount != 0) return;
    }
    // Freed directly while adopted: leave the adopter's list first, so that
    // the adopter's own free does not reach this record again.
    if (quorvel_document* adopter = d->adopter) {
        quorvel_document* prev = nullptr;
        for (quorvel_document* x = adopter->adopted_head; x; prev = x, x = x->adopted_next) {
            if (x != d) continue;
            if (prev)
                prev->adopted_next = x->adopted_next;
            else
                adopter->adopted_head = x->adopted_next;
            if (adopter->adopted_tail == d) adopter->adopted_tail = prev;
            break;
        }
        d->adopter = nullptr;
        d->adopted_next = nullptr;
    }

    quorvel_diag_free_all(d);
    std::free(d->declared_encoding);
    std::free(d->declared_version);
    d->declared_encoding = d->declared_version = nullptr;

    // What later subsystems attached to the document.
    quorvel_teardown_document(d);

    for (size_t i = 0; i < d->owned_count; i++) document_release(d->owned[i]);
    std::free(d->owned);
    d->owned = nullptr;
    d->owned_count = d->owned_capacity = 0;

    quorvel_element_index_free(d->element_index);
    d->element_index = nullptr;

    quorvel_dtd_release(d->dtd);
    d->dtd = nullptr;

    quorvel_overflow_entry* entries = d->overflow_entries;
    d->overflow_entries = nullptr;
    quorvel_overflow_remove_document(d, entries);

    if (quorvel_element* root = d->root; root && (root->eflags & kElemRegistered)) {
        quorvel_rootmap_bump();
        memo_forget_root(root);
        registry_lock lock;
        if (quorvel_root_entry* e = find_entry(root)) {
            unlink_from_bucket(e);
            unlink_from_document(e);
            e->next_in_bucket = g_free_list;
            g_free_list = e;
        }
        root->eflags &= static_cast<uint8_t>(~kElemRegistered);
    }
    if (d->registry_entries) {
        registry_lock lock;
        quorvel_rootmap_bump();
        for (quorvel_root_entry* e = d->registry_entries; e;) {
            quorvel_root_entry* next = e->next_of_document;
            memo_forget_root(e->root);
            unlink_from_bucket(e);
            e->next_in_bucket = g_free_list;
            g_free_list = e;
            e = next;
        }
        d->registry_entries = nullptr;
    }

    // Only now the adopted and absorbed documents: the root and other
    // records of this tree may live in an absorbed document's memory.
    for (quorvel_document* child = d->adopted_head; child;) {
        quorvel_document* next = child->adopted_next;
        release_child(child);
        child = next;
    }
    d->adopted_head = d->adopted_tail = nullptr;

    quorvel_line_index_free(&d->lines);
    if (!d->pos_in_pool) std::free(d->pos_records);
    if (!d->pos_spans_in_pool) std::free(d->pos_spans);
    d->pos_spans = nullptr;
    std::free(d->pos_index);
    d->pos_records = nullptr;
    d->pos_index = nullptr;
    std::free(d->wrapper_slots);
    d->wrapper_slots = nullptr;
    d->wrapper_count = d->wrapper_capacity = 0;

    if (d->working_copy && !d->working_not_owned)
        retain_give(d->working_copy, d->retained_length + 65, d->working_release);
    d->working_copy = nullptr;

    recycle_blocks(d->elem_blocks, tls_recycle_elem, tls_recycle_elem_bytes, 8u << 20, kElementBlockBytes);
    recycle_blocks(d->name_chunks, tls_recycle_name, tls_recycle_name_bytes, 4u << 20, kNameChunkBytes);
    recycle_blocks(d->attr_blocks, tls_recycle_attr, tls_recycle_attr_bytes, 4u << 20, kAttrBlockBytes);
    d->elem_blocks = d->name_chunks = d->attr_blocks = nullptr;

    std::free(d->attribute_index);
    d->attribute_index = nullptr;

    // The record may live in its own pool: read what is needed first.
    bool in_pool = d->record_in_pool;
    quorvel_pool* pool = d->pool;
    quorvel_pool_destroy(pool);
    if (!in_pool) std::free(d);
}

// True when making doc a child of owner would close an ownership cycle.
bool owns_transitively(const quorvel_document* doc, const quorvel_document* owner) {
    for (const quorvel_document* x = owner; x; x = x->adopter ? x->adopter : x->owner)
        if (x == doc) return true;
    return false;
}

void adopt(quorvel_document* owner, quorvel_document* doc) {
    doc->adopted_next = nullptr;
    doc->adopter = owner;
    if (owner->adopted_tail)
        owner->adopted_tail->adopted_next = doc;
    else
        owner->adopted_head = doc;
    owner->adopted_tail = doc;
}

}  // namespace

void quorvel_diag_free_all(quorvel_document* doc) {
    for (int32_t i = 0; i < doc->diag_count; i++) std::free(doc->diags[i].element);
    std::free(doc->diags);
    doc->diags = nullptr;
    doc->diag_count = doc->diag_capacity = 0;
}

quorvel_status quorvel_document_unlink_top(quorvel_document* doc, quorvel_node* node) {
    if (!doc || !node) return QUORVEL_ERR_NOT_FOUND;
    quorvel_node* prev = nullptr;
    for (quorvel_node* n = doc->first_top; n; prev = n, n = quorvel_node_next_raw(n)) {
        if (!quorvel_node_chain_kind(n)) return QUORVEL_ERR_NOT_FOUND;
        if (n != node) continue;
        quorvel_node* next = quorvel_node_next_raw(n);
        if (prev) {
            if (!quorvel_node_set_next_sibling(prev, next)) return QUORVEL_ERR_MEMORY;
        } else {
            doc->first_top = next;
        }
        if (doc->last_top == node) doc->last_top = prev;
        quorvel_node_clear_next_sibling(node);
        return QUORVEL_OK;
    }
    return QUORVEL_ERR_NOT_FOUND;
}

// ---- Exports -------------------------------------------------------------------------------------

extern "C" {

QUORVEL_API quorvel_document* quorvel_document_create(void) { return quorvel_document_new(0); }
QUORVEL_API quorvel_document* quorvel_document_create_html(void) { return quorvel_document_new(1); }

QUORVEL_API void quorvel_document_free(quorvel_document* doc) { document_release(doc); }

QUORVEL_API quorvel_status quorvel_document_adopt_child(quorvel_document* owner, quorvel_document* doc) {
    if (!owner || !doc) return QUORVEL_ERR_NULL_ARGUMENT;
    // Each document has one owner at most, or it would be freed twice.
    if (owner == doc || doc->owner || doc->adopter || owns_transitively(doc, owner))
        return QUORVEL_ERR_INVALID_ARGUMENT;
    adopt(owner, doc);
    return QUORVEL_OK;
}

QUORVEL_API quorvel_status quorvel_document_absorb(quorvel_document* owner, quorvel_document* doc) {
    if (!owner || !doc) return QUORVEL_ERR_NULL_ARGUMENT;
    if (owner == doc || owner->owner || doc->owner || doc->adopter || owns_transitively(doc, owner))
        return QUORVEL_ERR_INVALID_ARGUMENT;
    adopt(owner, doc);
    doc->owner = owner;
    doc->owner_released = 0;  // absorbed again after an earlier owner went
    // Its elements may join the owner's tree with their declarations.
    if (doc->namespaces_in_use) owner->namespaces_in_use = 1;
    doc->pending_frees = 1;
    return QUORVEL_OK;
}

QUORVEL_API quorvel_element* quorvel_document_root(quorvel_document* doc) {
    if (!doc) return nullptr;
    return doc->root ? doc->root : doc->secondary_root;
}

QUORVEL_API quorvel_node* quorvel_document_first_child(quorvel_document* doc) {
    if (!doc) return nullptr;
    if (doc->first_top) return doc->first_top;
    return reinterpret_cast<quorvel_node*>(doc->root ? doc->root : doc->secondary_root);
}

QUORVEL_API quorvel_dtd* quorvel_document_get_dtd(quorvel_document* doc) {
    if (!doc) return nullptr;
    if (!doc->dtd) doc->dtd = quorvel_dtd_create(doc->pool);
    return doc->dtd;
}

QUORVEL_API int quorvel_document_finalize_strings(quorvel_document* doc) {
    if (!doc || !doc->root) return 0;
    finalize_element_strings(doc->root, doc->pool);
    return 1;
}

QUORVEL_API quorvel_status quorvel_document_freeze(quorvel_document* doc) {
    if (!doc) return QUORVEL_ERR_NULL_ARGUMENT;
    if (!doc->root) return QUORVEL_OK;
    quorvel_node_freeze(&doc->root->head);
    return QUORVEL_OK;
}

QUORVEL_API int quorvel_document_is_frozen(quorvel_document* doc) {
    if (!doc || !doc->root) return 0;
    return static_cast<int>(doc->root->head.flags & kNodeFrozen);
}

QUORVEL_API quorvel_status quorvel_document_set_strict(quorvel_document* doc, int on) {
    if (!doc) return QUORVEL_ERR_NULL_ARGUMENT;
    doc->strict = on != 0;
    return QUORVEL_OK;
}

QUORVEL_API int quorvel_document_get_strict(quorvel_document* doc) {
    return doc ? doc->strict : g_quorvel_strict_mode;
}

QUORVEL_API quorvel_status quorvel_document_set_allocators(quorvel_document* doc, void* value1, void* value2) {
    if (!doc) return QUORVEL_ERR_NULL_ARGUMENT;
    doc->caller_values[0] = value1;
    doc->caller_values[1] = value2;
    return QUORVEL_OK;
}

QUORVEL_API const char* quorvel_document_last_error(quorvel_document* doc) {
    if (!doc || !doc->error_text[0]) return nullptr;
    return doc->error_text;
}

QUORVEL_API quorvel_status quorvel_document_set_root_ex(quorvel_document* doc, quorvel_element* root,
                                                        quorvel_element** installed) {
    if (installed) *installed = nullptr;
    if (!doc || !root) {
        quorvel_set_last_error("set_root: NULL document or element");
        return QUORVEL_ERR_NULL_ARGUMENT;
    }
    if (root->parent != 0 && quorvel_link_get(root, &root->parent)) {
        quorvel_set_last_error("set_root: element is attached to a parent");
        return QUORVEL_ERR_INVALID_ARGUMENT;
    }
    quorvel_element* element = root;
    quorvel_document* old = quorvel_element_get_document(root);
    if (old != doc) {
        element = quorvel_element_copy(root, doc);
        if (!element) {
            quorvel_set_last_error("set_root: adoption copy failed");
            return QUORVEL_ERR_MEMORY;
        }
        if (old) {
            quorvel_status st = quorvel_document_unlink_top(old, &root->head);
            if (st == QUORVEL_ERR_MEMORY) return st;
            if (old->root == root) old->root = nullptr;
            if (old->secondary_root == root) old->secondary_root = nullptr;
        }
    }

    // Replace the first element of the top-level list in place, or append.
    // Each step writes the new node's own link before the link into it, so
    // a link that cannot be recorded leaves the list as it was.
    quorvel_node* node = &element->head;
    if (doc->first_top) {
        quorvel_node* prev = nullptr;
        quorvel_node* n = doc->first_top;
        for (;;) {
            if (n->kind == QUORVEL_NODE_ELEMENT) {
                if (n == node) break;  // already in place
                quorvel_node* next = quorvel_node_next_raw(n);
                if (!quorvel_node_set_next_sibling(node, next)) return QUORVEL_ERR_MEMORY;
                if (prev) {
                    if (!quorvel_node_set_next_sibling(prev, node)) return QUORVEL_ERR_MEMORY;
                } else {
                    doc->first_top = node;
                }
                quorvel_node_clear_next_sibling(n);
                if (doc->last_top == n) doc->last_top = node;
                break;
            }
            quorvel_node* next = quorvel_node_sibling_field(n) ? quorvel_node_next_raw(n) : nullptr;
            if (!next) {
                quorvel_node* last = doc->last_top ? doc->last_top : n;
                quorvel_node_clear_next_sibling(node);
                if (!quorvel_node_set_next_sibling(last, node)) return QUORVEL_ERR_MEMORY;
                doc->last_top = node;
                break;
            }
            prev = n;
            n = next;
        }
    }
    if (installed) *installed = element;
    doc->root = element;
    doc->secondary_root = element;
    quorvel_root_doc_register(element, doc);
    return QUORVEL_OK;
}

QUORVEL_API quorvel_status quorvel_document_set_root(quorvel_document* doc, quorvel_element* root) {
    return quorvel_document_set_root_ex(doc, root, nullptr);
}

}  // extern "C"
