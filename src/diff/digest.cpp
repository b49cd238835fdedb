// The 64-bit structural digest: FNV-1a from a seed per node kind over the
// element's names, declarations, attributes and its children's digests.
// The walk keeps one frame per open element on a heap stack, so depth costs
// memory, not call frames; attribute and declaration order is found without
// memory when a sort array cannot be had, so the value never depends on it.
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "diff/diff.h"
#include "dom/dom.h"

namespace {

constexpr uint64_t kPrime = 0x100000001b3ull;
constexpr uint64_t kSeedElement = 0x9a628a00c5436482ull;
constexpr uint64_t kSeedText = 0x9a627b00c5434b05ull;
constexpr uint64_t kSeedComment = 0x9a629200c543721aull;
constexpr uint64_t kSeedCdata = 0x9a628400c5435a50ull;
constexpr uint64_t kSeedPi = 0x9a627700c5434439ull;

inline uint64_t mix_byte(uint64_t h, unsigned char b) { return (h ^ b) * kPrime; }

inline uint64_t mix_bytes(uint64_t h, const char* s, size_t n) {
    for (size_t i = 0; i < n; i++) h = mix_byte(h, static_cast<unsigned char>(s[i]));
    return h;
}

// A string: its length + 1 as one word, then its bytes.
inline uint64_t mix_string_n(uint64_t h, const char* s, size_t n) {
    h = (h ^ (static_cast<uint64_t>(n) + 1)) * kPrime;
    return mix_bytes(h, s, n);
}
inline uint64_t mix_string(uint64_t h, const char* s) { return s ? mix_string_n(h, s, std::strlen(s)) : mix_string_n(h, "", 0); }

// A number: its eight bytes, least significant first.
inline uint64_t mix_u64(uint64_t h, uint64_t n) {
    for (int i = 0; i < 8; i++) h = mix_byte(h, static_cast<unsigned char>(n >> (8 * i)));
    return h;
}

inline int cmp_null_empty(const char* a, const char* b) { return std::strcmp(a ? a : "", b ? b : ""); }

// ---- Attribute values ---------------------------------------------------------

inline bool ref_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Walks the decoding of s[0, n) and hands every output byte run to sink.
// False when the value does not decode (it is then used as stored).
template <typename Sink>
bool decode_walk(const char* s, size_t n, bool strict, Sink&& sink) {
    const char* end = s + n;
    while (s < end) {
        const char* amp = static_cast<const char*>(std::memchr(s, '&', static_cast<size_t>(end - s)));
        sink(s, amp ? static_cast<size_t>(amp - s) : static_cast<size_t>(end - s));
        if (!amp) break;
        const char* p = amp + 1;
        size_t rest = static_cast<size_t>(end - p);
        if (rest >= 3 && p[1] == 't' && p[2] == ';' && (p[0] == 'l' || p[0] == 'g')) {
            sink(p[0] == 'l' ? "<" : ">", 1);
            s = p + 3;
            continue;
        }
        if (rest >= 4 && std::memcmp(p, "amp;", 4) == 0) {
            sink("&", 1);
            s = p + 4;
            continue;
        }
        if (rest >= 5 && (std::memcmp(p, "apos;", 5) == 0 || std::memcmp(p, "quot;", 5) == 0)) {
            sink(p[0] == 'a' ? "'" : "\"", 1);
            s = p + 5;
            continue;
        }
        if (rest >= 1 && *p == '#') {
            uint32_t code_point = 0;
            const char* after = nullptr;
            switch (quorvel_char_ref_parse(p + 1, end, &code_point, &after)) {
                case char_ref_result::complete: break;
                case char_ref_result::cut_off:
                    if (strict) return false;
                    after = end;
                    break;
                case char_ref_result::malformed: return false;
            }
            char utf8[4];
            sink(utf8, quorvel_utf8_encode(code_point, utf8));
            s = after;
            continue;
        }
        if (strict) return false;
        const char* q = p;
        while (q < end && *q != ';' && *q != '<' && !ref_space(static_cast<unsigned char>(*q))) q++;
        if (q < end && *q == ';') q++;
        sink(amp, static_cast<size_t>(q - amp));
        s = q;
    }
    return true;
}

// ---- Attribute records -------------------------------------------------------

struct attr_rec {
    const char* uri;  // NULL: no namespace
    const char* local;
    size_t local_length;
    const quorvel_attribute* attribute;
    size_t index;
};

int attr_key_cmp(const attr_rec& a, const attr_rec& b) {
    int c = cmp_null_empty(a.uri, b.uri);
    if (c) return c;
    size_t n = a.local_length < b.local_length ? a.local_length : b.local_length;
    c = std::memcmp(a.local, b.local, n);
    if (c) return c;
    return a.local_length < b.local_length ? -1 : a.local_length > b.local_length ? 1 : 0;
}

// Key then document position: the first of equal keys comes first.
int attr_rec_cmp(const void* x, const void* y) {
    const auto& a = *static_cast<const attr_rec*>(x);
    const auto& b = *static_cast<const attr_rec*>(y);
    int c = attr_key_cmp(a, b);
    if (c) return c;
    return a.index < b.index ? -1 : a.index > b.index ? 1 : 0;
}

int attr_index_cmp(const void* x, const void* y) {
    size_t a = static_cast<const attr_rec*>(x)->index, b = static_cast<const attr_rec*>(y)->index;
    return a < b ? -1 : a > b ? 1 : 0;
}

// The record of an attribute that takes part; false for declarations and
// prefixed names whose prefix is not bound.
bool attr_record(const quorvel_attribute* a, size_t index, attr_rec* out) {
    if (digest_is_declaration(a)) return false;
    const char* name = a->name ? a->name : "";
    const char* colon = std::strchr(name, ':');
    out->attribute = a;
    out->index = index;
    if (!colon) {
        out->uri = nullptr;
        out->local = name;
        out->local_length = std::strlen(name);
        return true;
    }
    out->uri = quorvel_attribute_namespace_uri(a);
    if (!out->uri || !*out->uri) return false;
    out->local = colon + 1;
    out->local_length = std::strlen(colon + 1);
    return true;
}

uint64_t mix_attr_value(uint64_t h, const quorvel_attribute* a) {
    size_t decoded = digest_value_decoded_length(a);
    size_t n = 0;
    const char* stored = digest_value_stored(a, &n);
    if (decoded == SIZE_MAX) return mix_string_n(h, stored, n);
    h = (h ^ (static_cast<uint64_t>(decoded) + 1)) * kPrime;
    decode_walk(stored, n, g_quorvel_strict_mode != 0, [&h](const char* s, size_t k) { h = mix_bytes(h, s, k); });
    return h;
}

uint64_t mix_attr_rec(uint64_t h, const attr_rec& r) {
    h = mix_string(h, r.uri);
    h = mix_string_n(h, r.local, r.local_length);
    return mix_attr_value(h, r.attribute);
}

// Without memory: the records in key order (or document order), the first
// of each key only. Quadratic, used when no sort array can be had.
uint64_t mix_attributes_in_place(uint64_t h, const quorvel_element* e, bool document_order) {
    auto first_of_key = [e](const attr_rec& r) {
        size_t i = 0;
        for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a && i < r.index; a = quorvel_attr_next(a), i++) {
            attr_rec o;
            if (attr_record(a, i, &o) && attr_key_cmp(o, r) == 0) return false;
        }
        return true;
    };
    uint64_t count = 0;
    size_t i = 0;
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a), i++) {
        attr_rec r;
        if (attr_record(a, i, &r) && first_of_key(r)) count++;
    }
    if (count == 0) return h;
    h = mix_u64(h, count);
    if (document_order) {
        i = 0;
        for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a), i++) {
            attr_rec r;
            if (attr_record(a, i, &r) && first_of_key(r)) h = mix_attr_rec(h, r);
        }
        return h;
    }
    // Each round takes the smallest key above the last one mixed.
    attr_rec last{};
    bool have_last = false;
    for (uint64_t k = 0; k < count; k++) {
        attr_rec best{};
        bool have_best = false;
        i = 0;
        for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a), i++) {
            attr_rec r;
            if (!attr_record(a, i, &r)) continue;
            if (have_last && attr_key_cmp(r, last) <= 0) continue;
            if (!have_best || attr_key_cmp(r, best) < 0) {
                best = r;
                have_best = true;
            }
        }
        if (!have_best) break;
        h = mix_attr_rec(h, best);
        last = best;
        have_last = true;
    }
    return h;
}

