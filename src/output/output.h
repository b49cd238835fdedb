// The serializer's shared records and writers: the growable output buffer
// with its layout switches, the writers of every node kind (reached through
// the per-kind node tables), the element writer with its plain walk for XML
// without layout, and the document writer; the subsystem's working memory
// and the escaping kernels.
// The XSLT processor builds its own ser_buffer and calls buffer_append,
// serialize_element_internal and quorvel_document_serialize_ex, so the field
// order of ser_buffer and serialize_ex_options is fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/core.h"
#include "dom/dom.h"

// ---- Working memory ------------------------------------------------------------------
// Working memory of the output subsystem: buffers, stacks and tables that
// live for one call. It comes from the calling thread's allocation hook
// (or g_ser_realloc, plain realloc by default, when no hook is set) and goes
// back through the matching release, which each block remembers. Text
// handed to a caller is always a plain malloc block, released with free
// (quorvel_free_string), whatever hooks the thread has.

using ser_realloc_fn = void* (*)(void* block, size_t size);
extern thread_local constinit ser_realloc_fn g_ser_realloc;

// size bytes; NULL when memory ran out. *release tells how the block goes
// back (NULL: it is a malloc block, resized in place with g_ser_realloc).
void* ser_work_alloc(size_t size, quorvel_release_fn* release);
// Makes block (NULL, or size_t keep bytes in use out of a block made by
// ser_work_alloc) size bytes long, keeping its first keep bytes. NULL on
// failure, with block unchanged and still owned by the caller.
void* ser_work_resize(void* block, size_t keep, size_t size, quorvel_release_fn* release);
inline void ser_work_release(void* block, quorvel_release_fn release) {
    if (block) quorvel_hooked_release(block, release);
}
// Turns a working block holding length bytes and a NUL into text for the
// caller: the block itself when it is a malloc block (cut down when much of
// it is unused), else a malloc copy, the block released. NULL (the block
// released) when the copy cannot be made.
char* ser_work_hand_out(char* block, size_t length, size_t capacity, quorvel_release_fn release);

// ---- Output buffer ------------------------------------------------------------------

struct ser_buffer {
    char* data;              // working memory; NUL at data[length] after every successful append
    size_t length;           // bytes written, NUL not counted
    size_t capacity;         // bytes allocated for data, 0 when nothing is allocated
    int depth;               // element nesting: a line's indentation is depth units
    int indent;              // spaces per unit; 0 or less turns newlines and indentation off
    const char* indent_string;  // not owned; when non-empty, one unit is this string
    int indent_text;         // text children on lines of their own; no newline right after one
    int expand_empty;        // XML: empty elements as start and end tag instead of "/>"
    int whitespace_text_inline;  // any text or CDATA child keeps the content unindented
    int at_line_start;       // the last tracked append ended with a line feed
    const char* const* cdata_names;  // not owned: qualified names written as CDATA; NULL entries skipped
    size_t cdata_count;      // entries of cdata_names; 0 turns the feature off
    int html;                // HTML output rules; PIs end with ">"
    int html_indent;         // HTML output may be indented at all
    int xhtml;               // XHTML rules: Content-Type meta, XHTML namespace, " />"
    const char* meta_charset;  // charset of the meta line, NULL for "UTF-8"
    int out_of_memory;       // set by the first failed growth, never cleared
    // How data goes back (see the working memory above): NULL for a malloc block, grown
    // with realloc. Last, so that a caller that zeroes the fields it does
    // not set gets a malloc buffer.
    quorvel_release_fn release;
};

// Bit 0: bytes text escaping replaces ('&', '<', '>'). Bit 1: bytes that
// matter in attribute values ('"', '&', '\'', '<', '>').
extern const unsigned char quorvel_escape_table[256];

// While the thread has no allocation hook, every allocation of the output
// subsystem (buffer, frame stack, CDATA gathering, canonical XML) goes
// through this realloc-shaped function, so that tests can make any of them
// fail. Its results are released with free. With a hook, the hook serves
// them instead: g_ser_realloc and the working-memory functions are declared
// in the working memory above.

