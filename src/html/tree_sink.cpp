// Writes the provisional tree into the document's records. The only file of
// the HTML parser that makes or links document records.
#include <cstring>

#include "dom/dom.h"
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

bool add_attributes(sink* k, quorvel_element* e, const hattr* list) {
    quorvel_attribute* last = nullptr;
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
        auto* r = static_cast<quorvel_attribute*>(quorvel_pool_alloc(k->pool, sizeof(quorvel_attribute)));
        if (!r) return false;
        std::memset(static_cast<void*>(r), 0, sizeof *r);
        char* name = quorvel_pool_strndup(k->pool, xml, name_length);
        char* value = quorvel_pool_strndup(k->pool, a->value ? a->value : "", a->value_length);
        if (!name || !value) return false;
        r->name = name;
        r->name_length = name_length;
        r->value = value;
        r->value_length = a->value_length;
        r->hash = quorvel_attribute_hash15(name, name_length);
        if (const char* colon = static_cast<const char*>(std::memchr(name, ':', name_length))) {
            auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(k->pool, sizeof(quorvel_attr_ns)));
            if (!ns) return false;
            std::memset(static_cast<void*>(ns), 0, sizeof *ns);
            ns->prefix = quorvel_pool_strndup(k->pool, name, static_cast<size_t>(colon - name));
            if (!ns->prefix) return false;
            ns->owner = e;
            if (!quorvel_link_set_inline(r, &r->ns, ns, k->doc)) return false;
        }
        bool linked = last ? quorvel_link16_set_inline(last, &last->next, r, k->doc)
                           : quorvel_link_set_inline(e, &e->first_attr, r, k->doc);
        if (!linked) return false;
        quorvel_element_attr_count_inc(e);
        last = r;
    }
    return true;
}

quorvel_node* make_element(sink* k, const hnode* n) {
    size_t length = 0;
    const char* name = xml_name(k, n->data, n->length, &length);
    quorvel_element* e = name ? quorvel_element_create_with_view(name, length, k->pool) : nullptr;
    if (!e) return nullptr;
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

// A text record for a run of adjacent text nodes, joined into one.
quorvel_node* make_text(sink* k, const hnode* first, const hnode* last) {
    if (first == last) {
        quorvel_text* r = quorvel_text_create(first->data, first->length, k->pool, k->doc);
        return r ? &r->head : nullptr;
    }
    size_t total = 0;
    for (const hnode* t = first;; t = t->next) {
        total += t->length;
        if (t == last) break;
    }
    auto* joined = static_cast<char*>(scratch_alloc(k->mem, total + 1));
    if (!joined) return nullptr;
    size_t at = 0;
    for (const hnode* t = first;; t = t->next) {
        std::memcpy(joined + at, t->data, t->length);
        at += t->length;
        if (t == last) break;
    }
    quorvel_text* r = quorvel_text_create(joined, total, k->pool, k->doc);
    return r ? &r->head : nullptr;
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
        case kComment: {
            quorvel_comment* c = quorvel_comment_create(n->data, n->length, k->pool);
            if (!c) return nullptr;
            c->owner = k->doc;
            return &c->head;
        }
        case kPi: {
            quorvel_pi* p = quorvel_pi_create(n->data, n->length, n->attrs->value, n->attrs->value_length, k->pool);
            if (!p) return nullptr;
            p->owner = k->doc;
            return &p->head;
        }
        default: return nullptr;
    }
}

// Links the records of parent's children below it, depth first, without
// recursion.
bool write_children(sink* k, hnode* top, quorvel_element* top_record) {
    struct frame {
        const hnode* next;  // next child to write
        quorvel_element* record;
        quorvel_node* last;  // last child written
    };
    size_t capacity = 64, depth = 0;
    auto* stack = static_cast<frame*>(quorvel_work_alloc(capacity * sizeof(frame)));
    if (!stack) return false;
    stack[depth++] = frame{top->first, top_record, nullptr};
    bool ok = true;
    while (depth && ok) {
        frame& f = stack[depth - 1];
        const hnode* n = f.next;
        if (!n) {
            depth--;
            continue;
        }
        const hnode* last = n;
        quorvel_node* r = make_record(k, n, &last);
        f.next = last->next;
        if (!r) {
            ok = false;
            break;
        }
        ok = quorvel_link_set_inline(r, quorvel_node_parent_field(r), f.record, k->doc) &&
             (f.last ? quorvel_link_set_inline(f.last, quorvel_node_sibling_field(f.last), r, k->doc)
                     : quorvel_link_set_inline(f.record, &f.record->first_child, r, k->doc));
        if (!ok) break;
        if (r->kind == QUORVEL_NODE_ELEMENT) quorvel_element_child_count_inc(f.record);
        f.last = r;
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
            stack[depth++] = frame{n->first, reinterpret_cast<quorvel_element*>(r), nullptr};
        }
    }
    quorvel_work_free(stack);
    return ok;
}

}  // namespace

bool sink_document(parse_state* s, quorvel_document* doc) {
    sink k{doc, doc->pool, &s->mem};
    quorvel_node* first = nullptr;
    quorvel_node* last = nullptr;
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
            if (last) {
                if (!quorvel_link_set_inline(last, quorvel_node_sibling_field(last), r, doc)) return false;
            } else {
                first = r;
            }
            last = r;
            n = run_end->next;
        }
    }
    doc->first_top = first;
    doc->last_top = last;
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
