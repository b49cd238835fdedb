// Extraction plans: the compiled plan, result values and the arena they
// live in, shared by the plan build, the document walk, the event build,
// XML output and the document rebuild.
//
// A result is one chain of arena chunks owned by its root value. Chunks are
// taken through the calling thread's allocation hooks and each remembers
// how it must be released, so a result may be freed on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/core.h"
#include "quorvel.h"

// ---- Compiled plan ---------------------------------------------------------------

// The compiled element row. Attribute and child rows keep the caller's
// layouts, with every text (and the pair and predicate arrays) owned by
// the plan.
struct quorvel_plan_entry {
    char* name;
    uint8_t ns_mode;
    char* ns_uri;
    char* prefix;  // NULL unless the row had both ns_uri and prefix
    uint32_t attr_row_count;
    quorvel_plan_attr_row* attr_rows;
    uint32_t child_row_count;
    quorvel_plan_child_row* child_rows;
    uint16_t flags;
};

struct quorvel_plan {
    uint32_t element_row_count;
    quorvel_plan_entry* entries;
};

// Child row kinds.
enum : uint8_t {
    kPlanList = 2,
    kPlanNested = 3,
    kPlanRaw = 4,
    kPlanText = 5,
    kPlanElementText = 6,
    kPlanCatchAll = 7,
};

// Value kinds.
enum : uint32_t {
    kValueElement = 0,
    kValueLeaf = 1,
    kValueList = 2,
    kValueRaw = 3,
    kValueElementText = 4,
};

// ---- Arena --------------------------------------------------------------------------

struct plan_chunk {
    plan_chunk* next;  // older chunk
    size_t used;
    size_t capacity;
    quorvel_release_fn release;
    // data follows
};
static_assert(sizeof(plan_chunk) == 32);

// Allocations come from the newest chunk only; a request that does not fit
// starts a new chunk, so allocation never walks the chain.
struct plan_arena {
    plan_chunk* head = nullptr;
    size_t next_chunk = 16384;

    void* alloc(size_t n) {
        size_t size = (n + 7) & ~size_t(7);
        plan_chunk* c = head;
        if (n <= SIZE_MAX - 7 && c && c->capacity - c->used >= size) [[likely]] {
            void* p = reinterpret_cast<char*>(c + 1) + c->used;
            c->used += size;
            return p;
        }
        return alloc_slow(n);
    }
    void* alloc_slow(size_t n);           // starts a new chunk when n does not fit
    char* copy(const char* s, size_t n);  // n bytes and a NUL
    char* copy(const char* s);            // NULL stays NULL
};

// Starts a chain with one chunk; false when memory runs out.
bool plan_arena_start(plan_arena* arena);
// Releases every chunk of the chain.
void plan_arena_release(plan_chunk* head);

// ---- Values ----------------------------------------------------------------------------

// Laid out for size: a walk makes one per value kept. Leaves, raw XML and
// element text are allocated without the branch fields at the end (from
// children on), so those are read only where plan_value_branches says so.
struct quorvel_plan_value {
    const char* name;
    const char* text;
    size_t length;
    size_t position;
    const char* prefix;
    const char* ns_uri;
    union {
        int64_t int_value;
        double float_value;
        uint8_t bool_value;
    };
    uint32_t kind;
    uint32_t order_index;
    uint32_t element_row_index;
    int32_t child_row_index;
    uint8_t type_tag;
    uint8_t node_kind;
    uint8_t typed_valid;
    uint8_t flags;
    // Elements and lists only.
    quorvel_plan_value** children;
    uint32_t child_count;
    uint32_t child_capacity;
    // The captured attributes: one block of four arrays of attr_capacity
    // entries (names, values, output prefixes, their URIs); see the readers
    // below.
    const char** attrs;
    uint32_t attr_count;
    uint32_t attr_capacity;
    plan_chunk* arena;  // the chain; set on the root, which owns it (flags)
};
static_assert(sizeof(quorvel_plan_value) == 120);
constexpr size_t kPlanLeafBytes = offsetof(quorvel_plan_value, children);
static_assert(kPlanLeafBytes == 80);

// True for the kinds that carry the branch fields (elements and lists).
inline bool plan_value_branches(const quorvel_plan_value* v) { return v->kind == 0 || v->kind == 2; }

