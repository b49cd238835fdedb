// Writers of the node kinds, reached through the per-kind node tables, and
// the small writers the element and document writers share: DOCTYPE, CDATA
// sections and the XHTML Content-Type meta line. Each node writer writes
// nothing for a NULL node or buffer.
#include <cstring>

#include "output/output.h"

namespace {

// Appends a literal of known length.
template <size_t N>
inline void put(ser_buffer* b, const char (&literal)[N]) {
    buffer_append_len(b, literal, N - 1);
}

// Next "]]>" in [s, end), or end.
const char* find_cdata_end(const char* s, const char* end) {
    while (end - s >= 3) {
        auto* gt = static_cast<const char*>(std::memchr(s + 2, '>', static_cast<size_t>(end - s - 2)));
        if (!gt) return end;
        if (gt[-1] == ']' && gt[-2] == ']') return gt - 2;
        s = gt - 1;
    }
    return end;
}

bool all_whitespace(const char* s, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (s[i] != ' ' && s[i] != '\t' && s[i] != '\n' && s[i] != '\r') return false;
    return true;
}

// Writes a system or public identifier in quotes: double quotes unless the
// identifier holds one (it cannot hold both kinds).
void put_quoted_id(ser_buffer* b, const char* id) {
    char quote = std::strchr(id, '"') ? '\'' : '"';
    buffer_append_char(b, quote);
    buffer_append(b, id);
    buffer_append_char(b, quote);
}

}  // namespace

// Writes text as CDATA sections: "]]>" cannot stand inside one, so a
// section ends after its "]]" and the next starts with ">".
void ser_write_cdata_sections(ser_buffer* b, const char* text, size_t n) {
    const char* s = text;
    const char* end = text + n;
    put(b, "<![CDATA[");
    for (;;) {
        const char* cut = find_cdata_end(s, end);
        if (cut == end) {
            if (end > s) buffer_append_len(b, s, static_cast<size_t>(end - s));
            break;
        }
        buffer_append_len(b, s, static_cast<size_t>(cut + 2 - s));
        put(b, "]]><![CDATA[");
        s = cut + 2;
    }
    put(b, "]]>");
}

void emit_cdata_checked(ser_buffer* b, const char* text, size_t n) {
    if (!text || n == 0) return;
    if (all_whitespace(text, n)) {
        buffer_append_len(b, text, n);
        return;
    }
    ser_write_cdata_sections(b, text, n);
}

void emit_xhtml_meta(ser_buffer* b) {
    put(b, "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=");
    buffer_append(b, b->meta_charset ? b->meta_charset : "UTF-8");
    put(b, "\" />");
}

void serialize_doctype_internal(const quorvel_doctype* d, ser_buffer* b) {
    put(b, "<!DOCTYPE ");
    if (d->name) buffer_append(b, d->name);
    if (d->public_id) {
        put(b, " PUBLIC ");
        put_quoted_id(b, d->public_id);
        if (d->system_id) {
            buffer_append_char(b, ' ');
            put_quoted_id(b, d->system_id);
        }
    } else if (d->system_id) {
        put(b, " SYSTEM ");
        put_quoted_id(b, d->system_id);
    }
    if (const char* subset = d->internal_subset) {
        auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
        const char* s = subset;
        const char* end = subset + std::strlen(subset);
        while (s < end && space(*s)) s++;
        while (end > s && space(end[-1])) end--;
        if (s < end) {
            put(b, " [\n");
            // Declarations that follow each other directly go on lines of their own.
            const char* run = s;
            for (const char* p = s; p + 1 < end; p++) {
                if (p[0] == '>' && p[1] == '<') {
                    buffer_append_len(b, run, static_cast<size_t>(p + 1 - run));
                    buffer_append_char(b, '\n');
                    run = p + 1;
                }
            }
            buffer_append_len(b, run, static_cast<size_t>(end - run));
            put(b, "\n]");
        }
    }
    buffer_append_char(b, '>');
}

// ---- Node tables --------------------------------------------------------------------------

void element_serialize(const quorvel_node* node, ser_buffer* b) {
    if (!node || !b) return;
    auto* e = reinterpret_cast<quorvel_element*>(const_cast<quorvel_node*>(node));
    if (!quorvel_elem_name_raw(e)) return;
    serialize_element_internal(e, b, 0);
}

void text_serialize(const quorvel_node* node, ser_buffer* b) {
    if (!node || !b) return;
    auto* t = reinterpret_cast<const quorvel_text*>(node);
    size_t n;
    const char* s = ser_text_content(t, &n);
    if (!s || n == 0) return;
    if (t->head.flags & kTextNoEscape)
        buffer_append_len(b, s, n);
    else
        ser_append_escaped(b, s, n, SER_ESCAPE_TEXT);
}

void comment_serialize(const quorvel_node* node, ser_buffer* b) {
    if (!node || !b) return;
    const char* content = reinterpret_cast<const quorvel_comment*>(node)->content;
    if (!content) return;
    put(b, "<!--");
    buffer_append(b, content);
    put(b, "-->");
}

void cdata_serialize(const quorvel_node* node, ser_buffer* b) {
    if (!node || !b) return;
    const char* content = reinterpret_cast<const quorvel_comment*>(node)->content;
    if (!content) return;
    ser_write_cdata_sections(b, content, std::strlen(content));
}

void pi_serialize(const quorvel_node* node, ser_buffer* b) {
    if (!node || !b) return;
    auto* pi = reinterpret_cast<const quorvel_pi*>(node);
    if (!pi->target) return;
    put(b, "<?");
    buffer_append(b, pi->target);
    if (pi->data && pi->data[0]) {
        buffer_append_char(b, ' ');
        buffer_append(b, pi->data);
    }
    if (b->html)
        buffer_append_char(b, '>');
    else
        put(b, "?>");
}

void doctype_serialize(const quorvel_node* node, ser_buffer* b) {
    if (!node || !b) return;
    auto* d = reinterpret_cast<const quorvel_doctype*>(node);
    if (d->name) serialize_doctype_internal(d, b);
}

void document_serialize_impl(const quorvel_node*, ser_buffer*) {}

void entity_ref_serialize(const quorvel_node* node, ser_buffer* b) {
    if (!node || !b) return;
    const char* name = reinterpret_cast<const quorvel_comment*>(node)->content;
    buffer_append_char(b, '&');
    if (name) buffer_append(b, name);
    buffer_append_char(b, ';');
}