uint64_t mix_attributes(uint64_t h, const quorvel_element* e, unsigned flags) {
    if (!quorvel_elem_first_attr(e)) return h;
    size_t total = 0;
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) total++;
    attr_rec local[32];
    attr_rec* recs = local;
    if (total > 32) {
        recs = static_cast<attr_rec*>(quorvel_work_alloc(total * sizeof(attr_rec)));
        if (!recs) return mix_attributes_in_place(h, e, (flags & QUORVEL_DIGEST_ATTR_DOCUMENT_ORDER) != 0);
    }
    size_t n = 0, i = 0;
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a), i++)
        if (attr_record(a, i, &recs[n])) n++;
    // Sorted by key and position, a record equal to its predecessor is a
    // repeat: drop it by marking its index.
    if (n > 1) std::qsort(recs, n, sizeof(attr_rec), attr_rec_cmp);
    size_t kept = 0;
    for (size_t k = 0; k < n; k++)
        if (kept == 0 || attr_key_cmp(recs[kept - 1], recs[k]) != 0) recs[kept++] = recs[k];
    if ((flags & QUORVEL_DIGEST_ATTR_DOCUMENT_ORDER) && kept > 1) std::qsort(recs, kept, sizeof(attr_rec), attr_index_cmp);
    // Attributes that take no part leave no trace, not even a count of 0.
    if (kept) h = mix_u64(h, kept);
    for (size_t k = 0; k < kept; k++) h = mix_attr_rec(h, recs[k]);
    if (recs != local) quorvel_work_free(recs);
    return h;
}

