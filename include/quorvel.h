/*
 * libquorvel: XML processing behind a plain C interface.
 *
 * Every function here is exported from libquorvel.so.1 under the symbol
 * version QUORVEL_1. Handles are plain pointers to library records; a
 * document owns every node and string reachable from it until
 * quorvel_document_free. Strings handed out as fresh copies go back with
 * quorvel_free_string.
 *
 * Ownership of returned pointers: a const char* result belongs to the
 * library (the document, handle or static storage it comes from) and is
 * never freed by the caller; a char* result is a fresh copy to release with
 * quorvel_free_string unless its comment says otherwise. Node, element and
 * attribute pointers belong to their document, including those of new
 * nodes. A document goes back with quorvel_document_free, a DTD, parser,
 * recorder, reader or record handle with its own _free function.
 *
 * Threads: a document, with every node and string of it, and every handle,
 * may be used from any thread, but by one thread at a time; the caller
 * orders the hand-over (a join, a lock, a queue). Different documents may be
 * used on different threads at once. A document built or edited on one
 * thread reads the same on every other thread and may be freed on any of
 * them, also after the thread that built it has ended. Settings, allocation
 * hooks and the last error are per thread. Nothing here throws or aborts on
 * bad input, and nothing prints unless a debug switch of the environment
 * asks for it (see the README).
 */
#ifndef QUORVEL_H
#define QUORVEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QUORVEL_BUILDING)
#define QUORVEL_API __attribute__((visibility("default")))
#else
#define QUORVEL_API
#endif

/* Status codes. Codes are only ever appended. One further code has no name
   here: -9, returned only by quorvel_sax_records_parse when it declines the
   input (outside the plain subset, length 0 or too large, working memory
   exhausted); quorvel_status_string reports it as "Unknown error". */
typedef enum quorvel_status_code {
    QUORVEL_OK = 0,
    QUORVEL_ERR_MEMORY = -1,
    QUORVEL_ERR_PARSE = -2,
    QUORVEL_ERR_XPATH = -3,
    QUORVEL_ERR_NULL_ARGUMENT = -4,
    QUORVEL_ERR_INVALID_ARGUMENT = -5,
    QUORVEL_ERR_NOT_FOUND = -6,
    QUORVEL_ERR_IO = -7
} quorvel_status_code;
typedef int quorvel_status;

/* Node kinds: the first 32-bit field of every node record. 6 to 8 are
   never used by document records. */
typedef enum quorvel_node_kind {
    QUORVEL_NODE_ELEMENT = 0,
    QUORVEL_NODE_TEXT = 1,
    QUORVEL_NODE_COMMENT = 2,
    QUORVEL_NODE_CDATA = 3,
    QUORVEL_NODE_PI = 4,
    QUORVEL_NODE_DOCTYPE = 5,
    QUORVEL_NODE_DOCUMENT = 9,
    QUORVEL_NODE_ENTITY_REF = 10
} quorvel_node_kind;

typedef struct quorvel_document quorvel_document;
typedef struct quorvel_node quorvel_node;
typedef struct quorvel_element quorvel_element;
typedef struct quorvel_dtd quorvel_dtd;
typedef struct quorvel_doctype quorvel_doctype;

/* Where a node came from in the parsed text: 1-based, 0 for none. */
typedef struct quorvel_source_position {
    int line;
    int column;
    int end_column; /* elements: the column just past their end */
} quorvel_source_position;

typedef void* (*quorvel_alloc_function)(size_t size);
typedef void (*quorvel_dealloc_function)(void* block);

/* Callback of quorvel_node_visit: entering is 1 on the way down, 0 after
   an element's children; depth 0 is the start node. */
typedef void (*quorvel_visit_callback)(void* user, quorvel_node* node, int entering, int depth);
/* Callback of quorvel_node_traverse: non-zero stops the walk. */
typedef int (*quorvel_traverse_callback)(quorvel_node* node, void* user);

/* ---- Version, settings, memory, status ---------------------------------- */

/* The library version as "major.minor.patch"; static, never freed. */
QUORVEL_API const char* quorvel_version(void);
/* The version as numbers; any pointer may be NULL and is then skipped. */
QUORVEL_API void quorvel_version_components(int* major, int* minor, int* patch);

/* Per-thread allocation hooks for arenas, pools, document records and
   buffers. Memory always goes back to the allocator that made it. */
QUORVEL_API void quorvel_set_memory_management_functions(quorvel_alloc_function alloc_fn,
                                                         quorvel_dealloc_function dealloc_fn);
/* The calling thread's allocation hook; NULL when none is set. */
QUORVEL_API quorvel_alloc_function quorvel_get_memory_allocation_function(void);
/* The calling thread's release hook; NULL when none is set. */
QUORVEL_API quorvel_dealloc_function quorvel_get_memory_deallocation_function(void);
/* n bytes from the thread's allocation hook (malloc when none); NULL for 0. */
QUORVEL_API void* quorvel_alloc_buffer(size_t n);
/* Releases a string the library handed out as a fresh copy (plain free). */
QUORVEL_API void quorvel_free_string(char* s);

/* Strict entity decoding for the calling thread (non-zero stores 1); every
   document created afterwards on the thread copies the setting. */
QUORVEL_API void quorvel_set_strict_mode(int on);
/* The calling thread's strict setting, 0 or 1. */
QUORVEL_API int quorvel_get_strict_mode(void);
/* Maximum element nesting of the document parser; 0 or less means 256. */
QUORVEL_API void quorvel_set_max_depth(int depth);
/* The calling thread's maximum nesting (256 when set to 0 or less). */
QUORVEL_API int quorvel_get_max_depth(void);

/* Static text of a status code ("OK" for 0, "Unknown error" for codes
   without text, -9 among them); never freed. */
QUORVEL_API const char* quorvel_status_string(int code);
/* Alias of quorvel_status_string. */
QUORVEL_API const char* quorvel_error_message(int code);
/* The calling thread's last failure text, NULL when none was recorded.
   Never cleared by a success: test the status first. */
QUORVEL_API const char* quorvel_last_error(void);
/* Line and column of the calling thread's last parse error (0 when none);
   either pointer may be NULL. */
QUORVEL_API void quorvel_last_error_position(int* line, int* column);

/* ---- Documents ----------------------------------------------------------- */

/* A new empty XML document, NULL when memory runs out; the caller frees it
   with quorvel_document_free. */
QUORVEL_API quorvel_document* quorvel_document_create(void);
/* As quorvel_document_create, for an HTML document: serializing it writes
   HTML unless asked otherwise. */
QUORVEL_API quorvel_document* quorvel_document_create_html(void);
/* Frees the document with every node, string and DTD it owns and the
   documents it adopted; NULL is ignored. A document absorbed by another
   lives on until the owner is freed too. */
QUORVEL_API void quorvel_document_free(quorvel_document* doc);
/* doc is freed together with owner. Refused (-5) for doc == owner, a doc
   that already has an owner or adopter, and ownership cycles. */
QUORVEL_API quorvel_status quorvel_document_adopt_child(quorvel_document* owner, quorvel_document* doc);
/* doc is freed by the later of owner's free and the caller's own free.
   doc's elements may then move into owner's tree without a copy; every
   element of doc but its root counts as owner's from then on, so one put
   back into doc's own tree goes in as a copy. Once owner is freed, no such
   element, no node of doc that was placed in owner's tree (detached again
   or not) and nothing placed under them may be used, even where doc itself
   lives on. */
QUORVEL_API quorvel_status quorvel_document_absorb(quorvel_document* owner, quorvel_document* doc);
/* The root element, owned by the document; NULL for none or a NULL document. */
QUORVEL_API quorvel_element* quorvel_document_root(quorvel_document* doc);
/* The first top-level node (else the root element), owned by the document;
   NULL for none. */
QUORVEL_API quorvel_node* quorvel_document_first_child(quorvel_document* doc);
/* The document's DTD, created empty on first request. */
QUORVEL_API quorvel_dtd* quorvel_document_get_dtd(quorvel_document* doc);
/* Decodes every attribute value still holding references, in the whole
   tree, so later reads need no writes. 1 when done, 0 for a NULL document
   or one without root element. */
QUORVEL_API int quorvel_document_finalize_strings(quorvel_document* doc);
/* Marks the root element and every element below it frozen (a mark that
   readers can test; no change is refused). 0, or -4 for NULL. */
QUORVEL_API quorvel_status quorvel_document_freeze(quorvel_document* doc);
/* 1 when the root element carries the frozen mark (parsed trees do); 0 for
   NULL or no root element. */
QUORVEL_API int quorvel_document_is_frozen(quorvel_document* doc);
/* The document's own strict setting (non-zero stores 1): 0, or -4 for NULL. */
QUORVEL_API quorvel_status quorvel_document_set_strict(quorvel_document* doc, int on);
/* The document's strict setting; the calling thread's for a NULL document. */
QUORVEL_API int quorvel_document_get_strict(quorvel_document* doc);
/* Keeps two opaque caller values in the document; the library never reads them. */
QUORVEL_API quorvel_status quorvel_document_set_allocators(quorvel_document* doc, void* value1, void* value2);
/* The document's own last error text, owned by the document; NULL when
   empty or for NULL. */
QUORVEL_API const char* quorvel_document_last_error(quorvel_document* doc);
/* Makes root (detached) the document's root element, replacing the old one.
   An element of another document is copied in first; *installed (when
   given) receives the element actually installed, owned by the document,
   or NULL on failure. -4 NULL argument, -5 element attached to a parent,
   -1 no memory; nothing changes on failure. */
QUORVEL_API quorvel_status quorvel_document_set_root_ex(quorvel_document* doc, quorvel_element* root,
                                                        quorvel_element** installed);
/* As quorvel_document_set_root_ex without the installed element. */
QUORVEL_API quorvel_status quorvel_document_set_root(quorvel_document* doc, quorvel_element* root);
/* The document node (kind QUORVEL_NODE_DOCUMENT), made on first request and
   owned by the document; the same record every time. NULL for NULL or no
   memory. */
QUORVEL_API quorvel_node* quorvel_document_node(quorvel_document* doc);

/* ---- Navigation ---------------------------------------------------------- */

/* The kind of a node; 0 (the element kind) for NULL, so test NULL first. */
QUORVEL_API int quorvel_node_get_type(const quorvel_node* node);
/* First child of any kind of an element; for the document node, the first
   top-level node (else the root element). NULL for other kinds and none. */
QUORVEL_API quorvel_node* quorvel_node_first_child(const quorvel_node* node);
/* Last child of any kind of an element; NULL for other kinds (the document
   node included) and none. */
QUORVEL_API quorvel_node* quorvel_node_last_child(const quorvel_node* node);
/* Next sibling of any kind, top-level nodes included; NULL for the last one,
   the doctype and the document node. */
QUORVEL_API quorvel_node* quorvel_node_next_sibling(const quorvel_node* node);
/* Alias of quorvel_node_next_sibling. */
QUORVEL_API quorvel_node* quorvel_node_get_next_sibling(const quorvel_node* node);
/* Previous sibling of a node inside an element; NULL for a first child and
   for nodes without a parent element (top-level nodes among them). */
QUORVEL_API quorvel_node* quorvel_node_previous_sibling(const quorvel_node* node);
/* Parent element; NULL for top-level and detached nodes, the doctype and the
   document node. */
QUORVEL_API quorvel_element* quorvel_node_parent(const quorvel_node* node);
/* The node itself when it is an element, else NULL. */
QUORVEL_API quorvel_element* quorvel_node_as_element(quorvel_node* node);
/* The same pointer as a node: an element record is a node. */
QUORVEL_API quorvel_node* quorvel_element_as_node(quorvel_element* element);
/* Number of element children of an element; 0 for other kinds. */
QUORVEL_API size_t quorvel_node_child_count(const quorvel_node* node);
/* Orders by record address: document order for trees the parser laid out. */
QUORVEL_API int quorvel_node_compare(const quorvel_node* a, const quorvel_node* b);
/* Depth-first walk in document order from node (depth 0): every node gets
   an entering call, every element a leaving call after its children. */
QUORVEL_API void quorvel_node_visit(quorvel_node* node, quorvel_visit_callback callback, void* user);
/* As quorvel_node_visit with the entering calls only. */
QUORVEL_API void quorvel_node_visit_entering(quorvel_node* node, quorvel_visit_callback callback, void* user);
/* order 0 pre-order, 1 post-order. Returns the number of callbacks that
   returned 0, or -1 for bad arguments or when memory for the walk ran out. */
QUORVEL_API int quorvel_node_traverse(quorvel_node* node, int order, quorvel_traverse_callback callback,
                                      void* user);

/* ---- Document prolog: declaration, doctype, top-level comments and PIs ---- */

/* The declaration's values; NULL when absent. Standalone: -1 undeclared, 0, 1. */
QUORVEL_API const char* quorvel_document_version(const quorvel_document* doc);
/* The declared encoding, owned by the document; NULL when none or for NULL. */
QUORVEL_API const char* quorvel_document_encoding(const quorvel_document* doc);
/* Standalone declaration: -1 undeclared (also for NULL), 0 no, 1 yes. */
QUORVEL_API int quorvel_document_standalone(const quorvel_document* doc);
/* -4 NULL document, -5 NULL or empty value, -1 no memory. */
QUORVEL_API quorvel_status quorvel_document_set_version(quorvel_document* doc, const char* version);
/* As quorvel_document_set_version, for the encoding (copied). */
QUORVEL_API quorvel_status quorvel_document_set_encoding(quorvel_document* doc, const char* encoding);
/* Stores 1 for non-zero (else 0) and marks the declaration present: 0, or
   -4 for NULL. */
