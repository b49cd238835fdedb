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

void dp_emit(dp_state* s, int code, const char* format, ...) {
    char message[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    quorvel_document* d = s->doc;
    quorvel_diag_emit(&d->diags, &d->diag_count, &d->diag_capacity, code, nullptr, "%s", message);
}

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

quorvel_text* take_text(dp_state* s) { return take_chunked(s, s->text_next, s->text_end, sizeof(quorvel_text)); }

void* take_markup(dp_state* s) {
    void* slot = take_chunked(s, s->markup_next, s->markup_end, kMarkupSlot);
    if (slot) std::memset(slot, 0, kMarkupSlot);
    return slot;
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

// ---- Text --------------------------------------------------------------------------------

// A text node for [a, b) of the working copy. The byte at b is a '<' about
// to be overwritten with NUL, a '&' already overwritten, or the NUL at the
// end of the input, so every view ends in a NUL.
bool make_text(dp_state* s, char* a, char* b, bool amp, bool cr, uint32_t position, bool with_dtd) {
    const char* content = a;
    size_t len = static_cast<size_t>(b - a);
    if (amp && with_dtd && s->dtd) {
        size_t quick_length = 0;
        // Back into the run when it fits, else into the pool. A run without
        // CR goes to quick_expand first: it declines any character reference
        // it does not decode, so a run it expands holds no malformed one and
        // needs no separate pass to look for them.
        char* quick = cr ? nullptr : quick_expand(s, a, len, true, a, len, true, &quick_length);
        if (!quick) {
            if (char* bad = dp_first_bad_char_ref(a, b)) return dp_refuse_char_ref(s, bad);
            if (cr) {
                len = dp_normalise_lines(a, len);
                quick = quick_expand(s, a, len, true, a, len, true, &quick_length);
            }
        }
        quorvel_string_view view{a, len};
        if (quick) {
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
            dp_emit(s, 9, "Unescaped < not allowed in a text node");
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

// ---- Markup ------------------------------------------------------------------------------
// Comments, CDATA sections, processing instructions and declarations are
// read in document_markup.cpp; the dispatch stays here, beside the loop.

// At a '<' of markup; overwrites it with NUL (ending any text view before
// it) and dispatches on the next byte.
inline bool markup(dp_state* s, char* lt) {
    if (lt + 1 >= s->end) DP_FAIL(s, lt);
    *lt = '\0';
    unsigned char next = static_cast<unsigned char>(lt[1]);
    if (dp_is_name_start(next)) return dp_start_tag(s, lt);
    switch (next) {
        case '/': return dp_end_tag(s, lt);  // '/' an end tag
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
        return dp_start_tag_from(s, lt, stop, s->name_stop_hash);
    }
    return markup(s, lt);
}

// ---- Start tags with a few plain attributes --------------------------------------------------

constexpr size_t kHotAttributes = 4;

// A start tag's attributes as the hot loop takes them: names without a
// colon other than "xmlns", "=" and the quote with no space around them,
// values without '&', TAB, LF, CR or any other byte the scan flags, no name
// repeated. Nothing is written while reading.
struct hot_attributes {
    char* name[kHotAttributes];
    char* value[kHotAttributes];
    uint32_t name_length[kHotAttributes];
    uint32_t value_length[kHotAttributes];
    size_t count;
    char* after;  // past the '>' or "/>"
    bool empty;
};

// Reads the attributes from p (the byte after the element name, a space);
// false for anything else, which the general step then reads from the start.
inline bool read_hot_attributes(char* p, char* end, bool check, hot_attributes* h) {
    size_t n = 0;
    // One bit per class of name (length, first and last byte): names are
    // compared only within a class.
    uint64_t filter[4] = {0, 0, 0, 0};
    for (;;) {
        p = dp_skip_space(p);
        unsigned char c = static_cast<unsigned char>(*p);
        if (!dp_is_name_start(c)) break;
        if (n == kHotAttributes) return false;
        char* an = p;
        while (dp_is_name_char(c = static_cast<unsigned char>(*p)) && c != ':') p++;
        size_t alen = static_cast<size_t>(p - an);
        if (*p != '=' || (p[1] != '"' && p[1] != '\'')) return false;
        if (alen == 5 && std::memcmp(an, "xmlns", 5) == 0) return false;
        char* v = p + 2;
        unsigned seen = 0;
        char* close = const_cast<char*>(dp_scan_value<dp_reach::padded>(v, end, p[1], &seen));
        if (close >= end || seen) return false;
        if (check) {
            unsigned key = static_cast<unsigned>(alen * 131 + static_cast<unsigned char>(an[0]) * 31 +
                                                 static_cast<unsigned char>(an[alen - 1])) & 255u;
            uint64_t bit = uint64_t(1) << (key & 63);
            if (filter[key >> 6] & bit)
                for (size_t i = 0; i < n; i++)
                    if (h->name_length[i] == alen && std::memcmp(h->name[i], an, alen) == 0) return false;
            filter[key >> 6] |= bit;
        }
        h->name[n] = an;
        h->name_length[n] = static_cast<uint32_t>(alen);
        h->value[n] = v;
        h->value_length[n] = static_cast<uint32_t>(close - v);
        n++;
        p = close + 1;
    }
    if (*p == '>') {
        h->empty = false;
        h->after = p + 1;
    } else if (*p == '/' && p[1] == '>') {
        h->empty = true;
        h->after = p + 2;
    } else {
        return false;
    }
    h->count = n;
    return n != 0;
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
    quorvel_text* text_end;  // texts move on to pool chunks once their area is full
    quorvel_document* const d = s->doc;
    // The span of the element at elem_next (Record: every area slot has one).
    quorvel_elem_span* pos_next = nullptr;
    auto write_back = [&] {
        s->cur = p;
        s->depth = static_cast<size_t>(top + 1 - base);
        s->elem_next = elem_next;
        s->text_next = text_next;
    };
    auto read_again = [&] {
        p = s->cur;
        base = s->stack;
        top = base + s->depth - 1;
        size_t push_limit = s->stack_capacity < s->max_depth ? s->stack_capacity : s->max_depth;
        last_slot = base + push_limit - 2;
        elem_next = s->elem_next;
        text_next = s->text_next;
        text_end = s->text_end;
        budget = static_cast<size_t>(s->elem_end - elem_next);
        if (Record) pos_next = d->pos_spans + (elem_next - s->elem_area);
    };
    // Near: every record this loop links lies in the arena, under 2 GiB.
    auto put = [&](const void* holder, int32_t* field, const void* target) {
        return quorvel_build_link<Near>(d, holder, field, target);
    };
    auto append = [&](quorvel_node* child, int32_t* parent_field, int32_t* sibling_field) {
        return quorvel_build_append<Near>(d, top, child, parent_field, sibling_field);
    };
    read_again();
    const bool raw_in_source = s->raw_in_source;
    const bool check_duplicates = !(s->flags & 0x08);
    // Where most tags have more or less plain attributes than the hot path
    // takes, reading them twice costs more than it saves: each miss spends
    // a credit, each hit earns one, and without credit only one tag in 256
    // is tried.
    unsigned hot_credit = 16;
    unsigned hot_probe = 0;
    auto hot_taken = [&](bool taken) {
        if (taken)
            hot_credit += hot_credit < 64;
        else
            hot_credit -= hot_credit > 0;
        return taken;
    };
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
            hot_attributes h;
            if ((c == ' ' || c == '\n') && raw_in_source && budget && (hot_credit || (++hot_probe & 255) == 0) &&
                static_cast<size_t>(s->attr_end - s->attr_next) >= kHotAttributes &&
                hot_taken(read_hot_attributes(q, end, check_duplicates, &h)) && (h.empty || top <= last_slot)) {
                // The same records as the general step: attributes from the
                // area, linked in order, the tag read again from the input
                // when its raw attributes are asked for.
                uint64_t word;
                std::memcpy(&word, name, 8);  // before the NULs below go in
                quorvel_element* e = elem_next++;
                budget--;
                size_t len = static_cast<size_t>(q - name);
                size_t kept = h.count;
                constexpr uint64_t kind_flags = uint64_t(QUORVEL_NODE_ELEMENT) | uint64_t(kNodeFrozen) << 32;
                uint64_t pos_hash = static_cast<uint64_t>(p - start + 1) | uint64_t(kElemRawInSource) << 32 |
                                    uint64_t(hash & 0xFFFFu) << 48;
                uint64_t length_word = uint64_t(kept) | uint64_t(len < 255 ? len : 255) << 8;
                std::memcpy(reinterpret_cast<char*>(e), &kind_flags, 8);
                std::memcpy(reinterpret_cast<char*>(e) + 8, &pos_hash, 8);
                std::memcpy(reinterpret_cast<char*>(e) + 16, &length_word, 8);
                std::memset(reinterpret_cast<char*>(e) + 24, 0, 20);
                *p = '\0';
                *q = '\0';
                char* after = h.after;
                quorvel_attribute* a = s->attr_next;
                s->attr_next = a + kept;
                bool ok = put(e, &e->name, name) && put(e, &e->first_attr, a);
                for (size_t i = 0; i < kept; i++) {
                    h.name[i][h.name_length[i]] = '\0';
                    h.value[i][h.value_length[i]] = '\0';
                    a[i].name = h.name[i];
                    a[i].name_length = h.name_length[i];
                    a[i].value = h.value[i];
                    a[i].value_length = h.value_length[i];
                    a[i].ns = 0;
                    a[i].next = 0;
                    a[i].hash = 0;
                    if (i) ok = ok && quorvel_link16_set_inline(&a[i - 1], &a[i - 1].next, &a[i], d);
                }
                if (!ok || !append(&e->head, &e->parent, &e->next_sibling)) {
                    write_back();
                    s->fail_at = after;
                    return false;
                }
                uint32_t* pos_end = &s->pos_sink;
                if (Record) {
                    uint32_t o = static_cast<uint32_t>(after - start);
                    pos_end = &pos_next->end;
                    *pos_next++ = quorvel_elem_span{o, o};
                }
                if (top->element->child_count < kChildCountCap) top->element->child_count++;
                p = after;
                if (!h.empty) {
                    close_word w = close_word_of(word, len);
                    *++top = dp_open{{e, e, &e->first_child}, name, pos_end, len, 0, w.word, w.mask};
                }
                continue;
            }
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
                    *pos_next++ = quorvel_elem_span{o, o};
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
            dp_emit(s, 11, "Element %s still open at end of document", s->stack[s->depth - 1].name);
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
void dp_emit_dropped(dp_state* s, const char* what) { dp_emit(s, 10, "%s dropped", what); }

}  // namespace quorvel_dp
