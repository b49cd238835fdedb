// The document model's one internal header: the records, then the
// diagnostics and position records, the leaf creators, the element API, the
// reference decoders and the tree-building entry points.
//
// Every subsystem reads the record layouts inline, so field order, widths
// and offsets are fixed (checked by the static_asserts below); links are compact (see core.h) and always decoded relative to the
// start of the record that holds them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/core.h"

struct ser_buffer;
struct quorvel_dtd;
struct quorvel_element_index;
struct quorvel_xpath_function_registry;
struct quorvel_xpath_user_function;
struct quorvel_xpath_doc_order;

// ---- Node head and flags ------------------------------------------------------------

struct quorvel_node {
    int32_t kind;          // quorvel_node_kind
    uint32_t flags;        // kNodeFrozen / kTextCounted, kTextNoEscape, modification counter
    uint32_t source_pos;   // byte offset in the retained input + 1; 0 = none
};
static_assert(sizeof(quorvel_node) == 12);

constexpr uint32_t kNodeFrozen = 1u;      // elements: frozen
constexpr uint32_t kTextCounted = 1u;     // text: content is a counted run, maybe no NUL
constexpr uint32_t kTextNoEscape = 2u;    // text: written without escaping
constexpr uint32_t kModStep = 4u;         // bits 2-31 count modifications

// The start tag's attributes as written are read again from the document's
// retained input (quorvel_source_raw_attributes) rather than kept in a raw
// attribute list: most documents never ask for them.
constexpr uint8_t kElemRawInSource = 0x01;
constexpr uint8_t kElemAttrIndexed = 0x20;  // attributes entered in the attribute index
constexpr uint8_t kElemDocAddress = 0x40;   // name bytes preceded by the owning document's address
constexpr uint8_t kElemRegistered = 0x80;   // listed in the root registry

// Saturation values of the narrow counters: at the cap the true number is
// found by walking the chain (see quorvel_element_child_element_count).
constexpr uint8_t kAttrCountCap = 255;
constexpr uint16_t kChildCountCap = 65535;

// ---- Element ---------------------------------------------------------------------

struct quorvel_element {
    quorvel_node head;
    uint8_t eflags;          // kElem* bits
    uint8_t reserved;
    uint16_t name_hash;      // quorvel_name_hash16 of the local name
    uint8_t attr_count;      // saturates at kAttrCountCap
    uint8_t name_length;     // 255 for 255 bytes or more
    uint16_t child_count;    // element children; saturates at kChildCountCap
    int32_t ext;             // -> quorvel_element_ext, 0 = none
    int32_t parent;          // -> parent element, 0 for roots and detached elements
    int32_t first_child;     // -> first child of any kind
    int32_t next_sibling;
    int32_t first_attr;      // -> quorvel_attribute
    int32_t name;            // -> NUL-terminated local name
};
static_assert(sizeof(quorvel_element) == 44);
static_assert(offsetof(quorvel_element, eflags) == 12);
static_assert(offsetof(quorvel_element, name_hash) == 14);
static_assert(offsetof(quorvel_element, attr_count) == 16);
static_assert(offsetof(quorvel_element, name_length) == 17);
static_assert(offsetof(quorvel_element, child_count) == 18);
static_assert(offsetof(quorvel_element, ext) == 20);
static_assert(offsetof(quorvel_element, parent) == 24);
static_assert(offsetof(quorvel_element, first_child) == 28);
static_assert(offsetof(quorvel_element, next_sibling) == 32);
static_assert(offsetof(quorvel_element, first_attr) == 36);
static_assert(offsetof(quorvel_element, name) == 40);

struct quorvel_ns_decl {
    char* prefix;  // NULL for the default namespace
    char* uri;     // "" for an undeclaration
    quorvel_ns_decl* next;
};

struct quorvel_raw_attribute {
    char* qname;
    char* raw_value;  // as written: not normalised, not decoded
    quorvel_raw_attribute* next;
};

struct quorvel_element_ext {
    char* prefix;              // without colon, NULL for none
    char* ns_uri;              // cached resolved namespace URI, NULL until resolved
    quorvel_ns_decl* ns_decls;
    quorvel_raw_attribute* raw_attrs;  // document parser only
    uint32_t child_changes;    // +1 on every change of the children
    uint32_t cache_counter;    // child_changes when the indexed-child cache was taken
    uint32_t cache_index;
    // -> the element's text as quorvel_element_text last copied it for mixed
    // content (a pool string), 0 = none. Reused while the text is unchanged.
    int32_t text_copy;
    quorvel_node* cache_child; // NULL when the cache is empty
};
static_assert(sizeof(quorvel_element_ext) == 56);
static_assert(offsetof(quorvel_element_ext, child_changes) == 32 &&
              offsetof(quorvel_element_ext, text_copy) == 44 &&
              offsetof(quorvel_element_ext, cache_child) == 48);

// ---- Attribute (not a node) ---------------------------------------------------------

constexpr uint64_t kAttrInlineValue = uint64_t(1) << 63;
constexpr uint16_t kAttrPendingEntities = 0x8000;
constexpr uint16_t kAttrHashMask = 0x7FFF;