// Appends never report: a failed growth sets out_of_memory and drops the append.
void buffer_append(ser_buffer* b, const char* text);
void buffer_append_len(ser_buffer* b, const char* bytes, size_t n);
void buffer_append_char(ser_buffer* b, char c);
void buffer_append_newline(ser_buffer* b);
void buffer_append_indent(ser_buffer* b);
// Growth rule: 1024 bytes first, then doubling until n bytes are free at
// data + length. False (and out_of_memory set, the block kept) on failure.
bool ser_buffer_grow(ser_buffer* b, size_t n);
// Makes room for n more bytes (text and NUL) at data + length, so that a
// writer can store them directly and advance length itself.
inline bool buffer_ensure_capacity(ser_buffer* b, size_t n) {
    return b->capacity - b->length >= n || ser_buffer_grow(b, n);
}
void append_qualified_name(ser_buffer* b, const char* prefix, const char* local, size_t local_length);

// Makes b an empty buffer with a first block of 1024 bytes holding "" and
// every other field zero; false when the block cannot be allocated.
bool ser_buffer_init(ser_buffer* b);
// The same for an entry point's own buffer, with a first block sized for
// about expected bytes (0: the size of the thread's previous output).
bool ser_buffer_init_for(ser_buffer* b, size_t expected);
// Hands the text out (a block of little more than length + 1 bytes) and
// leaves the buffer empty; NULL (and the text freed) when out_of_memory was
// ever set.
char* ser_buffer_take(ser_buffer* b);
void ser_buffer_free(ser_buffer* b);

// ---- Escaping ----------------------------------------------------------------------

// How a run of bytes is escaped. ORDER: the masks in the escaper's class table.
enum ser_escape_mode {
    SER_ESCAPE_TEXT,      // & < > and CR (as "&#13;")
    SER_ESCAPE_ATTR_XML,  // TAB LF CR " & < >
    SER_ESCAPE_ATTR_HTML, // CR " & < >
    SER_ESCAPE_URI_HTML,  // " & < >, and every byte outside '!'..'~' as %XX
    SER_ESCAPE_NS_URI,    // " & < >
};

// Room an escaping writer keeps free past the bytes still to copy: one
// replacement and the NUL.
constexpr size_t kSerEscapeSlack = 8;
// Escapes n bytes of text to out, a position inside b's block with at least
// n + kSerEscapeSlack + tail bytes free behind it, growing the block as
// replacements need. Returns the new end, leaving at least tail + 1 bytes
// free behind it, or NULL when growth failed (b then holds what was written
// up to there). length is not advanced: the caller does that.
char* ser_escape_into(ser_buffer* b, char* out, const char* text, size_t n, ser_escape_mode mode, size_t tail);
// Appends n bytes of text escaped by mode; unescaped runs are block copies.
void ser_append_escaped(ser_buffer* b, const char* text, size_t n, ser_escape_mode mode);
// Writes the text-escaped form of n bytes to dest and returns the end; the
// caller reserves 6 bytes per input byte (no replacement is longer).
char* emit_escaped_inline(char* dest, const char* text, size_t n);

// ---- Node-kind writers ----------------------------------------------------------------

void element_serialize(const quorvel_node* node, ser_buffer* buffer);
void text_serialize(const quorvel_node* node, ser_buffer* buffer);
void comment_serialize(const quorvel_node* node, ser_buffer* buffer);
void cdata_serialize(const quorvel_node* node, ser_buffer* buffer);
void pi_serialize(const quorvel_node* node, ser_buffer* buffer);
void doctype_serialize(const quorvel_node* node, ser_buffer* buffer);
void document_serialize_impl(const quorvel_node* node, ser_buffer* buffer);
void entity_ref_serialize(const quorvel_node* node, ser_buffer* buffer);

void serialize_doctype_internal(const quorvel_doctype* doctype, ser_buffer* b);
// The only text of an element named in cdata_names: whitespace-only text
// as it is, anything else in CDATA sections split around "]]>".
void emit_cdata_checked(ser_buffer* b, const char* text, size_t n);
void emit_xhtml_meta(ser_buffer* b);
// "<![CDATA[" text "]]>", splitting every "]]>" across two sections.
void ser_write_cdata_sections(ser_buffer* b, const char* text, size_t n);
// Text bytes of a text node (NULL for empty or unreadable content).
inline const char* ser_text_content(const quorvel_text* t, size_t* length) {
    const char* s = quorvel_text_link_get(t, &t->content);
    *length = s ? t->length : 0;
    return s;
}

// ---- Walk helpers shared by the element writers --------------------------------------

