// Writes the provisional tree into the document's records, placed in the
// document's pool and linked through the record builder, as the document
// parser builds. The only file of the HTML parser that makes or links
// document records.
#include <cstring>

#include "dom/dom.h"
#include "dom/record_builder.h"
#include "html/html.h"

namespace html {

namespace {

constexpr char kSvgUri[] = "http://www.w3.org/2000/svg";
constexpr char kMathUri[] = "http://www.w3.org/1998/Math/MathML";
constexpr char kXlinkUri[] = "http://www.w3.org/1999/xlink";

struct sink {
    quorvel_document* doc;
    quorvel_pool* pool;
    scratch* mem;
    const char* svg_uri = nullptr;
    const char* math_uri = nullptr;
    const char* xlink_uri = nullptr;
};

// ---- Names as XML reads them ----
//
// HTML takes almost any bytes as a tag or attribute name ("a<b", "x\"y",
// "1st"). Such a name is kept with every character that an XML name cannot
// hold written as "U" and six hexadecimal digits of its code point, so that
// every tree serializes as well-formed XML; names that are XML names, the
// usual case, are kept as they are.

bool name_start(uint32_t c) {
    return c == ':' || c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xD6) ||
           (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
           (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
           (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool name_char(uint32_t c) {
    return name_start(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Code point at p (n bytes, n >= 1); *used gets its length. A byte that
// starts no valid sequence reads as itself, which no name may hold.
uint32_t next_code_point(const unsigned char* p, size_t n, size_t* used) {
    *used = 1;
    unsigned char c = p[0];
    if (c < 0x80) return c;
    size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (len == 0 || len > n || c > 0xF4) return c;
    uint32_t v = c & (0x3F >> (len - 1));
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80) return c;
        v = (v << 6) | (p[i] & 0x3F);
    }
    if ((len == 3 && v < 0x800) || (len == 4 && (v < 0x10000 || v > 0x10FFFF)) || (v >= 0xD800 && v <= 0xDFFF))
        return c;
    *used = len;
    return v;
}

bool is_xml_name(const char* name, size_t length) {
    const auto* p = reinterpret_cast<const unsigned char*>(name);
    for (size_t i = 0; i < length;) {
        if (p[i] < 0x80) {
            // The common case: ASCII letters, digits, '-', '_', '.', ':'.
            unsigned char c = p[i];
            bool ok = i == 0 ? name_start(c) : name_char(c);
            if (!ok) return false;
            i++;
            continue;
        }
        size_t used = 0;
        uint32_t c = next_code_point(p + i, length - i, &used);
        if (!(i == 0 ? name_start(c) : name_char(c))) return false;
        i += used;
    }
    return length > 0;
}

// The name as XML can hold it: the name itself when it is an XML name, else
// a copy in scratch memory. NULL when memory ran out.
const char* xml_name(sink* k, const char* name, size_t length, size_t* out_length) {
    *out_length = length;
    if (is_xml_name(name, length)) return name;
    static const char kHex[] = "0123456789ABCDEF";
    auto* out = static_cast<char*>(scratch_alloc(k->mem, length * 7 + 1));
    if (!out) return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(name);
    size_t at = 0;
    for (size_t i = 0; i < length;) {
        size_t used = 0;
        uint32_t c = next_code_point(p + i, length - i, &used);
        if (at == 0 ? name_start(c) : name_char(c)) {
            std::memcpy(out + at, p + i, used);
            at += used;
        } else {
            out[at++] = 'U';
            for (int shift = 20; shift >= 0; shift -= 4) out[at++] = kHex[(c >> shift) & 0xF];
        }
        i += used;
    }
    out[at] = '\0';
    *out_length = at;
    return out;
}

// Declares prefix (NULL: the default namespace) for uri on e.
bool declare(sink* k, quorvel_element* e, const char* prefix, const char* uri) {
    quorvel_element_ext* ext = tree_ext(e, k->doc);
    auto* d = static_cast<quorvel_ns_decl*>(quorvel_pool_alloc(k->pool, sizeof(quorvel_ns_decl)));
    if (!ext || !d) return false;
    d->prefix = prefix ? quorvel_pool_strdup(k->pool, prefix) : nullptr;
    d->uri = const_cast<char*>(uri);
    if (prefix && !d->prefix) return false;
    d->next = ext->ns_decls;
    ext->ns_decls = d;
    return true;
}

// The attribute records of an element, placed side by side so that each
// one's next link is a short step. Values of up to seven bytes are held in
// the record itself; names are shared through the pool's intern table.
bool add_attributes(sink* k, quorvel_element* e, const hattr* list) {
    size_t count = 0;
    for (const hattr* a = list; a; a = a->next) count++;
    if (count == 0) return true;
    auto* records = static_cast<quorvel_attribute*>(quorvel_pool_alloc(k->pool, count * sizeof(quorvel_attribute)));
    if (!records) return false;
    quorvel_attribute* last = nullptr;
    quorvel_attribute* r = records;
    for (const hattr* a = list; a; a = a->next) {
        size_t name_length = 0;
        const char* xml = xml_name(k, a->name, a->name_length, &name_length);
        if (!xml) return false;
        if (xml != a->name) {
            // A rewritten name may meet one written that way: the first stays.
            bool taken = false;
            for (const hattr* b = list; b != a && !taken; b = b->next)
                taken = b->name_length == name_length && std::memcmp(b->name, xml, name_length) == 0;
            if (taken) continue;
        }
        quorvel_string_view view{xml, name_length};
        char* name = quorvel_sv_to_cstr_pooled(&view, k->pool);
        if (!name) return false;
        std::memset(static_cast<void*>(r), 0, sizeof *r);
        r->name = name;
        r->name_length = name_length;
        const char* value = a->value ? a->value : "";
        if (a->value_length < sizeof r->inline_value) {
            std::memcpy(r->inline_value, value, a->value_length);
            r->inline_value[a->value_length] = '\0';
            r->value_length = a->value_length | kAttrInlineValue;
        } else {
            char* copy = quorvel_pool_strndup(k->pool, value, a->value_length);
            if (!copy) return false;
            r->value = copy;
            r->value_length = a->value_length;
        }
        r->hash = quorvel_attribute_hash15(name, name_length);
        if (const char* colon = static_cast<const char*>(std::memchr(name, ':', name_length))) {
            auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(k->pool, sizeof(quorvel_attr_ns)));
            if (!ns) return false;
            std::memset(static_cast<void*>(ns), 0, sizeof *ns);
            ns->prefix = quorvel_pool_strndup(k->pool, name, static_cast<size_t>(colon - name));
            if (!ns->prefix) return false;
            ns->owner = e;
            if (!quorvel_build_link(k->doc, r, &r->ns, ns)) return false;
        }
        bool linked = last ? quorvel_link16_set_inline(last, &last->next, r, k->doc)
                           : quorvel_build_link(k->doc, e, &e->first_attr, r);
        if (!linked) return false;
        quorvel_element_attr_count_inc(e);
        last = r++;
    }
    return true;
}

// Where a qualified name splits into prefix and local name, as the DOM's
// element creation splits it: not for names of two bytes or less, nor at a
// colon that is the last byte. length when there is no split.
size_t name_split(const char* name, size_t length) {
    if (length <= 2) return length;
    const char* colon = static_cast<const char*>(std::memchr(name, ':', length));
    if (!colon || colon == name + length - 1) return length;
    return static_cast<size_t>(colon - name);
}

quorvel_node* make_element(sink* k, const hnode* n) {
    size_t length = 0;
    const char* name = xml_name(k, n->data, n->length, &length);
    if (!name) return nullptr;
    auto* e = static_cast<quorvel_element*>(quorvel_pool_alloc(k->pool, sizeof(quorvel_element)));
    if (!e) return nullptr;
    std::memset(static_cast<void*>(e), 0, sizeof *e);
    e->head.kind = QUORVEL_NODE_ELEMENT;
    size_t split = name_split(name, length);
    quorvel_string_view local{split < length ? name + split + 1 : name, split < length ? length - split - 1 : length};
    // Local names repeat: one interned copy of each.
    char* stored = quorvel_sv_to_cstr_pooled(&local, k->pool);
    if (!stored || !quorvel_build_link(k->doc, e, &e->name, stored)) return nullptr;
    e->name_hash = quorvel_name_hash16(stored, local.length);
    e->name_length = static_cast<uint8_t>(local.length > 255 ? 255 : local.length);
    if (split < length) {
        char* prefix = quorvel_pool_strndup(k->pool, name, split);
        quorvel_element_ext* ext = prefix ? tree_ext(e, k->doc) : nullptr;
        if (!ext) return nullptr;
        ext->prefix = prefix;
    }
    if (n->ns != kNsHtml) {
        const char*& uri = n->ns == kNsSvg ? k->svg_uri : k->math_uri;
        if (!uri) uri = quorvel_pool_strdup(k->pool, n->ns == kNsSvg ? kSvgUri : kMathUri);
        quorvel_element_ext* ext = uri ? tree_ext(e, k->doc) : nullptr;
        if (!ext) return nullptr;
        ext->ns_uri = const_cast<char*>(uri);
        k->doc->namespaces_in_use = 1;
        // The outermost element of a namespace declares it, so that the tree
        // read back as XML keeps its namespaces; an element with XLink
        // attributes declares that prefix.
        const hnode* p = n->parent;
        if (!(p && p->kind == kElement && p->ns == n->ns) && !declare(k, e, nullptr, uri)) return nullptr;
        for (const hattr* a = n->attrs; a; a = a->next)
            if (a->name_length > 6 && std::memcmp(a->name, "xlink:", 6) == 0) {
                if (!k->xlink_uri && !(k->xlink_uri = quorvel_pool_strdup(k->pool, kXlinkUri))) return nullptr;
                if (!declare(k, e, "xlink", k->xlink_uri)) return nullptr;
                break;
            }
    } else if (n->parent && n->parent->kind == kElement && n->parent->ns != kNsHtml) {
        // HTML inside foreign content leaves the foreign namespace.
        char* none = quorvel_pool_strdup(k->pool, "");
        if (!none || !declare(k, e, nullptr, none)) return nullptr;
    }
    if (!add_attributes(k, e, n->attrs)) return nullptr;
    return &e->head;
}

// A text record for a run of adjacent text nodes [first, last], joined into
// one, its content right behind it.
quorvel_node* make_text(sink* k, const hnode* first, const hnode* last) {
    size_t total = 0;
    for (const hnode* t = first;; t = t->next) {
        total += t->length;
        if (t == last) break;
    }
    if (total > UINT32_MAX) return nullptr;
    auto* r = static_cast<quorvel_text*>(quorvel_pool_alloc(k->pool, sizeof(quorvel_text) + total + 1));
    if (!r) return nullptr;
    char* content = reinterpret_cast<char*>(r + 1);
    size_t at = 0;
    for (const hnode* t = first;; t = t->next) {
        std::memcpy(content + at, t->data, t->length);
        at += t->length;
        if (t == last) break;
    }
    content[total] = '\0';
    r->head = quorvel_node{QUORVEL_NODE_TEXT, 0, 0};
    r->content = 0;
    r->length = static_cast<uint32_t>(total);
    r->next_sibling = r->parent = r->owner = 0;
    // Text records are never empty: the parser makes no empty text.
    if (total && !quorvel_text_link_set_inline(r, &r->content, content, k->doc)) return nullptr;
    return &r->head;
}

quorvel_node* make_comment(sink* k, const hnode* n) {
    auto* c = static_cast<quorvel_comment*>(quorvel_pool_alloc(k->pool, sizeof(quorvel_comment) + n->length + 1));
    if (!c) return nullptr;
    char* content = reinterpret_cast<char*>(c + 1);
    std::memcpy(content, n->data, n->length);
    content[n->length] = '\0';
    c->head = quorvel_node{QUORVEL_NODE_COMMENT, 0, 0};
    c->content = content;
    c->next_sibling = c->parent = 0;
    c->owner = k->doc;
    return &c->head;
}

quorvel_node* make_pi(sink* k, const hnode* n) {
    size_t data_length = n->attrs->value_length;
    auto* p = static_cast<quorvel_pi*>(
        quorvel_pool_alloc(k->pool, sizeof(quorvel_pi) + n->length + 1 + (data_length ? data_length + 1 : 0)));
    if (!p) return nullptr;
    char* target = reinterpret_cast<char*>(p + 1);
    std::memcpy(target, n->data, n->length);
    target[n->length] = '\0';
    p->head = quorvel_node{QUORVEL_NODE_PI, 0, 0};
    p->target = target;
    p->data = nullptr;
    if (data_length) {
        char* data = target + n->length + 1;
        std::memcpy(data, n->attrs->value, data_length);
        data[data_length] = '\0';
        p->data = data;
    }
    p->next_sibling = p->parent = 0;
    p->owner = k->doc;
    return &p->head;
}

// The record of n (and, for text, of the text nodes following it, which
// *last is moved to). NULL when memory ran out.
quorvel_node* make_record(sink* k, const hnode* n, const hnode** last) {
    *last = n;
    switch (n->kind) {
        case kElement: return make_element(k, n);
        case kText: {
            const hnode* end = n;
            while (end->next && end->next->kind == kText) end = end->next;
            *last = end;
            return make_text(k, n, end);
        }
        case kComment: return make_comment(k, n);
        case kPi: return make_pi(k, n);
        default: return nullptr;
    }
}

// Places and links the records of top's children below top_record, depth
// first, without recursion.
bool write_children(sink* k, hnode* top, quorvel_element* top_record) {
    struct frame {
        const hnode* next;  // next child to write
        quorvel_build_parent parent;
    };
    size_t capacity = 64, depth = 0;
    auto* stack = static_cast<frame*>(quorvel_work_alloc(capacity * sizeof(frame)));
    if (!stack) return false;
    stack[depth].next = top->first;
    quorvel_build_open(&stack[depth].parent, top_record);
    depth++;
    bool ok = true;
    while (depth) {
        frame& f = stack[depth - 1];
        const hnode* n = f.next;
        if (!n) {
            depth--;
            continue;
        }
        const hnode* last = n;
        quorvel_node* r = make_record(k, n, &last);
        f.next = last->next;
        if (!r || !quorvel_build_append_node(k->doc, &f.parent, r)) {
            ok = false;
            break;
        }
        if (n->kind == kElement && n->first) {
            if (depth == capacity) {
                auto* grown = static_cast<frame*>(
                    quorvel_work_realloc(stack, depth * sizeof(frame), capacity * 2 * sizeof(frame)));
                if (!grown) {
                    ok = false;
                    break;
                }
                stack = grown;
                capacity *= 2;
            }
            stack[depth].next = n->first;
            quorvel_build_open(&stack[depth].parent, reinterpret_cast<quorvel_element*>(r));
            depth++;
        }
    }
    quorvel_work_free(stack);
    return ok;
}

}  // namespace

bool sink_document(parse_state* s, quorvel_document* doc) {
    sink k{doc, doc->pool, &s->mem};
    quorvel_build_list top{nullptr, nullptr};
    hnode* lists[3] = {&s->prolog, &s->top, s->root ? &s->post : nullptr};
    for (hnode* list : lists) {
        if (!list) continue;
        for (const hnode* n = list->first; n;) {
            const hnode* run_end = n;
            quorvel_node* r = make_record(&k, n, &run_end);
            if (!r) return false;
            if (n->kind == kElement) {
                auto* e = reinterpret_cast<quorvel_element*>(r);
                quorvel_root_doc_register(e, doc);
                if (n == s->root) doc->root = e;
                if (n->first && !write_children(&k, const_cast<hnode*>(n), e)) return false;
            } else if (!tree_set_leaf_owner(r, doc)) {
                return false;
            }
            if (!quorvel_build_list_append(doc, &top, r)) return false;
            n = run_end->next;
        }
    }
    doc->first_top = top.first;
    doc->last_top = top.last;
    if (s->has_doctype) {
        quorvel_doctype* dt = quorvel_doctype_create(s->doctype_name, s->doctype_name_length, doc->pool);
        if (!dt) return false;
        if (s->public_id && !(dt->public_id = quorvel_pool_strdup(doc->pool, s->public_id))) return false;
        if (s->system_id && !(dt->system_id = quorvel_pool_strdup(doc->pool, s->system_id))) return false;
        doc->doctype = dt;
    }
    return true;
}

}  // namespace html
