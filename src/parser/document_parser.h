// The document parser's internal header, shared by its files: the parse
// state and the open-element stack, the small inline helpers every step
// uses, and the entry points one file offers the others.
//   document_parser.cpp      scanning and decoding helpers, text, the
//                            markup dispatch and the main loops (the hot
//                            loop builds the plainest tags and texts itself
//                            and hands the rest over)
//   document_duplicates.cpp  the duplicate check of a tag's attributes
//   document_setup.cpp       sizing, the arena and copies, set-up and the
//                            failure report
//   document_references.cpp  references expanded against a DTD in one pass
//   document_tags.cpp        start tags with their attributes, end tags, the
//                            open-element stack
//   document_namespaces.h    namespace declarations and prefixes, inline in
//                            the tags (document_namespaces.cpp: declaration
//                            URIs with references)
// (byte_table.cpp, the byte classes, and raw_attributes.cpp, which reads
// start tags again from a finished document's retained input, need none of
// it.)
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "dom/record_builder.h"
#include "parser/parser.h"

namespace quorvel_dp {

constexpr size_t kInlineDepth = 256;
constexpr size_t kMarkupSlot = sizeof(quorvel_pi);       // 48: the largest leaf the areas hold
constexpr size_t kDupLinearLimit = 8;                    // attributes compared pairwise below this
constexpr size_t kRawChunk = 128;                        // raw attribute entries per pool chunk
constexpr size_t kExtChunkBytes = 4096;
constexpr size_t kAreaChunk = 256;                       // records per chunk once an area is full
constexpr uint32_t kNoFastClose = UINT32_MAX;
constexpr size_t kSeparateCopies = size_t(1) << 20;  // inputs from this length copy and count in one pass

// An open element: where its next child is linked from (the builder's
// part), and what its end tag is matched against.
struct dp_open : quorvel_build_parent {
    const char* name;          // local name, NUL-terminated in the working copy
    uint32_t* pos_end;         // end offset of the element's position record; the state's sink for none
    size_t name_length;
    uint32_t prefix_length;    // bytes before the last colon (the prefix ends one byte before
                               // name), 0 without prefix
    // The name as an end tag writes it, with its '>' ("prefix:local>" or
    // "local>"), when that is 8 bytes or fewer, as one little-endian word,
    // with the mask of its bytes; mask 0 otherwise. An end tag then matches
    // with one load and one compare.
    uint64_t written;
    uint64_t written_mask;
};

inline uint64_t byte_mask(size_t n) { return n >= 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * n)) - 1; }
constexpr uint64_t kByteMasks[9] = {0,        0xFF,         0xFFFF,         0xFFFFFF,          0xFFFFFFFF,
                                    0xFFFFFFFFFF, 0xFFFFFFFFFFFF, 0xFFFFFFFFFFFFFF, ~uint64_t(0)};

// An end tag's name of n bytes and its '>' as one word, from the first 8
// bytes of the name as written; {0, 0} when they do not fit in one word.
struct close_word {
    uint64_t word, mask;
};
inline close_word close_word_of(uint64_t name_word, size_t n) {
    if (n >= 8) return {0, 0};
    uint64_t low = (uint64_t(1) << (8 * n)) - 1;
    return {(name_word & low) | (uint64_t('>') << (8 * n)), (low << 8) | 0xFF};
}

struct dup_slot {
    uint64_t hash;
    uint32_t index;  // 1-based position in the tag's attribute list; 0 = empty
};

// An entity whose replacement text needs no further expansion, expanded
// once: the same for every reference from a run, since the DTD is complete
// before the first run that uses it.
// Slots are chosen by the name, so that a reference finds its expansion
// without a lookup in the DTD's table.
struct quick_entity {
    const void* entity;  // quorvel_dtd_entity, NULL for an empty slot
    const char* text;    // pool copy
    size_t length;
    uint64_t name_word;  // the name's first 8 bytes, zero filled
    size_t name_length;
};
constexpr size_t kQuickCacheSlots = 8;

inline size_t quick_slot(uint64_t name_word, size_t name_length) {
    return static_cast<size_t>(((name_word ^ name_length) * 0x9E3779B97F4A7C15ull) >> 61);
}
static_assert(kQuickCacheSlots == 8, "quick_slot answers 3 bits");

// A pool copy of an attribute prefix, shared by every attribute that
// repeats it while it holds its slot.
struct prefix_slot {
    uint64_t word;      // the prefix's first 8 bytes, zero past its end
    size_t length;
    const char* text;   // NUL-terminated pool copy
};
constexpr size_t kEmptyPrefixSlot = SIZE_MAX;  // the length of a slot not yet used
constexpr unsigned kPrefixSlotBits = 3;