inline const char** plan_attr_names(const quorvel_plan_value* v) { return v->attrs; }
inline const char** plan_attr_values(const quorvel_plan_value* v) { return v->attrs + v->attr_capacity; }
inline const char** plan_attr_prefixes(const quorvel_plan_value* v) { return v->attrs + 2 * size_t(v->attr_capacity); }
inline const char** plan_attr_uris(const quorvel_plan_value* v) { return v->attrs + 3 * size_t(v->attr_capacity); }
constexpr uint8_t kValueOwnsArena = 0x01;

// A zeroed value of the kind (child_row_index -1); NULL without memory.
quorvel_plan_value* plan_value_new(plan_arena* arena, uint32_t kind);
// Appends child, doubling the array from the arena; false without memory.
bool plan_value_append_slow(plan_arena* arena, quorvel_plan_value* parent, quorvel_plan_value* child);
inline bool plan_value_append(plan_arena* arena, quorvel_plan_value* parent, quorvel_plan_value* child) {
    if (parent->child_count < parent->child_capacity) [[likely]] {
        parent->children[parent->child_count++] = child;
        return true;
    }
    return plan_value_append_slow(arena, parent, child);
}
// Room for n more children, as one exact array when there is none yet.
bool plan_value_reserve_children(plan_arena* arena, quorvel_plan_value* parent, size_t n);
// Room for n more captured attributes (arrays grow geometrically).
bool plan_value_reserve_attributes(plan_arena* arena, quorvel_plan_value* v, size_t n);

// Typed conversion of v's text by its type tag (C-locale numbers).
void plan_convert(quorvel_plan_value* v);

// ---- Shared by output and rebuild ---------------------------------------------------

// A namespace declaration collected from a result.
struct plan_decl {
    const char* prefix;
    const char* uri;
};

// Growable heap array of trivially copyable items (working memory).
template <typename T>
struct plan_vec {
    T* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
    ~plan_vec() { quorvel_work_free(data); }
    bool push(const T& item) {
        if (size == capacity && !grow(size + 1)) return false;
        data[size++] = item;
        return true;
    }
    bool grow(size_t need) {
        if (need <= capacity) return true;
        size_t cap = capacity ? capacity * 2 : 16;
        while (cap < need) cap *= 2;
        if (cap > SIZE_MAX / sizeof(T)) return false;
        void* p = quorvel_work_realloc(data, size * sizeof(T), cap * sizeof(T));
        if (!p) return false;
        data = static_cast<T*>(p);
        capacity = cap;
        return true;
    }
};

// How an item of an element's content is written.
enum plan_item_form { kFormText, kFormElement, kFormRaw };

// The checked, ordered view of a result that output and rebuild share: the
// declarations for the top element, then per element its name and its
// items. Both walk the same tree the same way, so one prepared tree gives
// the same XML text and the same document.
struct plan_prepared {
    plan_vec<plan_decl> decls;
};

// Collects the declarations of value's tree and checks that the tree can
// be written as namespace-well-formed XML. 0, -5 or -1.
int plan_prepare(const quorvel_plan* plan, const quorvel_plan_value* value, plan_prepared* out);

// The name an element-form value is written with (owned by the result or
// the plan, or built into scratch): prefix:local. *length gets its length.
// NULL without memory.
struct plan_name {
    const char* prefix;  // NULL for none
    const char* local;   // never NULL ("" when the value has no name)
};
plan_name plan_value_output_name(const quorvel_plan* plan, const quorvel_plan_value* v, bool element);

// The plan entry for an element value's children given its parent's entry
// (NULL for the top value).
const quorvel_plan_entry* plan_children_entry(const quorvel_plan* plan, const quorvel_plan_entry* parent,
                                              const quorvel_plan_value* v);

// The form of item v among the content of an element whose children's
// entry is parent (NULL: none).
plan_item_form plan_item_form_of(const quorvel_plan_entry* parent, const quorvel_plan_value* v);

// Appends v's content items (lists dissolved, depth-first) to items and
// sorts the appended part by (position, order_index). False without memory.
bool plan_collect_items(const quorvel_plan_value* v, plan_vec<const quorvel_plan_value*>* items);

// Checks for names, text and URIs.
bool plan_is_ncname(const char* s, size_t n);
bool plan_is_xml_text(const char* s, size_t n);  // valid UTF-8 of XML characters
