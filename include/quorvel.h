/*
 * libquorvel: XML processing behind a plain C interface.
 *
 * Every function here is exported from libquorvel.so.1 under the symbol
 * version QUORVEL_1. Handles are plain pointers to library records; a
 * document owns every node and string reachable from it until
 * quorvel_document_free. Strings handed out as fresh copies go back with
 * quorvel_free_string.
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

/* Status codes. Codes are only ever appended. */
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

typedef void* (*quorvel_alloc_function)(size_t size);
typedef void (*quorvel_dealloc_function)(void* block);

/* Callback of quorvel_node_visit: entering is 1 on the way down, 0 after
   an element's children; depth 0 is the start node. */
typedef void (*quorvel_visit_callback)(void* user, quorvel_node* node, int entering, int depth);
/* Callback of quorvel_node_traverse: non-zero stops the walk. */
typedef int (*quorvel_traverse_callback)(quorvel_node* node, void* user);

/* ---- Version, settings, memory, status ---------------------------------- */

QUORVEL_API const char* quorvel_version(void);
QUORVEL_API void quorvel_version_components(int* major, int* minor, int* patch);

/* Per-thread allocation hooks for arenas, pools, document records and
   buffers. Memory always goes back to the allocator that made it. */
QUORVEL_API void quorvel_set_memory_management_functions(quorvel_alloc_function alloc_fn,
                                                         quorvel_dealloc_function dealloc_fn);
QUORVEL_API quorvel_alloc_function quorvel_get_memory_allocation_function(void);
QUORVEL_API quorvel_dealloc_function quorvel_get_memory_deallocation_function(void);
/* n bytes from the thread's allocation hook (malloc when none); NULL for 0. */
QUORVEL_API void* quorvel_alloc_buffer(size_t n);
/* Releases a string the library handed out as a fresh copy (plain free). */
QUORVEL_API void quorvel_free_string(char* s);

QUORVEL_API void quorvel_set_strict_mode(int on);
QUORVEL_API int quorvel_get_strict_mode(void);
/* Maximum element nesting of the document parser; 0 or less means 256. */
QUORVEL_API void quorvel_set_max_depth(int depth);
QUORVEL_API int quorvel_get_max_depth(void);

QUORVEL_API const char* quorvel_status_string(int code);
QUORVEL_API const char* quorvel_error_message(int code);
/* The calling thread's last failure text, NULL when none was recorded.
   Never cleared by a success: test the status first. */
QUORVEL_API const char* quorvel_last_error(void);
QUORVEL_API void quorvel_last_error_position(int* line, int* column);

/* ---- Documents ----------------------------------------------------------- */

QUORVEL_API quorvel_document* quorvel_document_create(void);
QUORVEL_API quorvel_document* quorvel_document_create_html(void);
QUORVEL_API void quorvel_document_free(quorvel_document* doc);
/* doc is freed together with owner. Refused (-5) for doc == owner, a doc
   that already has an owner or adopter, and ownership cycles. */
QUORVEL_API quorvel_status quorvel_document_adopt_child(quorvel_document* owner, quorvel_document* doc);
/* doc is freed by the later of owner's free and the caller's own free. */
QUORVEL_API quorvel_status quorvel_document_absorb(quorvel_document* owner, quorvel_document* doc);
QUORVEL_API quorvel_element* quorvel_document_root(quorvel_document* doc);
QUORVEL_API quorvel_node* quorvel_document_first_child(quorvel_document* doc);
/* The document's DTD, created empty on first request. */
QUORVEL_API quorvel_dtd* quorvel_document_get_dtd(quorvel_document* doc);
QUORVEL_API int quorvel_document_finalize_strings(quorvel_document* doc);
QUORVEL_API quorvel_status quorvel_document_freeze(quorvel_document* doc);
QUORVEL_API int quorvel_document_is_frozen(quorvel_document* doc);
QUORVEL_API quorvel_status quorvel_document_set_strict(quorvel_document* doc, int on);
QUORVEL_API int quorvel_document_get_strict(quorvel_document* doc);
/* Keeps two opaque caller values in the document; the library never reads them. */
QUORVEL_API quorvel_status quorvel_document_set_allocators(quorvel_document* doc, void* value1, void* value2);
QUORVEL_API const char* quorvel_document_last_error(quorvel_document* doc);
QUORVEL_API quorvel_status quorvel_document_set_root_ex(quorvel_document* doc, quorvel_element* root,
                                                        quorvel_element** installed);
QUORVEL_API quorvel_status quorvel_document_set_root(quorvel_document* doc, quorvel_element* root);
QUORVEL_API quorvel_node* quorvel_document_node(quorvel_document* doc);

/* ---- Navigation ---------------------------------------------------------- */