QUORVEL_API quorvel_status quorvel_document_set_standalone(quorvel_document* doc, int standalone);
/* Removes version, encoding and standalone (back to -1): 0, or -4 for NULL. */
QUORVEL_API quorvel_status quorvel_document_clear_declaration(quorvel_document* doc);
/* A new doctype node becomes the document's; NULL for a NULL or empty name. */
QUORVEL_API quorvel_doctype* quorvel_document_set_doctype(quorvel_document* doc, const char* name,
                                                          const char* public_id, const char* system_id);
/* Detaches the doctype node (its memory goes with the document): 0, -4 for
   NULL, -6 when there is none. */
QUORVEL_API quorvel_status quorvel_document_remove_doctype(quorvel_document* doc);
/* The doctype node (its internal subset is read with
   quorvel_doctype_get_internal_subset). */
QUORVEL_API quorvel_doctype* quorvel_document_internal_subset(const quorvel_document* doc);
/* The doctype's name (the root element's name it declares), owned by the
   document; NULL for NULL. */
QUORVEL_API const char* quorvel_doctype_get_name(const quorvel_doctype* doctype);
/* Alias of quorvel_doctype_get_name. */
QUORVEL_API const char* quorvel_doctype_get_root_name(const quorvel_doctype* doctype);
/* The public identifier, owned by the document; NULL when absent or for NULL. */
QUORVEL_API const char* quorvel_doctype_get_public_id(const quorvel_doctype* doctype);
/* The system identifier, owned by the document; NULL when absent or for NULL. */
QUORVEL_API const char* quorvel_doctype_get_system_id(const quorvel_doctype* doctype);
/* The internal subset as written, owned by the document; NULL when absent
   or for NULL. */
QUORVEL_API const char* quorvel_doctype_get_internal_subset(const quorvel_doctype* doctype);
/* Top-level processing instructions and comments, 0-based. */
QUORVEL_API size_t quorvel_document_pi_count(const quorvel_document* doc);
/* Target of the index-th top-level processing instruction, owned by the
   document; NULL past the end or for NULL. */
QUORVEL_API const char* quorvel_document_pi_target(const quorvel_document* doc, size_t index);
/* Data of the index-th top-level processing instruction, owned by the
   document; NULL past the end, without data, or for NULL. */
QUORVEL_API const char* quorvel_document_pi_data(const quorvel_document* doc, size_t index);
/* Number of top-level comments; 0 for NULL. */
QUORVEL_API size_t quorvel_document_comment_count(const quorvel_document* doc);
/* Text of the index-th top-level comment, owned by the document; NULL past
   the end or for NULL. */
QUORVEL_API const char* quorvel_document_comment_content(const quorvel_document* doc, size_t index);
/* Appended at the end of the top-level list. */
QUORVEL_API quorvel_node* quorvel_document_add_comment(quorvel_document* doc, const char* text);
/* A new processing instruction at the end of the top-level list, owned by
   the document; NULL for NULL, a NULL or empty target, or no memory. */
QUORVEL_API quorvel_node* quorvel_document_append_pi(quorvel_document* doc, const char* target, const char* data);
/* Placed just before the root element. */
QUORVEL_API quorvel_node* quorvel_document_add_pi(quorvel_document* doc, const char* target, const char* data);
/* Takes a top-level comment or PI out: -5 other kinds, -6 not in the list. */
QUORVEL_API quorvel_status quorvel_document_remove_child(quorvel_document* doc, quorvel_node* node);
/* The first top-level PI with that target, or with a NULL target the
   index-th one; taken out of the list and returned. */
QUORVEL_API quorvel_node* quorvel_document_remove_pi(quorvel_document* doc, const char* target, size_t index);

/* ---- Source positions, node paths and binding wrappers ----------------------- */

/* Byte offset in the parsed input; 0 also when the node has no position. */
QUORVEL_API size_t quorvel_node_byte_offset(const quorvel_node* node);
/* Elements get line, column and end column; text, comments, CDATA and PIs
   inside an element a line only; everything else zeros. */
QUORVEL_API void quorvel_node_source_position(const quorvel_node* node, quorvel_source_position* out);
/* The line of quorvel_node_source_position; 0 when there is none. */
QUORVEL_API int quorvel_node_line(const quorvel_node* node);
/* XPath location path of the node (local names, positions among same-named
   siblings); free with quorvel_free_string. */
QUORVEL_API char* quorvel_node_get_xpath(const quorvel_node* node);
/* One opaque pointer per node for language bindings, kept by the document. */
QUORVEL_API void* quorvel_node_get_binding_wrapper(const quorvel_node* node);
/* Stores value for the node in its document, replacing an earlier one;
   kept until the document is freed and never read by the library. Does
   nothing for NULL, a node without document or when memory runs out. */
QUORVEL_API void quorvel_node_set_binding_wrapper(const quorvel_node* node, void* value);

/* ---- Attributes ----------------------------------------------------------- */

/* An attribute record; not a node. Values are decoded on first read and
   stay owned by the document. */
typedef struct quorvel_attribute quorvel_attribute;

/* Value by qualified name: a prefixed name matches namespace and local name
   ("xml" is implicit, "xmlns" is refused), an unprefixed name matches
   unprefixed attributes only. "" for an empty value, NULL when missing. */
QUORVEL_API const char* quorvel_element_attribute(quorvel_element* element, const char* name);
/* 1 when quorvel_element_attribute finds name, else 0. */
QUORVEL_API int quorvel_element_has_attribute(quorvel_element* element, const char* name);
/* By namespace URI (NULL or "": no namespace) and local name. */
QUORVEL_API const char* quorvel_element_attribute_ns(quorvel_element* element, const char* namespace_uri,
                                                    const char* local_name);
/* 1 when an attribute with that namespace URI and local name exists, else 0. */
QUORVEL_API int quorvel_element_has_attribute_ns(quorvel_element* element, const char* namespace_uri,
                                                const char* local_name);
/* Typed reads give the default when the attribute is missing, empty or
   unreadable; integers that do not fit the result type are unreadable.
   White space may surround numbers; white space alone reads as 0. The truth
   reader takes true/yes/on/1 and false/no/off/0 in any letter case, untrimmed. */
QUORVEL_API int quorvel_element_attribute_int(quorvel_element* element, const char* name, int default_value);
/* A leading minus negates modulo 2^32: "-1" reads as 4294967295. */
QUORVEL_API unsigned quorvel_element_attribute_uint(quorvel_element* element, const char* name,
                                                   unsigned default_value);
/* Typed read as a double. */
QUORVEL_API double quorvel_element_attribute_double(quorvel_element* element, const char* name,
                                                   double default_value);
/* Typed read as a float. */
QUORVEL_API float quorvel_element_attribute_float(quorvel_element* element, const char* name, float default_value);
/* Truth read: 1 or 0, the default otherwise. */
QUORVEL_API int quorvel_element_attribute_bool(quorvel_element* element, const char* name, int default_value);
/* The value, owned by the document, or default_value when missing. */
QUORVEL_API const char* quorvel_element_attribute_string(quorvel_element* element, const char* name,
                                                        const char* default_value);

/* Number of attributes (exact at any count); 0 for NULL or a non-element. */
QUORVEL_API size_t quorvel_element_attribute_count(const quorvel_element* element);
/* The first attribute record, owned by the document; NULL for NULL, a
   non-element or none. */
QUORVEL_API quorvel_attribute* quorvel_element_first_attribute(const quorvel_element* element);
/* The next attribute record of the same element; NULL after the last. */
QUORVEL_API quorvel_attribute* quorvel_attribute_next(const quorvel_attribute* attribute);
/* By 0-based position; NULL past the end. */
QUORVEL_API quorvel_attribute* quorvel_element_get_attribute_by_index(const quorvel_element* element, size_t index);
/* Stored name of the attribute at a 0-based position, owned by the
   document; NULL past the end. */
QUORVEL_API const char* quorvel_element_attribute_name_at(const quorvel_element* element, size_t index);
/* Decoded value at a 0-based position, owned by the document; "" for an
   empty value, NULL past the end. */
QUORVEL_API const char* quorvel_element_attribute_value_at(quorvel_element* element, size_t index);
/* Stored name, prefix included; "" for NULL. */
QUORVEL_API const char* quorvel_attribute_get_name(const quorvel_attribute* attribute);
/* Value, decoded with the owner element's document; "" for NULL or empty. */
QUORVEL_API const char* quorvel_attribute_get_value(quorvel_element* owner, quorvel_attribute* attribute);
/* Prefix of the attribute, owned by the document; NULL when it has none. */
QUORVEL_API const char* quorvel_attribute_prefix(const quorvel_attribute* attribute);
/* Namespace of a prefixed attribute; NULL for unprefixed ones. */
QUORVEL_API const char* quorvel_attribute_namespace_uri(const quorvel_attribute* attribute);

/* Copies every attribute's name, decoded value, prefix and namespace URI,
   each NUL-terminated, into four caller buffers. Each offsets array needs
   quorvel_element_attribute_count(element) + 1 entries: entry i is where
   attribute i's string starts ((size_t)-1 when it has no prefix or URI),
   the last is the group's total. The prefix and URI groups are optional
   (NULL buffer or capacity 0). Without a names or values buffer the result is
   the size the largest group needs; (size_t)-1 when a buffer is too small or
   an offsets array is missing (nothing written); 0 when filled. */
QUORVEL_API size_t quorvel_element_attributes_snapshot(quorvel_element* element, char* names, size_t names_size,
                                                      size_t* name_offsets, char* values, size_t values_size,
                                                      size_t* value_offsets, char* prefixes, size_t prefixes_size,
                                                      size_t* prefix_offsets, char* uris, size_t uris_size,
                                                      size_t* uri_offsets);
/* Pointers to the stored names and values (references not yet decoded are
   left as written) and the records, up to capacity, into each non-NULL
   array; with all three NULL, the number of attributes. */
QUORVEL_API size_t quorvel_element_attribute_pairs(quorvel_element* element, const char** names, const char** values,
                                                  quorvel_attribute** records, size_t capacity);
/* The start-tag attributes exactly as the parser read them, declarations
   included; with both arrays NULL, their number. */
QUORVEL_API size_t quorvel_element_attributes_raw(quorvel_element* element, const char** names, const char** values,
                                                 size_t capacity);
/* Detaches every attribute; -4 NULL, -5 not an element. */
QUORVEL_API quorvel_status quorvel_element_remove_all_attributes(quorvel_element* element);

/* ---- Element children and text --------------------------------------------- */

/* Number of element children (exact at any count); 0 for NULL. */
QUORVEL_API size_t quorvel_element_child_count(const quorvel_element* element);
/* The child element at a 0-based position among the element children; NULL
   past the end. Reading positions in rising order costs one step each. */
QUORVEL_API quorvel_element* quorvel_element_child(quorvel_element* element, size_t index);
/* Parent element; NULL for top-level and detached elements. */
QUORVEL_API quorvel_element* quorvel_element_parent(const quorvel_element* element);
/* Topmost ancestor, the element itself when it has no parent. */
QUORVEL_API quorvel_element* quorvel_element_root(quorvel_element* element);
/* First child element (other kinds passed over); NULL for none. */
QUORVEL_API quorvel_element* quorvel_element_first_child_any(const quorvel_element* element);
/* Last child element; NULL for none. */
QUORVEL_API quorvel_element* quorvel_element_last_child_any(const quorvel_element* element);
/* Next sibling that is an element; NULL for none. */
QUORVEL_API quorvel_element* quorvel_element_next_sibling_any(const quorvel_element* element);
/* NULL for the first element child and for top-level elements. */
QUORVEL_API quorvel_element* quorvel_element_previous_sibling_any(const quorvel_element* element);
/* Named navigators match local names ("item" finds p:item); a NULL name
   matches any element. */
QUORVEL_API quorvel_element* quorvel_element_first_child(const quorvel_element* element, const char* name);
/* Last child element with that local name (any for NULL). */
QUORVEL_API quorvel_element* quorvel_element_last_child(const quorvel_element* element, const char* name);
/* Next element sibling with that local name (any for NULL). */
QUORVEL_API quorvel_element* quorvel_element_next_sibling(const quorvel_element* element, const char* name);
/* Nearest earlier element sibling with that local name (any for NULL). */
QUORVEL_API quorvel_element* quorvel_element_previous_sibling(const quorvel_element* element, const char* name);
/* As quorvel_element_first_child, but NULL for a NULL name. */
QUORVEL_API quorvel_element* quorvel_element_find_child(const quorvel_element* element, const char* name);
/* First child element (with that local name unless name is NULL) whose
   attribute equals value. */
QUORVEL_API quorvel_element* quorvel_element_find_child_by_attr(const quorvel_element* element, const char* name,
                                                                const char* attribute_name, const char* value);
/* Writes up to capacity child elements; returns how many. */
QUORVEL_API size_t quorvel_element_children(const quorvel_element* element, quorvel_element** children,
                                            size_t capacity);
/* Children of any kind of an element, or the top-level nodes of the document
   node: without an array their number, else up to capacity written. */
QUORVEL_API size_t quorvel_node_children(const quorvel_node* node, quorvel_node** children, size_t capacity);
/* The same, also writing each written child's kind when kinds is given. */
QUORVEL_API size_t quorvel_node_children_ex(const quorvel_node* node, quorvel_node** children, int* kinds,
                                            size_t capacity);
