// The document parser's start and end tags: names, attributes with their
// values and the duplicate filter, the element's records and links, the
// open-element stack, and end tags matched against it. Namespace
// declarations and prefixes are read in document_namespaces.cpp.
#include <cstdio>

#include "parser/document_namespaces.h"

using namespace quorvel_dp;

namespace {

quorvel_element* take_element(dp_state* s) {
    quorvel_element* e;
    if (s->elem_next < s->elem_end) {
        e = s->elem_next++;
    } else {
        e = static_cast<quorvel_element*>(quorvel_pool_alloc(s->pool, sizeof(quorvel_element)));
        if (!e) return nullptr;
        if (!in_arena(s, e)) s->far = 1;
    }
    std::memset(e, 0, sizeof *e);
    return e;
}

bool grow_stack(dp_state* s) {
    size_t grown = s->stack_capacity * 2;
    if (grown > s->max_depth) grown = s->max_depth;
    dp_open* fresh;
    if (s->heap_stack) {
        fresh = static_cast<dp_open*>(
            quorvel_work_realloc(s->heap_stack, s->depth * sizeof(dp_open), grown * sizeof(dp_open)));
    } else {
        fresh = static_cast<dp_open*>(quorvel_work_alloc(grown * sizeof(dp_open)));
        if (fresh) std::memcpy(fresh, s->inline_stack, s->depth * sizeof(dp_open));
    }
    if (!fresh) return false;
    s->heap_stack = fresh;
    s->stack = fresh;
    s->stack_capacity = grown;
    return true;
}

// True with *out set, false when memory ran out; the usual case answers a
// constant true, so that its caller tests nothing.
inline bool take_attribute(dp_state* s, tag_scan& t, quorvel_attribute** out) {
    if (s->attr_next < s->attr_end) [[likely]] {
        *out = s->attr_next++;
        return true;
    }
    quorvel_attribute* a = take_chunked(s, s->attr_next, s->attr_end, sizeof(quorvel_attribute));
    if (a && !in_arena(s, a)) t.near = false;
    *out = a;
    return a != nullptr;
}

// ---- Names -------------------------------------------------------------------------------

// Name bytes by kind for scan_name: 1 a name character other than ':',
// 2 ':', 0 anything else. The same classes as dp_is_name_char, with the
// colon apart so that the loop needs one test per byte.
constexpr struct name_kinds {
    uint8_t kind[256];
    constexpr name_kinds() : kind{} {
        for (unsigned c = 0; c < 256; c++) {
            bool name = c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-' || c == '.';
            kind[c] = c == ':' ? 2 : name ? 1 : 0;
        }
    }
} kNameKinds;

// The first byte at or after p that is no name character; *first_colon and
// *last_colon get the first and last colon before it (NULL without one).
// Byte by byte on purpose: names are short, and a loop whose exit the
// branch predictor foresees lets the scan of what follows start before the
// name's bytes are in, where a block scan would make it wait for them.
inline char* scan_name(char* p, char** first_colon, char** last_colon) {
    char* first = nullptr;
    char* last = nullptr;
    for (;;) {
        unsigned kind;
        while ((kind = kNameKinds.kind[static_cast<unsigned char>(*p)]) == 1) p++;
        if (kind == 0) break;
        if (!first) first = p;  // ':'
        last = p++;
    }
    *first_colon = first;
    *last_colon = last;
    return p;
}

// ---- Start tags and attributes --------------------------------------------------------------

inline bool append_raw(dp_state* s, tag_scan& t, char* name, char* value) {
    quorvel_element_ext* ext = tag_ext(s, t);
    if (!ext) return false;
    if (s->raw_next >= s->raw_end) [[unlikely]] {
        auto* chunk =
            static_cast<quorvel_raw_attribute*>(quorvel_pool_alloc(s->pool, kRawChunk * sizeof(quorvel_raw_attribute)));
        if (!chunk) return false;
        s->raw_next = chunk;
        s->raw_end = chunk + kRawChunk;
    }
    quorvel_raw_attribute* r = s->raw_next++;
    r->qname = name;
    r->raw_value = value;
    r->next = nullptr;
    if (t.last_raw)
        t.last_raw->next = r;
    else
        ext->raw_attrs = r;
    t.last_raw = r;
    return true;
}

// The stored value of an attribute whose raw value holds '&' (seen bit 1)
// or TAB, LF or CR (bit 2): normalised, then decoded.
__attribute__((noinline)) bool attribute_value(dp_state* s, quorvel_attribute* a, char* value, size_t value_len,
                                               unsigned seen, char* at) {
    const char* stored = value;
    char* normalised = nullptr;
    size_t len = value_len;
    // A raw value quick_expand expands holds no malformed character
    // reference (it declines any it does not decode): the pass that looks
    // for them runs only where it does not.
    bool checked = false;
    if ((seen & 1) && (!s->dtd || (seen & 2) || !value_len)) {
        if (char* bad = dp_first_bad_char_ref(value, value + value_len)) return dp_refuse_char_ref(s, bad);
        checked = true;
    }
    if (seen & 2) {
        normalised = dp_normalise_value(s->pool, value, value_len, &len);
        if (!normalised) DP_FAIL(s, at);
        stored = normalised;
    }
    if ((seen & 1) && len) {
        char* decoded = nullptr;
        size_t quick_length = 0;
        // The raw value in the working copy stays as written (the raw
        // attribute list shows it); a normalised copy can take the result.
        if (s->dtd) {
            decoded = quick_expand(s, stored, len, stored == value, normalised, len, false, &quick_length);
            if (!decoded && !checked) {
                if (char* bad = dp_first_bad_char_ref(value, value + value_len)) return dp_refuse_char_ref(s, bad);
                checked = true;
            }
            if (!decoded) {
                quorvel_string_view view{stored, len};
                if ((decoded = quorvel_decode_entities_view_with_dtd(&view, s->dtd, s->pool))) quick_length = std::strlen(decoded);
            }
        }
        if (decoded) {
            stored = decoded;
            len = quick_length;
        } else if (s->dtd && expansion_refused(s)) {
            DP_FAIL(s, at);
        } else {
            a->hash = kAttrPendingEntities;
        }
    }
    a->value = stored;
    a->value_length = len;
    return true;
}

// A name's class for the duplicate filter: its length, first and last byte.
inline unsigned filter_key(size_t length, unsigned char first, unsigned char last) {
    return static_cast<unsigned>(length * 131 + first * 31 + last) & 255u;
}

// An attribute other than a namespace declaration. filter: one bit per
// filter_key class of the tag's names so far, a name whose bit is clear is
// no duplicate; most tags never compare names or build the probe set at
// all. It is filled from the second attribute on: the first can repeat
// nothing, and most tags have one.
__attribute__((always_inline)) inline bool attribute(dp_state* s, tag_scan& t, uint64_t* filter, bool check,
                                                     char* name, size_t name_len, const char* last_colon,
                                                     char* value, size_t value_len, unsigned seen,
                                                     uint64_t name_word) {
    if (t.kept && check) {
        if (t.kept == 1) {
            const quorvel_attribute* first = t.first_attr;
            unsigned first_key = filter_key(first->name_length, static_cast<unsigned char>(first->name[0]),
                                            static_cast<unsigned char>(first->name[first->name_length - 1]));
            filter[0] = filter[1] = filter[2] = filter[3] = 0;
            filter[first_key >> 6] = uint64_t(1) << (first_key & 63);
        }
        unsigned key = filter_key(name_len, static_cast<unsigned char>(name_word),
                                  static_cast<unsigned char>(name[name_len - 1]));
        uint64_t bit = uint64_t(1) << (key & 63);
        uint64_t& word = filter[key >> 6];
        if ((word & bit) && is_duplicate(s, t.first_attr, t.kept, name, name_len)) [[unlikely]] {
            if (s->dup_failed) DP_FAIL(s, name);
            dp_emit(s, 9, "Attribute %.129s redefined", name);
            return true;
        }
        word |= bit;
    }
    quorvel_element* e = t.element;
    quorvel_attribute* a;
    if (!take_attribute(s, t, &a)) DP_FAIL(s, name);
    a->name = name;
    a->name_length = name_len;
    a->ns = 0;
    a->next = 0;
    a->hash = 0;
    a->value = value;
    a->value_length = value_len;
    if (seen) [[unlikely]]
        DP_TRY(attribute_value(s, a, value, value_len, seen, name));
    if (last_colon && !dp_attribute_namespace(s, t, a, name, last_colon, name_word)) DP_FAIL(s, name);
    bool linked = t.last_attr ? quorvel_link16_set_inline(t.last_attr, &t.last_attr->next, a, s->doc)
                              : tag_link(s, t, e, &e->first_attr, a);
    if (!linked) DP_FAIL(s, name);
    if (!t.first_attr) t.first_attr = a;
    t.last_attr = a;
    if (t.kept >= kDupLinearLimit && check && s->dup_mask) [[unlikely]]
        if (!remember_attribute(s, t.kept, a)) DP_FAIL(s, name);
    t.kept++;
    return true;
}

// A position record past the array's capacity: the array moves, and the
// open elements' end-offset pointers into it move with it.
int32_t pos_record_grown(dp_state* s, quorvel_element* e, uint32_t offset) {
    quorvel_document* d = s->doc;
    auto old = reinterpret_cast<uintptr_t>(d->pos_records);
    uintptr_t old_end = old + d->pos_count * sizeof(quorvel_elem_pos);
    int32_t index = quorvel_elem_pos_record(d, e, offset, offset);
    auto now = reinterpret_cast<uintptr_t>(d->pos_records);
    if (now != old && old) {
        for (size_t i = 0; i < s->depth; i++) {
            auto at = reinterpret_cast<uintptr_t>(s->stack[i].pos_end);
            if (at >= old && at < old_end) s->stack[i].pos_end = reinterpret_cast<uint32_t*>(now + (at - old));
        }
    }
    return index;
}

// Where the element's end offset goes: its span when it lies in the element
// area (every element does, but those of expanded entities past the area's
// end), else a position record.
[[gnu::always_inline]] inline uint32_t* record_position(dp_state* s, quorvel_element* e, const char* p) {
    quorvel_document* d = s->doc;
    uint32_t o = offset_of(s, p);
    if (e >= s->elem_area && e < s->elem_end) [[likely]] {
        quorvel_elem_span* span = d->pos_spans + (e - s->elem_area);
        *span = quorvel_elem_span{o, o};
        return &span->end;
    }
    int32_t index;
    if (d->pos_count < d->pos_capacity) {
        d->pos_records[d->pos_count] = quorvel_elem_pos{e, o, o};
        index = static_cast<int32_t>(d->pos_count++);
    } else {
        index = pos_record_grown(s, e, o);
    }
    return index >= 0 ? &d->pos_records[index].end : &s->pos_sink;
}

// qname_word: the first 8 bytes of the name as written, read before any
// NUL went into them (a load over a fresh byte store would stall).
inline bool push_open(dp_state* s, quorvel_element* e, const char* name, size_t name_len, size_t prefix_length,
                      uint32_t* pos_end, uint64_t qname_word) {
    if (s->depth == s->stack_capacity && !grow_stack(s)) return false;
    size_t full = prefix_length ? prefix_length + 1 + name_len : name_len;
    close_word w = prefix_length != kNoFastClose ? close_word_of(qname_word, full) : close_word{0, 0};
    s->stack[s->depth++] = dp_open{{e, e, &e->first_child}, name, pos_end, name_len,
                                   static_cast<uint32_t>(prefix_length), w.word, w.mask};
    return true;
}

// The usual start tag: a name without colon and no attributes, at '>' or
// "/>". Builds what the general steps build for it, with fewer of them.
inline bool plain_start_tag(dp_state* s, quorvel_element* e, char* name, char* name_end, uint32_t hash,
                            uint64_t qname_word) {
    bool empty = *name_end == '/';
    char* p = name_end + (empty ? 2 : 1);
    *name_end = '\0';
    size_t len = static_cast<size_t>(name_end - name);
    e->name_length = static_cast<uint8_t>(len < 255 ? len : 255);
    e->name_hash = static_cast<uint16_t>(hash & 0xFFFFu);
    if (!quorvel_build_link(s->doc, e, &e->name, name)) DP_FAIL(s, p);
    uint32_t* pos_end = s->record_positions ? record_position(s, e, p) : &s->pos_sink;
    size_t depth = s->depth;
    if (depth == 0) {
        if (s->root) DP_FAIL(s, p);
        s->root = e;
    } else {
        dp_open* parent = &s->stack[depth - 1];
        if (!wire(s, parent, &e->head, &e->parent, &e->next_sibling)) DP_FAIL(s, p);
        if (parent->element->child_count < kChildCountCap) parent->element->child_count++;
    }
    s->cur = p;
    if (empty) return true;
    if (depth > 0 && depth >= s->max_depth) DP_FAIL(s, p);
    if (!push_open(s, e, name, len, 0, pos_end, qname_word)) DP_FAIL(s, p);
    return true;
}

// A qualified name is a prefix and a local part, both non-empty: "p:" and
// ":l" are refused, in every mode (serialized, they would not read back).
__attribute__((noinline, cold)) void empty_name_part(dp_state* s, char* at) {
    std::snprintf(s->message, sizeof s->message, "empty prefix or local part in a name");
    s->fail_at = at;
}

// TAB, LF, CR and space as bits of one word: no table load per byte.
constexpr uint64_t kSpaceBits =
    (uint64_t(1) << '\t') | (uint64_t(1) << '\n') | (uint64_t(1) << '\r') | (uint64_t(1) << ' ');

inline bool is_space_byte(unsigned char c) { return c <= ' ' && ((kSpaceBits >> c) & 1); }

// The attributes of a start tag, from *cursor (just past the element name)
// to its '>' or "/>": *cursor ends up past the tag and *empty tells which
// closed it. False when the parse failed (s->fail_at set).
__attribute__((always_inline)) inline bool tag_attributes(dp_state* s, tag_scan& t, char** cursor, bool* empty) {
    char* p = *cursor;
    char* const end = s->end;
    const bool check = !(s->flags & 0x08);
    const bool eager_raw = !s->raw_in_source;
    uint64_t filter[4];  // filled by attribute() once the tag has a second attribute
    for (;;) {
        // Mostly one space between attributes.
        if (*p == ' ') p++;
        if (is_space_byte(static_cast<unsigned char>(*p))) p = dp_skip_space(p + 1);
        if (!dp_is_name_start(static_cast<unsigned char>(*p))) break;
        char* an = p;
        char* an_first_colon;
        char* an_colon;
        char* an_end = scan_name(p, &an_first_colon, &an_colon);
        if (an_colon && (an_first_colon == an || an_colon + 1 == an_end)) [[unlikely]] {
            empty_name_part(s, an_first_colon == an ? an : an_colon);
            return false;
        }
        uint64_t an_word;
        std::memcpy(&an_word, an, 8);  // before the NUL below: the padding covers it
        p = an_end;
        if (*p != '=') {
            p = dp_skip_space(p);
            if (*p != '=') DP_FAIL(s, p);
        }
        *an_end = '\0';
        p++;
        if (is_space_byte(static_cast<unsigned char>(*p))) p = dp_skip_space(p + 1);
        char quote = *p;
        if (quote != '"' && quote != '\'') DP_FAIL(s, p);
        char* v = p + 1;
        unsigned seen = 0;
        char* close = const_cast<char*>(dp_scan_value<dp_reach::padded>(v, end, quote, &seen));
        if (close >= end) DP_FAIL(s, v);
        *close = '\0';
        p = close + 1;
        size_t alen = static_cast<size_t>(an_end - an);
        size_t vlen = static_cast<size_t>(close - v);
        // Exactly "xmlns", or "xmlns:" and a prefix, declares a namespace.
        constexpr uint64_t kXmlns = uint64_t('x') | uint64_t('m') << 8 | uint64_t('l') << 16 |
                                    uint64_t('n') << 24 | uint64_t('s') << 32;
        if ((an_word & byte_mask(5)) == kXmlns && (alen == 5 || (((an_word >> 40) & 0xFF) == ':' && alen > 6))) {
            if (!dp_namespace_declaration(s, t, an, alen, v, vlen, seen & 1)) DP_FAIL(s, an);
        } else {
            DP_TRY(attribute(s, t, filter, check, an, alen, an_colon, v, vlen, seen, an_word));
        }
        if (eager_raw && !append_raw(s, t, an, v)) DP_FAIL(s, an);
    }
    if (*p == '>') {
        *empty = false;
        p++;
    } else if (*p == '/' && p[1] == '>') {
        *empty = true;
        p += 2;
    } else {
        DP_FAIL(s, p);
    }
    t.element->attr_count = static_cast<uint8_t>(t.kept < kAttrCountCap ? t.kept : kAttrCountCap);
    // Only a tag with that many attributes can have built the probe set or
    // marked it failed: the next tag starts without either.
    if (t.kept >= kDupLinearLimit) {
        s->dup_mask = 0;
        s->dup_failed = 0;
    }
    *cursor = p;
    return true;
}

// At the '<' of a start tag (already a NUL) whose name has been read up to
// stop: its first colon, or its end when it has none. hash: the element name
// hash of the bytes before stop (its low 16 bits are quorvel_name_hash16:
// start 0x811C, then (hash ^ byte) * 403 for each byte).
}  // namespace

