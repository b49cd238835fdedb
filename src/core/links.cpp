// Compact links that do not fit their field go to the process-wide
// overflow table, keyed by the field's address. A document may be built on
// one thread and read or freed on another, so every thread must find the
// same entries: the table is shared and guarded by one lock. Only links
// that do not fit ever reach it; a link that fits is decoded inline.
// Entries are tied to the document that holds the field whenever it is
// known, so freeing that document (on any thread) removes them, and their
// slots are reused.
#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "core/core.h"

constinit quorvel_overflow_table* g_overflow_table = nullptr;

namespace {

pthread_mutex_t g_overflow_lock = PTHREAD_MUTEX_INITIALIZER;

struct overflow_guard {
    overflow_guard() { pthread_mutex_lock(&g_overflow_lock); }
    ~overflow_guard() { pthread_mutex_unlock(&g_overflow_lock); }
    overflow_guard(const overflow_guard&) = delete;
    overflow_guard& operator=(const overflow_guard&) = delete;
};

constexpr size_t kSlabEntries = 256;

size_t bucket_of(const void* key, size_t bucket_count) {
    uint64_t k = reinterpret_cast<uintptr_t>(key);
    return static_cast<size_t>((k * 0x9E3779B97F4A7C15ull) >> 32) & (bucket_count - 1);
}

// n zeroed bucket heads through the calling thread's hooks.
quorvel_overflow_entry** buckets_create(size_t n, quorvel_release_fn* release) {
    auto* b = static_cast<quorvel_overflow_entry**>(quorvel_hooked_alloc(n * sizeof(quorvel_overflow_entry*), release));
    if (b) std::memset(static_cast<void*>(b), 0, n * sizeof(quorvel_overflow_entry*));
    return b;
}

quorvel_overflow_table* table_create() {
    quorvel_release_fn release;
    auto* t = static_cast<quorvel_overflow_table*>(quorvel_hooked_alloc(sizeof(quorvel_overflow_table), &release));
    if (!t) return nullptr;
    std::memset(static_cast<void*>(t), 0, sizeof *t);
    t->release = release;
    t->buckets = buckets_create(256, &t->buckets_release);
    if (!t->buckets) {
        quorvel_hooked_release(t, release);
        return nullptr;
    }
    t->bucket_count = 256;
    return t;
}

quorvel_overflow_entry* table_find(quorvel_overflow_table* t, const void* key) {
    for (quorvel_overflow_entry* e = t->buckets[bucket_of(key, t->bucket_count)]; e; e = e->next_in_bucket)
        if (e->key == key) return e;
    return nullptr;
}

// Takes entry out of its bucket and keeps its slot for the next entry.
void table_release(quorvel_overflow_table* t, quorvel_overflow_entry* entry) {
    quorvel_overflow_entry** link = &t->buckets[bucket_of(entry->key, t->bucket_count)];
    for (; *link; link = &(*link)->next_in_bucket) {
        if (*link == entry) {
            *link = entry->next_in_bucket;
            t->count--;
            entry->key = nullptr;
            entry->document = nullptr;
            entry->next_in_bucket = t->free_list;
            t->free_list = entry;
            return;
        }
    }
}

// The table, made on first need; the lock is held.
quorvel_overflow_table* table_get_locked() {
    if (!g_overflow_table) g_overflow_table = table_create();
    return g_overflow_table;
}

// Frees the table once it holds nothing; the lock is held.
void table_drop_if_empty() {
    quorvel_overflow_table* t = g_overflow_table;
    if (t && t->count == 0) {
        quorvel_overflow_table_free(t);
        g_overflow_table = nullptr;
    }
}

int overflow_set_locked(quorvel_overflow_table* t, void* field, void* target, quorvel_document* doc) {
    if (!field || !t) return -1;
    if (quorvel_overflow_entry* e = table_find(t, field)) {
        e->target = target;
        // An entry made without a document joins the first document it is
        // given; one already tied stays on its first document's list.
        if (!e->document && doc) {
            e->document = doc;
            quorvel_overflow_entry** list = quorvel_overflow_list_of(doc);
            e->next_of_document = *list;
            *list = e;
        }
        return 0;
    }
    quorvel_overflow_entry* e = t->free_list;
    if (e) {
        t->free_list = e->next_in_bucket;
    } else {
        if (t->free_left == 0) {
            if (t->slab_count == t->slab_capacity) {
                size_t cap = t->slab_capacity ? t->slab_capacity * 2 : 4;
                quorvel_release_fn release;
                auto* slabs = static_cast<quorvel_overflow_slab*>(
                    quorvel_hooked_alloc(cap * sizeof(quorvel_overflow_slab), &release));
                if (!slabs) return -1;
                if (t->slab_count) std::memcpy(slabs, t->slabs, t->slab_count * sizeof(quorvel_overflow_slab));
                if (t->slabs) quorvel_hooked_release(t->slabs, t->slabs_release);
                t->slabs = slabs;
                t->slabs_release = release;
                t->slab_capacity = cap;
            }
            quorvel_release_fn release;
            auto* slab = static_cast<quorvel_overflow_entry*>(
                quorvel_hooked_alloc(kSlabEntries * sizeof(quorvel_overflow_entry), &release));
            if (!slab) return -1;
            t->slabs[t->slab_count++] = quorvel_overflow_slab{slab, release};
            t->next_free = slab;
            t->free_left = kSlabEntries;
        }
        e = t->next_free++;
        t->free_left--;
    }
    e->key = field;
    e->target = target;
    e->document = doc;
    e->table = t;
    size_t b = bucket_of(field, t->bucket_count);
    e->next_in_bucket = t->buckets[b];
    t->buckets[b] = e;
    t->count++;
    e->next_of_document = nullptr;
    if (doc) {
        quorvel_overflow_entry** list = quorvel_overflow_list_of(doc);
        e->next_of_document = *list;
        *list = e;
    }
    if (t->count >= t->bucket_count) {
        size_t n = t->bucket_count * 2;
        quorvel_release_fn fresh_release;
        quorvel_overflow_entry** fresh = buckets_create(n, &fresh_release);
        if (fresh) {  // without it the table still works, with longer chains
            for (size_t i = 0; i < t->bucket_count; i++) {
                for (quorvel_overflow_entry* x = t->buckets[i]; x;) {
                    quorvel_overflow_entry* next = x->next_in_bucket;
                    size_t nb = bucket_of(x->key, n);
                    x->next_in_bucket = fresh[nb];
                    fresh[nb] = x;
                    x = next;
                }
            }
            quorvel_hooked_release(t->buckets, t->buckets_release);
            t->buckets = fresh;
            t->buckets_release = fresh_release;
            t->bucket_count = n;
        }
    }
    return 0;
}

bool store_overflow(void* field, const void* target, quorvel_document* doc) {
    overflow_guard guard;
    quorvel_overflow_table* t = table_get_locked();
    return t && overflow_set_locked(t, field, const_cast<void*>(target), doc) == 0;
}

}  // namespace