/* Text of an element or the document node, owned by the document, never
   NULL: the content itself when the only child is one text or CDATA node,
   else all descendant text, copied once into the document and reused while
   it does not change. */
QUORVEL_API const char* quorvel_element_text(const quorvel_node* node);
/* Typed text reads: the whole text must be the number, leading white space
   allowed, none after it; 0x selects hexadecimal for the integer readers;
   empty, unreadable or out-of-range text gives the default. */
QUORVEL_API int quorvel_element_text_int(const quorvel_element* element, int default_value);
/* A leading minus negates modulo 2^32: "-1" reads as 4294967295. */
QUORVEL_API unsigned quorvel_element_text_uint(const quorvel_element* element, unsigned default_value);
/* Typed text read as a double. */
QUORVEL_API double quorvel_element_text_double(const quorvel_element* element, double default_value);
/* Typed text read as a float. */
QUORVEL_API float quorvel_element_text_float(const quorvel_element* element, float default_value);
/* 0 for empty text and for 0, no, off and false (any case, trimmed); else 1. */
QUORVEL_API int quorvel_element_text_bool(const quorvel_element* element);
/* ---- Building and changing trees ----------------------------------------- */

/* Status codes of the changing operations: -4 NULL argument; -5 invalid
   argument (a node that would become its own ancestor, a kind that cannot go
   there, a reference not among its parent's children, a parent that is not an
   element); -6 not found; -1 no memory. A refused operation changes nothing.
   Nodes of another document are linked as copies made in the target document. */

/* A new detached element of the document; the name splits at its first
   colon into prefix and local name. NULL for NULL arguments or no memory. */
QUORVEL_API quorvel_element* quorvel_element_create(quorvel_document* doc, const char* name);
/* Appends child as the parent's last child, moving it from wherever it was. */
QUORVEL_API quorvel_status quorvel_element_append_child(quorvel_element* parent, quorvel_node* child);
/* Alias of quorvel_element_append_child. */
QUORVEL_API quorvel_status quorvel_element_add_child_addr(quorvel_element* parent, quorvel_node* child);
/* As append; *installed (when given) receives the node actually linked: the
   child itself, or its copy when it came from another document. */
QUORVEL_API quorvel_status quorvel_element_add_child_addr_installed(quorvel_element* parent, quorvel_node* child,
                                                                    quorvel_node** installed);
/* A new element appended as the parent's last child, or NULL. */
QUORVEL_API quorvel_element* quorvel_element_create_child(quorvel_element* parent, const char* name);
/* Places child first among the parent's children, moving it from wherever
   it was. */
QUORVEL_API quorvel_status quorvel_element_prepend_child(quorvel_element* parent, quorvel_node* child);
/* Places node right before / after reference, among its parent's children or
   among the document's top-level nodes; -5 for a reference in neither. */
QUORVEL_API quorvel_status quorvel_element_insert_before(quorvel_node* reference, quorvel_node* node);
/* Places node right after reference (see quorvel_element_insert_before). */
QUORVEL_API quorvel_status quorvel_element_insert_after(quorvel_node* reference, quorvel_node* node);
/* Replaces the element's children by one text node (none for NULL text). */
QUORVEL_API quorvel_status quorvel_element_set_text(quorvel_element* element, const char* text);
/* Text of the first text or CDATA node reached through first children, or NULL. */
QUORVEL_API const char* quorvel_element_child_value(const quorvel_element* element);
/* Deep copy of source made in the parent's (reference's parent's) document and
   linked there; NULL when the copy cannot be made or linked. */
QUORVEL_API quorvel_element* quorvel_element_append_copy(quorvel_element* parent, const quorvel_element* source);
/* A deep copy of source linked as the parent's first child, owned by the
   parent's document; NULL on failure. */
QUORVEL_API quorvel_element* quorvel_element_prepend_copy(quorvel_element* parent, const quorvel_element* source);
/* A deep copy of source linked right after reference, owned by its
   document; NULL on failure or for a reference without parent. */
QUORVEL_API quorvel_element* quorvel_element_insert_copy_after(quorvel_node* reference,
                                                               const quorvel_element* source);
/* A deep copy of source linked right before reference, owned by its
   document; NULL on failure or for a reference without parent. */
QUORVEL_API quorvel_element* quorvel_element_insert_copy_before(quorvel_node* reference,
                                                                const quorvel_element* source);

/* Sets an attribute: an existing one keeps its place and gets the new value
   (copied), a new one goes last. NULL value: empty. */
QUORVEL_API quorvel_status quorvel_element_set_attribute(quorvel_element* element, const char* name,
                                                         const char* value);
/* Sets the attribute to the decimal text of value. */
QUORVEL_API quorvel_status quorvel_element_set_attribute_int(quorvel_element* element, const char* name, int value);
/* Sets the attribute to the decimal text of value. */
QUORVEL_API quorvel_status quorvel_element_set_attribute_uint(quorvel_element* element, const char* name,
                                                              unsigned int value);
/* "%.17g" */
QUORVEL_API quorvel_status quorvel_element_set_attribute_double(quorvel_element* element, const char* name,
                                                                double value);
/* "%.9g": reads back as the same float. */
QUORVEL_API quorvel_status quorvel_element_set_attribute_float(quorvel_element* element, const char* name,
                                                               float value);
/* "true" for non-zero, else "false". */
QUORVEL_API quorvel_status quorvel_element_set_attribute_bool(quorvel_element* element, const char* name, int value);
/* -6 when the element has no attribute of that (qualified) name. */
QUORVEL_API quorvel_status quorvel_element_remove_attribute(quorvel_element* element, const char* name);
/* A new element with count attributes (values NULL or an entry NULL: "").
   NULL on any failure; an element made so far stays in the document. */
QUORVEL_API quorvel_element* quorvel_element_new_with_attributes(quorvel_document* doc, const char* name,
                                                                 const char* const* names,
                                                                 const char* const* values, size_t count);
/* Renames; a colon that is not the first byte separates prefix and local
   name. -5 for a NULL name or an element without a document. */
QUORVEL_API quorvel_status quorvel_element_set_name(quorvel_element* element, const char* name);
/* Moves the element into the namespace uri through a prefix declared for it
   on the element or an ancestor (-6 when there is none); NULL or "" takes it
   out of every namespace. -5 for an element without a document. */
QUORVEL_API quorvel_status quorvel_element_set_namespace(quorvel_element* element, const char* uri);

/* Takes a node out of its parent's children; -6 for a node without a parent. */
QUORVEL_API quorvel_status quorvel_node_unlink(quorvel_node* node);
/* parent: an element, or the document node for top-level nodes (removing the
   root element there leaves the document without a root). */
QUORVEL_API quorvel_status quorvel_element_remove_child(quorvel_node* parent, quorvel_node* child);
/* Detaches every child of an element, or every top-level node of the
   document node. */
QUORVEL_API quorvel_status quorvel_element_remove_children(quorvel_node* parent);

/* A detached deep copy made in target, or NULL. */
QUORVEL_API quorvel_element* quorvel_element_copy(quorvel_element* source, quorvel_document* target);
/* A new document with copies of the declaration, the root element and the
   top-level comments, processing instructions and text; free it with
   quorvel_document_free. NULL on any failure. */
QUORVEL_API quorvel_document* quorvel_document_copy(quorvel_document* source);

/* ---- Leaf nodes: text, comment, CDATA, processing instruction, entity reference */

/* Creators make a detached node owned by the document (NULL for a NULL
   document or no memory). NULL text means empty. */
QUORVEL_API quorvel_node* quorvel_text_node_create(quorvel_document* doc, const char* text);
/* A new detached comment. */
QUORVEL_API quorvel_node* quorvel_comment_node_create(quorvel_document* doc, const char* text);
/* A new detached CDATA section. */
QUORVEL_API quorvel_node* quorvel_cdata_node_create(quorvel_document* doc, const char* text);
/* NULL for a NULL or empty target; NULL or "" data gives a PI without data. */
QUORVEL_API quorvel_node* quorvel_pi_node_create(quorvel_document* doc, const char* target, const char* data);
/* NULL for a NULL or empty name. */
QUORVEL_API quorvel_node* quorvel_entity_ref_node_create(quorvel_document* doc, const char* name);

/* Getters answer NULL for NULL and for nodes of another kind. The text
   getter also reads CDATA sections and gives "" for empty text. */
QUORVEL_API const char* quorvel_text_node_get_content(const quorvel_node* node);
/* A comment's text. */
QUORVEL_API const char* quorvel_comment_node_get_content(const quorvel_node* node);
/* A CDATA section's text. */
QUORVEL_API const char* quorvel_cdata_node_get_content(const quorvel_node* node);
/* A processing instruction's target. */
QUORVEL_API const char* quorvel_pi_node_get_target(const quorvel_node* node);
/* NULL when the processing instruction has no data. */
QUORVEL_API const char* quorvel_pi_node_get_data(const quorvel_node* node);
/* An entity reference's name. */
QUORVEL_API const char* quorvel_entity_ref_node_name(const quorvel_node* node);

/* Setters copy the string into the node's document: 0, -4 for a NULL node,
   -5 for another kind or a node without document, -1 without memory.
   NULL content means empty; set_target refuses NULL (-4). */
QUORVEL_API quorvel_status quorvel_text_node_set_content(quorvel_node* node, const char* text);
/* New content of a CDATA section. */
QUORVEL_API quorvel_status quorvel_cdata_node_set_content(quorvel_node* node, const char* text);
/* New text of a comment. */
QUORVEL_API quorvel_status quorvel_comment_node_set_content(quorvel_node* node, const char* text);
/* An empty target is accepted. */
QUORVEL_API quorvel_status quorvel_pi_node_set_target(quorvel_node* node, const char* target);
/* NULL data stores "" (the getter then gives ""). */
QUORVEL_API quorvel_status quorvel_pi_node_set_data(quorvel_node* node, const char* data);

/* ---- Element names, namespaces and namespace declarations ------------------ */

/* A namespace handle is the namespace URI itself, owned by the document. */
typedef const char* quorvel_namespace;

/* Local name (without prefix); "" for NULL, a non-element or an unnamed element. */
QUORVEL_API const char* quorvel_element_name(const quorvel_element* element);
/* Prefix, or NULL when the element has none. */
QUORVEL_API const char* quorvel_element_prefix(const quorvel_element* element);
/* URI bound to prefix (NULL: the default namespace) by the nearest declaration
   on the element or an ancestor; "" for an undeclaration; NULL when unbound.
   "xml" has no implicit binding here. */
QUORVEL_API const char* quorvel_element_namespace_for_prefix(const quorvel_element* element, const char* prefix);
/* The element's namespace URI, NULL when it is in no namespace. Resolved on
   first use and remembered until a rename, a declaration change or a move
   makes it out of date. */
QUORVEL_API quorvel_namespace quorvel_element_namespace(quorvel_element* element);
/* The URI of a namespace handle (the handle itself). */
QUORVEL_API const char* quorvel_namespace_uri(quorvel_namespace ns);
/* Always NULL: a handle carries no prefix. */
QUORVEL_API const char* quorvel_namespace_prefix(quorvel_namespace ns);
/* Writes local name, prefix and namespace URI through each non-NULL pointer. */
QUORVEL_API void quorvel_element_expanded_name(quorvel_element* element, const char** local_name,
                                               const char** prefix, const char** uri);
/* The argument unchanged: an element's hash value is its handle. */
QUORVEL_API uintptr_t quorvel_element_hash_value(uintptr_t value);
/* Declarations made on the element itself: its declaration list, then its
   attributes named "xmlns" or "xmlns:p". Read by index 0 .. count-1; the
   prefix is NULL for a default-namespace declaration, both readers give NULL
   out of range. */
QUORVEL_API size_t quorvel_element_namespace_count(const quorvel_element* element);
/* Prefix of the index-th declaration, owned by the document. */
QUORVEL_API const char* quorvel_element_namespace_decl_prefix(const quorvel_element* element, size_t index);
/* URI of the index-th declaration, owned by the document. */
QUORVEL_API const char* quorvel_element_namespace_decl_uri(const quorvel_element* element, size_t index);
/* Appends a declaration (prefix NULL or "": the default namespace; uri "":
   an undeclaration). -4 NULL element or URI, -5 not an element or an element
   with neither a document nor a place to keep it, -1 no memory. */
QUORVEL_API quorvel_status quorvel_element_add_namespace_definition(quorvel_element* element, const char* prefix,
                                                                    const char* uri);
/* quorvel_element_add_namespace_definition with a NULL prefix. */
QUORVEL_API quorvel_status quorvel_element_set_default_namespace(quorvel_element* element, const char* uri);
/* Removes the first declaration of the prefix (NULL or "": the default
   namespace) from the element's list; -6 when there is none. */
QUORVEL_API quorvel_status quorvel_element_remove_namespace_definition(quorvel_element* element, const char* prefix);

/* ---- Entity check ---------------------------------------------------------- */

/* 1 when text[0, length) holds an entity reference other than a character
   reference or one of lt, gt, amp, apos, quot; else 0. A reference is '&',
   1 to 64 bytes other than '&', ';' and '<', then ';'. */
QUORVEL_API int quorvel_str_has_nonstandard_entity(const char* text, size_t length);

/* ---- Parse diagnostics ----------------------------------------------------- */

/* Recoverable problems met while parsing (recover mode, repeated attributes),
   one diagnostic each, in the order met. Diagnostic codes (a numbering of
   their own, not statuses):
     9  an unescaped '<' in text, or a repeated attribute (in every mode);
     10 an end tag that closes no open element, or a DOCTYPE dropped as
        misplaced (after the root started, or a second one) or malformed;
     11 an element closed implicitly by an ancestor's end tag, or left open
        at the end of the input.
   Number of diagnostics; 0 for NULL. */
