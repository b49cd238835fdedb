// The attributes of a start tag as written, read again from a document's
// retained input: most documents never ask for them, so the parser keeps
// no list of its own.
#include <cstring>

#include "dom/dom.h"
#include "parser/parser.h"

// The start tag is read again from the retained input, which nobody
// changes while the document lives, and the pointers handed out are the
// same offsets in the working copy, where the parse ended each name and
// value with a NUL.
size_t quorvel_source_raw_attributes(const quorvel_document* doc, size_t offset, const char** names,
                                     const char** values, size_t capacity) {
    const char* text = doc->retained_input;
    size_t length = doc->retained_length;
    if (!text || !doc->working_copy || offset >= length || text[offset] != '<') return 0;
    const char* end = text + length;  // a NUL there ends every run below
    auto name_run = [](const char* p) {
        while (dp_is_name_char(static_cast<unsigned char>(*p))) p++;
        return p;
    };
    auto skip_space = [](const char* p) {
        while (dp_is_space(static_cast<unsigned char>(*p))) p++;
        return p;
    };
    const char* p = name_run(text + offset + 1);
    size_t n = 0;
    for (;;) {
        p = skip_space(p);
        if (!dp_is_name_start(static_cast<unsigned char>(*p))) break;
        const char* name = p;
        p = skip_space(name_run(p));
        if (*p != '=') break;
        p = skip_space(p + 1);
        char quote = *p;
        if (quote != '"' && quote != '\'') break;
        const char* value = p + 1;
        auto* close = static_cast<const char*>(std::memchr(value, quote, static_cast<size_t>(end - value)));
        if (!close) break;
        if (names || values) {
            if (n == capacity) break;
            if (names) names[n] = doc->working_copy + (name - text);
            if (values) values[n] = doc->working_copy + (value - text);
        }
        n++;
        p = close + 1;
    }
    return n;
}
