// Core runtime shared by every subsystem: per-thread settings and last
// error, hooked allocation, arenas, pools and block caches, the string hash
// table, and compact links with the per-thread overflow table.
//
// Invariant kept throughout: every block remembers how it must be released
// (its release function, or NULL for plain malloc/free). Only plain-malloc
// blocks ever enter a cache, so memory always goes back to the allocator
// that made it, whatever hooks the releasing thread has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quorvel.h"

struct quorvel_document;

// Blocks parked in a cache are poisoned under AddressSanitizer, so a read
// through a stale pointer into a freed document is reported even when its
// memory was kept for reuse instead of going back to malloc.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUORVEL_ASAN 1
#endif
#if QUORVEL_ASAN
extern "C" void __asan_poison_memory_region(void const volatile* addr, size_t size);
extern "C" void __asan_unpoison_memory_region(void const volatile* addr, size_t size);
inline void quorvel_poison(const void* p, size_t n) { __asan_poison_memory_region(p, n); }
inline void quorvel_unpoison(const void* p, size_t n) { __asan_unpoison_memory_region(p, n); }
#else
inline void quorvel_poison(const void*, size_t) {}
inline void quorvel_unpoison(const void*, size_t) {}
#endif

// ---- Per-thread settings and last error -----------------------------------

extern thread_local constinit quorvel_alloc_function g_quorvel_alloc_function;
extern thread_local constinit quorvel_dealloc_function g_quorvel_dealloc_function;
extern thread_local constinit int g_quorvel_strict_mode;
extern thread_local constinit int g_quorvel_max_depth;
extern thread_local constinit char error_message[512];
extern thread_local constinit int last_error_line;
extern thread_local constinit int last_error_column;

// Writes the thread's last-error text (at most 511 bytes and a NUL).
void quorvel_set_last_error(const char* message);
void quorvel_set_last_errorf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Hooked allocation ----------------------------------------------------

// Release function recorded with a block. NULL: made by malloc, released by
// free, and eligible for the caches.
using quorvel_release_fn = void (*)(void*);

// Allocates n bytes through the calling thread's allocation hook, or malloc
// when none is set, and tells how the block must be released.
void* quorvel_hooked_alloc(size_t n, quorvel_release_fn* release);
inline void quorvel_hooked_release(void* block, quorvel_release_fn release) {
    if (release)
        release(block);
    else
        std::free(block);
}
// Working memory that lives for one operation or one handle (parser
// scratch, stacks, tables): from the calling thread's allocation hooks, each
// block carrying its release function in a 16-byte header, so it goes back
// to the allocator that made it whichever thread frees it. Data is
// 16-aligned. realloc keeps the first `keep` bytes and gives NULL, the old
// block untouched, when memory runs out; block may be NULL.
void* quorvel_work_alloc(size_t n);
void* quorvel_work_calloc(size_t n);
void* quorvel_work_realloc(void* block, size_t keep, size_t n);
void quorvel_work_free(void* block);

// A growable array of trivially copyable records in working memory; the
// owner calls release().
template <typename T>
struct quorvel_grow_array {
    T* data = nullptr;
    size_t count = 0;
    size_t capacity = 0;

    bool push(const T& value) {
        if (count == capacity) {
            size_t grown = capacity ? capacity * 2 : 16;
            void* fresh = quorvel_work_realloc(data, count * sizeof(T), grown * sizeof(T));
            if (!fresh) return false;
            data = static_cast<T*>(fresh);
            capacity = grown;
        }
        data[count++] = value;
        return true;
    }
    void release() {
        quorvel_work_free(data);
        data = nullptr;
        count = capacity = 0;
    }
};

// A random odd value, fixed for the process, that seeds the hashes of names
// read from documents, so that crafted names cannot be aimed at one probe
// chain.
extern uint64_t g_quorvel_hash_seed;
uint64_t quorvel_hash_seed_init();
inline uint64_t quorvel_hash_seed() {
    uint64_t seed = __atomic_load_n(&g_quorvel_hash_seed, __ATOMIC_RELAXED);
    return seed ? seed : quorvel_hash_seed_init();
}

// True while the calling thread has either hook set: caches are bypassed.
inline bool quorvel_hooks_active() {
    return g_quorvel_alloc_function != nullptr || g_quorvel_dealloc_function != nullptr;
}

