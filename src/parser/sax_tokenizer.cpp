// The SAX parser's reading rules: the feed driver's loop over the buffered
// input, one handler per construct (start tag, end tag, character data,
// comment, CDATA, processing instruction, declarations), reference decoding,
// the scratch stack and line counting. A handler either consumes its whole
// construct and reports it, leaves it unconsumed to wait for more input
// (remembering how far it searched, so waiting costs no rescans), or reports
// a fatal error. Called by the feed in sax_parser.cpp.

#include <climits>
#include <cstdio>
#include <cstring>

#include "dom/dom.h"
#include "dtd/dtd.h"
#include "parser/parser.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

enum class step : uint8_t { done, wait, fail };

// Page size of the pool an internal subset is read into.
constexpr size_t kSubsetPoolPage = 32768;

constexpr uint8_t kSeenAmp = kScanAmp;      // '&'
constexpr uint8_t kSeenBreak = kScanBreak;  // CR in text; TAB, LF or CR in a value
constexpr uint8_t kSeenCheck = kScanCheck;  // a NUL or a byte from 0x80: the run must be validated
constexpr uint8_t kSeenDecode = kSeenAmp | kSeenBreak;

inline bool is_space(unsigned char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// ---- Scanners --------------------------------------------------------------------------------
// None reads outside [p, end).

// The shared scanners, reading nothing past end (a feed's buffer has no
// padding), noting NUL and bytes from 0x80 for the character check.
inline const char* scan_text(const char* p, const char* end, uint8_t* seen) {
    unsigned bits = 0;
    const char* q = dp_scan_text<dp_reach::bounded, true>(p, end, &bits);
    *seen |= static_cast<uint8_t>(bits);
    return q;
}
inline const char* scan_value(const char* p, const char* end, char quote, uint8_t* seen) {
    unsigned bits = 0;
    const char* q = dp_scan_value<dp_reach::bounded, true>(p, end, quote, &bits);
    *seen |= static_cast<uint8_t>(bits);
    return q;
}

// The end of the name at p; notes a byte from 0x80 (to be validated).
inline const char* scan_name(const char* p, const char* end, uint8_t* seen) {
    unsigned char acc = 0;
    while (p < end && dp_is_name_char(static_cast<unsigned char>(*p))) acc |= static_cast<unsigned char>(*p++);
    if (acc & 0x80) *seen |= kSeenCheck;
    return p;
}

// ---- Character checks ----------------------------------------------------------------------------
// NUL is never a character of a document, and text must be well-formed
// UTF-8: no overlong form, no encoded surrogate, nothing above U+10FFFF,
// no sequence cut short. Only runs the scanners flagged are looked at.

enum class char_fault : uint8_t { none, nul, utf8 };

// Length of the well-formed sequence at s (s < end, *s >= 0x80), or 0.
inline size_t utf8_sequence(const unsigned char* s, const unsigned char* end) {
    unsigned char c = s[0];
    size_t have = static_cast<size_t>(end - s);
    auto cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) return have >= 2 && cont(s[1]) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (have < 3 || !cont(s[2])) return 0;
        unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        return s[1] >= lo && s[1] <= hi ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (have < 4 || !cont(s[2]) || !cont(s[3])) return 0;
        unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return s[1] >= lo && s[1] <= hi ? 4 : 0;
    }
    return 0;
}

// The first NUL or ill-formed sequence in [s, end), or end.
const char* find_char_fault(const char* s, const char* end, char_fault* fault) {
    auto* p = reinterpret_cast<const unsigned char*>(s);
    auto* e = reinterpret_cast<const unsigned char*>(end);
    while (p < e) {
        unsigned char c = *p;
        if (c == 0) {
            *fault = char_fault::nul;
            return reinterpret_cast<const char*>(p);
        }
        if (c < 0x80) {
            p++;
            continue;
        }
        size_t n = utf8_sequence(p, e);
        if (!n) {
            *fault = char_fault::utf8;
            return reinterpret_cast<const char*>(p);
        }
        p += n;
    }
    *fault = char_fault::none;
    return end;
}

// Bytes at the end of [s, end) that begin a sequence still missing bytes
// (a chunk boundary fell inside it): 0 to 3.
size_t cut_sequence_tail(const char* s, const char* end) {
    auto* e = reinterpret_cast<const unsigned char*>(end);
    auto* b = reinterpret_cast<const unsigned char*>(s);
    for (size_t back = 1; back <= 3 && e - back >= b; back++) {
        unsigned char c = *(e - back);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? back : 0;
    }
    return 0;
}

inline const char* skip_space(const char* p, const char* end) {
    while (p < end && is_space(static_cast<unsigned char>(*p))) p++;
    return p;
}

// ---- Reference decoding ------------------------------------------------------------------------
// Text and values are decoded reference by reference: a reference that
// cannot be decoded (malformed, undeclared) is kept as written and the rest
// still decodes, so the result never depends on where a chunk boundary fell.
// Line ends are normalised on the way: CR LF and a lone CR become LF in
// text, and TAB, LF, CR (CR LF as one) become a space in attribute values.
// The output is never longer than the input, so out may equal s.

// At '&' (s < end): writes the decoded reference to out and answers the
// bytes consumed, or 0 when it is kept as written.
size_t decode_reference(const char* s, const char* end, char* out, size_t* written, bool strict) {
    size_t used = 0;
    switch (dp_read_reference(s, end, out, written, &used)) {
        case dp_reference::decoded: return used;
        // Only at the true end of a run: chunked runs never end in a reference.
        case dp_reference::cut_off: return strict ? 0 : used;
        case dp_reference::malformed:
        case dp_reference::other: return 0;
    }
    return 0;
}

