// Writes the provisional tree into the document's records. The only file of
// the HTML parser that makes or links document records.
#include <cstring>

#include "dom/dom.h"
#include "dom/dom.h"
#include "html/html.h"

namespace html {

namespace {

constexpr char kSvgUri[] = "http://www.w3.org/2000/svg";
constexpr char kMathUri[] = "http://www.w3.org/1998/Math/MathML";

struct sink {
    quorvel_document* doc;
    quorvel_pool* pool;
    scratch* mem;
    const char* svg_uri = nullptr;
    const char* math_uri = nullptr;
};

bool add_attributes(sink* k, quorvel_element* e, const hattr* list) {
    quorvel_attribute* last = nullptr;
    for (const hattr* a = list; a; a = a->next) {
        auto* r = static_cast<quorvel_attribute*>(quorvel_pool_alloc(k->pool, sizeof(quorvel_attribute)));
        if (!r) return false;
        std::memset(static_cast<void*>(r), 0, sizeof *r);
        char* name = quorvel_pool_strndup(k->pool, a->name, a->name_length);
        char* value = quorvel_pool_strndup(k->pool, a->value ? a->value : "", a->value_length);
        if (!name || !value) return false;
        r->name = name;
        r->name_length = a->name_length;
        r->value = value;
        r->value_length = a->value_length;
        r->hash = quorvel_attribute_hash15(name, a->name_length);
        if (const char* colon = static_cast<const char*>(std::memchr(name, ':', a->name_length))) {
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
    quorvel_element* e = quorvel_element_create_with_view(n->data, n->length, k->pool);
    if (!e) return nullptr;
    if (n->ns != kNsHtml) {
        const char*& uri = n->ns == kNsSvg ? k->svg_uri : k->math_uri;
        if (!uri) uri = quorvel_pool_strdup(k->pool, n->ns == kNsSvg ? kSvgUri : kMathUri);
        quorvel_element_ext* ext = uri ? tree_ext(e, k->doc) : nullptr;
        if (!ext) return nullptr;
        ext->ns_uri = const_cast<char*>(uri);
        k->doc->namespaces_in_use = 1;
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
