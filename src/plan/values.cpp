// Result values: the arena chain, value construction, typed conversion and
// the read-only accessors and snapshots callers read results through.
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "plan/plan.h"

namespace {

constexpr size_t kFirstChunk = 16384;
constexpr size_t kLargestStep = 1u << 20;
// From this size on, a chunk is a reserved mapping instead of a heap block.
constexpr size_t kMappedFrom = 256u * 1024;

plan_chunk* new_chunk(size_t capacity) {
    if (capacity > SIZE_MAX - sizeof(plan_chunk)) return nullptr;
    quorvel_release_fn release = nullptr;
    void* block = quorvel_hooked_alloc(sizeof(plan_chunk) + capacity, &release);
    if (!block) return nullptr;
    auto* c = static_cast<plan_chunk*>(block);
    c->next = nullptr;
    c->used = 0;
    c->capacity = capacity;
    c->release = release;
    return c;
}

// A chunk over a reserved mapping stands right behind the mapping's arena
// header; releasing it gives the mapping back to the shared cache, which
// keeps it warm, counted by the bytes the result touched.
void release_mapped(void* block) {
    auto* c = static_cast<plan_chunk*>(block);
    auto* a = reinterpret_cast<quorvel_arena*>(static_cast<char*>(block) - sizeof(quorvel_arena));
    a->used = sizeof(plan_chunk) + c->used;
    quorvel_arena_destroy(a);
}

// A chunk of at least capacity bytes over a reserved mapping: one range
// whose pages the kernel commits as the result grows into them, and a warm
// one (no page faults) when an earlier result or document left it in the
// shared cache. NULL when hooks are set or no address space is given.
plan_chunk* new_mapped_chunk(size_t capacity) {
    if (capacity > SIZE_MAX - sizeof(plan_chunk)) return nullptr;
    quorvel_arena* a = quorvel_arena_reserve(sizeof(plan_chunk) + capacity);
    if (!a) return nullptr;
    if (a->data != reinterpret_cast<char*>(a) + sizeof(quorvel_arena) || a->capacity < sizeof(plan_chunk) + capacity) {
        quorvel_arena_destroy(a);
        return nullptr;
    }
    auto* c = reinterpret_cast<plan_chunk*>(a->data);
    c->next = nullptr;
    c->used = 0;
    c->capacity = a->capacity - sizeof(plan_chunk);
    c->release = release_mapped;
    return c;
}

}  // namespace

bool plan_arena_start(plan_arena* arena) {
    arena->head = new_chunk(kFirstChunk);
    arena->next_chunk = kFirstChunk * 2;
    return arena->head != nullptr;
}

void plan_arena_release(plan_chunk* head) {
    while (head) {
        plan_chunk* next = head->next;
        quorvel_hooked_release(head, head->release);
        head = next;
    }
}

void* plan_arena::alloc_slow(size_t n) {
    if (n > SIZE_MAX - 7) return nullptr;
    size_t size = (n + 7) & ~size_t(7);
    plan_chunk* c = head;
    if (!c || c->capacity - c->used < size) {
        // Chunks grow with the result, so small results stay small; a
        // large one moves to reserved mappings, each (at least) four times
        // the last, so even a huge result takes few of them.
        size_t capacity = size > next_chunk ? size : next_chunk;
        plan_chunk* fresh = nullptr;
        if (capacity >= kMappedFrom) {
            fresh = new_mapped_chunk(capacity);
            if (fresh) next_chunk = fresh->capacity * 4 < fresh->capacity ? fresh->capacity : fresh->capacity * 4;
        }
        if (!fresh) {
            fresh = new_chunk(capacity);
            if (!fresh) return nullptr;
            if (next_chunk < kLargestStep) next_chunk *= 2;
        }
        fresh->next = head;
        head = fresh;
        c = fresh;
    }
    void* p = reinterpret_cast<char*>(c + 1) + c->used;
    c->used += size;
    return p;
}

char* plan_arena::copy_long(const char* s, size_t n) {
    if (n == SIZE_MAX) return nullptr;
    auto* out = static_cast<char*>(alloc(n + 1));
    if (!out) return nullptr;
    if (n) std::memcpy(out, s, n);
    out[n] = '\0';
    return out;
}

char* plan_arena::copy(const char* s) { return s ? copy(s, std::strlen(s)) : nullptr; }

const plan_shape kPlanNoShape = {nullptr, nullptr, nullptr, 0, -1, 0};

