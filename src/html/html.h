// Shared types of the HTML parser: the tag table, the parse state, the
// provisional tree the parser builds while it reads, and the routines the
// parts of the parser call on each other.
//
// The parser first builds a light tree of its own (hnode) in scratch memory
// that is released when the parse ends: nodes are moved, inserted in front of
// tables and split into head and body freely there. When the input is used
// up, tree_sink.cpp turns that tree into the document's records in one pass;
// it is the only file that writes document records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/core.h"

struct quorvel_document;

namespace html {

// ---- Tag table ---------------------------------------------------------------------

// Tag identifiers: positions in kTagInfos. kTagNone stands for a name
// without a record.
enum html_tag_id : uint8_t {
    kTag_a = 0,
    kTag_annotation_xml = 1,
    kTag_address = 2,
    kTag_applet = 3,
    kTag_area = 4,
    kTag_article = 5,
    kTag_aside = 6,
    kTag_b = 7,
    kTag_big = 8,
    kTag_base = 9,
    kTag_basefont = 10,
    kTag_bgsound = 11,
    kTag_blockquote = 12,
    kTag_body = 13,
    kTag_br = 14,
    kTag_button = 15,
    kTag_code = 16,
    kTag_caption = 17,
    kTag_center = 18,
    kTag_col = 19,
    kTag_colgroup = 20,
    kTag_desc = 21,
    kTag_dd = 22,
    kTag_details = 23,
    kTag_dialog = 24,
    kTag_dir = 25,
    kTag_div = 26,
    kTag_dl = 27,
    kTag_dt = 28,
    kTag_em = 29,
    kTag_embed = 30,
    kTag_font = 31,
    kTag_foreignobject = 32,
    kTag_fieldset = 33,
    kTag_figcaption = 34,
    kTag_figure = 35,
    kTag_footer = 36,
    kTag_form = 37,
    kTag_frame = 38,
    kTag_frameset = 39,
    kTag_h1 = 40,
    kTag_h2 = 41,
    kTag_h3 = 42,
    kTag_h4 = 43,
    kTag_h5 = 44,
    kTag_h6 = 45,
    kTag_head = 46,
    kTag_header = 47,
    kTag_hgroup = 48,
    kTag_hr = 49,
    kTag_html = 50,
    kTag_i = 51,
    kTag_iframe = 52,
    kTag_img = 53,
    kTag_input = 54,
    kTag_keygen = 55,
    kTag_li = 56,
    kTag_link = 57,
    kTag_listing = 58,
    kTag_mi = 59,
    kTag_mn = 60,
    kTag_mo = 61,
    kTag_ms = 62,
    kTag_mtext = 63,
    kTag_main = 64,
    kTag_marquee = 65,
    kTag_menu = 66,
    kTag_meta = 67,
    kTag_nobr = 68,
    kTag_nav = 69,
    kTag_noembed = 70,
    kTag_noframes = 71,
    kTag_noscript = 72,
    kTag_object = 73,
    kTag_ol = 74,
    kTag_option = 75,
    kTag_optgroup = 76,
    kTag_p = 77,
    kTag_param = 78,
    kTag_plaintext = 79,
    kTag_pre = 80,
    kTag_rb = 81,
    kTag_rp = 82,
    kTag_rt = 83,
    kTag_rtc = 84,
    kTag_s = 85,
    kTag_small = 86,
    kTag_strike = 87,
    kTag_strong = 88,
    kTag_script = 89,
    kTag_search = 90,
    kTag_section = 91,
    kTag_select = 92,
    kTag_source = 93,
    kTag_style = 94,
    kTag_summary = 95,
    kTag_tt = 96,
    kTag_table = 97,
    kTag_tbody = 98,
    kTag_td = 99,
    kTag_template = 100,
    kTag_textarea = 101,
    kTag_tfoot = 102,
    kTag_th = 103,
    kTag_thead = 104,
    kTag_title = 105,
    kTag_tr = 106,
    kTag_track = 107,
    kTag_u = 108,
    kTag_ul = 109,
    kTag_wbr = 110,
    kTag_xmp = 111,
    kTagCount = 112,
    kTagNone = 255,
};

struct tag_info {
    char name[16];             // lower case, NUL-padded
    uint8_t length;
    uint8_t special;           // stops the stack search of unmatched end tags
    uint8_t skip_reconstruct;  // not preceded by reconstruction of formatting elements
    uint8_t closes_p;          // bit 0: the start tag closes an open p first
    uint8_t insert_flags;      // bit 0: void; bit 1: clears the frameset-ok flag
    uint8_t end_class;         // implicit-closing class of an open element
    uint8_t closes_classes;    // classes of open elements the start tag closes
};
extern const tag_info kTagInfos[kTagCount];

constexpr uint8_t kInsertVoid = 1;
constexpr uint8_t kInsertFramesetOff = 2;

// Identifier of a lower-case name of length bytes; kTagNone when it has no record.
uint8_t tag_lookup(const char* name, size_t length);

// A set of tag identifiers, fixed at compile time.
struct tag_set {
    uint64_t bits[4];
    constexpr bool has(uint8_t id) const { return id != kTagNone && ((bits[id >> 6] >> (id & 63)) & 1u) != 0; }
};
template <typename... T>
constexpr tag_set make_tag_set(T... ids) {
    tag_set s{};
    ((s.bits[static_cast<uint8_t>(ids) >> 6] |= uint64_t(1) << (static_cast<uint8_t>(ids) & 63)), ...);
    return s;
}

inline constexpr tag_set kFormattingTags =
    make_tag_set(kTag_a, kTag_b, kTag_big, kTag_code, kTag_em, kTag_font, kTag_i, kTag_nobr, kTag_s, kTag_small,
                 kTag_strike, kTag_strong, kTag_tt, kTag_u);
// May stand directly in a table: never foster-parented.
inline constexpr tag_set kTableFitTags =
    make_tag_set(kTag_caption, kTag_col, kTag_colgroup, kTag_form, kTag_script, kTag_style, kTag_table, kTag_tbody,
                 kTag_td, kTag_template, kTag_tfoot, kTag_th, kTag_thead, kTag_tr);
inline constexpr tag_set kHeadingTags = make_tag_set(kTag_h1, kTag_h2, kTag_h3, kTag_h4, kTag_h5, kTag_h6);
inline constexpr tag_set kRubyTags = make_tag_set(kTag_rb, kTag_rp, kTag_rt, kTag_rtc);
inline constexpr tag_set kPFenceTags = make_tag_set(kTag_applet, kTag_button, kTag_caption, kTag_marquee,
                                                    kTag_object, kTag_select, kTag_table, kTag_td, kTag_template,
                                                    kTag_th);
inline constexpr tag_set kLiFenceTags = make_tag_set(kTag_applet, kTag_caption, kTag_html, kTag_marquee,
                                                     kTag_object, kTag_table, kTag_td, kTag_template, kTag_th);
inline constexpr tag_set kDdFenceTags =
    make_tag_set(kTag_applet, kTag_button, kTag_caption, kTag_html, kTag_marquee, kTag_object, kTag_select,
                 kTag_table, kTag_td, kTag_template, kTag_th);
// Open elements of these kinds make the current node a table context.
inline constexpr tag_set kTableContextTags = make_tag_set(kTag_table, kTag_tbody, kTag_thead, kTag_tfoot, kTag_tr);

// ASCII case-insensitive comparison of length bytes with a lower-case literal.
bool ieq(const char* s, size_t length, const char* lower);

inline bool is_ascii_alpha(unsigned char c) { return static_cast<unsigned char>((c | 0x20) - 'a') < 26; }
inline bool is_ascii_digit(unsigned char c) { return static_cast<unsigned char>(c - '0') < 10; }
inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
// TAB, LF, FF, CR, space.
inline bool is_html_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }
// TAB, LF, CR, space (no form feed).
inline bool is_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// First c in [p, end), or NULL.
inline const char* find_byte(const char* p, const char* end, char c) {
    return p < end ? static_cast<const char*>(std::memchr(p, c, static_cast<size_t>(end - p))) : nullptr;
}