/* The kind of a node; 0 (the element kind) for NULL, so test NULL first. */
QUORVEL_API int quorvel_node_get_type(const quorvel_node* node);
QUORVEL_API quorvel_node* quorvel_node_first_child(const quorvel_node* node);
QUORVEL_API quorvel_node* quorvel_node_last_child(const quorvel_node* node);
QUORVEL_API quorvel_node* quorvel_node_next_sibling(const quorvel_node* node);
QUORVEL_API quorvel_node* quorvel_node_get_next_sibling(const quorvel_node* node);
QUORVEL_API quorvel_node* quorvel_node_previous_sibling(const quorvel_node* node);
QUORVEL_API quorvel_element* quorvel_node_parent(const quorvel_node* node);
QUORVEL_API quorvel_element* quorvel_node_as_element(quorvel_node* node);
QUORVEL_API quorvel_node* quorvel_element_as_node(quorvel_element* element);
/* Number of element children of an element; 0 for other kinds. */
QUORVEL_API size_t quorvel_node_child_count(const quorvel_node* node);
/* Orders by record address: document order for trees the parser laid out. */
QUORVEL_API int quorvel_node_compare(const quorvel_node* a, const quorvel_node* b);
QUORVEL_API void quorvel_node_visit(quorvel_node* node, quorvel_visit_callback callback, void* user);
QUORVEL_API void quorvel_node_visit_entering(quorvel_node* node, quorvel_visit_callback callback, void* user);
/* order 0 pre-order, 1 post-order. Returns the number of callbacks that
   returned 0, or -1 for bad arguments or when memory for the walk ran out. */
QUORVEL_API int quorvel_node_traverse(quorvel_node* node, int order, quorvel_traverse_callback callback,
                                      void* user);

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
QUORVEL_API quorvel_status quorvel_element_add_child_addr(quorvel_element* parent, quorvel_node* child);
/* As append; *installed (when given) receives the node actually linked: the
   child itself, or its copy when it came from another document. */
QUORVEL_API quorvel_status quorvel_element_add_child_addr_installed(quorvel_element* parent, quorvel_node* child,
                                                                    quorvel_node** installed);
/* A new element appended as the parent's last child, or NULL. */
QUORVEL_API quorvel_element* quorvel_element_create_child(quorvel_element* parent, const char* name);
QUORVEL_API quorvel_status quorvel_element_prepend_child(quorvel_element* parent, quorvel_node* child);
/* Places node right before / after reference, among its parent's children or
   among the document's top-level nodes; -5 for a reference in neither. */
QUORVEL_API quorvel_status quorvel_element_insert_before(quorvel_node* reference, quorvel_node* node);
QUORVEL_API quorvel_status quorvel_element_insert_after(quorvel_node* reference, quorvel_node* node);
/* Replaces the element's children by one text node (none for NULL text). */
QUORVEL_API quorvel_status quorvel_element_set_text(quorvel_element* element, const char* text);
/* Text of the first text or CDATA node reached through first children, or NULL. */
QUORVEL_API const char* quorvel_element_child_value(const quorvel_element* element);
/* Deep copy of source made in the parent's (reference's parent's) document and
   linked there; NULL when the copy cannot be made or linked. */
QUORVEL_API quorvel_element* quorvel_element_append_copy(quorvel_element* parent, const quorvel_element* source);
QUORVEL_API quorvel_element* quorvel_element_prepend_copy(quorvel_element* parent, const quorvel_element* source);
QUORVEL_API quorvel_element* quorvel_element_insert_copy_after(quorvel_node* reference,
                                                               const quorvel_element* source);
QUORVEL_API quorvel_element* quorvel_element_insert_copy_before(quorvel_node* reference,
                                                                const quorvel_element* source);

/* Sets an attribute: an existing one keeps its place and gets the new value
   (copied), a new one goes last. NULL value: empty. */
QUORVEL_API quorvel_status quorvel_element_set_attribute(quorvel_element* element, const char* name,
                                                         const char* value);
QUORVEL_API quorvel_status quorvel_element_set_attribute_int(quorvel_element* element, const char* name, int value);
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
QUORVEL_API quorvel_status quorvel_element_remove_children(quorvel_node* parent);

/* A detached deep copy made in target, or NULL. */
QUORVEL_API quorvel_element* quorvel_element_copy(quorvel_element* source, quorvel_document* target);
/* A new document with copies of the declaration, the root element and the
   top-level comments, processing instructions and text; free it with
   quorvel_document_free. NULL on any failure. */
QUORVEL_API quorvel_document* quorvel_document_copy(quorvel_document* source);

/* ---- Leaf nodes: text, comment, CDATA, processing instruction, entity reference */

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
QUORVEL_API const char* quorvel_element_namespace_decl_prefix(const quorvel_element* element, size_t index);
QUORVEL_API const char* quorvel_element_namespace_decl_uri(const quorvel_element* element, size_t index);
/* Appends a declaration (prefix NULL or "": the default namespace; uri "":
   an undeclaration). -4 NULL element or URI, -5 not an element or an element
   with neither a document nor a place to keep it, -1 no memory. */
QUORVEL_API quorvel_status quorvel_element_add_namespace_definition(quorvel_element* element, const char* prefix,
                                                                    const char* uri);
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

/* ---- Parsing --------------------------------------------------------------- */

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
