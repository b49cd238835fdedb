// The flat-record scanner and the parse fast path built on it. One forward
// scan of a plain document (elements, attributes, text) reports what it
// meets to a sink: the record sink fills the node and attribute records of
// quorvel_sax_records_*, the document sink of the fast path (dp_il_try)
// builds the document's records directly. Anything outside the plain
// subset, or anything the document parser would reject, makes the scan
// decline; a decline is never an error: the document parser then decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "parser/parser.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// ---- Scan state -------------------------------------------------------------------------------

constexpr size_t kIlInlineDepth = 256;
constexpr size_t kIlMaxLength = 0x7FFFFFFE;

// What one scan keeps besides the sink's own records: the names of the open
// elements (for end tags), the attribute names of the current start tag and
// the duplicate-name set of a tag with many attributes.
struct il_scan_state {
    uint32_t* open;        // name offset and length of each open element, in pairs
    size_t depth;
    size_t capacity;       // open elements with room
    size_t limit;          // the thread's maximum depth
    uint32_t* heap_open;   // NULL while the inline stack serves
    uint32_t* tag_names;   // offset, length and fingerprint of each attribute of the current tag
    size_t tag_capacity;   // attributes with room
    uint32_t* dup_slots;   // 1-based attribute index of the tag, 0 = empty
    size_t dup_capacity;
    size_t dup_mask;       // 0 while the tag is checked by a linear pass over the hashes
    uint32_t inline_open[2 * kIlInlineDepth];
};

// Below this many attributes a tag's names are checked by one pass over
// their fingerprints (length, first and last byte); from it on through a
// hash set, so the check stays linear whatever the names.
constexpr size_t kIlDupLinearLimit = 32;

void il_scan_init(il_scan_state* st);
void il_scan_release(il_scan_state* st);
bool il_grow_open(il_scan_state* st);
bool il_grow_tag_names(il_scan_state* st);
// 1 when the tag's attributes [0, count) hold the name (read from text),
// 0 when not (the name is then entered in the set as attribute count), -1
// when memory for the set ran out. For tags of kIlDupLinearLimit
// attributes or more.
int il_duplicate_hashed(il_scan_state* st, const char* text, size_t count, const char* name, size_t len);

// Seeded per process so that crafted names cannot aim at one probe chain.
inline uint32_t il_name_hash(const char* p, size_t n) {
    uint64_t seed = quorvel_hash_seed();
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
    for (size_t i = 0; i < n; i++) w |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    h = (h ^ w) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

inline uint32_t il_fingerprint(const char* name, size_t len) {
    return static_cast<uint32_t>(len << 16) ^ (static_cast<uint32_t>(static_cast<unsigned char>(name[0])) << 8) ^
           static_cast<unsigned char>(name[len - 1]);
}

// ---- Byte scanners --------------------------------------------------------------------------------
// The text they read is followed by at least kIlPadding zero bytes: a zero
// byte is neither white space nor a name byte, so the byte loops stop on
// the padding without testing the end, and the block loops read up to 15
// bytes past it.

constexpr size_t kIlPadding = 65;

inline const char* il_skip_space(const char* p) {
    while (dp_is_space(static_cast<unsigned char>(*p))) p++;
    return p;
}

// Past the name bytes from p; *colon set when one of them is ':'.
inline const char* il_skip_name(const char* p, bool* colon) {
    bool seen = false;
    for (unsigned char c; dp_is_name_char(c = static_cast<unsigned char>(*p)); p++) seen |= c == ':';
    *colon = seen;
    return p;
}

inline uint64_t il_byte_mask(size_t n) { return n >= 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * n)) - 1; }

inline bool il_equal(const char* a, const char* b, size_t n) {
    if (n == 1) return *a == *b;
    return std::memcmp(a, b, n) == 0;
}

// A name holding a colon: its prefix and local part are both non-empty.
// The document parser refuses "p:" and ":l".
inline bool il_qualified_name(const char* name, size_t len) {
    return name[0] != ':' && name[len - 1] != ':';
}

// An element closed by an end tag: the scan takes a repeated name only
// without a colon or with one colon that has bytes on both sides, and
// leaves rarer names to the document parser.
inline bool il_closable_name(const char* name, size_t len) {
    auto* colon = static_cast<const char*>(std::memchr(name, ':', len));
    if (!colon) return true;
    const char* end = name + len;
    return colon > name && colon + 1 < end && !std::memchr(colon + 1, ':', static_cast<size_t>(end - colon - 1));
}

