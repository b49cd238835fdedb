// The flat-record scanner and the exported record interface. One forward
// pass over a plain document fills node and attribute records; anything
// outside the plain subset, or anything the document parser would reject,
// makes it decline. Every read stays inside the text, so the fast path can
// scan the caller's bytes without copying them first.
#include <sys/auxv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "parser/flat.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

static_assert(sizeof(quorvel_sax_node_record) == 44);
static_assert(offsetof(quorvel_sax_node_record, kind) == 0 && offsetof(quorvel_sax_node_record, parent) == 4 &&
              offsetof(quorvel_sax_node_record, next_sibling) == 8 &&
              offsetof(quorvel_sax_node_record, data_offset) == 12 &&
              offsetof(quorvel_sax_node_record, data_length) == 16 && offsetof(quorvel_sax_node_record, start) == 20 &&
              offsetof(quorvel_sax_node_record, content_start) == 24 && offsetof(quorvel_sax_node_record, end) == 28 &&
              offsetof(quorvel_sax_node_record, first_attribute) == 32 &&
              offsetof(quorvel_sax_node_record, attribute_count) == 36 &&
              offsetof(quorvel_sax_node_record, self_closing) == 40);
static_assert(sizeof(quorvel_sax_attr_record) == 20);
static_assert(offsetof(quorvel_sax_attr_record, name_offset) == 0 &&
              offsetof(quorvel_sax_attr_record, name_length) == 4 &&
              offsetof(quorvel_sax_attr_record, value_offset) == 8 &&
              offsetof(quorvel_sax_attr_record, value_length) == 12 &&
              offsetof(quorvel_sax_attr_record, needs_normalization) == 16);

struct quorvel_sax_records {
    char* buffer;  // the caller's text and 65 zero bytes, names and values NUL-terminated
    size_t length;
    quorvel_sax_node_record* nodes;
    size_t node_count;
    quorvel_sax_attr_record* attrs;  // at least one record, even with none in use
    size_t attr_count;
};

namespace {

constexpr size_t kInlineStack = 256;
constexpr size_t kDupLinearLimit = 8;  // attributes of one tag compared pairwise below this
constexpr size_t kMaxLength = 0x7FFFFFFE;
constexpr int kStatusDeclined = -9;

// ---- Bounded scanners ---------------------------------------------------------------------
// Each stops at end: the caller's text need not be padded.

inline const char* skip_space(const char* p, const char* end) {
    while (p < end && dp_is_space(static_cast<unsigned char>(*p))) p++;
    return p;
}

inline const char* skip_name(const char* p, const char* end) {
    while (p < end && dp_is_name_char(static_cast<unsigned char>(*p))) p++;
    return p;
}

// First '<' at or after p, or end. Bit 1 of *seen: a '&' before it; bit 2: a CR.
inline const char* find_lt(const char* p, const char* end, unsigned* seen) {
    unsigned acc = 0;
#if defined(__SSE2__)
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i cr = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned m_lt = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lt)));
        unsigned m_amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, amp)));
        unsigned m_cr = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)));
        if (m_lt) {
            unsigned at = static_cast<unsigned>(__builtin_ctz(m_lt));
            unsigned before = (1u << at) - 1;
            if (m_amp & before) acc |= 1;
            if (m_cr & before) acc |= 2;
            *seen |= acc;
            return p + at;
        }
        if (m_amp) acc |= 1;
        if (m_cr) acc |= 2;
        p += 16;
    }
#endif
    for (; p < end; p++) {
        char c = *p;
        if (c == '<') break;
        if (c == '&') acc |= 1;
        if (c == '\r') acc |= 2;
    }
    *seen |= acc;
    return p;
}

// The closing quote at or after p, or end. Bit 1 of *seen: '&'; bit 2: TAB, LF or CR.
inline const char* find_quote(const char* p, const char* end, char quote, unsigned* seen) {
    unsigned acc = 0;
#if defined(__SSE2__)
    const __m128i q = _mm_set1_epi8(quote);
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned m_q = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, q)));
        unsigned m_amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, amp)));
        __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, cr));
        unsigned m_ws = static_cast<unsigned>(_mm_movemask_epi8(ws));
        if (m_q) {
            unsigned at = static_cast<unsigned>(__builtin_ctz(m_q));
            unsigned before = (1u << at) - 1;
            if (m_amp & before) acc |= 1;
            if (m_ws & before) acc |= 2;
            *seen |= acc;
            return p + at;
        }
        if (m_amp) acc |= 1;
        if (m_ws) acc |= 2;
        p += 16;
    }