QUORVEL_API int quorvel_document_parse_diag_count(quorvel_document* doc);
/* Writes the code (when code is not NULL) and at most buflen - 1 bytes of
   the message; answers 1, or 0 for a NULL document or an index out of range. */
QUORVEL_API int quorvel_document_parse_diag(quorvel_document* doc, size_t index, int* code, char* buf, size_t buflen);

/* ---- Parsing --------------------------------------------------------------- */

/* Parse flag bits; other bits are ignored. */
typedef enum quorvel_parse_flags {
    QUORVEL_PARSE_DROP_WHITESPACE = 0x01,   /* drop whitespace-only text inside elements */
    QUORVEL_PARSE_DTD_DEFAULTS = 0x02,      /* apply the DTD's attribute defaults */
    QUORVEL_PARSE_KEEP_ENTITY_REFS = 0x04,  /* named references in text become nodes */
    QUORVEL_PARSE_NO_DUPLICATE_CHECK = 0x08,
    QUORVEL_PARSE_NO_POSITIONS = 0x10,      /* no per-element position records */
    QUORVEL_PARSE_RECOVER = 0x20            /* structural problems become diagnostics */
} quorvel_parse_flags;

/* Options of one quorvel_parse_string_ex call. strict_mode >= 0 and
   max_depth > 0 replace the thread's settings for the call only; recover
   adds QUORVEL_PARSE_RECOVER. */
typedef struct CParseOptions {
    int flags;
    int strict_mode;
    int max_depth;
    int recover;
} CParseOptions;

/* Every status pointer may be NULL; it is set to 0 first. A failed parse
   gives -2 and leaves its message and line/column in the thread's last
   error. UTF-16 input (byte-order mark or NUL pattern) is converted first. */
QUORVEL_API quorvel_document* quorvel_parse_string(const char* text, size_t length, int* status);
/* No UTF-16 detection. */
QUORVEL_API quorvel_document* quorvel_parse_string_flags(const char* text, size_t length, int flags, int* status);
/* NULL options: as quorvel_parse_string. With recover set, a parse that
   fails even so answers a new EMPTY document and status -2: test the status. */
QUORVEL_API quorvel_document* quorvel_parse_string_ex(const char* text, size_t length, const CParseOptions* options,
                                                      int* status);
/* Writes a NUL at buffer[length] (the buffer holds length + 1 bytes) and
   keeps the buffer as the document's source text: it must stay unchanged
   and alive until the document is freed. */
QUORVEL_API quorvel_document* quorvel_parse_string_inplace(char* buffer, size_t length, int* status);
/* As quorvel_parse_string, and text whose XML declaration names a Latin-1
   encoding is converted from Latin-1; the document's encoding then reads
   "ISO-8859-1". */
QUORVEL_API quorvel_document* quorvel_parse_string_with_encoding(const char* text, size_t length, int* status);
/* Whole file, NUL-terminated, malloc'd (free with free); NULL on failure,
   *length_out 0. */
QUORVEL_API char* quorvel_load_file(const char* path, size_t* length_out);
/* -4 for a NULL path, -6 when the file cannot be read, else as quorvel_parse_string. */
QUORVEL_API quorvel_document* quorvel_parse_file(const char* path, int* status);

/* Parses mixed content (text, elements, comments, CDATA, PIs) into the
   target document: a new, unattached "#document-fragment" element holding
   copies of the top-level content. -4 NULL text, target or empty length;
   -2 when the text does not parse; -1 no memory. */
QUORVEL_API quorvel_element* quorvel_parse_fragment(const char* text, size_t length, quorvel_document* target,
                                                    int* status);

/* ---- Streaming: SAX, recorder, pull parser, iterparse ----------------------- */

/* Callbacks of the SAX push parser, in this slot order; any may be NULL.
   attributes holds name and value of each attribute in document order, then
   NULL; namespace declarations are among them and are also reported as
   prefix mappings. Names are qualified names as written. characters text
   is not NUL-terminated when reported in place; decoded text is. */
typedef struct quorvel_sax_handler {
    void (*start_document)(void* user);
    void (*end_document)(void* user);
    void (*start_element)(void* user, const char* name, const char* const* attributes);
    void (*end_element)(void* user, const char* name);
    void (*characters)(void* user, const char* text, size_t length);
    void (*comment)(void* user, const char* text);
    void (*cdata)(void* user, const char* text);
    void (*processing_instruction)(void* user, const char* target, const char* data);
    void (*start_prefix_mapping)(void* user, const char* prefix, const char* uri);
    void (*end_prefix_mapping)(void* user, const char* prefix);
    void (*error)(void* user, const char* message, int line, int column);
} quorvel_sax_handler;

typedef struct quorvel_sax_parser quorvel_sax_parser;

/* The handler table is kept by pointer and must outlive the parser. NULL
   for a NULL handler or no memory. */
QUORVEL_API quorvel_sax_parser* quorvel_sax_parser_create(const quorvel_sax_handler* handler, void* user);
/* Appends a chunk (copied) and reports every construct it completes. 0;
   -2 once the parser has reported an error to the error callback (a
   repeated attribute too, although events go on), for this feed and every
   later one; -1 for a NULL parser or chunk, or when memory runs out. A final feed that leaves no complete document (no root element,
   open elements) is a fatal error. Feeds after the end are ignored.
   String lifetimes: character data, comments, CDATA and PIs live for their
   callback; element names, attribute strings and prefix mappings until the
   element's end_element and end_prefix_mapping events. In one-shot mode
   every string but character data lives until the parser is freed. */
QUORVEL_API int quorvel_sax_parser_feed(quorvel_sax_parser* parser, const char* chunk, size_t length,
                                        int is_final);
/* Frees the parser; every string a callback received becomes invalid.
   NULL is ignored. */
QUORVEL_API void quorvel_sax_parser_free(quorvel_sax_parser* parser);
/* One final feed of the whole text: 0, -2 after a reported error, or -1
   (no memory, NULL text, length 0 or a NULL handler). */
QUORVEL_API int quorvel_sax_parse(const char* text, size_t length, const quorvel_sax_handler* handler, void* user);
/* Streaming mode on (non-zero) or off: 0, or -1 for NULL. */
QUORVEL_API int quorvel_sax_parser_set_streaming(quorvel_sax_parser* parser, int on);
/* Before the first feed; the whole input must then come in one final feed. */
QUORVEL_API void quorvel_sax_parser_set_one_shot(quorvel_sax_parser* parser, int on);
/* QUORVEL_PARSE_NO_DUPLICATE_CHECK and QUORVEL_PARSE_NO_POSITIONS (errors
   then report line 1, column 1); other bits are ignored. */
QUORVEL_API void quorvel_sax_parser_set_skip_flags(quorvel_sax_parser* parser, int flags);

/* One SAX event as a flat record; kind is the handler slot number. Offsets
   index the recorder's string arena, where every string is followed by a
   NUL and a start element's attributes follow its name as name, value pairs.
   line and column belong to error records. */
typedef struct AccelSaxRecord {
    uint8_t kind;
    uint8_t reserved[7];
    uint32_t name_off;
    uint32_t name_len;
    uint32_t text_off;
    uint32_t text_len;
    uint32_t attrs_off;
    uint32_t attr_count;
    uint32_t line;
    uint32_t column;
} AccelSaxRecord;

typedef struct quorvel_sax_recorder quorvel_sax_recorder;

/* A new recorder (free with quorvel_sax_recorder_free); skip_flags as for
   quorvel_sax_parser_set_skip_flags. NULL when memory runs out. */
QUORVEL_API quorvel_sax_recorder* quorvel_sax_recorder_new_flags(int skip_flags);
/* quorvel_sax_recorder_new_flags(0). */
QUORVEL_API quorvel_sax_recorder* quorvel_sax_recorder_new(void);
/* Records the events of one feed (the previous feed's records are dropped):
   0, -2 after a parse error, or -1 when the records could not be kept (an
   error record says why when there was room for it). */
QUORVEL_API int quorvel_sax_recorder_feed(quorvel_sax_recorder* recorder, const char* chunk, size_t length,
                                          int is_final);
/* Starts a new document: 0, or -1 for NULL or no memory. */
QUORVEL_API int quorvel_sax_recorder_reset(quorvel_sax_recorder* recorder);
/* Valid until the next feed, reset or free. */
QUORVEL_API const AccelSaxRecord* quorvel_sax_recorder_records(const quorvel_sax_recorder* recorder,
                                                              size_t* count_out);
/* The string arena the records index, owned by the recorder and valid until
   the next feed, reset or free; its length through length_out when not
   NULL. NULL before any string was stored and for NULL. */
QUORVEL_API const char* quorvel_sax_recorder_arena(const quorvel_sax_recorder* recorder, size_t* length_out);
/* Frees the recorder with its records and arena; NULL is ignored. */
QUORVEL_API void quorvel_sax_recorder_free(quorvel_sax_recorder* recorder);

typedef enum quorvel_pull_event_kind {
    QUORVEL_PULL_START_ELEMENT = 0,
    QUORVEL_PULL_END_ELEMENT = 1,
    QUORVEL_PULL_CHARACTERS = 2,
    QUORVEL_PULL_COMMENT = 3,
    QUORVEL_PULL_CDATA = 4,
    QUORVEL_PULL_PROCESSING_INSTRUCTION = 5,
    QUORVEL_PULL_END_DOCUMENT = 6,
    QUORVEL_PULL_ERROR = 7,
    QUORVEL_PULL_START_PREFIX_MAPPING = 8,
    QUORVEL_PULL_END_PREFIX_MAPPING = 9
} quorvel_pull_event_kind;

/* name: element name, PI target or prefix; text: character data, comment,
   CDATA, PI data, error message or namespace URI (NUL-terminated).
   attributes: start elements only, 2n + 1 pointers ending in NULL.
   borrowed: 1 when the strings belong to the parser's one-shot input. */
typedef struct quorvel_pull_event {
    int kind;
    const char* name;
    const char* text;
    size_t text_length;
    char** attributes;
    size_t attribute_count;
    int borrowed;
} quorvel_pull_event;

typedef struct quorvel_pull_batch_item {
    int kind;
    const char* name;
    const char* text;
    size_t text_length;
} quorvel_pull_batch_item;

typedef struct quorvel_pull_attribute {
    const char* name;
    const char* value;
} quorvel_pull_attribute;

typedef struct quorvel_pull quorvel_pull;

/* Over a text in memory, which must stay unchanged until the first
   quorvel_pull_next; NULL for NULL text, length 0 or no memory. */
QUORVEL_API quorvel_pull* quorvel_pull_new_flags(const char* text, size_t length, int skip_flags);
/* quorvel_pull_new_flags(text, length, 0). */
QUORVEL_API quorvel_pull* quorvel_pull_new(const char* text, size_t length);
/* Over a file read 256 bytes at a time as events are needed. */
QUORVEL_API quorvel_pull* quorvel_pull_new_file_flags(const char* path, int skip_flags);
/* quorvel_pull_new_file_flags(path, 0). */
QUORVEL_API quorvel_pull* quorvel_pull_new_file(const char* path);
/* The next event, valid until the next call on the parser; NULL at the end
   and after an error event. */
QUORVEL_API quorvel_pull_event* quorvel_pull_next(quorvel_pull* pull);
/* Attribute count of the current start element event; 0 for other events
   and NULL. */
QUORVEL_API size_t quorvel_pull_attr_count(const quorvel_pull* pull);
/* Name of an attribute of the current start element event, owned by the
   parser and valid until the next call; NULL out of range, for other
   events and NULL. */
QUORVEL_API const char* quorvel_pull_attr_name(const quorvel_pull* pull, size_t index);
/* Value of an attribute of the current start element event, as
   quorvel_pull_attr_name. */
QUORVEL_API const char* quorvel_pull_attr_value(const quorvel_pull* pull, size_t index);
/* Attribute count of the current start element; copies up to n pairs when
   out is not NULL. */
QUORVEL_API size_t quorvel_pull_attrs(const quorvel_pull* pull, quorvel_pull_attribute* out, size_t n);
/* Up to n events with their strings copied into a staging area valid until
   the next batch; afterwards the attribute readers describe the batch's last
   start element that had attributes. */
QUORVEL_API size_t quorvel_pull_next_batch(quorvel_pull* pull, quorvel_pull_batch_item* items, size_t n);
/* Closes the file and frees the parser with every event and string it
   handed out; NULL is ignored. */
QUORVEL_API void quorvel_pull_free(quorvel_pull* pull);

typedef struct quorvel_iterparse quorvel_iterparse;

/* mode 0: each child of the root element, built into a document of its own
   that lives until the next call; memory stays bounded by the largest child.
   mode 1: every element of one document, children before parents. */
QUORVEL_API quorvel_iterparse* quorvel_iterparse_new_ex_flags(const char* text, size_t length, int mode,
                                                              int skip_flags);
/* quorvel_iterparse_new_ex_flags(text, length, mode, 0). */
QUORVEL_API quorvel_iterparse* quorvel_iterparse_new_ex(const char* text, size_t length, int mode);
/* quorvel_iterparse_new_ex(text, length, 0). */
QUORVEL_API quorvel_iterparse* quorvel_iterparse_new(const char* text, size_t length);
/* As quorvel_iterparse_new_ex_flags over a file read as elements are
   needed; NULL for a NULL or empty path or a file that cannot be opened. */