// ---- Scratch memory ---------------------------------------------------------------------

// Chunks of working memory for one parse, released together at its end.
struct scratch {
    void* chunks = nullptr;  // linked through their first word
    char* next = nullptr;
    char* end = nullptr;
    size_t chunk_size = 64 * 1024;
    bool failed = false;  // a request could not be met
};
// 8-aligned memory of n bytes; NULL (and failed set) when memory runs out.
void* scratch_alloc(scratch* m, size_t n);
char* scratch_copy(scratch* m, const char* s, size_t n);  // NUL-terminated copy
void scratch_release(scratch* m);

// ---- Character references ---------------------------------------------------------------

struct entity {
    const char* name;
    uint8_t length;
    uint8_t legacy;  // also recognised without the semicolon
    uint32_t first;
    uint32_t second;  // 0 for names that stand for one code point
};
extern const entity kEntities[];
extern const size_t kEntityCount;

// The record whose name is exactly these bytes, or NULL.
const entity* entity_lookup(const char* name, size_t length);

// Decoded copy of [start, end) in scratch memory, NUL-terminated, its length
// in *out_length. in_attribute selects the attribute-value rule for names
// without a semicolon; html5 the mode. NULL when memory runs out.
char* decode_refs(scratch* m, const char* start, const char* end, bool in_attribute, bool html5, size_t* out_length);