// Position of the next-sibling link by kind (0: none), one load instead of
// a switch on the walk's hottest step. ORDER: quorvel_node_kind.
inline constexpr unsigned char kSerSiblingLink[11] = {32, 20, 24, 24, 32, 0, 0, 0, 0, 0, 24};
static_assert(offsetof(quorvel_element, next_sibling) == 32 && offsetof(quorvel_text, next_sibling) == 20 &&
              offsetof(quorvel_comment, next_sibling) == 24 && offsetof(quorvel_pi, next_sibling) == 32);

// Next sibling of any node kind; NULL past the last one and for kinds
// without a sibling link.
inline quorvel_node* ser_next_sibling(const quorvel_node* n) {
    auto kind = static_cast<uint32_t>(n->kind);
    if (kind > 10 || !kSerSiblingLink[kind]) return nullptr;
    auto* field = reinterpret_cast<const int32_t*>(reinterpret_cast<const char*>(n) + kSerSiblingLink[kind]);
    return static_cast<quorvel_node*>(quorvel_link_get(n, field));
}

// Bytes of the local name: the stored length byte, measured past 254.
inline size_t ser_local_name_length(const quorvel_element* e, const char* name) {
    return e->name_length < 255 ? e->name_length : std::strlen(name);
}

// The element's prefix, or NULL for none (an empty prefix counts as none).
inline const char* ser_element_prefix(const quorvel_element_ext* ext) {
    return ext && ext->prefix && ext->prefix[0] ? ext->prefix : nullptr;
}

// strlen for the short strings prefixes are: the first bytes inline.
inline size_t ser_short_strlen(const char* s) {
    for (size_t i = 0; i < 8; i++)
        if (!s[i]) return i;
    return 8 + std::strlen(s + 8);
}

// Value bytes of an attribute as stored (inline or by pointer).
inline const char* ser_attr_value(const quorvel_attribute* a, size_t* n) {
    *n = static_cast<size_t>(a->value_length & ~kAttrInlineValue);
    if (a->value_length & kAttrInlineValue) return a->inline_value;
    if (!a->value) *n = 0;
    return a->value ? a->value : "";
}

// An attribute value still holding references, decoded into the document's
// pool and stored back (under the document's lazy lock, as every reader
// does), so the next read finds it decoded; as it is when decoding fails or
// there is no document. Its length goes to n.
const char* ser_pending_value(quorvel_attribute* a, quorvel_document* doc, size_t* n);

// Copies n bytes where n is usually a short name; the end of the copy.
inline char* ser_copy_name(char* out, const char* s, size_t n) {
    quorvel_copy_short(out, s, n);
    return out + n;
}

// ---- Element writer ----------------------------------------------------------------------

// One open element of the element writer.
struct ser_frame {
    quorvel_element* element;
    size_t name_length;      // of the local name
    int inline_content;      // no line breaks or indentation inside
    int cdata_pending;       // cdata_text holds text still to be written as a section
    int end_tag_own_line;    // HTML: the end tag goes on a line of its own
    char* cdata_text;        // gathered text of a cdata-section element; NULL until used
    size_t cdata_length;
    size_t cdata_capacity;
    quorvel_release_fn cdata_release;  // how cdata_text goes back (working memory above)
    // Kept so closing needs no second look at the records.
    const char* name;
    const char* prefix;      // NULL or non-empty
    size_t prefix_length;
    const char* default_ns;  // URI of the nearest default declaration among the open frames
    unsigned char html_class;  // kHtmlElems class of the element (HTML output only)
    unsigned char is_cdata;  // named in cdata_names
    unsigned char texts_blank;  // every text child is known to be whitespace only
};

// Writes the element and its subtree; top 1: no indentation before it and
// no line feed after it. depth is back to its starting value afterwards.
int serialize_element_internal(quorvel_element* element, ser_buffer* b, int top);
// The walk for XML without CDATA-section elements, XHTML rules or text on
// lines of its own, indented or not; the same bytes as the general walk,
// faster. serialize_element_internal takes it while g_ser_plain_walk is set
// (tests clear it to compare the two walks). top as there.
void ser_write_plain_xml(quorvel_element* element, ser_buffer* b);
void ser_write_plain_xml_top(quorvel_element* element, ser_buffer* b, bool top);
extern thread_local constinit bool g_ser_plain_walk;
// Writes and clears the CDATA text gathered in frame (nothing when none).
void ser_frame_cd_flush(ser_buffer* b, ser_frame* frame);

