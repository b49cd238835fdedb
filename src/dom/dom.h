// The document model's records. Every subsystem reads these layouts inline,
// so field order, widths and offsets are fixed (checked by the static_asserts
// below); links are compact (see core.h) and always decoded relative to the
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

using quorvel_serialize_op = void (*)(const quorvel_node* node, ser_buffer* buffer);

struct quorvel_node_vtable {
    quorvel_serialize_op serialize;
    const char* kind_name;
    int kind;
};

extern const quorvel_node_vtable kElementVtable, kTextVtable, kCommentVtable, kCdataVtable, kPiVtable,
    kDoctypeVtable, kDocumentVtable, kEntityRefVtable;
extern const quorvel_node_vtable* const g_node_vtables[11];
// Position of the parent and next-sibling links per kind 0-5.
extern const int64_t quorvel_edge_par_off[6];
extern const int64_t quorvel_edge_sib_off[6];

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

struct quorvel_document {
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
    quorvel_overflow_entry* overflow_entries;
    // Retained input: source positions are computed from it. Both buffers
    // remember how they must be released.
    char* retained_input;
    size_t retained_length;
    int32_t retained_owned;
    int32_t input_slack;
    quorvel_release_fn retained_release;
    char* working_copy;
    int32_t working_not_owned;
    quorvel_release_fn working_release;
    quorvel_wrapper_slot* wrapper_slots;
    size_t wrapper_count;
    size_t wrapper_capacity;
    int32_t is_html;
    uint32_t* newlines;
    size_t newline_count;
    quorvel_elem_pos* pos_records;
    size_t pos_count;
    size_t pos_capacity;
    quorvel_elem_pos* pos_index;    // open-addressing copies of the records (malloc)
    size_t pos_index_capacity;
    size_t pos_index_built_count;
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

// Sizes of the blocks elements, names and attributes are made in.
constexpr size_t kElementBlockBytes = 1024 * sizeof(quorvel_element) + 8;
constexpr size_t kNameChunkBytes = 4104;
constexpr size_t kAttrBlockBytes = 128 * sizeof(quorvel_attribute) + 8;
static_assert(kElementBlockBytes == 45064 && kAttrBlockBytes == 5128);

// ---- Document lifecycle and registry --------------------------------------------------------------

quorvel_document* quorvel_document_new(int html);
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

// Placeholders of operations other parts of the library provide.
quorvel_dtd* quorvel_dtd_create(quorvel_pool* pool);
void quorvel_dtd_release(quorvel_dtd* dtd);
int finalize_element_strings(quorvel_element* root, quorvel_pool* pool);
quorvel_element* quorvel_element_copy(quorvel_element* source, quorvel_document* target);
void quorvel_element_index_free(quorvel_element_index* index);
void quorvel_diag_free_all(quorvel_document* doc);