// ---- Namespace declarations ----------------------------------------------------

struct decl_rec {
    const char* prefix;
    const char* uri;
    size_t index;
};

int decl_cmp(const void* x, const void* y) {
    const auto& a = *static_cast<const decl_rec*>(x);
    const auto& b = *static_cast<const decl_rec*>(y);
    int c = cmp_null_empty(a.prefix, b.prefix);
    if (c) return c;
    return a.index < b.index ? -1 : a.index > b.index ? 1 : 0;
}

uint64_t mix_declarations(uint64_t h, const quorvel_element* e) {
    const char* prefix;
    const char* uri;
    size_t n = 0;
    while (element_namespace_decl_at(e, n, &prefix, &uri)) n++;
    if (n == 0) return h;
    h = mix_u64(h, n);
    decl_rec local[16];
    decl_rec* recs = n <= 16 ? local : static_cast<decl_rec*>(quorvel_work_alloc(n * sizeof(decl_rec)));
    if (recs) {
        for (size_t i = 0; i < n; i++) {
            element_namespace_decl_at(e, i, &recs[i].prefix, &recs[i].uri);
            recs[i].index = i;
        }
        std::qsort(recs, n, sizeof(decl_rec), decl_cmp);
        for (size_t i = 0; i < n; i++) h = mix_string(mix_string(h, recs[i].prefix), recs[i].uri);
        if (recs != local) quorvel_work_free(recs);
        return h;
    }
    // Without memory: each round the smallest (prefix, position) above the last.
    decl_rec last{nullptr, nullptr, 0};
    for (size_t k = 0; k < n; k++) {
        decl_rec best{nullptr, nullptr, SIZE_MAX};
        for (size_t i = 0; i < n; i++) {
            decl_rec r{nullptr, nullptr, i};
            element_namespace_decl_at(e, i, &r.prefix, &r.uri);
            if (k > 0 && decl_cmp(&r, &last) <= 0) continue;
            if (best.index == SIZE_MAX || decl_cmp(&r, &best) < 0) best = r;
        }
        h = mix_string(mix_string(h, best.prefix), best.uri);
        last = best;
    }
    return h;
}

// ---- Nodes -------------------------------------------------------------------------