quorvel_plan_value* plan_value_new_root(plan_arena* arena, const plan_shape* shape) {
    auto* slot = static_cast<plan_chunk**>(arena->alloc(sizeof(plan_chunk*) + kPlanBranchBytes));
    if (!slot) return nullptr;
    *slot = nullptr;
    auto* v = reinterpret_cast<quorvel_plan_value*>(slot + 1);
    plan_value_init(v, kValueElement, shape);
    return v;
}

plan_shape* plan_shape_new(plan_arena* arena, const char* name, uint32_t element_row, int32_t child_row) {
    auto* s = static_cast<plan_shape*>(arena->alloc(sizeof(plan_shape)));
    if (!s) return nullptr;
    s->name = arena->copy(name);
    if (name && !s->name) return nullptr;
    s->prefix = nullptr;
    s->ns_uri = nullptr;
    s->element_row_index = element_row;
    s->child_row_index = child_row;
    s->type_tag = 0;
    return s;
}

bool plan_value_append_slow(plan_arena* arena, quorvel_plan_value* parent, quorvel_plan_value* child) {
    if (parent->branch.child_count == parent->branch.child_capacity) {
        if (parent->branch.child_capacity > UINT32_MAX / 2) return false;
        uint32_t cap = parent->branch.child_capacity ? parent->branch.child_capacity * 2 : 4;
        auto** grown = static_cast<quorvel_plan_value**>(arena->alloc(size_t(cap) * sizeof(void*)));
        if (!grown) return false;
        if (parent->branch.child_count) std::memcpy(grown, parent->branch.children, parent->branch.child_count * sizeof(void*));
        parent->branch.children = grown;
        parent->branch.child_capacity = cap;
    }
    parent->branch.children[parent->branch.child_count++] = child;
    return true;
}

bool plan_value_reserve_children(plan_arena* arena, quorvel_plan_value* parent, size_t n) {
    if (parent->branch.child_capacity - parent->branch.child_count >= n) return true;
    size_t need = size_t(parent->branch.child_count) + n;
    size_t cap = parent->branch.child_capacity ? size_t(parent->branch.child_capacity) * 2 : need;
    while (cap < need) cap *= 2;
    if (cap > UINT32_MAX) return false;
    auto** grown = static_cast<quorvel_plan_value**>(arena->alloc(cap * sizeof(void*)));
    if (!grown) return false;
    if (parent->branch.child_count) std::memcpy(grown, parent->branch.children, parent->branch.child_count * sizeof(void*));
    parent->branch.children = grown;
    parent->branch.child_capacity = static_cast<uint32_t>(cap);
    return true;
}

bool plan_value_reserve_attributes(plan_arena* arena, quorvel_plan_value* v, size_t n) {
    if (v->branch.attr_capacity - v->branch.attr_count >= n) return true;
    size_t need = v->branch.attr_count + n;
    // A first reservation is exact (a walk knows its attribute rows); later
    // ones double, so attributes added one by one stay linear.
    size_t cap = v->branch.attr_capacity ? size_t(v->branch.attr_capacity) * 2 : need;
    while (cap < need) cap *= 2;
    if (cap > UINT32_MAX) return false;
    // The four parallel arrays in one block.
    auto** block = static_cast<const char**>(arena->alloc(4 * cap * sizeof(char*)));
    if (!block) return false;
    if (v->branch.attr_count) {
        for (size_t i = 0; i < 4; i++)
            std::memcpy(block + i * cap, v->branch.attrs + i * v->branch.attr_capacity, v->branch.attr_count * sizeof(char*));
    }
    v->branch.attrs = block;
    v->branch.attr_capacity = static_cast<uint32_t>(cap);
    return true;
}

// ---- Typed conversion ------------------------------------------------------------