constexpr unsigned char kHtmlVoid = 1;
constexpr unsigned char kHtmlInline = 2;
constexpr unsigned char kHtmlBlock = 4;
constexpr unsigned char kHtmlRawText = 8;
unsigned char html_elem_sem_flags(const quorvel_element* element);
int is_cdata_element(const ser_buffer* b, const quorvel_element* element);
int ser_children_have_text(const quorvel_node* first_child);

// ---- Document writer ------------------------------------------------------------------------

// The extended settings of the document writer; also filled by the XSLT
// processor from its output settings.
struct serialize_ex_options {
    const char* const* cdata_names;
    size_t cdata_count;
    int method;               // -1 XML, 1 HTML, any other value the document's kind
    int indent_text;
    int expand_empty;
    int whitespace_text_inline;
    int xhtml;
    int reserved;             // not read here
    const char* indent_string;
    int html_indent;
};

char* quorvel_document_serialize_ex(quorvel_document* doc, const quorvel_serialize_options* options,
                                    const serialize_ex_options* ex);

// ---- Escaping kernels ----------------------------------------------------------------
// Escaping kernels of the output subsystem, inline so that the element
// writer's hot paths get them without a call: byte classes per escape mode,
// the replacement texts, and the run copier that checks sixteen bytes at a
// time. Room rule everywhere: limit - out >= (bytes still to copy) +
// kSerEscapeSlack, so a run can be copied whole and one replacement (stored
// as a 6-byte block) written after it.

namespace ser_escape {

// Bit per ser_escape_mode: the bytes that mode must replace.
constexpr unsigned char kMaskText = 1 << SER_ESCAPE_TEXT;
constexpr unsigned char kMaskAttrXml = 1 << SER_ESCAPE_ATTR_XML;
constexpr unsigned char kMaskAttrHtml = 1 << SER_ESCAPE_ATTR_HTML;
constexpr unsigned char kMaskUriHtml = 1 << SER_ESCAPE_URI_HTML;
constexpr unsigned char kMaskNsUri = 1 << SER_ESCAPE_NS_URI;

struct tables {
    unsigned char cls[256];           // kMask* bits of the modes that replace the byte
    unsigned char entity_length[256];
    char entity[256][6];              // replacement text, not terminated
};

constexpr tables make_tables() {
    tables t{};
    auto set = [&t](unsigned char c, const char* text, unsigned char masks) {
        t.cls[c] |= masks;
        unsigned char n = 0;
        while (text[n]) {
            t.entity[c][n] = text[n];
            n++;
        }
        t.entity_length[c] = n;
    };
    // '&', '<' and '>' are replaced in every mode; text keeps '"'.
    set('&', "&amp;", kMaskText | kMaskAttrXml | kMaskAttrHtml | kMaskUriHtml | kMaskNsUri);
    set('<', "&lt;", kMaskText | kMaskAttrXml | kMaskAttrHtml | kMaskUriHtml | kMaskNsUri);
    set('>', "&gt;", kMaskText | kMaskAttrXml | kMaskAttrHtml | kMaskUriHtml | kMaskNsUri);
    set('"', "&quot;", kMaskAttrXml | kMaskAttrHtml | kMaskUriHtml | kMaskNsUri);
    // A raw CR would come back as LF: always a character reference.
    set('\r', "&#13;", kMaskText | kMaskAttrXml | kMaskAttrHtml);
    // Attribute value normalisation would turn raw TAB and LF into spaces.
    set('\t', "&#9;", kMaskAttrXml);
    set('\n', "&#10;", kMaskAttrXml);
    // URI attributes of HTML: every byte outside '!'..'~' is percent-encoded.
    for (int c = 0; c < 256; c++)
        if (c < '!' || c > '~') t.cls[c] |= kMaskUriHtml;
    return t;
}

inline constexpr tables kTables = make_tables();
inline constexpr char kHexDigits[] = "0123456789ABCDEF";

// Writes the replacement of one special byte (at most 6 bytes).
template <ser_escape_mode M>
inline char* write_replacement(char* out, unsigned char c) {
    if (M == SER_ESCAPE_URI_HTML && (c < '!' || c > '~')) {
        out[0] = '%';
        out[1] = kHexDigits[c >> 4];
        out[2] = kHexDigits[c & 15];
        return out + 3;
    }
    std::memcpy(out, kTables.entity[c], 6);
    return out + kTables.entity_length[c];
}

#if defined(__SSE2__)
// Lanes of v holding a byte that mode M replaces, as a bit mask.
template <ser_escape_mode M>
inline unsigned special_lanes(__m128i v) {
    auto eq = [v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
    __m128i m = _mm_or_si128(_mm_or_si128(eq('&'), eq('<')), eq('>'));
    if constexpr (M == SER_ESCAPE_TEXT) {
        m = _mm_or_si128(m, eq('\r'));
    } else if constexpr (M == SER_ESCAPE_ATTR_XML) {
        m = _mm_or_si128(_mm_or_si128(m, eq('"')), _mm_or_si128(eq('\r'), _mm_or_si128(eq('\t'), eq('\n'))));
    } else if constexpr (M == SER_ESCAPE_ATTR_HTML) {
        m = _mm_or_si128(m, _mm_or_si128(eq('"'), eq('\r')));
    } else if constexpr (M == SER_ESCAPE_NS_URI) {
        m = _mm_or_si128(m, eq('"'));
    } else {
        // Outside '!'..'~': at most 0x20 or at least 0x7F, compared unsigned.
        __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
        __m128i high = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x7F)), v);
        m = _mm_or_si128(_mm_or_si128(m, eq('"')), _mm_or_si128(low, high));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}

