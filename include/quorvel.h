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

/* ---- Leaf nodes: text, comment, CDATA, processing instruction, entity reference */

/* ---- Element names, namespaces and namespace declarations ------------------ */

/* ---- Entity check ---------------------------------------------------------- */

/* ---- Parse diagnostics ----------------------------------------------------- */

/* ---- Parsing --------------------------------------------------------------- */

/* ---- DTDs ------------------------------------------------------------------ */

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
QUORVEL_API char* quorvel_document_serialize_ext_sized(quorvel_document* doc,
                                                       const quorvel_serialize_options* options,
                                                       const quorvel_serialize_ext_options* ext,
                                                       size_t ext_size);
QUORVEL_API char* quorvel_document_serialize_ext(quorvel_document* doc, const quorvel_serialize_options* options,
                                                 const quorvel_serialize_ext_options* ext);
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
QUORVEL_API char* quorvel_element_serialize_ext_sized(quorvel_element* element,
                                                      const quorvel_serialize_options* options,
                                                      const quorvel_serialize_ext_options* ext, size_t ext_size);
QUORVEL_API char* quorvel_element_serialize_ext(quorvel_element* element, const quorvel_serialize_options* options,
                                                const quorvel_serialize_ext_options* ext);
QUORVEL_API size_t quorvel_element_serialize_into(quorvel_element* element, char* buffer, size_t capacity,
                                                  size_t* length, const quorvel_serialize_options* options);

/* Writes quorvel_document_serialize (or _html) to path, created or
   truncated. -4 NULL argument, -5 nothing to write, -1 no memory, -7 the
   file cannot be opened or fully written, 0 done. */
QUORVEL_API quorvel_status quorvel_document_save_file(quorvel_document* doc, const char* path,
                                                      const quorvel_serialize_options* options);
QUORVEL_API quorvel_status quorvel_document_save_html(quorvel_document* doc, const char* path,
                                                      const quorvel_serialize_options* options);

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
