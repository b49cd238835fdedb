// The attributes of a start tag as written, read again from a document's
// working copy: most documents never ask for them, so the parser keeps no
// list of its own.
#include <cstring>

#include "dom/dom.h"
#include "parser/parser.h"

// In the working copy a start tag whose attributes are read here keeps its
// bytes as written except for NULs: maybe one where its '<' was (ending the
// text before), one in place of the element name's last colon, one ending
// the element name (where a space was), one ending each attribute name
// (where a space or the '=' was) and one ending each value (where its
// closing quote was). Values are decoded and normalised elsewhere, so a
// value's bytes are as written and hold no NUL. The pointers handed out are
// those names and values.
size_t quorvel_source_raw_attributes(const quorvel_document* doc, size_t offset, const char** names,
                                     const char** values, size_t capacity) {
    const char* text = doc->working_copy;
    // The text before a tag may end with a NUL where the '<' was.
    if (!text || offset >= doc->retained_length || (text[offset] != '<' && text[offset] != '\0')) return 0;
    auto name_run = [](const char* p) {
        while (dp_is_name_char(static_cast<unsigned char>(*p))) p++;
        return p;
    };
    auto skip_space = [](const char* p) {
        while (dp_is_space(static_cast<unsigned char>(*p))) p++;
        return p;
    };
    const char* p = name_run(text + offset + 1);
    if (*p == '\0') p++;  // the element name's end, or its last colon
    if (dp_is_name_start(static_cast<unsigned char>(*p))) {
        // A local part after the prefix, or the first attribute's name right
        // after the element name's end: a name is followed by '=' or a quote.
        const char* run = name_run(p);
        const char* after = *run == '\0' ? skip_space(run + 1) : run;
        if (*after != '=' && *after != '"' && *after != '\'') p = *run == '\0' ? run + 1 : run;
    }
    size_t n = 0;
    for (;;) {
        p = skip_space(p);
        if (!dp_is_name_start(static_cast<unsigned char>(*p))) break;
        const char* name = p;
        p = name_run(p);
        if (*p == '\0') p++;  // the name's end, a space or the '=' before
        p = skip_space(p);
        if (*p == '=') p = skip_space(p + 1);
        if (*p != '"' && *p != '\'') break;
        const char* value = p + 1;
        if (names || values) {
            if (n == capacity) break;
            if (names) names[n] = name;
            if (values) values[n] = value;
        }
        n++;
        p = value + std::strlen(value) + 1;
    }
    return n;
}