// The library's general malloc string copy (released with free).
char* xsd_strdup(const char* s);

// ---- Arenas ---------------------------------------------------------------

struct quorvel_arena {
    void* base;                  // the allocation itself, where this header stands
    char* data;                  // first data byte, right behind the header
    size_t capacity;             // data bytes
    size_t used;                 // data bytes handed out
    int exhausted;               // 1 once a request did not fit (informative only)
    quorvel_release_fn release;  // how the block goes back; NULL = free (cacheable)
    // A reserved arena (quorvel_arena_reserve): the mapping's length, header
    // included, and the most data bytes any arena over it has handed out
    // (what of it the kernel has committed). Both 0 for a malloc'd block.
    size_t mapped;
    size_t touched;
};
static_assert(sizeof(quorvel_arena) == 64, "arena header is 64 bytes");

quorvel_arena* quorvel_arena_create(size_t capacity);
// An arena over address space reserved up front: one private mapping of at
// least capacity data bytes whose pages the kernel commits as they are first
// touched, so a document's input copies, records and working arrays all lie
// in one range, near enough for every link between them, whatever malloc
// does with blocks of their sizes. A warm mapping from the shared cache when
// one is large enough. NULL when the calling thread has allocation hooks
// (its memory must come from them) or the address space is not given: the
// caller then makes its blocks the ordinary way. Destroyed as any arena.
quorvel_arena* quorvel_arena_reserve(size_t capacity);
void quorvel_arena_destroy(quorvel_arena* arena);
// Takes ownership of a block of exactly size bytes: caches it when it was
// made by malloc and a cache has room, else releases it.
void retain_give(void* block, size_t size, quorvel_release_fn release);
// A large block of at least size bytes (*actual says how many, which is the
// size to give back): a warm one from the shared cache when one fits, else
// made under the thread's hooks. Give it back with retain_give.
void* quorvel_large_alloc(size_t size, size_t* actual, quorvel_release_fn* release);
void* retain_take(size_t size, size_t* actual);

// Block caches (exposed for thread clean-up and tests).
constexpr size_t kSmallCacheSlots = 8;
constexpr size_t kSmallCacheBytes = 2u * 1024 * 1024;
constexpr size_t kLargeBlockMin = 256u * 1024;
// The shared cache keeps the large blocks of a few parses warm: arena,
// input copies and working arrays, at most 8 blocks and 1 GiB in all, given
// back by quorvel_thread_cleanup.
constexpr size_t kRetainSlots = 8;
constexpr size_t kRetainBytes = size_t(1) << 30;

struct quorvel_block_cache {
    void* blocks[8];
    size_t sizes[8];
    size_t count;
    size_t bytes;
};
extern thread_local constinit quorvel_block_cache g_small;

// The shared cache, oldest first. A malloc'd block counts its size; a
// reserved mapping counts what of it has been committed (resident), and
// sizes holds the mapping's length.
struct quorvel_retain_cache {
    void* blocks[kRetainSlots];
    size_t sizes[kRetainSlots];
    size_t resident[kRetainSlots];
    bool mapped[kRetainSlots];
    size_t count;
    size_t bytes;  // sum of resident
};
extern quorvel_retain_cache g_retain;  // guarded by g_retain_lock
void quorvel_retain_lock();
void quorvel_retain_unlock();
// Empties the shared cache, releasing every block (thread clean-up).
void quorvel_retain_release_all();

// ---- Pools ----------------------------------------------------------------

struct quorvel_pool_page {
    quorvel_pool_page* next;
    size_t capacity;             // data bytes
    size_t used;
    quorvel_release_fn release;  // for pages made outside the header block
    size_t alloc_size;           // whole allocation, header included
    // data follows (8-aligned)
};

struct quorvel_oversized {
    quorvel_oversized* next;
    void* block;
    size_t size;
    quorvel_release_fn release;  // of the block (and of this node when separate)
};

struct quorvel_hash_table;

struct quorvel_pool {
    quorvel_pool_page* first_page;  // page pools only
    quorvel_pool_page* current_page;
    size_t page_count;
    quorvel_hash_table* intern;  // NULL when the pool does not intern
    size_t page_size;            // 0 in arena-backed pools
    int first_page_inline;
    int header_in_arena;
    quorvel_oversized* over_head;
    quorvel_oversized** over_tail;
    quorvel_arena* arena;  // NULL for page pools
    int owns_arena;
    quorvel_release_fn release;  // of the header block (unless in the arena)
    size_t header_alloc_size;    // page pools: header plus inline page
    // Arena-backed pools whose arena is full serve small requests from spill
    // chunks (listed with the oversized blocks) instead of one block each.
    char* spill_next;
    char* spill_end;
    size_t spill_chunk;  // size of the next spill chunk
};