// ---- Provisional tree ---------------------------------------------------------------------

enum : uint8_t { kElement = 0, kText = 1, kComment = 2, kPi = 3, kList = 4 };
enum : uint8_t { kNsHtml = 0, kNsSvg = 1, kNsMath = 2 };

struct hattr {
    const char* name;
    const char* value;
    hattr* next;
    uint32_t name_length;  // inputs are below 4 GiB
    uint32_t value_length;
};
static_assert(sizeof(hattr) == 32);

// Text and comment nodes are most of a page's nodes and never have children
// or attributes: they are made with the leading fields only (kLeafNodeSize
// bytes), and first, last and attrs may be read only on elements,
// processing instructions and list holders.
struct hnode {
    hnode* parent;  // for top-level nodes the list holder (kind kList)
    hnode* next;
    hnode* prev;
    const char* data;  // element name, text, comment text, PI target
    uint32_t length;   // of data (inputs are below 4 GiB)
    uint8_t kind;
    uint8_t ns;
    uint8_t tag;
    uint8_t flags;  // kPlaced*: where the parse stood when a top-level node was placed
    // Elements, processing instructions and list holders only:
    hnode* first;
    hnode* last;
    hattr* attrs;  // element attributes; for a PI one entry holding its data
};
static_assert(sizeof(hnode) == 64, "an element node per cache line");
constexpr size_t kLeafNodeSize = offsetof(hnode, first);
static_assert(kLeafNodeSize == 40);
// Flags of nodes placed under the html element (or at the top level): they
// decide at the end which of them go to the head, the body or between.
constexpr uint8_t kPlacedInHead = 1;    // after a head start tag
constexpr uint8_t kPlacedAfterHead = 2; // after the head end tag
constexpr uint8_t kPlacedInBody = 4;    // after the body's content began
constexpr uint8_t kPlacedAfterBody = 8; // a comment after the body end tag

// Inputs of this many bytes or more are refused: text lengths are 32-bit,
// and a run of NUL bytes in foreign content triples in length.
constexpr size_t kMaxInput = UINT32_MAX / 3;

void tree_append(hnode* parent, hnode* node);
void tree_insert_before(hnode* parent, hnode* ref, hnode* node);  // ref NULL: append
void tree_detach(hnode* node);
hattr* find_attr(const hnode* e, const char* name, size_t length);

// ---- Parse state --------------------------------------------------------------------------

constexpr size_t kMaxOpen = 256;
constexpr size_t kMaxFormatting = 64;
constexpr size_t kMaxStash = 16;

struct attr_stash {
    hattr* first = nullptr;
    hattr* last = nullptr;
    size_t count = 0;
};

struct parse_state {
    scratch mem;
    bool html5 = true;
    bool stop = false;  // the scanning loop ends (input used up or memory ran out)

    const char* input = nullptr;  // the working copy of the input (writable, NUL after it)
    const char* end = nullptr;
    const char* pending = nullptr;  // pending text [pending, pending_end)
    const char* pending_end = nullptr;

    hnode top{};     // nodes placed while no element is open
    hnode prolog{};  // comments before the content started (HTML5)
    hnode post{};    // comments after the html end tag (HTML5)

    hnode* open[kMaxOpen];
    uint8_t open_ns[kMaxOpen];
    uint8_t open_ids[kMaxOpen];
    uint8_t template_mode[kMaxOpen];
    size_t open_count = 0;
    hnode* root = nullptr;

    bool content_started = false;
    bool in_body = false;
    bool frameset_seen = false;
    bool frameset_ok = true;
    bool frameset_closed = false;
    bool html_seen = false;
    bool html_pushed = false;
    bool form_open = false;
    bool input_hidden = false;
    bool head_seen = false;
    bool head_end_seen = false;
    bool body_seen = false;
    bool body_start_seen = false;
    bool after_html = false;
    bool after_body = false;
    bool text_after_body = false;
    // A top-level element other than html and the head-type ones, or
    // top-level text that is not blank, has been placed.
    bool top_has_content = false;