size_t decode_run(const char* s, size_t n, char* out, bool attribute, bool strict) {
    const char* end = s + n;
    size_t o = 0;
    while (s < end) {
        char c = *s;
        if (c == '&') {
            size_t written = 0;
            if (size_t used = decode_reference(s, end, out + o, &written, strict)) {
                s += used;
                o += written;
                continue;
            }
            out[o++] = '&';
            s++;
        } else if (c == '\r') {
            out[o++] = attribute ? ' ' : '\n';
            s++;
            if (s < end && *s == '\n') s++;
        } else if (attribute && (c == '\t' || c == '\n')) {
            out[o++] = ' ';
            s++;
        } else {
            out[o++] = c;
            s++;
        }
    }
    return o;
}

// ---- Line counting ----------------------------------------------------------------------------

void advance_count(quorvel_sax_parser* p, size_t offset) {
    if (offset <= p->counted) return;
    if (p->skip_flags & 0x10) {
        p->counted = offset;
        return;
    }
    const char* from = p->input + p->counted;
    size_t n = offset - p->counted;
    size_t lines = g_count_fn(from, n, '\n');
    if (lines) {
        const char* last = static_cast<const char*>(memrchr(from, '\n', n));
        p->line += static_cast<int64_t>(lines);
        p->column = static_cast<int64_t>(p->input + offset - last);
    } else {
        p->column += static_cast<int64_t>(n);
    }
    p->counted = offset;
}

// Input about to be rewritten in place is counted first. Only one-shot
// input is ever rewritten; a feed's window is counted when the feed ends.
inline void count_before_rewrite(quorvel_sax_parser* p, const char* at) {
    if (p->one_shot) advance_count(p, static_cast<size_t>(at - p->input));
}

void position_of(quorvel_sax_parser* p, const char* at, int* line, int* column) {
    if ((p->skip_flags & 0x10) || !at) {
        *line = 1;
        *column = 1;
        return;
    }
    advance_count(p, static_cast<size_t>(at - p->input));
    // Reports carry int positions: past INT_MAX they stay at INT_MAX.
    *line = p->line < INT_MAX ? static_cast<int>(p->line) : INT_MAX;
    *column = p->column < INT_MAX ? static_cast<int>(p->column) : INT_MAX;
}

// ---- Reports ----------------------------------------------------------------------------------

step fail_with(quorvel_sax_parser* p, const char* at, const char* message, int32_t result) {
    int line, column;
    position_of(p, at, &line, &column);
    p->error_flag = 1;
    p->state = kSaxFailed;
    if (p->result == 0 || result == -1) p->result = result;
    if (p->handler->error) p->handler->error(p->user, message, line, column);
    return step::fail;
}

inline step fail(quorvel_sax_parser* p, const char* at, const char* message) { return fail_with(p, at, message, -2); }
inline step fail_memory(quorvel_sax_parser* p, const char* at) { return fail_with(p, at, "out of memory", -1); }

// Fails at the first NUL or ill-formed sequence of [a, b); done when there is none.
step check_chars(quorvel_sax_parser* p, const char* a, const char* b) {
    char_fault fault;
    const char* at = find_char_fault(a, b, &fault);
    if (fault == char_fault::none) return step::done;
    return fail(p, at, fault == char_fault::nul ? "NUL character" : "invalid UTF-8");
}

inline step wait_for(quorvel_sax_parser* p, sax_wait kind, const char* from, const char* reached) {
    p->wait = kind;
    p->wait_offset = static_cast<size_t>(reached - from);
    p->wait_quote = 0;
    return step::wait;
}

// ---- Scratch stack ------------------------------------------------------------------------------

inline sax_mark scratch_mark(const quorvel_sax_parser* p) {
    return sax_mark{p->scratch_current, p->scratch_current ? p->scratch_current->used : 0};
}

inline void scratch_release(quorvel_sax_parser* p, sax_mark mark) {
    p->scratch_current = mark.block;
    if (mark.block) mark.block->used = mark.used;
}


void* scratch_alloc_slow(quorvel_sax_parser* p, size_t n);

// 8-aligned room for n bytes; NULL when memory runs out.
inline void* scratch_alloc(quorvel_sax_parser* p, size_t n) {
    n = (n + 7) & ~size_t(7);
    sax_block* b = p->scratch_current;
    if (b && b->capacity - b->used >= n) [[likely]] {
        void* at = reinterpret_cast<char*>(b + 1) + b->used;
        b->used += n;
        return at;
    }
    return scratch_alloc_slow(p, n);
}

// A further block: the next one that fits, or a new one.
void* scratch_alloc_slow(quorvel_sax_parser* p, size_t n) {
    sax_block* b = p->scratch_current;
    // The blocks after the current one hold nothing live. One too small for
    // this request is dropped, so the chain never collects blocks that can
    // no longer serve; every such block is, not only the first.
    sax_block** link = b ? &b->next : &p->scratch_head;
    sax_block* next = *link;
    while (next && next->capacity < n) {
        *link = next->next;
        quorvel_work_free(next);
        next = *link;
    }
    if (!next) {
        size_t capacity = b ? b->capacity * 2 : 256;
        while (capacity < n) {
            if (capacity > (SIZE_MAX - sizeof(sax_block)) / 2) return nullptr;
            capacity *= 2;
        }
        next = static_cast<sax_block*>(quorvel_work_alloc(sizeof(sax_block) + capacity));
        if (!next) return nullptr;
        next->capacity = capacity;
        next->next = b ? b->next : p->scratch_head;
        if (b)
            b->next = next;
        else
            p->scratch_head = next;
    }
    next->used = n;
    p->scratch_current = next;
    return next + 1;
}

bool text_reserve(quorvel_sax_parser* p, size_t n) {
    if (n <= p->text_capacity) return true;
    // The old contents are not kept: every use rewrites the buffer.
    size_t capacity = p->text_capacity ? p->text_capacity : 256;
    while (capacity < n) {
        if (capacity > SIZE_MAX / 2) return false;
        capacity *= 2;
    }
    char* fresh = static_cast<char*>(quorvel_work_realloc(p->text, 0, capacity));
    if (!fresh) return false;
    p->text = fresh;
    p->text_capacity = capacity;
    return true;
}