quorvel_pool* quorvel_pool_create_with_page_size(size_t page_size);
quorvel_pool* quorvel_pool_create_arena_backed(quorvel_arena* arena, int owns);
// Hands a block made by quorvel_hooked_alloc on this thread (release is
// what it gave) to an arena-backed pool, which releases it when destroyed.
// False, with the block still the caller's, when the list entry cannot be made.
bool quorvel_pool_adopt_block(quorvel_pool* pool, void* block, size_t size, quorvel_release_fn release);
void quorvel_pool_destroy(quorvel_pool* pool);
void* quorvel_pool_alloc_slow(quorvel_pool* pool, size_t size, size_t n);

// 8-aligned memory of at least n bytes, valid until the pool is destroyed.
inline void* quorvel_pool_alloc(quorvel_pool* pool, size_t n) {
    if (!pool || n == 0 || n > SIZE_MAX - 7) return nullptr;
    size_t size = (n + 7) & ~size_t(7);
    if (quorvel_arena* a = pool->arena) {
        if (a->capacity - a->used >= size) {
            void* p = a->data + a->used;
            a->used += size;
            return p;
        }
    } else if (quorvel_pool_page* pg = pool->current_page) {
        if (pg->capacity - pg->used >= size) {
            void* p = reinterpret_cast<char*>(pg + 1) + pg->used;
            pg->used += size;
            return p;
        }
    }
    return quorvel_pool_alloc_slow(pool, size, n);
}
char* quorvel_pool_strdup(quorvel_pool* pool, const char* s);
char* quorvel_pool_strndup(quorvel_pool* pool, const char* s, size_t n);

// Recycle lists of page-pool headers and pages (per thread).
struct quorvel_recycle_list {
    void* head;  // entries linked through their first word, size in the second
    size_t count;
    size_t limit;
    size_t misses;
};
extern thread_local constinit quorvel_recycle_list t_recycle_pools;
extern thread_local constinit quorvel_recycle_list t_recycle_pages;

// Element, name and attribute block recycle lists fed by document freeing.
// Blocks are always malloc'd and linked through their first word.
extern thread_local constinit void* tls_recycle_elem;
extern thread_local constinit void* tls_recycle_name;
extern thread_local constinit void* tls_recycle_attr;
extern thread_local constinit size_t tls_recycle_elem_bytes;
extern thread_local constinit size_t tls_recycle_name_bytes;
extern thread_local constinit size_t tls_recycle_attr_bytes;

// ---- String views -----------------------------------------------------------

struct quorvel_string_view {
    const char* data;  // not NUL-terminated
    size_t length;
};

// NUL-terminated copy of a view: pooled (and interned when the pool has an
// intern table) or malloc'd without a pool.
char* quorvel_sv_to_cstr_pooled(const quorvel_string_view* view, quorvel_pool* pool);

// ---- String hash table (FNV-1a, 32-bit) -------------------------------------

struct quorvel_hash_entry {
    char* key;  // table's own NUL-terminated copy
    size_t key_length;
    void* value;
    quorvel_hash_entry* next;
};

struct quorvel_hash_table {
    quorvel_hash_entry** buckets;
    size_t bucket_count;
    size_t count;
    size_t hits;
    size_t misses;
};

inline uint32_t quorvel_fnv1a(const char* key, size_t len) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < len; i++) {
        h ^= static_cast<unsigned char>(key[i]);
        h *= 16777619u;
    }
    return h;
}

// Builds a table with bucket_count empty buckets in the pool.
quorvel_hash_table* quorvel_hash_table_create(quorvel_pool* pool, size_t bucket_count);
int quorvel_hash_table_set(quorvel_hash_table* table, const char* key, size_t len, void* value,
                           quorvel_pool* pool);