struct dp_state {
    char* start;
    char* cur;
    char* end;
    quorvel_pool* pool;
    quorvel_document* doc;
    const char* retained;  // untouched input bytes, to restore a run whose decoding failed

    dp_open* stack;
    size_t stack_capacity;
    dp_open* heap_stack;  // NULL while the inline stack serves
    size_t depth;
    size_t max_depth;

    quorvel_element* root;
    quorvel_build_list top;  // the top-level list being built
    int root_linked;

    char* version;
    char* encoding;
    int standalone;
    int positions;
    int record_positions;  // positions on and flag 0x10 clear: elements get position records
    // Raw attributes are read again from the retained input when asked for
    // (positions on, no recovery): elements with attributes get
    // kElemRawInSource, and no raw list is made.
    int raw_in_source;
    char message[192];
    int has_declaration;
    int doctype_seen;  // the document's DOCTYPE has been read

    quorvel_element* elem_next;
    quorvel_element* elem_end;
    quorvel_element* elem_area;  // first slot of the element area
    quorvel_attribute* attr_next;
    quorvel_attribute* attr_end;
    quorvel_attribute* attr_area;  // first slot of the attribute area
    size_t attr_capacity;
    quorvel_text* text_next;
    quorvel_text* text_end;
    char* markup_next;
    char* markup_end;

    // The duplicate check's scratch, reused from tag to tag (the rest of a
    // tag's attribute state lives in start_tag's frame, see tag_scan).
    quorvel_attribute** tag_attrs;  // the tag's kept attributes (malloc scratch)
    size_t tag_capacity;
    int namespaces_in_use;
    quorvel_raw_attribute* raw_next;
    quorvel_raw_attribute* raw_end;

    // Duplicate check: open addressing over the tag's attributes once it has
    // kDupLinearLimit of them; sized and cleared per tag.
    dup_slot* dup_slots;
    size_t dup_capacity;  // slots allocated
    size_t dup_mask;      // slots in use for the current tag - 1; 0 = not built
    int dup_failed;       // scratch memory for the duplicate check ran out: the parse fails

    int drop_ws;
    int keep_refs;
    int recover;
    int flags;
    int strict;

    char* ext_next;
    char* ext_end;
    char* small_next;  // bump chunk for the parser's small pool records (see small_alloc)
    char* small_end;
    quorvel_dtd* dtd;
    prefix_slot prefixes[size_t(1) << kPrefixSlotBits];  // attribute prefixes met lately

    // Records that all lie in the one arena block, when that block is under
    // 2 GiB, link to each other without a range check. far: some record the
    // hot loop or a start tag may link to came from elsewhere (a pool block
    // past the arena), or a chunk that start tags take records from did.
    const char* arena_lo;
    size_t arena_span;  // 0 when the arena is too large for unchecked links
    // Where fast_run's scan of the name of a start tag it hands over stopped
    // (see start_tag_from), with the hash so far; NULL at any other time.
    char* name_stop;
    uint32_t name_stop_hash;

    int far;
    uint32_t pos_sink;  // where elements without a position record write their end offset

    char* scratch;  // expansion output of quick_expand (malloc, grown on demand)
    size_t scratch_capacity;
    quick_entity quick_cache[kQuickCacheSlots];  // expansions of entities met in runs

    char* fail_at;
    size_t lt;
    size_t quotes;
    dp_open inline_stack[kInlineDepth];
};

constexpr size_t round8(size_t n) { return (n + 7) & ~size_t(7); }

// Both names lie in the padded working copy, so 8-byte loads are safe.
inline bool names_equal(const char* a, const char* b, size_t n) {
    if (n <= 8) {
        uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        uint64_t mask = n == 8 ? ~uint64_t(0) : ((uint64_t(1) << (8 * n)) - 1);
        return ((x ^ y) & mask) == 0;
    }
    return std::memcmp(a, b, n) == 0;
}

inline bool same_name(const quorvel_attribute* a, const char* name, size_t len) {
    return a->name_length == len && names_equal(a->name, name, len);
}

// Seeded per process: crafted attribute names cannot aim at one probe chain.
inline uint64_t name_hash_seed() { return quorvel_hash_seed(); }

inline uint64_t name_hash(const char* p, size_t n, uint64_t seed) {
    uint64_t h = seed ^ (n * 0x9E3779B97F4A7C15ull);
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
        p += 8;
        n -= 8;
    }
    // Names lie in the padded working copy: one load, masked to n bytes.
    uint64_t w;
    std::memcpy(&w, p, 8);
    w &= n ? ~uint64_t(0) >> (64 - 8 * n) : 0;
    h = (h ^ w) * 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

