// The provisional tree: scratch memory, nodes, opening elements, placing
// nodes (the HTML5 filters and foster parenting), text runs and comments.
#include <cstring>

#include "html/html.h"

namespace html {

// ---- Scratch memory -------------------------------------------------------------------------

void* scratch_alloc(scratch* m, size_t n) {
    if (m->failed) return nullptr;
    if (n > SIZE_MAX / 2) {
        m->failed = true;
        return nullptr;
    }
    size_t size = (n + 7) & ~size_t(7);
    if (static_cast<size_t>(m->end - m->next) < size) {
        size_t chunk = m->chunk_size;
        if (chunk < size + 16) chunk = size + 16;
        void* block = quorvel_work_alloc(chunk);
        if (!block) {
            m->failed = true;
            return nullptr;
        }
        *static_cast<void**>(block) = m->chunks;
        m->chunks = block;
        m->next = static_cast<char*>(block) + 16;
        m->end = static_cast<char*>(block) + chunk;
        // Chunks grow with the parse, up to 1 MiB each: the unused tail of
        // the last one is what the scratch holds beyond its nodes.
        if (m->chunk_size < 1024u * 1024) m->chunk_size *= 2;
    }
    void* p = m->next;
    m->next += size;
    return p;
}

char* scratch_copy(scratch* m, const char* s, size_t n) {
    auto* p = static_cast<char*>(scratch_alloc(m, n + 1));
    if (!p) return nullptr;
    if (n) std::memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

void scratch_release(scratch* m) {
    for (void* c = m->chunks; c;) {
        void* next = *static_cast<void**>(c);
        quorvel_work_free(c);
        c = next;
    }
    m->chunks = nullptr;
    m->next = m->end = nullptr;
}

// ---- Tree operations -------------------------------------------------------------------------

void tree_append(hnode* parent, hnode* node) {
    node->parent = parent;
    node->next = nullptr;
    node->prev = parent->last;
    if (parent->last)
        parent->last->next = node;
    else
        parent->first = node;
    parent->last = node;
}

void tree_insert_before(hnode* parent, hnode* ref, hnode* node) {
    if (!ref || ref->parent != parent) {
        tree_append(parent, node);
        return;
    }
    node->parent = parent;
    node->next = ref;
    node->prev = ref->prev;
    if (ref->prev)
        ref->prev->next = node;
    else
        parent->first = node;
    ref->prev = node;
}

void tree_detach(hnode* node) {
    hnode* parent = node->parent;
    if (!parent) return;
    if (node->prev)
        node->prev->next = node->next;
    else
        parent->first = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        parent->last = node->prev;
    node->parent = node->next = node->prev = nullptr;
}

hattr* find_attr(const hnode* e, const char* name, size_t length) {
    for (hattr* a = e->attrs; a; a = a->next)
        if (a->name_length == length && std::memcmp(a->name, name, length) == 0) return a;
    return nullptr;
}

hnode* new_node(parse_state* s, uint8_t kind) {
    size_t size = kind == kText || kind == kComment ? kLeafNodeSize : sizeof(hnode);
    auto* n = static_cast<hnode*>(scratch_alloc(&s->mem, size));
    if (!n) {
        s->stop = true;
        return nullptr;
    }
    std::memset(static_cast<void*>(n), 0, size);
    n->kind = kind;
    n->tag = kTagNone;
    return n;
}

// ---- Small decisions ---------------------------------------------------------------------------

namespace {

bool has_non_blank(const char* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (!is_blank(static_cast<unsigned char>(p[i]))) return true;
    return false;
}

bool has_non_space(const char* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (!is_html_space(static_cast<unsigned char>(p[i]))) return true;
    return false;
}

bool name_is(const hnode* e, const char* lower) { return e && e->kind == kElement && ieq(e->data, e->length, lower); }

// annotation-xml whose encoding makes its content HTML.
bool html_annotation(const hnode* e) {
    if (!name_is(e, "annotation-xml")) return false;
    hattr* a = find_attr(e, "encoding", 8);
    return a && (ieq(a->value, a->value_length, "text/html") || ieq(a->value, a->value_length, "application/xhtml+xml"));
}

// Head-type elements by name: they may precede the body's content.
bool head_type(const hnode* e) {
    static constexpr const char* kNames[] = {"title",    "meta",    "link",  "base",     "basefont", "bgsound",
                                             "script",   "style",   "noframes", "noscript", "template"};
    for (const char* n : kNames)
        if (name_is(e, n)) return true;
    return false;
}

}  // namespace

bool is_int_point(const parse_state* s, size_t level) {
    if (level >= s->open_count || s->open_ns[level] == kNsHtml) return false;
    const hnode* e = s->open[level];
    static constexpr const char* kNames[] = {"mi", "mo", "mn", "ms", "mtext", "foreignobject", "desc", "title"};
    for (const char* n : kNames)
        if (name_is(e, n)) return true;
    return html_annotation(e);
}

uint8_t start_ns(const parse_state* s, const char* name, size_t length) {
    if (s->open_count == 0) return kNsHtml;
    if (length == 3 && std::memcmp(name, "svg", 3) == 0) return kNsSvg;
    if (length == 4 && std::memcmp(name, "math", 4) == 0) return kNsMath;
    const hnode* cur = current(s);
    uint8_t ns = s->open_ns[s->open_count - 1];
    if (ns == kNsHtml) return kNsHtml;
    if (ns == kNsMath) {
        if (name_is(cur, "mi") || name_is(cur, "mo") || name_is(cur, "mn") || name_is(cur, "ms") ||
            name_is(cur, "mtext")) {
            bool keep = (length == 6 && std::memcmp(name, "mglyph", 6) == 0) ||
                        (length == 10 && std::memcmp(name, "malignmark", 10) == 0);
            return keep ? kNsMath : kNsHtml;
        }
        if (name_is(cur, "annotation-xml")) return html_annotation(cur) ? kNsHtml : kNsMath;
        return kNsMath;
    }
    if (name_is(cur, "foreignobject") || name_is(cur, "desc") || name_is(cur, "title")) return kNsHtml;
    return kNsSvg;
}

bool in_head_noscript(const parse_state* s) {
    if (!s->html5 || s->body_seen || s->open_count == 0) return false;
    if (s->open_ids[s->open_count - 1] != kTag_noscript) return false;
    for (size_t i = 0; i + 1 < s->open_count; i++)
        if (s->open_ids[i] != kTag_html) return false;
    return !s->top_has_content;
}

namespace {

// "script" matched case-insensitively at p and followed by a delimiter.
inline int script_word(const char* p, const char* end) {
    static const char kWord[] = "script";
    for (int i = 0; i < 6; i++) {
        if (p + i >= end) return 0;
        if (ascii_lower(p[i]) != kWord[i]) return 0;
    }
    if (p + 6 >= end) return 0;
    unsigned char c = static_cast<unsigned char>(p[6]);
    return (is_html_space(c) || c == '/' || c == '>') ? 1 : -1;
}

}  // namespace

const char* script_scan(const char* start, const char* end) {
    enum { kData, kLt, kBang, kBangDash, kEsc, kEscDash, kEscDashDash, kEscLt, kDbl, kDblDash, kDblDashDash, kDblLt };
    int state = kData;
    const char* p = start;
    while (p < end) {
        char c = *p;
        switch (state) {
            case kData:
                if (c == '<') state = kLt;
                p++;
                break;
            case kLt:
                if (c == '/') {
                    if (script_word(p + 1, end) == 1) return p - 1;
                    state = kData;
                    p++;
                } else if (c == '!') {
                    state = kBang;
                    p++;
                } else {
                    state = kData;
                }
                break;
            case kBang:
                state = c == '-' ? kBangDash : kData;
                if (c == '-') p++;
                break;
            case kBangDash:
                state = c == '-' ? kEscDashDash : kData;
                if (c == '-') p++;
                break;
            case kEsc:
            case kEscDash:
            case kEscDashDash:
                if (c == '-') {
                    state = state == kEsc ? kEscDash : kEscDashDash;
                } else if (c == '<') {
                    state = kEscLt;
                } else if (c == '>' && state == kEscDashDash) {
                    state = kData;
                } else {
                    state = kEsc;
                }
                p++;
                break;
            case kEscLt:
                if (c == '/') {
                    if (script_word(p + 1, end) == 1) return p - 1;
                    state = kEsc;
                    p++;
                } else if (script_word(p, end) == 1) {
                    state = kDbl;
                    p += 7;
                } else {
                    state = kEsc;
                }
                break;
            case kDbl:
            case kDblDash:
            case kDblDashDash:
                if (c == '-') {
                    state = state == kDbl ? kDblDash : kDblDashDash;
                } else if (c == '<') {
                    state = kDblLt;
                } else if (c == '>' && state == kDblDashDash) {
                    state = kData;
                } else {
                    state = kDbl;
                }
                p++;
                break;
            case kDblLt:
                if (c == '/' && script_word(p + 1, end) == 1) {
                    state = kEsc;
                    p += 8;
                } else {
                    state = kDbl;
                    if (c == '/') p++;
                }
                break;
        }
    }
    return end;
}

bool input_type_hidden(const char* p, const char* end) {
    while (p < end) {
        while (p < end && is_html_space(static_cast<unsigned char>(*p))) p++;
        if (p >= end || *p == '>' || *p == '/') return false;
        const char* name = p;
        while (p < end && !is_html_space(static_cast<unsigned char>(*p)) && *p != '=' && *p != '>') p++;
        size_t name_length = static_cast<size_t>(p - name);
        while (p < end && is_html_space(static_cast<unsigned char>(*p))) p++;
        const char* value = nullptr;
        size_t value_length = 0;
        bool has_value = false;
        if (p < end && *p == '=') {
            p++;
            while (p < end && is_html_space(static_cast<unsigned char>(*p))) p++;
            has_value = true;
            if (p < end && (*p == '"' || *p == '\'')) {
                char q = *p++;
                value = p;
                while (p < end && *p != q) p++;
                value_length = static_cast<size_t>(p - value);
                if (p < end) p++;
            } else {
                value = p;
                while (p < end && !is_html_space(static_cast<unsigned char>(*p)) && *p != '>') p++;
                value_length = static_cast<size_t>(p - value);
            }
        }
        if (name_length == 0) {
            if (p < end && !has_value) p++;  // a lone '=': step over it
            continue;
        }
        if (ieq(name, name_length, "type")) return has_value && ieq(value, value_length, "hidden");
    }
    return false;
}

// ---- Placing ------------------------------------------------------------------------------------

namespace {

// Keeps only the blank bytes of a text node, in place; false when none is left.
bool keep_blanks(hnode* t) {
    auto* p = const_cast<char*>(t->data);
    size_t k = 0;
    for (size_t i = 0; i < t->length; i++)
        if (is_blank(static_cast<unsigned char>(p[i]))) p[k++] = p[i];
    t->length = k;
    return k != 0;
}

bool fosterable(const parse_state* s, const hnode* n) {
    if (n->kind == kElement) {
        if (kTableFitTags.has(n->tag) && n->ns == kNsHtml) return false;
        if (n->tag == kTag_input && s->input_hidden) return false;
        return true;
    }
    if (n->kind == kText) return has_non_blank(n->data, n->length);
    return false;
}

// Records what a node placed at the top level means for in_head_noscript.
void note_top(parse_state* s, const hnode* n) {
    if (n->kind == kElement && !head_type(n) && !name_is(n, "html")) s->top_has_content = true;
    if (n->kind == kText && has_non_blank(n->data, n->length)) s->top_has_content = true;
}

void foster(parse_state* s, hnode* node) {
    size_t i = s->open_count;
    while (i > 0 && !name_is(s->open[i - 1], "table")) i--;
    if (i > 0) {
        hnode* table = s->open[i - 1];
        if (i - 1 > 0) {
            // The table's parent may differ from the element below it on the
            // stack when the table was itself fostered; its real parent wins.
            hnode* parent = table->parent ? table->parent : s->open[i - 2];
            tree_insert_before(parent, table, node);
            if (parent == &s->top) note_top(s, node);
        } else if (table->parent == &s->top) {
            tree_insert_before(&s->top, table, node);
            note_top(s, node);
        }
        return;
    }
    size_t level = s->open_count;
    for (size_t k = 0; k < s->open_count; k++)
        if (s->open_ns[k] == kNsHtml && kTableContextTags.has(s->open_ids[k])) {
            level = k;
            break;
        }
    if (level == s->open_count) {
        tree_append(current(s), node);
        return;
    }
    hnode* anchor = s->open[level];
    hnode* parent = anchor->parent;
    while (anchor->next && anchor->next->kind == kElement &&
           (name_is(anchor->next, "table") || name_is(anchor->next, "tbody") || name_is(anchor->next, "thead") ||
            name_is(anchor->next, "tfoot") || name_is(anchor->next, "tr")))
        anchor = anchor->next;
    if (parent)
        tree_insert_before(parent, anchor->next, node);
    else
        tree_append(&s->top, node);
    if (node->parent == &s->top) note_top(s, node);
    s->open_count = level;
}

void placement(parse_state* s, hnode* node) {
    if (s->open_count == 0) {
        tree_append(&s->top, node);
        note_top(s, node);
        return;
    }
    hnode* cur = current(s);
    size_t top = s->open_count - 1;
    bool table_context = s->open_ns[top] == kNsHtml && kTableContextTags.has(s->open_ids[top]);
    if (!table_context && s->open_ids[top] == kTag_form && s->open_ns[top] == kNsHtml && top > 0 &&
        s->open_ids[top - 1] == kTag_table && s->open_ns[top - 1] == kNsHtml)
        table_context = true;
    if (s->html5 && table_context && fosterable(s, node)) {
        foster(s, node);
        return;
    }
    tree_append(cur, node);
}

}  // namespace

// Notes where the parse stood when a node was placed under the html element
// or at the top level.
static void mark_top(parse_state* s, hnode* node) {
    hnode* p = node->parent;
    if (!p || !(p == &s->top || (p->kind == kElement && p->tag == kTag_html && p->parent == &s->top))) return;
    if (s->head_seen) node->flags |= kPlacedInHead;
    if (s->frameset_closed) node->flags |= kPlacedAfterBody;
    if (s->head_end_seen) node->flags |= kPlacedAfterHead;
    if (s->body_start_seen || s->body_seen) node->flags |= kPlacedInBody;
}

void place(parse_state* s, hnode* node) {
    if (!node) return;
    if (!s->html5) {
        placement(s, node);
        return;
    }
    for (;;) {
        bool text = node->kind == kText;
        uint8_t cur = current_id(s);
        if (text && cur == kTag_frameset && !keep_blanks(node)) return;
        if (text && s->frameset_closed && s->open_count == 0 && !keep_blanks(node)) return;
        if (text && (s->after_body || s->after_html) && has_non_blank(node->data, node->length))
            s->text_after_body = true;
        if (text && !s->in_body && !s->body_seen && !s->frameset_seen && !s->head_seen && !s->head_end_seen &&
            !s->after_body &&
            !s->after_html &&
            ((s->open_count == 0 && !s->top.first) ||
             (s->open_count == 1 && s->open_ids[0] == kTag_html && !s->open[0]->first))) {
            while (node->length && is_blank(static_cast<unsigned char>(node->data[0]))) {
                node->data++;
                node->length--;
            }
            if (node->length == 0) return;
        }
        if (text && !s->content_started) {
            if (!has_non_blank(node->data, node->length)) return;
            s->content_started = true;
        }
        if (s->open_count == 0) break;
        if (text && cur == kTag_template && s->template_mode[s->open_count - 1] == 4 &&
            has_non_blank(node->data, node->length))
            return;
        if (text && in_head_noscript(s) && has_non_space(node->data, node->length)) {
            s->open_count--;
            if (s->open_count == 0) break;
            cur = current_id(s);
        }
        if (text && cur == kTag_colgroup && s->open_ns[s->open_count - 1] == kNsHtml &&
            has_non_blank(node->data, node->length)) {
            size_t lead = 0;
            while (lead < node->length && is_blank(static_cast<unsigned char>(node->data[lead]))) lead++;
            if (lead) {
                hnode* rest = new_node(s, kText);
                if (!rest) return;
                rest->data = node->data + lead;
                rest->length = node->length - lead;
                node->length = lead;
                tree_append(current(s), node);
                s->open_count--;
                node = rest;
                continue;
            }
            s->open_count--;
        }
        break;
    }
    placement(s, node);
    mark_top(s, node);
}

hnode* open_element(parse_state* s, const char* name, size_t length, uint8_t id, uint8_t ns, hattr* attrs) {
    hnode* e = new_node(s, kElement);
    if (!e) return nullptr;
    e->data = name;
    e->length = length;
    e->tag = id;
    e->ns = ns;
    e->attrs = attrs;
    s->content_started = true;
    place(s, e);
    if (s->open_count < kMaxOpen) {
        if (s->open_count == 0 && !s->root) s->root = e;
        s->open[s->open_count] = e;
        s->open_ns[s->open_count] = ns;
        s->open_ids[s->open_count] = id;
        s->template_mode[s->open_count] = 0;
        s->open_count++;
    }
    return e;
}

hnode* text_node(parse_state* s, const char* start, const char* end) {
    if (start >= end) return nullptr;
    size_t n = static_cast<size_t>(end - start);
    bool foreign = s->open_count > 0 && s->open_ns[s->open_count - 1] != kNsHtml && !is_int_point(s, s->open_count - 1);
    const char* text = start;
    size_t length = n;
    bool has_amp = std::memchr(start, '&', n) != nullptr;
    bool has_nul = std::memchr(start, '\0', n) != nullptr;
    if (has_amp || has_nul) {
        char* decoded = has_amp ? decode_refs(&s->mem, start, end, false, s->html5, &length) : scratch_copy(&s->mem, start, n);
        if (!decoded) {
            s->stop = true;
            return nullptr;
        }
        if (std::memchr(decoded, '\0', length)) {
            if (foreign) {
                size_t nuls = 0;
                for (size_t i = 0; i < length; i++) nuls += decoded[i] == '\0';
                auto* out = static_cast<char*>(scratch_alloc(&s->mem, length + 2 * nuls + 1));
                if (!out) {
                    s->stop = true;
                    return nullptr;
                }
                size_t k = 0;
                for (size_t i = 0; i < length; i++) {
                    if (decoded[i] == '\0') {
                        out[k++] = '\xEF';
                        out[k++] = '\xBF';
                        out[k++] = '\xBD';
                    } else {
                        out[k++] = decoded[i];
                    }
                }
                decoded = out;
                length = k;
            } else {
                size_t k = 0;
                for (size_t i = 0; i < length; i++)
                    if (decoded[i] != '\0') decoded[k++] = decoded[i];
                length = k;
            }
        }
        text = decoded;
    }
    if (s->html5 && s->frameset_ok) {
        for (size_t i = 0; i < length; i++) {
            auto c = static_cast<unsigned char>(text[i]);
            if (is_html_space(c)) continue;
            if (foreign && c == 0xEF && i + 2 < length && text[i + 1] == '\xBF' && text[i + 2] == '\xBD') {
                i += 2;
                continue;
            }
            s->frameset_ok = false;
            break;
        }
    }
    if (length == 0) return nullptr;
    hnode* t = new_node(s, kText);
    if (!t) return nullptr;
    t->data = text;
    t->length = length;
    return t;
}

void bogus_comment(parse_state* s, const char* bytes, size_t length) {
    size_t nuls = 0;
    for (size_t i = 0; i < length; i++) nuls += bytes[i] == '\0';
    auto* copy = static_cast<char*>(scratch_alloc(&s->mem, length + 2 * nuls + 1));
    hnode* c = copy ? new_node(s, kComment) : nullptr;
    if (!c) {
        s->stop = true;
        return;
    }
    size_t k = 0;
    for (size_t i = 0; i < length; i++) {
        if (bytes[i] == '\0') {
            copy[k++] = '\xEF';
            copy[k++] = '\xBF';
            copy[k++] = '\xBD';
        } else {
            copy[k++] = bytes[i];
        }
    }
    copy[k] = '\0';
    c->data = copy;
    c->length = k;
    if (s->html5 && !s->content_started)
        tree_append(&s->prolog, c);
    else
        place(s, c);
}

void flush_pending(parse_state* s) {
    const char* a = s->pending;
    const char* b = s->pending_end;
    drop_pending(s);
    if (!a || a >= b) return;
    hnode* t = text_node(s, a, b);
    if (t && s->html5 && s->afe_count && !(kTableContextTags.has(current_id(s)) && !has_non_blank(t->data, t->length)))
        reconstruct(s);
    place(s, t);
}

}  // namespace html