uint64_t digest_leaf(const quorvel_node* n) {
    switch (n->kind) {
        case QUORVEL_NODE_TEXT: {
            size_t len = 0;
            const char* s = digest_text(n, &len);
            return mix_string_n(kSeedText, s, len);
        }
        case QUORVEL_NODE_COMMENT:
            return mix_string(kSeedComment, reinterpret_cast<const quorvel_comment*>(n)->content);
        case QUORVEL_NODE_CDATA: return mix_string(kSeedCdata, reinterpret_cast<const quorvel_comment*>(n)->content);
        case QUORVEL_NODE_PI: {
            auto* p = reinterpret_cast<const quorvel_pi*>(n);
            return mix_string(mix_string(kSeedPi, p->target), p->data);
        }
        default: return 0;
    }
}

inline bool counted(const quorvel_node* c, unsigned flags) {
    return !((flags & QUORVEL_DIGEST_SKIP_WHITESPACE) && digest_blank_text(c));
}

inline const quorvel_node* next_counted(const quorvel_node* c, unsigned flags) {
    while (c && !counted(c, flags)) c = quorvel_node_next_raw(c);
    return c;
}

uint64_t count_children(const quorvel_element* e, unsigned flags) {
    uint64_t count = 0;
    for (const quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c))
        if (counted(c, flags)) count++;
    return count;
}

// Everything of an element before its child count and children's digests.
uint64_t element_head(const quorvel_element* e, const char* uri, unsigned flags) {
    uint64_t h = kSeedElement;
    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    h = mix_string(h, ext ? ext->prefix : nullptr);
    h = mix_string(h, uri);
    h = mix_string(h, quorvel_element_get_name(e));
    h = mix_declarations(h, e);
    return mix_attributes(h, e, flags);
}

// The child count comes before the children's digests, but counting first
// would walk every child list twice: the digests wait on a shared stack
// until the element ends, and the count is then theirs. When that stack
// cannot grow, the element counts its children and mixes directly.
struct frame {
    const quorvel_element* element;
    const quorvel_node* next;  // next child to mix
    uint64_t h;
    ptrdiff_t scope;       // nearest frame at or above with declarations, -1 for none
    size_t first_pending;  // its children's digests waiting from here
    bool direct;           // count mixed, digests mixed as they come
};

// The open elements from the digested node down. Prefixes resolve through
// the frames that declare something, so a deep walk does not climb the
// whole ancestor chain for every element, and nothing is cached in the tree.
class walk_stack {
public:
    ~walk_stack() {
        if (items_ != inline_) quorvel_work_free(items_);
        if (pending_ != pending_inline_) quorvel_work_free(pending_);
    }
    bool push(const quorvel_element* e, unsigned flags) {
        if (count_ == capacity_) {
            size_t cap = capacity_ * 2;
            frame* grown = items_ == inline_ ? static_cast<frame*>(quorvel_work_alloc(cap * sizeof(frame)))
                                             : static_cast<frame*>(quorvel_work_realloc(items_, count_ * sizeof(frame), cap * sizeof(frame)));
            if (!grown) return false;
            if (items_ == inline_) std::memcpy(static_cast<void*>(grown), inline_, count_ * sizeof(frame));
            items_ = grown;
            capacity_ = cap;
        }
        const quorvel_element_ext* ext = quorvel_elem_ext(e);
        ptrdiff_t index = static_cast<ptrdiff_t>(count_);
        ptrdiff_t scope = ext && ext->ns_decls ? index : index > 0 ? items_[index - 1].scope : -1;
        items_[count_++] = frame{e, nullptr, 0, scope, pending_count_, false};
        const char* prefix = ext ? ext->prefix : nullptr;
        const char* uri = ext && ext->ns_uri ? ext->ns_uri : resolve(prefix);
        frame& f = items_[count_ - 1];
        f.next = next_counted(quorvel_elem_first_child_raw(e), flags);
        f.h = element_head(e, uri, flags);
        return true;
    }
    frame& top() { return items_[count_ - 1]; }
    void pop() { count_--; }

