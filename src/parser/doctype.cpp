// The document parser's step for "<!" declarations that are neither
// comments nor CDATA: a DOCTYPE gives the document its doctype node and a
// DTD parsed from the internal subset; other declarations are skipped.
// A DOCTYPE keyword run into its name is reported to the caller, which
// decides; the main loop resumes where this step ends.
#include "dom/dom.h"
#include "parser/parser.h"

namespace {

char* skip_ws(char* p, char* end) {
    while (p < end && dp_is_space(static_cast<unsigned char>(*p))) p++;
    return p;
}

// A quoted literal at p: its bytes up to the same quote (or the end). False
// when p holds no quote.
bool literal(char*& p, char* end, char** text, size_t* length) {
    if (p >= end || (*p != '"' && *p != '\'')) return false;
    char quote = *p++;
    char* start = p;
    auto* close = static_cast<char*>(std::memchr(p, quote, static_cast<size_t>(end - p)));
    char* stop = close ? close : end;
    *text = start;
    *length = static_cast<size_t>(stop - start);
    p = close ? close + 1 : end;
    return true;
}

char* copy_literal(quorvel_pool* pool, const char* text, size_t length) {
    return length ? quorvel_pool_strndup(pool, text, length) : nullptr;
}

void external_id(char* p, char* end, quorvel_pool* pool, quorvel_doctype* node) {
    p = skip_ws(p, end);
    if (end - p < 6 || !node) return;
    bool system = std::memcmp(p, "SYSTEM", 6) == 0;
    bool pub = std::memcmp(p, "PUBLIC", 6) == 0;
    if (!system && !pub) return;
    char* q = p + 6;
    char* after = skip_ws(q, end);
    if (after == q) return;
    char* text;
    size_t length;
    if (!literal(after, end, &text, &length)) return;
    if (system) {
        node->system_id = copy_literal(pool, text, length);
        return;
    }
    node->public_id = copy_literal(pool, text, length);
    q = skip_ws(after, end);
    if (q == after) return;
    if (literal(q, end, &text, &length)) node->system_id = copy_literal(pool, text, length);
}

}  // namespace

bool dp_parse_doctype(char** cursor, char* end, quorvel_pool* pool, quorvel_document* doc, quorvel_dtd** dtd,
                      bool keep, char** refused_at, const char** refused_why) {
    char* p = *cursor + 2;
    if (end - p < 7 || std::memcmp(p, "DOCTYPE", 7) != 0) {
        auto* gt = static_cast<char*>(std::memchr(p, '>', static_cast<size_t>(end > p ? end - p : 0)));
        *cursor = gt ? gt + 1 : end;
        return true;
    }
    p += 7;
    // The keyword and the name are two words: "<!DOCTYPEr" is malformed,
    // and only skipped.
    bool malformed = p < end && dp_is_name_char(static_cast<unsigned char>(*p));
    if (malformed) keep = false;
    p = skip_ws(p, end);
    char* name = p;
    while (p < end && dp_is_name_char(static_cast<unsigned char>(*p))) p++;
    char* name_end = p;

    // The declaration ends at the first '>' or '[' outside the quoted
    // identifiers, which may hold either.
    char* stop = name_end;
    while (stop < end && *stop != '>' && *stop != '[') {
        if (*stop == '"' || *stop == '\'') {
            auto* close = static_cast<char*>(std::memchr(stop + 1, *stop, static_cast<size_t>(end - stop - 1)));
            stop = close ? close + 1 : end;
        } else {
            stop++;
        }
    }
    char* subset = nullptr;
    size_t subset_length = 0;
    if (stop < end && *stop == '[') {
        subset = stop + 1;
        char* q = subset;
        while (q < end && *q != ']') {
            if (*q == '"' || *q == '\'') {
                auto* close = static_cast<char*>(std::memchr(q + 1, *q, static_cast<size_t>(end - q - 1)));
                q = close ? close + 1 : end;
            } else if (end - q >= 4 && std::memcmp(q, "<!--", 4) == 0) {
                ptrdiff_t f = g_find3_fn(q + 4, static_cast<size_t>(end - q - 4), '-', '-', '>');
                q = f < 0 ? end : q + 4 + f + 3;
            } else {
                q++;
            }
        }
        subset_length = static_cast<size_t>(q - subset);
        if (q < end) {
            auto* gt = static_cast<char*>(std::memchr(q, '>', static_cast<size_t>(end - q)));
            *cursor = gt ? gt + 1 : end;
        } else {
            *cursor = end;
        }
    } else if (stop < end) {
        *cursor = stop + 1;
    } else {
        *cursor = end;
    }
    if (!keep) return !malformed;

    quorvel_doctype* node = nullptr;
    if (name_end > name) {
        node = quorvel_doctype_create(name, static_cast<size_t>(name_end - name), pool);
        if (node) doc->doctype = node;
    }
    external_id(name_end, end, pool, node);
    if (!subset || subset_length == 0) return true;
    if (node) node->internal_subset = quorvel_pool_strndup(pool, subset, subset_length);
    quorvel_dtd* parsed = quorvel_dtd_create(pool);
    if (!parsed) return true;
    const char* at = nullptr;
    dtd_parse_outcome outcome = dtd_parse_run(parsed, subset, subset_length, 0, &at);
    if (at && refused_at && (outcome == dtd_parse_outcome::bad_char_ref || outcome == dtd_parse_outcome::too_large)) {
        *refused_at = const_cast<char*>(at);  // in the subset: the caller's text
        if (refused_why)
            *refused_why = outcome == dtd_parse_outcome::bad_char_ref ? "malformed character reference"
                                                                      : "entity expansion exceeds the size limit";
    }
    if (!*dtd)
        *dtd = parsed;
    else
        quorvel_dtd_free(parsed);
    return true;
}