namespace {

// One C locale for the process, made on first use; numbers never depend on
// the thread's or the process's LC_NUMERIC.
locale_t g_c_locale = nullptr;

locale_t c_locale() {
    locale_t loc = __atomic_load_n(&g_c_locale, __ATOMIC_ACQUIRE);
    if (loc) return loc;
    locale_t fresh = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    if (!fresh) return nullptr;
    locale_t expected = nullptr;
    if (__atomic_compare_exchange_n(&g_c_locale, &expected, fresh, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return fresh;
    freelocale(fresh);
    return expected;
}

inline bool space_or_tab(char c) { return c == ' ' || c == '\t'; }
inline bool c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool convert_int(const char* p, int64_t* out) {
    while (space_or_tab(*p)) p++;
    if (!*p) return false;
    while (c_space(*p)) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    // Eighteen digits never overflow: only longer runs need the check.
    uint64_t magnitude = 0;
    for (int i = 0; i < 18 && *p >= '0' && *p <= '9'; i++, p++)
        magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
    const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    for (; *p >= '0' && *p <= '9'; p++) {
        unsigned d = static_cast<unsigned>(*p - '0');
        if (magnitude > (limit - d) / 10) return false;
        magnitude = magnitude * 10 + d;
    }
    if (*p) return false;
    *out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

// Plain decimals ("123.45", "-0.5") of up to 15 digits: the digits are an
// exact integer and the power of ten an exact double, so one division gives
// the correctly rounded value strtod would. NaN when the text is not one.
double plain_decimal(const char* p) {
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') p++;
    uint64_t mantissa = 0;
    int digits = 0, fraction = -1;
    for (;; p++) {
        if (*p >= '0' && *p <= '9') {
            mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
            if (++digits > 15) return __builtin_nan("");
            if (fraction >= 0) fraction++;
        } else if (*p == '.' && fraction < 0 && digits) {
            fraction = 0;
        } else {
            break;
        }
    }
    if (*p || !digits || fraction == 0) return __builtin_nan("");
    static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    double d = static_cast<double>(mantissa);
    if (fraction > 0) d /= kPowers[fraction];
    return negative ? -d : d;
}

bool convert_float(const char* p, double* out) {
    double fast = plain_decimal(p);
    if (fast == fast) {
        *out = fast;
        return true;
    }
    locale_t loc = c_locale();
    if (!loc) return false;
    char* end = nullptr;
    int saved = errno;
    errno = 0;
    double d = strtod_l(p, &end, loc);
    bool range = errno == ERANGE;
    errno = saved;
    if (end == p || *end || range) return false;
    *out = d;
    return true;
}

// True when p starts with the lower-case word w in any case. Only an
// ASCII letter or its capital gives w's byte when ORed with 0x20, and a NUL
// never does, so the compare stops at the end of the text.
inline bool starts_with_word(const char* p, const char* w, size_t n) {
    for (size_t i = 0; i < n; i++)
        if ((static_cast<unsigned char>(p[i]) | 0x20) != static_cast<unsigned char>(w[i])) return false;
    return true;
}

bool convert_bool(const char* p, uint8_t* out) {
    while (space_or_tab(*p)) p++;
    uint8_t v;
    if (starts_with_word(p, "true", 4)) {
        v = 1;
        p += 4;
    } else if (starts_with_word(p, "false", 5)) {
        v = 0;
        p += 5;
    } else if (*p == '0' || *p == '1') {
        v = static_cast<uint8_t>(*p - '0');
        p++;
    } else {
        return false;
    }
    while (space_or_tab(*p)) p++;
    if (*p) return false;
    *out = v;
    return true;
}

}  // namespace

void plan_convert(quorvel_plan_value* v) {
    if (!v->leaf.text) return;
    switch (v->shape->type_tag) {
        case 1: v->typed_valid = convert_int(v->leaf.text, &v->leaf.int_value); break;
        case 2: v->typed_valid = convert_float(v->leaf.text, &v->leaf.float_value); break;
        case 3: v->typed_valid = convert_bool(v->leaf.text, &v->leaf.bool_value); break;
        default: break;
    }
}

// ---- Accessors ------------------------------------------------------------------------

extern "C" {

QUORVEL_API int quorvel_plan_value_kind(const quorvel_plan_value* value) {
    return value ? static_cast<int>(value->kind) : 0;
}
QUORVEL_API const char* quorvel_plan_value_name(const quorvel_plan_value* value) {
    return value ? plan_value_name(value) : nullptr;
}
QUORVEL_API unsigned char quorvel_plan_value_type_tag(const quorvel_plan_value* value) {
    return value ? value->shape->type_tag : 0;
}
QUORVEL_API const char* quorvel_plan_value_string(const quorvel_plan_value* value) {
    return value ? plan_value_text(value) : nullptr;
}
QUORVEL_API size_t quorvel_plan_value_length(const quorvel_plan_value* value) { return value ? plan_value_length(value) : 0; }
QUORVEL_API size_t quorvel_plan_value_position(const quorvel_plan_value* value) {
    return value ? value->position : 0;
}
QUORVEL_API unsigned char quorvel_plan_value_node_kind(const quorvel_plan_value* value) {
    return value ? value->node_kind : 0;
}
QUORVEL_API unsigned int quorvel_plan_value_order_index(const quorvel_plan_value* value) {
    return value ? value->order_index : 0;
}
QUORVEL_API size_t quorvel_plan_value_count(const quorvel_plan_value* value) {
    return value ? plan_value_count(value) : 0;
}
QUORVEL_API const quorvel_plan_value* quorvel_plan_value_at(const quorvel_plan_value* value, size_t index) {
    return value && plan_value_branches(value) && index < value->branch.child_count ? value->branch.children[index] : nullptr;
}
QUORVEL_API size_t quorvel_plan_value_attribute_count(const quorvel_plan_value* value) {
    return value ? plan_value_attr_count(value) : 0;
}
QUORVEL_API const char* quorvel_plan_value_attribute(const quorvel_plan_value* value, const char* name) {
    if (!value || !name || !plan_value_branches(value)) return nullptr;
    // Names seldom share their first byte: test it before the whole name.
    const char** names = plan_attr_names(value);
    for (size_t i = 0; i < value->branch.attr_count; i++)
        if (names[i][0] == name[0] && std::strcmp(names[i], name) == 0) return plan_attr_values(value)[i];
    return nullptr;
}
QUORVEL_API int quorvel_plan_value_int(const quorvel_plan_value* value, long long* out) {
    if (!value || !out || !value->typed_valid || value->shape->type_tag != 1) return 1;
    *out = value->leaf.int_value;
    return 0;
}
QUORVEL_API int quorvel_plan_value_float(const quorvel_plan_value* value, double* out) {
    if (!value || !out || !value->typed_valid || value->shape->type_tag != 2) return 1;
    *out = value->leaf.float_value;
    return 0;
}
QUORVEL_API int quorvel_plan_value_bool(const quorvel_plan_value* value, int* out) {
    if (!value || !out || !value->typed_valid || value->shape->type_tag != 3) return 1;
    *out = value->leaf.bool_value ? 1 : 0;
    return 0;
}

QUORVEL_API size_t quorvel_plan_value_children_snapshot(const quorvel_plan_value* value, char* names,
                                                        size_t names_size, size_t* name_offsets,
                                                        unsigned char* type_tags,
                                                        const quorvel_plan_value** children) {
    if (!value) return 0;
    const uint32_t count = plan_value_count(value);
    size_t needed = 0;
    for (size_t i = 0; i < count; i++) {
        const char* n = plan_value_name(value->branch.children[i]);
        needed += (n ? std::strlen(n) : 0) + 1;
    }
    if (count && names_size < needed) return needed;
    if (!names || !name_offsets || !type_tags || !children) return needed;
    size_t at = 0;
    for (size_t i = 0; i < count; i++) {
        const quorvel_plan_value* c = value->branch.children[i];
        if (const char* name = plan_value_name(c)) {
            size_t n = std::strlen(name) + 1;
            std::memcpy(names + at, name, n);
            name_offsets[i] = at;
            at += n;
        } else {
            name_offsets[i] = static_cast<size_t>(-1);
        }
        type_tags[i] = c->shape->type_tag;
        children[i] = c;
    }
    name_offsets[count] = at;
    return 0;
}

QUORVEL_API size_t quorvel_plan_value_attributes_snapshot(const quorvel_plan_value* value, char* names,
                                                          size_t names_size, size_t* name_offsets, char* values,
                                                          size_t values_size, size_t* value_offsets) {
    if (!value) return 0;
    const uint32_t count = plan_value_attr_count(value);
    size_t nn = 0, nv = 0;
    for (size_t i = 0; i < count; i++) {
        nn += std::strlen(plan_attr_names(value)[i]) + 1;
        nv += std::strlen(plan_attr_values(value)[i]) + 1;
    }
    if (!names || !names_size || !values || !values_size) return nn > nv ? nn : nv;
    if (!name_offsets || !value_offsets || names_size < nn || values_size < nv) return static_cast<size_t>(-1);
    size_t an = 0, av = 0;
    for (size_t i = 0; i < count; i++) {
        const char* n = plan_attr_names(value)[i];
        const char* v = plan_attr_values(value)[i];
        size_t ln = std::strlen(n) + 1;
        size_t lv = std::strlen(v) + 1;
        std::memcpy(names + an, n, ln);
        std::memcpy(values + av, v, lv);
        name_offsets[i] = an;
        value_offsets[i] = av;
        an += ln;
        av += lv;
    }
    name_offsets[count] = nn;
    value_offsets[count] = nv;
    return 0;
}

QUORVEL_API void quorvel_plan_result_free(quorvel_plan_value* root) {
    if (!root || !(root->flags & kValueOwnsArena)) return;
    // The root lives in its own chain: read the chain before releasing it.
    plan_chunk* chain = plan_value_chain(root);
    plan_arena_release(chain);
}

}  // extern "C"