// ---- Character data ---------------------------------------------------------------------------

// Where text [a, b) must stop so that no reference is cut: the first '&'
// after the last ';' (it has no ';' after it), or b.
const char* before_open_reference(const char* a, const char* b) {
    auto* semi = static_cast<const char*>(memrchr(a, ';', static_cast<size_t>(b - a)));
    const char* from = semi ? semi + 1 : a;
    auto* amp = static_cast<const char*>(std::memchr(from, '&', static_cast<size_t>(b - from)));
    return amp ? amp : b;
}

// Reports [a, b) of content: in place when nothing needs decoding.
step report_text(quorvel_sax_parser* p, const char* a, const char* b, uint8_t seen) {
    size_t n = static_cast<size_t>(b - a);
    if (n == 0) return step::done;
    if (seen & kSeenCheck) [[unlikely]] {
        char_fault fault;
        const char* at = find_char_fault(a, b, &fault);
        if (fault != char_fault::none) {
            // The text before the fault is reported first, cut where a
            // streaming parse would cut it (before an '&' whose ';' is not
            // there yet), so every chunking gives the same events.
            const char* cut = before_open_reference(a, at);
            if (report_text(p, a, cut, static_cast<uint8_t>(seen & ~kSeenCheck)) == step::fail) return step::fail;
            return fail(p, at, fault == char_fault::nul ? "NUL character" : "invalid UTF-8");
        }
    }
    if (seen & kSeenDecode) {
        if (const char* bad = dp_first_bad_char_ref(a, b)) [[unlikely]] {
            if (report_text(p, a, before_open_reference(a, bad), static_cast<uint8_t>(seen & ~kSeenCheck)) ==
                step::fail)
                return step::fail;
            return fail(p, bad, "malformed character reference");
        }
    }
    if (!p->handler->characters) return step::done;
    if (!(seen & kSeenDecode)) {
        p->handler->characters(p->user, a, n);
        return step::done;
    }
    if (!text_reserve(p, n + 1)) return fail_memory(p, a);
    size_t decoded = decode_run(a, n, p->text, false, g_quorvel_strict_mode != 0);
    p->text[decoded] = '\0';
    p->handler->characters(p->user, p->text, decoded);
    return step::done;
}

// Character data from cur. Reports what is complete; a run that reaches the
// end of a non-final feed keeps back an unfinished reference or a trailing
// CR (whose LF may follow) and waits.
step text(quorvel_sax_parser* p, const char* cur, const char* end) {
    uint8_t seen = 0;
    const char* lt = scan_text(cur, end, &seen);
    if (lt < end || p->is_final) {
        step r = report_text(p, cur, lt, seen);
        p->pos = static_cast<size_t>(lt - p->input);
        return r;
    }
    const char* split = end;
    if (seen & kSeenAmp) split = before_open_reference(cur, end);
    bool held = false;  // a CR or a cut character: any further byte decides
    if (split == end && end[-1] == '\r') {
        split = end - 1;
        held = true;
    }
    if (split == end && (seen & kSeenCheck)) {
        // A character cut by the chunk boundary waits for its other bytes.
        if (size_t cut = cut_sequence_tail(cur, end)) {
            split = end - cut;
            held = true;
        }
    }
    if (report_text(p, cur, split, seen) == step::fail) return step::fail;
    p->pos = static_cast<size_t>(split - p->input);
    if (split == end) return step::done;
    return wait_for(p, held ? sax_wait::more : sax_wait::reference, split, end);
}

// ---- Start tags ------------------------------------------------------------------------------------

bool views_reserve(quorvel_sax_parser* p, size_t n) {
    return stream_reserve(p->views, p->view_capacity, n, 16);
}

inline bool same_name(const sax_attr_view& a, const sax_attr_view& b) {
    return a.name_length == b.name_length && std::memcmp(a.name, b.name, a.name_length) == 0;
}

// Seeded so that crafted names cannot be aimed at one probe chain.
inline uint64_t dup_seed() { return quorvel_hash_seed(); }