struct quorvel_attribute {
    const char* name;         // qualified name as written, NUL-terminated
    size_t name_length;
    union {
        const char* value;    // NUL-terminated value
        char inline_value[8]; // up to 7 bytes and a NUL when kAttrInlineValue is set
    };
    uint64_t value_length;    // bits 0-62 byte length, bit 63 inline flag
    int32_t ns;               // -> quorvel_attr_ns, 0 for names without a colon
    int16_t next;             // 16-bit link in 8-byte units, 0 = last
    uint16_t hash;            // bits 0-14 cached name hash (0 = not computed), bit 15 pending entities
};
static_assert(sizeof(quorvel_attribute) == 40);
static_assert(offsetof(quorvel_attribute, value) == 16);
static_assert(offsetof(quorvel_attribute, ns) == 32);
static_assert(offsetof(quorvel_attribute, next) == 36);
static_assert(offsetof(quorvel_attribute, hash) == 38);

struct quorvel_attr_ns {
    quorvel_string_view uri_view;  // as found by the parser, empty when not recorded
    char* prefix;                  // bytes before the colon
    char* ns_uri;                  // NULL until resolved
    quorvel_element* owner;
};
static_assert(sizeof(quorvel_attr_ns) == 40);

// ---- Leaf records --------------------------------------------------------------------

struct quorvel_text {
    quorvel_node head;
    int32_t content;       // 0 or kTextEmpty = empty
    uint32_t length;       // content bytes
    int32_t next_sibling;
    int32_t parent;
    int32_t owner;         // -> quorvel_document for document-made text, else 0
};
static_assert(sizeof(quorvel_text) == 32);
static_assert(offsetof(quorvel_text, next_sibling) == 20 && offsetof(quorvel_text, parent) == 24);

// Comments (kind 2), CDATA sections (3) and entity references (10).
struct quorvel_comment {
    quorvel_node head;
    char* content;         // entity references: the name without '&' and ';'
    int32_t next_sibling;
    int32_t parent;
    quorvel_document* owner;
};
static_assert(sizeof(quorvel_comment) == 40);
static_assert(offsetof(quorvel_comment, next_sibling) == 24 && offsetof(quorvel_comment, parent) == 28);

struct quorvel_pi {
    quorvel_node head;
    char* target;
    char* data;            // NULL when there is no data
    int32_t next_sibling;
    int32_t parent;
    quorvel_document* owner;
};
static_assert(sizeof(quorvel_pi) == 48);
static_assert(offsetof(quorvel_pi, next_sibling) == 32 && offsetof(quorvel_pi, parent) == 36);

struct quorvel_doctype {
    quorvel_node head;
    char* name;
    char* public_id;
    char* system_id;
    char* internal_subset;
};
static_assert(sizeof(quorvel_doctype) == 48);

struct quorvel_document_node_record {
    quorvel_node head;
    int32_t text_copy;  // as quorvel_element_ext::text_copy, for the document node
    quorvel_document* document;
};
static_assert(offsetof(quorvel_document_node_record, document) == 16);

// ---- Per-kind descriptors -----------------------------------------------------------

// The node table, indexed by kind (NULL for kinds without records). The
// document model only declares it: the output subsystem defines it, since
// the slot that matters is the writer of each kind.

using quorvel_serialize_op = void (*)(const quorvel_node* node, ser_buffer* buffer);

struct quorvel_node_vtable {
    quorvel_serialize_op serialize;
    const char* kind_name;
    int kind;
};

extern const quorvel_node_vtable kElementVtable, kTextVtable, kCommentVtable, kCdataVtable, kPiVtable,
    kDoctypeVtable, kDocumentVtable, kEntityRefVtable;
extern const quorvel_node_vtable* const g_node_vtables[11];

// Link fields of any node kind; NULL for kinds without them.
inline int32_t* quorvel_node_parent_field(const quorvel_node* n) {
    auto* base = reinterpret_cast<char*>(const_cast<quorvel_node*>(n));
    switch (n->kind) {
        case QUORVEL_NODE_ELEMENT: return reinterpret_cast<int32_t*>(base + 24);
        case QUORVEL_NODE_TEXT: return reinterpret_cast<int32_t*>(base + 24);
        case QUORVEL_NODE_COMMENT:
        case QUORVEL_NODE_CDATA:
        case QUORVEL_NODE_ENTITY_REF: return reinterpret_cast<int32_t*>(base + 28);
        case QUORVEL_NODE_PI: return reinterpret_cast<int32_t*>(base + 36);
        default: return nullptr;
    }
}
inline int32_t* quorvel_node_sibling_field(const quorvel_node* n) {
    auto* base = reinterpret_cast<char*>(const_cast<quorvel_node*>(n));
    switch (n->kind) {
        case QUORVEL_NODE_ELEMENT: return reinterpret_cast<int32_t*>(base + 32);
        case QUORVEL_NODE_TEXT: return reinterpret_cast<int32_t*>(base + 20);
        case QUORVEL_NODE_COMMENT:
        case QUORVEL_NODE_CDATA:
        case QUORVEL_NODE_ENTITY_REF: return reinterpret_cast<int32_t*>(base + 24);
        case QUORVEL_NODE_PI: return reinterpret_cast<int32_t*>(base + 32);
        default: return nullptr;
    }
}

// ---- Small inline readers ----------------------------------------------------------------