    // The document renders in quirks mode (no DOCTYPE, or a legacy one):
    // there a table start tag leaves an open p open.
    bool quirks = true;

    // DOCTYPE, when one was read.
    bool has_doctype = false;
    const char* doctype_name = nullptr;
    size_t doctype_name_length = 0;
    const char* public_id = nullptr;
    const char* system_id = nullptr;

    // Active formatting elements: entries in push order; a NULL element is a
    // scope marker, table_marker tells the markers of tables from the others.
    hnode* afe[kMaxFormatting];
    uint8_t afe_table_marker[kMaxFormatting];
    size_t afe_count = 0;
    bool skip_final_reconstruct = false;

    // Attributes of repeated html, head and body start tags, added at the
    // end to the elements that lack them (first value of each name).
    attr_stash html_attrs;
    attr_stash head_attrs;
    attr_stash body_attrs;

    // Duplicate-name check of the tag being read: open addressing over the
    // attributes read so far, used once a tag has many of them.
    uint32_t* attr_slots = nullptr;
    size_t attr_slot_capacity = 0;
};

// Current node and its identifier; NULL / kTagNone when nothing is open.
inline hnode* current(const parse_state* s) { return s->open_count ? s->open[s->open_count - 1] : nullptr; }
inline uint8_t current_id(const parse_state* s) { return s->open_count ? s->open_ids[s->open_count - 1] : uint8_t(kTagNone); }

hnode* new_node(parse_state* s, uint8_t kind);
// Makes, places and pushes an element (name copied or constant, lower case).
hnode* open_element(parse_state* s, const char* name, size_t length, uint8_t id, uint8_t ns, hattr* attrs);
// Places a node made by the parser: the HTML5 filters, then the current
// node, the top-level list or foster parenting.
void place(parse_state* s, hnode* node);
// A text node for [start, end), decoded; NULL when it yields no text.
hnode* text_node(parse_state* s, const char* start, const char* end);
void bogus_comment(parse_state* s, const char* bytes, size_t length);
bool in_head_noscript(const parse_state* s);
bool is_int_point(const parse_state* s, size_t level);
uint8_t start_ns(const parse_state* s, const char* name, size_t length);
const char* script_scan(const char* start, const char* end);
bool input_type_hidden(const char* start, const char* end);

// ---- Active formatting elements (formatting.cpp) ----

// Level of e on the stack of open elements, or -1.
long stack_level(const parse_state* s, const hnode* e);
// Takes the element at level off the stack, closing the gap.
void stack_remove(parse_state* s, size_t level);
void afe_push_marker(parse_state* s, bool table);
// Remembers a formatting element just opened (at most three alike after the last marker).
void afe_push(parse_state* s, hnode* e);
void afe_remove(parse_state* s, size_t index);
// Drops the entries after the last marker and the marker itself.
void afe_clear_to_marker(parse_state* s);
// Closing a table: drops its marker and the cells inside it with their entries.
void afe_clear_to_table_marker(parse_state* s);
// Position of the last entry named name within the current scope, or -1.
long afe_find(const parse_state* s, const char* name, size_t length);
// Re-opens the formatting elements closed too early.
void reconstruct(parse_state* s);
// The adoption step for a formatting end tag; false when no entry of that
// name is in scope (the general end-tag rule applies then).
bool adoption(parse_state* s, const char* name, size_t length);
// The a and nobr rule before a new a or nobr opens.
void afe_close_previous(parse_state* s, const char* name, size_t length);
// Adds the attributes of a to stash, names not in it yet.
void stash_attrs(parse_state* s, attr_stash* stash, const hattr* a);
// Adds the stashed attributes e lacks.
bool apply_attrs(parse_state* s, hnode* e, const attr_stash* stash);

// Placing and dropping the pending text.
void flush_pending(parse_state* s);
inline void drop_pending(parse_state* s) { s->pending = s->pending_end = nullptr; }

// The scanning loop over the whole input (tokenizer and tree rules).
void run_parser(parse_state* s);
// Completion: the html root, head and body, the top-level chain.
bool complete_tree(parse_state* s);
// Writes the provisional tree into doc (tree_sink.cpp). False when memory ran out.
bool sink_document(parse_state* s, quorvel_document* doc);

// Tables of the standard's name adjustments for foreign content.
const char* svg_tag_name(const char* lower, size_t length);
const char* svg_attr_name(const char* lower, size_t length);

}  // namespace html