// Names are views into the input, which has no padding: the tail is read
// byte by byte.
inline uint64_t dup_hash(const char* p, size_t n, uint64_t seed) {
    uint64_t h = seed ^ (n * 0x9E3779B97F4A7C15ull);
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

// The non-fatal report of an attribute whose name repeats an earlier one.
void report_duplicate(quorvel_sax_parser* p, const sax_attr_view& v) {
    if (p->result == 0) p->result = -2;
    if (!p->handler->error) return;
    char message[192];
    int n = static_cast<int>(v.name_length > 160 ? 160 : v.name_length);
    std::snprintf(message, sizeof message, "Attribute %.*s redefined", n, v.name);
    int line, column;
    position_of(p, v.name, &line, &column);
    p->handler->error(p->user, message, line, column);
}

// Reports, in order, every attribute whose name repeats an earlier one of
// the tag. Wide tags use a hash set rebuilt per tag (slot: high hash bits
// and index + 1), so a tag costs work in proportion to its own attributes.
// False when memory for the set ran out (nothing is reported then).
bool check_duplicates(quorvel_sax_parser* p, size_t count) {
    if (count < 2) return true;
    if (count >= UINT32_MAX) return false;
    if (count <= 16) {
        for (size_t i = 1; i < count; i++)
            for (size_t j = 0; j < i; j++)
                if (same_name(p->views[i], p->views[j])) {
                    report_duplicate(p, p->views[i]);
                    break;
                }
        return true;
    }
    size_t slots = 64;
    while (slots < count * 2) slots *= 2;
    if (!stream_reserve(p->dup_slots, p->dup_capacity, slots, 64)) return false;
    std::memset(p->dup_slots, 0, slots * sizeof(uint64_t));
    const uint64_t seed = dup_seed();
    const size_t mask = slots - 1;
    for (size_t i = 0; i < count; i++) {
        const sax_attr_view& v = p->views[i];
        uint64_t h = dup_hash(v.name, v.name_length, seed);
        uint64_t tag = h & 0xFFFFFFFF00000000ull;
        for (size_t k = static_cast<size_t>(h) & mask;; k = (k + 1) & mask) {
            uint64_t at = p->dup_slots[k];
            if (at == 0) {
                p->dup_slots[k] = tag | (i + 1);
                break;
            }
            if ((at & 0xFFFFFFFF00000000ull) == tag && same_name(p->views[(at & 0xFFFFFFFFu) - 1], v)) {
                report_duplicate(p, v);  // the repeat stays out of the set
                break;
            }
        }
    }
    return true;
}

// "xmlns", or "xmlns:" and a prefix (as the document parser reads them).
inline bool is_declaration(const char* name, size_t n) {
    return n >= 5 && std::memcmp(name, "xmlns", 5) == 0 && (n == 5 || (name[5] == ':' && n > 6));
}
inline const char* declared_prefix(const char* name) { return name[5] == ':' ? name + 6 : ""; }

// A complete element or attribute name: well-formed UTF-8, and namespace
// well-formed as far as the parts go: a colon never leaves the prefix or
// the local part empty ("p:", ":a", ":").
step check_name(quorvel_sax_parser* p, const char* name, const char* name_end, uint8_t seen) {
    if (name[0] == ':') return fail(p, name, "Empty prefix in name");
    if (name_end[-1] == ':') return fail(p, name_end - 1, "Empty local part in name");
    if (seen & kSeenCheck) return check_chars(p, name, name_end);
    return step::done;
}

void start_mappings(quorvel_sax_parser* p, const sax_frame& f) {
    if (!f.declaration_count || !p->handler->start_prefix_mapping) return;
    for (uint32_t i = 0; i < f.attribute_count; i++) {
        const char* name = f.attributes[2 * i];
        if (is_declaration(name, std::strlen(name)))
            p->handler->start_prefix_mapping(p->user, declared_prefix(name), f.attributes[2 * i + 1]);
    }
}

void end_mappings(quorvel_sax_parser* p, const sax_frame& f) {
    if (!f.declaration_count || !p->handler->end_prefix_mapping) return;
    for (uint32_t i = 0; i < f.attribute_count; i++) {
        const char* name = f.attributes[2 * i];
        if (is_declaration(name, std::strlen(name))) p->handler->end_prefix_mapping(p->user, declared_prefix(name));
    }
}

// end_element, the end mappings, and the frame goes with its strings.
void close_element(quorvel_sax_parser* p) {
    sax_frame& f = p->frames[p->depth - 1];
    if (p->handler->end_element) p->handler->end_element(p->user, f.name);
    end_mappings(p, f);
    scratch_release(p, f.mark);
    f = sax_frame{};
    p->depth--;
    p->state = p->depth ? kSaxContent : kSaxTopLevel;
}

// Start tag cut by the end of the input while in its attribute list: the
// attributes read so far stay in views, and the tag goes on from `resume`
// (past the last complete one) once the rest arrives.
inline step wait_in_tag(quorvel_sax_parser* p, const char* cur, const char* reached, const char* resume,
                        const char* name_end, size_t count) {
    wait_for(p, sax_wait::start_tag, cur, reached);
    p->wait_tag = cur;
    p->wait_resume = static_cast<size_t>(resume - cur);
    p->wait_views = count;
    p->wait_name_length = static_cast<size_t>(name_end - cur - 1);
    return step::wait;
}

// Start tag at cur ('<'). Reads the whole tag into views first and touches
// nothing until it is complete. A tag cut by a chunk boundary keeps what it
// read: when it is read again (its bytes may have moved) the views are
// moved with them and reading resumes at the first attribute not complete.
step start_tag(quorvel_sax_parser* p, const char* cur, const char* end) {
    const bool final = p->is_final;
    const char* q;
    const char* name = cur + 1;
    const char* name_end;
    size_t count = 0;
    if (p->wait == sax_wait::start_tag && p->wait_resume) {
        // The checks of the name and of the attributes kept were made.
        const uintptr_t from = reinterpret_cast<uintptr_t>(p->wait_tag);
        count = p->wait_views;
        if (p->wait_tag != cur) {
            for (size_t i = 0; i < count; i++) {
                sax_attr_view& v = p->views[i];
                v.name = cur + (reinterpret_cast<uintptr_t>(v.name) - from);
                v.value = cur + (reinterpret_cast<uintptr_t>(v.value) - from);
            }
        }
        name_end = name + p->wait_name_length;
        q = cur + p->wait_resume;
    } else {
        q = name;
        p->wait_resume = 0;
        if (q >= end) return final ? fail(p, q, "Expected element name") : wait_for(p, sax_wait::more, cur, cur);
        if (!dp_is_name_start(static_cast<unsigned char>(*q))) return fail(p, q, "Expected element name");
        uint8_t name_seen = 0;
        q = scan_name(q, end, &name_seen);
        name_end = q;
        if (q >= end) return final ? fail(p, q, "Unterminated opening tag") : wait_for(p, sax_wait::start_tag, cur, q);
        if (step r = check_name(p, name, name_end, name_seen); r != step::done) return r;
        if (p->depth >= kSaxMaxDepth) return fail(p, name, "Element nesting too deep");
    }
    bool empty;
    for (;;) {
        const char* attribute_start = q;
        q = skip_space(q, end);
        if (q >= end)
            return final ? fail(p, q, "Unterminated opening tag")
                         : wait_in_tag(p, cur, q, attribute_start, name_end, count);
        char c = *q;
        if (c == '>') {
            empty = false;
            q++;
            break;
        }
        if (c == '/') {
            if (q + 1 >= end)
                return final ? fail(p, q + 1, "Unterminated opening tag")
                             : wait_in_tag(p, cur, q, attribute_start, name_end, count);
            if (q[1] != '>') return fail(p, q, "Expected attribute name");
            empty = true;
            q += 2;
            break;
        }
        if (!dp_is_name_start(static_cast<unsigned char>(c))) return fail(p, q, "Expected attribute name");
        const char* an = q;
        uint8_t an_seen = 0;
        q = scan_name(q, end, &an_seen);
        const char* an_end = q;
        if (q < end) {
            if (step r = check_name(p, an, an_end, an_seen); r != step::done) return r;
        }
        q = skip_space(q, end);
        if (q >= end)
            return final ? fail(p, q, "Expected '=' after attribute name")
                         : wait_in_tag(p, cur, q, attribute_start, name_end, count);
        if (*q != '=') return fail(p, q, "Expected '=' after attribute name");
        q = skip_space(q + 1, end);
        if (q >= end)
            return final ? fail(p, q, "Expected attribute value")
                         : wait_in_tag(p, cur, q, attribute_start, name_end, count);
        char quote = *q;
        if (quote != '"' && quote != '\'') return fail(p, q, "Expected quote for attribute value");
        const char* v = q + 1;
        uint8_t seen = 0;
        q = scan_value(v, end, quote, &seen);
        if (q >= end) {
            if (final) return fail(p, q, "Unterminated attribute value");
            wait_in_tag(p, cur, q, attribute_start, name_end, count);
            p->wait_quote = quote;
            return step::wait;
        }
        if ((seen & kSeenCheck) && check_chars(p, v, q) == step::fail) return step::fail;
        if (seen & kSeenDecode) {
            if (const char* bad = dp_first_bad_char_ref(v, q)) [[unlikely]]
                return fail(p, bad, "malformed character reference");
        }
        if (count == p->view_capacity && !views_reserve(p, count + 1)) return fail_memory(p, an);
        p->views[count++] = sax_attr_view{an, v, static_cast<size_t>(q - v), static_cast<uint32_t>(an_end - an), seen};
        q++;
    }

    // Complete: report repeated names (not fatal), then build the strings.
    if (!(p->skip_flags & 0x08)) {
        if (!check_duplicates(p, count)) return fail_memory(p, cur);
        if (p->state == kSaxFailed) return step::fail;  // a reader gave up inside the report
    }
    if (!p->root_seen) {
        p->root_seen = 1;
    } else if (p->depth == 0) {
        return fail(p, cur, "Extra content after the root element");
    }
    count_before_rewrite(p, q);

    const bool strict = g_quorvel_strict_mode != 0;
    sax_frame& f = p->frames[p->depth];
    f.mark = scratch_mark(p);
    f.name_length = static_cast<size_t>(name_end - name);
    f.attribute_count = static_cast<uint32_t>(count);
    f.declaration_count = 0;
    // One stretch of scratch for the pointer array and, when streaming, the
    // copy of the tag.
    const size_t array_size = (2 * count + 1) * sizeof(char*);
    const size_t tag_length = p->one_shot ? 0 : static_cast<size_t>(q - cur);
    auto** attrs = static_cast<const char**>(scratch_alloc(p, array_size + tag_length));
    if (!attrs) return fail_memory(p, cur);
    // The strings are terminated and decoded in place (decoding never
    // lengthens a value; every NUL lands on a '=', quote, space or '>' of
    // the tag): in one-shot input, which stays put until the parser is
    // freed, else in a copy of the whole tag in scratch, one move for all
    // of its strings.
    char* w = const_cast<char*>(cur);
    if (!p->one_shot) {
        w = reinterpret_cast<char*>(attrs) + array_size;
        std::memcpy(w, cur, tag_length);
    }
    w[name_end - cur] = '\0';
    f.name = w + (name - cur);
    for (size_t i = 0; i < count; i++) {
        sax_attr_view& a = p->views[i];
        char* value = w + (a.value - cur);
        size_t n = a.value_length;
        if (a.flags & kSeenDecode) n = decode_run(value, n, value, true, strict);
        value[n] = '\0';
        char* attribute_name = w + (a.name - cur);
        attribute_name[a.name_length] = '\0';
        attrs[2 * i] = attribute_name;
        attrs[2 * i + 1] = value;
    }
    attrs[2 * count] = nullptr;
    for (size_t i = 0; i < count; i++)
        if (is_declaration(p->views[i].name, p->views[i].name_length)) f.declaration_count++;
    f.attributes = attrs;
    p->depth++;
    p->state = kSaxContent;
    p->pos = static_cast<size_t>(q - p->input);

    start_mappings(p, f);
    if (p->handler->start_element) p->handler->start_element(p->user, f.name, f.attributes);
    if (empty) close_element(p);
    return step::done;
}

// A waiting start tag: is there a '>' outside quoted values yet? The quote
// state at the resume point was left by the tag reader, which only waits
// on a well-formed prefix, so the search agrees with it.
bool start_tag_complete(quorvel_sax_parser* p, const char* cur, const char* end) {
    const char* q = cur + p->wait_offset;
    char quote = p->wait_quote;
    while (q < end) {
        if (quote) {
            auto* close = static_cast<const char*>(std::memchr(q, quote, static_cast<size_t>(end - q)));
            if (!close) {
                q = end;
                break;
            }
            quote = 0;
            q = close + 1;
            continue;
        }
        char c = *q;
        if (c == '>') return true;
        if (c == '"' || c == '\'') quote = c;
        q++;
    }
    p->wait_offset = static_cast<size_t>(q - cur);
    p->wait_quote = quote;
    return false;
}

// ---- End tags ------------------------------------------------------------------------------------

step end_tag(quorvel_sax_parser* p, const char* cur, const char* end) {
    const bool final = p->is_final;
    const char* q = cur + 2;
    if (q >= end) return final ? fail(p, q, "Expected closing tag name") : wait_for(p, sax_wait::end_tag, cur, q);
    if (!dp_is_name_start(static_cast<unsigned char>(*q))) return fail(p, q, "Expected closing tag name");
    const char* name = q;
    uint8_t name_seen = 0;  // the open name it must match was checked
    q = scan_name(q, end, &name_seen);
    if (q >= end) return final ? fail(p, q, "Unterminated closing tag") : wait_for(p, sax_wait::end_tag, cur, q);
    if (p->depth == 0) return fail(p, name, "Closing tag without matching open");
    const sax_frame& f = p->frames[p->depth - 1];
    size_t n = static_cast<size_t>(q - name);
    if (n != f.name_length || std::memcmp(name, f.name, n) != 0) return fail(p, name, "Mismatched closing tag");
    q = skip_space(q, end);
    if (q >= end) return final ? fail(p, q, "Unterminated closing tag") : wait_for(p, sax_wait::end_tag, cur, q);
    if (*q != '>') return fail(p, q, "Expected '>' after closing tag name");
    p->pos = static_cast<size_t>(q + 1 - p->input);
    close_element(p);
    return step::done;
}

// ---- Comments, CDATA, processing instructions, declarations -------------------------------------------

// Searches [from, end) for a three-byte terminator, resuming where the last
// search of this construct stopped.
const char* find_terminator(quorvel_sax_parser* p, const char* cur, const char* body, const char* end, char a,
                            char b, char c) {
    const char* from = body;
    if (p->wait != sax_wait::none && cur + p->wait_offset > from) from = cur + p->wait_offset;
    ptrdiff_t f = g_find3_fn(from, static_cast<size_t>(end - from), a, b, c);
    if (f >= 0) return from + f;
    // The last two bytes may begin the terminator.
    const char* resume = end - 2 > body ? end - 2 : body;
    p->wait_offset = static_cast<size_t>(resume - cur);
    return nullptr;
}

// A writable copy of [s, s + n) with room for a NUL after it: the bytes
// themselves in one-shot input (the parser's own, rewritten in place), else
// the text buffer, as the input may be the caller's chunk. NULL when memory
// runs out.
char* writable(quorvel_sax_parser* p, const char* s, size_t n) {
    if (p->one_shot) return const_cast<char*>(s);
    if (!text_reserve(p, n + 1)) return nullptr;
    std::memcpy(p->text, s, n);
    return p->text;
}

step comment(quorvel_sax_parser* p, const char* cur, const char* end) {
    const char* body = cur + 4;
    const char* close = find_terminator(p, cur, body, end, '-', '-', '>');
    if (!close) {
        if (p->is_final) return fail(p, end, "Unterminated comment");
        p->wait = sax_wait::comment;
        return step::wait;
    }
    if (check_chars(p, body, close) == step::fail) return step::fail;
    const char* after = close + 3;
    count_before_rewrite(p, after);
    p->pos = static_cast<size_t>(after - p->input);
    if (close > body && p->handler->comment) {
        size_t n = static_cast<size_t>(close - body);
        char* text = writable(p, body, n);
        if (!text) return fail_memory(p, body);
        text[n] = '\0';
        p->handler->comment(p->user, text);
    }
    return step::done;
}

step cdata(quorvel_sax_parser* p, const char* cur, const char* end) {
    const char* body = cur + 9;
    const char* close = find_terminator(p, cur, body, end, ']', ']', '>');
    if (!close) {
        if (p->is_final) return fail(p, end, "Unterminated CDATA");
        p->wait = sax_wait::cdata;
        return step::wait;
    }
    if (check_chars(p, body, close) == step::fail) return step::fail;
    const char* after = close + 3;
    count_before_rewrite(p, after);
    p->pos = static_cast<size_t>(after - p->input);
    if (close > body && p->handler->cdata) {
        char* text = writable(p, body, static_cast<size_t>(close - body));
        if (!text) return fail_memory(p, body);
        size_t n = dp_normalise_lines(text, static_cast<size_t>(close - body));
        text[n] = '\0';
        p->handler->cdata(p->user, text);
    }
    return step::done;
}

// "<?" at cur: a processing instruction, or at top level the XML
// declaration (target "xml"), which is skipped.
step processing_instruction(quorvel_sax_parser* p, const char* cur, const char* end, bool top_level) {
    const char* body = cur + 2;
    const char* close = nullptr;
    const char* from = body;
    if (p->wait == sax_wait::pi && cur + p->wait_offset > from) from = cur + p->wait_offset;
    for (const char* q = from; q < end;) {
        auto* mark = static_cast<const char*>(std::memchr(q, '?', static_cast<size_t>(end - q)));
        if (!mark || mark + 1 >= end) break;
        if (mark[1] == '>') {
            close = mark;
            break;
        }
        q = mark + 1;
    }
    if (!close) {
        bool declaration = top_level && end - body >= 3 && std::memcmp(body, "xml", 3) == 0 &&
                           (end - body == 3 || is_space(static_cast<unsigned char>(body[3])) || body[3] == '?');
        if (p->is_final) return fail(p, end, declaration ? "Unterminated XML declaration" : "Unterminated PI");
        const char* resume = end - 1 > body ? end - 1 : body;
        p->wait = sax_wait::pi;
        p->wait_offset = static_cast<size_t>(resume - cur);
        return step::wait;
    }
    if (check_chars(p, body, close) == step::fail) return step::fail;
    const char* after = close + 2;
    count_before_rewrite(p, after);
    p->pos = static_cast<size_t>(after - p->input);
    const char* target_end = body;
    while (target_end < close && !is_space(static_cast<unsigned char>(*target_end))) target_end++;
    bool declaration = top_level && target_end - body == 3 && std::memcmp(body, "xml", 3) == 0;
    if (declaration || !p->handler->processing_instruction) return step::done;
    const char* data = skip_space(target_end, close);
    char* target = writable(p, body, static_cast<size_t>(close - body));
    if (!target) return fail_memory(p, body);
    target[close - body] = '\0';
    target[target_end - body] = '\0';
    p->handler->processing_instruction(p->user, target, data < close ? target + (data - body) : "");
    return step::done;
}

// The internal subset [from, to) read by the document parser's DTD reader:
// what that reader refuses there (a malformed character reference in a
// declaration, parameter entities expanding past the allowance) makes the
// document ill-formed for every reader alike.
step check_subset(quorvel_sax_parser* p, const char* from, const char* to) {
    if (from >= to) return step::done;
    quorvel_pool* pool = quorvel_pool_create_with_page_size(kSubsetPoolPage);
    if (!pool) return fail_memory(p, from);
    quorvel_dtd* dtd = quorvel_dtd_create(pool);
    if (!dtd) {
        quorvel_pool_destroy(pool);
        return fail_memory(p, from);
    }
    dtd->owns_pool = 1;
    const char* at = nullptr;
    dtd_parse_outcome outcome = dtd_parse_run(dtd, from, static_cast<size_t>(to - from), 0, &at);
    quorvel_dtd_release(dtd);
    if (outcome == dtd_parse_outcome::bad_char_ref && at) return fail(p, at, "malformed character reference");
    if (outcome == dtd_parse_outcome::too_large && at) return fail(p, at, "entity expansion exceeds the size limit");
    return step::done;
}

// "<!DOCTYPE": read to its closing '>', the internal subset with its
// literals, comments and PIs passed over, then the subset checked as the
// document parser checks it. Resumable: the scan state is kept.
step doctype(quorvel_sax_parser* p, const char* cur, const char* end) {
    const char* q = cur + 9;
    char quote = 0;
    uint8_t subset = 0, nested = 0;
    bool subset_seen = false;
    size_t subset_from = 0, subset_to = 0;  // from cur
    if (p->wait == sax_wait::doctype) {
        q = cur + p->wait_offset;
        quote = p->wait_quote;
        subset = p->wait_subset;
        nested = p->wait_nested;
        subset_seen = p->wait_subset_seen != 0;
        subset_from = p->wait_subset_from;
        subset_to = p->wait_subset_to;
    }
    while (q < end) {
        if (quote) {
            auto* close = static_cast<const char*>(std::memchr(q, quote, static_cast<size_t>(end - q)));
            if (!close) {
                q = end;
                break;
            }
            quote = 0;
            q = close + 1;
            continue;
        }
        if (nested == 1 || nested == 2) {
            ptrdiff_t f = nested == 1 ? g_find3_fn(q, static_cast<size_t>(end - q), '-', '-', '>') : -1;
            if (nested == 2) {
                for (const char* r = q; r + 1 < end; r++)
                    if (r[0] == '?' && r[1] == '>') {
                        f = r - q;
                        break;
                    }
            }
            if (f < 0) {
                q = end - (nested == 1 ? 2 : 1) > q ? end - (nested == 1 ? 2 : 1) : q;
                break;
            }
            q += f + (nested == 1 ? 3 : 2);
            nested = 0;
            continue;
        }
        char c = *q;
        if (c == '"' || c == '\'') {
            quote = c;
            q++;
        } else if (!subset) {
            if (c == '>') {
                if (subset_seen && check_subset(p, cur + subset_from, cur + subset_to) == step::fail)
                    return step::fail;
                const char* after = q + 1;
                advance_count(p, static_cast<size_t>(after - p->input));
                p->pos = static_cast<size_t>(after - p->input);
                return step::done;
            }
            if (c == '[') {
                subset = 1;
                // Only the first subset is read, as the document parser does.
                if (!subset_seen) subset_from = subset_to = static_cast<size_t>(q + 1 - cur);
            }
            q++;
        } else if (c == ']') {
            subset = 0;
            if (!subset_seen) {
                subset_seen = true;
                subset_to = static_cast<size_t>(q - cur);
            }
            q++;
        } else if (c == '<') {
            if (end - q < 4 && !p->is_final) break;  // "<!--" or "<?" decided with more bytes
            if (end - q >= 4 && q[1] == '!' && q[2] == '-' && q[3] == '-') {
                nested = 1;
                q += 4;
            } else if (end - q >= 2 && q[1] == '?') {
                nested = 2;
                q += 2;
            } else {
                q++;
            }
        } else {
            q++;
        }
    }
    if (p->is_final) return fail(p, end, "Unterminated DOCTYPE");
    p->wait = sax_wait::doctype;
    p->wait_offset = static_cast<size_t>(q - cur);
    p->wait_quote = quote;
    p->wait_subset = subset;
    p->wait_nested = nested;
    p->wait_subset_seen = subset_seen;
    p->wait_subset_from = subset_from;
    p->wait_subset_to = subset_to;
    return step::wait;
}

inline bool begins(const char* cur, const char* end, const char* literal, size_t n) {
    size_t have = static_cast<size_t>(end - cur);
    return std::memcmp(cur, literal, have < n ? have : n) == 0;
}

// "<!" at top level: comment, DOCTYPE, or (as an element) an error.
step top_declaration(quorvel_sax_parser* p, const char* cur, const char* end) {
    size_t have = static_cast<size_t>(end - cur);
    if (have >= 4 && std::memcmp(cur, "<!--", 4) == 0) return comment(p, cur, end);
    if (have >= 9 && std::memcmp(cur, "<!DOCTYPE", 9) == 0) {
        // One DOCTYPE, before the root; the keyword and its name are two words.
        if (p->root_seen || (p->doctype_seen && p->wait != sax_wait::doctype))
            return fail(p, cur, "DOCTYPE after the root element or a second DOCTYPE");
        if (have == 9 && !p->is_final) return wait_for(p, sax_wait::more, cur, cur);
        if (have > 9 && dp_is_name_char(static_cast<unsigned char>(cur[9]))) return fail(p, cur + 9, "malformed input");
        p->doctype_seen = 1;
        return doctype(p, cur, end);
    }
    if (!p->is_final && (begins(cur, end, "<!--", 4) || begins(cur, end, "<!DOCTYPE", 9)))
        return wait_for(p, sax_wait::more, cur, cur);
    return fail(p, cur + 1, "Expected element name");
}

// "<!" in content: comment or CDATA.
step content_declaration(quorvel_sax_parser* p, const char* cur, const char* end) {
    size_t have = static_cast<size_t>(end - cur);
    if (have >= 4 && std::memcmp(cur, "<!--", 4) == 0) return comment(p, cur, end);
    if (have >= 9 && std::memcmp(cur, "<![CDATA[", 9) == 0) return cdata(p, cur, end);
    if (begins(cur, end, "<!--", 4) || begins(cur, end, "<![CDATA[", 9)) {
        if (p->is_final) return fail(p, end, "Unterminated element");
        return wait_for(p, sax_wait::more, cur, cur);
    }
    return fail(p, cur, "Unexpected '<!' in content");
}

// ---- Driver -----------------------------------------------------------------------------------------

// True when a waiting construct can now be read again.
bool ready(quorvel_sax_parser* p, const char* cur, const char* end) {
    if (p->is_final) return true;
    switch (p->wait) {
        case sax_wait::none:
        case sax_wait::more: return true;
        case sax_wait::start_tag: return start_tag_complete(p, cur, end);
        case sax_wait::end_tag:
            if (std::memchr(cur + p->wait_offset, '>', static_cast<size_t>(end - cur) - p->wait_offset)) return true;
            p->wait_offset = static_cast<size_t>(end - cur);
            return false;
        case sax_wait::reference: {
            const char* from = cur + p->wait_offset;
            size_t n = static_cast<size_t>(end - from);
            if (std::memchr(from, ';', n) || std::memchr(from, '<', n)) return true;
            p->wait_offset = static_cast<size_t>(end - cur);
            return false;
        }
        case sax_wait::comment:
        case sax_wait::pi:
        case sax_wait::cdata:
        case sax_wait::doctype: return true;  // their readers resume from wait_offset
    }
    return true;
}

step top_level(quorvel_sax_parser* p, const char* cur, const char* end) {
    if (p->at_start) {
        // A UTF-8 byte-order mark opens the input at most once.
        static const char kBom[3] = {'\xEF', '\xBB', '\xBF'};
        size_t have = static_cast<size_t>(end - cur);
        if (have < 3 && !p->is_final && std::memcmp(cur, kBom, have) == 0) return wait_for(p, sax_wait::more, cur, cur);
        p->at_start = 0;
        if (have >= 3 && std::memcmp(cur, kBom, 3) == 0) {
            p->pos += 3;
            return step::done;
        }
    }
    const char* q = skip_space(cur, end);
    if (q > cur) {
        p->pos = static_cast<size_t>(q - p->input);
        return step::done;
    }
    if (*q != '<') return fail(p, q, "Expected '<' at top level");
    if (q + 1 >= end) {
        if (!p->is_final) return wait_for(p, sax_wait::more, q, q);
        return fail(p, q + 1, "Expected element name");
    }
    unsigned char next = static_cast<unsigned char>(q[1]);
    if (next == '?') return processing_instruction(p, q, end, true);
    if (next == '!') return top_declaration(p, q, end);
    if (dp_is_name_start(next)) return start_tag(p, q, end);
    return fail(p, q + 1, "Unexpected character after '<'");
}

step content(quorvel_sax_parser* p, const char* cur, const char* end) {
    if (*cur != '<') return text(p, cur, end);
    if (cur + 1 >= end) {
        if (!p->is_final) return wait_for(p, sax_wait::more, cur, cur);
        return fail(p, end, "Unterminated element");
    }
    switch (cur[1]) {
        case '/': return end_tag(p, cur, end);              // '/' a closing tag
        case '?': return processing_instruction(p, cur, end, false);  // '?' a PI
        case '!': return content_declaration(p, cur, end);  // '!' a comment or CDATA
        default: return start_tag(p, cur, end);             // anything else: a start tag
    }
}

}  // namespace