quorvel_overflow_table* quorvel_overflow_table_get() {
    overflow_guard guard;
    return table_get_locked();
}

void quorvel_overflow_table_free(quorvel_overflow_table* t) {
    if (!t) return;
    for (size_t i = 0; i < t->slab_count; i++) quorvel_hooked_release(t->slabs[i].entries, t->slabs[i].release);
    if (t->slabs) quorvel_hooked_release(t->slabs, t->slabs_release);
    quorvel_hooked_release(t->buckets, t->buckets_release);
    quorvel_hooked_release(t, t->release);
}

void* overflow_lookup(const void* field) {
    if (!field) return nullptr;
    overflow_guard guard;
    quorvel_overflow_table* t = g_overflow_table;
    if (!t) return nullptr;
    quorvel_overflow_entry* e = table_find(t, field);
    return e ? e->target : nullptr;
}

int quorvel_compact_overflow_set(quorvel_overflow_table* t, void* field, void* target,
                                 quorvel_document* doc) {
    overflow_guard guard;
    return overflow_set_locked(t, field, target, doc);
}

void quorvel_overflow_remove_document(quorvel_document* doc, quorvel_overflow_entry* list) {
    overflow_guard guard;
    quorvel_overflow_table* t = g_overflow_table;
    if (!t) return;
    for (quorvel_overflow_entry* e = list; e;) {
        quorvel_overflow_entry* next = e->next_of_document;
        if (e->document == doc && e->table == t) table_release(t, e);
        e = next;
    }
    table_drop_if_empty();
}