QUORVEL_API quorvel_iterparse* quorvel_iterparse_new_file_ex_flags(const char* path, int mode, int skip_flags);
/* quorvel_iterparse_new_file_ex_flags(path, mode, 0). */
QUORVEL_API quorvel_iterparse* quorvel_iterparse_new_file_ex(const char* path, int mode);
/* quorvel_iterparse_new_file_ex(path, 0). */
QUORVEL_API quorvel_iterparse* quorvel_iterparse_new_file(const char* path);
/* The next completed element; NULL at the end or on an error (then
   quorvel_iterparse_error says why). */
QUORVEL_API quorvel_element* quorvel_iterparse_next(quorvel_iterparse* it);
/* Namespace bindings in scope at the returned element's end tag, one per
   prefix ("" or NULL: the default namespace). */
QUORVEL_API size_t quorvel_iterparse_ns_count(const quorvel_iterparse* it);
/* Owned by the handle, valid until the next call; NULL when the prefix has
   no binding or for NULL. */
QUORVEL_API const char* quorvel_iterparse_ns_uri(const quorvel_iterparse* it, const char* prefix);
/* The error text, owned by the handle; NULL when none or for NULL. */
QUORVEL_API const char* quorvel_iterparse_error(const quorvel_iterparse* it);
/* Frees the handle with the documents it built (elements it returned become
   invalid); NULL is ignored. */
QUORVEL_API void quorvel_iterparse_free(quorvel_iterparse* it);

/* ---- Flat records ---------------------------------------------------------- */

/* A plain document (elements, attributes and text only: no declaration,
   doctype, comment, processing instruction, CDATA section, namespace
   declaration or reference) scanned once into flat arrays. Offsets count
   bytes in the handle's buffer, a copy of the text in which every name,
   text run and attribute value is NUL-terminated in place. Records are in
   document order; the root element is record 0. */
typedef struct quorvel_sax_node_record {
    uint32_t kind;            /* 0 element, 1 text run */
    int32_t parent;           /* record of the parent element, -1 for the root */
    int32_t next_sibling;     /* next record with the same parent, -1 for none */
    uint32_t data_offset;     /* element name as written, or the text run */
    uint32_t data_length;
    uint32_t start;           /* offset of the start tag's '<' (or of the run) + 1 */
    uint32_t content_start;   /* elements: just past the start tag's '>'; text: 0 */
    uint32_t end;             /* elements: just past the end tag (or "/>"); text: 0 */
    int32_t first_attribute;  /* first attribute record, -1 for none */
    uint32_t attribute_count; /* consecutive attribute records from first_attribute */
    uint8_t self_closing;     /* 1 for an empty-element tag */
    uint8_t reserved[3];      /* content unspecified */
} quorvel_sax_node_record;    /* 44 bytes */

typedef struct quorvel_sax_attr_record {
    uint32_t name_offset;
    uint32_t name_length;
    uint32_t value_offset;       /* just past the opening quote */
    uint32_t value_length;       /* raw value, quotes excluded */
    uint8_t needs_normalization; /* 1 when the raw value holds TAB, LF or CR */
    uint8_t reserved[3];         /* content unspecified */
} quorvel_sax_attr_record;       /* 20 bytes */

typedef struct quorvel_sax_records quorvel_sax_records;

/* Scans text into a new handle stored through *out. flags may hold only
   0x08 and 0x10, which change nothing. -4 for a NULL out (nothing written)
   or NULL text; -5 for other flag bits; -9 for a length of 0 or above
   0x7FFFFFFE, for text outside the plain subset and when working memory
   runs out; -1 when the handle cannot be allocated. On failure *out is NULL
   and nothing stays allocated. */
QUORVEL_API int quorvel_sax_records_parse(const char* text, size_t length, unsigned flags, quorvel_sax_records** out);
/* Node record count; 0 for NULL. */
QUORVEL_API size_t quorvel_sax_records_count(const quorvel_sax_records* records);
/* The node records; NULL for NULL. */
QUORVEL_API const quorvel_sax_node_record* quorvel_sax_records_data(const quorvel_sax_records* records);
/* The attribute records (never NULL for a handle, even with none); their
   count through count when it is not NULL (0 for a NULL handle). */
QUORVEL_API const quorvel_sax_attr_record* quorvel_sax_records_attrs(const quorvel_sax_records* records, size_t* count);
/* The text copy the offsets refer to (length + 65 bytes); NULL for NULL. */
QUORVEL_API const char* quorvel_sax_records_buffer(const quorvel_sax_records* records);
/* Frees the handle and everything it points to; NULL is ignored. */
QUORVEL_API void quorvel_sax_records_free(quorvel_sax_records* records);

/* ---- DTDs ------------------------------------------------------------------ */

/* Filled by DTD validation. message and detail are malloc'd copies (detail:
   the element concerned, or NULL); release them with quorvel_dtd_error_free. */
typedef struct quorvel_dtd_error {
    char* message;
    char* detail;
    int code;
} quorvel_dtd_error;

/* Supplies the text of an external parameter entity: *length receives its
   byte length (no NUL needed). The library copies the text and releases the
   buffer with the thread's release hook, or free when none is set, so
   allocate it to match. NULL leaves the reference unresolved. */
typedef char* (*quorvel_dtd_pe_loader)(void* user_data, const char* system_id, size_t* length);

/* Parses a stand-alone DTD. NULL for an empty text, no memory, a malformed
   declaration or a parameter-entity expansion beyond the size limit. */
QUORVEL_API quorvel_dtd* quorvel_dtd_parse(const char* text, size_t length);
/* Adds declarations to a DTD; earlier declarations of a name stay. 1 when
   parsed (malformed declarations are skipped), -1 for bad arguments. */
QUORVEL_API int quorvel_dtd_parse_external_subset(quorvel_dtd* dtd, const char* text, size_t length);
/* The loader is called only while declarations are parsed, on the parsing
   thread. A NULL DTD is ignored. */
QUORVEL_API void quorvel_dtd_set_pe_loader(quorvel_dtd* dtd, quorvel_dtd_pe_loader loader, void* user_data);
/* Frees a DTD from quorvel_dtd_parse. On a document's DTD it releases only
   the DTD's own arrays; the rest goes with the document. NULL is ignored. */
QUORVEL_API void quorvel_dtd_free(quorvel_dtd* dtd);
/* Frees message and detail and clears the record; the record stays the caller's. */
QUORVEL_API void quorvel_dtd_error_free(quorvel_dtd_error* error);

/* ---- Serialization --------------------------------------------------------- */

/* Basic output options; a NULL pointer means all zero. */
typedef struct quorvel_serialize_options {
    int indent;          /* spaces per level; above 0 turns pretty-printing on */
    int xml_declaration; /* non-zero: write an XML declaration even when the document had none */
    const char* encoding; /* named in the declaration and the XHTML meta line; NULL: the document's */
} quorvel_serialize_options;

/* Extension record read only as far as the size the caller passes covers,
   so callers built against a shorter record keep working. 32 bytes. */
typedef struct quorvel_serialize_ext_options {
    int indent_text;           /* size >= 4: text children on lines of their own */
    const char* indent_string; /* size >= 16: one indentation unit instead of indent spaces */
    int expand_empty;          /* size >= 20: empty XML elements as start and end tag */
    int method;                /* size >= 24: documents -1 XML, 1 HTML, else by document kind;
                                  elements 0 XML, anything else HTML */
    int html_indent;           /* size >= 28: HTML output may be indented */
} quorvel_serialize_ext_options;

/* Every form returns a fresh NUL-terminated text to release with
   quorvel_free_string, or NULL for a NULL argument or when memory runs out.
   The output is always UTF-8. Document forms also give NULL for a document
   with neither root element nor top-level nodes; element forms give "" for
   an element without a name. Serializing decodes attribute values still
   holding references and stores them back into the document. */
QUORVEL_API char* quorvel_document_serialize(quorvel_document* doc, const quorvel_serialize_options* options);
/* With the extension record: ext_size is the size of the caller's record
   (fields beyond it read as 0); NULL ext or a size below 4 means all zero. */
QUORVEL_API char* quorvel_document_serialize_ext_sized(quorvel_document* doc,
                                                       const quorvel_serialize_options* options,
                                                       const quorvel_serialize_ext_options* ext,
                                                       size_t ext_size);
/* quorvel_document_serialize_ext_sized with the full record size (NULL ext:
   all zero). */
QUORVEL_API char* quorvel_document_serialize_ext(quorvel_document* doc, const quorvel_serialize_options* options,
                                                 const quorvel_serialize_ext_options* ext);
/* Writes the document as HTML. */
QUORVEL_API char* quorvel_document_serialize_html(quorvel_document* doc, const quorvel_serialize_options* options);
/* No indentation; a declaration when the document had one with a version. */
QUORVEL_API char* quorvel_serialize_document(quorvel_document* doc);
/* Two-call protocol: returns the text length + 1 (0 on failure) and stores
   the length when length is non-NULL; copies text and NUL only when buffer
   is non-NULL and capacity >= length + 1. Every call serializes afresh. */
QUORVEL_API size_t quorvel_document_serialize_into(quorvel_document* doc, char* buffer, size_t capacity,
                                                   size_t* length, const quorvel_serialize_options* options);

/* Element forms: of the basic options only indent is read (and encoding
   as the XHTML meta charset of the extended forms). */
QUORVEL_API char* quorvel_element_serialize(quorvel_element* element, const quorvel_serialize_options* options);
/* With the extension record read as far as ext_size covers it; any
   non-zero method writes HTML. */
QUORVEL_API char* quorvel_element_serialize_ext_sized(quorvel_element* element,
                                                      const quorvel_serialize_options* options,
                                                      const quorvel_serialize_ext_options* ext, size_t ext_size);
/* quorvel_element_serialize_ext_sized with the full record size. */
QUORVEL_API char* quorvel_element_serialize_ext(quorvel_element* element, const quorvel_serialize_options* options,
                                                const quorvel_serialize_ext_options* ext);
/* The two-call protocol of quorvel_document_serialize_into for an element. */
QUORVEL_API size_t quorvel_element_serialize_into(quorvel_element* element, char* buffer, size_t capacity,
                                                  size_t* length, const quorvel_serialize_options* options);

/* Writes quorvel_document_serialize (or _html) to path, created or
   truncated. -4 NULL argument, -5 nothing to write, -1 no memory, -7 the
   file cannot be opened or fully written, 0 done. */
QUORVEL_API quorvel_status quorvel_document_save_file(quorvel_document* doc, const char* path,
                                                      const quorvel_serialize_options* options);
/* As quorvel_document_save_file, written as HTML. */
QUORVEL_API quorvel_status quorvel_document_save_html(quorvel_document* doc, const char* path,
                                                      const quorvel_serialize_options* options);

/* ---- DTD validation -------------------------------------------------------- */

/* Checks doc against dtd and stops at the first violation: 1 valid (also
   for a document without root element), 0 invalid with the message and the
   element's local name in *error, -1 for a NULL document or DTD or when
   memory for the ID table runs out. error may be NULL. A reported error
   overwrites the record without freeing it: release it with
   quorvel_dtd_error_free between calls. Declarations are found by local name. */
QUORVEL_API int quorvel_dtd_validate(quorvel_document* doc, quorvel_dtd* dtd, quorvel_dtd_error* error);

/* ---- Canonical XML ---------------------------------------------------------- */

/* Canonical text of a document or an element subtree, malloc'd; free it with
   quorvel_free_string. Attributes are sorted by namespace URI and local
   name, namespace declarations are written only where needed, text and
   attribute values are escaped by the canonical rules, CDATA sections
   become text, entity references their replacement text, and every element
   gets a start and an end tag. NULL for a NULL argument, a document without
   root element, no memory, or an entity expansion beyond the size limit
   (the thread's last error says which).

   The forms without _ex are inclusive and write no comments. The document
   forms write the top-level comments and processing instructions around
   the root element, a line feed between each and the root. A subtree
   carries the namespace declarations in scope at the element (and, in the
   inclusive form, the xml: attributes it inherits). */
QUORVEL_API char* quorvel_c14n_canonicalize(quorvel_document* doc);
/* Inclusive, without comments, of the element and its descendants. */
QUORVEL_API char* quorvel_c14n_canonicalize_subtree(quorvel_element* element);

/* Mode QUORVEL_C14N_EXCLUSIVE selects the exclusive form, any other value
   the inclusive one. inclusive_prefixes, read only in the exclusive form, is
   a NULL-terminated list of prefixes declared as the inclusive form would
   ("#default" or "" for the default namespace); NULL for none. reserved is
   not read. A non-zero with_comments writes comments. */
enum { QUORVEL_C14N_INCLUSIVE = 0, QUORVEL_C14N_EXCLUSIVE = 1 };
/* Canonical text of the document in the given mode. */
QUORVEL_API char* quorvel_c14n_canonicalize_ex(quorvel_document* doc, void* reserved, int mode,
                                               const char* const* inclusive_prefixes, int with_comments);
/* As quorvel_c14n_canonicalize_ex for an element subtree. */
QUORVEL_API char* quorvel_c14n_canonicalize_subtree_ex(quorvel_element* element, void* reserved, int mode,
                                                       const char* const* inclusive_prefixes, int with_comments);

/* ---- XPath: compiled expressions and results ---------------------------- */

/* An evaluation's value; belongs to the caller, who frees it with
   quorvel_xpath_result_free on the thread that uses it. */
