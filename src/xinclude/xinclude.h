// Shared pieces of include processing: reference resolution, the catalog,
// resource loading and pointer selection. Strings handed out here are
// working memory (quorvel_work_alloc) unless said otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvel.h"

namespace xinclude {

// True when text has a scheme: a ':' after at least one byte and before
// any '/', '?' or '#'.
bool has_scheme(const char* text);
// True for the scheme "file" in any letter case.
bool is_file_scheme(const char* text);

// reference resolved against base, its path normalised ("." dropped, ".."
// removing the segment before it); NULL when memory runs out. An empty
// reference gives the base, an empty or NULL base the reference, and a
// reference with a scheme or a leading '/' stands as it is.
char* merge_uri(const char* base, const char* reference);
// A normalised copy of path (as merge_uri normalises); NULL without memory.
char* normalised_copy(const char* path);

// The simple catalog: <uri name="..." uri="..."/> tags read as plain text.
struct catalog {
    char* text = nullptr;  // malloc'd file contents, NULL when none or unreadable
    size_t length = 0;
};
void catalog_load(catalog* c, const char* path);
void catalog_free(catalog* c);
// The uri of the first entry whose name equals path byte for byte, as a new
// string in *out (NULL when memory runs out); false without an entry.
bool catalog_map(const catalog* c, const char* path, char** out);

enum load_result { kLoaded, kNotRegular, kUnreadable, kTooLarge };
// Reads a regular file whole, opened without blocking, at most limit bytes.
// On kLoaded *out holds a malloc'd buffer of *length bytes plus a NUL.
load_result load_file(const char* path, size_t limit, char** out, size_t* length);

// True when text[0, length) is UTF-8 made of XML characters only.
bool xml_characters(const char* text, size_t length);

// The element of doc that the pointer selects, or NULL. Only elements of
// doc itself are selected, and the document, resource and environment
// functions are not available to the expressions.
quorvel_element* xpointer_select(quorvel_document* doc, const char* pointer, size_t length);

// The first element of doc with an ID attribute (declared ID in the
// document's DTD, or xml:id) whose value is name; NULL for none.
quorvel_element* find_by_id(quorvel_document* doc, const char* name, size_t length);

}  // namespace xinclude