#endif
    for (; p < end; p++) {
        char c = *p;
        if (c == quote) break;
        if (c == '&') acc |= 1;
        if (c == '\t' || c == '\n' || c == '\r') acc |= 2;
    }
    *seen |= acc;
    return p;
}

// ---- Working records ------------------------------------------------------------------------

bool grow_nodes(il_state* st) {
    size_t grown = st->node_capacity ? st->node_capacity * 2 : 256;
    auto* fresh = static_cast<quorvel_sax_node_record*>(std::realloc(st->nodes, grown * sizeof(quorvel_sax_node_record)));
    if (!fresh) return false;
    st->nodes = fresh;
    st->node_capacity = grown;
    return true;
}

bool grow_attrs(il_state* st) {
    size_t grown = st->attr_capacity ? st->attr_capacity * 2 : 128;
    auto* fresh = static_cast<quorvel_sax_attr_record*>(std::realloc(st->attrs, grown * sizeof(quorvel_sax_attr_record)));
    if (!fresh) return false;
    st->attrs = fresh;
    st->attr_capacity = grown;
    return true;
}

bool grow_stacks(il_state* st) {
    size_t grown = st->stack_capacity * 2;
    if (grown > st->depth_limit) grown = st->depth_limit;
    auto* block = static_cast<int32_t*>(std::malloc(2 * grown * sizeof(int32_t)));
    if (!block) return false;
    std::memcpy(block, st->open, st->depth * sizeof(int32_t));
    std::memcpy(block + grown, st->last_child, st->depth * sizeof(int32_t));
    std::free(st->heap_stacks);
    st->heap_stacks = block;
    st->open = block;
    st->last_child = block + grown;
    st->stack_capacity = grown;
    return true;
}

// Makes record idx the last child of the innermost open element.
inline void link_child(il_state* st, int32_t idx) {
    int32_t& last = st->last_child[st->depth - 1];
    if (last >= 0) st->nodes[last].next_sibling = idx;
    last = idx;
}

// ---- Duplicate attributes -------------------------------------------------------------------

uint64_t g_dup_seed = 0;

// Seeded per process so that crafted names cannot aim at one probe chain.
uint64_t dup_seed() {
    uint64_t seed = __atomic_load_n(&g_dup_seed, __ATOMIC_RELAXED);
    if (seed) return seed;
    seed = 0x9E3779B97F4A7C15ull;
    if (auto* random = reinterpret_cast<const unsigned char*>(getauxval(AT_RANDOM))) {
        uint64_t r;
        std::memcpy(&r, random, sizeof r);
        seed ^= r;
    }
    seed |= 1;
    __atomic_store_n(&g_dup_seed, seed, __ATOMIC_RELAXED);
    return seed;
}

inline uint64_t name_hash(const char* p, size_t n, uint64_t seed) {
    uint64_t h = seed ^ (n * 0xC2B2AE3D27D4EB4Full);
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
        p += 8;
        n -= 8;
    }
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

inline bool same_name(const char* text, const quorvel_sax_attr_record& a, const char* name, size_t len) {
    return a.name_length == len && std::memcmp(text + a.name_offset, name, len) == 0;
}

// Places the tag's attribute `index` (relative to first) in the set.
void dup_insert(il_state* st, uint64_t h, uint32_t index) {
    size_t i = h & st->dup_mask;
    while (st->dup_slots[i]) i = (i + 1) & st->dup_mask;
    st->dup_slots[i] = index + 1;
}

// 1 when the tag's attributes [first, first + count) hold the name, 0 when
// not (and, past the pairwise range, the name is entered as attribute
// `count`), -1 when memory for the set ran out.
int is_duplicate(il_state* st, const char* text, size_t first, size_t count, const char* name, size_t len) {
    const quorvel_sax_attr_record* attrs = st->attrs + first;
    if (count < kDupLinearLimit) {
        for (size_t i = 0; i < count; i++)
            if (same_name(text, attrs[i], name, len)) return 1;
        return 0;
    }
    uint64_t seed = dup_seed();
    if (!st->dup_mask || (count + 1) * 2 > st->dup_mask + 1) {
        size_t slots = 64;
        while (slots < (count + 1) * 2) slots *= 2;
        if (slots > st->dup_capacity) {
            auto* fresh = static_cast<uint32_t*>(std::realloc(st->dup_slots, slots * sizeof(uint32_t)));
            if (!fresh) return -1;
            st->dup_slots = fresh;
            st->dup_capacity = slots;
        }
        std::memset(st->dup_slots, 0, slots * sizeof(uint32_t));
        st->dup_mask = slots - 1;
        for (size_t i = 0; i < count; i++)
            dup_insert(st, name_hash(text + attrs[i].name_offset, attrs[i].name_length, seed), static_cast<uint32_t>(i));
    }
    uint64_t h = name_hash(name, len, seed);
    size_t i = h & st->dup_mask;
    for (; st->dup_slots[i]; i = (i + 1) & st->dup_mask)
        if (same_name(text, attrs[st->dup_slots[i] - 1], name, len)) return 1;
    st->dup_slots[i] = static_cast<uint32_t>(count + 1);
    return 0;
}