namespace quorvel_dp {

bool dp_start_tag_from(dp_state* s, char* lt, char* stop, uint32_t hash) {
    quorvel_element* e = take_element(s);
    if (!e) DP_FAIL(s, lt);
    e->head.kind = QUORVEL_NODE_ELEMENT;
    e->head.flags = kNodeFrozen;
    e->head.source_pos = position_of(s, lt);
    char* name = lt + 1;
    char* first_colon = nullptr;
    char* last_colon = nullptr;
    char* name_end = stop;
    if (*stop == ':') {
        // The rest of the name, with the hash started again after each
        // colon: it ends up covering the local name when the name splits.
        first_colon = last_colon = stop;
        hash = 0x811C;
        for (;;) {
            unsigned kind;
            unsigned char c;
            while ((kind = kNameKinds.kind[c = static_cast<unsigned char>(*++name_end)]) == 1) hash = (hash ^ c) * 403u;
            if (kind == 0) break;
            last_colon = name_end;
            hash = 0x811C;
        }
    }
    if (last_colon && (first_colon == name || last_colon + 1 == name_end)) {
        empty_name_part(s, first_colon == name ? name : last_colon);
        return false;
    }
    char* p = name_end;
    uint64_t qname_word;
    std::memcpy(&qname_word, name, 8);  // the padding covers it; before any NUL goes in
    if (!last_colon && (*p == '>' || (*p == '/' && p[1] == '>')))
        return plain_start_tag(s, e, name, name_end, hash, qname_word);

    // The element and every record linked so far lie in the arena unless far.
    tag_scan t{e, nullptr, nullptr, nullptr, nullptr, nullptr, 0, s->arena_span && !s->far};
    bool empty;
    if (!tag_attributes(s, t, &p, &empty)) return false;
    *name_end = '\0';
    if (s->raw_in_source && (t.kept || t.last_decl)) e->eflags = kElemRawInSource;

    char* local = name;
    size_t prefix_length = 0;
    if (last_colon) {
        // The colon has bytes on both sides (checked above); the prefix ends
        // at the last one, and holds a colon when the name had two.
        local = last_colon + 1;
        if (!dp_element_prefix(s, t, name, last_colon)) DP_FAIL(s, p);
        prefix_length = static_cast<size_t>(last_colon - name);
    }
    size_t local_len = static_cast<size_t>(name_end - local);
    if (!tag_link(s, t, e, &e->name, local)) DP_FAIL(s, p);
    e->name_length = static_cast<uint8_t>(local_len < 255 ? local_len : 255);
    e->name_hash = static_cast<uint16_t>(hash & 0xFFFFu);

    uint32_t* pos_end = s->record_positions ? record_position(s, e, p) : &s->pos_sink;

    if (s->depth == 0) {
        if (s->root) DP_FAIL(s, p);
        s->root = e;
    } else {
        dp_open* parent = &s->stack[s->depth - 1];
        if (!tag_link(s, t, &e->head, &e->parent, parent->element) ||
            !tag_link(s, t, parent->last_holder, parent->last_link, &e->head))
            DP_FAIL(s, p);
        parent->last_holder = &e->head;
        parent->last_link = &e->next_sibling;
        if (parent->element->child_count < kChildCountCap) parent->element->child_count++;
    }
    s->cur = p;
    if (empty) return true;
    if (s->depth > 0 && s->depth >= s->max_depth) DP_FAIL(s, p);
    if (!push_open(s, e, local, local_len, prefix_length, pos_end, qname_word)) DP_FAIL(s, p);
    return true;
}

// At the '<' of a start tag (already a NUL); the next byte is a name start.
bool dp_start_tag(dp_state* s, char* lt) {
    char* name = lt + 1;
    char* stop = name;
    uint32_t hash = 0x811C;
    for (unsigned char c; dp_is_name_char(c = static_cast<unsigned char>(*stop)) && c != ':'; stop++)
        hash = (hash ^ c) * 403u;
    return dp_start_tag_from(s, lt, stop, hash);
}

// True when [name, name + len) is the open element's name as its start tag
// wrote it: prefix, colon and local name alike.
}  // namespace quorvel_dp