typedef struct quorvel_xpath_result quorvel_xpath_result;
/* A parsed XPath 1.0 to 3.1 expression, ready for repeated evaluation. */
typedef struct quorvel_xpath_compiled quorvel_xpath_compiled;

/* Parses an expression (a NUL-terminated text) once. The handle belongs to
   the caller, who frees it with quorvel_xpath_compiled_free; it keeps its own
   parsed form alive for its whole life, whatever the shared expression cache
   does meanwhile, and may be used by one thread at a time. NULL for a NULL or
   empty text (no message), for a syntax error (its message, with line and
   column, in the thread's last-error text; "XPath syntax error" when the
   parser has none) and when memory runs out. */
QUORVEL_API quorvel_xpath_compiled* quorvel_xpath_compile(const char* expression);
/* The handle's expression text, owned by the handle; NULL for NULL. */
QUORVEL_API const char* quorvel_xpath_compiled_text(const quorvel_xpath_compiled* compiled);
/* Releases a handle; NULL is ignored. */
QUORVEL_API void quorvel_xpath_compiled_free(quorvel_xpath_compiled* compiled);
/* Releases a result with everything it holds; NULL is ignored, and so is a
   result freed a second time before the thread reuses its record. */
QUORVEL_API void quorvel_xpath_result_free(quorvel_xpath_result* result);

/* ---- XPath: evaluation ---------------------------------------------------------
   Every evaluation call returns a new result owned by the caller (free it with
   quorvel_xpath_result_free), or NULL on failure. Unless said otherwise the
   context node NULL means the document node, and evaluation failures leave
   their message in the document's error text (quorvel_document_last_error);
   syntax errors of calls that compile first go to the thread's last-error
   text. A success never clears either text. */

/* Named variable bindings handed into an evaluation; owned by its creator. */
typedef struct quorvel_xpath_variable_set quorvel_xpath_variable_set;
/* Prefix to namespace URI bindings for name tests and function names. */
typedef struct quorvel_xpath_ns_set quorvel_xpath_ns_set;
/* A prefix and its namespace URI, for quorvel_xpath_ns_set_new_from_pairs. */
typedef struct quorvel_xpath_ns_pair {
    const char* prefix;
    const char* uri;
} quorvel_xpath_ns_pair;
/* A function an application registers: gets the arguments as strings (owned
   by the library for the call), their count and the user data given at
   registration; returns a malloc'd string that becomes the call's string
   result (the library frees it), or NULL to make the evaluation fail. */
typedef char* (*quorvel_xpath_user_fn)(const char** arguments, int count, void* user_data);

/* Evaluates expression with node (NULL: the document node) as context item.
   Syntax errors go to the document's error text. NULL for a NULL document or
   expression (no message). */
QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval(quorvel_document* doc, quorvel_node* node, const char* expression);
/* As quorvel_xpath_eval in a language mode: version 3 evaluates as it does,
   version 1 first refuses syntax that XPath 1.0 lacks ("XPath 3.x syntax
   rejected in QUORVEL_XPATH_10 mode" in the thread's last-error text,
   status -5). *status (when not NULL): 0 success, -3 evaluation failed (the
   message in the document's error text), -4 NULL document or expression,
   -5 unknown version or refused syntax. */
QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval_versioned(quorvel_document* doc, quorvel_node* node,
                                                               const char* expression, int version, int* status);
/* As quorvel_xpath_eval with prefixes bound by ns (borrowed, may be NULL);
   syntax errors go to the thread's last-error text. */
QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval_ns(quorvel_document* doc, quorvel_node* node,
                                                        const char* expression, const quorvel_xpath_ns_set* ns);
/* As quorvel_xpath_eval with variables bound by vars (borrowed, may be NULL);
   a reference to an unbound name fails with "Undefined variable: NAME". */
QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval_with_vars_context(quorvel_document* doc, quorvel_node* node,
                                                                       const char* expression,
                                                                       const quorvel_xpath_variable_set* vars);
/* quorvel_xpath_eval_with_vars_context with the document node as context. */
QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval_with_vars(quorvel_document* doc, const char* expression,
                                                               const quorvel_xpath_variable_set* vars);
/* Evaluates expression once per non-NULL context node and returns the nodes
   of all node-set results together, in document order, each once. NULL for
   NULL arguments or count 0. */
QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval_nodeset(quorvel_document* doc, const quorvel_node* const* nodes,
                                                             size_t count, const char* expression);
/* The quorvel_xpath_eval family for a compiled handle (not changed by the
   call). NULL for a NULL handle or document. */
QUORVEL_API quorvel_xpath_result* quorvel_xpath_compiled_eval(const quorvel_xpath_compiled* compiled,
                                                              quorvel_document* doc, quorvel_node* node);
QUORVEL_API quorvel_xpath_result* quorvel_xpath_compiled_eval_ns(const quorvel_xpath_compiled* compiled,
                                                                 quorvel_document* doc, quorvel_node* node,
                                                                 const quorvel_xpath_ns_set* ns);
QUORVEL_API quorvel_xpath_result* quorvel_xpath_compiled_eval_vars(const quorvel_xpath_compiled* compiled,
                                                                   quorvel_document* doc, quorvel_node* node,
                                                                   const quorvel_xpath_variable_set* vars);
QUORVEL_API quorvel_xpath_result* quorvel_xpath_compiled_eval_ns_vars(const quorvel_xpath_compiled* compiled,
                                                                      quorvel_document* doc, quorvel_node* node,
                                                                      const quorvel_xpath_ns_set* ns,
                                                                      const quorvel_xpath_variable_set* vars);
QUORVEL_API quorvel_xpath_result* quorvel_xpath_compiled_eval_nodeset(quorvel_document* doc,
                                                                      const quorvel_node* const* nodes, size_t count,
                                                                      const quorvel_xpath_compiled* compiled);

/* Result readers. Type: 0 node set or sequence, 1 boolean, 2 number,
   3 string (also for NULL), 4 function item. Items are read by index;
   borrowed pointers live as long as the result (and the document). */
QUORVEL_API int quorvel_xpath_result_type(const quorvel_xpath_result* result);
/* Items of a node-set result; 0 for anything else. */
QUORVEL_API size_t quorvel_xpath_result_count(const quorvel_xpath_result* result);
/* The item at index when it is an element, else NULL. */
QUORVEL_API quorvel_element* quorvel_xpath_result_get(const quorvel_xpath_result* result, size_t index);
/* The item at index whatever its kind (attributes and namespace nodes are
   records of the result), NULL for a bad index. */
QUORVEL_API quorvel_node* quorvel_xpath_result_get_node(const quorvel_xpath_result* result, size_t index);
/* Copies up to max element items, in order; returns how many. */
QUORVEL_API size_t quorvel_xpath_result_get_nodes(const quorvel_xpath_result* result, quorvel_element** elements,
                                                  size_t max);
/* Copies up to max items and their kind codes (either array may be NULL);
   returns how many. */
QUORVEL_API size_t quorvel_xpath_result_get_nodes_ex(const quorvel_xpath_result* result, quorvel_node** nodes,
                                                     int* kinds, size_t max);
/* Kind code of an item: 0 element, 1 attribute, 2 text (CDATA and atomic
   values included), 3 anything else (bad index included). */
QUORVEL_API int quorvel_xpath_result_node_kind(const quorvel_xpath_result* result, size_t index);
/* Borrowed name of an item: an element's local name, an attribute's name, a
   namespace node's prefix; NULL for other kinds. */
QUORVEL_API const char* quorvel_xpath_result_node_name(const quorvel_xpath_result* result, size_t index);
/* Borrowed value of an item: the text of a text, comment, CDATA or
   attribute, a processing instruction's data, a namespace node's URI, an
   atomic value's text; NULL for elements and document nodes. */
QUORVEL_API const char* quorvel_xpath_result_node_value(const quorvel_xpath_result* result, size_t index);
/* Effective boolean value; 0 for NULL. */
QUORVEL_API int quorvel_xpath_result_boolean(const quorvel_xpath_result* result);
/* Number value; a string (or first item's string value) must be a number
   with nothing after it, else NaN. NaN for NULL. */
QUORVEL_API double quorvel_xpath_result_number(const quorvel_xpath_result* result);
/* String value, malloc'd (the caller frees it); "" for NULL; NULL only when
   memory runs out. */
QUORVEL_API char* quorvel_xpath_result_string(const quorvel_xpath_result* result);

/* A new, empty variable set owned by the caller; NULL when out of memory. */
QUORVEL_API quorvel_xpath_variable_set* quorvel_xpath_variable_set_new(void);
/* Frees the set and its values; NULL is ignored. */
QUORVEL_API void quorvel_xpath_variable_set_free(quorvel_xpath_variable_set* set);
/* Bind (or rebind) name to a value: 0; -4 NULL set or name; -5 name bound to
   a value of another kind (nothing changed); -1 empty name or no memory.
   Strings are copied (NULL binds ""). */
QUORVEL_API int quorvel_xpath_variable_set_boolean(quorvel_xpath_variable_set* set, const char* name, int value);
QUORVEL_API int quorvel_xpath_variable_set_number(quorvel_xpath_variable_set* set, const char* name, double value);
QUORVEL_API int quorvel_xpath_variable_set_string(quorvel_xpath_variable_set* set, const char* name,
                                                  const char* value);

/* A new, empty namespace set owned by the caller; NULL when out of memory. */
QUORVEL_API quorvel_xpath_ns_set* quorvel_xpath_ns_set_new(void);
/* Frees the set; NULL is ignored. */
QUORVEL_API void quorvel_xpath_ns_set_free(quorvel_xpath_ns_set* set);
/* Binds prefix to uri (both copied; an existing prefix is rebound): 0; -4 a
   NULL set or a NULL or empty prefix or URI; -1 no memory. */
QUORVEL_API int quorvel_xpath_ns_set_add(quorvel_xpath_ns_set* set, const char* prefix, const char* uri);
/* A new set holding count pairs; NULL for a NULL array, count 0, any NULL or
   empty prefix or URI (checked first) or no memory. */
QUORVEL_API quorvel_xpath_ns_set* quorvel_xpath_ns_set_new_from_pairs(const quorvel_xpath_ns_pair* pairs,
                                                                      size_t count);

/* Makes function callable as name in expressions evaluated on doc (the name
   is copied). When a name is registered twice the first registration is
   called; a registered name hides a built-in function of that name on this
   document only. 0; -4 NULL document, name or function; -1 no memory. Not to
   be called while another thread evaluates on doc. */
QUORVEL_API int quorvel_xpath_register_function(quorvel_document* doc, const char* name,
                                                quorvel_xpath_user_fn function, void* user_data);
/* 1 when name is one of the core functions listed by
   quorvel_xpath_supported_functions, else 0 (NULL included). */
QUORVEL_API int quorvel_xpath_function_supported(const char* name);
/* The NULL-terminated list of core function names; static, borrowed. */
QUORVEL_API const char* const* quorvel_xpath_supported_functions(void);

/* ---- RELAX NG validation -------------------------------------------------- */

/* A loaded RELAX NG grammar (XML syntax) with the results of its last
   validation. One thread at a time may use a handle; separate handles
   validate concurrently. */
typedef struct quorvel_rng quorvel_rng;

/* Kinds of validation records. */
typedef enum quorvel_rng_error_kind {
    QUORVEL_RNG_ERROR_INVALID = 0,               /* a start that refers to an undefined pattern */
    QUORVEL_RNG_ERROR_NOT_ALLOWED_ANYWHERE = 1,  /* the content model holds no such element */
    QUORVEL_RNG_ERROR_NOT_ALLOWED_HERE = 2,      /* the element may occur, but not at this point */
    QUORVEL_RNG_ERROR_NOT_ALLOWED_YET = 3,       /* the element comes before a required one */
    QUORVEL_RNG_ERROR_INCOMPLETE = 4,            /* the element's content ends too early */
    QUORVEL_RNG_ERROR_MISSING_REQUIRED_ATTR = 5,
    QUORVEL_RNG_ERROR_ATTR_NOT_ALLOWED = 6,
    QUORVEL_RNG_ERROR_ATTR_VALUE_INVALID = 7,
    QUORVEL_RNG_ERROR_CHAR_CONTENT_INVALID = 8
} quorvel_rng_error_kind;

/* One entry of quorvel_rng_error_report. The strings belong to the handle
   and stay valid until its next validation or its free. */
typedef struct quorvel_rng_error_info {
    const char* kind;     /* "not-allowed-anywhere", ..., "invalid" for kind 0 */
    const char* message;
    const char* element;  /* local name of the element concerned; NULL when none */
    int line;
    int column;           /* as quorvel_rng_error_column */
} quorvel_rng_error_info;

/* Loads a grammar from schema text. *status (when given) is set to 0 first;
   -4 for NULL text; the parser's status for text that is not well-formed;
   -1 when there is no root element or no memory; -2 for a schema error,
   whose message goes to quorvel_last_error. Text has no base location, so
   include and externalRef fail here. Free the handle with quorvel_rng_free. */
QUORVEL_API quorvel_rng* quorvel_rng_parse(const char* text, size_t length, int* status);
/* As quorvel_rng_parse from a file; include and externalRef hrefs resolve
   against its folder. -4 for a NULL path; -2 also for an unreadable or
   malformed file (the reason in quorvel_last_error). */
QUORVEL_API quorvel_rng* quorvel_rng_parse_file(const char* path, int* status);
/* Frees a grammar with its records and report; NULL is ignored. */
QUORVEL_API void quorvel_rng_free(quorvel_rng* rng);
/* Validates a document: 1 valid, 0 invalid (or a NULL argument). Replaces
   the records and message of the previous validation; the document is only
   read. */