// Kinds that stand in sibling chains (children and the top-level list); a
// walk that meets any other kind ends there.
inline bool quorvel_node_chain_kind(const quorvel_node* n) {
    switch (n->kind) {
        case QUORVEL_NODE_ELEMENT:
        case QUORVEL_NODE_TEXT:
        case QUORVEL_NODE_COMMENT:
        case QUORVEL_NODE_CDATA:
        case QUORVEL_NODE_PI:
        case QUORVEL_NODE_ENTITY_REF: return true;
        default: return false;
    }
}

inline quorvel_node* quorvel_node_parent_raw(const quorvel_node* n) {
    int32_t* f = quorvel_node_parent_field(n);
    return f ? static_cast<quorvel_node*>(quorvel_link_get(n, f)) : nullptr;
}
inline quorvel_node* quorvel_node_next_raw(const quorvel_node* n) {
    int32_t* f = quorvel_node_sibling_field(n);
    return f ? static_cast<quorvel_node*>(quorvel_link_get(n, f)) : nullptr;
}
inline quorvel_node* quorvel_elem_first_child_raw(const quorvel_element* e) {
    return static_cast<quorvel_node*>(quorvel_link_get(e, &e->first_child));
}
inline const char* quorvel_elem_name_raw(const quorvel_element* e) {
    return static_cast<const char*>(quorvel_link_get(e, &e->name));
}
inline quorvel_element_ext* quorvel_elem_ext(const quorvel_element* e) {
    return static_cast<quorvel_element_ext*>(quorvel_link_get(e, &e->ext));
}
inline quorvel_attribute* quorvel_elem_first_attr(const quorvel_element* e) {
    return static_cast<quorvel_attribute*>(quorvel_link_get(e, &e->first_attr));
}
inline quorvel_attribute* quorvel_attr_next(const quorvel_attribute* a) {
    return static_cast<quorvel_attribute*>(quorvel_link16_get(a, &a->next));
}

inline uint16_t quorvel_name_hash16(const char* name, size_t len) {
    uint32_t h = 0x811C;
    for (size_t i = 0; i < len; i++) h = ((h ^ static_cast<unsigned char>(name[i])) * 403u) & 0xFFFFu;
    return static_cast<uint16_t>(h);
}

// True number of element children / attributes, walking the chain when the
// narrow counter has saturated.
size_t quorvel_element_child_element_count(const quorvel_element* e);
size_t quorvel_element_attribute_count(const quorvel_element* e);
// Counter maintenance for creators and mutators: saturating increment, and a
// decrement that recounts once the counter had saturated.
void quorvel_element_child_count_inc(quorvel_element* e);
void quorvel_element_child_count_dec(quorvel_element* e);
void quorvel_element_attr_count_inc(quorvel_element* e);
void quorvel_element_attr_count_dec(quorvel_element* e);

// ---- Diagnostics and position records ---------------------------------------------------------

struct quorvel_diag {
    int code;
    char* element;   // malloc'd copy of the element name, or NULL
    int line;
    int column;
    int third;
    char message[256];
};

struct quorvel_elem_pos {
    quorvel_element* element;
    uint32_t start;  // just past the start tag
    uint32_t end;
};

// The position of a parsed element that lies in its parser's element area:
// the span at index i belongs to the i-th record of the area, so it needs no
// element pointer (8 bytes an element instead of 16).
struct quorvel_elem_span {
    uint32_t start;  // just past the start tag
    uint32_t end;
};

// ---- Document ------------------------------------------------------------------------------------

struct quorvel_root_entry;

// A slot of the binding wrapper map; a NULL node marks a free slot.
struct quorvel_wrapper_slot {
    const quorvel_node* node;
    void* value;
};

struct quorvel_last_child_slot {
    quorvel_element* parent;
    quorvel_node* last;
};

// Where the line feeds of a parsed input lie, for lines and columns of
// source positions: the low 16 bits of each LF's offset, in order, and per
// 64 KiB block of the input the number of LFs before it (block_first has
// blocks + 1 entries, the last the total). Two bytes a line instead of a
// copy of the input.
struct quorvel_line_index {
    uint16_t* low;
    uint32_t* block_first;
    size_t count;
    size_t capacity;
    size_t blocks;
    size_t filled;  // block_first entries written so far
    int failed;     // out of memory while building: no lines
};

// Starts an index for an input of length bytes (up to 4 GiB); false when
// out of memory. Each LF offset is then added in increasing order, and
// finish seals it.
bool quorvel_line_index_init(quorvel_line_index* index, size_t length);
bool quorvel_line_index_grow(quorvel_line_index* index, size_t room);
inline void quorvel_line_index_add(quorvel_line_index* index, size_t offset) {
    auto block = offset >> 16;
    while (index->filled <= block) index->block_first[index->filled++] = static_cast<uint32_t>(index->count);
    index->low[index->count++] = static_cast<uint16_t>(offset);
}
// Adds the LFs of text[0, length) found at base + their offset.
void quorvel_line_index_scan(quorvel_line_index* index, const char* text, size_t length, size_t base);
void quorvel_line_index_finish(quorvel_line_index* index);
void quorvel_line_index_free(quorvel_line_index* index);
// Number of LFs before offset, and the offset of LF number i.
size_t quorvel_line_index_before(const quorvel_line_index* index, size_t offset);
size_t quorvel_line_index_at(const quorvel_line_index* index, size_t i);