uint64_t stream_name_hash(const char* name, size_t n) { return dup_hash(name, n, dup_seed()); }

// Reads the buffered input until it is used up, a construct must wait, the
// parser fails or a pause is requested. 0, or -1 after a fatal error.
int sax_run(quorvel_sax_parser* p) {
    p->paused = 0;
    for (;;) {
        if (p->state == kSaxFailed) return -1;  // aborted by a reader inside a callback
        if (p->pause_requested) {
            p->pause_requested = 0;
            p->paused = 1;
            return 0;
        }
        const char* cur = p->input + p->pos;
        const char* end = p->input + p->length;
        if (cur >= end) {
            p->wait = sax_wait::none;
            if (!p->is_final) return 0;
            if (p->depth > 0) {
                fail(p, end, "Unterminated element");
                return -1;
            }
            if (!p->root_seen) {
                fail(p, end, "No root element");
                return -1;
            }
            p->state = kSaxEnded;
            p->ended = 1;
            if (p->handler->end_document) p->handler->end_document(p->user);
            return 0;
        }
        if (p->wait != sax_wait::none && !ready(p, cur, end)) return 0;
        step r = p->depth ? content(p, cur, end) : top_level(p, cur, end);
        if (r == step::fail) return -1;
        if (r == step::wait) return 0;
        p->wait = sax_wait::none;
    }
}

void sax_free_scratch(quorvel_sax_parser* p) {
    for (sax_block* b = p->scratch_head; b;) {
        sax_block* next = b->next;
        quorvel_work_free(b);
        b = next;
    }
    p->scratch_head = p->scratch_current = nullptr;
}

void sax_count_to(quorvel_sax_parser* p, size_t offset) { advance_count(p, offset); }

int sax_report_out_of_memory(quorvel_sax_parser* p) {
    fail_memory(p, p->input ? p->input + p->pos : nullptr);
    return -1;
}
