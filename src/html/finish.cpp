// Completion of the tree when the input is used up: the html root, its
// head and body, and the order of the top-level nodes.
#include <cstring>

#include "html/html.h"

namespace html {

namespace {

// Every name tested here has a tag record, and an element's identifier is
// that of its name: comparing identifiers compares names.
bool is_tag(const hnode* n, uint8_t id) { return n && n->kind == kElement && n->tag == id; }

hnode* make_element(parse_state* s, const char* name, uint8_t id) {
    hnode* e = new_node(s, kElement);
    if (!e) return nullptr;
    e->data = name;
    e->length = std::strlen(name);
    e->tag = id;
    return e;
}

bool head_type(const hnode* n, bool html5) {
    if (!n || n->kind != kElement) return false;
    switch (n->tag) {
        case kTag_title:
        case kTag_meta:
        case kTag_link:
        case kTag_base: return true;
        case kTag_basefont:
        case kTag_bgsound:
        case kTag_script:
        case kTag_style:
        case kTag_noframes:
        case kTag_noscript:
        case kTag_template: return html5;
        default: return false;
    }
}


void append_all(hnode* to, hnode* list) {
    for (hnode* c = list->first; c;) {
        hnode* next = c->next;
        tree_append(to, c);
        c = next;
    }
    list->first = list->last = nullptr;
}

// Divides the children of html into a head and a body (or frameset). Nodes
// placed before the body's content began go to the head while they are
// head-type elements, comments or blank text (a text that goes on with other
// bytes is split there); comments before any head content stay in front of
// the head, comments and blank text after the head end tag go between head
// and body, comments after the body end tag after the body; everything from
// the first other node on goes to the body. With a frameset, what came
// before it in the body is dropped. An html that already holds a body
// element is left as it is.
bool split_head_body(parse_state* s, hnode* html) {
    hnode* head = nullptr;
    hnode* frameset = nullptr;
    for (hnode* c = html->first; c; c = c->next) {
        if (c->kind != kElement || c->ns != kNsHtml) continue;
        if (c->tag == kTag_body) return true;
        if (c->tag == kTag_head && !head) head = c;
        if (c->tag == kTag_frameset && s->frameset_seen && !frameset) frameset = c;
    }
    hnode* body = frameset;
    if (!body) body = s->frameset_seen ? make_element(s, "frameset", kTag_frameset) : make_element(s, "body", kTag_body);
    if (!head) head = make_element(s, "head", kTag_head);
    if (!body || !head) return false;
    hnode front{}, between{}, rest{}, after{};
    front.kind = between.kind = rest.kind = after.kind = kList;
    bool head_part = true;
    bool head_content = false;  // a head-type element has been met
    for (hnode* c = html->first; c;) {
        hnode* next = c->next;
        tree_detach(c);
        if (c == head || c == frameset) {
            c = next;
            continue;
        }
        if (c->flags & kPlacedAfterBody) {
            tree_append(&after, c);
        } else if (!head_part || (c->flags & kPlacedInBody)) {
            head_part = false;
            tree_append(&rest, c);
        } else if (head_type(c, true)) {
            tree_append(head, c);
            head_content = true;
        } else if (c->kind == kComment || c->kind == kPi) {
            if (c->flags & kPlacedAfterHead)
                tree_append(&between, c);
            else if (!head_content && !(c->flags & kPlacedInHead))
                tree_append(&front, c);
            else
                tree_append(head, c);
        } else if (c->kind == kText) {
            size_t lead = 0;
            while (lead < c->length && is_html_space(static_cast<unsigned char>(c->data[lead]))) lead++;
            hnode* more = nullptr;
            if (lead < c->length) {
                head_part = false;
                if (lead) {
                    more = new_node(s, kText);
                    if (!more) return false;
                    more->data = c->data + lead;
                    more->length = c->length - static_cast<uint32_t>(lead);
                    c->length = static_cast<uint32_t>(lead);
                } else {
                    more = c;
                }
            }
            // Blank text before anything of the head is dropped.
            bool before_head = !head_content && !(c->flags & (kPlacedInHead | kPlacedAfterHead));
            if (more != c && !before_head) tree_append((c->flags & kPlacedAfterHead) ? &between : head, c);
            if (more) tree_append(&rest, more);
        } else {
            head_part = false;
            tree_append(&rest, c);
        }
        c = next;
    }
    append_all(html, &front);
    tree_append(html, head);
    append_all(html, &between);
    // Body content that came before an accepted frameset is not kept.
    if (!frameset) append_all(body, &rest);
    tree_append(html, body);
    append_all(html, &after);
    return true;
}

}  // namespace

bool complete_tree(parse_state* s) {
    hnode* html = nullptr;
    for (hnode* n = s->top.first; n && !html; n = n->next)
        if (is_tag(n, kTag_html)) html = n;
    hnode* root = nullptr;
    if (html) {
        for (hnode* n = s->top.first; n && !root; n = n->next)
            if (n->kind == kElement) root = n;
        if (s->html5 && is_tag(root, kTag_html) && root->first && !split_head_body(s, root)) return false;
    } else {
        hnode* e = make_element(s, "html", kTag_html);
        if (!e) return false;
        hnode* old = s->top.first;
        s->top.first = s->top.last = nullptr;
        tree_append(&s->top, e);
        for (hnode* n = old; n;) {
            hnode* next = n->next;
            tree_append(e, n);
            n = next;
        }
        if (s->html5 && e->first && !split_head_body(s, e)) return false;
        root = e;
    }
    s->root = root;
    if (s->html5 && is_tag(root, kTag_html)) {
        bool has_body = false, has_head = false;
        hnode* first_element = nullptr;
        for (hnode* c = root->first; c; c = c->next) {
            if (c->kind != kElement) continue;
            if (!first_element) first_element = c;
            has_body = has_body || is_tag(c, kTag_body) || is_tag(c, kTag_frameset);
            has_head = has_head || is_tag(c, kTag_head);
        }
        if (!has_body) {
            hnode* b = s->frameset_seen ? make_element(s, "frameset", kTag_frameset) : make_element(s, "body", kTag_body);
            if (!b) return false;
            tree_append(root, b);
            if (!first_element) first_element = b;
        }
        if (!has_head) {
            hnode* h = make_element(s, "head", kTag_head);
            if (!h) return false;
            tree_insert_before(root, first_element, h);
        }
    }
    if (s->html5 && root) {
        // Attributes of repeated html, head and body tags go to the elements
        // that stand for them, names they lack only.
        if (is_tag(root, kTag_html)) {
            if (!apply_attrs(s, root, &s->html_attrs)) return false;
            for (hnode* c = root->first; c; c = c->next) {
                if (is_tag(c, kTag_head) && !apply_attrs(s, c, &s->head_attrs)) return false;
                if ((is_tag(c, kTag_body) || is_tag(c, kTag_frameset)) && !apply_attrs(s, c, &s->body_attrs))
                    return false;
            }
        }
    }
    return !s->mem.failed;
}

}  // namespace html