struct quorvel_document {
    // First: core ties overflow entries to a document through it (see
    // quorvel_overflow_list_of).
    quorvel_overflow_entry* overflow_entries;
    quorvel_element* secondary_root;
    quorvel_diag* diags;
    int32_t diag_count;
    int32_t diag_capacity;
    int exslt_enabled;
    void* running_transform;
    void* schematron_keys;
    char* declared_encoding;          // malloc'd
    quorvel_node* first_top;          // top-level list, chained by next-sibling links
    quorvel_node* last_top;
    int64_t refcount;
    quorvel_element* root;
    quorvel_document_node_record* document_node;
    quorvel_document** owned;
    size_t owned_count;
    size_t owned_capacity;
    quorvel_document* owner;          // set by absorb
    int32_t pending_frees;
    int32_t owner_released;
    char* declared_version;           // malloc'd
    int32_t standalone;               // -1 undeclared, 0 no, 1 yes
    int32_t has_declaration;
    int32_t namespaces_in_use;
    quorvel_doctype* doctype;
    quorvel_dtd* dtd;
    quorvel_pool* pool;
    void* caller_values[2];
    // The parsed input's length; its line ends are in lines (source
    // positions), the input itself is not kept. The working copy remembers
    // how it must be released.
    size_t retained_length;
    char* working_copy;
    int32_t working_not_owned;
    quorvel_release_fn working_release;
    quorvel_wrapper_slot* wrapper_slots;
    size_t wrapper_count;
    size_t wrapper_capacity;
    int32_t is_html;
    int32_t pos_in_pool;  // pos_records lies in the document's pool, not malloc'd
    quorvel_line_index lines;
    quorvel_elem_pos* pos_records;
    size_t pos_count;
    size_t pos_capacity;
    quorvel_elem_pos* pos_index;    // open-addressing copies of the records (malloc)
    size_t pos_index_capacity;
    size_t pos_index_built_count;
    // Spans of the elements of the parser's element area (see
    // quorvel_elem_span); pos_records hold the positions of any other
    // parsed element. pos_spans_in_pool: the array lies in the pool.
    quorvel_elem_span* pos_spans;
    const quorvel_element* pos_span_elements;
    size_t pos_span_count;
    int32_t pos_spans_in_pool;
    void* attribute_index;
    quorvel_element* last_attr_element;
    quorvel_attribute* last_attr;
    void* elem_blocks;
    quorvel_element* elem_next;
    quorvel_element* elem_end;
    quorvel_root_entry* registry_entries;
    void* name_chunks;
    char* name_next;
    char* name_end;
    void* attr_blocks;
    quorvel_attribute* attr_next;
    quorvel_attribute* attr_end;
    int32_t strict;
    quorvel_element_index* element_index;
    uint32_t descendant_scans;
    quorvel_xpath_doc_order* doc_order;
    uint32_t change_counter;
    quorvel_last_child_slot last_child_cache[64];
    quorvel_document* adopted_head;
    quorvel_document* adopted_tail;
    quorvel_document* adopted_next;   // link within the adopter's list
    quorvel_document* adopter;        // the document whose adopted list holds this one
    quorvel_xpath_user_function* user_functions;
    int32_t record_in_pool;
    quorvel_xpath_function_registry* function_registry;
    char error_text[256];
};

static_assert(offsetof(quorvel_document, overflow_entries) == 0, "core reads the list head at the start");

// Sizes of the blocks elements, names and attributes are made in.
constexpr size_t kElementBlockBytes = 1024 * sizeof(quorvel_element) + 8;
constexpr size_t kNameChunkBytes = 4104;
constexpr size_t kAttrBlockBytes = 128 * sizeof(quorvel_attribute) + 8;
static_assert(kElementBlockBytes == 45064 && kAttrBlockBytes == 5128);

// True when doc's pool is a reserved range with room left: records made
// after the parse come from it too, near the parsed ones, rather than from
// malloc'd blocks that the links to them could not reach.
inline bool quorvel_document_grows_in_range(const quorvel_document* doc) {
    const quorvel_arena* a = doc->pool ? doc->pool->arena : nullptr;
    return a && a->mapped && a->capacity - a->used >= kElementBlockBytes;
}

// ---- Document lifecycle and registry --------------------------------------------------------------

quorvel_document* quorvel_document_new(int html);
// A new document whose record lives in pool, initialised as a new document
// is; NULL (with the pool destroyed) when the pool has no room for it.
quorvel_document* quorvel_document_place(quorvel_pool* pool);
// Initialises a record placed by a parser in its own pool.
void quorvel_document_init(quorvel_document* doc, quorvel_pool* pool);
quorvel_document* quorvel_element_get_document(const quorvel_element* e);
// The attributes of the start tag at byte offset of doc's retained input,
// as written, pointing into the working copy where the document parser
// NUL-terminated them. Fills up to capacity pairs and returns how many it
// filled; with both arrays NULL it counts them all.
size_t quorvel_source_raw_attributes(const quorvel_document* doc, size_t offset, const char** names,
                                     const char** values, size_t capacity);
