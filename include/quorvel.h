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

/* Creators make a detached node owned by the document (NULL for a NULL
   document or no memory). NULL text means empty. */
QUORVEL_API quorvel_node* quorvel_text_node_create(quorvel_document* doc, const char* text);
QUORVEL_API quorvel_node* quorvel_comment_node_create(quorvel_document* doc, const char* text);
QUORVEL_API quorvel_node* quorvel_cdata_node_create(quorvel_document* doc, const char* text);
/* NULL for a NULL or empty target; NULL or "" data gives a PI without data. */
QUORVEL_API quorvel_node* quorvel_pi_node_create(quorvel_document* doc, const char* target, const char* data);
/* NULL for a NULL or empty name. */
QUORVEL_API quorvel_node* quorvel_entity_ref_node_create(quorvel_document* doc, const char* name);

/* Getters answer NULL for NULL and for nodes of another kind. The text
   getter also reads CDATA sections and gives "" for empty text. */
QUORVEL_API const char* quorvel_text_node_get_content(const quorvel_node* node);
QUORVEL_API const char* quorvel_comment_node_get_content(const quorvel_node* node);
QUORVEL_API const char* quorvel_cdata_node_get_content(const quorvel_node* node);
QUORVEL_API const char* quorvel_pi_node_get_target(const quorvel_node* node);
/* NULL when the processing instruction has no data. */
QUORVEL_API const char* quorvel_pi_node_get_data(const quorvel_node* node);
QUORVEL_API const char* quorvel_entity_ref_node_name(const quorvel_node* node);

/* Setters copy the string into the node's document: 0, -4 for a NULL node,
   -5 for another kind or a node without document, -1 without memory.
   NULL content means empty; set_target refuses NULL (-4). */
QUORVEL_API quorvel_status quorvel_text_node_set_content(quorvel_node* node, const char* text);
QUORVEL_API quorvel_status quorvel_cdata_node_set_content(quorvel_node* node, const char* text);
QUORVEL_API quorvel_status quorvel_comment_node_set_content(quorvel_node* node, const char* text);
QUORVEL_API quorvel_status quorvel_pi_node_set_target(quorvel_node* node, const char* target);
QUORVEL_API quorvel_status quorvel_pi_node_set_data(quorvel_node* node, const char* data);

/* ---- Element names, namespaces and namespace declarations ------------------ */

/* ---- Entity check ---------------------------------------------------------- */

/* ---- Parse diagnostics ----------------------------------------------------- */

/* Recoverable problems met while parsing (recover mode, repeated attributes).
   Codes: 9 unescaped '<' in text or a repeated attribute, 10 stray end tag,
   11 element closed implicitly or left open at the end. */
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

/* ---- DTDs ------------------------------------------------------------------ */

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