inline uint32_t position_of(const dp_state* s, const char* p) {
    return s->positions ? static_cast<uint32_t>(p - s->start + 1) : 0;
}

inline uint32_t offset_of(const dp_state* s, const char* p) { return static_cast<uint32_t>(p - s->start); }

#define DP_FAIL(s, at)    \
    do {                  \
        (s)->fail_at = (at); \
        return false;     \
    } while (0)

#define DP_TRY(expr)         \
    do {                     \
        if (!(expr)) return false; \
    } while (0)

// TAB, LF, CR and space from p on skipped (the working copy ends in NUL).
inline char* dp_skip_space(char* p) {
    // The four bytes as bits of one word: no table load per byte.
    constexpr uint64_t kSpaces = (uint64_t(1) << '\t') | (uint64_t(1) << '\n') | (uint64_t(1) << '\r') | (uint64_t(1) << ' ');
    for (unsigned char c; (c = static_cast<unsigned char>(*p)) <= ' ' && ((kSpaces >> c) & 1); p++) {
    }
    return p;
}

// Ends the parse at a malformed character reference (at its '&' in the
// working copy). Digits that run into a NUL byte leave the failure there,
// where the check for NUL bytes reports it as such.
__attribute__((cold, noinline)) inline bool dp_refuse_char_ref(dp_state* s, char* at) {
    std::snprintf(s->message, sizeof s->message, "malformed character reference");
    char* q = at + 2;
    if (*q == 'x' || *q == 'X') q++;
    while (dp_ref_words::kHexValue.value[static_cast<unsigned char>(*q)] < 16) q++;
    s->fail_at = q < s->end && s->retained[q - s->start] == '\0' ? q : at;
    return false;
}

// A diagnostic of the document (recover mode, repeated attributes).
void dp_emit(dp_state* s, int code, const char* format, ...) __attribute__((format(printf, 3, 4)));

// ---- Record storage --------------------------------------------------------------------

inline bool in_arena(const dp_state* s, const void* record) {
    return static_cast<size_t>(static_cast<const char*>(record) - s->arena_lo) < s->arena_span;
}

template <typename T>
T* take_chunked(dp_state* s, T*& next, T*& end, size_t record) {
    if (next >= end) {
        void* chunk = quorvel_pool_alloc(s->pool, record * kAreaChunk);
        if (!chunk) return nullptr;
        if (!in_arena(s, chunk)) s->far = 1;
        next = static_cast<T*>(chunk);
        end = reinterpret_cast<T*>(static_cast<char*>(chunk) + record * kAreaChunk);
    }
    T* slot = next;
    next = reinterpret_cast<T*>(reinterpret_cast<char*>(next) + record);
    return slot;
}

// Appends child, whose parent and sibling links are the given fields, as
// the last child of an open element.
inline bool wire(dp_state* s, dp_open* parent, quorvel_node* child, int32_t* parent_field, int32_t* sibling_field) {
    if (!in_arena(s, child)) s->far = 1;
    return quorvel_build_append(s->doc, parent, child, parent_field, sibling_field);
}

inline void close_open(dp_state* s, uint32_t end_offset) {
    dp_open& top = s->stack[s->depth - 1];
    *top.pos_end = end_offset;
    s->depth--;
}

// ---- A start tag's records ------------------------------------------------------------

// A start tag's state while its attributes are read, in the frame of
// start_tag_from: nothing of it lives in dp_state to be reset per tag. The
// duplicate check needs no list of its own while the tag has few
// attributes: it walks the element's attribute chain.
struct tag_scan {
    quorvel_element* element;
    quorvel_element_ext* ext;         // NULL until the tag needs one
    quorvel_attribute* first_attr;    // NULL before the first linked attribute
    quorvel_attribute* last_attr;
    quorvel_raw_attribute* last_raw;  // NULL before the first raw entry
    quorvel_ns_decl* last_decl;       // NULL before the first declaration
    size_t kept;                      // attributes linked to the element
    // Every record the tag links lies in the arena, under 2 GiB: its links
    // need no range check. Cleared when a record comes from a fresh chunk
    // outside the arena; such a chunk also sets far, which the next tags
    // start from.
    bool near;
};

// A link from one of the tag's records (or its parent's) to another.
inline bool tag_link(dp_state* s, const tag_scan& t, const void* holder, int32_t* field, const void* target) {
    if (t.near) [[likely]] {
        *field = static_cast<int32_t>(quorvel_address_distance(holder, target));
        return true;
    }
    return quorvel_build_link(s->doc, holder, field, target);
}

// Namespace records, declaration entries and prefix copies: bump allocated
// from pool chunks, so that a document whose arena estimate falls short
// costs one pool block per chunk rather than one per record.
constexpr size_t kSmallChunk = 16384;
constexpr size_t kSmallMax = 256;