void quorvel_root_doc_register(quorvel_element* root, quorvel_document* doc);
// Takes a node out of a document's top-level list and clears its own next
// link: -6 when the node is not in the list, -1 (list unchanged) when the
// link around it cannot be recorded.
[[nodiscard]] quorvel_status quorvel_document_unlink_top(quorvel_document* doc, quorvel_node* node);
// Raises the registry generation so every thread's memo stops matching.
void quorvel_rootmap_bump();
uint64_t quorvel_rootmap_generation();
void quorvel_memo_reset();

quorvel_node* quorvel_document_get_node(quorvel_document* doc);
quorvel_document* node_public_document(const quorvel_node* node);
quorvel_node* quorvel_node_first_child_internal(const quorvel_node* node);
void quorvel_node_freeze(quorvel_node* node);
// False, with the link unchanged, when it does not fit and no overflow entry
// can be made: the caller must undo what it linked before and report it.
[[nodiscard]] bool quorvel_node_set_next_sibling(quorvel_node* node, quorvel_node* next);
[[nodiscard]] bool quorvel_elem_set_first_child(quorvel_element* element, quorvel_node* child);
// Ends the list at node: storing "none" cannot fail.
void quorvel_node_clear_next_sibling(quorvel_node* node);

quorvel_element* quorvel_element_copy(quorvel_element* source, quorvel_document* target);
void quorvel_element_index_free(quorvel_element_index* index);
void quorvel_diag_free_all(quorvel_document* doc);

// ====================================================================================
// Records the parsers keep about a document beside its tree: recoverable
// problems (diagnostics lists, also used by validators on their own
// handles) and per-element source-position records.

// Appends one record to a diagnostics list {array, count, capacity}; grows
// to 8 records, then doubles. With a node, its local name is copied (malloc)
// when it is an element. Returns the record, or NULL when the array cannot
// grow (nothing recorded, list intact). The message is cut at 255 bytes.
quorvel_diag* quorvel_diag_emit(quorvel_diag** list, int* count, int* capacity, int code, const quorvel_node* node,
                                const char* format, ...) __attribute__((format(printf, 6, 7)));

// Appends {element, first, second} to the document's position records and
// returns its index, or -1 for NULL arguments or no memory. The array is
// heap memory released by document freeing.
int quorvel_elem_pos_record(quorvel_document* doc, quorvel_element* element, uint32_t first, uint32_t second);

// ====================================================================================
// Leaf nodes (text, comment, CDATA, processing instruction, entity
// reference, doctype): the pool creators every tree builder uses, the
// internal content reader and entity-reference resolution. A new leaf is
// always detached; callers link it and, for a top-level node, set its owner.

// Each creator copies its strings into the pool (record and strings in one
// block when the pool can hand one out) and returns NULL for a NULL pool or
// when memory runs out. text may be NULL only with a length of 0. doc only
// ties an overflowed content link to that document.
quorvel_text* quorvel_text_create(const char* text, size_t length, quorvel_pool* pool, quorvel_document* doc);
quorvel_comment* quorvel_comment_create(const char* text, size_t length, quorvel_pool* pool);
quorvel_comment* quorvel_cdata_create(const char* text, size_t length, quorvel_pool* pool);
// NULL for a NULL target or a target length of 0; a data length of 0 gives no data.
quorvel_pi* quorvel_pi_create(const char* target, size_t target_length, const char* data, size_t data_length,
                              quorvel_pool* pool);
// Entity references use the comment layout; content is the name. NULL for an empty name.
quorvel_comment* quorvel_entity_ref_create(const char* name, size_t length, quorvel_pool* pool);
// Name held inline behind the record; NULL for a NULL name.
quorvel_doctype* quorvel_doctype_create(const char* name, size_t length, quorvel_pool* pool);

// Content of a text (or CDATA) record without a kind test; "" when empty.
const char* quorvel_text_get_content(const quorvel_text* text);

// Replacement text of an entity-reference node: the five predefined
// entities without a document, else the internal entities of the owning
// document's DTD (created empty on first use), unexpanded. NULL otherwise.
const char* quorvel_entity_ref_resolve(const quorvel_node* node);

// ====================================================================================
// Internal entry points of the element API: names and namespaces, attribute
// lookup and value reading, children and text. Other subsystems (XPath, XSLT,
// the serializer, schemas, copy and mutation code) call these rather than the
// exports. Mutation code must keep the namespace caches honest through the
// two clear functions below.

// ---- Extension records ------------------------------------------------------------

// A new, all-zero extension record for e from doc's pool, linked from e.
// NULL when memory runs out (e is unchanged then).
quorvel_element_ext* quorvel_element_ext_create(quorvel_element* e, quorvel_document* doc);

// ---- Names and namespaces ---------------------------------------------------------

// Local name; NULL for NULL, a non-element, an unnamed element, or a name
// link this thread cannot read.
const char* quorvel_element_get_name(const quorvel_element* e);

// URI bound to prefix (NULL = the default namespace) by the nearest
// declaration on e or an ancestor, as stored ("" for an undeclaration);
// NULL when none. "xml" has no built-in binding here.
const char* quorvel_element_lookup_namespace(const quorvel_element* e, const char* prefix);
// The same for a prefix given by pointer and length (not NUL-terminated).
const char* quorvel_element_lookup_namespace_n(const quorvel_element* e, const char* prefix, size_t length);

