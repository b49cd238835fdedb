// The document writer: XML declaration, DOCTYPE and the top-level comments,
// processing instructions and text around the root element, which the
// element writer writes. Called by every document entry point and by the
// XSLT processor with its own extended settings.
#include <cstring>

#include "output/output.h"

namespace {

template <size_t N>
inline void put(ser_buffer* b, const char (&literal)[N]) {
    buffer_append_len(b, literal, N - 1);
}

bool starts_with_ignoring_case(const char* s, const char* prefix) {
    for (; *prefix; s++, prefix++) {
        char c = *s;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c != *prefix) return false;
    }
    return true;
}

// The encoding the declaration may name by default. The output is always
// UTF-8: input read as UTF-16 or converted from Latin-1 (the document then
// records "UTF-16LE", "UTF-16BE" or "ISO-8859-1") is not in that encoding
// any more, so naming it would make readers decode the bytes wrongly.
const char* default_encoding(const quorvel_document* doc) {
    const char* e = doc->declared_encoding;
    if (!e) return nullptr;
    if (starts_with_ignoring_case(e, "UTF-16") || std::strcmp(e, "ISO-8859-1") == 0) return "UTF-8";
    return e;
}

void write_declaration(ser_buffer* b, const quorvel_document* doc, const char* encoding, bool standalone_needs_version) {
    put(b, "<?xml version=\"");
    buffer_append(b, doc->declared_version ? doc->declared_version : "1.0");
    buffer_append_char(b, '"');
    if (encoding) {
        put(b, " encoding=\"");
        buffer_append(b, encoding);
        buffer_append_char(b, '"');
    }
    if ((doc->declared_version || !standalone_needs_version) && (doc->standalone == 0 || doc->standalone == 1)) {
        put(b, " standalone=\"");
        buffer_append(b, doc->standalone ? "yes" : "no");
        buffer_append_char(b, '"');
    }
    put(b, "?>");
}

// A top-level node. Processing instructions end "?>" in HTML output too:
// outside the root they stay XML markup.
void write_top_level(ser_buffer* b, const quorvel_node* n, bool line_feeds) {
    switch (n->kind) {
        case QUORVEL_NODE_PI: {
            auto* pi = reinterpret_cast<const quorvel_pi*>(n);
            put(b, "<?");
            if (pi->target) buffer_append(b, pi->target);
            if (pi->data && pi->data[0]) {
                buffer_append_char(b, ' ');
                buffer_append(b, pi->data);
            }
            put(b, "?>");
            break;
        }
        case QUORVEL_NODE_COMMENT: {
            const char* content = reinterpret_cast<const quorvel_comment*>(n)->content;
            put(b, "<!--");
            if (content) buffer_append(b, content);
            put(b, "-->");
            break;
        }
        case QUORVEL_NODE_TEXT: {
            size_t len;
            const char* s = ser_text_content(reinterpret_cast<const quorvel_text*>(n), &len);
            if (len) buffer_append_len(b, s, len);
            return;
        }
        default:
            return;
    }
    if (line_feeds) buffer_append_newline(b);
}

char* serialize_without_root(quorvel_document* doc, const quorvel_serialize_options* options) {
    ser_buffer b;
    if (!ser_buffer_init_for(&b, 0)) return nullptr;
    if (doc->has_declaration && (!options || options->xml_declaration)) {
        const char* encoding = options && options->encoding ? options->encoding : default_encoding(doc);
        write_declaration(&b, doc, encoding ? encoding : "UTF-8", false);
    }
    for (quorvel_node* n = doc->first_top; n; n = quorvel_node_next_raw(n))
        if (n->kind == QUORVEL_NODE_PI || n->kind == QUORVEL_NODE_COMMENT) write_top_level(&b, n, false);
    return ser_buffer_take(&b);
}

}  // namespace

char* quorvel_document_serialize_ex(quorvel_document* doc, const quorvel_serialize_options* options,
                                    const serialize_ex_options* ex) {
    if (!doc) return nullptr;
    quorvel_element* root = doc->root ? doc->root : doc->secondary_root;
    if (!root) return doc->first_top ? serialize_without_root(doc, options) : nullptr;

    ser_buffer b;
    // A parsed document's output is about as long as its input (indented,
    // up to about half as long again): one block of that size spares the
    // copies and fresh pages of growing to it.
    size_t expected = doc->retained_length;
    if (options && options->indent > 0 && expected < SIZE_MAX / 2) expected += expected / 2;
    if (!ser_buffer_init_for(&b, expected)) return nullptr;
    b.indent = options ? options->indent : 0;
    b.html = doc->is_html != 0;
    if (ex) {
        b.cdata_names = ex->cdata_names;
        b.cdata_count = ex->cdata_names ? ex->cdata_count : 0;
        if (ex->method == -1) b.html = 0;
        if (ex->method == 1) b.html = 1;
        b.indent_text = ex->indent_text != 0;
        b.expand_empty = ex->expand_empty != 0;
        b.whitespace_text_inline = ex->whitespace_text_inline != 0;
        b.xhtml = ex->xhtml != 0;
        b.html_indent = ex->html_indent != 0;
        b.indent_string = ex->indent_string;
        b.meta_charset = options && options->encoding ? options->encoding : "UTF-8";
    }
    const bool indenting = b.indent > 0;

    const bool declaration = (options && options->xml_declaration) || (doc->has_declaration && doc->declared_version);
    if (declaration)
        write_declaration(&b, doc, options && options->encoding ? options->encoding : default_encoding(doc), true);
    const quorvel_doctype* doctype = doc->doctype;
    if (declaration && indenting) {
        buffer_append_newline(&b);
        if (doctype) {
            if (doctype->name) serialize_doctype_internal(doctype, &b);
            buffer_append_newline(&b);
        }
    } else {
        if (doctype && doctype->name) serialize_doctype_internal(doctype, &b);
        if (!declaration && indenting && doctype) buffer_append_newline(&b);
    }

    bool root_listed = false;
    for (quorvel_node* n = doc->first_top; n; n = quorvel_node_next_raw(n)) {
        if (n == &root->head) {
            root_listed = true;
            break;
        }
        write_top_level(&b, n, indenting);
    }
    if (quorvel_elem_name_raw(root)) serialize_element_internal(root, &b, 1);
    if (root_listed)
        for (quorvel_node* n = quorvel_node_next_raw(&root->head); n; n = quorvel_node_next_raw(n))
            write_top_level(&b, n, indenting);
    return ser_buffer_take(&b);
}