// ---- The scan ---------------------------------------------------------------------------------------

// The sink's calls, all returning false to make the scan decline (memory):
//   element(lt, name, name_length, colon)     a start tag begins; its attributes follow
//   attribute(name, length, value, length, normalize, colon)
//   start_tag_end(content, self_closing, attributes)   '>' or "/>" ends it
//   text(offset, length, cr)                  a text run inside the innermost open element
//   element_end(end)                          the innermost open element's end tag
// Offsets count bytes of the text; content and end lie just past '>'. A
// sink may write into the text only behind the scan: over the byte that
// ends an attribute name or value, a text run or (from start_tag_end on)
// an element name, and inside the name of an element only once it is
// closed (the scan compares end tags with the open element's name).
//
// Scans text[0..n), which kIlPadding zero bytes follow. 1 when it is a
// complete plain document, 0 when the scan declines. drop_ws drops
// whitespace-only text runs inside elements. *root_end receives the offset
// just past the root element.
template <class Sink>
int il_scan(const char* text, size_t n, int drop_ws, il_scan_state* st, Sink& sink, size_t* root_end) {
    *root_end = 0;
    if (n == 0 || n > kIlMaxLength) return 0;
    const char* const end = text + n;
    const char* p = text;
    if (n >= 3 && static_cast<unsigned char>(p[0]) == 0xEF && static_cast<unsigned char>(p[1]) == 0xBB &&
        static_cast<unsigned char>(p[2]) == 0xBF)
        p += 3;
    p = il_skip_space(p);
    if (end - p < 2 || *p != '<') return 0;
    auto offset = [text](const char* at) { return static_cast<uint32_t>(at - text); };
    // The open-element stack in locals: the sink's byte stores could alias
    // the state's fields and force them back to memory on every tag.
    size_t depth = 0;
    uint32_t* open_names = st->open;
    size_t room = st->capacity < st->limit ? st->capacity : st->limit;

    // Invariant at the top: p is a '<' with at least one byte after it.
    for (;;) {
        const char* q;
        if (p[1] == '/') {
            // '/' an end tag: exactly the innermost open element's name.
            if (depth == 0) return 0;
            const uint32_t* open = open_names + 2 * (depth - 1);
            size_t len = open[1];
            q = p + 2;
            if (static_cast<size_t>(end - q) <= len) return 0;
            if (len <= 8) {
                // Both names have 8 bytes to read (the padding follows).
                uint64_t x, y;
                std::memcpy(&x, q, 8);
                std::memcpy(&y, text + open[0], 8);
                if ((x ^ y) & il_byte_mask(len)) return 0;
            } else if (std::memcmp(q, text + open[0], len) != 0) {
                return 0;
            }
            q += len;
            if (*q != '>') {
                if (dp_is_name_char(static_cast<unsigned char>(*q))) return 0;  // a longer name
                q = il_skip_space(q);
                if (*q != '>') return 0;
            }
            q++;
            if (!sink.element_end(offset(q))) return 0;
            if (--depth == 0) {
                *root_end = offset(q);
                break;
            }
        } else {
            // A start tag. '!' (comment, CDATA, declaration) and '?'
            // (processing instruction) are outside the subset, like any
            // other byte that cannot begin a name.
            const char* lt = p;
            const char* name = p + 1;
            if (!dp_is_name_start(static_cast<unsigned char>(*name))) return 0;
            bool colon;
            q = il_skip_name(name + 1, &colon);
            colon |= *name == ':';
            auto name_len = static_cast<uint32_t>(q - name);
            if (colon && !il_qualified_name(name, name_len)) return 0;
            if (!sink.element(offset(lt), offset(name), name_len, colon)) return 0;
            size_t count = 0;
            bool self_closing;
            uint64_t filter = 0;  // one bit per attribute fingerprint seen in this tag
            for (;;) {
                if (dp_is_space(static_cast<unsigned char>(*q))) q = il_skip_space(q + 1);
                unsigned char c = static_cast<unsigned char>(*q);
                if (c == '>') {  // '>' ends the start tag
                    q++;
                    self_closing = false;
                    break;
                }
                if (c == '/') {  // '/' must be "/>"
                    if (q[1] != '>') return 0;
                    q += 2;
                    self_closing = true;
                    break;
                }
                if (!dp_is_name_start(c)) return 0;  // also a NUL byte, in the text or past it
                const char* an = q;
                bool attr_colon;
                q = il_skip_name(q, &attr_colon);
                auto alen = static_cast<uint32_t>(q - an);
                if (attr_colon && !il_qualified_name(an, alen)) return 0;
                if (alen >= 5 && std::memcmp(an, "xmlns", 5) == 0) return 0;  // no namespace declarations
                q = il_skip_space(q);
                if (*q != '=') return 0;
                q = il_skip_space(q + 1);
                if (*q != '"' && *q != '\'') return 0;
                const char* v = q + 1;
                unsigned seen = 0;
                const char* close = dp_scan_value<dp_reach::padded>(v, end, *q, &seen);
                if (close >= end || (seen & 1)) return 0;  // unclosed, or a reference
                uint32_t print = il_fingerprint(an, alen);
                if (count >= kIlDupLinearLimit) {
                    if (il_duplicate_hashed(st, text, count, an, alen) != 0) return 0;
                } else {
                    uint64_t bit = uint64_t(1) << ((print * 0x9E3779B1u) >> 26);
                    if (filter & bit) {
                        for (size_t i = 0; i < count; i++) {
                            const uint32_t* other = st->tag_names + 3 * i;
                            if (other[2] == print && il_equal(text + other[0], an, alen)) return 0;
                        }
                    }
                    filter |= bit;
                }
                if (count == st->tag_capacity && !il_grow_tag_names(st)) return 0;
                st->tag_names[3 * count] = offset(an);
                st->tag_names[3 * count + 1] = alen;
                st->tag_names[3 * count + 2] = print;
                count++;
                if (!sink.attribute(offset(an), alen, offset(v), static_cast<uint32_t>(close - v), (seen & 2) != 0,
                                    attr_colon))
                    return 0;
                q = close + 1;
            }
            if (count > kIlDupLinearLimit) st->dup_mask = 0;  // the set served this tag only
            if (!self_closing) {
                if (colon && !il_closable_name(name, name_len)) return 0;
                if (depth >= room) {
                    if (depth >= st->limit) return 0;
                    st->depth = depth;
                    if (!il_grow_open(st)) return 0;
                    open_names = st->open;
                    room = st->capacity < st->limit ? st->capacity : st->limit;
                }
            }
            if (!sink.start_tag_end(offset(q), self_closing, static_cast<uint32_t>(count))) return 0;
            if (self_closing) {
                if (depth == 0) {
                    *root_end = offset(q);
                    break;
                }
            } else {
                open_names[2 * depth] = offset(name);
                open_names[2 * depth + 1] = name_len;
                depth++;
            }
        }

        // Content of the innermost open element, from q to the next '<'.
        const char* lt = nullptr;
        if (*q == '<') {
            lt = q;
        } else if (drop_ws && dp_is_space(static_cast<unsigned char>(*q))) {
            const char* r = il_skip_space(q);
            if (*r == '<') lt = r;  // whitespace-only run dropped
        }
        if (!lt) {
            unsigned seen = 0;
            lt = dp_scan_text<dp_reach::padded>(q, end, &seen);
            if (lt >= end || (seen & 1)) return 0;  // unclosed, or a reference
            if (!sink.text(offset(q), static_cast<uint32_t>(lt - q), (seen & 2) != 0)) return 0;
        }
        if (end - lt < 2) return 0;
        p = lt;
    }

    // After the root only white space, up to the very end: a NUL byte is
    // not white space, so bytes after one are not ignored.
    if (il_skip_space(text + *root_end) != end) return 0;
    return 1;
}

// ---- Fast path ------------------------------------------------------------------------------------

// The fast path with the switch the document parser honours beside the
// three of dp_il_try: no_positions makes no per-element position records.
quorvel_document* dp_il_try_flags(const char* text, size_t length, int drop_ws, int keep_refs, int apply_defaults,
                                  int no_positions);

// The environment settings, filled once per process.
struct dp_env_memo {
    int enabled;
    int64_t min_size;
};
// What the two variables' values (NULL when unset) mean.
dp_env_memo dp_env_from(const char* interleaved, const char* il_min);
// True when the settings send a text of this length down the fast path.
inline bool dp_env_allows(const dp_env_memo& memo, size_t length) {
    return memo.enabled && static_cast<int64_t>(length) >= memo.min_size;
}

// Test-only: overrides the environment for the calling thread. -1 follows
// the environment, 0 turns the fast path off, 1 turns it on for every
// input length. Differential tests and benchmarks compare both roads in
// one process with it.
void dp_il_set_test_mode(int mode);