// An element closed by an end tag: the document parser matches the end tag
// after its first colon against the local name (after the last colon), so
// it accepts a repeated name only without a colon or with one colon that
// has bytes on both sides.
bool closable_name(const char* name, size_t len) {
    auto* colon = static_cast<const char*>(std::memchr(name, ':', len));
    if (!colon) return true;
    const char* end = name + len;
    return colon > name && colon + 1 < end && !std::memchr(colon + 1, ':', static_cast<size_t>(end - colon - 1));
}

}  // namespace

bool il_state_init(il_state* st, size_t length) {
    std::memset(st, 0, offsetof(il_state, inline_open));
    st->node_capacity = length / 24 + 64;
    st->attr_capacity = length / 48 + 32;
    st->nodes = static_cast<quorvel_sax_node_record*>(std::malloc(st->node_capacity * sizeof(quorvel_sax_node_record)));
    st->attrs = static_cast<quorvel_sax_attr_record*>(std::malloc(st->attr_capacity * sizeof(quorvel_sax_attr_record)));
    if (!st->nodes || !st->attrs) {
        il_state_release(st);
        return false;
    }
    st->open = st->inline_open;
    st->last_child = st->inline_last;
    st->stack_capacity = kInlineStack;
    st->depth_limit = static_cast<size_t>(quorvel_get_max_depth());
    return true;
}

void il_state_release(il_state* st) {
    std::free(st->nodes);
    std::free(st->attrs);
    std::free(st->heap_stacks);
    std::free(st->dup_slots);
    st->nodes = nullptr;
    st->attrs = nullptr;
    st->heap_stacks = nullptr;
    st->dup_slots = nullptr;
    st->open = st->inline_open;
    st->last_child = st->inline_last;
}