// The element's namespace URI: NULL when it is in no namespace. Resolved on
// first use and cached in the extension record (ns_uri), pointing at the
// declaration's own URI string, which the document keeps until it is freed.
const char* quorvel_element_get_namespace_uri(quorvel_element* e);

// The cache holds until one of the clear functions runs. Callers:
// - after e's prefix changed (rename, move into a namespace):
//   quorvel_element_namespace_cache_clear(e);
// - after a namespace declaration on e was added or removed (done by the
//   declaration functions of this API), and whenever an element leaves a
//   parent element (unlink, removal, the detach step of a move):
//   quorvel_namespace_cache_clear_subtree(e).
// Linking a node that has no parent element needs nothing: every URI cached
// inside a detached subtree was found inside it and stays the nearest.
void quorvel_element_namespace_cache_clear(quorvel_element* e);
void quorvel_namespace_cache_clear_subtree(quorvel_element* e);

// Declaration number index of e: its own declaration list first, then its
// declaration attributes ("xmlns", "xmlns:p") in attribute order. 1 with
// both outputs written, 0 past the end.
int element_namespace_decl_at(const quorvel_element* e, size_t index, const char** prefix, const char** uri);

// ---- Attributes -------------------------------------------------------------------------

// The namespace the prefix "xml" is bound to without a declaration.
extern const char kXmlNamespaceUri[];

// The 15-bit attribute name hash cached in bits 0-14 of the hash word; never 0.
uint16_t quorvel_attribute_hash15(const char* name, size_t length);

quorvel_attribute* quorvel_element_get_first_attribute(const quorvel_element* e);
// First attribute whose stored name (prefix included) is exactly these bytes.
quorvel_attribute* quorvel_dom_attr_find(quorvel_element* e, const char* name, size_t length);
// First attribute of e with this expanded name; uri NULL or "" = no namespace.
quorvel_attribute* find_attr_expanded_len(quorvel_element* e, const char* uri, const char* local_name,
                                          size_t local_length);

// The value as stored (inline bytes or pointer), references not decoded;
// "" for an empty value.
inline const char* quorvel_attribute_stored_value(const quorvel_attribute* a) {
    if (a->value_length & kAttrInlineValue) return a->inline_value;
    return a->value ? a->value : "";
}
// The value, decoding pending references into the owner's document pool on
// first read (the record then holds the decoded text). Without a document,
// or when decoding fails, the raw text and the pending flag stay.
const char* quorvel_attribute_read_value(quorvel_element* owner, quorvel_attribute* a);

// Several threads may read one parsed document at once. The results readers
// store into it lazily (pending attribute values decoded, the document node,
// pooled text copies) are made under the document's lazy lock, one of a few
// process-wide locks picked by the document's address, and published last
// with a release store that the fast paths read with an acquire load.
void quorvel_document_lazy_lock(const quorvel_document* doc);
void quorvel_document_lazy_unlock(const quorvel_document* doc);
// Whether the value still holds references; the acquire pairs with the
// store that publishes a decoded value.
inline bool quorvel_attribute_pending(const quorvel_attribute* a) {
    return (__atomic_load_n(&a->hash, __ATOMIC_ACQUIRE) & kAttrPendingEntities) != 0;
}
// The value and its byte length (when length is not NULL), pending
// references decoded into doc's pool under its lazy lock and published, as
// quorvel_attribute_read_value does; the raw text without doc.
const char* quorvel_attribute_decode_in(quorvel_document* doc, quorvel_attribute* a, size_t* length);

// Marks every attribute-index entry of e's attributes removed (the index
// belongs to attribute mutation; see placeholders until it is built).
void attr_index_forget_element(quorvel_document* doc, quorvel_element* e);

// ---- Children and text --------------------------------------------------------------------

// All descendant text of an element or the document node, in document
// order, entity references resolved: a malloc'd string the caller frees with
// quorvel_free_string; NULL for NULL or when memory runs out.
char* quorvel_element_get_text_content(const quorvel_node* node);

// ====================================================================================
// Decoding of character and entity references in stored values: the lazy
// decoder the attribute getters, parsers, serializer and canonicalization
// share, its variant that also expands a DTD's entities, and the finalize
// walk (the character-reference pieces they share are in core.h). Every
// caller treats a NULL result as "keep the raw text", so nothing is ever
// lost.

// Decodes a raw value: the five predefined entities and character
// references; undeclared references fail in strict mode (the thread's
// setting) and are copied as written otherwise. The result lives in the
// pool, or is malloc'd (free it with free) when pool is NULL. An empty or
// missing view gives "". NULL when the value cannot be decoded or memory
// ran out; then nothing stays allocated.
char* quorvel_decode_entities_view(const quorvel_string_view* view, quorvel_pool* pool);

// The same with the DTD's internal general entities expanded too (strict
// mode plays no part). NULL when the expansion fails: recursion, a
// malformed character reference, an expansion beyond the size limit (the
// thread's last-error text then says so) or no memory.
char* quorvel_decode_entities_view_with_dtd(const quorvel_string_view* view, quorvel_dtd* dtd,
                                            quorvel_pool* pool);