namespace {

bool open_name_is(const dp_open& o, const char* name, size_t len) {
    size_t prefix = o.prefix_length;
    if (!prefix) return len == o.name_length && std::memcmp(name, o.name, len) == 0;
    return len == prefix + 1 + o.name_length && name[prefix] == ':' &&
           std::memcmp(name, o.name - 1 - prefix, prefix) == 0 && std::memcmp(name + prefix + 1, o.name, o.name_length) == 0;
}

// At the '<' of "</".
}  // namespace

namespace quorvel_dp {

bool dp_end_tag(dp_state* s, char* lt) {
    char* p = lt + 2;
    if (s->depth && s->stack[s->depth - 1].prefix_length != kNoFastClose) {
        // The usual case: the name of the open element exactly as written.
        dp_open& top = s->stack[s->depth - 1];
        size_t prefix = top.prefix_length;
        size_t full = prefix ? prefix + 1 + top.name_length : top.name_length;
        if (full < static_cast<size_t>(s->end - p) && p[full] == '>' && names_equal(p + (prefix ? prefix + 1 : 0), top.name, top.name_length) &&
            (!prefix || (p[prefix] == ':' && names_equal(p, top.name - 1 - prefix, prefix)))) {
            p += full + 1;
            s->cur = p;
            close_open(s, offset_of(s, p));
            return true;
        }
    }
    char* name = p;
    while (dp_is_name_char(static_cast<unsigned char>(*p))) p++;
    char* name_end = p;
    p = dp_skip_space(p);
    if (*p != '>') DP_FAIL(s, p);
    p++;
    s->cur = p;
    if (s->depth == 0) DP_FAIL(s, p);
    size_t len = static_cast<size_t>(name_end - name);
    uint32_t end_offset = offset_of(s, p);
    dp_open& top = s->stack[s->depth - 1];
    if (open_name_is(top, name, len)) {
        close_open(s, end_offset);
        return true;
    }
    int n = static_cast<int>(len > 1024 ? 1024 : len);
    if (!s->recover) {
        // The prefix ends at a NUL in the working copy: the start tag's
        // name is printed as prefix and local name.
        int pm = static_cast<int>(top.prefix_length > 512 ? 512 : top.prefix_length);
        int m = static_cast<int>(top.name_length > 512 ? 512 : top.name_length);
        std::snprintf(s->message, sizeof s->message, "Opening and ending tag mismatch: expected </%.*s%s%.*s>, got </%.*s>",
                      pm, top.name - 1 - top.prefix_length, pm ? ":" : "", m, top.name, n, name);
        DP_FAIL(s, p);
    }
    size_t found = s->depth;
    for (size_t i = s->depth; i-- > 0;) {
        if (open_name_is(s->stack[i], name, len)) {
            found = i;
            break;
        }
    }
    if (found == s->depth) {
        dp_emit(s, 10, "Stray close tag </%.*s> dropped", n, name);
        return true;
    }
    while (s->depth > found + 1) {
        dp_emit(s, 11, "Element %s closed implicitly by </%.*s>", s->stack[s->depth - 1].name, n, name);
        close_open(s, end_offset);
    }
    close_open(s, end_offset);
    return true;
}

}  // namespace quorvel_dp