void hash_table_maybe_grow(quorvel_hash_table* table, quorvel_pool* pool);
inline quorvel_hash_entry* quorvel_hash_table_find(const quorvel_hash_table* table, const char* key,
                                                   size_t len) {
    if (!table || !key || !table->bucket_count) return nullptr;
    uint32_t h = quorvel_fnv1a(key, len);
    for (quorvel_hash_entry* e = table->buckets[h % table->bucket_count]; e; e = e->next)
        if (e->key_length == len && std::memcmp(e->key, key, len) == 0) return e;
    return nullptr;
}
inline void* quorvel_hash_table_get(const quorvel_hash_table* table, const char* key, size_t len) {
    quorvel_hash_entry* e = quorvel_hash_table_find(table, key, len);
    return e ? e->value : nullptr;
}

// ---- Character and predefined-entity references -------------------------------

// The pieces every reference decoder of the library shares: the entity
// decoder of stored values, DTD expansion and the parsers.

enum class char_ref_result {
    complete,   // digits, then ';'
    cut_off,    // at least one digit, then the end of the text
    malformed,  // no digit, a stray byte after the digits, or a value that is
                // no XML character (quorvel_is_xml_char)
};

// Whether a code point is an XML 1.0 character: TAB, LF, CR, and the rest of
// Unicode above the C0 controls but for surrogates, U+FFFE and U+FFFF.
[[gnu::always_inline]] inline bool quorvel_is_xml_char(uint32_t cp) {
    if (cp < 0x20) return cp == 0x9 || cp == 0xA || cp == 0xD;
    return cp < 0xD800 || cp - 0xE000u < 0x1FFEu || cp - 0x10000u < 0x100000u;
}

// Reads a character reference from p, just after "&#", up to end. On
// complete, *code_point holds the value and *after points past the ';'; on
// cut_off, *code_point holds the value; on malformed by a stray byte after
// valid digits, *code_point holds the value and *after points at that byte.
// Inline: the parsers decode references with it in their loops.
inline char_ref_result quorvel_char_ref_parse(const char* p, const char* end, uint32_t* code_point, const char** after) {
    bool hex = p < end && (*p == 'x' || *p == 'X');
    if (hex) p++;
    uint32_t value = 0;
    bool too_big = false;
    const char* digits = p;
    for (; p < end; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        uint32_t d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        // Stop accumulating past the Unicode range: the value is refused
        // anyway and must not wrap back into it.
        if (!too_big) {
            value = value * (hex ? 16 : 10) + d;
            if (value > 0x10FFFF) too_big = true;
        }
    }
    if (p == digits) return char_ref_result::malformed;
    if (too_big || !quorvel_is_xml_char(value)) return char_ref_result::malformed;
    *code_point = value;
    if (p >= end) return char_ref_result::cut_off;
    if (*p != ';') {
        *after = p;  // the stray byte
        return char_ref_result::malformed;
    }
    *after = p + 1;
    return char_ref_result::complete;
}