void quorvel_overflow_release_untied() {
    overflow_guard guard;
    quorvel_overflow_table* t = g_overflow_table;
    if (!t) return;
    for (size_t i = 0; i < t->bucket_count; i++) {
        for (quorvel_overflow_entry* e = t->buckets[i]; e;) {
            quorvel_overflow_entry* next = e->next_in_bucket;
            if (!e->document) table_release(t, e);
            e = next;
        }
    }
    table_drop_if_empty();
}

int32_t quorvel_compact_int32_encode(const void* holder, const void* target, int32_t* field) {
    if (!target) return 0;
    ptrdiff_t d = quorvel_address_distance(holder, target);
    if (d > INT32_MIN && d < INT32_MAX) return static_cast<int32_t>(d);
    if (!store_overflow(field, target, nullptr)) return 0;
    return kLinkOverflow;
}

int32_t quorvel_compact_int32_encode_doc(const void* holder, const void* target, int32_t* field,
                                         quorvel_document* doc) {
    if (!target) return 0;
    ptrdiff_t d = quorvel_address_distance(holder, target);
    if (d > INT32_MIN && d <= INT32_MAX) return static_cast<int32_t>(d);
    if (!store_overflow(field, target, doc)) return 0;
    return kLinkOverflow;
}

void* quorvel_compact_ptr16_decode(const void* attribute, int16_t value, const int16_t* field) {
    if (value == 0) return nullptr;
    if (value == kLink16Overflow) return overflow_lookup(field);
    return const_cast<char*>(static_cast<const char*>(attribute)) + 8 * static_cast<ptrdiff_t>(value);
}


bool quorvel_link_set(const void* holder, int32_t* field, const void* target, quorvel_document* doc) {
    if (!target) {
        *field = 0;
        return true;
    }
    ptrdiff_t d = quorvel_address_distance(holder, target);
    if (d > INT32_MIN && d <= INT32_MAX) {
        *field = static_cast<int32_t>(d);
        return true;
    }
    if (!store_overflow(field, target, doc)) {
        *field = 0;
        return false;
    }
    *field = kLinkOverflow;
    return true;
}

bool quorvel_text_link_set(const void* holder, int32_t* field, const void* target,
                           quorvel_document* doc) {
    if (!target) {
        *field = kTextEmpty;
        return true;
    }
    ptrdiff_t d = quorvel_address_distance(holder, target);
    if (d > INT32_MIN && d < INT32_MAX && d != 0) {
        *field = static_cast<int32_t>(d);
        return true;
    }
    if (!store_overflow(field, target, doc)) {
        *field = kTextEmpty;
        return false;
    }
    *field = kLinkOverflow;
    return true;
}

bool quorvel_link16_set(const void* attribute, int16_t* field, const void* target,
                        quorvel_document* doc) {
    if (!target) {
        *field = 0;
        return true;
    }
    ptrdiff_t d = quorvel_address_distance(attribute, target);
    if (d % 8 == 0 && d / 8 >= -32767 && d / 8 <= 32767 && d != 0) {
        *field = static_cast<int16_t>(d / 8);
        return true;
    }
    if (!store_overflow(field, target, doc)) {
        *field = 0;
        return false;
    }
    *field = kLink16Overflow;
    return true;
}