inline void* small_alloc(dp_state* s, size_t n, bool* near = nullptr) {
    size_t size = round8(n);
    if (size > static_cast<size_t>(s->small_end - s->small_next)) [[unlikely]] {
        if (size > kSmallMax) {
            if (near) *near = false;
            return quorvel_pool_alloc(s->pool, n);
        }
        auto* chunk = static_cast<char*>(quorvel_pool_alloc(s->pool, kSmallChunk));
        if (!chunk) return nullptr;
        if (!in_arena(s, chunk)) {
            // The chunk serves later tags too: far tells them.
            s->far = 1;
            if (near) *near = false;
        }
        s->small_next = chunk;
        s->small_end = chunk + kSmallChunk;
    }
    void* p = s->small_next;
    s->small_next += size;
    return p;
}

// The element's extension record, made on first need (the element is new:
// it has none yet).
inline quorvel_element_ext* tag_ext(dp_state* s, tag_scan& t) {
    if (t.ext) return t.ext;
    constexpr size_t size = sizeof(quorvel_element_ext);
    if (static_cast<size_t>(s->ext_end - s->ext_next) < size) [[unlikely]] {
        auto* chunk = static_cast<char*>(quorvel_pool_alloc(s->pool, kExtChunkBytes));
        if (!chunk) return nullptr;
        if (!in_arena(s, chunk)) {
            s->far = 1;
            t.near = false;
        }
        s->ext_next = chunk;
        s->ext_end = chunk + kExtChunkBytes;
    }
    auto* ext = reinterpret_cast<quorvel_element_ext*>(s->ext_next);
    s->ext_next += size;
    std::memset(ext, 0, size);
    if (!tag_link(s, t, t.element, &t.element->ext, ext)) return nullptr;
    return t.ext = ext;
}

// ---- Start and end tags (document_tags.cpp) -------------------------------------------
// Each at the '<' already overwritten by NUL; false when the parse fails,
// with fail_at set. dp_start_tag_from goes on from a name read up to stop
// (its first colon, or its end) with the element name hash so far (its low
// 16 bits are quorvel_name_hash16: start 0x811C, then (hash ^ byte) * 403
// for each byte).
bool dp_start_tag(dp_state* s, char* lt);
bool dp_start_tag_from(dp_state* s, char* lt, char* stop, uint32_t hash);
bool dp_end_tag(dp_state* s, char* lt);

// Record placing for the markup readers (document_parser.cpp): a zeroed
// slot for a comment, CDATA or PI record; a leaf appended to the open
// element or the top level; a diagnostic "<what> dropped".
void* dp_take_markup(dp_state* s);
bool dp_place_leaf(dp_state* s, quorvel_node* node);
void dp_emit_dropped(dp_state* s, const char* what);

// The markup readers (document_markup.cpp), each at the '<' already
// overwritten by NUL: false when the parse fails, with fail_at set.
bool dp_comment(dp_state* s, char* lt);
bool dp_cdata(dp_state* s, char* lt);
bool dp_processing_instruction(dp_state* s, char* lt);  // the XML declaration too
bool dp_declaration(dp_state* s, char* lt);             // "<!" other than a comment or CDATA

// The content and end of a document from s->cur, once the state is set up
// (document_parser.cpp): false when the parse failed, with fail_at and
// message saying why.
bool parse_document(dp_state* s);

// The duplicate check of a start tag's attributes (document_duplicates.cpp).
// is_duplicate: true when the tag's attributes so far (kept of them, chained
// from first) hold one of this name, or when scratch memory for the check
// ran out (dup_failed set). remember_attribute: once the probe set is
// built, every attribute the tag keeps joins it; false when scratch memory
// ran out (dup_failed set).
bool is_duplicate(dp_state* s, quorvel_attribute* first, size_t kept, const char* name, size_t len);
bool remember_attribute(dp_state* s, size_t index, quorvel_attribute* a);

// A reference whose expansion through the DTD ran past the expansion limit
// ends the parse: keeping the raw text would hide an attack as data.
bool expansion_refused(dp_state* s);

// Expands [text, text + length) as quorvel_decode_entities_view_with_dtd
// would, books it against the DTD and answers the result (NUL-terminated)
// with its length: into `run` when it fits there (run holds the text and
// room bytes; in_place: the byte at `room` ends the run already and is left
// alone when the result fills the run), else into a new pool block. padded:
// the text lies in the working copy. NULL when the DTD path is to expand
// the text: then nothing has been booked or written.
char* quick_expand(dp_state* s, const char* text, size_t length, bool padded, char* run, size_t room, bool in_place, size_t* out_length);

}  // namespace quorvel_dp