int il_scan_body(const char* text, size_t n, int drop_ws, il_state* st, int32_t* root, size_t* root_end,
                 size_t* trailing) {
    *root = -1;
    *root_end = 0;
    *trailing = 0;
    if (n == 0 || n > kMaxLength) return 0;
    const char* const end = text + n;
    const char* p = text;
    if (n >= 3 && static_cast<unsigned char>(p[0]) == 0xEF && static_cast<unsigned char>(p[1]) == 0xBB &&
        static_cast<unsigned char>(p[2]) == 0xBF)
        p += 3;
    p = skip_space(p, end);
    if (end - p < 2 || *p != '<') return 0;
    auto offset = [text](const char* at) { return static_cast<uint32_t>(at - text); };

    // Invariant at `tag`: p is a '<' with at least one byte after it.
    for (;;) {
        const char* q;
        if (p[1] == '/') {
            // '/' an end tag: exactly the innermost open element's name.
            if (st->depth == 0) return 0;
            const quorvel_sax_node_record& open = st->nodes[st->open[st->depth - 1]];
            size_t len = open.data_length;
            q = p + 2;
            if (static_cast<size_t>(end - q) <= len || std::memcmp(q, text + open.data_offset, len) != 0) return 0;
            q += len;
            if (dp_is_name_char(static_cast<unsigned char>(*q))) return 0;  // a longer name
            q = skip_space(q, end);
            if (q >= end || *q != '>') return 0;
            q++;
            st->nodes[st->open[st->depth - 1]].end = offset(q);
            if (--st->depth == 0) {
                *root_end = offset(q);
                break;
            }
        } else {
            // A start tag; '!' (comment, CDATA, declaration) and '?' (processing
            // instruction) are outside the subset, like any other non-name byte.
            const char* lt = p;
            const char* name = p + 1;
            if (!dp_is_name_start(static_cast<unsigned char>(*name))) return 0;
            q = skip_name(name + 1, end);
            size_t name_len = static_cast<size_t>(q - name);
            bool colon = std::memchr(name, ':', name_len) != nullptr;
            size_t first = st->attr_count;
            size_t count = 0;
            bool self_closing;
            st->dup_mask = 0;
            for (;;) {
                q = skip_space(q, end);
                if (q >= end) return 0;
                unsigned char c = static_cast<unsigned char>(*q);
                if (c == '>') {  // '>' ends the start tag
                    q++;
                    self_closing = false;
                    break;
                }
                if (c == '/') {  // '/' must be "/>"
                    if (end - q < 2 || q[1] != '>') return 0;
                    q += 2;
                    self_closing = true;
                    break;
                }
                if (!dp_is_name_start(c)) return 0;
                const char* an = q;
                q = skip_name(q + 1, end);
                size_t alen = static_cast<size_t>(q - an);
                if (alen >= 5 && std::memcmp(an, "xmlns", 5) == 0) return 0;
                q = skip_space(q, end);
                if (q >= end || *q != '=') return 0;
                q = skip_space(q + 1, end);
                if (q >= end || (*q != '"' && *q != '\'')) return 0;
                const char* v = q + 1;
                unsigned seen = 0;
                const char* close = find_quote(v, end, *q, &seen);
                if (close >= end || (seen & 1)) return 0;
                if (count) {
                    int dup = is_duplicate(st, text, first, count, an, alen);
                    if (dup != 0) return 0;
                }
                if (st->attr_count == st->attr_capacity && !grow_attrs(st)) return 0;
                quorvel_sax_attr_record& a = st->attrs[st->attr_count++];
                a.name_offset = offset(an);
                a.name_length = static_cast<uint32_t>(alen);
                a.value_offset = offset(v);
                a.value_length = static_cast<uint32_t>(close - v);
                a.needs_normalization = (seen & 2) ? 1 : 0;
                bool attr_colon = std::memchr(an, ':', alen) != nullptr;
                a.reserved[0] = attr_colon ? kIlAttrHasColon : 0;
                a.reserved[1] = a.reserved[2] = 0;
                if (attr_colon) {
                    st->colon_attrs++;
                    st->colon_attr_bytes += alen;
                }
                if (seen & 2) st->normalized_bytes += a.value_length;
                count++;
                q = close + 1;
            }
            if (st->node_count == st->node_capacity && !grow_nodes(st)) return 0;
            auto idx = static_cast<int32_t>(st->node_count++);
            quorvel_sax_node_record& r = st->nodes[idx];
            r.kind = 0;
            r.parent = st->depth ? st->open[st->depth - 1] : -1;
            r.next_sibling = -1;
            r.data_offset = offset(name);
            r.data_length = static_cast<uint32_t>(name_len);
            r.start = offset(lt) + 1;
            r.content_start = offset(q);
            r.end = self_closing ? offset(q) : 0;
            r.first_attribute = count ? static_cast<int32_t>(first) : -1;
            r.attribute_count = static_cast<uint32_t>(count);
            r.self_closing = self_closing ? 1 : 0;
            r.reserved[0] = colon ? kIlNameHasColon : 0;
            r.reserved[1] = r.reserved[2] = 0;
            st->element_count++;
            if (count || colon) st->elements_with_ext++;
            if (st->depth) link_child(st, idx);
            if (self_closing) {
                if (st->depth == 0) {
                    *root_end = offset(q);
                    break;
                }
            } else {
                if (colon && !closable_name(name, name_len)) return 0;
                if (st->depth >= st->depth_limit) return 0;
                if (st->depth == st->stack_capacity && !grow_stacks(st)) return 0;
                st->open[st->depth] = idx;
                st->last_child[st->depth] = -1;
                st->depth++;
            }
        }

        // Content of the innermost open element, from q to the next '<'.
        const char* lt = nullptr;
        if (drop_ws && q < end && dp_is_space(static_cast<unsigned char>(*q))) {
            const char* r = skip_space(q, end);
            if (r < end && *r == '<') lt = r;  // whitespace-only run dropped
        }
        if (!lt) {
            unsigned seen = 0;
            lt = find_lt(q, end, &seen);
            if (lt >= end || (seen & 1)) return 0;
            if (lt > q) {
                if (st->node_count == st->node_capacity && !grow_nodes(st)) return 0;
                auto idx = static_cast<int32_t>(st->node_count++);
                quorvel_sax_node_record& r = st->nodes[idx];
                r.kind = 1;
                r.parent = st->open[st->depth - 1];
                r.next_sibling = -1;
                r.data_offset = offset(q);
                r.data_length = static_cast<uint32_t>(lt - q);
                r.start = offset(q) + 1;
                r.content_start = 0;
                r.end = 0;
                r.first_attribute = -1;
                r.attribute_count = 0;
                r.self_closing = 0;
                r.reserved[0] = (seen & 2) ? kIlTextHasCr : 0;
                r.reserved[1] = r.reserved[2] = 0;
                link_child(st, idx);
            }
        }
        if (end - lt < 2) return 0;
        p = lt;
    }

    // After the root only white space, up to the very end: a NUL byte is
    // not white space, so text after one is not ignored.
    const char* after = text + *root_end;
    const char* stop = skip_space(after, end);
    if (stop != end) return 0;
    *trailing = static_cast<size_t>(stop - after);
    *root = 0;
    return 1;
}