// First special position among n (4 to 16) bytes read as two overlapping
// halves lo (positions 0..h-1) and hi (positions n-h..n-1), or n.
template <ser_escape_mode M, typename Half>
inline size_t first_special_of_halves(Half lo, Half hi, size_t n) {
    constexpr unsigned h = sizeof(Half);
    __m128i v;
    if constexpr (h == 8)
        v = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
    else
        v = _mm_set_epi32(0, 0, static_cast<int>(hi), static_cast<int>(lo));
    unsigned lanes = special_lanes<M>(v);
    unsigned lo_lanes = lanes & ((1u << h) - 1);
    unsigned hi_lanes = (lanes >> h) & ((1u << h) - 1);
    size_t first = n;
    if (lo_lanes) first = static_cast<size_t>(__builtin_ctz(lo_lanes));
    if (hi_lanes) {
        size_t p = n - h + static_cast<size_t>(__builtin_ctz(hi_lanes));
        if (p < first) first = p;
    }
    return first;
}
#endif

// Copies the run of bytes up to the next one mode M replaces and returns
// its position (end when none). Bytes are stored before they are checked:
// out may receive bytes beyond the kept run, never beyond out + (end - s),
// and only advances over the kept ones.
template <ser_escape_mode M>
inline const unsigned char* copy_plain_run(const unsigned char* s, const unsigned char* end, char*& out) {
#if defined(__SSE2__)
    while (end - s >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        if (unsigned lanes = special_lanes<M>(v)) {
            unsigned k = static_cast<unsigned>(__builtin_ctz(lanes));
            out += k;
            return s + k;
        }
        s += 16;
        out += 16;
    }
    // Short rest: two overlapping loads cover it without reading past end.
    size_t n = static_cast<size_t>(end - s);
    if (n >= 8) {
        uint64_t lo, hi;
        std::memcpy(&lo, s, 8);
        std::memcpy(&hi, end - 8, 8);
        std::memcpy(out, &lo, 8);
        std::memcpy(out + n - 8, &hi, 8);
        size_t k = first_special_of_halves<M>(lo, hi, n);
        out += k;
        return s + k;
    }
    if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, s, 4);
        std::memcpy(&hi, end - 4, 4);
        std::memcpy(out, &lo, 4);
        std::memcpy(out + n - 4, &hi, 4);
        size_t k = first_special_of_halves<M>(lo, hi, n);
        out += k;
        return s + k;
    }
#endif
    constexpr unsigned char mask = static_cast<unsigned char>(1u << M);
    while (s < end && !(kTables.cls[*s] & mask)) *out++ = static_cast<char>(*s++);
    return s;
}

// Growth of a 16-byte block whose every byte is replaced (by at most 6).
constexpr size_t kBlockGrowth = 16 * 5;

// Makes room for (end - s) + kSerEscapeSlack + tail + extra bytes at out,
// which may move; false (data[length] a NUL) when the block cannot grow.
inline bool escape_room(ser_buffer* b, char*& out, char*& limit, const unsigned char* s, const unsigned char* end,
                        size_t tail, size_t extra) {
    size_t need = static_cast<size_t>(end - s) + kSerEscapeSlack + tail + extra;
    if (static_cast<size_t>(limit - out) >= need) return true;
    b->length = static_cast<size_t>(out - b->data);
    if (!buffer_ensure_capacity(b, need)) {
        b->data[b->length] = '\0';
        return false;
    }
    out = b->data + b->length;
    limit = b->data + b->capacity;
    return true;
}