// Decodes every pending attribute value of root's subtree into the pool and
// fills the NUL-terminated URI of their namespace records. Values that do
// not decode stay raw and pending. 0 only when memory for the walk ran out
// (part of the subtree is then left as it was), else 1.
int finalize_element_strings(quorvel_element* root, quorvel_pool* pool);

// ====================================================================================
// Internal entry points for building and changing trees: element creation,
// the linking step tree builders splice with, raw attribute appends, bulk
// removal, deep copies and the element index the XPath engine reads.
// Every change of a child list ends with tree_structure_changed, so caches
// keyed on structure (element index, indexed child, document order) drop.

// ---- Element creation ------------------------------------------------------------

// A new element in the pool, with no document and not registered: it finds
// its document once it is linked below an element that has one. The name
// is split at its first colon into prefix and local name (copies: a name
// interned in the pool is never written). NULL for a NULL name or pool, a
// length of 0 or no memory.
quorvel_element* quorvel_element_create_with_view(const char* name, size_t length, quorvel_pool* pool);

// ---- Linking --------------------------------------------------------------------------

// The linking step: K becomes P's last child. K is first detached from its
// parent when it has one; its own next-sibling link is cleared. last_child,
// when given, must be P's current last child (the caller vouches); otherwise
// the document's last-child cache or a walk finds it. Nodes of kinds that
// cannot be children are ignored, and so is a P that is not an element. Only
// P's modification counter moves: callers do the structural bookkeeping
// (tree_structure_changed) themselves. K must belong to P's document
// already and must not be an ancestor of P.
void quorvel_element_append_child_hint_doc(quorvel_element* parent, quorvel_node* child, quorvel_document* doc,
                                           quorvel_node* last_child);
// The same without a hint; nothing happens when parent or child is NULL.
void quorvel_element_append_child_internal_doc(quorvel_element* parent, quorvel_node* child, quorvel_document* doc);

// The bookkeeping every change of P's children ends with: the document's
// change counter moves and its element index is dropped; P's extension
// record (if any) counts a child change and forgets its indexed child.
// doc may be NULL (then only the extension record is touched).
void tree_structure_changed(quorvel_element* parent, quorvel_document* doc);

// ---- Attributes --------------------------------------------------------------------------

// Appends an attribute without a duplicate check, for builders of fresh
// elements: the value is decoded at once when it holds '&' (kept raw and
// marked pending when it does not decode). Neither the attribute index nor
// the last-attribute cache is updated, so it must not be used on an element
// quorvel_element_set_attribute has worked on. False, with nothing added,
// for a NULL element, name or pool, a name length of 0, or no memory.
bool quorvel_element_add_attribute(quorvel_element* element, const char* name, size_t name_length,
                                   const char* value, size_t value_length, quorvel_pool* pool);

// NUL-terminated copy of n bytes from the document's name chunks (the 8
// bytes before it hold the document's address). NULL for n + 1 > 1024 or
// when no chunk can be had.
char* mut_str_carve(quorvel_document* doc, const char* s, size_t n);

// ---- Removal -------------------------------------------------------------------------------

// Detaches every child of an element, or every top-level node of the
// document node (which also clears the document's root). Removed elements
// are registered as roots of their document. 0, -4 for NULL.
quorvel_status quorvel_element_remove_all_children(quorvel_node* parent);

// ---- Copies ---------------------------------------------------------------------------------

// A deep copy of source made in pool for doc (which may be NULL), not
// registered and not entered in parent's child list; its parent link names
// parent (NULL: detached). The copy carries the namespace bindings source
// had in scope, so it resolves its names on its own. NULL for a non-element
// or unnamed source, or no memory for the top element (descendants,
// attributes and declarations that cannot be made are left out).
quorvel_element* copy_subtree_detached(const quorvel_element* source, quorvel_element* parent, quorvel_pool* pool,
                                       quorvel_document* doc);

// ---- Element index --------------------------------------------------------------------------

// A snapshot of the primary root's subtree, all of it heap memory owned by
// the index. Positions are indexes into the element array (pre-order); a
// tree of 2^32 elements or more gets no index.
struct quorvel_element_index_value {
    const char* value;  // the value as readers see it (references decoded); not NUL-terminated
    size_t length;
    quorvel_element* const* elements;  // document order
    const uint32_t* positions;         // parallel to elements
    size_t count;
    uint32_t hash;
};

// The values of one attribute name grouped for lookup: made on the first
// value lookup of that name and kept with the index.
struct quorvel_element_index_values;

struct quorvel_element_index_attribute {
    char* name;  // stored qualified name, prefix included
    size_t length;
    quorvel_element** elements;
    quorvel_attribute** records;  // parallel to elements
    size_t count;
    size_t capacity;
    uint32_t* positions;
    quorvel_element_index_values* values;  // NULL until the first value lookup (atomic)
};

struct quorvel_element_index_name {
    char* name;  // local name
    size_t length;
    quorvel_element** elements;
    size_t count;
    size_t capacity;
    uint32_t* positions;
};

struct quorvel_element_index {
    quorvel_element** elements;  // pre-order
    size_t element_count;
    uint32_t* subtree_ends;  // position of the last element inside each subtree
    quorvel_element_index_name* names;
    size_t name_count;
    size_t name_capacity;
    quorvel_element_index_attribute* attributes;
    size_t attribute_count;
    size_t attribute_capacity;
    uint32_t* name_slots;       // open addressing: entry number + 1, 0 free
    uint32_t* attribute_slots;  // the same for attribute entries
    size_t name_slot_count;     // powers of two
    size_t attribute_slot_count;
    void* storage;  // one block holding every array of elements and positions above
};

