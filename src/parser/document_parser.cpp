// The document parser: one complete XML text in memory to a document, in a
// single pass with no tokenizer and no callbacks. Names, values and texts
// are views into a padded working copy, terminated in place by NUL bytes
// written over the delimiter that follows them; node records are bump
// allocated from areas of one arena sized in advance from the markup counts.
// Called by the parse entry points; everything it makes belongs to the
// document, and a failed parse leaves nothing allocated.
#include <sys/mman.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "parser/document_parser.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace quorvel_dp;

namespace quorvel_dp {

bool expansion_refused(dp_state* s) {
    if (dtd_last_expand_status() != dtd_expand_status::too_large) return false;
    std::snprintf(s->message, sizeof s->message, "entity expansion exceeds the size limit");
    return true;
}

}  // namespace quorvel_dp

namespace {

// ---- Scanners ----------------------------------------------------------------------------
// All may read up to 15 bytes past `end`: the working copy carries 64 zero
// bytes there, which match none of the bytes searched for.

// The first '<' at or after p, or end; the working copy is padded.
inline char* scan_text(char* p, char* end, unsigned* seen) {
    return const_cast<char*>(dp_scan_text<dp_reach::padded>(p, end, seen));
}

inline char* skip_space(char* p) { return dp_skip_space(p); }

// ---- In-place text rewriting -------------------------------------------------------------
// Both only shrink the text, so they write behind where they read.


constexpr size_t kDecodeFailed = SIZE_MAX;
constexpr size_t kDecodeRefused = SIZE_MAX - 1;  // a malformed character reference: the parse fails

inline bool is_c_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Decodes character references and the five predefined entities of a text
// run in place (raw line ends normalised on the way when lines is set), by
// the rules of the stored-value decoder: the text ends at its first NUL;
// an undeclared reference fails in strict mode and is kept as written
// otherwise. Answers the new length (NUL written there), or kDecodeFailed
// with the run's bytes left undefined, or kDecodeRefused with *bad at the
// '&' of a malformed character reference (no digits, a stray byte, 0, a
// surrogate, above U+10FFFF, or no ';' before the end of the run), which
// no document may hold.
// The first '&', NUL or (when lines is set) CR at or after p, or end. May
// read up to 15 bytes past end (inside the working copy or its padding).
inline const char* next_special(const char* p, const char* end, bool lines) {
#if defined(__SSE2__)
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i cr = _mm_set1_epi8(lines ? '\r' : '&');
    const __m128i zero = _mm_setzero_si128();
    for (; p < end; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, cr)), _mm_cmpeq_epi8(v, zero));
        if (unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hit))) {
            const char* q = p + __builtin_ctz(m);
            return q < end ? q : end;
        }
    }
    return end;
#else
    while (p < end && *p != '&' && *p && !(lines && *p == '\r')) p++;
    return p;
#endif
}