// Escapes [s, end) to out, a position in b's block with at least
// (end - s) + kSerEscapeSlack + tail bytes free behind it, growing the
// block when replacements need more. Returns the new end (with at least
// tail + 1 bytes free behind it), or NULL when growth failed.
template <ser_escape_mode M>
char* escape_into(ser_buffer* b, char* out, const unsigned char* s, const unsigned char* end, size_t tail) {
    char* limit = b->data + b->capacity;
#if defined(__SSE2__)
    // Whole blocks: one test finds every special byte of the block, and the
    // plain bytes after each replacement are stored again from the input.
    while (end - s >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        unsigned lanes = special_lanes<M>(v);
        if (!lanes) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
            s += 16;
            out += 16;
            continue;
        }
        if (!escape_room(b, out, limit, s, end, tail, kBlockGrowth)) return nullptr;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        const unsigned char* block = s;
        unsigned done = 0;  // bytes of the block in place
        for (;;) {
            unsigned k = static_cast<unsigned>(__builtin_ctz(lanes));
            out += k - done;
            out = write_replacement<M>(out, block[k]);
            done = k + 1;
            lanes &= lanes - 1;
            if (done == 16) break;
            // The replacement overwrote the bytes stored after it. A store
            // of 16 input bytes puts them back when the input has them;
            // otherwise the short rest is left to the loop below.
            if (end - (block + done) < 16) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + done)));
            if (!lanes) {
                out += 16 - done;
                done = 16;
                break;
            }
        }
        s = block + done;
    }
#endif
    constexpr unsigned char mask = static_cast<unsigned char>(1u << M);
    for (;;) {
        s = copy_plain_run<M>(s, end, out);
        if (s == end) return out;
        // A short rest goes byte by byte, with room made at once for every
        // byte of it to be replaced.
        if (end - s <= 32) {
            if (!escape_room(b, out, limit, s, end, tail, 5 * static_cast<size_t>(end - s))) return nullptr;
            for (; s < end; s++) {
                unsigned char c = *s;
                if (kTables.cls[c] & mask)
                    out = write_replacement<M>(out, c);
                else
                    *out++ = static_cast<char>(c);
            }
            return out;
        }
        out = write_replacement<M>(out, *s++);
        if (!escape_room(b, out, limit, s, end, tail, 0)) return nullptr;
    }
}

template <ser_escape_mode M>
inline char* escape_into(ser_buffer* b, char* out, const char* text, size_t n, size_t tail) {
    auto* s = reinterpret_cast<const unsigned char*>(text);
    return escape_into<M>(b, out, s, s + n, tail);
}

// escape_into for the short values and texts most documents are made of:
// up to 16 bytes without a special byte are copied and checked inline, with
// one or two loads and one test; anything else goes to escape_into from the
// first special byte on.
template <ser_escape_mode M>
[[gnu::always_inline]] inline char* escape_into_short(ser_buffer* b, char* out, const char* text, size_t n,
                                                      size_t tail) {
    auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t k;  // the first special position, n when none
#if defined(__SSE2__)
    if (n >= 8 && n <= 16) {
        uint64_t lo, hi;
        std::memcpy(&lo, s, 8);
        std::memcpy(&hi, s + n - 8, 8);
        std::memcpy(out, &lo, 8);
        std::memcpy(out + n - 8, &hi, 8);
        k = first_special_of_halves<M>(lo, hi, n);
    } else if (n >= 4 && n < 8) {
        uint32_t lo, hi;
        std::memcpy(&lo, s, 4);
        std::memcpy(&hi, s + n - 4, 4);
        std::memcpy(out, &lo, 4);
        std::memcpy(out + n - 4, &hi, 4);
        k = first_special_of_halves<M>(lo, hi, n);
    } else
#endif
    if (n < 4) {
        constexpr unsigned char mask = static_cast<unsigned char>(1u << M);
        for (k = 0; k < n && !(kTables.cls[s[k]] & mask); k++) out[k] = static_cast<char>(s[k]);
    } else {
        return escape_into<M>(b, out, s, s + n, tail);
    }
    if (k == n) return out + n;
    return escape_into<M>(b, out + k, s + k, s + n, tail);
}

}  // namespace ser_escape
