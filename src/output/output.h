// The serializer's shared records and writers: the growable output buffer
// with its layout switches, the writers of every node kind (reached through
// the per-kind node tables), the element writer with its plain walk for XML
// without layout, and the document writer.
// The XSLT processor builds its own ser_buffer and calls buffer_append,
// serialize_element_internal and quorvel_document_serialize_ex, so the field
// order of ser_buffer and serialize_ex_options is fixed.
#pragma once

#include <cstring>

#include "dom/dom.h"
#include "output/work_memory.h"

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
    // How data goes back (work_memory.h): NULL for a malloc block, grown
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
// in work_memory.h.

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

// An attribute value still holding references is decoded into pool (when
// there is one) and stored back, so the next read finds it decoded; left
// as it is when decoding fails.
void ser_decode_pending_value(quorvel_attribute* a, quorvel_pool* pool);

// Copies n bytes where n is usually a short name: overlapping word stores
// instead of a library call.
inline char* ser_copy_name(char* out, const char* s, size_t n) {
    if (n >= 8 && n <= 16) {
        uint64_t a, z;
        std::memcpy(&a, s, 8);
        std::memcpy(&z, s + n - 8, 8);
        std::memcpy(out, &a, 8);
        std::memcpy(out + n - 8, &z, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t a, z;
        std::memcpy(&a, s, 4);
        std::memcpy(&z, s + n - 4, 4);
        std::memcpy(out, &a, 4);
        std::memcpy(out + n - 4, &z, 4);
    } else if (n < 4) {
        // 1 to 3 bytes: positions 0, n / 2 and n - 1 cover them all.
        if (n) {
            char a = s[0], m = s[n / 2], z = s[n - 1];
            out[0] = a;
            out[n / 2] = m;
            out[n - 1] = z;
        }
    } else {
        std::memcpy(out, s, n);
    }
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
    quorvel_release_fn cdata_release;  // how cdata_text goes back (work_memory.h)
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
// The walk for XML without indentation, CDATA-section elements or XHTML
// rules, where the layout rules write nothing; the same bytes as the general
// walk, faster. serialize_element_internal takes it while g_ser_plain_walk is
// set (tests clear it to compare the two walks).
void ser_write_plain_xml(quorvel_element* element, ser_buffer* b);
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