// A new index of doc's primary root subtree; NULL for a NULL document, no
// root, or no memory. The caller keeps it (in doc->element_index).
quorvel_element_index* quorvel_element_index_build(quorvel_document* doc);
// The entry of a local name, or of a qualified attribute name; NULL when no
// element has it.
const quorvel_element_index_name* quorvel_element_index_find_name(const quorvel_element_index* index,
                                                                  const char* name, size_t length);
const quorvel_element_index_attribute* quorvel_element_index_find_attribute(const quorvel_element_index* index,
                                                                            const char* name, size_t length);
// The elements whose attribute of this entry has exactly these bytes as its
// value, as readers see it: *found is NULL when no element has (an empty
// value is never grouped). The values of a name are grouped on its first
// lookup, safely while other threads look up too. False when they cannot be
// (no memory): the caller then walks the tree instead.
bool quorvel_element_index_find_value(const quorvel_element_index_attribute* entry, const char* value,
                                      size_t length, const quorvel_element_index_value** found);
// The same for a NUL-terminated value; NULL when none, or no memory.
const quorvel_element_index_value* quorvel_element_index_attr_lookup_value(
    const quorvel_element_index_attribute* entry, const char* value);
// Distinct non-empty values of the entry (grouping them first); 0 when no memory.
size_t quorvel_element_index_value_count(const quorvel_element_index_attribute* entry);
// Frees doc's element index, if any, and clears the field.
inline void quorvel_document_drop_element_index(quorvel_document* doc) {
    if (doc && doc->element_index) {
        quorvel_element_index_free(doc->element_index);
        doc->element_index = nullptr;
    }
}

// ---- Shared by the tree files ---------------------------------------------------------------

// Kinds that can be children: element, text, comment, CDATA, PI, entity reference.
inline bool tree_linkable(const quorvel_node* n) {
    return n && ((n->kind >= QUORVEL_NODE_ELEMENT && n->kind <= QUORVEL_NODE_PI) || n->kind == QUORVEL_NODE_ENTITY_REF);
}

// Writes a link through the checked writer; when the overflow entry cannot
// be made the field keeps its old value and the answer is false.
[[nodiscard]] inline bool tree_link_write(const void* holder, int32_t* field, const void* target, quorvel_document* doc) {
    int32_t old = *field;
    if (quorvel_link_set(holder, field, target, doc)) return true;
    *field = old;
    return false;
}

// True for a qualified name with an empty prefix or local part (":a",
// "a:", ":"): the parsers refuse those, so the tree never takes one and its
// output always parses back.
inline bool tree_name_has_empty_part(const char* name, size_t length) {
    return length && (name[0] == ':' || name[length - 1] == ':');
}

// The document a node of any kind belongs to, or NULL.
quorvel_document* tree_node_document(const quorvel_node* node);

// A name entry: n bytes and a NUL behind doc's address (flag 0x40 layout),
// from a name chunk or, for long names, the pool. NULL when out of memory.
char* tree_name_entry(quorvel_document* doc, const char* s, size_t n);
// e's extension record, created (zeroed) from doc's pool when it has none.
quorvel_element_ext* tree_ext(quorvel_element* e, quorvel_document* doc);
// Gives e a new local name (stored behind doc's address, flag 0x40 set) and
// prefix; has_prefix false clears the prefix. False, with e unchanged, when
// memory runs out.
bool tree_set_element_name(quorvel_element* e, quorvel_document* doc, const char* local, size_t local_length,
                           const char* prefix, size_t prefix_length, bool has_prefix);

// quorvel_node_unlink: takes a node out of its parent's child list.
quorvel_status tree_unlink(quorvel_node* node);
// Takes a node out of wherever it sits before it moves: its parent's child
// list, or its document's top-level list (then, unless keep_root, it stops
// being the document's root). A detached node needs nothing.
quorvel_status tree_detach(quorvel_node* node, bool keep_root);
// True when node is in doc's top-level list (or is its root while the list
// is empty); *prev receives its predecessor, NULL for the first.
bool tree_top_level_find(quorvel_document* doc, const quorvel_node* node, quorvel_node** prev);
// Bookkeeping of a change of the document's top-level list.
void tree_top_level_changed(quorvel_document* doc);
// Records doc as the owner of a leaf placed at top level; false (owner
// unchanged) when a text's owner link cannot be recorded.
[[nodiscard]] bool tree_set_leaf_owner(quorvel_node* node, quorvel_document* doc);

// A copy of one leaf (text, comment, CDATA, PI, entity reference) in pool,
// detached and without owner; NULL for other kinds or no memory.
quorvel_node* tree_copy_leaf(const quorvel_node* leaf, quorvel_pool* pool, quorvel_document* doc);

// The node itself when it can be linked into a tree of target as it is, or
// a copy made in target (an element of another document is deep-copied, a
// leaf of another document is copied alone); NULL when the copy fails.
quorvel_node* adopt_for_splice(quorvel_node* node, quorvel_document* target);