    // A child's digest for the top element.
    void add(uint64_t d, unsigned flags) {
        frame& f = top();
        if (!f.direct && !pending_push(d)) {
            f.h = mix_pending(mix_u64(f.h, count_children(f.element, flags)), f);
            f.direct = true;
        }
        if (f.direct) f.h = mix_u64(f.h, d);
    }
    // The top element's digest, once its children are in.
    uint64_t finish() {
        frame& f = top();
        if (f.direct) return f.h;
        return mix_pending(mix_u64(f.h, pending_count_ - f.first_pending), f);
    }
    bool empty() const { return count_ == 0; }

private:
    bool pending_push(uint64_t d) {
        if (pending_count_ == pending_capacity_) {
            size_t cap = pending_capacity_ * 2;
            void* grown = pending_ == pending_inline_
                              ? quorvel_work_alloc(cap * sizeof(uint64_t))
                              : quorvel_work_realloc(pending_, pending_count_ * sizeof(uint64_t), cap * sizeof(uint64_t));
            if (!grown) return false;
            if (pending_ == pending_inline_) std::memcpy(grown, pending_inline_, sizeof pending_inline_);
            pending_ = static_cast<uint64_t*>(grown);
            pending_capacity_ = cap;
        }
        pending_[pending_count_++] = d;
        return true;
    }
    uint64_t mix_pending(uint64_t h, const frame& f) {
        for (size_t i = f.first_pending; i < pending_count_; i++) h = mix_u64(h, pending_[i]);
        pending_count_ = f.first_pending;
        return h;
    }

    const char* resolve(const char* prefix) {
        for (ptrdiff_t s = items_[count_ - 1].scope; s >= 0; s = s > 0 ? items_[s - 1].scope : -1) {
            for (const quorvel_ns_decl* d = quorvel_elem_ext(items_[s].element)->ns_decls; d; d = d->next)
                if (prefix ? d->prefix && std::strcmp(d->prefix, prefix) == 0 : !d->prefix) return d->uri;
        }
        const quorvel_element* outside =
            static_cast<const quorvel_element*>(quorvel_link_get(items_[0].element, &items_[0].element->parent));
        if (!outside) return nullptr;
        if (prefix) return quorvel_element_lookup_namespace(outside, prefix);
        if (!outside_default_known_) {
            outside_default_ = quorvel_element_lookup_namespace(outside, nullptr);
            outside_default_known_ = true;
        }
        return outside_default_;
    }

    frame inline_[64];
    frame* items_ = inline_;
    size_t count_ = 0;
    size_t capacity_ = 64;
    const char* outside_default_ = nullptr;
    bool outside_default_known_ = false;
    uint64_t pending_inline_[256];
    uint64_t* pending_ = pending_inline_;
    size_t pending_count_ = 0;
    size_t pending_capacity_ = 256;
};

bool memo_insert(digest_memo* memo, const quorvel_element* key, uint64_t value) {
    if ((memo->count + 1) * 2 > memo->capacity) {
        size_t cap = memo->capacity ? memo->capacity * 2 : 1024;
        auto* keys = static_cast<const quorvel_element**>(quorvel_work_calloc((cap) * (sizeof(const quorvel_element*))));
        auto* values = static_cast<uint64_t*>(quorvel_work_alloc(cap * sizeof(uint64_t)));
        if (!keys || !values) {
            quorvel_work_free(keys);
            quorvel_work_free(values);
            return false;
        }
        for (size_t i = 0; i < memo->capacity; i++) {
            if (!memo->keys[i]) continue;
            size_t j = (reinterpret_cast<uintptr_t>(memo->keys[i]) >> 3) * 0x9E3779B97F4A7C15ull & (cap - 1);
            while (keys[j]) j = (j + 1) & (cap - 1);
            keys[j] = memo->keys[i];
            values[j] = memo->values[i];
        }
        quorvel_work_free(memo->keys);
        quorvel_work_free(memo->values);
        memo->keys = keys;
        memo->values = values;
        memo->capacity = cap;
    }
    size_t j = (reinterpret_cast<uintptr_t>(key) >> 3) * 0x9E3779B97F4A7C15ull & (memo->capacity - 1);
    while (memo->keys[j] && memo->keys[j] != key) j = (j + 1) & (memo->capacity - 1);
    if (!memo->keys[j]) memo->count++;
    memo->keys[j] = key;
    memo->values[j] = value;
    return true;
}

}  // namespace

void digest_memo_free(digest_memo* memo) {
    quorvel_work_free(memo->keys);
    quorvel_work_free(memo->values);
    *memo = digest_memo{};
}