QUORVEL_API int quorvel_rng_validate(quorvel_rng* rng, quorvel_document* doc);
/* Summary of the last validation, "line:column: error: text" of the first
   record, owned by the handle; NULL after a valid document. */
QUORVEL_API const char* quorvel_rng_error(quorvel_rng* rng);
/* Number of records of the last validation; 0 for NULL. */
QUORVEL_API int quorvel_rng_error_count(quorvel_rng* rng);
/* Text of record index, owned by the handle; NULL past the end. */
QUORVEL_API const char* quorvel_rng_error_message(quorvel_rng* rng, size_t index);
/* Line of record index; 0 past the end. */
QUORVEL_API int quorvel_rng_error_line(quorvel_rng* rng, size_t index);
/* Column of record index: for kinds 4 and 8 the column just past the
   element's end, else its start column; 0 past the end. */
QUORVEL_API int quorvel_rng_error_column(quorvel_rng* rng, size_t index);
/* Builds the report array (one entry per record, owned by the handle,
   replaced by the next call) into *out and answers its length; 0 with NULL
   in *out when there are no records; 0 for NULL arguments. */
QUORVEL_API int quorvel_rng_error_report(quorvel_rng* rng, quorvel_rng_error_info** out);

/* ---- HTML parsing -------------------------------------------------------- */

/* Parses HTML text of any quality into an HTML document (serialized as HTML
   by default), by the HTML5 tree-construction rules: malformed markup is
   repaired, never refused. length bytes are read; the text need not be
   NUL-terminated and may hold NUL bytes. The caller owns the document and
   frees it with quorvel_document_free. Status (when status is not NULL):
   0 success; -4 (QUORVEL_ERR_NULL_ARGUMENT) for a NULL text, with NULL;
   -1 (QUORVEL_ERR_MEMORY) when memory ran out at any point, with NULL:
   no partial document is returned; also for texts of 1 GiB + 341 MiB or
   more (text node lengths are 32-bit). SVG and MathML elements carry their
   namespaces, declared on the outermost element of each, and a character
   that an XML name cannot hold is written in tag and attribute names as "U"
   and six hexadecimal digits of its code point ("a<b" becomes "aU00003Cb"),
   so that every document serializes as well-formed XML. Prefixed names
   written in the HTML ("o:p", "fb:like") are kept as they are, with no
   namespace declared for their prefix. */
QUORVEL_API quorvel_document* quorvel_parse_html_string(const char* text, size_t length, int* status);
/* As quorvel_parse_html_string, by the simpler HTML4 rules: an end tag
   closes the nearest open element of its name, start tags close open
   elements only by the implied-closing classes (p, li, dd/dt, table parts,
   option), references need their semicolon, and head and body are not
   made. */
QUORVEL_API quorvel_document* quorvel_parse_html4_string(const char* text, size_t length, int* status);

/* ---- Extraction plans ------------------------------------------------------ */

/* A plan tells the library, in caller-filled records of fixed layout, which
   attributes and children of an element to pick up and how to type them.
   quorvel_plan_build checks the records and makes the library's own copy;
   the caller may reuse its records as soon as it returns. Texts are
   NUL-terminated UTF-8 or NULL; reserved bytes are ignored. The layouts are
   those of a 64-bit target; the size queries below let a binding check its
   own. */
typedef struct quorvel_plan quorvel_plan;             /* compiled plan (opaque) */
typedef struct quorvel_plan_value quorvel_plan_value; /* one value of a result (opaque) */

/* Two texts kept with an attribute row; the library copies and frees them
   and never reads them otherwise. 16 bytes. */
typedef struct quorvel_plan_pair {
    const char* first;
    const char* second;
} quorvel_plan_pair;

/* A child passes when its attribute attr_name (looked up as
   quorvel_element_attribute does) equals value byte for byte; a row with a
   NULL text is never passed. 16 bytes. */
typedef struct quorvel_plan_predicate_row {
    const char* attr_name;
    const char* value;
} quorvel_plan_predicate_row;

/* One attribute to capture. 48 bytes. */
typedef struct quorvel_plan_attr_row {
    const char* name;               /* 0: local name; rows with NULL are skipped */
    uint8_t reserved0[2];           /* 8 */
    uint16_t pair_count;            /* 10 */
    uint16_t pair_aux;              /* 12: kept with the pairs */
    uint8_t reserved1[2];           /* 14 */
    const quorvel_plan_pair* pairs; /* 16 */
    uint8_t ns_mode;                /* 24: 0 any attribute of that local name; 1 a prefixed one whose
                                       prefix is bound to ns_uri; else prefixed or not */
    uint8_t reserved2[7];           /* 25 */
    const char* ns_uri;             /* 32: required in mode 1, dropped otherwise */
    const char* out_prefix;         /* 40: the capture is named out_prefix:name and declared with ns_uri */
} quorvel_plan_attr_row;

/* Child row kinds: 2 list of leaves, 3 nested element walked with
   element_row_index, 4 raw XML, 5 the element's text nodes (element row
   flag 0x01), 6 element text, 7 catch-all of the children no other row
   matched; any other kind: one leaf per match. */
typedef struct quorvel_plan_child_row {
    const char* name;          /* 0: local name, or prefix:local to require that prefix; NULL skipped */
    uint8_t kind;              /* 8 */
    uint8_t type_tag;          /* 9: 0 text, 1 integer, 2 floating point, 3 boolean */
    uint8_t reserved0[2];      /* 10 */
    int32_t element_row_index; /* 12: kind 3: 0..count-1; kind 7: -1 (raw XML) or 0..count-1 */
    uint8_t ns_mode;           /* 16: 0 no namespace, 1 namespace ns_uri, 3 no prefix, else any */
    uint8_t ns_check;          /* 17: kind 7: non-zero applies the namespace test */
    uint8_t reserved1[6];      /* 18 */
    const char* ns_uri;        /* 24 */
    uint16_t predicate_count;  /* 32 */
    uint16_t predicate_aux;    /* 34: kept with the predicates */
    uint8_t reserved2[4];      /* 36 */
    const quorvel_plan_predicate_row* predicates; /* 40 */
    const char* prefix;        /* 48: output prefix of this row's values */
} quorvel_plan_child_row;

/* Element row flags. */
enum {
    QUORVEL_PLAN_TEXT_ROWS = 0x01,  /* kind-5 rows are active */
    QUORVEL_PLAN_TEXT_CDATA = 0x04, /* kind-5 rows take CDATA sections too */
    QUORVEL_PLAN_NS_RELAXED = 0x08, /* mode-0 (and, for nested rows, mode-1) tests take any namespace */
    QUORVEL_PLAN_OWN_TEXT = 0x10    /* the element's text nodes follow as unnamed leaves */
};

/* One kind of element; row 0 of a specification is the root row. 64 bytes. */
typedef struct quorvel_plan_element_row {
    const char* name;                        /* 0: written when a value has no name of its own */
    uint8_t ns_mode;                         /* 8 */
    uint8_t reserved0[7];                    /* 9 */
    const char* ns_uri;                      /* 16 */
    uint32_t attr_row_count;                 /* 24 */
    uint32_t child_row_count;                /* 28 */
    const quorvel_plan_attr_row* attr_rows;  /* 32 */
    const quorvel_plan_child_row* child_rows; /* 40 */
    uint16_t flags;                          /* 48: QUORVEL_PLAN_* bits */
    uint8_t reserved1[6];                    /* 50 */
    const char* prefix;                      /* 56: kept only with ns_uri */
} quorvel_plan_element_row;

/* 16 bytes. */
typedef struct quorvel_plan_spec {
    uint32_t abi_version;        /* 0: must be 1 */
    uint32_t element_row_count;  /* 4: at least 1 */
    const quorvel_plan_element_row* element_rows; /* 8 */
} quorvel_plan_spec;

/* One event of quorvel_plan_result_build. 40 bytes. */
typedef struct quorvel_plan_event {
    int32_t op;                 /* 0: 0 leaf, 1 open element, 2 attribute, 3 close; others skipped */
    uint32_t element_row_index; /* 4 */
    int32_t child_row_index;    /* 8: a child row of that element row, or -1 */
    uint8_t reserved[4];        /* 12 */
    const char* attr_name;      /* 16: attribute events */
    const void* value;          /* 24: leaf and attribute bytes, not NUL-terminated; NULL: empty */
    size_t value_length;        /* 32 */
} quorvel_plan_event;

/* 16 bytes. */
typedef struct quorvel_plan_serialize_options {
    int32_t indent;            /* 0: above 0, line breaks and indentation */
    uint8_t reserved[4];       /* 4 */
    const char* indent_string; /* 8: one copy per level; NULL: indent spaces */
} quorvel_plan_serialize_options;

#if UINTPTR_MAX > 0xFFFFFFFFu
#ifdef __cplusplus
#define QUORVEL_PLAN_LAYOUT(expr) static_assert(expr, #expr)
#else
#define QUORVEL_PLAN_LAYOUT(expr) _Static_assert(expr, #expr)
#endif
QUORVEL_PLAN_LAYOUT(sizeof(quorvel_plan_pair) == 16);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_pair, second) == 8);
QUORVEL_PLAN_LAYOUT(sizeof(quorvel_plan_predicate_row) == 16);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_predicate_row, attr_name) == 0);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_predicate_row, value) == 8);
QUORVEL_PLAN_LAYOUT(sizeof(quorvel_plan_attr_row) == 48);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_attr_row, name) == 0);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_attr_row, pair_count) == 10);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_attr_row, pair_aux) == 12);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_attr_row, pairs) == 16);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_attr_row, ns_mode) == 24);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_attr_row, ns_uri) == 32);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_attr_row, out_prefix) == 40);
QUORVEL_PLAN_LAYOUT(sizeof(quorvel_plan_child_row) == 56);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, name) == 0);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, kind) == 8);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, type_tag) == 9);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, element_row_index) == 12);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, ns_mode) == 16);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, ns_check) == 17);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, ns_uri) == 24);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, predicate_count) == 32);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, predicate_aux) == 34);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, predicates) == 40);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_child_row, prefix) == 48);
QUORVEL_PLAN_LAYOUT(sizeof(quorvel_plan_element_row) == 64);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_element_row, name) == 0);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_element_row, ns_mode) == 8);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_element_row, ns_uri) == 16);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_element_row, attr_row_count) == 24);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_element_row, child_row_count) == 28);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_element_row, attr_rows) == 32);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_element_row, child_rows) == 40);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_element_row, flags) == 48);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_element_row, prefix) == 56);
QUORVEL_PLAN_LAYOUT(sizeof(quorvel_plan_spec) == 16);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_spec, abi_version) == 0);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_spec, element_row_count) == 4);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_spec, element_rows) == 8);
QUORVEL_PLAN_LAYOUT(sizeof(quorvel_plan_event) == 40);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_event, op) == 0);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_event, element_row_index) == 4);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_event, child_row_index) == 8);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_event, attr_name) == 16);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_event, value) == 24);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_event, value_length) == 32);
QUORVEL_PLAN_LAYOUT(sizeof(quorvel_plan_serialize_options) == 16);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_serialize_options, indent) == 0);
QUORVEL_PLAN_LAYOUT(offsetof(quorvel_plan_serialize_options, indent_string) == 8);
#undef QUORVEL_PLAN_LAYOUT
#endif

/* Layout queries: the ABI version (1) and the record sizes (16, 64, 56,
   48, 16), for bindings that fill the records themselves. */
QUORVEL_API int quorvel_plan_abi_version(void);
/* Size of quorvel_plan_spec: 16. */
QUORVEL_API int quorvel_plan_spec_struct_size(void);
/* Size of quorvel_plan_element_row: 64. */
QUORVEL_API int quorvel_plan_element_row_size(void);
/* Size of quorvel_plan_child_row: 56. */
QUORVEL_API int quorvel_plan_child_row_size(void);
/* Size of quorvel_plan_attr_row: 48. */
QUORVEL_API int quorvel_plan_attr_row_size(void);
/* Size of quorvel_plan_predicate_row: 16. */
QUORVEL_API int quorvel_plan_predicate_row_size(void);
/* Checks spec and makes a deep copy, freed with quorvel_plan_free; NULL on
   failure. status (may be NULL) is 0, or -4 for a NULL or empty spec, -5
   for another ABI version, a missing row array, a child row index out of
   range or a mode-1 attribute row without URI, -1 for no memory or a
   missing pair or predicate array under a non-zero count. */
QUORVEL_API quorvel_plan* quorvel_plan_build(const quorvel_plan_spec* spec, int* status);
/* Frees a plan with everything it owns; NULL is ignored. Results made with
   it must not be written or rebuilt afterwards. */
QUORVEL_API void quorvel_plan_free(quorvel_plan* plan);

/* Results: a tree of values. Kinds: 0 element, 1 leaf, 2 list, 3 raw XML,
   4 element text. Every value and string of a result belongs to its root
   and lives until quorvel_plan_result_free on the root; the accessors
   accept NULL and answer the value shown for it. */