// Moves n bytes from p back to out (out before p): short moves, the rule
// between references, load everything before the first store.
inline void move_back(char* out, const char* p, size_t n) {
    if (n >= 16) {
        std::memmove(out, p, n);
    } else if (n >= 8) {
        uint64_t a, b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
        std::memcpy(out, &a, 8);
        std::memcpy(out + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        std::memcpy(out, &a, 4);
        std::memcpy(out + n - 4, &b, 4);
    } else if (n) {
        char a = p[0], b = p[n / 2], c = p[n - 1];
        out[0] = a;
        out[n / 2] = b;
        out[n - 1] = c;
    }
}

size_t decode_text(char* p, size_t n, bool strict, bool lines, char** bad) {
    const char* in = p;
    const char* end = p + n;
    char* out = p;
    while (in < end) {
        const char* q = next_special(in, end, lines);
        if (q > in) {
            size_t span = static_cast<size_t>(q - in);
            if (out != in) move_back(out, in, span);
            out += span;
            in = q;
            if (in >= end) break;
        }
        char c = *in;
        if (c == '\0') break;
        if (c == '\r') {
            *out++ = '\n';
            in++;
            if (in < end && *in == '\n') in++;
            continue;
        }
        size_t written = 0, used = 0;
        switch (dp_read_reference(in, end, out, &written, &used)) {
            case dp_reference::decoded: break;
            case dp_reference::cut_off:
            case dp_reference::malformed: *bad = const_cast<char*>(in); return kDecodeRefused;
            case dp_reference::other: used = 0; break;
        }
        if (used) {
            out += written;
            in += used;
            continue;
        }
        if (strict) return kDecodeFailed;
        // Undeclared: copied as written, up to and with a ';', or up to
        // white space, '<' or the end.
        *out++ = *in++;
        while (in < end && *in && *in != ';' && *in != '<' && !is_c_space(static_cast<unsigned char>(*in)))
            *out++ = *in++;
        if (in < end && *in == ';') *out++ = *in++;
    }
    size_t len = static_cast<size_t>(out - p);
    if (len == 0) return kDecodeFailed;
    if (len < n) *out = '\0';
    return len;
}

// ---- Storage -----------------------------------------------------------------------------

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

quorvel_text* take_text(dp_state* s) { return take_chunked(s, s->text_next, s->text_end, sizeof(quorvel_text)); }

void* take_markup(dp_state* s) {
    void* slot = take_chunked(s, s->markup_next, s->markup_end, kMarkupSlot);
    if (slot) std::memset(slot, 0, kMarkupSlot);
    return slot;
}

// Appends child, whose parent and sibling links are the given fields, as
// the last child of an open element.
inline bool wire(dp_state* s, dp_open* parent, quorvel_node* child, int32_t* parent_field, int32_t* sibling_field) {
    if (!in_arena(s, child)) s->far = 1;
    return quorvel_build_append(s->doc, parent, child, parent_field, sibling_field);
}

bool dp_wire_child(dp_state* s, dp_open* parent, quorvel_node* child) {
    if (!in_arena(s, child)) s->far = 1;
    return quorvel_build_append_node(s->doc, parent, child);
}

bool top_link(dp_state* s, quorvel_node* node) { return quorvel_build_list_append(s->doc, &s->top, node); }

// Appends a top-level node; the root joins the list just before the first
// node that follows its start tag.
bool top_append(dp_state* s, quorvel_node* node) {
    if (s->root && !s->root_linked) {
        if (!top_link(s, &s->root->head)) return false;
        s->root_linked = 1;
    }
    return top_link(s, node);
}

inline bool place_leaf(dp_state* s, quorvel_node* node) {
    if (s->depth) return dp_wire_child(s, &s->stack[s->depth - 1], node);
    return top_append(s, node);
}

inline bool place_text(dp_state* s, quorvel_text* t) {
    if (s->depth) return wire(s, &s->stack[s->depth - 1], &t->head, &t->parent, &t->next_sibling);
    return top_append(s, &t->head);
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

void emit(dp_state* s, int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
void emit(dp_state* s, int code, const char* format, ...) {
    char message[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    quorvel_document* d = s->doc;
    quorvel_diag_emit(&d->diags, &d->diag_count, &d->diag_capacity, code, nullptr, "%s", message);
}

// ---- Text --------------------------------------------------------------------------------

// A text node for [a, b) of the working copy. The byte at b is a '<' about
// to be overwritten with NUL, a '&' already overwritten, or the NUL at the
// end of the input, so every view ends in a NUL.
bool make_text(dp_state* s, char* a, char* b, bool amp, bool cr, uint32_t position, bool with_dtd) {
    const char* content = a;
    size_t len = static_cast<size_t>(b - a);
    if (amp && with_dtd && s->dtd) {
        if (char* bad = dp_first_bad_char_ref(a, b)) return dp_refuse_char_ref(s, bad);
        if (cr) len = dp_normalise_lines(a, len);
        quorvel_string_view view{a, len};
        size_t quick_length = 0;
        // Back into the run when it fits, else into the pool.
        if (char* quick = quick_expand(s, a, len, true, a, len, true, &quick_length)) {
            content = quick;
            len = quick_length;
        } else if (char* decoded = quorvel_decode_entities_view_with_dtd(&view, s->dtd, s->pool)) {
            content = decoded;
            len = std::strlen(decoded);
        } else if (expansion_refused(s)) {
            DP_FAIL(s, a);
        }
    } else if (amp) {
        char* bad = nullptr;
        size_t decoded = decode_text(a, len, s->strict, cr, &bad);
        if (decoded == kDecodeRefused) return dp_refuse_char_ref(s, bad);
        if (decoded == kDecodeFailed) {
            // Keep the run as written (line ends still normalised).
            std::memcpy(a, s->retained + (a - s->start), len);
            if (cr) len = dp_normalise_lines(a, len);
        } else {
            len = decoded;
        }
    } else if (cr) {
        len = dp_normalise_lines(a, len);
    }
    if (len > UINT32_MAX) DP_FAIL(s, b);
    quorvel_text* t = take_text(s);
    if (!t) DP_FAIL(s, a);
    t->head.kind = QUORVEL_NODE_TEXT;
    t->head.flags = kTextCounted;
    t->head.source_pos = position;
    t->length = static_cast<uint32_t>(len);
    t->next_sibling = t->parent = t->owner = 0;
    if (!quorvel_text_link_set_inline(t, &t->content, content, s->doc)) DP_FAIL(s, a);
    return place_text(s, t);
}

// keep_refs: the run split at each named reference of 1 to 64 name bytes.
bool split_references(dp_state* s, char* run, char* stop) {
    char* piece = run;
    char* q = run;
    while (q < stop) {
        auto* amp = static_cast<char*>(std::memchr(q, '&', static_cast<size_t>(stop - q)));
        if (!amp) break;
        char* name = amp + 1;
        char* n = name;
        while (n < stop && n - name <= 64 && dp_is_name_char(static_cast<unsigned char>(*n))) n++;
        if (n == name || n - name > 64 || n >= stop || *n != ';') {
            q = amp + 1;
            continue;
        }
        if (amp > piece) {
            size_t len = static_cast<size_t>(amp - piece);
            bool has_amp = std::memchr(piece, '&', len) != nullptr;
            bool has_cr = std::memchr(piece, '\r', len) != nullptr;
            DP_TRY(make_text(s, piece, amp, has_amp, has_cr, position_of(s, piece), false));
        }
        *amp = '\0';
        quorvel_comment* ref = quorvel_entity_ref_create(name, static_cast<size_t>(n - name), s->pool);
        if (!ref) DP_FAIL(s, amp);
        ref->head.source_pos = position_of(s, run);
        DP_TRY(place_leaf(s, &ref->head));
        piece = q = n + 1;
    }
    if (piece < stop) {
        size_t len = static_cast<size_t>(stop - piece);
        bool has_amp = std::memchr(piece, '&', len) != nullptr;
        bool has_cr = std::memchr(piece, '\r', len) != nullptr;
        DP_TRY(make_text(s, piece, stop, has_amp, has_cr, position_of(s, piece), false));
    }
    return true;
}

// A text run inside an element, from s->cur; leaves the cursor at the '<'
// or the end that ends it.
bool text_run(dp_state* s) {
    char* run = s->cur;
    char* end = s->end;
    unsigned seen = 0;
    char* p = scan_text(run, end, &seen);
    if (s->recover) {
        // A '<' inside the run that begins no markup stays in the text.
        while (p + 1 < end) {
            unsigned char next = static_cast<unsigned char>(p[1]);
            if (dp_is_name_start(next) || next == '!' || next == '/' || next == '?') break;
            emit(s, 9, "Unescaped < not allowed in a text node");
            p = scan_text(p + 1, end, &seen);
        }
    }
    s->cur = p;
    if (!(seen & 3)) {
        // Plain text: a view, the common case.
        size_t len = static_cast<size_t>(p - run);
        quorvel_text* t = take_text(s);
        if (!t || len > UINT32_MAX) DP_FAIL(s, t ? p : run);
        t->head = quorvel_node{QUORVEL_NODE_TEXT, kTextCounted, position_of(s, run)};
        t->length = static_cast<uint32_t>(len);
        t->next_sibling = t->parent = t->owner = 0;
        if (!quorvel_text_link_set_inline(t, &t->content, run, s->doc)) DP_FAIL(s, run);
        return place_text(s, t);
    }
    if (s->keep_refs && (seen & 1)) return split_references(s, run, p);
    return make_text(s, run, p, seen & 1, seen & 2, position_of(s, run), true);
}

// Whitespace at depth 0: kept as a node only after a comment, or after the
// root once the root is in the list.
bool top_whitespace(dp_state* s, char* a, char* b) {
    quorvel_node* last = s->top.last;
    bool keep = last && (last->kind == QUORVEL_NODE_COMMENT || (s->root_linked && last == &s->root->head));
    if (!keep) return true;
    size_t len = static_cast<size_t>(b - a);
    if (std::memchr(a, '\r', len)) len = dp_normalise_lines(a, len);
    if (len > UINT32_MAX) DP_FAIL(s, b);
    quorvel_text* t = take_text(s);
    if (!t) DP_FAIL(s, a);
    t->head.kind = QUORVEL_NODE_TEXT;
    t->head.flags = kTextCounted;
    t->head.source_pos = 0;
    t->length = static_cast<uint32_t>(len);
    t->next_sibling = t->parent = t->owner = 0;
    if (!quorvel_text_link_set(t, &t->content, a, s->doc)) DP_FAIL(s, a);
    return top_append(s, &t->head);
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

// A declaration's URI is read as a plain string, so its references are
// decoded now, with or without a DTD. False when the parse is to end.
__attribute__((noinline)) bool declaration_uri(dp_state* s, char* value, size_t value_len, char** uri) {
    if (char* bad = dp_first_bad_char_ref(value, value + value_len)) return dp_refuse_char_ref(s, bad);
    quorvel_string_view view{value, value_len};
    char* decoded = s->dtd ? quorvel_decode_entities_view_with_dtd(&view, s->dtd, s->pool)
                           : quorvel_decode_entities_view(&view, s->pool);
    if (decoded)
        *uri = decoded;
    else if (s->dtd && expansion_refused(s))
        DP_FAIL(s, value);
    return true;
}

// name is "xmlns", or "xmlns:" and a prefix, NUL-terminated in the working
// copy: the prefix is a view of its tail, which nothing writes over.
inline bool namespace_declaration(dp_state* s, tag_scan& t, char* name, size_t name_len, char* value,
                                  size_t value_len, bool amp) {
    auto* d = static_cast<quorvel_ns_decl*>(small_alloc(s, sizeof(quorvel_ns_decl), &t.near));
    if (!d) return false;
    d->prefix = name_len > 6 ? name + 6 : nullptr;
    d->uri = value;
    if (amp) [[unlikely]]
        DP_TRY(declaration_uri(s, value, value_len, &d->uri));
    d->next = nullptr;
    quorvel_element_ext* ext = tag_ext(s, t);
    if (!ext) return false;
    if (t.last_decl)
        t.last_decl->next = d;
    else
        ext->ns_decls = d;
    t.last_decl = d;
    s->namespaces_in_use = 1;
    return true;
}

// The stored value of an attribute whose raw value holds '&' (seen bit 1)
// or TAB, LF or CR (bit 2): normalised, then decoded.
__attribute__((noinline)) bool attribute_value(dp_state* s, quorvel_attribute* a, char* value, size_t value_len,
                                               unsigned seen, char* at) {
    const char* stored = value;
    char* normalised = nullptr;
    size_t len = value_len;
    if (seen & 1)
        if (char* bad = dp_first_bad_char_ref(value, value + value_len)) return dp_refuse_char_ref(s, bad);
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

// The pool copy of an attribute prefix, name[0, length): shared by every
// attribute with the same prefix while it holds its cache slot. word: the
// name's first 8 bytes as read before its NUL went in (a load now would
// wait on that byte store).
// True with *out set, false when memory ran out; a cache hit answers a
// constant true, so that the caller tests nothing.
inline bool attribute_prefix(dp_state* s, const char* name, size_t length, uint64_t word, char** out,
                             bool* near) {
    uint64_t key = word & byte_mask(length);
    prefix_slot& slot = s->prefixes[(key * 0x9E3779B97F4A7C15ull) >> (64 - kPrefixSlotBits)];
    if (slot.word == key && slot.length == length &&
        (length <= 8 || std::memcmp(slot.text, name, length) == 0)) [[likely]] {
        *out = const_cast<char*>(slot.text);
        return true;
    }
    auto* copy = static_cast<char*>(small_alloc(s, length + 1, near));
    if (!copy) return false;
    std::memcpy(copy, name, length);
    copy[length] = '\0';
    slot = prefix_slot{key, length, copy};
    *out = copy;
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
            emit(s, 9, "Attribute %.129s redefined", name);
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
    if (last_colon) {
        quorvel_attr_ns* ns;
        if (sizeof(quorvel_attr_ns) <= static_cast<size_t>(s->small_end - s->small_next)) [[likely]] {
            ns = reinterpret_cast<quorvel_attr_ns*>(s->small_next);
            s->small_next += sizeof(quorvel_attr_ns);
        } else if (!(ns = static_cast<quorvel_attr_ns*>(small_alloc(s, sizeof(quorvel_attr_ns), &t.near)))) {
            DP_FAIL(s, name);
        }
        ns->uri_view = quorvel_string_view{nullptr, 0};
        ns->ns_uri = nullptr;
        if (!attribute_prefix(s, name, static_cast<size_t>(last_colon - name), name_word, &ns->prefix, &t.near))
            DP_FAIL(s, name);
        ns->owner = e;
        if (!tag_link(s, t, a, &a->ns, ns)) DP_FAIL(s, name);
    }
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

// qname_word: the first 8 bytes of the name as written, read before any
// NUL went into them (a load over a fresh byte store would stall).
inline bool push_open(dp_state* s, quorvel_element* e, const char* name, size_t name_len, size_t prefix_length,
                      int32_t pos_index, uint64_t qname_word) {
    if (s->depth == s->stack_capacity && !grow_stack(s)) return false;
    size_t full = prefix_length ? prefix_length + 1 + name_len : name_len;
    close_word w = prefix_length != kNoFastClose ? close_word_of(qname_word, full) : close_word{0, 0};
    uint32_t* pos_end = pos_index >= 0 ? &s->doc->pos_records[pos_index].end : &s->pos_sink;
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
    int32_t pos_index = -1;
    if (s->record_positions) {
        quorvel_document* d = s->doc;
        uint32_t o = offset_of(s, p);
        if (d->pos_count < d->pos_capacity) {
            pos_index = static_cast<int32_t>(d->pos_count);
            d->pos_records[d->pos_count++] = quorvel_elem_pos{e, o, o};
        } else {
            pos_index = pos_record_grown(s, e, o);
        }
    }
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
    if (!push_open(s, e, name, len, 0, pos_index, qname_word)) DP_FAIL(s, p);
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
        if (is_space_byte(static_cast<unsigned char>(*p))) p = skip_space(p + 1);
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
            p = skip_space(p);
            if (*p != '=') DP_FAIL(s, p);
        }
        *an_end = '\0';
        p++;
        if (is_space_byte(static_cast<unsigned char>(*p))) p = skip_space(p + 1);
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
            if (!namespace_declaration(s, t, an, alen, v, vlen, seen & 1)) DP_FAIL(s, an);
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
bool start_tag_from(dp_state* s, char* lt, char* stop, uint32_t hash) {
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
        *last_colon = '\0';
        local = last_colon + 1;
        quorvel_element_ext* ext = tag_ext(s, t);
        if (!ext) DP_FAIL(s, p);
        ext->prefix = name;
        prefix_length = static_cast<size_t>(last_colon - name);
    }
    size_t local_len = static_cast<size_t>(name_end - local);
    if (!tag_link(s, t, e, &e->name, local)) DP_FAIL(s, p);
    e->name_length = static_cast<uint8_t>(local_len < 255 ? local_len : 255);
    e->name_hash = static_cast<uint16_t>(hash & 0xFFFFu);

    int32_t pos_index = -1;
    if (s->record_positions) {
        quorvel_document* d = s->doc;
        uint32_t o = offset_of(s, p);
        if (d->pos_count < d->pos_capacity) {
            pos_index = static_cast<int32_t>(d->pos_count);
            d->pos_records[d->pos_count++] = quorvel_elem_pos{e, o, o};
        } else {
            pos_index = pos_record_grown(s, e, o);
        }
    }

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
    if (!push_open(s, e, local, local_len, prefix_length, pos_index, qname_word)) DP_FAIL(s, p);
    return true;
}

// At the '<' of a start tag (already a NUL); the next byte is a name start.
bool start_tag(dp_state* s, char* lt) {
    char* name = lt + 1;
    char* stop = name;
    uint32_t hash = 0x811C;
    for (unsigned char c; dp_is_name_char(c = static_cast<unsigned char>(*stop)) && c != ':'; stop++)
        hash = (hash ^ c) * 403u;
    return start_tag_from(s, lt, stop, hash);
}

// True when [name, name + len) is the open element's name as its start tag
// wrote it: prefix, colon and local name alike.
bool open_name_is(const dp_open& o, const char* name, size_t len) {
    size_t prefix = o.prefix_length;
    if (!prefix) return len == o.name_length && std::memcmp(name, o.name, len) == 0;
    return len == prefix + 1 + o.name_length && name[prefix] == ':' &&
           std::memcmp(name, o.name - 1 - prefix, prefix) == 0 && std::memcmp(name + prefix + 1, o.name, o.name_length) == 0;
}

void close_open(dp_state* s, uint32_t end_offset) {
    dp_open& top = s->stack[s->depth - 1];
    *top.pos_end = end_offset;
    s->depth--;
}


// At the '<' of "</".
bool end_tag(dp_state* s, char* lt) {
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
    p = skip_space(p);
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
        emit(s, 10, "Stray close tag </%.*s> dropped", n, name);
        return true;
    }
    while (s->depth > found + 1) {
        emit(s, 11, "Element %s closed implicitly by </%.*s>", s->stack[s->depth - 1].name, n, name);
        close_open(s, end_offset);
    }
    close_open(s, end_offset);
    return true;
}

// ---- Markup ------------------------------------------------------------------------------
// Comments, CDATA sections, processing instructions and declarations are
// read in document_markup.cpp; the dispatch stays here, beside the loop.

// At a '<' of markup; overwrites it with NUL (ending any text view before
// it) and dispatches on the next byte.
inline bool markup(dp_state* s, char* lt) {
    if (lt + 1 >= s->end) DP_FAIL(s, lt);
    *lt = '\0';
    unsigned char next = static_cast<unsigned char>(lt[1]);
    if (dp_is_name_start(next)) return start_tag(s, lt);
    switch (next) {
        case '/': return end_tag(s, lt);  // '/' an end tag
        case '!':                          // '!' a comment, CDATA or a declaration
            if (lt[2] == '-' && lt[3] == '-') return dp_comment(s, lt);
            if (std::memcmp(lt + 2, "[CDATA[", 7) == 0) return dp_cdata(s, lt);
            return dp_declaration(s, lt);
        case '?': return dp_processing_instruction(s, lt);  // '?' a PI or the XML declaration
        default: DP_FAIL(s, lt);
    }
}

// fast_run's one call into the general steps (one call site keeps its
// registers): at a start tag whose name it read up to s->name_stop, or at
// any other markup.
__attribute__((noinline)) bool hot_handover(dp_state* s, char* lt) {
    if (char* stop = s->name_stop) {
        s->name_stop = nullptr;
        *lt = '\0';
        return start_tag_from(s, lt, stop, s->name_stop_hash);
    }
    return markup(s, lt);
}

// ---- Main loop -------------------------------------------------------------------------------

// One step of the general loop: top-level content, a text run or one
// markup construct from s->cur.
bool general_step(dp_state* s) {
    char* end = s->end;
    char* p = s->cur;
    if (s->depth == 0) {
        char* q = skip_space(p);
        if (q < end && *q != '<') {
            unsigned seen = 0;
            DP_FAIL(s, scan_text(q, end, &seen));
        }
        if (q > p) DP_TRY(top_whitespace(s, p, q));
        p = q;
    } else if (*p != '<') {
        char* q = p;
        if (s->drop_ws && dp_is_space(static_cast<unsigned char>(*p))) q = skip_space(p);
        if (q < end && *q == '<') {
            p = q;  // whitespace dropped
        } else if (q >= end) {
            p = end;
        } else {
            DP_TRY(text_run(s));
            p = s->cur;
        }
    }
    s->cur = p;
    if (p >= end) return true;
    return markup(s, p);
}

// The hot loop, for the content of elements: with the cursor, depth and
// area pointers in locals it builds the commonest constructs itself (start
// tags without prefix or attributes, end tags that name the open element as
// written, text runs without '&' or CR), each exactly as the general steps
// would, and hands everything else (and any case where a bound or a slot
// runs out) to those steps with the state written back, reading it again
// after. Record: elements get position records. Runs only with positions
// on, and never in recover or drop-whitespace mode. Returns at depth 0 or
// the end of the input; false when the parse failed.
template <bool Record, bool Near>
bool fast_run(dp_state* s) {
    // Few values live across the loop, so that they stay in registers: the
    // open-element stack as a pointer to its top, and one budget for the
    // element and position-record slots still free.
    char* p;
    char* const end = s->end;
    char* const start = s->start;
    dp_open* base;
    dp_open* top;
    dp_open* last_slot;  // the highest top a push may start from
    quorvel_element* elem_next;
    size_t budget;
    quorvel_text* text_next;
    quorvel_text* const text_end = s->text_end;
    quorvel_document* const d = s->doc;
    quorvel_elem_pos* pos_records;
    quorvel_elem_pos* pos_next;
    auto write_back = [&] {
        s->cur = p;
        s->depth = static_cast<size_t>(top + 1 - base);
        s->elem_next = elem_next;
        s->text_next = text_next;
        if (Record) d->pos_count = static_cast<size_t>(pos_next - pos_records);
    };
    auto read_again = [&] {
        p = s->cur;
        base = s->stack;
        top = base + s->depth - 1;
        size_t push_limit = s->stack_capacity < s->max_depth ? s->stack_capacity : s->max_depth;
        last_slot = base + push_limit - 2;
        elem_next = s->elem_next;
        text_next = s->text_next;
        budget = static_cast<size_t>(s->elem_end - elem_next);
        if (Record) {
            pos_records = d->pos_records;
            pos_next = pos_records + d->pos_count;
            size_t room = d->pos_capacity - d->pos_count;
            if (room < budget) budget = room;
        }
    };
    // Near: every record this loop links lies in the arena, under 2 GiB.
    auto put = [&](const void* holder, int32_t* field, const void* target) {
        return quorvel_build_link<Near>(d, holder, field, target);
    };
    auto append = [&](quorvel_node* child, int32_t* parent_field, int32_t* sibling_field) {
        return quorvel_build_append<Near>(d, top, child, parent_field, sibling_field);
    };
    read_again();
    // The working copy ends in NUL padding: at the end *p is no '<', and
    // p[1] is always readable.
    while (top >= base) {
        if (*p != '<') {
            if (p >= end) break;
            unsigned seen = 0;
            char* q = scan_text(p, end, &seen);
            size_t len = static_cast<size_t>(q - p);  // below 2 GiB: positions are on
            if (!(seen & 3) && text_next < text_end) [[likely]] {
                // A plain run: a view.
                quorvel_text* t = text_next++;
                t->head = quorvel_node{QUORVEL_NODE_TEXT, kTextCounted, static_cast<uint32_t>(p - start + 1)};
                t->length = static_cast<uint32_t>(len);
                t->next_sibling = t->parent = t->owner = 0;
                if (!(Near ? put(t, &t->content, p) : quorvel_text_link_set_inline(t, &t->content, p, d)) ||
                    !append(&t->head, &t->parent, &t->next_sibling)) {
                    write_back();
                    s->fail_at = p;
                    return false;
                }
                p = q;
                continue;
            }
            write_back();
            bool ok;
            if (seen & 3) {
                // As text_run goes on once it has scanned the run.
                s->cur = q;
                ok = s->keep_refs && (seen & 1) ? split_references(s, p, q)
                                                : make_text(s, p, q, seen & 1, seen & 2, position_of(s, p), true);
            } else {
                ok = text_run(s);
            }
            if (!ok) return false;
            read_again();
            if (Near && s->far) break;
            continue;
        }
        unsigned char next = static_cast<unsigned char>(p[1]);
        if (next == '/') {
            // An end tag naming the open element exactly as written.
            char* q = p + 2;
            uint64_t word;
            std::memcpy(&word, q, 8);  // inside the padding: q is at most the end
            size_t taken = 0;  // bytes of the name and its '>' when the tag matches
            if (uint64_t mask = top->written_mask) {
                // A '>' is never in the padding: the word keeps the tag inside the input.
                if ((word & mask) == top->written) taken = static_cast<size_t>(64 - __builtin_clzll(mask)) >> 3;
            } else {
                size_t prefix = top->prefix_length;
                size_t full = prefix ? prefix + 1 + top->name_length : top->name_length;
                if (prefix != kNoFastClose && full < static_cast<size_t>(end - q) && q[full] == '>' &&
                    names_equal(q + (prefix ? prefix + 1 : 0), top->name, top->name_length) &&
                    (!prefix || (q[prefix] == ':' && names_equal(q, top->name - 1 - prefix, prefix))))
                    taken = full + 1;
            }
            if (taken) {
                *p = '\0';
                q += taken;
                *top->pos_end = static_cast<uint32_t>(q - start);
                top--;
                p = q;
                continue;
            }
        } else if (dp_is_name_start(next)) {
            // A start tag without prefix or attributes; others take the
            // general step, which keeps this loop's registers for the
            // common case.
            char* name = p + 1;
            char* q = name;
            uint32_t hash = 0x811C;
            unsigned char c;
            while (dp_is_name_char(c = static_cast<unsigned char>(*q))) {
                if (c == ':') break;
                hash = (hash ^ c) * 403u;
                q++;
            }
            bool empty = c == '/';
            bool plain = c == '>' || (empty && q[1] == '>');
            if (plain && budget && (empty || top <= last_slot)) {
                uint64_t written;
                std::memcpy(&written, name, 8);  // before the NULs below go in: no stalled load
                quorvel_element* e = elem_next++;
                budget--;
                size_t len = static_cast<size_t>(q - name);
                // The record in five stores: kind and flags; source position,
                // zero element flags and the name hash; zero attribute count,
                // the name length, zero child count and extension; the links.
                constexpr uint64_t kind_flags = uint64_t(QUORVEL_NODE_ELEMENT) | uint64_t(kNodeFrozen) << 32;
                uint64_t pos_hash = static_cast<uint64_t>(p - start + 1) | uint64_t(hash & 0xFFFFu) << 48;
                uint64_t length_word = uint64_t(len < 255 ? len : 255) << 8;
                std::memcpy(reinterpret_cast<char*>(e), &kind_flags, 8);
                std::memcpy(reinterpret_cast<char*>(e) + 8, &pos_hash, 8);
                std::memcpy(reinterpret_cast<char*>(e) + 16, &length_word, 8);
                std::memset(reinterpret_cast<char*>(e) + 24, 0, 20);
                *p = '\0';
                char* after = q + (empty ? 2 : 1);
                *q = '\0';
                if (!put(e, &e->name, name) || !append(&e->head, &e->parent, &e->next_sibling)) {
                    write_back();
                    s->fail_at = after;
                    return false;
                }
                uint32_t* pos_end = &s->pos_sink;
                if (Record) {
                    uint32_t o = static_cast<uint32_t>(after - start);
                    pos_end = &pos_next->end;
                    *pos_next++ = quorvel_elem_pos{e, o, o};
                }
                if (top->element->child_count < kChildCountCap) top->element->child_count++;
                p = after;
                if (!empty) {
                    // The tag's own bytes hold the name and its '>' as the end tag writes them.
                    uint64_t mask = len < 8 ? kByteMasks[len + 1] : 0;
                    *++top = dp_open{{e, e, &e->first_child}, name, pos_end, len, 0, written & mask, mask};
                }
                continue;
            }
            // Attributes or a prefix: start_tag_from goes on from here.
            s->name_stop = q;
            s->name_stop_hash = hash;
        }
        // Any other markup: the general step.
        write_back();
        if (!hot_handover(s, p)) return false;
        read_again();
        if (Near && s->far) break;
    }
    write_back();
    return true;
}

bool parse_content(dp_state* s) {
    char* const end = s->end;
    const bool fast = s->positions && !s->drop_ws && !s->recover;
    while (s->cur < end) {
        if (fast && s->depth > 0) {
            bool near = s->arena_span && !s->far;
            bool ok = s->record_positions ? (near ? fast_run<true, true>(s) : fast_run<true, false>(s))
                                          : (near ? fast_run<false, true>(s) : fast_run<false, false>(s));
            if (!ok) return false;
            if (s->cur >= end) break;
        }
        DP_TRY(general_step(s));
    }
    return true;
}

bool finish(dp_state* s) {
    if (s->depth > 0) {
        if (!s->recover) DP_FAIL(s, s->end);
        while (s->depth > 0) {
            emit(s, 11, "Element %s still open at end of document", s->stack[s->depth - 1].name);
            close_open(s, offset_of(s, s->end));
        }
    }
    if (!s->root) DP_FAIL(s, s->end);
    quorvel_document* doc = s->doc;
    doc->root = s->root;
    quorvel_root_doc_register(s->root, doc);
    if (!s->root_linked) {
        if (!top_link(s, &s->root->head)) DP_FAIL(s, s->end);
        s->root_linked = 1;
    }
    // Trailing top-level text goes: the list ends with its last other node.
    quorvel_node* keep = nullptr;
    for (quorvel_node* n = s->top.first; n; n = quorvel_node_next_raw(n))
        if (n->kind != QUORVEL_NODE_TEXT) keep = n;
    if (keep && keep != s->top.last) {
        quorvel_link_clear(quorvel_node_sibling_field(keep));
        s->top.last = keep;
    }
    doc->first_top = s->top.first;
    doc->last_top = s->top.last;
    doc->namespaces_in_use = s->namespaces_in_use;
    doc->dtd = s->dtd;
    s->dtd = nullptr;
    return true;
}

}  // namespace

namespace quorvel_dp {

bool parse_document(dp_state* s) { return parse_content(s) && finish(s); }

}  // namespace quorvel_dp

namespace quorvel_dp {

void* dp_take_markup(dp_state* s) { return take_markup(s); }
bool dp_place_leaf(dp_state* s, quorvel_node* node) { return place_leaf(s, node); }
void dp_emit_dropped(dp_state* s, const char* what) { emit(s, 10, "%s dropped", what); }

}  // namespace quorvel_dp