bool digest_memo_find(const digest_memo* memo, const quorvel_element* element, uint64_t* out) {
    if (!memo->capacity) return false;
    size_t j = (reinterpret_cast<uintptr_t>(element) >> 3) * 0x9E3779B97F4A7C15ull & (memo->capacity - 1);
    while (memo->keys[j]) {
        if (memo->keys[j] == element) {
            *out = memo->values[j];
            return true;
        }
        j = (j + 1) & (memo->capacity - 1);
    }
    return false;
}

const char* digest_text(const quorvel_node* node, size_t* length) {
    auto* t = reinterpret_cast<const quorvel_text*>(node);
    const char* s = quorvel_text_get_content(t);
    *length = (node->flags & kTextCounted) ? t->length : std::strlen(s);
    return s;
}

bool digest_blank_text(const quorvel_node* node) {
    if (node->kind != QUORVEL_NODE_TEXT) return false;
    size_t len = 0;
    const char* s = digest_text(node, &len);
    for (size_t i = 0; i < len; i++)
        if (s[i] != ' ' && s[i] != '\t' && s[i] != '\n' && s[i] != '\r') return false;
    return true;
}

const char* digest_value_stored(const quorvel_attribute* a, size_t* length) {
    const char* s = quorvel_attribute_stored_value(a);
    size_t n = static_cast<size_t>(a->value_length & ~kAttrInlineValue);
    if (const void* nul = std::memchr(s, '\0', n)) n = static_cast<size_t>(static_cast<const char*>(nul) - s);
    *length = n;
    return s;
}

size_t digest_value_decoded_length(const quorvel_attribute* a) {
    if (!(a->hash & kAttrPendingEntities)) return SIZE_MAX;
    size_t n = 0;
    const char* s = digest_value_stored(a, &n);
    if (n == 0) return SIZE_MAX;
    size_t total = 0;
    if (!decode_walk(s, n, g_quorvel_strict_mode != 0, [&total](const char*, size_t k) { total += k; }))
        return SIZE_MAX;
    return total;
}

void digest_value_decode(const quorvel_attribute* a, char* out) {
    size_t n = 0;
    const char* s = digest_value_stored(a, &n);
    size_t o = 0;
    decode_walk(s, n, g_quorvel_strict_mode != 0, [out, &o](const char* p, size_t k) {
        std::memcpy(out + o, p, k);
        o += k;
    });
}

bool digest_is_declaration(const quorvel_attribute* a) {
    const char* name = a->name;
    return name && std::strncmp(name, "xmlns", 5) == 0 && (name[5] == '\0' || (name[5] == ':' && name[6] != '\0'));
}

unsigned digest_flags_from_environment(unsigned flags) {
    const char* v = std::getenv("QUORVEL_DIGEST_ATTR_ORDER");
    if (v && v[0] && v[0] != '0') flags |= QUORVEL_DIGEST_ATTR_DOCUMENT_ORDER;
    return flags;
}

uint64_t digest_node(const quorvel_node* node, unsigned flags, digest_memo* memo, bool* failed) {
    if (!node) return 0;
    if (node->kind != QUORVEL_NODE_ELEMENT) return digest_leaf(node);
    walk_stack stack;
    if (!stack.push(reinterpret_cast<const quorvel_element*>(node), flags)) {
        *failed = true;
        return 0;
    }
    for (;;) {
        frame& f = stack.top();
        const quorvel_node* c = f.next;
        if (!c) {
            uint64_t done = stack.finish();
            if (memo && !memo_insert(memo, f.element, done)) {
                *failed = true;
                return 0;
            }
            stack.pop();
            if (stack.empty()) return done;
            stack.add(done, flags);
            continue;
        }
        f.next = next_counted(quorvel_node_next_raw(c), flags);
        if (c->kind == QUORVEL_NODE_ELEMENT) {
            if (!stack.push(reinterpret_cast<const quorvel_element*>(c), flags)) {
                *failed = true;
                return 0;
            }
        } else {
            stack.add(digest_leaf(c), flags);
        }
    }
}

extern "C" {

QUORVEL_API uint64_t quorvel_node_digest(const quorvel_node* node, unsigned flags) {
    if (!node) return 0;
    bool failed = false;
    uint64_t h = digest_node(node, digest_flags_from_environment(flags), nullptr, &failed);
    return failed ? 0 : h;
}

}  // extern "C"