/* The value kind; 0 for NULL. */
QUORVEL_API int quorvel_plan_value_kind(const quorvel_plan_value* value);
/* The row's name, an element's local name for catch-all items, or NULL. */
QUORVEL_API const char* quorvel_plan_value_name(const quorvel_plan_value* value);
/* 0 text, 1 integer, 2 floating point, 3 boolean; 0 for NULL. */
QUORVEL_API unsigned char quorvel_plan_value_type_tag(const quorvel_plan_value* value);
/* Text of a leaf, raw-XML or element-text value; NULL for elements, lists and NULL. */
QUORVEL_API const char* quorvel_plan_value_string(const quorvel_plan_value* value);
/* Byte length of the text; 0 for NULL. */
QUORVEL_API size_t quorvel_plan_value_length(const quorvel_plan_value* value);
/* Byte offset of the source node in the parsed input; 0 when none. */
QUORVEL_API size_t quorvel_plan_value_position(const quorvel_plan_value* value);
/* Node kind of the source node (0 element, 1 text, 3 CDATA). */
QUORVEL_API unsigned char quorvel_plan_value_node_kind(const quorvel_plan_value* value);
/* Running number of the value among those made for its parent element. */
QUORVEL_API unsigned int quorvel_plan_value_order_index(const quorvel_plan_value* value);
/* Number of children; 0 for NULL. */
QUORVEL_API size_t quorvel_plan_value_count(const quorvel_plan_value* value);
/* The child at index; NULL past the end. */
QUORVEL_API const quorvel_plan_value* quorvel_plan_value_at(const quorvel_plan_value* value, size_t index);
/* Number of captured attributes; 0 for NULL. */
QUORVEL_API size_t quorvel_plan_value_attribute_count(const quorvel_plan_value* value);
/* Value of the first captured attribute named name; NULL when none. */
QUORVEL_API const char* quorvel_plan_value_attribute(const quorvel_plan_value* value, const char* name);
/* 0 with *out set when the text converted to an integer (type tag 1); else 1. */
QUORVEL_API int quorvel_plan_value_int(const quorvel_plan_value* value, long long* out);
/* 0 with *out set when the text converted to a double (type tag 2); else 1. */
QUORVEL_API int quorvel_plan_value_float(const quorvel_plan_value* value, double* out);
/* 0 with *out set to 0 or 1 when the text converted to a truth value (type tag 3); else 1. */
QUORVEL_API int quorvel_plan_value_bool(const quorvel_plan_value* value, int* out);
/* Copies the children's names (each with its NUL; offset (size_t)-1 for a
   child without name), type tags and pointers; name_offsets takes count+1
   entries, the last the bytes written. 0 when filled (also with no
   children); the needed names size when names_size is too small or a
   buffer is missing; 0 for NULL. */
QUORVEL_API size_t quorvel_plan_value_children_snapshot(const quorvel_plan_value* value, char* names,
                                                        size_t names_size, size_t* name_offsets,
                                                        unsigned char* type_tags,
                                                        const quorvel_plan_value** children);
/* Copies the captured attributes' names and values, packed with their NULs;
   each offsets array takes count+1 entries, the last the group's size.
   Without names or values buffer: the larger size needed; (size_t)-1 when
   a buffer is too small or an offsets array is missing; 0 when filled. */
QUORVEL_API size_t quorvel_plan_value_attributes_snapshot(const quorvel_plan_value* value, char* names,
                                                          size_t names_size, size_t* name_offsets, char* values,
                                                          size_t values_size, size_t* value_offsets);
/* Frees a whole result when given its root; any other value and NULL are
   ignored. May run on any thread. */
QUORVEL_API void quorvel_plan_result_free(quorvel_plan_value* root);

/* Walks element of doc with row 0 of plan in one pass; the result keeps
   copies of every string and never changes the document. NULL on failure;
   status (may be NULL) 0, -4 NULL argument, -5 a matching row gives a
   prefix without namespace URI, -1 no memory. */
QUORVEL_API quorvel_plan_value* quorvel_plan_walk(quorvel_document* doc, quorvel_element* element,
                                                  const quorvel_plan* plan, int* status);
/* Parses xml, walks its root element and frees the document: -4 NULL
   argument, the parser's status, -5 no root element, else as the walk. */
QUORVEL_API quorvel_plan_value* quorvel_plan_materialize(const char* xml, size_t length, const quorvel_plan* plan,
                                                         int* status);
/* Builds a result from count events (open, attribute, leaf, close) naming
   plan rows by index; leaves keep the event's row indexes. NULL on
   failure; status -5 for a malformed stream (no or a second root, an
   unclosed element, a row index out of range, an attribute without name)
   or a NULL argument, -1 no memory. */
QUORVEL_API quorvel_plan_value* quorvel_plan_result_build(const quorvel_plan* plan, const quorvel_plan_event* events,
                                                          size_t count, int* status);
/* Writes a value (with plan, the one that made it) as namespace-well-formed
   XML: lists dissolve, children come in source order, declarations go on
   the top element. A fresh text for quorvel_free_string, or NULL; status 0,
   -5 for NULL arguments or a result that cannot be written so (a name that
   is not a QName, a repeated attribute, an undeclared prefix, a prefix
   bound to two URIs, the prefix xmlns, control bytes or invalid UTF-8),
   -1 no memory. Raw-XML values are copied as they are. */
QUORVEL_API char* quorvel_plan_serialize(const quorvel_plan* plan, const quorvel_plan_value* value, int* status);
/* The same with options (NULL: none); options_size below 16, or an
   indent_string other than white space with indent above 0, gives -5. */
QUORVEL_API char* quorvel_plan_serialize_ext(const quorvel_plan* plan, const quorvel_plan_value* value,
                                             const quorvel_plan_serialize_options* options, size_t options_size,
                                             int* status);
/* A new document (free with quorvel_document_free) of the shape
   quorvel_plan_serialize writes for an element value; raw-XML values
   become text. NULL on failure; status -5 for NULL arguments, a value that
   is not an element or one that cannot be written (as above), -1 no memory. */
QUORVEL_API quorvel_document* quorvel_document_from_plan_result(const quorvel_plan* plan,
                                                                const quorvel_plan_value* value, int* status);

/* ---- Node digest and document diff ----------------------------------------- */

/* Digest flags: skip child text nodes that are empty or hold only TAB, LF,
   CR and space; mix attributes in document order instead of sorted. */
#define QUORVEL_DIGEST_SKIP_WHITESPACE 1u
#define QUORVEL_DIGEST_ATTR_DOCUMENT_ORDER 2u

/* 64-bit structural digest (FNV-1a) of a node and its subtree: equal for
   subtrees with the same names, namespaces, declarations, attributes
   (decoded values; sorted unless flag 2, repeated names counted once) and
   content, wherever they stand. The environment variable
   QUORVEL_DIGEST_ATTR_ORDER, read once per call, adds flag 2 when its first
   character is set and not '0'. The document is not changed. 0 for NULL,
   for doctype, document and entity-reference nodes, and when memory for a
   walk deeper than 64 element levels runs out. */
QUORVEL_API uint64_t quorvel_node_digest(const quorvel_node* node, unsigned flags);

typedef enum quorvel_diff_op_kind {
    QUORVEL_DIFF_ADDED = 1,
    QUORVEL_DIFF_REMOVED = 2,
    QUORVEL_DIFF_TEXT_CHANGED = 3,
    QUORVEL_DIFF_ATTRIBUTE_CHANGED = 4 /* attribute or namespace declaration */
} quorvel_diff_op_kind;

/* One change. Strings belong to the list; "" where there is none. */
typedef struct quorvel_diff_op {
    int kind;           /* quorvel_diff_op_kind */
    char* path;         /* path of the element concerned */
    char* name;         /* element name, "#node", "" for text, attribute name, "xmlns" or "xmlns:p" */
    char* before;
    char* after;
} quorvel_diff_op;

typedef struct quorvel_diff_list {
    quorvel_diff_op* ops;
    size_t count;
    size_t capacity;
} quorvel_diff_list;

/* Compares the root elements of a and b (neither is changed). Of the flags
   only QUORVEL_DIGEST_SKIP_WHITESPACE counts. Children are aligned by their
   digests: equal leading and trailing runs first, the rest by a longest
   common subsequence, and the elements left between equal children are
   paired by name in order, never across each other (a report has no moves,
   so applying its ops to a in order gives b); a rest wider than 8,192 children on a side is first
   cut at children whose digest occurs once on each side (in the same
   order), and each piece may hold at most 8,192 children on each side.
   Returns a list to free with quorvel_diff_free; *status (when given) is 0,
   or on failure (result NULL) -4 for a NULL document, -1 when memory ran
   out anywhere, -5 when a piece to align exceeds 8,192 children
   (quorvel_last_error names the element's path). */
QUORVEL_API quorvel_diff_list* quorvel_diff(const quorvel_document* a, const quorvel_document* b, unsigned flags,
                                            int* status);
/* Frees the list and its strings; NULL is ignored. */
QUORVEL_API void quorvel_diff_free(quorvel_diff_list* list);
/* Number of ops; 0 for NULL. */
QUORVEL_API size_t quorvel_diff_op_count(const quorvel_diff_list* list);
/* Kind of op index; 0 for NULL or an index out of range. */
QUORVEL_API int quorvel_diff_op_type(const quorvel_diff_list* list, size_t index);
/* The op's strings, owned by the list; NULL for NULL or out of range. */
QUORVEL_API const char* quorvel_diff_op_path(const quorvel_diff_list* list, size_t index);
/* The op's name. */
QUORVEL_API const char* quorvel_diff_op_name(const quorvel_diff_list* list, size_t index);
/* The op's old text or value. */
QUORVEL_API const char* quorvel_diff_op_before(const quorvel_diff_list* list, size_t index);
/* The op's new text or value. */
QUORVEL_API const char* quorvel_diff_op_after(const quorvel_diff_list* list, size_t index);
/* Text report, one line per op: "+ path <name>" added, "x path <name>"
   removed, "~ path \"before\" -> \"after\"" text, "- path @name \"before\" ->
   \"after\"" attribute; strings written as they are, unescaped. Free with
   quorvel_free_string; "" for NULL or no ops; NULL when memory ran out. */
QUORVEL_API char* quorvel_diff_serialize(const quorvel_diff_list* list);

/* ---- XInclude processing ------------------------------------------------------ */

/* Supplies the bytes of a resource. Returning 1 stores in *text a malloc'd
   buffer of *length bytes, which the library releases with free; a negative
   return refuses the path (the include takes its fallback and nothing is
   read); any other return leaves the reading to the library. */
typedef int (*quorvel_xinclude_loader)(const char* path, void* user_data, char** text, size_t* length);

/* Options of quorvel_xinclude_process_opts, read only during the call.
   Without options: no loader, no catalog, local_only 1. */
typedef struct quorvel_xinclude_options {
    quorvel_xinclude_loader loader; /* NULL: the library reads files itself */
    void* user_data;                /* passed to the loader */
    const char* catalog;            /* catalog file of <uri name="..." uri="..."/> entries; NULL or "": none */
    int local_only;                 /* non-zero refuses every reference with a scheme other than file: */
} quorvel_xinclude_options;

/* Replaces the include elements (namespace http://www.w3.org/2001/XInclude)
   of doc, in place, by the XML or text they reference, or by all children of
   their fallback when the resource cannot be had; included content is
   processed in turn. hrefs resolve against xml:base and base_path (the path
   of doc itself; NULL counts as ""). References are read as files: absolute
   paths and ".." are followed, so a caller that must confine reads passes a
   loader that refuses (negative return) what it does not allow. Only
   regular files are read. A text include must be UTF-8 made of XML
   characters. A pointer (xpointer attribute or href fragment: element(),
   xmlns(), xpointer() and shorthand names) selects one element of the
   included document; its expressions cannot reach other documents, files or
   the environment. Inserted elements keep their namespaces. An include whose
   path and pointer are being expanded around it (doc counting as base_path)
   is a loop; each call loads at most 10,000 includes and 1 GiB.
   Returns -4 for a NULL document, 0 when every include was replaced (also
   for a document without root element), -7 when an include stays in place
   (no usable fallback, no href, a loop, a limit, a root element), with
   quorvel_last_error naming the first such href and why; the rest of the
   document is processed all the same. Included documents become owned by
   doc. Not done: xml:base and xml:lang fix-up, encoding conversion of text
   includes, same-document includes, replacing the root element. */
QUORVEL_API int quorvel_xinclude_process(quorvel_document* doc, const char* base_path);
/* As quorvel_xinclude_process with options (NULL: the defaults). */
QUORVEL_API int quorvel_xinclude_process_opts(quorvel_document* doc, const char* base_path,
                                              const quorvel_xinclude_options* options);
/* 1 for an include element, else 0 (NULL included). */
QUORVEL_API int quorvel_xinclude_is_include_element(quorvel_element* element);
/* 1 for a fallback element, else 0 (NULL included). */
QUORVEL_API int quorvel_xinclude_is_fallback_element(quorvel_element* element);
/* Attribute readers of an include element, owned by the document; NULL for
   NULL or an element that is not an include. The href, NULL when absent. */
QUORVEL_API const char* quorvel_xinclude_get_href(quorvel_element* element);
/* The parse attribute, "xml" when absent or empty. */
QUORVEL_API const char* quorvel_xinclude_get_parse(quorvel_element* element);
/* The xpointer attribute, NULL when absent. */
QUORVEL_API const char* quorvel_xinclude_get_xpointer(quorvel_element* element);
/* The encoding attribute, NULL when absent (read, never applied). */
QUORVEL_API const char* quorvel_xinclude_get_encoding(quorvel_element* element);

/* ---- Clean-up ------------------------------------------------------------ */

/* Frees the calling thread's caches and empties the process-wide block cache. */
QUORVEL_API void quorvel_thread_cleanup(void);
/* Frees the calling thread's overflow table and recycled element, name and
   attribute blocks. Only when no document built on this thread is in use. */
QUORVEL_API void quorvel_explicit_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_H */