extern "C" {

QUORVEL_API int quorvel_sax_records_parse(const char* text, size_t length, unsigned flags, quorvel_sax_records** out) {
    if (!out) return QUORVEL_ERR_NULL_ARGUMENT;
    *out = nullptr;
    if (!text) return QUORVEL_ERR_NULL_ARGUMENT;
    if (flags & ~0x18u) return QUORVEL_ERR_INVALID_ARGUMENT;
    if (length == 0 || length > kMaxLength) return kStatusDeclined;
    auto* buffer = static_cast<char*>(std::malloc(length + 65));
    if (!buffer) return kStatusDeclined;
    std::memcpy(buffer, text, length);
    std::memset(buffer + length, 0, 65);
    il_state st;
    if (!il_state_init(&st, length)) {
        std::free(buffer);
        return kStatusDeclined;
    }
    int32_t root;
    size_t root_end, trailing;
    if (!il_scan_body(buffer, length, 0, &st, &root, &root_end, &trailing)) {
        il_state_release(&st);
        std::free(buffer);
        return kStatusDeclined;
    }
    for (size_t i = 0; i < st.node_count; i++) buffer[st.nodes[i].data_offset + st.nodes[i].data_length] = '\0';
    for (size_t i = 0; i < st.attr_count; i++) {
        const quorvel_sax_attr_record& a = st.attrs[i];
        buffer[a.name_offset + a.name_length] = '\0';
        buffer[a.value_offset + a.value_length] = '\0';
    }
    auto* handle = static_cast<quorvel_sax_records*>(std::calloc(1, sizeof(quorvel_sax_records)));
    if (!handle) {
        il_state_release(&st);
        std::free(buffer);
        return QUORVEL_ERR_MEMORY;
    }
    // The working arrays become the handle's, trimmed to what is used.
    if (auto* fit = static_cast<quorvel_sax_node_record*>(
            std::realloc(st.nodes, st.node_count * sizeof(quorvel_sax_node_record))))
        st.nodes = fit;
    size_t attr_slots = st.attr_count ? st.attr_count : 1;
    if (auto* fit = static_cast<quorvel_sax_attr_record*>(std::realloc(st.attrs, attr_slots * sizeof(quorvel_sax_attr_record))))
        st.attrs = fit;
    if (!st.attr_count) std::memset(st.attrs, 0, sizeof(quorvel_sax_attr_record));
    handle->buffer = buffer;
    handle->length = length;
    handle->nodes = st.nodes;
    handle->node_count = st.node_count;
    handle->attrs = st.attrs;
    handle->attr_count = st.attr_count;
    st.nodes = nullptr;
    st.attrs = nullptr;
    il_state_release(&st);
    *out = handle;
    return QUORVEL_OK;
}

QUORVEL_API size_t quorvel_sax_records_count(const quorvel_sax_records* records) {
    return records ? records->node_count : 0;
}

QUORVEL_API const quorvel_sax_node_record* quorvel_sax_records_data(const quorvel_sax_records* records) {
    return records ? records->nodes : nullptr;
}

QUORVEL_API const quorvel_sax_attr_record* quorvel_sax_records_attrs(const quorvel_sax_records* records, size_t* count) {
    if (count) *count = records ? records->attr_count : 0;
    return records ? records->attrs : nullptr;
}

QUORVEL_API const char* quorvel_sax_records_buffer(const quorvel_sax_records* records) {
    return records ? records->buffer : nullptr;
}

QUORVEL_API void quorvel_sax_records_free(quorvel_sax_records* records) {
    if (!records) return;
    std::free(records->nodes);
    std::free(records->attrs);
    std::free(records->buffer);
    std::free(records);
}

}  // extern "C"