// Copies n bytes, n usually a short name or value: overlapping word loads
// and stores inside [s, s + n) instead of a library call.
inline void quorvel_copy_short(char* out, const char* s, size_t n) {
    if (n >= 8 && n <= 16) {
        uint64_t a, z;
        std::memcpy(&a, s, 8);
        std::memcpy(&z, s + n - 8, 8);
        std::memcpy(out, &a, 8);
        std::memcpy(out + n - 8, &z, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t a, z;
        std::memcpy(&a, s, 4);
        std::memcpy(&z, s + n - 4, 4);
        std::memcpy(out, &a, 4);
        std::memcpy(out + n - 4, &z, 4);
    } else if (n < 4) {
        // 1 to 3 bytes: positions 0, n / 2 and n - 1 cover them all.
        if (n) {
            char a = s[0], m = s[n / 2], z = s[n - 1];
            out[0] = a;
            out[n / 2] = m;
            out[n - 1] = z;
        }
    } else {
        std::memcpy(out, s, n);
    }
}

// Writes a valid code point as UTF-8; returns the byte count (1 to 4).
inline size_t quorvel_utf8_encode(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// The byte a predefined entity name (lt, gt, amp, apos, quot) stands for,
// or 0 for any other name.
inline char quorvel_predefined_entity(const char* name, size_t n) {
    switch (n) {
        case 2:
            if (name[1] != 't') return 0;
            return name[0] == 'l' ? '<' : name[0] == 'g' ? '>' : 0;
        case 3: return std::memcmp(name, "amp", 3) == 0 ? '&' : 0;
        case 4:
            if (std::memcmp(name, "apos", 4) == 0) return '\'';
            return std::memcmp(name, "quot", 4) == 0 ? '"' : 0;
        default: return 0;
    }
}

// ---- Compact links and the overflow table -----------------------------------

// A 32-bit link holds the target's offset from the start of the record that
// holds the field: 0 = none, INT32_MIN = "look the field up in the overflow
// table". A text node's content link also reserves
// INT32_MAX for empty content.
constexpr int32_t kLinkOverflow = INT32_MIN;
constexpr int32_t kTextEmpty = INT32_MAX;
// The 16-bit next-attribute link counts 8-byte units; -32768 = overflow.
constexpr int16_t kLink16Overflow = INT16_MIN;

struct quorvel_overflow_table;
struct quorvel_overflow_entry;

// A document record begins with the head of the list of overflow entries
// tied to it: the only part of a document core reads (the document model
// asserts the layout).
inline quorvel_overflow_entry** quorvel_overflow_list_of(quorvel_document* doc) {
    return reinterpret_cast<quorvel_overflow_entry**>(doc);
}

struct quorvel_overflow_entry {
    const void* key;  // address of the link field
    void* target;
    quorvel_document* document;  // whose free removes the entry, or NULL
    quorvel_overflow_entry* next_in_bucket;
    quorvel_overflow_entry* next_of_document;
    quorvel_overflow_table* table;  // the table that holds the entry
};

// A block of the table with the release function of the hooks that made it:
// the table is shared, so a block may be released on another thread.
struct quorvel_overflow_slab {
    quorvel_overflow_entry* entries;
    quorvel_release_fn release;
};

struct quorvel_overflow_table {
    quorvel_overflow_entry** buckets;
    size_t bucket_count;  // power of two, 256 at creation
    size_t count;
    quorvel_overflow_slab* slabs;
    size_t slab_count;
    size_t slab_capacity;
    quorvel_overflow_entry* next_free;
    size_t free_left;
    quorvel_overflow_entry* free_list;  // released entries, linked through next_in_bucket
    quorvel_release_fn release;          // of this record
    quorvel_release_fn buckets_release;
    quorvel_release_fn slabs_release;    // of the slab array
};

// The process-wide table (NULL while empty). Every access goes through the
// functions below, which hold its lock; tests read it directly.
extern constinit quorvel_overflow_table* g_overflow_table;

void* overflow_lookup(const void* field);
inline void* quorvel_compact_int32_decode(const void* field) { return overflow_lookup(field); }
int quorvel_compact_overflow_set(quorvel_overflow_table* table, void* field, void* target,
                                 quorvel_document* doc);
quorvel_overflow_table* quorvel_overflow_table_get();  // creates on demand
void quorvel_overflow_table_free(quorvel_overflow_table* table);
// Removes doc's entries from the table (document freeing, on any thread).
void quorvel_overflow_remove_document(quorvel_document* doc, quorvel_overflow_entry* list);
// Drops the entries tied to no document (explicit clean-up).
void quorvel_overflow_release_untied();

// Value for a field of the record at holder; the overflow marker after
// recording an untied entry; 0 when that entry cannot be made.
int32_t quorvel_compact_int32_encode(const void* holder, const void* target, int32_t* field);
// Same, also storing INT32_MAX directly, and tying a new entry to doc.
int32_t quorvel_compact_int32_encode_doc(const void* holder, const void* target, int32_t* field,
                                         quorvel_document* doc);
void* quorvel_compact_ptr16_decode(const void* attribute, int16_t value, const int16_t* field);

// Distance between two records, computed on integers: they need not belong
// to one allocation.
inline ptrdiff_t quorvel_address_distance(const void* from, const void* to) {
    return static_cast<ptrdiff_t>(reinterpret_cast<uintptr_t>(to) - reinterpret_cast<uintptr_t>(from));
}
// True when a 32-bit link from holder can hold target's offset directly.
inline bool quorvel_link_fits(const void* holder, const void* target) {
    ptrdiff_t d = quorvel_address_distance(holder, target);
    return d > INT32_MIN && d <= INT32_MAX;
}

// Inline decode: what every reader writes out.
inline void* quorvel_link_get(const void* holder, const int32_t* field) {
    int32_t v = *field;
    if (v == 0) return nullptr;
    if (v == kLinkOverflow) return overflow_lookup(field);
    return const_cast<char*>(static_cast<const char*>(holder)) + v;
}
// Text content: INT32_MAX also means empty.
inline const char* quorvel_text_link_get(const void* holder, const int32_t* field) {
    int32_t v = *field;
    if (v == 0 || v == kTextEmpty) return nullptr;
    if (v == kLinkOverflow) return static_cast<const char*>(overflow_lookup(field));
    return static_cast<const char*>(holder) + v;
}
inline void* quorvel_link16_get(const void* attribute, const int16_t* field) {
    int16_t v = *field;
    if (v == 0) return nullptr;
    if (v == kLink16Overflow) return overflow_lookup(field);
    return const_cast<char*>(static_cast<const char*>(attribute)) + 8 * static_cast<ptrdiff_t>(v);
}

// Storing "none" needs no overflow entry and cannot fail.
inline void quorvel_link_clear(int32_t* field) { *field = 0; }

// Checked writers: store the link (direct or through an overflow entry tied
// to doc, which may be NULL) and return false when the entry could not be
// made; the field is then 0 and the caller must report the failure.
[[nodiscard]] bool quorvel_link_set(const void* holder, int32_t* field, const void* target, quorvel_document* doc);
[[nodiscard]] bool quorvel_text_link_set(const void* holder, int32_t* field, const void* target,
                           quorvel_document* doc);
[[nodiscard]] bool quorvel_link16_set(const void* attribute, int16_t* field, const void* target,
                        quorvel_document* doc);
// The same writers with their direct case inline, for builders that write
// links per node; the overflow case still goes through the writers above.
[[nodiscard]] inline bool quorvel_link_set_inline(const void* holder, int32_t* field, const void* target, quorvel_document* doc) {
    ptrdiff_t d = quorvel_address_distance(holder, target);
    if (target && d != 0 && d > INT32_MIN && d <= INT32_MAX) {
        *field = static_cast<int32_t>(d);
        return true;
    }
    return quorvel_link_set(holder, field, target, doc);
}
[[nodiscard]] inline bool quorvel_text_link_set_inline(const void* holder, int32_t* field, const void* target,
                                         quorvel_document* doc) {
    ptrdiff_t d = quorvel_address_distance(holder, target);
    if (target && d != 0 && d > INT32_MIN && d < INT32_MAX) {
        *field = static_cast<int32_t>(d);
        return true;
    }
    return quorvel_text_link_set(holder, field, target, doc);
}
[[nodiscard]] inline bool quorvel_link16_set_inline(const void* attribute, int16_t* field, const void* target,
                                     quorvel_document* doc) {
    ptrdiff_t d = quorvel_address_distance(attribute, target);
    if (target && d != 0 && d % 8 == 0 && d / 8 >= -32767 && d / 8 <= 32767) {
        *field = static_cast<int16_t>(d / 8);
        return true;
    }
    return quorvel_link16_set(attribute, field, target, doc);
}

// ---- Teardown hooks ----------------------------------------------------------

// What a subsystem above core must release when a document is freed or a
// thread lets go of its caches. Core and the document model know nothing of
// what later subsystems attach to documents or keep per thread: each of
// those registers one of these instead, once, before it attaches anything.
struct quorvel_teardown_hooks {
    // Frees what the subsystem attached to doc; runs while the document's
    // pool and tree still stand. NULL when it attaches nothing.
    void (*document)(quorvel_document* doc);
    // Frees the calling thread's caches of the subsystem; runs on
    // quorvel_thread_cleanup and at thread exit. NULL when it keeps none.
    void (*thread)();
};
// Room for this many registrations; enough for every subsystem of the library.
constexpr size_t kTeardownSlots = 16;
// Adds hooks (a record with static storage, kept for the life of the
// process); registering the same record again changes nothing. Safe from any
// thread, also while hooks run. False when every slot is taken.
bool quorvel_teardown_register(const quorvel_teardown_hooks* hooks);
// Run the registered hooks in registration order.
void quorvel_teardown_document(quorvel_document* doc);
void quorvel_teardown_thread();

// ---- Per-thread clean-up registration ---------------------------------------

// Makes sure the calling thread's caches are released when it ends.
void quorvel_thread_register_exit();
void quorvel_release_thread_caches();  // thread clean-up steps 2 to 4
void quorvel_release_block_lists();    // element, name and attribute lists
