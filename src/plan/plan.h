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
#include <cstring>

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
    // n bytes and a NUL. Most texts a walk keeps are a few bytes long:
    // those are copied inline.
    char* copy(const char* s, size_t n) {
        if (n > 16) return copy_long(s, n);
        auto* out = static_cast<char*>(alloc(n + 1));
        if (!out) return nullptr;
        // Two overlapping fixed-size moves cover any length in their range.
        if (n >= 8) {
            std::memcpy(out, s, 8);
            std::memcpy(out + n - 8, s + n - 8, 8);
        } else if (n >= 4) {
            std::memcpy(out, s, 4);
            std::memcpy(out + n - 4, s + n - 4, 4);
        } else {
            if (n) out[0] = s[0];
            if (n > 1) out[1] = s[1];
            if (n > 2) out[2] = s[2];
        }
        out[n] = '\0';
        return out;
    }
    char* copy_long(const char* s, size_t n);
    char* copy(const char* s);            // NULL stays NULL
};

// Starts a chain with one chunk; false when memory runs out.
bool plan_arena_start(plan_arena* arena);
// Releases every chunk of the chain.
void plan_arena_release(plan_chunk* head);

// ---- Values ----------------------------------------------------------------------------

// What a value shares with every other value made by the same row: its
// name, output prefix and URI, the rows it came from and its type tag. A
// walk makes one per row up front, so values only point at it; values whose
// name is their own (catch-all rows, events) get one of their own.
struct plan_shape {
    const char* name;
    const char* prefix;
    const char* ns_uri;
    uint32_t element_row_index;
    int32_t child_row_index;
    uint8_t type_tag;
};

// Laid out for size: a walk makes one per value kept. The common head is
// followed by the leaf part (leaves, raw XML, element text) or the branch
// part (elements and lists), and each kind is allocated only that long.
struct quorvel_plan_value {
    const plan_shape* shape;
    size_t position;
    uint32_t order_index;
    uint8_t kind;
    uint8_t node_kind;
    uint8_t typed_valid;
    uint8_t flags;
    union {
        struct {
            const char* text;
            size_t length;
            union {
                int64_t int_value;
                double float_value;
                uint8_t bool_value;
            };
        } leaf;
        struct {
            quorvel_plan_value** children;
            uint32_t child_count;
            uint32_t child_capacity;
            // The captured attributes: one block of four arrays of
            // attr_capacity entries (names, values, output prefixes, their
            // URIs); see the readers below.
            const char** attrs;
            uint32_t attr_count;
            uint32_t attr_capacity;
        } branch;
    };
};
constexpr size_t kPlanHeadBytes = 24;
constexpr size_t kPlanLeafBytes = kPlanHeadBytes + 24;
constexpr size_t kPlanBranchBytes = kPlanHeadBytes + 32;
static_assert(offsetof(quorvel_plan_value, leaf) == kPlanHeadBytes);
static_assert(sizeof(quorvel_plan_value) == kPlanBranchBytes);

// True for the kinds that carry the branch part (elements and lists).
inline bool plan_value_branches(const quorvel_plan_value* v) { return v->kind == 0 || v->kind == 2; }

inline const char* plan_value_name(const quorvel_plan_value* v) { return v->shape->name; }
inline const char* plan_value_prefix(const quorvel_plan_value* v) { return v->shape->prefix; }
inline const char* plan_value_uri(const quorvel_plan_value* v) { return v->shape->ns_uri; }
inline uint32_t plan_value_element_row(const quorvel_plan_value* v) { return v->shape->element_row_index; }
inline int32_t plan_value_child_row(const quorvel_plan_value* v) { return v->shape->child_row_index; }
// The text of a leaf-part value, NULL for elements and lists.
inline const char* plan_value_text(const quorvel_plan_value* v) {
    return plan_value_branches(v) ? nullptr : v->leaf.text;
}
inline size_t plan_value_length(const quorvel_plan_value* v) { return plan_value_branches(v) ? 0 : v->leaf.length; }
inline uint32_t plan_value_count(const quorvel_plan_value* v) {
    return plan_value_branches(v) ? v->branch.child_count : 0;
}
inline uint32_t plan_value_attr_count(const quorvel_plan_value* v) {
    return plan_value_branches(v) ? v->branch.attr_count : 0;
}

inline const char** plan_attr_names(const quorvel_plan_value* v) { return v->branch.attrs; }
inline const char** plan_attr_values(const quorvel_plan_value* v) { return v->branch.attrs + v->branch.attr_capacity; }
inline const char** plan_attr_prefixes(const quorvel_plan_value* v) {
    return v->branch.attrs + 2 * size_t(v->branch.attr_capacity);
}
inline const char** plan_attr_uris(const quorvel_plan_value* v) {
    return v->branch.attrs + 3 * size_t(v->branch.attr_capacity);
}
// Set on a result's root, which stands right behind the head of its
// arena chain (plan_value_new_root) and owns the chain.
constexpr uint8_t kValueOwnsArena = 0x01;

// The shape of values with neither name nor prefix, made by no row
// (element row 0, child row -1).
extern const plan_shape kPlanNoShape;

// Makes v a value of the kind with the given shape, the rest zeroed.
inline void plan_value_init(quorvel_plan_value* v, uint32_t kind, const plan_shape* shape) {
    bool branch = kind == 0 || kind == 2;
    v->shape = shape;
    v->position = 0;
    v->order_index = 0;
    v->kind = static_cast<uint8_t>(kind);
    v->node_kind = 0;
    v->typed_valid = 0;
    v->flags = 0;
    if (branch) {
        v->branch.children = nullptr;
        v->branch.child_count = v->branch.child_capacity = 0;
        v->branch.attrs = nullptr;
        v->branch.attr_count = v->branch.attr_capacity = 0;
    } else {
        v->leaf.text = nullptr;
        v->leaf.length = 0;
        v->leaf.int_value = 0;
    }
}
// A value of the kind with the given shape, the rest zeroed; NULL without
// memory.
inline quorvel_plan_value* plan_value_new(plan_arena* arena, uint32_t kind, const plan_shape* shape) {
    bool branch = kind == 0 || kind == 2;
    auto* v = static_cast<quorvel_plan_value*>(arena->alloc(branch ? kPlanBranchBytes : kPlanLeafBytes));
    if (v) plan_value_init(v, kind, shape);
    return v;
}
// The element value a result starts from: it stands right behind a slot
// that plan_value_own_chain fills with the arena's chain once the result is
// complete, so the root can release the whole chain.
quorvel_plan_value* plan_value_new_root(plan_arena* arena, const plan_shape* shape);
inline void plan_value_own_chain(quorvel_plan_value* root, plan_chunk* chain) {
    root->flags |= kValueOwnsArena;
    reinterpret_cast<plan_chunk**>(root)[-1] = chain;
}
inline plan_chunk* plan_value_chain(const quorvel_plan_value* root) {
    return root->flags & kValueOwnsArena ? reinterpret_cast<plan_chunk* const*>(root)[-1] : nullptr;
}
// A shape in the arena with the given fields; name is copied. NULL without
// memory.
plan_shape* plan_shape_new(plan_arena* arena, const char* name, uint32_t element_row, int32_t child_row);
// Appends child, doubling the array from the arena; false without memory.
bool plan_value_append_slow(plan_arena* arena, quorvel_plan_value* parent, quorvel_plan_value* child);
inline bool plan_value_append(plan_arena* arena, quorvel_plan_value* parent, quorvel_plan_value* child) {
    if (parent->branch.child_count < parent->branch.child_capacity) [[likely]] {
        parent->branch.children[parent->branch.child_count++] = child;
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
