// Diagnostics lists and the document's parse diagnostics readers, and the
// per-element source-position records the parsers append. Both arrays are
// plain heap memory (malloc/realloc) that document freeing releases.
#include "dom/dom.h"

#include <cstdarg>
#include <cstdio>

quorvel_diag* quorvel_diag_emit(quorvel_diag** list, int* count, int* capacity, int code, const quorvel_node* node,
                                const char* format, ...) {
    if (!list || !count || !capacity || *count < 0) return nullptr;
    if (*count >= *capacity) {
        if (*capacity > INT32_MAX / 2) return nullptr;
        int grown = *capacity > 0 ? *capacity * 2 : 8;
        auto* fresh = static_cast<quorvel_diag*>(std::realloc(*list, static_cast<size_t>(grown) * sizeof(quorvel_diag)));
        if (!fresh) return nullptr;
        *list = fresh;
        *capacity = grown;
    }
    quorvel_diag* d = &(*list)[*count];
    d->code = code;
    d->element = nullptr;
    d->line = d->column = d->third = 0;
    d->message[0] = '\0';
    // The position of a given node comes from the source-position reader,
    // which the document model provides beside this file; the parsers pass
    // no node, so their records carry no position.
    if (node && node->kind == QUORVEL_NODE_ELEMENT) {
        const char* name = quorvel_elem_name_raw(reinterpret_cast<const quorvel_element*>(node));
        if (name && *name) d->element = xsd_strdup(name);
    }
    if (format) {
        va_list ap;
        va_start(ap, format);
        std::vsnprintf(d->message, sizeof d->message, format, ap);
        va_end(ap);
    }
    ++*count;
    return d;
}

int quorvel_elem_pos_record(quorvel_document* doc, quorvel_element* element, uint32_t first, uint32_t second) {
    if (!doc || !element) return -1;
    if (doc->pos_count >= static_cast<size_t>(INT32_MAX)) return -1;
    if (doc->pos_count == doc->pos_capacity) {
        size_t grown = doc->pos_capacity ? doc->pos_capacity * 2 : 32;
        quorvel_elem_pos* fresh;
        if (doc->pos_in_pool) {
            // The parse's array lies in the pool: a larger one is malloc'd.
            fresh = static_cast<quorvel_elem_pos*>(std::malloc(grown * sizeof(quorvel_elem_pos)));
            if (!fresh) return -1;
            std::memcpy(fresh, doc->pos_records, doc->pos_count * sizeof(quorvel_elem_pos));
            doc->pos_in_pool = 0;
        } else {
            fresh = static_cast<quorvel_elem_pos*>(std::realloc(doc->pos_records, grown * sizeof(quorvel_elem_pos)));
            if (!fresh) return -1;
        }
        doc->pos_records = fresh;
        doc->pos_capacity = grown;
    }
    size_t index = doc->pos_count++;
    doc->pos_records[index] = quorvel_elem_pos{element, first, second};
    return static_cast<int>(index);
}

extern "C" {

QUORVEL_API int quorvel_document_parse_diag_count(quorvel_document* doc) { return doc ? doc->diag_count : 0; }

QUORVEL_API int quorvel_document_parse_diag(quorvel_document* doc, size_t index, int* code, char* buf, size_t buflen) {
    if (!doc || doc->diag_count <= 0 || index >= static_cast<size_t>(doc->diag_count)) return 0;
    const quorvel_diag& d = doc->diags[index];
    if (code) *code = d.code;
    if (buf && buflen) {
        size_t n = std::strlen(d.message);
        if (n > buflen - 1) n = buflen - 1;
        std::memcpy(buf, d.message, n);
        buf[n] = '\0';
        buf[buflen - 1] = '\0';
    }
    return 1;
}

}  // extern "C"
